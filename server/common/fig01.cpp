#include "common/fig01.h"

#include "common/crc16.h"
#include "common/dab_tables.h"
#include "common/eti_reader.h"

namespace dabcommon {

namespace {

bool usable_profile(const subchannel_params &p) {
    puncturing_profile profile;
    int bytes = 0;
    return subchannel_profile(p, profile, bytes) && bytes > 0;
}

}  // namespace

void subchannel_map::feed_fib(const uint8_t *fib) {
    if (crc16(fib, FIB_DATA_SIZE) != (fib[30] << 8 | fib[31])) return;
    size_t pos = 0;
    while (pos < FIB_DATA_SIZE) {
        // FIG header: type(3) length(5); 0xFF ends the FIB
        const uint8_t head = fib[pos];
        if (head == 0xFF) break;
        const size_t len = head & 0x1F;
        const size_t end = pos + 1 + len;
        if (end > FIB_DATA_SIZE) break;
        // FIG 0: C/N(1) OE(1) P/D(1) extension(5); only this ensemble's current organisation
        if (head >> 5 == 0 && len >= 1 && (fib[pos + 1] & 0xC0) == 0 && (fib[pos + 1] & 0x1F) == 1) {
            size_t q = pos + 2;
            while (q + 3 <= end) {
                subchannel_params p;
                // SubChId(6) StartAddress(10) ShortLong(1) ...
                p.subchid = fib[q] >> 2;
                p.start_cu = (fib[q] & 0x03) << 8 | fib[q + 1];
                bool usable = true;
                if (fib[q + 2] & 0x80) {
                    if (q + 4 > end) break;
                    // long form: Option(3) ProtectionLevel(2) SubChannelSize(10)
                    p.long_form = true;
                    p.option = fib[q + 2] >> 4 & 0x07;
                    p.level = fib[q + 2] >> 2 & 0x03;
                    p.size_cu = (fib[q + 2] & 0x03) << 8 | fib[q + 3];
                    q += 4;
                } else {
                    // short form: TableSwitch(1) TableIndex(6); only the table of EN 300 401 is known
                    usable = !(fib[q + 2] & 0x40);
                    p.table_index = fib[q + 2] & 0x3F;
                    p.size_cu = uep_table[static_cast<size_t>(p.table_index)].size;
                    p.level = uep_table[static_cast<size_t>(p.table_index)].level;
                    q += 3;
                }
                if (usable && usable_profile(p)) {
                    params_[static_cast<size_t>(p.subchid)] = p;
                    known_[static_cast<size_t>(p.subchid)] = true;
                }
            }
        }
        pos = end;
    }
}

const subchannel_params *subchannel_map::find(int subchid) const {
    if (subchid < 0 || subchid >= 64 || !known_[static_cast<size_t>(subchid)]) return nullptr;
    return &params_[static_cast<size_t>(subchid)];
}

void subchannel_map::clear() {
    params_ = {};
    known_ = {};
}

}  // namespace dabcommon
