// The FIC of a transmission frame through the transmitter's encoder and back: FIBs, CRCs and
// the channel bit error count the server shows.

#include "sdr/fic_decoder.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/crc16.h"
#include "common/dab_coding.h"

namespace {

using fib_t = std::array<uint8_t, 32>;

// FIB f of the frame: a FIG 0/0 (ensemble 0x4FFE, CIF count f) then end marker and padding,
// CRC over the 30 data bytes.
fib_t make_fib(int f) {
    fib_t fib;
    fib.fill(0xFF);
    const uint8_t fig00[] = {0x05, 0x00, 0x4F, 0xFE, 0x00, uint8_t(f)};
    std::memcpy(fib.data(), fig00, sizeof fig00);
    fib[6] = 0xFF;
    const uint16_t crc = dabcommon::crc16(fib.data(), 30);
    fib[30] = uint8_t(crc >> 8);
    fib[31] = uint8_t(crc);
    return fib;
}

std::vector<int8_t> encode_frame(const std::array<fib_t, 12> &fibs, int8_t level) {
    std::vector<int8_t> soft;
    for (int c = 0; c < 4; ++c) {
        uint8_t group[3][32];
        for (int f = 0; f < 3; ++f) std::memcpy(group[f], fibs[3 * c + f].data(), 32);
        for (uint8_t b : dabcommon::fic_encode_cif(group)) soft.push_back(b ? level : int8_t(-level));
    }
    return soft;
}

std::array<fib_t, 12> frame_fibs() {
    std::array<fib_t, 12> fibs;
    for (int f = 0; f < 12; ++f) fibs[f] = make_fib(f);
    return fibs;
}

}  // namespace

TEST(FicDecoder, CleanFrame) {
    const auto fibs = frame_fibs();
    const auto soft = encode_frame(fibs, 90);
    ASSERT_EQ(soft.size(), 9216u);
    fic_decoder dec;
    fic_result r;
    dec.decode(soft.data(), r);
    for (int f = 0; f < 12; ++f) {
        EXPECT_EQ(r.fibs[f], fibs[f]) << "FIB " << f;
        EXPECT_TRUE(r.crc_ok[f]) << "FIB " << f;
    }
    EXPECT_EQ(r.bit_errors, 0);
    EXPECT_EQ(r.bits, 9216);
}

// Flipped bits are corrected and counted exactly (the re-encoded word is the sent one);
// erased bits are corrected and not counted.
TEST(FicDecoder, FlipsCountedErasuresNot) {
    const auto fibs = frame_fibs();
    const auto sent = encode_frame(fibs, 90);
    auto soft = sent;
    for (size_t i = 5; i < soft.size(); i += 61) soft[i] = int8_t(-soft[i] / 2);
    for (size_t i = 30; i < soft.size(); i += 97) soft[i] = 0;
    int flipped = 0, erased = 0;
    for (size_t i = 0; i < soft.size(); ++i) {
        erased += soft[i] == 0;
        flipped += soft[i] != 0 && (soft[i] > 0) != (sent[i] > 0);
    }
    ASSERT_GT(flipped, 140);
    fic_decoder dec;
    fic_result r;
    dec.decode(soft.data(), r);
    for (int f = 0; f < 12; ++f) {
        EXPECT_EQ(r.fibs[f], fibs[f]) << "FIB " << f;
        EXPECT_TRUE(r.crc_ok[f]) << "FIB " << f;
    }
    EXPECT_EQ(r.bit_errors, flipped);
    EXPECT_EQ(r.bits, 9216 - erased);
}

// A FIB sent with a broken CRC is reported bad, its neighbours good; a frame of noise-free
// garbage (all bits "1") decodes to FIBs whose CRCs fail and to a high error count.
TEST(FicDecoder, BadCrcAndGarbage) {
    auto fibs = frame_fibs();
    fibs[7][12] ^= 0x10;
    fic_decoder dec;
    fic_result r;
    dec.decode(encode_frame(fibs, 90).data(), r);
    for (int f = 0; f < 12; ++f) EXPECT_EQ(r.crc_ok[f], f != 7) << "FIB " << f;
    EXPECT_EQ(r.fibs[7], fibs[7]);

    std::vector<int8_t> ones(9216, 127);
    dec.decode(ones.data(), r);
    int good = 0;
    for (int f = 0; f < 12; ++f) good += r.crc_ok[f];
    EXPECT_EQ(good, 0);
    EXPECT_GT(r.bit_errors, 9216 / 8);
    EXPECT_EQ(r.bits, 9216);
}
