#include "ipdab/ip_dec.h"

packet_callbacks_t default_packet_ip_handler = {"IP over DAB", "dabserver"};
