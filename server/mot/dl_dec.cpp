// Dynamic labels of one programme: segments in, the ring of the last new labels out, and the
// programme's PAD page.

#include "mot/dl_dec.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "httpd/util.h"
#include "mot/crc.h"
#include "mot/mot_dec.h"
#include "mot/motmain.h"
#include "mot/util2.h"
#include "mot/xpad_dec.h"

namespace {

// A message segment: 2 header bytes, up to 16 characters, the CRC.
constexpr unsigned segment_head_max = 20;
constexpr unsigned pending_max = 24;
constexpr int label_append_max = 112;

void dl_count(const dynamic_label_state_t *dls, int type, uint64_t inc = 1) {
    dls->owner->stat_update(dls->id, type, inc);
}

bool is_command(const unsigned char *b) { return (b[0] >> 4) & 1; }

// Bytes the segment starting at b occupies, CRC included.
unsigned segment_size(const unsigned char *b) { return is_command(b) ? 4 : (b[0] & 15) + 5u; }

void append_chars(dynamic_label_state_t *dls, const unsigned char *chars, int n) {
    memcpy(dls->text + dls->len, chars, static_cast<size_t>(n));
    dls->len += n;
    dls->text[dls->len] = 0;
}

void label_complete(dynamic_label_state_t *dls, int seg_toggle) {
    dl_count(dls, MS_DL_LABELS);
    dl_count(dls, MS_DL_BYTES, static_cast<uint64_t>(dls->len));
    const bool is_new = dls->toggle != dls->toggle_seg0 ||
                        (strcmp(dls->text, dls->last_text) != 0 && seg_toggle == dls->toggle);
    if (!is_new) return;
    dl_count(dls, MS_DL_UNIQUE);
    copy_field(dls->last_text, dls->text);
    dls->last_len = dls->len;
    dls->changed = 1;
    dl_rb_insert(dls);
    dls->toggle = dls->toggle_seg0;
    if (dls->out_handler) dls->out_handler(dls, dls->user_data);
}

// Local time as ctime gives it, line end included.
const char *time_text(time_t t, char (&buf)[32]) {
    if (!ctime_r(&t, buf)) copy_field(buf, "?\n");
    return buf;
}

}  // namespace

void dl_init(xpad_state_t *xs, int id) {
    dynamic_label_state_t *dls = &xs->dls;
    dls->changed = 0;
    dls->id = id;
    dls->toggle = -1;
    dls->toggle_seg0 = 0;
    dls->len = 0;
    dls->last_len = 0;
    dls->last_seg = -1;
    dls->text[0] = dls->last_text[0] = 0;
    dls->ibuf_len = 0;
    for (auto &d : dls->dl) d = dynamic_label_t();
    thread_mutex_init(&dls->dl_lock);
    dls->rb = 0;
    dls->out_handler = nullptr;
    dls->owner = xs->owner;
}

void dl_free(xpad_state_t *xs) { thread_mutex_destroy(&xs->dls.dl_lock); }

void dl_reset(dynamic_label_state_t *dls) {
    dls->last_seg = -1;
    dls->len = 0;
    dls->text[0] = 0;
    dls->ibuf_len = 0;
}

