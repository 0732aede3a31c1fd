// FIBs of 30 bytes each through the FIG decoders into the store; the service table is built
// from what they left, as the watcher would.

#include <cstring>

#include "common/fig_records.h"
#include "core/ensemble.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "fuzz/fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ensemble &e = fuzzenv::quiet_ensemble();
    fuzzenv::input in{data, size};
    while (in.n) {
        const uint8_t *p;
        unsigned char fib[FIB_BYTES];
        memset(fib, 0, sizeof fib);
        const size_t n = in.take(FIB_BYTES, &p);
        memcpy(fib, p, n);
        e.fic_stream->decode_fib(fib);
    }
    e.msc_stream->get_subch_info();
    e.msc_stream->clear_tables();
    e.fic_stream->clearall();
    return 0;
}
