#include "common/eti_writer.h"

#include <cstring>

#include "common/crc16.h"

namespace dabcommon {

int eti_tpl(bool uep, int level, int option) {
    // UEP: 010 and the protection level
    if (uep) return 0x10 | ((level - 1) & 0x07);
    // EEP: 1 option(3) level(2)
    return 0x20 | (option & 7) << 2 | ((level - 1) & 3);
}

int eti_build_frame(uint8_t out[ETI_FRAME_SIZE], uint32_t n, const uint8_t fic[ETI_FIC_SIZE],
                    const std::vector<eti_out_stream> &streams) {
    size_t nst = streams.size();
    size_t mst = ETI_FIC_SIZE;
    for (const auto &s : streams) {
        if (s.len % 8 || s.len / 8 > 1023) return 0;
        mst += s.len;
    }
    // SYNC(4) FC(4) STC(4 nst) EOH(4) MST EOF(4) TIST(4)
    size_t total = 8 + 4 * nst + 4 + mst + 8;
    if (nst > 64 || total > ETI_FRAME_SIZE) return 0;

    memset(out, 0x55, ETI_FRAME_SIZE);
    out[0] = 0xFF;  // ERR: no error
    uint32_t fsync = (n & 1) ? 0xF8C549 : 0x073AB6;
    out[1] = static_cast<uint8_t>(fsync >> 16);
    out[2] = static_cast<uint8_t>(fsync >> 8);
    out[3] = static_cast<uint8_t>(fsync);

    // FC: FCT(8) FICF(1) NST(7) FP(3) MID(2) FL(11)
    uint32_t fl = static_cast<uint32_t>(nst + 1 + mst / 4);
    uint8_t *p = out + 4;
    p[0] = static_cast<uint8_t>(n % 250);
    p[1] = static_cast<uint8_t>(0x80 | nst);
    p[2] = static_cast<uint8_t>((n % 8) << 5 | 1 << 3 | (fl >> 8 & 7));  // MID 01: mode I
    p[3] = static_cast<uint8_t>(fl);
    p += 4;
    // STC per stream: SCID(6) SAD(10) TPL(6) STL(10)
    for (const auto &s : streams) {
        uint32_t stl = static_cast<uint32_t>(s.len / 8);
        p[0] = static_cast<uint8_t>(s.subchid << 2 | (s.start_address >> 8 & 3));
        p[1] = static_cast<uint8_t>(s.start_address);
        p[2] = static_cast<uint8_t>((s.tpl & 0x3F) << 2 | (stl >> 8 & 3));
        p[3] = static_cast<uint8_t>(stl);
        p += 4;
    }
    // EOH: MNSC(16) CRC(16) over FC, STC and MNSC
    p[0] = 0xFF;
    p[1] = 0xFF;
    uint16_t crc = crc16(out + 4, static_cast<size_t>(p + 2 - (out + 4)));
    p[2] = static_cast<uint8_t>(crc >> 8);
    p[3] = static_cast<uint8_t>(crc);
    p += 4;
    uint8_t *mst_start = p;
    memcpy(p, fic, ETI_FIC_SIZE);
    p += ETI_FIC_SIZE;
    for (const auto &s : streams) {
        memcpy(p, s.data, s.len);
        p += s.len;
    }
    // EOF: CRC(16) over the MST, RFU(16)
    crc = crc16(mst_start, static_cast<size_t>(p - mst_start));
    p[0] = static_cast<uint8_t>(crc >> 8);
    p[1] = static_cast<uint8_t>(crc);
    p[2] = 0xFF;
    p[3] = 0xFF;
    p += 4;
    // TIST: no time stamp
    memset(p, 0xFF, 4);
    return 1;
}

}  // namespace dabcommon
