#include "common/rdi_framer.h"

#include <algorithm>
#include <cstring>

#include "common/crc16.h"

namespace dabcommon {
namespace {

// Bits [pos, pos + n) of a byte string, most significant bit first (n <= 24).
uint32_t get_bits(const uint8_t *p, size_t pos, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++, pos++) v = v << 1 | ((p[pos >> 3] >> (7 - (pos & 7))) & 1u);
    return v;
}

int dab_mode(int mid) { return mid == 0 ? 4 : mid; }

}  // namespace

uint32_t rdi_lrev(uint32_t w) {
    uint32_t r = 0;
    for (int i = 0; i < 24; i++)
        if (w & (1u << i)) r |= 1u << (23 - i);
    return r;
}

uint32_t rdi_fic_header(int fib_index, int mode) {
    // lrev(w): mode in bits 16-14, FIB number in bits 13-10
    uint32_t l = static_cast<uint32_t>(mode & 7) << 14 | static_cast<uint32_t>(fib_index & 15) << 10;
    return rdi_lrev(l) | RDI_FIC_FLAG | RDI_TYPE_20BIT;
}

uint32_t rdi_msc_header(int subchid, size_t len, int packing) {
    // lrev(w): sub-channel in bits 17-12, length in bits 10-0
    uint32_t l = static_cast<uint32_t>(subchid & 63) << 12 | static_cast<uint32_t>(std::min<size_t>(len, RDI_MAX_LEN));
    return rdi_lrev(l) | static_cast<uint32_t>(packing == 20 ? RDI_TYPE_20BIT : RDI_TYPE_22BIT);
}

size_t rdi_packed_words(size_t len, int packing) {
    return packing == 20 ? (len + 4) / 5 * 2 : (len + 10) / 11 * 4;
}

size_t rdi_unpack20(uint8_t *dst, const uint32_t *src, size_t n) {
    for (size_t i = 0; i < n; i++) {
        // Data bits 23-4 of each word, most significant first.
        const uint32_t w0 = src[2 * i], w1 = src[2 * i + 1];
        uint8_t *d = dst + 5 * i;
        d[0] = static_cast<uint8_t>(w0 >> 16);
        d[1] = static_cast<uint8_t>(w0 >> 8);
        d[2] = static_cast<uint8_t>((w0 & 0xF0) | ((w1 >> 20) & 0x0F));
        d[3] = static_cast<uint8_t>(w1 >> 12);
        d[4] = static_cast<uint8_t>(w1 >> 4);
    }
    return 5 * n;
}

size_t rdi_unpack22(uint8_t *dst, const uint32_t *src, size_t n) {
    for (size_t i = 0; i < n; i++) {
        // 4 x 22 data bits (bits 23-2) = 88 bits = 11 bytes: the first 64 in one word, the last 24 after.
        const uint64_t a = (src[4 * i] >> 2) & 0x3FFFFF, b = (src[4 * i + 1] >> 2) & 0x3FFFFF;
        const uint64_t c = (src[4 * i + 2] >> 2) & 0x3FFFFF, d = (src[4 * i + 3] >> 2) & 0x3FFFFF;
        const uint64_t hi = a << 42 | b << 20 | c >> 2;
        const uint32_t lo = static_cast<uint32_t>((c & 3) << 22 | d);
        uint8_t *o = dst + 11 * i;
        for (int k = 0; k < 8; k++) o[k] = static_cast<uint8_t>(hi >> (56 - 8 * k));
        o[8] = static_cast<uint8_t>(lo >> 16);
        o[9] = static_cast<uint8_t>(lo >> 8);
        o[10] = static_cast<uint8_t>(lo);
    }
    return 11 * n;
}

void rdi_pack(const uint8_t *p, size_t len, int packing, std::vector<uint32_t> &out) {
    const size_t group = packing == 20 ? 5 : 11;
    const int words = packing == 20 ? 2 : 4;
    const int bits = packing == 20 ? 20 : 22;
    const int shift = 24 - bits;
    uint8_t g[11];
    for (size_t i = 0; i < len; i += group) {
        size_t n = std::min(group, len - i);
        std::memset(g, 0, sizeof g);
        std::memcpy(g, p + i, n);
        for (int k = 0; k < words; k++)
            out.push_back(get_bits(g, static_cast<size_t>(k * bits), bits) << shift | RDI_DATA_FLAGS);
    }
}

void rdi_fic_frame(const uint8_t *fib, int fib_index, int mode, std::vector<uint32_t> &out) {
    out.push_back(rdi_fic_header(fib_index, mode));
    rdi_pack(fib, FIB_DATA_SIZE, 20, out);
    uint16_t crc = static_cast<uint16_t>(fib[FIB_DATA_SIZE] << 8 | fib[FIB_DATA_SIZE + 1]);
    bool ok = crc16(fib, FIB_DATA_SIZE) == crc;
    out.push_back(RDI_DATA_FLAGS | (ok ? 0 : RDI_FIC_CRC_ERROR));
}

void rdi_to_bytes(const uint32_t *w, size_t n, std::vector<uint8_t> &out) {
    out.reserve(out.size() + 4 * n);
    for (size_t i = 0; i < n; i++) {
        out.push_back(static_cast<uint8_t>(w[i]));
        out.push_back(static_cast<uint8_t>(w[i] >> 8));
        out.push_back(static_cast<uint8_t>(w[i] >> 16));
        out.push_back(static_cast<uint8_t>(w[i] >> 24));
    }
}

size_t rdi_framer::frame(const eti_frame &f, const std::bitset<64> &routed, std::vector<uint32_t> &out) {
    size_t before = out.size();
    for (int i = 0; i < f.fib_count(); i++) rdi_fic_frame(f.fib(i), i, dab_mode(f.mid), out);
    for (int i = 0; i < f.nst; i++) {
        const eti_stream &s = f.stc[static_cast<size_t>(i)];
        if (s.len == 0 || !routed.test(static_cast<size_t>(s.scid))) continue;
        out.push_back(rdi_msc_header(s.scid, s.len, packing_));
        rdi_pack(f.stream_data(i), s.len, packing_, out);
    }
    frames_++;
    words_ += out.size() - before;
    if (filler_) {
        uint64_t target = frames_ * RDI_FILL_WORDS_NUM / RDI_FILL_WORDS_DEN;
        // A frame too big for its share is not cut; later frames catch up.
        if (words_ < target) {
            out.insert(out.end(), static_cast<size_t>(target - words_), 0u);
            words_ = target;
        }
    }
    return out.size() - before;
}

}  // namespace dabcommon
