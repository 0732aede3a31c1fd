// A DAB+ programme under broadcast faults, beside a Layer II programme of the same ensemble:
// byte errors beyond Reed-Solomon, broken access unit CRCs and lost logical frames. Nothing
// corrupt reaches a player, the counters say what happened, and the Layer II programme goes
// on untouched.

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "tools/dablin_play.h"

using namespace testsupport;

namespace {

const char ensemble_text[] = R"([ensemble]
label     "PLUS FAULTS" "FAULTS"
eid       0xC3D3
channel   12C
duration  8
time      2024-06-01 12:00:00
seed      5

[audio]
sid        0xD301
label      "Plain Two" "Two"
subchannel 1
bitrate    128
protection uep 3
source     tone 440 660

[audio]
sid        0xD302
label      "Broken Plus" "Plus"
subchannel 2
bitrate    96
protection eep 3A
codec      aac
samplerate 48000
mode       stereo
source     tone 1000 1500
dls        "Broken Plus label"
dls_interval 2

[faults]
rs_errors  2 6 4
au_crc     2 17
drop_frame 2 41
)";

// LOAS frames back to back from the first byte: the count, or -1 at the first broken one.
long loas_frames(const std::string &s, size_t *whole) {
    size_t off = 0;
    long n = 0;
    while (off + 3 <= s.size()) {
        const auto *b = reinterpret_cast<const unsigned char *>(s.data() + off);
        if (b[0] != 0x56 || (b[1] & 0xE0) != 0xE0) return -1;
        const size_t len = 3 + static_cast<size_t>((b[1] & 0x1F) << 8 | b[2]);
        if (off + len > s.size()) break;
        off += len;
        n++;
    }
    *whole = off;
    return n;
}

}  // namespace

TEST(dabplus_e2e, faults_are_counted_and_never_reach_a_player) {
    temp_dir signal;
    write_file(signal.file("faults.ensemble"), ensemble_text);
    auto r = run({binary_dir() + "/tools/dabgen", "-q", "-o", signal.file("12c.eti"), signal.file("faults.ensemble")});
    ASSERT_EQ(r.status, 0) << r.err;

    demo_server srv("sim:" + signal.path() + ",speed=2");
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    ASSERT_TRUE(srv.table_ready(2)) << srv.get("/");

    stream_client plus(srv.port, "/stream/2.loas");
    stream_client plain(srv.port, "/stream/1.mp2");
    ASSERT_EQ(plus.status(), 200) << plus.head;
    // 8 s of signal at twice the speed: every fault several times over.
    ASSERT_TRUE(plus.read_until(12, [&] {
        plain.read_into(plain.data, 0);
        return plus.data.size() > 60000;
    })) << plus.data.size();
    plain.read_for(0.5);

    size_t whole = 0;
    const long frames = loas_frames(plus.data, &whole);
    EXPECT_GT(frames, 200) << "the programme kept flowing between the faults";

    const std::vector<long> row = dabplus_row(srv.get("/stat"), 2);
    ASSERT_EQ(row.size(), 7u) << srv.get("/stat");
    // superframes, sync losses, RS corrected, uncorrectable, AU CRC errors, bad tables, AUs
    EXPECT_GT(row[0], 50);
    EXPECT_GT(row[1], 0) << "lost logical frames cost the sync";
    EXPECT_GT(row[3], 0) << "six errors in a codeword are beyond repair";
    EXPECT_GT(row[4], 0) << "broken CRCs and uncorrectable AUs are counted";
    EXPECT_EQ(row[5], 0);

    // The Layer II programme of the same ensemble is the broadcast, byte for byte.
    std::string why;
    EXPECT_TRUE(contiguous_run(subchannel_frames(signal.file("12c.eti"), 1), plain.data, &why)) << why;

    // What was sent decodes without a complaint: no corrupt access unit got through.
    if (!have_program("/usr/bin/ffmpeg")) {
        std::cout << "ffmpeg not installed: the DAB+ stream is not decoded\n";
        return;
    }
    write_file(srv.dir.file("plus.loas"), plus.data.substr(0, whole));
    const auto ff = run({"/usr/bin/ffmpeg", "-v", "error", "-i", srv.dir.file("plus.loas"), "-f", "f32le", "-"}, "", 60);
    EXPECT_EQ(ff.status, 0) << ff.err;
    EXPECT_EQ(ff.err, "") << "ffmpeg found damage in what the server sent";
    const dablin_play::plus_play pcm = dablin_play::from_f32(ff.out, 48000, 2);
    EXPECT_NEAR(dablin_play::dominant_hz(pcm, 0), 1000, 2.0);
    EXPECT_NEAR(dablin_play::dominant_hz(pcm, 1), 1500, 2.0);
}
