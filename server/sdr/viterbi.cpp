#include "sdr/viterbi.h"

#include <array>

#include "common/dab_coding.h"

#if defined(__SSE2__) && !defined(DAB_VITERBI_SCALAR)
#include <emmintrin.h>
#endif

namespace {

// Scale of the path metrics: a step adds at most 4 x 127; any state reaches any other within 6
// steps, so metrics relative to state 0 stay within 2 x 6 x 508 plus the start penalty, which
// fits int16 without saturating.
constexpr int start_penalty = 8000;

// State = the 6 previous inputs, the newest in bit 0; input b leads from s to (s << 1 | b) & 63.
// The butterfly: states j and j + 32 (differing in the oldest bit) go to 2j and 2j + 1.
// Every generator taps both the newest and the oldest bit, so of the butterfly's four branches
// two carry the symbol of (j, input 0) and two its complement.
constexpr unsigned encoder_register(unsigned s, unsigned b) {
    unsigned reg = b << 6;  // as conv_encode: bit 6 = newest input, bit 0 = 6 inputs back
    for (int k = 1; k <= 6; ++k) reg |= ((s >> (k - 1)) & 1) << (6 - k);
    return reg;
}

constexpr unsigned parity(unsigned v) {
    unsigned p = 0;
    for (; v; v &= v - 1) p ^= 1;
    return p;
}

// Bit g of the output symbol of (j, input 0), j = 0..31, as x0 x1 x2 x3 in bits 3..0.
constexpr std::array<uint8_t, 32> make_symbols() {
    std::array<uint8_t, 32> t{};
    for (unsigned j = 0; j < 32; ++j) {
        unsigned sym = 0;
        for (int g = 0; g < 4; ++g) sym = sym << 1 | parity(encoder_register(j, 0) & dabcommon::conv_generators[g]);
        t[j] = uint8_t(sym);
    }
    return t;
}
constexpr std::array<uint8_t, 32> symbols = make_symbols();
static_assert((dabcommon::conv_generators[0] & 0101) == 0101 && (dabcommon::conv_generators[1] & 0101) == 0101 &&
              (dabcommon::conv_generators[2] & 0101) == 0101 && (dabcommon::conv_generators[3] & 0101) == 0101,
              "the butterfly needs taps on the newest and the oldest bit");
static_assert(dabcommon::conv_generators[0] == dabcommon::conv_generators[3], "x3 repeats x0");

#if defined(__SSE2__) && !defined(DAB_VITERBI_SCALAR)

void forward(const int8_t *soft, size_t steps, uint64_t *decisions) {
    // -1 where the symbol of (j, 0) has a 0 for x0 (and x3), x1, x2: that branch correlates
    // with -x.
    alignas(16) int16_t masks[3][32];
    for (int j = 0; j < 32; ++j)
        for (int g = 0; g < 3; ++g) masks[g][j] = (symbols[j] >> (3 - g)) & 1 ? 0 : -1;
    __m128i neg[3][4];
    for (int g = 0; g < 3; ++g)
        for (int k = 0; k < 4; ++k) neg[g][k] = _mm_load_si128(reinterpret_cast<const __m128i *>(&masks[g][8 * k]));

    __m128i m[8];
    m[0] = _mm_set_epi16(-start_penalty, -start_penalty, -start_penalty, -start_penalty, -start_penalty,
                         -start_penalty, -start_penalty, 0);
    for (int k = 1; k < 8; ++k) m[k] = _mm_set1_epi16(-start_penalty);

    for (size_t t = 0; t < steps; ++t) {
        const int8_t *x = soft + 4 * t;
        const __m128i x03 = _mm_set1_epi16(int16_t(x[0] + x[3]));
        const __m128i x1 = _mm_set1_epi16(x[1]), x2 = _mm_set1_epi16(x[2]);
        __m128i n[8];
        uint64_t dec = 0;
        // Unrolled, the 8 metric vectors stay in registers (-O2 does not unroll by itself).
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            // Branch metric of (j, input 0) for j = 8k..8k+7: sum of +-x.
            __m128i bm = _mm_sub_epi16(_mm_xor_si128(x03, neg[0][k]), neg[0][k]);
            bm = _mm_add_epi16(bm, _mm_sub_epi16(_mm_xor_si128(x1, neg[1][k]), neg[1][k]));
            bm = _mm_add_epi16(bm, _mm_sub_epi16(_mm_xor_si128(x2, neg[2][k]), neg[2][k]));
            const __m128i a = m[k], b = m[k + 4];
            const __m128i a0 = _mm_add_epi16(a, bm), b0 = _mm_sub_epi16(b, bm);
            const __m128i a1 = _mm_sub_epi16(a, bm), b1 = _mm_add_epi16(b, bm);
            const __m128i even = _mm_max_epi16(a0, b0), odd = _mm_max_epi16(a1, b1);
            const __m128i d_even = _mm_cmpgt_epi16(b0, a0), d_odd = _mm_cmpgt_epi16(b1, a1);
            // New states 2j and 2j + 1 side by side: 16k..16k+15.
            n[2 * k] = _mm_unpacklo_epi16(even, odd);
            n[2 * k + 1] = _mm_unpackhi_epi16(even, odd);
            const __m128i d = _mm_packs_epi16(_mm_unpacklo_epi16(d_even, d_odd), _mm_unpackhi_epi16(d_even, d_odd));
            dec |= uint64_t(uint16_t(_mm_movemask_epi8(d))) << (16 * k);
        }
        decisions[t] = dec;
        const __m128i base = _mm_set1_epi16(int16_t(_mm_cvtsi128_si32(n[0])));
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) m[k] = _mm_sub_epi16(n[k], base);
    }
}

#else

constexpr int states = 64;

void forward(const int8_t *soft, size_t steps, uint64_t *decisions) {
    int32_t metric[states], next[states];
    for (int s = 0; s < states; ++s) metric[s] = s ? -start_penalty : 0;
    for (size_t t = 0; t < steps; ++t) {
        const int8_t *x = soft + 4 * t;
        int32_t bm[16];
        for (int sym = 0; sym < 16; ++sym)
            bm[sym] = ((sym & 8) ? x[0] : -x[0]) + ((sym & 4) ? x[1] : -x[1]) +
                      ((sym & 2) ? x[2] : -x[2]) + ((sym & 1) ? x[3] : -x[3]);
        uint64_t dec = 0;
        for (int j = 0; j < 32; ++j) {
            const int32_t m = bm[symbols[j]];
            const int32_t a = metric[j], b = metric[j + 32];
            const int32_t a0 = a + m, b0 = b - m, a1 = a - m, b1 = b + m;
            const bool d0 = b0 > a0, d1 = b1 > a1;
            next[2 * j] = d0 ? b0 : a0;
            next[2 * j + 1] = d1 ? b1 : a1;
            dec |= uint64_t(d0) << (2 * j) | uint64_t(d1) << (2 * j + 1);
        }
        decisions[t] = dec;
        for (int s = 0; s < states; ++s) metric[s] = next[s] - next[0];
    }
}

#endif

}  // namespace

bool viterbi_decoder::decode(const int8_t *soft, size_t n, uint8_t *out) {
    if (n == 0) return false;
    const size_t steps = n + dabcommon::conv_memory;
    decisions_.resize(steps);
    forward(soft, steps, decisions_.data());
    // The tail brings the encoder back to state 0.
    unsigned state = 0;
    for (size_t t = steps; t-- > 0;) {
        if (t < n) out[t] = uint8_t(state & 1);
        state = (state >> 1) | unsigned((decisions_[t] >> state) & 1) << 5;
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
