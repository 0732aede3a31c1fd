// What hostile or broken clients can take from a running dabserver: time, memory, connections,
// threads blocked on odd files, and the orderly stop afterwards.

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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

namespace {

std::string signal_dir() { return testsupport::source_dir() + "/demo/signal"; }

// A dabserver with a document root and a dab.ini of its own, on the demo signal when asked.
struct limits_server {
    testsupport::temp_dir dir;
    int port = testsupport::free_port();
    std::unique_ptr<testsupport::child> proc;

    explicit limits_server(const std::string &ini = "", bool signal = false) {
        mkdir(root().c_str(), 0755);
        testsupport::write_file(root() + "/a.txt", "hello\n");
        testsupport::write_file(dir.file("dab.ini"), ini);
        std::vector<std::string> args = {testsupport::dabserver_path(), "-m", "-p", std::to_string(port), "-R", root(),
                                         "-l", "99", "1"};
        if (signal)
            args.insert(args.end(), {"-d", "sim:" + signal_dir() + ",speed=1", "-t", "12c"});
        else
            args.push_back("-E");
        proc = std::make_unique<testsupport::child>(args, dir.path());
    }
    std::string root() const { return dir.file("root"); }
    bool ready() { return proc->wait_for_output("httpd: daemon started", 30) && testsupport::wait_for_port(port, 10); }
    answer get(const std::string &path) {
        return answer(testsupport::tcp_exchange(port, "GET " + path + " HTTP/1.0\r\n\r\n", 5));
    }
    std::string log() const { return proc->out(); }
    size_t accepted() const {
        const std::string text = log(), line = "httpd: connection from:";
        size_t n = 0;
        for (size_t p = text.find(line); p != std::string::npos; p = text.find(line, p + 1)) n++;
        return n;
    }
    // Opens idle connections (from several threads: the listen backlog is 30) and waits until
    // the server has taken them.
    std::vector<int> open_idle(int count) {
        usleep(300000);  // earlier connections logged
        const size_t before = accepted();
        std::vector<int> socks(static_cast<size_t>(count), -1);
        std::vector<std::thread> workers;
        for (int w = 0; w < 10; w++)
            workers.emplace_back([&, w] {
                for (int i = w; i < count; i += 10) socks[static_cast<size_t>(i)] = connect_local(port);
            });
        for (auto &t : workers) t.join();
        for (const double end = now_s() + 10; accepted() < before + socks.size() && now_s() < end;) usleep(50000);
        EXPECT_GE(accepted(), before + socks.size());
        return socks;
    }
    // CTRL-C must end the server cleanly and soon, whatever its connections do.
    void stop() {
        const double t0 = now_s();
        proc->signal(SIGINT);
        EXPECT_EQ(proc->wait(30), 0) << log();
        EXPECT_LT(now_s() - t0, 10);
        EXPECT_EQ(log().find("waiting for"), std::string::npos);
    }
};

void close_all(std::vector<int> &socks) {
    for (int s : socks) close(s);
    socks.clear();
}

// What comes until the server closes, for at most the given time; calls idle() when nothing comes.
template <class F>
std::string read_to_end(int s, double seconds, int poll_ms, F idle) {
    std::string out;
    char buf[8192];
    for (const double end = now_s() + seconds; now_s() < end;) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, poll_ms) <= 0) {
            idle();
            continue;
        }
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

}  // namespace

TEST(http_limits, TricklingClientsAreCutOffWithin25Seconds) {
    limits_server srv;
    ASSERT_TRUE(srv.ready()) << srv.log();
    // One byte every 2 s never lets a single receive time out; nor do ever more header lines.
    const char *const drip[] = {"x", "y\r\nX-More: "};
    double secs[2];
    std::string got[2];
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; i++)
        clients.emplace_back([&, i] {
            const int s = connect_local(srv.port);
            const double t0 = now_s();
            send(s, "GET /a.txt HTTP/1.0\r\nX-Slow: ", 29, MSG_NOSIGNAL);
            got[i] = read_to_end(s, 40, i ? 1 : 2000, [&] { send(s, drip[i], strlen(drip[i]), MSG_NOSIGNAL); });
            secs[i] = now_s() - t0;
            close(s);
        });
    for (auto &t : clients) t.join();
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(answer(got[i]).status, 400) << got[i];
        EXPECT_LT(secs[i], 25);
    }
    EXPECT_GE(secs[0], 19) << "the trickler got its 20 s";
    RecordProperty("trickler_cut_ms", static_cast<int>(secs[0] * 1000));
    EXPECT_NE(srv.log().find("httpd: request head from ::ffff:127.0.0.1 not complete in time"), std::string::npos);
    EXPECT_NE(srv.log().find("has more than 100 lines"), std::string::npos);
    EXPECT_EQ(srv.get("/a.txt").body, "hello\n");
    srv.stop();
}

