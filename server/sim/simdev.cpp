#include "sim/simdev.h"

#include <cerrno>

namespace {
int sim_open(const char *, int) {
    errno = ENODEV;
    return -1;
}
int sim_ioctl(int, unsigned long, void *) {
    errno = ENODEV;
    return -1;
}
int sim_close(int) { return 0; }
const device_provider provider = {"sim:", sim_open, sim_ioctl, sim_close};
}  // namespace

const device_provider *sim_device_provider() { return &provider; }
