#include "datapath/fic.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/rdi_framer.h"
#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"

// --- wire layout of the records (FIG query replies carry them raw) ---

#pragma GCC diagnostic push
// The records extend gen_data_s; GCC lays a base out first, as the wire format needs.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#define DAB_AT(type, field, off) static_assert(offsetof(type, field) == (off), #type "." #field)
static_assert(sizeof(fig_header_t) == 44);
static_assert(sizeof(gen_data_t) == 96);
DAB_AT(gen_data_t, datasize, 0);
DAB_AT(gen_data_t, timestamp, 4);
DAB_AT(gen_data_t, occurence, 8);
DAB_AT(gen_data_t, hdr, 12);
DAB_AT(gen_data_t, hdr.oe, 24);
DAB_AT(gen_data_t, rawfig, 56);
DAB_AT(gen_data_t, nextptr, 88);
DAB_AT(gen_data_t, next, 92);
static_assert(sizeof(ensemble_information_t) == 116);
DAB_AT(ensemble_information_t, eid, 96);
DAB_AT(ensemble_information_t, occurence_change, 112);
static_assert(sizeof(sub_channel_organization_t) == 132);
DAB_AT(sub_channel_organization_t, subchid, 96);
DAB_AT(sub_channel_organization_t, bitrate, 112);
DAB_AT(sub_channel_organization_t, table_index, 128);
static_assert(sizeof(service_comp_desc_t) == 24);
static_assert(sizeof(service_organization_t) == 496);
DAB_AT(service_organization_t, sid, 96);
DAB_AT(service_organization_t, num_of_sc, 108);
DAB_AT(service_organization_t, service_comp_desc, 112);
static_assert(sizeof(service_component_packet_t) == 120);
DAB_AT(service_component_packet_t, scid, 96);
DAB_AT(service_component_packet_t, scca, 116);
static_assert(sizeof(service_component_steam_t) == 108);
DAB_AT(service_component_steam_t, scca, 104);
static_assert(sizeof(service_component_language_t) == 112);
DAB_AT(service_component_language_t, language, 108);
static_assert(sizeof(service_linking_t) == 176);
DAB_AT(service_linking_t, lsn, 112);
DAB_AT(service_linking_t, num_of_ids, 124);
DAB_AT(service_linking_t, id, 128);
static_assert(sizeof(data_service_comp_desc_t) == 12);
static_assert(sizeof(dscty_extension_t) == 296);
DAB_AT(dscty_extension_t, service_comp_desc, 104);
static_assert(sizeof(service_component_global_definition_t) == 128);
DAB_AT(service_component_global_definition_t, scids, 104);
DAB_AT(service_component_global_definition_t, rfa, 124);
static_assert(sizeof(extended_field_t) == 32);
static_assert(sizeof(country_t) == 340);
DAB_AT(country_t, ensemble_lto, 104);
DAB_AT(country_t, ext_field, 116);
static_assert(sizeof(date_time_t) == 132);
DAB_AT(date_time_t, mjd, 96);
DAB_AT(date_time_t, unixtime, 100);
DAB_AT(date_time_t, milliseconds, 128);
static_assert(sizeof(programme_type_preview_t) == 136);
DAB_AT(programme_type_preview_t, flag_field, 112);
static_assert(sizeof(programme_number_t) == 120);
DAB_AT(programme_number_t, new_pnum, 116);
static_assert(sizeof(programme_type_t) == 140);
DAB_AT(programme_type_t, int_code, 124);
DAB_AT(programme_type_t, fine_code, 132);
static_assert(sizeof(announcement_support_t) == 236);
DAB_AT(announcement_support_t, cluster_id, 108);
static_assert(sizeof(announcement_switching_t) == 120);
DAB_AT(announcement_switching_t, region_id_lower_part, 116);
static_assert(sizeof(service_component_trigger_t) == 124);
DAB_AT(service_component_trigger_t, packet_address, 120);
static_assert(sizeof(tii_sub_t) == 16);
static_assert(sizeof(transmitter_identification_information_t) == 248);
DAB_AT(transmitter_identification_information_t, mainid, 100);
DAB_AT(transmitter_identification_information_t, sub, 120);
static_assert(sizeof(fidc_t) == 96);
static_assert(sizeof(dablabel_t) == 152);
DAB_AT(dablabel_t, id, 96);
DAB_AT(dablabel_t, scids, 104);
DAB_AT(dablabel_t, name, 108);
DAB_AT(dablabel_t, char_flag, 128);
DAB_AT(dablabel_t, short_name, 132);
static_assert(sizeof(programme_type_downloading_t) == 148);
DAB_AT(programme_type_downloading_t, label, 116);
DAB_AT(programme_type_downloading_t, char_flag, 136);
DAB_AT(programme_type_downloading_t, country_id, 144);
#undef DAB_AT
#pragma GCC diagnostic pop

