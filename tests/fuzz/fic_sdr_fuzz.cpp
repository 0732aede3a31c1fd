// Soft bits of the receiver's FIC (anything the front end could deliver) through depuncturing,
// Viterbi, energy dispersal and CRC; and a sub-channel decoder built from arbitrary FIG 0/1
// fields, fed one CIF, to find a description that gets past the checks and reads outside.

#include <cstdlib>
#include <cstring>
#include <vector>

#include "sdr/fic_decoder.h"
#include "sdr/msc_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static fic_decoder dec;
    std::vector<int8_t> soft(9216, 0);
    const size_t n = size < soft.size() ? size : soft.size();
    std::memcpy(soft.data(), data, n);
    fic_result r;
    dec.decode(soft.data(), r);
    if (r.bits < 0 || r.bits > 9216 || r.bit_errors < 0 || r.bit_errors > r.bits) abort();

    // The first bytes as sub-channel fields: start(10) size(10) form(1) option(3) level(3) index(7).
    if (size >= 5) {
        subchannel_params p;
        p.subchid = data[0] & 63;
        p.start_cu = (data[0] << 2 | data[1] >> 6) - 64;  // some negative
        p.size_cu = (data[1] & 63) << 4 | data[2] >> 4;
        p.long_form = data[2] & 8;
        p.option = data[2] & 7;
        p.level = (data[3] >> 4) - 4;
        p.table_index = int(data[4]) - 64;
        msc_subchannel_decoder msc(p);
        std::vector<int8_t> cif(55296);
        for (size_t i = 0; i < cif.size(); ++i) cif[i] = int8_t(data[i % size]);
        std::vector<uint8_t> out;
        if (msc.feed_cif(cif.data(), out) || (msc.valid() && msc.frame_bytes() <= 0)) abort();
    }
    return 0;
}
