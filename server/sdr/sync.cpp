#include "sdr/sync.h"

#include <cmath>

#include "common/ofdm.h"
#include "sdr/fft.h"

using namespace dabcommon;

namespace sdr_sync {

null_result find_null(const std::complex<float> *s, size_t n) {
    null_result r;
    if (n < static_cast<size_t>(OFDM_NULL)) return r;
    double total = 0, window = 0;
    for (size_t i = 0; i < n; i++) total += std::norm(s[i]);
    for (int i = 0; i < OFDM_NULL; i++) window += std::norm(s[i]);
    double best = window;
    size_t best_at = 0;
    for (size_t i = 1; i + OFDM_NULL <= n; i++) {
        window += std::norm(s[i + OFDM_NULL - 1]) - std::norm(s[i - 1]);
        if (window < best) {
            best = window;
            best_at = i;
        }
    }
    r.start = best_at;
    double mean = total / static_cast<double>(n);
    if (mean > 0) r.depth = std::max(0.0, best / OFDM_NULL) / mean;
    return r;
}

std::complex<double> cp_correlation(const std::complex<float> *sym) {
    std::complex<double> c = 0;
    for (int i = OFDM_GUARD / 4; i < OFDM_GUARD; i++)
        c += std::complex<double>(std::conj(sym[i]) * sym[i + OFDM_FFT_SIZE]);
    return c;
}

double cp_frequency(std::complex<double> c) {
    // One useful part's length of rotation: 2048 samples are 1 ms, so the angle is 2 pi f / 1 kHz.
    return std::arg(c) / (2 * M_PI) * OFDM_SAMPLE_RATE / OFDM_FFT_SIZE;
}

int coarse_frequency(const std::complex<float> *spectrum, int max_offset, double *quality) {
    const auto &prs = prs_carriers();
    int best_d = 0;
    double best = -1, sum = 0;
    for (int d = -max_offset; d <= max_offset; d++) {
        std::complex<double> acc = 0;
        for (int i = 0; i + 1 < OFDM_CARRIERS; i++) {
            if (i == OFDM_KMAX - 1) continue;  // no carrier 0 between k = -1 and k = 1
            int b0 = (carrier_of_index(i) + d) & (OFDM_FFT_SIZE - 1);
            int b1 = (carrier_of_index(i + 1) + d) & (OFDM_FFT_SIZE - 1);
            std::complex<float> want = prs[i] * std::conj(prs[i + 1]);
            acc += std::complex<double>(spectrum[b0] * std::conj(spectrum[b1]) * std::conj(want));
        }
        double m = std::abs(acc);
        sum += m;
        if (m > best) {
            best = m;
            best_d = d;
        }
    }
    if (quality) {
        double mean = sum / (2 * max_offset + 1);
        *quality = mean > 0 ? best / mean : 0;
    }
    return best_d;
}

timing_result prs_timing(const std::complex<float> *spectrum, fft &ifft) {
    const auto &prs = prs_carriers();
    std::complex<float> *h = ifft.in();
    for (int b = 0; b < OFDM_FFT_SIZE; b++) h[b] = 0;
    for (int i = 0; i < OFDM_CARRIERS; i++) {
        int b = carrier_bin(carrier_of_index(i));
        h[b] = spectrum[b] * std::conj(prs[i]);
    }
    ifft.run();
    const std::complex<float> *ir = ifft.out();
    double total = 0, best = -1;
    int peak = 0;
    for (int n = 0; n < OFDM_FFT_SIZE; n++) {
        double p = std::norm(ir[n]);
        total += p;
        if (p > best) {
            best = p;
            peak = n;
        }
    }
    timing_result r;
    double mean = total / OFDM_FFT_SIZE;
    r.peak = mean > 0 ? best / mean : 0;
    // The window follows the earliest path within a guard before the strongest: following a
    // stronger late echo would put the early path's next symbol into the window. A path is
    // 10 dB below the strongest at most and well above what noise reaches in 504 bins; the
    // strongest path's own main lobe (1536 of 2048 bins: some 3 samples wide) is no other path.
    int first = peak;
    for (int back = OFDM_GUARD; back >= 4; back--) {
        int n = (peak - back + OFDM_FFT_SIZE) % OFDM_FFT_SIZE;
        double p = std::norm(ir[n]);
        if (p >= 0.1 * best && p >= 15 * mean) {
            first = n;
            break;
        }
    }
    // A path starting e samples after the window's first sample appears at e (modulo 2048).
    int e = first > OFDM_FFT_SIZE / 2 ? first - OFDM_FFT_SIZE : first;
    if (first != peak) {
        r.offset = e;  // the phase slope below would average the paths
        return r;
    }
    // Carrier k of such a path turns by -2 pi k e / 2048: with the whole samples taken off, the
    // turn between neighbours gives the rest.
    std::complex<double> slope = 0;
    for (int i = 0; i + 1 < OFDM_CARRIERS; i++) {
        if (i == OFDM_KMAX - 1) continue;
        std::complex<double> a(h[carrier_bin(carrier_of_index(i))]);
        std::complex<double> b(h[carrier_bin(carrier_of_index(i + 1))]);
        slope += b * std::conj(a);
    }
    double frac = -std::arg(slope * std::polar(1.0, 2 * M_PI * e / OFDM_FFT_SIZE)) * OFDM_FFT_SIZE / (2 * M_PI);
    r.offset = e + (std::fabs(frac) < 1 ? frac : 0);
    return r;
}

}  // namespace sdr_sync
