// What hostile or broken clients can take from a running dabserver: time, memory, connections,
// threads blocked on odd files, and the orderly stop afterwards.

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server_fixture.h"
#include "support/test_support.h"

using httptest::answer;
using testsupport::connect_local;
using testsupport::now_s;
using testsupport::proc_status;
using testsupport::write_file;

namespace {

// A dabserver with a document root and a dab.ini of its own; on the demo signal when asked.
struct limits_server {
    testsupport::temp_dir dir;
    int port = testsupport::free_port();
    std::unique_ptr<testsupport::child> proc;

    explicit limits_server(const std::string &ini = "", bool signal = false) {
        mkdir(root().c_str(), 0755);
        write_file(root() + "/a.txt", "hello\n");
        write_file(dir.file("dab.ini"), ini);
        std::vector<std::string> args = {testsupport::dabserver_path()};
        if (signal)
            args.insert(args.end(), {"-d", "sim:" + signal_dir() + ",speed=1", "-t", "12c"});
        else
            args.push_back("-E");
        args.insert(args.end(), {"-m", "-p", std::to_string(port), "-R", root(), "-H",
                                 "localhost:" + std::to_string(port), "-l", "99", "1"});
        proc = std::make_unique<testsupport::child>(args, dir.path());
    }
    static std::string signal_dir() { return testsupport::source_dir() + "/demo/signal"; }
    std::string root() const { return dir.file("root"); }
    bool ready() { return proc->wait_for_output("httpd: daemon started", 30) && testsupport::wait_for_port(port, 10); }
    answer get(const std::string &path, double timeout = 10) {
        return answer(testsupport::tcp_exchange(port, "GET " + path + " HTTP/1.0\r\n\r\n", timeout));
    }
    long threads() { return proc_status(proc->pid(), "Threads"); }
    // Waits until the thread count satisfies ok.
    template <class F>
    bool threads_become(F ok, double seconds) {
        const double end = now_s() + seconds;
        do {
            if (ok(threads())) return true;
            usleep(50000);
        } while (now_s() < end);
        return false;
    }
    std::string log() const { return proc->out(); }
    size_t accepted() const {
        static const std::string line = "httpd: connection from:";
        const std::string text = log();
        size_t n = 0;
        for (size_t p = text.find(line); p != std::string::npos; p = text.find(line, p + 1)) n++;
        return n;
    }
    // Waits until the server has taken this many more connections than before.
    bool accepted_more(size_t before, size_t more, double seconds = 10) {
        const double end = now_s() + seconds;
        while (accepted() < before + more && now_s() < end) usleep(50000);
        return accepted() >= before + more;
    }
    // SIGINT, as CTRL-C; the exit status, and the seconds it took.
    int stop(double *seconds) {
        const double t0 = now_s();
        proc->signal(SIGINT);
        const int rc = proc->wait(30);
        *seconds = now_s() - t0;
        return rc;
    }
};

// Idle connections, opened from several threads (the listen backlog is 30).
std::vector<int> open_idle(int port, int count) {
    std::vector<int> socks(static_cast<size_t>(count), -1);
    std::vector<std::thread> workers;
    for (int w = 0; w < 10; w++)
        workers.emplace_back([&, w] {
            for (int i = w; i < count; i += 10) socks[static_cast<size_t>(i)] = connect_local(port);
        });
    for (auto &t : workers) t.join();
    return socks;
}

void close_all(std::vector<int> &socks) {
    for (int s : socks)
        if (s >= 0) close(s);
    socks.clear();
}

// Reads until the server closes (or the time is over); what came.
std::string read_to_end(int s, double seconds) {
    std::string out;
    const double end = now_s() + seconds;
    char buf[8192];
    while (now_s() < end) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// The head of a stream answer, the connection left open.
int open_stream(int port, const std::string &path, std::string *head) {
    int s = connect_local(port);
    if (s < 0) return -1;
    const std::string req = "GET " + path + " HTTP/1.0\r\n\r\n";
    send(s, req.data(), req.size(), MSG_NOSIGNAL);
    const double end = now_s() + 10;
    char c;
    while (head->find("\r\n\r\n") == std::string::npos && now_s() < end) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if (recv(s, &c, 1, 0) != 1) break;
        *head += c;
    }
    return s;
}

}  // namespace

