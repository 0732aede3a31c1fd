#pragma once
// OFDM front end of the software receiver (DAB mode I): synchronisation, FFT, differential
// demodulation and frequency deinterleaving, from complex baseband to soft bits.
#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

// One transmission frame. Soft bits: positive means 1, negative 0, magnitude the confidence;
// per symbol in the order the transmitter fed its QPSK mapping.
struct sdr_frame {
    std::array<int8_t, 3 * 3072> fic;
    std::array<int8_t, 72 * 3072> msc;
    double snr_db = 0;  // carrier power over the null symbol's noise, in the carriers' 1.536 MHz
    double freq_offset_hz = 0;  // positive: the signal came in above the tuned frequency
};

// Push-based, one per device, used from one thread.
class ofdm_receiver {
public:
    ofdm_receiver();
    ~ofdm_receiver();
    ofdm_receiver(const ofdm_receiver &) = delete;
    ofdm_receiver &operator=(const ofdm_receiver &) = delete;

    // Complex samples at 2.048 Msps; calls out for every frame it demodulated (out must not feed
    // this receiver again). Non-finite or absurd components count as 0.
    void feed(const std::complex<float> *s, size_t n, const std::function<void(const sdr_frame &)> &out);
    // Forgets the signal (after a retune): searches for the null symbol again.
    void reset();

    bool synced() const;  // a frame's phase reference found where it was expected
    double snr_db() const;
    double freq_offset_hz() const;
    double sample_rate_offset_ppm() const;

private:
    struct impl;
    std::unique_ptr<impl> d;
};
