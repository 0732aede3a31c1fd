// Icecast source client: one PUT connection per selected audio programme, carrying the bytes of
// /stream/N from a frame boundary on, and a short GET per title change.

#include "httpd/icecast.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/fic.h"
#include "datapath/isoconv.h"
#include "datapath/msc.h"
#include "datapath/ringbuff.h"
#include "module/dcsr.h"
#include "mot/mot_query.h"

namespace icecast_wire {

namespace {

bool is_alnum(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }
bool is_unreserved(unsigned char c) { return is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr size_t mount_max = 200;
constexpr size_t reason_max = 100;

// Printable ASCII of what a server said, for a log line or a page.
std::string printable(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (out.size() >= reason_max) break;
        out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : ' ';
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::string without_controls(const std::string &latin1) {
    std::string s = latin1;
    for (char &c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

std::string host_line(const source_request &r) {
    const bool v6 = r.host.find(':') != std::string::npos;
    return (v6 ? "[" + r.host + "]" : r.host) + ":" + std::to_string(r.port);
}

const char user_agent[] = "ZIR-Ereruv/2.26F";

}  // namespace

bool parse_url(const std::string &url, std::string *host, int *port) {
    static const char scheme[] = "http://";
    if (url.compare(0, sizeof scheme - 1, scheme) != 0) return false;
    std::string rest = url.substr(sizeof scheme - 1);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string h, p;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close < 2) return false;
        h = rest.substr(1, close - 1);
        for (char c : h)
            if (hex_digit(c) < 0 && c != ':' && c != '.') return false;
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return false;
            p = after.substr(1);
            if (p.empty()) return false;
        }
    } else {
        const size_t colon = rest.find(':');
        h = rest.substr(0, colon);
        if (colon != std::string::npos) {
            p = rest.substr(colon + 1);
            if (p.empty()) return false;
        }
        for (unsigned char c : h)
            if (!is_alnum(c) && c != '-' && c != '.') return false;
    }
    if (h.empty() || h.size() > 253) return false;
    long n = 8000;
    if (!p.empty()) {
        if (p.size() > 5) return false;
        n = 0;
        for (char c : p) {
            if (c < '0' || c > '9') return false;
            n = n * 10 + (c - '0');
        }
        if (n < 1 || n > 65535) return false;
    }
    *host = h;
    *port = static_cast<int>(n);
    return true;
}

bool selection::wants(uint32_t sid) const {
    return all || std::find(sids.begin(), sids.end(), sid) != sids.end();
}

bool parse_services(const std::string &text, selection *out) {
    *out = selection();
    std::vector<std::string> words;
    std::string w;
    for (char c : text + " ") {
        if (c == ' ' || c == '\t' || c == ',') {
            if (!w.empty()) words.push_back(w);
            w.clear();
        } else {
            w += c;
        }
    }
    if (words.empty()) return true;
    if (words.size() == 1 && strcasecmp(words[0].c_str(), "all") == 0) return true;
    selection s;
    s.all = false;
    for (const std::string &word : words) {
        size_t i = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X') ? 2 : 0;
        if (word.size() - i < 1 || word.size() - i > 8) {
            out->all = false;
            return false;
        }
        uint32_t v = 0;
        for (; i < word.size(); i++) {
            const int d = hex_digit(word[i]);
            if (d < 0) {
                out->all = false;
                return false;
            }
            v = v << 4 | static_cast<uint32_t>(d);
        }
        s.sids.push_back(v);
    }
    *out = s;
    return true;
}

std::string url_safe_label(const std::string &latin1) {
    std::string out;
    bool gap = false;
    for (unsigned char c : latin1) {
        if (is_alnum(c)) {
            if (gap && !out.empty()) out += '_';
            gap = false;
            out += static_cast<char>(c);
        } else {
            gap = true;
        }
    }
    return out;
}

std::string expand_mount(const std::string &tmpl, uint32_t sid, const std::string &label_latin1) {
    if (tmpl.empty() || tmpl[0] != '/') return "";
    char id[16];
    snprintf(id, sizeof id, sid > 0xFFFF ? "%08x" : "%04x", static_cast<unsigned>(sid));
    std::string out;
    for (size_t i = 0; i < tmpl.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(tmpl[i]);
        if (c == '%') {
            const char k = i + 1 < tmpl.size() ? tmpl[i + 1] : 0;
            i++;
            if (k == 's') {
                out += id;
            } else if (k == 'l') {
                const std::string l = url_safe_label(label_latin1);
                out += l.empty() ? id : l;
            } else if (k == '%') {
                // A percent sign in a path is an escape: spelled as one.
                out += "%25";
            } else {
                return "";
            }
        } else if (is_unreserved(c) || c == '/') {
            out += static_cast<char>(c);
        } else {
            return "";
        }
    }
    if (out.size() > mount_max) return "";
    return out;
}

std::string base64(const std::string &in) {
    static constexpr char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << 16 |
                           static_cast<uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8 |
                           static_cast<unsigned char>(in[i + 2]);
        out += table[v >> 18 & 63];
        out += table[v >> 12 & 63];
        out += table[v >> 6 & 63];
        out += table[v & 63];
    }
    const size_t left = in.size() - i;
    if (left) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << 16;
        if (left == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
        out += table[v >> 18 & 63];
        out += table[v >> 12 & 63];
        out += left == 2 ? table[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

std::string header_text(const std::string &latin1) {
    const std::string s = without_controls(latin1);
    return latin1_to_utf8(s.c_str(), s.size());
}

std::string source_head(const source_request &r) {
    std::string h = "PUT " + r.mount + " HTTP/1.1\r\n";
    h += "Host: " + host_line(r) + "\r\n";
    h += "Authorization: Basic " + base64(r.user + ":" + r.password) + "\r\n";
    h += std::string("User-Agent: ") + user_agent + "\r\n";
    h += r.dabplus ? "Content-Type: audio/mp4a-latm\r\n" : "Content-Type: audio/mpeg\r\n";
    h += "ice-name: " + header_text(r.name) + "\r\n";
    h += "ice-description: " + header_text(r.description) + "\r\n";
    h += std::string("ice-public: ") + (r.is_public ? "1" : "0") + "\r\n";
    std::string info;
    if (r.bitrate > 0) {
        h += "ice-bitrate: " + std::to_string(r.bitrate) + "\r\n";
        info = "ice-bitrate=" + std::to_string(r.bitrate);
    }
    if (r.samplerate > 0) info += (info.empty() ? "" : ";") + std::string("ice-samplerate=") + std::to_string(r.samplerate);
    if (r.channels > 0) info += (info.empty() ? "" : ";") + std::string("ice-channels=") + std::to_string(r.channels);
    if (!info.empty()) h += "ice-audio-info: " + info + "\r\n";
    h += "\r\n";
    return h;
}

std::string metadata_request(const source_request &r, const std::string &title_latin1) {
    std::string h = "GET /admin/metadata?mount=" + percent_encode(r.mount) +
                    "&mode=updinfo&song=" + percent_encode(header_text(title_latin1)) + "&charset=UTF-8 HTTP/1.0\r\n";
    h += "Host: " + host_line(r) + "\r\n";
    h += "Authorization: Basic " + base64(r.user + ":" + r.password) + "\r\n";
    h += std::string("User-Agent: ") + user_agent + "\r\n\r\n";
    return h;
}

answer parse_answer(const std::string &in, bool closed) {
    answer a;
    size_t head_end = in.find("\r\n\r\n");
    size_t body = head_end == std::string::npos ? std::string::npos : head_end + 4;
    if (head_end == std::string::npos) {
        head_end = in.find("\n\n");
        body = head_end == std::string::npos ? std::string::npos : head_end + 2;
    }
    if (head_end == std::string::npos || head_end > answer_max) {
        if (in.size() >= answer_max || head_end != std::string::npos) {
            a.kind = answer_kind::malformed;
            a.reason = "answer head too long";
        } else if (closed) {
            a.kind = answer_kind::malformed;
            a.reason = in.empty() ? "connection closed without an answer" : "answer cut short";
        }
        return a;
    }
    // "HTTP/1.x NNN text"
    const size_t line_end = in.find_first_of("\r\n");
    const std::string line = in.substr(0, line_end);
    if (line.compare(0, 5, "HTTP/") != 0) {
        a.kind = answer_kind::malformed;
        a.reason = "not an HTTP answer";
        return a;
    }
    const size_t sp = line.find(' ');
    if (sp == std::string::npos || sp + 4 > line.size() || (sp + 4 < line.size() && line[sp + 4] != ' ')) {
        a.kind = answer_kind::malformed;
        a.reason = "no status in the answer";
        return a;
    }
    int status = 0;
    for (size_t i = sp + 1; i < sp + 4; i++) {
        if (line[i] < '0' || line[i] > '9') {
            a.kind = answer_kind::malformed;
            a.reason = "no status in the answer";
            return a;
        }
        status = status * 10 + (line[i] - '0');
    }
    a.status = status;
    const std::string status_text = sp + 5 <= line.size() ? printable(line.substr(sp + 5)) : "";
    if (status == 100 || (status >= 200 && status < 300)) {
        a.kind = answer_kind::accepted;
        a.reason = status_text;
        return a;
    }
    // Icecast says why in the body, and closes.
    if (!closed && in.size() < answer_max) return a;
    std::string first;
    if (body < in.size()) {
        const std::string b = in.substr(body);
        const size_t start = b.find_first_not_of("\r\n \t");
        if (start != std::string::npos) first = b.substr(start, b.find_first_of("\r\n", start) - start);
    }
    if (!first.empty() && first[0] == '<') first.clear();  // an HTML page says no more than the status
    a.reason = printable(first.empty() ? status_text : first);
    if (status == 401)
        a.kind = answer_kind::unauthorised;
    else if (status == 403 && a.reason.find("Mountpoint in use") != std::string::npos)
        a.kind = answer_kind::in_use;
    else
        a.kind = answer_kind::refused;
    return a;
}

}  // namespace icecast_wire

using namespace icecast_wire;

namespace {

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

constexpr int answer_timeout_ms = 10000;
constexpr int title_timeout_ms = 5000;
// Icecast that takes nothing for this long while bytes wait is given up and called again.
constexpr int stall_ms = 15000;
// A connection that streamed this long starts the back-off afresh when it is lost.
constexpr int settled_ms = 10000;
constexpr int sync_ms = 1000;
constexpr int publish_ms = 250;
constexpr int idle_wait_ms = 200;
// Beyond the ring every listener reads, a mount's only queue is its socket's send buffer (the
// kernel doubles what is asked): Icecast that reads slowly holds up no one, and one that falls a
// ring behind is called again at a frame boundary.
constexpr int send_buffer = 16384;
constexpr unsigned long most_per_turn = 65536;
constexpr int resolve_again_ms = 60000;
constexpr int label_wait_ms = 5000;


// Sends what the socket takes: the count, 0 when it takes nothing now, -1 on a failure (errno).
ssize_t send_now(int fd, const void *p, size_t n) {
    for (;;) {
        const ssize_t s = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (s >= 0) return s;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

// Reads what is there into in (bounded): false when the peer closed or the socket failed.
bool read_now(int fd, std::string &in, size_t bound, int *err) {
    char b[2048];
    for (;;) {
        const ssize_t r = recv(fd, b, sizeof b, MSG_DONTWAIT);
        if (r > 0) {
            const size_t room = in.size() < bound ? bound - in.size() : 0;
            in.append(b, std::min(room, static_cast<size_t>(r)));
            if (room == 0) return true;
            continue;
        }
        if (r == 0) {
            *err = 0;
            return false;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        *err = errno;
        return false;
    }
}

// 1 connected, 0 still connecting, -1 failed (errno set).
int connect_done(int fd) {
    pollfd p{fd, POLLOUT, 0};
    const int r = poll(&p, 1, 0);
    if (r == 0) return 0;
    if (r < 0) return errno == EINTR ? 0 : -1;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
    if (err) {
        errno = err;
        return -1;
    }
    return 1;
}

}  // namespace

// A short exchange on a socket of its own: the title request.
struct icecast_exchange {
    int fd = -1;
    std::string out, in;
    size_t sent = 0;
    bool connected = false;
    long long deadline = 0;
    std::string title;
    void close_it() {
        if (fd >= 0) close(fd);
        fd = -1;
        out.clear();
        in.clear();
        sent = 0;
        connected = false;
    }
    ~icecast_exchange() { close_it(); }
};

struct icecast::settings {
    std::string url, user, password, mount, services;
    int is_public = 0;
    bool operator!=(const settings &o) const {
        return url != o.url || user != o.user || password != o.password || mount != o.mount ||
               services != o.services || is_public != o.is_public;
    }
    // Checked once per change.
    std::string host;
    int port = 0;
    selection sel;
    // Every address of the host, tried in turn: "localhost" may name ::1 first while Icecast
    // listens on 127.0.0.1 only.
    struct address {
        sockaddr_storage sa;
        socklen_t len;
    };
    std::vector<address> addrs;
    size_t cur = 0;
    long long resolved_at = -resolve_again_ms;
    const address *now_addr() const { return addrs.empty() ? nullptr : &addrs[cur % addrs.size()]; }
};

struct icecast::mount {
    enum class st { waiting, connecting, head, answer, streaming };
    source_request req;
    uint32_t sid = 0;
    int subch = -1;
    st state = st::waiting;
    int fd = -1;
    std::string out, in;
    size_t out_sent = 0;
    long long next_attempt = 0, deadline = 0, accepted_at = 0, last_progress = 0, created = 0;
    int backoff = 0;
    bool tried = false;
    size_t addr_tries = 0;  // addresses of the host tried in this attempt
    std::unique_ptr<ring_reader> rd;
    unsigned long overruns_seen = 0, threshold = 0;
    uint64_t bytes_sent = 0;
    unsigned reconnects = 0;
    std::string last_error, logged;
    // Titles.
    icecast_exchange meta;
    std::string title_sent, title_error_logged;
    long long last_title = -title_interval_ms;
    bool labels_known = false;  // the programme's and the ensemble's label, for the source's name
};

icecast::icecast(ensemble *p) : e(p), buf_(16384) {}

icecast::~icecast() {
    stop();
    if (ep_ >= 0) close(ep_);
}

void *icecast::thread_wrapper(void *p) {
    static_cast<icecast *>(p)->run();
    return nullptr;
}

bool icecast::start() {
    std::lock_guard<std::mutex> g(start_m_);
    if (running_) return true;
    {
        mutex_guard cg(&e->cfg->lck);
        if (!e->cfg->icecast[0]) return true;
    }
    if (ep_ < 0) ep_ = epoll_create1(EPOLL_CLOEXEC);
    if (ep_ < 0) return false;
    quit_.store(false);
    if (thread_create(&thread_, thread_wrapper, this, 0) != 0) {
        e->l->log(LOG_ERR, "icecast: cannot start the source thread\n");
        return false;
    }
    running_ = true;
    return true;
}

void icecast::stop() {
    std::lock_guard<std::mutex> g(start_m_);
    if (!running_) return;
    quit_.store(true);
    pthread_join(thread_, nullptr);
    running_ = false;
}

std::vector<icecast_mount_status> icecast::mounts() const {
    std::lock_guard<std::mutex> g(status_m_);
    return status_;
}

void icecast::publish() {
    std::vector<icecast_mount_status> v;
    for (const auto &m : mounts_) {
        icecast_mount_status s;
        s.mount = m->req.mount;
        s.sid = m->sid;
        s.subchannel = m->subch;
        s.state = m->state == mount::st::streaming ? "streaming" : m->state == mount::st::waiting ? "waiting" : "connecting";
        s.bytes_sent = m->bytes_sent;
        s.reconnects = m->reconnects;
        s.last_error = m->last_error;
        s.title = m->title_sent;
        v.push_back(std::move(s));
    }
    std::lock_guard<std::mutex> g(status_m_);
    status_.swap(v);
}

void icecast::close_mount(mount &m) {
    if (m.fd >= 0) {
        epoll_ctl(ep_, EPOLL_CTL_DEL, m.fd, nullptr);
        // What the kernel holds is still delivered, then Icecast sees the end of the source.
        close(m.fd);
    }
    m.fd = -1;
    m.rd.reset();
    if (m.meta.fd >= 0) epoll_ctl(ep_, EPOLL_CTL_DEL, m.meta.fd, nullptr);
    m.meta.close_it();
    m.out.clear();
    m.in.clear();
    m.out_sent = 0;
}

void icecast::fail(mount &m, long long now, const std::string &why, bool log_it) {
    if (m.state == mount::st::streaming && now - m.accepted_at >= settled_ms) m.backoff = 0;
    close_mount(m);
    m.state = mount::st::waiting;
    m.last_error = why;
    if (!log_it) {
        // The programme itself is away for a moment (a retune, a reconfiguration): Icecast did
        // nothing wrong, so its back-off does not grow; it is looked for again in a second.
        m.next_attempt = now + backoff_first_ms;
        m.logged = why;
        return;
    }
    m.backoff = next_backoff(m.backoff);
    m.next_attempt = now + m.backoff;
    // Once per change of state: a server that refuses every minute says so once.
    if (why != m.logged)
        e->l->log(LOG_WARN, "icecast: %s: %s; trying again in %d s\n", m.req.mount.c_str(), why.c_str(),
                  m.backoff / 1000);
    m.logged = why;
}

void icecast::begin_connect(mount &m, long long now, bool next_address) {
    settings &s = *applied_;
    if (!next_address) {
        // Icecast is not called for a programme that cannot be read (a retune under way).
        ring_reader probe(e->rbuff, m.subch, 0);
        if (!probe.open(true)) {
            fail(m, now, "programme not on air", false);
            return;
        }
        if (m.tried) m.reconnects++;
        m.tried = true;
        m.addr_tries = 0;
    }
    if (s.addrs.empty() || now - s.resolved_at >= resolve_again_ms) {
        // Resolved here, on this thread only: a slow name server holds up the sources alone.
        addrinfo hints{}, *res = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        const std::string port = std::to_string(s.port);
        const int r = getaddrinfo(s.host.c_str(), port.c_str(), &hints, &res);
        s.resolved_at = now;
        s.addrs.clear();
        s.cur = 0;
        for (const addrinfo *a = r == 0 ? res : nullptr; a; a = a->ai_next) {
            if (a->ai_addrlen > sizeof(sockaddr_storage) || s.addrs.size() >= 8) continue;
            settings::address one{};
            memcpy(&one.sa, a->ai_addr, a->ai_addrlen);
            one.len = a->ai_addrlen;
            s.addrs.push_back(one);
        }
        if (res) freeaddrinfo(res);
        if (s.addrs.empty()) {
            fail(m, now, "cannot resolve " + s.host + ": " + (r ? gai_strerror(r) : "no address"));
            return;
        }
    }
    const settings::address &to = *s.now_addr();
    m.fd = socket(to.sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m.fd < 0) {
        fail(m, now, std::string("no socket: ") + strerror(errno));
        return;
    }
    const int sb = send_buffer;
    setsockopt(m.fd, SOL_SOCKET, SO_SNDBUF, &sb, sizeof sb);
    m.deadline = now + answer_timeout_ms;
    m.out = source_head(m.req);
    m.out_sent = 0;
    m.in.clear();
    if (connect(m.fd, reinterpret_cast<const sockaddr *>(&to.sa), to.len) != 0 && errno != EINPROGRESS) {
        const int err = errno;
        if (another_address(m, now)) return;
        fail(m, now, std::string("cannot connect: ") + strerror(err));
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.ptr = &m;
    epoll_ctl(ep_, EPOLL_CTL_ADD, m.fd, &ev);
    m.state = mount::st::connecting;
}

bool icecast::another_address(mount &m, long long now) {
    settings &s = *applied_;
    if (++m.addr_tries >= s.addrs.size()) return false;
    close_mount(m);
    s.cur++;
    begin_connect(m, now, true);
    return true;
}

void icecast::step(mount &m, long long now) {
    if (m.state == mount::st::waiting) {
        if (now < m.next_attempt) return;
        // Icecast keeps a source's name for the whole connection: labels arrive in the FIC
        // after the table, so a new programme waits a little for its own.
        if (!m.labels_known && now - m.created < label_wait_ms) return;
        begin_connect(m, now);
        if (m.state != mount::st::connecting) return;
    }
    if (m.state == mount::st::connecting) {
        const int r = connect_done(m.fd);
        if (r < 0) {
            const int err = errno;
            if (another_address(m, now)) return;
            fail(m, now, std::string("cannot connect: ") + strerror(err));
            return;
        }
        if (r == 0) {
            if (now >= m.deadline) fail(m, now, "no connection in time");
            return;
        }
        m.state = mount::st::head;
    }
    if (m.state == mount::st::head) {
        const ssize_t n = send_now(m.fd, m.out.data() + m.out_sent, m.out.size() - m.out_sent);
        if (n < 0) {
            fail(m, now, std::string("connection lost: ") + strerror(errno));
            return;
        }
        m.out_sent += static_cast<size_t>(n);
        if (m.out_sent < m.out.size()) {
            if (now >= m.deadline) fail(m, now, "no answer in time");
            return;
        }
        m.out.clear();
        m.state = mount::st::answer;
    }
    if (m.state == mount::st::answer) {
        int err = 0;
        const bool open = read_now(m.fd, m.in, answer_max, &err);
        const bool timed_out = now >= m.deadline;
        const answer a = parse_answer(m.in, !open || timed_out);
        switch (a.kind) {
            case answer_kind::incomplete:
                if (timed_out) fail(m, now, "no answer in time");
                return;
            case answer_kind::unauthorised:
                fail(m, now, "refused (401): wrong user name or password for the source");
                return;
            case answer_kind::in_use: fail(m, now, "refused (403): mountpoint in use"); return;
            case answer_kind::refused:
                fail(m, now, "refused (" + std::to_string(a.status) + "): " + a.reason);
                return;
            case answer_kind::malformed:
                fail(m, now, err ? std::string("connection lost: ") + strerror(err) : a.reason);
                return;
            case answer_kind::accepted: break;
        }
        // The stream starts at the newest frame boundary, as for a listener of /stream/N.
        m.rd = std::make_unique<ring_reader>(e->rbuff, m.subch, 0);
        if (!m.rd->open(true)) {
            fail(m, now, "programme not on air");
            return;
        }
        m.threshold = (m.rd->flags() & RING_FIDC_FLAG) ? 0 : m.rd->size() / 64;
        m.overruns_seen = m.rd->overruns() + m.rd->skipped();
        m.state = mount::st::streaming;
        m.accepted_at = m.last_progress = now;
        m.title_sent.clear();  // a new source has no title yet
        m.last_error.clear();
        if (m.logged != "streaming")
            e->l->log(LOG_INFO, "icecast: %s: streaming to %s:%d\n", m.req.mount.c_str(), applied_->host.c_str(),
                      applied_->port);
        m.logged = "streaming";
    }
    if (m.state == mount::st::streaming) {
        pump(m, now);
        if (m.state == mount::st::streaming) titles(m, now);
    }
}

void icecast::pump(mount &m, long long now) {
    // Icecast says nothing while it takes a source: anything readable is its end.
    std::string ignored;
    int err = 0;
    if (!read_now(m.fd, ignored, 256, &err)) {
        fail(m, now, err ? std::string("connection lost: ") + strerror(err) : "connection closed by Icecast");
        return;
    }
    const long waiting = m.rd->pending();
    if (waiting < 0 || !m.rd->alive()) {
        fail(m, now, "programme left the ensemble", false);
        return;
    }
    if (m.rd->overruns() + m.rd->skipped() != m.overruns_seen) {
        fail(m, now, "Icecast took the stream too slowly");
        return;
    }
    if (static_cast<unsigned long>(waiting) <= m.threshold) {
        m.last_progress = now;
        return;
    }
    for (unsigned long done = 0; done < most_per_turn;) {
        const unsigned long got = m.rd->peek(buf_.data(), std::min<unsigned long>(buf_.size(), most_per_turn - done));
        if (got == 0) break;
        const ssize_t sent = send_now(m.fd, buf_.data(), got);
        if (sent < 0) {
            fail(m, now, std::string("connection lost: ") + strerror(errno));
            return;
        }
        m.rd->consume(static_cast<unsigned long>(sent));
        m.bytes_sent += static_cast<uint64_t>(sent);
        done += static_cast<unsigned long>(sent);
        if (sent > 0) m.last_progress = now;
        if (static_cast<unsigned long>(sent) < got) break;
    }
    if (now - m.last_progress > stall_ms) fail(m, now, "Icecast takes nothing of the stream");
}

void icecast::titles(mount &m, long long now) {
    icecast_exchange &x = m.meta;
    if (x.fd >= 0) {
        std::string problem;
        bool done = false;
        if (!x.connected) {
            const int r = connect_done(x.fd);
            if (r < 0) problem = std::string("cannot connect: ") + strerror(errno);
            x.connected = r > 0;
        }
        if (problem.empty() && x.connected && x.sent < x.out.size()) {
            const ssize_t n = send_now(x.fd, x.out.data() + x.sent, x.out.size() - x.sent);
            if (n < 0)
                problem = std::string("connection lost: ") + strerror(errno);
            else
                x.sent += static_cast<size_t>(n);
        }
        if (problem.empty() && x.connected && x.sent == x.out.size()) {
            int err = 0;
            const bool open = read_now(x.fd, x.in, answer_max, &err);
            const answer a = parse_answer(x.in, !open || now >= x.deadline);
            if (a.kind == answer_kind::accepted) {
                m.title_sent = x.title;
                m.title_error_logged.clear();
                done = true;
            } else if (a.kind == answer_kind::unauthorised) {
                problem = "title refused (401): wrong user name or password";
            } else if (a.kind != answer_kind::incomplete) {
                problem = "title refused: " + (a.status ? std::to_string(a.status) + " " : std::string()) + a.reason;
            }
        }
        if (problem.empty() && !done && now >= x.deadline) problem = "no answer to the title in time";
        if (!problem.empty()) {
            if (problem != m.title_error_logged)
                e->l->log(LOG_WARN, "icecast: %s: %s\n", m.req.mount.c_str(), problem.c_str());
            m.title_error_logged = problem;
            done = true;
        }
        if (done) {
            epoll_ctl(ep_, EPOLL_CTL_DEL, x.fd, nullptr);
            x.close_it();
        }
        return;
    }
    if (!e->mot_decoder || now - m.last_title < title_interval_ms) return;
    char label[DL_TEXT];
    if (!mot_label_now(*e->mot_decoder, m.subch, label, sizeof label, nullptr) || !label[0] || m.title_sent == label)
        return;
    settings &s = *applied_;
    const settings::address *to = s.now_addr();
    if (!to) return;
    m.last_title = now;
    x.fd = socket(to->sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (x.fd < 0) return;
    x.title = label;
    x.out = metadata_request(m.req, label);
    x.deadline = now + title_timeout_ms;
    if (connect(x.fd, reinterpret_cast<const sockaddr *>(&to->sa), to->len) != 0 && errno != EINPROGRESS) {
        x.close_it();
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.ptr = &x;
    epoll_ctl(ep_, EPOLL_CTL_ADD, x.fd, &ev);
}

void icecast::sync(long long now) {
    settings s;
    {
        config *c = e->cfg;
        mutex_guard g(&c->lck);
        s.url = c->icecast;
        s.user = c->icecastuser;
        s.password = c->icecastpassword;
        s.mount = c->icecastmount;
        s.services = c->icecastservices;
        s.is_public = c->icecastpublic;
    }
    if (!applied_ || *applied_ != s) {
        for (auto &m : mounts_) close_mount(*m);
        mounts_.clear();
        std::string problem;
        if (!s.url.empty() && !parse_url(s.url, &s.host, &s.port))
            problem = "the value of icecast is no http://HOST:PORT";  // not shown: it might hold a password
        else if (!parse_services(s.services, &s.sel))
            problem = "icecastservices \"" + s.services + "\" is neither all nor a list of service ids";
        else if (expand_mount(s.mount, 0xD101, "Label").empty())
            problem = "icecastmount \"" + s.mount + "\" is no usable mount (it starts with /, with %s, %l, %%)";
        if (!problem.empty())
            e->l->log(LOG_WARN, "icecast: %s: no programme is fed\n", problem.c_str());
        else if (!s.url.empty())
            e->l->log(LOG_INFO, "icecast: feeding %s:%d as user %s\n", s.host.c_str(), s.port, s.user.c_str());
        config_problem_ = problem;
        applied_ = std::make_unique<settings>(s);
    }
    if (!config_problem_.empty() || applied_->url.empty()) return;

    // What the feed needs of the service table, copied under its lock.
    struct wanted {
        uint32_t sid;
        int subch, bitrate;
        bool plus;
        std::string label;
    };
    std::vector<wanted> want;
    msc *table = e->msc_stream;
    table->lock();
    for (int i = 0; i < MAX_SERVICES && table->service[i].sc; i++) {
        const dab_service_t &sv = table->service[i];
        const dab_component_t *audio = nullptr;
        for (int k = 0; k < sv.numofsc; k++) {
            const dab_component_t &c = sv.sc[k];
            if (c.tmid != 0 || c.subchannel < 0 || c.subchannel >= MAX_SUBCHANNELS) continue;
            if (!audio || (c.ps && !audio->ps)) audio = &c;
        }
        if (!audio || !applied_->sel.wants(static_cast<uint32_t>(sv.sid))) continue;
        std::string label(sv.label, strnlen(sv.label, sizeof sv.label));
        if (label.find_first_not_of(' ') == std::string::npos)
            label.assign(audio->label, strnlen(audio->label, sizeof audio->label));
        while (!label.empty() && label.back() == ' ') label.pop_back();
        want.push_back({static_cast<uint32_t>(sv.sid), audio->subchannel, audio->bitrate,
                        audio->ascty == ASCTY_DABPLUS, label});
    }
    table->unlock();

    char ens_label[32] = {};
    e->fic_stream->get_ensemble_label(ens_label);
    std::string description(ens_label, strnlen(ens_label, sizeof ens_label));
    while (!description.empty() && description.back() == ' ') description.pop_back();
    const bool ensemble_known = !description.empty();
    char channel[CHANNEL_NAME_SIZE] = {};
    const int khz = e->d->ds.tune_freq * 16;
    if (khz > 0 && dcsr::channel_to_name(channel, khz)) {
        for (char *p = channel; *p; p++)
            if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
        description += (description.empty() ? "" : ", ") + std::string("channel ") + channel;
    }

    std::vector<std::unique_ptr<mount>> next;
    for (const wanted &w : want) {
        std::string path = expand_mount(applied_->mount, w.sid, w.label);
        // Two programmes never share a mount: they would refuse each other for ever.
        auto taken = [&](const std::string &p) {
            return std::any_of(next.begin(), next.end(), [&](const auto &m) { return m->req.mount == p; });
        };
        if (taken(path)) {
            char id[16];
            snprintf(id, sizeof id, "-%x", static_cast<unsigned>(w.sid));
            path += id;
        }
        if (path.empty() || taken(path)) continue;
        std::unique_ptr<mount> m;
        for (auto &old : mounts_) {
            if (old && old->req.mount == path && old->subch == w.subch && old->req.dabplus == w.plus) {
                m = std::move(old);
                break;
            }
        }
        if (!m) {
            m = std::make_unique<mount>();
            m->next_attempt = now;
            m->created = now;
            m->req.mount = path;
            m->subch = w.subch;
            m->req.dabplus = w.plus;
        }
        m->sid = w.sid;
        m->req.host = applied_->host;
        m->req.port = applied_->port;
        m->req.user = applied_->user;
        m->req.password = applied_->password;
        m->req.is_public = applied_->is_public != 0;
        m->req.name = w.label;
        m->req.description = description;
        m->labels_known = ensemble_known && !w.label.empty();
        m->req.bitrate = w.bitrate;
        dabcommon::sf_header h;
        if (w.plus && table->dabplus_format(w.subch, h)) {
            m->req.samplerate = h.output_rate();
            m->req.channels = h.channels();
        }
        next.push_back(std::move(m));
    }
    for (auto &old : mounts_) {
        if (!old) continue;
        if (old->state == mount::st::streaming)
            e->l->log(LOG_INFO, "icecast: %s: programme left the ensemble, source closed\n", old->req.mount.c_str());
        close_mount(*old);
    }
    mounts_.swap(next);
}

void icecast::run() {
    epoll_event evs[64];
    long long last_sync = -sync_ms, last_publish = 0;
    while (!quit_.load() && !e->cfg->finished) {
        const long long now = now_ms();
        if (now - last_sync >= sync_ms) {
            last_sync = now;
            sync(now);
        }
        bool streaming = false;
        for (auto &m : mounts_) {
            step(*m, now);
            streaming = streaming || m->state == mount::st::streaming;
        }
        if (now - last_publish >= publish_ms) {
            last_publish = now;
            publish();
        }
        // Edge-triggered: a connection's progress wakes the loop early; the streams are sent
        // in batches, as the stream loops send theirs.
        const int n = epoll_wait(ep_, evs, 64, streaming ? turn_ms : idle_wait_ms);
        (void)n;
    }
    for (auto &m : mounts_) close_mount(*m);
    mounts_.clear();
    publish();
}
