// Channel coding of the transmitter: expectations written out from the equations and tables of
// clauses 10-12, not from the encoder.

#include "common/dab_coding.h"

#include <gtest/gtest.h>

#include <string>

using namespace dabcommon;

namespace {

std::vector<uint8_t> bits_of(const std::string &s) {
    std::vector<uint8_t> v;
    for (char c : s)
        if (c == '0' || c == '1') v.push_back(uint8_t(c - '0'));
    return v;
}

}  // namespace

// Clause 10: the PRBS starts 0000 0111 1011 1110 from the all-ones register.
TEST(EnergyDispersal, FirstSixteenBits) {
    uint8_t bytes[2] = {0, 0};
    energy_dispersal(bytes, 2);
    EXPECT_EQ(bytes[0], 0x07);
    EXPECT_EQ(bytes[1], 0xBE);

    std::vector<uint8_t> bits(16, 0);
    energy_dispersal_bits(bits.data(), bits.size());
    EXPECT_EQ(bits, bits_of("0000 0111 1011 1110"));

    // Applied twice, the data comes back (what the receiver relies on).
    uint8_t data[300];
    for (int i = 0; i < 300; ++i) data[i] = uint8_t(i * 7);
    energy_dispersal(data, 300);
    energy_dispersal(data, 300);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(data[i], uint8_t(i * 7)) << i;
}

// Clause 11.1.1: x0 = a(i) + a(i-2) + a(i-3) + a(i-5) + a(i-6), x1 = a(i) + a(i-1) + a(i-2) +
// a(i-3) + a(i-6), x2 = a(i) + a(i-1) + a(i-4) + a(i-6), x3 = x0, worked out by hand.
TEST(ConvEncode, HandComputedWords) {
    const struct {
        const char *in, *out;
    } cases[] = {
        // A single one: each generator's taps one after the other, then the tail.
        {"1", "1111 0110 1101 1101 0010 1001 1111"},
        // Two ones: the impulse response XOR itself one step later.
        {"11", "1111 1001 1011 0000 1111 1011 0110 1111"},
        {"0", "0000 0000 0000 0000 0000 0000 0000"},
    };
    for (const auto &c : cases) {
        const auto in = bits_of(c.in), want = bits_of(c.out);
        std::vector<uint8_t> out(4 * (in.size() + 6));
        conv_encode(in.data(), in.size(), out.data());
        EXPECT_EQ(out, want) << c.in;
    }
}

// Table 29 as printed (bit strings), against the packed constants.
TEST(Puncture, VectorsAsPrinted) {
    const char *table29[24] = {
        "1100 1000 1000 1000 1000 1000 1000 1000", "1100 1000 1000 1000 1100 1000 1000 1000",
        "1100 1000 1100 1000 1100 1000 1000 1000", "1100 1000 1100 1000 1100 1000 1100 1000",
        "1100 1100 1100 1000 1100 1000 1100 1000", "1100 1100 1100 1000 1100 1100 1100 1000",
        "1100 1100 1100 1100 1100 1100 1100 1000", "1100 1100 1100 1100 1100 1100 1100 1100",
        "1110 1100 1100 1100 1100 1100 1100 1100", "1110 1100 1100 1100 1110 1100 1100 1100",
        "1110 1100 1110 1100 1110 1100 1100 1100", "1110 1100 1110 1100 1110 1100 1110 1100",
        "1110 1110 1110 1100 1110 1100 1110 1100", "1110 1110 1110 1100 1110 1110 1110 1100",
        "1110 1110 1110 1110 1110 1110 1110 1100", "1110 1110 1110 1110 1110 1110 1110 1110",
        "1111 1110 1110 1110 1110 1110 1110 1110", "1111 1110 1110 1110 1111 1110 1110 1110",
        "1111 1110 1111 1110 1111 1110 1110 1110", "1111 1110 1111 1110 1111 1110 1111 1110",
        "1111 1111 1111 1110 1111 1110 1111 1110", "1111 1111 1111 1110 1111 1111 1111 1110",
        "1111 1111 1111 1111 1111 1111 1111 1110", "1111 1111 1111 1111 1111 1111 1111 1111",
    };
    for (int k = 0; k < 24; ++k) {
        const auto bits = bits_of(table29[k]);
        ASSERT_EQ(bits.size(), 32u);
        uint32_t v = 0;
        for (uint8_t b : bits) v = v << 1 | b;
        EXPECT_EQ(puncturing_vectors[k], v) << "PI_" << k + 1;
    }
    uint32_t x = 0;
    for (uint8_t b : bits_of("1100 1100 1100 1100 1100 1100")) x = x << 1 | b;
    EXPECT_EQ(puncturing_tail, x);
}

