#include "sdr/msc_decoder.h"

#include <cstring>

using namespace dabcommon;

namespace {
constexpr int cu_bits = 64;
constexpr int interleaver_depth = 16;
}  // namespace

msc_subchannel_decoder::msc_subchannel_decoder(const subchannel_params &p) : params_(p) {
    valid_ = subchannel_profile(p, profile_, frame_bytes_);
    if (!valid_) {
        frame_bytes_ = 0;
        return;
    }
    bits_ = p.size_cu * cu_bits;
    history_.assign(size_t(interleaver_depth) * bits_, 0);
    word_.resize(bits_);
    mother_.resize(profile_.mother_bits());
    info_.resize(profile_.info_bits());
}

bool msc_subchannel_decoder::feed_cif(const int8_t *cif, std::vector<uint8_t> &out) {
    if (!valid_ || !cif) return false;
    // subchannel_profile keeps start + size inside the 864 CUs of the CIF.
    std::memcpy(&history_[size_t(slot_) * bits_], cif + size_t(params_.start_cu) * cu_bits, bits_);
    // The transmitter delayed bit i by d(i mod 16) frames; waiting 15 - d more lines every bit
    // of the code word sent 15 CIFs ago up.
    for (int i = 0; i < bits_; ++i) {
        const int from = (slot_ - (interleaver_depth - 1 - time_interleaving_delay[i & 15])) & 15;
        word_[i] = history_[size_t(from) * bits_ + i];
    }
    slot_ = (slot_ + 1) & 15;
    if (fed_ < interleaver_depth) ++fed_;
    if (fed_ < interleaver_depth) return false;

    depuncture(profile_, word_.data(), mother_.data());
    viterbi_.decode(mother_.data(), info_.size(), info_.data());
    energy_dispersal_bits(info_.data(), info_.size());
    out.assign(size_t(frame_bytes_), 0);
    for (int b = 0; b < frame_bytes_; ++b) {
        uint8_t v = 0;
        for (int k = 0; k < 8; ++k) v = uint8_t(v << 1 | info_[8 * b + k]);
        out[b] = v;
    }
    return true;
}
