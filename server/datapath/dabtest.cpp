#include "datapath/dabtest.h"

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/rdi.h"

namespace {

pthread_t rdidump_thread;
// Whether the thread runs (it also ends by itself on a read error or the server's stop), and
// whether it has been started and not yet joined (seen by the starting thread only).
std::atomic<bool> rdidump_alive(false);
bool rdidump_joinable = false;
std::atomic<int> rdidump_stop(0);
ensemble *dump_e = nullptr;
int all = 0;
// The counting pattern continues across blocks.
unsigned int last_word = 0;

void dump_blocks() {
    ensemble *e = dump_e;
    std::vector<unsigned int> buf(RDI_BLOCK_WORDS);
    while (!e->cfg->finished && !rdidump_stop.load()) {
        struct pollfd pfd = {e->cfg->fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) == 0) continue;
        ssize_t n = device_read(e->cfg->fd, buf.data(), RDI_BLOCK_BYTES);
        if (n < 0) {
            e->l->log(LOG_ERR, "rdidump: read failed\n");
            e->cfg->finished = 1;
            return;
        }
        if (n == 0) {
            // An idle device (or /dev/null) answers 0 at once.
            usleep(1000);
            continue;
        }
        printf("\nreadlen: %d\n", static_cast<int>(n));
        dump(buf.data(), static_cast<int>(n / 4));
        fflush(stdout);
    }
}

void *rdidump_loop(void *) {
    dump_blocks();
    rdidump_alive.store(false);
    return nullptr;
}

}  // namespace

void dump(const unsigned int *buf, int size) {
    int printed = 0;
    for (int i = 0; i < size; i++) {
        unsigned int w = buf[i];
        if (!w) continue;
        if (all) {
            if (printed % 8 == 0) printf("\n%04X: ", printed);
            printf("%08X ", w);
            printed++;
        } else {
            unsigned int diff = w - last_word;
            if (diff != 1)
                printf("%04X: %08X %08X (diff: 0x%08X / %d bytes)\n", i, last_word, w, diff * 4,
                       static_cast<int>(diff * 4));
            last_word = w;
        }
    }
}

void start_rdidump(ensemble *ens, int val) {
    if (rdidump_alive.load()) return;
    if (rdidump_joinable) {
        pthread_join(rdidump_thread, nullptr);
        rdidump_joinable = false;
    }
    dump_e = ens;
    all = val;
    last_word = 0;
    rdidump_stop.store(0);
    rdidump_alive.store(true);
    if (thread_create(&rdidump_thread, rdidump_loop, nullptr, 0) != 0)
        rdidump_alive.store(false);
    else
        rdidump_joinable = true;
}

void stop_rdidump() {
    rdidump_stop.store(1);
    // The loop looks at the flag at least every 100 ms.
    if (rdidump_joinable) pthread_join(rdidump_thread, nullptr);
    rdidump_joinable = false;
}
