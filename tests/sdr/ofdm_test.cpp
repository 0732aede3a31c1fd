// Mode I tables: frequency interleaving, phase reference symbol, QPSK mapping.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "common/ofdm.h"

using namespace dabcommon;

namespace {

// A(i) = 13 A(i-1) + 511 mod 2048 by hand: 0, 511, 1010, 1353, 1716, 291, 198 (dropped, < 256),
// 1037, 1704, 135 (dropped), 218 (dropped), 1297, 988, 1067; minus 1024.
TEST(FrequencyInterleaving, FirstCarriersFromTheRecurrence) {
    const int want[] = {-513, -14, 329, 692, -733, 13, 680, 273, -36, 43};
    for (int n = 0; n < 10; n++) EXPECT_EQ(frequency_interleaving[n], want[n]) << "n=" << n;
}

TEST(FrequencyInterleaving, UsesEveryCarrierOnce) {
    std::set<int> seen(frequency_interleaving.begin(), frequency_interleaving.end());
    EXPECT_EQ(seen.size(), 1536u);
    EXPECT_EQ(*seen.begin(), -768);
    EXPECT_EQ(*seen.rbegin(), 768);
    EXPECT_EQ(seen.count(0), 0u);
}

// phi = pi/2 (h(i, k - k') + n), i and n from the run of 32 carriers holding k.
TEST(PhaseReference, QuarterTurnsByHand) {
    const struct { int line, k, quarters; } cases[] = {
        {__LINE__, -768, 1},  // run -768 (i 0, n 1), h(0,0) = 0
        {__LINE__, -767, 3},  // h(0,1) = 2
        {__LINE__, -100, 3},  // run -128 (i 0, n 1), h(0,28) = 2
        {__LINE__, -32, 2},   // run -32 (i 3, n 2), h(3,0) = 0
        {__LINE__, -1, 0},    // h(3,31) = 2, 2 + 2 = 4
        {__LINE__, 1, 3},     // run 1 (i 0, n 3), h(0,0) = 0
        {__LINE__, 2, 1},     // h(0,1) = 2, 2 + 3 = 5
        {__LINE__, 33, 1},    // run 33 (i 3, n 1), h(3,0) = 0
        {__LINE__, 38, 0},    // h(3,5) = 3, 3 + 1 = 4
        {__LINE__, 640, 0},   // run 609 (i 1, n 0), h(1,31) = 0
        {__LINE__, 768, 1},   // run 737 (i 1, n 1), h(1,31) = 0
    };
    const std::complex<float> turns[4] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    for (const auto &c : cases) {
        EXPECT_EQ(prs_quarter_turns(c.k), c.quarters) << "line " << c.line;
        std::complex<float> v = prs_carriers()[carrier_index(c.k)];
        EXPECT_NEAR(v.real(), turns[c.quarters].real(), 1e-6) << "line " << c.line;
        EXPECT_NEAR(v.imag(), turns[c.quarters].imag(), 1e-6) << "line " << c.line;
    }
}

// Bit n drives the real part and bit n + 1536 the imaginary part of carrier F(n); 1 is negative.
TEST(MapSymbol, BitsLandOnInterleavedCarriers) {
    const struct { int line, bit, k; bool imag; } cases[] = {
        {__LINE__, 0, -513, false},
        {__LINE__, 1536, -513, true},
        {__LINE__, 9, 43, false},
        {__LINE__, 1536 + 4, -733, true},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> bits(OFDM_BITS, 0);
        bits[c.bit] = 1;
        std::vector<std::complex<float>> y(OFDM_CARRIERS);
        map_symbol(bits.data(), y.data());
        for (int i = 0; i < OFDM_CARRIERS; i++) {
            bool hit = carrier_of_index(i) == c.k;
            float re = hit && !c.imag ? -0.70710678f : 0.70710678f;
            float im = hit && c.imag ? -0.70710678f : 0.70710678f;
            ASSERT_NEAR(y[i].real(), re, 1e-6) << "line " << c.line << " k " << carrier_of_index(i);
            ASSERT_NEAR(y[i].imag(), im, 1e-6) << "line " << c.line << " k " << carrier_of_index(i);
        }
    }
}

}  // namespace
