#pragma once
// Output of MOT objects: the callback table and the default one writing files below the
// service directory.

#include "mot/mot_hdr_dec.h"

typedef struct mot_object_state_s mot_object_state_t;

typedef struct mot_callbacks_s {
    mot_hdr_handler_t *mot_cb_extra_attr;
    void (*mot_cb_free_extra_attr)(mot_state_t *ms, mot_hdr_attr_t *attr);
    int (*mot_cb_header_received)(mot_state_t *ms, mot_object_state_t *obj);  // non-zero drops the object
    int (*mot_cb_start_file)(mot_state_t *ms, mot_object_state_t *obj);       // 1 on success
    int (*mot_cb_write_data)(mot_state_t *ms, mot_object_state_t *obj, const unsigned char *data, int len);  // 0 fails
    int (*mot_cb_discard_file)(mot_state_t *ms, mot_object_state_t *obj);
    int (*mot_cb_finish_file)(mot_state_t *ms, mot_object_state_t *obj);  // 1 when the final file is in place
    void (*mot_cb_file_ok)(mot_state_t *ms, mot_object_state_t *obj, const char *path);
    void *this_info;
} mot_callbacks_t;

extern const mot_callbacks_t mot_default_callbacks;

// Largest object a gzip body may expand to; beyond it the object is given up.
constexpr long MOT_GUNZIP_MAX = 32L * 1024 * 1024;

int mot_cbx_start_file(mot_state_t *ms, mot_object_state_t *obj);
int mot_cbx_write_data(mot_state_t *ms, mot_object_state_t *obj, const unsigned char *data, int len);
int mot_cbx_discard_file(mot_state_t *ms, mot_object_state_t *obj);
int mot_cbx_finish_file(mot_state_t *ms, mot_object_state_t *obj);
// Counts a completed object against the service directory's quota and removes the oldest
// objects beyond it.
void mot_cbx_file_ok(mot_state_t *ms, mot_object_state_t *obj, const char *path);
// The service directory the quota counts, when it lies above the objects' one: its pages count too.
bool mot_output_root(mot_state_t *ms, const char *root);

// prefix + "/" + name + suffix into out, only when that stays below prefix: name relative,
// no "..", "." or empty component, not ending in ".tmp", not the directory file unless
// allow_dir_file, and the whole fitting into size. False otherwise.
bool mot_output_path(char *out, int size, const char *prefix, const char *name, const char *suffix,
                     bool allow_dir_file);
