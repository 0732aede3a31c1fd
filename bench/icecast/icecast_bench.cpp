// What feeding Icecast costs the server: twelve programmes fed to icecast2 as sources next to
// the same twelve programmes read by twelve local listeners of /stream/N.
//
// dabgen writes an ensemble of twelve programmes (six Layer II, six DAB+, 64 kbit/s each, with
// dynamic labels); dabserver plays it on the virtual module at broadcast pace with the MOT/PAD
// decoder on, in three runs one after the other: nobody reading (the ensemble alone), twelve
// local listeners (one epoll client thread reading everything), and every programme fed to
// icecast2 on loopback (a minimal configuration, run as nobody when the benchmark is root).
// Each run settles, then the server process's user+system time is taken over a fixed window
// (100% = one core); icecast2 itself is not counted.

#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/bench_process.h"
#include "support/sys_support.h"

namespace {

constexpr int programmes = 12;
constexpr double settle_s = 3, window_s = 15;

double cpu_s(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    const std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t p = all.rfind(')');
    if (p == std::string::npos) return 0;
    unsigned long long utime = 0, stime = 0;
    // Fields after the name: state (3) ... utime (14), stime (15).
    if (sscanf(all.c_str() + p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return 0;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string description() {
    std::string d = "[ensemble]\nlabel \"BENCH ICECAST\" \"ICECAST\"\neid 0xC4B1\nchannel 12C\nduration 10.08\n"
                    "time 2024-06-01 12:00:00\nseed 11\n";
    char b[512];
    for (int k = 1; k <= programmes; k++) {
        const bool plus = k > programmes / 2;
        snprintf(b, sizeof b,
                 "[audio]\nsid 0x%04X\nlabel \"Bench %d\"\nsubchannel %d\nbitrate 64\nprotection eep 3A\n%s"
                 "source tone %d %d\ndls \"Bench %d: %d Hz\"\ndls \"Now playing: programme %d of twelve\"\n"
                 "dls_interval 4\n",
                 0xD400 + k, k, k, plus ? "codec aac\nsamplerate 48000\nmode stereo\n" : "", 300 + 40 * k,
                 500 + 40 * k, k, 300 + 40 * k, k);
        d += b;
    }
    return d;
}

std::string http_get(int port, const std::string &path) {
    const int s = testsupport::connect_local(port);
    if (s < 0) return "";
    const std::string req = "GET " + path + " HTTP/1.0\r\n\r\n";
    std::string out;
    if (send(s, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
        char buf[8192];
        const double end = testsupport::now_s() + 5;
        while (testsupport::now_s() < end) {
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) continue;
            const ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
    }
    close(s);
    return out;
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
}

struct server {
    pid_t pid = -1;
    int port = testsupport::free_port();
    std::string dir;
    server(const std::string &base, const std::string &name, const std::string &signal, const std::string &ini) {
        dir = base + "/" + name;
        mkdir(dir.c_str(), 0755);
        mkdir((dir + "/root").c_str(), 0755);
        std::ofstream(dir + "/dab.ini") << ini;
        pid = benchsupport::spawn({DABSERVER_BIN, "-d", "sim:" + signal, "-t", "12c", "-p", std::to_string(port), "-R",
                                   dir + "/root", "-l", "99", "1", "-M", "-d", dir + "/root/data"},
                                  dir, dir + "/out.log");
    }
    ~server() {
        if (pid > 0) benchsupport::stop(pid, SIGINT);
    }
    bool ready() {
        return testsupport::wait_until(30, [&] {
            return count_of(http_get(port, "/"), "<p><b>") >= static_cast<size_t>(programmes);
        });
    }
    double cpu_over_window() {
        const double c0 = cpu_s(pid), t0 = testsupport::now_s();
        usleep(static_cast<useconds_t>(window_s * 1e6));
        return 100 * (cpu_s(pid) - c0) / (testsupport::now_s() - t0);
    }
};

// icecast2 on loopback, as nobody when run as root.
struct icecast_run {
    pid_t pid = -1;
    int port = testsupport::free_port();
    std::string password = "bench" + std::to_string(getpid());
    bool start(const std::string &base) {
        const std::string ice = base + "/icecast";
        mkdir(ice.c_str(), 0755);
        std::string user;
        if (geteuid() == 0) {
            user = "nobody";
            const passwd *pw = getpwnam(user.c_str());
            if (!pw || chown(ice.c_str(), pw->pw_uid, pw->pw_gid) != 0 || chmod(base.c_str(), 0711) != 0) return false;
        }
        const std::string conf = ice + "/icecast.xml";
        std::ofstream(conf)
            << "<icecast>\n  <location>loopback</location><admin>bench@localhost</admin><hostname>127.0.0.1</hostname>\n"
               "  <limits><clients>100</clients><sources>"
            << programmes + 4
            << "</sources><burst-size>0</burst-size></limits>\n  <authentication><source-password>" << password
            << "</source-password><admin-user>admin</admin-user><admin-password>" << password
            << "</admin-password></authentication>\n  <listen-socket><port>" << port
            << "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n"
               "  <paths><basedir>/usr/share/icecast2</basedir><logdir>"
            << ice
            << "</logdir><webroot>/usr/share/icecast2/web</webroot>"
               "<adminroot>/usr/share/icecast2/admin</adminroot></paths>\n"
               "  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>2</loglevel>"
               "</logging>\n  <security><chroot>0</chroot></security>\n</icecast>\n";
        chmod(conf.c_str(), 0644);
        pid = benchsupport::spawn({ICECAST_BIN, "-c", conf}, ice, ice + "/icecast.out", user);
        return pid > 0 && testsupport::wait_for_port(port, 10) && benchsupport::running(pid);
    }
    ~icecast_run() {
        if (pid > 0) benchsupport::stop(pid, SIGTERM);
    }
};

// Twelve listeners read everything on this thread while the window runs.
double with_listeners(server &s, unsigned long long *bytes) {
    std::vector<int> socks;
    for (int k = 1; k <= programmes; k++) {
        const int fd = testsupport::connect_local(s.port);
        const std::string req = "GET /stream/" + std::to_string(k) + " HTTP/1.0\r\n\r\n";
        if (fd < 0 || send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) return -1;
        socks.push_back(fd);
    }
    auto read_for = [&](double seconds) {
        std::vector<pollfd> p;
        for (int fd : socks) p.push_back({fd, POLLIN, 0});
        char buf[65536];
        const double end = testsupport::now_s() + seconds;
        while (testsupport::now_s() < end) {
            if (poll(p.data(), p.size(), 100) <= 0) continue;
            for (auto &q : p)
                if (q.revents & POLLIN) {
                    const ssize_t n = recv(q.fd, buf, sizeof buf, 0);
                    if (n > 0) *bytes += static_cast<unsigned long long>(n);
                }
        }
    };
    read_for(settle_s);
    *bytes = 0;
    const double c0 = cpu_s(s.pid), t0 = testsupport::now_s();
    read_for(window_s);
    const double cpu = 100 * (cpu_s(s.pid) - c0) / (testsupport::now_s() - t0);
    for (int fd : socks) close(fd);
    return cpu;
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/icecast_bench.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string base = tmpl;
    const std::string signal = base + "/signal";
    mkdir(signal.c_str(), 0755);
    std::ofstream(base + "/bench.ensemble") << description();
    const std::string gen = std::string(DABGEN_BIN) + " -q -o " + signal + "/12c.eti " + base + "/bench.ensemble";
    int status = 1;
    if (system(gen.c_str()) != 0) {
        fprintf(stderr, "icecast_bench: dabgen failed\n");
    } else {
        icecast_run ice;
        if (!ice.start(base)) {
            fprintf(stderr, "icecast_bench: icecast2 (%s) did not start\n%s", ICECAST_BIN,
                    benchsupport::tail(base + "/icecast/error.log").c_str());
        } else {
            double idle = -1, listeners = -1, feeding = -1;
            unsigned long long bytes = 0;
            {
                server s(base, "listeners", signal, "");
                if (s.ready()) {
                    sleep(static_cast<unsigned>(settle_s));
                    idle = s.cpu_over_window();
                    listeners = with_listeners(s, &bytes);
                }
            }
            {
                server s(base, "icecast", signal,
                         "icecast http://127.0.0.1:" + std::to_string(ice.port) + "\nicecastpassword " + ice.password + "\n");
                const bool fed = s.ready() && testsupport::wait_until(20, [&] {
                    return count_of(http_get(ice.port, "/status-json.xsl"), "\"listenurl\"") >=
                           static_cast<size_t>(programmes);
                });
                if (fed) {
                    sleep(static_cast<unsigned>(settle_s));
                    feeding = s.cpu_over_window();
                } else {
                    fprintf(stderr, "icecast_bench: the programmes did not reach icecast2\n%s",
                            benchsupport::tail(s.dir + "/out.log").c_str());
                }
            }
            if (idle >= 0 && listeners >= 0 && feeding >= 0) {
                printf("icecast_bench: %d programmes (6 Layer II, 6 DAB+, 64 kbit/s), server CPU over %.0f s "
                       "(100%% = one core)\n",
                       programmes, window_s);
                printf("%-52s %8.1f%%\n", "ensemble alone, nobody reading", idle);
                printf("%-52s %8.1f%%  (%.1f kB/s read)\n", "12 local listeners of /stream/N", listeners,
                       static_cast<double>(bytes) / window_s / 1000);
                printf("%-52s %8.1f%%  ratio %.2f\n", "feeding 12 programmes to icecast2 (vs 12 listeners)", feeding,
                       listeners > 0 ? feeding / listeners : 0.0);
                status = 0;
            }
        }
    }
    const std::string rm = "rm -rf '" + base + "'";
    if (system(rm.c_str()) != 0) fprintf(stderr, "icecast_bench: %s left behind\n", base.c_str());
    return status;
}
