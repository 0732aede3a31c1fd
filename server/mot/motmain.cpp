// MOT/PAD decoder control: options, the supervising thread, decoder threads, statistics.

#include "mot/motmain.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/fig_records.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "mot/fig_utils.h"

namespace {

const char usage_text[] =
    "mot - MOT decoder client 2.26F, slideshows, web sites and labels of the broadcast\n"
    "Usage: dab [dab-options] -M [mot-options] [<URL>]\n"
    "\n"
    "MOT-Options:\n"
    "\n"
    "-d <path>            Set output data path (default: data/)\n"
    "-m                   Disable MOT packet data decoder (except for -s subchannels)\n"
    "-p                   Disable PAD decoder (except for -s subchannels)\n"
    "-s <id>              Select subchannel <id> as PAD/packet source\n"
    "-x <sid/addr/dscty> Select explicit decoder for packet streams\n"
    "<URL>=hostname:port  Select MOT-stream host (default : internal communication)\n"
    "\n"
    "Internal Decoders:\n"
    "\tDummy stream (packet)\n"
    "\tDynamic Label (XPAD)\n"
    "\tMOT (+MOT-directory) (XPAD/packet)\n"
    "\tIP-over-DAB (packet)\n";

constexpr int start_delay_s = 4;
constexpr int query_retry_s = 10;
constexpr int restart_delay_s = 5;
constexpr int index_period = 32;
constexpr int index_tick = 10;

// Starts member function f of o in a joinable thread with argument a.
bool start_member_thread(pthread_t *t, void *(*wrapper)(void *), void *o, void *a) {
    auto *arg = static_cast<obj_thread_arg_t *>(malloc(sizeof(obj_thread_arg_t)));
    if (!arg) return false;
    arg->argument = a;
    arg->obj_this = o;
    if (thread_create(t, wrapper, arg, 0) != 0) {
        free(arg);
        return false;
    }
    return true;
}

template <class F>
void *unwrap(void *p, F f) {
    auto *arg = static_cast<obj_thread_arg_t *>(p);
    void *a = arg->argument;
    auto *o = static_cast<mot_dec_class *>(arg->obj_this);
    free(arg);
    f(o, a);
    return nullptr;
}

packet_info_t *copy_list(const packet_info_t *l) {
    packet_info_t *head = nullptr, **tail = &head;
    for (; l; l = l->next) {
        auto *c = static_cast<packet_info_t *>(malloc(sizeof(packet_info_t)));
        if (!c) break;
        *c = *l;
        c->next = nullptr;
        *tail = c;
        tail = &c->next;
    }
    return head;
}

void free_list(packet_info_t *l) {
    while (l) {
        packet_info_t *n = l->next;
        free(l);
        l = n;
    }
}

}  // namespace

void *obj_thread_wrapper_mot_start_decoding(void *p) {
    return unwrap(p, [](mot_dec_class *o, void *a) { o->mot_start_decoding(static_cast<int>(reinterpret_cast<intptr_t>(a))); });
}
void *obj_thread_wrapper_mot_decoder_loop(void *p) {
    return unwrap(p, [](mot_dec_class *o, void *a) { o->mot_decoder_loop(static_cast<decoder_info_t *>(a)); });
}
void *obj_thread_wrapper_xpad_decoder_loop(void *p) {
    return unwrap(p, [](mot_dec_class *o, void *a) { o->xpad_decoder_loop(static_cast<decoder_info_t *>(a)); });
}

mot_dec_class::mot_dec_class(ensemble *p)
    : use_stat(1), startup_time(0), last_restart_time(0), restarts(0), disable_pack(0), disable_xpad(0), finished(0),
      killed(0), hard_restart(0), port1(0), port(0), mot_pause(0), e(p), ficstream(p ? p->fic_stream : nullptr),
      fig0_0(nullptr), fig0_1(nullptr), fig0_2(nullptr), fig0_3(nullptr), fig1_0(nullptr), fig1_1(nullptr),
      fig1_5(nullptr), subchannels(), packet_info(nullptr), ps(), hd(), pad_source(), main_thread(),
      main_thread_running(0), installed_pcb(nullptr), disable_indices(0), confcheck_period(10), ext_num(0),
      ext_decoders(), locks_ready_(false) {
    copy_field(server, "localhost");
    path[0] = 0;
    copy_field(data_path, "data");
    subtitle[0] = 0;
    ensemble_path[0] = 0;
    thread_mutex_init(&config_lock);
    thread_mutex_init(&stat_lock);
    locks_ready_ = true;
}

