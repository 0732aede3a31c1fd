#include "datapath/msc.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "common/dab_tables.h"
#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/fic.h"
#include "datapath/ringbuff.h"

namespace {

bool valid_subch(int s) { return s >= 0 && s < MAX_SUBCHANNELS; }

void reset_decoder(subch_decoder_t &st, uint32_t generation) {
    st.pos = 0;
    st.fpad_1 = 0;
    st.after_gap = false;
    st.ci = xpad_ci_state_t{};
    st.generation = generation;
}

int route_framesize(uint32_t r) { return static_cast<int>(r & 0x1FFF); }
int route_tmid(uint32_t r) { return static_cast<int>((r >> 13) & 3); }
int route_audio(uint32_t r) { return static_cast<int>((r >> 15) & 1); }
int route_dabplus(uint32_t r) { return static_cast<int>((r >> 16) & 1); }
uint32_t route_generation(uint32_t r) { return r >> 17; }

bool dabplus_table_entry(const dab_subchannel_t &t) {
    return t.prot_level != 0 && t.tmid == 0 && t.ascty == ASCTY_DABPLUS;
}

// A DAB+ subchannel's LOAS frames and PAD records into its ring.
class ring_sink : public dabplus_sink {
public:
    ring_sink(ringbuff *rb, int subch) : rb_(rb), subch_(subch) {}
    void loas_frame(const uint8_t *p, int len) override { rb_->ring_write_frame(subch_, 0, p, len); }
    void pad_record(const uint8_t *p, int len) override { rb_->ring_write(subch_, 1, p, len); }

private:
    ringbuff *rb_;
    int subch_;
};

void reset_counters(dabplus_counters &c) {
    for (auto *a : {&c.superframes, &c.sync_losses, &c.rs_corrected, &c.rs_uncorrectable, &c.au_crc_errors,
                    &c.bad_superframes, &c.aus, &c.pad_errors})
        a->store(0, std::memory_order_relaxed);
}

// A findall result chain that frees itself.
template <class R>
class fig_list {
public:
    fig_list(fic *store, int type, int ext) {
        auto *first = static_cast<R *>(calloc(1, sizeof(R)));
        if (first && store->findall(first, type, ext) > 0) head_ = first;
    }
    ~fig_list() { fig_free_chain(head_); }
    fig_list(const fig_list &) = delete;
    fig_list &operator=(const fig_list &) = delete;

