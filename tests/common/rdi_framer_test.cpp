#include "common/rdi_framer.h"

#include <gtest/gtest.h>

#include <bitset>
#include <random>

#include "common/eti_reader.h"
#include "support/eti_maker.h"
#include "support/rdi_unpack.h"

using namespace dabcommon;

namespace {

eti_frame parse(const std::vector<uint8_t> &bytes) {
    eti_frame f;
    EXPECT_GT(parse_eti_frame(bytes.data(), bytes.size(), f), 0);
    return f;
}

std::function<size_t(int)> sizes_of(const eti_frame &f) {
    return [&f](int subchid) {
        int i = f.find_stream(subchid);
        return i < 0 ? size_t{0} : f.stc[static_cast<size_t>(i)].len;
    };
}

}  // namespace

TEST(RdiFramer, HeaderFieldsReadBackWithTheReadersRules) {
    EXPECT_EQ(rdi_lrev(0x000001), 0x800000u);
    EXPECT_EQ(rdi_lrev(0x800000), 0x000001u);
    for (int packing : {20, 22}) {
        uint32_t w = rdi_msc_header(37, 1000, packing);
        EXPECT_EQ(w & 0xFF000000u, 0u);
        EXPECT_EQ(static_cast<int>(w & 0xF), packing == 20 ? 1 : 13);
        EXPECT_EQ(w & 0x10, 0u) << "an MSC header must not carry the FIC flag";
        EXPECT_EQ((rdi_lrev(w) >> 12) & 63, 37u);
        EXPECT_EQ(rdi_lrev(w) & 0x7FF, 1000u);
    }
    // A length beyond 11 bits must not spill into the sub-channel field.
    uint32_t big = rdi_msc_header(1, 5000, 22);
    EXPECT_EQ((rdi_lrev(big) >> 12) & 63, 1u);
    EXPECT_EQ(rdi_lrev(big) & 0x7FF, 0x7FFu);
    uint32_t fic = rdi_fic_header(2, 1);
    EXPECT_EQ(fic & 0x1F, 0x11u);
    EXPECT_EQ((rdi_lrev(fic) >> 10) & 15, 2u);
    EXPECT_EQ((rdi_lrev(fic) >> 14) & 7, 1u);
}

TEST(RdiFramer, RoundTripGivesFibsAndSubchannelBytesBack) {
    // 336 bytes (EEP 3-A 112 kbit/s) and 56 bytes: neither a multiple of 5 nor of 11.
    auto bytes = etimaker::stream(3, {{3, 0, 42}, {17, 84, 7}});
    for (int packing : {20, 22}) {
        for (std::bitset<64> routed : {std::bitset<64>(), std::bitset<64>().set(17), std::bitset<64>().set(3).set(17)}) {
            rdi_framer framer(packing);
            std::vector<uint32_t> words;
            std::vector<eti_frame> frames;
            for (size_t off = 0; off < bytes.size(); off += ETI_FRAME_SIZE) {
                frames.push_back(parse({bytes.begin() + static_cast<long>(off),
                                        bytes.begin() + static_cast<long>(off + ETI_FRAME_SIZE)}));
                framer.frame(frames.back(), routed, words);
            }
            auto r = rdiunpack::unpack(words, sizes_of(frames[0]));
            SCOPED_TRACE("packing " + std::to_string(packing) + " routed " + routed.to_string().substr(40));
            EXPECT_TRUE(r.faults.empty()) << r.faults.front();
            ASSERT_EQ(r.fic.size(), 9u);
            size_t per_frame = routed.count();
            ASSERT_EQ(r.msc.size(), 3 * per_frame);
            for (size_t k = 0; k < frames.size(); k++) {
                for (int b = 0; b < 3; b++) {
                    const auto &got = r.fic[k * 3 + static_cast<size_t>(b)];
                    EXPECT_EQ(got.data, std::vector<uint8_t>(frames[k].fib(b), frames[k].fib(b) + 30));
                    EXPECT_FALSE(got.crc_error);
                }
                size_t m = k * per_frame;
                for (int i = 0; i < frames[k].nst; i++) {
                    const eti_stream &s = frames[k].stc[static_cast<size_t>(i)];
                    if (!routed.test(static_cast<size_t>(s.scid))) continue;
                    const auto &got = r.msc[m++];
                    EXPECT_EQ(got.subchid, s.scid);
                    EXPECT_EQ(got.len, static_cast<int>(s.len));
                    EXPECT_EQ(got.bits22, packing == 22);
                    EXPECT_EQ(got.data, etimaker::pattern(s.scid, static_cast<int>(k), s.len));
                }
            }
        }
    }
}

