// MOT header core and extension, and the object names they carry through clean_path: the
// name that comes out is relative, stays below its directory and fits its field.

#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/mot_env.h"
#include "mot/mot_dec.h"
#include "mot/mot_hdr_dec.h"

namespace {

void check_clean(const char *in) {
    for (int len : {1, 2, 9, 64, 257}) {
        char out[257];
        memset(out, 'x', sizeof out);
        clean_path(out, in, len);
        const size_t n = strnlen(out, sizeof out);
        if (n >= static_cast<size_t>(len)) abort();
        if (n && out[0] == '/') abort();
        const std::string s(out, n);
        if (s.find('\\') != std::string::npos) abort();
        for (char c : s)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) abort();
        // No component is "..", ".", or empty.
        size_t start = 0;
        while (start <= s.size() && n) {
            size_t end = s.find('/', start);
            if (end == std::string::npos) end = s.size();
            const std::string comp = s.substr(start, end - start);
            if (comp.empty() || comp == "." || comp == "..") abort();
            start = end + 1;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static mot_state_t *ms = [] {
        mot_state_t *m = mot_init(&fuzzenv::mot_decoder(), 1, (fuzzenv::temp_dir() + "/hdr").c_str(), "hdr/");
        if (!m) abort();
        mot_callback_init(m, &mot_default_callbacks);
        return m;
    }();
    if (size >= 7) {
        mot_hdr_attr_t a;
        int hs = mot_decode_header_core(ms, &a, data);
        if (hs > static_cast<int>(size)) hs = static_cast<int>(size);
        if (hs >= 7) {
            mot_decode_header(ms, &a, data + 7, hs, ms->callbacks.mot_cb_extra_attr);
            if (!memchr(a.label, 0, sizeof a.label) || !memchr(a.path, 0, sizeof a.path) ||
                !memchr(a.mime_type, 0, sizeof a.mime_type) || !memchr(a.dir_index, 0, sizeof a.dir_index))
                abort();
            check_clean(a.path);
            if (ms->callbacks.mot_cb_free_extra_attr) ms->callbacks.mot_cb_free_extra_attr(ms, &a);
        }
    }
    std::string name(reinterpret_cast<const char *>(data), size);
    check_clean(name.c_str());
    return 0;
}
