// The demo ensembles fed to a real icecast2 on loopback: Icecast's listeners get exactly the
// bytes /stream/N serves and the dynamic label as the title; the sources come back after
// Icecast restarts without holding up local listeners; a wrong password is said once and tried
// again slowly; two servers share one Icecast under their own mounts.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <fstream>
#include <functional>
#include <memory>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"

using namespace testsupport;
using json = nlohmann::json;

namespace {

const char icecast_bin[] = "/usr/bin/icecast2";
const char setpriv_bin[] = "/usr/bin/setpriv";

// icecast2 on 127.0.0.1 with a configuration of its own. It refuses to run as root: then it
// runs as nobody, writing its logs in a directory of its own.
struct icecast_server {
    temp_dir dir;
    int port = free_port();
    std::string password = "hackme" + std::to_string(getpid());
    std::unique_ptr<child> proc;
    std::string problem;  // why it cannot run here

    icecast_server() {
        if (access(icecast_bin, X_OK) != 0) {
            problem = "icecast2 not installed (scripts/install-deps --test)";
            return;
        }
        const std::string logs = dir.file("log");
        mkdir(logs.c_str(), 0755);
        if (geteuid() == 0) {
            if (access(setpriv_bin, X_OK) != 0 || chown(logs.c_str(), 65534, 65534) != 0 ||
                chmod(dir.path().c_str(), 0755) != 0) {
                problem = "running as root without setpriv or the account nobody";
                return;
            }
        }
        std::ofstream f(dir.file("icecast.xml"));
        f << "<icecast>\n"
             "  <location>loopback</location><admin>test@localhost</admin><hostname>127.0.0.1</hostname>\n"
             "  <limits><clients>100</clients><sources>16</sources><burst-size>0</burst-size></limits>\n"
             "  <authentication><source-password>"
          << password << "</source-password><admin-user>admin</admin-user><admin-password>" << password
          << "</admin-password></authentication>\n"
             "  <listen-socket><port>"
          << port
          << "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n"
             "  <paths><basedir>/usr/share/icecast2</basedir><logdir>"
          << logs
          << "</logdir><webroot>/usr/share/icecast2/web</webroot>"
             "<adminroot>/usr/share/icecast2/admin</adminroot></paths>\n"
             "  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>2</loglevel>"
             "</logging>\n"
             "  <security><chroot>0</chroot></security>\n"
             "</icecast>\n";
        f.close();
        chmod(dir.file("icecast.xml").c_str(), 0644);
    }
    ~icecast_server() { stop(); }

    bool start() {
        std::vector<std::string> argv = {icecast_bin, "-c", dir.file("icecast.xml")};
        if (geteuid() == 0)
            argv.insert(argv.begin(), {setpriv_bin, "--reuid=65534", "--regid=65534", "--clear-groups"});
        proc = std::make_unique<child>(argv, dir.path());
        return wait_for_port(port, 10) && proc->running();
    }
    void stop() {
        if (!proc) return;
        proc->signal(SIGTERM);
        proc->wait(10);
        proc.reset();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }
    std::string ini(const std::string &extra = "") const {
        return "icecast " + url() + "\nicecastpassword " + password + "\n" + extra;
    }
    // The sources Icecast lists: mount -> its entry.
    std::map<std::string, json> sources() const {
        std::map<std::string, json> out;
        const json doc = json::parse(http_body(tcp_exchange(port, "GET /status-json.xsl HTTP/1.0\r\n\r\n", 5)),
                                     nullptr, false);
        if (doc.is_discarded() || !doc.contains("icestats") || !doc["icestats"].contains("source")) return out;
        json list = doc["icestats"]["source"];
        if (list.is_object()) list = json::array({list});  // one source is not listed as an array
        for (const json &s : list) {
            const std::string u = s.value("listenurl", "");
            const size_t p = u.find('/', sizeof "http://" - 1);
            if (p != std::string::npos) out[u.substr(p)] = s;
        }
        return out;
    }
};

#define NEED_ICECAST(ice)                                          \
    do {                                                           \
        if (!(ice).problem.empty()) GTEST_SKIP() << (ice).problem; \
        ASSERT_TRUE((ice).start()) << (ice).proc->out() << (ice).proc->err(); \
    } while (0)

// The programmes of the demo ensembles, from demo/12c.ensemble and demo/la.ensemble.
struct programme {
    const char *mount, *label;
    int subch;
    bool plus;
};
const programme one[] = {{"/dab/d101", "Demo Tones", 1, false},
                         {"/dab/d102", "Demo Sweep", 2, false},
                         {"/dab/d103", "Demo Voice", 3, false},
                         {"/dab/d104", "Demo Plus", 4, true}};
const programme two[] = {{"/dab/d201", "Demo Noise", 1, false},
                         {"/dab/d202", "Demo Half Rate", 2, false},
                         {"/dab/d203", "Demo HE-AAC", 3, true}};
// The dynamic labels of Demo Tones, alternating every 10 s.
const char *const tones_labels[] = {"Demo Tones: 440 Hz left, 660 Hz right",
                                    "Now playing: the reference tone of DAB DEMO ONE"};

bool all_listed(const icecast_server &ice, const programme *p, size_t n) {
    const auto s = ice.sources();
    for (size_t i = 0; i < n; i++)
        if (!s.count(p[i].mount)) return false;
    return true;
}

// Titles of an ICY stream: the audio and the StreamTitle of each block with text.
struct icy_reader {
    size_t metaint;
    size_t until_block;
    std::string audio, titles_raw;
    std::vector<std::string> titles;
    std::string pending;

