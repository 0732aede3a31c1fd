// The server executable under faults: the module pulled out mid-stream, broken or interrupted
// ETI input, missing dump files, paths it cannot write, a port already taken, clients that
// leave in the middle of an answer and a stop in the middle of a band scan. Each time the
// server keeps serving or ends as it should, nothing written before is spoilt, and its log
// says what happened once instead of in a loop.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr size_t FRAME = 6144;
constexpr int MAX_REPEATS = 5;  // the same log line more often than this is a loop

// One short programme; its labels keep the PAD decoder writing.
const char ensemble_text[] = R"([ensemble]
label     "FAULT TEST" "FAULT"
eid       0xC2D2
channel   12C
duration  4
time      2024-06-01 12:00:00
seed      3

[audio]
sid        0xD201
label      "Fault Tone" "Tone"
subchannel 1
bitrate    64
protection uep 3
source     tone 440
dls        "Fault tone label one"
dls        "Fault tone label two"
dls_interval 1
)";

bool contains(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

size_t count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

bool wait_until(double seconds, const std::function<bool()> &f, int step_ms = 50) {
    const double end = now_s() + seconds;
    while (now_s() < end) {
        if (f()) return true;
        usleep(static_cast<useconds_t>(step_ms) * 1000);
    }
    return f();
}

// The number after a label on a page ("Bad FIBs:</td><td>12 ..."), -1 without one.
long number_after(const std::string &page, const std::string &label) {
    size_t p = page.find(label);
    if (p == std::string::npos) return -1;
    p += label.size();
    while (p < page.size() && !std::isdigit(static_cast<unsigned char>(page[p]))) {
        if (page[p] == '<') p = page.find('>', p);
        if (p == std::string::npos) return -1;
        p++;
    }
    return p < page.size() ? std::strtol(page.c_str() + p, nullptr, 10) : -1;
}

// The warning or worse repeated most often, without the time stamps that start screen and
// file lines (information lines follow requests, which the tests make many of).
std::pair<std::string, int> most_repeated(const std::string &text) {
    std::map<std::string, int> seen;
    std::pair<std::string, int> top{"", 0};
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t tag = line.find('<');
        if (tag == std::string::npos || tag > 24) continue;
        line = line.substr(tag);
        if (line.rfind("<I>", 0) == 0 || line.rfind("<D>", 0) == 0 || line.rfind("<info>", 0) == 0 ||
            line.rfind("<debug>", 0) == 0)
            continue;
        int n = ++seen[line];
        if (n > top.second) top = {line, n};
    }
    return top;
}

int cpu_ms(pid_t pid) {
    // utime and stime, fields 14 and 15, behind the command name in parentheses.
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t p = stat.rfind(')');
    if (p == std::string::npos) return -1;
    unsigned long ut = 0, st = 0;
    if (std::sscanf(stat.c_str() + p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) != 2) return -1;
    return static_cast<int>((ut + st) * 1000 / static_cast<unsigned long>(sysconf(_SC_CLK_TCK)));
}

// A listener of one live stream, read on a thread of its own until the server closes it.
class listener {
public:
    listener(int port, const std::string &path) {
        s_ = connect_local(port);
        if (s_ < 0) return;
        const std::string req = "GET " + path + " HTTP/1.0\r\n\r\n";
        if (send(s_, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) return;
        t_ = std::thread([this] {
            char buf[8192];
            while (!quit_) {
                pollfd p{s_, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                ssize_t n = recv(s_, buf, sizeof buf, 0);
                if (n <= 0) break;
                if (head_.size() < 512) head_.append(buf, static_cast<size_t>(n) < 512 ? static_cast<size_t>(n) : 512);
                bytes_ += static_cast<size_t>(n);
            }
            closed_ = true;
        });
    }
    ~listener() {
        quit_ = true;
        if (t_.joinable()) t_.join();
        if (s_ >= 0) close(s_);
    }
    size_t bytes() const { return bytes_; }
    bool closed() const { return closed_; }
    bool wait_bytes(size_t n, double s) const { return wait_until(s, [&] { return bytes_ >= n; }); }

private:
    int s_ = -1;
    std::thread t_;
    std::atomic<bool> quit_{false}, closed_{false};
    std::atomic<size_t> bytes_{0};
    std::string head_;
};

class faults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        signal_ = new temp_dir();
        write_file(signal_->file("fault.ensemble"), ensemble_text);
        auto r = run({binary_dir() + "/tools/dabgen", "-q", "-o", signal_->file("12c.eti"), signal_->file("fault.ensemble")});
        ASSERT_EQ(r.status, 0) << r.err;
        eti_ = new std::string(read_file(signal_->file("12c.eti")));
        ASSERT_EQ(eti_->size() % FRAME, 0u);
        ASSERT_GE(eti_->size() / FRAME, 100u);
    }
    static void TearDownTestSuite() {
        delete signal_;
        delete eti_;
        signal_ = nullptr;
        eti_ = nullptr;
    }
    void SetUp() override {
        // The MOT decoder, where it runs, keeps anything it would send on this machine.
        write_file(run_dir.file("dab.ini"), "multicastif lo\n");
        mkdir(run_dir.file("root").c_str(), 0755);
        mkdir(dev.path().c_str(), 0755);
    }
    void TearDown() override {
        if (proc && proc->running()) {
            proc->signal(SIGINT);
            proc->wait(30);
        }
        if (proc) {
            for (const char *bad : {"AddressSanitizer", "LeakSanitizer", "runtime error"})
                EXPECT_FALSE(contains(proc->err(), bad)) << proc->err();
        }
    }

