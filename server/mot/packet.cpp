// Packet-mode decoding: service decoder registry, per-subchannel state, the packet thread.

#include "mot/packet.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "mot/motmain.h"

namespace {

constexpr int open_attempts = 4;
constexpr int max_info_entries = 256;

void *ps_stream_install(void *, packet_state_t *, p_service_component_t *, packet_info_t *) {
    return reinterpret_cast<void *>(1);
}
int ps_stream_handler(void *, packet_state_t *, p_service_component_t *, int, int, unsigned char *, int, int) {
    return 0;
}
void ps_stream_free(void *, packet_state_t *, p_service_component_t *) {}

bool stop_requested(mot_dec_class *m, decoder_info_t *hd) { return m->hard_restart.load() || hd->shutdown.load(); }

}  // namespace

packet_callbacks_t default_packet_mot_handler = {
    "MOT", "MOT objects and directories", 2, {0, 60}, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

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
    memset(c.ci, 0, sizeof c.ci);
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
        if (!sc.changed || !sc.exist || (sc.disabled & 2)) continue;
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
        // Packets are read and dropped: their decoding is still to come.
        char buf[96];
        int retries = 0;
        while (!stop_requested(this, hd)) {
            if (read_data(s, buf, sizeof buf) == static_cast<int>(sizeof buf)) {
                retries = 0;
                continue;
            }
            if (hard_restart.load() || retries >= 5) break;
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
