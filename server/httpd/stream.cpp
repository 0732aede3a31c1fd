// Live streams of the ring buffers: subchannel bytes, PAD records and the FIDC.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/rdi.h"
#include "datapath/ringbuff.h"
#include "httpd/httpd.h"
#include "httpd/util.h"

namespace {

constexpr int default_sndbuf = 32768;
constexpr useconds_t wake_interval_us = 50000;

// Gives the stream count back, whichever way a stream ends.
class stream_claim {
public:
    stream_claim(ensemble *e, bool remote) : e_(e), remote_(remote) {}
    ~stream_claim() {
        if (counted_) e_->st->httpcnt_con--;
    }
    stream_claim(const stream_claim &) = delete;
    stream_claim &operator=(const stream_claim &) = delete;

    // Counts a remote stream; false when the limit (negative: none) is reached.
    bool count(int limit) {
        if (!remote_) return true;
        auto &con = e_->st->httpcnt_con;
        int cur = con.load();
        do {
            if (limit >= 0 && cur >= limit) return false;
        } while (!con.compare_exchange_weak(cur, cur + 1));
        counted_ = true;
        return true;
    }
    void count_always() {
        if (!remote_) return;
        e_->st->httpcnt_con++;
        counted_ = true;
    }

private:
    ensemble *e_;
    bool remote_;
    bool counted_ = false;
};

// The stream name goes into header lines: a label must not be able to end one.
void header_safe(char *s) {
    for (; *s; s++)
        if (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7F) *s = ' ';
}

}  // namespace

int httpconn::stream(int n, char *remote, int mode) {
    int sndbufsize = 0;
    socklen_t optlen = sizeof sndbufsize;
    if (getsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbufsize, &optlen) != 0 || sndbufsize <= 0)
        sndbufsize = default_sndbuf;

    const bool remote_client = !localhost;
    stream_claim claim(e, remote_client);
    // Only remote audio streams are limited; the count covers every remote stream.
    if (mode == 0 && remote_client) {
        if (!claim.count(e->cfg->httpmaxconn)) {
            status = 503;
            post_header(0, nullptr, 0, 0);
            return 0;
        }
    }
    if (n < 0 || n >= RING_STREAMS || (mode != 0 && mode != 1)) {
        status = 404;
        post_header(0, nullptr, 0, 0);
        return 0;
    }
    // Live from the newest frame boundary on, never the history in the ring.
    ring_reader rd(e->rbuff, n, mode);
    if (!rd.open(true)) {
        status = 404;
        post_header(0, nullptr, 0, 0);
        return 0;
    }
    if (mode != 0) claim.count_always();
    char name[17];
    copy_field(name, rd.name());
    header_safe(name);

    const unsigned long threshold = (rd.flags() & 1) ? 0 : rd.size() / 64;
    post_header(rd.audio() && mode == 0 ? 1 : 3, name, 0, 0);
    // A live stream may run for days: it is limited by httpmaxconn, not by the places of
    // connections waiting for an answer.
    leave_client_place();

    const unsigned long chunk = static_cast<unsigned long>(sndbufsize);
    unsigned char buf[16384];
    rdi *reader = e->rdi_stream;

    for (;;) {
        if (e->cfg->finished || e->http->stopping()) break;
        const long waiting = rd.pending();
        // The subchannel was given a shape the ring memory cannot hold.
        if (waiting < 0) break;
        unsigned long pending = static_cast<unsigned long>(waiting);
        if (pending > threshold) {
            if (reader->rdi_use_dummy && mode == 0 && pending > rd.size() / 8) {
                printf("PAUSE REQUEST, buf position %lu\n", pending);
                fflush(stdout);
                reader->rdi_pause_dummy = 1;
                if (rd.behind() > rd.size()) {
                    e->l->log(LOG_INFO, "httpd: stream %d to user %s network congestion\n", n, remote);
                    break;
                }
            }
            // At most a send buffer's worth per wake-up, as it arrived.
            bool sent = true;
            for (unsigned long done = 0; sent && done < chunk;) {
                const unsigned long want = std::min<unsigned long>(sizeof buf, chunk - done);
                const unsigned long got = rd.read(buf, want);
                if (got == 0) break;
                sent = send_all(s, buf, got);
                done += got;
            }
            if (!sent) {
                e->l->log(LOG_INFO, "httpd: socket for %s destroyed\n", remote);
                break;
            }
        }
        usleep(wake_interval_us);
        if (!rd.alive()) {
            e->l->log(LOG_INFO, "httpd: buffer for %s destroyed, disconnecting\n", remote);
            break;
        }
    }
    return 0;
}
