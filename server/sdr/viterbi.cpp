#include "sdr/viterbi.h"

#include <array>

#include "common/dab_coding.h"

namespace {

constexpr int states = 64;

// Output symbol (x0 x1 x2 x3 as bits 3..0) of the transition from state 2j with input 0.
// Every generator taps both the newest and the oldest bit, so the other three transitions of
// the butterfly give this symbol or its complement.
constexpr std::array<uint8_t, 32> make_symbols() {
    std::array<uint8_t, 32> t{};
    for (unsigned j = 0; j < 32; ++j) {
        unsigned reg = 2 * j;  // state bits = the 6 previous inputs, newest in bit 5
        unsigned sym = 0;
        for (int g = 0; g < 4; ++g) {
            unsigned v = reg & dabcommon::conv_generators[g], p = 0;
            for (; v; v &= v - 1) p ^= 1;
            sym = sym << 1 | p;
        }
        t[j] = uint8_t(sym);
    }
    return t;
}
constexpr std::array<uint8_t, 32> symbols = make_symbols();
static_assert((dabcommon::conv_generators[0] & 0101) == 0101 && (dabcommon::conv_generators[1] & 0101) == 0101 &&
              (dabcommon::conv_generators[2] & 0101) == 0101 && (dabcommon::conv_generators[3] & 0101) == 0101,
              "the butterfly needs taps on the newest and the oldest bit");

}  // namespace

bool viterbi_decoder::decode(const int8_t *soft, size_t n, uint8_t *out) {
    if (n == 0) return false;
    const size_t steps = n + dabcommon::conv_memory;
    decisions_.resize(steps);

    // Path metrics: larger is better; the encoder starts in state 0.
    alignas(32) int32_t metric[states], next[states];
    for (int s = 0; s < states; ++s) metric[s] = s ? -(1 << 20) : 0;

    for (size_t t = 0; t < steps; ++t) {
        const int8_t *x = soft + 4 * t;
        // Correlation of the received soft bits with each of the 16 output symbols.
        int32_t bm[16];
        for (int sym = 0; sym < 16; ++sym)
            bm[sym] = ((sym & 8) ? x[0] : -x[0]) + ((sym & 4) ? x[1] : -x[1]) +
                      ((sym & 2) ? x[2] : -x[2]) + ((sym & 1) ? x[3] : -x[3]);
        uint64_t lo = 0, hi = 0;
        for (int j = 0; j < 32; ++j) {
            const int32_t m = bm[symbols[j]];
            const int32_t a = metric[2 * j], b = metric[2 * j + 1];
            // Input 0 leads to state j, input 1 to state j + 32.
            const int32_t a0 = a + m, b0 = b - m, a1 = a - m, b1 = b + m;
            const bool d0 = b0 > a0, d1 = b1 > a1;
            next[j] = d0 ? b0 : a0;
            next[j + 32] = d1 ? b1 : a1;
            lo |= uint64_t(d0) << j;
            hi |= uint64_t(d1) << j;
        }
        decisions_[t] = lo | hi << 32;
        // Metrics only matter relative to each other; keep them far from overflow.
        const int32_t base = next[0];
        for (int s = 0; s < states; ++s) metric[s] = next[s] - base;
    }

    // The tail brings the encoder back to state 0.
    unsigned state = 0;
    for (size_t t = steps; t-- > 0;) {
        const unsigned bit = state >> 5;
        if (t < n) out[t] = uint8_t(bit);
        state = ((state << 1) & 63) | unsigned((decisions_[t] >> state) & 1);
    }
    return true;
}

void depuncture(const dabcommon::puncturing_profile &profile, const int8_t *in, int8_t *mother) {
    size_t m = 0, o = 0;
    for (const auto &r : profile.runs) {
        if (!r.blocks) continue;
        const uint32_t v = dabcommon::puncturing_vectors[r.pi - 1];
        for (int b = 0; b < r.blocks * 4; ++b)
            for (int i = 0; i < 32; ++i) mother[m++] = ((v >> (31 - i)) & 1) ? in[o++] : 0;
    }
    for (int i = 0; i < dabcommon::tail_mother_bits; ++i)
        mother[m++] = ((dabcommon::puncturing_tail >> (23 - i)) & 1) ? in[o++] : 0;
}
