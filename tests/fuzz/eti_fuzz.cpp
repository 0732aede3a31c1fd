// ETI bytes through the frame parser at every plausible start and through the resynchronising
// reader on a memory file, as a file or FIFO would deliver them.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "common/eti_reader.h"
#include "fuzz/fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static dabcommon::eti_frame f, g;
    if (dabcommon::parse_eti_frame(data, size, f) > 0) {
        for (int i = 0; i < f.fib_count(); i++) (void)f.fib_crc_ok(i);
        for (int i = 0; i < f.nst && i < dabcommon::ETI_MAX_STREAMS; i++) {
            // Every stream must lie inside the frame the parser accepted.
            if (f.stc[static_cast<size_t>(i)].offset + f.stc[static_cast<size_t>(i)].len > f.raw.size()) abort();
            volatile uint8_t last = f.stream_data(i)[f.stc[static_cast<size_t>(i)].len ? f.stc[static_cast<size_t>(i)].len - 1 : 0];
            (void)last;
        }
        (void)f.find_stream(data[0] & 63);
    }

    static const int fd = memfd_create("eti", 0);
    if (fd < 0) abort();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0)
        abort();
    dabcommon::eti_reader r;
    r.attach(fd, false);
    bool have_prev = false;
    for (int frames = 0; frames < 64; frames++) {
        if (r.next(have_prev ? g : f, 0) != 1) break;
        if (have_prev) (void)dabcommon::eti_organisation_differs(f, g);
        have_prev = true;
    }
    return 0;
}
