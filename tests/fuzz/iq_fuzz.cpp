// Complex baseband into the OFDM front end: either the input itself as 8-bit I/Q (as a stick
// delivers it), repeated to two frames, or a clean frame (and the next one's phase reference, which the search wants) with the input's damage
// (silenced, saturated, non-finite, scaled or turned runs of samples), fed in the input's chunks.

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "common/ofdm.h"
#include "fuzz/fuzz_env.h"
#include "sdr/fft.h"
#include "sdr/ofdm_demod.h"

using namespace dabcommon;
using cf = std::complex<float>;

namespace {

volatile unsigned sink;

const std::vector<cf> &clean_signal() {
    static const std::vector<cf> s = [] {
        std::vector<cf> out;
        fft ifft(OFDM_FFT_SIZE, true);
        std::mt19937 rng(1);
        std::vector<uint8_t> bits(OFDM_BITS);
        std::vector<cf> y(OFDM_CARRIERS);
        for (int f = 0; f < 2; f++) {
            out.insert(out.end(), OFDM_NULL, cf(0, 0));
            std::vector<cf> z(prs_carriers().begin(), prs_carriers().end());
            for (int l = 1; l <= OFDM_SYMBOLS; l++) {
                if (l > 1) {
                    for (auto &b : bits) b = rng() & 1;
                    map_symbol(bits.data(), y.data());
                    for (int i = 0; i < OFDM_CARRIERS; i++) z[i] *= y[i];
                }
                for (int n = 0; n < OFDM_FFT_SIZE; n++) ifft.in()[n] = 0;
                for (int i = 0; i < OFDM_CARRIERS; i++) ifft.in()[carrier_bin(carrier_of_index(i))] = z[i];
                ifft.run();
                const cf *t = ifft.out();
                for (int n = OFDM_FFT_SIZE - OFDM_GUARD; n < OFDM_FFT_SIZE; n++) out.push_back(t[n] * (1.0f / 64));
                for (int n = 0; n < OFDM_FFT_SIZE; n++) out.push_back(t[n] * (1.0f / 64));
            }
        }
        out.resize(OFDM_FRAME + OFDM_NULL + 2 * OFDM_SYMBOL);
        return out;
    }();
    return s;
}

}  // namespace

// The clean signal is made before the clock of the first input starts.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    clean_signal();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzenv::input in{data, size};
    uint8_t mode = in.byte();
    size_t chunk = 64 * (size_t{in.byte()} + 1) * (size_t{in.byte()} + 1);
    std::vector<cf> s;
    if (mode & 1) {
        s = fuzzenv::u8_samples(in, 2 * OFDM_FRAME + OFDM_NULL);
        if (s.empty()) return 0;
    } else {
        s = clean_signal();
        fuzzenv::damage_samples(s, in);
    }
    ofdm_receiver rx;
    for (size_t at = 0; at < s.size(); at += chunk)
        rx.feed(&s[at], std::min(chunk, s.size() - at), [](const sdr_frame &f) {
            sink += static_cast<unsigned>(f.fic[0] + f.msc[f.msc.size() - 1]);
        });
    sink += rx.synced();
    return 0;
}