    // The ensemble as the virtual module's only file, spoilt or not.
    void plug_in(const std::string &eti) { write_file(dev.file("12c.eti"), eti); }

    void start(const std::vector<std::string> &extra, const std::string &logfile = "dab.log", int filelevel = 2) {
        port = free_port();
        std::vector<std::string> a = {dabserver_path(), "-c",  run_dir.file("dab.ini"), "-f", logfile,
                                      "-p",             std::to_string(port), "-R", run_dir.file("root"),
                                      "-H",             "localhost:" + std::to_string(port), "-l",
                                      std::to_string(filelevel), "1"};
        a.insert(a.end(), extra.begin(), extra.end());
        proc = std::make_unique<child>(a, run_dir.path());
    }
    bool ready() { return wait_for_port(port, 30); }
    std::string get(const std::string &path, double timeout = 10) {
        return tcp_exchange(port, "GET " + path + " HTTP/1.0\r\n\r\n", timeout);
    }
    int status_of(const std::string &path) {
        const std::string a = get(path);
        return a.rfind("HTTP/1.0 ", 0) == 0 ? std::atoi(a.c_str() + 9) : 0;
    }
    bool serves_programme() {
        return wait_until(30, [&] { return contains(get("/"), "Fault Tone"); }, 250);
    }
    // Ctrl-C; the exit status.
    int stop() {
        proc->signal(SIGINT);
        return proc->wait(30);
    }
    std::string log_file() { return read_file(run_dir.file("dab.log")); }
    // Screen and file: no line said over and over.
    void expect_no_loop() {
        for (const std::string &text : {proc->out(), log_file()}) {
            auto top = most_repeated(text);
            EXPECT_LE(top.second, MAX_REPEATS) << "repeated: " << top.first;
        }
    }

    temp_dir run_dir, dev;
    int port = -1;
    std::unique_ptr<child> proc;
    static temp_dir *signal_;
    static std::string *eti_;
};
temp_dir *faults::signal_ = nullptr;
std::string *faults::eti_ = nullptr;

TEST_F(faults, module_pulled_out_mid_stream_ends_the_server_in_order) {
    plug_in(*eti_);
    start({"-m", "-d", "sim:" + dev.path(), "-t", "12c"});
    ASSERT_TRUE(ready()) << proc->out();
    ASSERT_TRUE(serves_programme()) << proc->out();
    listener l(port, "/stream/1");
    ASSERT_TRUE(l.wait_bytes(8000, 20)) << proc->out();

    write_file(dev.file("unplugged"), "");
    EXPECT_EQ(proc->wait(20), 0) << proc->out();
    EXPECT_TRUE(wait_until(5, [&] { return l.closed(); })) << "the listener was left hanging";
    const std::string out = proc->out();
    // Whoever notices first says it; the other keeps quiet or says it once.
    const size_t gone = count(out, "the device is gone (No such device)"), removed = count(out, "removed USB device");
    EXPECT_GE(gone + removed, 1u) << out;
    EXPECT_LE(gone, 1u) << out;
    EXPECT_LE(removed, 1u) << out;
    EXPECT_EQ(count(out, "read failed"), 0u) << out;
    EXPECT_TRUE(contains(out, "goodbye")) << out;
    expect_no_loop();
}

