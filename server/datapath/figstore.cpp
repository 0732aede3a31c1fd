// The FIG store: storing, refreshing, ageing and reading FIG records.

#include "datapath/figstore.h"

#include <cstdlib>
#include <cstring>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/figdec.h"

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

}  // namespace

fig_store::fig_store(ensemble *p) : m_figs(nullptr), lock(), e(p), m_dwCurEnsId(0) { thread_mutex_init(&lock); }

fig_store::~fig_store() {
    clearall();
    thread_mutex_destroy(&lock);
}

int fig_store::add_fig(fig *f) {
    f->next = m_figs;
    m_figs = f;
    return 1;
}

fig *fig_store::find(fig *after, void *data, fig *g, int crit) {
    for (fig *f = after ? after->next : m_figs; f; f = f->next) {
        if (f->ptr->hdr.type != g->ptr->hdr.type || f->ptr->hdr.ext != g->ptr->hdr.ext) continue;
        if (crit && !findcrit(f, g)) continue;
        if (data) std::memcpy(data, f->ptr, static_cast<size_t>(f->ptr->datasize));
        return f;
    }
    return nullptr;
}

fig *fig_store::find(fig *after, void *data, int figtype, int ext) {
    gen_fig pattern(e);
    pattern.data.hdr.type = figtype;
    pattern.data.hdr.ext = ext;
    return find(after, data, &pattern, 0);
}

int fig_store::findcrit(fig *f, fig *g) {
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

int fig_store::replace(fig *g) {
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

int fig_store::collect_garbage() {
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

int fig_store::clear(int type, int ext) {
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

int fig_store::clearall() {
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

int fig_store::findall(void *data, int figtype, int ext) {
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

std::vector<fig_summary_t> fig_store::summaries() {
    std::vector<fig_summary_t> out;
    mutex_guard guard(&lock);
    for (fig *f = m_figs; f; f = f->next) {
        const gen_data_t &g = *f->ptr;
        out.push_back({g.hdr.type, g.hdr.ext, g.hdr.len, g.hdr.oe, g.hdr.pd, g.hdr.cn, g.hdr.charset, g.timestamp,
                       g.occurence});
    }
    return out;
}

int fig_store::get_ensemble_id() {
    mutex_guard guard(&lock);
    int eid = 0;
    for (fig *f = find(nullptr, nullptr, 0, 0); f; f = find(f, nullptr, 0, 0))
        eid = rec<ensemble_information_t>(f).eid;
    m_dwCurEnsId = eid;
    return eid;
}

int fig_store::get_label(char *s, bool shortname) {
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

int fig_store::get_ensemble_label(char *s) { return get_label(s, false); }

int fig_store::get_ensemble_shortlabel(char *s) { return get_label(s, true); }
