#include "sdr/ofdm_demod.h"

struct ofdm_receiver::impl {};

ofdm_receiver::ofdm_receiver() : d(std::make_unique<impl>()) {}
ofdm_receiver::~ofdm_receiver() = default;
void ofdm_receiver::feed(const std::complex<float> *, size_t, const std::function<void(const sdr_frame &)> &) {}
void ofdm_receiver::reset() {}
bool ofdm_receiver::synced() const { return false; }
double ofdm_receiver::snr_db() const { return 0; }
double ofdm_receiver::freq_offset_hz() const { return 0; }
double ofdm_receiver::sample_rate_offset_ppm() const { return 0; }
