#include "module/cleanup.h"

#include <unistd.h>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "datapath/ringbuff.h"
#include "httpd/httpd.h"
#include "module/dabapi.h"

namespace {

constexpr int poll_pause_ms = 250;
constexpr int signal_timeout_s = 21;
constexpr int max_packet_errors = 7000;
constexpr int housekeeping_interval_s = 3;
constexpr int display_delay_s = 6;

void *thread_wrapper(void *p) {
    static_cast<cleanup *>(p)->thread(nullptr);
    return nullptr;
}

}  // namespace

bool signal_good(time_t now, time_t last_good_signal, int packet_errors, int other_errors, int ber_fic) {
    // A poor FIC bit error rate tolerates more errors before the data is thrown away.
    const int max_other = ber_fic > 2 ? 25 : 10;
    return now - last_good_signal < signal_timeout_s && packet_errors <= max_packet_errors &&
           other_errors <= max_other;
}

bool housekeeping_due(int eid, time_t now, time_t last_housekeeping) {
    return eid == 0 || now - last_housekeeping >= housekeeping_interval_s;
}

cleanup::cleanup(ensemble *p)
    : e(p), cleanup_thread(), last_good_signal(0), started_(false), stop_req_(false), ended_(false) {}

cleanup::~cleanup() { stop(); }

int cleanup::start() {
    if (started_) return 1;
    stop_req_ = false;
    ended_ = false;
    // Joinable, so that stop() can wait until the thread has let go of the module lock.
    if (thread_create(&cleanup_thread, thread_wrapper, this, 0) != 0) return 0;
    started_ = true;
    return 1;
}

int cleanup::stop() {
    if (!started_) return 1;
    stop_req_ = true;
    // Every wait in the thread polls the stop flags and module commands end by time-out: the
    // thread ends by itself. Cancelling it could leave the module lock held.
    pthread_join(cleanup_thread, nullptr);
    started_ = false;
    return 1;
}

bool cleanup::stopping() const { return stop_req_ || e->cfg->finished; }

bool cleanup::nap(int ms) const {
    while (ms > 0 && !stopping()) {
        const int step = ms < 50 ? ms : 50;
        usleep(static_cast<useconds_t>(step) * 1000);
        ms -= step;
    }
    return !stopping();
}

void cleanup::force_reconfig() {
    e->fic_stream->clearall();
    e->msc_stream->clear_tables();
    for (int i = 0; i < MAX_SUBCHANNELS; i++) e->rbuff->set_disc_pending(i);
    last_good_signal = time(nullptr);
    e->l->log(LOG_WARN, "Force reconfiguration\n");
}

// Routes the configured audio subchannel to the module's output; module lock held.
void cleanup::route_audio(poll_state &st) {
    const int audiosubchid = e->cfg->audiosubchid;
    if (audiosubchid == -1) return;
    e->d->route_audio(audiosubchid);
    st.display_at = time(nullptr);
}

// Lost signal or too many errors: forget the ensemble and start over; module lock held.
void cleanup::recover(poll_state &st, time_t now) {
    msc *m = e->msc_stream;
    const time_t last = last_good_signal;
    e->l->log(LOG_CRIT, "now %i last %i delta %i other %i packet %i\n", static_cast<int>(now), static_cast<int>(last),
              static_cast<int>(now - last), m->other_errors.load(), m->packet_errors.load());
    last_good_signal = now;
    m->packet_errors = 0;
    m->other_errors = 0;
    force_reconfig();
    const int tunefreq = e->cfg->tunefreq;
    if (tunefreq > -1) {
        e->l->log(LOG_CRIT, "Re-tuning to: %dKhz\n", tunefreq);
        if (!e->d->tune(tunefreq)) e->l->log(LOG_WARN, "nothing tuned (%d)!\n", tunefreq);
        nap(3000);
    }
    route_audio(st);
    nap(2000);
}

