#pragma once
// Fast Information Channel of one transmission frame (mode I): 9216 soft bits of OFDM symbols
// 2-4 -> 4 code words of 2304 bits -> depuncturing, Viterbi, energy dispersal -> 12 FIBs.
#include <array>
#include <cstdint>
#include <vector>

#include "sdr/viterbi.h"

struct fic_result {
    std::array<std::array<uint8_t, 32>, 12> fibs;
    std::array<bool, 12> crc_ok;
    int bit_errors = 0;  // channel bits that differ from the re-encoded FIBs
    int bits = 0;        // channel bits compared
};

class fic_decoder {
public:
    fic_decoder();
    void decode(const int8_t *soft /* 9216 */, fic_result &out);

private:
    viterbi_decoder viterbi_;
    std::vector<int8_t> mother_;
    std::vector<uint8_t> info_;
    std::vector<uint8_t> remother_, recoded_;  // the decision encoded again, for the error count
};