// The broadcast file spoilt in ways a recording or a receiver spoils it.
struct eti_fault {
    const char *name;
    std::function<void(std::string &)> spoil;
    bool bad_fibs;  // garbage lands in the FIC too, where the receiver counts it
    bool lost_frames;  // frames the module cannot take, shown in its error rate
};

const eti_fault eti_faults[] = {
    {"truncated in the middle of a frame",
     [](std::string &eti) { eti.resize(60 * FRAME + 3001); }, false, false},  // only padding is cut off
    {"garbled at random offsets",
     [](std::string &eti) {
         std::mt19937 rng(7);
         for (size_t f = 0; f < eti.size() / FRAME; f += 3) {
             const size_t at = f * FRAME + rng() % (FRAME - 16);
             for (size_t i = 0; i < 16; i++) eti[at + i] = static_cast<char>(rng());
         }
     },
     true, true},
    {"frames with wrong lengths",
     [](std::string &eti) {
         // FL, the low 11 bits of the second half of FC, off in every fifth frame.
         for (size_t f = 2; f < eti.size() / FRAME; f += 5) {
             unsigned char *fc = reinterpret_cast<unsigned char *>(&eti[f * FRAME + 4]);
             const int fl = ((fc[2] & 7) << 8 | fc[3]) + static_cast<int>(f % 3) * 40 - 40;
             fc[2] = static_cast<unsigned char>((fc[2] & ~7) | ((fl >> 8) & 7));
             fc[3] = static_cast<unsigned char>(fl);
         }
     },
     false, true},
};

TEST_F(faults, broken_eti_input_is_survived_and_counted) {
    for (const eti_fault &fault : eti_faults) {
        SCOPED_TRACE(fault.name);
        std::string eti = *eti_;
        fault.spoil(eti);
        plug_in(eti);
        start({"-m", "-d", "sim:" + dev.path() + ",speed=3", "-t", "12c"});
        ASSERT_TRUE(ready()) << proc->out();
        ASSERT_TRUE(serves_programme()) << proc->out();
        {
            listener l(port, "/stream/1");
            EXPECT_TRUE(l.wait_bytes(40000, 20)) << "the programme stopped flowing";
        }
        if (fault.bad_fibs) {
            EXPECT_TRUE(wait_until(10, [&] { return number_after(get("/stat"), "Bad FIBs:") > 0; }))
                << get("/stat");
        }
        EXPECT_TRUE(!fault.lost_frames || wait_until(10, [&] {
            const std::string st = get("/stat");
            const size_t at = st.find("Bit Error Rate (BER):");
            if (at == std::string::npos) return false;
            const std::string row = st.substr(at, st.find("</tr>", at) - at);  // "... text (level)"
            return std::atoi(row.c_str() + row.rfind('(') + 1) > 0;
        })) << get("/stat");
        EXPECT_EQ(status_of("/"), 200);
        EXPECT_TRUE(proc->running());
        EXPECT_EQ(stop(), 0) << proc->out();
        expect_no_loop();
    }
}

TEST_F(faults, live_input_whose_writer_stops_is_received_again_when_it_returns) {
    const std::string fifo = run_dir.file("live.eti");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> paused{false}, stop_writing{false};
    std::atomic<int> sessions{0};
    std::thread writer([&] {
        const size_t frames = eti_->size() / FRAME;
        size_t i = 0;
        while (!stop_writing) {
            // No reader yet answers ENXIO: a writer coming back tries again.
            const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                usleep(20000);
                continue;
            }
            sessions++;
            while (!stop_writing && !paused) {
                pollfd p{fd, POLLOUT, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                if (write(fd, eti_->data() + (i++ % frames) * FRAME, FRAME) < 0) break;
                usleep(8000);  // three times real time
            }
            close(fd);
            while (paused && !stop_writing) usleep(20000);
        }
    });
    start({"-m", "-d", "sim:eti=" + fifo, "-t", "12c"});
    const bool up = ready() && serves_programme();
    std::unique_ptr<listener> l;
    if (up) l = std::make_unique<listener>(port, "/stream/1");
    const bool flowing = up && l->wait_bytes(8000, 20);

    paused = true;
    // Without input the module loses the signal: the server forgets the ensemble and ends
    // its streams.
    const bool lost = flowing && wait_until(10, [&] { return l->closed(); });
    paused = false;
    // The next writer's ensemble is served again, to a new listener.
    bool back = false;
    const double end = now_s() + 30;
    while (lost && !back && now_s() < end) {
        listener again(port, "/stream/1");
        back = again.wait_bytes(8000, 3);
    }
    const int status = status_of("/");
    stop_writing = true;
    writer.join();

    ASSERT_TRUE(up) << proc->out();
    ASSERT_TRUE(flowing) << proc->out();
    EXPECT_TRUE(lost) << "the stream went on without input";
    EXPECT_GE(sessions.load(), 2);
    EXPECT_TRUE(back) << "nothing received after the writer came back\n" << proc->out();
    EXPECT_EQ(status, 200);
    l.reset();
    EXPECT_EQ(stop(), 0) << proc->out();
    expect_no_loop();
}

