// PAD records through the X-PAD decoder: contents indicators, sub-fields, and the dynamic
// label and MOT decoders behind them (slides and objects written below a temporary directory).

#include <cstdlib>
#include <vector>

#include "fuzz/mot_env.h"
#include "mot/xpad_dec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    xpad_state_t *xs = init_xpad_mot(&fuzzenv::mot_decoder(), 4, (fuzzenv::temp_dir() + "/xpad/").c_str());
    if (!xs) abort();
    fuzzenv::input in{data, size};
    // Each record: two length bytes (little-endian, as in the record head), then the record.
    while (in.n) {
        size_t len = in.byte();
        len |= static_cast<size_t>(in.byte()) << 8;
        const uint8_t *p;
        len = in.take(len % (PAD_RECORD_LIMIT + 1), &p);
        std::vector<uint8_t> r(p, p + len);
        extract_xpad_new(r.empty() ? nullptr : r.data(), static_cast<int>(r.size()), 4, 0, 0, xs);
    }
    xpad_free(xs);
    return 0;
}