    explicit icy_reader(size_t interval) : metaint(interval), until_block(interval) {}
    void feed(const std::string &bytes) {
        pending += bytes;
        for (;;) {
            if (until_block > 0) {
                const size_t n = std::min(until_block, pending.size());
                audio += pending.substr(0, n);
                pending.erase(0, n);
                until_block -= n;
                if (until_block > 0) return;
            }
            if (pending.empty()) return;
            const size_t len = 16 * static_cast<unsigned char>(pending[0]);
            if (pending.size() < 1 + len) return;
            const std::string text = pending.substr(1, len);
            pending.erase(0, 1 + len);
            until_block = metaint;
            const size_t a = text.find("StreamTitle='");
            if (a == std::string::npos) continue;
            const size_t b = text.find("';", a);
            if (b != std::string::npos) titles.push_back(text.substr(a + 13, b - a - 13));
        }
    }
    std::string title() const { return titles.empty() ? "" : titles.back(); }
};

size_t header_number(const std::string &head, const std::string &name) {
    const size_t p = head.find(name);
    return p == std::string::npos ? 0 : std::strtoul(head.c_str() + p + name.size(), nullptr, 10);
}

// CPU time of a process in clock ticks.
long cpu_ticks(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t p = stat.rfind(')');
    if (p == std::string::npos) return -1;
    long v[16] = {};
    // Fields after the name: state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    if (sscanf(stat.c_str() + p + 2, "%*c %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld", &v[0], &v[1], &v[2], &v[3],
               &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11]) != 12)
        return -1;
    return v[10] + v[11];
}

json mounts_of(demo_server &srv) {
    const json doc = json::parse(http_body(srv.get("/api/ensemble.json")), nullptr, false);
    if (doc.is_discarded() || !doc.contains("icecast") || doc["icecast"].is_null()) return json::array();
    return doc["icecast"]["mounts"];
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
}

}  // namespace

