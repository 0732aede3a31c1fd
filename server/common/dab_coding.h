#pragma once
// Channel coding of EN 300 401 clauses 10-12 (energy dispersal, convolutional code, puncturing,
// time interleaving): the tables the receiver's decoders and the modulator share, and the
// transmitter side that the modulator and the decoders' tests use.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace dabcommon {

// Clause 11.1.2, table 29: puncturing vectors PI_1..PI_24, 32 bits each; the first bit of the
// vector is the most significant bit here. PI_k keeps 8 + k of its 32 bits.
inline constexpr std::array<uint32_t, 24> puncturing_vectors = {
    0xC8888888, 0xC888C888, 0xC8C8C888, 0xC8C8C8C8,  // PI_1..PI_4
    0xCCC8C8C8, 0xCCC8CCC8, 0xCCCCCCC8, 0xCCCCCCCC,  // PI_5..PI_8
    0xECCCCCCC, 0xECCCECCC, 0xECECECCC, 0xECECECEC,  // PI_9..PI_12
    0xEEECECEC, 0xEEECEEEC, 0xEEEEEEEC, 0xEEEEEEEE,  // PI_13..PI_16
    0xFEEEEEEE, 0xFEEEFEEE, 0xFEFEFEEE, 0xFEFEFEFE,  // PI_17..PI_20
    0xFFFEFEFE, 0xFFFEFFFE, 0xFFFFFFFE, 0xFFFFFFFF,  // PI_21..PI_24
};
static_assert(puncturing_vectors.size() == 24);

// Clause 11.1.2: PI_X, the vector applied to the 24 mother-code bits of the 6 tail bits.
inline constexpr uint32_t puncturing_tail = 0xCCCCCC;
inline constexpr int tail_mother_bits = 24;
inline constexpr int tail_punctured_bits = 12;

// Mother code of clause 11.1.1: constraint length 7, rate 1/4, octal generators 133 171 145 133.
inline constexpr int conv_memory = 6;
inline constexpr std::array<uint8_t, 4> conv_generators = {0133, 0171, 0145, 0133};
static_assert(conv_generators.size() == 4);

// A run of blocks of 128 mother-code bits (4 x 32) punctured by one vector.
struct puncturing_run {
    uint16_t blocks = 0;
    uint8_t pi = 0;  // 1..24
};

// How a code word is punctured: the runs in order, then PI_X over the tail, then padding bits
// (UEP only) that carry nothing.
struct puncturing_profile {
    std::array<puncturing_run, 4> runs{};
    int padding = 0;
    int info_bits() const;       // without the tail
    int mother_bits() const;     // (info + 6) x 4
    int punctured_bits() const;  // what goes on air, padding included
};

// Clause 11.2 (mode I): 2304 bits per 3 FIBs: 21 blocks with PI_16, 3 with PI_15, tail.
inline constexpr puncturing_profile fic_profile = {{{{21, 16}, {3, 15}, {0, 0}, {0, 0}}}, 0};
inline constexpr int fic_info_bits = 768;  // 3 FIBs
inline constexpr int fic_coded_bits = 2304;
inline constexpr int fic_mother_bits = (fic_info_bits + conv_memory) * 4;  // 3096

struct uep_profile {
    uint8_t l[4];   // blocks per vector
    uint8_t pi[4];  // vector index 1..24, 0 when the run is empty
    uint8_t padding;
};

