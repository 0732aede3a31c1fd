// Sub-channels through the transmitter's encoder and time interleaver, placed in full CIFs among
// other traffic, and back through the receiver's decoder.

#include "sdr/msc_decoder.h"

#include <gtest/gtest.h>

#include <random>

using namespace dabcommon;

namespace {

constexpr int cif_bits = 55296;

std::vector<uint8_t> frame_data(int r, int bytes) {
    std::vector<uint8_t> d(static_cast<size_t>(bytes));
    std::mt19937 rng(uint32_t(1000 + r));
    for (auto &b : d) b = uint8_t(rng());
    return d;
}

// Runs 24 logical frames through; every frame the decoder gives back must be the one sent 15
// CIFs before, none before the 16th CIF. flip_every > 0 turns every flip_every-th transmitted
// bit of the sub-channel confidently wrong (a multiple of 16, so that the errors stay spread
// out in the deinterleaved word); erase_cif >= 0 loses the sub-channel in that CIF entirely,
// which the time interleaving spreads as every 16th bit over 16 code words.
void round_trip(const subchannel_params &p, int want_bytes, int flip_every, int erase_cif) {
    msc_subchannel_decoder dec(p);
    ASSERT_TRUE(dec.valid());
    ASSERT_EQ(dec.frame_bytes(), want_bytes);
    time_interleaver ti(size_t(p.size_cu) * 64);
    std::mt19937 rng(77);
    std::vector<uint8_t> bits, interleaved(ti.bits()), out;
    std::vector<int8_t> cif(cif_bits);
    int8_t *sub = cif.data() + size_t(p.start_cu) * 64;
    int decoded = 0;
    for (int r = 0; r < 24; ++r) {
        const auto data = frame_data(r, want_bytes);
        ASSERT_TRUE(subchannel_encode(p, data.data(), data.size(), bits));
        ti.push(bits.data(), interleaved.data());
        // Other sub-channels' bits around ours.
        for (auto &s : cif) s = int8_t(int(rng() % 255) - 127);
        for (size_t i = 0; i < interleaved.size(); ++i) sub[i] = interleaved[i] ? 70 : -70;
        if (flip_every)
            for (size_t i = 0; i < interleaved.size(); i += size_t(flip_every)) sub[i] = int8_t(-sub[i]);
        if (r == erase_cif) std::fill(sub, sub + interleaved.size(), int8_t(0));
        const bool got = dec.feed_cif(cif.data(), out);
        ASSERT_EQ(got, r >= 15) << "CIF " << r;
        if (!got) continue;
        ASSERT_EQ(out, frame_data(r - 15, want_bytes)) << "logical frame " << r - 15;
        ++decoded;
    }
    EXPECT_EQ(decoded, 9);
}

}  // namespace

TEST(MscDecoder, Profiles) {
    const struct {
        int line;
        subchannel_params p;
        int bytes, flip_every, erase_cif;
    } cases[] = {
        {__LINE__, {1, 100, 42, false, 0, 0, 8}, 144, 0, -1},   // UEP 48 kbit/s level 2
        {__LINE__, {1, 100, 42, false, 0, 0, 8}, 144, 32, -1},  // same, with errors
        {__LINE__, {1, 100, 42, false, 0, 0, 8}, 144, 0, 18},   // same, a CIF lost
        {__LINE__, {2, 812, 52, false, 0, 0, 13}, 168, 0, -1},  // UEP 56 kbit/s level 2: padding, last CUs
        {__LINE__, {3, 0, 48, true, 0, 2, 0}, 192, 0, -1},      // EEP 3-A 64 kbit/s
        {__LINE__, {3, 0, 48, true, 0, 2, 0}, 192, 32, -1},
        {__LINE__, {3, 0, 48, true, 0, 2, 0}, 192, 0, 20},
        {__LINE__, {4, 500, 8, true, 0, 1, 0}, 24, 32, -1},     // EEP 2-A 8 kbit/s, the special case
        {__LINE__, {5, 300, 84, true, 1, 1, 0}, 384, 0, -1},    // EEP 2-B 128 kbit/s
        {__LINE__, {5, 300, 84, true, 1, 1, 0}, 384, 64, -1},   // rate 4/7: fewer errors
        {__LINE__, {5, 300, 84, true, 1, 1, 0}, 384, 0, 16},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        round_trip(c.p, c.bytes, c.flip_every, c.erase_cif);
    }
}

TEST(MscDecoder, IncoherentParametersDecodeNothing) {
    const subchannel_params bad[] = {
        {0, 850, 16, false, 0, 0, 0},  // past the last CU
        {0, 0, 20, false, 0, 0, 0},    // not the table's size
        {0, 0, 16, false, 0, 0, 70},   // no such table index
        {0, 0, 7, true, 0, 0, 0},      // not a multiple of 12
        {0, 0, 12, true, 3, 0, 0},     // unknown option
    };
    std::vector<int8_t> cif(cif_bits, 50);
    for (const auto &p : bad) {
        msc_subchannel_decoder dec(p);
        EXPECT_FALSE(dec.valid());
        EXPECT_EQ(dec.frame_bytes(), 0);
        std::vector<uint8_t> out;
        for (int i = 0; i < 17; ++i) EXPECT_FALSE(dec.feed_cif(cif.data(), out));
        EXPECT_TRUE(out.empty());
    }
}
