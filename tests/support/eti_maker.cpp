#include "support/eti_maker.h"

#include <cstdio>
#include <stdexcept>

#include "common/crc16.h"
#include "common/eti_reader.h"

namespace etimaker {
namespace {

void put16(std::vector<uint8_t> &v, unsigned x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

}  // namespace

std::vector<uint8_t> fib(const std::vector<uint8_t> &figs, bool bad_crc) {
    std::vector<uint8_t> b(figs.begin(), figs.end());
    b.resize(30, 0xFF);
    uint16_t crc = dabcommon::crc16(b.data(), 30);
    if (bad_crc) crc = static_cast<uint16_t>(~crc);
    put16(b, crc);
    return b;
}

std::vector<uint8_t> fig0_1(int scid, int sad, int n) {
    // FIG type 0, length 5: C/N OE P/D ext=1, then SubChId StartAddr L=1 Option=0 Level=2 Size
    int size = 6 * n;
    return {0x05, 0x01, static_cast<uint8_t>(scid << 2 | sad >> 8), static_cast<uint8_t>(sad),
            static_cast<uint8_t>(0x80 | 0x02 << 2 | size >> 8), static_cast<uint8_t>(size)};
}

std::vector<uint8_t> frame(int fct, const std::vector<uint8_t> &fic, const std::vector<sub> &subs, bool padded) {
    std::vector<uint8_t> f;
    f.push_back(0xFF);
    uint32_t fsync = (fct & 1) ? dabcommon::ETI_FSYNC1 : dabcommon::ETI_FSYNC0;
    f.push_back(static_cast<uint8_t>(fsync >> 16));
    put16(f, fsync & 0xFFFF);
    int nst = static_cast<int>(subs.size());
    int fic_words = static_cast<int>(fic.size() / 4);
    int fl = nst + 1 + fic_words;
    for (auto &s : subs) fl += static_cast<int>(s.data.size() / 4);
    size_t fc_start = f.size();
    f.push_back(static_cast<uint8_t>(fct));
    f.push_back(static_cast<uint8_t>((fic.empty() ? 0 : 0x80) | nst));
    f.push_back(static_cast<uint8_t>((fct % 8) << 5 | 1 << 3 | fl >> 8));
    f.push_back(static_cast<uint8_t>(fl));
    for (auto &s : subs) {
        int stl = static_cast<int>(s.data.size() / 8);
        f.push_back(static_cast<uint8_t>(s.scid << 2 | s.sad >> 8));
        f.push_back(static_cast<uint8_t>(s.sad));
        f.push_back(static_cast<uint8_t>(s.tpl << 2 | stl >> 8));
        f.push_back(static_cast<uint8_t>(stl));
    }
    put16(f, 0x1234);  // MNSC
    put16(f, dabcommon::crc16(f.data() + fc_start, f.size() - fc_start));
    size_t mst_start = f.size();
    f.insert(f.end(), fic.begin(), fic.end());
    for (auto &s : subs) f.insert(f.end(), s.data.begin(), s.data.end());
    put16(f, dabcommon::crc16(f.data() + mst_start, f.size() - mst_start));
    put16(f, 0xFFFF);
    put16(f, 0xFFFF);  // TIST: none
    put16(f, 0xFFFF);
    if (padded) f.resize(dabcommon::ETI_FRAME_SIZE, 0x55);
    return f;
}

std::vector<uint8_t> pattern(int scid, int fct, size_t len) {
    std::vector<uint8_t> d(len);
    for (size_t i = 0; i < len; i++) d[i] = static_cast<uint8_t>(i * 7 + fct * 13 + scid * 31);
    return d;
}

std::vector<uint8_t> stream(int n, const std::vector<sub_spec> &subs, bool padded, int first_fct) {
    std::vector<uint8_t> out;
    for (int k = 0; k < n; k++) {
        int fct = (first_fct + k) % 250;
        std::vector<uint8_t> fic;
        for (int b = 0; b < 3; b++) {
            std::vector<uint8_t> figs;
            if (b == 0)
                for (auto &s : subs) {
                    auto g = fig0_1(s.scid, s.sad, s.stl / 3);
                    if (figs.size() + g.size() <= 30) figs.insert(figs.end(), g.begin(), g.end());
                }
            // FIG 0/0 with the CIF count: EId(16) Change(2) AlFlag(1) CIFCount(13)
            if (b < 2 && figs.size() + 6 <= 30) {
                const uint8_t g[] = {0x05, 0x00, 0xE1, 0x23, static_cast<uint8_t>((fct >> 8) & 0x1F),
                                     static_cast<uint8_t>(fct)};
                figs.insert(figs.end(), g, g + sizeof g);
            }
            auto x = fib(figs);
            fic.insert(fic.end(), x.begin(), x.end());
        }
        std::vector<sub> ss;
        for (auto &s : subs) ss.push_back({s.scid, s.sad, 0x22, pattern(s.scid, fct, static_cast<size_t>(s.stl) * 8)});
        auto f = frame(fct, fic, ss, padded);
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

void write(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

}  // namespace etimaker
