#include "support/rdi_unpack.h"

#include <cstdio>

namespace rdiunpack {
namespace {

void crunch20(uint8_t *dst, const uint32_t *src) {
    dst[0] = static_cast<uint8_t>(src[0] >> 16);
    dst[1] = static_cast<uint8_t>(src[0] >> 8);
    dst[2] = static_cast<uint8_t>((src[0] & 0xF0) | ((src[1] >> 20) & 0x0F));
    dst[3] = static_cast<uint8_t>(src[1] >> 12);
    dst[4] = static_cast<uint8_t>(src[1] >> 4);
}

void crunch22(uint8_t *dst, const uint32_t *src) {
    uint8_t bits[88];
    for (int w = 0; w < 4; w++)
        for (int b = 0; b < 22; b++) bits[w * 22 + b] = (src[w] >> (23 - b)) & 1;
    for (int i = 0; i < 11; i++) {
        dst[i] = 0;
        for (int b = 0; b < 8; b++) dst[i] = static_cast<uint8_t>(dst[i] << 1 | bits[i * 8 + b]);
    }
}

std::string hex(uint32_t w) {
    char s[16];
    std::snprintf(s, sizeof s, "%08x", w);
    return s;
}

}  // namespace

uint32_t lrev(uint32_t w) {
    uint32_t r = 0;
    for (int i = 0; i < 24; i++)
        if (w & (1u << i)) r |= 1u << (23 - i);
    return r;
}

result unpack(const std::vector<uint32_t> &words, const std::function<size_t(int)> &frame_bytes) {
    result r;
    size_t i = 0;
    auto next = [&](uint32_t &w) {
        while (i < words.size()) {
            w = words[i++];
            if (w & 0xFF000000u) r.faults.push_back("bits 24-31 set: " + hex(w));
            if (w != 0) return true;
            r.zero_words++;
        }
        return false;
    };
    auto data_word = [&](uint32_t &w) {
        if (!next(w)) return false;
        int t = w & 0xF;
        if (t == 1 || t == 13) r.faults.push_back("data word looks like a header: " + hex(w));
        if ((w & 3) == 0) r.faults.push_back("data word ends the frame: " + hex(w));
        return true;
    };
    uint32_t w;
    while (next(w)) {
        int type = w & 0xF;
        bool fic = w & 0x10;
        if (type == 1 && fic) {
            fic_frame f;
            uint32_t d[12];
            int n = 0;
            while (n < 12 && data_word(d[n])) n++;
            uint32_t status = 0;
            if (n < 12 || !next(status)) break;
            f.data.resize(30);
            for (int k = 0; k < 6; k++) crunch20(f.data.data() + 5 * k, d + 2 * k);
            f.crc_error = status & 0x40;
            r.fic.push_back(f);
        } else if ((type == 1 || type == 13) && !fic) {
            msc_frame m;
            m.subchid = static_cast<int>((lrev(w) >> 12) & 63);
            m.len = static_cast<int>(lrev(w) & 0x7FF);
            m.bits22 = type == 13;
            m.fic_before = r.fic.size();
            size_t size = frame_bytes(m.subchid);
            size_t group = m.bits22 ? 11 : 5, nwords = m.bits22 ? 4 : 2;
            size_t groups = (size + group - 1) / group;
            m.data.resize(groups * group);
            bool complete = true;
            for (size_t g = 0; g < groups && complete; g++) {
                uint32_t d[4];
                for (size_t k = 0; k < nwords && complete; k++) complete = data_word(d[k]);
                if (!complete) break;
                if (m.bits22)
                    crunch22(m.data.data() + g * group, d);
                else
                    crunch20(m.data.data() + g * group, d);
            }
            if (!complete) break;
            m.data.resize(size);
            r.msc.push_back(m);
        } else {
            r.faults.push_back("expected a header word: " + hex(w));
        }
    }
    return r;
}

std::vector<uint32_t> from_bytes(const std::string &bytes) {
    std::vector<uint32_t> w(bytes.size() / 4);
    for (size_t i = 0; i < w.size(); i++) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes.data()) + 4 * i;
        w[i] = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
               static_cast<uint32_t>(p[3]) << 24;
    }
    return w;
}

}  // namespace rdiunpack
