#include "httpd/util.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "core/plattform.h"

namespace {

// Letters compare equal in either case; bit 0x80 is ignored as well, as the old pages did.
inline bool same_letter(unsigned char a, unsigned char b) { return (a & ~0xA0u) == (b & ~0xA0u); }

}  // namespace

const char *stristr(const char *s1, const char *s2) {
    if (!s1 || !s2 || !*s1) return nullptr;
    if (!*s2) return s1;
    for (const char *p = s1; *p; p++) {
        size_t k = 0;
        while (p[k] && s2[k] && same_letter(static_cast<unsigned char>(p[k]), static_cast<unsigned char>(s2[k]))) k++;
        if (!s2[k]) return p;
        if (!p[k]) return nullptr;  // s1 ran out: no later start can match either
    }
    return nullptr;
}

char *stristr(char *s1, const char *s2) {
    return const_cast<char *>(stristr(static_cast<const char *>(s1), s2));
}

int ad_timezone() {
    // The zone is read once; whether daylight-saving time is in force is asked on every call.
    static const bool zone_read = (tzset(), true);
    (void)zone_read;
    long tz = timezone;
    time_t now = time(nullptr);
    struct tm lt;
    if (localtime_r(&now, &lt) && lt.tm_isdst > 0) tz -= 3600;
    return static_cast<int>(tz);
}

double percent(UINT64 i, UINT64 j) {
    if (j == 0) return 0;
    // Multiplied unsigned so that a huge counter wraps instead of overflowing a signed value.
    float num = static_cast<float>(static_cast<int64_t>(i * 100));
    return num / static_cast<float>(static_cast<int64_t>(j));
}

char *num2str(char *s, UINT64 val) {
    constexpr UINT64 k = 1ULL << 10, m = 1ULL << 20, g = 1ULL << 30, t = 1ULL << 40;
    constexpr size_t n = 16;
    if (val >= t)
        snprintf(s, n, " (%.2fT)", static_cast<double>(val >> 30) / 1024);
    else if (val >= g)
        snprintf(s, n, " (%.2fG)", static_cast<double>(val >> 20) / 1024);
    else if (val >= m)
        snprintf(s, n, " (%.2fM)", static_cast<double>(val >> 10) / 1024);
    else if (val >= k)
        snprintf(s, n, " (%.2fk)", static_cast<double>(val) / 1024);
    else
        s[0] = 0;
    return s;
}

char *timespan(time_t zeit, delta_t mode) {
    // One buffer per thread: pages built at the same moment don't see each other's text.
    static thread_local char buf[24];  // room for any long
    long z = static_cast<long>(zeit);
    if (mode <= zs_runtime) {
        long days = z / 86400;
        if (days > 999 || z <= -3600) {
            copy_field(buf, "-:--");
            return buf;
        }
        if (z < 0) z = 0;
        int n = 0;
        if (days >= 1) n = snprintf(buf, sizeof buf, "%u.", static_cast<unsigned>(days));
        snprintf(buf + n, sizeof buf - n, "%02u:%02lu", static_cast<unsigned>((z % 86400) / 3600),
                 static_cast<unsigned long>((z % 3600) / 60));
        return buf;
    }
    if (z <= 239)
        snprintf(buf, sizeof buf, "%lds", z);
    else if (z <= 14399)
        snprintf(buf, sizeof buf, "%ldm", z / 60);
    else if (z <= 345599)
        snprintf(buf, sizeof buf, "%ldh", z / 3600);
    else if (z <= 31535999)
        snprintf(buf, sizeof buf, "%ldd", z / 86400);
    else if (z <= 315359999)
        snprintf(buf, sizeof buf, "%ldy", z / 31536000);
    else
        buf[0] = 0;
    return buf;
}

void splitpath(char *dir, size_t dirsize, char *fname, size_t fnamesize, const char *in) {
    const char *slash = strrchr(in, '/');
    if (!slash) {
        if (dirsize) dir[0] = 0;
        copy_field(fname, fnamesize, in);
        return;
    }
    size_t dlen = static_cast<size_t>(slash - in);
    if (dirsize) {
        if (dlen >= dirsize) dlen = dirsize - 1;
        memcpy(dir, in, dlen);
        dir[dlen] = 0;
    }
    copy_field(fname, fnamesize, slash + 1);
}

int match_fname(char *out, size_t outsize, const char *ref, bool missing) {
    if (outsize) out[0] = 0;
    char dir[1024], fname[256];
    splitpath(dir, fname, ref);
    if (!fname[0]) return -1;
    // "/name" has its directory in the root.
    const char *dirname = dir[0] ? dir : (ref[0] == '/' ? "/" : nullptr);
    if (!dirname) return -1;
    const char *sep = strcmp(dirname, "/") == 0 ? "" : "/";
    struct stat st;
    // The exact spelling is the common case and needs no directory scan.
    if (!missing && stat(ref, &st) == 0) {
        int n = snprintf(out, outsize, "%s", ref);
        return (n >= 0 && static_cast<size_t>(n) < outsize) ? 0 : (out[0] = 0, -1);
    }
    DIR *d = opendir(dirname);
    if (!d) return -1;
    int result = -1;
    while (struct dirent *de = readdir(d)) {
        if (strcasecmp(de->d_name, fname) != 0) continue;
        int n = snprintf(out, outsize, "%s%s%s", dirname, sep, de->d_name);
        if (n >= 0 && static_cast<size_t>(n) < outsize)
            result = 0;
        else
            out[0] = 0;
        break;
    }
    closedir(d);
    return result;
}