void dl_decode(dynamic_label_state_t *dls, const unsigned char *buf, int len, int cont) {
    if (len < 0) len = 0;
    const unsigned n = static_cast<unsigned>(len);
    if (cont == 0) {
        if (dls->ibuf_len)
            dl_extract(dls, reinterpret_cast<unsigned char *>(dls->ibuf), static_cast<int>(dls->ibuf_len));
        // No segment is longer: the rest of a large sub-field is padding.
        dls->ibuf_len = n < segment_head_max ? n : segment_head_max;
        memcpy(dls->ibuf, buf, dls->ibuf_len);
    } else if (cont == 1) {
        if (dls->ibuf_len > pending_max) {
            dls->ibuf_len = 0;
            return;
        }
        // A continuation may span the whole X-PAD; only what the buffer holds is kept.
        const unsigned room = sizeof dls->ibuf - dls->ibuf_len;
        const unsigned take = n < room ? n : room;
        memcpy(dls->ibuf + dls->ibuf_len, buf, take);
        dls->ibuf_len += take;
        const auto *p = reinterpret_cast<const unsigned char *>(dls->ibuf);
        if (take < n && segment_size(p) > dls->ibuf_len) {
            dls->owner->e->l->log(LOG_INFO, "Subchannel %i: dynamic label segment does not fit its buffer, dropped\n",
                                  dls->id);
            dl_count(dls, MS_DL_OTHER_ERRORS);
            dls->ibuf_len = 0;
            return;
        }
    }
    if (cont == 0 || !dls->ibuf_len) return;
    const auto *p = reinterpret_cast<const unsigned char *>(dls->ibuf);
    if (!is_command(p) && dls->ibuf_len >= segment_size(p)) {
        dl_extract(dls, p, static_cast<int>(dls->ibuf_len));
        dls->ibuf_len = 0;
    }
}

void dl_extract(dynamic_label_state_t *dls, const unsigned char *buf, int len) {
    dls->changed = 0;
    if (len < 2 || static_cast<unsigned>(len) < segment_size(buf)) {
        dls->owner->e->l->log(LOG_DEBUG, "Subchannel %i: dynamic label segment cut short (%i bytes)\n", dls->id, len);
        dl_count(dls, MS_DL_OTHER_ERRORS);
        return;
    }
    const int c = is_command(buf), field1 = buf[0] & 15, field2 = buf[1] >> 4, t = buf[0] >> 7;
    const bool first = (buf[0] >> 6) & 1, last = (buf[0] >> 5) & 1;
    dls->owner->e->l->log(LOG_DEBUG, "DL: c %i, field1 %x, field2 %x, t %i, fl %i\n", c, field1, field2, t,
                          (first ? 2 : 0) | (last ? 1 : 0));
    const int covered = c ? 2 : field1 + 3;
    const unsigned want = calc_crc(buf, covered), got = stored_crc(buf + covered);
    if (want != got) {
        dls->owner->e->l->log(LOG_INFO, "Subchannel %i: CRC error (%x/%x) in dynamic label\n", dls->id, want, got);
        dl_count(dls, MS_DL_CRC_ERRORS);
        return;
    }
    if (c) {
        if (field1 == 1) {
            dls->text[0] = 0;
            dls->len = 0;
            dls->changed = 1;
        }
        return;
    }
    const unsigned char *chars = buf + 2;
    const int nchars = field1 + 1;
    if (first) {
        dls->len = 0;
        append_chars(dls, chars, nchars);
        dls->toggle_seg0 = t;
        if (!last) {
            dls->last_seg = 0;
            return;
        }
        dls->last_seg = -1;
        label_complete(dls, t);
        return;
    }
    const int segnum = field2 & 7;
    if (segnum == dls->last_seg + 1 && dls->last_seg >= 0 && dls->len <= label_append_max) {
        append_chars(dls, chars, nchars);
        dls->last_seg = segnum;
        if (last) {
            dls->last_seg = -1;
            label_complete(dls, t);
        }
        return;
    }
    if (dls->last_seg == -1) {
        dl_reset(dls);
        return;
    }
    if (dls->len > label_append_max)
        dls->owner->e->l->log(LOG_CRIT, "Subchannel %i: Dynamic label getting to long, len %i, add %i\n", dls->id,
                              dls->len, nchars);
    else
        dls->owner->e->l->log(LOG_DEBUG, "Subchannel %i: Missing segment for dynamic label (%i %i)\n", dls->id,
                              segnum, dls->last_seg);
    dl_count(dls, MS_DL_OTHER_ERRORS);
    dl_reset(dls);
}

