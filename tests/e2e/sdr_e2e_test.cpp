// The server on the software receiver: the demo ensembles modulated into IQ recordings, played
// from a file and from an rtl_tcp server over loopback, and the receiver's input failing.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/sys_support.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr size_t ETI_FRAME = 6144;
constexpr size_t FRAME_SAMPLES = 196608;  // one transmission frame of mode I: 4 ETI frames

// The first n ETI frames of a demo ensemble (n a multiple of 4, a whole number of
// transmission frames).
std::string demo_head(const std::string &channel, size_t n) {
    const std::string eti = read_file(demo_signal_dir() + "/" + channel + ".eti");
    return eti.substr(0, std::min(eti.size(), n * ETI_FRAME));
}

// A u8 recording of eti at 30 dB SNR that loops without a seam: the modulator plays eti twice
// and the second pass is kept, its time interleaver already full of the first pass's end, as
// a receiver finds it after the wrap.
bool seamless_recording(const std::string &eti_path, size_t eti_frames, const std::string &out) {
    const std::string twice = out + ".twice";
    const run_result r =
        run({binary_dir() + "/tools/dabmod", "-q", "-n", "2", "--snr", "30", "-o", twice, eti_path}, "", 120);
    if (r.status != 0) {
        ADD_FAILURE() << r.err;
        return false;
    }
    const std::string all = read_file(twice);
    const size_t pass = eti_frames / 4 * FRAME_SAMPLES * 2;
    unlink(twice.c_str());
    if (all.size() != 2 * pass) {
        ADD_FAILURE() << "dabmod wrote " << all.size() << " bytes, expected " << 2 * pass;
        return false;
    }
    write_file(out, all.substr(pass));
    return true;
}

// The first number after key on a page, -1 without one.
long number_after(const std::string &page, const std::string &key) {
    size_t p = page.find(key);
    if (p == std::string::npos) return -1;
    p += key.size();
    while (p < page.size() && !std::isdigit(static_cast<unsigned char>(page[p]))) {
        if (page[p] == '<') p = page.find('>', p);
        if (p == std::string::npos) return -1;
        p++;
    }
    return p < page.size() ? std::strtol(page.c_str() + p, nullptr, 10) : -1;
}

size_t count(const std::string &s, const std::string &what) {
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) n++;
    return n;
}

}  // namespace

TEST(sdr_e2e, recording_plays_like_the_ensemble_file) {
    NEED_DEMO_SIGNAL();
    temp_dir sig;
    constexpr size_t FRAMES = 64;  // 1.5 s: every FIG of the demo, looped
    write_file(sig.file("12c.eti"), demo_head("12c", FRAMES));
    ASSERT_TRUE(seamless_recording(sig.file("12c.eti"), FRAMES, sig.file("12c.iq")));

    demo_server srv("sdr:file=" + sig.file("12c.iq") + ",loop");
    ASSERT_TRUE(srv.ready()) << srv.proc->out() << srv.proc->err();
    ASSERT_TRUE(srv.table_ready(4)) << srv.get("/") << srv.proc->err();
    const std::string status = srv.get("/");
    for (const char *label : {"Demo Tones", "Demo Sweep", "Demo Voice", "Demo Plus"})
        EXPECT_NE(status.find(label), std::string::npos) << label << " missing from\n" << status;

    stream_client plain(srv.port, "/stream/1.mp2");
    ASSERT_EQ(plain.status(), 200) << plain.head;
    // 128 kbit/s: 3 s of the programme, across the recording's wraps
    ASSERT_TRUE(plain.read_bytes(48000, 15)) << plain.data.size();
    std::string why;
    EXPECT_TRUE(contiguous_run(subchannel_frames(sig.file("12c.eti"), 1), plain.data, &why)) << why;

    const std::string stat = srv.get("/stat");
    EXPECT_EQ(number_after(stat, "Bad FIBs:"), 0) << stat;
    EXPECT_NE(srv.proc->err().find("synchronised"), std::string::npos) << srv.proc->err();
}

