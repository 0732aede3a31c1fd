#pragma once
// The receiving side of EDI in one object: datagrams (a PFT fragment or an AF packet each) or
// a byte stream (AF packets or fragments back to back, as over TCP or from a file) in, ETI-NI
// frames out through a callback, with the counters a monitoring page shows.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/edi_pft.h"

namespace dabcommon {

struct edi_counters {
    uint64_t af_packets = 0;     // AF packets with a good CRC
    uint64_t sequence_gaps = 0;  // AF sequence numbers skipped
    uint64_t crc_errors = 0;     // AF packets and fragment headers with a wrong CRC
    uint64_t fec_recovered = 0;  // fragments rebuilt by Reed-Solomon
    uint64_t frames_lost = 0;    // ETI frames that could not be rebuilt
    uint64_t malformed = 0;      // packets and fragments with impossible fields or lengths
    uint64_t skipped_bytes = 0;  // stream bytes that were no packet
};

class edi_decoder {
public:
    // frame: 6144 bytes of one rebuilt ETI frame. window/timeout_ms: of the fragment reassembly.
    using frame_sink = std::function<void(const uint8_t *frame)>;
    explicit edi_decoder(frame_sink sink, int window = 8, int timeout_ms = 500);

    // One datagram, whole. now_ms: a monotonic clock.
    void push_datagram(const uint8_t *p, size_t len, uint64_t now_ms);
    // Stream bytes, in any pieces.
    void push_stream(const uint8_t *p, size_t len, uint64_t now_ms);
    // Lets the reassembly's time-out run out while nothing arrives.
    void tick(uint64_t now_ms);
    // The input starts again (a new connection, the next writer of a FIFO): partial packets
    // and the expected sequence numbers are forgotten; the counters stay.
    void restart();

    edi_counters counters() const;

private:
    void on_af(const uint8_t *p, size_t len);
    void on_fragment(const pft_fragment &f, uint64_t now_ms);
    void drain(uint64_t now_ms);

    frame_sink sink_;
    pft_reassembler pft_;
    edi_counters c_;
    bool have_seq_ = false;
    uint16_t next_seq_ = 0;
    bool synced_ = false;  // the stream's last packet ended where the buffer starts
    std::vector<uint8_t> buf_;
    std::vector<uint8_t> af_;
    std::vector<uint8_t> frame_;
};

}  // namespace dabcommon
