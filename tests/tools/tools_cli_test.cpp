// The tools as programs: their help, their answers to bad input, and eti2rdi's dump files
// unpacked by the receiver's rules back into the ETI's FIBs and sub-channel bytes.
#include <gtest/gtest.h>

#include <map>

#include "signal_decode.h"
#include "support/rdi_unpack.h"
#include "support/test_support.h"

namespace {

using rdiunpack::lrev;

std::string tool(const std::string &name) { return testsupport::binary_dir() + "/tools/" + name; }

}  // namespace

TEST(ToolsCli, HelpAndBadInput) {
    for (const char *t : {"dabgen", "eti2rdi"}) {
        auto r = testsupport::run({tool(t), "--help"});
        EXPECT_EQ(r.status, 0) << t;
        EXPECT_NE(r.out.find("Usage:"), std::string::npos) << t;
        EXPECT_NE(testsupport::run({tool(t), "--bogus"}).status, 0) << t;
    }
    testsupport::temp_dir dir;
    testsupport::write_file(dir.file("bad.ensemble"), "[ensemble]\nlabel \"X\"\n\n[audio]\nbitrate fast\n");
    auto r = testsupport::run({tool("dabgen"), "-o", dir.file("x.eti"), dir.file("bad.ensemble")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bad.ensemble:5: \"fast\" is not a number"), std::string::npos) << r.err;

    testsupport::write_file(dir.file("junk.eti"), std::string(20000, 'x'));
    r = testsupport::run({tool("eti2rdi"), "-o", dir.path(), dir.file("junk.eti")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no ETI frame"), std::string::npos) << r.err;
    r = testsupport::run({tool("eti2rdi"), "-o", dir.path(), dir.file("missing.eti")});
    EXPECT_EQ(r.status, 1);
}

TEST(ToolsCli, DumpsUnpackToTheEtiContent) {
    testsupport::temp_dir dir;
    auto r = testsupport::run({tool("dabgen"), "-q", "-d", "4", "-o", dir.file("s.eti"),
                               testsupport::source_dir() + "/demo/12c.ensemble"});
    ASSERT_EQ(r.status, 0) << r.err;
    // small files, so that frames continue across dump files
    r = testsupport::run({tool("eti2rdi"), "-q", "-s", "1", "-o", dir.path(), dir.file("s.eti")});
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<std::vector<uint8_t>> fibs;
    std::map<int, std::vector<uint8_t>> streams;
    sigtest::for_each_frame(dir.file("s.eti"), [&](const dabcommon::eti_frame &f) {
        for (int i = 0; i < f.fib_count(); i++) fibs.emplace_back(f.fib(i), f.fib(i) + 30);
        for (int i = 0; i < f.nst; i++) {
            auto &s = streams[f.stc[static_cast<size_t>(i)].scid];
            s.insert(s.end(), f.stream_data(i), f.stream_data(i) + f.stc[static_cast<size_t>(i)].len);
        }
    });
    ASSERT_EQ(fibs.size(), 167u * 3u);  // 4 s

    std::vector<uint32_t> words;
    for (int n = 0;; n++) {
        std::string path = dir.file("rdi" + std::to_string(n) + ".dmp");
        if (!testsupport::file_exists(path)) {
            EXPECT_GE(n, 2) << "expected the stream split into several files";
            break;
        }
        std::string b = testsupport::read_file(path);
        ASSERT_EQ(b.size() % 4, 0u);
        for (size_t i = 0; i < b.size(); i += 4) {
            auto u = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(b[i + k])); };
            uint32_t w = u(0) | u(1) << 8 | u(2) << 16 | u(3) << 24;
            if (w) words.push_back(w);  // zero words are filler
        }
    }
    std::vector<std::vector<uint8_t>> got_fibs;
    std::map<int, std::vector<uint8_t>> got;
    std::map<int, size_t> frame_size = {{1, 384}, {2, 384}, {3, 288}, {4, 288}, {5, 96}, {6, 24}};
    for (size_t i = 0; i < words.size();) {
        uint32_t w = words[i++];
        ASSERT_EQ(w >> 24, 0u);
        int type = w & 0x0F;
        bool fic = w & 0x10;
        if (type == 1 && fic) {
            // 12 words of 20 bits: 30 bytes, then the status word
            ASSERT_LE(i + 13, words.size());
            std::vector<uint8_t> fib;
            for (int k = 0; k < 12; k += 2) {
                uint32_t a = words[i + k] >> 4, c = words[i + k + 1] >> 4;
                uint64_t v = static_cast<uint64_t>(a) << 20 | c;
                for (int s = 32; s >= 0; s -= 8) fib.push_back(static_cast<uint8_t>(v >> s));
            }
            EXPECT_EQ(words[i + 12] & 0x40, 0u);
            got_fibs.push_back(fib);
            i += 13;
        } else if (type == 13 && !fic) {
            int subch = static_cast<int>(lrev(w) >> 12 & 63);
            ASSERT_TRUE(frame_size.count(subch)) << subch;
            std::vector<uint8_t> &out = got[subch];
            size_t need = frame_size[subch], have = 0;
            while (have < need) {
                ASSERT_LE(i + 4, words.size());
                // 4 words of 22 bits: 11 bytes
                uint8_t g[11] = {};
                int bit = 0;
                for (int k = 0; k < 4; k++) {
                    ASSERT_NE(words[i + k] & 3, 0u) << "data word that ends the frame";
                    uint32_t v = words[i + k] >> 2 & 0x3FFFFF;
                    for (int s = 21; s >= 0; s--, bit++)
                        if (v >> s & 1) g[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
                }
                i += 4;
                size_t take = need - have < 11 ? need - have : 11;
                out.insert(out.end(), g, g + take);
                have += take;
            }
        } else {
            FAIL() << "unexpected word " << std::hex << w << " at " << std::dec << i - 1;
        }
    }
    EXPECT_TRUE(got_fibs == fibs);
    for (auto &s : streams) EXPECT_TRUE(got[s.first] == s.second) << "sub-channel " << s.first;
}
