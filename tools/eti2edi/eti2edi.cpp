// eti2edi: sends an ETI(NI) file as EDI, the way a multiplexer feeds its transmitters: AF
// packets, or PFT fragments with Reed-Solomon protection, to a file, standard output, a UDP
// destination or the clients of a TCP listener; with the faults of a network on request.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/edi_af.h"
#include "common/edi_pft.h"
#include "common/eti_reader.h"

namespace {

using bytes = std::vector<uint8_t>;
using clock_type = std::chrono::steady_clock;

void usage(FILE *f) {
    fprintf(f,
            "Usage: eti2edi [options] [ETI-FILE]\n"
            "Sends an ETI(NI) file (default: standard input) as EDI: AF packets or PFT\n"
            "fragments, one AF packet per 24 ms frame.\n"
            "\n"
            "  -o DEST              FILE, - (standard output, the default), udp://HOST:PORT\n"
            "                       or tcp-listen://[HOST:]PORT\n"
            "  -f af|pf             AF packets or PFT fragments (default: pf for udp://, af\n"
            "                       otherwise)\n"
            "  --fec M              Reed-Solomon protection: any M fragments of a packet may\n"
            "                       be lost (default 0: none; implies -f pf)\n"
            "  --fragment-size N    largest fragment payload in bytes (default 1400)\n"
            "  --addr SRC:DEST      PFT source and destination address fields\n"
            "  -n LOOPS             play the file LOOPS times (default 1, 0: without end)\n"
            "  --live               pace at 24 ms per frame (the default for udp:// and\n"
            "                       tcp-listen://)\n"
            "  --speed X            X times real time when paced (default 1)\n"
            "  --lose PCT           lose PCT %% of the fragments (AF packets with -f af) of\n"
            "                       every packet, at random positions, the fraction carried on\n"
            "  --duplicate PCT      send PCT %% of them twice\n"
            "  --reorder PCT        send PCT %% of them after their successor\n"
            "  --bad-crc PCT        break the CRC of PCT %% of them (header CRC of a fragment)\n"
            "  --silence-after S    send nothing after S seconds ...\n"
            "  --silence-for S      ... for S seconds (default: until the end)\n"
            "  --seed N             random choices of the faults (default 1)\n"
            "  -q                   no summary on standard error\n"
            "  -h, --help           this text\n");
}

bool parse_double(const char *s, double lo, double hi, double &v) {
    char *end = nullptr;
    errno = 0;
    v = std::strtod(s, &end);
    return end && end != s && !*end && errno == 0 && v >= lo && v <= hi;
}

bool parse_long(const char *s, long lo, long hi, long &v) {
    char *end = nullptr;
    errno = 0;
    v = std::strtol(s, &end, 10);
    return end && end != s && !*end && errno == 0 && v >= lo && v <= hi;
}

bool write_all(int fd, const uint8_t *p, size_t n) {
    while (n) {
        const ssize_t r = ::write(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Where the packets go: a descriptor written as a stream, a UDP socket sending datagrams, or a
// listener whose client (one at a time) gets the stream.
class output {
public:
    ~output() {
        if (fd_ >= 0 && own_) ::close(fd_);
        if (client_ >= 0) ::close(client_);
    }

    bool open(const std::string &dest) {
        if (dest.rfind("udp://", 0) == 0) {
            kind_ = UDP;
            std::string hp = dest.substr(6);
            const size_t colon = hp.rfind(':');
            if (colon == std::string::npos) return fail("udp:// needs HOST:PORT");
            if (!resolve(hp.substr(0, colon), hp.substr(colon + 1), SOCK_DGRAM)) return false;
            fd_ = socket(addr_.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (fd_ < 0) return fail(strerror(errno));
            return true;
        }
        if (dest.rfind("tcp-listen://", 0) == 0) {
            kind_ = TCP;
            std::string hp = dest.substr(13);
            const size_t colon = hp.rfind(':');
            const std::string host = colon == std::string::npos ? "0.0.0.0" : hp.substr(0, colon);
            const std::string port = colon == std::string::npos ? hp : hp.substr(colon + 1);
            if (!resolve(host, port, SOCK_STREAM)) return false;
            fd_ = socket(addr_.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            const int one = 1;
            if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
                bind(fd_, reinterpret_cast<sockaddr *>(&addr_), addr_len_) < 0 || listen(fd_, 4) < 0)
                return fail(strerror(errno));
            return true;
        }
        kind_ = STREAM;
        if (dest == "-") {
            fd_ = 1;
            own_ = false;
            return true;
        }
        fd_ = ::open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) return fail(strerror(errno));
        return true;
    }

    bool network() const { return kind_ != STREAM; }
    bool datagrams() const { return kind_ == UDP; }

    // One packet or fragment. False only when the output failed for good.
    bool send(const bytes &b) {
        switch (kind_) {
        case UDP:
            // A full socket buffer or an unreachable port loses the datagram, as on a network.
            sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&addr_), addr_len_);
            return true;
        case TCP:
            accept_waiting();
            if (client_ < 0) return true;  // nobody listens: the packet is gone
            if (!write_all(client_, b.data(), b.size())) {
                ::close(client_);
                client_ = -1;
                clients_lost_++;
            }
            return true;
        case STREAM:
            if (!write_all(fd_, b.data(), b.size())) return fail(strerror(errno));
            return true;
        }
        return false;
    }

    unsigned clients() const { return clients_; }
    unsigned clients_lost() const { return clients_lost_; }

private:
    enum kind_t { STREAM, UDP, TCP };

    bool fail(const char *why) {
        fprintf(stderr, "eti2edi: %s\n", why);
        return false;
    }

    bool resolve(const std::string &host, const std::string &port, int type) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = type;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo *res = nullptr;
        const int r = getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
        if (r != 0 || !res) return fail(r ? gai_strerror(r) : "no address");
        std::memcpy(&addr_, res->ai_addr, res->ai_addrlen);
        addr_len_ = res->ai_addrlen;
        freeaddrinfo(res);
        return true;
    }

    void accept_waiting() {
        for (;;) {
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            // The newest client takes over: a receiver that reconnected replaces its old self.
            if (client_ >= 0) ::close(client_);
            client_ = c;
            clients_++;
        }
    }

    kind_t kind_ = STREAM;
    int fd_ = -1;
    bool own_ = true;
    int client_ = -1;
    sockaddr_storage addr_{};
    socklen_t addr_len_ = 0;
    unsigned clients_ = 0, clients_lost_ = 0;
};

struct fault_options {
    double lose = 0, duplicate = 0, reorder = 0, bad_crc = 0;
};

// The faults of a network, applied to the units (fragments or AF packets) of one packet.
class faults {
public:
    faults(const fault_options &o, unsigned seed) : o_(o), rng_(seed) {}