mot_dec_class::~mot_dec_class() {
    if (main_thread_running.load()) mot_stop_decoding(1);
    cleanup_figs();
    if (locks_ready_) {
        thread_mutex_destroy(&config_lock);
        thread_mutex_destroy(&stat_lock);
    }
}

void mot_dec_class::usage() { fputs(usage_text, stderr); }

int mot_dec_class::mot_parse_args(int argc, char **argv) {
    sleep(2);
    for (auto &p : pad_source) p = 0;
    // The server's own scan ran before: start again from the first argument.
    optind = 0;
    int c;
    while (argv && (c = getopt(argc, argv, "Aa:C:d:mps:x:?")) != -1) {
        switch (c) {
            case 'A':
            case 'a':
            case 'C': fputs("Archive not implemented\n", stderr); break;
            case 'd': copy_field(data_path, optarg); break;
            case 'm': disable_pack = 1; break;
            case 'p': disable_xpad = 1; break;
            case 's': {
                char *end = nullptr;
                long id = strtol(optarg, &end, 10);
                if (end != optarg && *end == 0 && id >= 0 && id < MOT_SUBCHANNELS) pad_source[id] = 1;
                break;
            }
            case 'x': {
                if (ext_num >= MOT_MAX_EXT_DECODERS) {
                    e->l->log(LOG_ERR, "Maximum number of extra decoders reached!\n");
                    return 1;
                }
                ext_decoder_t &x = ext_decoders[ext_num];
                x.sid = x.addr = x.dscty = -1;
                x.label[0] = 0;
                unsigned sid = 0, addr = 0, dscty = 0;
                int n = sscanf(optarg, "%x/%x/%x/%63s", &sid, &addr, &dscty, x.label);
                if (n < 3) break;
                x.sid = static_cast<int>(sid);
                x.addr = static_cast<int>(addr);
                x.dscty = static_cast<int>(dscty);
                if (n < 4 || !x.label[0]) snprintf(x.label, sizeof x.label, "%x/%x/%x", sid, addr, dscty);
                e->l->log(LOG_INFO, "Bining SID %x, address %i to Decoder id %x, label <%s>\n", sid, x.addr, dscty,
                          x.label);
                ext_num++;
                break;
            }
            default: usage(); return 1;
        }
    }
    if (argv && optind < argc) parse_url(argv[optind], server, &port, path);
    e->l->log(LOG_INFO, "MOT-Server: '%s', port %i, access path '%s'\n", server, port, path);
    e->l->log(LOG_INFO, "Data path: '%s'\n", data_path);
    server[255] = 0;
    return 0;
}

void mot_dec_class::init_mot_system() {
    ws_init();
    init_stat();
    startup_time = last_restart_time = time(nullptr);
}

int mot_dec_class::mot_startup(int argc, char **argv) {
    if (main_thread_running.load()) return 0;
    if (mot_parse_args(argc, argv)) return 0;
    init_mot_system();
    finished = 0;
    main_thread_running = 1;
    if (!start_member_thread(&main_thread, obj_thread_wrapper_mot_start_decoding, this,
                             reinterpret_cast<void *>(static_cast<intptr_t>(start_delay_s)))) {
        main_thread_running = 0;
        return 0;
    }
    return 1;
}

bool mot_dec_class::pause_seconds(int seconds) {
    for (int i = 0; i < seconds && !finished.load(); i++) sleep(1);
    return !finished.load();
}

void mot_dec_class::shutdown_all(bool announce) {
    for (int n = 0; n < MOT_SUBCHANNELS; n++)
        if (hd[n]) {
            if (announce) e->l->log(LOG_WARN, "Sending shutdown to #%i\n", n);
            hd[n]->shutdown = 1;
        }
    for (int n = 0; n < MOT_SUBCHANNELS; n++) mot_wait_for_shutdown(n);
}

