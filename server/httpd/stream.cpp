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

// Holds what a running stream has to give back, whichever way it ends.
class stream_claim {
public:
    stream_claim(ensemble *e, bool remote) : e_(e), remote_(remote) {}
    ~stream_claim() {
        if (stream_ >= 0) e_->rbuff->unset_req(stream_);
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
    void interest(int stream) {
        e_->rbuff->set_req(stream);
        stream_ = stream;
    }

private:
    ensemble *e_;
    bool remote_;
    bool counted_ = false;
    int stream_ = -1;
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
    claim.interest(n);

    rbuff_t *r = e->rbuff->get_streambuf(n);
    unsigned long size;
    int framesize, flags, audio;
    char name[sizeof r->name];
    {
        mutex_guard g(&r->lock);
        size = r->bufsize[mode];
        framesize = r->framesize;
        flags = r->flags;
        audio = r->audio;
        copy_field(name, r->name);
    }
    // Without a ring memory (none could be had) there is nothing to stream either.
    if (framesize <= 0 || size == 0 || size > RING_ALLOC || !r->active.load() || !r->ptr[mode]) {
        status = 404;
        post_header(0, nullptr, 0, 0);
        return 0;
    }
    if (mode != 0) claim.count_always();
    header_safe(name);

    const unsigned long threshold = (flags & 1) ? 0 : size / 64;
    post_header(audio && mode == 0 ? 1 : 3, name, 0, 0);

    const unsigned char *ring = r->ptr[mode];
    unsigned long start = r->writeptr[mode].load() / static_cast<unsigned long>(framesize) * framesize;
    const unsigned long chunk = static_cast<unsigned long>(sndbufsize);
    rdi *reader = e->rdi_stream;

    for (;;) {
        if (e->cfg->finished) break;
        unsigned long w = r->writeptr[mode].load();
        size = r->bufsize[mode];
        const int fs = r->framesize;
        // The subchannel was given a shape the ring memory cannot hold.
        if (size == 0 || size > RING_ALLOC || fs <= 0) break;
        unsigned long pending = w - start;
        if (pending > size) {
            // Overtaken by the writer: what lies in between is lost; resume at the newest frame.
            start = w / static_cast<unsigned long>(fs) * fs;
            pending = w - start;
        }
        if (pending > threshold) {
            if (reader->rdi_use_dummy && mode == 0 && pending > size / 8) {
                printf("PAUSE REQUEST, buf position %lu\n", pending);
                fflush(stdout);
                reader->rdi_pause_dummy = 1;
                w = r->writeptr[mode].load();
                size = r->bufsize[mode];
                if (size == 0 || size > RING_ALLOC) break;
                pending = w - start;
            }
            if (pending > size) {
                e->l->log(LOG_INFO, "httpd: stream %d to user %s network congestion\n", n, remote);
                break;
            }
            // A full ring leaves read and write position equal: send the older part first.
            const unsigned long rpos = start % size, epos = w % size;
            bool sent = true;
            unsigned long done = 0;
            if (rpos < epos) {
                done = std::min(epos - rpos, chunk);
                sent = send_all(s, ring + rpos, done);
            } else if (pending > 0) {
                if (size - rpos > chunk) {
                    done = chunk;
                    sent = send_all(s, ring + rpos, done);
                } else {
                    sent = send_all(s, ring + rpos, size - rpos, epos > 0);
                    if (sent) {
                        done = size - rpos;
                        if (epos > 0) {
                            sent = send_all(s, ring, epos);
                            if (sent) done += epos;
                        }
                    }
                }
            }
            start += done;
            if (!sent) {
                e->l->log(LOG_INFO, "httpd: socket for %s destroyed\n", remote);
                break;
            }
        }
        usleep(wake_interval_us);
        if (!r->active.load() || r->disc_pending.load()) {
            e->l->log(LOG_INFO, "httpd: buffer for %s destroyed, disconnecting\n", remote);
            break;
        }
    }
    return 0;
}
