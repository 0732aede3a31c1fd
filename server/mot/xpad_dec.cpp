// X-PAD of one programme: PAD records in, sub-fields to the dynamic label and MOT decoders.

#include "mot/xpad_dec.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/dab_tables.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "mot/mot_callbacks.h"
#include "mot/mot_dec.h"
#include "mot/motmain.h"

namespace {

enum : int { APP_END = 0, APP_DGLI = 1, APP_DL_START = 2, APP_DL_CONT = 3, APP_MOT_START = 12, APP_MOT_CONT = 13 };
constexpr int APP_EXTENDED = 31;
constexpr int mot_group_max = MSC_BUF_SIZE - 1;

void clear_ci(xpad_state_t *xs) { memset(xs->xpci, 0, sizeof xs->xpci); }

// A data group still being collected is complete once the next one shows up.
void hand_over_pending(mot_state_t *ms) {
    if (ms->msc_buf->bl) mot_handle(ms, 0);
}

}  // namespace

xpad_state_t *init_xpad_mot(mot_dec_class *owner, int id, const char *path) {
    owner->e->l->log(LOG_DEBUG, "Init XPAD/MOT, #%i, path %s\n", id, path);
    auto *xs = static_cast<xpad_state_t *>(calloc(1, sizeof(xpad_state_t)));
    if (!xs) {
        owner->e->l->log(LOG_ERR, "Can\xB4t allocate XPAD memory!\n");
        return nullptr;
    }
    xs->owner = owner;
    copy_field(xs->path, path);
    xs->id = id;
    xs->num_ci = 0;
    dl_init(xs, id);
    const size_t n = strlen(xs->path);
    char content[sizeof xs->path + 16];
    snprintf(content, sizeof content, n && xs->path[n - 1] == '/' ? "%scontent" : "%s/content", xs->path);
    xs->ms = mot_init(owner, id, content, "content/");
    if (xs->ms) {
        mot_callback_init(xs->ms, &mot_default_callbacks);
        mot_output_root(xs->ms, xs->path);  // the label page beside content/ counts as well
    }
    xs->last_padlen = 0;
    return xs;
}

void xpad_free(xpad_state_t *xs) {
    if (!xs) return;
    mot_free(xs->ms);
    dl_free(xs);
    free(xs);
}

int xpad_continue_ci(xpad_state_t *xs) {
    if (xs->num_ci <= 0) {
        xs->num_ci = 0;
        return 0;
    }
    const int app = xs->xpci[xs->num_ci - 1][0] & 31;
    unsigned char cont;
    if (app == APP_MOT_START || app == APP_MOT_CONT)
        cont = APP_MOT_CONT;
    else if (app == APP_DL_START || app == APP_DL_CONT)
        cont = APP_DL_CONT;
    else {
        xs->num_ci = 0;
        return 0;
    }
    clear_ci(xs);
    xs->xpci[0][0] = cont;
    xs->num_ci = 1;
    return 1;
}

void xpad_dispatch(xpad_state_t *xs, const unsigned char *buf, int plen, int app_type) {
    mot_state_t *ms = xs->ms;
    msc_buf_t *mb = ms ? ms->msc_buf : nullptr;
    switch (app_type) {
        case APP_DGLI:
            if (!mb) break;
            hand_over_pending(ms);
            memcpy(mb->buf, buf, static_cast<size_t>(plen));
            mb->bl = plen;
            mot_handle(ms, 2);
            mb->bl = 0;
            break;
        case APP_DL_START: dl_decode(&xs->dls, buf, plen, 0); break;
        case APP_DL_CONT: dl_decode(&xs->dls, buf, plen, 1); break;
        case APP_MOT_START:
            if (!mb) break;
            hand_over_pending(ms);
            memcpy(mb->buf, buf, static_cast<size_t>(plen));
            mb->bl = plen;
            break;
        case APP_MOT_CONT:
            if (!mb || !mb->bl) break;
            if (mb->bl + plen <= mot_group_max) {
                memcpy(mb->buf + mb->bl, buf, static_cast<size_t>(plen));
                mb->bl += plen;
            } else {
                xs->owner->e->l->log(LOG_WARN, "xpad: MS Buffer Overflow, skipping MS Segment!!!\n");
                mot_handle(ms, 1);
                mb->bl = 0;
            }
            break;
        default: break;
    }
    if (xs->dls.ibuf_len) dl_decode(&xs->dls, nullptr, 0, 2);
}

void extract_xpad_new(const unsigned char *frame, int framelen, int, int, int, xpad_state_t *xs) {
    if (!frame || framelen < PAD_HEAD) return;
    if (framelen > PAD_RECORD_LIMIT) framelen = PAD_RECORD_LIMIT;
    const bool ci_flag = (frame[6] >> 1) & 1;
    const int indicator = (frame[7] >> 4) & 3;
    int pos = PAD_HEAD, used = 0;
    bool cont = false, short_xpad = false;
    if (indicator == 1) {
        short_xpad = true;
        if (ci_flag) {
            if (pos >= framelen) return;
            clear_ci(xs);
            xs->xpci[0][0] = frame[pos++];
            xs->num_ci = 1;
            used = 1;
        } else {
            cont = xpad_continue_ci(xs);
        }
    } else if (indicator == 2) {
        if (ci_flag) {
            clear_ci(xs);
            xs->num_ci = 0;
            while (xs->num_ci < 4 && pos < framelen) {
                const unsigned char c = frame[pos++];
                used++;
                if ((c & 31) == APP_END) break;
                xs->xpci[xs->num_ci][0] = c;
                if ((c & 31) == APP_EXTENDED) {
                    if (pos < framelen) {
                        xs->xpci[xs->num_ci][1] = frame[pos++];
                        used++;
                    }
                    // Its second place keeps a CI byte of 0, which ends the dispatching.
                    xs->num_ci += xs->num_ci < 3 ? 2 : 1;
                } else {
                    xs->num_ci++;
                }
            }
        } else {
            cont = xpad_continue_ci(xs);
        }
    } else {
        xs->num_ci = 0;
        xs->last_padlen = 0;
        return;
    }
    if (!xs->num_ci) {
        xs->last_padlen = used;
        return;
    }
    for (int i = 0; i < xs->num_ci; i++) {
        const int app = xs->xpci[i][0] & 31;
        if (app == APP_END) break;
        int len = cont ? xs->last_padlen : short_xpad ? 3 : dabcommon::xpad_lengths[xs->xpci[i][0] >> 5];
        // Lengths come from the air: a sub-field ends with the record at the latest.
        if (len > framelen - pos) len = framelen - pos;
        if (len <= 0) break;
        xs->owner->stat_update(xs->id, MS_PAD_BYTES, static_cast<uint64_t>(len));
        xpad_dispatch(xs, frame + pos, len, app);
        pos += len;
        used += len;
    }
    xs->last_padlen = used;
}
