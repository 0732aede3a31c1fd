#pragma once
// IP over DAB packet service decoder.

#include "mot/packet.h"

extern packet_callbacks_t default_packet_ip_handler;
