#pragma once
// The software receiver as the virtual module's antenna: samples from an IQ source through
// the OFDM front end and channel decoding into one ETI frame per CIF, built as a multiplexer
// would, so that the module checks them like any other ETI input.

#include <bitset>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sdr/iq_source.h"
#include "sim/simsource.h"

class sdr_source : public sim_source {
public:
    // Opens the input and starts the receiver; nullptr (errno set, the reason logged) when
    // the input cannot be opened.
    static std::unique_ptr<sdr_source> open(const sdr_options &o);
    // Takes an input already opened (tests).
    sdr_source(std::unique_ptr<iq_source> in, const std::string &what);
    ~sdr_source() override;
    sdr_source(const sdr_source &) = delete;
    sdr_source &operator=(const sdr_source &) = delete;

    // A recording plays whatever frequency is asked: true once synchronised with a good FIB.
    // A receiver is tuned there and given up to the scan time to find both.
    bool has_ensemble(int khz) const override;
    void tune(int khz) override;
    int next(dabcommon::eti_frame &f, int timeout_ms) override;
    bool live() const override { return live_; }
    bool unplugged() const override;
    uint64_t skipped_bytes() const override { return 0; }
    void set_routed(const std::bitset<64> &routed) override;

    // Carrier power over noise of the last frame, dB; 0 without signal.
    double snr_db() const;
    void stats(dabcommon::source_stats &s) const override;
    // ETI frames (CIFs) made and dropped because nobody took them in time (live input).
    uint64_t frames_made() const;
    uint64_t frames_dropped() const;

private:
    struct decoder_state;
    void run();
    void retune_now(int khz);
    void lose_signal();

    std::unique_ptr<iq_source> in_;
    const std::string what_;
    const bool live_;
    std::unique_ptr<decoder_state> d_;  // worker thread only

    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    bool stop_ = false;
    bool ended_ = false;
    bool synced_ = false;
    bool good_fib_ = false;   // a FIB with a good CRC since synchronisation
    int khz_ = 0;             // where the tuner is
    mutable int want_khz_ = 0;  // where it is to go, applied by the worker
    uint64_t samples_since_tune_ = 0;
    uint64_t tune_count_ = 0;
    std::bitset<64> routed_;
    std::deque<std::unique_ptr<dabcommon::eti_frame>> queue_;
    double snr_ = 0;
    uint64_t made_ = 0, dropped_ = 0;
    std::thread worker_;
};

// A source for the virtual module from a receiver device name; nullptr (errno set) when
// the name is none or the input cannot be opened.
std::unique_ptr<sim_source> make_sdr_source(const sdr_options &o);
