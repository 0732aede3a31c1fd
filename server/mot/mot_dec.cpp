// MOT object assembly: header and body segments of up to 64 objects at a time, told apart by
// transport id; bodies go straight to the output callbacks.

#include "mot/mot_dec.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "mot/crc.h"
#include "mot/mot_dir.h"
#include "mot/mot_quota.h"
#include "mot/util2.h"

namespace {

constexpr int object_timeout_s = 20;
constexpr int label_lifetime_s = 480;
constexpr int slide_lifetime_s = 900;

bool has_param(const mot_hdr_attr_t &a, int id) { return (a.hdr_flags >> id) & 1; }

int mot_trid_find(const mot_state_t *ms, int trid) {
    for (int i = 0; i < MOT_OBJECTS; i++)
        if (ms->mobs[i].trid == trid) return i;
    return -1;
}

// The slot receiving trid; slots untouched for too long are given up on the way.
int mot_trid_find_in_use(mot_state_t *ms, int trid) {
    const time_t now = time(nullptr);
    int found = -1;
    for (int i = 0; i < MOT_OBJECTS; i++) {
        mot_object_state_t &o = ms->mobs[i];
        if (o.free) continue;
        if (o.trid == trid && found < 0) {
            o.timestamp = now;
            found = i;
        } else if (o.timestamp && now - o.timestamp > object_timeout_s) {
            mot_log(ms, LOG_WARN, "#%i: TIMEOUT for Obj %i (%s)\n", ms->id, i, o.file_name);
            o.timestamp = 0;
            mot_forget_file(ms, &o);
        }
    }
    return found;
}

int mot_new_obj(mot_state_t *ms) {
    for (int i = 0; i < MOT_OBJECTS; i++)
        if (ms->mobs[i].free) {
            ms->mobs[i].timestamp = time(nullptr);
            return i;
        }
    return -1;
}

// 1 when the segment is the one expected (or a harmless repetition of the previous one).
int mot_check_segment_ordering(mot_state_t *ms, const msc_dg_ses_hdr_t *hdr, mot_object_state_t *obj) {
    if (!hdr->sesflag) return 1;
    int &expected = hdr->dgtype == 3 ? obj->next_hdr_segnum : obj->next_segnum;
    const int got = hdr->segnum;
    if (got == expected) {
        if (!hdr->last) expected++;
        return 1;
    }
    if (got == expected - 1) {
        if (!obj->flen) return 1;
        mot_log(ms, LOG_DEBUG, "NOTE: Obj %i, Ignored repeated DG%i segment: %i, exp: %i\n", obj->obnum, hdr->dgtype,
                got, expected);
        return 0;
    }
    mot_log(ms, LOG_WARN, "#%i, Obj: %i, missing DG%i MOT-Segment, cur: %i, exp: %i\n", ms->id, obj->obnum, hdr->dgtype,
            got, expected);
    if (hdr->dgtype == 4 && obj->flen) mot_forget_file(ms, obj);
    mot_count(ms, MS_MOT_OTHER_ERRORS);
    return 0;
}

int mot_handle_dg3_seg(mot_state_t *ms, const msc_dg_ses_hdr_t *hdr, const unsigned char *data, int len) {
    int slot = mot_trid_find_in_use(ms, hdr->transid);
    if (slot < 0) {
        if (hdr->segnum != 0) return -1;
        slot = mot_start_new_obj(ms, hdr->transid);
        if (slot < 0) return -1;
        ms->mobs[slot].next_hdr_segnum = 1;
    } else if (!mot_check_segment_ordering(ms, hdr, &ms->mobs[slot])) {
        return -1;
    }
    mot_object_state_t &o = ms->mobs[slot];
    const bool last = hdr->last || !hdr->sesflag;
    if (last) o.hdr_rec = 1;
    if (hdr->segnum == 0) {
        free(o.hdr_buf);
        o.hdr_buf = nullptr;
        o.hdr_pos = 0;
        if (!last) {
            o.hdr_buf = static_cast<unsigned char *>(malloc(MOT_HDR_BUF));
            if (o.hdr_buf) {
                memcpy(o.hdr_buf, data, static_cast<size_t>(len));
                o.hdr_pos = len;
            }
        }
    } else if (o.hdr_buf && o.hdr_pos + len <= MOT_HDR_BUF - 2) {
        memcpy(o.hdr_buf + o.hdr_pos, data, static_cast<size_t>(len));
        o.hdr_pos += len;
    }
    return slot;
}

void mot_handle_dg3_hdr(mot_state_t *ms, int slot, const unsigned char *data, int len) {
    mot_object_state_t &o = ms->mobs[slot];
    const unsigned char *h = o.hdr_buf ? o.hdr_buf : data;
    const int have = o.hdr_buf ? o.hdr_pos : len;
    if (have < 7) {
        mot_count(ms, MS_MOT_OTHER_ERRORS);
        return;
    }
    mot_hdr_attr_t attr;
    int size = mot_decode_header_core(ms, &attr, h);
    if (size < 7) size = 7;
    if (size > MOT_HEADER_MAX) size = MOT_HEADER_MAX;
    // A header that claims more than arrived is read as far as it arrived.
    if (size > have) size = have;
    mot_decode_header(ms, &attr, h + 7, size, ms->callbacks.mot_cb_extra_attr);
    mot_handle_hdr_sub(ms, &attr, o.trid);
}

void store_object_label(mot_state_t *ms, const mot_object_state_t &o) {
    char link[sizeof ms->html_path + sizeof o.file_name];  // the label store cuts it to its field
    bool complete = false;
    char index[sizeof(mot_hdr_attr_t::dir_index)];
    if (o.dgtype == 6 && mot_dir_current(ms, &complete, index, sizeof index)) {
        if (strlen(index) > 1) {
            snprintf(link, sizeof link, "%s%s", ms->html_path, index);
            mot_store_label(ms, "Broadcast Website", link, 0);
        }
        return;
    }
    const bool labelled = has_param(o.mha, MOT_PARAM_CONTENT_LABEL);
    if (!labelled && strncasecmp(o.file_name, "index.htm", 9) != 0) return;
    snprintf(link, sizeof link, "%s%s", ms->html_path, o.file_name[0] == '/' ? o.file_name + 1 : o.file_name);
    if (labelled) {
        mot_store_label(ms, o.mha.label, link, o.mha.char_flag);
    } else {
        char text[24];
        snprintf(text, sizeof text, "Service %i", ms->id);
        mot_store_label(ms, text, link, 0);
    }
}

void mot_finish_object(mot_state_t *ms, mot_object_state_t &o) {
    if (ms->callbacks.mot_cb_write_data && ms->callbacks.mot_cb_finish_file &&
        !ms->callbacks.mot_cb_finish_file(ms, &o)) {
        // The output said why; no final file exists. A later repetition may succeed.
        o.file = nullptr;
        mot_count(ms, MS_MOT_FILES_FAILED);
        o.trid = -1;
        o.path[0] = 0;
        mot_forget_file(ms, &o);
        return;
    }
    if (o.dgtype == 6) mot_dir_decode_file(ms, &o);
    store_object_label(ms, o);
    copy_field(ms->last_file_system, o.file_name);
    ms->last_trigger = o.mha.trigger;
    const time_t now = time(nullptr);
    ms->last_time = now;
    {
        mutex_guard g(&ms->slide_lock);
        if (o.mha.trigger) {
            copy_field(ms->slideshowfile, o.file_name);
            ms->slide_last_time = now;
        } else if (ms->slideshowfile[0] && now - ms->slide_last_time > slide_lifetime_s) {
            ms->slideshowfile[0] = 0;
        }
    }
    mot_log(ms, LOG_INFO, "#%i: Finished Obj %i, \"%s\", len %i\n", ms->id, o.obnum, o.file_name, o.flen);
    mot_count(ms, MS_MOT_FILES);
    mot_count(ms, MS_MOT_BYTES, static_cast<uint64_t>(o.flen));
    if (ms->callbacks.mot_cb_file_ok) ms->callbacks.mot_cb_file_ok(ms, &o, o.path);
    if (o.dgtype == 4 && ms->out_handler) ms->out_handler(ms, &o, ms->user_data);
    o.file = nullptr;
    o.free = 1;
}

void mot_handle_dg4_seg(mot_state_t *ms, const msc_dg_ses_hdr_t *hdr, const unsigned char *data, int len) {
    int slot = mot_trid_find_in_use(ms, hdr->transid);
    if (slot < 0) {
        if (hdr->dgtype == 6)
            slot = mot_dir_start(ms, hdr, data, len);
        else if (hdr->sesflag && hdr->segnum == 0)
            slot = mot_dir_lookup_obj(ms, hdr, data, len);
        if (slot < 0) return;
    }
    mot_object_state_t &o = ms->mobs[slot];
    // A body before its header is complete has no name to go under.
    if (hdr->dgtype == 4 && !o.hdr_rec) return;
    o.dgtype = hdr->dgtype;
    if (hdr->segnum == 0 && !o.flen && !o.file && ms->callbacks.mot_cb_start_file &&
        !ms->callbacks.mot_cb_start_file(ms, &o)) {
        // The output has said why, at a rate a full disk cannot turn into a flood.
        mot_forget_file(ms, &o);
        return;
    }
    if (!mot_check_segment_ordering(ms, hdr, &o)) return;
    if (ms->callbacks.mot_cb_write_data && !ms->callbacks.mot_cb_write_data(ms, &o, data, len)) {
        mot_forget_file(ms, &o, true);
        return;
    }
    const bool last = hdr->last || !hdr->sesflag;
    bool complete = false;
    if (hdr->dgtype == 6 && !last && (hdr->segnum & 1) && o.file &&
        !(mot_dir_current(ms, &complete, nullptr, 0) && complete)) {
        fflush(o.file);
        mot_dir_decode_file(ms, &o);
    }
    if (last && o.file) mot_finish_object(ms, o);
}

}  // namespace