    bool empty() const { return head_ == nullptr; }
    template <class F>
    void each(F f) const {
        for (gen_data_t *g = head_; g; g = fig_next(g)) f(*static_cast<const R *>(g));
    }

private:
    gen_data_t *head_ = nullptr;
};

constexpr unsigned char ff_fill[64] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace

// ---- pure decoding helpers ----

int subchannel_framesize(int short_long, int option, int protection_level, int sub_channel_size, int table_switch,
                         int table_index) {
    if (short_long == 0) {
        if (table_switch != 0 || table_index < 0 || table_index >= static_cast<int>(modes.size())) return 0;
        return modes[static_cast<size_t>(table_index)].framesize;
    }
    if (protection_level < 1 || protection_level > 4 || sub_channel_size < 0) return 0;
    // 3 bytes per kbit/s: EEP-A carries 8 kbit/s per {12, 8, 6, 4} CUs, EEP-B 32 kbit/s per {27, 21, 18, 15}.
    static constexpr int set_a[4] = {2, 3, 4, 6};
    static constexpr int set_b[4] = {9, 7, 6, 5};
    if (option == 0) return sub_channel_size * set_a[protection_level - 1];
    return sub_channel_size * 32 / set_b[protection_level - 1];
}

int extract_pad_record(subch_decoder_t &st, unsigned char *buf, const unsigned char *frame, int framelen) {
    if (!frame || framelen <= 0) return pad_record_empty(buf, nullptr, 0);
    // Header, F-PAD and at least one byte between them, or there is no PAD to speak of.
    if (framelen < 7) return pad_record_empty(buf, frame, framelen);

    const int L = framelen;
    // The X-PAD ends right before the scale factor CRC (EN 300 401, audio frame structure):
    // 4 bytes for the higher bit rates (and single channel from index 4 on), else 2.
    const int bitrate_index = frame[2] >> 4;
    const int mode = frame[3] >> 6;
    bool crc4 = true;
    if (frame[1] & 0x04) crc4 = (bitrate_index >= 4 && mode == 3) || bitrate_index >= 7;
    // Lengths come from the broadcast: never read into the audio header, let alone before the frame.
    return pad_record(buf, frame, frame + L - 2, frame, 4, L - (crc4 ? 7 : 5), st.fpad_1, st.ci);
}

int packet_error_score(const unsigned char *frame, int len, int errors) {
    constexpr int ceiling = 1 << 30;
    int p = 0;
    while (p + 3 <= len) {
        // Packet header: length(2) continuity(2) first/last(2) address(10); command(1) useful length(7)
        const int packet_length = 24 * (1 + (frame[p] >> 6));
        const int useful = frame[p + 2] & 0x7F;
        if (useful <= packet_length) {
            if (errors > 0) errors--;
        } else if (errors < ceiling) {
            errors += 5;
        }
        p += packet_length;
    }
    return errors;
}

// ---- msc ----

msc::msc(ensemble *p)
    : subchannel(), service(), dabplus_stats(), packet_errors(0), other_errors(0), first(1), eid(0), e(p), lck(),
      route(), dec(), plus_(), plus_header_() {
    thread_mutex_init(&lck);
    for (auto &r : route) r.store(0);
    for (auto &h : plus_header_) h.store(-1);
    for (auto &d : dec) reset_decoder(d, 0);
}

msc::~msc() {
    free_sc();
    thread_mutex_destroy(&lck);
}

uint32_t msc::pack_route(int framesize, int tmid, int audio, int dabplus, uint32_t generation) {
    const auto fs = static_cast<uint32_t>(std::clamp(framesize, 0, MAX_SUBCH_FRAME));
    return fs | static_cast<uint32_t>(tmid & 3) << 13 | static_cast<uint32_t>(audio ? 1 : 0) << 15 |
           static_cast<uint32_t>(dabplus ? 1 : 0) << 16 | (generation & 0x7FFF) << 17;
}

void msc::publish_routes(const dab_subchannel_t *t, bool reset) {
    for (int i = 0; i < MAX_SUBCHANNELS; i++) {
        const uint32_t old = route[static_cast<size_t>(i)].load(std::memory_order_relaxed);
        const int audio = t[i].prot_level != 0 && t[i].tmid == 0;
        const int plus = dabplus_table_entry(t[i]);
        const uint32_t same = pack_route(t[i].framesize, t[i].tmid, audio, plus, route_generation(old));
        route[static_cast<size_t>(i)].store(reset || same != old ? pack_route(t[i].framesize, t[i].tmid, audio, plus,
                                                                               route_generation(old) + 1)
                                                                 : old,
                                            std::memory_order_release);
    }
}

int msc::isaudio(int subchid) {
    return valid_subch(subchid) && subchannel[subchid].prot_level != 0 && subchannel[subchid].tmid == 0;
}
int msc::isdabplus(int subchid) { return valid_subch(subchid) && dabplus_table_entry(subchannel[subchid]); }

bool msc::dabplus_format(int subchid, dabcommon::sf_header &h) const {
    if (!valid_subch(subchid)) return false;
    const int b = plus_header_[static_cast<size_t>(subchid)].load(std::memory_order_relaxed);
    if (b < 0) return false;
    h = dabcommon::sf_parse_header(static_cast<uint8_t>(b));
    return true;
}

int msc::isstream(int subchid) { return valid_subch(subchid) && subchannel[subchid].tmid == 1; }
int msc::ispacketdata(int subchid) { return valid_subch(subchid) && subchannel[subchid].tmid == 3; }
int msc::gettmid(int subchid) { return valid_subch(subchid) ? subchannel[subchid].tmid : 0; }
int msc::subchsize(int subchid) { return valid_subch(subchid) ? subchannel[subchid].framesize : 0; }

void msc::lock() { thread_mutex_lock(&lck); }
void msc::unlock() { thread_mutex_unlock(&lck); }

void msc::free_sc() {
    for (auto &s : service) {
        free(s.sc);
        s = dab_service_t{};
    }
}

int msc::compare_sid(const void *x, const void *y) {
    const int a = static_cast<const dab_service_t *>(x)->sid;
    const int b = static_cast<const dab_service_t *>(y)->sid;
    return a < b ? -1 : a > b ? 1 : 0;
}

void msc::clear_tables() {
    mutex_guard g(&lck);
    eid = 0;
    std::memset(subchannel, 0, sizeof subchannel);
    publish_routes(subchannel, true);
    free_sc();
    first = 1;
}

void msc::restart_decoders() {
    mutex_guard g(&lck);
    publish_routes(subchannel, true);
}

void msc::score_packets(const unsigned char *f, int len) {
    int before = packet_errors.load();
    // A reset by the watcher in between wins over this frame's score.
    packet_errors.compare_exchange_strong(before, packet_error_score(f, len, before));
}

int msc::xtract_pad(int subch, unsigned char *buf, unsigned char *frame, int framelen) {
    if (!valid_subch(subch)) return 0;
    return extract_pad_record(dec[static_cast<size_t>(subch)], buf, frame, framelen);
}

void msc::write_pad(int subch, subch_decoder_t &st, const unsigned char *frame, int len) {
    unsigned char rec[PAD_RECORD_MAX];
    const int n = extract_pad_record(st, rec, frame, len);
    e->rbuff->ring_write(subch, 1, rec, n);
}

void msc::pad_frame(int subch, subch_decoder_t &st, const unsigned char *f, int size) {
    const int n = std::min(size, MAX_AUDIO_FRAME);
    const bool after_gap = st.after_gap;
    st.after_gap = false;
    if (n >= 2 && f[0] == 0xFF && (f[1] & 0xF8) == 0xF0) {
        // MPEG-2 at 24 kHz: one audio frame spans two logical frames.
        if (st.pos > 0) write_pad(subch, st, st.frame, st.pos);
        std::memcpy(st.frame, f, static_cast<size_t>(n));
        st.pos = n;
    } else if (st.pos == 0) {
        // Right after a gap a frame without a sync word is the tail of one whose head was lost.
        const bool sync = n >= 2 && f[0] == 0xFF && (f[1] & 0xF0) == 0xF0;
        if (!after_gap || sync) write_pad(subch, st, f, n);
    } else if (st.pos + n <= MAX_AUDIO_FRAME) {
        std::memcpy(st.frame + st.pos, f, static_cast<size_t>(n));
        st.pos += n;
    } else {
        st.pos = 0;
    }
}

void msc::dabplus_frame(int subch, bool fresh, const unsigned char *f, int len, int size) {
    const auto i = static_cast<size_t>(subch);
    if (!plus_[i]) {
        plus_[i] = std::make_unique<dabplus_decoder>(&dabplus_stats[i]);
        fresh = true;
    }
    if (fresh) {
        reset_counters(dabplus_stats[i]);
        plus_[i]->reset(size / 24);
        plus_header_[i].store(-1, std::memory_order_relaxed);
    }
    if (len < size) {
        e->l->log(LOG_WARN, "decode_sub: premature end of data %d/%d subch:%d\n", len, size, subch);
        e->st->msccnt_err++;
    }
    // A short frame is a lost one to the decoder: its superframe is given up, sync sought anew.
    ring_sink out(e->rbuff, subch);
    plus_[i]->feed(f, len, out);
    if (plus_[i]->has_format())
        plus_header_[i].store(dabcommon::sf_pack_header(plus_[i]->format()), std::memory_order_relaxed);
}

int msc::wanted_frame_size(int subch) const {
    if (!valid_subch(subch)) return 0;
    const int size = route_framesize(route[static_cast<size_t>(subch)].load(std::memory_order_acquire));
    return size && e->rbuff->is_req(subch) ? size : 0;
}

int msc::decode_sub(int subch, const unsigned char *data, int len, bool cut, int packing22) {
    if (!valid_subch(subch) || !data || len < 0) return 0;
    const uint32_t r = route[static_cast<size_t>(subch)].load(std::memory_order_acquire);
    const int size = route_framesize(r);
    if (size == 0 || !e->rbuff->is_req(subch)) return 0;
    subch_decoder_t &st = dec[static_cast<size_t>(subch)];
    const bool fresh = st.generation != route_generation(r);
    if (fresh) reset_decoder(st, route_generation(r));

    e->st->msccnt_sum++;
    if (route_dabplus(r)) {
        dabplus_frame(subch, fresh, data, std::min(len, size), size);
        return size;
    }
    const int group = packing22 ? 11 : 5;
    const int tmid = route_tmid(r);
    if (tmid == 3) e->rbuff->ring_write(subch, 0, PACKET_MARKER, sizeof PACKET_MARKER);

    // A group cut short that is the frame's last still carries its bytes; one cut earlier,
    // or a frame shorter than configured, leaves bytes missing.
    int have = std::min(len, size);
    bool premature = len < size;
    if (cut && size - (len - group) > group) {
        premature = true;
        have = std::max(len - group, 0);
    }
    e->rbuff->ring_write(subch, 0, data, have);

    if (premature) {
        e->l->log(LOG_WARN, "decode_sub: premature end of data %d/%d subch:%d\n", have, size, subch);
        e->st->msccnt_err++;
        for (int left = size - have; left > 0;) {
            const int n = std::min(left, static_cast<int>(sizeof ff_fill));
            e->rbuff->ring_write(subch, 0, ff_fill, n);
            left -= n;
        }
        // The missing bytes are unknown: no PAD from this frame, nor from a half it completes.
        st.pos = 0;
        st.after_gap = true;
        if (tmid == 3) score_packets(data, have);
        return size;
    }

    if (route_audio(r)) {
        pad_frame(subch, st, data, size);
    } else if (tmid == 3) {
        score_packets(data, size);
    }
    return size;
}

// ---- the rebuild ----

namespace {

// The next service table, built from the store's records before it replaces the current one.
struct table_draft {
    dab_subchannel_t sub[MAX_SUBCHANNELS] = {};
    dab_service_t svc[MAX_SERVICES] = {};
    // Whether a component's subchannel is known: a packet component without its FIG 0/3
    // has none, and subchannel 0 must not be taken for it.
    bool placed[MAX_SERVICES][16] = {};
    int count = 0;
    bool installed = false;

