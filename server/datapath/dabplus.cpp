#include "datapath/dabplus.h"

#include <cstring>

using namespace dabcommon;

namespace {

// ISO/IEC 14496-3 table 1.16: sampling frequency by samplingFrequencyIndex.
constexpr std::array<uint32_t, 13> sampling_frequencies = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                                           22050, 16000, 12000, 11025, 8000,  7350};
static_assert(sampling_frequencies.size() == 13);

uint32_t frequency_index(uint32_t rate) {
    for (uint32_t i = 0; i < sampling_frequencies.size(); i++)
        if (sampling_frequencies[i] == rate) return i;
    return 15;  // escape: cannot happen for the rates of a superframe
}

// AudioSpecificConfig bits of a superframe header, right-aligned in v; returns their number.
int asc_bits(const sf_header &h, uint32_t &v) {
    const uint32_t channels = h.aac_channel_mode ? 2 : 1;  // PS is found by the decoder in the mono core
    const uint32_t core = frequency_index(h.format().core_rate);
    // GASpecificConfig: frameLengthFlag 1 (960-sample frames), dependsOnCoreCoder 0, extensionFlag 0
    constexpr uint32_t ga = 0x4;
    if (!h.sbr_flag) {
        // audioObjectType 2 (AAC LC), samplingFrequencyIndex, channelConfiguration
        v = 2u << 11 | core << 7 | channels << 3 | ga;
        return 16;
    }
    // Explicit hierarchical SBR: audioObjectType 5, the core's samplingFrequencyIndex,
    // channelConfiguration, extensionSamplingFrequencyIndex, then the core's audioObjectType 2.
    v = 5u << 20 | core << 16 | channels << 12 | frequency_index(static_cast<uint32_t>(h.output_rate())) << 8 |
        2u << 3 | ga;
    return 25;
}

// Converts between the host's order and big-endian (either way).
uint64_t big_endian(uint64_t v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap64(v);
#else
    return v;
#endif
}

// MSB first. The caller has checked that everything fits.
class bit_writer {
public:
    explicit bit_writer(uint8_t *p) : p_(p) {}
    void put(uint32_t v, int n) {  // n <= 25
        acc_ = acc_ << n | (v & ((1u << n) - 1));
        bits_ += n;
        while (bits_ >= 8) {
            bits_ -= 8;
            *p_++ = static_cast<uint8_t>(acc_ >> bits_);
        }
    }
    void bytes(const uint8_t *s, int n) {
        if (n <= 0) return;
        // Every byte of the payload straddles two output bytes: eight at a time, then the rest.
        const int sh = bits_;
        auto cur = static_cast<uint8_t>(acc_ << (8 - sh));
        int i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t w;
            std::memcpy(&w, s + i, 8);
            w = big_endian(w);
            const uint64_t o = big_endian(static_cast<uint64_t>(cur) << 56 | w >> sh);
            std::memcpy(p_, &o, 8);
            p_ += 8;
            cur = static_cast<uint8_t>(w << (8 - sh));
        }
        for (; i < n; i++) {
            *p_++ = static_cast<uint8_t>(cur | s[i] >> sh);
            cur = static_cast<uint8_t>(s[i] << (8 - sh));
        }
        acc_ = s[n - 1];
    }
    void align() {
        if (bits_) put(0, 8 - bits_);
    }

private:
    uint8_t *p_;
    uint64_t acc_ = 0;  // the low bits_ bits are not written yet
    int bits_ = 0;
};

// The head the PAD reader syncs on (FF Fx) in place of an audio header.
constexpr uint8_t pad_head[4] = {0xFF, 0xF0, 0x00, 0x00};

// raw_data_block element id of a data_stream_element (ISO/IEC 14496-3 table 4.85)
constexpr int ID_DSE = 4;

// Largest AU payload: the whole RS data of the largest superframe.
constexpr int MAX_AU = SF_DATA_PER_UNIT * SF_MAX_UNITS;
// LOAS head (3), AudioMuxElement up to the payload length (7), the length in runs of 255.
constexpr int MAX_LOAS = MAX_AU + 3 + 7 + MAX_AU / 255 + 1;

}  // namespace

int dabplus_asc(const sf_header &h, uint8_t *out, int max) {
    uint32_t v;
    const int n = asc_bits(h, v);
    const int len = (n + 7) / 8;
    if (!out || max < len) return 0;
    v <<= len * 8 - n;
    for (int i = 0; i < len; i++) out[i] = static_cast<uint8_t>(v >> (8 * (len - 1 - i)));
    return len;
}

