// The server on EDI input over loopback: the demo ensemble sent by eti2edi as PFT over UDP
// (unicast, and multicast in a network of the test's own) and as AF packets over TCP, through
// lost fragments within and beyond the Reed-Solomon protection, and a sender that restarts.

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/edi_source.h"
#include "sim/simsource.h"
#include "support/e2e_support.h"
#include "support/multicast_net.h"
#include "support/sys_support.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr size_t ETI_FRAME = 6144;
constexpr size_t MP2_FRAME = 384;  // 24 ms of 128 kbit/s

std::string eti2edi() { return binary_dir() + "/tools/eti2edi/eti2edi"; }

// 10 s of the demo ensemble: every label, and a slide of the first programme, come within it.
std::string demo_head(const temp_dir &dir, size_t frames = 417) {
    const std::string eti = read_file(demo_signal_dir() + "/12c.eti");
    const std::string path = dir.file("12c.eti");
    write_file(path, eti.substr(0, std::min(eti.size(), frames * ETI_FRAME)));
    return path;
}

// A sender that plays the file without end until it goes.
std::unique_ptr<child> sender(const temp_dir &dir, const std::string &eti, const std::string &dest,
                              std::vector<std::string> extra = {}) {
    std::vector<std::string> a = {eti2edi(), "-n", "0", "-o", dest};
    a.insert(a.end(), extra.begin(), extra.end());
    a.push_back(eti);
    return std::make_unique<child>(a, dir.path());
}

// Whether every frame of got is one of the file's, in the file's order (looped): frames lost
// leave gaps, nothing else.
bool frames_in_order(const std::vector<std::string> &frames, const std::string &got, std::string *why) {
    if (frames.empty() || got.size() < MP2_FRAME) {
        *why = "nothing to compare";
        return false;
    }
    size_t k = 0;
    bool first = true;
    for (size_t pos = 0; pos + MP2_FRAME <= got.size(); pos += MP2_FRAME) {
        size_t tries = 0;
        while (tries < frames.size() && got.compare(pos, MP2_FRAME, frames[k % frames.size()]) != 0) {
            k++;
            tries++;
            if (!first && tries > 200) break;  // a gap of more than 5 s is no loss of a few frames
        }
        if (tries >= frames.size() || (!first && tries > 200)) {
            *why = "frame at byte " + std::to_string(pos) + " is none of the file's in order";
            return false;
        }
        first = false;
        k++;
    }
    return true;
}

struct edi_counts {
    long af = -1, gaps = -1, crc = -1, fec = -1, lost = -1;
};

// The watcher copies the counters every 3 s: a look after that shows what happened before.
edi_counts settled_counts_of(demo_server &srv);

edi_counts counts_of(demo_server &srv) {
    const std::string stat = srv.get("/stat");
    edi_counts c;
    c.af = number_after(stat, "EDI AF packets:");
    c.gaps = number_after(stat, "EDI sequence gaps:");
    c.crc = number_after(stat, "EDI CRC errors:");
    c.fec = number_after(stat, "EDI fragments recovered by FEC:");
    c.lost = number_after(stat, "EDI frames lost:");
    return c;
}

edi_counts settled_counts_of(demo_server &srv) {
    usleep(3500000);
    return counts_of(srv);
}

demo_options quiet_decoder() {
    demo_options o;
    o.decoder = true;
    o.ini = "multicastif lo\n";  // IP over DAB of the demo stays on this machine
    return o;
}

}  // namespace

