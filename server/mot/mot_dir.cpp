#include "mot/mot_dir.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/log.h"
#include "core/plattform.h"

namespace {

int be_int(const unsigned char *p, int n) { return static_cast<int>(mot_be(p, n)); }

constexpr int max_dir_size = 8388608;
constexpr int dir_head = 13;

// Nulls last, then by transport id.
bool trid_before(const mot_hdr_attr_t *a, const mot_hdr_attr_t *b) {
    if (!a || !b) return a && !b;
    return a->trid < b->trid;
}

// The directory file as far as it is written, at most what a directory may hold.
bool read_dir_file(const char *path, std::vector<unsigned char> &out, int &err) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        err = errno;
        return false;
    }
    struct stat st {};
    const long size = fstat(fileno(f), &st) == 0 ? static_cast<long>(st.st_size) : 0;
    out.resize(static_cast<size_t>(std::min(size, static_cast<long>(max_dir_size) + dir_head)));
    out.resize(fread(out.data(), 1, out.size(), f));
    fclose(f);
    return true;
}

}  // namespace

mot_dir_t *mot_dir_init(mot_state_t *) {
    auto *md = static_cast<mot_dir_t *>(calloc(1, sizeof(mot_dir_t)));
    if (md) thread_mutex_init(&md->lock);
    return md;
}

void mot_dir_free(mot_state_t *ms, mot_dir_t *md) {
    if (!md) return;
    {
        mutex_guard g(&md->lock);
        mot_dir_content_free(ms, md->current_mdc);
        mot_dir_content_free(ms, md->next_mdc);
        md->current_mdc = md->next_mdc = nullptr;
    }
    thread_mutex_destroy(&md->lock);
    free(md);
}

mot_dir_content_t *mot_dir_content_init() { return static_cast<mot_dir_content_t *>(calloc(1, sizeof(mot_dir_content_t))); }

void mot_dir_content_free(mot_state_t *ms, mot_dir_content_t *mdc) {
    if (!mdc) return;
    for (int i = 0; mdc->headers && i < mdc->num_obj; i++) {
        if (!mdc->headers[i]) continue;
        if (ms && ms->callbacks.mot_cb_free_extra_attr) ms->callbacks.mot_cb_free_extra_attr(ms, mdc->headers[i]);
        free(mdc->headers[i]);
    }
    free(mdc->headers);
    free(mdc);
}

int mot_dir_start(mot_state_t *ms, const msc_dg_ses_hdr_t *hdr, const unsigned char *, int) {
    if (!ms->md || !hdr->sesflag || hdr->segnum != 0) return -1;
    const int slot = mot_start_new_obj(ms, hdr->transid);
    if (slot < 0) return -1;
    mot_object_state_t &o = ms->mobs[slot];
    o.next_segnum = 0;
    o.dgtype = 6;
    copy_field(o.mha.path, MOT_DIR_FILE);
    copy_field(o.file_name, MOT_DIR_FILE);
    mot_log(ms, LOG_INFO, "#%i: Starting MOT Directory <%s> for transid %x, obj %i\n", ms->id, o.file_name,
            hdr->transid, slot);
    if (ms->callbacks.mot_cb_start_file && !ms->callbacks.mot_cb_start_file(ms, &o)) {
        mot_log(ms, LOG_ERR, "#%i: Can't create file <%s>\n", ms->id, o.path);
        mot_forget_file(ms, &o);
        return -1;
    }
    return slot;
}

