// Many listeners of one 128 kbit/s stream: are they all fed, what does each cost, how late do
// the bytes arrive; dabserver next to icecast2 under the same load, one after the other.
//
// dabserver plays the demo ensemble 12C on the virtual module at broadcast pace and serves
// /stream/2.mp2 (the sweep, whose frames do not repeat). icecast2 (Debian, a minimal
// configuration on loopback, burst-size 0 so that a new listener starts at live data as with
// dabserver) serves /bench.mp2, a 128 kbit/s MP2 stream of pink noise that ffmpeg encodes and
// sends in real time. One client thread (epoll, non-blocking sockets) opens N connections at
// a steady pace and reads everything, the same code for both servers.
//
// After a settling time each listener's payload is counted over a fixed window: a listener is
// fed when it stayed connected and received at least 95% of the stream's rate. CPU share is
// the server process's user+system time over the window (100% = one core; ffmpeg is not
// counted, while dabserver's figure includes reading the ensemble, see the idle row); memory
// is the growth of its resident set per listener once all connections are up.
//
// Latency, seen from the client. Every listener gets the same bytes, so the same place in the
// stream can be found at each: a rolling hash over the last 64 bytes marks content-defined
// points (about 8 a second) and the client notes when each mark arrived at each listener.
//  - spread: for one mark, its latest arrival less its earliest across all listeners;
//  - behind pace: each arrival against a clock running at the stream's rate through the
//    mark's byte position, less the earliest arrival seen that way. With the ring fed at an
//    even pace this is the time a byte waits between entering the ring and reaching a
//    listener, beyond the quickest delivery (wake-up batching included);
//  - gap: the longest pause between two arrivals at one listener.
// The worst over all listeners and marks of the window is shown. The client's own scheduling
// adds to all three, so they are upper bounds.
//
// Listener counts: DAB_BENCH_LISTENERS (default "2000"; e.g. "2000 10000" for the stretch
// figure, the open-files limit is raised to fit).

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/bench_process.h"
#include "support/sys_support.h"

using testsupport::connect_local;
using testsupport::free_port;
using testsupport::now_s;
using testsupport::proc_status;

