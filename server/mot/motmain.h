#pragma once
// MOT/PAD decoder control: a client of the server inside the server. It fetches the ensemble
// configuration, runs one decoder thread per interesting subchannel and keeps that set in
// step with the broadcast.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <ctime>

#include "mot/http.h"
#include "mot/packet.h"

class ensemble;
class fic;
struct ensemble_information_s;
struct sub_channel_organization_s;
struct service_organization_s;
struct service_component_packet_s;
struct dablabel_s;
struct gen_data_s;

constexpr int MOT_SUBCHANNELS = 64;
constexpr int MOT_MAX_EXT_DECODERS = 64;

typedef struct motpad_statistics_s {
    uint64_t stats[64];
    uint64_t addr[8][2];  // the eight most used packet addresses: address, packet count
} motpad_statistics_t;

// Counter indices of motpad_statistics_t.
enum motpad_counter {
    MS_MOT_BYTES = 0,
    MS_MOT_SEGMENTS = 1,
    MS_MOT_CRC_ERRORS = 2,
    MS_MOT_FILES = 3,
    MS_MOT_FILES_FAILED = 4,
    MS_MOT_BAD_NAMES = 5,
    MS_MOT_REPEATED = 6,
    MS_MOT_SEGMENT_BYTES = 7,
    MS_PAD_BYTES = 8,
    MS_MOT_OTHER_ERRORS = 9,
    MS_DL_UNIQUE = 11,
    MS_DL_BYTES = 12,
    MS_DL_LABELS = 13,
    MS_DL_CRC_ERRORS = 14,
    MS_DL_OTHER_ERRORS = 15,
    MS_PACKET_BYTES = 16,
    MS_PACKETS = 17,
    MS_PACKET_CRC_ERRORS = 18,
    MS_PACKET_BAD_LENGTH = 19,
    MS_PACKET_UNKNOWN = 20,
};

typedef struct mot_subchannel_s {
    int type;   // 0 packet-mode data, 1 audio
    int exist;  // listed by FIG 0/1
    int scid;
    int sid;
    char label[17];
    motpad_statistics_t stat;
    void *state;  // decoder state while a decoder runs; written under config_lock
    int changed;
    int disabled;  // bit 1: PAD decoding off, bit 2: packet decoding off
} mot_subchannel_t;

typedef struct ext_decoder_s {
    int sid;
    int addr;
    int dscty;
    char label[64];
} ext_decoder_t;

typedef struct decoder_info_s {
    char server[256];
    char path[256];
    int port;
    int subchid;
    int serviceid;
    int eid;
    packet_state_t *ps;
    char label[32];
    const char *data_path;
    void *user_data;
    std::atomic<int> shutdown;
    pthread_t thread;
    std::atomic<int> status;  // 1 while the thread runs
} decoder_info_t;

class mot_dec_class {
public:
    explicit mot_dec_class(ensemble *p);
    ~mot_dec_class();
    mot_dec_class(const mot_dec_class &) = delete;
    mot_dec_class &operator=(const mot_dec_class &) = delete;

    // Control.
    int mot_startup(int argc, char **argv);
    int mot_parse_args(int argc, char **argv);
    void usage();
    void init_mot_system();
    void mot_start_decoding(int delay);
    void mot_start_threads(const char *epath, const char *ensemble_name, int eid, int *inst_pack, int *inst_xpad);
    int mot_start_packet_decoder(int n);
    int mot_start_pad_decoder(int n);
    decoder_info_t *mot_start_packet_decoder_raw(const char *srv, int prt, const char *pth, int subchid, int eid,
                                                 const char *filepath, packet_state_t *pstate);
    decoder_info_t *mot_start_pad_decoder_raw(const char *srv, int prt, const char *pth, int subchid, int eid,
                                              int serviceid, const char *filepath, const char *lbl);
    void mot_wait_for_shutdown(int n);
    void mot_wait_for_shutdown_raw(decoder_info_t *h);
    int mot_stop_decoding(int mode);
    void mot_check_configuration_changes(int get_figs);
    static int mot_search_packet_info(const packet_info_t *list, const packet_info_t *pi);