TEST(sdr_e2e, scan_over_rtl_tcp_finds_both_demo_ensembles) {
    NEED_DEMO_SIGNAL();
    temp_dir sig, run_dir;
    constexpr size_t FRAMES = 32;  // the FIC of every frame is what a scan needs
    for (const char *ch : {"12c", "la"}) {
        write_file(sig.file(std::string(ch) + ".eti"), demo_head(ch, FRAMES));
        ASSERT_TRUE(seamless_recording(sig.file(std::string(ch) + ".eti"), FRAMES, sig.file(std::string(ch) + ".iq")));
    }
    const int port = free_port();
    child fake({binary_dir() + "/tools/rtltcp_fake", "-p", std::to_string(port), "-d", sig.path(), "-s", "4"},
               run_dir.path());
    ASSERT_TRUE(wait_for_port(port, 10)) << fake.err();
    write_file(run_dir.file("dab.ini"), "");
    const int http = free_port();
    child srv({dabserver_path(), "-d", "sdr:rtl_tcp=127.0.0.1:" + std::to_string(port) + ",speed=4", "-s", "-m", "-p",
               std::to_string(http), "-R", run_dir.path(), "-l", "99", "1"},
              run_dir.path());
    ASSERT_TRUE(srv.wait_for_output("finished scanning band 2", 120)) << srv.out() << srv.err() << fake.err();
    EXPECT_NE(srv.out().find("finished scanning band 1: found 1 ensembles"), std::string::npos) << srv.out();
    EXPECT_NE(srv.out().find("finished scanning band 2: found 1 ensembles"), std::string::npos) << srv.out();
    EXPECT_NE(srv.out().find("DAB DEMO ONE"), std::string::npos) << srv.out();
    EXPECT_NE(fake.err().find("1452960 kHz"), std::string::npos) << fake.err();
    srv.signal(SIGINT);
    EXPECT_EQ(srv.wait(30), 0) << srv.err();
}

// Inputs that carry no ensemble, or stop: said in the log, no crash, the device removed in order.
TEST(sdr_e2e, failing_inputs_are_said_and_removed_in_order) {
    temp_dir sig;
    std::string random(3 * FRAME_SAMPLES * 2, '\0');
    uint32_t x = 7;
    for (char &c : random) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    write_file(sig.file("zeros.iq"), std::string(3 * FRAME_SAMPLES * 2, '\0'));
    write_file(sig.file("random.iq"), random);
    const struct {
        const char *what, *device, *log;
        int status;
    } cases[] = {
        // A recording that ends is a device pulled out: the server stops by itself.
        {"a recording of zeros ends", "zeros.iq", "end of the recording", 0},
        {"random bytes end", "random.iq", "end of the recording", 0},
        {"a missing recording does not start", "missing.iq", "cannot open the recording", 255},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir run_dir;
        write_file(run_dir.file("dab.ini"), "");
        child srv({dabserver_path(), "-d", "sdr:file=" + sig.file(c.device), "-t", "12c", "-m", "-p",
                   std::to_string(free_port()), "-R", run_dir.path(), "-l", "99", "1"},
                  run_dir.path());
        EXPECT_EQ(srv.wait(30), c.status) << srv.out() << srv.err();
        EXPECT_EQ(count(srv.err(), c.log), 1u) << srv.err();
        if (c.status == 0) {
            EXPECT_NE(srv.out().find("the device is gone"), std::string::npos) << srv.out();
        }
    }
}

TEST(sdr_e2e, rtl_tcp_server_that_vanishes_or_stalls) {
    NEED_DEMO_SIGNAL();
    temp_dir sig;
    constexpr size_t FRAMES = 32;
    write_file(sig.file("12c.eti"), demo_head("12c", FRAMES));
    ASSERT_TRUE(seamless_recording(sig.file("12c.eti"), FRAMES, sig.file("12c.iq")));
    const struct {
        const char *what, *fault, *log;
    } cases[] = {
        {"connection closed", "--drop-after", "connection to the receiver lost"},
        {"no more samples", "--stall-after", "the receiver is given up"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir run_dir;
        write_file(run_dir.file("dab.ini"), "");
        const int port = free_port();
        child fake({binary_dir() + "/tools/rtltcp_fake", "-p", std::to_string(port), "-d", sig.path(), c.fault, "3"},
                   run_dir.path());
        ASSERT_TRUE(wait_for_port(port, 10)) << fake.err();
        child srv({dabserver_path(), "-d", "sdr:rtl_tcp=127.0.0.1:" + std::to_string(port), "-t", "12c", "-m", "-p",
                   std::to_string(free_port()), "-R", run_dir.path(), "-l", "99", "1"},
                  run_dir.path());
        EXPECT_TRUE(srv.wait_for_output("synchronised", 15)) << srv.err();
        EXPECT_TRUE(srv.wait_for_output(c.log, 20)) << srv.out() << srv.err();
        // Given up is pulled out: the server stops by itself, in order.
        EXPECT_EQ(srv.wait(30), 0) << srv.out() << srv.err();
        EXPECT_EQ(count(srv.err(), c.log), 1u) << srv.err();
        EXPECT_NE(srv.out().find("the device is gone"), std::string::npos) << srv.out();
    }
}