TEST(http_limits, TricklingClientsAreCutOffWithin25Seconds) {
    limits_server srv;
    ASSERT_TRUE(srv.ready()) << srv.log();
    const long threads0 = srv.threads();
    // One byte every 2 s never lets a single receive time out; a head without end does the same
    // at full speed.
    struct trickler {
        int s;
        std::string got;
        double secs = 0;
    };
    std::vector<trickler> clients;
    for (int i = 0; i < 4; i++) clients.push_back({connect_local(srv.port), "", 0});
    for (auto &c : clients) ASSERT_GE(c.s, 0);
    std::vector<std::thread> workers;
    for (size_t i = 0; i < clients.size(); i++)
        workers.emplace_back([&c = clients[i], i] {
            const double t0 = now_s();
            const std::string start = "GET /a.txt HTTP/1.0\r\nX-Slow: ";
            send(c.s, start.data(), start.size(), MSG_NOSIGNAL);
            char buf[4096];
            while (now_s() - t0 < 40) {
                pollfd p{c.s, POLLIN, 0};
                if (poll(&p, 1, i == 0 ? 2000 : 1) > 0) {
                    ssize_t n = recv(c.s, buf, sizeof buf, 0);
                    if (n <= 0) break;
                    c.got.append(buf, static_cast<size_t>(n));
                    continue;
                }
                if (i == 0)
                    send(c.s, "x", 1, MSG_NOSIGNAL);
                else if (i == 1)
                    send(c.s, "y\r\nX-More: ", 11, MSG_NOSIGNAL);  // ever more lines, slowly
                else
                    usleep(500000 * static_cast<useconds_t>(i));
            }
            c.secs = now_s() - t0;
        });
    for (auto &t : workers) t.join();
    for (auto &c : clients) {
        close(c.s);
        EXPECT_LT(c.secs, 25) << c.got;
        EXPECT_EQ(answer(c.got).status, 400) << c.got;
    }
    EXPECT_GE(clients[0].secs, 19) << "the trickler got its 20 s";
    RecordProperty("trickler_cut_ms", static_cast<int>(clients[0].secs * 1000));
    EXPECT_NE(srv.log().find("httpd: request head from ::ffff:127.0.0.1 not complete in time"), std::string::npos);
    EXPECT_NE(srv.log().find("has more than 100 lines"), std::string::npos);
    EXPECT_TRUE(srv.threads_become([&](long n) { return n <= threads0; }, 5)) << "connection threads still there";
    EXPECT_EQ(srv.get("/a.txt").body, "hello\n");
    double secs;
    EXPECT_EQ(srv.stop(&secs), 0);
}