void cleanup::route_table(const dab_subchannel_t *t) {
    module_lock ml(e->api);
    for (int sub = 0; sub < MAX_SUBCHANNELS; sub++) {
        if (t[sub].framesize == 0) continue;
        e->l->log(LOG_DEBUG, "select_subchannel: %d\n", sub);
        e->d->route_rdi(sub);
    }
    // Names for the module's display, only while the receiver is in sync.
    if (time(nullptr) - last_good_signal.load() > 4) return;
    char label[32] = {};
    e->fic_stream->get_ensemble_label(label);
    e->api->download_name(0, 255, label);
    for (int i = 0; i < 16; i++) e->api->download_name(i, 0, "");
    int named = 0;
    for (int i = 0; i < MAX_SUBCHANNELS && named < 16; i++)
        if (t[i].framesize != 0 && t[i].prot_level != 0 && t[i].tmid == 0) e->api->download_name(named++, i, t[i].label);
    const char s[2] = {static_cast<char>(named), 0};
    e->api->download_name(0, 254, s);
}

void cleanup::housekeeping(poll_state &st, time_t now) {
    e->st->rdicnt_ovr = static_cast<unsigned int>(e->api->get_overruns());
    dabcommon::source_stats src;
    if (!e->api->get_source_stats(src)) src = dabcommon::source_stats{};
    e->st->set_source(src);
    e->msc_stream->get_subch_info([this](const dab_subchannel_t *t) { route_table(t); });
    const int k = e->fic_stream->collect_garbage();
    if (k) e->l->log(LOG_INFO, "cleanup: collected %d elements as garbage.\n", k);
    st.last_housekeeping = now;
    e->http->check_thread_terminated();
}

void cleanup::poll(poll_state &st) {
    time_t now = time(nullptr);
    if (e->cfg->emulate) {
        // No module: show a perfect signal and never recover.
        e->d->ds.sync = 7;
        e->d->ds.ber_fic = 2;
    } else {
        if (e->api->get_removed()) {
            e->set_finished(1);
            return;
        }
        if (st.display_at && now - st.display_at > display_delay_s) {
            module_lock ml(e->api);
            e->api->display_name(e->cfg->audiosubchid);
            st.display_at = 0;
        }
        {
            module_lock ml(e->api);
            // A status that carries no reason must not repeat the last announcement.
            st.ds.notify_reason = 0;
            if (e->d->get_dab_status(st.ds, 1) && (st.ds.notify_reason == 4 || st.ds.notify_reason == 5)) {
                force_reconfig();
                e->l->log(LOG_INFO, "auto notification received\n");
            }
            if (st.ds.ber_fic == 7) {
                nap(100);
                e->d->get_dab_status(st.ds, 1);
            }
            now = time(nullptr);
            msc *m = e->msc_stream;
            if (!signal_good(now, last_good_signal, m->packet_errors, m->other_errors, st.ds.ber_fic))
                recover(st, now);
        }
        // A module that stopped answering leaves its last status behind: that is no signal.
        if (st.ds.ber_fic != 7 && (st.ds.sync & 7) == 7) last_good_signal = time(nullptr);
    }
    now = time(nullptr);
    if (!stopping() && housekeeping_due(e->msc_stream->eid, now, st.last_housekeeping)) housekeeping(st, now);
}

void cleanup::thread(void *) {
    e->l->log(LOG_INFO, "cleanup: background task started\n");
    last_good_signal = 0;
    e->msc_stream->packet_errors = 0;
    e->msc_stream->other_errors = 0;
    poll_state st;
    {
        module_lock ml(e->api);
        const int tunefreq = e->cfg->tunefreq;
        if (tunefreq > -1) {
            e->l->log(LOG_CRIT, "Tuning to: %dKhz\n", tunefreq);
            if (!e->d->tune(tunefreq)) e->l->log(LOG_WARN, "nothing tuned (%d)!\n", tunefreq);
            nap(1000);
        }
        e->api->usb_set_prog(1, 0);
        nap(500);
        route_audio(st);
    }
    last_good_signal = time(nullptr);
    while (nap(poll_pause_ms)) poll(st);
    e->l->log(LOG_INFO, "cleanup: background task stopped\n");
    ended_ = true;
}