void mot_dec_class::mot_start_decoding(int delay) {
    main_thread_running = 1;
    e->l->log(LOG_WARN, "MOT-Library: C++ Version\n");
    pause_seconds(delay);
    port1 = port;
    for (auto &sc : subchannels) sc = mot_subchannel_t();
    for (auto &h : hd) h = nullptr;

    while (!finished.load()) {
        for (;;) {
            last_restart_time = time(nullptr);
            port = port1;
            init_packet_decoder();
            if (!installed_pcb) register_service_decoders(-1);
            while (mot_pause.load() && !finished.load()) sleep(2);
            if (finished.load()) break;
            if (get_fig_info(server, port, path)) break;
            e->l->log(LOG_CRIT, "GET_FIG: Retry, waiting for 10 seconds...\n");
            cleanup_figs();
            hard_restart = 0;
            if (!pause_seconds(query_retry_s)) break;
        }
        if (finished.load()) break;

        mot_check_configuration_changes(0);
        const int eid = fig0_0->eid;
        if (!(disable_indices & 2)) make_html_frame(data_path, eid);
        e->l->log(LOG_DEBUG, "Setup packet decoder\n");
        char ensemble_name[16];
        if (snprintf(ensemble_path, sizeof ensemble_path, "%s/%04x", data_path, eid) >= static_cast<int>(sizeof ensemble_path))
            e->l->log(LOG_WARN, "Data path too long, cut to '%s'\n", ensemble_path);
        snprintf(ensemble_name, sizeof ensemble_name, "%04x", eid);
        for (auto &h : hd) h = nullptr;

        e->l->log(LOG_INFO, "Start decoder threads\n");
        int inst_pack = 0, inst_xpad = 0;
        mot_start_threads(ensemble_path, ensemble_name, eid, &inst_pack, &inst_xpad);
        if (!inst_pack) {
            if (disable_pack)
                e->l->log(LOG_WARN, "Packet data channels disabled\n");
            else
                e->l->log(LOG_CRIT, "No packet data channels found, no MOT available\n");
        }
        if (!inst_xpad) {
            if (disable_xpad)
                e->l->log(LOG_WARN, "PAD decoder disabled\n");
            else
                e->l->log(LOG_CRIT, "No audio channels found, no PAD available\n");
        }

        port = port1;
        for (int t = 0;; t++) {
            sleep(1);
            if (confcheck_period && t % confcheck_period == confcheck_period - 1) {
                mot_check_configuration_changes(1);
                if (!hard_restart.load()) {
                    for (int n = 0; n < MOT_SUBCHANNELS; n++)
                        if (subchannels[n].changed && hd[n]) {
                            e->l->log(LOG_WARN, "Sending shutdown to #%i\n", n);
                            hd[n]->shutdown = 1;
                        }
                    for (int n = 0; n < MOT_SUBCHANNELS; n++)
                        if (subchannels[n].changed) mot_wait_for_shutdown(n);
                    if (fig0_0) mot_start_threads(ensemble_path, ensemble_name, eid, &inst_pack, &inst_xpad);
                }
            }
            if (hard_restart.load() || finished.load()) break;
            if (t % index_period == index_tick) {
                if (!(disable_indices & 2)) make_html_start(ensemble_path, packet_info);
                if (!(disable_indices & 4)) make_statistic_page(ensemble_path);
            }
        }
        if (hard_restart.load() && !finished.load()) {
            e->l->log(LOG_WARN, "HARD RESTART in 5 seconds...\n");
            hard_restart = 1;
            pause_seconds(restart_delay_s);
        }
        if (finished.load())
            e->l->log(LOG_WARN, "******************* SHUTDOWN **********************\n");
        else
            e->l->log(LOG_WARN, "******************** RESTART **********************\n");
        for (int n = 0; n < MOT_SUBCHANNELS; n++) mot_wait_for_shutdown(n);
        e->l->log(LOG_WARN, "MOT-Shutdown finished\n");
        hard_restart = 0;
        cleanup_figs();
        init_stat();
        restarts++;
    }

    e->l->log(LOG_INFO, "***************** MOT loop dying ******************\n");
    hard_restart = 1;
    shutdown_all(true);
    cleanup_figs();
    killed = 1;
    e->l->log(LOG_INFO, "***************** MOT loop dead *******************\n");
}

