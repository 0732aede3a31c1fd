#pragma once
// Reconfiguration watcher: tunes at start, follows the module's status, recovers from a
// lost signal or an announced reconfiguration, and does the periodic housekeeping
// (service table rebuild, FIG ageing, driver overruns).

#include <pthread.h>

#include <atomic>
#include <ctime>

#include "module/dcsr.h"

typedef struct dab_subchannel_s dab_subchannel_t;

class ensemble;

// Signal judgement: good while in sync within the last 21 s and the error counts are low.
bool signal_good(time_t now, time_t last_good_signal, int packet_errors, int other_errors, int ber_fic);
// Housekeeping runs every 3 s, and on every poll while no ensemble is identified.
bool housekeeping_due(int eid, time_t now, time_t last_housekeeping);

class cleanup {
public:
    explicit cleanup(ensemble *p);
    ~cleanup();
    cleanup(const cleanup &) = delete;
    cleanup &operator=(const cleanup &) = delete;

    int start();
    int stop();
    void force_reconfig();
    // Puts the subchannels of the service table into the RDI stream and, in sync, their
    // names on the module's display.
    void route_table(const dab_subchannel_t *t);
    void thread(void *);

    // State kept by the watcher thread between polls.
    struct poll_state {
        notify_dab_status ds;
        time_t display_at = 0;  // when the programme name is to be shown; 0 = nothing pending
        time_t last_housekeeping = 0;
    };
    // One pass of the watcher loop after its pause; public for tests.
    void poll(poll_state &st);

    ensemble *e;
    pthread_t cleanup_thread;
    std::atomic<time_t> last_good_signal;

private:
    bool stopping() const;
    // Sleeps ms milliseconds or until the server stops; false when stopping.
    bool nap(int ms) const;
    void route_audio(poll_state &st);
    void recover(poll_state &st, time_t now);
    void housekeeping(poll_state &st, time_t now);

    bool started_;
    std::atomic<bool> stop_req_;
    std::atomic<bool> ended_;
};
