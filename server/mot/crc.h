#pragma once
// The CRC of packets, MSC data groups and dynamic labels: the one CRC-16 of the server.

#include "common/crc16.h"

// 0 for no bytes; compared with the stored value high byte first.
inline unsigned calc_crc(const unsigned char *data, int length) {
    return length < 1 ? 0u : dabcommon::crc16(data, static_cast<size_t>(length));
}

// The CRC stored high byte first at p.
inline unsigned stored_crc(const unsigned char *p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }
