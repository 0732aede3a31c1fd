// Stream client sockets: TCP to an HTTP server, this process's ring buffers, or a file.

#include "mot/http.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/ringbuff.h"
#include "mot/motmain.h"

namespace {

constexpr int read_wait_s = 20;
constexpr int abort_poll_ms = 100;
// A server's answer header longer than this is not one of ours.
constexpr int max_answer_header = 8192;
constexpr int max_header_waits = 3;

bool aborted(const MSOCKET *s) { return s->hard_restart && s->hard_restart->load(); }

MSOCKET *new_record(ensemble *e, int fd, int mode) {
    auto *s = static_cast<MSOCKET *>(calloc(1, sizeof(MSOCKET)));
    if (!s) return nullptr;
    s->fd = fd;
    s->mode = mode;
    s->e = e;
    return s;
}

// --- TCP ---

int tcp_recv(MSOCKET *s, void *buf, int l, int flags) {
    for (;;) {
        ssize_t n = recv(s->fd, buf, static_cast<size_t>(l), flags);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return -1;
    }
}

int tcp_send(MSOCKET *s, const void *buf, int l, int flags) {
    for (;;) {
        ssize_t n = send(s->fd, buf, static_cast<size_t>(l), flags | MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return -1;
    }
}

// Waits in short steps, so that the abort flag ends the wait early.
int tcp_check_timeout(MSOCKET *s, int maxtime, int writep) {
    for (int waited = 0; waited < maxtime * 1000; waited += abort_poll_ms) {
        pollfd p{s->fd, static_cast<short>(writep ? POLLOUT : POLLIN), 0};
        int r = poll(&p, 1, abort_poll_ms);
        if (r > 0) return 1;  // errors and hang-ups show in the next recv
        if (r < 0 && errno != EINTR) return -1;
        if (aborted(s)) return 0;
    }
    return 0;
}

void tcp_close(MSOCKET *s) {
    close(s->fd);
    free(s);
}

// --- internal: the ring buffers of this process ---

int local_recv(MSOCKET *s, void *buf, int l, int) {
    auto *rd = static_cast<ring_reader *>(s->context);
    auto *dst = static_cast<unsigned char *>(buf);
    const unsigned long want = static_cast<unsigned long>(l);
    unsigned long got = 0;
    while (got < want) {
        if (aborted(s)) return -1;
        if (!rd->alive()) return -1;
        const long pending = rd->pending();
        if (pending < 0) return -1;
        if (rd->overruns() != s->overruns) {
            s->e->l->log(LOG_WARN, "Stream #%i: reader overtaken by the writer, %lu bytes lost in all\n", s->id,
                         rd->skipped());
            s->overruns = rd->overruns();
        }
        // All of it at once: the bytes of one read belong together (a marker, a packet).
        if (static_cast<unsigned long>(pending) < want - got) {
            usleep(abort_poll_ms * 1000);
            continue;
        }
        const unsigned long n = rd->read(dst + got, want - got);
        // Overwritten while copying: what came before is no longer followed by its bytes.
        if (n == 0) got = 0;
        got += n;
    }
    return aborted(s) ? -1 : l;
}

int no_send(MSOCKET *, const void *, int, int) { return -1; }
int always_ready(MSOCKET *, int, int) { return 1; }

void local_close(MSOCKET *s) {
    delete static_cast<ring_reader *>(s->context);
    free(s);
}

// --- file ---

int file_recv(MSOCKET *s, void *buf, int l, int) {
    size_t n = fread(buf, 1, static_cast<size_t>(l), static_cast<FILE *>(s->context));
    if (n == 0 && ferror(static_cast<FILE *>(s->context))) return -1;
    return static_cast<int>(n);
}

void file_close(MSOCKET *s) {
    fclose(static_cast<FILE *>(s->context));
    free(s);
}

// A source that is read without a socket: nothing to send, always ready.
MSOCKET *new_source(ensemble *e, int mode, void *context, int (*recv)(MSOCKET *, void *, int, int),
                    void (*close)(MSOCKET *)) {
    MSOCKET *m = new_record(e, 0, mode);
    if (!m) return nullptr;
    m->context = context;
    m->recv = recv;
    m->send = no_send;
    m->check_timeout = always_ready;
    m->close = close;
    return m;
}

}  // namespace

void printable(char *dst, size_t size, const char *src, int len) {
    size_t j = 0;
    for (int i = 0; i < len && j + 1 < size; i++) {
        unsigned char c = static_cast<unsigned char>(src[i]);
        dst[j++] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    dst[j] = 0;
}

void ws_init() {}

int parse_url(const char *urlx, char *server, int *port, char *path) {
    *port = 80;
    server[0] = 0;
    path[0] = 0;
    char url[256];
    copy_field(url, urlx ? urlx : "");
    char *p = url;
    if (strncasecmp(p, "http://", 7) == 0) p += 7;
    char *colon = strchr(p, ':');
    // A colon after the first slash belongs to the path, not to a port.
    const char *first_slash = strchr(p, '/');
    if (colon && first_slash && first_slash < colon) colon = nullptr;
    char *slash;
    if (colon) {
        *colon = 0;
        copy_field(server, 256, p);
        char *portpart = colon + 1;
        slash = strchr(portpart, '/');
        if (slash) *slash = 0;
        *port = atoi(portpart);
    } else {
        slash = strchr(p, '/');
        if (slash) *slash = 0;
        copy_field(server, 256, p);
    }
    if (slash) copy_field(path, 256, slash + 1);
    return 0;
}

int send_req(MSOCKET *fd, const char *s) {
    char req[1024];
    int n = snprintf(req, sizeof req, "%s\n\n", s);
    if (n < 0 || n >= static_cast<int>(sizeof req)) return -1;
    for (int done = 0; done < n;) {
        int r = fd->send(fd, req + done, n - done, 0);
        if (r <= 0) return -1;
        done += r;
    }
    return n;
}

int read_data(MSOCKET *fd, char *buf, int len) {
    if (len < 1) return aborted(fd) ? -1 : 0;
    if (aborted(fd)) return -1;
    int got = 0;
    while (got < len) {
        int r = fd->check_timeout(fd, read_wait_s, 0);
        if (r < 0) return -1;
        if (r == 0) break;
        int n = fd->recv(fd, buf + got, len - got, 0);
        if (n < 0) return -1;
        if (n == 0) break;
        got += n;
        if (aborted(fd)) return -1;
    }
    if (aborted(fd)) return -1;
    return got;
}

// --- the decoder's side ---

MSOCKET *mot_dec_class::setup_net(const char *host, int prt, const char *str) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) {
        e->l->log(LOG_ERR, "Host lookup with gethostbyname() failed for %s\n", host);
        return nullptr;
    }
    sockaddr_in addr{};
    std::memcpy(&addr, res->ai_addr, sizeof addr);
    freeaddrinfo(res);
    addr.sin_port = htons(static_cast<uint16_t>(prt));
    const unsigned char *a = reinterpret_cast<const unsigned char *>(&addr.sin_addr);
    e->l->log(LOG_INFO, "Contacting %s:%i (%i.%i.%i.%i) %s...\n", host, prt, a[0], a[1], a[2], a[3], str);
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        e->l->log(LOG_ERR, "Syscall socket() failed\n");
        return nullptr;
    }
    if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        e->l->log(LOG_CRIT, "Connection %s:%i %s failed\n", host, prt, str);
        close(s);
        return nullptr;
    }
    e->l->log(LOG_DEBUG, "Contacting %s:%i %s OK\n", host, prt, str);
    MSOCKET *m = new_record(e, s, 0);
    if (!m) {
        close(s);
        return nullptr;
    }
    m->recv = tcp_recv;
    m->send = tcp_send;
    m->check_timeout = tcp_check_timeout;
    m->close = tcp_close;
    return m;
}