// --- result chains ---

static_assert(sizeof(void *) <= 8, "the link lives in the 8 bytes nextptr/next");

gen_data_t *fig_next(const gen_data_t *g) {
    gen_data_t *n = nullptr;
    std::memcpy(&n, &g->nextptr, sizeof n);
    return n;
}

void fig_set_next(gen_data_t *g, gen_data_t *n) {
    fig_clear_link(g);
    std::memcpy(&g->nextptr, &n, sizeof n);
}

void fig_free_chain(gen_data_t *first) {
    while (first) {
        gen_data_t *n = fig_next(first);
        free(first);
        first = n;
    }
}

// --- store ---

namespace {

template <class R>
const R &rec(const fig *f) {
    return *static_cast<const R *>(f->ptr);
}

// Same value of one field in two records of the same type.
template <class R, class T>
bool same(const fig *a, const fig *b, T R::*field) {
    return rec<R>(a).*field == rec<R>(b).*field;
}

bool debug_wanted(ensemble *e) {
    return e->l->logger_callback || e->cfg->logfilelevel <= LOG_DEBUG || e->cfg->logscrnlevel <= LOG_DEBUG;
}

}  // namespace

fic::fic(ensemble *p)
    : m_figs(nullptr), lock(), last_garbled(time(nullptr)), garbled_counter(0), e(p), m_dwCurEnsId(0) {
    thread_mutex_init(&lock);
}

fic::~fic() {
    clearall();
    thread_mutex_destroy(&lock);
}

int fic::decode_fic(const unsigned char *fib, unsigned int status) {
    e->st->fibcnt_sum++;
    if (status & dabcommon::RDI_FIC_CRC_ERROR) {
        // The receiver found the FIB's CRC wrong.
        e->st->fibcnt_err++;
        time_t now = time(nullptr);
        if (now - last_garbled > 30) {
            e->l->log(LOG_WARN, "decode_fic: received garbled data (%d)\n", garbled_counter);
            garbled_counter = 0;
            last_garbled = now;
        } else {
            garbled_counter++;
        }
        return 0;
    }
    return decode_fib(fib);
}

