// Read-only views of the decoder's states.

#include "mot/mot_query.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>

#include "core/plattform.h"
#include "mot/mot_dec.h"
#include "mot/motmain.h"
#include "mot/packet.h"
#include "mot/xpad_dec.h"

namespace {

// Called with config_lock held. A packet state set up for a subchannel the configuration also
// lists as audio is no X-PAD state.
xpad_state_t *pad_state(mot_dec_class &m, int subch) {
    if (subch < 0 || subch >= MOT_SUBCHANNELS) return nullptr;
    const mot_subchannel_t &sc = m.subchannels[subch];
    if (sc.type != 1 || !sc.state || sc.state == m.ps[subch]) return nullptr;
    return static_cast<xpad_state_t *>(sc.state);
}

bool join_path(char *out, size_t size, const char *dir, const char *name) {
    const size_t n = strlen(dir);
    const int w = snprintf(out, size, n && dir[n - 1] == '/' ? "%s%s" : "%s/%s", dir, name);
    if (w < 0 || static_cast<size_t>(w) >= size) {
        if (size) out[0] = 0;
        return false;
    }
    return true;
}

}  // namespace

bool mot_pad_now(mot_dec_class &m, int subch, pad_now_t *out) {
    *out = pad_now_t();
    mutex_guard g(&m.config_lock);
    xpad_state_t *xs = pad_state(m, subch);
    if (!xs) return false;
    dynamic_label_t d;
    if (dl_get(xs, 0, &d)) {
        copy_field(out->label, d.dl_text);
        out->label_time = d.timestamp;
    }
    char slide[257];
    time_t when = 0;
    if (xs->ms && mot_find_slideshow(xs->ms, slide, sizeof slide, &when) &&
        join_path(out->slide, sizeof out->slide, xs->ms->path_prefix, slide))
        out->slide_time = when;
    return true;
}

bool mot_label_now(mot_dec_class &m, int subch, char *text, size_t size, time_t *when) {
    if (size) text[0] = 0;
    // Asked from a stream loop, which must never wait: the menu writer may hold the lock while
    // it writes a file. The caller asks again soon.
    if (pthread_mutex_trylock(&m.config_lock) != 0) return false;
    xpad_state_t *xs = pad_state(m, subch);
    dynamic_label_t d;
    const bool found = xs && dl_get(xs, 0, &d);
    pthread_mutex_unlock(&m.config_lock);
    if (!found) return false;
    copy_field(text, size, d.dl_text);
    if (when) *when = d.timestamp;
    return true;
}

bool mot_website_file(mot_dec_class &m, uint32_t sid, char *out, size_t size) {
    if (size) out[0] = 0;
    mutex_guard g(&m.config_lock);
    for (int n = 0; n < MOT_SUBCHANNELS; n++) {
        // Only a packet state its thread has not released yet.
        void *s = m.subchannels[n].state;
        if (!s || s != m.ps[n]) continue;
        packet_state_t *p = m.ps[n];
        const int count = p->num_psc < 0 ? 0 : p->num_psc < PACKET_SLOTS ? p->num_psc : PACKET_SLOTS;
        for (int i = 0; i < count; i++) {
            const p_service_component_t &c = p->psc[i];
            if (static_cast<uint32_t>(c.sid) != sid || !c.state || !c.handlers ||
                c.handlers->msc_dg_handler != ps_mot_handle)
                continue;
            auto *ms = static_cast<mot_state_t *>(c.state);
            const size_t base = strlen(ms->html_path);
            for (int k = 0; k < MOT_LABELS; k++) {
                mot_label_t l;
                if (!mot_find_label(ms, &l, k) || strcmp(l.label, "Broadcast Website") != 0) continue;
                // The label's link is relative to the ensemble's menu; the file lies below the
                // service's own directory.
                if (strncmp(l.base_path, ms->html_path, base) != 0 || !l.base_path[base]) continue;
                if (join_path(out, size, ms->path_prefix, l.base_path + base)) return true;
            }
        }
    }
    return false;
}
