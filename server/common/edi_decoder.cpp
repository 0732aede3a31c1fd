#include "common/edi_decoder.h"

#include <cstring>

#include "common/edi_af.h"
#include "common/eti_reader.h"

namespace dabcommon {

namespace {
// Sequence numbers further ahead than this are a sender that started again, not a loss; a
// packet a little behind is a duplicate, one further behind a sender that started again too.
constexpr int RESTART_DISTANCE = 1000;
constexpr int DUPLICATE_DISTANCE = 16;
// A stream's pending bytes never exceed the largest packet and a header.
constexpr size_t STREAM_BUFFER_MAX = AF_HEADER_SIZE + AF_MAX_PAYLOAD + AF_CRC_SIZE;
}  // namespace

edi_decoder::edi_decoder(frame_sink sink, int window, int timeout_ms)
    : sink_(std::move(sink)), pft_(window, timeout_ms), frame_(ETI_FRAME_SIZE) {}

edi_counters edi_decoder::counters() const {
    edi_counters c = c_;
    c.fec_recovered = pft_.counters().fec_recovered;
    return c;
}

void edi_decoder::restart() {
    pft_.reset();
    have_seq_ = false;
    synced_ = false;
    buf_.clear();
}

void edi_decoder::on_af(const uint8_t *p, size_t len) {
    af_packet a;
    const int r = af_parse(p, len, a);
    if (r == AF_BAD_CRC) {
        c_.crc_errors++;
        return;
    }
    if (r <= 0 || static_cast<size_t>(r) != len) {
        // Cut off, or longer than its LEN says: a packet that does not hold together.
        c_.malformed++;
        return;
    }
    c_.af_packets++;
    if (have_seq_) {
        const int d = static_cast<int16_t>(static_cast<uint16_t>(a.seq - next_seq_));
        if (d < 0 && d >= -DUPLICATE_DISTANCE) return;  // seen already
        if (d > 0 && d < RESTART_DISTANCE) {
            c_.sequence_gaps += static_cast<uint64_t>(d);
            c_.frames_lost += static_cast<uint64_t>(d);
        }
    }
    have_seq_ = true;
    next_seq_ = static_cast<uint16_t>(a.seq + 1);
    if (a.pt != 'T' || edi_tags_to_eti(a.payload, a.payload_len, frame_.data()) != EDI_ETI_OK) {
        c_.malformed++;
        c_.frames_lost++;
        return;
    }
    sink_(frame_.data());
}

void edi_decoder::on_fragment(const pft_fragment &f, uint64_t now_ms) {
    pft_.push(f, now_ms);
    drain(now_ms);
}

void edi_decoder::drain(uint64_t now_ms) {
    while (pft_.pop(af_, now_ms)) {
        if (af_.empty()) {
            c_.malformed++;
            continue;
        }
        on_af(af_.data(), af_.size());
    }
}

void edi_decoder::tick(uint64_t now_ms) { drain(now_ms); }

void edi_decoder::push_datagram(const uint8_t *p, size_t len, uint64_t now_ms) {
    if (!p || len < 2) {
        c_.malformed++;
        return;
    }
    if (p[0] == 'P' && p[1] == 'F') {
        pft_fragment f;
        const int r = pft_parse(p, len, f);
        if (r == PFT_BAD_CRC)
            c_.crc_errors++;
        else if (r <= 0)
            c_.malformed++;  // impossible fields, or lengths beyond the datagram
        else
            on_fragment(f, now_ms);
        return;
    }
    if (p[0] == 'A' && p[1] == 'F') {
        on_af(p, len);
        return;
    }
    c_.malformed++;
}

void edi_decoder::push_stream(const uint8_t *p, size_t len, uint64_t now_ms) {
    if (p && len) buf_.insert(buf_.end(), p, p + len);
    size_t pos = 0;
    auto skip = [&](size_t n) {
        c_.skipped_bytes += n;
        pos += n;
        synced_ = false;
    };
    while (pos < buf_.size()) {
        const uint8_t *q = buf_.data() + pos;
        const size_t left = buf_.size() - pos;
        if (q[0] == 'A' || q[0] == 'P') {
            if (left < 2) break;
            if (q[0] == 'A' && q[1] == 'F') {
                af_packet a;
                const int r = af_parse(q, left, a);
                if (r == AF_NEED_MORE) break;
                if (r > 0) {
                    on_af(q, static_cast<size_t>(r));
                    pos += static_cast<size_t>(r);
                    synced_ = true;
                    continue;
                }
                if (r == AF_BAD_CRC && synced_) {
                    // Where a packet was due: a broken one. Its length is believed.
                    c_.crc_errors++;
                    const size_t total = AF_HEADER_SIZE + AF_CRC_SIZE +
                                         (static_cast<size_t>(q[2]) << 24 | q[3] << 16 | q[4] << 8 | q[5]);
                    pos += total;
                    continue;
                }
                skip(1);
                continue;
            }
            if (q[0] == 'P' && q[1] == 'F') {
                pft_fragment f;
                const int r = pft_parse(q, left, f);
                if (r == PFT_NEED_MORE) break;
                if (r > 0) {
                    on_fragment(f, now_ms);
                    pos += static_cast<size_t>(r);
                    synced_ = true;
                    continue;
                }
                if (r == PFT_BAD_CRC && synced_) c_.crc_errors++;
                skip(1);
                continue;
            }
        }
        // Garbage: on to the next possible sync.
        size_t n = 1;
        while (n < left && q[n] != 'A' && q[n] != 'P') n++;
        skip(n);
    }
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<long>(std::min(pos, buf_.size())));
    if (buf_.size() > STREAM_BUFFER_MAX) {
        // Cannot happen with the bounds of the parsers; kept as a last guard on memory.
        c_.skipped_bytes += buf_.size();
        buf_.clear();
        synced_ = false;
    }
    drain(now_ms);
}

}  // namespace dabcommon