int fic::decode_fib(const unsigned char *fib) {
    if (fib[0] == 0xFF) return 0;  // padding only
    fig_s f = {};
    std::memcpy(f.ob, fib, FIB_BYTES);
    const bool debug = debug_wanted(e);
    if (debug) {
        char line[FIB_BYTES * 3 + 1];
        for (int i = 0; i < FIB_BYTES; i++) snprintf(line + 3 * i, 4, "%02x ", f.ob[i]);
        e->l->log(LOG_DEBUG, "%s\n", line);
    }
    if (e->fib_decoder_callback && e->fib_decoder_callback(e->fib_decoder_context, f.ob) == -1) return 0;

    int p = 0;
    while (p < FIB_BYTES) {
        e->st->figcnt_sum++;
        int h = f.ob[p];
        if (h == 0xFF) break;  // end marker
        int type = h >> 5, len = h & 31;
        if (len > 29) {
            e->st->figcnt_err++;
            e->l->log(LOG_WARN, "decode_fic: invalid fig hdr len %d\n", len);
            break;
        }
        e->l->log(LOG_DEBUG, "decode_fic: FIG type %d Length %d\n", type, len);
        // The type-specific byte; a header in the FIB's last byte has none.
        int b = p + 1 < FIB_BYTES ? f.ob[p + 1] : 0;
        f.hdr = fig_header_t{};
        f.hdr.type = type;
        f.hdr.len = len;
        bool decodable = true;
        switch (type) {
            case 0:
                f.hdr.cn = b >> 7;
                f.hdr.oe = b >> 6 & 1;
                f.hdr.pd = b >> 5 & 1;
                f.hdr.ext = b & 0x1F;
                e->l->log(LOG_DEBUG, "decode_fic: C/N:%d OE:%d P/D:%d Ext:%d\n", f.hdr.cn, f.hdr.oe, f.hdr.pd,
                          f.hdr.ext);
                break;
            case 1:
                f.hdr.charset = b >> 4;
                f.hdr.oe = b >> 3 & 1;
                f.hdr.ext = b & 0x07;
                e->l->log(LOG_DEBUG, "decode_fic: Charset:%d OE:%d Ext: %d\n", f.hdr.charset, f.hdr.oe, f.hdr.ext);
                break;
            case 5:
                f.hdr.d1 = b >> 7;
                f.hdr.d2 = b >> 6 & 1;
                f.hdr.tcid = b >> 3 & 0x07;
                f.hdr.ext = b & 0x07;
                break;
            default:
                // Types without a decoder (e.g. extended labels of type 2) are skipped by their length.
                decodable = false;
                break;
        }
        {
            const int start = p + 2;
            const int end = start + len - 1;  // first byte after the FIG
            if (start + len > FIB_BYTES + 1) {
                // Reported once per FIG: it runs past the FIB, so nothing can follow it.
                e->l->log(LOG_WARN, "decode_fic: invalid framelen %d/%d len:%d lastpos:%d\n", type, f.hdr.ext, len,
                          start);
                e->st->figcnt_err++;
                break;
            }
            if (!decodable) {
                e->l->log(LOG_DEBUG, "decode_fic: Unknown FIG: %d ext %d\n", type, f.hdr.ext);
                e->st->figcnt_unk++;
                p = end;
                continue;
            }
            f.start = start;
            f.end = end;
            p = start;
            if (e->fig_decoder_callback && e->fig_decoder_callback(e->fig_decoder_context, &f, start) == -1) {
                p = end;  // the hook took the FIG: go on behind it
                continue;
            }
            while (p < end) {
                fig *obj = make_fig_decoder(e, type, f.hdr.ext);
                if (!obj) {
                    e->l->log(LOG_DEBUG, "decode_fic: Unknown FIG: %d ext %d\n", type, f.hdr.ext);
                    e->st->figcnt_unk++;
                    obj = new gen_fig(e);
                    if (debug) {
                        char bytes[FIB_BYTES * 5 + 1] = "";
                        for (int i = p; i < end; i++) snprintf(bytes + 5 * (i - p), 6, " 0x%02x", f.ob[i]);
                        e->l->log(LOG_DEBUG, "%s\n", bytes);
                    }
                    p = end - 1;
                }
                obj->ptr->hdr = f.hdr;
                // The len bytes behind the type-specific byte, as far as the FIB reaches.
                int raw = len < FIB_BYTES - start ? len : FIB_BYTES - start;
                std::memcpy(obj->ptr->rawfig, f.ob + start, static_cast<size_t>(raw));
                int k = p;
                if (obj->decode_fig(&f, k)) {
                    if (replace(obj) > 0) delete obj;  // the store kept its own object with the new contents
                } else {
                    delete obj;
                }
                p = k >= p ? k + 1 : p + 1;
            }
            p = end;
        }
    }
    return 0;
}

