#pragma once
// AAC-LC access units for DAB+ (ISO/IEC 14496-3 subpart 4), just good enough for test tones:
// 960-sample frames of long blocks with the sine window, one global gain a frame (every scale
// factor equals it), spectral codebook 11 for bands with content and ZERO_HCB for the others.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dabgen {

using bytes = std::vector<uint8_t>;

// Packs bits MSB first.
class bit_writer {
  public:
    void put(uint32_t value, int bits);
    // Zero bits up to the next byte boundary.
    void align();
    size_t bits() const { return bits_; }
    const bytes &data() const { return buf_; }

  private:
    bytes buf_;
    size_t bits_ = 0;
};

// Syntactic elements of a raw_data_block (ISO/IEC 14496-3 table 4.85).
enum : int { AAC_ID_SCE = 0, AAC_ID_CPE = 1, AAC_ID_DSE = 4, AAC_ID_FIL = 6, AAC_ID_END = 7 };

// count and esc_count of a data_stream_element
constexpr size_t dse_max_bytes = 255 + 255;

// data_stream_element, instance 0, not byte aligned; false (nothing written) beyond 510 bytes.
bool write_dse(bit_writer &w, const uint8_t *data, size_t len);
size_t dse_bits(size_t len);
// Fill elements (EXT_FILL) of lo to lo + 7 bits in all, lo >= 1: every fill element is 7 bits
// plus whole bytes, so one size in any window of eight fits.
void write_fill(bit_writer &w, size_t lo);

class aac_encoder {
  public:
    static constexpr int frame_length = 960;

    // sample_rate: the core's, 48000, 32000, 24000 or 16000; channels 1 (SCE) or 2 (CPE).
    bool init(int sample_rate, int channels, std::string &err);
    int channels() const { return channels_; }
    // One raw_data_block of exactly size bytes from 960 interleaved samples per channel: the
    // data_stream_element with pad when pad is given, the SCE or CPE at the finest global gain
    // that fits, fill elements, ID_END. False, with out untouched, when even silence does not fit.
    bool encode(const int16_t *pcm, const bytes *pad, size_t size, bytes &out);
    // Global gain of the last frame.
    int gain() const { return gain_; }

  private:
    template <class W>
    void write_element(W &w) const;
    template <class W>
    void write_ics(W &w, int ch) const;
    // Quantizes at gain; false when a value needs more than the 13 bits of an escape.
    bool quantize(int gain);
    void transform(int ch, const int16_t *pcm);

    int channels_ = 0;
    const uint16_t *swb_ = nullptr;
    int num_swb_ = 0;
    int gain_ = 0;
    std::array<std::vector<float>, 2> prev_, pow34_;
    std::array<std::vector<int>, 2> q_;  // signed quantized values
    std::array<int, 2> max_sfb_ = {0, 0};
};

}  // namespace dabgen
