// The stream loops: many listeners per thread, woken by the rings' writer and batched.

#include "httpd/streamloop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "httpd/httpd.h"

namespace {

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

constexpr size_t send_scratch = 16384;

}  // namespace

stream_loop::stream_loop(httpd *h) : h_(h), buf_(send_scratch) {}

stream_loop::~stream_loop() {
    stop();
    if (ep_ >= 0) close(ep_);
    if (wake_ >= 0) close(wake_);
}

void *stream_loop::thread_wrapper(void *p) {
    static_cast<stream_loop *>(p)->run();
    return nullptr;
}

bool stream_loop::start() {
    if (running_) return true;
    if (ep_ < 0) ep_ = epoll_create1(EPOLL_CLOEXEC);
    if (wake_ < 0) wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (ep_ < 0 || wake_ < 0) return false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    if (epoll_ctl(ep_, EPOLL_CTL_ADD, wake_, &ev) != 0 && errno != EEXIST) return false;
    {
        std::lock_guard<std::mutex> g(inbox_m_);
        accepting_ = true;
    }
    if (!h_->e->rbuff->add_waker(this)) {
        std::lock_guard<std::mutex> g(inbox_m_);
        accepting_ = false;
        return false;
    }
    if (thread_create(&thread_, thread_wrapper, this, 0) != 0) {
        h_->e->rbuff->remove_waker(this);
        std::lock_guard<std::mutex> g(inbox_m_);
        accepting_ = false;
        return false;
    }
    running_ = true;
    return true;
}

void stream_loop::stop() {
    if (!running_) return;
    quit_.store(true);
    poke();
    pthread_join(thread_, nullptr);
    running_ = false;
    h_->e->rbuff->remove_waker(this);
}

bool stream_loop::adopt(std::unique_ptr<stream_listener> &l) {
    {
        std::lock_guard<std::mutex> g(inbox_m_);
        if (!accepting_) return false;
        l->owns_socket = true;
        inbox_.push_back(std::move(l));
    }
    count_++;
    poke();
    return true;
}

void stream_loop::poke() {
    const uint64_t one = 1;
    if (wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
        // Full counter: the loop is awake anyway.
    }
}

void stream_loop::ring_written() {
    // One wake per turn is enough, and a loop without listeners sleeps on.
    if (count_.load(std::memory_order_relaxed) > 0 && !poked_.exchange(true)) poke();
}

void stream_loop::take_inbox() {
    std::vector<std::unique_ptr<stream_listener>> in;
    {
        std::lock_guard<std::mutex> g(inbox_m_);
        in.swap(inbox_);
    }
    for (auto &l : in) {
        epoll_event ev{};
        ev.events = 0;  // hang-ups and errors are always reported
        ev.data.ptr = l.get();
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, l->s, &ev) != 0) {
            h_->e->l->log(LOG_ERR, "httpd: stream loop cannot watch socket for %s\n", l->who);
            end(l.release());
            continue;
        }
        live_.push_back(std::move(l));
    }
}

void stream_loop::end(stream_listener *l) {
    if (l->s >= 0 && !l->hung_up) epoll_ctl(ep_, EPOLL_CTL_DEL, l->s, nullptr);
    delete l;  // closes the socket, gives back interest and count
    count_--;
    h_->connection_ended();
}

void stream_loop::watch_out(stream_listener *l, bool on) {
    if (l->out_armed == on) return;
    epoll_event ev{};
    ev.events = on ? static_cast<uint32_t>(EPOLLOUT) : 0u;
    ev.data.ptr = l;
    if (epoll_ctl(ep_, EPOLL_CTL_MOD, l->s, &ev) == 0) l->out_armed = on;
}

void stream_loop::turn() {
    for (auto &l : live_) {
        if (l->service(buf_.data(), buf_.size()) == stream_listener::step::done) {
            end(l.release());
            continue;
        }
        // A blocked listener is told when its client has read enough to take more.
        if (l->blocked && !l->hung_up) watch_out(l.get(), true);
    }
    live_.erase(std::remove(live_.begin(), live_.end(), nullptr), live_.end());
}

void stream_loop::run() {
    epoll_event evs[64];
    long long last_turn = 0;
    bool due = false;
    for (;;) {
        if (h_->stopping() || quit_.load()) {
            {
                std::lock_guard<std::mutex> g(inbox_m_);
                accepting_ = false;
            }
            take_inbox();
            for (auto &l : live_) end(l.release());
            live_.clear();
            return;
        }
        take_inbox();
        const long long now = now_ms();
        const long long since = now - last_turn;
        if (since >= batch_ms && (due || since >= idle_ms)) {
            // Writes from here on wake the loop for the next turn.
            poked_.store(false);
            due = false;
            last_turn = now;
            turn();
            continue;
        }
        const int wait = static_cast<int>(due ? batch_ms - since : idle_ms - since);
        const int n = epoll_wait(ep_, evs, 64, std::max(wait, 1));
        for (int i = 0; i < n; i++) {
            auto *l = static_cast<stream_listener *>(evs[i].data.ptr);
            if (!l) {
                uint64_t v;
                if (read(wake_, &v, sizeof v) < 0) {
                    // Already drained.
                }
                due = true;
                continue;
            }
            if (evs[i].events & (EPOLLHUP | EPOLLERR)) {
                // Reported until the socket goes: stop watching it; the next send tells the
                // listener's end, as it would for any client that left.
                epoll_ctl(ep_, EPOLL_CTL_DEL, l->s, nullptr);
                l->hung_up = true;
                l->blocked = false;
                due = true;
            } else if (evs[i].events & EPOLLOUT) {
                l->blocked = false;
                watch_out(l, false);
                due = true;
            }
        }
    }
}
