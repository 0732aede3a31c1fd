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
    char name[17];
    pthread_mutex_t lock;
} rbuff_t, *prbuff_t;

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

    // Usable size for frames of fmsize bytes: whole frames only.
    static unsigned long part_size(int fmsize);

    rbuff_t ringbuf[RING_STREAMS];
    ensemble *e;

private:
    int initialised;
};