char *html_link_convert(char *d, const char *s, int len) {
    static constexpr char hex[] = "0123456789ABCDEF";
    char *p = d;
    if (len != -1 && len < 1) {
        *p = 0;
        return p;
    }
    long used = 0;
    for (; *s; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        int cost = plain ? 1 : 3;
        if (len != -1 && used + cost > len) break;
        if (plain) {
            *p++ = static_cast<char>(c);
        } else {
            *p++ = '%';
            *p++ = hex[c >> 4];
            *p++ = hex[c & 15];
        }
        used += cost;
    }
    *p = 0;
    return p;
}

char *html_escape(char *d, size_t dsize, const char *s) {
    if (!dsize) return d;
    size_t n = 0;
    for (; *s; s++) {
        const char *rep = nullptr;
        switch (*s) {
            case '&': rep = "&amp;"; break;
            case '<': rep = "&lt;"; break;
            case '>': rep = "&gt;"; break;
            case '"': rep = "&quot;"; break;
            default: break;
        }
        size_t rl = rep ? strlen(rep) : 1;
        if (n + rl >= dsize) break;
        if (rep)
            memcpy(d + n, rep, rl);
        else
            d[n] = *s;
        n += rl;
    }
    d[n] = 0;
    return d;
}

int isdir(const char *name) {
    struct stat st;
    if (stat(name, &st) != 0) return 0;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

off_t filesize(const char *name) {
    struct stat st;
    if (stat(name, &st) != 0) return 0;
    return st.st_size;
}

time_t filetime(const char *name) {
    struct stat st;
    if (stat(name, &st) != 0) return 0;
    return st.st_mtime;
}

int hexval(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

size_t percent_decode(char *dst, size_t dstsize, const char *src, size_t srclen) {
    if (!dstsize) return 0;
    size_t n = 0, i = 0;
    while (i < srclen && src[i] && n + 1 < dstsize) {
        // A terminator is no hexadecimal digit, so src[i + 2] is only read inside the string.
        if (src[i] == '%' && i + 2 < srclen && hexval(src[i + 1]) >= 0 && hexval(src[i + 2]) >= 0) {
            dst[n++] = static_cast<char>(hexval(src[i + 1]) << 4 | hexval(src[i + 2]));
            i += 3;
        } else {
            dst[n++] = src[i++];
        }
    }
    dst[n] = 0;
    return n;
}

namespace {

int b64val(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;  // the fill character and anything else
}

}  // namespace

void base64_decode(const char *in, char *out, int maxlen) {
    if (maxlen < 1) return;
    out[0] = 0;
    if (!in || !*in || maxlen < 4) return;
    int groups = (maxlen - 1) / 3;
    size_t i = 0, o = 0;
    bool ended = false;
    for (int g = 0; g < groups; g++) {
        unsigned v = 0;
        for (int k = 0; k < 4; k++) {
            unsigned d = 0;
            if (!ended) {
                if (in[i])
                    d = static_cast<unsigned>(b64val(static_cast<unsigned char>(in[i++])));
                else
                    ended = true;
            }
            v = v << 6 | d;
        }
        out[o++] = static_cast<char>(v >> 16);
        out[o++] = static_cast<char>(v >> 8 & 0xFF);
        out[o++] = static_cast<char>(v & 0xFF);
        if (ended || !in[i]) break;
    }
    out[o] = 0;
}

const char *ber_class_text(int ber_fic) {
    static constexpr const char *texts[8] = {"", "<5e-04", "<5e-03", "<5e-02", "<1e-01", ">=5e-01", "",
                                             "No BER available"};
    return ber_fic >= 0 && ber_fic < 8 ? texts[ber_fic] : "";
}

size_t appendf(char *buf, size_t size, size_t len, const char *fmt, ...) {
    if (len + 1 >= size) return len;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + len, size - len, fmt, ap);
    va_end(ap);
    if (n < 0) return len;
    return std::min(len + static_cast<size_t>(n), size - 1);
}

void appendf(std::string &out, const char *fmt, ...) {
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    char buf[2048];
    const int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0 && static_cast<size_t>(n) < sizeof buf) {
        out.append(buf, static_cast<size_t>(n));
    } else if (n > 0) {
        // An escaped host name can be six times its 1023 characters, and a line may hold it twice.
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(n) + 1);
        vsnprintf(&out[at], static_cast<size_t>(n) + 1, fmt, again);
        out.resize(at + static_cast<size_t>(n));
    }
    va_end(again);
}

std::string percent_encode(const std::string &in, const char *keep) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : in) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~' || (c && std::strchr(keep, c))) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}
