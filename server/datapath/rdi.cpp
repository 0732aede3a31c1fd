#include "datapath/rdi.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/rdi_framer.h"
#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "datapath/ringbuff.h"

namespace {

void *thread_wrapper(void *p) {
    static_cast<rdi *>(p)->get_rdi(nullptr);
    return nullptr;
}

// A blocking device read would keep the reader from seeing the stop request.
constexpr int poll_ms = 100;
constexpr int invalid_logs_per_second = 10;
constexpr int retries_at_once = 10;

// Read errors after which the device will not come back.
bool device_gone(int err) { return err == ENODEV || err == ENXIO || err == ESHUTDOWN; }

using dabcommon::RDI_FIC_FLAG;
// Header word fields: type in bits 3-0, FIC flag in bit 4 (on the raw word);
// subchannel, length and the FIC fields on the bit-reversed word.
constexpr unsigned int RDI_TYPE_20 = dabcommon::RDI_TYPE_20BIT;
constexpr unsigned int RDI_TYPE_22 = dabcommon::RDI_TYPE_22BIT;

}  // namespace

rdi::rdi(ensemble *p)
    : e(p), rdi_buf(nullptr), rdi_thread(), rfd(-1), rdi_nr(0), readptr(0), readlen(0), running(0),
      rdi_pause_dummy(0), rdi_use_dummy(0), thread_alive(false), in_memory_(false), stop_req(0), exhausted(0), carry(), ncarry(0),
      cycle_bytes(0), cycled(false), failed_reads(0), invalid_log_second(0), invalid_logged(0), frame_() {}

rdi::~rdi() {
    stop_thread();
    if (rfd >= 0) close(rfd);
    free(rdi_buf);
}

unsigned int rdi::lrev(unsigned int val) { return dabcommon::rdi_lrev(val); }

int rdi::crunch20(unsigned char *dst, const unsigned int *src, int size) {
    return size > 0 ? static_cast<int>(dabcommon::rdi_unpack20(dst, src, static_cast<size_t>(size))) : 0;
}

int rdi::crunch22(unsigned char *dst, const unsigned int *src, int size) {
    return size > 0 ? static_cast<int>(dabcommon::rdi_unpack22(dst, src, static_cast<size_t>(size))) : 0;
}

bool rdi::stopping() const { return e->cfg->finished || stop_req.load() || exhausted.load(); }

void rdi::nap_ms(int ms) const {
    // Sleeps in small steps so that a stop request is seen at once.
    while (ms > 0 && !stopping()) {
        int step = ms < 20 ? ms : 20;
        usleep(step * 1000);
        ms -= step;
    }
}

int rdi::open_rdi_file() {
    if (rfd >= 0) {
        close(rfd);
        rfd = -1;
    }
    char name[32];
    if (rdi_nr == 0) {
        if (cycled && cycle_bytes == 0) return 0;
        cycled = true;
        cycle_bytes = 0;
    }
    snprintf(name, sizeof name, "rdi%i.dmp", rdi_nr);
    rdi_nr++;
    rfd = open(name, O_RDONLY);
    if (rfd >= 0) {
        e->l->log(LOG_INFO, "Loading %s\n", name);
        return 1;
    }
    if (rdi_nr == 1) return 0;  // rdi0.dmp itself is missing
    if (cycle_bytes == 0) return 0;
    rdi_nr = 1;
    cycle_bytes = 0;
    snprintf(name, sizeof name, "rdi%i.dmp", 0);
    rfd = open(name, O_RDONLY);
    if (rfd < 0) return 0;
    e->l->log(LOG_INFO, "Restart, Loading %s\n", name);
    return 1;
}

int rdi::init_rdi_buffer(int i) {
    if (i) {
        if (!rdi_buf) {
            rdi_buf = static_cast<unsigned int *>(calloc(RDI_BLOCK_WORDS, sizeof(unsigned int)));
            if (!rdi_buf) return 0;
        }
        readptr = readlen = 0;
        ncarry = 0;
        if (e->cfg->emulate) {
            rdi_use_dummy = 1;
            exhausted.store(0);
            rdi_nr = 0;
            cycled = false;
            if (!open_rdi_file()) {
                e->l->log(LOG_ERR, "rdi: no RDI dump file (rdi0.dmp) can be read, nothing to replay\n");
                exhausted.store(1);
            }
        }
        return 1;
    }
    free(rdi_buf);
    rdi_buf = nullptr;
    readptr = readlen = 0;
    if (rfd >= 0) {
        close(rfd);
        rfd = -1;
    }
    return 1;
}

