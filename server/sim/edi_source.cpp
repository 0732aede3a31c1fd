#include "sim/edi_source.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t MAX_QUEUE = 125;     // frames, 3 s: a module held up by a busy machine catches up
constexpr int64_t SIGNAL_HOLD_MS = 3000;  // without frames this long: no signal
constexpr int POLL_MS = 100;          // how soon the thread sees the stop
constexpr int CONNECT_TIMEOUT_MS = 1000;
constexpr int BACKOFF_FIRST_MS = 250;
constexpr int BACKOFF_MAX_MS = 2000;  // a restarted sender is back within connect + back-off
constexpr int UDP_RCVBUF = 1 << 20;
// A connection that brings nothing this long is given up: a peer gone without closing it
// (a multiplexer's host that went down, a NAT that forgot it) leaves it open for ever.
constexpr int64_t TCP_IDLE_MS = 10000;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void say(const std::string &what) { std::fprintf(stderr, "edi: %s\n", what.c_str()); }

bool parse_port(const std::string &s, int &port) {
    if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    port = std::atoi(s.c_str());
    return port >= 1 && port <= 65535;
}

std::string unbracket(const std::string &h) {
    return h.size() >= 2 && h.front() == '[' && h.back() == ']' ? h.substr(1, h.size() - 2) : h;
}

}  // namespace

int parse_edi_address(const std::string &text, edi_address &a) {
    a = edi_address{};
    if (text.rfind("udp://", 0) == 0) {
        const std::string rest = text.substr(6);
        const size_t at = rest.rfind('@');
        a.kind = edi_address::UDP;
        if (at != std::string::npos) {
            a.host = unbracket(rest.substr(0, at));
            if (a.host.empty()) return 0;
        }
        if (!parse_port(at == std::string::npos ? rest : rest.substr(at + 1), a.port)) return 0;
        in_addr v4;
        if (inet_pton(AF_INET, a.host.c_str(), &v4) == 1) a.multicast = IN_MULTICAST(ntohl(v4.s_addr));
        return 1;
    }
    if (text.rfind("tcp://", 0) == 0) {
        const std::string rest = text.substr(6);
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos || colon == 0) return 0;
        a.kind = edi_address::TCP;
        a.host = unbracket(rest.substr(0, colon));
        return !a.host.empty() && parse_port(rest.substr(colon + 1), a.port);
    }
    if (text.empty() || text.find("://") != std::string::npos) return 0;
    a.kind = edi_address::FILE;
    a.path = text;
    return 1;
}

std::unique_ptr<edi_source> edi_source::open(const std::string &text, const std::string &mcastif) {
    edi_address a;
    if (!parse_edi_address(text, a)) {
        say("not an EDI address: " + text);
        return nullptr;
    }
    std::unique_ptr<edi_source> s(new edi_source(a));
    if (!s->open_input(mcastif)) return nullptr;
    s->thread_ = std::thread([p = s.get()] { p->run(); });
    return s;
}

edi_source::edi_source(const edi_address &a)
    : addr_(a), dec_([this](const uint8_t *eti) { on_frame(eti); }) {}

