#include "sdr/sdrdev.h"

#include <cerrno>

#include "sdr/sdr_source.h"
#include "sim/simdev.h"

namespace {

int sdr_open(const char *name, int) {
    sdr_options o;
    if (!parse_sdr_name(name, o)) {
        errno = EINVAL;
        return -1;
    }
    // The virtual module answers the host; only its antenna is the receiver.
    sim_options s;
    s.speed = o.speed;
    s.make_source = [o] { return make_sdr_source(o); };
    return sim_device_open(s);
}

// Requests, reads and closing go to the module as for "sim:" devices.
int sdr_ioctl(int fd, unsigned long request, void *arg) { return sim_device_provider()->ioctl(fd, request, arg); }
int sdr_close(int fd) { return sim_device_provider()->close(fd); }
ssize_t sdr_read(int fd, void *buf, size_t len) { return sim_device_provider()->read(fd, buf, len); }

const device_provider provider = {"sdr:", sdr_open, sdr_ioctl, sdr_close, sdr_read};

}  // namespace

const device_provider *sdr_device_provider() { return &provider; }
