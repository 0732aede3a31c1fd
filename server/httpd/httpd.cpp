#include "httpd/httpd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <list>
#include <strings.h>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "httpd/assets.h"
#include "httpd/streamloop.h"
#include "httpd/util.h"

namespace {

constexpr int receive_timeout_ms = 15000;
// A body of at most max_content_length bytes, after the head.
constexpr int max_body_ms = 20000;
constexpr int listen_backlog = 30;
// Used when the configured limit is no number of connections.
constexpr int default_max_clients = 1024;
// How often stop() says what it still waits for.
constexpr int stop_report_ms = 5000;
// Refused connections are logged at most this often.
constexpr time_t refuse_log_s = 10;

struct status_text {
    int code;
    const char *reason;
};

constexpr status_text status_table[] = {
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {204, "No Content"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {304, "Not Modified"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {413, "Request Entity Too Large"},
    {500, "Internal Server Errror"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
};
static_assert(sizeof status_table / sizeof status_table[0] == 16, "one reason per known status");

// A value for a header line: no control byte can end the line, no quote the quoted string.
template <size_t N>
struct header_value {
    explicit header_value(const char *src) {
        size_t n = 0;
        for (; src && *src && n < N - 1; src++) {
            const unsigned char c = static_cast<unsigned char>(*src);
            text[n++] = c < 0x20 || c == 0x7F ? ' ' : c == '"' ? '\'' : static_cast<char>(c);
        }
        text[n] = 0;
    }
    char text[N];
};

const char *reason_of(int code) {
    for (const auto &s : status_table)
        if (s.code == code) return s.reason;
    return "Unknown";
}

struct mime_text {
    const char *type;
    bool no_cache;
};

// Indexed by the mimetype argument of post_header; values above the table are octet streams.
constexpr mime_text mime_table[] = {
    {"text/html", true},  {"audio/x-mpeg", true}, {"audio/x-mpegurl", true},  {"application/octet-stream", true},
    {"image/jpeg", false}, {"image/gif", false},   {"video/mpeg", true},
    // Module scripts and WebAssembly streaming compilation insist on their own types.
    {"text/javascript", true}, {"text/css", true}, {"application/json", true}, {"image/svg+xml", false},
    {"application/wasm", true}, {"image/webp", false},
    // LOAS, so that players pick their LATM demuxer (audio/aac would say ADTS).
    {"audio/mp4a-latm", true},
};
constexpr int mime_count = static_cast<int>(sizeof mime_table / sizeof mime_table[0]);
static_assert(mime_count == MIME_LATM + 1, "one content type per mime_kind");

const mime_text &mime_of(int mimetype) {
    if (mimetype < 0 || mimetype >= mime_count) return mime_table[3];
    return mime_table[mimetype];
}

void ignore_sigpipe(int) {}

void *httpd_thread_wrapper(void *p) {
    static_cast<httpd *>(p)->thread(nullptr);
    return nullptr;
}

bool starts_with_nocase(const char *s, const char *prefix) { return strncasecmp(s, prefix, strlen(prefix)) == 0; }

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

bool send_all(int s, const void *buf, size_t len, bool more) {
    const char *p = static_cast<const char *>(buf);
    while (len > 0) {
        ssize_t n = send(s, p, len, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
        if (n < 0) {
            if (errno == EINTR) continue;
            // A client that went away is normal.
            if (errno != EPIPE && errno != ECONNRESET && e && e->l)
                e->l->log(LOG_DEBUG, "httpd: send failed: %s\n", strerror(errno));
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

namespace {
// Formats at most 4095 characters and sends them; the count sent, 0 on failure.
int vprints(int s, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
int vprints(int s, const char *fmt, va_list ap) {
    char buf[4096];
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    if (n < 0) return 0;
    size_t len = std::min(static_cast<size_t>(n), sizeof buf - 1);
    return send_all(s, buf, len) ? static_cast<int>(len) : 0;
}
}  // namespace

int prints(int s, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vprints(s, fmt, ap);
    va_end(ap);
    return n;
}

// ---------------------------------------------------------------- listener

httpd::httpd(ensemble *p)
    : httpd_thread(), e(p), lck(), stopping_(false), active_(0), clients_(0), started_(false), refused_(0),
      refused_logged_(0) {
    thread_mutex_init(&lck);
}

httpd::~httpd() {
    stop();
    thread_mutex_destroy(&lck);
}

void httpd::start_loops() {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    const int n = static_cast<int>(std::clamp(cores, 1L, 8L));
    for (int i = 0; i < n; i++) {
        auto loop = std::make_unique<stream_loop>(this);
        if (!loop->start()) {
            e->l->log(LOG_ERR, "httpd: could not start stream loop\n");
            break;
        }
        loops_.push_back(std::move(loop));
    }
}

bool httpd::adopt_stream(std::unique_ptr<stream_listener> &l) {
    stream_loop *best = nullptr;
    for (auto &loop : loops_)
        if (!best || loop->listeners() < best->listeners()) best = loop.get();
    return best && best->adopt(l);
}

// ---------------------------------------------------------------- workers

void *httpd::worker_wrapper(void *p) {
    static_cast<httpd *>(p)->worker_loop();
    return nullptr;
}

void httpd::reap_workers() {
    // A thread that ended keeps its stack until it is joined.
    if (exited_n_.load() == 0) return;
    std::vector<pthread_t> ended;
    {
        std::lock_guard<std::mutex> g(pool_m_);
        ended.swap(exited_);
        exited_n_ = 0;
    }
    for (pthread_t t : ended) pthread_join(t, nullptr);
}

bool httpd::spawn_worker() {
    std::vector<pthread_t> ended;
    bool made = false;
    {
        std::lock_guard<std::mutex> g(pool_m_);
        ended.swap(exited_);
        exited_n_ = 0;
        // Busy workers are bounded by the connection limit; a few more wait for the next.
        if (static_cast<int>(workers_.size()) < client_limit() + max_idle_workers) {
            pthread_t t;
            if (thread_create(&t, worker_wrapper, this, 0) == 0) {
                workers_.push_back(t);
                made = true;
            }
        }
    }
    for (pthread_t t : ended) pthread_join(t, nullptr);
    return made;
}

void httpd::join_workers() {
    pool_cv_.notify_all();
    std::vector<pthread_t> all;
    {
        std::lock_guard<std::mutex> g(pool_m_);
        all.swap(workers_);
        all.insert(all.end(), exited_.begin(), exited_.end());
        exited_.clear();
        exited_n_ = 0;
    }
    for (pthread_t t : all) pthread_join(t, nullptr);
    // Handed over after the last worker ended: their sockets are shut down already.
    std::deque<httpconn *> left;
    {
        std::lock_guard<std::mutex> g(pool_m_);
        left.swap(handed_);
    }
    for (httpconn *c : left) finish(c);
}

void httpd::hand_over(std::unique_ptr<httpconn> c) {
    bool more = false;
    {
        std::lock_guard<std::mutex> g(pool_m_);
        handed_.push_back(c.release());
        more = static_cast<int>(handed_.size()) > idle_workers_;
    }
    pool_cv_.notify_one();
    if (more) spawn_worker();
}

void httpd::worker_loop() {
    config *cfg = e->cfg;
    long long idle_since = now_ms();
    bool burst_over = false;
    std::unique_lock<std::mutex> g(pool_m_);
    for (;;) {
        if (handed_.empty()) {
            if (cfg->finished || stopping_) break;
            idle_workers_++;
            pool_cv_.wait_for(g, std::chrono::milliseconds(accept_wait_ms));
            idle_workers_--;
            if (handed_.empty()) {
                if (idle_workers_ >= max_idle_workers && now_ms() - idle_since > worker_idle_s * 1000LL) {
                    // A burst is over: the pool shrinks back; the next spawn joins this thread.
                    const pthread_t self = pthread_self();
                    auto it = std::find_if(workers_.begin(), workers_.end(),
                                           [&](pthread_t t) { return pthread_equal(t, self); });
                    if (it != workers_.end()) {
                        workers_.erase(it);
                        exited_.push_back(self);
                        exited_n_++;
                        burst_over = static_cast<int>(workers_.size()) <= max_idle_workers;
                        break;
                    }
                }
                continue;
            }
        }
        httpconn *c = handed_.front();
        handed_.pop_front();
        g.unlock();
        // Only a worker may wait for the peer when it closes.
        linger lg{1, 1};
        if (setsockopt(c->s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0) e->l->log(LOG_ERR, "httpd: linger\n");
        c->carry_on();
        finish(c);
        idle_since = now_ms();
        g.lock();
    }
#ifdef __GLIBC__
    // What a burst of connections allocated is free now; without this the heap keeps the
    // pages and resident memory drifts up over days of bursts.
    if (burst_over) {
        g.unlock();
        malloc_trim(0);
    }
#endif
}

void httpd::finish(httpconn *c) {
    // A stream loop that took the socket ends the connection itself.
    const int s = c->s;
    if (s >= 0) connection_closing(s);
    delete c;
    if (s >= 0) connection_ended();
}

// ---------------------------------------------------------------- fronts

// One event loop with its connections that wait for their first bytes, oldest first.
struct httpd::front {
    struct waiting {
        std::unique_ptr<httpconn> c;
        long long until;
        std::list<waiting>::iterator self;
    };
    httpd *h = nullptr;
    int ep = -1;
    pthread_t thread{};
    bool own_thread = false;
    bool listening = false;
    long long resume_ms = 0;  // the listener rests until then when descriptors ran out
    std::list<waiting> w;
};

void *httpd::front_wrapper(void *p) {
    auto *f = static_cast<front *>(p);
    f->h->run_front(*f);
    return nullptr;
}

namespace {

enum class front_step { done, wait, worker };

front_step step_of(httpconn &c) {
    if (c.serve()) return c.front_pending() ? front_step::worker : front_step::done;
    // A head that comes in pieces is read on by a worker, as is one that does not come.
    return c.head_done() || c.received() ? front_step::worker : front_step::wait;
}

}  // namespace

void httpd::front_conclude(std::unique_ptr<httpconn> c, bool done) {
    if (done)
        finish(c.release());
    else
        hand_over(std::move(c));
}

void httpd::front_listen(front &f, bool on) {
    if (on == f.listening) return;
    // A new connection wakes one front only.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLEXCLUSIVE;
    ev.data.ptr = nullptr;
    if (epoll_ctl(f.ep, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, ls_, &ev) == 0) f.listening = on;
}

void httpd::front_accept(front &f) {
    // A bounded batch: a flood of connections must not starve those that wait.
    for (int i = 0; i < front_batch; i++) {
        sockaddr_in6 peer;
        socklen_t plen = sizeof peer;
        memset(&peer, 0, sizeof peer);
        const int s = accept4(ls_, reinterpret_cast<sockaddr *>(&peer), &plen, SOCK_CLOEXEC);
        if (s < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: running connections get a moment to end instead of a spin.
                front_listen(f, false);
                f.resume_ms = now_ms() + out_of_descriptors_ms;
            }
            return;
        }
        if (clients_.fetch_add(1) >= client_limit()) {
            clients_--;
            refuse(s, &peer);
            continue;
        }
        connection_started(s);
        std::unique_ptr<httpconn> c(new (std::nothrow) httpconn(e, s, &peer));
        if (!c) {
            clients_--;
            connection_closing(s);
            close(s);
            connection_ended();
            continue;
        }
        c->hold_client_place(this);
        c->set_front(true);
        const front_step st = step_of(*c);
        if (st != front_step::wait) {
            front_conclude(std::move(c), st == front_step::done);
            continue;
        }
        // Nothing has come yet: the front is woken when it does, or hands it over soon.
        f.w.push_back({std::move(c), now_ms() + front_wait_ms, {}});
        auto it = std::prev(f.w.end());
        it->self = it;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = &*it;
        if (epoll_ctl(f.ep, EPOLL_CTL_ADD, s, &ev) != 0) {
            std::unique_ptr<httpconn> lone = std::move(it->c);
            f.w.erase(it);
            front_conclude(std::move(lone), false);
        }
    }
}

void httpd::run_front(front &f) {
    config *cfg = e->cfg;
    front_listen(f, true);
    epoll_event ev[front_batch];
    while (!cfg->finished && !stopping_) {
        long long wait = accept_wait_ms;
        const long long before = now_ms();
        if (!f.w.empty()) wait = std::min(wait, f.w.front().until - before);
        if (!f.listening) wait = std::min(wait, f.resume_ms - before);
        const int n = epoll_wait(f.ep, ev, front_batch, static_cast<int>(std::max(0LL, wait)));
        for (int i = 0; i < n; i++) {
            if (!ev[i].data.ptr) {
                front_accept(f);
                continue;
            }
            auto *w = static_cast<front::waiting *>(ev[i].data.ptr);
            const front_step st = step_of(*w->c);
            if (st == front_step::wait) continue;
            std::unique_ptr<httpconn> c = std::move(w->c);
            f.w.erase(w->self);
            // Closing the socket takes it out of the set as well.
            if (st == front_step::worker) epoll_ctl(f.ep, EPOLL_CTL_DEL, c->s, nullptr);
            front_conclude(std::move(c), st == front_step::done);
        }
        const long long now = now_ms();
        while (!f.w.empty() && f.w.front().until <= now) {
            std::unique_ptr<httpconn> c = std::move(f.w.front().c);
            epoll_ctl(f.ep, EPOLL_CTL_DEL, c->s, nullptr);
            f.w.pop_front();
            front_conclude(std::move(c), false);
        }
        if (!f.listening && now >= f.resume_ms) front_listen(f, true);
        reap_workers();
    }
    // At the stop, what still waits for its head is closed unanswered, like a worker's.
    for (auto &w : f.w) finish(w.c.release());
    f.w.clear();
    front_listen(f, false);
}

void httpd::start_fronts() {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    const int n = static_cast<int>(std::clamp(cores, 1L, 8L));
    for (int i = 0; i < n; i++) {
        auto f = std::make_unique<front>();
        f->h = this;
        f->ep = epoll_create1(EPOLL_CLOEXEC);
        if (f->ep < 0) {
            e->l->log(LOG_ERR, "httpd: epoll: %s\n", strerror(errno));
            break;
        }
        // The listener thread runs the first front itself.
        if (i > 0 && thread_create(&f->thread, front_wrapper, f.get(), 0) != 0) {
            close(f->ep);
            e->l->log(LOG_ERR, "httpd: could not start a front\n");
            break;
        }
        f->own_thread = i > 0;
        fronts_.push_back(std::move(f));
    }
}

void httpd::join_fronts() {
    for (auto &f : fronts_) {
        if (f->own_thread) pthread_join(f->thread, nullptr);
        close(f->ep);
    }
    fronts_.clear();
}

void httpd::stop_loops() {
    // The loops end their listeners once they see the stop.
    for (auto &loop : loops_) loop->stop();
    loops_.clear();
}

int httpd::start() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ignore_sigpipe;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &sa, nullptr);

    stopping_ = false;
    start_loops();
    // Counted as a connection, so that stop() also waits for the listener itself.
    active_++;
    if (thread_create(&httpd_thread, httpd_thread_wrapper, this, 0) != 0) {
        active_--;
        stop_loops();
        e->l->log(LOG_ERR, "httpd: could not create listener thread\n");
        return 0;
    }
    started_ = true;
    return 1;
}

int httpd::stop() {
    if (!started_) return 0;
    started_ = false;
    {
        // Blocked reads and writes of running connections return at once.
        mutex_guard g(&lck);
        stopping_ = true;
        for (int s : sockets_) shutdown(s, SHUT_RDWR);
    }
    // The listener sees the flag within its poll time-out; no connection is accepted after it.
    pthread_join(httpd_thread, nullptr);
    stop_loops();
    // Connection threads use the ensemble, which goes after this: none may outlive the stop.
    // Sockets are shut down, streams look at the flag, and every other wait is bounded.
    for (int waited = 10; active_.load() > 0; waited += 10) {
        usleep(10000);
        if (waited % stop_report_ms == 0)
            e->l->log(LOG_WARN, "httpd: waiting for %d connections to end\n", active_.load());
    }
    return 1;
}

int httpd::insert_thread(pthread_t) { return 0; }
int httpd::check_thread_terminated() { return 0; }
int httpd::cancel_threads() { return 0; }

void httpd::connection_started(int s) {
    active_++;
    mutex_guard g(&lck);
    sockets_.push_back(s);
    // Accepted while stop() was shutting the others down.
    if (stopping_) shutdown(s, SHUT_RDWR);
}

int httpd::client_limit() const {
    const int limit = e->cfg->httpmaxclients;
    return limit > 0 ? limit : default_max_clients;
}

void httpd::refuse(int s, sockaddr_in6 *peer) {
    const unsigned long refused = ++refused_;
    const time_t now = time(nullptr);
    time_t last = refused_logged_.load();
    if (now - last >= refuse_log_s && refused_logged_.compare_exchange_strong(last, now))
        e->l->log(LOG_WARN, "httpd: %d connections at once, new ones refused (%lu so far)\n", client_limit(), refused);
    // A worker refusing must never wait for one client.
    const int fl = fcntl(s, F_GETFL);
    if (fl >= 0) fcntl(s, F_SETFL, fl | O_NONBLOCK);
    {
        httpconn conn(e, s, peer);
        conn.status = 503;
        conn.post_header(0, nullptr, 0, 0);
        shutdown(s, SHUT_WR);
        // What the client has sent already is taken, so that closing does not reset the
        // connection and lose the answer; no more.
        char sink[4096];
        recv(s, sink, sizeof sink, MSG_DONTWAIT);
    }
}

void httpd::connection_closing(int s) {
    mutex_guard g(&lck);
    auto it = std::find(sockets_.begin(), sockets_.end(), s);
    if (it != sockets_.end()) {
        *it = sockets_.back();
        sockets_.pop_back();
    }
}

void httpd::connection_ended() { active_--; }

int httpd::open_listener() {
    // The fronts take what has come and never wait in accept.
    int ls = socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (ls < 0) {
        listen_error_ = errno;
        e->l->log(LOG_ERR, "httpd: socket\n");
        return -1;
    }
    int one = 1;
    if (setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        listen_error_ = errno;
        e->l->log(LOG_ERR, "httpd: %d %s\n", errno, strerror(errno));
        close(ls);
        return -1;
    }
    // IPv4 clients arrive as mapped addresses, whatever the system's default.
    int zero = 0;
    setsockopt(ls, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    sockaddr_in6 addr;
    memset(&addr, 0, sizeof addr);
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_any;
    addr.sin6_port = htons(static_cast<uint16_t>(e->cfg->httpport));
    if (bind(ls, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        listen_error_ = errno;
        e->l->log(LOG_ERR, "httpd: bind\n");
        close(ls);
        return -1;
    }
    if (listen(ls, listen_backlog) != 0) {
        listen_error_ = errno;
        e->l->log(LOG_ERR, "httpd: listen\n");
        close(ls);
        return -1;
    }
    return ls;
}

void httpd::thread(void *) {
    config *cfg = e->cfg;
    e->l->log(LOG_INFO, "Hostname: %s\n", cfg->hostname);
    e->l->log(LOG_INFO, "Port: %d\n", cfg->httpport);
    e->l->log(LOG_INFO, "HTTPD-root: %s\n", cfg->httpdroot);
    ls_ = open_listener();
    if (ls_ >= 0) {
        start_fronts();
        if (!fronts_.empty()) {
            e->l->log(LOG_INFO, "httpd: daemon started\n");
            run_front(*fronts_.front());
        }
        // The fronts and workers see the stop as this thread did; each ends its connections first.
        join_fronts();
        join_workers();
        close(ls_);
        ls_ = -1;
        e->l->log(LOG_INFO, "httpd: daemon stopped\n");
    } else if (listen_error_) {
        // Without its port the server has no use: it stops rather than run unreachable.
        e->l->log(LOG_CRIT, "httpd: cannot listen on port %d: %s; the server stops\n", cfg->httpport,
                  strerror(listen_error_.load()));
        e->set_finished(1);
    }
    connection_ended();
}

void *new_conn(void *p) {
    auto *c = static_cast<connection_t *>(p);
    httpd *h = c->e->http;
    bool handed_over;
    {
        httpconn conn(c->e, c->s, &c->remip);
        conn.hold_client_place(h);
        conn.start();
        // A stream loop took the socket and ends the connection itself.
        handed_over = conn.s < 0;
        if (!handed_over) h->connection_closing(c->s);
    }
    delete c;
    if (!handed_over) h->connection_ended();
    return nullptr;
}

// ---------------------------------------------------------------- connection

httpconn::httpconn(ensemble *p, int sock, sockaddr_in6 *peer)
    : e(p), subchannel(p->service), zeitdatum(), ens(), eid(0), s(sock), remoteip(), remip(*peer), localhost(0),
      url(), location(), request(), header(), host_field(), origin_field(), referer_field(), fetch_site_field(),
      contentlength(0), login(), pw(), content(nullptr), status(200),
      rbuf_(), rpos_(0), rlen_(0), hline_(), line_len_(0), head_lines_(0), head_started_(false), head_done_(false), head_result_(0),
      counted_(false), front_(false), would_block_(false), received_(false), content_owned_(false), deadline_ms_(0),
      timed_out_(false), place_(nullptr) {
    if (!inet_ntop(AF_INET6, &remip.sin6_addr, remoteip, sizeof remoteip)) remoteip[0] = 0;
    // The IPv6 loopback address is deliberately not local, nor is a link-local peer: it is
    // another machine on the segment.
    localhost = (strncmp(remoteip, "127.0.0", 7) == 0 || strncmp(remoteip, "::ffff:127.0.0", 14) == 0) ? 1 : 0;
    e->l->log(LOG_INFO, "httpd: connection from: %s\n", remoteip);
}

httpconn::~httpconn() {
    if (s >= 0) close(s);
    if (content_owned_) delete[] content;
    leave_client_place();
}

void httpconn::leave_client_place() {
    if (place_) place_->client_left();
    place_ = nullptr;
}

int httpconn::receive(char *buf, int size) {
    would_block_ = false;
    if (size <= 0) return -1;
    if (rpos_ < rlen_) {
        int n = std::min(size, rlen_ - rpos_);
        memcpy(buf, rbuf_ + rpos_, static_cast<size_t>(n));
        rpos_ += n;
        return n;
    }
    // The request is usually there already: only an empty socket needs the wait.
    for (;;) {
        ssize_t n = recv(s, buf, static_cast<size_t>(size), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) return -1;
        received_ = true;
        return static_cast<int>(n);
    }
    if (front_) {
        would_block_ = true;
        return -1;
    }
    pollfd pfd{s, POLLIN, 0};
    for (;;) {
        int wait = receive_timeout_ms;
        if (deadline_ms_) {
            const long long left = deadline_ms_ - now_ms();
            if (left <= 0) {
                timed_out_ = true;
                return -1;
            }
            wait = static_cast<int>(std::min<long long>(left, wait));
        }
        int r = poll(&pfd, 1, wait);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) timed_out_ = true;
        if (r <= 0) return -1;
        break;
    }
    for (;;) {
        ssize_t n = recv(s, buf, static_cast<size_t>(size), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        received_ = true;
        return static_cast<int>(n);
    }
}

int httpconn::getline(char *buf, int size) {
    if (size < 2) return -1;
    auto next = [this](char *c) {
        if (rpos_ >= rlen_) {
            int n = receive(rbuf_, sizeof rbuf_);
            if (n < 0) return false;
            // receive() copied the bytes into our own buffer; hand them out from its start.
            rpos_ = 0;
            rlen_ = n;
        }
        *c = rbuf_[rpos_++];
        return true;
    };
    // A line the front could not finish goes on where it stopped.
    int n = std::min(line_len_, size - 1);
    line_len_ = 0;
    char c;
    for (;;) {
        if (!next(&c)) {
            if (would_block_) line_len_ = n;
            return -1;
        }
        if (c == '\n') break;
        if (c == '\r') continue;
        buf[n++] = c;
        if (n == size - 1) {
            // A line of exactly size - 1 characters is no piece: its end is consumed with it.
            while (rpos_ < rlen_ && rbuf_[rpos_] == '\r') rpos_++;
            if (rpos_ < rlen_ && rbuf_[rpos_] == '\n') rpos_++;
            break;
        }
    }
    buf[n] = 0;
    return n;
}

int httpconn::get_url(char *line) {
    char words[3][256];
    int count = 0;
    const char *p = line;
    while (count < 3) {
        while (*p == ' ' || *p == '\t') p++;
        if (!*p) break;
        size_t n = 0;
        while (*p && *p != ' ' && *p != '\t') {
            if (n < sizeof words[0] - 1) words[count][n++] = *p;
            p++;
        }
        words[count][n] = 0;
        count++;
    }
    url[0] = 0;
    if (count < 3) {
        // The error page still names what was asked for.
        if (count == 2) copy_field(request, words[1]);
        status = 400;
        return -1;
    }
    if (strcasecmp(words[0], "get") != 0 && strcasecmp(words[0], "head") != 0 && strcasecmp(words[0], "post") != 0)
        status = 501;
    copy_field(request, words[1]);
    const char *target = words[1];
    if (starts_with_nocase(target, "http://")) target += 7;
    const char *slash = strchr(target, '/');
    if (slash) percent_decode(url, sizeof url, slash + 1, SIZE_MAX);
    return 0;
}

void httpconn::get_field(const char *line, char *dest, int maxlen) {
    if (maxlen < 1) return;
    dest[0] = 0;
    const char *colon = strchr(line, ':');
    if (!colon) return;
    colon++;
    while (*colon == ' ' || *colon == '\t') colon++;
    copy_field(dest, static_cast<size_t>(maxlen), colon);
}

void httpconn::get_contentlength(const char *line) {
    const char *colon = strchr(line, ':');
    if (!colon) {
        contentlength = 0;
        return;
    }
    long v = strtol(colon + 1, nullptr, 10);
    contentlength = v < 0 ? 0 : static_cast<int>(std::min<long>(v, INT_MAX));
}

int httpconn::parse_header() { return read_head() ? finish_head() : -1; }

bool httpconn::read_head() {
    if (head_done_) return true;
    // A client trickling its head byte by byte, or sending it without end, would hold the thread.
    if (!deadline_ms_) deadline_ms_ = now_ms() + max_head_ms;
    auto fail = [this] {
        deadline_ms_ = 0;
        status = 400;
        head_result_ = -1;
        head_done_ = true;
        return true;
    };
    for (;;) {
        int got = getline(hline_, sizeof hline_);
        if (got < 0) {
            if (would_block_) return false;
            if (timed_out_) e->l->log(LOG_INFO, "httpd: request head from %s not complete in time\n", remoteip);
            return fail();
        }
        if (got > 0 && ++head_lines_ > max_head_lines) {
            e->l->log(LOG_WARN, "httpd: request head from %s has more than %d lines\n", remoteip, max_head_lines);
            return fail();
        }
        const char *line = hline_;
        if (!head_started_) {
            e->l->log(LOG_INFO, "httpd: request %s\n", line);
            if (got == 0) return fail();
            get_url(hline_);
            head_started_ = true;
        } else if (got == 0) {
            break;
        }
        if (starts_with_nocase(line, "Authorization"))
            get_authorization(line, 0);
        else if (starts_with_nocase(line, "Cookie"))
            get_authorization(line, 1);
        else if (starts_with_nocase(line, "Content-length"))
            get_contentlength(line);
        else if (starts_with_nocase(line, "Host:"))
            get_field(line, host_field, sizeof host_field);
        else if (starts_with_nocase(line, "Origin:"))
            get_field(line, origin_field, sizeof origin_field);
        else if (starts_with_nocase(line, "Referer:"))
            get_field(line, referer_field, sizeof referer_field);
        else if (starts_with_nocase(line, "Sec-Fetch-Site:"))
            get_field(line, fetch_site_field, sizeof fetch_site_field);
        else if (starts_with_nocase(line, "Icy-MetaData:"))
            get_field(line, icy_field, sizeof icy_field);
    }
    head_done_ = true;
    return true;
}

int httpconn::finish_head() {
    if (!read_head() || head_result_ < 0) return -1;
    deadline_ms_ = 0;
    if (contentlength > max_content_length) {
        e->l->log(LOG_ERR, "httpconn::parse_header: content too long: %d bytes from %s\n", contentlength, remoteip);
        url[0] = 0;
        status = 413;
        return -1;
    }
    if (contentlength >= 1) {
        deadline_ms_ = now_ms() + max_body_ms;
        content = new (std::nothrow) char[static_cast<size_t>(contentlength) + 1];
        int have = 0;
        if (content) {
            content_owned_ = true;
            while (have < contentlength) {
                int n = receive(content + have, contentlength - have);
                if (n < 0) break;
                have += n;
            }
        }
        deadline_ms_ = 0;
        if (have < contentlength) {
            delete[] content;
            content = nullptr;
            content_owned_ = false;
            contentlength = 0;
            e->l->log(LOG_WARN, "httpconn::parse_header: error reading content\n");
            status = 400;
            return -1;
        }
        content[contentlength] = 0;
    }

    if (status != 200) url[0] = 0;
    if (strncasecmp(url, "setu", 4) == 0) {
        if (cross_site())
            status = 403;
        else if (!has_access())
            status = 401;
    }
    // Form values are decoded once, by get_postarea: so the query is taken from the target as
    // received, where an escaped "&", "+" or "%" is still escaped.
    if (!content_owned_ && strchr(url, '?')) {
        char *q = strchr(request, '?');
        if (q) content = q + 1;
    }
    return 0;
}

char *httpconn::ht_time(time_t t) {
    struct tm tmv;
    if (!localtime_r(&t, &tmv)) {
        time_t now = time(nullptr);
        localtime_r(&now, &tmv);
    }
    if (strftime(zeitdatum, sizeof zeitdatum, "%a, %d %b %Y %H:%M:%S GMT", &tmv) == 0) zeitdatum[0] = 0;
    return zeitdatum;
}

int httpconn::post_header(int mimetype, const char *name, int nowrap, int length) {
    const size_t n = build_header(mimetype, name, nowrap, length);
    // A header left open is completed by the caller: no need to send it in a packet of its own.
    send_out(header, n, nowrap != 0);
    return status == 200 ? 1 : 0;
}

bool httpconn::send_out(const void *buf, size_t len, bool more) {
    if (!front_) return send_all(s, buf, len, more);
    const char *p = static_cast<const char *>(buf);
    // The front's answers are whole and the connection is closed right after: held back, they
    // leave with the close in one segment, and the client is woken once. Not when the client
    // sent more than its head: a close with unread bytes resets the connection and would
    // drop them.
    const bool all_read = rpos_ == rlen_ && rlen_ < static_cast<int>(sizeof rbuf_);
    // Whatever is kept goes first.
    if (rest_.empty()) {
        for (;;) {
            const ssize_t n = send(s, p, len, MSG_NOSIGNAL | MSG_DONTWAIT | (more || all_read ? MSG_MORE : 0));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (n > 0) {
                p += n;
                len -= static_cast<size_t>(n);
            }
            break;
        }
    }
    rest_.insert(rest_.end(), p, p + len);
    return true;
}

void httpconn::carry_on() {
    front_ = false;
    if (rest_.empty()) {
        serve();
        return;
    }
    send_all(s, rest_.data(), rest_.size());
    std::vector<char>().swap(rest_);
}

size_t httpconn::build_header(int mimetype, const char *name, int nowrap, int length) {
    const char *reason = reason_of(status);
    const mime_text &mt = mime_of(mimetype);
    const size_t size = sizeof header;
    // Few formatting calls: every answer passes here.
    size_t n = appendf(header, size, 0, "HTTP/1.0 %d %s\r\nDate: %s\r\nServer: ZIR-Ereruv 2.26F\r\n", status, reason,
                       ht_time(time(nullptr) + ad_timezone()));
    if (status == 401)
        n = appendf(header, size, n, "WWW-Authenticate: Basic realm=\"%s\"\r\n",
                    header_value<sizeof e->cfg->hostname>(e->cfg->hostname).text);
    if (status == 301) n = appendf(header, size, n, "Location: %s\r\n", header_value<sizeof location>(location).text);
    const char *pragma = mt.no_cache ? "Pragma: no-cache\r\n" : "";
    if (!name) {
        n = appendf(header, size, n, "%sContent-type: %s\r\nConnection: close\r\n", pragma, mt.type);
    } else {
        // The name is a label from the air.
        const header_value<256> shown(name);
        n = appendf(header, size, n,
                    "%sContent-type: %s\r\nicy-name:%s\r\nx-audiocast-name:%s\r\nConnection: Keep-Alive\r\n", pragma,
                    mt.type, shown.text, shown.text);
    }
    if (length != 0) n = appendf(header, size, n, "Content-Length: %d\r\n", length);
    if (!nowrap) n = appendf(header, size, n, "\r\n");
    if (status != 200) {
        // The target is the client's own text: shown escaped, never as markup.
        char shown[sizeof request * 6];
        html_escape(shown, sizeof shown, request);
        n = appendf(header, size, n,
                    "\r\n<html><head><title>%s</title></head>\n<body><h1>%s (%d)</h1>\n"
                    "<p>An error ocurred while processing your query.</p>\n<p>Rejected request: <tt>'%s'</tt></p><hr>\n"
                    "<b>ZIR-Ereruv</b> - Version 2.26F - <i>httpd</i>\n</body></html>\n",
                    reason, reason, status, shown);
    }
    return n;
}

int httpconn::prints(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vprints(s, fmt, ap);
    va_end(ap);
    return n;
}

int httpconn::send_file(int fd, off_t size) {
    // The kernel copies from the page cache; a file that shrank meanwhile ends early.
    off_t off = 0;
    while (off < size) {
        const size_t want = static_cast<size_t>(std::min<off_t>(size - off, 1 << 20));
        const ssize_t n = sendfile(s, fd, &off, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
    }
    return 1;
}

bool httpconn::send_with_file(const char *head, size_t head_len, int fd, off_t size) {
    // Small files go with their header in one send; larger ones follow it from the page cache.
    char buf[small_answer];
    if (size > 0 && head_len <= sizeof buf && static_cast<size_t>(size) <= sizeof buf - head_len) {
        memcpy(buf, head, head_len);
        size_t have = head_len;
        const size_t want = head_len + static_cast<size_t>(size);
        while (have < want) {
            const ssize_t n = read(fd, buf + have, want - have);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            have += static_cast<size_t>(n);
        }
        return send_out(buf, have, false);
    }
    if (!send_out(head, head_len, size > 0)) return false;
    send_file(fd, size);
    return true;
}

int httpconn::insert_file(const char *name) {
    char path[1024];
    int n = snprintf(path, sizeof path, "%s/%s", e->cfg->httpdroot, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return 0;
    int fd = -1;
    struct stat st;
    const served k = open_served(path, &fd, &st);
    if (k == served::other) e->l->log(LOG_WARN, "insert_file: %s is no regular file\n", path);
    if (k != served::file) return 0;
    send_file(fd, st.st_size);
    close(fd);
    return 1;
}

void httpconn::footer() {
    if (insert_file("footer.html")) return;
    prints("<br><a href=\"/\">index</a>&nbsp;<a href=\"/stat\">statistics</a>&nbsp;<a href=\"/setup\">setup</a>\r\n");
    prints("<HR><FONT SIZE=\"-1\">%s</FONT></FONT></BODY></HTML>\n", dab_banner);
}

int httpconn::get_postarea(const char *tag, char *result, int max) {
    if (max < 1) return 0;
    result[0] = 0;
    if (!content) return 0;
    const char *p = stristr(content, tag);
    if (!p) return 0;
    p += strlen(tag);
    int n = 0;
    while (*p && *p != '&' && n < max - 1) {
        if (*p == '+') {
            result[n++] = ' ';
            p++;
        } else if (*p == '%' && hexval(p[1]) >= 0 && hexval(p[2]) >= 0) {
            char c = static_cast<char>(hexval(p[1]) << 4 | hexval(p[2]));
            p += 3;
            if (c != '\r') result[n++] = c;
        } else {
            result[n++] = *p++;
        }
    }
    result[n] = 0;
    return 1;
}

void httpconn::not_found() {
    status = 404;
    post_header(0, nullptr, 0, 0);
}

namespace {

enum class page { playlist_all, playlist, stream, xpad, fidc, fig, stat, status, setup, api, player };

struct route {
    const char *name;
    page target;
    int segments;  // segments that must follow
};

constexpr route routes[] = {
    {"playlist.m3u", page::playlist_all, 0},
    {"playlist", page::playlist, 1},
    {"stream", page::stream, 1},
    {"xpad", page::xpad, 1},
    {"fidc", page::fidc, 0},
    {"fig", page::fig, 2},
    {"stat", page::stat, 0},
    {"", page::status, 0},
    {"status", page::status, 0},
    {"setup", page::setup, 0},
    {"api", page::api, 1},
    {"player", page::player, 0},  // from the asset directory, not the document root
};

// Takes the next "/"-separated segment of *rest; false when there is none or it is empty.
bool next_segment(char **rest, char **seg) {
    if (!*rest || !**rest) return false;
    *seg = *rest;
    char *slash = strchr(*rest, '/');
    if (slash) {
        *slash = 0;
        *rest = slash + 1;
    } else {
        *rest += strlen(*rest);
    }
    return true;
}

}  // namespace

int httpconn::start() {
    serve();
    return 0;
}

bool httpconn::serve() {
    if (!counted_) e->st->httpcnt_req++;
    counted_ = true;
    if (!read_head()) return false;

    char buf[256];
    copy_field(buf, url);
    char *rest = nullptr;
    size_t cut = strcspn(buf, "/?");
    if (buf[cut]) {
        buf[cut] = 0;
        rest = buf + cut + 1;
    }
    // setup sees the remainder untouched by the segment splitting below.
    char *setup_rest = rest;

    const route *r = nullptr;
    for (const auto &x : routes)
        if (strcasecmp(buf, x.name) == 0) {
            r = &x;
            break;
        }
    // The front answers errors and files; pages, bodies and the setup area are a worker's.
    const bool body = contentlength > 0 && contentlength <= max_content_length;
    if (front_ && head_result_ == 0 && status < 400 && (r || body || strncasecmp(url, "setu", 4) == 0))
        return false;

    if (finish_head() == -1 || status >= 400) {
        post_header(0, nullptr, 0, 0);
        return true;
    }
    if (!r) {
        const int sent = put_file(url);
        if (sent < 0) return false;
        if (sent == 0) not_found();
        return true;
    }

    char *seg[2] = {nullptr, nullptr};
    for (int i = 0; i < r->segments; i++)
        if (!next_segment(&rest, &seg[i])) {
            not_found();
            return true;
        }

    switch (r->target) {
        case page::playlist_all: display_status(-1); break;
        case page::playlist:
            if (strcasecmp(seg[0], "ensemble.m3u") == 0) {
                display_status(-1);
            } else {
                int n = atoi(seg[0]);
                if (n >= 0 && n <= 63)
                    display_status(n + 1);
                else
                    not_found();
            }
            break;
        case page::stream: stream(atoi(seg[0]), remoteip, 0); break;
        case page::xpad: stream(atoi(seg[0]), remoteip, 1); break;
        case page::fidc: stream(64, remoteip, 1); break;
        case page::fig: send_figs(atoi(seg[0]), atoi(seg[1])); break;
        case page::stat: display_statistic(); break;
        case page::status:
            display_status(0);
            footer();
            break;
        case page::setup: display_setup(setup_rest, 1); break;
        case page::api: display_api(seg[0]); break;
        case page::player:
            if (!put_file(url, asset_dir().c_str())) not_found();
            break;
    }
    return true;
}