void dl_rb_insert(dynamic_label_state_t *dls) {
    mutex_guard g(&dls->dl_lock);
    dynamic_label_t &d = dls->dl[dls->rb];
    copy_field(d.dl_text, dls->last_text);
    d.charset = 0;
    d.timestamp = time(nullptr);
    dls->rb = (dls->rb + 1) % DL_RING;
}

int dl_get(xpad_state_t *xs, int n, dynamic_label_t *dl) {
    if (n < 0 || n >= DL_RING) return 0;
    dynamic_label_state_t *dls = &xs->dls;
    mutex_guard g(&dls->dl_lock);
    const dynamic_label_t &d = dls->dl[((dls->rb - 1 - n) % DL_RING + DL_RING) % DL_RING];
    if (!d.dl_text[0] || !d.timestamp) return 0;
    translate_umlaut(d.dl_text, dl->dl_text);
    dl->charset = d.charset;
    dl->timestamp = d.timestamp;
    return 1;
}

void dl_output_handler(dynamic_label_state_t *, void *context) {
    auto *hd = static_cast<decoder_info_t *>(context);
    auto *xs = hd ? static_cast<xpad_state_t *>(hd->user_data) : nullptr;
    if (!xs) return;
    char name[sizeof xs->path + 16];
    snprintf(name, sizeof name, "%sindex.html", xs->path);
    page_file page(name);
    FILE *f = page.get();
    if (!f) return;
    char label[sizeof hd->label * 6];
    quote_string(label, hd->label, sizeof label);
    fprintf(f,
            "<HTML> <HEAD> <TITLE> %s </TITLE></HEAD><meta http-equiv=\"pragma\" content=\"no-cache\"><meta "
            "http-equiv=\"expires\" content=\"0\"><meta http-equiv=\"refresh\" content=\"10\"><BODY><H2> %s Program "
            "Associated Data </H2>\n",
            label, label);
    bool wrote = false;
    char tbuf[32];
    if (xs->ms) {
        char slide[257];
        time_t when = 0;
        if (mot_find_slideshow(xs->ms, slide, sizeof slide, &when)) {
            char link[1024], plain[257 * 6];
            html_link_convert(link, slide, sizeof link - 1);
            quote_string(plain, slide, sizeof plain);
            fprintf(f, "<IMG SRC=\"content/%s\" ALT=\"content/%s (%s)\"><P>", link, plain, time_text(when, tbuf));
            wrote = true;
        }
        for (int i = 0; i < MOT_LABELS; i++) {
            mot_label_t l;
            if (!mot_find_label(xs->ms, &l, i)) continue;
            struct tm tmv {};
            localtime_r(&l.last_received, &tmv);
            // The link already starts with the "content/" of the MOT state.
            char href[sizeof l.base_path * 6], text[sizeof l.label * 6];
            quote_string(href, l.base_path, sizeof href);
            quote_string(text, l.label, sizeof text);
            fprintf(f, "<A HREF=\"%s\">HTML-DATA: %s (%02i:%02i:%02i)</A><P>", href, text, tmv.tm_hour, tmv.tm_min,
                    tmv.tm_sec);
            wrote = true;
        }
    }
    for (int n = 0; n < DL_RING; n++) {
        dynamic_label_t d;
        if (!dl_get(xs, n, &d)) continue;
        char text[511];
        quote_string(text, d.dl_text, sizeof text);
        fprintf(f, "<P> %s: %s\n", time_text(d.timestamp, tbuf), text);
        wrote = true;
    }
    if (!wrote) fputs("<P>No PAD data (MOT/Dynamic Label) available for now\n", f);
    fputs("<P><HR><FONT SIZE=\"-1\"> MOT/PAD Decoder 2.26F, programme-associated data as broadcast</FONT>"
          "</BODY></HTML>\n",
          f);
    page.commit();
}

void ms_output_handler(mot_state_t *, mot_object_state_t *, void *context) {
    auto *xs = static_cast<xpad_state_t *>(context);
    if (xs) dl_output_handler(&xs->dls, xs->dls.user_data);
}
