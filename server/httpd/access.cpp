// Access control of the protected pages: Basic credentials or the host-named cookie, checked
// against the password file.

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "httpd/httpd.h"
#include "httpd/util.h"
#include "mot/http.h"

namespace {

// Received names and passwords are cut to this many characters.
constexpr size_t credential_chars = 9;
constexpr size_t token_chars = 50;
// Password file lines are read with this limit; a longer line reads as several.
constexpr int passwd_line_chars = 79;

void copy_cut(char *dst, size_t dstsize, const char *src, size_t maxchars) {
    size_t n = strnlen(src, maxchars);
    if (n >= dstsize) n = dstsize - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

// Host (lower case) and port of a request's origin or of the server itself.
struct endpoint {
    std::string host;
    long port = 0;
    bool operator==(const endpoint &o) const { return port == o.port && host == o.host; }
};

// "host[:port]", or with_scheme "http[s]://host[:port][/...]"; a missing port is the scheme's
// (80 without one). False for anything else, "null" included.
bool parse_endpoint(const char *s, bool with_scheme, endpoint &out) {
    long default_port = 80;
    if (with_scheme) {
        const char *sep = strstr(s, "://");
        if (!sep) return false;
        const size_t n = static_cast<size_t>(sep - s);
        if (n == 5 && strncasecmp(s, "https", 5) == 0)
            default_port = 443;
        else if (n != 4 || strncasecmp(s, "http", 4) != 0)
            return false;
        s = sep + 3;
    }
    std::string auth(s, strcspn(s, "/?#"));
    while (!auth.empty() && (auth.back() == ' ' || auth.back() == '\t')) auth.pop_back();
    // Credentials in the authority: no page of this server links like that.
    if (auth.empty() || auth.find('@') != std::string::npos) return false;
    size_t host_end;
    if (auth[0] == '[') {
        host_end = auth.find(']');
        if (host_end == std::string::npos) return false;
        host_end++;
    } else {
        host_end = std::min(auth.find(':'), auth.size());
    }
    if (host_end == 0) return false;
    out.host = auth.substr(0, host_end);
    for (char &c : out.host)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    const std::string rest = auth.substr(host_end);
    out.port = default_port;
    if (rest.empty() || rest == ":") return true;
    if (rest[0] != ':' || rest.size() > 6) return false;
    long port = 0;
    for (size_t i = 1; i < rest.size(); i++) {
        if (rest[i] < '0' || rest[i] > '9') return false;
        port = port * 10 + (rest[i] - '0');
    }
    if (port > 65535) return false;
    out.port = port;
    return true;
}

// The header value is this word, ignoring case and blanks behind it.
bool is_word(const char *value, const char *word) {
    const size_t n = strlen(word);
    if (strncasecmp(value, word, n) != 0) return false;
    for (const char *p = value + n; *p; p++)
        if (*p != ' ' && *p != '\t') return false;
    return true;
}

// An IPv4 or IPv6 address (brackets and an IPv6 zone allowed) in binary, for comparison.
struct ip_address {
    int family = 0;
    unsigned char a[16] = {};
};

bool parse_ip(std::string h, ip_address &out) {
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    h = h.substr(0, h.find('%'));
    if (inet_pton(AF_INET, h.c_str(), out.a) == 1) {
        out.family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, h.c_str(), out.a) != 1) return false;
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (memcmp(out.a, mapped, sizeof mapped) == 0) {
        memmove(out.a, out.a + 12, 4);
        out.family = AF_INET;
    } else {
        out.family = AF_INET6;
    }
    return true;
}

bool is_loopback(const ip_address &ip) {
    if (ip.family == AF_INET) return ip.a[0] == 127;
    static const unsigned char one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return memcmp(ip.a, one, sizeof one) == 0;
}

bool is_own_address(const ip_address &ip) {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs *i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != ip.family) continue;
        if (ip.family == AF_INET)
            found = memcmp(&reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr, ip.a, 4) == 0;
        else
            found = memcmp(&reinterpret_cast<sockaddr_in6 *>(i->ifa_addr)->sin6_addr, ip.a, 16) == 0;
    }
    freeifaddrs(list);
    return found;
}

// A refused Host is logged once a minute per peer: a page that rebinds its name retries often.
bool first_refusal_this_minute(const char *peer) {
    static std::mutex m;
    static std::map<std::string, time_t> last;
    const time_t now = time(nullptr);
    std::lock_guard<std::mutex> g(m);
    if (last.size() > 1024) last.clear();
    time_t &t = last[peer];
    if (t != 0 && now - t < 60) return false;
    t = now;
    return true;
}

}  // namespace

