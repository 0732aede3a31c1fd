#include "module/scanner.h"

#include <unistd.h>

#include <cstdio>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/fic.h"
#include "datapath/rdi.h"
#include "module/cleanup.h"
#include "module/dcsr.h"

namespace {

constexpr int poll_pause_ms = 400;
constexpr int acquire_ms = 3000;  // long enough for the FIC to carry the ensemble label
// Stream data that waited while the reader was paused can still belong to the ensemble found
// before: what arrives in this first part of the acquisition is read and then forgotten.
constexpr int drain_ms = 500;
constexpr int sync_full = 7;

// A broadcast label may carry control characters; one of them would split an ensemble file line.
void blank_controls(char *s) {
    for (; *s; s++)
        if (static_cast<unsigned char>(*s) < 0x20) *s = ' ';
}

}  // namespace

int scan_band_limits(int band, int &startfreq, int &stopfreq) {
    switch (band) {
        case 1:
            startfreq = dcsr::name_to_channel("5a");
            stopfreq = dcsr::name_to_channel("13f");
            return 1;
        case 2:
            startfreq = dcsr::name_to_channel("la");
            stopfreq = dcsr::name_to_channel("lw");
            return 1;
        default: return 0;
    }
}

scanner::scanner(ensemble *p) : e(p), m_percent(0), m_found() {}
scanner::~scanner() = default;

bool scanner::nap(int ms) const {
    for (; ms > 0 && !e->cfg->finished; ms -= 100) usleep(static_cast<useconds_t>(ms < 100 ? ms : 100) * 1000);
    return !e->cfg->finished;
}

bool scanner::acquire(int idx, int tune_freq, scan_report *report) {
    e->clean->force_reconfig();
    e->l->log(LOG_INFO, "Acquiring data...\n");
    // Without running threads (set-up only) nobody reads the stream: read it just for the acquisition.
    const bool own_reader = !e->rdi_stream->running && e->rdi_stream->start() == 1;
    if (!own_reader) e->rdi_stream->suspend(0);
    bool going_on = nap(drain_ms);
    e->fic_stream->clearall();
    going_on = going_on && nap(acquire_ms - drain_ms);

    // Filled here and added whole: a page reading the list never sees half an entry.
    ensemble_entry_t en{};
    e->fic_stream->get_ensemble_label(en.label);
    blank_controls(en.label);
    const int eid = e->fic_stream->get_ensemble_id();
    if (en.label[0])
        copy_field(m_found, en.label);
    else
        snprintf(m_found, sizeof m_found, "%04X", static_cast<unsigned>(eid) & 0xFFFF);
    const int khz = tune_freq * 16;
    en.freq = khz;

    char name[CHANNEL_NAME_SIZE];
    const bool named = dcsr::channel_to_name(name, khz) != 0;
    if (named)
        e->l->log(LOG_INFO, "scan_band: %s:%s\n", name, en.label);
    else
        e->l->log(LOG_INFO, "scan_band: %dKhz:%s\n", khz, en.label);
    if (report) report->ensemble_found(named ? name : "", khz, en.label);

    en.eid = eid;
    char shortlabel[17];
    e->fic_stream->get_ensemble_shortlabel(shortlabel);
    copy_field(en.shortlabel, shortlabel);
    blank_controls(en.shortlabel);
    if (e->cfg->add_ensemble(en) < 0)
        e->l->log(LOG_WARN, "scan_band: ensemble list full, entry %d not recorded\n", idx);

    if (own_reader)
        e->rdi_stream->stop();
    else
        e->rdi_stream->suspend(1);
    return going_on;
}

int scanner::scan_band(int band, scan_report *report) {
    m_percent = 0;
    m_found[0] = 0;
    int startfreq = 0, stopfreq = 0;
    if (!scan_band_limits(band, startfreq, stopfreq)) return 0;

    config *cfg = e->cfg;
    dcsr *d = e->d;
    d->start_search(startfreq, stopfreq, band);
    e->clean->force_reconfig();
    e->l->log(LOG_INFO, "scanning band %d: %dKhz-%dKhz\n", band, startfreq, stopfreq);
    if (report) report->band_started(startfreq, stopfreq);
    e->rdi_stream->suspend(1);
    // Pages re-reading the (older) ensemble file must not replace what this scan records.
    cfg->hold_list(true);

    int found = 0, currfreq = startfreq, lastfreq = 0;
    int idle_polls = 0, last_found = 0;
    if (startfreq < stopfreq && !cfg->finished) {
        do {
            if (!nap(poll_pause_ms)) break;
            d->idle();
            m_percent = (currfreq - startfreq) * 100 / (stopfreq - startfreq);
            d->get_dab_status();
            pnotification n = nullptr;
            d->get_notification(&n);
            if (!n) e->l->log(LOG_ERR, "shit...\n");

            const int before = currfreq;
            int doit = 0, tune_freq = 0, sync = 0;
            for (pnotification p = n; p; p = p->next) {
                if (p->type == _dab_status) {
                    const auto *st = static_cast<notify_dab_status *>(p);
                    lastfreq = currfreq;
                    currfreq = st->tune_freq * 16;
                    tune_freq = st->tune_freq;
                    sync = st->sync;
                    doit = 1;
                } else if (p->type == _search_for_ensemble) {
                    const auto *sr = static_cast<notify_search_for_ensemble *>(p);
                    char name[CHANNEL_NAME_SIZE];
                    if (dcsr::channel_to_name(name, sr->tune_freq * 16))
                        e->l->log(LOG_INFO, "scan_band: %s\n", name);
                    else
                        e->l->log(LOG_INFO, "scan_band: %dKhz\n", sr->tune_freq * 16);
                    lastfreq = currfreq;
                    currfreq = sr->tune_freq * 16;
                }
            }
            dcsr::dispose_list(n);

            // A status still showing the ensemble recorded last is no new find.
            if (doit && sync == sync_full && tune_freq * 16 > last_found) {
                const int idx = cfg->ensemble_count();
                if (idx >= MAX_ENSEMBLES) {
                    e->l->log(LOG_WARN, "scan_band: ensemble list full (%d entries), scan ended\n", MAX_ENSEMBLES);
                    break;
                }
                const bool going_on = acquire(idx, tune_freq, report);
                if (cfg->ensemble_count() <= idx) break;  // not recorded
                found++;
                last_found = tune_freq * 16;
                currfreq = dcsr::get_next_freq(tune_freq * 16);
                if (currfreq && going_on)
                    d->start_search(currfreq, stopfreq, band);
                else
                    currfreq = stopfreq;
                idle_polls = 0;
            } else if (currfreq == before) {
                // A module that rejected the search or stopped answering would keep the scan
                // (and the module lock) forever.
                if (++idle_polls >= stall_polls) {
                    e->l->log(LOG_ERR, "scan_band: no progress at %dKhz, scan of band %d abandoned\n", currfreq,
                              band);
                    break;
                }
            } else {
                idle_polls = 0;
            }
            e->l->log(LOG_INFO, "scan_band: %d %d %d %d %d\n", currfreq, stopfreq, lastfreq, doit, cfg->finished.load());
        } while (currfreq < stopfreq && !cfg->finished);
    }

    e->l->log(LOG_INFO, "finished scanning band %d: found %d ensembles\n", band, found);
    if (report) report->band_finished(found);
    cfg->hold_list(false);
    e->rdi_stream->suspend(0);
    return found;
}