    table_draft() = default;
    table_draft(const table_draft &) = delete;
    table_draft &operator=(const table_draft &) = delete;
    ~table_draft() {
        if (!installed)
            for (auto &s : svc) free(s.sc);
    }

    template <typename F> void each_component(F f) {
        for (int i = 0; i < count; i++)
            for (int j = 0; j < svc[i].numofsc; j++) f(svc[i], svc[i].sc[j], placed[i][j]);
    }

    // Services and their components; packet components find their subchannel through FIG 0/3.
    // False when memory runs out.
    bool add_services(fic *store, fig_list<service_organization_t> &services) {
        fig_list<service_component_packet_t> packets(store, 0, 3);
        bool ok = true;
        services.each([&](const service_organization_t &so) {
            if (count >= MAX_SERVICES || !ok) return;
            const int n = std::clamp(static_cast<int>(so.num_of_sc), 0, 16);
            dab_service_t &s = svc[count];
            // Never null: a null component array ends the table for its readers.
            s.sc = static_cast<dab_component_t *>(calloc(static_cast<size_t>(std::max(n, 1)), sizeof(dab_component_t)));
            if (!s.sc) {
                ok = false;
                return;
            }
            s.sid = so.sid;
            s.numofsc = n;
            for (int j = 0; j < n; j++) add_component(s, j, so.service_comp_desc[j], packets);
            count++;
        });
        return ok;
    }

