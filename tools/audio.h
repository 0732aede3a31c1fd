#pragma once
// Generated programme audio and its MPEG Layer II encoding with room for DAB PAD.
#include <cstdint>
#include <string>
#include <vector>

#include "desc.h"

struct twolame_options_struct;

namespace dabgen {

using bytes = std::vector<uint8_t>;

class pcm_source {
  public:
    pcm_source(const audio_source_desc &d, int samplerate, int channels, uint32_t seed)
        : d_(d), rate_(samplerate), channels_(channels), rng_(seed ? seed : 1) {}
    // Speech is synthesised here (espeak-ng); without it the source falls back to a tone.
    // Returns false only for errors worth stopping for; warn receives notes.
    bool init(std::string &warn);
    // Interleaved 16-bit samples, count frames of channels_ samples.
    void next(int16_t *out, int count);

  private:
    double sample(int ch);
    audio_source_desc d_;
    int rate_, channels_;
    uint32_t rng_;
    uint64_t t_ = 0;  // sample index
    std::vector<int16_t> speech_;
    size_t speech_pos_ = 0;
    double phase_[2] = {0, 0};
};

// Reads a RIFF/WAVE file image (16-bit PCM, mono or first channel) into samples; false if the
// image is not such a file. Bounded to the image size.
bool parse_wav(const uint8_t *p, size_t n, std::vector<int16_t> &out, int &rate);

class mp2_encoder {
  public:
    mp2_encoder() = default;
    ~mp2_encoder();
    mp2_encoder(const mp2_encoder &) = delete;
    mp2_encoder &operator=(const mp2_encoder &) = delete;

    bool init(int samplerate, int bitrate, bool mono, int xpad_reserved, std::string &err);
    int scf_crc_len() const { return crc_len_; }
    size_t frame_size() const { return frame_size_; }
    int channels() const { return channels_; }
    // Encodes 1152 samples per channel. Frames come out one behind, because the ScF-CRC of a
    // frame is carried at the end of the frame before it: the first call returns false.
    bool encode(const int16_t *pcm, bytes &frame);

  private:
    twolame_options_struct *opts_ = nullptr;
    int crc_len_ = 2;
    int channels_ = 2;
    size_t frame_size_ = 0;
    bytes prev_;
};

// Writes F-PAD and X-PAD (reversed, right before the ScF-CRC) into the end of a frame.
void insert_pad(uint8_t *frame, size_t len, int scf_crc_len, const bytes &xpad, size_t reserved);

}  // namespace dabgen
