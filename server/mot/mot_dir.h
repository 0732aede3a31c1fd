#pragma once
// MOT directory mode: the directory is received into a file of the service and decoded from
// it; bodies whose transport id is not in use are started from their directory entry.

#include <pthread.h>

#include <string>
#include <vector>

#include "mot/mot_dec.h"

typedef struct mot_dir_content_s {
    int complete;
    int finished;
    int dir_size;
    int num_obj;
    int car_period;
    int segment_size;
    int dire_extlen;
    mot_hdr_attr_t **headers;  // sorted by trid once current
    mot_hdr_attr_t mha;        // from the directory extension
} mot_dir_content_t;

struct mot_dir_s {
    pthread_mutex_t lock;
    mot_dir_content_t *current_mdc;
    mot_dir_content_t *next_mdc;
};

mot_dir_t *mot_dir_init(mot_state_t *ms);
void mot_dir_free(mot_state_t *ms, mot_dir_t *md);
mot_dir_content_t *mot_dir_content_init();
void mot_dir_content_free(mot_state_t *ms, mot_dir_content_t *mdc);
int mot_dir_start(mot_state_t *ms, const msc_dg_ses_hdr_t *hdr, const unsigned char *data, int len);
int mot_dir_decode_file(mot_state_t *ms, mot_object_state_t *obj);
void mot_dir_decode_end(mot_state_t *ms, mot_dir_t *md);
int mot_dir_find_trid_entry(mot_state_t *ms, int trid, mot_hdr_attr_t *attr);
int mot_dir_lookup_obj(mot_state_t *ms, const msc_dg_ses_hdr_t *hdr, const unsigned char *data, int len);
// Whether the current directory is complete, and its DirectoryIndex (empty when none).
bool mot_dir_current(mot_state_t *ms, bool *complete, char *dir_index, int size);
// Appends the names of the objects the current and the next directory list.
void mot_dir_names(mot_state_t *ms, std::vector<std::string> &out);