// Table 29: where a lone 1 of a 128-bit block lands after puncturing, -1 when it is dropped.
TEST(Puncture, VectorPositions) {
    const struct {
        int pi, mother_pos, out_pos;
    } cases[] = {
        {1, 0, 0},    {1, 1, 1},    {1, 2, -1},  {1, 4, 2},    {1, 31, -1},  // 1100 1000 1000 ...
        {1, 32, 9},   {8, 5, 3},    {8, 6, -1},  {16, 2, 2},   {16, 3, -1},  // 1100 1100 / 1110 1110
        {15, 30, -1}, {15, 29, 22}, {15, 32, 23}, {24, 127, 127}, {23, 31, -1},
        {12, 8, 5},   {12, 9, 6},   {12, 10, 7}, {12, 12, 8}, {12, 14, -1},  // 1110 1100 1110 1100
    };
    for (const auto &c : cases) {
        puncturing_profile p;
        p.runs[0] = {1, uint8_t(c.pi)};
        std::vector<uint8_t> mother(p.mother_bits(), 0), out(p.punctured_bits(), 1);
        ASSERT_EQ(out.size(), size_t(4 * (8 + c.pi) + 12));
        mother[c.mother_pos] = 1;
        puncture(p, mother.data(), out.data());
        for (int i = 0; i < int(out.size()); ++i)
            EXPECT_EQ(out[i], i == c.out_pos ? 1 : 0) << "PI_" << c.pi << " bit " << c.mother_pos << " out " << i;
    }
    // PI_X = 1100 1100 ... over the 24 tail bits.
    puncturing_profile p;
    p.runs[0] = {1, 24};
    std::vector<uint8_t> mother(p.mother_bits(), 0), out(p.punctured_bits());
    for (int i = 128; i < 152; ++i) mother[i] = uint8_t(i & 1 ? 1 : 0);
    puncture(p, mother.data(), out.data());
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 128, out.end()), bits_of("0101 0101 0101"));
}

