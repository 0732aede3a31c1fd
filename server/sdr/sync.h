#pragma once
// Synchronisation of the OFDM front end (DAB mode I): where the frame starts, how far off the
// carrier and the sample clock are. Pure functions on sample and spectrum buffers.
#include <complex>
#include <cstddef>

class fft;

namespace sdr_sync {

struct null_result {
    size_t start = 0;    // first sample of the quietest window of a null symbol's length
    double depth = 1.0;  // its mean power over the mean power of the whole search (1 = no dip)
};

// The null symbol: the window of 2656 samples with the least energy among those starting in
// s[0 .. n - 2656]. n >= 2656.
null_result find_null(const std::complex<float> *s, size_t n);

// Cyclic prefix correlation of one symbol (guard and useful part, 2552 samples from sym):
// sum of conj(x[i]) x[i + 2048] over the later part of the guard, whose angle is the carrier
// offset modulo 1 kHz. The earlier part of the guard is left out: echoes smear into it.
std::complex<double> cp_correlation(const std::complex<float> *sym);

// Frequency offset in Hz (-500..500) from a sum of cp_correlation.
double cp_frequency(std::complex<double> c);

// Integer carrier offset (-max..max) of a phase reference symbol's spectrum (2048 bins, fine
// offset removed): the shift at which the products of neighbouring carriers match the known
// symbol's. Those products do not depend on where in the guard the window started.
int coarse_frequency(const std::complex<float> *spectrum, int max_offset, double *quality = nullptr);

struct timing_result {
    double offset = 0;  // samples from the window's first sample to the useful part's start
    double peak = 0;    // impulse response peak power over its mean (about 1 to 10 for noise)
};

// Timing from the phase reference symbol: the channel's impulse response (spectrum times the
// known symbol's conjugate, inverse FFT, ifft of size 2048) and its earliest strong path; a
// single path refined below a sample by the phase slope across the carriers.
timing_result prs_timing(const std::complex<float> *spectrum, fft &ifft);

}  // namespace sdr_sync
