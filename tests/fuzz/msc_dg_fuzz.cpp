// The MSC data group and session headers: whatever they claim, the data field starts inside
// the group.

#include <cstdlib>

#include "fuzz/fuzz_env.h"
#include "mot/msc_dg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    msc_dg_ses_hdr_t h;
    const int n = mot_get_msc_dg_ses_hdr(&h, data, static_cast<int>(size));
    if (n > static_cast<int>(size) || n < -1) abort();
    if (n >= 0 && h.addrlen > sizeof h.addrfield) abort();
    return 0;
}
