#pragma once
// DAB transmission mode I (EN 300 401 clause 14): frame timing, carriers, frequency interleaving,
// phase reference symbol and QPSK mapping. Shared by the receiver's front end and the modulator.
#include <array>
#include <complex>
#include <cstdint>

namespace dabcommon {

inline constexpr int OFDM_SAMPLE_RATE = 2048000;  // complex samples per second
inline constexpr int OFDM_FFT_SIZE = 2048;        // useful part of a symbol, 1 kHz carrier spacing
inline constexpr int OFDM_GUARD = 504;            // cyclic prefix
inline constexpr int OFDM_SYMBOL = OFDM_FFT_SIZE + OFDM_GUARD;
inline constexpr int OFDM_NULL = 2656;            // null symbol
inline constexpr int OFDM_SYMBOLS = 76;           // after the null: 1 phase reference, 3 FIC, 72 MSC
inline constexpr int OFDM_FIC_SYMBOLS = 3;
inline constexpr int OFDM_MSC_SYMBOLS = 72;
inline constexpr int OFDM_FRAME = OFDM_NULL + OFDM_SYMBOLS * OFDM_SYMBOL;  // 96 ms
inline constexpr int OFDM_CARRIERS = 1536;        // k = -768..768 without 0
inline constexpr int OFDM_KMAX = OFDM_CARRIERS / 2;
inline constexpr int OFDM_BITS = 2 * OFDM_CARRIERS;  // bits per data symbol
static_assert(OFDM_SYMBOL == 2552 && OFDM_FRAME == 196608);
static_assert(OFDM_SYMBOLS == 1 + OFDM_FIC_SYMBOLS + OFDM_MSC_SYMBOLS);

// FFT bin of carrier k (negative frequencies at the top of the FFT).
constexpr int carrier_bin(int k) { return k < 0 ? k + OFDM_FFT_SIZE : k; }
// Position 0..1535 of carrier k in order of frequency, and back.
constexpr int carrier_index(int k) { return k < 0 ? k + OFDM_KMAX : k + OFDM_KMAX - 1; }
constexpr int carrier_of_index(int i) { return i < OFDM_KMAX ? i - OFDM_KMAX : i - OFDM_KMAX + 1; }

namespace detail {
constexpr std::array<int16_t, OFDM_CARRIERS> make_frequency_interleaving() {
    std::array<int16_t, OFDM_CARRIERS> f{};
    int a = 0, n = 0;
    for (int i = 0; i < OFDM_FFT_SIZE && n < OFDM_CARRIERS; i++) {
        if (i > 0) a = (13 * a + 511) % OFDM_FFT_SIZE;
        if (a >= 256 && a <= 1792 && a != 1024) f[n++] = static_cast<int16_t>(a - 1024);
    }
    return f;
}
}  // namespace detail

// Clause 14.6: QPSK symbol n (0..1535) of a data symbol goes to carrier frequency_interleaving[n]
// (k = -768..768); from A(0) = 0, A(i) = 13 A(i-1) + 511 mod 2048, keeping 256 <= A <= 1792, A != 1024.
inline constexpr std::array<int16_t, OFDM_CARRIERS> frequency_interleaving = detail::make_frequency_interleaving();
static_assert(frequency_interleaving.size() == OFDM_CARRIERS && frequency_interleaving[OFDM_CARRIERS - 1] != 0);

// Clause 14.3.2, table 24: h(i, j).
inline constexpr std::array<std::array<uint8_t, 32>, 4> prs_h = {{
    {0, 2, 0, 0, 0, 0, 1, 1, 2, 0, 0, 0, 2, 2, 1, 1, 0, 2, 0, 0, 0, 0, 1, 1, 2, 0, 0, 0, 2, 2, 1, 1},
    {0, 3, 2, 3, 0, 1, 3, 0, 2, 1, 2, 3, 2, 3, 3, 0, 0, 3, 2, 3, 0, 1, 3, 0, 2, 1, 2, 3, 2, 3, 3, 0},
    {0, 0, 0, 2, 0, 2, 1, 3, 2, 2, 0, 2, 2, 0, 1, 3, 0, 0, 0, 2, 0, 2, 1, 3, 2, 2, 0, 2, 2, 0, 1, 3},
    {0, 1, 2, 1, 0, 3, 3, 2, 2, 3, 2, 1, 2, 1, 3, 2, 0, 1, 2, 1, 0, 3, 3, 2, 2, 3, 2, 1, 2, 1, 3, 2},
}};

// Clause 14.3.2, table 23 (mode I): for each run of 32 carriers from k' = -768, -736, .. -32,
// 1, 33, .. 737, the row i of table 24 and the offset n.
struct prs_run {
    uint8_t i, n;
};
inline constexpr std::array<prs_run, 48> prs_runs = {{
    {0, 1}, {1, 2}, {2, 0}, {3, 1}, {0, 3}, {1, 2}, {2, 2}, {3, 3},  // -768..-513
    {0, 2}, {1, 1}, {2, 2}, {3, 3}, {0, 1}, {1, 2}, {2, 3}, {3, 3},  // -512..-257
    {0, 2}, {1, 2}, {2, 2}, {3, 1}, {0, 1}, {1, 3}, {2, 1}, {3, 2},  // -256..-1
    {0, 3}, {3, 1}, {2, 1}, {1, 1}, {0, 2}, {3, 2}, {2, 1}, {1, 0},  // 1..256
    {0, 2}, {3, 2}, {2, 3}, {1, 3}, {0, 0}, {3, 2}, {2, 1}, {1, 3},  // 257..512
    {0, 3}, {3, 3}, {2, 3}, {1, 0}, {0, 3}, {3, 0}, {2, 1}, {1, 1},  // 513..768
}};
static_assert(prs_runs.size() == OFDM_CARRIERS / 32);

// Phase of carrier k (k != 0, |k| <= 768) in the phase reference symbol, in quarter turns 0..3:
// phi = pi/2 (h(i, k - k') + n). 0 for any other k.
constexpr int prs_quarter_turns(int k) {
    if (k == 0 || k < -OFDM_KMAX || k > OFDM_KMAX) return 0;
    int run = carrier_index(k) / 32;
    int k_first = carrier_of_index(run * 32);
    return (prs_h[prs_runs[run].i][k - k_first] + prs_runs[run].n) % 4;
}

// Unit-magnitude value of each carrier of the phase reference symbol, by carrier_index.
const std::array<std::complex<float>, OFDM_CARRIERS> &prs_carriers();

// Clause 14.5: bits p and p' (0/1) of a QPSK symbol -> ((1 - 2p) + j (1 - 2p')) / sqrt(2).
inline std::complex<float> qpsk(int p_real, int p_imag) {
    constexpr float a = 0.70710678f;
    return {p_real ? -a : a, p_imag ? -a : a};
}

// One data symbol: bits (3072 bytes of 0/1, the first 1536 to the real parts) -> QPSK values
// after frequency interleaving, by carrier_index. Differential modulation comes after:
// z(l, k) = z(l-1, k) y(l, k), starting from prs_carriers().
void map_symbol(const uint8_t *bits, std::complex<float> *carriers);

}  // namespace dabcommon