// Both demo ensembles on one Icecast; bytes, listing and titles; then Icecast restarts.
TEST(icecast_e2e, programmes_titles_and_a_restart) {
    NEED_DEMO_SIGNAL();
    icecast_server ice;
    NEED_ICECAST(ice);

    demo_options o;
    o.decoder = true;
    o.ini = ice.ini();
    demo_server a("sim:" + demo_signal_dir(), o);
    // The second server plays channel LA's ensemble under the name the first one tunes.
    temp_dir la;
    ASSERT_EQ(symlink((demo_signal_dir() + "/la.eti").c_str(), la.file("12c.eti").c_str()), 0);
    demo_options o2;
    o2.ini = ice.ini();
    demo_server b("sim:" + la.path(), o2);
    ASSERT_TRUE(a.ready()) << a.proc->out();
    ASSERT_TRUE(b.ready()) << b.proc->out();

    ASSERT_TRUE(wait_until(20, [&] { return all_listed(ice, one, 4) && all_listed(ice, two, 3); }))
        << a.proc->out() << b.proc->out();
    // Every mount with the programme's name; each server's own, side by side.
    const auto listed = ice.sources();
    EXPECT_EQ(listed.size(), 7u);
    for (const programme *set : {one, two})
        for (size_t i = 0; i < (set == one ? 4u : 3u); i++) {
            const json &s = listed.at(set[i].mount);
            EXPECT_EQ(s.value("server_name", ""), set[i].label) << set[i].mount;
            EXPECT_EQ(s.value("server_type", ""), set[i].plus ? "audio/mp4a-latm" : "audio/mpeg") << set[i].mount;
            EXPECT_NE(s.value("server_description", "").find(set == one ? "DAB DEMO ONE" : "DAB DEMO TWO"),
                      std::string::npos)
                << set[i].mount;
        }

    // Icecast's listeners get a contiguous run of the very bytes /stream/N serves: every
    // programme at once, each local listener joined before and left after its Icecast one.
    std::vector<std::unique_ptr<stream_client>> local, remote;
    for (const programme &p : one) {
        local.push_back(std::make_unique<stream_client>(a.port, "/stream/" + std::to_string(p.subch)));
        ASSERT_EQ(local.back()->status(), 200);
    }
    auto read_all = [&](double seconds, const std::function<bool()> &done) {
        const double until = now_s() + seconds;
        while (now_s() < until && !done()) {
            for (auto &c : local) c->read_into(c->data, 5);
            for (auto &c : remote) c->read_into(c->data, 5);
        }
    };
    read_all(0.7, [] { return false; });
    for (const programme &p : one) {
        remote.push_back(std::make_unique<stream_client>(ice.port, p.mount));
        ASSERT_EQ(remote.back()->status(), 200) << remote.back()->head;
        EXPECT_NE(remote.back()->head.find(p.plus ? "audio/mp4a-latm" : "audio/mpeg"), std::string::npos)
            << remote.back()->head;
    }
    read_all(8, [&] {
        for (auto &c : remote)
            if (c->data.size() < 16000) return false;
        return true;
    });
    std::vector<std::string> got;
    for (auto &c : remote) got.push_back(c->data);
    remote.clear();
    read_all(1.0, [] { return false; });
    for (size_t i = 0; i < 4; i++) {
        const programme &p = one[i];
        ASSERT_GE(got[i].size(), 16000u) << p.mount;
        EXPECT_NE(local[i]->data.find(got[i]), std::string::npos)
            << p.mount << ": Icecast's " << got[i].size() << " bytes are no run of the local stream's "
            << local[i]->data.size();
        if (p.plus) continue;
        // And those are the broadcast's frames, whatever point of a frame Icecast started at.
        const std::vector<std::string> frames = subchannel_frames(demo_signal_dir() + "/12c.eti", p.subch);
        ASSERT_FALSE(frames.empty());
        bool found = false;
        std::string why;
        for (size_t k = 0; k < frames[0].size() && !found; k++) found = contiguous_run(frames, got[i].substr(k), &why);
        EXPECT_TRUE(found) << p.mount << ": " << why;
    }
    local.clear();

    // The dynamic label as the title: Icecast's listener sees each change of Demo Tones' label
    // within 10 s of the server's own listener.
    stream_client local_icy(a.port, "/stream/1", header_lines{"Icy-MetaData: 1\r\n"});
    stream_client remote_icy(ice.port, "/dab/d101", header_lines{"Icy-MetaData: 1\r\n"});
    ASSERT_EQ(remote_icy.status(), 200) << remote_icy.head;
    const size_t remote_metaint = header_number(remote_icy.head, "icy-metaint:");
    ASSERT_GT(remote_metaint, 0u) << remote_icy.head;
    icy_reader lt(header_number(local_icy.head, "icy-metaint:")), rt(remote_metaint);
    lt.feed(local_icy.data);
    rt.feed(remote_icy.data);
    std::string first_local, changed_to;
    double changed_at = 0, seen_at = 0;
    const double end = now_s() + 35;
    while (now_s() < end && !seen_at) {
        std::string bytes;
        local_icy.read_into(bytes, 20);
        lt.feed(bytes);
        bytes.clear();
        remote_icy.read_into(bytes, 20);
        rt.feed(bytes);
        if (first_local.empty()) first_local = lt.title();
        if (changed_to.empty() && !first_local.empty() && lt.title() != first_local && !lt.title().empty()) {
            changed_to = lt.title();
            changed_at = now_s();
        }
        if (!changed_to.empty() && rt.title() == changed_to) seen_at = now_s();
    }
    ASSERT_FALSE(changed_to.empty()) << "the local title never changed: " << first_local;
    EXPECT_TRUE(changed_to == tones_labels[0] || changed_to == tones_labels[1]) << changed_to;
    ASSERT_GT(seen_at, 0) << "Icecast's title stayed \"" << rt.title() << "\", not \"" << changed_to << "\"";
    EXPECT_LT(seen_at - changed_at, 10.0);
    std::cout << "title \"" << changed_to << "\" on Icecast " << seen_at - changed_at << " s after the server's own\n";

    // Icecast goes away and comes back: every mount is back within 10 s, and a local listener
    // got its stream at full rate all the while.
    stream_client steady(a.port, "/stream/2");
    ASSERT_EQ(steady.status(), 200);
    steady.read_for(1.0);
    const size_t before = steady.data.size();
    const double t0 = now_s();
    ice.stop();
    steady.read_for(3.0);
    ASSERT_TRUE(ice.start()) << ice.proc->err();
    const double restarted = now_s();
    bool back = false;
    double asked = 0;
    steady.read_until(15, [&] {
        if (now_s() - asked < 0.25) return false;
        asked = now_s();
        return back = all_listed(ice, one, 4) && all_listed(ice, two, 3);
    });
    EXPECT_TRUE(back) << a.proc->out();
    EXPECT_LT(now_s() - restarted, 10.5);
    steady.read_for(1.0);
    // 128 kbit/s: 16000 bytes a second.
    const double rate = static_cast<double>(steady.data.size() - before) / (now_s() - t0) / 16000.0;
    EXPECT_GT(rate, 0.95) << "a local listener was held up while Icecast was away";
    std::cout << "mounts back " << now_s() - restarted - 1.0 << " s after Icecast's restart; local listener at "
              << rate * 100 << " % of the rate\n";
    for (const json &m : mounts_of(a)) EXPECT_GE(m.value("reconnects", 0), 1) << m.dump();
    // Each reason said once, not at every attempt.
    EXPECT_LE(count_of(a.proc->out(), "icecast: /dab/d101: cannot connect"), 1u) << a.proc->out();
    EXPECT_LE(count_of(a.proc->out(), "icecast: /dab/d101: "), 4u) << a.proc->out();
}