void mot_log(const mot_state_t *ms, int level, const char *fmt, ...) {
    // Formatted by the logger only when some output wants the level.
    va_list ap;
    va_start(ap, fmt);
    ms->owner->e->l->vlog(static_cast<loglevel_t>(level), fmt, ap);
    va_end(ap);
}

void mot_count(mot_state_t *ms, int type, uint64_t inc) { ms->owner->stat_update_p(&ms->stat, type, inc); }

void mot_forget_file(mot_state_t *ms, mot_object_state_t *obj, bool quiet) {
    if (obj->file) {
        mot_log(ms, quiet ? LOG_DEBUG : LOG_WARN, "#%i: Forget Obj %i, \"%s\"\n", ms->id, obj->obnum, obj->path);
        if (ms->callbacks.mot_cb_discard_file) ms->callbacks.mot_cb_discard_file(ms, obj);
        if (obj->file) fclose(obj->file);
        obj->file = nullptr;
        obj->path[0] = 0;
        obj->trid = -1;
        mot_count(ms, MS_MOT_FILES_FAILED);
    }
    if (ms->callbacks.mot_cb_free_extra_attr) ms->callbacks.mot_cb_free_extra_attr(ms, &obj->mha);
    free(obj->hdr_buf);
    obj->hdr_buf = nullptr;
    obj->free = 1;
    obj->next_segnum = 0;
}

