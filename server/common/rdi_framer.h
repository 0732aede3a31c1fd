#pragma once
// Turns ETI frames into the receiver's RDI word stream: per 24 ms frame one FIC frame
// per FIB and one MSC frame per routed sub-channel, in 20- or 22-bit packing.

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/eti_reader.h"

namespace dabcommon {

constexpr int RDI_TYPE_20BIT = 1;
constexpr int RDI_TYPE_22BIT = 13;
constexpr uint32_t RDI_FIC_FLAG = 0x10;
constexpr uint32_t RDI_FIC_CRC_ERROR = 0x40;  // in the FIC status word
constexpr int RDI_FIB_WORDS = 12;             // 30 bytes in 20-bit packing
constexpr int RDI_MAX_LEN = 0x7FF;
// The reader replays 64 KiB blocks at 160 ms each: 16384 words per 20/3 frames.
constexpr uint64_t RDI_FILL_WORDS_NUM = 12288;
constexpr uint64_t RDI_FILL_WORDS_DEN = 5;

// Flag bits of data words: bits 3-0 never 1 or 13 and bits 1-0 never 0, so that no data
// word looks like a header word or an early end of frame.
constexpr uint32_t RDI_DATA_FLAGS = 0x2;

// The 24 low bits reversed (bit 0 <-> bit 23).
uint32_t rdi_lrev(uint32_t w);

// Header words. The MSC length field carries the frame's byte count (cut to 11 bits).
uint32_t rdi_fic_header(int fib_index, int mode);
uint32_t rdi_msc_header(int subchid, size_t len, int packing);

// Appends the data words of len bytes; the last group is padded with zero bytes.
// 20-bit packing: 2 words per 5 bytes; 22-bit packing: 4 words per 11 bytes.
void rdi_pack(const uint8_t *p, size_t len, int packing, std::vector<uint32_t> &out);
size_t rdi_packed_words(size_t len, int packing);

// The inverse of rdi_pack for whole groups: n word pairs into 5 bytes each (20-bit) or
// n groups of four words into 11 bytes each (22-bit). Return the bytes written.
size_t rdi_unpack20(uint8_t *dst, const uint32_t *src, size_t n);
size_t rdi_unpack22(uint8_t *dst, const uint32_t *src, size_t n);

// Header, 12 data words and the status word of one FIB (32 bytes incl. CRC).
void rdi_fic_frame(const uint8_t *fib, int fib_index, int mode, std::vector<uint32_t> &out);

// 32-bit little-endian units, as the device delivers them.
void rdi_to_bytes(const uint32_t *w, size_t n, std::vector<uint8_t> &out);

class rdi_framer {
public:
    // packing 20 or 22; with filler every frame is padded with zero words so that the
    // stream carries 160 ms per 64 KiB.
    explicit rdi_framer(int packing = 22, bool filler = false) : packing_(packing == 20 ? 20 : 22), filler_(filler) {}

    void set_packing(int packing) { packing_ = packing == 20 ? 20 : 22; }
    int packing() const { return packing_; }
    void reset() { frames_ = words_ = 0; }

    // Appends the words of one frame: FIC always, MSC for streams whose sub-channel
    // is set in routed. Returns the number of words appended.
    size_t frame(const eti_frame &f, const std::bitset<64> &routed, std::vector<uint32_t> &out);

private:
    int packing_;
    bool filler_;
    uint64_t frames_ = 0;
    uint64_t words_ = 0;
};

}  // namespace dabcommon
