#pragma once
// MOT header core and header extension parameters, and the sanitising of object names.

#include <cstdint>

typedef struct mot_state_s mot_state_t;

typedef struct mot_hdr_attr_s {
    int trid;  // set by the directory decoder
    int body_size;
    uint64_t hdr_flags;  // bit n: a parameter with id n was decoded
    unsigned char trigger_time[6];
    unsigned char creation_time[6];
    unsigned char expire_time[6];
    unsigned char start_validity[6];
    uint8_t ct_type;
    uint16_t ct_subtype;
    char label[17];
    uint16_t char_flag;
    uint8_t charset;
    uint8_t version;
    uint8_t priority;
    uint8_t trigger;  // the TriggerTime means at once
    uint8_t compression;
    int rep_dist;
    char path[257];  // sanitised ContentName: relative output path
    void *user_data;
    char dir_index[256];
    uint8_t dir_index_profile;
    char mime_type[64];
} mot_hdr_attr_t;

constexpr int MOT_PARAM_CONTENT_NAME = 12;
constexpr int MOT_PARAM_COMPRESSION = 17;
constexpr int MOT_PARAM_CONTENT_LABEL = 11;
constexpr int MOT_PARAM_TRIGGER_TIME = 5;
constexpr int MOT_PARAM_DIRECTORY_INDEX = 34;
constexpr int MOT_HEADER_MAX = 32767;

// Unknown and application parameters: non-zero rejects the header.
typedef int mot_hdr_handler_t(mot_state_t *ms, mot_hdr_attr_t *attr, int id, const unsigned char *data, int len);

// Decodes the 7 bytes at data and clears every other attribute; the header size.
int mot_decode_header_core(mot_state_t *ms, mot_hdr_attr_t *attr, const unsigned char *data);
// buf: the header extension, hdr_size − 7 readable bytes (callers clamp hdr_size to what they
// hold). 0 when the extension was read to its end, 1 on an error.
int mot_decode_header(mot_state_t *ms, mot_hdr_attr_t *mha, const unsigned char *buf, int hdr_size,
                      mot_hdr_handler_t *hdr_handler);

// Bits of the clean_path result: why the name was altered.
constexpr int CLEAN_PATH_DRIVE = 1;
constexpr int CLEAN_PATH_DOTS = 2;
// A relative path of at most len − 1 characters without drive prefix, leading slashes, "..",
// empty or "." components, backslashes or control characters; 0 when in was taken as it is.
int clean_path(char *out, const char *in, int len);
void copy_time(unsigned char *dst, const unsigned char *src);

// n bytes (at most 4) at p, most significant first: the byte order of every MOT field.
inline uint32_t mot_be(const unsigned char *p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v = v << 8 | p[i];
    return v;
}
