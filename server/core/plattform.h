#pragma once
// Platform layer: the only code that touches threads, mutexes and the device node.

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstring>

typedef void *(*thread_t)(void *);

int thread_create(pthread_t *thread_handle, thread_t thread_routine, void *arg, int detach);
int thread_cancel(pthread_t thread_handle);
[[noreturn]] void thread_exit(void *retval);
void thread_testcancel();
int thread_mutex_init(pthread_mutex_t *lock);
int thread_mutex_lock(pthread_mutex_t *lock);
int thread_mutex_unlock(pthread_mutex_t *lock);
int thread_mutex_destroy(pthread_mutex_t *lock);

// RAII guard for the embedded pthread mutexes.
class mutex_guard {
public:
    explicit mutex_guard(pthread_mutex_t *m) : m_(m) { thread_mutex_lock(m_); }
    ~mutex_guard() { thread_mutex_unlock(m_); }
    mutex_guard(const mutex_guard &) = delete;
    mutex_guard &operator=(const mutex_guard &) = delete;

private:
    pthread_mutex_t *m_;
};

// Device operations. A name with a registered prefix (e.g. "sim:") is served by
// that provider; every other name is a real device node.
struct device_provider {
    const char *prefix;
    // Returns a real, readable file descriptor or -1 (errno set).
    int (*open)(const char *name, int flags);
    // Returns the request's result like ioctl(2).
    int (*ioctl)(int fd, unsigned long request, void *arg);
    int (*close)(int fd);
    // Reads the stream like read(2); without one the descriptor is read directly.
    ssize_t (*read)(int fd, void *buf, size_t len) = nullptr;
};

// Registers a provider; later registrations with the same prefix replace earlier ones.
// Returns 1, or 0 when the table is full.
int device_register_provider(const device_provider *p);
void device_unregister_provider(const char *prefix);

int device_open(const char *name, int flags);
ssize_t device_read(int fd, void *buf, size_t len);
int device_close(int fd);

// Raises the soft limit of open files to the hard limit. 0, or the errno of the failure; the
// limits before and after in any case.
int raise_open_files_limit(unsigned long long *before, unsigned long long *after);

int ioctrl(int fd, int ctl, void *argin, int arglenin, void *argout, int arglenout, unsigned long *retlen);

// Bounded copy into a fixed-size text field; always terminates. Returns dst.
char *copy_field(char *dst, size_t dstsize, const char *src);
template <size_t N>
char *copy_field(char (&dst)[N], const char *src) {
    return copy_field(dst, N, src);
}
