#include "module/dabapi.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <ctime>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"

namespace {

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

constexpr long long busy_timeout_ms = 5000;
constexpr useconds_t busy_poll_us = 40000;

}  // namespace

dabapi::dabapi(ensemble *p) : usb(0), e(p) { thread_mutex_init(&lck); }

dabapi::~dabapi() { thread_mutex_destroy(&lck); }

void dabapi::lock() { thread_mutex_lock(&lck); }

void dabapi::unlock() { thread_mutex_unlock(&lck); }

int dabapi::request(unsigned int req, void *arg, int len) {
    return ioctrl(e->cfg->fd, static_cast<int>(req), arg, len, arg, len, nullptr);
}

int dabapi::bulk(bulk_transfer_t *b) { return request(DRV_BULK, b, sizeof *b); }

int dabapi::open_driver() {
    usb = 0;
    // An EDI input over UDP joins a multicast group on the configured interface.
    std::string name = e->cfg->device;
    if (name.rfind("sim:edi=udp://", 0) == 0 && e->cfg->multicastif[0] && name.find(",mcastif=") == std::string::npos)
        name += std::string(",mcastif=") + e->cfg->multicastif;
    e->cfg->fd = device_open(name.c_str(), O_RDWR);
    if (e->cfg->fd < 0) {
        e->l->log(LOG_ERR, "open_driver: can't open %s\n", e->cfg->device);
        return 0;
    }
    e->l->log(LOG_DEBUG, "open_driver: %s\n", e->cfg->device);
    if (e->cfg->emulate) {
        usb = 1;
    } else {
        int version = 0;
        if (request(DRV_GET_VERSION, &version, sizeof version) >= 0 && version >= USB_DRIVER_VERSION) usb = 1;
    }
    UCHAR clear[2] = {0, 0};
    write_mem(clear, MBOX_M2H_START, sizeof clear);
    return 1;
}

int dabapi::close_driver() {
    int r = device_close(e->cfg->fd);
    e->cfg->fd = -1;
    return r;
}

int dabapi::get_devicetype() { return usb; }

int dabapi::read_mem(UCHAR *data, int start, int len) {
    if (len == 0 || e->cfg->emulate) return 1;
    if (!data || len < 0) return 0;
    while (len > 0) {
        const int n = std::min(len, BULK_READ_MAX);
        bulk_transfer_t b{};
        for (int k = 0; k < 2; k++) {
            b.data[0] = BULK_READ_MEM;
            b.data[1] = static_cast<UCHAR>(start & 0xFF);
            b.data[2] = static_cast<UCHAR>((start >> 8) & 0xFF);
            b.data[3] = static_cast<UCHAR>(n);
            b.size = 4;
            b.pipe = 1;
            if (bulk(&b) != 0) {
                e->l->log(LOG_WARN, "read_mem: bulk_write failed\n");
                return 0;
            }
        }
        b.pipe = 0;
        b.size = n;
        if (bulk(&b) != 0) {
            e->l->log(LOG_WARN, "read_mem: bulk_read failed\n");
            return 0;
        }
        std::memcpy(data, b.data, static_cast<size_t>(n));
        data += n;
        start += n;
        len -= n;
    }
    return 1;
}

int dabapi::write_mem(UCHAR *data, int start, int len) {
    if (len == 0 || e->cfg->emulate) return 1;
    if (!data || len < 0) return 0;
    while (len > 0) {
        const int n = std::min(len, BULK_WRITE_MAX);
        bulk_transfer_t b{};
        b.data[0] = BULK_WRITE_MEM;
        b.data[1] = static_cast<UCHAR>(start & 0xFF);
        b.data[2] = static_cast<UCHAR>((start >> 8) & 0xFF);
        b.data[3] = static_cast<UCHAR>(n);
        std::memcpy(b.data + 4, data, static_cast<size_t>(n));
        b.size = n + 4;
        b.pipe = 1;
        if (bulk(&b) != 0) {
            e->l->log(LOG_WARN, "write_mem: bulk_write failed\n");
            return 0;
        }
        data += n;
        start += n;
        len -= n;
    }
    return 1;
}

int dabapi::new_msg() {
    if (!usb) {
        int pending = 0;
        // A failing request counts as "nothing pending".
        if (request(DRV_NEW_MSG, &pending, sizeof pending) < 0) return 0;
        return pending;
    }
    if (e->cfg->emulate) return 1;
    const long long begin = now_ms();
    do {
        UCHAR busy = 0;
        if (!read_mem(&busy, MODULE_BUSY, 1)) return 0;
        if (!(busy & 1)) {
            UCHAR status = 0;
            return read_mem(&status, MBOX_STATUS, 1) ? 1 : 0;
        }
        usleep(busy_poll_us);
    } while (now_ms() - begin < busy_timeout_ms);
    e->l->log(LOG_WARN, "Houston, We Have A Problem... waiting for an module answer. TIMEOUT\n");
    return 0;
}

