// Files below the document root: plain files, index pages and generated listings.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "httpd/httpd.h"
#include "httpd/util.h"

namespace {

struct mime_rule {
    const char *contains;
    int mimetype;
};

// Searched anywhere in the path, without regard to case, in this order.
constexpr mime_rule mime_rules[] = {
    {".jpg", 4}, {".gif", 5}, {".m4i", 6}, {".mpg", 6}, {".mpeg", 6},
};
static_assert(sizeof mime_rules / sizeof mime_rules[0] == 5, "five file types besides text/html");

// Types of today's web by the name's ending, before the table above, which holds for the rest.
constexpr mime_rule mime_endings[] = {
    {".js", MIME_JS},     {".mjs", MIME_JS},   {".css", MIME_CSS},   {".json", MIME_JSON},
    {".svg", MIME_SVG},   {".wasm", MIME_WASM}, {".webp", MIME_WEBP},
};

bool ends_with_nocase(const char *s, const char *end) {
    const size_t n = strlen(s), m = strlen(end);
    return n >= m && strcasecmp(s + n - m, end) == 0;
}

int mimetype_of(const char *path) {
    for (const auto &r : mime_endings)
        if (ends_with_nocase(path, r.contains)) return r.mimetype;
    for (const auto &r : mime_rules)
        if (stristr(path, r.contains)) return r.mimetype;
    return 0;
}

// Document root + "/" + relative path; false when it does not fit.
template <size_t N>
bool root_path(char (&out)[N], const char *root, const char *rel, const char *suffix = "") {
    int n = snprintf(out, N, "%s/%s%s", root, rel, suffix);
    return n >= 0 && static_cast<size_t>(n) < N;
}

constexpr size_t path_size = 1024;

bool servable(const struct stat &st) { return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode); }

}  // namespace

served open_served(const char *path, int *out, struct stat *st, const struct stat *known) {
    *out = -1;
    // A device is not even opened where that can be seen beforehand: opening one may do something.
    if (known ? !servable(*known) : (stat(path, st) == 0 && !servable(*st))) return served::other;
    // Without O_NONBLOCK a FIFO without writer would hold the open for ever.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return served::missing;
    if (fstat(fd, st) != 0 || !servable(*st)) {
        close(fd);
        return served::other;
    }
    if (S_ISDIR(st->st_mode)) {
        close(fd);
        return served::directory;
    }
    // O_NONBLOCK means nothing to a regular file's reads: it stays.
    *out = fd;
    return served::file;
}

int httpconn::put_file(const char *d, const char *root) {
    if (strstr(d, "..") || strchr(d, '\\')) return 0;
    // An empty directory given would make every path absolute.
    if (root && !root[0]) return 0;
    if (!root) root = e->cfg->httpdroot;
    int mimetype = mimetype_of(d);
    char path[path_size];
    if (!root_path(path, root, d)) return 0;
    size_t dlen = strlen(d);
    bool ends_with_slash = dlen > 0 && d[dlen - 1] == '/';
    bool listing = false;
    struct stat first;
    const bool exists = stat(path, &first) == 0;
    if (exists && S_ISDIR(first.st_mode)) {
        if (!ends_with_slash) {
            status = 301;
            snprintf(location, sizeof location, "/%s/", url);
            post_header(mimetype, nullptr, 0, 0);
            return 1;
        }
        listing = true;
    }
    if (listing || ends_with_slash) {
        if (!root_path(path, root, d, "index.html")) return 0;
        listing = true;
    }
    char real[path_size];
    // The exact spelling is the common case; only another one needs the directory searched.
    const bool exact = exists && !listing;
    if (exact)
        copy_field(real, path);
    else
        match_fname(real, sizeof real, path, !exists && !listing);
    int fd = -1;
    // Length and time come from the file actually opened, whatever the spelling asked for.
    struct stat st;
    const served kind = real[0] ? open_served(real, &fd, &st, exact ? &first : nullptr) : served::missing;
    if (kind == served::other) {
        // A FIFO or device would block the connection or never end.
        e->l->log(LOG_INFO, "put_file: %s is no regular file\n", real);
        status = 403;
        post_header(0, nullptr, 0, 0);
        return 1;
    }
    // A directory (one spelt in another case, or an index.html that is a directory) is not
    // sent as an empty page of its own size. A listing is written piece by piece: a worker's.
    if (kind != served::file) return !listing ? 0 : front_ ? -1 : list_dir(d, root);
    off_t size = st.st_size;
    // The front sends only what goes with its header in one piece.
    if (front_ && size > static_cast<off_t>(small_answer - sizeof header)) {
        close(fd);
        return -1;
    }
    time_t mtime = st.st_mtime;
    // Content-Length carries an int; larger files go without it and end with the connection.
    int length = (size > 0 && size <= 0x7FFFFFFF) ? static_cast<int>(size) : 0;
    size_t n = build_header(mimetype, nullptr, 1, length);
    n = appendf(header, sizeof header, n, "Last-Modified: %s\r\n\r\n", ht_time(mtime + ad_timezone()));
    send_with_file(header, n, fd, size);
    close(fd);
    return 1;
}