TEST(edi_address, device_names) {
    const struct {
        int line;
        const char *name;
        bool ok;
        edi_address::kind_t kind;
        const char *host;
        int port;
        bool multicast;
    } cases[] = {
        {__LINE__, "sim:edi=udp://12000", true, edi_address::UDP, "", 12000, false},
        {__LINE__, "sim:edi=udp://127.0.0.1@9000", true, edi_address::UDP, "127.0.0.1", 9000, false},
        {__LINE__, "sim:edi=udp://239.1.2.3@9000,mcastif=lo", true, edi_address::UDP, "239.1.2.3", 9000, true},
        {__LINE__, "sim:edi=udp://[::1]@9000", true, edi_address::UDP, "::1", 9000, false},
        {__LINE__, "sim:edi=tcp://mux.example:13000,speed=2", true, edi_address::TCP, "mux.example", 13000, false},
        {__LINE__, "sim:edi=/tmp/edi.fifo", true, edi_address::FILE, "", 0, false},
        {__LINE__, "sim:edi=-", true, edi_address::FILE, "", 0, false},
        {__LINE__, "sim:edi=udp://0", false, edi_address::UDP, "", 0, false},
        {__LINE__, "sim:edi=udp://65536", false, edi_address::UDP, "", 0, false},
        {__LINE__, "sim:edi=udp://@9000", false, edi_address::UDP, "", 0, false},
        {__LINE__, "sim:edi=tcp://host", false, edi_address::TCP, "", 0, false},
        {__LINE__, "sim:edi=tcp://:9000", false, edi_address::TCP, "", 0, false},
        {__LINE__, "sim:edi=http://x:1", false, edi_address::FILE, "", 0, false},
        {__LINE__, "sim:edi=", false, edi_address::FILE, "", 0, false},
        {__LINE__, "sim:edi=udp://9000,mcastif=", false, edi_address::UDP, "", 0, false},
        {__LINE__, "sim:edi=udp://9000,mcastif=aninterfacenamefartoolong", false, edi_address::UDP, "", 0, false},
        {__LINE__, "sim:dir,mcastif=lo", false, edi_address::FILE, "", 0, false},
    };
    for (const auto &c : cases) {
        sim_options o;
        EXPECT_EQ(parse_sim_name(c.name, o), c.ok ? 1 : 0) << "line " << c.line;
        if (!c.ok) continue;
        EXPECT_TRUE(o.make_source) << "line " << c.line;
        edi_address a;
        const std::string text = std::string(c.name).substr(8, std::string(c.name).find(',') - 8);
        ASSERT_EQ(parse_edi_address(text, a), 1) << "line " << c.line;
        EXPECT_EQ(a.kind, c.kind) << "line " << c.line;
        EXPECT_EQ(a.host, c.host) << "line " << c.line;
        EXPECT_EQ(a.port, c.port) << "line " << c.line;
        EXPECT_EQ(a.multicast, c.multicast) << "line " << c.line;
    }
}

TEST(edi_e2e, udp_with_fec_serves_the_demo_ensemble) {
    NEED_DEMO_SIGNAL();
    temp_dir dir;
    const std::string eti = demo_head(dir);
    const int port = free_port();
    demo_server srv("sim:edi=udp://127.0.0.1@" + std::to_string(port), quiet_decoder());
    auto tx = sender(dir, eti, "udp://127.0.0.1:" + std::to_string(port), {"--fec", "2"});
    ASSERT_TRUE(srv.ready()) << srv.proc->out() << srv.proc->err();
    ASSERT_TRUE(srv.table_ready(4)) << srv.get("/") << srv.proc->err() << tx->err();
    const std::string status = srv.get("/");
    for (const char *label : {"DAB DEMO ONE", "Demo Tones", "Demo Sweep", "Demo Voice", "Demo Plus"})
        EXPECT_NE(status.find(label), std::string::npos) << label << " missing from\n" << status;

    stream_client plain(srv.port, "/stream/1.mp2");
    ASSERT_EQ(plain.status(), 200) << plain.head;
    ASSERT_TRUE(plain.read_bytes(48000, 15)) << plain.data.size();
    std::string why;
    EXPECT_TRUE(contiguous_run(subchannel_frames(eti, 1), plain.data, &why)) << why;

    // Labels and the slide, from the MOT decoder, in the JSON API.
    std::string api;
    EXPECT_TRUE(wait_until(40, [&] {
        api = http_body(srv.get("/api/ensemble.json"));
        return api.find("\"dynamic_label\": {") != std::string::npos && api.find("\"slide\": {") != std::string::npos;
    }, 500)) << api;
    const edi_counts c = settled_counts_of(srv);
    EXPECT_GT(c.af, 100);
    EXPECT_EQ(c.gaps, 0);
    EXPECT_EQ(c.crc, 0);
    EXPECT_EQ(c.lost, 0);
    EXPECT_NE(api.find("\"af_packets\": "), std::string::npos) << api;
    EXPECT_NE(api.find("\"frames_lost\": 0"), std::string::npos) << api;
    EXPECT_EQ(number_after(srv.get("/stat"), "Bad FIBs:"), 0);
}

