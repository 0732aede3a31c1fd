#pragma once
// DAB+ audio superframes (ETSI TS 102 563): the wire format shared by the server's decoder
// and the signal generator. Five logical frames of 24*s bytes (s = bit rate / 8 kbit/s)
// carry s interleaved RS(120,110) codewords; the first 110*s bytes hold the firecode, the
// header, the AU start table and the access units, each ending in its CRC.
#include <array>
#include <cstddef>
#include <cstdint>

namespace dabcommon {

inline constexpr int SF_LOGICAL_FRAMES = 5;
inline constexpr int SF_BYTES_PER_UNIT = 120;  // superframe bytes per 8 kbit/s
inline constexpr int SF_DATA_PER_UNIT = 110;   // of which RS data
inline constexpr int SF_RS_PARITY = 10;
inline constexpr int SF_MAX_AUS = 6;
// Largest s a subchannel can have: 384 kbit/s.
inline constexpr int SF_MAX_UNITS = 48;
inline constexpr int SF_MAX_BYTES = SF_BYTES_PER_UNIT * SF_MAX_UNITS;

// TS 102 563 clause 5.2, table 2: number of AUs and the header length (firecode, header
// byte, 12-bit AU starts of all but the first) by dac_rate and sbr_flag.
struct sf_format {
    uint8_t num_aus;
    uint8_t header_len;  // also the first AU's start
    uint16_t core_rate;  // AAC core sample rate, Hz
};
inline constexpr std::array<sf_format, 4> sf_formats = {{
    {4, 8, 32000},   // dac_rate 0, sbr 0
    {2, 5, 16000},   // dac_rate 0, sbr 1
    {6, 11, 48000},  // dac_rate 1, sbr 0
    {3, 6, 24000},   // dac_rate 1, sbr 1
}};
static_assert(sf_formats.size() == 4 && sf_formats[2].header_len == 11);

// Byte 2 of a superframe: rfa(1) dac_rate(1) sbr_flag(1) aac_channel_mode(1) ps_flag(1) mpeg_surround_config(3)
struct sf_header {
    int dac_rate = 0;
    int sbr_flag = 0;
    int aac_channel_mode = 0;  // 0 mono, 1 stereo
    int ps_flag = 0;
    int mpeg_surround_config = 0;

    const sf_format &format() const { return sf_formats[static_cast<size_t>((dac_rate & 1) << 1 | (sbr_flag & 1))]; }
    int output_rate() const { return dac_rate ? 48000 : 32000; }
    int channels() const { return aac_channel_mode || ps_flag ? 2 : 1; }
};
sf_header sf_parse_header(uint8_t b);
uint8_t sf_pack_header(const sf_header &h);

// Firecode over bytes 2..10 of a superframe (g(x) = (x^11+1)(x^5+x^3+x^2+x+1), 0x782F,
// init 0, no inversion): it equals bytes 0..1 in a superframe's first logical frame.
uint16_t sf_firecode(const uint8_t *p);
// The firecode holds and the window is not all zero in its AU start table (which passes it).
bool sf_sync(const uint8_t *p, size_t len);

// AU starts of a superframe whose RS data is len bytes (110*s): fills starts[0..n] with the
// n AUs' start offsets and starts[n] = len, so AU i is [starts[i], starts[i+1]). Returns n, or
// 0 when the table is not strictly increasing within the data or an AU cannot hold its CRC.
int sf_au_starts(const uint8_t *p, size_t len, std::array<int, SF_MAX_AUS + 1> &starts);

// One AU [p, p+len) ends in its CRC-16 (CCITT, init 0xFFFF, inverted) over the rest.
bool sf_au_crc_ok(const uint8_t *p, size_t len);

// RS(120,110) over the s interleaved columns of a superframe (shortened RS(255,245), field
// 0x11D, first root 0, primitive element 2). One codec a thread: libfec's is not reentrant
// for the same handle.
class sf_rs {
public:
    sf_rs();
    ~sf_rs();
    sf_rs(const sf_rs &) = delete;
    sf_rs &operator=(const sf_rs &) = delete;

    // Corrects a superframe of 120*s bytes in place. Returns the bytes corrected, or -1
    // when a codeword was beyond repair (the others are still corrected).
    int decode(uint8_t *sf, int s);
    // Writes the parity of a superframe whose first 110*s bytes are filled.
    void encode(uint8_t *sf, int s);

private:
    void *rs_;
};

}  // namespace dabcommon
