// Configuration fetch: FIG queries to the server (or its store) and the decoder's view of them.

#include "mot/fig_utils.h"

#include <cstdlib>
#include <cstring>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/fic.h"
#include "httpd/httpd.h"
#include "mot/motmain.h"

namespace {

constexpr int reply_max = 32768;
constexpr int max_blocks = 128;
constexpr int max_block_length = 1024;
// Room for the largest record of any type.
constexpr size_t store_buffer = 10240;

uint32_t le32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

bool terminated(const char (&field)[17]) { return memchr(field, 0, sizeof field) != nullptr; }

template <class R>
R *next_of(R *r) {
    return static_cast<R *>(fig_next(r));
}

}  // namespace

int fig_record_size(int type, int ext) {
    if (type == 1) return sizeof(dablabel_t);
    if (type != 0) return sizeof(gen_data_t);
    switch (ext) {
        case 0: return sizeof(ensemble_information_t);
        case 1: return sizeof(sub_channel_organization_t);
        case 2: return sizeof(service_organization_t);
        case 3: return sizeof(service_component_packet_t);
        default: return sizeof(gen_data_t);
    }
}

gen_data_s *parse_fig_reply(ensemble *e, const unsigned char *buf, int len, int type, int ext) {
    const int greeting = static_cast<int>(sizeof fig_reply_greeting - 1);
    if (!buf || len < greeting || memcmp(buf, fig_reply_greeting, greeting) != 0) {
        char shown[201];
        printable(shown, sizeof shown, reinterpret_cast<const char *>(buf), buf && len > 0 ? len : 0);
        e->l->log(LOG_CRIT, "Protocol error, wrong FIG reply: (length %i) %s\n", len, shown);
        return nullptr;
    }
    if (len < static_cast<int>(fig_reply_head)) {
        e->l->log(LOG_CRIT, "Protocol error, wrong FIG reply: (length %i) %s\n", len, "(no count)");
        return nullptr;
    }
    const uint32_t count = le32(buf + 12);
    e->l->log(LOG_DEBUG, "Number of blocks %i, read data length %i\n", static_cast<int>(count), len);
    if (count > max_blocks) {
        e->l->log(LOG_CRIT, "Inplausible FIG block count (%i)\n", static_cast<int>(count));
        return nullptr;
    }
    if (count == 0) return nullptr;
    const int head = static_cast<int>(fig_reply_head);
    const int64_t length = len >= head + 4 ? static_cast<int64_t>(le32(buf + head)) : 0;
    if (length > max_block_length || length < fig_record_size(type, ext) ||
        head + static_cast<int64_t>(count) * length > len) {
        e->l->log(LOG_CRIT, "Inplausible FIG block length (%i)\n", static_cast<int>(length));
        return nullptr;
    }
    const size_t l = static_cast<size_t>(length);
    gen_data_t *first = nullptr, *last = nullptr;
    for (uint32_t i = 0; i < count; i++) {
        auto *r = static_cast<gen_data_t *>(malloc(l));
        if (!r) break;
        memcpy(r, buf + head + i * l, l);
        r->datasize = static_cast<int32_t>(l);
        fig_set_next(r, nullptr);
        if (last)
            fig_set_next(last, r);
        else
            first = r;
        last = r;
    }
    return first;
}

void free_fig(void *f) { fig_free_chain(static_cast<gen_data_t *>(f)); }

