#pragma once
// MOT decoding of one service: data groups in, objects out.

#include "mot/motmain.h"
#include "mot/packet.h"

typedef struct mot_state_s {
    int id;  // subchannel
    msc_buf_t *msc_buf;
    char path_prefix[257];
    char html_path[257];
    mot_dec_class *owner;  // statistics and log
    motpad_statistics_t stat;
} mot_state_t;

mot_state_t *mot_init(mot_dec_class *owner, int id, const char *path, const char *html_path);
// mode 0: a complete data group in msc_buf, 1: a data group was lost, 2: a length indicator check.
void mot_handle(mot_state_t *ms, int mode);
void mot_free(mot_state_t *ms);
