#pragma once
// A small reference receiver for the tests: reads generated ETI and decodes FIGs, packet
// mode, MSC data groups, MOT objects and X-PAD by the rules of the standards, written
// independently of the generator's encoders.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/eti_reader.h"

namespace sigtest {

using bytes = std::vector<uint8_t>;

// Calls fn for every frame of an ETI file; returns the number of frames.
int for_each_frame(const std::string &path, const std::function<void(const dabcommon::eti_frame &)> &fn);

// FIGs of a FIB (type, extension or -1, body after the header byte).
struct fig {
    int type;
    int ext;
    bytes body;
};
std::vector<fig> split_fib(const uint8_t *fib);

struct data_group {
    int type = -1, continuity = 0;
    bool crc_ok = true, has_crc = false, last = true;
    int segnum = 0, tid = -1;
    bytes data;  // data field
};
// Parses a complete MSC data group; false when it is too short for its own headers.
bool parse_data_group(const bytes &g, data_group &out);

// Packet mode: reassembles data groups per packet address.
struct packet_stats {
    int packets = 0, crc_errors = 0, continuity_breaks = 0, padding = 0;
};
class packet_reassembler {
  public:
    void feed(const uint8_t *frame, size_t len);
    std::map<int, std::vector<bytes>> groups;  // by address
    packet_stats stats;

  private:
    std::map<int, bytes> partial_;
    std::map<int, int> ci_;
};

// MOT objects by name, from header mode and directory mode; gzip bodies inflated.
class mot_collector {
  public:
    void feed(const data_group &g);
    std::map<std::string, bytes> objects;
    std::string directory_index;
    int directory_entries = 0;
    int dg_crc_errors = 0;
    int triggered = 0;  // objects with TriggerTime "now"

  private:
    struct pending {
        std::string name;
        bool gzip = false, trigger = false;
        uint32_t size = 0;
        std::map<int, bytes> segs;
        int last = -1;
    };
    void complete(int tid);
    void header(int tid, const uint8_t *h, size_t n, pending &p);
    std::map<int, pending> pending_;
    std::map<int, bytes> dir_segs_;
};

// X-PAD of audio frames: dynamic labels and MOT data groups.
class pad_decoder {
  public:
    // One complete MPEG audio frame (the PAD is at its end).
    void feed_audio_frame(const uint8_t *f, size_t len);
    // The PAD field of a DAB+ access unit: X-PAD (reversed), then the two F-PAD bytes.
    void feed_pad_field(const uint8_t *p, size_t len);
    std::vector<std::string> labels;  // completed labels in arrival order
    int clear_commands = 0, dl_crc_errors = 0, dgli_crc_errors = 0, frames_with_xpad = 0;
    mot_collector mot;

  private:
    // X-PAD read backwards from f[x], after F-PAD bytes fpad1, fpad2.
    void xpad(const uint8_t *f, long x, uint8_t fpad1, uint8_t fpad2);
    void subfield(int app, const uint8_t *p, size_t n);
    void dl_segment(const bytes &s);
    bytes dl_, mot_;
    size_t mot_len_ = 0;
    std::string text_;
    int next_seg_ = -1;
};

// DAB+ sub-channel (TS 102 563): superframes found by their firecode, RS corrected, access
// units checked by their CRC, PAD taken from a leading data stream element.
class dabplus_receiver {
  public:
    // One logical frame of the sub-channel (24 ms, 24*s bytes).
    void feed(const uint8_t *frame, size_t len);
    int superframes = 0, sync_losses = 0, rs_corrected = 0, rs_failed = 0, aus = 0, au_crc_errors = 0;
    int header = -1;                    // byte 2 of the last superframe
    std::vector<std::vector<int>> starts;  // AU starts of each superframe
    std::vector<bytes> au_payloads;        // AUs without CRC, in order
    pad_decoder pad;

  private:
    void superframe(uint8_t *sf, size_t len);
    bytes window_;
    size_t frame_len_ = 0;
};

// Firecode of a superframe's bytes 2..10, the generator polynomial multiplied out from its
// factors (x^11 + 1)(x^5 + x^3 + x^2 + x + 1).
uint16_t firecode(const uint8_t *p);

bool gunzip(const bytes &in, bytes &out);
bytes file_bytes(const std::string &path);

}  // namespace sigtest