int mot_start_new_obj(mot_state_t *ms, int trid) {
    for (int i = 0; i < MOT_OBJECTS; i++) {
        const mot_object_state_t &o = ms->mobs[i];
        if (o.trid != trid) continue;
        if (!o.free) {
            mot_log(ms, LOG_DEBUG, "#%i: Header update Obj %i, %i, %i\n", ms->id, i, o.flen, o.need_size);
            return i;
        }
        mot_log(ms, LOG_DEBUG, "NOTE: Ignore object repetition, Obj %i\n", i);
        mot_count(ms, MS_MOT_REPEATED);
        return -1;
    }
    const int slot = mot_new_obj(ms);
    if (slot < 0) {
        mot_log(ms, LOG_WARN, "#%i: Too many open files, ignoring data\n", ms->id);
        return -1;
    }
    mot_object_state_t &o = ms->mobs[slot];
    o.free = 0;
    o.trid = trid;
    o.hdr_rec = 0;
    o.next_segnum = 0;
    o.next_hdr_segnum = 0;
    o.flen = 0;
    o.file_name[0] = 0;
    o.path[0] = 0;
    o.mha.path[0] = 0;
    o.mha.hdr_flags = 0;
    o.dgtype = 4;
    return slot;
}

int mot_handle_hdr_sub(mot_state_t *ms, mot_hdr_attr_t *attr, int trid) {
    if (!has_param(*attr, MOT_PARAM_CONTENT_NAME)) {
        snprintf(attr->path, sizeof attr->path, "unnamed.%s", find_suffix(attr->ct_type, attr->ct_subtype));
        attr->hdr_flags |= 1ULL << MOT_PARAM_CONTENT_NAME;
    }
    const int slot = mot_trid_find(ms, trid);
    if (slot < 0) return -1;
    mot_object_state_t &o = ms->mobs[slot];
    o.mha = *attr;
    if (ms->callbacks.mot_cb_header_received && ms->callbacks.mot_cb_header_received(ms, &o)) {
        mot_forget_file(ms, &o);
        return -1;
    }
    copy_field(o.file_name, o.mha.path);
    o.need_size = o.mha.body_size;
    free(o.hdr_buf);
    o.hdr_buf = nullptr;
    // Two objects must never share a temporary file: the older one gives way.
    for (auto &other : ms->mobs)
        if (&other != &o && !other.free && other.file && !strcmp(other.mha.path, o.mha.path))
            mot_forget_file(ms, &other);
    return slot;
}

