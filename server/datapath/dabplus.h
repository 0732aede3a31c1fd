#pragma once
// DAB+ subchannels: superframe sync, Reed-Solomon correction and access units (ETSI TS 102 563).
// Logical frames are pushed in; each good AU leaves as one LOAS frame (ISO/IEC 14496-3
// AudioSyncStream, the configuration in every frame so that a player may join anywhere) and
// each AU as one PAD record of the Layer II format with the head FF F0 00 00.

#include <array>
#include <atomic>
#include <cstdint>

#include "common/superframe.h"
#include "datapath/pad.h"

struct dabplus_counters {            // cumulative, read by the statistics page while the RDI thread writes
    std::atomic<uint64_t> superframes{0};      // superframes decoded (in sync)
    std::atomic<uint64_t> sync_losses{0};
    std::atomic<uint64_t> rs_corrected{0};     // bytes corrected by RS
    std::atomic<uint64_t> rs_uncorrectable{0}; // superframes with a codeword beyond repair
    std::atomic<uint64_t> au_crc_errors{0};
    std::atomic<uint64_t> bad_superframes{0};  // AU start table unusable
    std::atomic<uint64_t> aus{0};              // AUs delivered
    std::atomic<uint64_t> pad_errors{0};       // data stream element longer than its AU
};

class dabplus_sink {                 // results leave through this; never blocks
public:
    virtual ~dabplus_sink() = default;
    virtual void loas_frame(const uint8_t *p, int len) = 0;  // one whole LOAS frame per good AU
    virtual void pad_record(const uint8_t *p, int len) = 0;  // one PAD record per AU (good or empty)
};

class dabplus_decoder {
public:
    explicit dabplus_decoder(dabplus_counters *c = nullptr);
    dabplus_decoder(const dabplus_decoder &) = delete;
    dabplus_decoder &operator=(const dabplus_decoder &) = delete;

    void reset(int units);   // s = bitrate/8; a new configuration: buffers and sync forgotten
    // One logical frame (len must be 24*units; anything else is treated as a lost frame: sync dropped).
    void feed(const uint8_t *frame, int len, dabplus_sink &out);
    bool in_sync() const;
    // Header of the last good superframe (valid once in_sync or has_format() is true).
    // These three may be asked from any thread.
    bool has_format() const;
    dabcommon::sf_header format() const;

private:
    // Decodes the superframe in the window; false when it fails the firecode even after RS.
    // corrected: RS has already run over it.
    bool superframe(dabplus_sink &out, bool corrected);
    void access_unit(const dabcommon::sf_header &h, const uint8_t *au, int len, bool crc_ok, dabplus_sink &out);
    void pad(const uint8_t *au, int len, dabplus_sink &out);
    void lose_sync();
    void drop_oldest_frame();

    dabplus_counters own_;
    dabplus_counters *ctr_;
    dabcommon::sf_rs rs_;
    int units_ = 0;
    int frames_ = 0;  // logical frames held in win_
    std::atomic<bool> sync_{false};
    std::atomic<int> header_{-1};  // byte 2 of the last good superframe
    int fpad_1_ = 0;
    xpad_ci_state_t ci_{};
    std::array<uint8_t, dabcommon::SF_MAX_BYTES> win_{};
};

// AudioSpecificConfig of a superframe header (2 or 4 bytes): bytes written, for the API and the player.
int dabplus_asc(const dabcommon::sf_header &h, uint8_t *out, int max);
// The LOAS frame of one AU payload into out; bytes written, 0 when it doesn't fit.
int loas_frame(const dabcommon::sf_header &h, const uint8_t *au, int au_len, uint8_t *out, int max);
