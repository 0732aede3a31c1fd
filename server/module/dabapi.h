#pragma once
// Transport to the receiver module through its driver: whole module messages and
// raw bytes of the module's dual-port memory, for the PCI and the USB variant.

#include <pthread.h>

#include <cstddef>

#include "common/source_stats.h"

class ensemble;
typedef unsigned char UCHAR;

typedef struct dab_module_msg_s {
    unsigned char buf[1024];
    int size;
} dab_module_msg_t, *pdab_module_msg_t;
static_assert(sizeof(dab_module_msg_t) == 1028, "module message record is part of the driver interface");
static_assert(offsetof(dab_module_msg_t, size) == 1024, "module message record is part of the driver interface");

typedef struct bulk_transfer_s {
    unsigned char data[64];
    int size;
    int pipe;  // 1 = to the module, 0 = from the module
} bulk_transfer_t;
static_assert(sizeof(bulk_transfer_t) == 72, "bulk record is part of the driver interface");
static_assert(offsetof(bulk_transfer_t, size) == 64 && offsetof(bulk_transfer_t, pipe) == 68,
              "bulk record is part of the driver interface");

// Driver requests ('d' ioctls).
constexpr unsigned int DRV_WRITE_MSG = 0x44046410;
constexpr unsigned int DRV_READ_MSG = 0x84046411;
constexpr unsigned int DRV_NEW_MSG = 0x80046414;
constexpr unsigned int DRV_GET_OVERRUNS = 0x80046415;
constexpr unsigned int DRV_RESET = 0x00006417;
constexpr unsigned int DRV_BULK = 0xC0486430;
constexpr unsigned int DRV_GET_VERSION = 0x8004643F;
constexpr unsigned int DRV_GET_REMOVED = 0x80046440;
constexpr unsigned int DRV_DEBUG = 0x400464FF;

// Bulk commands (first data byte, sent on pipe 1).
constexpr unsigned char BULK_READ_MEM = 0x10;
constexpr unsigned char BULK_WRITE_MEM = 0x11;
constexpr unsigned char BULK_CONTROL = 0x15;
constexpr unsigned char BULK_NAME = 0x16;
constexpr int BULK_READ_MAX = 64;
constexpr int BULK_WRITE_MAX = 60;
constexpr int NAME_FIELD_SIZE = 17;

// Module memory map of the USB variant.
constexpr int DPRAM_BASE = 0x8400;
constexpr int DPRAM_SIZE = 1024;
constexpr int MBOX_M2H_AREA = 0x8700;  // module to host, 192 bytes
constexpr int MBOX_M2H_SIZE = 192;
constexpr int MBOX_H2M_AREA = 0x87C0;  // host to module, 32 bytes
constexpr int MBOX_H2M_SIZE = 32;
constexpr int MBOX_H2M_START = 0x87F8;
constexpr int MBOX_H2M_END = 0x87F9;
constexpr int MBOX_M2H_START = 0x87FA;
constexpr int MBOX_M2H_END = 0x87FB;
constexpr int MBOX_READY = 0x87FE;
constexpr int MBOX_STATUS = 0x87FF;
constexpr int MODULE_DEBUG = 0x8800;
constexpr int MODULE_BUSY = 0x8804;

constexpr int USB_DRIVER_VERSION = 4096;

class dabapi {
public:
    explicit dabapi(ensemble *p);
    ~dabapi();
    dabapi(const dabapi &) = delete;
    dabapi &operator=(const dabapi &) = delete;

    int open_driver();
    int close_driver();
    int get_devicetype();
    void lock();
    void unlock();

    int write_module_buf(pdab_module_msg_t msg);
    int read_module_buf(pdab_module_msg_t msg);
    int new_msg();
    int reset_module_communication();

    int read_mem(UCHAR *data, int start, int len);
    int write_mem(UCHAR *data, int start, int len);

    void set_dbg_mode(int val);
    void dbg();
    int get_overruns();
    // What the antenna measures beyond the protocol; false where the driver does not say.
    bool get_source_stats(dabcommon::source_stats &s);
    int get_removed();

    int usb_set_prog(int i, int n);
    int display_name(int i);
    int download_name(int i, int n, const char *s);

    pthread_mutex_t lck;
    int usb;
    ensemble *e;

private:
    int request(unsigned int req, void *arg, int len);
    int bulk(bulk_transfer_t *b);
};

// RAII holder of the module lock.
class module_lock {
public:
    explicit module_lock(dabapi *a) : a_(a) { a_->lock(); }
    ~module_lock() { a_->unlock(); }
    module_lock(const module_lock &) = delete;
    module_lock &operator=(const module_lock &) = delete;

private:
    dabapi *a_;
};
