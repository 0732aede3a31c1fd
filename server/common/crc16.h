#pragma once
#include <cstddef>
#include <cstdint>

namespace dabcommon {

// CRC-16 of EN 300 401 (polynomial x^16+x^12+x^5+1, preset 0xFFFF, result inverted),
// used by FIBs, MSC data groups, packets, X-PAD labels and ETI headers.
uint16_t crc16(const uint8_t *data, size_t len);

// Continue a CRC over more bytes: pass the previous register (not inverted), get it back.
uint16_t crc16_update(uint16_t reg, const uint8_t *data, size_t len);

}  // namespace dabcommon
