#pragma once
// IP over DAB packet service decoder: UDP multicast datagrams carried in data groups go out on
// the local network.

#include "ipdab/ipoverlib.h"
#include "mot/motmain.h"
#include "mot/packet.h"

// Counter indices of ip_state_t.stat.
enum ip_counter {
    IP_FORWARDED = 0,
    IP_DROPPED = 1,  // not a whole UDP datagram to a multicast group, or too long
    IP_CRC_ERRORS = 2,
    IP_SEND_ERRORS = 3,
};

typedef struct ip_state_s ip_state_t;
typedef void ip_output_t(ip_state_t *is);

struct ip_state_s {
    int id;
    msc_buf_t msc_buf;
    unsigned char *datagram;
    int data_len;
    ip_output_t *out_handler;
    void *user_data;
    motpad_statistics_t stat;
    ipover_packet_t pkt;  // one per component: several IP subchannels run on their own threads
    mot_dec_class *owner;
    time_t last_send_error;
};

ip_state_t *ip_init(mot_dec_class *owner, int id);
void ip_sync(ip_state_t *is);
void *ps_ip_install(void *context, packet_state_t *ps, p_service_component_t *psc, packet_info_t *pi);
void ps_ip_handle(void *context, packet_state_t *ps, p_service_component_t *psc, int mode);
void ps_ip_free(void *context, packet_state_t *ps, p_service_component_t *psc);

extern packet_callbacks_t default_packet_ip_handler;