bool httpconn::names_this_server() {
    // A client that sends no Host (HTTP/1.0 tools) names nothing else either.
    if (!host_field[0]) return true;
    endpoint host;
    if (parse_endpoint(host_field, false, host)) {
        if (host.host == "localhost") return true;
        ip_address ip;
        if (parse_ip(host.host, ip) && (is_loopback(ip) || is_own_address(ip))) return true;
        char own_text[sizeof e->cfg->hostname];
        {
            mutex_guard guard(&e->cfg->lck);
            copy_field(own_text, e->cfg->hostname);
        }
        endpoint own;
        if (own_text[0] && parse_endpoint(own_text, false, own) && own.host == host.host) return true;
    }
    if (first_refusal_this_minute(remoteip)) {
        char shown[64];
        printable(shown, sizeof shown, host_field, static_cast<int>(strnlen(host_field, sizeof shown - 1)));
        e->l->log(LOG_WARN, "httpd: local request from %s names host \"%s\": password required\n", remoteip, shown);
    }
    return false;
}

void httpconn::base64bin(const char *in, char *out, int maxlen) { base64_decode(in, out, maxlen); }

void httpconn::get_authorization(const char *line, int cookie) {
    const char *marker = cookie ? e->cfg->hostname : "Basic";
    // An empty host name would match every cookie line.
    if (!marker[0]) return;
    const char *at = strstr(line, marker);
    if (!at) return;
    const char *token = at + strlen(marker);
    // The token starts one character behind the marker, if the line goes on that far.
    if (*token) token++;
    char tok[token_chars + 1];
    copy_cut(tok, sizeof tok, token, token_chars);
    char decoded[token_chars];
    base64bin(tok, decoded, static_cast<int>(sizeof decoded - 1));
    char *colon = strchr(decoded, ':');
    if (colon) {
        copy_cut(pw, sizeof pw, colon + 1, credential_chars);
        *colon = ' ';
    }
    decoded[strcspn(decoded, " ")] = 0;
    copy_cut(login, sizeof login, decoded, credential_chars);
}

int httpconn::has_access() {
    // A page whose name was rebound to this machine reaches it from a local peer: only a request
    // that names this server is the local user's.
    if (localhost && names_this_server()) return 1;
    char file[sizeof e->cfg->passwdfile];
    {
        mutex_guard guard(&e->cfg->lck);
        copy_field(file, e->cfg->passwdfile);
    }
    char who[credential_chars + 1];
    printable(who, sizeof who, login, static_cast<int>(strnlen(login, credential_chars)));
    FILE *f = fopen(file, "rt");
    if (!f) {
        const int err = errno;
        if (err == ENOENT) {
            e->l->log(LOG_WARN, "%s: file not found, allowing unconditional access\n", file);
            return 1;
        }
        // Only a file that is not there opens the page: no descriptor left or no permission must not.
        e->l->log(LOG_WARN, "%s: cannot be read (%s), access denied to %s\n", file, strerror(err), remoteip);
        return 0;
    }
    char line[passwd_line_chars + 1];
    int lineno = 0;
    while (fgets(line, sizeof line, f)) {
        lineno++;
        line[strcspn(line, "\r")] = 0;
        line[strcspn(line, "\n")] = 0;
        char *colon = strchr(line, ':');
        if (!colon) {
            e->l->log(LOG_WARN, "%s: invalid syntax in line %d\n", file, lineno);
            continue;
        }
        *colon = 0;
        if (strcasecmp(line, login) == 0 && strcasecmp(colon + 1, pw) == 0) {
            fclose(f);
            e->l->log(LOG_INFO, "authenticated request from: %s\n", who);
            return 1;
        }
    }
    const bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) {
        e->l->log(LOG_WARN, "%s: read error, access denied to %s\n", file, remoteip);
        return 0;
    }
    // A mistyped password is often the real one with a slip: never in the log.
    e->l->log(LOG_WARN, "no password match for: %s:****\n", who);
    return 0;
}

int httpconn::cross_site() {
    const char *why = nullptr;
    if (is_word(fetch_site_field, "cross-site") || is_word(fetch_site_field, "same-site")) {
        why = "Sec-Fetch-Site";
    } else if (origin_field[0] || referer_field[0]) {
        char own_text[sizeof e->cfg->hostname];
        if (host_field[0]) {
            copy_field(own_text, host_field);
        } else {
            mutex_guard guard(&e->cfg->lck);
            copy_field(own_text, e->cfg->hostname);
        }
        endpoint own, other;
        const bool own_ok = parse_endpoint(own_text, false, own);
        if (origin_field[0] && (!own_ok || !parse_endpoint(origin_field, true, other) || !(other == own)))
            why = "Origin";
        else if (referer_field[0] && (!own_ok || !parse_endpoint(referer_field, true, other) || !(other == own)))
            why = "Referer";
    }
    if (!why) return 0;
    e->l->log(LOG_WARN, "httpd: cross-site request from %s refused (%s)\n", remoteip, why);
    return 1;
}
