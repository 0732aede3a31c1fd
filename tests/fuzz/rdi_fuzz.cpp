// The device's 32-bit units through the RDI reader's word handling and frame dispatch, into
// the FIC and subchannel decoders of a tuned ensemble.

#include <cstring>
#include <vector>

#include "core/ensemble.h"
#include "datapath/fic.h"
#include "datapath/rdi.h"
#include "fuzz/fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool tuned = (fuzzenv::tune_demo_ensemble(), true);
    (void)tuned;
    ensemble &e = fuzzenv::quiet_ensemble();
    std::vector<unsigned int> words(size / 4);
    if (!words.empty()) memcpy(words.data(), data, words.size() * 4);
    e.rdi_stream->replay_words(words.data(), static_cast<int>(words.size()));
    fuzzenv::reset_demo_ensemble(true);
    return 0;
}
