#pragma once
// Stream ring buffers: one per subchannel (0-63) and one for the FIDC (64).
//
// One writer (the RDI reader thread) and any number of readers per stream. The writer
// holds the stream's lock for one write; readers follow writeptr without the lock and
// detect overruns themselves (available bytes larger than bufsize).

#include <pthread.h>

#include <atomic>

class ensemble;

constexpr int RING_STREAMS = 65;
constexpr int RING_FIDC = 64;
constexpr unsigned long RING_ALLOC = 0x20000;
// rbuff_t::flags
constexpr int RING_FIDC_FLAG = 1;  // readers deliver without waiting for a backlog
// Frames of varying length (LOAS), each written whole by ring_write_frame: every write count a
// reader sees is a frame boundary, where it joins and resumes instead of at multiples of framesize.
constexpr int RING_VARFRAMES = 2;
// rbuff_t::audio
constexpr int RING_AUDIO_MPEG = 1;
constexpr int RING_AUDIO_LOAS = 2;

typedef struct rbuff_s {
    unsigned char *ptr[2];
    // Bytes ever written into each part since its allocation; the byte numbered n lies at
    // n mod bufsize. Published after the data, so a reader that sees a count also sees
    // the bytes below it.
    std::atomic<unsigned long> writeptr[2];
    unsigned long bufsize[2];
    int flags;
    int framesize;
    std::atomic<int> interest;
    int audio;
    std::atomic<int> active;
    std::atomic<int> disc_pending;
    // Disconnects ever requested: a reader that missed a short-lived disc_pending (a new
    // table sets the ring up again at once) still sees that its stream ended.
    std::atomic<unsigned> disc_count;
    char name[17];
    pthread_mutex_t lock;
} rbuff_t, *prbuff_t;

// Told after every write, on the writer's thread: it must not block or take the stream's lock.
class ring_waker {
public:
    virtual ~ring_waker() = default;
    virtual void ring_written() = 0;
};

class ringbuff {
public:
    explicit ringbuff(ensemble *p);
    ~ringbuff();
    ringbuff(const ringbuff &) = delete;
    ringbuff &operator=(const ringbuff &) = delete;

    int init_ring_buffer(int val);
    int set_req(int stream);
    int unset_req(int stream);
    int is_req(int stream);
    prbuff_t get_streambuf(int stream);
    void ringbuf_properties(int stream, int bufnum, int fmsize, int audio, const char *s, int flags);
    void ringbuf_deact(int stream);
    void set_disc_pending(int stream);
    void ring_putc(int stream, int bufnum, unsigned char c);
    void ring_write(int stream, int bufnum, const unsigned char *c, int len);
    // One whole frame of a RING_VARFRAMES stream (at most a tenth of the part).
    void ring_write_frame(int stream, int bufnum, const unsigned char *c, int len);

    // Usable size for frames of fmsize bytes: whole frames only.
    static unsigned long part_size(int fmsize);

    // Wakers are told of every write until removed; remove_waker returns once no write is
    // telling the removed one any more.
    bool add_waker(ring_waker *w);
    void remove_waker(ring_waker *w);

    rbuff_t ringbuf[RING_STREAMS];
    ensemble *e;

private:
    void tell_wakers();
    void write(int stream, int bufnum, const unsigned char *c, int len, bool frame);

    int initialised;
    static constexpr int max_wakers = 16;
    std::atomic<ring_waker *> wakers_[max_wakers] = {};
    std::atomic<int> telling_{0};
};

// One reader's cursor into one part of a stream: the reader protocol in one place. It holds
// the stream's interest from open() to its end, so the ring memory stays while it reads.
// Sizes and the write count are taken under the stream's lock (the writer changes them
// under it); the bytes themselves are copied without it and checked afterwards.
class ring_reader {
public:
    ring_reader(ringbuff *rb, int stream, int part);
    ~ring_reader();
    ring_reader(const ring_reader &) = delete;
    ring_reader &operator=(const ring_reader &) = delete;

    // Registers interest; true when the stream can be read. The cursor starts at the newest
    // frame boundary (frame_aligned) or with the next byte written. On false nothing is held.
    bool open(bool frame_aligned);
    // Bytes waiting behind the cursor; after the writer overtook the reader the cursor is first
    // moved to the newest frame boundary (counted). -1 when the ring can no longer be read.
    long pending();
    // Distance to the writer as it stands, overrun included (may exceed size()).
    unsigned long behind();
    // Copies up to len waiting bytes into dst and advances the cursor; the count, 0 when none
    // were waiting or the writer overwrote them during the copy (then counted and skipped).
    unsigned long read(void *dst, unsigned long len);
    // As read, but the cursor stays: consume() then moves it over the bytes actually used.
    unsigned long peek(void *dst, unsigned long len);
    void consume(unsigned long n) { cursor_ += n; }
    // The stream still belongs to the configuration and no disconnect is pending.
    bool alive() const;

    unsigned long size() const { return size_; }
    unsigned long overruns() const { return overruns_; }
    unsigned long skipped() const { return skipped_; }
    // Properties taken at open().
    int framesize() const { return framesize_; }
    int flags() const { return flags_; }
    int audio() const { return audio_; }
    const char *name() const { return name_; }

private:
    // Write count, size and frame size under the lock; false when the part cannot be read.
    bool snapshot(unsigned long &w, unsigned long &size, int &fs) const;
    // Follows a changed shape and an overrun.
    void follow(unsigned long w, unsigned long size, int fs);
    void skip_to(unsigned long w, int fs);
    // The newest frame boundary at or below w.
    unsigned long boundary(unsigned long w, int fs) const;

    ringbuff *rb_;
    rbuff_t *r_;
    int stream_, part_;
    bool held_ = false;
    unsigned long cursor_ = 0, size_ = 0, overruns_ = 0, skipped_ = 0;
    int framesize_ = 0, flags_ = 0, audio_ = 0;
    unsigned disc_seen_ = 0;
    char name_[17] = "";
};
