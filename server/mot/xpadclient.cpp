// The PAD thread of one audio subchannel: reads its PAD records from the server and decodes them.

#include <unistd.h>

#include <cstdio>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "mot/motmain.h"
#include "mot/mot_dec.h"
#include "mot/util2.h"
#include "mot/xpad_dec.h"

namespace {

constexpr int open_attempts = 5;
constexpr int read_retries = 5;
constexpr int rest_retries = 20;

bool aborted(const MSOCKET *fd) { return fd->hard_restart && fd->hard_restart->load(); }

int rb(MSOCKET *fd) {
    char c;
    return read_data(fd, &c, 1) == 1 ? static_cast<unsigned char>(c) : -1;
}

}  // namespace

int find_framesync_new(MSOCKET *fd, unsigned char *frame, int *framelen, int *id, int *bridx, int *amode) {
    int len = 0;
    for (;;) {
        int c = rb(fd);
        if (c < 0) return 1;
        if (c != 0xFF) continue;
        // FF FF may be the start of the pair that follows.
        while ((c = rb(fd)) == 0xFF) {
        }
        if (c < 0) return 1;
        if ((c & 0xF0) != 0xF0) continue;
        frame[0] = 0xFF;
        frame[1] = static_cast<unsigned char>(c);
        if (read_data(fd, reinterpret_cast<char *>(frame) + 2, 4) != 4) return 1;
        len = frame[4] | frame[5] << 8;
        if (len >= PAD_HEAD && len <= PAD_RECORD_LIMIT) break;
    }
    int have = 6;
    for (int retry = 0; have < len && !aborted(fd); retry++) {
        const int r = read_data(fd, reinterpret_cast<char *>(frame) + have, len - have);
        if (r > 0) have += r;
        if (have >= len) break;
        if (r < 0 || retry >= rest_retries) return 1;
        usleep(200000);
    }
    if (aborted(fd)) return 1;
    *framelen = len;
    *id = (frame[1] >> 3) & 1;
    *bridx = frame[2] >> 4;
    *amode = frame[3] >> 6;
    return 0;
}

void mot_dec_class::xpad_decoder_loop(decoder_info_t *hd) {
    hd->status = 1;
    char dir[257];
    const char *data = hd->data_path ? hd->data_path : "";
    if (snprintf(dir, sizeof dir, "%s/%04x/", data, static_cast<unsigned>(hd->serviceid)) >= static_cast<int>(sizeof dir))
        e->l->log(LOG_WARN, "Data path too long, cut to '%s'\n", dir);
    e->l->log(LOG_INFO, "XPAD/MOT decoder thread for subchannel %i started, path %s\n", hd->subchid, dir);
    make_dirs(dir);
    usleep(100000);
    xpad_state_t *xs = init_xpad_mot(this, hd->subchid, dir);
    if (!xs) {
        e->l->log(LOG_WARN, "Stopping PAD/MOT-decoder for stream %i\n", hd->subchid);
        hd->status = 0;
        return;
    }
    {
        mutex_guard g(&config_lock);
        subchannels[hd->subchid].state = xs;
    }
    hd->user_data = xs;
    xs->dls.user_data = hd;
    if (xs->ms) xs->ms->user_data = xs;
    if (!(disable_indices & 1)) {
        xs->dls.out_handler = dl_output_handler;
        if (xs->ms) xs->ms->out_handler = ms_output_handler;
        dl_output_handler(&xs->dls, hd);
    }

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
        unsigned char frame[PAD_RECORD_LIMIT];
        int retries = 0;
        bool first = true;
        while (!hard_restart.load() && !hd->shutdown.load()) {
            int framelen = 0, id = 0, bridx = 0, amode = 0;
            if (find_framesync_new(s, frame, &framelen, &id, &bridx, &amode) == 0) {
                if (first) e->l->log(LOG_DEBUG, "PAD-Stream #%i,framelen %i\n", hd->subchid, framelen);
                first = false;
                extract_xpad_new(frame, framelen, id, bridx, amode, xs);
                continue;
            }
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
        hd->user_data = nullptr;
        xpad_free(xs);
    }
    e->l->log(LOG_WARN, "Stopping PAD/MOT-decoder for stream %i\n", hd->subchid);
    hd->status = 0;
}