gen_data_s *mot_dec_class::get_fig(const char *srv, int prt, const char *pth, int type, int ext) {
    if (prt != 0) {
        MSOCKET *s = open_stream(srv, prt, pth, type, ext, 2, &hard_restart);
        if (!s) return nullptr;
        auto *buf = static_cast<unsigned char *>(malloc(reply_max));
        gen_data_s *list = nullptr;
        if (buf) {
            int n = read_data(s, reinterpret_cast<char *>(buf), reply_max);
            if (n < 0) {
                e->l->log(LOG_CRIT, "Protocol error, wrong FIG reply: (length %i) %s\n", n, "");
            } else {
                list = parse_fig_reply(e, buf, n, type, ext);
            }
            free(buf);
        }
        close_stream(s);
        return list;
    }
    auto *first = static_cast<gen_data_t *>(malloc(store_buffer));
    if (!first) return nullptr;
    // findall frees the buffer itself when it finds nothing.
    if (ficstream->findall(first, type, ext) <= 0) {
        e->l->log(LOG_WARN, "NO FIG for %i/%i\n", type, ext);
        return nullptr;
    }
    // The store's records are taken as a reply's would be: one type, no shorter than it.
    for (gen_data_t *g = first; g; g = fig_next(g)) {
        if (g->datasize < fig_record_size(type, ext) || g->datasize > static_cast<int>(store_buffer)) {
            e->l->log(LOG_CRIT, "Inplausible FIG block length (%i)\n", g->datasize);
            fig_free_chain(first);
            return nullptr;
        }
    }
    return first;
}

