// rtltcp_fake: an rtl_tcp server on the loopback interface for tests. It plays an 8-bit IQ
// recording per channel from a directory (12c.iq, la.iq, 227360.iq), follows the client's
// frequency commands and paces the samples at 2.048 Msps times a speed factor. Where no
// recording matches, it sends weak noise.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/dab_tables.h"

namespace {

constexpr double SAMPLE_RATE = 2048000.0;
constexpr auto TICK = std::chrono::milliseconds(10);
constexpr uint32_t TUNER_R820T = 5;
constexpr uint32_t GAIN_COUNT = 29;

void usage() {
    fprintf(stderr,
            "Usage: rtltcp_fake -p PORT -d DIR [options]\n"
            "Serves the rtl_tcp protocol on 127.0.0.1:PORT with the 8-bit IQ recordings in DIR,\n"
            "one per channel, named after it (12c.iq, la.iq or the frequency in kHz).\n\n"
            "  -s, --speed N      samples at N times 2.048 Msps (default 1)\n"
            "  --stall-after S    stop sending after S seconds, connection kept open\n"
            "  --drop-after S     close the connection after S seconds\n"
            "  --once             end after the first client\n");
}

int file_khz(std::string base) {
    for (char &c : base) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    char *end = nullptr;
    const long v = std::strtol(base.c_str(), &end, 10);
    if (!base.empty() && end && !*end) return v >= 1000 && v <= 2000000 ? static_cast<int>(v) : 0;
    const int khz = dabcommon::channel_frequency_khz(base.c_str());
    return khz > 0 ? khz : 0;
}

std::map<int, std::string> recordings(const std::string &dir) {
    std::map<int, std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (dirent *e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() <= 3 || n.compare(n.size() - 3, 3, ".iq") != 0) continue;
        if (const int khz = file_khz(n.substr(0, n.size() - 3))) out[khz] = dir + "/" + n;
    }
    closedir(d);
    return out;
}

bool send_all(int fd, const uint8_t *p, size_t n) {
    while (n) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

struct options {
    std::string dir;
    double speed = 1.0;
    double stall_after = -1, drop_after = -1;
    bool once = false;
};

// One client from greeting to hang-up.
void serve(int fd, const options &o, const std::map<int, std::string> &files) {
    uint8_t greeting[12] = {'R', 'T', 'L', '0'};
    for (int i = 0; i < 4; i++) {
        greeting[4 + i] = static_cast<uint8_t>(TUNER_R820T >> (24 - 8 * i));
        greeting[8 + i] = static_cast<uint8_t>(GAIN_COUNT >> (24 - 8 * i));
    }
    if (!send_all(fd, greeting, sizeof greeting)) return;
    int in = -1;
    uint32_t noise = 1;
    uint8_t cmd[5];
    size_t cmd_have = 0;
    std::vector<uint8_t> buf;
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    double owed = 0;  // samples due but not yet sent
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        const double t = std::chrono::duration<double>(now - start).count();
        if (o.drop_after >= 0 && t >= o.drop_after) break;
        // Commands: 1 byte and a 32-bit big-endian value
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 0) > 0) {
            const ssize_t n = recv(fd, cmd + cmd_have, sizeof cmd - cmd_have, 0);
            if (n <= 0) {
                if (in >= 0) close(in);
                return;
            }
            cmd_have += static_cast<size_t>(n);
            if (cmd_have < sizeof cmd) continue;
            cmd_have = 0;
            const uint32_t v = static_cast<uint32_t>(cmd[1]) << 24 | cmd[2] << 16 | cmd[3] << 8 | cmd[4];
            if (cmd[0] != 0x01) continue;
            if (in >= 0) close(in);
            in = -1;
            auto it = files.find(static_cast<int>(v / 1000));
            if (it != files.end()) in = open(it->second.c_str(), O_RDONLY | O_CLOEXEC);
            fprintf(stderr, "rtltcp_fake: %u kHz: %s\n", v / 1000, in >= 0 ? it->second.c_str() : "noise");
        }
        if (o.stall_after >= 0 && t >= o.stall_after) {
            std::this_thread::sleep_for(TICK);
            continue;
        }
        owed += SAMPLE_RATE * o.speed * std::chrono::duration<double>(TICK).count();
        const size_t samples = static_cast<size_t>(owed);
        owed -= static_cast<double>(samples);
        buf.resize(2 * samples);
        size_t got = 0;
        while (in >= 0 && got < buf.size()) {
            const ssize_t n = read(in, buf.data() + got, buf.size() - got);
            if (n > 0) {
                got += static_cast<size_t>(n);
            } else if (n == 0 && got == 0 && lseek(in, 0, SEEK_CUR) == 0) {
                break;  // an empty file: noise instead
            } else if (n == 0) {
                lseek(in, 0, SEEK_SET);
            } else if (errno != EINTR) {
                break;
            }
        }
        for (size_t i = got; i < buf.size(); i++) {
            noise = noise * 1103515245u + 12345u;
            buf[i] = static_cast<uint8_t>(124 + (noise >> 16) % 8);
        }
        if (!send_all(fd, buf.data(), buf.size())) break;
        next += TICK;
        std::this_thread::sleep_until(next);
    }
    if (in >= 0) close(in);
}

}  // namespace

int main(int argc, char **argv) {
    options o;
    int port = 0;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const bool has = i + 1 < argc;
        if (a == "-p" && has) port = std::atoi(argv[++i]);
        else if (a == "-d" && has) o.dir = argv[++i];
        else if ((a == "-s" || a == "--speed") && has) o.speed = std::atof(argv[++i]);
        else if (a == "--stall-after" && has) o.stall_after = std::atof(argv[++i]);
        else if (a == "--drop-after" && has) o.drop_after = std::atof(argv[++i]);
        else if (a == "--once") o.once = true;
        else {
            usage();
            return a == "-h" || a == "--help" ? 0 : 2;
        }
    }
    if (port <= 0 || port > 65535 || o.dir.empty() || !(o.speed > 0 && o.speed <= 100)) {
        usage();
        return 2;
    }
    const auto files = recordings(o.dir);
    signal(SIGPIPE, SIG_IGN);
    const int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (ls < 0 || bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(ls, 4) != 0) {
        perror("rtltcp_fake: listen");
        return 1;
    }
    fprintf(stderr, "rtltcp_fake: listening on 127.0.0.1:%d, %zu recordings\n", port, files.size());
    for (;;) {
        const int fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            perror("rtltcp_fake: accept");
            return 1;
        }
        // Like rtl_tcp's own short queue: a client that retunes hears the new channel soon.
        const int sndbuf = 1 << 16;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        serve(fd, o, files);
        close(fd);
        fprintf(stderr, "rtltcp_fake: client gone\n");
        if (o.once) return 0;
    }
}
