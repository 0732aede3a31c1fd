// The PAD thread of one audio subchannel: reads its PAD records from the server.

#include <unistd.h>

#include <cstdio>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "mot/motmain.h"

namespace {

constexpr int open_attempts = 5;
constexpr int read_retries = 5;

}  // namespace

void mot_dec_class::xpad_decoder_loop(decoder_info_t *hd) {
    hd->status = 1;
    char dir[600];
    snprintf(dir, sizeof dir, "%s/%04x/", hd->data_path ? hd->data_path : "", static_cast<unsigned>(hd->serviceid));
    e->l->log(LOG_INFO, "XPAD/MOT decoder thread for subchannel %i started, path %s\n", hd->subchid, dir);
    usleep(100000);
    MSOCKET *s = nullptr;
    for (int attempt = 0; !s && !hard_restart.load() && !hd->shutdown.load(); attempt++) {
        s = open_stream(hd->server, hd->port, hd->path, hd->subchid, 0, 1, &hard_restart);
        if (s) break;
        if (attempt + 1 >= open_attempts) {
            hard_restart = 1;
            break;
        }
        for (int i = 0; i < 40 && !hard_restart.load() && !hd->shutdown.load(); i++) usleep(100000);
    }
    if (s) {
        // Records are read and dropped: their decoding is still to come.
        char buf[64];
        int retries = 0;
        while (!hard_restart.load() && !hd->shutdown.load()) {
            if (read_data(s, buf, sizeof buf) == static_cast<int>(sizeof buf)) continue;
            if (retries >= read_retries) {
                if (!hard_restart.load()) e->l->log(LOG_CRIT, "PAD-Stream #%i: Timeout, reconnect...\n", hd->subchid);
                break;
            }
            usleep(500000);
            retries++;
        }
        close_stream(s);
    }
    if (!hd->shutdown.load()) hard_restart = 1;
    {
        mutex_guard g(&config_lock);
        subchannels[hd->subchid].state = nullptr;
    }
    e->l->log(LOG_WARN, "Stopping PAD/MOT-decoder for stream %i\n", hd->subchid);
    hd->status = 0;
}