TEST_F(faults, missing_or_empty_dump_files_leave_the_server_serving) {
    const struct {
        const char *name;
        std::vector<std::string> empty_files;
    } cases[] = {{"no dump file", {}}, {"an empty dump file", {"rdi0.dmp"}}, {"two empty dump files", {"rdi0.dmp", "rdi1.dmp"}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto &f : c.empty_files) write_file(run_dir.file(f), "");
        start({"-E", "-m"});
        ASSERT_TRUE(ready()) << proc->out();
        ASSERT_TRUE(proc->wait_for_output("replay", 10)) << proc->out();
        // Nothing to replay is no reason to spin.
        const int cpu0 = cpu_ms(proc->pid());
        usleep(1000000);
        const int cpu1 = cpu_ms(proc->pid());
        EXPECT_LT(cpu1 - cpu0, 300) << "busy without input";
        EXPECT_EQ(status_of("/"), 200);
        EXPECT_EQ(status_of("/stat"), 200);
        const std::string out = proc->out();
        EXPECT_EQ(count(out, "no RDI dump file"), 1u) << out;
        EXPECT_EQ(stop(), 0) << proc->out();
        expect_no_loop();
        for (const auto &f : c.empty_files) unlink(run_dir.file(f).c_str());
    }
}

TEST_F(faults, unwritable_log_file_leaves_the_server_serving_and_says_so_once) {
    mkdir(run_dir.file("a-directory.log").c_str(), 0755);
    const struct {
        const char *file, *message;
    } cases[] = {{"a-directory.log", "logd_start: can't open logfile <a-directory.log>: Is a directory"},
                 {"/dev/full", "logd: can't write logfile </dev/full>: No space left on device"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        start({"-E", "-m"}, c.file, 1);
        ASSERT_TRUE(ready()) << proc->out();
        for (int i = 0; i < 5; i++) EXPECT_EQ(status_of("/"), 200);
        // Each request is logged: the file is asked to take lines again and again.
        EXPECT_TRUE(wait_until(5, [&] { return contains(proc->err(), c.message); })) << proc->err();
        usleep(300000);
        EXPECT_EQ(status_of("/stat"), 200);
        EXPECT_EQ(stop(), 0) << proc->out();
        EXPECT_EQ(count(proc->err(), c.message), 1u) << proc->err();
        EXPECT_TRUE(contains(proc->out(), "DAB server stopped")) << "the screen lost its lines too";
    }
}

TEST_F(faults, unwritable_data_path_leaves_the_server_serving) {
    plug_in(*eti_);
    // A file where the data directory should be: no directory can be made below it.
    write_file(run_dir.file("data"), "not a directory\n");
    start({"-d", "sim:" + dev.path() + ",speed=2", "-t", "12c", "-M", "-d", run_dir.file("data")});
    ASSERT_TRUE(ready()) << proc->out();
    ASSERT_TRUE(serves_programme()) << proc->out();
    ASSERT_TRUE(proc->wait_for_output("XPAD/MOT decoder thread for subchannel 1 started", 30)) << proc->out();
    {
        listener l(port, "/stream/1");
        EXPECT_TRUE(l.wait_bytes(40000, 20));
    }
    // The decoder's pages fail one after the other; the first failure is said.
    EXPECT_TRUE(wait_until(20, [&] { return contains(proc->out(), "MOT: cannot write " + run_dir.file("data/")); }))
        << proc->out();
    EXPECT_EQ(status_of("/"), 200);
    EXPECT_EQ(read_file(run_dir.file("data")), "not a directory\n");
    EXPECT_EQ(stop(), 0) << proc->out();
    EXPECT_EQ(count(proc->out(), "MOT: cannot write "), 1u) << proc->out();
    expect_no_loop();
}

TEST_F(faults, taken_http_port_ends_the_start_with_a_failure) {
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(taken, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(taken, 4), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr *>(&a), &len), 0);
    const int busy = ntohs(a.sin_port);

    proc = std::make_unique<child>(std::vector<std::string>{dabserver_path(), "-c", run_dir.file("dab.ini"), "-E", "-m",
                                                            "-p", std::to_string(busy), "-l", "2", "1"},
                                   run_dir.path());
    const int status = proc->wait(20);
    close(taken);
    EXPECT_NE(status, 0) << proc->out();
    EXPECT_NE(status, -1) << "still running without its port";
    const std::string out = proc->out();
    const std::string said = "httpd: cannot listen on port " + std::to_string(busy) + ": Address already in use";
    EXPECT_EQ(count(out, said), 1u) << out;
    EXPECT_EQ(count(log_file(), said), 1u) << log_file();
}