// A wrong password: one clear line, attempts that back off, and an idle server meanwhile.
TEST(icecast_e2e, wrong_password_backs_off) {
    NEED_DEMO_SIGNAL();
    icecast_server ice;
    NEED_ICECAST(ice);
    demo_options o;
    const std::string secret = "Wr0ngSecret";
    o.ini = "icecast " + ice.url() + "\nicecastpassword " + secret + "\nicecastservices d101\n";
    demo_server srv("sim:" + demo_signal_dir(), o);
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    ASSERT_TRUE(wait_until(15, [&] { return srv.proc->out().find("refused (401)") != std::string::npos; }))
        << srv.proc->out();
    const long ticks0 = cpu_ticks(srv.proc->pid());
    const double t0 = now_s();
    sleep(8);
    const long ticks = cpu_ticks(srv.proc->pid()) - ticks0;
    const double cpu = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / (now_s() - t0);

    const std::string log = srv.proc->out();
    EXPECT_EQ(count_of(log, "icecast: /dab/d101: refused (401): wrong user name or password"), 1u) << log;
    EXPECT_EQ(log.find(secret), std::string::npos) << "the password is never logged";
    EXPECT_EQ(count_of(log, "icecast: /dab/d"), 1u) << "only the selected programme is fed:\n" << log;
    const json mounts = mounts_of(srv);
    ASSERT_EQ(mounts.size(), 1u) << mounts.dump();
    // Attempts 1, 2, 4 and 8 s apart: at most five in the 10 s since the first.
    EXPECT_GE(mounts[0].value("reconnects", 0), 2);
    EXPECT_LE(mounts[0].value("reconnects", 0), 5);
    EXPECT_EQ(mounts[0].value("state", ""), "waiting");
    EXPECT_NE(mounts[0].value("last_error", "").find("401"), std::string::npos);
    // The ensemble alone costs a few per cent of a core; a loop that never waits costs it all.
    EXPECT_LT(cpu, 0.5);
    std::cout << "wrong password: " << mounts[0].value("reconnects", 0) << " attempts again in 10 s, server CPU "
              << cpu * 100 << " % of a core\n";
    EXPECT_TRUE(ice.sources().empty());
    for (const char *page : {"/stat", "/setup", "/api/ensemble.json"})
        EXPECT_EQ(srv.get(page).find(secret), std::string::npos) << page << " shows the password";
}

