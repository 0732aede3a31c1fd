#pragma once
// A complex FFT of fixed size on fftw3f: buffers and plan made once, run many times.
#include <complex>

class fft {
public:
    fft(int n, bool inverse);
    ~fft();
    fft(const fft &) = delete;
    fft &operator=(const fft &) = delete;

    std::complex<float> *in() { return in_; }
    std::complex<float> *out() { return out_; }
    int size() const { return n_; }
    void run();  // out = unnormalised DFT of in

private:
    int n_;
    std::complex<float> *in_;
    std::complex<float> *out_;
    void *plan_;
};