TEST(http_limits, HugeBodyIsRefusedUnread) {
    limits_server srv;
    ASSERT_TRUE(srv.ready()) << srv.log();
    for (int i = 0; i < 10; i++) srv.get("/a.txt");
    const pid_t pid = srv.proc->pid();
    const long rss0 = proc_status(pid, "VmRSS");
    // The peak from here on: start-up may have needed more than what a body would add.
    std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
    const long hwm_reset = proc_status(pid, "VmHWM");

    int s = connect_local(srv.port);
    ASSERT_GE(s, 0);
    const std::string head = "POST /setup HTTP/1.0\r\nContent-length: 9000000\r\n\r\n";
    const double t0 = now_s();
    std::atomic<size_t> sent{0};
    std::thread sender([&] {
        send(s, head.data(), head.size(), MSG_NOSIGNAL);
        const std::string chunk(65536, 'z');
        while (sent < 9000000) {
            ssize_t n = send(s, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
    });
    answer a(read_to_end(s, 10));
    const double secs = now_s() - t0;
    shutdown(s, SHUT_RDWR);
    sender.join();
    close(s);
    EXPECT_EQ(a.status, 413) << a.raw;
    EXPECT_NE(a.body.find("Request Entity Too Large (413)"), std::string::npos) << a.raw;
    EXPECT_LT(secs, 2);
    EXPECT_LT(sent.load(), 9000000u) << "the server read the body";
    const long hwm = proc_status(pid, "VmHWM");
    RecordProperty("peak_growth_kb", static_cast<int>(hwm - std::max(rss0, hwm_reset)));
    EXPECT_LT(hwm - std::max(rss0, hwm_reset), 1024) << "kB: resident before " << rss0 << ", peak after " << hwm;
    EXPECT_NE(srv.log().find("content too long: 9000000 bytes"), std::string::npos);
    double stop_secs;
    EXPECT_EQ(srv.stop(&stop_secs), 0);
}

TEST(http_limits, ThreeHundredIdleConnectionsLeaveRequestsAnswered) {
    limits_server srv;
    ASSERT_TRUE(srv.ready()) << srv.log();
    const size_t before = srv.accepted();
    std::vector<int> idle = open_idle(srv.port, 300);
    for (int s : idle) ASSERT_GE(s, 0);
    ASSERT_TRUE(srv.accepted_more(before, 300)) << srv.accepted() - before;
    const double t0 = now_s();
    answer a = srv.get("/a.txt", 5);
    const double secs = now_s() - t0;
    EXPECT_EQ(a.body, "hello\n");
    EXPECT_LT(secs, 1.0);
    RecordProperty("answer_ms", static_cast<int>(secs * 1000));
    // Stopping with all of them still open: each is woken, none is left behind.
    double stop_secs;
    EXPECT_EQ(srv.stop(&stop_secs), 0) << srv.log();
    EXPECT_LT(stop_secs, 10);
    EXPECT_EQ(srv.log().find("waiting for"), std::string::npos);
    close_all(idle);
}

TEST(http_limits, ConnectionsBeyondTheLimitAre503StreamsDoNotCount) {
    if (!testsupport::file_exists(limits_server::signal_dir() + "/12c.eti"))
        GTEST_SKIP() << "demo signal not generated (make demo-signal)";
    limits_server srv("httpmaxclients 3\n", true);
    ASSERT_TRUE(srv.ready()) << srv.log();
    EXPECT_NE(srv.log().find("open files limit"), std::string::npos) << srv.log();
    size_t before = srv.accepted();
    std::vector<int> idle = open_idle(srv.port, 3);
    ASSERT_TRUE(srv.accepted_more(before, 3));
    for (int i = 0; i < 3; i++) {
        const double t0 = now_s();
        answer a = srv.get("/a.txt", 5);
        EXPECT_EQ(a.status, 503) << a.raw;
        EXPECT_LT(now_s() - t0, 1.0) << "refused at once";
    }
    EXPECT_NE(srv.log().find("httpd: 3 connections at once, new ones refused"), std::string::npos);
    // A place that comes free is taken again.
    close(idle.back());
    idle.pop_back();
    bool served = false;
    for (int i = 0; i < 50 && !served; i++, usleep(100000)) served = srv.get("/a.txt").body == "hello\n";
    EXPECT_TRUE(served);
    close_all(idle);

    // Live streams leave the places to others, however many run.
    bool have_stream = false;
    for (int i = 0; i < 100 && !have_stream; i++, usleep(200000)) {
        std::string head;
        int s = open_stream(srv.port, "/stream/1", &head);
        have_stream = answer(head).status == 200;
        close(s);
    }
    ASSERT_TRUE(have_stream) << "subchannel 1 never came up";
    std::vector<int> streams;
    for (int i = 0; i < 4; i++) {
        std::string head;
        streams.push_back(open_stream(srv.port, "/stream/1", &head));
        EXPECT_EQ(answer(head).status, 200) << head;
    }
    served = false;
    for (int i = 0; i < 50 && !served; i++, usleep(100000)) served = srv.get("/a.txt").body == "hello\n";
    EXPECT_TRUE(served) << "streams took the places";
    before = srv.accepted();
    idle = open_idle(srv.port, 3);
    ASSERT_TRUE(srv.accepted_more(before, 3));
    EXPECT_EQ(srv.get("/a.txt").status, 503) << "idle connections still count";

    // Stopping with streams and idle connections open.
    double secs;
    EXPECT_EQ(srv.stop(&secs), 0) << srv.log();
    EXPECT_LT(secs, 10);
    close_all(idle);
    close_all(streams);
}

TEST(http_limits, OnlyRegularFilesAndDirectoriesAreServed) {
    limits_server srv;
    const std::string r = srv.root();
    mkdir((r + "/dir").c_str(), 0755);
    write_file(r + "/dir/x.txt", "x\n");
    ASSERT_EQ(mkfifo((r + "/fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo((r + "/header.html").c_str(), 0644), 0);  // read by every listing
    ASSERT_EQ(symlink("/dev/zero", (r + "/zero").c_str()), 0);
    ASSERT_EQ(symlink("/dev", (r + "/devices").c_str()), 0);
    ASSERT_EQ(symlink("a.txt", (r + "/link.txt").c_str()), 0);
    ASSERT_EQ(symlink("dir", (r + "/linkdir").c_str()), 0);
    int us = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    const std::string sock_path = r + "/sock";
    ASSERT_LT(sock_path.size(), sizeof sa.sun_path);
    memcpy(sa.sun_path, sock_path.c_str(), sock_path.size());
    ASSERT_EQ(bind(us, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_TRUE(srv.ready()) << srv.log();

    const struct {
        const char *path;
        int status;
        const char *body;  // contained
    } cases[] = {
        {"/fifo", 403, "Forbidden (403)"},
        {"/FIFO", 403, "Forbidden (403)"},
        {"/zero", 403, "Forbidden (403)"},
        {"/devices/null", 403, "Forbidden (403)"},
        {"/sock", 403, "Forbidden (403)"},
        {"/link.txt", 200, "hello\n"},
        {"/linkdir/x.txt", 200, "x\n"},
        {"/linkdir/", 200, "<h1>Index of linkdir/</h1>"},
    };
    for (const auto &k : cases) {
        const double t0 = now_s();
        answer a = srv.get(k.path, 5);
        EXPECT_LT(now_s() - t0, 1.0) << k.path;
        EXPECT_EQ(a.status, k.status) << k.path << "\n" << a.raw;
        EXPECT_NE(a.body.find(k.body), std::string::npos) << k.path << "\n" << a.raw;
    }
    EXPECT_NE(srv.log().find("/fifo is no regular file"), std::string::npos);
    EXPECT_NE(srv.log().find("header.html is no regular file"), std::string::npos);
    double secs;
    EXPECT_EQ(srv.stop(&secs), 0) << srv.log();
    EXPECT_LT(secs, 10);
    close(us);
}
