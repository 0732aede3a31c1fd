#pragma once
// Live streams after their answer header: carried by the server's stream loops, one thread per
// core, each sending what the rings hold to many listeners with non-blocking writes.

#include <netinet/in.h>
#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "datapath/ringbuff.h"

class ensemble;
class httpd;

// Gives the stream count back, whichever way a stream ends.
class stream_claim {
public:
    stream_claim(ensemble *e, bool remote) : e_(e), remote_(remote) {}
    ~stream_claim();
    stream_claim(const stream_claim &) = delete;
    stream_claim &operator=(const stream_claim &) = delete;

    // Counts a remote stream; false when the limit (negative: none) is reached.
    bool count(int limit);
    void count_always();

private:
    ensemble *e_;
    bool remote_;
    bool counted_ = false;
};

// Stream titles of a listener that asked for them.
struct icy_state {
    unsigned long until_block;  // audio bytes before the next block
    std::string block;          // the block being sent; empty between blocks
    size_t block_sent = 0;
    std::string title;          // the last title sent
};

// One listener: its cursor into the ring, its place in the count, and its socket.
struct stream_listener {
    stream_listener(ensemble *p, int n, int mode, bool remote, const char *who);
    ~stream_listener();
    stream_listener(const stream_listener &) = delete;
    stream_listener &operator=(const stream_listener &) = delete;

    enum class step { go_on, done };
    // One turn of the stream's rules: send what is due, as far as the socket takes it without
    // waiting. buf is scratch space for the copy out of the ring.
    step service(unsigned char *buf, size_t len);
    // Sends what the socket takes of buf without waiting: the count, or -1 when the client is gone.
    ssize_t send_some(const void *buf, size_t len);
    // The title block due now: the programme's label when it changed, else the empty block
    // (also when the label cannot be had at once: the next block tries again).
    std::string next_icy_block();

    ensemble *e;
    int s = -1;
    bool owns_socket = false;  // closed here, and its connection ended, when the listener goes
    int n, mode;
    ring_reader rd;
    stream_claim claim;
    unsigned long threshold = 0;  // bytes that must wait before a send
    unsigned long chunk = 0;      // at most this much per turn
    bool blocked = false;         // the socket took less than offered: wait until it drains
    std::unique_ptr<icy_state> icy;  // null unless the client asked for stream titles
    // The loop's view of the socket.
    bool out_armed = false;
    bool hung_up = false;
    char who[INET6_ADDRSTRLEN + 8];
};

// Runs a listener on the calling thread until it ends (no loop runs).
void run_listener_alone(stream_listener &l);

class stream_loop : public ring_waker {
public:
    explicit stream_loop(httpd *h);
    ~stream_loop() override;
    stream_loop(const stream_loop &) = delete;
    stream_loop &operator=(const stream_loop &) = delete;

    bool start();
    // After the server's stop flag is set: ends every listener and the thread.
    void stop();
    // Takes the listener (and its socket) over; false (the listener stays with the caller)
    // when the loop no longer accepts listeners.
    bool adopt(std::unique_ptr<stream_listener> &l);
    int listeners() const { return count_.load(); }

    void ring_written() override;

    // Sends are batched: at most one turn per listener in this time, frames or not.
    static constexpr int batch_ms = 50;
    static constexpr int idle_ms = 100;

private:
    static void *thread_wrapper(void *p);
    void run();
    void take_inbox();
    void turn();
    void end(stream_listener *l);
    void watch_out(stream_listener *l, bool on);
    void poke();

    httpd *h_;
    int ep_ = -1, wake_ = -1;
    pthread_t thread_{};
    bool running_ = false;
    std::atomic<bool> poked_{false};
    std::atomic<bool> quit_{false};
    std::atomic<int> count_{0};
    std::mutex inbox_m_;
    bool accepting_ = false;  // guarded by inbox_m_
    std::vector<std::unique_ptr<stream_listener>> inbox_;
    std::vector<std::unique_ptr<stream_listener>> live_;  // the loop's thread only
    std::vector<unsigned char> buf_;
};
