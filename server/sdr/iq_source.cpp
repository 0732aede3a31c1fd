#include "sdr/iq_source.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifdef DAB_HAVE_RTLSDR
#include <rtl-sdr.h>
#endif

namespace {

constexpr double MIN_SPEED = 0.01;
constexpr double MAX_SPEED = 1000.0;
constexpr size_t READ_BYTES = 1 << 16;
constexpr uint32_t SAMPLE_RATE = 2048000;
constexpr int GREETING_TIMEOUT_MS = 3000;
constexpr int RECEIVE_BUFFER = 1 << 18;  // 64 ms of 8-bit samples
// After a retune: what the server had queued or was sending, and the tuner settling.
constexpr size_t SETTLE_BYTES = 2 * (1 << 18);  // 128 ms of samples

bool parse_int(const std::string &s, long lo, long hi, long &v) {
    if (s.empty() || s.size() > 10) return false;
    char *end = nullptr;
    errno = 0;
    v = std::strtol(s.c_str(), &end, 10);
    return errno == 0 && end && !*end && v >= lo && v <= hi;
}

bool write_all(int fd, const uint8_t *p, size_t n) {
    while (n) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

int parse_sdr_name(const char *name, sdr_options &o) {
    o = sdr_options{};
    if (!name || std::strncmp(name, "sdr:", 4) != 0) return 0;
    std::string rest = name + 4;
    size_t comma = rest.find(',');
    const std::string target = rest.substr(0, comma);
    long v = 0;
    if (target.rfind("file=", 0) == 0) {
        o.kind = sdr_options::file;
        o.path = target.substr(5);
        if (o.path.empty()) return 0;
    } else if (target.rfind("rtl_tcp=", 0) == 0) {
        o.kind = sdr_options::rtl_tcp;
        const std::string hp = target.substr(8);
        const size_t colon = hp.rfind(':');
        if (colon == std::string::npos || colon == 0 || !parse_int(hp.substr(colon + 1), 1, 65535, v)) return 0;
        o.host = hp.substr(0, colon);
        o.port = static_cast<int>(v);
    } else if (target == "rtlsdr") {
        o.kind = sdr_options::rtlsdr;
    } else if (target.rfind("rtlsdr=", 0) == 0) {
        o.kind = sdr_options::rtlsdr;
        if (!parse_int(target.substr(7), 0, 255, v)) return 0;
        o.index = static_cast<int>(v);
    } else {
        return 0;
    }
    while (comma != std::string::npos) {
        const size_t next = rest.find(',', comma + 1);
        const std::string opt = rest.substr(comma + 1, next == std::string::npos ? std::string::npos : next - comma - 1);
        comma = next;
        if (opt == "loop" && o.kind == sdr_options::file) {
            o.loop = true;
        } else if (opt.rfind("format=", 0) == 0 && o.kind == sdr_options::file) {
            const std::string f = opt.substr(7);
            if (f == "u8") o.format = iq_format::u8;
            else if (f == "s8") o.format = iq_format::s8;
            else if (f == "s16le") o.format = iq_format::s16le;
            else if (f == "cf32") o.format = iq_format::cf32;
            else return 0;
        } else if (opt.rfind("speed=", 0) == 0 && o.kind != sdr_options::rtlsdr) {
            char *end = nullptr;
            const double s = std::strtod(opt.c_str() + 6, &end);
            if (!end || *end || !(s >= MIN_SPEED && s <= MAX_SPEED)) return 0;
            o.speed = s;
        } else {
            return 0;
        }
    }
    return 1;
}

size_t iq_sample_bytes(iq_format f) {
    switch (f) {
        case iq_format::u8:
        case iq_format::s8: return 2;
        case iq_format::s16le: return 4;
        case iq_format::cf32: return 8;
    }
    return 2;
}

size_t iq_convert(iq_format f, const uint8_t *p, size_t n, std::complex<float> *out) {
    const size_t count = n / iq_sample_bytes(f);
    for (size_t i = 0; i < count; i++) {
        float re = 0, im = 0;
        switch (f) {
            case iq_format::u8:
                re = (p[2 * i] - 127.5f) / 127.5f;
                im = (p[2 * i + 1] - 127.5f) / 127.5f;
                break;
            case iq_format::s8:
                re = static_cast<int8_t>(p[2 * i]) / 128.0f;
                im = static_cast<int8_t>(p[2 * i + 1]) / 128.0f;
                break;
            case iq_format::s16le:
                re = static_cast<int16_t>(p[4 * i] | p[4 * i + 1] << 8) / 32768.0f;
                im = static_cast<int16_t>(p[4 * i + 2] | p[4 * i + 3] << 8) / 32768.0f;
                break;
            case iq_format::cf32:
                std::memcpy(&re, p + 8 * i, 4);
                std::memcpy(&im, p + 8 * i + 4, 4);
                // A recording is data like any other: no NaN or infinity into the FFTs.
                if (!std::isfinite(re)) re = 0;
                if (!std::isfinite(im)) im = 0;
                break;
        }
        out[i] = {re, im};
    }
    return count;
}

// ---------------------------------------------------------------------------------

file_iq_source::~file_iq_source() {
    if (fd_ >= 0) ::close(fd_);
}

int file_iq_source::open(const std::string &path, iq_format f, bool loop) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return 0;
    format_ = f;
    loop_ = loop;
    buf_.resize(READ_BYTES);
    return 1;
}

long file_iq_source::read(std::complex<float> *out, size_t max, int) {
    if (fd_ < 0) return -1;
    const size_t sb = iq_sample_bytes(format_);
    const size_t want = std::min(buf_.size(), max * sb);
    if (want < sb) return 0;
    for (;;) {
        const ssize_t n = ::read(fd_, buf_.data() + have_, want - have_);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) {
            const size_t total = have_ + static_cast<size_t>(n);
            const size_t count = iq_convert(format_, buf_.data(), total, out);
            have_ = total - count * sb;
            std::memmove(buf_.data(), buf_.data() + count * sb, have_);
            if (count) empty_pass_ = false;
            if (count) return static_cast<long>(count);
            continue;
        }
        if (n < 0 || !loop_ || empty_pass_) {
            ::close(fd_);
            fd_ = -1;
            return -1;
        }
        // A sample cut at the end is dropped rather than joined to the start.
        have_ = 0;
        empty_pass_ = true;
        if (lseek(fd_, 0, SEEK_SET) != 0) {
            ::close(fd_);
            fd_ = -1;
            return -1;
        }
    }
}

