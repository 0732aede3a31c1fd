#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

class ensemble;

enum loglevel_t { LOG_DEBUG = 0, LOG_INFO = 1, LOG_WARN = 2, LOG_CRIT = 3, LOG_ERR = 4, LOG_NONE = 99 };

constexpr int log_ring_entries = 10240;

typedef struct log_entry_s {
    time_t t;
    loglevel_t l;
    char verbose[256];
    char msg[256];
    // Entry number + 1 once the slot's text is complete; the file thread waits for it,
    // so a slow writer's half-formatted entry is never written.
    std::atomic<unsigned> done;
} log_entry_t;

typedef struct log_buffer_s {
    log_entry_t m[log_ring_entries];
    // Entry counters run for the life of the server: unsigned, so that they wrap cleanly.
    std::atomic<unsigned> writeptr;
} log_buffer_t;

// Returns non-zero when it consumed the message.
typedef int (*logger_callback_t)(void *context, loglevel_t level, int scrnlevel, int filelevel, const char *fmt,
                                 va_list ap);

class logger {
public:
    explicit logger(ensemble *p);
    ~logger();
    logger(const logger &) = delete;
    logger &operator=(const logger &) = delete;

    int start();
    int stop();
    int log(loglevel_t level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    int vlog(loglevel_t level, const char *fmt, va_list ap) __attribute__((format(printf, 3, 0)));
    void thread(void *);

    unsigned readptr;
    FILE *fd;
    int last_mday;
    pthread_t log_thread;
    std::atomic<int> started;  // 0 idle, 1 thread running, 2 thread ended
    std::atomic<int> finished;
    bool joinable_ = false;  // started and not yet joined
    ensemble *e;
    log_buffer_t logb;
    logger_callback_t logger_callback;
    void *context;

private:
    // Writes what is queued; returns after at most the entries ready at the call.
    void drain();
};

extern const char *const loglevels_short[5];
extern const char *const loglevels_long[5];
