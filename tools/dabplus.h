#pragma once
// DAB+ programmes (ETSI TS 102 563): AAC access units laid into RS-protected superframes.
#include <cstdint>
#include <string>
#include <vector>

#include "aac.h"
#include "common/superframe.h"

namespace dabgen {

// Writes one superframe of 120*s bytes: firecode, header byte h, the AU start table, each AU
// followed by its CRC (broken on purpose for AU i when bit i of broken_crcs is set), then the
// RS parity. The AUs must fill the RS data exactly: the last one runs to byte 110*s, where a
// receiver expects its CRC. False, with nothing written, when the AUs are not h's number of
// AUs, do not fill the data exactly or start beyond the 12 bits of the start table.
bool sf_build(const dabcommon::sf_header &h, int s, const std::vector<bytes> &aus, uint32_t broken_crcs,
              dabcommon::sf_rs &rs, uint8_t *out);

// Breaks errors bytes (at most 120) in each of the s RS codewords of a superframe; which rows
// depends on salt, so that successive superframes differ.
void sf_corrupt(uint8_t *sf, int s, int errors, uint32_t salt);

class dabplus_encoder {
  public:
    // bitrate: kbit/s, a multiple of 8; sample_rate: 48000 or 32000 (dac_rate); with sbr the
    // AAC core runs at half that rate and the AUs carry the core only; ps needs sbr and mono.
    bool init(int bitrate, int sample_rate, bool sbr, bool stereo, bool ps, std::string &err);
    int num_aus() const { return h_.format().num_aus; }
    int core_rate() const { return h_.format().core_rate; }
    int channels() const { return enc_.channels(); }
    size_t superframe_size() const { return static_cast<size_t>(120 * s_); }
    // Bytes the smallest AU of a superframe has for its raw_data_block.
    size_t min_au_size() const;
    // Encodes num_aus() * 960 interleaved samples per channel into one superframe. pads holds
    // one PAD field for each AU (X-PAD reversed, then F-PAD), or nothing for a programme
    // without PAD. False when a PAD field leaves no room for the audio.
    bool encode(const int16_t *pcm, const std::vector<bytes> &pads, uint32_t broken_crcs, uint8_t *out);

  private:
    dabcommon::sf_header h_;
    int s_ = 0;
    aac_encoder enc_;
    dabcommon::sf_rs rs_;
};

}  // namespace dabgen
