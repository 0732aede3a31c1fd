#include "datapath/ringbuff.h"

#include <cstdlib>
#include <cstring>

#include "core/plattform.h"

namespace {

bool valid(int stream) { return stream >= 0 && stream < RING_STREAMS; }
bool valid(int stream, int bufnum) { return valid(stream) && (bufnum == 0 || bufnum == 1); }

void reset(rbuff_t &r) {
    for (int i = 0; i < 2; i++) {
        r.ptr[i] = nullptr;
        r.writeptr[i].store(0);
        r.bufsize[i] = 0;
    }
    r.flags = 0;
    r.framesize = 0;
    r.interest.store(0);
    r.audio = 0;
    r.active.store(0);
    r.disc_pending.store(0);
    std::memset(r.name, 0, sizeof r.name);
}

}  // namespace

ringbuff::ringbuff(ensemble *p) : e(p), initialised(0) {
    for (auto &r : ringbuf) reset(r);
}

ringbuff::~ringbuff() { init_ring_buffer(0); }

unsigned long ringbuff::part_size(int fmsize) {
    if (fmsize <= 0) return 0;
    unsigned long fs = static_cast<unsigned long>(fmsize);
    return (RING_ALLOC / fs) * fs;
}

int ringbuff::init_ring_buffer(int val) {
    if (val) {
        if (initialised) init_ring_buffer(0);
        for (auto &r : ringbuf) {
            reset(r);
            thread_mutex_init(&r.lock);
        }
        initialised = 1;
        return 1;
    }
    if (!initialised) return 1;
    for (auto &r : ringbuf) {
        for (auto &p : r.ptr) {
            free(p);
            p = nullptr;
        }
        thread_mutex_destroy(&r.lock);
        reset(r);
    }
    initialised = 0;
    return 1;
}

int ringbuff::set_req(int stream) {
    if (!valid(stream) || !initialised) return 0;
    rbuff_t &r = ringbuf[stream];
    mutex_guard g(&r.lock);
    if (r.interest.load() == 0) {
        for (int i = 0; i < 2; i++) {
            free(r.ptr[i]);
            r.ptr[i] = static_cast<unsigned char *>(calloc(1, RING_ALLOC));
            r.writeptr[i].store(0);
        }
    }
    r.interest.fetch_add(1);
    return 0;
}

int ringbuff::unset_req(int stream) {
    if (!valid(stream) || !initialised) return 0;
    rbuff_t &r = ringbuf[stream];
    mutex_guard g(&r.lock);
    // An unbalanced release must not drive the count negative and keep buffers alive.
    if (r.interest.load() <= 0) return 0;
    if (r.interest.fetch_sub(1) == 1) {
        for (auto &p : r.ptr) {
            free(p);
            p = nullptr;
        }
    }
    return 0;
}

int ringbuff::is_req(int stream) {
    if (!valid(stream)) return 0;
    return ringbuf[stream].interest.load();
}

prbuff_t ringbuff::get_streambuf(int stream) {
    if (!valid(stream)) return nullptr;
    return &ringbuf[stream];
}

void ringbuff::ringbuf_properties(int stream, int bufnum, int fmsize, int audio, const char *s, int flags) {
    if (fmsize <= 0 || !valid(stream, bufnum)) return;
    rbuff_t &r = ringbuf[stream];
    {
        // bufsize must not change under a write in progress.
        mutex_guard g(&r.lock);
        copy_field(r.name, s);
        r.framesize = fmsize;
        r.flags = flags;
        r.bufsize[bufnum] = part_size(fmsize);
        r.audio = audio;
    }
    r.disc_pending.store(0);
    r.active.store(1);
}

void ringbuff::ringbuf_deact(int stream) {
    if (valid(stream)) ringbuf[stream].active.store(0);
}

void ringbuff::set_disc_pending(int stream) {
    if (valid(stream)) ringbuf[stream].disc_pending.store(1);
}

void ringbuff::ring_putc(int stream, int bufnum, unsigned char c) { ring_write(stream, bufnum, &c, 1); }

void ringbuff::ring_write(int stream, int bufnum, const unsigned char *c, int len) {
    if (!valid(stream, bufnum) || !c || len <= 0 || !initialised) return;
    rbuff_t &r = ringbuf[stream];
    mutex_guard g(&r.lock);
    unsigned char *buf = r.ptr[bufnum];
    unsigned long size = r.bufsize[bufnum];
    if (!buf || size == 0 || size > RING_ALLOC) return;
    unsigned long w = r.writeptr[bufnum].load();
    unsigned long n = static_cast<unsigned long>(len);
    // More than one buffer at once: only the newest bufsize bytes can survive anyway.
    if (n > size) {
        c += n - size;
        w += n - size;
        n = size;
    }
    unsigned long idx = w % size;
    unsigned long first = size - idx < n ? size - idx : n;
    std::memcpy(buf + idx, c, first);
    if (n > first) std::memcpy(buf, c + first, n - first);
    r.writeptr[bufnum].store(w + n);
}