TEST_F(faults, clients_leaving_mid_answer_do_not_harm_the_server) {
    plug_in(*eti_);
    std::string big(3 << 20, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>('a' + i % 23);
    write_file(run_dir.file("root/big.bin"), big);
    start({"-m", "-d", "sim:" + dev.path(), "-t", "12c"});
    ASSERT_TRUE(ready()) << proc->out();
    ASSERT_TRUE(serves_programme()) << proc->out();

    for (int round = 0; round < 3; round++) {
        std::vector<int> socks;
        for (int i = 0; i < 12; i++) {
            const int s = connect_local(port, false, 4096);
            ASSERT_GE(s, 0);
            const std::string req = std::string("GET ") + (i % 3 == 0 ? "/stream/1" : "/big.bin") + " HTTP/1.0\r\n\r\n";
            ASSERT_EQ(send(s, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
            socks.push_back(s);
        }
        for (size_t i = 0; i < socks.size(); i++) {
            char buf[2048];
            pollfd p{socks[i], POLLIN, 0};
            if (poll(&p, 1, 5000) > 0) (void)recv(socks[i], buf, sizeof buf, 0);
            if (i % 2) {
                // A reset instead of an orderly close.
                linger lg{1, 0};
                setsockopt(socks[i], SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            }
            close(socks[i]);
        }
    }
    ASSERT_TRUE(proc->running()) << proc->err();
    // Whole answers are still whole.
    const std::string whole = get("/big.bin", 20);
    const size_t body = whole.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_TRUE(whole.compare(body + 4, std::string::npos, big) == 0) << "the file came back spoilt";
    EXPECT_EQ(status_of("/"), 200);
    EXPECT_EQ(stop(), 0) << proc->out();
    expect_no_loop();
}

TEST_F(faults, shutdown_from_the_setup_page_during_a_scan_keeps_the_ensemble_file) {
    plug_in(*eti_);
    const std::string known = "174928\tOLD ONE\n227360\tOLD TWO\n";
    write_file(run_dir.file("ensemble.ini"), known);
    start({"-m", "-d", "sim:" + dev.path(), "-t", "12c", "-e", run_dir.file("ensemble.ini")});
    ASSERT_TRUE(ready()) << proc->out();
    std::string scan_page;
    std::thread scan([&] { scan_page = get("/setup?scan=1", 60); });
    const bool scanning = proc->wait_for_output("scanning band 1", 20);
    const std::string answer = scanning ? get("/setup?shutdown=1", 20) : "";
    const int status = proc->wait(30);
    scan.join();

    ASSERT_TRUE(scanning) << proc->out();
    EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << answer;
    EXPECT_EQ(status, 0) << proc->out();
    EXPECT_TRUE(contains(scan_page, "HTTP/1.0 200")) << scan_page;
    EXPECT_EQ(read_file(run_dir.file("ensemble.ini")), known) << "an interrupted scan replaced the list";
    EXPECT_EQ(count(proc->out(), "scan interrupted"), 1u) << proc->out();
    expect_no_loop();
}

}  // namespace
