#pragma once
// Programme-associated data (EN 300 401 clause 7.4): dynamic label segments, the data group
// length indicator and the packing of X-PAD sub-fields with their contents indicators.
#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace dabgen {

using bytes = std::vector<uint8_t>;

// X-PAD application types used here.
enum : int { XPAD_DGLI = 1, XPAD_DL_START = 2, XPAD_DL_CONT = 3, XPAD_MOT_START = 12, XPAD_MOT_CONT = 13 };

// Dynamic label segments of up to 16 characters each (at most 8 segments, 128 characters).
std::vector<bytes> dl_segments(const std::string &text, bool toggle);
// The clear-display command.
bytes dl_clear(bool toggle);
// Data group length indicator sub-field content: rfa(2) length(14), CRC.
bytes dg_length_indicator(size_t dg_len);

// The two F-PAD bytes that go with an X-PAD (variable size, contents indicators present) or
// with none.
std::array<uint8_t, 2> fpad_bytes(bool xpad);
// A DAB+ access unit's PAD field (TS 102 563): the X-PAD in reverse order, then the F-PAD, the
// same bytes a Layer II frame carries at its end.
bytes dabplus_pad(const bytes &xpad);

// Fills the X-PAD of successive audio frames from queued label segments and MOT data groups.
class xpad_encoder {
  public:
    void queue_dl(bytes segment) { dl_.q.push_back(std::move(segment)); }
    void queue_mot(bytes dg) { mot_.q.push_back(std::move(dg)); }
    size_t dl_pending() const { return dl_.q.size(); }
    // Forgets queued label segments, except one already partly sent.
    void drop_dl() { dl_.q.resize(dl_.off ? 1 : 0); }
    size_t mot_pending() const { return mot_.q.size(); }
    // X-PAD of one frame in broadcast order (contents indicators, end marker, sub-fields),
    // at most capacity bytes; empty when there is nothing to send.
    bytes fill(size_t capacity);

  private:
    struct stream {
        std::deque<bytes> q;
        size_t off = 0;
        bool dgli_sent = false;
    };
    stream dl_, mot_;
};

}  // namespace dabgen
