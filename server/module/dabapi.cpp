#include "module/dabapi.h"

#include <fcntl.h>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/plattform.h"

dabapi::dabapi(ensemble *p) : usb(0), e(p) { thread_mutex_init(&lck); }
dabapi::~dabapi() { thread_mutex_destroy(&lck); }
void dabapi::lock() { thread_mutex_lock(&lck); }
void dabapi::unlock() { thread_mutex_unlock(&lck); }
int dabapi::open_driver() {
    e->cfg->fd = device_open(e->cfg->device, O_RDWR);
    return e->cfg->fd >= 0;
}
int dabapi::close_driver() {
    int r = device_close(e->cfg->fd);
    e->cfg->fd = -1;
    return r;
}
int dabapi::reset_module_communication() { return 1; }
void dabapi::set_dbg_mode(int) {}