// A retune: the mounts follow the new ensemble's programmes. A stop: every source is closed,
// and Icecast lists none.
TEST(icecast_e2e, mounts_follow_a_retune_and_end_with_the_server) {
    NEED_DEMO_SIGNAL();
    icecast_server ice;
    NEED_ICECAST(ice);
    demo_options o;
    o.ini = ice.ini();
    auto srv = std::make_unique<demo_server>("sim:" + demo_signal_dir(), o);
    ASSERT_TRUE(srv->ready()) << srv->proc->out();
    ASSERT_TRUE(wait_until(20, [&] { return all_listed(ice, one, 4); })) << srv->proc->out();

    const std::string page = srv->get("/setup?freq=la");
    ASSERT_NE(page.find("200 OK"), std::string::npos) << page.substr(0, 300);
    ASSERT_TRUE(wait_until(20, [&] {
        const auto s = ice.sources();
        return all_listed(ice, two, 3) && s.size() == 3;
    })) << srv->proc->out();
    for (const programme &p : two) EXPECT_EQ(ice.sources().at(p.mount).value("server_name", ""), p.label);
    const json mounts = mounts_of(*srv);
    EXPECT_EQ(mounts.size(), 3u) << mounts.dump();

    srv.reset();  // SIGINT, and its end checked
    EXPECT_TRUE(wait_until(3, [&] { return ice.sources().empty(); })) << "sources left behind at the stop";
}