    void add_component(dab_service_t &s, int j, const service_comp_desc_t &d,
                       fig_list<service_component_packet_t> &packets) {
        dab_component_t &c = s.sc[j];
        c.tmid = d.tmid;
        c.ps = d.ps;
        if (d.tmid == 2 || d.tmid == 3) {
            packets.each([&](const service_component_packet_t &pk) {
                if (pk.scid != d.scid) return;
                const int n = pk.subchid & 63;
                sub[n].tmid = 3;
                c.scid = d.scid;
                c.subchannel = n;
                c.parent = &s;
                placed[count][j] = true;
            });
        } else {
            const int n = d.subchid & 63;
            sub[n].tmid = d.tmid;
            sub[n].sid = s.sid;
            if (d.tmid == 0) {
                sub[n].ascty = d.scty;
                c.ascty = d.scty;
            }
            c.subchannel = n;
            c.parent = &s;
            placed[count][j] = true;
        }
    }

    // Component identifiers within the service.
    void add_component_ids(fic *store) {
        fig_list<service_component_global_definition_t>(store, 0, 8).each(
            [&](const service_component_global_definition_t &g) {
                each_component([&](dab_service_t &s, dab_component_t &c, bool has_subch) {
                    if (s.sid != g.sid) return;
                    // The long form names the packet component by its identifier, not by a subchannel.
                    const bool match = g.ls_flag ? (c.tmid == 3 && c.scid == g.scid)
                                                 : (has_subch && c.subchannel == g.subchid_fidcid);
                    if (match) c.scids = g.scids;
                });
            });
    }

    // Service labels, then component labels (FIG 1/4) and data service labels (FIG 1/5).
    void add_labels(fic *store) {
        fig_list<dablabel_t>(store, 1, 1).each([&](const dablabel_t &lab) {
            for (auto &t : sub)
                if (t.sid == lab.id) {
                    copy_field(t.label, lab.name);
                    copy_field(t.shortlabel, lab.short_name);
                }
            for (int i = 0; i < count; i++)
                if (svc[i].sid == lab.id) {
                    copy_field(svc[i].label, lab.name);
                    copy_field(svc[i].shortlabel, lab.short_name);
                }
        });
        for (int ext : {4, 5}) {
            fig_list<dablabel_t>(store, 1, ext).each([&](const dablabel_t &lab) {
                each_component([&](dab_service_t &s, dab_component_t &c, bool has_subch) {
                    if (s.sid != lab.id || c.scids != lab.scids) return;
                    copy_field(c.label, lab.name);
                    copy_field(c.shortlabel, lab.short_name);
                    if (has_subch) {
                        copy_field(sub[c.subchannel].label, lab.name);
                        copy_field(sub[c.subchannel].shortlabel, lab.short_name);
                    }
                });
            });
        }
    }

