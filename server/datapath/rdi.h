#pragma once
// RDI stream reader and frame dispatch.
//
// The receiver delivers 24-bit words in 32-bit little-endian units. The reader thread
// takes them one by one from 64 KiB blocks, recognises frame headers, gathers each
// frame's bytes and hands them to the frame's decoder.

#include <pthread.h>

#include <atomic>
#include <ctime>

#include "datapath/dabtest.h"

class ensemble;

constexpr int RDI_BLOCK_BYTES = 65536;
constexpr int RDI_BLOCK_WORDS = RDI_BLOCK_BYTES / 4;
// The largest subchannel frame, and room for the group that the last bytes end in.
constexpr int RDI_FRAME_BYTES = 6144;
constexpr int RDI_FRAME_ROOM = RDI_FRAME_BYTES + 11;

class rdi {
public:
    explicit rdi(ensemble *p);
    ~rdi();
    rdi(const rdi &) = delete;
    rdi &operator=(const rdi &) = delete;

    // 1 on success, 0 when the buffers cannot be had or the thread cannot start.
    int start();
    int stop();
    int suspend(int mode);
    int init_rdi_buffer(int i);
    // 1 when a dump file is open afterwards.
    int open_rdi_file();
    // The next non-zero word; 0 only when the reader is told to stop (or, replaying
    // dumps, when there is nothing left to replay).
    unsigned int lget_from_stream();
    void get_rdi(void *p);
    // Hands the frame that header word w starts to its decoder; other words are ignored.
    void dispatch(unsigned int w);
    // The data words of a subchannel frame of len bytes, unpacked group by group into out
    // (RDI_FRAME_ROOM bytes); a word without flag bits ends the frame early (*cut set).
    // Returns len, the bytes of the groups read when cut, or -1 when the reader stops meanwhile.
    int read_frame(int len, int packing22, unsigned char *out, bool *cut);

    // Dispatches the frames of n words in memory as the reader thread does those of the device,
    // then returns (tests and fuzzing; not while the thread runs). The words taken, 0 if none.
    int replay_words(const unsigned int *words, int n);

    // 20-bit packing: size word pairs into 5 bytes each; returns 5 * size.
    static int crunch20(unsigned char *dst, const unsigned int *src, int size);
    // 22-bit packing: size groups of four words into 11 bytes each; returns 11 * size.
    static int crunch22(unsigned char *dst, const unsigned int *src, int size);
    // The 24 low bits in reverse order.
    static unsigned int lrev(unsigned int val);

    ensemble *e;
    unsigned int *rdi_buf;
    pthread_t rdi_thread;
    int rfd;
    int rdi_nr;
    int readptr;
    int readlen;
    int running;
    std::atomic<int> rdi_pause_dummy;
    int rdi_use_dummy;

private:
    int start_thread();
    void stop_thread();
    bool stopping() const;
    int read_device_block();
    int read_dump_block();
    void nap_ms(int ms) const;

    bool thread_alive;
    // replay_words: the block holds everything there is.
    bool in_memory_;
    unsigned words_since_check_ = 0;
    std::atomic<int> stop_req;
    // Nothing left to replay: every dump file is missing or empty.
    std::atomic<int> exhausted;
    // Bytes of a word split across two device reads (a pipe may cut anywhere).
    unsigned char carry[4];
    int ncarry;
    // Bytes replayed since rdi0.dmp was last opened; 0 at the next restart means the
    // dump files hold nothing and replay would spin.
    long cycle_bytes;
    bool cycled;
    // Failed device reads in a row; the first is logged, the return to reading too.
    int failed_reads;
    time_t invalid_log_second;
    int invalid_logged;
    unsigned char frame_[RDI_FRAME_ROOM];
};