    // The units as they leave, in order.
    std::vector<bytes> apply(std::vector<bytes> units, bool pft) {
        // Losses: the share of this packet, rounded with the remainder carried on, so that a
        // packet never loses much more than the share; which ones is random.
        carry_ += o_.lose / 100.0 * static_cast<double>(units.size());
        const size_t n_lose = std::min(units.size(), static_cast<size_t>(std::floor(carry_ + 1e-9)));
        carry_ -= static_cast<double>(n_lose);
        std::vector<size_t> idx(units.size());
        for (size_t i = 0; i < idx.size(); i++) idx[i] = i;
        std::shuffle(idx.begin(), idx.end(), rng_);
        std::vector<bool> lost(units.size(), false);
        for (size_t i = 0; i < n_lose; i++) lost[idx[i]] = true;
        std::vector<bytes> out;
        for (size_t i = 0; i < units.size(); i++) {
            if (lost[i]) {
                lost_++;
                continue;
            }
            bytes u = std::move(units[i]);
            if (chance(o_.bad_crc)) {
                // The header CRC of a fragment, the CRC at the end of an AF packet.
                const size_t at = pft ? header_crc_pos(u) : u.size() - 1;
                if (at < u.size()) u[at] ^= 0x5A;
                broken_++;
            }
            const bool dup = chance(o_.duplicate);
            if (held_.empty() && chance(o_.reorder)) {
                held_ = std::move(u);
                reordered_++;
                if (dup) duplicated_++, out.push_back(held_);
                continue;
            }
            out.push_back(u);
            if (dup) duplicated_++, out.push_back(u);
            if (!held_.empty()) {
                out.push_back(std::move(held_));
                held_.clear();
            }
        }
        return out;
    }
    // What is held back goes out with the next packet; at the end, now.
    std::vector<bytes> flush() {
        std::vector<bytes> out;
        if (!held_.empty()) out.push_back(std::move(held_));
        held_.clear();
        return out;
    }

