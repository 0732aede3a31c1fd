#pragma once
// IP over DAB packet service decoder.

#include "mot/motmain.h"

struct packet_callbacks_s {
    const char *name;
    const char *author;
};

extern packet_callbacks_t default_packet_ip_handler;
