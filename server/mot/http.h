#pragma once
// Client side of the server's streams: one record type for a TCP connection to an HTTP
// server, the ring buffers of this process, or a file holding a recorded stream.

#include <atomic>
#include <cstddef>

class ensemble;
class ring_reader;

typedef struct mSOCKET_s mSOCKET;
typedef mSOCKET MSOCKET;

struct mSOCKET_s {
    int fd;  // TCP: the socket; internal and file: 0
    // At most l bytes (internal: exactly l): > 0 read, 0 end of data, -1 error or abort.
    int (*recv)(MSOCKET *s, void *buf, int l, int flags);
    int (*send)(MSOCKET *s, const void *buf, int l, int flags);
    // Up to maxtime seconds until readable (writep 0) or writable: > 0 ready, 0 time-out, -1 error.
    int (*check_timeout)(MSOCKET *s, int maxtime, int writep);
    void (*close)(MSOCKET *s);  // releases the source and frees the record
    int id;                     // internal: ring number
    int mode;                   // 0 main stream, 1 side data, 2 FIG query
    std::atomic<int> *hard_restart;  // the caller's abort flag
    ensemble *e;                // for log lines
    void *context;              // internal: the ring reader; file: the FILE
    unsigned long overruns;     // internal: overruns already reported
};

void ws_init();
// "[http://]host[:port][/path]": port 80 unless given; path keeps what follows the first "/".
// server and path must hold 256 bytes each.
int parse_url(const char *urlx, char *server, int *port, char *path);
// Exactly len bytes, or fewer on time-out (20 s without data) or end of data; -1 on error or abort.
int read_data(MSOCKET *fd, char *buf, int len);
int send_req(MSOCKET *fd, const char *s);
// Bytes from the network as text for a log line: control and non-ASCII bytes become '.'.
void printable(char *dst, size_t size, const char *src, int len);

