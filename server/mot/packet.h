#pragma once
// Packet-mode data: the service components of the configuration, the per-subchannel state and
// the service decoder plug-ins.

class mot_dec_class;

// One packet-mode service component of the configuration, newest first.
typedef struct packet_info_s {
    int subchid;
    int scid;
    int sid;
    int dscty;
    int addr;
    char label[17];
    struct packet_info_s *next;
} packet_info_t;

typedef struct packet_state_s packet_state_t;
typedef struct p_service_component_s p_service_component_t;

typedef struct msc_buf_s {
    unsigned char *buf;
    int bl;  // bytes collected; 0: no data group in progress
    int max_length;
} msc_buf_t;

constexpr int MSC_BUF_SIZE = 9000;

// A service decoder: one static table per decoder; registered tables form a list.
typedef struct packet_callbacks_s {
    char name[40];
    char author[40];
    int nr_accepted_dscty;  // -1: every component and address
    int accepted_dscty[8];
    void *(*install_handler)(void *context, packet_state_t *ps, p_service_component_t *psc, packet_info_t *pi);
    void (*msc_dg_handler)(void *context, packet_state_t *ps, p_service_component_t *psc, int error);
    int (*packet_handler)(void *context, packet_state_t *ps, p_service_component_t *psc, int first_last, int ci,
                          unsigned char *packet, int packet_length, int useful_length);
    void (*free_handler)(void *context, packet_state_t *ps, p_service_component_t *psc);
    void *context;
    struct packet_callbacks_s *next;
} packet_callbacks_t;

struct p_service_component_s {
    int used;
    int dscty;  // -1: catch-all
    int sid;
    int scid;
    int addr;  // -1: every address
    int cur_addr;
    char ci[1024];  // last continuity index per packet address
    packet_callbacks_t *handlers;
    void *state;
    msc_buf_t *msc_buf;
    char label[17];
};

constexpr int PACKET_SLOTS = 16;

struct packet_state_s {
    int id;
    int eid;
    int num_psc;
    char path[257];
    char html_path[257];
    p_service_component_t psc[PACKET_SLOTS];
    mot_dec_class *owner;
};

packet_state_t *init_packet(mot_dec_class *owner, int id, const char *path, const char *html_path);
void psc_init(p_service_component_t *psc);
int psc_find(const packet_state_t *ps, int addr, int start);
int ps_install_service(packet_state_t *ps, const packet_info_t *pi, packet_callbacks_t *table, int dscty);
void packet_free(packet_state_t *ps);
// Checks one packet and hands it to the decoders of its address: its length, or -1 when the
// stream is out of step.
int parse_packet(packet_state_t *ps, const unsigned char *packet);
// Collects a slot's data groups from its packets; calls the slot's data group handler.
int default_msc_assembly(void *context, packet_state_t *ps, p_service_component_t *psc, int first_last, int ci,
                         const unsigned char *packet, int packet_length, int useful_length);
void *ps_mot_install(void *context, packet_state_t *ps, p_service_component_t *psc, packet_info_t *pi);
void ps_mot_handle(void *context, packet_state_t *ps, p_service_component_t *psc, int mode);
void ps_mot_free(void *context, packet_state_t *ps, p_service_component_t *psc);
msc_buf_t *msc_buffer_init();
void msc_buffer_free(msc_buf_t *buf);

extern packet_callbacks_t default_packet_mot_handler;
extern packet_callbacks_t default_packet_stream_handler;