mot_state_t *mot_init(mot_dec_class *owner, int id, const char *path, const char *html_path) {
    auto *ms = static_cast<mot_state_t *>(calloc(1, sizeof(mot_state_t)));
    if (!ms) return nullptr;
    ms->owner = owner;
    ms->id = id;
    ms->msc_buf = msc_buffer_init();
    ms->md = ms->msc_buf ? mot_dir_init(ms) : nullptr;
    if (!ms->md) {
        msc_buffer_free(ms->msc_buf);
        free(ms);
        return nullptr;
    }
    for (int i = 0; i < MOT_OBJECTS; i++) {
        mot_object_state_t &o = ms->mobs[i];
        o.obnum = static_cast<unsigned char>(i);
        o.trid = -1;
        o.free = 1;
    }
    thread_mutex_init(&ms->label_lock);
    thread_mutex_init(&ms->slide_lock);
    copy_field(ms->path_prefix, path ? path : "");
    copy_field(ms->html_path, html_path ? html_path : "");
    make_dirs(ms->path_prefix);
    const int mib = owner->e->cfg->motquota;
    const uint64_t limit = static_cast<uint64_t>(mib < 0 ? MOT_QUOTA_DEFAULT_MIB : mib) << 20;
    ms->quota = new (std::nothrow) mot_quota(ms->path_prefix, ms->path_prefix, limit);
    ms->failures = new (std::nothrow) mot_failure_log();
    if (!ms->quota || !ms->failures) {
        mot_free(ms);
        return nullptr;
    }
    ms->msc_buf->bl = 0;
    mot_log(ms, LOG_CRIT, "#%i: Lost MOT-synchronisation, syncing to next DG 3\n", ms->id);
    return ms;
}

void mot_callback_init(mot_state_t *ms, const mot_callbacks_t *callbacks) { ms->callbacks = *callbacks; }

void mot_handle(mot_state_t *ms, int mode) {
    if (!ms) return;
    const unsigned char *buf = ms->msc_buf->buf;
    const int bl = ms->msc_buf->bl;
    if (mode == 2) {
        if (bl < 4) return;
        const unsigned got = stored_crc(buf + 2), want = calc_crc(buf, 2);
        if (got != want) {
            mot_log(ms, LOG_WARN, "#%i: CRC error (expected %04x, got %04x) in MOT Data Group Length\n", ms->id, got,
                    want);
            mot_count(ms, MS_MOT_CRC_ERRORS);
        }
        return;
    }
    msc_dg_ses_hdr_t hdr;
    const int h = mot_get_msc_dg_ses_hdr(&hdr, buf, bl);
    if (mode == 1) {
        // What arrived of the lost group may name the object it belonged to.
        if (h >= 0 && hdr.transflag) {
            const int slot = mot_trid_find(ms, hdr.transid);
            if (slot >= 0 && !ms->mobs[slot].free) mot_forget_file(ms, &ms->mobs[slot]);
        }
        return;
    }
    if (h < 0 || bl < h + 2) {
        mot_count(ms, MS_MOT_OTHER_ERRORS);
        return;
    }
    const int repcnt = buf[h] >> 5, segsize = (buf[h] & 0x1F) << 8 | buf[h + 1];
    mot_log(ms, LOG_DEBUG, "MOT-SIZ %i, trid %x dgtype %i, last: %i, segnum %i, repidx %i, repcnt %i, segsize %i\n", bl,
            hdr.transid, hdr.dgtype, hdr.last, hdr.segnum, hdr.rindex, repcnt, segsize);
    mot_count(ms, MS_MOT_SEGMENTS);
    // The CRC follows the segment, wherever the headers end.
    const int end = h + 2 + segsize;
    if (end + (hdr.crcflag ? 2 : 0) > bl) {
        mot_log(ms, LOG_WARN, "#%i: MOT segment of %i bytes does not fit its data group of %i bytes\n", ms->id,
                segsize, bl);
        mot_count(ms, MS_MOT_OTHER_ERRORS);
        return;
    }
    if (hdr.crcflag) {
        const unsigned got = stored_crc(buf + end), want = calc_crc(buf, end);
        if (got != want) {
            mot_log(ms, LOG_WARN, "#%i: CRC error (expected %04x, got %04x) in MOT segment (%i)\n", ms->id, got, want,
                    hdr.segnum);
            mot_count(ms, MS_MOT_CRC_ERRORS);
            return;
        }
    }
    // MOT groups always carry a transport id; without one nothing can be assembled.
    if (!hdr.transflag) return;
    const unsigned char *data = buf + h + 2;
    switch (hdr.dgtype) {
        case 3: {
            const int slot = mot_handle_dg3_seg(ms, &hdr, data, segsize);
            if (slot >= 0 && ms->mobs[slot].hdr_rec) mot_handle_dg3_hdr(ms, slot, data, segsize);
            break;
        }
        case 4:
        case 6:
            mot_count(ms, MS_MOT_SEGMENT_BYTES, static_cast<uint64_t>(segsize));
            mot_handle_dg4_seg(ms, &hdr, data, segsize);
            break;
        default: break;
    }
}

