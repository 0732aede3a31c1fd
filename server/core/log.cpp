#include "core/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/plattform.h"

const char *const loglevels_short[5] = {"<D>", "<I>", "<W>", "<C>", "<E>"};
const char *const loglevels_long[5] = {"<debug>", "<info>", "<warn>", "<crit>", "<error>"};

namespace {

void *thread_wrapper(void *p) {
    static_cast<logger *>(p)->thread(nullptr);
    return nullptr;
}

void format_entry(log_entry_t &en, time_t now, loglevel_t level, const char *fmt, va_list ap, int *len) {
    en.t = now;
    en.l = level;
    struct tm tmv;
    localtime_r(&now, &tmv);
    char tbuf[128];
    size_t n = strftime(tbuf, sizeof tbuf, "%H:%M:%S ", &tmv);
    tbuf[n] = 0;
    if (level >= 0 && level <= 4)
        snprintf(en.verbose, sizeof en.verbose, "%s%-3s ", tbuf, loglevels_short[level]);
    else
        snprintf(en.verbose, sizeof en.verbose, "%s", tbuf);
    *len = vsnprintf(en.msg, sizeof en.msg, fmt, ap);
}

}  // namespace

logger::logger(ensemble *p)
    : readptr(0), fd(nullptr), last_mday(0), log_thread(), started(0), finished(0), e(p), logger_callback(nullptr),
      context(nullptr) {
    std::memset(static_cast<void *>(&logb), 0, sizeof logb);
    for (auto &en : logb.m) en.done.store(0);
    logb.writeptr.store(0);
}

logger::~logger() {
    if (started == 1) stop();
    if (fd) fclose(fd);
}

int logger::start() {
    if (e->cfg->logfilelevel == LOG_NONE) return 0;
    fd = fopen(e->cfg->logfilename, "a");
    if (!fd) fprintf(stderr, "logd_start: can't open logfile <%s>: %s", e->cfg->logfilename, strerror(errno));
    started = 1;
    if (thread_create(&log_thread, thread_wrapper, this, 0) != 0) {
        started = 2;
        return 1;
    }
    joinable_ = true;
    return 1;
}

int logger::stop() {
    finished = 1;
    // Whether the thread runs decides, not the level now: the setup page may have set it to
    // none meanwhile, and the thread and the open file must still be ended.
    if (!started) return 0;
    // The thread ends itself once it sees finished; what is still queued is written here.
    if (joinable_) {
        pthread_join(log_thread, nullptr);
        joinable_ = false;
    }
    drain();
    if (fd) {
        fclose(fd);
        fd = nullptr;
    }
    return 1;
}

int logger::log(loglevel_t level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = vlog(level, fmt, ap);
    va_end(ap);
    return r;
}

int logger::vlog(loglevel_t level, const char *fmt, va_list ap) {
    if (logger_callback) {
        va_list cp;
        va_copy(cp, ap);
        int consumed = logger_callback(context, level, e->cfg->logscrnlevel, e->cfg->logfilelevel, fmt, cp);
        va_end(cp);
        if (consumed) return 0;
    }
    const int filelevel = e->cfg->logfilelevel;
    const int scrnlevel = e->cfg->logscrnlevel;
    if (level < filelevel && level < scrnlevel) return 0;
    if (finished) return 0;

    time_t now = time(nullptr);
    int len = 0;
    if (level >= filelevel) {
        // Claiming the slot first makes concurrent callers write different slots.
        const unsigned n = logb.writeptr.fetch_add(1);
        log_entry_t &en = logb.m[n % log_ring_entries];
        en.done.store(0, std::memory_order_relaxed);
        format_entry(en, now, level, fmt, ap, &len);
        if (level >= scrnlevel) {
            printf("%s%s", en.verbose, en.msg);
            fflush(stdout);
        }
        en.done.store(n + 1, std::memory_order_release);
    } else {
        log_entry_t en;  // screen only: a private slot on the caller's stack
        format_entry(en, now, level, fmt, ap, &len);
        printf("%s%s", en.verbose, en.msg);
        fflush(stdout);
    }
    return len;
}

void logger::drain() {
    if (!fd) return;
    const unsigned w = logb.writeptr.load();
    if (w - readptr > log_ring_entries - 1) readptr = w;  // overrun: skip to the newest
    while (readptr != w) {
        log_entry_t &en = logb.m[readptr % log_ring_entries];
        // Wait briefly for a caller still formatting this slot.
        int spins = 0;
        while (en.done.load(std::memory_order_acquire) != readptr + 1 && spins < 200) {
            usleep(100);
            spins++;
        }
        if (en.done.load(std::memory_order_acquire) == readptr + 1) {
            struct tm tmv;
            localtime_r(&en.t, &tmv);
            char line[600];
            size_t n = strftime(line, sizeof line, "%d-%b-%Y %H:%M:%S ", &tmv);
            int lvl = en.l;
            snprintf(line + n, sizeof line - n, "%-3s %s", (lvl >= 0 && lvl <= 4) ? loglevels_long[lvl] : "", en.msg);
            fputs(line, fd);
        }
        readptr++;
    }
}

void logger::thread(void *) {
    if (!fd) {
        started = 2;
        return;
    }
    log(LOG_INFO, "logd: started daemon\n");
    int sleeps = 0;
    bool write_failed = false;
    // The log cannot carry its own failure: standard error says it, once while it lasts.
    auto flush = [&](bool wrote) {
        if (fflush(fd) == 0 && !ferror(fd)) {
            // Only lines that reached the file end the failure; a flush of nothing proves nothing.
            if (wrote) write_failed = false;
            return;
        }
        const int err = errno;
        clearerr(fd);
        if (write_failed) return;
        write_failed = true;
        fprintf(stderr, "logd: can't write logfile <%s>: %s\n", e->cfg->logfilename, strerror(err));
    };
    while (!finished) {
        const unsigned before = readptr;
        drain();
        // What was written is on disk within a tick: a reader of the file sees it at once.
        if (readptr != before) flush(true);
        usleep(10000);
        if (++sleeps > 500) {
            flush(false);
            sleeps = 0;
        }
    }
    started = 2;
}