int dabapi::write_module_buf(pdab_module_msg_t msg) {
    if (!msg) return 0;
    if (!usb) return request(DRV_WRITE_MSG, msg, sizeof *msg);

    if (msg->size != 0) reset_module_communication();
    UCHAR idx[2] = {0, 0};
    if (!read_mem(idx, MBOX_H2M_START, 2)) return 0;
    // The module owns the index; keep a broken one inside the 32-byte area.
    const int start = idx[0] % MBOX_H2M_SIZE;
    if (msg->size > MBOX_H2M_SIZE) msg->size = MBOX_H2M_SIZE;
    if (msg->size < 0) msg->size = 0;
    UCHAR status = 0;
    if (!read_mem(&status, MBOX_STATUS, 1)) return 0;

    const int first = std::min(msg->size, MBOX_H2M_SIZE - start);
    if (!write_mem(msg->buf, MBOX_H2M_AREA + start, first)) return 0;
    if (!write_mem(msg->buf + first, MBOX_H2M_AREA, msg->size - first)) return 0;
    UCHAR end = static_cast<UCHAR>((start + msg->size) % MBOX_H2M_SIZE);
    if (!write_mem(&end, MBOX_H2M_END, 1)) return 0;
    UCHAR ready = 0x0F;
    if (!write_mem(&ready, MBOX_READY, 1)) return 0;
    return msg->size;
}

int dabapi::read_module_buf(pdab_module_msg_t msg) {
    if (!msg) return 0;
    if (!usb) {
        int r = request(DRV_READ_MSG, msg, sizeof *msg);
        // The size comes from the driver: never let it promise more than the buffer holds.
        if (r < 0 || msg->size < 0) msg->size = 0;
        if (msg->size > static_cast<int>(sizeof msg->buf)) msg->size = sizeof msg->buf;
        return r;
    }

    msg->size = 0;
    UCHAR status = 0;
    if (!read_mem(&status, MBOX_STATUS, 1)) return 0;
    status = 0;
    if (!write_mem(&status, MBOX_STATUS, 1)) return 0;
    UCHAR idx[2] = {0, 0};
    if (!read_mem(idx, MBOX_M2H_START, 2)) return 0;
    const int start = idx[0];
    const int end = idx[1];
    UCHAR clear[2] = {0, 0};
    if (start != 0 || end >= MBOX_M2H_SIZE) {
        e->l->log(LOG_WARN, "read_module_buf Communication error (start: %02X end: %02X).\n", start, end);
        write_mem(clear, MBOX_M2H_START, 2);
        return 0;
    }
    if (end == 0) {
        // Nothing for us; the area is read anyway, as the module expects.
        if (!read_mem(msg->buf, MBOX_M2H_AREA, MBOX_M2H_SIZE)) return 0;
        msg->size = 0;
    } else {
        if (!read_mem(msg->buf, MBOX_M2H_AREA, end)) return 0;
        msg->size = end;
    }
    if (!write_mem(clear, MBOX_M2H_START, 2)) {
        msg->size = 0;
        return 0;
    }
    return msg->size;
}

int dabapi::reset_module_communication() {
    if (!usb) {
        if (request(DRV_RESET, nullptr, 0) != 0) return 0;
        dab_module_msg_t msg{};
        write_module_buf(&msg);
        int pending = 0;
        if (request(DRV_NEW_MSG, &pending, sizeof pending) != 0) return 0;
        return request(DRV_READ_MSG, &msg, sizeof msg) == 0 ? 1 : 0;
    }
    UCHAR status = 0;
    if (!read_mem(&status, MBOX_STATUS, 1)) return 0;
    UCHAR zeros[6] = {};
    return write_mem(zeros, MBOX_H2M_START, sizeof zeros) ? 1 : 0;
}

void dabapi::set_dbg_mode(int val) {
    if (!val) return;
    UCHAR on = 0x3C;
    write_mem(&on, MODULE_DEBUG, 1);
}

void dabapi::dbg() { request(DRV_DEBUG, nullptr, 0); }

int dabapi::get_overruns() {
    int overruns = 0;
    if (request(DRV_GET_OVERRUNS, &overruns, sizeof overruns) < 0) return 0;
    return overruns;
}

bool dabapi::get_source_stats(dabcommon::source_stats &s) {
    s = dabcommon::source_stats{};
    return request(dabcommon::DRV_GET_SOURCE_STATS, &s, sizeof s) >= 0;
}

int dabapi::get_removed() {
    if (!usb) return 0;
    int removed = 0;
    if (request(DRV_GET_REMOVED, &removed, sizeof removed) < 0) {
        e->l->log(LOG_WARN, "removed USB device\n");
        return 1;
    }
    return removed;
}

int dabapi::usb_set_prog(int i, int n) {
    if (!usb) return 1;
    bulk_transfer_t b{};
    b.data[0] = BULK_CONTROL;
    b.data[1] = static_cast<UCHAR>(i);
    b.data[2] = static_cast<UCHAR>(n);
    b.size = 4;
    b.pipe = 1;
    return bulk(&b) == 0 ? 1 : 0;
}

int dabapi::display_name(int i) { return usb_set_prog(i, 2); }

int dabapi::download_name(int i, int n, const char *s) {
    if (!usb) return 1;
    bulk_transfer_t b{};
    b.data[0] = BULK_NAME;
    b.data[1] = static_cast<UCHAR>(i);
    b.data[2] = static_cast<UCHAR>(n);
    // Fixed 17-byte name field: the record is zeroed, so a shorter name keeps its terminator.
    if (s) std::memcpy(b.data + 4, s, strnlen(s, NAME_FIELD_SIZE));
    b.size = 4 + NAME_FIELD_SIZE;
    b.pipe = 1;
    return bulk(&b) == 0 ? 1 : 0;
}
