#include "ipdab/ip_dec.h"

packet_callbacks_t default_packet_ip_handler = {
    "IP over DAB", "IP datagrams as UDP multicast", 1, {59}, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
