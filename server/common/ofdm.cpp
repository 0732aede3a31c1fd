#include "common/ofdm.h"

namespace dabcommon {

const std::array<std::complex<float>, OFDM_CARRIERS> &prs_carriers() {
    static const std::array<std::complex<float>, OFDM_CARRIERS> table = [] {
        static constexpr std::complex<float> turns[4] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
        std::array<std::complex<float>, OFDM_CARRIERS> t{};
        for (int i = 0; i < OFDM_CARRIERS; i++) t[i] = turns[prs_quarter_turns(carrier_of_index(i))];
        return t;
    }();
    return table;
}

void map_symbol(const uint8_t *bits, std::complex<float> *carriers) {
    for (int n = 0; n < OFDM_CARRIERS; n++)
        carriers[carrier_index(frequency_interleaving[n])] = qpsk(bits[n] & 1, bits[n + OFDM_CARRIERS] & 1);
}

}  // namespace dabcommon