int fic::add_fig(fig *f) {
    f->next = m_figs;
    m_figs = f;
    return 1;
}

fig *fic::find(fig *after, void *data, fig *g, int crit) {
    for (fig *f = after ? after->next : m_figs; f; f = f->next) {
        if (f->ptr->hdr.type != g->ptr->hdr.type || f->ptr->hdr.ext != g->ptr->hdr.ext) continue;
        if (crit && !findcrit(f, g)) continue;
        if (data) std::memcpy(data, f->ptr, static_cast<size_t>(f->ptr->datasize));
        return f;
    }
    return nullptr;
}

fig *fic::find(fig *after, void *data, int figtype, int ext) {
    gen_fig pattern(e);
    pattern.data.hdr.type = figtype;
    pattern.data.hdr.ext = ext;
    return find(after, data, &pattern, 0);
}

int fic::findcrit(fig *f, fig *g) {
    if (e->fig_replace_callback) {
        int r = e->fig_replace_callback(e->fig_replace_context, f->ptr, g->ptr);
        if (r != -1) return r;
    }
    const fig_header_t &a = f->ptr->hdr;
    const fig_header_t &b = g->ptr->hdr;
    const bool cn = a.cn == b.cn;
    if (a.type == 0) {
        switch (a.ext) {
            case 0:
            case 7:
            case 9:
            case 10:
            case 12: return cn;
            case 1: return cn && same(f, g, &sub_channel_organization_t::subchid);
            case 2: return cn && same(f, g, &service_organization_t::sid);
            case 3: return cn && same(f, g, &service_component_packet_t::scid);
            case 17: return cn && same(f, g, &programme_type_t::sid);
            case 18: return cn && same(f, g, &announcement_support_t::sid);
            case 19: return cn && same(f, g, &announcement_switching_t::cluster_id);
            case 4: return cn && same(f, g, &service_component_steam_t::subchid_fidcid);
            case 16: return cn && same(f, g, &programme_number_t::pnum);
            case 5: return cn && same(f, g, &service_component_language_t::subchid_fidcid_scid);
            // A component is identified within its service: the same SCIdS recurs in every service.
            case 8:
                return cn && same(f, g, &service_component_global_definition_t::scids) &&
                       same(f, g, &service_component_global_definition_t::sid);
            case 20: return cn && same(f, g, &service_component_trigger_t::subchid_fidcid);
            case 6: return cn && same(f, g, &service_linking_t::lsn);
            case 22:
                return cn && same(f, g, &transmitter_identification_information_t::mainid) &&
                       same(f, g, &transmitter_identification_information_t::ms);
            default: return 1;
        }
    }
    if (a.type == 1) {
        switch (a.ext) {
            case 1:
            case 5: return same(f, g, &dablabel_t::id);
            case 4: return same(f, g, &dablabel_t::scids) && same(f, g, &dablabel_t::id);
            case 2: {
                const auto &x = rec<programme_type_downloading_t>(f);
                const auto &y = rec<programme_type_downloading_t>(g);
                if (x.coarse_code != y.coarse_code || x.cf_flag != y.cf_flag) return 0;
                return !x.cf_flag || x.fine_code == y.fine_code;
            }
            default: return 1;
        }
    }
    return 1;
}

int fic::replace(fig *g) {
    mutex_guard guard(&lock);
    int count = 0;
    for (fig *f = find(nullptr, nullptr, g, 1); f; f = find(f, nullptr, g, 1)) {
        int occurence = f->ptr->occurence;
        int size = f->ptr->datasize < g->ptr->datasize ? f->ptr->datasize : g->ptr->datasize;
        std::memcpy(f->ptr, g->ptr, static_cast<size_t>(size));
        f->ptr->datasize = size;
        f->ptr->timestamp = static_cast<fig_time_t>(time(nullptr));
        f->ptr->occurence = occurence + 1;
        count++;
    }
    if (!count) add_fig(g);
    if (count > 1) e->l->log(LOG_WARN, "replace: replaced %d times?\n", count);
    return count;
}

