#include "sdr/fic_decoder.h"

#include "common/crc16.h"
#include "common/dab_coding.h"

using namespace dabcommon;

namespace {
constexpr int cifs_per_frame = 4;
constexpr int fibs_per_cif = 3;
constexpr int fib_bytes = 32;
}  // namespace

fic_decoder::fic_decoder()
    : mother_(fic_mother_bits), info_(fic_info_bits), remother_(fic_mother_bits), recoded_(fic_coded_bits) {}

void fic_decoder::decode(const int8_t *soft, fic_result &out) {
    out.bit_errors = 0;
    out.bits = 0;
    for (int c = 0; c < cifs_per_frame; ++c) {
        const int8_t *word = soft + c * fic_coded_bits;
        depuncture(fic_profile, word, mother_.data());
        viterbi_.decode(mother_.data(), fic_info_bits, info_.data());

        // What the transmitter would have sent for this decision, against what came in.
        conv_encode(info_.data(), fic_info_bits, remother_.data());
        puncture(fic_profile, remother_.data(), recoded_.data());
        for (int i = 0; i < fic_coded_bits; ++i) {
            if (word[i] == 0) continue;
            ++out.bits;
            out.bit_errors += (word[i] > 0) != (recoded_[i] != 0);
        }

        energy_dispersal_bits(info_.data(), info_.size());
        for (int f = 0; f < fibs_per_cif; ++f) {
            auto &fib = out.fibs[c * fibs_per_cif + f];
            const uint8_t *bits = &info_[f * fib_bytes * 8];
            for (int b = 0; b < fib_bytes; ++b) {
                uint8_t v = 0;
                for (int k = 0; k < 8; ++k) v = uint8_t(v << 1 | bits[8 * b + k]);
                fib[b] = v;
            }
            out.crc_ok[c * fibs_per_cif + f] = crc16(fib.data(), 30) == (fib[30] << 8 | fib[31]);
        }
    }
}
