#pragma once
// X-PAD of one programme: PAD records in, sub-fields to the dynamic label and MOT decoders.

#include "mot/dl_dec.h"

class mot_dec_class;
typedef struct mot_state_s mot_state_t;
typedef struct mSOCKET_s MSOCKET;

// PAD record head: MPEG header, length (little-endian), F-PAD bytes L and L-1.
constexpr int PAD_HEAD = 8;
constexpr int PAD_RECORD_LIMIT = 256;

struct xpad_state_s {
    char path[257];
    int id;
    unsigned char xpci[4][2];  // CI byte, extension byte of application type 31
    int num_ci;
    int last_padlen;
    mot_state_t *ms;
    dynamic_label_state_t dls;
    mot_dec_class *owner;  // statistics and log
};

// The next PAD record of the stream into frame (PAD_RECORD_LIMIT bytes): 0, or 1 when none could be read.
int find_framesync_new(MSOCKET *fd, unsigned char *frame, int *framelen, int *id, int *bridx, int *amode);

xpad_state_t *init_xpad_mot(mot_dec_class *owner, int id, const char *path);
void xpad_free(xpad_state_t *xs);
// Decodes the X-PAD of one record of framelen bytes (head included).
void extract_xpad_new(const unsigned char *frame, int framelen, int id, int bridx, int amode, xpad_state_t *xs);
int xpad_continue_ci(xpad_state_t *xs);
void xpad_dispatch(xpad_state_t *xs, const unsigned char *buf, int plen, int app_type);
