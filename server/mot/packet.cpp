// Packet-mode decoding: service decoder registry, per-subchannel state, the packet thread.

#include "mot/packet.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "mot/crc.h"
#include "mot/mot_dec.h"
#include "mot/motmain.h"

namespace {

constexpr int open_attempts = 4;
constexpr int max_info_entries = 256;
constexpr unsigned char ci_unseen = 0xFF;  // no packet of the address yet

void *ps_stream_install(void *, packet_state_t *, p_service_component_t *, packet_info_t *) {
    return reinterpret_cast<void *>(1);
}
int ps_stream_handler(void *, packet_state_t *, p_service_component_t *, int, int, unsigned char *, int, int) {
    return 0;
}
void ps_stream_free(void *, packet_state_t *, p_service_component_t *) {}

bool stop_requested(mot_dec_class *m, decoder_info_t *hd) { return m->hard_restart.load() || hd->shutdown.load(); }

// One time stamp for the whole process: a burst of breaks on many services is reported loudly once.
std::atomic<time_t> last_missing_report{0};

}  // namespace

void *ps_mot_install(void *, packet_state_t *ps, p_service_component_t *psc, packet_info_t *) {
    char dir[600], html[32];
    snprintf(dir, sizeof dir, "%s/%08x/%04x", ps->path, static_cast<unsigned>(psc->sid),
             static_cast<unsigned>(psc->scid));
    snprintf(html, sizeof html, "%08x/%04x/", static_cast<unsigned>(psc->sid), static_cast<unsigned>(psc->scid));
    ps->owner->e->l->log(LOG_DEBUG,
                         "Register MOT-Service, id %i, sid %08x, scid %04x, addr %i, path <%s>, html-base %s\n", ps->id,
                         static_cast<unsigned>(psc->sid), static_cast<unsigned>(psc->scid), psc->addr, dir, html);
    mot_state_t *ms = mot_init(ps->owner, ps->id, dir, html);
    if (!ms) return nullptr;
    mot_callback_init(ms, &mot_default_callbacks);
    psc->msc_buf = ms->msc_buf;
    return ms;
}

void ps_mot_handle(void *, packet_state_t *, p_service_component_t *psc, int mode) {
    mot_handle(static_cast<mot_state_t *>(psc->state), mode);
}

void ps_mot_free(void *, packet_state_t *, p_service_component_t *psc) {
    if (psc->state) mot_free(static_cast<mot_state_t *>(psc->state));
}

int parse_packet(packet_state_t *ps, const unsigned char *packet) {
    mot_dec_class *m = ps->owner;
    const int plen = 24 * (1 + (packet[0] >> 6));
    const int ci = packet[0] >> 4 & 3;
    const int first_last = packet[0] >> 2 & 3;
    const int addr = (packet[0] & 3) << 8 | packet[1];
    const int useful = packet[2] & 0x7F;
    if (useful > plen) {
        m->e->l->log(LOG_WARN, "packet-decoder: UDL>PLEN! (%i,%i), data stream corrupted!\n", useful, plen);
        m->stat_update(ps->id, MS_PACKET_BAD_LENGTH, 1);
        return -1;
    }
    const unsigned want = calc_crc(packet, plen - 2), got = stored_crc(packet + plen - 2);
    m->stat_update(ps->id, MS_PACKET_BYTES, static_cast<uint64_t>(plen));
    m->stat_update(ps->id, MS_PACKETS, 1);
    if (want != got) {
        m->e->l->log(LOG_WARN, "packet-decoder: wrong CRC (%04x, calc: %04x)\n", got, want);
        m->stat_update(ps->id, MS_PACKET_CRC_ERRORS, 1);
        return plen;
    }
    // Useful data that would run into the CRC: the packet is bad, the stream still in step.
    if (useful > plen - 5) {
        m->e->l->log(LOG_WARN, "packet-decoder: useful length %i runs into the CRC of a %i-byte packet, dropped\n",
                     useful, plen);
        m->stat_update(ps->id, MS_PACKET_BAD_LENGTH, 1);
        return plen;
    }
    m->stat_update_addr(ps->id, addr);
    bool known = false;
    for (int i = psc_find(ps, addr, 0); i >= 0; i = psc_find(ps, addr, i + 1)) {
        p_service_component_t &c = ps->psc[i];
        if (c.dscty != -1) known = true;
        if (c.handlers) {
            int more = 1;
            if (c.handlers->packet_handler) {
                c.cur_addr = addr;
                more = c.handlers->packet_handler(c.handlers->context, ps, &c, first_last, ci,
                                                  const_cast<unsigned char *>(packet), plen, useful);
            }
            if (more == 1 && c.handlers->msc_dg_handler) {
                c.cur_addr = addr;
                default_msc_assembly(c.handlers->context, ps, &c, first_last, ci, packet, plen, useful);
            }
        }
        c.ci[addr] = static_cast<char>(ci);
    }
    if (!known) m->stat_update(ps->id, MS_PACKET_UNKNOWN, 1);
    return plen;
}