void mot_free(mot_state_t *ms) {
    if (!ms) return;
    for (auto &o : ms->mobs) mot_forget_file(ms, &o);
    mot_dir_free(ms, ms->md);
    msc_buffer_free(ms->msc_buf);
    thread_mutex_destroy(&ms->label_lock);
    thread_mutex_destroy(&ms->slide_lock);
    delete ms->quota;
    delete ms->failures;
    free(ms);
}

void mot_store_label(mot_state_t *ms, const char *label, const char *base_path, int char_flag) {
    mutex_guard g(&ms->label_lock);
    const time_t now = time(nullptr);
    int slot = MOT_LABELS - 1;
    for (int i = 0; i < MOT_LABELS; i++) {
        mot_label_t &l = ms->labels[i];
        if (l.used && now - l.last_received > label_lifetime_s) l.used = 0;
        if (!l.used || !strcmp(l.label, label)) {
            slot = i;
            break;
        }
    }
    mot_label_t &l = ms->labels[slot];
    if (!l.used || strcmp(l.label, label)) {
        copy_field(l.label, label);
        l.char_flag = char_flag;
    }
    copy_field(l.base_path, base_path);
    l.last_received = now;
    l.used = 1;
}

int mot_find_label(mot_state_t *ms, mot_label_t *out, int n) {
    if (n < 0 || n >= MOT_LABELS) return 0;
    mutex_guard g(&ms->label_lock);
    mot_label_t &l = ms->labels[n];
    if (!l.used) return 0;
    if (time(nullptr) - l.last_received > label_lifetime_s) {
        l.used = 0;
        return 0;
    }
    *out = l;
    return 1;
}

int mot_find_slideshow(mot_state_t *ms, char *out, int size, time_t *when) {
    mutex_guard g(&ms->slide_lock);
    if (!ms->slideshowfile[0]) return 0;
    copy_field(out, static_cast<size_t>(size), ms->slideshowfile);
    if (when) *when = ms->slide_last_time;
    return 1;
}

const char *find_suffix(int ct_type, int ct_subtype) {
    struct entry {
        int type, first, last;
        const char *suffix;
    };
    static constexpr entry table[] = {
        {1, 0, 1, "txt"},  {1, 2, 2, "html"}, {2, 0, 0, "gif"},   {2, 1, 1, "jpg"},  {2, 2, 2, "bmp"},
        {3, 0, 0, "mp1"},  {3, 1, 1, "mp2"},  {3, 2, 2, "mp3"},   {3, 3, 5, "mpg"},  {3, 6, 6, "pcm"},
        {3, 7, 7, "aif"},  {3, 8, 9, "atrac"}, {3, 10, 10, "mp4"}, {4, 0, 2, "mpg"},  {6, 0, 0, "mheg"},
        {6, 1, 1, "class"},
    };
    for (const auto &e : table)
        if (e.type == ct_type && ct_subtype >= e.first && ct_subtype <= e.last) return e.suffix;
    return "";
}