    uint64_t lost_ = 0, duplicated_ = 0, reordered_ = 0, broken_ = 0;

private:
    bool chance(double pct) { return pct > 0 && std::uniform_real_distribution<double>(0, 100)(rng_) < pct; }
    static size_t header_crc_pos(const bytes &u) {
        if (u.size() < dabcommon::PFT_HEADER_SIZE) return u.size();
        const size_t hlen = dabcommon::PFT_HEADER_SIZE + ((u[10] & 0x80) ? dabcommon::PFT_RS_HEADER_SIZE : 0) +
                            ((u[10] & 0x40) ? dabcommon::PFT_ADDR_HEADER_SIZE : 0);
        return hlen - 1;
    }

    fault_options o_;
    std::mt19937 rng_;
    double carry_ = 0;
    bytes held_;
};

volatile sig_atomic_t stop_flag = 0;
void on_signal(int) { stop_flag = 1; }

}  // namespace

int main(int argc, char **argv) {
    std::string dest = "-", format;
    dabcommon::pft_sender_options pft;
    long loops = 1, seed = 1;
    bool live = false, quiet = false;
    double speed = 1, silence_after = -1, silence_for = -1;
    fault_options fo;
    enum { OPT_FEC = 256, OPT_FRAG, OPT_ADDR, OPT_LIVE, OPT_SPEED, OPT_LOSE, OPT_DUP, OPT_REORDER, OPT_CRC, OPT_SIL, OPT_SILFOR, OPT_SEED };
    static const option longopts[] = {{"fec", required_argument, nullptr, OPT_FEC},
                                      {"fragment-size", required_argument, nullptr, OPT_FRAG},
                                      {"addr", required_argument, nullptr, OPT_ADDR},
                                      {"live", no_argument, nullptr, OPT_LIVE},
                                      {"speed", required_argument, nullptr, OPT_SPEED},
                                      {"lose", required_argument, nullptr, OPT_LOSE},
                                      {"duplicate", required_argument, nullptr, OPT_DUP},
                                      {"reorder", required_argument, nullptr, OPT_REORDER},
                                      {"bad-crc", required_argument, nullptr, OPT_CRC},
                                      {"silence-after", required_argument, nullptr, OPT_SIL},
                                      {"silence-for", required_argument, nullptr, OPT_SILFOR},
                                      {"seed", required_argument, nullptr, OPT_SEED},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    int c;
    long l;
    auto bad = [](const char *what) {
        fprintf(stderr, "eti2edi: bad %s\n", what);
        usage(stderr);
        return 2;
    };
    while ((c = getopt_long(argc, argv, "o:f:n:qh", longopts, nullptr)) != -1) {
        switch (c) {
        case 'o': dest = optarg; break;
        case 'f':
            format = optarg;
            if (format != "af" && format != "pf") return bad("format (-f af|pf)");
            break;
        case 'n':
            if (!parse_long(optarg, 0, 1000000, loops)) return bad("loop count");
            break;
        case 'q': quiet = true; break;
        case 'h': usage(stdout); return 0;
        case OPT_FEC:
            if (!parse_long(optarg, 0, 47, l)) return bad("--fec (0 to 47)");
            pft.fec_m = static_cast<int>(l);
            break;
        case OPT_FRAG:
            if (!parse_long(optarg, 16, static_cast<long>(dabcommon::PFT_MAX_PLEN), l)) return bad("--fragment-size");
            pft.max_payload = static_cast<size_t>(l);
            break;
        case OPT_ADDR: {
            long s = 0, d = 0;
            const std::string a = optarg;
            const size_t colon = a.find(':');
            if (colon == std::string::npos || !parse_long(a.substr(0, colon).c_str(), 0, 65535, s) ||
                !parse_long(a.substr(colon + 1).c_str(), 0, 65535, d))
                return bad("--addr SRC:DEST");
            pft.addr = true;
            pft.source = static_cast<uint16_t>(s);
            pft.dest = static_cast<uint16_t>(d);
            break;
        }
        case OPT_LIVE: live = true; break;
        case OPT_SPEED:
            if (!parse_double(optarg, 0.01, 1000, speed)) return bad("--speed");
            break;
        case OPT_LOSE:
            if (!parse_double(optarg, 0, 100, fo.lose)) return bad("--lose");
            break;
        case OPT_DUP:
            if (!parse_double(optarg, 0, 100, fo.duplicate)) return bad("--duplicate");
            break;
        case OPT_REORDER:
            if (!parse_double(optarg, 0, 100, fo.reorder)) return bad("--reorder");
            break;
        case OPT_CRC:
            if (!parse_double(optarg, 0, 100, fo.bad_crc)) return bad("--bad-crc");
            break;
        case OPT_SIL:
            if (!parse_double(optarg, 0, 1e6, silence_after)) return bad("--silence-after");
            break;
        case OPT_SILFOR:
            if (!parse_double(optarg, 0, 1e6, silence_for)) return bad("--silence-for");
            break;
        case OPT_SEED:
            if (!parse_long(optarg, 0, 0x7FFFFFFF, seed)) return bad("--seed");
            break;
        default: usage(stderr); return 2;
        }
    }
    if (argc - optind > 1) {
        usage(stderr);
        return 2;
    }
    const std::string in_path = optind < argc ? argv[optind] : "-";

    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    output out;
    if (!out.open(dest)) return 1;
    if (format.empty()) format = out.datagrams() || pft.fec_m > 0 ? "pf" : "af";
    if (format == "af" && pft.fec_m > 0) {
        fprintf(stderr, "eti2edi: --fec needs PFT fragments (-f pf)\n");
        return 2;
    }
    const bool use_pft = format == "pf";
    if (out.network()) live = true;

    dabcommon::eti_reader reader;
    if (!reader.open(in_path.c_str())) {
        fprintf(stderr, "eti2edi: cannot open %s: %s\n", in_path.c_str(), strerror(errno));
        return 1;
    }
    const bool can_loop = in_path != "-";
    faults fx(fo, static_cast<unsigned>(seed));
    auto frame = std::make_unique<dabcommon::eti_frame>();
    bytes tags, af;
    std::vector<bytes> frags;
    uint16_t seq = 0, pseq = 0;
    uint32_t fcth = 0;
    int prev_fct = -1;
    uint64_t frames = 0, packets = 0, units = 0;
    const auto period = std::chrono::duration<double>(0.024 / speed);
    const auto start = clock_type::now();
    long pass = 0;
    bool failed = false;
    while (!stop_flag) {
        const int r = reader.next(*frame, -1);
        if (r != 1) {
            if (r == 0 && can_loop && (loops == 0 || ++pass < loops) && frames > 0 && reader.rewind()) continue;
            if (r < 0) {
                fprintf(stderr, "eti2edi: read error: %s\n", strerror(errno));
                failed = true;
            }
            break;
        }
        if (live) {
            std::this_thread::sleep_until(start + std::chrono::duration_cast<clock_type::duration>(period * static_cast<double>(frames)));
        }
        const double t = live ? static_cast<double>(frames) * 0.024 / speed
                              : std::chrono::duration<double>(clock_type::now() - start).count();
        frames++;
        // DLFC counts on through the file's loops: its upper part steps when FCT wraps.
        if (frame->fct < prev_fct) fcth = (fcth + 1) % 20;
        prev_fct = frame->fct;
        const bool silent = silence_after >= 0 && t >= silence_after && (silence_for < 0 || t < silence_after + silence_for);
        if (silent) continue;
        dabcommon::edi_eti_to_tags(*frame, static_cast<uint16_t>(fcth * 250 + static_cast<uint32_t>(frame->fct)), tags);
        af.clear();
        dabcommon::af_build(seq++, tags.data(), tags.size(), af);
        packets++;
        std::vector<bytes> unit_list;
        if (use_pft) {
            if (!dabcommon::pft_make_fragments(af.data(), af.size(), pseq++, pft, frags)) {
                fprintf(stderr, "eti2edi: the packet of frame %llu cannot be fragmented so\n",
                        static_cast<unsigned long long>(frames));
                failed = true;
                break;
            }
            unit_list = std::move(frags);
        } else {
            unit_list.push_back(af);
        }
        units += unit_list.size();
        for (const bytes &u : fx.apply(std::move(unit_list), use_pft)) {
            if (!out.send(u)) {
                failed = true;
                break;
            }
        }
        if (failed) break;
    }
    for (const bytes &u : fx.flush()) out.send(u);
    if (!quiet) {
        fprintf(stderr,
                "eti2edi: %llu frames, %llu AF packets, %llu %s; lost %llu, duplicated %llu, reordered %llu, "
                "CRC broken %llu",
                static_cast<unsigned long long>(frames), static_cast<unsigned long long>(packets),
                static_cast<unsigned long long>(units), use_pft ? "fragments" : "packets sent",
                static_cast<unsigned long long>(fx.lost_), static_cast<unsigned long long>(fx.duplicated_),
                static_cast<unsigned long long>(fx.reordered_), static_cast<unsigned long long>(fx.broken_));
        if (dest.rfind("tcp-listen://", 0) == 0) fprintf(stderr, "; %u clients", out.clients());
        fprintf(stderr, "\n");
    }
    return failed ? 1 : 0;
}
