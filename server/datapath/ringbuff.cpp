#include "datapath/ringbuff.h"

#include <sched.h>

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
    r.disc_count.store(0);
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
    if (!valid(stream)) return;
    ringbuf[stream].disc_count++;
    ringbuf[stream].disc_pending.store(1);
}

void ringbuff::ring_putc(int stream, int bufnum, unsigned char c) { ring_write(stream, bufnum, &c, 1); }

void ringbuff::ring_write(int stream, int bufnum, const unsigned char *c, int len) { write(stream, bufnum, c, len, false); }

void ringbuff::ring_write_frame(int stream, int bufnum, const unsigned char *c, int len) {
    write(stream, bufnum, c, len, true);
}

void ringbuff::write(int stream, int bufnum, const unsigned char *c, int len, bool frame) {
    if (!valid(stream, bufnum) || !c || len <= 0 || !initialised) return;
    rbuff_t &r = ringbuf[stream];
    {
        mutex_guard g(&r.lock);
        unsigned char *buf = r.ptr[bufnum];
        unsigned long size = r.bufsize[bufnum];
        if (!buf || size == 0 || size > RING_ALLOC) return;
        unsigned long w = r.writeptr[bufnum].load();
        // A frame that fills much of the ring would leave a reader nothing whole to read.
        if (frame && static_cast<unsigned long>(len) > size / 10) return;
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
    tell_wakers();
}

bool ringbuff::add_waker(ring_waker *w) {
    for (auto &slot : wakers_) {
        ring_waker *expected = nullptr;
        if (slot.compare_exchange_strong(expected, w)) return true;
    }
    return false;
}

void ringbuff::remove_waker(ring_waker *w) {
    for (auto &slot : wakers_) {
        ring_waker *expected = w;
        slot.compare_exchange_strong(expected, nullptr);
    }
    // A write that loaded the pointer before it was cleared may still be calling it.
    while (telling_.load() > 0) sched_yield();
}

void ringbuff::tell_wakers() {
    telling_++;
    for (auto &slot : wakers_)
        if (ring_waker *w = slot.load()) w->ring_written();
    telling_--;
}

ring_reader::ring_reader(ringbuff *rb, int stream, int part)
    : rb_(rb), r_(rb ? rb->get_streambuf(stream) : nullptr), stream_(stream), part_(part) {}

ring_reader::~ring_reader() {
    if (held_) rb_->unset_req(stream_);
}

bool ring_reader::snapshot(unsigned long &w, unsigned long &size, int &fs) const {
    mutex_guard g(&r_->lock);
    w = r_->writeptr[part_].load();
    size = r_->bufsize[part_];
    fs = r_->framesize;
    return r_->ptr[part_] && size > 0 && size <= RING_ALLOC && fs > 0;
}

bool ring_reader::open(bool frame_aligned) {
    if (held_ || !r_ || (part_ != 0 && part_ != 1)) return false;
    rb_->set_req(stream_);
    unsigned long w = 0, size = 0;
    int fs = 0;
    bool ok;
    {
        mutex_guard g(&r_->lock);
        w = r_->writeptr[part_].load();
        size = r_->bufsize[part_];
        fs = r_->framesize;
        ok = r_->ptr[part_] && size > 0 && size <= RING_ALLOC && fs > 0 && r_->active.load();
        flags_ = r_->flags;
        audio_ = r_->audio;
        disc_seen_ = r_->disc_count.load();
        copy_field(name_, r_->name);
    }
    if (!ok) {
        rb_->unset_req(stream_);
        return false;
    }
    held_ = true;
    size_ = size;
    framesize_ = fs;
    cursor_ = frame_aligned ? boundary(w, fs) : w;
    return true;
}

unsigned long ring_reader::boundary(unsigned long w, int fs) const {
    if (flags_ & RING_VARFRAMES) return w;
    return w / static_cast<unsigned long>(fs) * fs;
}

void ring_reader::skip_to(unsigned long w, int fs) {
    const unsigned long to = boundary(w, fs);
    skipped_ += to - cursor_;
    cursor_ = to;
    overruns_++;
}

void ring_reader::follow(unsigned long w, unsigned long size, int fs) {
    // A new shape puts the bytes at other offsets: resume at the newest frame of it.
    if (size != size_ || fs != framesize_) {
        size_ = size;
        framesize_ = fs;
        skip_to(w, fs);
    } else if (w - cursor_ > size) {
        skip_to(w, fs);
    }
}

long ring_reader::pending() {
    if (!held_) return -1;
    unsigned long w, size;
    int fs;
    if (!snapshot(w, size, fs)) return -1;
    follow(w, size, fs);
    return static_cast<long>(w - cursor_);
}

unsigned long ring_reader::behind() {
    if (!held_) return 0;
    unsigned long w, size;
    int fs;
    snapshot(w, size, fs);
    return w - cursor_;
}

unsigned long ring_reader::peek(void *dst, unsigned long len) {
    if (!held_ || !dst || len == 0) return 0;
    unsigned long w, size;
    int fs;
    if (!snapshot(w, size, fs)) return 0;
    follow(w, size, fs);
    unsigned long n = w - cursor_;
    if (n > len) n = len;
    if (n == 0) return 0;
    const unsigned char *ring = r_->ptr[part_];
    const unsigned long idx = cursor_ % size;
    const unsigned long first = size - idx < n ? size - idx : n;
    std::memcpy(dst, ring + idx, first);
    if (n > first) std::memcpy(static_cast<unsigned char *>(dst) + first, ring, n - first);
    // Whatever the writer finished meanwhile overwrote the oldest bytes of the ring.
    unsigned long w2, size2;
    int fs2;
    snapshot(w2, size2, fs2);
    if (w2 - cursor_ > size || size2 != size || fs2 != fs) {
        if (size2 > 0 && fs2 > 0) {
            size_ = size2;
            framesize_ = fs2;
            fs = fs2;
        }
        skip_to(w2, fs);
        return 0;
    }
    return n;
}

unsigned long ring_reader::read(void *dst, unsigned long len) {
    const unsigned long n = peek(dst, len);
    consume(n);
    return n;
}

bool ring_reader::alive() const {
    return r_ && r_->active.load() && !r_->disc_pending.load() && r_->disc_count.load() == disc_seen_;
}
