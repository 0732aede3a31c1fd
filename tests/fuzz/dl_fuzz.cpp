// Dynamic label segments as the X-PAD decoder hands them over (start, continuation, end
// check), into the ring of labels the pages show.

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/mot_env.h"
#include "mot/dl_dec.h"
#include "mot/xpad_dec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    xpad_state_t *xs = init_xpad_mot(&fuzzenv::mot_decoder(), 3, (fuzzenv::temp_dir() + "/dl/").c_str());
    if (!xs) abort();
    fuzzenv::input in{data, size};
    // Each sub-field: control byte (kind, CRC put right), length, bytes.
    while (in.n) {
        const int ctl = in.byte();
        const uint8_t *p;
        const size_t n = in.take(in.byte() & 63, &p);
        std::vector<uint8_t> b(p, p + n);
        if (ctl & 4) fuzzenv::fix_crc(b.data(), b.size());
        // The X-PAD decoder always hands over a place in its record, even for no bytes.
        static const unsigned char none = 0;
        dl_decode(&xs->dls, b.empty() ? &none : b.data(), static_cast<int>(b.size()), (ctl & 3) % 3);
        if (ctl & 8) dl_decode(&xs->dls, nullptr, 0, 2);
    }
    dl_decode(&xs->dls, nullptr, 0, 2);
    dynamic_label_t d;
    for (int i = 0; i < DL_RING && dl_get(xs, i, &d); i++)
        if (!memchr(d.dl_text, 0, sizeof d.dl_text)) abort();
    xpad_free(xs);
    return 0;
}
