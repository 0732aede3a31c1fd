#pragma once
// Service and subchannel table, subchannel frame decoding and PAD extraction.
//
// The watcher rebuilds the tables every few seconds while the RDI reader decodes frames
// with them. The decoder therefore never reads the published records: each rebuild also
// publishes, per subchannel, one atomic word with what decoding needs (frame size,
// transport mode, audio flag, generation), and the frame assembly and X-PAD state live
// in records that only the RDI reader touches. A decode sees either the old or the new
// configuration, never half of each.

#include <pthread.h>

#include <array>
#include <functional>
#include <atomic>
#include <cstdint>
#include <memory>

#include "common/superframe.h"
#include "datapath/dabplus.h"

#include "datapath/pad.h"

class ensemble;

constexpr int MAX_SUBCHANNELS = 64;
constexpr int MAX_SERVICES = 64;
constexpr int MAX_AUDIO_FRAME = 1152;
// Largest logical frame of any subchannel: 1023 capacity units at EEP-A level 4 give 6138.
constexpr int MAX_SUBCH_FRAME = 6144;
// Packet-mode frames are preceded by this marker in the stream.
constexpr unsigned char PACKET_MARKER[4] = {0xFF, 0xFE, 0xFD, 0xFC};

// MPEG audio Layer II frame length in bytes by bit rate index (ISO/IEC 11172-3, 13818-3):
// 3 x kbit/s at 48 kHz, 6 x kbit/s at 24 kHz.
constexpr std::array<int, 16> bit_rate_index48 = {0,   96,  144, 168, 192, 240, 288,  336,
                                                  384, 480, 576, 672, 768, 960, 1152, 0};
constexpr std::array<int, 16> bit_rate_index24 = {0,   48,  96,  144, 192, 240, 288, 336,
                                                  384, 480, 576, 672, 768, 864, 960, 0};
static_assert(bit_rate_index48.size() == 16 && bit_rate_index24.size() == 16, "one entry per bit rate index");


// Audio service component types of FIG 0/2 (ASCTy).
constexpr int ASCTY_MP2 = 0;
constexpr int ASCTY_DABPLUS = 63;

typedef struct dab_subchannel_s {
    int tmid;       // 0 audio stream, 1 data stream, 3 packet data
    int framesize;  // bytes per 24 ms logical frame; 0 when not in the configuration
    int sid;
    int pty;
    int prot_level;
    int bitrate;
    char label[17];
    char shortlabel[9];
    int ascty;      // audio: ASCTY_MP2 or ASCTY_DABPLUS
} dab_subchannel_t;

struct dab_service_s;
typedef struct dab_component_s {
    int ps;
    int scids;
    int scid;
    char label[17];
    char shortlabel[9];
    int subchannel;
    int tmid;
    int prot_level;
    int bitrate;
    int framesize;
    struct dab_service_s *parent;
    int ascty;
} dab_component_t;

typedef struct dab_service_s {
    int sid;
    int numofsc;
    int pty;
    char label[17];
    char shortlabel[9];
    struct dab_component_s *sc;
} dab_service_t;

// Per-subchannel decoding state, owned by the RDI reader thread.
typedef struct subch_decoder_s {
    unsigned char frame[MAX_AUDIO_FRAME];  // audio frame spanning two logical frames (24 kHz)
    int pos;                               // bytes held in frame
    int fpad_1;                            // last F-PAD byte L-1 seen with F-PAD type 0
    bool after_gap;                        // the previous logical frame ended prematurely
    xpad_ci_state_t ci;
    uint32_t generation;                   // configuration this state belongs to
} subch_decoder_t;

// Frame size in bytes of one subchannel as signalled in FIG 0/1; 0 when undefined.
int subchannel_framesize(int short_long, int option, int protection_level, int sub_channel_size, int table_switch,
                         int table_index);

// PAD record of one audio frame into buf (PAD_RECORD_MAX bytes); returns its length.
// Reads only frame[0..framelen-1], whatever the broadcast lengths claim.
int extract_pad_record(subch_decoder_t &st, unsigned char *buf, const unsigned char *frame, int framelen);

// Walks the packets of a packet-mode frame; returns the updated error score.
int packet_error_score(const unsigned char *frame, int len, int errors);

class msc {
public:
    explicit msc(ensemble *p);
    ~msc();
    msc(const msc &) = delete;
    msc &operator=(const msc &) = delete;

    // Decodes one MSC frame of subchannel subch: len bytes as the reader gathered them in
    // groups of its packing (packing22: 22-bit), cut when a word without flags ended the
    // frame early. Returns the frame size handled, 0 when nobody reads the subchannel.
    int decode_sub(int subch, const unsigned char *data, int len, bool cut, int packing22);
    // The configured frame size of a subchannel somebody reads, else 0.
    int wanted_frame_size(int subch) const;
    int xtract_pad(int subch, unsigned char *buf, unsigned char *frame, int framelen);

    int isaudio(int subchid);
    // A DAB+ subchannel of the current table.
    int isdabplus(int subchid);
    // The superframe header of a DAB+ subchannel being decoded, once one was seen.
    bool dabplus_format(int subchid, dabcommon::sf_header &h) const;
    int isstream(int subchid);
    int ispacketdata(int subchid);
    int gettmid(int subchid);
    int subchsize(int subchid);

    void lock();
    void unlock();
    void free_sc();
    // Rebuilds both tables from the FIG store; 1 when new tables were installed.
    // before_install, when given, sees the new subchannel table first (the watcher routes
    // it on the module, so that data flows as soon as the table is in place).
    int get_subch_info(const std::function<void(const dab_subchannel_t *)> &before_install = nullptr);
    // Forgets the current ensemble: empty tables, decoding state reset, eid 0, first 1.
    void clear_tables();
    // Decoding state reset: every subchannel decoder starts afresh, the tables stay.
    void restart_decoders();
    static int compare_sid(const void *x, const void *y);

    dab_subchannel_t subchannel[MAX_SUBCHANNELS];
    dab_service_t service[MAX_SERVICES];
    // DAB+ decoding counters per subchannel, since its configuration last changed.
    std::array<dabplus_counters, MAX_SUBCHANNELS> dabplus_stats;
    std::atomic<int> packet_errors;
    std::atomic<int> other_errors;
    std::atomic<int> first;
    std::atomic<int> eid;
    ensemble *e;
    pthread_mutex_t lck;

private:
    // framesize(13) | tmid(2) << 13 | audio(1) << 15 | dabplus(1) << 16 | generation(15) << 17
    static uint32_t pack_route(int framesize, int tmid, int audio, int dabplus, uint32_t generation);
    // Publishes what the decoder needs of table t; a changed subchannel (or all of them
    // with reset) gets a new generation, so its decoder state starts afresh.
    void publish_routes(const dab_subchannel_t *t, bool reset);
    void pad_frame(int subch, subch_decoder_t &st, const unsigned char *f, int size);
    void score_packets(const unsigned char *f, int len);
    void write_pad(int subch, subch_decoder_t &st, const unsigned char *frame, int len);
    void dabplus_frame(int subch, bool fresh, const unsigned char *f, int len, int size);

    std::array<std::atomic<uint32_t>, MAX_SUBCHANNELS> route;
    std::array<subch_decoder_t, MAX_SUBCHANNELS> dec;
    // Made on a subchannel's first DAB+ frame; RDI reader thread only.
    std::array<std::unique_ptr<dabplus_decoder>, MAX_SUBCHANNELS> plus_;
    // Byte 2 of the newest superframe of each subchannel, -1 before one: for other threads.
    std::array<std::atomic<int>, MAX_SUBCHANNELS> plus_header_;
};