edi_source::~edi_source() {
    {
        std::lock_guard<std::mutex> g(m_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0 && !(addr_.kind == edi_address::FILE && addr_.path == "-")) ::close(fd_);
}

bool edi_source::open_input(const std::string &mcastif) {
    switch (addr_.kind) {
    case edi_address::TCP:
        return true;  // connected by the thread, again and again
    case edi_address::FILE: {
        if (addr_.path == "-") {
            fd_ = 0;
            return true;
        }
        fd_ = ::open(addr_.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            say("cannot open " + addr_.path + ": " + std::strerror(errno));
            return false;
        }
        struct stat st;
        fifo_ = fstat(fd_, &st) == 0 && S_ISFIFO(st.st_mode);
        return true;
    }
    case edi_address::UDP:
        break;
    }
    addrinfo hints{};
    hints.ai_family = addr_.host.empty() ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *res = nullptr;
    const std::string port = std::to_string(addr_.port);
    const int gr = getaddrinfo(addr_.host.empty() ? nullptr : addr_.host.c_str(), port.c_str(), &hints, &res);
    if (gr != 0 || !res) {
        say("cannot use " + addr_.host + ": " + gai_strerror(gr));
        return false;
    }
    fd_ = socket(res->ai_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    if (fd_ >= 0) {
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &UDP_RCVBUF, sizeof UDP_RCVBUF);
        // Several receivers of one multicast group on a host each get every datagram.
        if (addr_.multicast) setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    const bool bound = fd_ >= 0 && bind(fd_, res->ai_addr, res->ai_addrlen) == 0;
    const int err = errno;
    freeaddrinfo(res);
    if (!bound) {
        say("cannot receive on udp port " + port + ": " + std::strerror(err));
        return false;
    }
    if (addr_.multicast) {
        ip_mreqn mreq{};
        inet_pton(AF_INET, addr_.host.c_str(), &mreq.imr_multiaddr);
        if (!mcastif.empty()) {
            mreq.imr_ifindex = static_cast<int>(if_nametoindex(mcastif.c_str()));
            if (mreq.imr_ifindex == 0) {
                say("no network interface \"" + mcastif + "\" for multicast");
                return false;
            }
        }
        if (setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) {
            say("cannot join " + addr_.host + ": " + std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool edi_source::wait_stop(int ms) {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stop_; });
    return stop_;
}

void edi_source::run() {
    switch (addr_.kind) {
    case edi_address::UDP: run_udp(); break;
    case edi_address::TCP: run_tcp(); break;
    case edi_address::FILE: run_file(); break;
    }
    publish();
}

void edi_source::publish() {
    const dabcommon::edi_counters c = dec_.counters();
    std::lock_guard<std::mutex> g(m_);
    counters_ = c;
}

void edi_source::on_frame(const uint8_t *eti) {
    std::unique_ptr<dabcommon::eti_frame> f;
    {
        std::lock_guard<std::mutex> g(m_);
        if (!spare_.empty()) {
            f = std::move(spare_.front());
            spare_.pop_front();
        }
    }
    if (!f) f = std::make_unique<dabcommon::eti_frame>();
    const bool ok = dabcommon::parse_eti_frame(eti, dabcommon::ETI_FRAME_SIZE, *f) > 0;
    std::unique_lock<std::mutex> lk(m_);
    if (!ok) {
        unparsable_++;
        spare_.push_back(std::move(f));
        return;
    }
    if (addr_.kind == edi_address::UDP) {
        // Datagrams do not wait: the oldest frame goes.
        while (queue_.size() >= MAX_QUEUE) {
            spare_.push_back(std::move(queue_.front()));
            queue_.pop_front();
            dropped_++;
        }
    } else {
        // A stream waits for the module, as a pipe would.
        cv_.wait(lk, [this] { return stop_ || queue_.size() < MAX_QUEUE; });
        if (stop_) return;
    }
    queue_.push_back(std::move(f));
    last_frame_ms_ = now_ms();
    lk.unlock();
    cv_.notify_all();
}

void edi_source::run_udp() {
    std::vector<uint8_t> buf(65536);
    pollfd p{fd_, POLLIN, 0};
    while (!wait_stop(0)) {
        const int r = poll(&p, 1, POLL_MS);
        if (r < 0 && errno != EINTR) {
            say(std::string("udp receive failed: ") + std::strerror(errno));
            break;
        }
        for (int i = 0; i < 256; i++) {
            const ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n < 0) break;
            dec_.push_datagram(buf.data(), static_cast<size_t>(n), static_cast<uint64_t>(now_ms()));
        }
        dec_.tick(static_cast<uint64_t>(now_ms()));
        publish();
    }
}

bool edi_source::read_stream(int fd, int64_t idle_limit_ms) {
    std::vector<uint8_t> buf(16384);
    pollfd p{fd, POLLIN, 0};
    int64_t last_data = now_ms();
    for (;;) {
        if (wait_stop(0)) return false;
        const int r = poll(&p, 1, POLL_MS);
        if (r < 0 && errno != EINTR) return true;
        dec_.tick(static_cast<uint64_t>(now_ms()));
        if (r <= 0) {
            publish();
            if (idle_limit_ms > 0 && now_ms() - last_data > idle_limit_ms) return true;
            continue;
        }
        last_data = now_ms();
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return true;
        dec_.push_stream(buf.data(), static_cast<size_t>(n), static_cast<uint64_t>(now_ms()));
        publish();
    }
}

void edi_source::run_file() {
    for (;;) {
        if (!read_stream(fd_, 0)) return;
        publish();
        if (!fifo_) break;
        // The FIFO's writer went: the next one starts a new stream. A fresh descriptor does not
        // report the old hang-up, so poll waits for the next writer instead of spinning.
        const int fd = ::open(addr_.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) break;
        ::close(fd_);
        fd_ = fd;
        dec_.restart();
    }
    std::lock_guard<std::mutex> g(m_);
    ended_ = true;
    cv_.notify_all();
}

void edi_source::run_tcp() {
    const std::string where = addr_.host + ":" + std::to_string(addr_.port);
    int backoff = BACKOFF_FIRST_MS;
    bool said_unreachable = false;
    while (!wait_stop(0)) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo *res = nullptr;
        int fd = -1;
        if (getaddrinfo(addr_.host.c_str(), std::to_string(addr_.port).c_str(), &hints, &res) == 0 && res) {
            fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd >= 0) {
                bool ok = connect(fd, res->ai_addr, res->ai_addrlen) == 0;
                if (!ok && errno == EINPROGRESS) {
                    pollfd p{fd, POLLOUT, 0};
                    int soerr = ETIMEDOUT;
                    socklen_t sl = sizeof soerr;
                    if (poll(&p, 1, CONNECT_TIMEOUT_MS) == 1) getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl);
                    ok = soerr == 0;
                }
                if (!ok) {
                    ::close(fd);
                    fd = -1;
                }
            }
            freeaddrinfo(res);
        }
        if (fd < 0) {
            if (!said_unreachable) say("cannot connect to " + where + ", trying again");
            said_unreachable = true;
            if (wait_stop(backoff)) return;
            backoff = std::min(backoff * 2, BACKOFF_MAX_MS);
            continue;
        }
        say("connected to " + where);
        said_unreachable = false;
        dec_.restart();
        const uint64_t packets_before = dec_.counters().af_packets;
        const bool go_on = read_stream(fd, TCP_IDLE_MS);
        ::close(fd);
        if (!go_on) return;
        say("connection to " + where + " lost");
        if (dec_.counters().af_packets > packets_before) backoff = BACKOFF_FIRST_MS;
        if (wait_stop(backoff)) return;
        backoff = std::min(backoff * 2, BACKOFF_MAX_MS);
    }
}