// Clause 11.3.1, table 31: UEP puncturing by the short form's table index (sizes and bit rates
// in uep_table of dab_tables.h).
inline constexpr std::array<uep_profile, 64> uep_profiles = {{
    {{3, 4, 17, 0}, {5, 3, 2, 0}, 0},       {{3, 3, 18, 0}, {11, 6, 5, 0}, 0},      // 32 kbit/s
    {{3, 4, 14, 3}, {15, 9, 6, 8}, 0},      {{3, 4, 14, 3}, {22, 13, 8, 13}, 0},
    {{3, 5, 13, 3}, {24, 17, 12, 17}, 4},
    {{4, 3, 26, 3}, {5, 4, 2, 3}, 0},       {{3, 4, 26, 3}, {9, 6, 4, 6}, 0},       // 48
    {{3, 4, 26, 3}, {15, 10, 6, 9}, 4},     {{3, 4, 26, 3}, {24, 14, 8, 15}, 0},
    {{3, 5, 25, 3}, {24, 18, 13, 18}, 0},
    {{6, 10, 23, 3}, {5, 4, 2, 3}, 0},      {{6, 10, 23, 3}, {9, 6, 4, 5}, 0},      // 56
    {{6, 12, 21, 3}, {16, 7, 6, 9}, 0},     {{6, 10, 23, 3}, {23, 13, 8, 13}, 8},
    {{6, 9, 31, 2}, {5, 3, 2, 3}, 0},       {{6, 9, 33, 0}, {11, 6, 5, 0}, 0},      // 64
    {{6, 12, 27, 3}, {16, 8, 6, 9}, 0},     {{6, 10, 29, 3}, {23, 13, 8, 13}, 8},
    {{6, 11, 28, 3}, {24, 18, 12, 18}, 4},
    {{6, 10, 41, 3}, {6, 3, 2, 3}, 0},      {{6, 10, 41, 3}, {11, 6, 5, 6}, 0},     // 80
    {{6, 11, 40, 3}, {16, 8, 6, 7}, 0},     {{6, 10, 41, 3}, {23, 13, 8, 13}, 8},
    {{6, 10, 41, 3}, {24, 17, 12, 18}, 4},
    {{7, 9, 53, 3}, {5, 4, 2, 4}, 0},       {{7, 10, 52, 3}, {9, 6, 4, 6}, 0},      // 96
    {{6, 12, 51, 3}, {16, 9, 6, 10}, 4},    {{6, 10, 53, 3}, {22, 12, 9, 12}, 0},
    {{6, 13, 50, 3}, {24, 18, 13, 19}, 0},
    {{14, 17, 50, 3}, {5, 4, 2, 5}, 0},     {{11, 21, 49, 3}, {9, 6, 4, 8}, 0},     // 112
    {{11, 23, 47, 3}, {16, 8, 6, 9}, 0},    {{11, 21, 49, 3}, {23, 12, 9, 14}, 4},
    {{12, 19, 62, 3}, {5, 3, 2, 4}, 0},     {{11, 21, 61, 3}, {11, 6, 5, 7}, 0},    // 128
    {{11, 22, 60, 3}, {16, 9, 6, 10}, 4},   {{11, 21, 61, 3}, {22, 12, 9, 14}, 0},
    {{11, 20, 62, 3}, {24, 17, 13, 19}, 8},
    {{11, 19, 87, 3}, {5, 4, 2, 4}, 0},     {{11, 23, 83, 3}, {11, 6, 5, 9}, 0},    // 160
    {{11, 24, 82, 3}, {16, 8, 6, 11}, 0},   {{11, 21, 85, 3}, {22, 11, 9, 13}, 0},
    {{11, 22, 84, 3}, {24, 18, 12, 19}, 0},
    {{11, 20, 110, 3}, {6, 4, 2, 5}, 0},    {{11, 22, 108, 3}, {10, 6, 4, 9}, 0},   // 192
    {{11, 24, 106, 3}, {16, 10, 6, 11}, 0}, {{11, 20, 110, 3}, {22, 13, 9, 13}, 8},
    {{11, 21, 109, 3}, {24, 20, 13, 24}, 0},
    {{12, 22, 131, 3}, {8, 6, 2, 6}, 4},    {{12, 26, 127, 3}, {12, 8, 4, 11}, 0},  // 224
    {{11, 20, 134, 3}, {16, 10, 7, 9}, 0},  {{11, 22, 132, 3}, {24, 16, 10, 15}, 0},
    {{11, 24, 130, 3}, {24, 20, 12, 20}, 4},
    {{11, 24, 154, 3}, {6, 5, 2, 5}, 0},    {{11, 24, 154, 3}, {12, 9, 5, 10}, 4},  // 256
    {{11, 27, 151, 3}, {16, 10, 7, 10}, 0}, {{11, 22, 156, 3}, {24, 14, 10, 13}, 8},
    {{11, 26, 152, 3}, {24, 19, 14, 18}, 4},
    {{11, 26, 200, 3}, {8, 5, 2, 6}, 4},    {{11, 25, 201, 3}, {13, 9, 5, 10}, 8},  // 320
    {{11, 26, 200, 3}, {24, 17, 9, 17}, 0},
    {{11, 27, 247, 3}, {8, 6, 2, 7}, 0},    {{11, 24, 250, 3}, {16, 9, 7, 10}, 4},  // 384
    {{12, 28, 245, 3}, {24, 20, 14, 23}, 8},
}};
static_assert(uep_profiles.size() == 64);