    // Statistics.
    void init_stat();
    void stat_update(int id, int type, uint64_t inc);
    void stat_update_p(motpad_statistics_t *ms, int type, uint64_t inc);
    void stat_update_addr(int id, int addr);

    // Stream client (three sources chosen by the port).
    MSOCKET *open_stream(const char *srv, int prt, const char *pth, int id, int ext, int mode,
                         std::atomic<int> *abort_flag);
    int stream_read_data(MSOCKET *fd, char *buf, int len);
    void close_stream(MSOCKET *fd);
    MSOCKET *setup_net(const char *host, int prt, const char *str);
    MSOCKET *setup_net_local(int stream, int mode);
    MSOCKET *setup_net_file(const char *file, int mode);
    int http_read_hdr(MSOCKET *fd);

    // Configuration by FIG queries.
    gen_data_s *get_fig(const char *srv, int prt, const char *pth, int type, int ext);
    int get_fig_info(const char *srv, int prt, const char *pth);
    void cleanup_figs();

    // Packet-mode decoding.
    int register_service_decoders(int flags);
    int packet_add_handler(packet_callbacks_t *table);
    void init_packet_decoder();
    void setup_packet_decoder(packet_state_t **pss, int major, const char *epath, const char *ensemble_name, int eid);
    void mot_decoder_loop(decoder_info_t *hd);

    // PAD decoding.
    void xpad_decoder_loop(decoder_info_t *hd);

    // Pages of the output tree.
    int make_html_frame(const char *dpath, int eid);
    int make_html_start(const char *epath, const packet_info_t *list);
    int make_statistic_page(const char *epath);

    int use_stat;
    char subtitle[256];  // replaces the closing line of the menu and statistics pages when set
    time_t startup_time;
    time_t last_restart_time;
    int restarts;
    int disable_pack;
    int disable_xpad;
    std::atomic<int> finished;
    std::atomic<int> killed;
    std::atomic<int> hard_restart;
    int port1;
    char server[256];
    int port;
    std::atomic<int> mot_pause;
    char path[256];
    char data_path[257];
    char ensemble_path[257];
    pthread_mutex_t config_lock;
    ensemble *e;
    fic *ficstream;
    ensemble_information_s *fig0_0;
    sub_channel_organization_s *fig0_1;
    service_organization_s *fig0_2;
    service_component_packet_s *fig0_3;
    dablabel_s *fig1_0;
    dablabel_s *fig1_1;
    dablabel_s *fig1_5;
    mot_subchannel_t subchannels[MOT_SUBCHANNELS];
    packet_info_t *packet_info;
    packet_state_t *ps[MOT_SUBCHANNELS];
    decoder_info_t *hd[MOT_SUBCHANNELS];
    int pad_source[MOT_SUBCHANNELS];
    pthread_mutex_t stat_lock;
    pthread_t main_thread;
    std::atomic<int> main_thread_running;
    packet_callbacks_t *installed_pcb;
    int disable_indices;
    int confcheck_period;
    int ext_num;
    ext_decoder_t ext_decoders[MOT_MAX_EXT_DECODERS];

private:
    // Sleeps in one-second steps; false when finished was set meanwhile.
    bool pause_seconds(int seconds);
    // Decoder threads whose descriptor is set.
    void shutdown_all(bool announce);
    bool locks_ready_;
};

void *obj_thread_wrapper_mot_start_decoding(void *arg);
void *obj_thread_wrapper_mot_decoder_loop(void *arg);
void *obj_thread_wrapper_xpad_decoder_loop(void *arg);

// Handed to a thread wrapper, which frees it before it calls the member function.
typedef struct obj_thread_arg_s {
    void *argument;
    void *obj_this;
} obj_thread_arg_t;
