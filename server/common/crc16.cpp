#include "common/crc16.h"

#include <array>

namespace dabcommon {
namespace {

// Slicing by eight: table k advances the register over a byte followed by k zero bytes, so
// eight bytes take eight lookups and no dependency chain between them. Access unit CRCs of
// a whole ensemble run through here.
constexpr std::array<std::array<uint16_t, 256>, 8> make_tables() {
    std::array<std::array<uint16_t, 256>, 8> t{};
    for (int i = 0; i < 256; i++) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; b++) c = (c & 0x8000) ? static_cast<uint16_t>((c << 1) ^ 0x1021) : static_cast<uint16_t>(c << 1);
        t[0][i] = c;
    }
    for (int k = 1; k < 8; k++)
        for (int i = 0; i < 256; i++)
            t[k][i] = static_cast<uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
    return t;
}
constexpr auto tables = make_tables();
static_assert(tables[0][1] == 0x1021 && tables[0][128] == 0x9188);

}  // namespace

uint16_t crc16_update(uint16_t reg, const uint8_t *data, size_t len) {
    const auto &t = tables;
    for (; len >= 8; len -= 8, data += 8) {
        reg = static_cast<uint16_t>(t[7][((reg >> 8) ^ data[0]) & 0xFF] ^ t[6][(reg ^ data[1]) & 0xFF] ^ t[5][data[2]] ^
                                    t[4][data[3]] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]]);
    }
    for (; len > 0; len--, data++) reg = static_cast<uint16_t>((reg << 8) ^ t[0][((reg >> 8) ^ *data) & 0xFF]);
    return reg;
}

uint16_t crc16(const uint8_t *data, size_t len) { return static_cast<uint16_t>(~crc16_update(0xFFFF, data, len)); }

}  // namespace dabcommon