void mot_dec_class::mot_start_threads(const char *epath, const char *ensemble_name, int eid, int *inst_pack,
                                      int *inst_xpad) {
    for (int n = 0; n < MOT_SUBCHANNELS; n++) {
        int d = 0;
        if (disable_pack) d = 2;
        if (disable_xpad) d |= 1;
        if (pad_source[n]) d = 0;
        subchannels[n].disabled = d;
    }
    setup_packet_decoder(ps, 0, epath, ensemble_name, eid);
    for (int n = 0; n < MOT_SUBCHANNELS; n++) {
        mot_subchannel_t &sc = subchannels[n];
        int found = 0;
        if (sc.changed && sc.exist && !(sc.disabled & 2))
            for (const packet_info_t *pi = packet_info; pi && !found; pi = pi->next) found = pi->subchid == n;
        e->l->log(LOG_DEBUG, "Subchannel #%i, found %i, exist %i, changed %i, type %i\n", n, found, sc.exist,
                  sc.changed, sc.type);
        if (!sc.exist || !sc.changed) continue;
        if (sc.type == 0) {
            if (found) {
                if (!(sc.disabled & 2))
                    *inst_pack += mot_start_packet_decoder(n);
                else
                    e->l->log(LOG_INFO, "Subchannel #%i, packet decoder disabled by arguments!\n", n);
            }
        } else if (sc.type == 1) {
            if (!(sc.disabled & 1))
                *inst_xpad += mot_start_pad_decoder(n);
            else
                e->l->log(LOG_INFO, "Subchannel #%i, PAD decoder disabled by arguments!\n", n);
        }
        sc.changed = 0;
    }
}

namespace {

decoder_info_t *new_descriptor(const char *srv, int prt, const char *pth, int subchid, const char *filepath) {
    auto *h = new (std::nothrow) decoder_info_t();
    if (!h) return nullptr;
    copy_field(h->server, srv ? srv : "");
    copy_field(h->path, pth ? pth : "");
    h->port = prt;
    h->subchid = subchid;
    h->data_path = filepath;
    h->shutdown = 0;
    h->status = 0;
    return h;
}

}  // namespace

decoder_info_t *mot_dec_class::mot_start_packet_decoder_raw(const char *srv, int prt, const char *pth, int subchid,
                                                            int eid, const char *filepath, packet_state_t *pstate) {
    decoder_info_t *h = new_descriptor(srv, prt, pth, subchid, filepath);
    if (!h) return nullptr;
    h->eid = eid;
    h->ps = pstate;
    if (!start_member_thread(&h->thread, obj_thread_wrapper_mot_decoder_loop, this, h)) {
        delete h;
        return nullptr;
    }
    return h;
}

decoder_info_t *mot_dec_class::mot_start_pad_decoder_raw(const char *srv, int prt, const char *pth, int subchid,
                                                         int eid, int serviceid, const char *filepath,
                                                         const char *lbl) {
    decoder_info_t *h = new_descriptor(srv, prt, pth, subchid, filepath);
    if (!h) return nullptr;
    h->eid = eid;
    h->serviceid = serviceid;
    copy_field(h->label, 18, lbl ? lbl : "");
    h->ps = nullptr;
    if (!start_member_thread(&h->thread, obj_thread_wrapper_xpad_decoder_loop, this, h)) {
        delete h;
        return nullptr;
    }
    return h;
}

int mot_dec_class::mot_start_packet_decoder(int n) {
    hd[n] = mot_start_packet_decoder_raw(server, port, path, n, fig0_0 ? fig0_0->eid : 0, ensemble_path, ps[n]);
    // Without a thread nobody frees the packet state: it goes now.
    if (!hd[n] && ps[n]) {
        mutex_guard g(&config_lock);
        subchannels[n].state = nullptr;
        packet_free(ps[n]);
        ps[n] = nullptr;
    }
    return hd[n] ? 1 : 0;
}

int mot_dec_class::mot_start_pad_decoder(int n) {
    hd[n] = mot_start_pad_decoder_raw(server, port, path, n, fig0_0 ? fig0_0->eid : 0, subchannels[n].sid,
                                      ensemble_path, subchannels[n].label);
    return hd[n] ? 1 : 0;
}

void mot_dec_class::mot_wait_for_shutdown_raw(decoder_info_t *h) {
    h->shutdown = 1;
    pthread_join(h->thread, nullptr);
    delete h;
}

void mot_dec_class::mot_wait_for_shutdown(int n) {
    if (n < 0 || n >= MOT_SUBCHANNELS || !hd[n]) return;
    e->l->log(LOG_WARN, "Wait for shutdown #%i\n", n);
    mot_wait_for_shutdown_raw(hd[n]);
    hd[n] = nullptr;
    ps[n] = nullptr;
}

