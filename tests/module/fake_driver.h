#pragma once
// A scripted receiver module behind the "fake:" device prefix. It records every driver
// request and serves a small module memory (USB variant) or a message queue (PCI variant).

#include <array>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "module/dabapi.h"

namespace fakedrv {

using bytes = std::vector<unsigned char>;

struct request_rec {
    unsigned long req;
    bulk_transfer_t bulk;  // copy of the record as passed in (DRV_BULK only)
};

struct state {
    int version = 0;
    bool version_fails = false;
    bool removed_fails = false;
    int overruns = 0;
    int fail_bulk_at = -1;  // index (among bulk requests) of the one that fails
    int bulk_count = 0;
    int write_msg_result = 1;
    bool new_msg_fails = false;
    int read_msg_size_override = -1000;  // when set, DRV_READ_MSG reports this size
    int h2m_start_after_reset = -1;      // a module that moves its start index itself

    std::vector<request_rec> log;
    std::array<unsigned char, 0x10000> mem{};
    int rd_addr = 0;

    // Called with each message the host sends; the answer (if any) is queued for the host.
    std::function<bytes(const bytes &)> responder;
    std::vector<bytes> sent;
    bytes h2m_pending;
    std::deque<bytes> pci_queue;
};

state &st();
void reset();
void install();  // registers the "fake:" provider
void uninstall();

// Requests of one kind, in order.
std::vector<request_rec> requests(unsigned long req);

}  // namespace fakedrv
