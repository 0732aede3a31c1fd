#include "sdr/fft.h"

#include <fftw3.h>

#include <mutex>
#include <new>

namespace {
// fftw's planner is not thread-safe; receivers of several devices may be built at once.
std::mutex planner_lock;
}  // namespace

fft::fft(int n, bool inverse) : n_(n) {
    std::lock_guard<std::mutex> lock(planner_lock);
    in_ = static_cast<std::complex<float> *>(fftwf_malloc(sizeof(std::complex<float>) * n));
    out_ = static_cast<std::complex<float> *>(fftwf_malloc(sizeof(std::complex<float>) * n));
    if (!in_ || !out_) {
        fftwf_free(in_);
        fftwf_free(out_);
        throw std::bad_alloc();
    }
    for (int i = 0; i < n; i++) in_[i] = out_[i] = 0;
    plan_ = fftwf_plan_dft_1d(n, reinterpret_cast<fftwf_complex *>(in_), reinterpret_cast<fftwf_complex *>(out_),
                              inverse ? FFTW_BACKWARD : FFTW_FORWARD, FFTW_ESTIMATE);
}

fft::~fft() {
    std::lock_guard<std::mutex> lock(planner_lock);
    fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
    fftwf_free(in_);
    fftwf_free(out_);
}

void fft::run() { fftwf_execute(static_cast<fftwf_plan>(plan_)); }