int default_msc_assembly(void *context, packet_state_t *ps, p_service_component_t *psc, int first_last, int ci,
                         const unsigned char *packet, int packet_length, int useful_length) {
    logger *l = ps->owner->e->l;
    msc_buf_t *b = psc->msc_buf;
    if (!b) {
        l->log(LOG_WARN, "default_msc_assembly: No initalized MSC-Buffer for #%i/%s, fix it!\n", ps->id,
               psc->handlers ? psc->handlers->name : "");
        return 0;
    }
    if (useful_length < 0 || useful_length > packet_length - 5 || psc->cur_addr < 0 || psc->cur_addr > 1023) return 0;
    const int last = static_cast<unsigned char>(psc->ci[psc->cur_addr]);
    // The first packet of an address starts its sequence: nothing before it can be missing.
    if (last != ci_unseen && ci != (last + 1) % 4) {
        const time_t now = time(nullptr);
        time_t before = last_missing_report.load();
        const bool loud = now - before > 10 && last_missing_report.compare_exchange_strong(before, now);
        l->log(loud ? LOG_CRIT : LOG_WARN, "#%i.%x: Missing packet, cur %i, last %i\n", ps->id,
               static_cast<unsigned>(psc->scid), ci, last);
        // The handler sees what was collected of the lost group, then it is gone.
        psc->handlers->msc_dg_handler(context, ps, psc, 1);
        b->bl = 0;
        // A first packet lost nothing of its own group: it starts it. Any other is a fragment.
        if (!(first_last & 2)) return 0;
    }
    const unsigned char *data = packet + 3;
    if (first_last & 2) {
        memcpy(b->buf, data, static_cast<size_t>(useful_length));
        b->bl = useful_length;
    } else {
        if (!b->bl) return 0;
        if (b->bl + useful_length < b->max_length) {
            memcpy(b->buf + b->bl, data, static_cast<size_t>(useful_length));
            b->bl += useful_length;
        } else {
            l->log(LOG_CRIT, "#%i.%x: MSC Buffer Overflow, skipping MSC Segment!\n", ps->id,
                   static_cast<unsigned>(psc->scid));
            // The group is lost as a whole: its remaining packets wait for the next first packet.
            psc->handlers->msc_dg_handler(context, ps, psc, 1);
            b->bl = 0;
            return 0;
        }
    }
    if ((first_last & 1) && b->bl) psc->handlers->msc_dg_handler(context, ps, psc, 0);
    return 0;
}

packet_callbacks_t default_packet_mot_handler = {
    "MOT", "MOT objects and directories", 2, {0, 60}, ps_mot_install, ps_mot_handle, nullptr, ps_mot_free, nullptr,
    nullptr};

packet_callbacks_t default_packet_stream_handler = {
    "Streamoutput", "accepts every packet, keeps none", -1, {}, ps_stream_install, nullptr, ps_stream_handler,
    ps_stream_free, nullptr, nullptr};

int mot_dec_class::packet_add_handler(packet_callbacks_t *table) {
    if (!table) return 0;
    // A table is in the list once: a second registration would make it its own successor.
    for (packet_callbacks_t *t = installed_pcb; t; t = t->next)
        if (t == table) return 1;
    table->next = installed_pcb;
    installed_pcb = table;
    e->l->log(LOG_INFO, "Registering packet service decoder for \"%s -- %s\"\n", table->name, table->author);
    return 1;
}

int mot_dec_class::register_service_decoders(int flags) {
    if (flags & 1) packet_add_handler(&default_packet_mot_handler);
    if (flags & 2) packet_add_handler(&default_packet_stream_handler);
    return 1;
}

void mot_dec_class::init_packet_decoder() {
    for (auto &p : ps) p = nullptr;
}

packet_state_t *init_packet(mot_dec_class *owner, int id, const char *path, const char *html_path) {
    auto *s = static_cast<packet_state_t *>(calloc(1, sizeof(packet_state_t)));
    if (!s) return nullptr;
    s->id = id;
    s->owner = owner;
    copy_field(s->path, path ? path : "");
    copy_field(s->html_path, html_path ? html_path : "");
    for (auto &psc : s->psc) psc_init(&psc);
    return s;
}

