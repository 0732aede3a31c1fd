#pragma once
// Service and subchannel table, subchannel frame decoding.

#include <pthread.h>

class ensemble;

typedef struct dab_subchannel_s {
    int tmid;
    int framesize;
    int sid;
    int pty;
    int prot_level;
    int bitrate;
    char label[17];
    unsigned char frame[1152];
    int pos;
    int fpad_1;
    char shortlabel[9];
} dab_subchannel_t;

struct dab_component_s;
typedef struct dab_service_s {
    int sid;
    int numofsc;
    int pty;
    char label[17];
    char shortlabel[9];
    struct dab_component_s *sc;
} dab_service_t;

class msc {
public:
    explicit msc(ensemble *p);
    ~msc();
    msc(const msc &) = delete;
    msc &operator=(const msc &) = delete;

    // Decodes one MSC frame of subchannel subch from the RDI reader (packing22: 22-bit packing).
    int decode_sub(int subch, int len, int packing22);

    dab_subchannel_t subchannel[64];
    dab_service_t service[64];
    ensemble *e;
    pthread_mutex_t lck;
};