MSOCKET *mot_dec_class::setup_net_local(int stream, int mode) {
    auto *rd = new ring_reader(e->rbuff, stream, mode);
    // From the next byte written on: the decoders find their own boundaries.
    if (!rd->open(false)) {
        delete rd;
        return nullptr;
    }
    MSOCKET *m = new_source(e, mode, rd, local_recv, local_close);
    if (!m) {
        delete rd;
        return nullptr;
    }
    m->id = stream;
    return m;
}

MSOCKET *mot_dec_class::setup_net_file(const char *file, int mode) {
    e->l->log(LOG_INFO, "Opening %s\n", file);
    FILE *f = fopen(file, "rb");
    if (!f) return nullptr;
    MSOCKET *m = new_source(e, mode, f, file_recv, file_close);
    if (!m) fclose(f);
    return m;
}

int mot_dec_class::http_read_hdr(MSOCKET *fd) {
    char first[17] = {};
    int n = read_data(fd, first, 16);
    if (n != 16 || std::memcmp(first, "HTTP/1.0 200 OK", 15) != 0) {
        char shown[17];
        printable(shown, sizeof shown, first, n > 0 ? n : 0);
        e->l->log(LOG_CRIT, "HTTP-Access failed: Returned length %i,returned server string '%s'\n", n, shown);
        return 0;
    }
    // The 16 bytes may already hold the start of the end of the header.
    unsigned int last4 = 0;
    for (int i = 0; i < 16; i++) last4 = last4 << 8 | static_cast<unsigned char>(first[i]);
    int waits = 0;
    for (int total = 16; last4 != 0x0D0A0D0Au; total++) {
        if (total > max_answer_header || aborted(fd)) return 0;
        int r = fd->check_timeout(fd, read_wait_s, 0);
        if (r < 0) return 0;
        if (r == 0) {
            // A pause is waited out, a server that has stopped talking is not.
            if (++waits >= max_header_waits) return 0;
            total--;
            continue;
        }
        char c;
        if (fd->recv(fd, &c, 1, 0) != 1) return 0;
        last4 = last4 << 8 | static_cast<unsigned char>(c);
    }
    return 1;
}

