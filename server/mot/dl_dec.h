#pragma once
// Dynamic labels of one programme: segments in, the ring of the last new labels out, and the
// programme's PAD page.

#include <pthread.h>

#include <cstdint>
#include <ctime>

class mot_dec_class;
typedef struct mot_state_s mot_state_t;
typedef struct mot_object_state_s mot_object_state_t;
typedef struct xpad_state_s xpad_state_t;

constexpr int DL_TEXT = 132;
constexpr int DL_RING = 16;

typedef struct dynamic_label_s {
    char dl_text[DL_TEXT];
    uint8_t charset;
    time_t timestamp;  // 0: slot empty
} dynamic_label_t;

typedef struct dynamic_label_state_s dynamic_label_state_t;

struct dynamic_label_state_s {
    int id;
    char last_text[DL_TEXT];
    int last_len;
    char text[DL_TEXT];
    char ibuf[DL_TEXT];
    unsigned int ibuf_len;
    int len;
    int toggle;
    int toggle_seg0;
    int changed;
    int last_seg;
    dynamic_label_t dl[DL_RING];
    int rb;
    void (*out_handler)(dynamic_label_state_t *dls, void *context);
    void *user_data;  // the thread's decoder_info_t
    pthread_mutex_t dl_lock;
    mot_dec_class *owner;  // statistics and log
};

void dl_init(xpad_state_t *xs, int id);
void dl_free(xpad_state_t *xs);
// cont 0: a segment starts, 1: it continues, 2: check whether the pending segment is complete.
void dl_decode(dynamic_label_state_t *dls, const unsigned char *buf, int len, int cont);
void dl_extract(dynamic_label_state_t *dls, const unsigned char *buf, int len);
void dl_reset(dynamic_label_state_t *dls);
void dl_rb_insert(dynamic_label_state_t *dls);
// The n-th most recent label (0 newest) in ISO 8859-1: 1, or 0 when there is none.
int dl_get(xpad_state_t *xs, int n, dynamic_label_t *dl);

// PAD page writers: context is the thread's decoder_info_t, or the X-PAD state for a MOT state.
void dl_output_handler(dynamic_label_state_t *dls, void *context);
void ms_output_handler(mot_state_t *ms, mot_object_state_t *obj, void *context);