int mot_dir_decode_file(mot_state_t *ms, mot_object_state_t *obj) {
    mot_log(ms, LOG_DEBUG, "MOT-DIR: Starting decoding\n");
    std::vector<unsigned char> d;
    int oserr = 0;
    if (!read_dir_file(obj->path, d, oserr)) {
        mot_log(ms, LOG_ERR, "#%i: Opening of MOT directory <%s> failed (%i).\n", ms->id, obj->path, oserr);
        return 0;
    }
    mot_dir_content_t *mdc = mot_dir_content_init();
    if (!mdc) return 0;
    const int have = static_cast<int>(d.size());
    int error = 0, k = 0;
    if (have < dir_head) {
        error = 1;
    } else {
        const unsigned char *p = d.data();
        const int rfu = p[0] >> 6, rfu1 = p[9] >> 7;
        mdc->dir_size = static_cast<int>(mot_be(p, 4) & 0x3FFFFFFF);
        const int num_obj = be_int(p + 4, 2);
        mdc->car_period = be_int(p + 6, 3);
        mdc->segment_size = be_int(p + 9, 2) & 0x1FFF;
        mdc->dire_extlen = be_int(p + 11, 2);
        mot_log(ms, LOG_DEBUG, "#%i: MOT_DIR: rfu %i, rfu1 %i, dir_sz %i, num_obj %i, car_prd %i, smt_sz %i, extlen %i\n",
                ms->id, rfu, rfu1, mdc->dir_size, num_obj, mdc->car_period, mdc->segment_size, mdc->dire_extlen);
        if (rfu || rfu1) {
            mot_dir_content_free(ms, mdc);
            return 0;
        }
        // Every entry takes at least 9 bytes: what arrived bounds what is allocated.
        const int room = std::max(1, (have - dir_head - mdc->dire_extlen) / 9);
        const int slots = std::min(num_obj, room);
        if (mdc->dir_size > max_dir_size) {
            error = 2;
        } else if (!num_obj || !(mdc->headers = static_cast<mot_hdr_attr_t **>(calloc(
                                     static_cast<size_t>(slots), sizeof(mot_hdr_attr_t *))))) {
            error = 7;
        } else if (dir_head + mdc->dire_extlen > have) {
            error = 8;
        } else {
            mot_decode_header(ms, &mdc->mha, p + dir_head, mdc->dire_extlen + 7, nullptr);
            int pos = dir_head + mdc->dire_extlen;
            for (; k < num_obj; k++) {
                if (k >= slots || pos + 9 > have) {
                    error = 5;
                    break;
                }
                auto *a = static_cast<mot_hdr_attr_t *>(calloc(1, sizeof(mot_hdr_attr_t)));
                if (!a) {
                    error = 4;
                    break;
                }
                int size = mot_decode_header_core(ms, a, p + pos + 2);
                size = std::min(std::max(size, 7), MOT_HEADER_MAX);
                if (pos + 2 + size > have) {
                    free(a);
                    error = 6;
                    break;
                }
                mot_decode_header(ms, a, p + pos + 9, size, ms->callbacks.mot_cb_extra_attr);
                a->trid = be_int(p + pos, 2);
                mdc->headers[k] = a;
                mdc->num_obj = k + 1;
                pos += 2 + size;
            }
            if (!error) {
                mdc->complete = 1;
                mdc->num_obj = num_obj;
            }
        }
    }
    mot_dir_t *md = ms->md;
    int current = -1;
    {
        mutex_guard g(&md->lock);
        if (md->current_mdc) current = md->current_mdc->num_obj;
    }
    if (error && !((current < 0 && k >= 1) || (current >= 0 && k > current))) {
        mot_log(ms, LOG_ERR, "#%i: Reading of MOT directory failed (error: %i).\n", ms->id, error);
        mot_dir_content_free(ms, mdc);
        return 0;
    }
    if (error) mdc->num_obj = k;
    md->next_mdc = mdc;
    mot_dir_decode_end(ms, md);
    return 1;
}

void mot_dir_decode_end(mot_state_t *ms, mot_dir_t *md) {
    mot_dir_content_t *mdc = md->next_mdc;
    if (!mdc) return;
    std::sort(mdc->headers, mdc->headers + mdc->num_obj, trid_before);
    mot_log(ms, LOG_INFO, "MOT-DIR has %i entries and is %s\n", mdc->num_obj, mdc->complete ? "complete" : "incomplete");
    mot_dir_content_t *old;
    {
        mutex_guard g(&md->lock);
        mdc->finished = 1;
        old = md->current_mdc;
        md->current_mdc = mdc;
        md->next_mdc = nullptr;
    }
    mot_dir_content_free(ms, old);
}

int mot_dir_find_trid_entry(mot_state_t *ms, int trid, mot_hdr_attr_t *attr) {
    if (!ms->md) return 0;
    mutex_guard g(&ms->md->lock);
    const mot_dir_content_t *c = ms->md->current_mdc;
    if (!c || !c->headers) return 0;
    mot_hdr_attr_t key{};
    key.trid = trid;
    mot_hdr_attr_t **end = c->headers + c->num_obj;
    mot_hdr_attr_t **it = std::lower_bound(c->headers, end, &key, trid_before);
    if (it == end || !*it || (*it)->trid != trid) return 0;
    *attr = **it;
    return 1;
}

int mot_dir_lookup_obj(mot_state_t *ms, const msc_dg_ses_hdr_t *hdr, const unsigned char *, int) {
    mot_log(ms, LOG_DEBUG, "MOTDIR lookup for %x, segnum %i\n", hdr->transid, hdr->segnum);
    mot_hdr_attr_t attr;
    if (!mot_dir_find_trid_entry(ms, hdr->transid, &attr)) return -1;
    const int slot = mot_start_new_obj(ms, hdr->transid);
    if (slot < 0) return -1;
    mot_log(ms, LOG_DEBUG, "MOTDIR: OBJ allocated: %i\n", slot);
    // The entry stays the directory's: the object gets a copy without its extra data.
    attr.user_data = nullptr;
    if (mot_handle_hdr_sub(ms, &attr, hdr->transid) < 0) return -1;
    mot_object_state_t &o = ms->mobs[slot];
    o.next_segnum = 0;
    o.hdr_rec = 1;
    o.dgtype = 4;
    return slot;
}

bool mot_dir_current(mot_state_t *ms, bool *complete, char *dir_index, int size) {
    if (!ms->md) return false;
    mutex_guard g(&ms->md->lock);
    const mot_dir_content_t *c = ms->md->current_mdc;
    if (!c) return false;
    if (complete) *complete = c->complete;
    if (dir_index && size > 0) copy_field(dir_index, static_cast<size_t>(size), c->mha.dir_index);
    return true;
}

void mot_dir_names(mot_state_t *ms, std::vector<std::string> &out) {
    if (!ms->md) return;
    mutex_guard g(&ms->md->lock);
    for (const mot_dir_content_t *c : {ms->md->current_mdc, ms->md->next_mdc}) {
        if (!c || !c->headers) continue;
        for (int i = 0; i < c->num_obj; i++)
            if (c->headers[i]) out.emplace_back(c->headers[i]->path, strnlen(c->headers[i]->path, sizeof c->headers[i]->path));
    }
}
