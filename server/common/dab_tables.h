#pragma once
// Tables of EN 300 401 shared by the broadcast decoders and the signal tools.
#include <array>
#include <cstdint>

namespace dabcommon {

// EN 300 401 / EN 50248 channel raster as the receiver module numbers it (kHz): 0-22 L-band
// LA..LW, 23-60 Band III 5A..13F, then three unnamed VHF band I entries.
inline constexpr std::array<int, 64> dabfreq = {
    1452960, 1454672, 1456384, 1458096, 1459808, 1461520, 1463232, 1464944,  // LA..LH
    1466656, 1468368, 1470080, 1471792, 1473504, 1475216, 1476928, 1478640,  // LI..LP
    1480352, 1482064, 1483776, 1485488, 1487200, 1488912, 1490624,           // LQ..LW
    174928,  176640,  178352,  180064,                                       // 5A..5D
    181936,  183648,  185360,  187072,                                       // 6A..6D
    188928,  190640,  192352,  194064,                                       // 7A..7D
    195936,  197648,  199360,  201072,                                       // 8A..8D
    202928,  204640,  206352,  208064,                                       // 9A..9D
    209936,  211648,  213360,  215072,                                       // 10A..10D
    216928,  218640,  220352,  222064,                                       // 11A..11D
    223936,  225648,  227360,  229072,                                       // 12A..12D
    230784,  232496,  234208,  235776,  237488,  239200,                     // 13A..13F
    82300,   84000,   85700,
};
static_assert(dabfreq.size() == 64 && dabfreq[22] == 1490624 && dabfreq[23] == 174928 && dabfreq[60] == 239200);

// The A channel of each Band III block 5..13.
inline constexpr std::array<int, 9> band3 = {174928, 181936, 188928, 195936, 202928, 209936, 216928, 223936, 230784};

inline constexpr int BAND3_FIRST = 174928;   // 5A
inline constexpr int BAND3_LAST = 239200;    // 13F
inline constexpr int LBAND_FIRST = 1452960;  // LA
inline constexpr int LBAND_LAST = 1490624;   // LW
inline constexpr int CHANNEL_NAME_SIZE = 8;  // "13f" or "lw" and the terminator, with room to spare
// Indices into dabfreq.
inline constexpr int LBAND_INDEX_FIRST = 0;
inline constexpr int LBAND_INDEX_LAST = 22;
inline constexpr int BAND3_INDEX_FIRST = 23;
inline constexpr int BAND3_INDEX_LAST = 60;
inline constexpr int LBAND_SPACING_KHZ = 1712;

struct uep_entry {
    uint16_t size;      // capacity units
    uint8_t level;      // protection level 1..5
    uint16_t bitrate;   // kbit/s
};

// EN 300 401 clause 6.2.1, table 8: UEP sub-channel sizes by short-form table index.
inline constexpr std::array<uep_entry, 64> uep_table = {{
    {16, 5, 32},   {21, 4, 32},   {24, 3, 32},   {29, 2, 32},   {35, 1, 32},
    {24, 5, 48},   {29, 4, 48},   {35, 3, 48},   {42, 2, 48},   {52, 1, 48},
    {29, 5, 56},   {35, 4, 56},   {42, 3, 56},   {52, 2, 56},
    {32, 5, 64},   {42, 4, 64},   {48, 3, 64},   {58, 2, 64},   {70, 1, 64},
    {40, 5, 80},   {52, 4, 80},   {58, 3, 80},   {70, 2, 80},   {84, 1, 80},
    {48, 5, 96},   {58, 4, 96},   {70, 3, 96},   {84, 2, 96},   {104, 1, 96},
    {58, 5, 112},  {70, 4, 112},  {84, 3, 112},  {104, 2, 112},
    {64, 5, 128},  {84, 4, 128},  {96, 3, 128},  {116, 2, 128}, {140, 1, 128},
    {80, 5, 160},  {104, 4, 160}, {116, 3, 160}, {140, 2, 160}, {168, 1, 160},
    {96, 5, 192},  {116, 4, 192}, {140, 3, 192}, {168, 2, 192}, {208, 1, 192},
    {116, 5, 224}, {140, 4, 224}, {168, 3, 224}, {208, 2, 224}, {232, 1, 224},
    {128, 5, 256}, {168, 4, 256}, {192, 3, 256}, {232, 2, 256}, {280, 1, 256},
    {160, 5, 320}, {208, 4, 320}, {280, 2, 320},
    {192, 5, 384}, {280, 3, 384}, {416, 1, 384},
}};
static_assert(uep_table.size() == 64);

// EN 300 401 clause 6.2.1, tables 9 and 10: EEP capacity units per bit-rate unit.
// Set A (option 0): n x 8 kbit/s take n x {12, 8, 6, 4} CUs for levels 1A..4A.
// Set B (option 1): n x 32 kbit/s take n x {27, 21, 18, 15} CUs for levels 1B..4B.
inline constexpr std::array<uint8_t, 4> eep_a_cu_per_8k = {12, 8, 6, 4};
inline constexpr std::array<uint8_t, 4> eep_b_cu_per_32k = {27, 21, 18, 15};
static_assert(eep_a_cu_per_8k.size() == 4 && eep_b_cu_per_32k.size() == 4);

// Capacity of the main service channel in transmission mode I, in CUs.
inline constexpr int msc_capacity_cu = 864;

// EN 300 401 clause 7.4.3: X-PAD data sub-field lengths by length indicator.
inline constexpr std::array<uint8_t, 8> xpad_lengths = {4, 6, 8, 12, 16, 24, 32, 48};
static_assert(xpad_lengths.size() == 8);

// ISO/IEC 11172-3 and 13818-3: Layer II bit rates (kbit/s) by bit-rate index (0 = free format).
inline constexpr std::array<uint16_t, 15> mpeg1_layer2_bitrates = {0, 32, 48, 56, 64, 80, 96, 112,
                                                                   128, 160, 192, 224, 256, 320, 384};
inline constexpr std::array<uint16_t, 15> mpeg2_lsf_bitrates = {0, 8, 16, 24, 32, 40, 48, 56,
                                                                64, 80, 96, 112, 128, 144, 160};
static_assert(mpeg1_layer2_bitrates.size() == 15 && mpeg2_lsf_bitrates.size() == 15);

// EN 300 401 annex C (EBU Latin based repertoire) to ISO/IEC 8859-1 for bytes 0x80..0xFF,
// with the nearest plain letter where 8859-1 has no equivalent.
inline constexpr std::array<uint8_t, 128> ebu_latin_to_iso = {{
    0xE1, 0xE0, 0xE9, 0xE8, 0xED, 0xEC, 0xF3, 0xF2, 0xFA, 0xF9, 0xD1, 0xC7, 0x53, 0xDF, 0xA1, 0x49,
    0xE2, 0xE4, 0xEA, 0xEB, 0xEE, 0xEF, 0xF4, 0xF6, 0xFB, 0xFC, 0xF1, 0xE7, 0x73, 0x67, 0x69, 0x69,
    0xAA, 0x61, 0xA9, 0xA0, 0x47, 0x65, 0x6E, 0xF6, 0x70, 0x43, 0xA3, 0x24, 0x3C, 0x5E, 0x3E, 0x76,
    0xBA, 0xB9, 0xB2, 0xB3, 0xB1, 0x49, 0x6E, 0xFC, 0xB5, 0xBF, 0xF7, 0xB0, 0xBC, 0xBD, 0xBE, 0xA7,
    0xC1, 0xC0, 0xC9, 0xC8, 0xCD, 0xCC, 0xD3, 0xD2, 0xDA, 0xD9, 0x52, 0x43, 0x53, 0x5A, 0xD0, 0x4C,
    0xC2, 0xC4, 0xCA, 0xCB, 0xCE, 0xCF, 0xD4, 0xD6, 0xDB, 0xDC, 0x72, 0x63, 0x73, 0x7A, 0xF0, 0x6C,
    0xC3, 0xC5, 0xC6, 0x4F, 0xFD, 0xDD, 0xD5, 0xD8, 0xDE, 0x6E, 0x52, 0x43, 0x53, 0x5A, 0xB1, 0xF0,
    0xE3, 0xE5, 0xE6, 0x6F, 0x77, 0xFD, 0xF5, 0xF8, 0xFE, 0x6E, 0x72, 0x63, 0x73, 0x7A, 0xA0, 0xA0,
}};
static_assert(ebu_latin_to_iso.size() == 128);

// Short-form table index for a bit rate and UEP level, or -1.
int uep_index(int bitrate, int level);

// EEP sub-channel size in CUs (option 0 = set A, 1 = set B; level 1..4), or -1 when the
// bit rate is not allowed for that set.
int eep_size(int option, int level, int bitrate);

// Bit rate of a long-form sub-channel, as a receiver derives it from FIG 0/1.
int eep_bitrate(int option, int level, int size);

// Bit-rate index of a Layer II header for the given rate, or -1 (lsf: 24/22.05/16 kHz table).
int layer2_bitrate_index(int bitrate, bool lsf);

// Channel name ("5A".."13F", "LA".."LW") to centre frequency in kHz, or -1.
// Frequency of a channel named exactly ("12C", "la", "10N"); -1 for any other name.
int channel_frequency_khz(const char *name);

}  // namespace dabcommon