int mot_dec_class::get_fig_info(const char *srv, int prt, const char *pth) {
    auto *f00 = static_cast<ensemble_information_t *>(get_fig(srv, prt, pth, 0, 0));
    fig0_0 = f00;
    if (!f00) return 0;
    // The tuned ensemble's record goes first: its eid names the output tree.
    ensemble_information_t *own = nullptr;
    for (ensemble_information_t *r = f00; r; r = next_of(r)) {
        own = r;
        if (r->hdr.oe == 0) break;
    }
    if (own != f00) {
        gen_data_t *keep = fig_next(f00);
        memcpy(static_cast<void *>(f00), own, sizeof(ensemble_information_t));
        fig_set_next(f00, keep);
    }
    fig0_0->eid &= 0xFFFF;

    fig0_1 = static_cast<sub_channel_organization_t *>(get_fig(srv, prt, pth, 0, 1));
    if (!fig0_1) return 0;
    fig0_2 = static_cast<service_organization_t *>(get_fig(srv, prt, pth, 0, 2));
    if (!fig0_2) return 0;
    fig0_3 = static_cast<service_component_packet_t *>(get_fig(srv, prt, pth, 0, 3));
    if (!fig0_3) e->l->log(LOG_CRIT, "No data channel available!\n");
    fig1_0 = static_cast<dablabel_t *>(get_fig(srv, prt, pth, 1, 0));
    if (!fig1_0) return 0;
    fig1_1 = static_cast<dablabel_t *>(get_fig(srv, prt, pth, 1, 1));
    fig1_5 = static_cast<dablabel_t *>(get_fig(srv, prt, pth, 1, 5));

    for (auto &sc : subchannels) {
        sc.type = 0;
        sc.exist = 0;
        sc.sid = 0;  // else a label follows a service to the subchannel it has left
        sc.label[0] = 0;
        sc.changed = 0;
    }
    // Every index below comes from the air or the network: checked before it is used.
    for (sub_channel_organization_t *r = fig0_1; r; r = next_of(r)) {
        if (r->subchid < 0 || r->subchid >= MOT_SUBCHANNELS) {
            e->l->log(LOG_WARN, "FIG 0/1: subchannel %i out of range, record skipped\n", r->subchid);
            continue;
        }
        subchannels[r->subchid].exist = 1;
    }
    for (service_organization_t *r = fig0_2; r; r = next_of(r)) {
        const int n = r->num_of_sc;
        bool ok = n >= 0 && n <= static_cast<int>(sizeof r->service_comp_desc / sizeof r->service_comp_desc[0]);
        for (int i = 0; ok && i < n; i++)
            if (r->service_comp_desc[i].tmid == 0 &&
                (r->service_comp_desc[i].subchid < 0 || r->service_comp_desc[i].subchid >= MOT_SUBCHANNELS))
                ok = false;
        if (!ok) {
            e->l->log(LOG_WARN, "FIG 0/2: service %08x with %i components out of range, record skipped\n",
                      static_cast<unsigned>(r->sid), n);
            continue;
        }
        for (int i = 0; i < n; i++) {
            const service_comp_desc_t &c = r->service_comp_desc[i];
            if (c.tmid == 0) {
                subchannels[c.subchid].type = 1;
                subchannels[c.subchid].sid = r->sid;
                e->l->log(LOG_DEBUG, "Subchannel (MP2) #%i, ID %08x, tmid %i scid %x\n", c.subchid,
                          static_cast<unsigned>(r->sid), c.tmid, static_cast<unsigned>(c.scid));
            } else if (c.tmid == 3) {
                e->l->log(LOG_DEBUG, "MSC Data-Subchannel ID %08x, tmid %i scid %04x\n", static_cast<unsigned>(r->sid),
                          3, static_cast<unsigned>(c.scid));
                auto *pi = static_cast<packet_info_t *>(calloc(1, sizeof(packet_info_t)));
                if (!pi) continue;
                pi->scid = c.scid;
                pi->sid = r->sid;
                pi->next = packet_info;
                packet_info = pi;
            }
        }
    }
    for (service_component_packet_t *r = fig0_3; r; r = next_of(r)) {
        if (r->subchid < 0 || r->subchid >= MOT_SUBCHANNELS || r->packet_address < 0 || r->packet_address > 1023 ||
            r->dscty < 0 || r->dscty > 63) {
            e->l->log(LOG_WARN, "FIG 0/3: scid %04x with subchannel %i, address %i out of range, record skipped\n",
                      static_cast<unsigned>(r->scid), r->subchid, r->packet_address);
            continue;
        }
        e->l->log(LOG_DEBUG, "Subchannel #%i, scid %04x, dscty %02x, addr %04x\n", r->subchid,
                  static_cast<unsigned>(r->scid), static_cast<unsigned>(r->dscty),
                  static_cast<unsigned>(r->packet_address));
        for (packet_info_t *pi = packet_info; pi; pi = pi->next)
            if (pi->scid == r->scid) {
                pi->subchid = r->subchid;
                pi->dscty = r->dscty;
                pi->addr = r->packet_address;
            }
    }
    for (dablabel_t *r = fig1_1; r; r = next_of(r)) {
        if (!terminated(r->name)) {
            e->l->log(LOG_WARN, "FIG 1/1: label of %04x not terminated, record skipped\n", static_cast<unsigned>(r->id));
            continue;
        }
        for (int n = 0; n < MOT_SUBCHANNELS; n++)
            if (subchannels[n].sid == r->id) {
                copy_field(subchannels[n].label, r->name);
                e->l->log(LOG_DEBUG, "Subchannel #%i, ID %04x, label <%s>\n", n, static_cast<unsigned>(r->id),
                          r->name);
            }
    }
    for (dablabel_t *r = fig1_5; r; r = next_of(r)) {
        if (!terminated(r->name)) {
            e->l->log(LOG_WARN, "FIG 1/5: label of %08x not terminated, record skipped\n",
                      static_cast<unsigned>(r->id));
            continue;
        }
        for (packet_info_t *pi = packet_info; pi; pi = pi->next)
            if (pi->sid == r->id) {
                copy_field(pi->label, r->name);
                e->l->log(LOG_DEBUG, "Packet subchannel #%i, ID %08x, label <%s>\n", pi->subchid,
                          static_cast<unsigned>(r->id), r->name);
            }
    }
    return 1;
}

void mot_dec_class::cleanup_figs() {
    free_fig(fig0_0);
    free_fig(fig0_1);
    free_fig(fig0_2);
    free_fig(fig0_3);
    free_fig(fig1_0);
    free_fig(fig1_1);
    free_fig(fig1_5);
    fig0_0 = nullptr;
    fig0_1 = nullptr;
    fig0_2 = nullptr;
    fig0_3 = nullptr;
    fig1_0 = fig1_1 = fig1_5 = nullptr;
    while (packet_info) {
        packet_info_t *n = packet_info->next;
        free(packet_info);
        packet_info = n;
    }
    for (auto &sc : subchannels) sc.label[0] = 0;
}
