#include "pad.h"

#include "common/crc16.h"
#include "common/dab_tables.h"
#include "fig.h"

namespace dabgen {
namespace {

void append_crc(bytes &b) {
    uint16_t crc = dabcommon::crc16(b.data(), b.size());
    b.push_back(static_cast<uint8_t>(crc >> 8));
    b.push_back(static_cast<uint8_t>(crc));
}

// UTF-8 text to EBU Latin bytes, at most max characters.
bytes ebu_text(const std::string &text, size_t max) {
    bytes out;
    for (size_t i = 0; i < text.size() && out.size() < max;) {
        // reuse the label conversion one character at a time
        size_t n = (static_cast<uint8_t>(text[i]) >= 0xC0 && i + 1 < text.size()) ? 2 : 1;
        uint8_t c[16];
        ebu_label(text.substr(i, n), c);
        out.push_back(c[0]);
        i += n;
    }
    return out;
}

// Smallest sub-field length holding want bytes, else the largest that fits; 0 if none fits.
int subfield_length(size_t want, int avail) {
    int best = 0;
    for (uint8_t l : dabcommon::xpad_lengths) {
        if (l > avail) break;
        best = l;
        if (l >= want) break;
    }
    return best;
}

int length_indicator(int len) {
    for (size_t i = 0; i < dabcommon::xpad_lengths.size(); i++)
        if (dabcommon::xpad_lengths[i] == len) return static_cast<int>(i);
    return 0;
}

}  // namespace

std::vector<bytes> dl_segments(const std::string &text, bool toggle) {
    bytes chars = ebu_text(text, 128);
    if (chars.empty()) chars.push_back(' ');
    std::vector<bytes> segs;
    size_t nseg = (chars.size() + 15) / 16;
    for (size_t i = 0; i < nseg; i++) {
        size_t off = i * 16, n = chars.size() - off < 16 ? chars.size() - off : 16;
        bytes s;
        // Toggle(1) First(1) Last(1) C(1) Length-1(4) | charset(4) or rfa(1) SegNum(3), rfa(4)
        s.push_back(static_cast<uint8_t>((toggle ? 0x80 : 0) | (i == 0 ? 0x40 : 0) | (i + 1 == nseg ? 0x20 : 0) |
                                         ((n - 1) & 0x0F)));
        s.push_back(static_cast<uint8_t>(i == 0 ? 0x00 : (i & 7) << 4));
        s.insert(s.end(), chars.begin() + static_cast<long>(off), chars.begin() + static_cast<long>(off + n));
        append_crc(s);
        segs.push_back(s);
    }
    return segs;
}

bytes dl_clear(bool toggle) {
    // C flag set, command 0001: remove label
    bytes s = {static_cast<uint8_t>((toggle ? 0x80 : 0) | 0x10 | 0x01), 0x00};
    append_crc(s);
    return s;
}

bytes dg_length_indicator(size_t dg_len) {
    bytes b = {static_cast<uint8_t>(dg_len >> 8 & 0x3F), static_cast<uint8_t>(dg_len)};
    append_crc(b);
    return b;
}

std::array<uint8_t, 2> fpad_bytes(bool xpad) {
    // F-PAD type 00, X-PAD indicator (10: variable size), byte L indicator 0; then the byte L
    // data field, CI flag (contents indicators present) and Z
    if (!xpad) return {0x00, 0x00};
    return {0x20, 0x02};
}

bytes dabplus_pad(const bytes &xpad) {
    bytes out(xpad.rbegin(), xpad.rend());
    const auto f = fpad_bytes(!xpad.empty());
    out.insert(out.end(), f.begin(), f.end());
    return out;
}

bytes xpad_encoder::fill(size_t capacity) {
    struct sub {
        int app;
        bytes data;
    };
    std::vector<sub> subs;
    int data_used = 0;
    int cap = static_cast<int>(capacity);
    // room for one more sub-field's data, counting its CI and the end marker
    auto avail = [&]() {
        int n = static_cast<int>(subs.size()) + 1;
        return cap - n - (n < 4 ? 1 : 0) - data_used;
    };
    auto take = [&](stream &s, int app_first, int app_cont) {
        const bytes &dg = s.q.front();
        size_t want = dg.size() - s.off;
        int len = subfield_length(want, avail());
        if (!len) return false;
        size_t n = want < static_cast<size_t>(len) ? want : static_cast<size_t>(len);
        sub f{s.off == 0 ? app_first : app_cont, bytes(dg.begin() + static_cast<long>(s.off),
                                                       dg.begin() + static_cast<long>(s.off + n))};
        f.data.resize(static_cast<size_t>(len), 0);
        subs.push_back(f);
        data_used += len;
        s.off += n;
        if (s.off >= dg.size()) {
            s.q.pop_front();
            s.off = 0;
            s.dgli_sent = false;
        }
        return true;
    };

    // one label sub-field per frame at most, the rest for MOT
    if (!dl_.q.empty()) take(dl_, XPAD_DL_START, XPAD_DL_CONT);
    while (!mot_.q.empty() && subs.size() < 4) {
        if (!mot_.dgli_sent && mot_.off == 0) {
            if (avail() < 4) break;
            subs.push_back({XPAD_DGLI, dg_length_indicator(mot_.q.front().size())});
            data_used += 4;
            mot_.dgli_sent = true;
            continue;
        }
        if (!take(mot_, XPAD_MOT_START, XPAD_MOT_CONT)) break;
    }
    if (subs.empty()) return {};
    bytes x;
    for (const auto &f : subs) x.push_back(static_cast<uint8_t>(length_indicator(static_cast<int>(f.data.size())) << 5 | f.app));
    if (subs.size() < 4) x.push_back(0x00);
    for (const auto &f : subs) x.insert(x.end(), f.data.begin(), f.data.end());
    return x;
}

}  // namespace dabgen