TEST(edi_e2e, ten_percent_of_fragments_lost_and_repaired) {
    NEED_DEMO_SIGNAL();
    temp_dir dir;
    const std::string eti = demo_head(dir, 125);
    const int port = free_port();
    demo_server srv("sim:edi=udp://127.0.0.1@" + std::to_string(port));
    auto tx = sender(dir, eti, "udp://127.0.0.1:" + std::to_string(port), {"--fec", "3", "--lose", "10"});
    ASSERT_TRUE(srv.ready()) << srv.proc->err();
    ASSERT_TRUE(srv.table_ready(4)) << srv.get("/") << srv.proc->err();
    stream_client plain(srv.port, "/stream/1.mp2");
    ASSERT_TRUE(plain.read_bytes(64000, 15)) << plain.data.size();
    std::string why;
    EXPECT_TRUE(contiguous_run(subchannel_frames(eti, 1), plain.data, &why)) << why << srv.get("/stat");
    const edi_counts c = settled_counts_of(srv);
    EXPECT_GT(c.fec, 100) << "fragments rebuilt";
    EXPECT_EQ(c.lost, 0);
    EXPECT_EQ(c.gaps, 0);
}

TEST(edi_e2e, loss_beyond_fec_is_counted_and_the_stream_goes_on) {
    NEED_DEMO_SIGNAL();
    temp_dir dir;
    const std::string eti = demo_head(dir, 125);
    const int port = free_port();
    demo_server srv("sim:edi=udp://127.0.0.1@" + std::to_string(port));
    // FEC 1 repairs two fragments of a packet's eleven, not three: a share of the frames is lost.
    auto tx = sender(dir, eti, "udp://127.0.0.1:" + std::to_string(port), {"--fec", "1", "--lose", "22", "--bad-crc", "1"});
    ASSERT_TRUE(srv.ready()) << srv.proc->err();
    ASSERT_TRUE(srv.table_ready(4)) << srv.get("/") << srv.proc->err();
    stream_client plain(srv.port, "/stream/1.mp2");
    ASSERT_TRUE(plain.read_bytes(24000, 20)) << plain.data.size();
    std::string why;
    EXPECT_TRUE(frames_in_order(subchannel_frames(eti, 1), plain.data, &why)) << why;
    const edi_counts c = settled_counts_of(srv);
    EXPECT_GT(c.lost, 10);
    EXPECT_EQ(c.lost, c.gaps) << "every frame lost here is a packet missing from the sequence";
    EXPECT_GT(c.crc, 0);
    EXPECT_GT(c.fec, 0);
    const std::string api = http_body(srv.get("/api/ensemble.json"));
    EXPECT_NE(api.find("\"frames_lost\": " + std::to_string(c.lost)), std::string::npos) << api;
}

