#pragma once
// The MOT decoder object of the fuzz targets, on the quiet ensemble, and the CRC the
// targets may put right so that what follows a check is reached.

#include <cstddef>
#include <cstdint>

#include "common/crc16.h"
#include "fuzz/fuzz_env.h"
#include "mot/motmain.h"

namespace fuzzenv {

inline mot_dec_class &mot_decoder() {
    static mot_dec_class *m = new mot_dec_class(&quiet_ensemble());
    return *m;
}

// The last two of len bytes become the CRC of those before them.
inline void fix_crc(uint8_t *b, size_t len) {
    if (len < 2) return;
    const uint16_t c = dabcommon::crc16(b, len - 2);
    b[len - 2] = static_cast<uint8_t>(c >> 8);
    b[len - 1] = static_cast<uint8_t>(c);
}

}  // namespace fuzzenv