MSOCKET *mot_dec_class::open_stream(const char *srv, int prt, const char *pth, int id, int ext, int mode,
                                    std::atomic<int> *abort_flag) {
    if (prt <= 0) {
        if (mode > 1) return nullptr;
        MSOCKET *m = prt == 0 ? setup_net_local(id, mode) : setup_net_file(pth, mode);
        if (m) m->hard_restart = abort_flag;
        return m;
    }
    char req[600], what[64];
    const char *p = pth ? pth : "";
    switch (mode) {
        case 0:
            snprintf(req, sizeof req, "GET /%sstream/%i HTTP/1.1\r\nConnection: Keep-Alive\r\nPragma: no-cache", p, id);
            snprintf(what, sizeof what, "for stream %i", id);
            break;
        case 1:
            snprintf(req, sizeof req, "GET /%sxpad/%i HTTP/1.1\r\nConnection: Keep-Alive\r\nPragma: no-cache", p, id);
            snprintf(what, sizeof what, "for xpad %i", id);
            break;
        case 2:
            snprintf(req, sizeof req, "GET /%sfig/%i/%i HTTP/1.0", p, id, ext);
            snprintf(what, sizeof what, "for FIG %i/%i", id, ext);
            break;
        default: return nullptr;
    }
    e->l->log(LOG_DEBUG, "Sending %s\n", req);
    MSOCKET *m = setup_net(srv, prt, what);
    if (!m) return nullptr;
    m->mode = mode;
    m->id = id;
    m->hard_restart = abort_flag;
    if (send_req(m, req) < 0 || !http_read_hdr(m)) {
        m->close(m);
        return nullptr;
    }
    return m;
}

int mot_dec_class::stream_read_data(MSOCKET *fd, char *buf, int len) { return read_data(fd, buf, len); }

void mot_dec_class::close_stream(MSOCKET *fd) {
    if (fd) fd->close(fd);
}
