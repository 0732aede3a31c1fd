// Access control of the protected pages: Basic credentials or the host-named cookie, checked
// against the password file.

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "httpd/httpd.h"
#include "httpd/util.h"

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

}  // namespace

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
    if (localhost) return 1;
    const char *file = e->cfg->passwdfile;
    FILE *f = fopen(file, "rt");
    if (!f) {
        e->l->log(LOG_WARN, "%s: file not found, allowing unconditional access\n", file);
        return 1;
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
            e->l->log(LOG_INFO, "authenticated request from: %s\n", login);
            return 1;
        }
    }
    fclose(f);
    e->l->log(LOG_WARN, "no password match for: %s:%s\n", login, pw);
    return 0;
}

int httpconn::cross_site() { return 0; }