bool edi_source::has_ensemble(int) const {
    std::lock_guard<std::mutex> g(m_);
    if (!queue_.empty()) return true;
    if (ended_ || last_frame_ms_ < 0) return false;
    return now_ms() - last_frame_ms_ < SIGNAL_HOLD_MS;
}

int edi_source::next(dabcommon::eti_frame &f, int timeout_ms) {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait_for(lk, std::chrono::milliseconds(std::max(0, timeout_ms)),
                 [this] { return stop_ || ended_ || !queue_.empty(); });
    if (queue_.empty()) return ended_ ? 0 : -2;
    f = *queue_.front();
    spare_.push_back(std::move(queue_.front()));
    queue_.pop_front();
    lk.unlock();
    cv_.notify_all();
    return 1;
}

uint64_t edi_source::skipped_bytes() const {
    std::lock_guard<std::mutex> g(m_);
    return (counters_.frames_lost + unparsable_) * dabcommon::ETI_FRAME_SIZE + counters_.skipped_bytes;
}

void edi_source::stats(dabcommon::source_stats &s) const {
    std::lock_guard<std::mutex> g(m_);
    s.flags |= dabcommon::SOURCE_HAS_EDI;
    s.edi_af_packets = counters_.af_packets;
    s.edi_sequence_gaps = counters_.sequence_gaps;
    s.edi_crc_errors = counters_.crc_errors;
    s.edi_fec_recovered = counters_.fec_recovered;
    s.edi_frames_lost = counters_.frames_lost + unparsable_;
}