TEST(RdiFramer, WrongFibCrcSetsTheStatusBitOfThatFibOnly) {
    std::vector<uint8_t> fic;
    for (int b = 0; b < 3; b++) {
        auto x = etimaker::fib({0x05, 0x00, 0xE1, 0x23, 0x00, static_cast<uint8_t>(b)}, b == 1);
        fic.insert(fic.end(), x.begin(), x.end());
    }
    auto f = parse(etimaker::frame(0, fic, {}));
    EXPECT_TRUE(f.fib_crc_ok(0));
    EXPECT_FALSE(f.fib_crc_ok(1));
    std::vector<uint32_t> words;
    rdi_framer(22).frame(f, {}, words);
    auto r = rdiunpack::unpack(words, [](int) { return size_t{0}; });
    ASSERT_EQ(r.fic.size(), 3u);
    EXPECT_FALSE(r.fic[0].crc_error);
    EXPECT_TRUE(r.fic[1].crc_error);
    EXPECT_FALSE(r.fic[2].crc_error);
    EXPECT_EQ(r.fic[1].data, std::vector<uint8_t>(fic.begin() + 32, fic.begin() + 62));
}

TEST(RdiFramer, NoDataWordIsMistakenForAHeaderOrAFrameEnd) {
    // Every byte value in every position of a group, in both packings.
    std::vector<uint8_t> data;
    for (int v = 0; v < 256; v++)
        for (int pos = 0; pos < 11; pos++) {
            std::vector<uint8_t> g(11, static_cast<uint8_t>(~v));
            g[static_cast<size_t>(pos)] = static_cast<uint8_t>(v);
            data.insert(data.end(), g.begin(), g.end());
        }
    data.resize(data.size() + 8, 0);  // all-zero bytes must not make zero (filler) words either
    for (int packing : {20, 22}) {
        std::vector<uint32_t> words;
        rdi_pack(data.data(), data.size(), packing, words);
        EXPECT_EQ(words.size(), rdi_packed_words(data.size(), packing));
        for (uint32_t w : words) {
            ASSERT_NE(w, 0u);
            ASSERT_EQ(w & 0xFF000000u, 0u);
            ASSERT_NE(w & 0xF, 1u);
            ASSERT_NE(w & 0xF, 13u);
            ASSERT_NE(w & 3, 0u);
        }
    }
}

TEST(RdiFramer, FillerMakes64KiBCarry160Milliseconds) {
    auto bytes = etimaker::stream(20, {{1, 0, 24}});
    rdi_framer framer(22, true);
    std::vector<uint32_t> words;
    std::vector<eti_frame> frames;
    for (size_t off = 0; off < bytes.size(); off += ETI_FRAME_SIZE) {
        frames.push_back(
            parse({bytes.begin() + static_cast<long>(off), bytes.begin() + static_cast<long>(off + ETI_FRAME_SIZE)}));
        framer.frame(frames.back(), std::bitset<64>().set(1), words);
    }
    // 20 frames = 480 ms = three 64 KiB blocks.
    EXPECT_EQ(words.size(), 3u * 16384u);
    auto r = rdiunpack::unpack(words, sizes_of(frames[0]));
    EXPECT_TRUE(r.faults.empty());
    EXPECT_EQ(r.fic.size(), 60u);
    ASSERT_EQ(r.msc.size(), 20u);
    EXPECT_EQ(r.msc[19].data, etimaker::pattern(1, 19, 192));
}

TEST(RdiFramer, ModeThreeFicGivesFourFicFrames) {
    std::vector<uint8_t> fic;
    for (int b = 0; b < 4; b++) {
        auto x = etimaker::fib({static_cast<uint8_t>(b)});
        fic.insert(fic.end(), x.begin(), x.end());
    }
    auto bytes = etimaker::frame(0, fic, {});
    bytes[6] = static_cast<uint8_t>((bytes[6] & ~0x18) | 3 << 3);  // MID = 3
    eti_frame f;
    // The header CRC no longer matches; the frame is still usable.
    ASSERT_GT(parse_eti_frame(bytes.data(), bytes.size(), f), 0);
    EXPECT_FALSE(f.header_crc_ok);
    EXPECT_EQ(f.fib_count(), 4);
    std::vector<uint32_t> words;
    rdi_framer(20).frame(f, {}, words);
    EXPECT_EQ(rdiunpack::unpack(words, [](int) { return size_t{0}; }).fic.size(), 4u);
}