// Clause 11.3.2, EEP: L1 = a*n + b blocks with the first vector, L2 = c*n + d with the second,
// n = bit rate / 8 kbit/s (set A) or / 32 kbit/s (set B), CUs = cu_per_n x n.
struct eep_profile {
    int8_t a, b, c, d;
    uint8_t pi1, pi2;
    uint8_t cu_per_n;
};
inline constexpr std::array<eep_profile, 4> eep_a_profiles = {{
    {6, -3, 0, 3, 24, 23, 12},  // 1-A
    {2, -3, 4, 3, 14, 13, 8},   // 2-A (n = 1 below)
    {6, -3, 0, 3, 8, 7, 6},     // 3-A
    {4, -3, 2, 3, 3, 2, 4},     // 4-A
}};
inline constexpr std::array<eep_profile, 4> eep_b_profiles = {{
    {24, -3, 0, 3, 10, 9, 27},  // 1-B
    {24, -3, 0, 3, 6, 5, 21},   // 2-B
    {24, -3, 0, 3, 4, 3, 18},   // 3-B
    {24, -3, 0, 3, 2, 1, 15},   // 4-B
}};
// 2-A at 8 kbit/s: 2n - 3 would be negative, so the standard fixes 5 x PI_13 then 1 x PI_12.
inline constexpr eep_profile eep_2a_8k = {0, 5, 0, 1, 13, 12, 8};
static_assert(eep_a_profiles.size() == 4 && eep_b_profiles.size() == 4);

// A sub-channel as FIG 0/1 describes it: short form (UEP, table_index) or long form (EEP,
// option 0 = set A, 1 = set B, level 0..3 for 1..4).
struct subchannel_params {
    int subchid = 0, start_cu = 0, size_cu = 0;
    bool long_form = false;
    int option = 0, level = 0, table_index = 0;
};

// The puncturing and the logical frame size (bytes per 24 ms) of a sub-channel; false for a
// description that is not coherent (unknown table index or option, a size that is no
// multiple of the level's CUs, or that leaves the MSC).
bool subchannel_profile(const subchannel_params &p, puncturing_profile &profile, int &frame_bytes);

// Clause 10: XOR the PRBS x^9 + x^5 + 1 (register all ones) into n bytes, first bit = MSB.
void energy_dispersal(uint8_t *p, size_t n);
// The same over unpacked bits (one 0/1 per byte).
void energy_dispersal_bits(uint8_t *bits, size_t n);

// Clause 11.1.1: n info bits (0/1 each) from the zero state, then 6 zero tail bits:
// 4 x (n + 6) output bits in the order x0 x1 x2 x3 per input bit.
void conv_encode(const uint8_t *bits, size_t n, uint8_t *out);

// Keeps the bits of a mother code word (mother_bits() of them) that the profile transmits;
// padding bits are appended as zeros. out gets punctured_bits().
void puncture(const puncturing_profile &profile, const uint8_t *mother, uint8_t *out);

// Clause 11.2: 3 FIBs of one CIF's FIC part -> 2304 bits (one 0/1 per byte).
std::vector<uint8_t> fic_encode_cif(const uint8_t fibs[3][32]);

// Clause 11.3: one logical frame (n must be the profile's frame bytes) -> size_cu x 64 bits
// (one 0/1 per byte). False when p is not coherent or n is wrong.
bool subchannel_encode(const subchannel_params &p, const uint8_t *bytes, size_t n,
                       std::vector<uint8_t> &bits);

// Clause 12: bit i of a code word leaves time_interleaving_delay[i % 16] logical frames later.
inline constexpr std::array<uint8_t, 16> time_interleaving_delay = {0, 8, 4, 12, 2, 10, 6, 14,
                                                                     1, 9, 5, 13, 3, 11, 7, 15};
static_assert(time_interleaving_delay.size() == 16);

// Transmitter's time interleaver for one sub-channel of a fixed size (bits per logical frame).
// Its delay lines start as zeros.
class time_interleaver {
public:
    explicit time_interleaver(size_t bits);
    // One code word in, one interleaved code word out (bits() entries each).
    void push(const uint8_t *in, uint8_t *out);
    size_t bits() const { return bits_; }

private:
    size_t bits_;
    std::vector<uint8_t> history_;  // 16 code words, ring
    int frame_ = 0;
};

}  // namespace dabcommon
