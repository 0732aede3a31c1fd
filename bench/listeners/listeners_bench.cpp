// How many concurrent listeners of one 128 kbit/s stream the server feeds, and what each costs.
//
// dabserver plays the demo ensemble 12C on the virtual module at broadcast pace; one client
// thread (epoll, non-blocking sockets) opens N local connections to /stream/1.mp2 and reads
// everything. After a settling second, each listener's payload bytes are counted over a fixed
// window. A listener counts as fed when it received at least the broadcast rate over the window
// less one second's worth (16000 bytes): a listener skipped by the server loses a whole ring
// (eight seconds) at once, one falling behind shows a growing deficit. CPU share is the server's
// user+system time over the window (100% = one core); memory is the growth of its resident set
// per listener after all connections are up.

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/sys_support.h"

using testsupport::connect_local;
using testsupport::free_port;
using testsupport::now_s;
using testsupport::proc_status;

namespace {

constexpr double window_s = 8;
constexpr double rate = 16000;  // bytes per second of a 128 kbit/s subchannel
const int stages[] = {100, 500, 1000, 2000};

double cpu_s(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t p = all.rfind(')');
    if (p == std::string::npos) return 0;
    // Fields after the name: state is field 3; utime and stime are fields 14 and 15.
    std::vector<std::string> fields;
    size_t i = p + 2;
    while (i < all.size()) {
        size_t j = all.find(' ', i);
        if (j == std::string::npos) j = all.size();
        fields.push_back(all.substr(i, j - i));
        i = j + 1;
    }
    if (fields.size() < 13) return 0;
    return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct listener {
    int s = -1;
    bool header_done = false;
    bool closed = false;
    std::string head;
    unsigned long long payload = 0;
};

struct stage_result {
    int wanted = 0, connected = 0, fed = 0;
    double min_rate = 0, cpu_share = 0, rss_per_listener_kb = 0;
};

stage_result run_stage(pid_t server, int port, int n) {
    stage_result r;
    r.wanted = n;
    const long rss0 = proc_status(server, "VmRSS");
    int ep = epoll_create1(0);
    std::vector<listener> ls(static_cast<size_t>(n));
    const std::string req = "GET /stream/1.mp2 HTTP/1.0\r\n\r\n";
    for (int i = 0; i < n; i++) {
        int s = connect_local(port);
        if (s < 0) break;
        if (send(s, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
            close(s);
            break;
        }
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
        ls[static_cast<size_t>(i)].s = s;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, s, &ev);
        r.connected++;
    }
    char buf[65536];
    auto pump = [&](double until, bool count) {
        epoll_event evs[256];
        while (now_s() < until) {
            int k = epoll_wait(ep, evs, 256, 50);
            for (int j = 0; j < k; j++) {
                listener &l = ls[evs[j].data.u32];
                ssize_t got = recv(l.s, buf, sizeof buf, MSG_DONTWAIT);
                if (got <= 0) {
                    if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                        l.closed = true;
                        epoll_ctl(ep, EPOLL_CTL_DEL, l.s, nullptr);
                    }
                    continue;
                }
                size_t body = 0;
                if (!l.header_done) {
                    l.head.append(buf, static_cast<size_t>(got));
                    size_t p = l.head.find("\r\n\r\n");
                    if (p == std::string::npos) continue;
                    l.header_done = true;
                    body = l.head.size() - p - 4;
                } else {
                    body = static_cast<size_t>(got);
                }
                if (count) l.payload += body;
            }
        }
    };
    // Every stream running and settled before counting.
    pump(now_s() + 2, false);
    const long rss1 = proc_status(server, "VmRSS");
    const double c0 = cpu_s(server), t0 = now_s();
    pump(t0 + window_s, true);
    const double c1 = cpu_s(server), t1 = now_s();
    const double expect = rate * (t1 - t0) - rate;
    r.min_rate = -1;
    for (auto &l : ls) {
        if (l.s < 0) continue;
        const double per_s = static_cast<double>(l.payload) / (t1 - t0);
        if (r.min_rate < 0 || per_s < r.min_rate) r.min_rate = per_s;
        if (!l.closed && static_cast<double>(l.payload) >= expect) r.fed++;
        close(l.s);
    }
    close(ep);
    r.cpu_share = 100 * (c1 - c0) / (t1 - t0);
    if (r.connected) r.rss_per_listener_kb = static_cast<double>(rss1 - rss0) / r.connected;
    // Let the server notice the closed connections before the next stage.
    sleep(2);
    return r;
}

int rm_tree(const std::string &dir) {
    std::string cmd = "rm -rf '" + dir + "'";
    return system(cmd.c_str());
}

}  // namespace

int main() {
    const std::string signal = std::string(DAB_SOURCE_DIR) + "/demo/signal";
    struct stat st;
    if (stat((signal + "/12c.eti").c_str(), &st) != 0) {
        printf("listeners_bench: demo signal missing (make demo-signal), skipped\n");
        return 0;
    }
    // Each listener is a socket on both sides.
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    char tmpl[] = "/tmp/listeners_bench.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const int port = free_port();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        if (!freopen("/dev/null", "w", stdout)) _exit(127);
        const std::string dev = "sim:" + signal;
        const std::string p = std::to_string(port);
        execl(DABSERVER_BIN, "dabserver", "-d", dev.c_str(), "-t", "12c", "-m", "-p", p.c_str(), "-R", dir.c_str(),
              "-l", "99", "99", static_cast<char *>(nullptr));
        _exit(127);
    }
    // Up when the stream is served.
    bool up = false;
    for (int i = 0; i < 300 && !up; i++) {
        usleep(100000);
        int s = connect_local(port);
        if (s < 0) continue;
        const char req[] = "GET /stream/1.mp2 HTTP/1.0\r\n\r\n";
        send(s, req, sizeof req - 1, MSG_NOSIGNAL);
        char b[64] = {};
        timeval tv{2, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        up = recv(s, b, sizeof b - 1, 0) > 12 && strncmp(b, "HTTP/1.0 200", 12) == 0;
        close(s);
    }
    if (!up) {
        printf("listeners_bench: server did not serve the stream\n");
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        rm_tree(dir);
        return 1;
    }
    sleep(1);
    printf("listeners of /stream/1.mp2 (128 kbit/s = %.0f B/s), %.0f s window, fd limit %lu\n", rate, window_s,
           static_cast<unsigned long>(rl.rlim_cur));
    printf("%10s %10s %10s %14s %12s %16s\n", "listeners", "connected", "fed", "slowest B/s", "server CPU", "RSS/listener");
    int best = 0;
    for (int n : stages) {
        stage_result r = run_stage(pid, port, n);
        printf("%10d %10d %10d %14.0f %11.1f%% %13.1f kB\n", r.wanted, r.connected, r.fed, r.min_rate, r.cpu_share,
               r.rss_per_listener_kb);
        fflush(stdout);
        if (r.fed == n) best = n;
        else break;
    }
    printf("largest stage with every listener fed: %d\n", best);
    kill(pid, SIGINT);
    int status = 0;
    for (int i = 0; i < 300; i++) {
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        usleep(100000);
        if (i == 299) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    }
    rm_tree(dir);
    return 0;
}
