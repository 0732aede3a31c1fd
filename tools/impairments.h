#pragma once
// Channel and receiver impairments for test signals: a second propagation path, a sample-rate
// offset, a carrier frequency offset and white Gaussian noise, applied in that order to a
// continuous stream of complex baseband samples. Deterministic for a seed.
#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace dabmod {

using cfloat = std::complex<float>;

struct impairment_params {
    double sample_rate = 2048000;
    double signal_power = 1;  // mean power of the input outside null symbols
    bool noise = false;
    double snr_db = 0;        // relative to the signal power reaching the receiver
    double cfo_hz = 0;
    double sro_ppm = 0;       // positive: the receiver's clock is fast, more samples
    bool multipath = false;
    double path2_delay_us = 0;
    double path2_gain_db = 0;  // relative to the direct path
    uint64_t seed = 1;
};

// Checks the values a user gave (ranges that keep the stages meaningful); "" when fine.
const char *impairment_params_error(const impairment_params &p);

// Windowed-sinc interpolation (32 taps, Blackman window): passes the 1536 carriers of mode I
// (up to 0.375 of the sample rate) and stops their images from 0.625 on.
class sinc_interpolator {
public:
    static constexpr int taps = 32;
    static constexpr int half = taps / 2;
    static constexpr int phases = 1024;
    sinc_interpolator();
    // The value at x[i + frac] (0 <= frac < 1) from x[i - half + 1] .. x[i + half].
    cfloat at(const cfloat *x, double frac) const;

private:
    std::vector<float> coef_;  // phases + 1 rows of taps
};

// Gaussian pairs from a 64-bit Mersenne Twister by Box-Muller: the same numbers with every
// standard library, unlike std::normal_distribution.
class gaussian_source {
public:
    explicit gaussian_source(uint64_t seed) : rng_(seed) {}
    // Complex value with E|z|^2 = power.
    cfloat complex(double power);

private:
    double uniform();  // (0, 1]
    std::mt19937_64 rng_;
};

class impairments {
public:
    explicit impairments(const impairment_params &p);

    // Processes the next n samples of the stream and appends the result to out. With a
    // sample-rate offset the count differs from n; a second path delays everything by
    // sinc_interpolator::half samples so that it needs no samples from the future.
    void process(const cfloat *in, size_t n, std::vector<cfloat> &out);

    // Noise power per complex sample (0 without noise).
    double noise_power() const { return noise_power_; }
    // Latency in samples added by the stages (the second path's alignment).
    int delay() const { return p_.multipath ? sinc_interpolator::half : 0; }

private:
    void multipath(const cfloat *in, size_t n, std::vector<cfloat> &out);
    void resample(const cfloat *in, size_t n, std::vector<cfloat> &out);

    impairment_params p_;
    sinc_interpolator sinc_;
    gaussian_source gauss_;
    double noise_power_ = 0;
    // second path
    float path2_gain_ = 0;
    size_t path2_int_ = 0;     // whole samples of its delay beyond the alignment
    double path2_frac_ = 0;
    std::vector<cfloat> mp_hist_;  // last input samples, oldest first
    // sample-rate offset
    double step_ = 1;             // input samples per output sample
    std::vector<cfloat> rs_buf_;  // input not yet consumed, with history
    uint64_t rs_out_ = 0;         // output samples produced
    uint64_t rs_dropped_ = 0;     // input samples dropped from the front of rs_buf_
    // frequency offset
    double phase_ = 0, phase_step_ = 0;
    std::vector<cfloat> tmp_, tmp2_;
};

}  // namespace dabmod
