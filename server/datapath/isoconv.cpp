#include "datapath/isoconv.h"

// The table and the conversion are constexpr; this unit pins them at build time.
static_assert(transiso646('A') == 'A', "ASCII passes unchanged");
static_assert(transiso646(0x82) == 0xE9, "e acute");
static_assert(transiso646(0xFF) == 0xA0, "last entry");

std::string latin1_to_utf8(const char *s, size_t max) {
    std::string out;
    if (!s) return out;
    for (size_t i = 0; i < max && s[i]; i++) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
