#include "common/crc16.h"

#include <array>

namespace dabcommon {
namespace {

constexpr std::array<uint16_t, 256> make_table() {
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; i++) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; b++) c = (c & 0x8000) ? static_cast<uint16_t>((c << 1) ^ 0x1021) : static_cast<uint16_t>(c << 1);
        t[i] = c;
    }
    return t;
}
constexpr auto crc_table = make_table();
static_assert(crc_table.size() == 256);

}  // namespace

uint16_t crc16_update(uint16_t reg, const uint8_t *data, size_t len) {
    for (size_t i = 0; i < len; i++) reg = static_cast<uint16_t>((reg << 8) ^ crc_table[((reg >> 8) ^ data[i]) & 0xFF]);
    return reg;
}

uint16_t crc16(const uint8_t *data, size_t len) { return static_cast<uint16_t>(~crc16_update(0xFFFF, data, len)); }

}  // namespace dabcommon