int httpconn::list_dir(const char *ref, const char *root) {
    char path[path_size];
    if (!root_path(path, root ? root : e->cfg->httpdroot, ref)) return 0;
    char dir[path_size], fname[256];
    splitpath(dir, fname, path);
    if (!dir[0]) return 0;
    DIR *dh = opendir(dir);
    if (!dh) return 0;

    char shown_ref[sizeof url * 6];
    html_escape(shown_ref, sizeof shown_ref, ref);
    post_header(0, nullptr, 0, 0);
    if (!insert_file("header.html"))
        prints("<HTML><HEAD><TITLE>Index of %s</TITLE></HEAD><BODY bgcolor=#FFFFFF><FONT FACE=\"Arial,Helvetica\">\n",
               shown_ref);
    prints("<h1>Index of %s</h1>\n<FONT FACE=\"Courier\"><PRE>", shown_ref);
    prints("<IMG SRC=\"/icons/blank.gif\" ALT=> Name                            Last modified            Size<br><hr>\n");

    while (struct dirent *de = readdir(dh)) {
        const char *name = de->d_name;
        if (strcmp(name, ".") == 0) continue;
        char entry[path_size + 256];
        int n = snprintf(entry, sizeof entry, "%s/%s", dir, name);
        struct stat st;
        // An entry whose status can't be read (a dangling link, say) ends the listing.
        if (n < 0 || static_cast<size_t>(n) >= sizeof entry || stat(entry, &st) != 0) break;
        char when[64];
        struct tm tmv;
        time_t mtime = st.st_mtime;
        if (!localtime_r(&mtime, &tmv) || strftime(when, sizeof when, "%d-%b-%Y %H:%M", &tmv) == 0) when[0] = 0;
        if (strcmp(name, "..") == 0) {
            prints("<IMG SRC=\"/icons/back.gif\" ALT=\"[DIR]\"> <a href=\"../\">Parent Directory</a>%16s%s\n", "",
                   when);
            continue;
        }
        char link[256 * 3 + 1];
        html_link_convert(link, name, static_cast<int>(sizeof link - 1));
        char shown[256 * 6];
        html_escape(shown, sizeof shown, name);
        size_t len = strlen(name);
        char pad[33];
        size_t padlen = len < 32 ? 32 - len : 0;
        memset(pad, ' ', padlen);
        pad[padlen] = 0;
        if (S_ISDIR(st.st_mode))
            prints("<IMG SRC=\"/icons/folder.gif\" ALT=\"[DIR]\"> <a href=\"%s\">%s</a>%s%-27s -\n", link, shown, pad,
                   when);
        else
            prints("<IMG SRC=\"/icons/text.gif\" ALT=\"[TEXT]\"> <a href=\"%s\">%s</a>%s%-20s %8lld\n", link, shown,
                   pad, when, static_cast<long long>(st.st_size));
    }
    prints("</PRE></FONT>\n");
    closedir(dh);
    footer();
    return 1;
}