    // Subchannel sizes, and the ring buffers set up for them. False without FIG 0/1.
    bool add_subchannels(fic *store, logger *l, ringbuff *rings) {
        fig_list<sub_channel_organization_t> orgs(store, 0, 1);
        if (orgs.empty()) return false;
        orgs.each([&](const sub_channel_organization_t &o) {
            const int n = o.subchid & 63;
            dab_subchannel_t &t = sub[n];
            t.bitrate = o.bitrate;
            t.prot_level = o.protection_level;
            const int fs = subchannel_framesize(o.short_long, o.option, o.protection_level, o.sub_channel_size,
                                                o.table_switch, o.table_index);
            // Judged on this configuration: the previous one may not know the subchannel yet.
            const int audio = t.prot_level != 0 && t.tmid == 0;
            const bool plus = dabplus_table_entry(t);
            // A DAB+ superframe is five logical frames of 24 bytes per 8 kbit/s.
            if ((audio && (fs < 1 || fs > MAX_AUDIO_FRAME)) || fs > MAX_SUBCH_FRAME || (plus && fs % 24 != 0)) {
                l->log(LOG_WARN, "subch:%d invalid framesize:%d, audio %i\n", n, fs, audio);
            } else {
                t.framesize = fs;
                const int kind = !audio ? 0 : plus ? RING_AUDIO_LOAS : RING_AUDIO_MPEG;
                // Both parts of a DAB+ stream are written a whole LOAS frame or PAD record at a time.
                const int flags = plus ? RING_VARFRAMES : 0;
                rings->ringbuf_properties(n, 0, fs, kind, t.label, flags);
                rings->ringbuf_properties(n, 1, fs, kind, t.label, flags);
            }
            each_component([&](dab_service_t &, dab_component_t &c, bool has_subch) {
                if (!has_subch || c.subchannel != n) return;
                c.prot_level = t.prot_level;
                c.bitrate = t.bitrate;
                c.framesize = fs;
            });
        });
        return true;
    }

    void add_programme_types(fic *store) {
        fig_list<programme_type_t>(store, 0, 17).each([&](const programme_type_t &pt) {
            for (auto &t : sub)
                if (t.sid == pt.sid) t.pty = pt.int_code;
            for (int i = 0; i < count; i++)
                if (svc[i].sid == pt.sid) svc[i].pty = pt.int_code;
        });
    }
};

}  // namespace

int msc::get_subch_info(const std::function<void(const dab_subchannel_t *)> &before_install) {
    if (!first) return 0;
    fic *store = e->fic_stream;

    fig_list<service_organization_t> services(store, 0, 2);
    if (services.empty()) return 0;

    table_draft draft;
    if (!draft.add_services(store, services)) return 0;
    draft.add_component_ids(store);
    draft.add_labels(store);
    if (!draft.add_subchannels(store, e->l, e->rbuff)) return 0;
    draft.add_programme_types(store);

    int new_eid = -1;
    fig_list<ensemble_information_t>(store, 0, 0).each([&](const ensemble_information_t &ei) { new_eid = ei.eid; });

    if (before_install) before_install(draft.sub);

    // Install. Components point at their service's final place in the table.
    std::qsort(draft.svc, static_cast<size_t>(draft.count), sizeof draft.svc[0], compare_sid);
    {
        mutex_guard g(&lck);
        std::memcpy(subchannel, draft.sub, sizeof subchannel);
        publish_routes(subchannel, false);
        free_sc();
        for (int i = 0; i < draft.count; i++) {
            service[i] = draft.svc[i];
            for (int j = 0; j < service[i].numofsc; j++) service[i].sc[j].parent = &service[i];
        }
        draft.installed = true;
        if (new_eid >= 0) eid = new_eid;
    }

    // A subchannel that left the configuration ends the streams reading it.
    for (int i = 0; i < MAX_SUBCHANNELS; i++)
        if (draft.sub[i].framesize == 0) e->rbuff->ringbuf_deact(i);
    return 1;
}