// An Icecast that takes the source and then reads nothing: the local listeners go on at full
// rate, and once the source falls a ring behind it is given up and called again.
TEST(icecast_e2e, a_stalled_icecast_holds_up_nobody) {
    NEED_DEMO_SIGNAL();
    const int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(ls, 0);
    const int small = 4096;  // inherited by the accepted sockets: the stall bites early
    setsockopt(ls, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(ls, 4), 0);
    ASSERT_EQ(getsockname(ls, reinterpret_cast<sockaddr *>(&a), &len), 0);
    const int port = ntohs(a.sin_port);
    // Takes one source: its request head, answered 200; -1 when none came.
    auto take_source = [&](double seconds, std::string *head) {
        pollfd p{ls, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return -1;
        const int c = accept(ls, nullptr, nullptr);
        const double end = now_s() + 5;
        char b[1024];
        while (c >= 0 && head->find("\r\n\r\n") == std::string::npos && now_s() < end) {
            pollfd q{c, POLLIN, 0};
            if (poll(&q, 1, 100) <= 0) continue;
            const ssize_t n = recv(c, b, sizeof b, 0);
            if (n <= 0) break;
            head->append(b, static_cast<size_t>(n));
        }
        const char ok[] = "HTTP/1.0 200 OK\r\n\r\n";
        if (c >= 0) {
            EXPECT_EQ(send(c, ok, sizeof ok - 1, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof ok - 1));
        }
        return c;
    };

    demo_options o;
    o.ini = "icecast http://127.0.0.1:" + std::to_string(port) + "\nicecastpassword x\nicecastservices d101\n";
    demo_server srv("sim:" + demo_signal_dir(), o);
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    std::string head;
    const int first = take_source(20, &head);
    ASSERT_GE(first, 0) << srv.proc->out();
    // The head as the source client wrote it; "source:x" in base64 is c291cmNlOng=.
    EXPECT_EQ(head.rfind("PUT /dab/d101 HTTP/1.1\r\n", 0), 0u) << head;
    for (const char *line : {"Authorization: Basic c291cmNlOng=\r\n", "Content-Type: audio/mpeg\r\n",
                             "ice-name: Demo Tones\r\n", "ice-description: DAB DEMO ONE, channel 12C\r\n",
                             "ice-public: 0\r\n", "ice-bitrate: 128\r\n"})
        EXPECT_NE(head.find(line), std::string::npos) << line << " not in\n" << head;

    stream_client local(srv.port, "/stream/1");
    ASSERT_EQ(local.status(), 200);
    const double t0 = now_s();
    std::string second_head;
    int second = -1;
    // The ring holds about 8 s of a 128 kbit/s programme.
    const double end = now_s() + 16;
    while (second < 0 && now_s() < end) {
        local.read_into(local.data, 50);
        pollfd p{ls, POLLIN, 0};
        if (poll(&p, 1, 0) > 0) second = take_source(1, &second_head);
    }
    const double rate = static_cast<double>(local.data.size()) / (now_s() - t0) / 16000.0;
    EXPECT_GT(rate, 0.95) << "the local listener was held up by the stalled source";
    EXPECT_GE(second, 0) << "the stalled source was never given up\n" << srv.proc->out();
    EXPECT_EQ(second_head.rfind("PUT /dab/d101 HTTP/1.1\r\n", 0), 0u) << second_head;
    EXPECT_NE(srv.proc->out().find("icecast: /dab/d101: Icecast took the stream too slowly"), std::string::npos)
        << srv.proc->out();
    std::cout << "stalled source given up after " << now_s() - t0 << " s; local listener at " << rate * 100
              << " % of the rate\n";
    for (int fd : {first, second})
        if (fd >= 0) close(fd);
    close(ls);
}

// The setup page: the keys set from a form start the feed at once; the password is posted,
// kept in the configuration file and never shown; a URL that is no http://HOST:PORT is refused.
TEST(icecast_e2e, setup_page_starts_the_feed) {
    NEED_DEMO_SIGNAL();
    icecast_server ice;
    NEED_ICECAST(ice);
    demo_server srv("sim:" + demo_signal_dir());
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    ASSERT_TRUE(srv.table_ready(7));

    const std::string refused = srv.get("/setup?icecast=http%3A%2F%2Fsource%3Ax%40127.0.0.1%3A8000");
    EXPECT_NE(refused.find("Not set: icecast"), std::string::npos) << refused;

    const std::string body = "icecast=http%3A%2F%2F127.0.0.1%3A" + std::to_string(ice.port) +
                             "&icecastpassword=" + ice.password + "&icecastservices=d102+d104";
    const std::string page = tcp_exchange(srv.port,
                                          "POST /setup?form=icecast HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                                          15);
    ASSERT_NE(page.find("200 OK"), std::string::npos) << page.substr(0, 300);
    EXPECT_EQ(page.find(ice.password), std::string::npos) << "the setup page shows the password";
    EXPECT_NE(page.find("<form method=post action=\"/setup?form=icecast\" >"), std::string::npos) << "the form posts here";
    EXPECT_NE(page.find("type=\"password\" name=\"icecastpassword\" value=\"\""), std::string::npos);
    const std::string ini = read_file(srv.dir.file("dab.ini"));
    EXPECT_EQ(ini_value(ini, "icecastpassword"), ice.password);
    EXPECT_EQ(ini_value(ini, "icecastservices"), "d102 d104");

    ASSERT_TRUE(wait_until(15, [&] { return ice.sources().size() == 2; })) << srv.proc->out();
    const auto listed = ice.sources();
    EXPECT_EQ(listed.count("/dab/d102"), 1u);
    EXPECT_EQ(listed.count("/dab/d104"), 1u);
    EXPECT_EQ(srv.proc->out().find(ice.password), std::string::npos) << "the password was logged";
}
