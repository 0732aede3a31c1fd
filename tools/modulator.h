#pragma once
// DAB transmission mode I modulator: ETI(NI) frames in, complex baseband at 2.048 Msps out.
// Four ETI frames (four CIFs of 24 ms) make one transmission frame of 96 ms: null symbol,
// phase reference symbol, 3 FIC symbols and 72 MSC symbols.
#include <array>
#include <complex>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "common/dab_coding.h"
#include "common/eti_reader.h"
#include "common/fig01.h"
#include "common/ofdm.h"

namespace dabmod {

using cfloat = std::complex<float>;

inline constexpr int CIF_BITS = 55296;   // 864 CUs x 64 bits
inline constexpr int CU_BITS = 64;
inline constexpr int CIFS_PER_FRAME = 4;

using dabcommon::subchannel_map;

// A sub-channel from an ETI stream's STC alone: SAD, TPL (UEP level, or EEP option and level)
// and STL (the bit rate). False when the fields do not describe a sub-channel.
bool stc_subchannel(const dabcommon::eti_stream &s, dabcommon::subchannel_params &p);

// One ETI frame -> one CIF: the FIC's 2304 coded bits and the MSC's 55296 bits, each
// sub-channel coded, time-interleaved and put at its CUs. Bits are one 0/1 per byte.
class cif_encoder {
public:
    struct counters {
        uint64_t frames = 0;
        uint64_t streams = 0;
        uint64_t streams_skipped = 0;  // no coherent description, or overlapping another
        uint64_t streams_resized = 0;  // cut or padded to the sub-channel's frame length
        uint64_t frames_without_fic = 0;
    };

    void encode(const dabcommon::eti_frame &f, uint8_t *fic_bits, uint8_t *msc_bits);
    const counters &stats() const { return stats_; }

private:
    struct subchannel {
        dabcommon::subchannel_params p;
        std::vector<uint8_t> coded, interleaved;
        std::unique_ptr<dabcommon::time_interleaver> ti;
    };
    subchannel_map map_;
    std::map<int, subchannel> subs_;
    counters stats_;
};

// Bits of one transmission frame -> samples: DQPSK on 1536 carriers, 2048-point inverse FFT,
// cyclic prefix, null symbol (no TII). Mean power 1 over the symbols, 0 in the null symbol.
class ofdm_modulator {
public:
    ofdm_modulator();
    ~ofdm_modulator();
    ofdm_modulator(const ofdm_modulator &) = delete;
    ofdm_modulator &operator=(const ofdm_modulator &) = delete;

    // fic: 3 x 3072 bits, msc: 72 x 3072 bits; out: OFDM_FRAME samples.
    void frame(const uint8_t *fic, const uint8_t *msc, cfloat *out);

private:
    void symbol(const std::array<cfloat, dabcommon::OFDM_CARRIERS> &carriers, cfloat *out);

    struct plan;
    std::unique_ptr<plan> plan_;
    std::array<cfloat, dabcommon::OFDM_CARRIERS> phase_{}, q_{};
};

// The whole chain. Frames are grouped from the first one whose FCT is a multiple of four, so
// that a transmission frame starts with a CIF count divisible by four as receivers expect.
class modulator {
public:
    // 1 = out holds the next transmission frame (OFDM_FRAME samples), 0 = more frames needed.
    int feed(const dabcommon::eti_frame &f, std::vector<cfloat> &out);
    const cif_encoder::counters &stats() const { return cif_.stats(); }
    uint64_t frames_dropped_at_start() const { return dropped_; }

private:
    cif_encoder cif_;
    ofdm_modulator ofdm_;
    std::vector<uint8_t> fic_ = std::vector<uint8_t>(3 * dabcommon::OFDM_BITS);
    std::vector<uint8_t> msc_ = std::vector<uint8_t>(CIFS_PER_FRAME * CIF_BITS);
    int cifs_ = 0;
    bool aligned_ = false;
    uint64_t dropped_ = 0;
};

}  // namespace dabmod