int loas_frame(const sf_header &h, const uint8_t *au, int au_len, uint8_t *out, int max) {
    if (!au || au_len < 1 || !out || max < 0) return 0;
    uint32_t asc;
    const int asc_n = asc_bits(h, asc);
    const int length_bytes = au_len / 255 + 1;
    const long mux_bits = 16L + asc_n + 13 + 8L * length_bytes + 8L * au_len;
    const long mux_len = (mux_bits + 7) / 8;
    // audioMuxLengthBytes has 13 bits
    if (mux_len > 0x1FFF || 3 + mux_len > max) return 0;

    bit_writer w(out);
    // AudioSyncStream: syncword(11) audioMuxLengthBytes(13)
    w.put(0x2B7, 11);
    w.put(static_cast<uint32_t>(mux_len), 13);
    // AudioMuxElement(1): useSameStreamMux(1) = 0, StreamMuxConfig: audioMuxVersion(1) = 0,
    // allStreamsSameTimeFraming(1) = 1, numSubFrames(6) = 0, numProgram(4) = 0, numLayer(3) = 0
    w.put(0x1, 3);
    w.put(0, 13);
    w.put(asc, asc_n);
    // frameLengthType(3) = 0, latmBufferFullness(8) = 0xFF, otherDataPresent(1) = 0, crcCheckPresent(1) = 0
    w.put(0xFFu << 2, 13);
    // PayloadLengthInfo: MuxSlotLengthBytes in bytes of 255 and the rest
    for (int left = au_len; left >= 0; left -= 255) w.put(left >= 255 ? 255u : static_cast<uint32_t>(left), 8);
    w.bytes(au, au_len);
    w.align();
    return static_cast<int>(3 + mux_len);
}

// ---- dabplus_decoder ----

dabplus_decoder::dabplus_decoder(dabplus_counters *c) : ctr_(c ? c : &own_) {}

void dabplus_decoder::reset(int units) {
    units_ = units >= 1 && units <= SF_MAX_UNITS ? units : 0;
    frames_ = 0;
    sync_.store(false, std::memory_order_relaxed);
    header_.store(-1, std::memory_order_relaxed);
    fpad_1_ = 0;
    ci_ = xpad_ci_state_t{};
}

bool dabplus_decoder::in_sync() const { return sync_.load(std::memory_order_relaxed); }

bool dabplus_decoder::has_format() const { return header_.load(std::memory_order_relaxed) >= 0; }

sf_header dabplus_decoder::format() const {
    const int h = header_.load(std::memory_order_relaxed);
    return h >= 0 ? sf_parse_header(static_cast<uint8_t>(h)) : sf_header{};
}

void dabplus_decoder::lose_sync() {
    if (sync_.load(std::memory_order_relaxed)) ctr_->sync_losses.fetch_add(1, std::memory_order_relaxed);
    sync_.store(false, std::memory_order_relaxed);
    // X-PAD does not continue across lost audio.
    ci_ = xpad_ci_state_t{};
}

void dabplus_decoder::drop_oldest_frame() {
    const int flen = 24 * units_;
    std::memmove(win_.data(), win_.data() + flen, static_cast<size_t>(flen * (SF_LOGICAL_FRAMES - 1)));
    frames_ = SF_LOGICAL_FRAMES - 1;
}

void dabplus_decoder::feed(const uint8_t *frame, int len, dabplus_sink &out) {
    if (units_ == 0) return;
    const int flen = 24 * units_;
    if (!frame || len != flen) {
        lose_sync();
        frames_ = 0;
        return;
    }
    std::memcpy(win_.data() + frames_ * flen, frame, static_cast<size_t>(flen));
    if (++frames_ < SF_LOGICAL_FRAMES) return;

    if (sync_.load(std::memory_order_relaxed)) {
        if (superframe(out, false)) {
            frames_ = 0;
        } else {
            lose_sync();
            drop_oldest_frame();
        }
        return;
    }

    // Searching. RS corrects a copy: a window that turns out to be no superframe keeps its
    // bytes for the next tries, untouched by a miscorrection.
    const auto n = static_cast<size_t>(SF_BYTES_PER_UNIT * units_);
    bool corrected = false;
    if (!sf_sync(win_.data(), n)) {
        std::array<uint8_t, SF_MAX_BYTES> copy;
        std::memcpy(copy.data(), win_.data(), n);
        const int r = rs_.decode(copy.data(), units_);
        if (!sf_sync(copy.data(), n)) {
            drop_oldest_frame();
            return;
        }
        std::memcpy(win_.data(), copy.data(), n);
        if (r < 0)
            ctr_->rs_uncorrectable.fetch_add(1, std::memory_order_relaxed);
        else
            ctr_->rs_corrected.fetch_add(static_cast<uint64_t>(r), std::memory_order_relaxed);
        corrected = true;
    }
    if (superframe(out, corrected)) {
        sync_.store(true, std::memory_order_relaxed);
        frames_ = 0;
    } else {
        drop_oldest_frame();
    }
}

