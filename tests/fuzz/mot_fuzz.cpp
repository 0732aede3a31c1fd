// MSC data groups of a MOT service (header mode and directory mode) through the object
// decoder: headers, bodies, directories, objects written below a temporary directory.

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "fuzz/mot_env.h"
#include "mot/mot_dec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir = fuzzenv::temp_dir() + "/mot";
    mot_state_t *ms = mot_init(&fuzzenv::mot_decoder(), 5, dir.c_str(), "mot/");
    if (!ms) abort();
    mot_callback_init(ms, &mot_default_callbacks);
    fuzzenv::input in{data, size};
    // Each group: control byte (mode, CRC put right), two length bytes, the group.
    while (in.n) {
        const int ctl = in.byte();
        size_t len = static_cast<size_t>(in.byte()) << 8;
        len |= in.byte();
        const uint8_t *p;
        len = in.take(len, &p);
        msc_buf_t *b = ms->msc_buf;
        if (len >= static_cast<size_t>(b->max_length)) len = static_cast<size_t>(b->max_length);
        if (len) memcpy(b->buf, p, len);
        b->bl = static_cast<int>(len);
        if (ctl & 4) fuzzenv::fix_crc(b->buf, len);
        mot_handle(ms, (ctl & 3) % 3);
    }
    mot_free(ms);
    // Objects left from earlier inputs would make each input slower than the last (the quota
    // walks the tree) and its outcome depend on what ran before it.
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
