// MOT decoding of one service. For now data groups are checked and counted; objects are not
// yet assembled.

#include "mot/mot_dec.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "mot/crc.h"
#include "mot/msc_dg.h"

mot_state_t *mot_init(mot_dec_class *owner, int id, const char *path, const char *html_path) {
    auto *ms = static_cast<mot_state_t *>(calloc(1, sizeof(mot_state_t)));
    if (!ms) return nullptr;
    ms->msc_buf = msc_buffer_init();
    if (!ms->msc_buf) {
        free(ms);
        return nullptr;
    }
    ms->id = id;
    ms->owner = owner;
    copy_field(ms->path_prefix, path ? path : "");
    copy_field(ms->html_path, html_path ? html_path : "");
    return ms;
}

void mot_handle(mot_state_t *ms, int mode) {
    if (!ms || mode != 0) return;
    const msc_buf_t *b = ms->msc_buf;
    msc_dg_ses_hdr_t hdr;
    const int h = mot_get_msc_dg_ses_hdr(&hdr, b->buf, b->bl);
    // The segmentation header follows the session header.
    if (h < 0 || b->bl < h + 2 + (hdr.crcflag ? 2 : 0)) {
        ms->owner->stat_update_p(&ms->stat, MS_MOT_OTHER_ERRORS, 1);
        return;
    }
    ms->owner->stat_update_p(&ms->stat, MS_MOT_SEGMENTS, 1);
    if (hdr.crcflag) {
        const unsigned got = stored_crc(b->buf + b->bl - 2), want = calc_crc(b->buf, b->bl - 2);
        if (got != want) {
            ms->owner->e->l->log(LOG_WARN, "#%i: CRC error (expected %04x, got %04x) in MOT segment (%i)\n", ms->id,
                                 got, want, hdr.segnum);
            ms->owner->stat_update_p(&ms->stat, MS_MOT_CRC_ERRORS, 1);
        }
    }
}

void mot_free(mot_state_t *ms) {
    if (!ms) return;
    msc_buffer_free(ms->msc_buf);
    free(ms);
}

void mot_log(const mot_state_t *ms, int level, const char *fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    ms->owner->e->l->log(static_cast<loglevel_t>(level), "%s", line);
}

void mot_count(mot_state_t *ms, int type, uint64_t inc) { ms->owner->stat_update_p(&ms->stat, type, inc); }
