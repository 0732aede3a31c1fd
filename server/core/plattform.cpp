#include "core/plattform.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "sdr/sdrdev.h"
#include "sim/simdev.h"

int thread_create(pthread_t *thread_handle, thread_t thread_routine, void *arg, int detach) {
    if (pthread_create(thread_handle, nullptr, thread_routine, arg) != 0) return -1;
    if (detach) pthread_detach(*thread_handle);
    return 0;
}

int thread_cancel(pthread_t thread_handle) {
    if (pthread_cancel(thread_handle) != 0) return -1;
    // A detached thread cannot be joined; the join then fails with EINVAL, which is the answer.
    return pthread_join(thread_handle, nullptr);
}

void thread_exit(void *retval) { pthread_exit(retval); }

void thread_testcancel() { pthread_testcancel(); }

int thread_mutex_init(pthread_mutex_t *lock) { return pthread_mutex_init(lock, nullptr); }
int thread_mutex_lock(pthread_mutex_t *lock) { return pthread_mutex_lock(lock); }
int thread_mutex_unlock(pthread_mutex_t *lock) { return pthread_mutex_unlock(lock); }
int thread_mutex_destroy(pthread_mutex_t *lock) { return pthread_mutex_destroy(lock); }

namespace {

constexpr int max_providers = 8;
constexpr int max_fds = 64;

struct provider_table {
    std::mutex m;
    const device_provider *providers[max_providers] = {};
    struct {
        int fd;
        const device_provider *p;
    } open_fds[max_fds] = {};
};

provider_table &table() {
    static provider_table t;
    return t;
}

const device_provider *provider_of_fd(int fd) {
    if (fd < 0) return nullptr;
    auto &t = table();
    std::lock_guard<std::mutex> g(t.m);
    for (auto &o : t.open_fds)
        if (o.p && o.fd == fd) return o.p;
    return nullptr;
}

}  // namespace

int device_register_provider(const device_provider *p) {
    auto &t = table();
    std::lock_guard<std::mutex> g(t.m);
    for (auto &slot : t.providers)
        if (slot && std::strcmp(slot->prefix, p->prefix) == 0) {
            slot = p;
            return 1;
        }
    for (auto &slot : t.providers)
        if (!slot) {
            slot = p;
            return 1;
        }
    return 0;
}

void device_unregister_provider(const char *prefix) {
    auto &t = table();
    std::lock_guard<std::mutex> g(t.m);
    for (auto &slot : t.providers)
        if (slot && std::strcmp(slot->prefix, prefix) == 0) slot = nullptr;
}

int device_open(const char *name, int flags) {
    static const int builtin = device_register_provider(sim_device_provider()) + device_register_provider(sdr_device_provider());
    (void)builtin;
    const device_provider *p = nullptr;
    {
        auto &t = table();
        std::lock_guard<std::mutex> g(t.m);
        for (auto *slot : t.providers)
            if (slot && std::strncmp(name, slot->prefix, std::strlen(slot->prefix)) == 0) p = slot;
    }
    if (!p) return ::open(name, flags);
    int fd = p->open(name, flags);
    if (fd < 0) return -1;
    auto &t = table();
    std::lock_guard<std::mutex> g(t.m);
    for (auto &o : t.open_fds)
        if (!o.p) {
            o.fd = fd;
            o.p = p;
            return fd;
        }
    // No room to remember it: give it back rather than leak a descriptor we cannot route.
    p->close(fd);
    errno = EMFILE;
    return -1;
}

ssize_t device_read(int fd, void *buf, size_t len) {
    const device_provider *p = provider_of_fd(fd);
    if (p && p->read) return p->read(fd, buf, len);
    return ::read(fd, buf, len);
}

int device_close(int fd) {
    const device_provider *p = provider_of_fd(fd);
    if (!p) return ::close(fd);
    {
        auto &t = table();
        std::lock_guard<std::mutex> g(t.m);
        for (auto &o : t.open_fds)
            if (o.p && o.fd == fd) o.p = nullptr;
    }
    return p->close(fd);
}

int raise_open_files_limit(unsigned long long *before, unsigned long long *after) {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        *before = *after = 0;
        return errno;
    }
    *before = *after = rl.rlim_cur;
    if (rl.rlim_cur == rl.rlim_max) return 0;
    rlimit want = rl;
    want.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &want) != 0) {
        const int err = errno;
        // An unlimited hard limit is more than the kernel lets a process have.
        if (rl.rlim_max != RLIM_INFINITY) return err;
        want.rlim_cur = 1 << 20;
        if (want.rlim_cur <= rl.rlim_cur || setrlimit(RLIMIT_NOFILE, &want) != 0) return err;
    }
    *after = want.rlim_cur;
    return 0;
}

int ioctrl(int fd, int ctl, void *argin, int arglenin, void *argout, int arglenout, unsigned long *retlen) {
    (void)argin;
    (void)arglenin;
    (void)arglenout;
    (void)retlen;
    unsigned long request = static_cast<unsigned int>(ctl);
    if (const device_provider *p = provider_of_fd(fd)) return p->ioctl(fd, request, argout);
    return ::ioctl(fd, request, argout);
}

char *copy_field(char *dst, size_t dstsize, const char *src) {
    if (dstsize == 0) return dst;
    if (!src) src = "";
    size_t n = strnlen(src, dstsize - 1);
    std::memcpy(dst, src, n);
    dst[n] = 0;
    return dst;
}