// ---------------------------------------------------------------------------------

rtltcp_iq_source::~rtltcp_iq_source() {
    if (fd_ >= 0) ::close(fd_);
}

int rtltcp_iq_source::open(const std::string &host, int port) {
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &res) != 0 || !res) {
        errno = EHOSTUNREACH;
        return 0;
    }
    int err = ECONNREFUSED;
    for (addrinfo *a = res; a && fd_ < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0)
            fd_ = fd;
        else {
            err = errno;
            ::close(fd);
        }
    }
    freeaddrinfo(res);
    if (fd_ < 0) {
        errno = err;
        return 0;
    }
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A short queue: what waits in it is heard late, and after a retune on the old frequency.
    const int rcvbuf = RECEIVE_BUFFER;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    // Greeting: "RTL0" tuner type(32) gain count(32)
    uint8_t greeting[12];
    size_t got = 0;
    while (got < sizeof greeting) {
        pollfd p{fd_, POLLIN, 0};
        const int r = poll(&p, 1, GREETING_TIMEOUT_MS);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        const ssize_t n = recv(fd_, greeting + got, sizeof greeting - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof greeting || std::memcmp(greeting, "RTL0", 4) != 0) {
        ::close(fd_);
        fd_ = -1;
        errno = EPROTO;
        return 0;
    }
    buf_.resize(READ_BYTES);
    // 2.048 Msps, automatic gain
    if (!command(0x02, SAMPLE_RATE) || !command(0x03, 0) || !command(0x08, 1)) {
        ::close(fd_);
        fd_ = -1;
        errno = EPIPE;
        return 0;
    }
    return 1;
}