void psc_init(p_service_component_t *psc) {
    psc->used = 0;
    psc->dscty = 0;
    psc->sid = 0;
    psc->scid = 0;
    psc->addr = 0;
    psc->state = nullptr;
    psc->handlers = nullptr;
}

int psc_find(const packet_state_t *ps, int addr, int start) {
    for (int i = start < 0 ? 0 : start; i < PACKET_SLOTS; i++)
        if (ps->psc[i].used && (ps->psc[i].addr == addr || ps->psc[i].addr == -1)) return i;
    return -1;
}

int ps_install_service(packet_state_t *ps, const packet_info_t *pi, packet_callbacks_t *table, int dscty) {
    int slot = -1;
    for (int i = 0; i < PACKET_SLOTS && slot < 0; i++)
        if (!ps->psc[i].used) slot = i;
    if (slot < 0) return 0;
    p_service_component_t &c = ps->psc[slot];
    c.used = 0;
    memset(c.ci, ci_unseen, sizeof c.ci);
    c.dscty = dscty;
    c.sid = pi->sid;
    c.scid = pi->scid;
    if (table->nr_accepted_dscty == -1) {
        for (int i = 0; i < PACKET_SLOTS; i++)
            if (ps->psc[i].used && ps->psc[i].addr == -1 && ps->psc[i].handlers == table) return 0;
        c.addr = -1;
    } else {
        c.addr = pi->addr;
    }
    c.msc_buf = nullptr;
    copy_field(c.label, pi->label);
    ps->owner->e->l->log(LOG_INFO, "Install %s for #%i, scid %i, addr %i\n", table->name, pi->subchid, pi->scid,
                         c.addr);
    if (!table->install_handler) return 1;
    void *state = table->install_handler(table->context, ps, &c, const_cast<packet_info_t *>(pi));
    if (!state) return 1;
    c.state = state;
    c.used = 1;
    c.handlers = table;
    ps->num_psc++;
    return 1;
}

void packet_free(packet_state_t *ps) {
    if (!ps) return;
    for (auto &c : ps->psc) {
        if (c.used && c.handlers && c.handlers->free_handler) c.handlers->free_handler(c.handlers->context, ps, &c);
        c.state = nullptr;
    }
    free(ps);
}

msc_buf_t *msc_buffer_init() {
    auto *b = static_cast<msc_buf_t *>(calloc(1, sizeof(msc_buf_t)));
    if (!b) return nullptr;
    b->buf = static_cast<unsigned char *>(malloc(MSC_BUF_SIZE));
    if (!b->buf) {
        free(b);
        return nullptr;
    }
    b->max_length = MSC_BUF_SIZE;
    return b;
}

void msc_buffer_free(msc_buf_t *buf) {
    if (!buf) return;
    free(buf->buf);
    free(buf);
}

