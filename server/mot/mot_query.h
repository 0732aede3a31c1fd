#pragma once
// What the decoder holds now, for the server's own pages and streams: copies taken under the
// decoder's locks, so a caller never touches a state a decoder thread may free.

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "mot/dl_dec.h"

class mot_dec_class;

constexpr size_t MOT_QUERY_PATH = 600;

typedef struct pad_now_s {
    char label[DL_TEXT];  // newest dynamic label in ISO 8859-1; empty when there is none
    time_t label_time;
    char slide[MOT_QUERY_PATH];  // file of the current slideshow picture; empty when there is none
    time_t slide_time;
} pad_now_t;

// The PAD of audio subchannel subch; false when no PAD decoder runs for it.
bool mot_pad_now(mot_dec_class &m, int subch, pad_now_t *out);
// Only the newest dynamic label (text of size bytes, ISO 8859-1); false when there is none or
// the decoder's configuration is being changed right now (it never waits).
bool mot_label_now(mot_dec_class &m, int subch, char *text, size_t size, time_t *when);
// The index file of the broadcast web site of data service sid; false when none was received.
bool mot_website_file(mot_dec_class &m, uint32_t sid, char *out, size_t size);
