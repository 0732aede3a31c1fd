// Requests as clients really send them, one connection each: heads in pieces or late, bodies
// after the head, answers larger than the socket takes at once, many clients at a time.

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "server_fixture.h"
#include "support/test_support.h"

using httptest::answer;
using testsupport::connect_local;
using testsupport::now_s;
using testsupport::write_file;

namespace {

std::string pattern(size_t n) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>(i * 13 % 251);
    return s;
}

struct http_front : ::testing::Test {
    testsupport::temp_dir dir;
    std::unique_ptr<httptest::server> srv;

    void SetUp() override {
        const std::string root = dir.file("root");
        mkdir(root.c_str(), 0755);
        write_file(root + "/a.txt", "hello\n");
        for (size_t n : {60000, 200000}) write_file(root + "/p" + std::to_string(n) + ".bin", pattern(n));
        write_file(dir.file("passwd.ini"), "admin:Secret\n");
        srv = std::make_unique<httptest::server>(dir.path(), root, dir.file("passwd.ini"));
        ASSERT_TRUE(srv->ready()) << srv->log();
    }
    void TearDown() override {
        if (!stopped) stop();
    }
    // CTRL-C ends the server at once and cleanly, whatever its connections do.
    void stop() {
        stopped = true;
        const double t0 = now_s();
        EXPECT_EQ(srv->stop(), 0) << srv->log();
        stop_s = now_s() - t0;
        EXPECT_LT(stop_s, 5);
        EXPECT_EQ(srv->log().find("waiting for"), std::string::npos);
    }
    bool stopped = false;
    double stop_s = 0;

    // Sends the pieces with a pause before each but the first; reads until the server closes,
    // beginning only after read_after seconds.
    answer exchange(const std::vector<std::string> &pieces, double pause, double read_after = 0, int rcvbuf = 0) {
        const int s = connect_local(srv->port(), false, rcvbuf);
        EXPECT_GE(s, 0);
        for (size_t i = 0; i < pieces.size(); i++) {
            if (i > 0) usleep(static_cast<useconds_t>(pause * 1e6));
            send(s, pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL);
        }
        if (read_after > 0) usleep(static_cast<useconds_t>(read_after * 1e6));
        std::string out;
        char buf[4096];
        for (const double end = now_s() + 20; now_s() < end;) {
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) continue;
            const ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        close(s);
        return answer(out);
    }
    long total_requests() {
        const answer a = srv->get("GET /stat HTTP/1.0\r\n\r\n");
        const std::string key = "Total HTTP Requests:";
        size_t p = a.body.find(key);
        if (p == std::string::npos) return -1;
        p = a.body.find("<FONT FACE=Courier>", p + key.size());
        return p == std::string::npos ? -1 : atol(a.body.c_str() + p + 19);
    }
};

}  // namespace

TEST_F(http_front, HeadsInPiecesLateOrWithBodiesAreAnswered) {
    const struct {
        const char *what;
        std::vector<std::string> pieces;
        double pause;
        int status;
        const char *body;  // null: only the status counts
    } cases[] = {
        {"whole", {"GET /a.txt HTTP/1.0\r\n\r\n"}, 0, 200, "hello\n"},
        {"split inside a word", {"GET /a.t", "xt HTTP/1.0\r\n\r\n"}, 0.05, 200, "hello\n"},
        {"split inside a header line", {"GET /a.txt HTTP/1.0\r\nHo", "st: x\r\n\r\n"}, 0.05, 200, "hello\n"},
        {"blank line late", {"GET /a.txt HTTP/1.0\r\n", "\r\n"}, 0.05, 200, "hello\n"},
        {"blank line split", {"GET /a.txt HTTP/1.0\r\n\r", "\n"}, 0.05, 200, "hello\n"},
        {"late head", {"", "GET /a.txt HTTP/1.0\r\n\r\n"}, 0.1, 200, "hello\n"},
        {"byte by byte", {"G", "E", "T", " /a.txt HTTP/1.0\r", "\n", "\r\n"}, 0.01, 200, "hello\n"},
        {"missing in pieces", {"GET /none", ".txt HTTP/1.0\r\n\r\n"}, 0.05, 404, nullptr},
        {"bad method in pieces", {"PUT /a.txt", " HTTP/1.0\r\n\r\n"}, 0.05, 501, nullptr},
        {"body after the head", {"POST /a.txt HTTP/1.0\r\nContent-length: 5\r\n\r\n", "abcde"}, 0.05, 200, "hello\n"},
        {"body with the head", {"POST /a.txt HTTP/1.0\r\nContent-length: 5\r\n\r\nabcde"}, 0, 200, "hello\n"},
        {"body too large", {"POST /a.txt HTTP/1.0\r\nContent-length: 70000\r\n\r\n"}, 0, 413, nullptr},
        {"page", {"GET /stat HTTP/1.0\r\n\r\n"}, 0, 200, nullptr},
        {"page in pieces", {"GET /st", "at HTTP/1.0\r\n\r\n"}, 0.05, 200, nullptr},
    };
    for (const auto &k : cases) {
        const answer a = exchange(k.pieces, k.pause);
        EXPECT_EQ(a.status, k.status) << k.what << ":\n" << a.raw;
        if (k.body) {
            EXPECT_EQ(a.body, k.body) << k.what;
        }
    }
}

TEST_F(http_front, AnswersLargerThanTheSocketTakesArriveWhole) {
    // The client's small receive buffer and late reading leave the server's sends unfinished.
    for (size_t n : {60000, 200000}) {
        for (int rcvbuf : {0, 2048}) {
            const std::string name = "/p" + std::to_string(n) + ".bin";
            const answer a = exchange({"GET " + name + " HTTP/1.0\r\n\r\n"}, 0, 0.3, rcvbuf);
            EXPECT_EQ(a.status, 200) << name;
            EXPECT_EQ(a.header("Content-Length"), std::to_string(n)) << name;
            EXPECT_TRUE(a.body == pattern(n)) << name << " with receive buffer " << rcvbuf << ": " << a.body.size()
                                              << " bytes";
        }
    }
}

TEST_F(http_front, ManyClientsAtOnceAreAnsweredAndCountedOnce) {
    const long before = total_requests();
    ASSERT_GT(before, 0);
    constexpr int clients = 8, each = 60;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < each; i++) {
                switch ((t + i) % 4) {
                    case 0:
                        if (srv->get("GET /a.txt HTTP/1.0\r\n\r\n").body != "hello\n") wrong++;
                        break;
                    case 1:
                        if (srv->get("GET /nothing HTTP/1.0\r\n\r\n").status != 404) wrong++;
                        break;
                    case 2:
                        if (srv->get("GET /p60000.bin HTTP/1.0\r\n\r\n").body.size() != 60000) wrong++;
                        break;
                    default:
                        if (exchange({"GET /a.", "txt HTTP/1.0\r\n\r\n"}, 0.002).body != "hello\n") wrong++;
                        break;
                }
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    // Every request once, whether the front or a worker answered it, and the /stat itself.
    EXPECT_EQ(total_requests(), before + 1 + clients * each);
}

TEST_F(http_front, StopWhileHeadsAreAwaited) {
    std::vector<int> socks;
    for (int i = 0; i < 40; i++) {
        const int s = connect_local(srv->port());
        ASSERT_GE(s, 0);
        if (i % 2) send(s, "GET /a.txt HTTP/1.0\r\nHost", 25, MSG_NOSIGNAL);
        socks.push_back(s);
    }
    stop();
    RecordProperty("stop_ms", static_cast<int>(stop_s * 1000));
    for (int s : socks) close(s);
}