void mot_dec_class::setup_packet_decoder(packet_state_t **pss, int, const char *epath, const char *, int eid) {
    int entries = 0;
    for (packet_info_t *pi = packet_info; pi && entries < max_info_entries; pi = pi->next, entries++) {
        if (pi->subchid < 0 || pi->subchid >= MOT_SUBCHANNELS) continue;
        const mot_subchannel_t &sc = subchannels[pi->subchid];
        // An audio subchannel carries no packets: its state slot belongs to its PAD thread.
        if (!sc.changed || !sc.exist || (sc.disabled & 2) || sc.type != 0) continue;
        e->l->log(LOG_DEBUG, "#%i, sid %08x, scid %04x, dscty %x, ps[id] %x, label <%s>\n", pi->subchid,
                  static_cast<unsigned>(pi->sid), static_cast<unsigned>(pi->scid), static_cast<unsigned>(pi->dscty),
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(pss[pi->subchid])), pi->label);
        if (!pss[pi->subchid]) {
            char dir[sizeof(packet_state_t::path)];
            snprintf(dir, sizeof dir, "%s/", epath);
            packet_state_t *p = init_packet(this, pi->subchid, dir, "");
            if (!p) continue;
            p->eid = eid;
            pss[pi->subchid] = p;
            mutex_guard g(&config_lock);
            subchannels[pi->subchid].state = p;
        }
        packet_state_t *p = pss[pi->subchid];
        bool accepted = false;
        for (packet_callbacks_t *t = installed_pcb; t; t = t->next) {
            if (t->nr_accepted_dscty == -1) {
                accepted = true;
                ps_install_service(p, pi, t, -1);
                continue;
            }
            const int n = t->nr_accepted_dscty < 8 ? t->nr_accepted_dscty : 8;
            for (int i = 0; i < n; i++)
                if (t->accepted_dscty[i] == pi->dscty) {
                    accepted = true;
                    ps_install_service(p, pi, t, pi->dscty);
                    break;
                }
        }
        if (!accepted)
            e->l->log(LOG_INFO, "Subchannel #%i, sid %08x, unknown service type %x\n", pi->subchid,
                      static_cast<unsigned>(pi->sid), static_cast<unsigned>(pi->dscty));
        for (int x = 0; x < ext_num; x++) {
            const ext_decoder_t &b = ext_decoders[x];
            if (b.sid != pi->sid) continue;
            for (packet_callbacks_t *t = installed_pcb; t; t = t->next) {
                const int n = t->nr_accepted_dscty < 8 ? t->nr_accepted_dscty : 8;
                for (int i = 0; i < n; i++)
                    if (t->accepted_dscty[i] == b.dscty) {
                        packet_info_t made = {};
                        made.subchid = pi->subchid;
                        made.scid = b.addr - 65536;
                        made.sid = b.sid;
                        made.addr = b.addr;
                        made.dscty = b.dscty;
                        copy_field(made.label, 16, b.label);
                        ps_install_service(p, &made, t, b.dscty);
                        break;
                    }
            }
        }
    }
}

namespace {

constexpr unsigned char stream_marker[4] = {0xFF, 0xFE, 0xFD, 0xFC};
constexpr int read_retries = 5;

// Reads single bytes until a whole marker has gone by; false on a failed read or a stop.
bool sync_to_marker(MSOCKET *s, mot_dec_class *m, decoder_info_t *hd) {
    int matched = 0;
    while (matched < 4) {
        if (stop_requested(m, hd)) return false;
        char c;
        if (read_data(s, &c, 1) != 1) return false;
        matched = static_cast<unsigned char>(c) == stream_marker[matched] ? matched + 1 : 0;
    }
    return true;
}

}  // namespace

void mot_dec_class::mot_decoder_loop(decoder_info_t *hd) {
    e->l->log(LOG_WARN, "Packet decoder thread for subchannel %i started\n", hd->subchid);
    hd->status = 1;
    usleep(100000);
    MSOCKET *s = nullptr;
    for (int attempt = 0; attempt < open_attempts && !s && !stop_requested(this, hd); attempt++) {
        if (attempt) sleep(1);
        s = open_stream(hd->server, hd->port, hd->path, hd->subchid, 0, 0, &hard_restart);
    }
    if (!s) {
        hard_restart = 1;
    } else {
        unsigned char packet[96];
        int retries = 0;
        for (;;) {
            e->l->log(LOG_DEBUG, "#%i: Syncing to packet stream\n", hd->subchid);
            bool failed = !sync_to_marker(s, this, hd);
            while (!failed && !stop_requested(this, hd)) {
                char *p = reinterpret_cast<char *>(packet);
                if (read_data(s, p, 2) != 2) {
                    failed = true;
                    break;
                }
                if (packet[0] == 0xFF && packet[1] == 0xFE) {
                    if (read_data(s, p, 2) != 2 || read_data(s, p, 2) != 2) {
                        failed = true;
                        break;
                    }
                }
                const int plen = 24 * (1 + (packet[0] >> 6));
                if (read_data(s, p + 2, plen - 2) != plen - 2) {
                    failed = true;
                    break;
                }
                retries = 0;
                if (hd->ps && parse_packet(hd->ps, packet) < 0) break;
            }
            if (stop_requested(this, hd) && !failed) break;
            if (!failed) continue;  // out of step: synchronise again
            if (hard_restart.load() || hd->shutdown.load() || retries >= read_retries) break;
            e->l->log(LOG_INFO, "#%i: Receive error, retry\n", hd->subchid);
            usleep(400000);
            retries++;
        }
        close_stream(s);
    }
    if (!hd->shutdown.load()) hard_restart = 1;
    e->l->log(LOG_WARN, "#%i: Stopping decoder for packet stream\n", hd->subchid);
    if (hd->ps) {
        mutex_guard g(&config_lock);
        subchannels[hd->subchid].state = nullptr;
        packet_free(hd->ps);
        hd->ps = nullptr;
    }
    hd->status = 0;
}
