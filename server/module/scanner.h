#pragma once
// Band scanner: lets the module search a band and records every ensemble it
// synchronises on (frequency, label, short label, identifier) in the ensemble list.

#include <atomic>

class ensemble;

// What a scan tells whoever shows its progress (the setup page); every call may be ignored.
class scan_report {
public:
    virtual ~scan_report() = default;
    virtual void band_started(int startfreq_khz, int stopfreq_khz) = 0;
    // channel is empty when the frequency has no channel name.
    virtual void ensemble_found(const char *channel, int khz, const char *label) = 0;
    virtual void band_finished(int found) = 0;
};

// Start and stop frequency (kHz) of band 1 (Band III) or 2 (L-band); 0 for any other band.
int scan_band_limits(int band, int &startfreq, int &stopfreq);

class scanner {
public:
    explicit scanner(ensemble *p);
    ~scanner();
    scanner(const scanner &) = delete;
    scanner &operator=(const scanner &) = delete;

    // Scans one band, telling report (may be null) how it goes. Returns the number of
    // ensembles recorded. The caller holds the module lock.
    int scan_band(int band, scan_report *report);

    ensemble *e;
    std::atomic<int> m_percent;  // progress of the running band scan
    char m_found[20];            // label (or identifier) of the last ensemble found

    // Polls without any search progress after which the module counts as stuck (30 s).
    int stall_polls = 75;

private:
    // Records the ensemble the module is synchronised on as entry idx; false when stopping.
    bool acquire(int idx, int tune_freq, scan_report *report);
    // Sleeps ms milliseconds or until the server stops; false when stopping.
    bool nap(int ms) const;
};