bool rtltcp_iq_source::command(uint8_t cmd, uint32_t value) {
    if (fd_ < 0) return false;
    const uint8_t c[5] = {cmd, static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return write_all(fd_, c, sizeof c);
}

bool rtltcp_iq_source::set_frequency(uint32_t hz) {
    if (!command(0x01, hz)) return false;
    // Samples already received, and those the server sends before it reads the command, are
    // from the old frequency: a scan must not find its ensemble again on the new one.
    int queued = 0;
    if (ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0) {
        std::vector<uint8_t> drop(static_cast<size_t>(queued));
        const ssize_t n = recv(fd_, drop.data(), drop.size(), MSG_DONTWAIT);
        // Whole samples only, so that I and Q stay in step: an odd byte left is the next I.
        if (n > 0 && (have_ + static_cast<size_t>(n)) % 2) {
            buf_[0] = drop[static_cast<size_t>(n) - 1];
            have_ = 1;
        } else if (n > 0) {
            have_ = 0;
        }
    }
    skip_ = SETTLE_BYTES;  // even: the pairing above is kept
    return true;
}

long rtltcp_iq_source::read(std::complex<float> *out, size_t max, int timeout_ms) {
    if (fd_ < 0) return -1;
    const size_t want = std::min(buf_.size(), max * 2);
    if (want < 2) return 0;
    pollfd p{fd_, POLLIN, 0};
    const int r = poll(&p, 1, timeout_ms);
    if (r < 0 && errno == EINTR) return 0;
    if (r == 0) return 0;
    ssize_t n = r < 0 ? -1 : recv(fd_, buf_.data() + have_, want - have_, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    if (n <= 0) {
        ::close(fd_);
        fd_ = -1;
        return -1;
    }
    size_t total = have_ + static_cast<size_t>(n);
    if (skip_ > 0) {
        const size_t drop = std::min(skip_, total - total % 2);
        skip_ -= drop;
        total -= drop;
        std::memmove(buf_.data(), buf_.data() + drop, total);
    }
    const size_t count = iq_convert(iq_format::u8, buf_.data(), total, out);
    have_ = total - count * 2;
    std::memmove(buf_.data(), buf_.data() + count * 2, have_);
    return static_cast<long>(count);
}

// ---------------------------------------------------------------------------------

#ifdef DAB_HAVE_RTLSDR
namespace {

class rtlsdr_iq_source : public iq_source {
public:
    ~rtlsdr_iq_source() override {
        if (dev_) rtlsdr_close(dev_);
    }
    bool open(int index, std::string &error) {
        if (rtlsdr_open(&dev_, static_cast<uint32_t>(index)) < 0) {
            dev_ = nullptr;
            error = "no RTL-SDR stick with index " + std::to_string(index);
            return false;
        }
        if (rtlsdr_set_sample_rate(dev_, SAMPLE_RATE) < 0 || rtlsdr_set_tuner_gain_mode(dev_, 0) < 0 ||
            rtlsdr_reset_buffer(dev_) < 0) {
            error = "the RTL-SDR stick refused its settings";
            return false;
        }
        rtlsdr_set_agc_mode(dev_, 1);
        buf_.resize(READ_BYTES);
        return true;
    }
    long read(std::complex<float> *out, size_t max, int) override {
        if (!dev_) return -1;
        const int want = static_cast<int>(std::min(buf_.size(), max * 2) & ~size_t{511});
        if (want <= 0) return 0;
        int n = 0;
        if (rtlsdr_read_sync(dev_, buf_.data(), want, &n) < 0) return -1;
        if (n < 0) return -1;
        return static_cast<long>(iq_convert(iq_format::u8, buf_.data(), static_cast<size_t>(n), out));
    }
    bool live() const override { return true; }
    bool set_frequency(uint32_t hz) override {
        if (!dev_ || rtlsdr_set_center_freq(dev_, hz) < 0) return false;
        rtlsdr_reset_buffer(dev_);
        return true;
    }

private:
    rtlsdr_dev_t *dev_ = nullptr;
    std::vector<uint8_t> buf_;
};

}  // namespace

std::unique_ptr<iq_source> open_rtlsdr(int index, std::string &error) {
    auto s = std::make_unique<rtlsdr_iq_source>();
    if (!s->open(index, error)) return nullptr;
    return s;
}
#else
std::unique_ptr<iq_source> open_rtlsdr(int, std::string &error) {
    error = "this server was built without librtlsdr: use sdr:rtl_tcp=HOST:PORT with rtl_tcp instead";
    return nullptr;
}
#endif