TEST(edi_e2e, tcp_sender_that_restarts_is_reconnected) {
    NEED_DEMO_SIGNAL();
    temp_dir dir;
    const std::string eti = demo_head(dir, 125);
    const int port = free_port();
    const std::string dest = "tcp-listen://127.0.0.1:" + std::to_string(port);
    auto tx = sender(dir, eti, dest);
    ASSERT_TRUE(wait_for_port(port, 10)) << tx->err();
    demo_server srv("sim:edi=tcp://127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(srv.ready()) << srv.proc->err();
    ASSERT_TRUE(srv.table_ready(4)) << srv.get("/") << srv.proc->err();
    {
        stream_client plain(srv.port, "/stream/1.mp2");
        ASSERT_TRUE(plain.read_bytes(24000, 15)) << plain.data.size();
        std::string why;
        EXPECT_TRUE(contiguous_run(subchannel_frames(eti, 1), plain.data, &why)) << why;
    }
    tx->signal(SIGTERM);
    EXPECT_EQ(tx->wait(10), 0) << tx->err();
    EXPECT_TRUE(srv.proc->wait_for_output("connection to 127.0.0.1:" + std::to_string(port) + " lost", 10)) << srv.proc->err();
    auto connects = [&] {
        const std::string err = srv.proc->err();
        size_t n = 0;
        for (size_t p = err.find("edi: connected to"); p != std::string::npos; p = err.find("edi: connected to", p + 1)) n++;
        return n;
    };
    tx = sender(dir, eti, dest);
    ASSERT_TRUE(wait_for_port(port, 10)) << tx->err();
    // Reconnected within 5 s of the sender's return, and its packets counted.
    EXPECT_TRUE(wait_until(5, [&] { return connects() == 2; }, 50)) << srv.proc->err();
    const long before = counts_of(srv).af;
    EXPECT_TRUE(wait_until(10, [&] { return counts_of(srv).af > before + 10; }, 200));
    // The new sender starts at the file's beginning: read what it sent, not the jump to it.
    usleep(1000000);
    stream_client again(srv.port, "/stream/1.mp2");
    ASSERT_TRUE(again.read_bytes(12000, 10)) << again.data.size();
    std::string why;
    EXPECT_TRUE(contiguous_run(subchannel_frames(eti, 1), again.data, &why)) << why;
    EXPECT_EQ(connects(), 2u) << srv.proc->err();
}

TEST(edi_e2e, silent_sender_is_loss_of_signal_until_it_speaks_again) {
    NEED_DEMO_SIGNAL();
    temp_dir dir;
    const std::string eti = demo_head(dir, 125);
    const int port = free_port();
    demo_server srv("sim:edi=udp://127.0.0.1@" + std::to_string(port));
    auto tx = sender(dir, eti, "udp://127.0.0.1:" + std::to_string(port),
                     {"--fec", "1", "--silence-after", "4", "--silence-for", "8"});
    ASSERT_TRUE(srv.ready()) << srv.proc->err();
    ASSERT_TRUE(srv.table_ready(4)) << srv.get("/") << srv.proc->err();
    auto sync = [&](bool want) {
        return wait_until(15, [&] {
            const std::string api = http_body(srv.get("/api/ensemble.json"));
            return api.find(want ? "\"sync\": true" : "\"sync\": false") != std::string::npos;
        }, 200);
    };
    EXPECT_TRUE(sync(false)) << "the silence is no signal";
    EXPECT_TRUE(sync(true)) << "the sender's return is the signal's";
    // The programme comes back with the table the watcher rebuilds.
    std::unique_ptr<stream_client> plain;
    EXPECT_TRUE(wait_until(15, [&] {
        plain = std::make_unique<stream_client>(srv.port, "/stream/1.mp2");
        return plain->status() == 200 && plain->read_bytes(12000, 5);
    }, 500)) << srv.get("/");
    std::string why;
    EXPECT_TRUE(contiguous_run(subchannel_frames(eti, 1), plain->data, &why)) << why;
}

TEST(edi_e2e, multicast_on_the_configured_interface) {
    NEED_DEMO_SIGNAL();
    std::string why;
    if (!private_multicast_net(why)) GTEST_SKIP() << "no private network for multicast: " << why;
    temp_dir dir;
    const std::string eti = demo_head(dir, 125);
    const int port = free_port();
    demo_options o;
    o.ini = "multicastif lo\n";  // passed on to the device as ",mcastif=lo"
    demo_server srv("sim:edi=udp://239.10.20.30@" + std::to_string(port), o);
    auto tx = sender(dir, eti, "udp://239.10.20.30:" + std::to_string(port), {"--fec", "1"});
    ASSERT_TRUE(srv.ready()) << srv.proc->err();
    ASSERT_TRUE(srv.table_ready(4)) << srv.get("/") << srv.proc->err() << tx->err();
    EXPECT_GT(counts_of(srv).af, 0);
}

TEST(edi_e2e, unusable_addresses_do_not_start) {
    temp_dir dir;
    write_file(dir.file("dab.ini"), "");
    const struct {
        int line;
        std::string device;
    } cases[] = {
        {__LINE__, "sim:edi=" + dir.file("missing.edi")},
        {__LINE__, "sim:edi=udp://70000"},
        {__LINE__, "sim:edi=tcp://nohost"},
        {__LINE__, "sim:edi=udp://239.1.2.3@9000,mcastif=nosuchif0"},
    };
    for (const auto &c : cases) {
        const run_result r = run({dabserver_path(), "-d", c.device, "-t", "12c", "-m", "-p", std::to_string(free_port()),
                                  "-R", dir.path(), "-l", "99", "1"},
                                 dir.path(), 30);
        EXPECT_NE(r.status, 0) << "line " << c.line << r.out << r.err;
    }
}
