#pragma once
// Soft-decision Viterbi decoder for the mother code of EN 300 401 clause 11.1.1 (K = 7,
// rate 1/4, generators 133 171 145 133), after depuncturing.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/dab_coding.h"

class viterbi_decoder {
public:
    // soft: 4 x (n + 6) soft bits (positive = 1, negative = 0, 0 = erased or punctured), the
    // code word of n info bits followed by the 6 tail bits that return the encoder to state 0.
    // out: n bits, one 0/1 per byte. Returns false when n is 0.
    bool decode(const int8_t *soft, size_t n, uint8_t *out);

private:
    std::vector<uint64_t> decisions_;  // one bit per state per step
};

// Spreads the received soft bits of a punctured code word over the mother code word
// (profile.mother_bits() of them), 0 where a bit was not sent; UEP padding after them is ignored.
void depuncture(const dabcommon::puncturing_profile &profile, const int8_t *in, int8_t *mother);
