#include "modulator.h"

#include <fftw3.h>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstring>

#include "common/crc16.h"
#include "common/dab_tables.h"

namespace dabmod {

using namespace dabcommon;

namespace {

bool same(const subchannel_params &a, const subchannel_params &b) {
    return a.subchid == b.subchid && a.start_cu == b.start_cu && a.size_cu == b.size_cu &&
           a.long_form == b.long_form && a.option == b.option && a.level == b.level &&
           a.table_index == b.table_index;
}

int profile_bytes(const subchannel_params &p) {
    puncturing_profile profile;
    int bytes = 0;
    return subchannel_profile(p, profile, bytes) ? bytes : -1;
}

// An FIB that carries nothing: the end marker, zero padding and a good CRC.
void empty_fib(uint8_t *fib) {
    memset(fib, 0, FIB_SIZE);
    fib[0] = 0xFF;
    const uint16_t crc = crc16(fib, FIB_DATA_SIZE);
    fib[30] = static_cast<uint8_t>(crc >> 8);
    fib[31] = static_cast<uint8_t>(crc);
}

}  // namespace

bool stc_subchannel(const eti_stream &s, subchannel_params &p) {
    // STL counts 64-bit words per 24 ms: 8/3 kbit/s each
    if (s.stl <= 0 || (s.stl * 8) % 3) return false;
    const int bitrate = s.stl * 8 / 3;
    p = subchannel_params{};
    p.subchid = s.scid;
    p.start_cu = s.sad;
    if (s.tpl & 0x20) {
        // EEP: 1 Option(3) Level(2)
        p.long_form = true;
        p.option = s.tpl >> 2 & 0x07;
        p.level = s.tpl & 0x03;
        p.size_cu = eep_size(p.option, p.level + 1, bitrate);
    } else {
        // UEP: 01 0 Level-1(3)... the level in the low bits
        const int level = (s.tpl & 0x07) + 1;
        p.table_index = uep_index(bitrate, level);
        if (p.table_index < 0) return false;
        p.level = level;
        p.size_cu = uep_table[static_cast<size_t>(p.table_index)].size;
    }
    return p.size_cu > 0 && profile_bytes(p) == static_cast<int>(s.len);
}

void cif_encoder::encode(const eti_frame &f, uint8_t *fic_bits, uint8_t *msc_bits) {
    stats_.frames++;
    uint8_t fibs[3][32];
    if (f.fic_len == 3 * FIB_SIZE) {
        for (int i = 0; i < 3; i++) {
            memcpy(fibs[i], f.fib(i), FIB_SIZE);
            map_.feed_fib(fibs[i]);
        }
    } else {
        // a frame without FIC (or of another mode) still keeps the FIC symbols decodable
        stats_.frames_without_fic++;
        for (auto &fib : fibs) empty_fib(fib);
    }
    const std::vector<uint8_t> fic = fic_encode_cif(fibs);
    memcpy(fic_bits, fic.data(), std::min<size_t>(fic.size(), fic_coded_bits));

    memset(msc_bits, 0, CIF_BITS);
    std::bitset<msc_capacity_cu> used;
    std::bitset<64> seen;
    const int nst = std::min(f.nst, ETI_MAX_STREAMS);
    for (int i = 0; i < nst; i++) {
        const eti_stream &s = f.stc[static_cast<size_t>(i)];
        stats_.streams++;
        // FIG 0/1 is what receivers go by; the STC when it is not (yet) known
        subchannel_params p;
        const subchannel_params *announced = map_.find(s.scid);
        bool ok = false;
        if (announced) {
            p = *announced;
            ok = true;
        } else {
            ok = stc_subchannel(s, p);
        }
        if (!ok || seen[static_cast<size_t>(s.scid & 63)]) {
            stats_.streams_skipped++;
            continue;
        }
        bool overlap = false;
        for (int cu = p.start_cu; cu < p.start_cu + p.size_cu; cu++) overlap = overlap || used[static_cast<size_t>(cu)];
        if (overlap) {
            stats_.streams_skipped++;
            continue;
        }
        const int bytes = profile_bytes(p);
        subchannel &sub = subs_[p.subchid];
        if (!sub.ti || !same(sub.p, p)) {
            sub.p = p;
            sub.ti = std::make_unique<time_interleaver>(static_cast<size_t>(p.size_cu) * CU_BITS);
            sub.interleaved.assign(static_cast<size_t>(p.size_cu) * CU_BITS, 0);
        }
        // A stream of another length than the sub-channel's (a truncated frame) is cut or
        // padded with zeros: the time interleaver goes on, as a multiplexer's would.
        std::vector<uint8_t> logical(static_cast<size_t>(bytes), 0);
        if (s.len != logical.size()) stats_.streams_resized++;
        memcpy(logical.data(), f.stream_data(i), std::min(s.len, logical.size()));
        if (!subchannel_encode(p, logical.data(), logical.size(), sub.coded) ||
            sub.coded.size() != sub.interleaved.size()) {
            stats_.streams_skipped++;
            continue;
        }
        sub.ti->push(sub.coded.data(), sub.interleaved.data());
        memcpy(msc_bits + static_cast<size_t>(p.start_cu) * CU_BITS, sub.interleaved.data(), sub.interleaved.size());
        for (int cu = p.start_cu; cu < p.start_cu + p.size_cu; cu++) used[static_cast<size_t>(cu)] = true;
        seen[static_cast<size_t>(p.subchid)] = true;
    }
    // a sub-channel that went away starts with empty delay lines if it comes back
    for (auto it = subs_.begin(); it != subs_.end();) {
        if (seen[static_cast<size_t>(it->first)])
            ++it;
        else
            it = subs_.erase(it);
    }
}

struct ofdm_modulator::plan {
    fftwf_complex *in = nullptr, *out = nullptr;
    fftwf_plan p = nullptr;
    plan() {
        in = fftwf_alloc_complex(OFDM_FFT_SIZE);
        out = fftwf_alloc_complex(OFDM_FFT_SIZE);
        // FFTW_ESTIMATE: the same algorithm every run, so the same seed gives the same bytes
        p = fftwf_plan_dft_1d(OFDM_FFT_SIZE, in, out, FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    ~plan() {
        fftwf_destroy_plan(p);
        fftwf_free(in);
        fftwf_free(out);
    }
    plan(const plan &) = delete;
    plan &operator=(const plan &) = delete;
};

ofdm_modulator::ofdm_modulator() : plan_(std::make_unique<plan>()) {}
ofdm_modulator::~ofdm_modulator() = default;

void ofdm_modulator::symbol(const std::array<cfloat, OFDM_CARRIERS> &carriers, cfloat *out) {
    // the inverse transform sums 1536 unit carriers: scaled to mean power 1
    const float scale = 1.0f / std::sqrt(static_cast<float>(OFDM_CARRIERS));
    auto *in = reinterpret_cast<cfloat *>(plan_->in);
    std::fill(in, in + OFDM_FFT_SIZE, cfloat{});
    for (int i = 0; i < OFDM_CARRIERS; i++) in[carrier_bin(carrier_of_index(i))] = carriers[static_cast<size_t>(i)] * scale;
    fftwf_execute(plan_->p);
    const auto *t = reinterpret_cast<const cfloat *>(plan_->out);
    std::copy(t + OFDM_FFT_SIZE - OFDM_GUARD, t + OFDM_FFT_SIZE, out);
    std::copy(t, t + OFDM_FFT_SIZE, out + OFDM_GUARD);
}

void ofdm_modulator::frame(const uint8_t *fic, const uint8_t *msc, cfloat *out) {
    std::fill(out, out + OFDM_NULL, cfloat{});
    cfloat *o = out + OFDM_NULL;
    phase_ = prs_carriers();
    symbol(phase_, o);
    o += OFDM_SYMBOL;
    for (int l = 0; l < OFDM_FIC_SYMBOLS + OFDM_MSC_SYMBOLS; l++) {
        const uint8_t *bits = l < OFDM_FIC_SYMBOLS ? fic + static_cast<size_t>(l) * OFDM_BITS
                                                   : msc + static_cast<size_t>(l - OFDM_FIC_SYMBOLS) * OFDM_BITS;
        map_symbol(bits, q_.data());
        for (size_t i = 0; i < phase_.size(); i++) phase_[i] *= q_[i];
        symbol(phase_, o);
        o += OFDM_SYMBOL;
    }
}

int modulator::feed(const eti_frame &f, std::vector<cfloat> &out) {
    if (!aligned_) {
        if (f.fct % CIFS_PER_FRAME != 0 && dropped_ < CIFS_PER_FRAME - 1) {
            dropped_++;
            return 0;
        }
        aligned_ = true;
    }
    cif_.encode(f, fic_.data() + static_cast<size_t>(cifs_) * fic_coded_bits,
                msc_.data() + static_cast<size_t>(cifs_) * CIF_BITS);
    if (++cifs_ < CIFS_PER_FRAME) return 0;
    cifs_ = 0;
    out.resize(OFDM_FRAME);
    ofdm_.frame(fic_.data(), msc_.data(), out.data());
    return 1;
}

}  // namespace dabmod