TEST(http_limits, HugeBodyIsRefusedUnread) {
    limits_server srv;
    ASSERT_TRUE(srv.ready()) << srv.log();
    for (int i = 0; i < 10; i++) srv.get("/a.txt");
    const pid_t pid = srv.proc->pid();
    const long rss0 = testsupport::proc_status(pid, "VmRSS");
    // The peak from here on: start-up may have needed more than a body would add.
    std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
    const long base = std::max(rss0, testsupport::proc_status(pid, "VmHWM"));

    const int s = connect_local(srv.port);
    const double t0 = now_s();
    size_t sent = 0;
    std::thread sender([&] {
        std::string chunk = "POST /setup HTTP/1.0\r\nContent-length: 9000000\r\n\r\n";
        chunk.resize(65536, 'z');
        for (ssize_t n; sent < 9000000 && (n = send(s, chunk.data(), chunk.size(), MSG_NOSIGNAL)) > 0;)
            sent += static_cast<size_t>(n);
    });
    answer a(read_to_end(s, 10, 100, [] {}));
    const double secs = now_s() - t0;
    shutdown(s, SHUT_RDWR);
    sender.join();
    close(s);
    EXPECT_EQ(a.status, 413) << a.raw;
    EXPECT_NE(a.body.find("Request Entity Too Large (413)"), std::string::npos) << a.raw;
    EXPECT_LT(secs, 2);
    EXPECT_LT(sent, 9000000u) << "the server read the body";
    const long growth = testsupport::proc_status(pid, "VmHWM") - base;
    RecordProperty("peak_growth_kb", static_cast<int>(growth));
    EXPECT_LT(growth, 1024) << "kB";
    EXPECT_NE(srv.log().find("content too long: 9000000 bytes"), std::string::npos);
    srv.stop();
}

TEST(http_limits, ThreeHundredIdleConnectionsLeaveRequestsAnswered) {
    limits_server srv;
    ASSERT_TRUE(srv.ready()) << srv.log();
    std::vector<int> idle = srv.open_idle(300);
    const double t0 = now_s();
    EXPECT_EQ(srv.get("/a.txt").body, "hello\n");
    const double secs = now_s() - t0;
    EXPECT_LT(secs, 1.0);
    RecordProperty("answer_ms", static_cast<int>(secs * 1000));
    srv.stop();  // with all of them still open
    close_all(idle);
}

TEST(http_limits, ConnectionsBeyondTheLimitAre503StreamsDoNotCount) {
    if (!testsupport::file_exists(signal_dir() + "/12c.eti")) GTEST_SKIP() << "demo signal not generated";
    limits_server srv("httpmaxclients 3\n", true);
    ASSERT_TRUE(srv.ready()) << srv.log();
    EXPECT_NE(srv.log().find("open files limit"), std::string::npos);
    auto served_soon = [&] {
        for (int i = 0; i < 50; i++, usleep(100000))
            if (srv.get("/a.txt").body == "hello\n") return true;
        return false;
    };

    std::vector<int> idle = srv.open_idle(3);
    for (int i = 0; i < 3; i++) {
        const double t0 = now_s();
        EXPECT_EQ(srv.get("/a.txt").status, 503);
        EXPECT_LT(now_s() - t0, 1.0) << "refused at once";
    }
    EXPECT_NE(srv.log().find("httpd: 3 connections at once, new ones refused"), std::string::npos);
    close(idle.back());
    idle.pop_back();
    EXPECT_TRUE(served_soon()) << "a place that came free";
    close_all(idle);

    // Live streams leave their places to others, however many run.
    std::vector<int> streams;
    for (int i = 0; i < 100 && streams.size() < 4; i++) {
        const int s = connect_local(srv.port);
        send(s, "GET /stream/1 HTTP/1.0\r\n\r\n", 26, MSG_NOSIGNAL);
        char head[13] = {};
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 5000) > 0 && recv(s, head, sizeof head - 1, MSG_WAITALL) > 0 &&
            std::string(head) == "HTTP/1.0 200")
            streams.push_back(s);
        else {
            close(s);  // subchannel 1 not up yet
            usleep(200000);
        }
    }
    ASSERT_EQ(streams.size(), 4u);
    EXPECT_TRUE(served_soon()) << "streams took the places";
    idle = srv.open_idle(3);
    EXPECT_EQ(srv.get("/a.txt").status, 503) << "idle connections still count";
    srv.stop();  // with streams and idle connections open
    close_all(idle);
    close_all(streams);
}

TEST(http_limits, OnlyRegularFilesAndDirectoriesAreServed) {
    limits_server srv;
    const std::string r = srv.root();
    mkdir((r + "/dir").c_str(), 0755);
    testsupport::write_file(r + "/dir/x.txt", "x\n");
    ASSERT_EQ(mkfifo((r + "/fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo((r + "/header.html").c_str(), 0644), 0);  // read by every listing
    for (auto l : {std::make_pair("/dev/zero", "/zero"), {"/dev", "/devices"}, {"a.txt", "/link.txt"}, {"dir", "/ldir"}})
        ASSERT_EQ(symlink(l.first, (r + l.second).c_str()), 0);
    const int us = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    ASSERT_LT(r.size() + 5, sizeof sa.sun_path);
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s/sock", r.c_str());
    ASSERT_EQ(bind(us, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_TRUE(srv.ready()) << srv.log();

    const struct {
        const char *path;
        int status;
        const char *body;  // contained
    } cases[] = {
        {"/fifo", 403, "Forbidden (403)"},         {"/FIFO", 403, "Forbidden (403)"},
        {"/zero", 403, "Forbidden (403)"},         {"/devices/null", 403, "Forbidden (403)"},
        {"/sock", 403, "Forbidden (403)"},         {"/link.txt", 200, "hello\n"},
        {"/ldir/x.txt", 200, "x\n"},               {"/ldir/", 200, "<h1>Index of ldir/</h1>"},
    };
    for (const auto &k : cases) {
        const double t0 = now_s();
        answer a = srv.get(k.path);
        EXPECT_LT(now_s() - t0, 1.0) << k.path;
        EXPECT_EQ(a.status, k.status) << k.path << "\n" << a.raw;
        EXPECT_NE(a.body.find(k.body), std::string::npos) << k.path << "\n" << a.raw;
    }
    EXPECT_NE(srv.log().find("/fifo is no regular file"), std::string::npos);
    EXPECT_NE(srv.log().find("header.html is no regular file"), std::string::npos);
    srv.stop();
    close(us);
}
