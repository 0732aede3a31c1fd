#include "common/superframe.h"

#include <cstring>

#include "common/crc16.h"

extern "C" {
#include <fec.h>
}

namespace dabcommon {

sf_header sf_parse_header(uint8_t b) {
    sf_header h;
    h.dac_rate = b >> 6 & 1;
    h.sbr_flag = b >> 5 & 1;
    h.aac_channel_mode = b >> 4 & 1;
    h.ps_flag = b >> 3 & 1;
    h.mpeg_surround_config = b & 7;
    return h;
}

uint8_t sf_pack_header(const sf_header &h) {
    return static_cast<uint8_t>((h.dac_rate & 1) << 6 | (h.sbr_flag & 1) << 5 | (h.aac_channel_mode & 1) << 4 |
                                (h.ps_flag & 1) << 3 | (h.mpeg_surround_config & 7));
}

uint16_t sf_firecode(const uint8_t *p) {
    uint16_t reg = 0;
    for (int i = 2; i < 11; i++) {
        for (int bit = 7; bit >= 0; bit--) {
            const bool in = (p[i] >> bit & 1) != 0;
            const bool top = (reg & 0x8000) != 0;
            reg = static_cast<uint16_t>(reg << 1);
            if (in != top) reg ^= 0x782F;
        }
    }
    return reg;
}

bool sf_sync(const uint8_t *p, size_t len) {
    if (!p || len < 11) return false;
    if (p[3] == 0 && p[4] == 0) return false;
    return sf_firecode(p) == (p[0] << 8 | p[1]);
}

int sf_au_starts(const uint8_t *p, size_t len, std::array<int, SF_MAX_AUS + 1> &starts) {
    if (!p || len < 11 || len > static_cast<size_t>(SF_MAX_BYTES)) return 0;
    const sf_format &f = sf_parse_header(p[2]).format();
    const int n = f.num_aus;
    starts[0] = f.header_len;
    // au_start[1..n-1]: 12 bits each, packed from byte 3 on
    for (int i = 1; i < n; i++) {
        const int bit = (i - 1) * 12;
        const int b = 3 + bit / 8;
        starts[static_cast<size_t>(i)] =
            bit % 8 == 0 ? (p[b] << 4 | p[b + 1] >> 4) : ((p[b] & 0x0F) << 8 | p[b + 1]);
    }
    starts[static_cast<size_t>(n)] = static_cast<int>(len);
    // Each AU holds at least one byte before its CRC.
    for (int i = 0; i < n; i++)
        if (starts[static_cast<size_t>(i + 1)] - starts[static_cast<size_t>(i)] < 3) return 0;
    return n;
}

bool sf_au_crc_ok(const uint8_t *p, size_t len) {
    if (!p || len < 3) return false;
    return crc16(p, len - 2) == (p[len - 2] << 8 | p[len - 1]);
}

sf_rs::sf_rs() : rs_(init_rs_char(8, 0x11D, 0, 1, SF_RS_PARITY, 255 - SF_BYTES_PER_UNIT)) {}

sf_rs::~sf_rs() {
    if (rs_) free_rs_char(rs_);
}

int sf_rs::decode(uint8_t *sf, int s) {
    if (!rs_ || !sf || s < 1 || s > SF_MAX_UNITS) return -1;
    uint8_t cw[SF_BYTES_PER_UNIT];
    int corrected = 0;
    bool broken = false;
    for (int c = 0; c < s; c++) {
        for (int j = 0; j < SF_BYTES_PER_UNIT; j++) cw[j] = sf[c + s * j];
        const int r = decode_rs_char(rs_, cw, nullptr, 0);
        if (r < 0) {
            broken = true;
            continue;
        }
        if (r == 0) continue;
        corrected += r;
        for (int j = 0; j < SF_BYTES_PER_UNIT; j++) sf[c + s * j] = cw[j];
    }
    return broken ? -1 : corrected;
}

void sf_rs::encode(uint8_t *sf, int s) {
    if (!rs_ || !sf || s < 1 || s > SF_MAX_UNITS) return;
    uint8_t cw[SF_BYTES_PER_UNIT];
    for (int c = 0; c < s; c++) {
        for (int j = 0; j < SF_DATA_PER_UNIT; j++) cw[j] = sf[c + s * j];
        encode_rs_char(rs_, cw, cw + SF_DATA_PER_UNIT);
        for (int j = SF_DATA_PER_UNIT; j < SF_BYTES_PER_UNIT; j++) sf[c + s * j] = cw[j];
    }
}

}  // namespace dabcommon