namespace {

// Another build of the server (e.g. an older one, for a before and after) through
// DAB_BENCH_SERVER.
std::string server_bin() {
    const char *env = getenv("DAB_BENCH_SERVER");
    return env && *env ? env : DABSERVER_BIN;
}

constexpr double settle_s = 2;
constexpr double window_s = 8;
constexpr double idle_s = 3;
constexpr double rate = 16000;  // bytes per second of a 128 kbit/s stream
constexpr double fed_share = 0.95;
constexpr double connect_pace_s = 0.001;
constexpr int in_flight = 256;  // connections awaiting their answer at once
constexpr double answer_s = 5;     // for the answer header
constexpr double connect_s = 90;  // for all connections of a stage

// Gear hash: bit k of the sum depends on the last k+1 bytes only, so the top bits name the
// last 64 bytes whatever came before.
constexpr std::array<uint64_t, 256> gear = [] {
    std::array<uint64_t, 256> g{};
    uint64_t x = 0;
    for (auto &v : g) {
        x += 0x9e3779b97f4a7c15ULL;  // splitmix64
        uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        v = z ^ (z >> 31);
    }
    return g;
}();
constexpr int mark_bits = 11;  // one mark per 2 KiB on average

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

struct mark {
    uint64_t id;
    double t;
    unsigned long long pos;  // bytes of payload up to the mark at this listener
};

struct listener {
    int s = -1;
    bool connected = false;  // the request is sent
    bool header_done = false;
    bool closed = false;
    std::string head;
    unsigned long long payload = 0;  // in the window
    unsigned long long total = 0;    // since the header
    uint64_t h = 0;
    double opened = 0, last_t = 0, max_gap = 0;
    std::vector<mark> marks;
};

struct stage_result {
    int wanted = 0, connected = 0, fed = 0;
    double min_rate = 0, cpu_share = 0, rss_per_listener_kb = 0;
    double gap_ms = -1, spread_ms = -1, behind_ms = -1;
};

void take(listener &l, const unsigned char *p, size_t n, double t, bool count) {
    if (count) {
        l.payload += n;
        if (l.last_t > 0) l.max_gap = std::max(l.max_gap, t - l.last_t);
    }
    l.last_t = t;
    uint64_t h = l.h;
    unsigned long long total = l.total;
    for (size_t i = 0; i < n; i++) {
        h = (h << 1) + gear[p[i]];
        if (++total >= 64 && (h >> (64 - mark_bits)) == 0) l.marks.push_back({h, t, total});
    }
    l.h = h;
    l.total = total;
}

// Spread and lateness of the marks that first arrived inside [from, to).
void latency(const std::vector<listener> &ls, double from, double to, stage_result &r) {
    // Byte positions come from the listener with the most marks. Content may repeat: a mark
    // seen elsewhere is the occurrence there nearest in time.
    const listener *ref = nullptr;
    for (auto &l : ls)
        if (l.s >= 0 && !l.closed && (!ref || l.marks.size() > ref->marks.size())) ref = &l;
    if (!ref || ref->marks.empty()) return;
    std::unordered_map<uint64_t, std::vector<size_t>> occurrences;
    for (size_t i = 0; i < ref->marks.size(); i++) occurrences[ref->marks[i].id].push_back(i);
    struct seen {
        double first = 1e300, last = -1e300, late_min = 1e300, late_max = -1e300;
    };
    std::vector<seen> at(ref->marks.size());
    for (auto &l : ls)
        for (auto &m : l.marks) {
            auto it = occurrences.find(m.id);
            if (it == occurrences.end()) continue;
            size_t best = it->second.front();
            for (size_t i : it->second)
                if (std::abs(ref->marks[i].t - m.t) < std::abs(ref->marks[best].t - m.t)) best = i;
            seen &s = at[best];
            s.first = std::min(s.first, m.t);
            s.last = std::max(s.last, m.t);
            const double late = m.t - static_cast<double>(ref->marks[best].pos) / rate;
            s.late_min = std::min(s.late_min, late);
            s.late_max = std::max(s.late_max, late);
        }
    double spread = -1, late_min = 1e300, late_max = -1e300;
    for (const seen &s : at) {
        if (s.first < from || s.first >= to) continue;
        spread = std::max(spread, s.last - s.first);
        late_min = std::min(late_min, s.late_min);
        late_max = std::max(late_max, s.late_max);
    }
    if (spread < 0) return;
    r.spread_ms = 1000 * spread;
    r.behind_ms = 1000 * (late_max - late_min);
}

stage_result run_stage(pid_t server, int port, const std::string &path, int n) {
    stage_result r;
    r.wanted = n;
    const long rss0 = proc_status(server, "VmRSS");
    int ep = epoll_create1(0);
    std::vector<listener> ls(static_cast<size_t>(n));
    const std::string req = "GET " + path + " HTTP/1.0\r\n\r\n";
    static unsigned char buf[65536];
    int connecting = 0;
    // One pass over the ready sockets, waiting at most wait_ms for the first.
    auto pass = [&](int wait_ms, bool count) {
        epoll_event evs[256];
        int k = epoll_wait(ep, evs, 256, wait_ms);
        const double t = now_s();
        for (int j = 0; j < k; j++) {
            listener &l = ls[evs[j].data.u32];
            if (!l.connected) {
                // The handshake is over: ask for the stream, or give the listener up.
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(l.s, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err == 0 && send(l.s, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
                    l.connected = true;
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.u32 = evs[j].data.u32;
                    epoll_ctl(ep, EPOLL_CTL_MOD, l.s, &ev);
                } else {
                    l.closed = true;
                    connecting--;
                    epoll_ctl(ep, EPOLL_CTL_DEL, l.s, nullptr);
                }
                continue;
            }
            ssize_t got = recv(l.s, buf, sizeof buf, MSG_DONTWAIT);
            if (got <= 0) {
                if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    if (!l.header_done) connecting--;
                    l.closed = true;
                    epoll_ctl(ep, EPOLL_CTL_DEL, l.s, nullptr);
                }
                continue;
            }
            if (l.header_done) {
                take(l, buf, static_cast<size_t>(got), t, count);
                continue;
            }
            l.head.append(reinterpret_cast<char *>(buf), static_cast<size_t>(got));
            size_t p = l.head.find("\r\n\r\n");
            if (p == std::string::npos) continue;
            l.header_done = true;
            connecting--;
            const std::string body = l.head.substr(p + 4);
            l.head.clear();
            take(l, reinterpret_cast<const unsigned char *>(body.data()), body.size(), t, count);
        }
    };
    auto pump = [&](double until, bool count) {
        while (now_s() < until) pass(50, count);
    };
    // Connections are opened at a steady pace while the open streams are read: a burst of
    // handshakes overflows a short listen queue (icecast2 has five places), and each dropped
    // one waits a second or more for its retry; a stream left unread would start behind.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    const double tc = now_s();
    std::deque<int> todo, waiting;
    for (int i = 0; i < n; i++) todo.push_back(i);
    std::vector<int> tries(static_cast<size_t>(n));
    double last_open = 0;
    while ((!todo.empty() || connecting > 0) && now_s() < tc + connect_s) {
        // An answer that does not come means the handshake was lost on a full listen queue
        // although the client saw it complete: that connection is opened again.
        while (!waiting.empty()) {
            const int i = waiting.front();
            listener &l = ls[static_cast<size_t>(i)];
            if (l.header_done || l.closed) {
                waiting.pop_front();
                continue;
            }
            if (now_s() - l.opened < answer_s) break;
            waiting.pop_front();
            epoll_ctl(ep, EPOLL_CTL_DEL, l.s, nullptr);
            close(l.s);
            connecting--;
            l = listener{};
            if (++tries[static_cast<size_t>(i)] < 3) todo.push_back(i);
        }
        const double wait = last_open + connect_pace_s - now_s();
        if (todo.empty() || connecting >= in_flight || wait > 0) {
            pass(wait > 0 ? static_cast<int>(wait * 1000) : 1, false);
            continue;
        }
        const int i = todo.front();
        todo.pop_front();
        int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (s < 0) break;
        listener &l = ls[static_cast<size_t>(i)];
        l.s = s;
        l.opened = last_open = now_s();
        l.marks.reserve(192);
        if (connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
            l.closed = true;
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, s, &ev);
        connecting++;
        waiting.push_back(i);
    }
    r.connected = 0;
    for (auto &l : ls) r.connected += l.header_done;
    fprintf(stderr, "  %d listeners: connections opened in %.1f s\n", n, now_s() - tc);
    // Every stream running and settled before counting.
    pump(now_s() + settle_s, false);
    const long rss1 = proc_status(server, "VmRSS");
    const double c0 = cpu_s(server), t0 = now_s();
    pump(t0 + window_s, true);
    const double c1 = cpu_s(server), t1 = now_s();
    const double expect = fed_share * rate * (t1 - t0);
    r.min_rate = -1;
    for (auto &l : ls) {
        const double per_s = static_cast<double>(l.payload) / (t1 - t0);
        if (r.min_rate < 0 || per_s < r.min_rate) r.min_rate = per_s;
        if (l.s >= 0 && !l.closed && static_cast<double>(l.payload) >= expect) r.fed++;
        r.gap_ms = std::max(r.gap_ms, 1000 * l.max_gap);
    }
    // Marks late in the window may not have reached every listener yet.
    latency(ls, t0, t1 - 1, r);
    for (auto &l : ls)
        if (l.s >= 0) close(l.s);
    close(ep);
    r.cpu_share = 100 * (c1 - c0) / (t1 - t0);
    if (r.connected) r.rss_per_listener_kb = static_cast<double>(rss1 - rss0) / r.connected;
    // Let the server notice the closed connections before the next stage.
    sleep(2);
    return r;
}

double idle_cpu(pid_t server) {
    const double c0 = cpu_s(server), t0 = now_s();
    usleep(static_cast<useconds_t>(idle_s * 1e6));
    return 100 * (cpu_s(server) - c0) / (now_s() - t0);
}

// True once the server answers the stream's URL with 200; false when it exited or the time
// is over.
bool serves(pid_t pid, int port, const std::string &path, double timeout_s) {
    const double end = now_s() + timeout_s;
    while (now_s() < end) {
        if (!benchsupport::running(pid)) return false;
        usleep(100000);
        int s = connect_local(port);
        if (s < 0) continue;
        const std::string req = "GET " + path + " HTTP/1.0\r\n\r\n";
        send(s, req.data(), req.size(), MSG_NOSIGNAL);
        char b[64] = {};
        timeval tv{2, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        const bool ok =
            recv(s, b, sizeof b - 1, 0) > 12 && strncmp(b, "HTTP/1.", 7) == 0 && strncmp(b + 8, " 200", 4) == 0;
        close(s);
        if (ok) return true;
    }
    return false;
}

struct server_run {
    bool started = false;
    double idle = 0;
    std::vector<stage_result> stages;
};

void measure(server_run &run, pid_t pid, int port, const std::string &path, const std::vector<int> &counts) {
    run.started = true;
    sleep(1);
    run.idle = idle_cpu(pid);
    for (int n : counts) {
        run.stages.push_back(run_stage(pid, port, path, n));
        const stage_result &r = run.stages.back();
        fprintf(stderr, "  %d listeners: %d connected, %d fed\n", n, r.connected, r.fed);
    }
}

server_run run_dabserver(const std::string &dir, const std::string &signal, const std::vector<int> &counts) {
    server_run run;
    const int port = free_port();
    const std::string log = dir + "/dabserver.out";
    pid_t pid = benchsupport::spawn({server_bin(), "-d", "sim:" + signal, "-t", "12c", "-m", "-p", std::to_string(port),
                                     "-R", dir, "-l", "99", "99"},
                                    dir, log);
    if (!serves(pid, port, "/stream/2.mp2", 30)) {
        fprintf(stderr, "listeners_bench: dabserver did not serve /stream/2.mp2; its output:\n%s",
                benchsupport::tail(log).c_str());
        benchsupport::stop(pid, SIGKILL);
        return run;
    }
    fprintf(stderr, "dabserver\n");
    measure(run, pid, port, "/stream/2.mp2", counts);
    benchsupport::stop(pid, SIGINT);
    return run;
}

server_run run_icecast(const std::string &dir, const std::vector<int> &counts) {
    server_run run;
    const std::string ice = dir + "/icecast";
    mkdir(ice.c_str(), 0755);
    // icecast2 refuses to run as root: then it runs as nobody, writing its logs in its own
    // directory.
    std::string user;
    if (geteuid() == 0) {
        user = "nobody";
        const passwd *pw = getpwnam(user.c_str());
        if (!pw || chown(ice.c_str(), pw->pw_uid, pw->pw_gid) != 0 || chmod(dir.c_str(), 0711) != 0) {
            fprintf(stderr, "listeners_bench: no unprivileged account for icecast2\n");
            return run;
        }
    }
    const int port = free_port();
    const int most = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
    const std::string password = "bench" + std::to_string(getpid());
    const std::string conf = ice + "/icecast.xml";
    {
        std::ofstream f(conf);
        f << "<icecast>\n"
             "  <location>loopback</location><admin>bench@localhost</admin><hostname>127.0.0.1</hostname>\n"
             "  <limits><clients>"
          << most + 100
          << "</clients><sources>2</sources><burst-size>0</burst-size></limits>\n"
             "  <authentication><source-password>"
          << password << "</source-password><admin-user>admin</admin-user><admin-password>" << password
          << "</admin-password></authentication>\n"
             "  <listen-socket><port>"
          << port
          << "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n"
             "  <paths><basedir>/usr/share/icecast2</basedir><logdir>"
          << ice
          << "</logdir><webroot>/usr/share/icecast2/web</webroot>"
             "<adminroot>/usr/share/icecast2/admin</adminroot></paths>\n"
             "  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>2</loglevel>"
             "</logging>\n"
             "  <security><chroot>0</chroot></security>\n"
             "</icecast>\n";
    }
    chmod(conf.c_str(), 0644);
    const std::string log = ice + "/icecast.out";
    pid_t pid = benchsupport::spawn({ICECAST_BIN, "-c", conf}, ice, log, user);
    if (pid < 0 || !testsupport::wait_for_port(port, 10) || !benchsupport::running(pid)) {
        fprintf(stderr, "listeners_bench: icecast2 (%s) did not start; its output:\n%s%s", ICECAST_BIN,
                benchsupport::tail(log).c_str(), benchsupport::tail(ice + "/error.log").c_str());
        benchsupport::stop(pid, SIGKILL);
        return run;
    }
    const std::string flog = dir + "/ffmpeg.out";
    pid_t source = benchsupport::spawn(
        {FFMPEG_BIN, "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
         "anoisesrc=color=pink:sample_rate=48000:amplitude=0.3", "-ac", "2", "-c:a", "mp2", "-b:a", "128k",
         "-content_type", "audio/mpeg", "-f", "mp2",
         "icecast://source:" + password + "@127.0.0.1:" + std::to_string(port) + "/bench.mp2"},
        dir, flog);
    if (!serves(pid, port, "/bench.mp2", 15) || !benchsupport::running(source)) {
        fprintf(stderr, "listeners_bench: icecast2 did not serve /bench.mp2 fed by ffmpeg; their output:\n%s%s",
                benchsupport::tail(flog).c_str(), benchsupport::tail(ice + "/error.log").c_str());
        benchsupport::stop(source, SIGKILL);
        benchsupport::stop(pid, SIGKILL);
        return run;
    }
    fprintf(stderr, "icecast2\n");
    measure(run, pid, port, "/bench.mp2", counts);
    benchsupport::stop(source, SIGTERM);
    benchsupport::stop(pid, SIGTERM);
    return run;
}

std::string fmt(const char *f, double v) {
    char b[64];
    snprintf(b, sizeof b, f, v);
    return b;
}

void row(const std::string &name, const std::string &ours, const std::string &anchor, const std::string &ratio) {
    printf("| %-46s | %11s | %11s | %6s |\n", name.c_str(), ours.c_str(), anchor.c_str(), ratio.c_str());
}

void row(const std::string &name, const char *f, double ours, double anchor, bool have_anchor) {
    const bool valid = ours >= 0 && anchor > 0 && have_anchor;
    row(name, ours >= 0 ? fmt(f, ours) : "-", have_anchor && anchor >= 0 ? fmt(f, anchor) : "-",
        valid ? fmt("%.2f", ours / anchor) : "");
}

int rm_tree(const std::string &dir) {
    std::string cmd = "rm -rf '" + dir + "'";
    return system(cmd.c_str());
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    const std::string signal = std::string(DAB_SOURCE_DIR) + "/demo/signal";
    struct stat st;
    if (stat((signal + "/12c.eti").c_str(), &st) != 0) {
        fprintf(stderr, "listeners_bench: demo signal missing (make demo-signal)\n");
        return 1;
    }
    std::vector<int> counts;
    {
        const char *env = getenv("DAB_BENCH_LISTENERS");
        std::istringstream in(env && *env ? env : "2000");
        int n;
        while (in >> n)
            if (n > 0) counts.push_back(n);
        if (counts.empty()) counts.push_back(2000);
    }
    const int most = *std::max_element(counts.begin(), counts.end());
    // Each listener is a socket here and one in the server, each process under its own limit.
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    const rlim_t need = static_cast<rlim_t>(most) + 1024;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < need) rl.rlim_max = need;  // root only
    rl.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        getrlimit(RLIMIT_NOFILE, &rl);
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < need)
        fprintf(stderr, "listeners_bench: open-files limit %lu, too low for %d listeners\n",
                static_cast<unsigned long>(rl.rlim_cur), most);

