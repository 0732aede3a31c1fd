// eti2edi: its AF stream played by an independent receiver (dablin), and its packets, with
// and without network faults, turned back into the very frames of the ETI file.

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/edi_decoder.h"
#include "common/eti_reader.h"
#include "support/e2e_support.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr size_t ETI_FRAME = 6144;

std::string eti2edi() { return binary_dir() + "/tools/eti2edi/eti2edi"; }

// The first n frames of the demo ensemble on 12C, in a file of dir.
std::string demo_head(const temp_dir &dir, size_t n) {
    const std::string eti = read_file(demo_signal_dir() + "/12c.eti");
    const std::string path = dir.file("12c.eti");
    write_file(path, eti.substr(0, std::min(eti.size(), n * ETI_FRAME)));
    return path;
}

std::vector<std::string> frames_of(const std::string &eti) {
    std::vector<std::string> v;
    for (size_t off = 0; off + ETI_FRAME <= eti.size(); off += ETI_FRAME) v.push_back(eti.substr(off, ETI_FRAME));
    return v;
}

long number_before(const std::string &s, const std::string &key) {
    size_t p = s.find(key);
    if (p == std::string::npos) return -1;
    while (p > 0 && isdigit(static_cast<unsigned char>(s[p - 1]))) p--;
    return std::strtol(s.c_str() + p, nullptr, 10);
}

struct decoded {
    std::vector<std::string> frames;
    dabcommon::edi_counters counters;
};

// The server's decoder over a written stream, fed in uneven pieces.
decoded decode_stream(const std::string &stream) {
    decoded d;
    dabcommon::edi_decoder dec([&](const uint8_t *f) { d.frames.emplace_back(reinterpret_cast<const char *>(f), ETI_FRAME); });
    const auto *p = reinterpret_cast<const uint8_t *>(stream.data());
    size_t off = 0, piece = 1;
    uint64_t now = 0;
    while (off < stream.size()) {
        const size_t n = std::min(stream.size() - off, piece);
        dec.push_stream(p + off, n, now += 1);
        off += n;
        piece = piece * 7 % 5003 + 1;
    }
    dec.tick(now + 100000);
    d.counters = dec.counters();
    return d;
}

}  // namespace

TEST(eti2edi, dablin_plays_the_af_stream) {
    NEED_DEMO_SIGNAL();
    if (!have_program("/usr/bin/dablin")) GTEST_SKIP() << "dablin not installed (scripts/install-deps --test)";
    temp_dir dir;
    const std::string eti = demo_head(dir, 125);  // 3 s
    const run_result w = run({eti2edi(), "-q", "-o", dir.file("12c.edi"), eti});
    ASSERT_EQ(w.status, 0) << w.err;
    // dablin reads AF packets from a file and writes the programme's MP2 frames untouched.
    const run_result r = run({"dablin", "-f", "edi", "-s", "0xD101", "-u", dir.file("12c.edi")}, dir.path(), 60);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("detected AF layer"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ensemble label '\x1b[32mDAB DEMO ONE"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("programme service label '\x1b[32mDemo Tones"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("MPEG 1.0 Layer II, 48 kHz Stereo @ 128 kBit/s"), std::string::npos) << r.err;
    // The audio is the sub-channel as the ensemble carries it, from some frame on.
    ASSERT_GE(r.out.size(), 100u * 384);
    std::string why;
    EXPECT_TRUE(contiguous_run(subchannel_frames(eti, 1), r.out, &why)) << why;
}

TEST(eti2edi, frames_come_back_through_faults) {
    NEED_DEMO_SIGNAL();
    temp_dir dir;
    const std::string eti = demo_head(dir, 200);
    const auto want = frames_of(read_file(eti));
    const struct {
        int line;
        std::vector<std::string> args;
        bool all_frames;
        const char *summary;
    } cases[] = {
        {__LINE__, {}, true, "200 frames, 200 AF packets, 200 packets sent; lost 0"},
        {__LINE__, {"-f", "pf"}, true, "200 frames, 200 AF packets, 400 fragments; lost 0"},  // 2 per packet
        {__LINE__, {"--fec", "3", "--lose", "10"}, true, "lost"},
        {__LINE__, {"--fec", "2", "--duplicate", "20", "--reorder", "20", "--addr", "1:2"}, true, "lost 0"},
        {__LINE__, {"--fec", "2", "--fragment-size", "100", "--bad-crc", "3"}, true, "lost 0"},
        {__LINE__, {"--duplicate", "30"}, true, "lost 0"},
        // Beyond what can be repaired: frames lost and counted, the others whole.
        {__LINE__, {"--lose", "10"}, false, "lost 20"},
        {__LINE__, {"--fec", "1", "--lose", "22"}, false, "lost"},
        {__LINE__, {"--bad-crc", "10"}, false, "CRC broken"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        std::vector<std::string> argv = {eti2edi(), "-o", dir.file("out.edi")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        argv.push_back(eti);
        const run_result w = run(argv);
        ASSERT_EQ(w.status, 0) << w.err;
        EXPECT_NE(w.err.find(c.summary), std::string::npos) << w.err;
        // --lose: that share of what was sent, rounded down
        for (size_t i = 0; i + 1 < c.args.size(); i++) {
            if (c.args[i] != "--lose") continue;
            const long sent = number_before(w.err, c.args[0] == "--lose" ? " packets sent" : " fragments");
            EXPECT_EQ(number_after(w.err, "lost "), sent * std::stol(c.args[i + 1]) / 100) << w.err;
        }
        const decoded d = decode_stream(read_file(dir.file("out.edi")));
        if (c.all_frames) {
            ASSERT_EQ(d.frames.size(), want.size());
            for (size_t i = 0; i < want.size(); i++) ASSERT_EQ(d.frames[i], want[i]) << "frame " << i;
            EXPECT_EQ(d.counters.frames_lost, 0u);
            EXPECT_GE(d.counters.af_packets, 200u);  // duplicated ones too
        } else {
            ASSERT_LT(d.frames.size(), want.size());
            ASSERT_GT(d.frames.size(), want.size() / 3);
            // What came is whole and in order; what did not is counted.
            size_t k = 0;
            for (const auto &f : d.frames) {
                while (k < want.size() && want[k] != f) k++;
                ASSERT_LT(k, want.size()) << "a frame that is not one of the file's";
            }
            // Only a loss at the very end goes unnoticed: no later packet shows the gap.
            EXPECT_LE(d.counters.frames_lost + d.frames.size(), want.size());
            EXPECT_GE(d.counters.frames_lost + d.frames.size(), want.size() - 1) << "lost " << d.counters.frames_lost;
        }
    }
}

TEST(eti2edi, refuses_bad_options) {
    const struct {
        int line;
        std::vector<std::string> args;
    } cases[] = {
        {__LINE__, {"-f", "xx"}},
        {__LINE__, {"--fec", "48"}},
        {__LINE__, {"-f", "af", "--fec", "2"}},
        {__LINE__, {"--lose", "101"}},
        {__LINE__, {"--fragment-size", "8"}},
        {__LINE__, {"--addr", "1"}},
        {__LINE__, {"--speed", "0"}},
        {__LINE__, {"-o", "udp://nohost"}},
        {__LINE__, {"a.eti", "b.eti"}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {eti2edi()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const run_result r = run(argv, "", 10);
        EXPECT_NE(r.status, 0) << "line " << c.line;
        EXPECT_NE(r.err, "") << "line " << c.line;
    }
}