int rdi::read_device_block() {
    int fd = e->cfg->fd;
    struct pollfd pfd = {fd, POLLIN, 0};
    int pr = poll(&pfd, 1, poll_ms);
    // -2: nothing complete yet, which is not an error.
    if (pr == 0 || (pr < 0 && errno == EINTR)) return -2;
    unsigned char *dst = reinterpret_cast<unsigned char *>(rdi_buf);
    std::memcpy(dst, carry, static_cast<size_t>(ncarry));
    ssize_t n = device_read(fd, dst + ncarry, static_cast<size_t>(RDI_BLOCK_BYTES - ncarry));
    if (n < 1) return static_cast<int>(n);
    int total = ncarry + static_cast<int>(n);
    ncarry = total % 4;
    std::memcpy(carry, dst + total - ncarry, static_cast<size_t>(ncarry));
    return total >= 4 ? total - ncarry : -2;
}

int rdi::read_dump_block() {
    unsigned char *dst = reinterpret_cast<unsigned char *>(rdi_buf);
    std::memset(dst, 0, RDI_BLOCK_BYTES);
    int gathered = 0;
    while (gathered < RDI_BLOCK_BYTES && !stopping()) {
        if (rfd < 0 && !open_rdi_file()) {
            e->l->log(LOG_ERR, "lget_from_stream: no RDI dump file left to replay, reader stopped\n");
            exhausted.store(1);
            break;
        }
        ssize_t n = read(rfd, dst + gathered, static_cast<size_t>(RDI_BLOCK_BYTES - gathered));
        printf("%i\n", static_cast<int>(n));
        if (n > 0) {
            gathered += static_cast<int>(n);
            cycle_bytes += n;
        }
        if (gathered < RDI_BLOCK_BYTES) {
            close(rfd);
            rfd = -1;
        }
    }
    fflush(stdout);
    if (e->cfg->emulate == 1 && gathered > 0) {
        nap_ms(160);
        // A stream reader asks for a pause while it catches up.
        while (rdi_pause_dummy.exchange(0) && !stopping()) nap_ms(300);
    }
    return gathered > 0 ? gathered - gathered % 4 : 0;
}

unsigned int rdi::lget_from_stream() {
    if (!rdi_buf) return 0;
    for (;;) {
        // Three atomic loads per word were a tenth of the whole data path: every 256 words is
        // still well within a millisecond of a stop request.
        if ((++words_since_check_ & 255) == 0 && stopping()) return 0;
        unsigned int w;
        if (readptr != readlen) {
            w = rdi_buf[++readptr];
        } else {
            if (stopping()) return 0;
            if (in_memory_) return 0;
            int bytes = rdi_use_dummy ? read_dump_block() : read_device_block();
            if (bytes == -2) continue;
            if (bytes < 4) {
                const int err = errno;
                if (stopping()) return 0;
                if (bytes < 0 && device_gone(err)) {
                    // No retry brings a device back that has been pulled out.
                    e->l->log(LOG_CRIT, "lget_from_stream: the device is gone (%s), the server stops\n",
                              strerror(err));
                    e->set_finished(1);
                    return 0;
                }
                // A failure that lasts is said once, when it begins, not at every retry; and
                // a descriptor that answers at once (a hang-up) is retried more slowly.
                if (bytes < 1 && failed_reads++ == 0) e->l->log(LOG_ERR, "lget_from_stream: read failed\n");
                nap_ms(failed_reads > retries_at_once ? poll_ms : 1);
                continue;
            }
            if (failed_reads > 0) {
                e->l->log(LOG_INFO, "lget_from_stream: reading again after %d failed reads\n", failed_reads);
                failed_reads = 0;
            }
            int words = bytes / 4;
            e->st->rdicnt_sum += static_cast<uint64_t>(words);
            readlen = words - 1;
            readptr = 0;
            w = rdi_buf[0];
        }
        if (w & 0xFF000000u) {
            e->st->rdicnt_err++;
            time_t now = time(nullptr);
            if (now != invalid_log_second) {
                invalid_log_second = now;
                invalid_logged = 0;
            }
            if (invalid_logged < invalid_logs_per_second) {
                invalid_logged++;
                e->l->log(LOG_WARN, "Invalid RDI-Data: %08x readptr:%d\n", w, readptr);
            }
        }
        if (w) return w;
    }
}

