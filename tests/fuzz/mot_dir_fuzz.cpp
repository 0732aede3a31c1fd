// A received MOT directory object decoded from its file; entries are then looked up as the
// bodies of the carousel would be.

#include <cstdlib>
#include <cstring>

#include "core/plattform.h"
#include "fuzz/mot_env.h"
#include "mot/mot_dec.h"
#include "mot/mot_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir = fuzzenv::temp_dir() + "/dir";
    const std::string file = fuzzenv::write_file("motdir.bin", data, size);
    mot_state_t *ms = mot_init(&fuzzenv::mot_decoder(), 2, dir.c_str(), "dir/");
    if (!ms) abort();
    mot_callback_init(ms, &mot_default_callbacks);
    mot_object_state_t obj{};
    copy_field(obj.path, file.c_str());
    obj.trid = -1;
    if (mot_dir_decode_file(ms, &obj)) {
        bool complete = false;
        char index[256];
        mot_dir_current(ms, &complete, index, sizeof index);
        if (!memchr(index, 0, sizeof index)) abort();
        // The transport ids of the first entries, and one that is not there.
        for (size_t p : {13u, 24u, 40u}) {
            mot_hdr_attr_t a;
            const int trid = p + 1 < size ? data[p] << 8 | data[p + 1] : 0xFFFF;
            if (mot_dir_find_trid_entry(ms, trid, &a) && !memchr(a.path, 0, sizeof a.path)) abort();
        }
    }
    mot_free(ms);
    return 0;
}
