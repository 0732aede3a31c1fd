// Live streams of the ring buffers: subchannel bytes, PAD records and the FIDC.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/rdi.h"
#include "datapath/ringbuff.h"
#include "mot/mot_query.h"
#include "httpd/httpd.h"
#include "httpd/icy.h"
#include "httpd/streamloop.h"
#include "httpd/util.h"

namespace {

constexpr int default_sndbuf = 32768;
constexpr int wake_interval_ms = 50;

// The stream name goes into header lines: a label must not be able to end one.
void header_safe(char *s) {
    for (; *s; s++)
        if (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7F) *s = ' ';
}

}  // namespace

stream_claim::~stream_claim() {
    if (counted_) e_->st->httpcnt_con--;
}

bool stream_claim::count(int limit) {
    if (!remote_) return true;
    auto &con = e_->st->httpcnt_con;
    int cur = con.load();
    do {
        if (limit >= 0 && cur >= limit) return false;
    } while (!con.compare_exchange_weak(cur, cur + 1));
    counted_ = true;
    return true;
}

void stream_claim::count_always() {
    if (!remote_) return;
    e_->st->httpcnt_con++;
    counted_ = true;
}

stream_listener::stream_listener(ensemble *p, int stream, int m, bool remote, const char *remote_name)
    : e(p), n(stream), mode(m), rd(p->rbuff, stream, m), claim(p, remote), who() {
    copy_field(who, remote_name);
}

stream_listener::~stream_listener() {
    if (owns_socket && s >= 0) {
        e->http->connection_closing(s);
        close(s);
    }
}

stream_listener::step stream_listener::service(unsigned char *buf, size_t len) {
    if (e->cfg->finished || e->http->stopping()) return step::done;
    const long waiting = rd.pending();
    // The subchannel was given a shape the ring memory cannot hold.
    if (waiting < 0) return step::done;
    const unsigned long pending = static_cast<unsigned long>(waiting);
    if (pending > threshold) {
        rdi *reader = e->rdi_stream;
        if (reader->rdi_use_dummy && mode == 0 && pending > rd.size() / 8) {
            printf("PAUSE REQUEST, buf position %lu\n", pending);
            fflush(stdout);
            reader->rdi_pause_dummy = 1;
            if (rd.behind() > rd.size()) {
                e->l->log(LOG_INFO, "httpd: stream %d to user %s network congestion\n", n, who);
                return step::done;
            }
        }
        // At most a send buffer's worth per turn, as it arrived.
        for (unsigned long done = 0; !blocked && done < chunk;) {
            if (icy && icy->until_block == 0) {
                // Between two runs of audio: the title block, which may take several turns.
                if (icy->block.empty()) {
                    icy->block = next_icy_block();
                    icy->block_sent = 0;
                }
                const ssize_t sent =
                    send_some(icy->block.data() + icy->block_sent, icy->block.size() - icy->block_sent);
                if (sent < 0) return step::done;
                icy->block_sent += static_cast<size_t>(sent);
                done += static_cast<unsigned long>(sent);
                if (icy->block_sent < icy->block.size()) continue;
                icy->block.clear();
                icy->until_block = icy_metaint;
                continue;
            }
            unsigned long want = std::min<unsigned long>(len, chunk - done);
            if (icy) want = std::min(want, icy->until_block);
            const unsigned long got = rd.peek(buf, want);
            if (got == 0) break;
            const ssize_t sent = send_some(buf, got);
            if (sent < 0) return step::done;
            rd.consume(static_cast<unsigned long>(sent));
            done += static_cast<unsigned long>(sent);
            if (icy) icy->until_block -= static_cast<unsigned long>(sent);
        }
    }
    if (!rd.alive()) {
        e->l->log(LOG_INFO, "httpd: buffer for %s destroyed, disconnecting\n", who);
        return step::done;
    }
    return step::go_on;
}

ssize_t stream_listener::send_some(const void *data, size_t size) {
    for (;;) {
        const ssize_t sent = send(s, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) {
            if (static_cast<size_t>(sent) < size) blocked = true;
            return sent;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            blocked = true;
            return 0;
        }
        // A client that went away is normal.
        if (errno != EPIPE && errno != ECONNRESET)
            e->l->log(LOG_DEBUG, "httpd: send failed: %s\n", strerror(errno));
        e->l->log(LOG_INFO, "httpd: socket for %s destroyed\n", who);
        return -1;
    }
}

std::string stream_listener::next_icy_block() {
    char label[DL_TEXT];
    if (!e->mot_decoder || !mot_label_now(*e->mot_decoder, n, label, sizeof label, nullptr) || icy->title == label)
        return icy_empty_block();
    icy->title = label;
    return icy_title_block(label);
}

void run_listener_alone(stream_listener &l) {
    unsigned char buf[16384];
    while (l.service(buf, sizeof buf) == stream_listener::step::go_on) {
        if (l.blocked) {
            pollfd p{l.s, POLLOUT, 0};
            if (poll(&p, 1, wake_interval_ms) > 0) l.blocked = false;
        } else {
            usleep(wake_interval_ms * 1000);
        }
    }
}

int httpconn::stream(int n, char *remote, int mode) {
    int sndbufsize = 0;
    socklen_t optlen = sizeof sndbufsize;
    if (getsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbufsize, &optlen) != 0 || sndbufsize <= 0)
        sndbufsize = default_sndbuf;

    const bool remote_client = !localhost;
    const int part = mode == 1 ? 1 : 0;
    auto l = std::make_unique<stream_listener>(e, n, part, remote_client, remote);
    // Only remote audio streams are limited; the count covers every remote stream.
    if (mode == 0 && remote_client) {
        if (!l->claim.count(e->cfg->httpmaxconn)) {
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
    if (!l->rd.open(true)) {
        status = 404;
        post_header(0, nullptr, 0, 0);
        return 0;
    }
    if (mode != 0) l->claim.count_always();
    char name[17];
    copy_field(name, l->rd.name());
    header_safe(name);

    l->threshold = (l->rd.flags() & 1) ? 0 : l->rd.size() / 64;
    l->chunk = static_cast<unsigned long>(sndbufsize);
    // Titles only for a programme: a data stream has none, and its client gets no interval.
    const bool titles = mode == 0 && l->rd.audio() && icy_requested(icy_field);
    const int audio_type = l->rd.audio() == RING_AUDIO_LOAS ? MIME_LATM : MIME_MPEG;
    if (titles) {
        size_t len = build_header(audio_type, name, 1, 0);
        len = appendf(header, sizeof header, len, "icy-metaint: %lu\r\n\r\n", icy_metaint);
        send_all(s, header, len);
        l->icy = std::make_unique<icy_state>();
        l->icy->until_block = icy_metaint;
    } else {
        post_header(l->rd.audio() && mode == 0 ? audio_type : MIME_OCTET, name, 0, 0);
    }
    // A live stream may run for days: it is limited by httpmaxconn, not by the places of
    // connections waiting for an answer.
    leave_client_place();

    // Writes never wait: a stalled listener must not hold up the others of its loop.
    const int fl = fcntl(s, F_GETFL);
    if (fl >= 0) fcntl(s, F_SETFL, fl | O_NONBLOCK);
    l->s = s;
    if (e->http->adopt_stream(l)) {
        // The loop owns the socket now.
        s = -1;
        return 0;
    }
    run_listener_alone(*l);
    return 0;
}
