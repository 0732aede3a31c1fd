// DAB+ logical frames through the superframe decoder: sync search, RS, AU start tables, AU
// CRCs, data stream elements. Raw frames test the search; sealed superframes (firecode, RS
// parity and optionally the AU CRCs made to hold here) get past it to the AUs and their PAD.

#include <cstdlib>
#include <cstring>

#include "common/crc16.h"
#include "datapath/dabplus.h"
#include "fuzz/fuzz_env.h"

namespace {

using namespace dabcommon;

// What leaves the decoder must be well formed, whatever came in.
struct checking_sink : dabplus_sink {
    void loas_frame(const uint8_t *p, int len) override {
        if (len < 10 || p[0] != 0x56 || (p[1] & 0xE0) != 0xE0 || ((p[1] & 0x1F) << 8 | p[2]) + 3 != len) abort();
    }
    void pad_record(const uint8_t *p, int len) override {
        if (len < 8 || len > PAD_RECORD_MAX || (p[4] | p[5] << 8) != len) abort();
        if (p[0] != 0xFF || p[1] != 0xF0 || p[2] || p[3]) abort();
    }
};

void feed_superframe(dabplus_decoder &d, const uint8_t *sf, int s, checking_sink &out) {
    for (int k = 0; k < SF_LOGICAL_FRAMES; k++) d.feed(sf + 24 * s * k, 24 * s, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static dabplus_counters counters;
    static dabplus_decoder d(&counters);
    static uint8_t sf[SF_MAX_BYTES];
    static sf_rs rs;
    checking_sink out;
    fuzzenv::input in{data, size};
    const int s = 1 + (in.byte() & 7);
    d.reset(s);
    while (in.n) {
        const int ctl = in.byte();
        const uint8_t *p;
        if ((ctl & 3) == 0) {
            // One logical frame as it came; short at the end of the input: a lost one.
            const size_t n = in.take(static_cast<size_t>(24 * s), &p);
            d.feed(p, static_cast<int>(n), out);
        } else if ((ctl & 3) == 1) {
            d.feed(nullptr, ctl >> 2, out);
        } else {
            // A sealed superframe: RS data from the input, CRCs (ctl bit 2), firecode, parity,
            // then (ctl >> 3) byte errors at places the input names.
            const int data_len = SF_DATA_PER_UNIT * s;
            std::memset(sf, 0, sizeof sf);
            const size_t n = in.take(static_cast<size_t>(data_len), &p);
            if (n) std::memcpy(sf, p, n);
            std::array<int, SF_MAX_AUS + 1> starts{};
            const int aus = (ctl & 4) ? sf_au_starts(sf, static_cast<size_t>(data_len), starts) : 0;
            for (size_t i = 0; i < static_cast<size_t>(aus); i++) {
                const uint16_t crc = crc16(sf + starts[i], static_cast<size_t>(starts[i + 1] - starts[i] - 2));
                sf[starts[i + 1] - 2] = static_cast<uint8_t>(crc >> 8);
                sf[starts[i + 1] - 1] = static_cast<uint8_t>(crc);
            }
            const uint16_t fc = sf_firecode(sf);
            sf[0] = static_cast<uint8_t>(fc >> 8);
            sf[1] = static_cast<uint8_t>(fc);
            rs.encode(sf, s);
            for (int e = ctl >> 3; e > 0; e--) {
                const int pos = (in.byte() << 8 | in.byte()) % (SF_BYTES_PER_UNIT * s);
                sf[pos] ^= static_cast<uint8_t>(in.byte() | 1);
            }
            feed_superframe(d, sf, s, out);
        }
    }
    if (d.has_format()) {
        uint8_t asc[4];
        if (dabplus_asc(d.format(), asc, sizeof asc) < 2) abort();
    }
    return 0;
}