// Clause 6.2.1 and 11.3: sizes by protection; frame bytes are bit rate x 3 (24 ms).
TEST(SubchannelProfile, SizesAndRejections) {
    const struct {
        int line;
        subchannel_params p;
        bool ok;
        int frame_bytes;
    } cases[] = {
        {__LINE__, {0, 0, 16, false, 0, 0, 0}, true, 96},       // UEP 32 kbit/s level 5
        {__LINE__, {0, 0, 35, false, 0, 0, 4}, true, 96},       // level 1, 4 padding bits
        {__LINE__, {0, 800, 64, false, 0, 0, 33}, true, 384},   // 128 kbit/s level 5, up to CU 863
        {__LINE__, {0, 448, 416, false, 0, 0, 63}, true, 1152}, // 384 kbit/s level 1
        {__LINE__, {0, 0, 17, false, 0, 0, 0}, false, 0},       // size not the table's
        {__LINE__, {0, 0, 16, false, 0, 0, 64}, false, 0},      // no such index
        {__LINE__, {0, 0, 16, false, 0, 0, -1}, false, 0},
        {__LINE__, {0, 801, 64, false, 0, 0, 33}, false, 0},    // past CU 863
        {__LINE__, {0, -1, 16, false, 0, 0, 0}, false, 0},
        {__LINE__, {0, 0, 12, true, 0, 0, 0}, true, 24},        // 1-A, 8 kbit/s
        {__LINE__, {0, 0, 8, true, 0, 1, 0}, true, 24},         // 2-A, 8 kbit/s: fixed L1/L2
        {__LINE__, {0, 0, 16, true, 0, 1, 0}, true, 48},        // 2-A, 16 kbit/s
        {__LINE__, {0, 0, 48, true, 0, 2, 0}, true, 192},       // 3-A, 64 kbit/s
        {__LINE__, {0, 0, 4, true, 0, 3, 0}, true, 24},         // 4-A, 8 kbit/s
        {__LINE__, {0, 0, 27, true, 1, 0, 0}, true, 96},        // 1-B, 32 kbit/s
        {__LINE__, {0, 0, 84, true, 1, 1, 0}, true, 384},       // 2-B, 128 kbit/s
        {__LINE__, {0, 0, 15, true, 1, 3, 0}, true, 96},        // 4-B
        {__LINE__, {0, 0, 50, true, 0, 2, 0}, false, 0},        // not 6 x n
        {__LINE__, {0, 0, 0, true, 0, 2, 0}, false, 0},
        {__LINE__, {0, 0, 12, true, 2, 0, 0}, false, 0},        // no option 2
        {__LINE__, {0, 0, 12, true, 0, 4, 0}, false, 0},        // no level 5 in EEP
        {__LINE__, {0, 0, 12, true, 0, -1, 0}, false, 0},
    };
    for (const auto &c : cases) {
        puncturing_profile profile;
        int bytes = -1;
        EXPECT_EQ(subchannel_profile(c.p, profile, bytes), c.ok) << "line " << c.line;
        if (!c.ok) continue;
        EXPECT_EQ(bytes, c.frame_bytes) << "line " << c.line;
        EXPECT_EQ(profile.punctured_bits(), c.p.size_cu * 64) << "line " << c.line;
        std::vector<uint8_t> data(size_t(c.frame_bytes), 0x5A), bits;
        ASSERT_TRUE(subchannel_encode(c.p, data.data(), data.size(), bits)) << "line " << c.line;
        EXPECT_EQ(bits.size(), size_t(c.p.size_cu * 64)) << "line " << c.line;
        EXPECT_FALSE(subchannel_encode(c.p, data.data(), data.size() - 1, bits)) << "line " << c.line;
    }
}

// Clause 11.2: 3 FIBs make 2304 bits; an all-zero FIB group after energy dispersal is the
// PRBS through the code, so it is not all zeros (the dispersal is applied).
TEST(FicEncode, SizeAndDispersal) {
    uint8_t fibs[3][32] = {};
    const auto bits = fic_encode_cif(fibs);
    ASSERT_EQ(bits.size(), 2304u);
    // First info bits are the PRBS 0000 0111...: the first four steps give all-zero symbols,
    // the fifth too, the sixth input bit is 1 and, kept by PI_16 (1110), gives 1 1 1.
    EXPECT_EQ(std::vector<uint8_t>(bits.begin(), bits.begin() + 18), bits_of("000 000 000 000 000 111"));
}

// Clause 12: bit i leaves d(i mod 16) frames later, d = 0 8 4 12 2 10 6 14 1 9 5 13 3 11 7 15.
TEST(TimeInterleaver, DelaysByBitPosition) {
    const int delay[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    const size_t n = 64;
    time_interleaver ti(n);
    std::vector<uint8_t> in(n), out(n);
    for (int r = 0; r < 20; ++r) {
        // Only frame 0 has ones; frame 3 carries twos, to see nothing of it mixed in early.
        std::fill(in.begin(), in.end(), r == 0 ? 1 : r == 3 ? 2 : 0);
        ti.push(in.data(), out.data());
        for (size_t i = 0; i < n; ++i) {
            const int d = delay[i % 16];
            const int want = r == d ? 1 : r == 3 + d ? 2 : 0;
            ASSERT_EQ(out[i], want) << "frame " << r << " bit " << i;
        }
    }
}