int mot_dec_class::mot_stop_decoding(int mode) {
    e->l->log(LOG_WARN, "MOT stop decoding issued\n");
    killed = 0;
    finished = 1;
    // Blocking reads of every thread give up at once.
    hard_restart = 1;
    if (mode && main_thread_running.load()) pthread_join(main_thread, nullptr);
    main_thread_running = 0;
    e->l->log(LOG_WARN, "MOT stop decoding completed\n");
    return 1;
}

int mot_dec_class::mot_search_packet_info(const packet_info_t *list, const packet_info_t *pi) {
    for (; list; list = list->next)
        if (list->subchid == pi->subchid && list->sid == pi->sid && list->scid == pi->scid &&
            list->dscty == pi->dscty && list->addr == pi->addr)
            return 1;
    return 0;
}

void mot_dec_class::mot_check_configuration_changes(int get_figs) {
    e->l->log(LOG_INFO, "Get configuration data\n");
    std::unique_ptr<mot_subchannel_t[]> old(new mot_subchannel_t[MOT_SUBCHANNELS]());
    packet_info_t *old_list = nullptr;
    if (get_figs) {
        for (int n = 0; n < MOT_SUBCHANNELS; n++) old[n] = subchannels[n];
        old_list = copy_list(packet_info);
        cleanup_figs();
        if (!get_fig_info(server, port, path)) {
            free_list(old_list);
            hard_restart = 1;
            return;
        }
    }
    for (int n = 0; n < MOT_SUBCHANNELS; n++)
        if (subchannels[n].exist != old[n].exist) subchannels[n].changed = 1;
    for (const packet_info_t *pi = packet_info; pi; pi = pi->next)
        if (!mot_search_packet_info(old_list, pi) && pi->subchid >= 0 && pi->subchid < MOT_SUBCHANNELS)
            subchannels[pi->subchid].changed = 1;
    for (const packet_info_t *pi = old_list; pi; pi = pi->next)
        if (!mot_search_packet_info(packet_info, pi) && pi->subchid >= 0 && pi->subchid < MOT_SUBCHANNELS)
            subchannels[pi->subchid].changed = 1;
    free_list(old_list);
    for (int n = 0; n < MOT_SUBCHANNELS; n++)
        if (subchannels[n].changed)
            e->l->log(LOG_WARN, "Configuration change: Subch #%i, exist %i, descr %08x, type %i, enable %i\n", n,
                      subchannels[n].exist, static_cast<unsigned>(reinterpret_cast<uintptr_t>(hd[n])), subchannels[n].type, subchannels[n].disabled);
}

void mot_dec_class::init_stat() {
    mutex_guard g(&stat_lock);
    for (auto &sc : subchannels) {
        memset(sc.stat.stats, 0, sizeof sc.stat.stats);
        memset(sc.stat.addr, 0, sizeof sc.stat.addr);
    }
}

void mot_dec_class::stat_update(int id, int type, uint64_t inc) {
    if (!use_stat || id < 0 || id >= MOT_SUBCHANNELS || type < 0 || type >= 64) return;
    mutex_guard g(&stat_lock);
    subchannels[id].stat.stats[type] += inc;
}

void mot_dec_class::stat_update_p(motpad_statistics_t *ms, int type, uint64_t inc) {
    if (!use_stat || !ms || type < 0 || type >= 64) return;
    mutex_guard g(&stat_lock);
    ms->stats[type] += inc;
}

void mot_dec_class::stat_update_addr(int id, int addr) {
    if (!use_stat || id < 0 || id >= MOT_SUBCHANNELS) return;
    // Under the lock as well: the statistics page reads the slots from another thread.
    mutex_guard g(&stat_lock);
    uint64_t(*slots)[2] = subchannels[id].stat.addr;
    const uint64_t a = static_cast<uint64_t>(addr);
    int least = 0;
    uint64_t bound = 10000000000000000ULL;
    for (int i = 0; i < 8; i++) {
        if (slots[i][1] && slots[i][0] == a) {
            slots[i][1]++;
            return;
        }
        if (slots[i][1] < bound) {
            bound = slots[i][1];
            least = i;
        }
    }
    slots[least][0] = a;
    slots[least][1] = 1;
}
