// Viterbi decoding of the mother code through every puncturing vector: the code words come from
// the transmitter's encoder, whose output the common tests check against hand-worked words.

#include "sdr/viterbi.h"

#include <gtest/gtest.h>

#include <random>

using namespace dabcommon;

namespace {

struct coded {
    puncturing_profile profile;
    std::vector<uint8_t> info, sent;
};

// 32 blocks (1024 info bits) of one vector, then the tail.
coded encode(int pi, uint32_t seed) {
    coded c;
    c.profile.runs[0] = {32, uint8_t(pi)};
    std::mt19937 rng(seed);
    c.info.resize(c.profile.info_bits());
    for (auto &b : c.info) b = uint8_t(rng() & 1);
    std::vector<uint8_t> mother(c.profile.mother_bits());
    conv_encode(c.info.data(), c.info.size(), mother.data());
    c.sent.resize(c.profile.punctured_bits());
    puncture(c.profile, mother.data(), c.sent.data());
    return c;
}

std::vector<uint8_t> decode(const coded &c, const std::vector<int8_t> &soft) {
    std::vector<int8_t> mother(c.profile.mother_bits());
    depuncture(c.profile, soft.data(), mother.data());
    std::vector<uint8_t> out(c.info.size());
    viterbi_decoder v;
    EXPECT_TRUE(v.decode(mother.data(), out.size(), out.data()));
    return out;
}

std::vector<int8_t> to_soft(const std::vector<uint8_t> &bits, int8_t level) {
    std::vector<int8_t> s(bits.size());
    for (size_t i = 0; i < bits.size(); ++i) s[i] = bits[i] ? level : int8_t(-level);
    return s;
}

}  // namespace

TEST(Viterbi, EveryVectorNoiseless) {
    for (int pi = 1; pi <= 24; ++pi) {
        const coded c = encode(pi, uint32_t(pi));
        EXPECT_EQ(decode(c, to_soft(c.sent, 100)), c.info) << "PI_" << pi;
        // Weak but clean soft bits decide the same.
        EXPECT_EQ(decode(c, to_soft(c.sent, 1)), c.info) << "PI_" << pi;
    }
}

// A few confident wrong bits and erasures, spread out: even the weakest vector (rate 8/9)
// corrects isolated errors; the strong ones take denser damage.
TEST(Viterbi, EveryVectorWithFlipsAndErasures) {
    for (int pi = 1; pi <= 24; ++pi) {
        const coded c = encode(pi, uint32_t(100 + pi));
        auto soft = to_soft(c.sent, 60);
        // Spacing in transmitted bits: about 3 constraint lengths of code bits at rate 8/9.
        const size_t spacing = pi < 8 ? 97 : pi < 16 ? 53 : 29;
        int flipped = 0;
        for (size_t i = 11; i < soft.size(); i += spacing, ++flipped) soft[i] = int8_t(-soft[i]);
        for (size_t i = 11 + spacing / 2; i < soft.size(); i += 2 * spacing) soft[i] = 0;
        ASSERT_GT(flipped, 5);
        EXPECT_EQ(decode(c, soft), c.info) << "PI_" << pi << " spacing " << spacing;
    }
}

// Erasing the whole tail still ends in a decided word, and bad soft bits only cost bits,
// never memory: decoding of a long random word must simply run.
TEST(Viterbi, TailErasedAndZeroLength) {
    const coded c = encode(16, 7);
    auto soft = to_soft(c.sent, 80);
    for (size_t i = soft.size() - 12; i < soft.size(); ++i) soft[i] = 0;
    const auto out = decode(c, soft);
    // Only the last few info bits lean on the tail.
    EXPECT_TRUE(std::equal(out.begin(), out.end() - 6, c.info.begin()));

    viterbi_decoder v;
    int8_t none[24] = {};
    uint8_t o[1];
    EXPECT_FALSE(v.decode(none, 0, o));
}

// The mother code alone with a burst of confident errors longer than the code can bridge
// gives a wrong word, and a decoder reused afterwards is not left in a bad state.
TEST(Viterbi, ReusedAfterUncorrectableBurst) {
    const coded c = encode(24, 9);
    auto soft = to_soft(c.sent, 100);
    for (size_t i = 100; i < 200; ++i) soft[i] = int8_t(-soft[i]);
    std::vector<int8_t> mother(c.profile.mother_bits());
    viterbi_decoder v;
    std::vector<uint8_t> out(c.info.size());
    depuncture(c.profile, soft.data(), mother.data());
    v.decode(mother.data(), out.size(), out.data());
    EXPECT_NE(out, c.info);
    depuncture(c.profile, to_soft(c.sent, 100).data(), mother.data());
    v.decode(mother.data(), out.size(), out.data());
    EXPECT_EQ(out, c.info);
}
