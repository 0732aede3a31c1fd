#pragma once
// One sub-channel of the Main Service Channel: takes its CUs out of every CIF, undoes the time
// interleaving (16 CIFs, soft), the puncturing, the convolutional code and energy dispersal.
#include <cstdint>
#include <vector>

#include "common/dab_coding.h"
#include "sdr/viterbi.h"

using dabcommon::subchannel_params;

class msc_subchannel_decoder {
public:
    explicit msc_subchannel_decoder(const subchannel_params &p);
    // False when the parameters describe no decodable sub-channel; feed_cif then does nothing.
    bool valid() const { return valid_; }
    int frame_bytes() const { return frame_bytes_; }
    // The whole CIF (55296 soft bits); returns true and fills out with frame_bytes() bytes
    // (energy dispersal removed) once 16 CIFs have filled the time interleaver.
    bool feed_cif(const int8_t *cif, std::vector<uint8_t> &out);

private:
    subchannel_params params_;
    dabcommon::puncturing_profile profile_;
    bool valid_ = false;
    int frame_bytes_ = 0;
    int bits_ = 0;                  // size_cu x 64
    int fed_ = 0;                   // CIFs seen, up to 16
    int slot_ = 0;                  // ring position of the newest CIF
    std::vector<int8_t> history_;   // 16 x bits_ soft bits
    std::vector<int8_t> word_;      // deinterleaved code word
    std::vector<int8_t> mother_;    // depunctured
    std::vector<uint8_t> info_;     // decoded bits
    viterbi_decoder viterbi_;
};
