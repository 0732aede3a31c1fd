#pragma once
// The sub-channel organisation that FIG 0/1 announces (EN 300 401 clause 6.2.1), gathered
// from FIBs with a good CRC. The modulator and the receiver read it alike.

#include <array>
#include <cstdint>

#include "common/dab_coding.h"

namespace dabcommon {

class subchannel_map {
public:
    void feed_fib(const uint8_t *fib);  // 32 bytes
    // The latest record of a sub-channel, or nullptr.
    const subchannel_params *find(int subchid) const;
    // Forgets every record (another ensemble).
    void clear();

private:
    std::array<subchannel_params, 64> params_{};
    std::array<bool, 64> known_{};
};

}  // namespace dabcommon