int rdi::read_frame(int len, int packing22, unsigned char *out, bool *cut) {
    const int words = packing22 ? 4 : 2;
    const int group = packing22 ? 11 : 5;
    if (len > RDI_FRAME_BYTES) len = RDI_FRAME_BYTES;
    *cut = false;
    int pos = 0;
    unsigned int w[4];
    while (pos < len) {
        int i = 0;
        while (i < words) {
            const unsigned int v = lget_from_stream();
            if (v == 0) return -1;  // finishing
            w[i++] = v;
            // No flag bits: not a data word; the frame ends with this group.
            if ((v & 3) == 0) {
                *cut = true;
                break;
            }
        }
        while (i < words) w[i++] = 0;
        if (packing22)
            crunch22(out + pos, w, 1);
        else
            crunch20(out + pos, w, 1);
        pos += group;
        if (*cut) return pos;
    }
    // The last group's padding is no part of the frame.
    return pos < len ? pos : len;
}

void rdi::dispatch(unsigned int w) {
    unsigned int type = w & 0x0F;
    if (type != RDI_TYPE_20 && type != RDI_TYPE_22) return;
    unsigned int r = lrev(w);
    if (w & RDI_FIC_FLAG) {
        if (type != RDI_TYPE_20) return;
        unsigned int words[dabcommon::RDI_FIB_WORDS];
        for (unsigned int &x : words)
            if (!(x = lget_from_stream())) return;
        const unsigned int status = lget_from_stream();
        if (!status) return;
        unsigned char fib[FIB_BYTES];
        crunch20(fib, words, dabcommon::RDI_FIB_WORDS / 2);
        e->fic_stream->decode_fic(fib, status);
        return;
    }
    const int subch = static_cast<int>((r >> 12) & 63);
    const int len = static_cast<int>(r & 0x7FF);
    // Frames nobody reads are left to the dispatcher word by word.
    const int size = e->msc_stream->wanted_frame_size(subch);
    if (size == 0) return;
    // A length of 0 announces nothing, the largest one "this much or more": then the
    // configured size counts.
    const int announced = len == 0 || len == dabcommon::RDI_MAX_LEN ? size : len;
    bool cut = false;
    const int got = read_frame(announced, type == RDI_TYPE_22, frame_, &cut);
    if (got < 0) return;
    e->msc_stream->decode_sub(subch, frame_, got, cut, type == RDI_TYPE_22);
}

int rdi::replay_words(const unsigned int *words, int n) {
    if (thread_alive || n <= 0) return 0;
    if (!rdi_buf && !(rdi_buf = static_cast<unsigned int *>(calloc(RDI_BLOCK_WORDS, sizeof(unsigned int))))) return 0;
    if (n > RDI_BLOCK_WORDS) n = RDI_BLOCK_WORDS;
    std::memcpy(rdi_buf, words, static_cast<size_t>(n) * sizeof *words);
    // The next word taken is the first.
    readptr = -1;
    readlen = n - 1;
    in_memory_ = true;
    while (const unsigned int w = lget_from_stream()) dispatch(w);
    in_memory_ = false;
    readptr = readlen = 0;
    return n;
}

void rdi::get_rdi(void *) {
    e->l->log(LOG_INFO, "get_rdi: RDI-decoder started\n");
    while (!stopping()) {
        unsigned int w = lget_from_stream();
        if (w) dispatch(w);
    }
    e->l->log(LOG_INFO, "get_rdi: RDI-decoder stopped\n");
}

int rdi::start_thread() {
    if (thread_alive) return 1;
    stop_req.store(0);
    if (thread_create(&rdi_thread, thread_wrapper, this, 0) != 0) return 0;
    thread_alive = true;
    return 1;
}

void rdi::stop_thread() {
    if (!thread_alive) return;
    // The thread ends itself at its next look at the flags (at most one poll interval);
    // cancelling it could leave the FIG store or a ring buffer locked.
    stop_req.store(1);
    pthread_join(rdi_thread, nullptr);
    thread_alive = false;
}

int rdi::start() {
    if (running) return 1;
    if (!init_rdi_buffer(1)) {
        e->l->log(LOG_ERR, "rdi_start: init_rdi_buffer failed.\n");
        return 0;
    }
    if (!e->rbuff->init_ring_buffer(1)) {
        e->l->log(LOG_ERR, "rdi_start: init_ring_buffer failed.\n");
        init_rdi_buffer(0);
        return 0;
    }
    e->st->clear();
    if (!start_thread()) {
        e->l->log(LOG_ERR, "rdi_start: cannot start the RDI reader thread.\n");
        e->rbuff->init_ring_buffer(0);
        init_rdi_buffer(0);
        return 0;
    }
    running = 1;
    return 1;
}

int rdi::stop() {
    if (!running) return 1;
    stop_thread();
    e->fic_stream->clearall();
    init_rdi_buffer(0);
    e->rbuff->init_ring_buffer(0);
    running = 0;
    return 1;
}

int rdi::suspend(int mode) {
    if (mode) {
        stop_thread();
        e->fic_stream->clearall();
        return 1;
    }
    if (!running) return 0;
    return start_thread();
}
