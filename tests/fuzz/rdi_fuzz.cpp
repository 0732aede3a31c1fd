// The device's 32-bit units through the RDI reader's word handling and frame dispatch, into
// the FIC and subchannel decoders of a tuned ensemble.

#include <cstring>
#include <vector>

#include "common/fig_records.h"
#include "core/ensemble.h"
#include "datapath/fic.h"
#include "datapath/rdi.h"
#include "fuzz/fuzz_env.h"

namespace {

volatile unsigned sink;

// The FIG decoders have a target of their own: here each FIB the reader unpacked is read to
// its end and kept from the store, which stays as tuned.
int read_fib(void *, unsigned char *fib) {
    for (int i = 0; i < FIB_BYTES; i++) sink += fib[i];
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool tuned = (fuzzenv::tune_demo_ensemble(), true);
    (void)tuned;
    ensemble &e = fuzzenv::quiet_ensemble();
    e.fib_decoder_callback = read_fib;
    std::vector<unsigned int> words(size / 4);
    if (!words.empty()) memcpy(words.data(), data, words.size() * 4);
    e.rdi_stream->replay_words(words.data(), static_cast<int>(words.size()));
    e.fib_decoder_callback = nullptr;
    fuzzenv::reset_demo_ensemble(false);
    return 0;
}