int fic::collect_garbage() {
    mutex_guard guard(&lock);
    time_t now = time(nullptr);
    int count = 0;
    for (fig **link = &m_figs; *link;) {
        fig *f = *link;
        if (now - static_cast<time_t>(f->ptr->timestamp) > FIG_MAX_AGE) {
            *link = f->next;
            // TII records come and go with reception conditions: not worth a line each.
            if (!(f->ptr->hdr.type == 0 && f->ptr->hdr.ext == 22))
                e->l->log(LOG_WARN, "collect_garbage: FIG %d/%d is garbage - deleted.\n", f->ptr->hdr.type,
                          f->ptr->hdr.ext);
            delete f;
            count++;
        } else {
            link = &f->next;
        }
    }
    return count;
}

int fic::clear(int type, int ext) {
    mutex_guard guard(&lock);
    int count = 0;
    for (fig **link = &m_figs; *link;) {
        fig *f = *link;
        if (f->ptr->hdr.type == type && f->ptr->hdr.ext == ext) {
            *link = f->next;
            delete f;
            count++;
        } else {
            link = &f->next;
        }
    }
    return count;
}

int fic::clearall() {
    mutex_guard guard(&lock);
    int count = 0;
    while (m_figs) {
        fig *f = m_figs;
        m_figs = f->next;
        delete f;
        count++;
    }
    return count;
}

int fic::findall(void *data, int figtype, int ext) {
    if (!data) return 0;
    mutex_guard guard(&lock);
    int count = 0;
    gen_data_t *last = nullptr;
    for (fig *f = find(nullptr, nullptr, figtype, ext); f; f = find(f, nullptr, figtype, ext)) {
        size_t size = static_cast<size_t>(f->ptr->datasize);
        gen_data_t *copy = count == 0 ? static_cast<gen_data_t *>(data) : static_cast<gen_data_t *>(malloc(size));
        if (!copy) break;  // the chain ends at the last complete copy
        std::memcpy(copy, f->ptr, size);
        fig_set_next(copy, nullptr);
        if (last) fig_set_next(last, copy);
        last = copy;
        count++;
    }
    if (!count) free(data);
    return count;
}

std::vector<fig_summary_t> fic::summaries() {
    std::vector<fig_summary_t> out;
    mutex_guard guard(&lock);
    for (fig *f = m_figs; f; f = f->next) {
        const gen_data_t &g = *f->ptr;
        out.push_back({g.hdr.type, g.hdr.ext, g.hdr.len, g.hdr.oe, g.hdr.pd, g.hdr.cn, g.hdr.charset, g.timestamp,
                       g.occurence});
    }
    return out;
}

int fic::get_ensemble_id() {
    mutex_guard guard(&lock);
    int eid = 0;
    for (fig *f = find(nullptr, nullptr, 0, 0); f; f = find(f, nullptr, 0, 0))
        eid = rec<ensemble_information_t>(f).eid;
    m_dwCurEnsId = eid;
    return eid;
}

int fic::get_label(char *s, bool shortname) {
    mutex_guard guard(&lock);
    s[0] = 0;
    int count = 0;
    for (fig *f = find(nullptr, nullptr, 1, 0); f; f = find(f, nullptr, 1, 0)) {
        if (count == 0) {
            const dablabel_t &l = rec<dablabel_t>(f);
            copy_field(s, 17, shortname ? l.short_name : l.name);
        }
        count++;
    }
    return count;
}

int fic::get_ensemble_label(char *s) { return get_label(s, false); }

int fic::get_ensemble_shortlabel(char *s) { return get_label(s, true); }