bool dabplus_decoder::superframe(dabplus_sink &out, bool corrected) {
    uint8_t *sf = win_.data();
    const auto n = static_cast<size_t>(SF_BYTES_PER_UNIT * units_);
    const auto data = static_cast<size_t>(SF_DATA_PER_UNIT * units_);
    std::array<int, SF_MAX_AUS + 1> starts{};
    int aus = 0;
    unsigned good = 0;  // AUs whose CRC holds
    auto check = [&] {
        aus = sf_au_starts(sf, data, starts);
        good = 0;
        for (size_t i = 0; i < static_cast<size_t>(aus); i++)
            if (sf_au_crc_ok(sf + starts[i], static_cast<size_t>(starts[i + 1] - starts[i]))) good |= 1u << i;
        return aus > 0 && good == (1u << aus) - 1;
    };
    // RS only where something is wrong: the firecode and every AU's CRC as they came hold
    // in nearly every superframe.
    const bool clean = (corrected || sf_sync(sf, n)) && check();
    if (!clean && !corrected) {
        const int r = rs_.decode(sf, units_);
        if (r < 0)
            ctr_->rs_uncorrectable.fetch_add(1, std::memory_order_relaxed);
        else
            ctr_->rs_corrected.fetch_add(static_cast<uint64_t>(r), std::memory_order_relaxed);
        if (!sf_sync(sf, n)) return false;
        check();
    }
    ctr_->superframes.fetch_add(1, std::memory_order_relaxed);
    if (aus == 0) {
        ctr_->bad_superframes.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    header_.store(sf[2], std::memory_order_relaxed);
    const sf_header h = sf_parse_header(sf[2]);
    for (int i = 0; i < aus; i++) {
        const int start = starts[static_cast<size_t>(i)];
        access_unit(h, sf + start, starts[static_cast<size_t>(i) + 1] - start, good >> i & 1, out);
    }
    return true;
}

void dabplus_decoder::access_unit(const sf_header &h, const uint8_t *au, int len, bool crc_ok, dabplus_sink &out) {
    if (!crc_ok) {
        ctr_->au_crc_errors.fetch_add(1, std::memory_order_relaxed);
        // Its PAD is lost with it; the record keeps PAD and audio in step.
        uint8_t rec[PAD_RECORD_EMPTY];
        out.pad_record(rec, pad_record_empty(rec, pad_head, 4));
        return;
    }
    uint8_t frame[MAX_LOAS];
    const int n = loas_frame(h, au, len - 2, frame, MAX_LOAS);
    if (n > 0) {
        out.loas_frame(frame, n);
        ctr_->aus.fetch_add(1, std::memory_order_relaxed);
    }
    pad(au, len - 2, out);
}

void dabplus_decoder::pad(const uint8_t *au, int len, dabplus_sink &out) {
    uint8_t rec[PAD_RECORD_MAX];
    // data_stream_element first in the raw_data_block: id_syn_ele(3) element_instance_tag(4)
    // data_byte_align_flag(1) count(8) [esc_count(8)]; at bit 0 its data is byte aligned anyway.
    int count = 0;
    int off = 2;
    if (len >= 2 && au[0] >> 5 == ID_DSE) {
        count = au[1];
        if (count == 255) {
            count += len >= 3 ? au[2] : 0;
            off = 3;
        }
        if (off + count > len) {
            ctr_->pad_errors.fetch_add(1, std::memory_order_relaxed);
            count = 0;
        }
    }
    // Without a DSE (or F-PAD) there is no X-PAD here, but the contents indicators stay:
    // the next AU may carry on without them.
    if (count < 2) {
        out.pad_record(rec, pad_record_empty(rec, pad_head, 4));
        return;
    }
    const uint8_t *d = au + off;
    // F-PAD in the last two data bytes, the X-PAD backwards before them.
    out.pad_record(rec, pad_record(rec, pad_head, d + count - 2, d, 0, count - 3, fpad_1_, ci_));
}
