// A FIG query reply as another server sends it, for each query the MOT decoder makes; every
// record of the list must lie inside its allocation.

#include <cstdlib>

#include "common/fig_records.h"
#include "core/ensemble.h"
#include "fuzz/fuzz_env.h"
#include "mot/fig_utils.h"

namespace {

const int queries[][2] = {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {1, 0}, {1, 1}, {1, 5}, {0, 17}};
volatile unsigned sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ensemble &e = fuzzenv::quiet_ensemble();
    if (size < 1) return 0;
    const int *q = queries[data[0] % (sizeof queries / sizeof queries[0])];
    gen_data_s *list = parse_fig_reply(&e, data + 1, static_cast<int>(size - 1), q[0], q[1]);
    const int want = fig_record_size(q[0], q[1]);
    for (gen_data_t *g = list; g; g = fig_next(g)) {
        if (g->datasize < want) abort();
        const unsigned char *b = reinterpret_cast<const unsigned char *>(g);
        for (int i = 0; i < g->datasize; i++) sink += b[i];
    }
    free_fig(list);
    return 0;
}
