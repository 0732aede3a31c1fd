#include "common/dab_coding.h"

#include <cstring>

#include "common/dab_tables.h"

namespace dabcommon {

namespace {

constexpr int popcount32(uint32_t v) {
    int n = 0;
    for (; v; v &= v - 1) ++n;
    return n;
}

constexpr bool vectors_keep_8_plus_k() {
    for (size_t k = 0; k < puncturing_vectors.size(); ++k)
        if (popcount32(puncturing_vectors[k]) != 8 + int(k) + 1) return false;
    return true;
}
static_assert(vectors_keep_8_plus_k(), "PI_k keeps 8 + k bits of 32");
static_assert(popcount32(puncturing_tail) == tail_punctured_bits);

// Every UEP row must carry the table 8 bit rate's mother code (bit rate x 24 bits + tail, x 4)
// and fill its CUs exactly with padding: a mistyped count or vector shows up here.
constexpr bool uep_rows_fit() {
    for (size_t i = 0; i < uep_profiles.size(); ++i) {
        const uep_profile &u = uep_profiles[i];
        int blocks = 0, bits = tail_punctured_bits + u.padding;
        for (int r = 0; r < 4; ++r) {
            if (u.l[r] && (u.pi[r] < 1 || u.pi[r] > 24)) return false;
            blocks += u.l[r];
            bits += u.l[r] ? u.l[r] * 4 * (8 + u.pi[r]) : 0;
        }
        if (blocks * 128 != uep_table[i].bitrate * 24 * 4) return false;
        if (bits != uep_table[i].size * 64) return false;
    }
    return true;
}
static_assert(uep_rows_fit(), "UEP rows match the sizes and bit rates of table 8");

bool vector_bit(uint32_t v, int i) { return (v >> (31 - i)) & 1; }

}  // namespace

int puncturing_profile::info_bits() const {
    int blocks = 0;
    for (const auto &r : runs) blocks += r.blocks;
    return blocks * 32;  // 128 mother bits per block, rate 1/4
}

int puncturing_profile::mother_bits() const { return (info_bits() + conv_memory) * 4; }

int puncturing_profile::punctured_bits() const {
    int bits = tail_punctured_bits + padding;
    for (const auto &r : runs)
        if (r.blocks) bits += r.blocks * 4 * (8 + r.pi);
    return bits;
}

bool subchannel_profile(const subchannel_params &p, puncturing_profile &profile, int &frame_bytes) {
    if (p.start_cu < 0 || p.size_cu <= 0 || p.start_cu + p.size_cu > msc_capacity_cu) return false;
    puncturing_profile pr;
    int bytes = 0;
    if (!p.long_form) {
        if (p.table_index < 0 || p.table_index >= int(uep_profiles.size())) return false;
        if (p.size_cu != uep_table[p.table_index].size) return false;
        const uep_profile &u = uep_profiles[p.table_index];
        for (int r = 0; r < 4; ++r) pr.runs[r] = {u.l[r], u.l[r] ? u.pi[r] : uint8_t(0)};
        pr.padding = u.padding;
        bytes = uep_table[p.table_index].bitrate * 3;  // kbit/s x 24 ms / 8
    } else {
        if (p.option != 0 && p.option != 1) return false;
        if (p.level < 0 || p.level > 3) return false;
        eep_profile e = (p.option == 0 ? eep_a_profiles : eep_b_profiles)[p.level];
        if (p.size_cu % e.cu_per_n) return false;
        int n = p.size_cu / e.cu_per_n;
        if (p.option == 0 && p.level == 1 && n == 1) e = eep_2a_8k;
        int l1 = e.a * n + e.b, l2 = e.c * n + e.d;
        if (l1 < 0 || l2 < 0) return false;
        pr.runs[0] = {uint16_t(l1), e.pi1};
        pr.runs[1] = {uint16_t(l2), e.pi2};
        bytes = n * (p.option == 0 ? 8 : 32) * 3;
    }
    if (pr.punctured_bits() != p.size_cu * 64 || pr.info_bits() != bytes * 8) return false;
    profile = pr;
    frame_bytes = bytes;
    return true;
}

void energy_dispersal_bits(uint8_t *bits, size_t n) {
    unsigned reg = 0x1FF;  // stages 9..1 in bits 8..0
    for (size_t i = 0; i < n; ++i) {
        unsigned b = ((reg >> 8) ^ (reg >> 4)) & 1;
        reg = ((reg << 1) | b) & 0x1FF;
        bits[i] ^= uint8_t(b);
    }
}

void energy_dispersal(uint8_t *p, size_t n) {
    unsigned reg = 0x1FF;
    for (size_t i = 0; i < n; ++i) {
        uint8_t mask = 0;
        for (int k = 0; k < 8; ++k) {
            unsigned b = ((reg >> 8) ^ (reg >> 4)) & 1;
            reg = ((reg << 1) | b) & 0x1FF;
            mask = uint8_t(mask << 1 | b);
        }
        p[i] ^= mask;
    }
}

void conv_encode(const uint8_t *bits, size_t n, uint8_t *out) {
    unsigned reg = 0;  // bit 6 = the current input, bit 0 = the input 6 steps back
    for (size_t i = 0; i < n + conv_memory; ++i) {
        unsigned a = i < n ? bits[i] & 1 : 0;
        reg = (reg >> 1) | (a << 6);
        for (int j = 0; j < 4; ++j) out[4 * i + j] = uint8_t(__builtin_parity(reg & conv_generators[j]));
    }
}

void puncture(const puncturing_profile &profile, const uint8_t *mother, uint8_t *out) {
    size_t m = 0, o = 0;
    for (const auto &r : profile.runs) {
        if (!r.blocks) continue;
        uint32_t v = puncturing_vectors[r.pi - 1];
        for (int b = 0; b < r.blocks * 4; ++b, m += 32)
            for (int i = 0; i < 32; ++i)
                if (vector_bit(v, i)) out[o++] = mother[m + i];
    }
    for (int i = 0; i < tail_mother_bits; ++i)
        if ((puncturing_tail >> (23 - i)) & 1) out[o++] = mother[m + i];
    for (int i = 0; i < profile.padding; ++i) out[o++] = 0;
}

namespace {

std::vector<uint8_t> encode_word(const puncturing_profile &profile, const uint8_t *bytes, size_t n) {
    std::vector<uint8_t> info(n * 8);
    for (size_t i = 0; i < n * 8; ++i) info[i] = (bytes[i / 8] >> (7 - i % 8)) & 1;
    energy_dispersal_bits(info.data(), info.size());
    std::vector<uint8_t> mother(profile.mother_bits());
    conv_encode(info.data(), info.size(), mother.data());
    std::vector<uint8_t> out(profile.punctured_bits());
    puncture(profile, mother.data(), out.data());
    return out;
}

}  // namespace

std::vector<uint8_t> fic_encode_cif(const uint8_t fibs[3][32]) {
    uint8_t bytes[96];
    for (int f = 0; f < 3; ++f) std::memcpy(bytes + 32 * f, fibs[f], 32);
    return encode_word(fic_profile, bytes, sizeof bytes);
}

bool subchannel_encode(const subchannel_params &p, const uint8_t *bytes, size_t n,
                       std::vector<uint8_t> &bits) {
    puncturing_profile profile;
    int frame_bytes = 0;
    if (!subchannel_profile(p, profile, frame_bytes) || n != size_t(frame_bytes)) return false;
    bits = encode_word(profile, bytes, n);
    return true;
}

time_interleaver::time_interleaver(size_t bits) : bits_(bits), history_(16 * bits, 0) {}

void time_interleaver::push(const uint8_t *in, uint8_t *out) {
    const int slot = frame_ & 15;
    std::memcpy(&history_[slot * bits_], in, bits_);
    for (size_t i = 0; i < bits_; ++i) {
        int from = (slot - time_interleaving_delay[i & 15]) & 15;
        out[i] = history_[from * bits_ + i];
    }
    frame_ = (frame_ + 1) & 15;
}

}  // namespace dabcommon
