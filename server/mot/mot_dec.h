#pragma once
// MOT decoding of one service: data groups in, objects out through the output callbacks.

#include <pthread.h>

#include <cstdio>
#include <ctime>

#include "mot/motmain.h"
#include "mot/mot_callbacks.h"
#include "mot/mot_hdr_dec.h"
#include "mot/msc_dg.h"
#include "mot/packet.h"

constexpr int MOT_OBJECTS = 64;
constexpr int MOT_LABELS = 16;
constexpr int MOT_HDR_BUF = 32768;
constexpr char MOT_DIR_FILE[] = "__MOTDIR.MOT";

struct mot_object_state_s {
    unsigned char obnum;
    int hdr_rec;
    unsigned char *hdr_buf;  // a segmented header while it is collected
    int hdr_pos;
    int next_segnum;
    int next_hdr_segnum;
    char path[257];
    char file_name[257];
    int flen;
    int last_segment;
    int need_size;
    int trid;  // -1: none
    int free;
    time_t timestamp;  // last activity; 0 stops the time-out
    mot_hdr_attr_t mha;
    FILE *file;
    void *buff_in;
    void *buff_out;
    void *zstate;
    void *user_state;
    int dgtype;  // 4 body, 6 directory
};

typedef struct mot_label_s {
    int used;
    time_t last_received;
    char label[20];
    char base_path[257];
    int char_flag;
} mot_label_t;

typedef struct mot_dir_s mot_dir_t;
class mot_quota;
class mot_failure_log;

struct mot_state_s {
    int id;  // subchannel
    msc_buf_t *msc_buf;
    mot_object_state_t mobs[MOT_OBJECTS];
    mot_label_t labels[MOT_LABELS];
    pthread_mutex_t label_lock;
    pthread_mutex_t slide_lock;
    char path_prefix[257];
    char html_path[257];
    char last_file[257];
    char last_file_system[257];
    int last_trigger;
    time_t last_time;
    char slideshowfile[257];
    time_t slide_last_time;
    void (*out_handler)(mot_state_t *ms, mot_object_state_t *obj, void *context);
    void *user_data;
    mot_callbacks_t callbacks;
    mot_dir_t *md;
    motpad_statistics_t stat;
    mot_dec_class *owner;  // statistics and log
    mot_quota *quota;      // size of the service directory, used by the output only
    mot_failure_log *failures;
};

mot_state_t *mot_init(mot_dec_class *owner, int id, const char *path, const char *html_path);
void mot_callback_init(mot_state_t *ms, const mot_callbacks_t *callbacks);
// mode 0: a complete data group in msc_buf, 1: a data group was lost, 2: a length indicator check.
void mot_handle(mot_state_t *ms, int mode);
void mot_free(mot_state_t *ms);

// quiet: the output has reported why already.
void mot_forget_file(mot_state_t *ms, mot_object_state_t *obj, bool quiet = false);
int mot_start_new_obj(mot_state_t *ms, int trid);
// Applies decoded attributes to the slot of trid: the slot, or -1 when the object was dropped.
int mot_handle_hdr_sub(mot_state_t *ms, mot_hdr_attr_t *attr, int trid);

void mot_store_label(mot_state_t *ms, const char *label, const char *base_path, int char_flag);
int mot_find_label(mot_state_t *ms, mot_label_t *out, int n);
int mot_find_slideshow(mot_state_t *ms, char *out, int size, time_t *when);
const char *find_suffix(int ct_type, int ct_subtype);

// Logging and counting for the decoder's parts.
void mot_log(const mot_state_t *ms, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void mot_count(mot_state_t *ms, int type, uint64_t inc = 1);
