// Subchannel frames of both packings, whole or cut, through the frame decoder with its PAD
// extraction; the PAD record extractor also on its own.

#include "core/ensemble.h"
#include "datapath/msc.h"
#include "fuzz/fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool tuned = (fuzzenv::tune_demo_ensemble(), true);
    (void)tuned;
    ensemble &e = fuzzenv::quiet_ensemble();
    fuzzenv::input in{data, size};
    // Each frame: one control byte (subchannel, packing, cut), two length bytes, the bytes.
    while (in.n) {
        const int ctl = in.byte();
        const int subch = fuzzenv::demo_subchannels[(ctl & 3) % 3];
        const int packing22 = ctl >> 2 & 1;
        const bool cut = ctl >> 3 & 1;
        size_t len = static_cast<size_t>(in.byte()) << 8;
        len |= in.byte();
        const uint8_t *p;
        len = in.take(len, &p);
        e.msc_stream->decode_sub(subch, p, static_cast<int>(len), cut, packing22);
        subch_decoder_t st{};
        unsigned char rec[PAD_RECORD_MAX];
        extract_pad_record(st, rec, p, static_cast<int>(len));
    }
    fuzzenv::reset_demo_ensemble(false);
    return 0;
}
