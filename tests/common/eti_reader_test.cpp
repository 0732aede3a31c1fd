#include "common/eti_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "support/eti_maker.h"
#include "support/test_support.h"

using namespace dabcommon;

TEST(EtiReader, ParsesTheFrameHeaderAndStreams) {
    auto bytes = etimaker::stream(1, {{5, 10, 12}, {9, 200, 3}}, true, 7);
    eti_frame f;
    int size = parse_eti_frame(bytes.data(), bytes.size(), f);
    ASSERT_EQ(size, 8 + 4 * f.fl + 8);
    EXPECT_EQ(f.err, 0xFF);
    EXPECT_EQ(f.fsync, ETI_FSYNC1);
    EXPECT_EQ(f.fct, 7);
    EXPECT_EQ(f.ficf, 1);
    EXPECT_EQ(f.nst, 2);
    EXPECT_EQ(f.mid, 1);
    EXPECT_EQ(f.fp, 7);
    EXPECT_EQ(f.fl, 2 + 1 + 24 + 24 + 6);
    EXPECT_EQ(f.mnsc, 0x1234);
    EXPECT_TRUE(f.header_crc_ok);
    EXPECT_TRUE(f.mst_crc_ok);
    EXPECT_EQ(f.fib_count(), 3);
    for (int i = 0; i < 3; i++) EXPECT_TRUE(f.fib_crc_ok(i));
    EXPECT_EQ(f.stc[0].scid, 5);
    EXPECT_EQ(f.stc[0].sad, 10);
    EXPECT_EQ(f.stc[0].tpl, 0x22);
    EXPECT_EQ(f.stc[0].len, 96u);
    EXPECT_EQ(f.stc[1].scid, 9);
    EXPECT_EQ(f.stc[1].sad, 200);
    EXPECT_EQ(f.find_stream(9), 1);
    EXPECT_EQ(f.find_stream(10), -1);
    EXPECT_EQ(std::vector<uint8_t>(f.stream_data(1), f.stream_data(1) + 24), etimaker::pattern(9, 7, 24));
    EXPECT_EQ(f.tist, 0xFFFFFFFFu);
}

TEST(EtiReader, CrcErrorsAreReportedNotFatal) {
    auto bytes = etimaker::stream(1, {{1, 0, 6}});
    bytes[12] ^= 0x01;   // MNSC: header CRC
    bytes[130] ^= 0x80;  // sub-channel data: MST CRC
    eti_frame f;
    ASSERT_GT(parse_eti_frame(bytes.data(), bytes.size(), f), 0);
    EXPECT_FALSE(f.header_crc_ok);
    EXPECT_FALSE(f.mst_crc_ok);
}

TEST(EtiReader, RejectsOrWaitsOnBrokenHeaders) {
    auto bytes = etimaker::stream(1, {{1, 0, 6}});
    eti_frame f;
    // Incomplete: every prefix asks for more, none reads past what it was given.
    for (size_t n : {0, 3, 7, 11, 100, 167}) {
        std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<long>(n));
        EXPECT_EQ(parse_eti_frame(prefix.data(), n, f), 0) << n;
    }
    auto bad = bytes;
    bad[1] = 0x00;  // no FSYNC
    EXPECT_EQ(parse_eti_frame(bad.data(), bad.size(), f), -1);
    bad = bytes;
    bad[7] ^= 0x01;  // FL no longer the sum of the parts
    EXPECT_EQ(parse_eti_frame(bad.data(), bad.size(), f), -1);
    bad = bytes;
    bad[5] = 0x80 | 100;  // NST beyond 64
    EXPECT_EQ(parse_eti_frame(bad.data(), bad.size(), f), -1);
    bad = bytes;
    bad[6] = static_cast<uint8_t>(bad[6] | 0x07);  // FL beyond the 6144-byte frame
    bad[7] = 0xFF;
    EXPECT_EQ(parse_eti_frame(bad.data(), bad.size(), f), -1);
}

TEST(EtiReader, ResynchronisesOverGarbageAndUnpaddedFrames) {
    testsupport::temp_dir dir;
    std::vector<uint8_t> file = {0x12, 0x07, 0x3A, 0xB6, 0x99, 0x00, 0x01};  // garbage with a false sync
    auto a = etimaker::stream(2, {{2, 0, 12}}, true, 0);
    auto b = etimaker::stream(2, {{2, 0, 12}}, false, 2);  // streamed: no padding
    file.insert(file.end(), a.begin(), a.end());
    file.insert(file.end(), {0x01, 0x02, 0x03});
    file.insert(file.end(), b.begin(), b.end());
    auto c = etimaker::stream(1, {{2, 0, 12}}, true, 4);
    file.insert(file.end(), c.begin(), c.begin() + 150);  // truncated last frame
    etimaker::write(dir.file("x.eti"), file);

    eti_reader r;
    ASSERT_EQ(r.open(dir.file("x.eti").c_str()), 1);
    eti_frame f;
    for (int k = 0; k < 4; k++) {
        ASSERT_EQ(r.next(f), 1) << k;
        EXPECT_EQ(f.fct, k);
        EXPECT_EQ(std::vector<uint8_t>(f.stream_data(0), f.stream_data(0) + 96), etimaker::pattern(2, k, 96));
    }
    EXPECT_EQ(r.next(f), 0);
    EXPECT_EQ(r.skipped_bytes(), 7u + 3u + 150u);
    ASSERT_EQ(r.rewind(), 1);
    ASSERT_EQ(r.next(f), 1);
    EXPECT_EQ(f.fct, 0);
}

TEST(EtiReader, RandomBytesGiveNoFrames) {
    std::mt19937 rng(1);
    std::vector<uint8_t> junk(200000);
    for (auto &x : junk) x = static_cast<uint8_t>(rng());
    // Plant sync words so that header parsing is exercised.
    for (size_t i = 0; i + 4 < junk.size(); i += 997) {
        junk[i + 1] = 0xF8;
        junk[i + 2] = 0xC5;
        junk[i + 3] = 0x49;
    }
    eti_frame f;
    int frames = 0;
    for (size_t i = 0; i < junk.size(); i++) {
        int r = parse_eti_frame(junk.data() + i, junk.size() - i, f);
        if (r > 0) frames++;
    }
    EXPECT_LE(frames, 2);
}

TEST(EtiReader, FifoWithoutWriterTimesOutThenEndsWithTheWriter) {
    testsupport::temp_dir dir;
    std::string path = dir.file("live");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    eti_reader r;
    ASSERT_EQ(r.open(path.c_str()), 1);  // must not wait for a writer
    eti_frame f;
    EXPECT_EQ(r.next(f, 50), -2);
    int w = open(path.c_str(), O_WRONLY);
    ASSERT_GE(w, 0);
    auto bytes = etimaker::stream(1, {{1, 0, 6}});
    ASSERT_EQ(write(w, bytes.data(), 100), 100);
    EXPECT_EQ(r.next(f, 50), -2);  // half a frame: keep it, wait for the rest
    ASSERT_EQ(write(w, bytes.data() + 100, bytes.size() - 100), static_cast<ssize_t>(bytes.size() - 100));
    EXPECT_EQ(r.next(f, 1000), 1);
    close(w);
    EXPECT_EQ(r.next(f, 1000), 0);
}