    char tmpl[] = "/tmp/listeners_bench.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const server_run ours = run_dabserver(dir, signal, counts);
    const server_run anchor = ours.started ? run_icecast(dir, counts) : server_run{};
    rm_tree(dir);
    if (!ours.started || !anchor.started) return 1;

    const std::string version = benchsupport::first_line(std::string(ICECAST_BIN) + " -v");
    printf("one 128 kbit/s stream (%.0f B/s), %.0f s window after %.0f s settling, open-files limit %lu\n", rate,
           window_s, settle_s, static_cast<unsigned long>(rl.rlim_cur));
    printf("dabserver: /stream/2.mp2 (the sweep) of the demo ensemble 12C; anchor: %s, /bench.mp2 fed by ffmpeg\n",
           version.empty() ? "icecast2" : version.c_str());
    printf("fed: connected throughout and >= %.0f%% of the rate; CPU: 100%% = one core; ratio: dabserver / icecast2\n",
           100 * fed_share);
    row("case", "dabserver", "icecast2", "ratio");
    printf("|%s|%s|%s|%s|\n", std::string(48, '-').c_str(), std::string(13, '-').c_str(), std::string(13, '-').c_str(),
           std::string(8, '-').c_str());
    row("no listener: server CPU", "%.1f%%", ours.idle, anchor.idle, true);
    for (size_t i = 0; i < counts.size(); i++) {
        const stage_result &a = ours.stages[i], &b = anchor.stages[i];
        const std::string n = std::to_string(counts[i]) + ": ";
        row(n + "listeners fed", std::to_string(a.fed) + "/" + std::to_string(a.wanted),
            std::to_string(b.fed) + "/" + std::to_string(b.wanted), "");
        row(n + "slowest listener, B/s", "%.0f", a.min_rate, b.min_rate, true);
        row(n + "server CPU", "%.1f%%", a.cpu_share, b.cpu_share, true);
        row(n + "RSS per listener, kB", "%.1f", a.rss_per_listener_kb, b.rss_per_listener_kb, true);
        row(n + "latency, spread across listeners, ms", "%.0f", a.spread_ms, b.spread_ms, true);
        row(n + "latency, behind pace, ms", "%.0f", a.behind_ms, b.behind_ms, true);
        row(n + "latency, longest gap at a listener, ms", "%.0f", a.gap_ms, b.gap_ms, true);
    }
    return 0;
}
