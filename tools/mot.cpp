#include "mot.h"

#include <algorithm>
#include <cstring>

#include "common/crc16.h"
#include "fig.h"

namespace dabgen {

bytes msc_data_group(const dg_params &p, const uint8_t *data, size_t len) {
    bytes g;
    // Extension(1) CRC(1) Segment(1) UserAccess(1) Type(4) | Continuity(4) Repetition(4)
    bool ua = p.session;
    g.push_back(static_cast<uint8_t>((p.crc ? 0x40 : 0) | (p.session ? 0x20 : 0) | (ua ? 0x10 : 0) | (p.type & 0x0F)));
    g.push_back(static_cast<uint8_t>((p.continuity & 0x0F) << 4 | (p.repetition & 0x0F)));
    if (p.session) {
        // Last(1) SegmentNumber(15) | rfa(3) TransportIdFlag(1) LengthIndicator(4) TransportId(16)
        g.push_back(static_cast<uint8_t>((p.last ? 0x80 : 0) | (p.segnum >> 8 & 0x7F)));
        g.push_back(static_cast<uint8_t>(p.segnum));
        if (p.transport_id >= 0) {
            g.push_back(0x10 | 2);
            g.push_back(static_cast<uint8_t>(p.transport_id >> 8));
            g.push_back(static_cast<uint8_t>(p.transport_id));
        } else {
            g.push_back(0);
        }
    }
    g.insert(g.end(), data, data + len);
    if (p.crc) {
        uint16_t crc = dabcommon::crc16(g.data(), g.size());
        if (p.corrupt_crc) crc ^= 0xA5A5;
        g.push_back(static_cast<uint8_t>(crc >> 8));
        g.push_back(static_cast<uint8_t>(crc));
    }
    return g;
}

bytes mot_param(int id, const bytes &data) {
    bytes p;
    // PLI(2) ParamId(6); PLI 3: Ext(1) DataFieldLength(7 or 15)
    p.push_back(static_cast<uint8_t>(0xC0 | (id & 0x3F)));
    if (data.size() < 128) {
        p.push_back(static_cast<uint8_t>(data.size()));
    } else {
        p.push_back(static_cast<uint8_t>(0x80 | (data.size() >> 8 & 0x7F)));
        p.push_back(static_cast<uint8_t>(data.size()));
    }
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

bytes mot_param_int(int id, uint32_t value, int width) {
    bytes p;
    if (width == 0) {
        p.push_back(static_cast<uint8_t>(id & 0x3F));
    } else if (width == 1) {
        p.push_back(static_cast<uint8_t>(0x40 | (id & 0x3F)));
        p.push_back(static_cast<uint8_t>(value));
    } else {
        p.push_back(static_cast<uint8_t>(0x80 | (id & 0x3F)));
        for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<uint8_t>(value >> s));
    }
    return p;
}

bytes mot_content_name(const std::string &name) {
    bytes d;
    d.push_back(0x00);  // character set: EBU Latin
    d.insert(d.end(), name.begin(), name.end());
    return mot_param(12, d);
}

bytes mot_content_label(const std::string &label) {
    // character set, 16 characters, character flag field
    bytes d(19, 0);
    ebu_label(label, d.data() + 1);
    d[17] = 0xFF;
    d[18] = 0x00;
    return mot_param(11, d);
}

bytes mot_trigger_now() {
    // TriggerTime: validity flag 0, i.e. at once
    return mot_param_int(5, 0, 4);
}

bytes mot_header(uint32_t body_size, int ct_type, int ct_subtype, const bytes &extension) {
    uint32_t hsize = static_cast<uint32_t>(7 + extension.size());
    bytes h(hsize);
    // BodySize(28) HeaderSize(13) ContentType(6) ContentSubType(9)
    h[0] = static_cast<uint8_t>(body_size >> 20);
    h[1] = static_cast<uint8_t>(body_size >> 12);
    h[2] = static_cast<uint8_t>(body_size >> 4);
    h[3] = static_cast<uint8_t>((body_size & 0x0F) << 4 | (hsize >> 9 & 0x0F));
    h[4] = static_cast<uint8_t>(hsize >> 1);
    h[5] = static_cast<uint8_t>((hsize & 1) << 7 | (ct_type & 0x3F) << 1 | (ct_subtype >> 8 & 1));
    h[6] = static_cast<uint8_t>(ct_subtype);
    std::copy(extension.begin(), extension.end(), h.begin() + 7);
    return h;
}

bytes mot_directory(const std::vector<mot_dir_entry> &entries, int carousel_period, int segment_size,
                    const bytes &extension) {
    bytes d(13);
    for (const auto &e : entries) {
        d.push_back(static_cast<uint8_t>(e.transport_id >> 8));
        d.push_back(static_cast<uint8_t>(e.transport_id));
        d.insert(d.end(), e.header.begin(), e.header.end());
    }
    d.insert(d.begin() + 13, extension.begin(), extension.end());
    uint32_t size = static_cast<uint32_t>(d.size());
    // rfu(2) DirectorySize(30) NumberOfObjects(16) DataCarouselPeriod(24)
    // rfu(1) rfa(2) SegmentSize(13) DirectoryExtensionLength(16)
    d[0] = static_cast<uint8_t>(size >> 24 & 0x3F);
    d[1] = static_cast<uint8_t>(size >> 16);
    d[2] = static_cast<uint8_t>(size >> 8);
    d[3] = static_cast<uint8_t>(size);
    d[4] = static_cast<uint8_t>(entries.size() >> 8);
    d[5] = static_cast<uint8_t>(entries.size());
    d[6] = static_cast<uint8_t>(carousel_period >> 16);
    d[7] = static_cast<uint8_t>(carousel_period >> 8);
    d[8] = static_cast<uint8_t>(carousel_period);
    d[9] = static_cast<uint8_t>(segment_size >> 8 & 0x1F);
    d[10] = static_cast<uint8_t>(segment_size);
    d[11] = static_cast<uint8_t>(extension.size() >> 8);
    d[12] = static_cast<uint8_t>(extension.size());
    return d;
}

void make_packet(uint8_t *out, int plen, int address, int ci, int first_last, const uint8_t *data, int udl) {
    // Length(2) CI(2) First/Last(2) Address(10) | Command(1) UsefulDataLength(7)
    int code = plen / 24 - 1;
    out[0] = static_cast<uint8_t>(code << 6 | (ci & 3) << 4 | (first_last & 3) << 2 | (address >> 8 & 3));
    out[1] = static_cast<uint8_t>(address);
    out[2] = static_cast<uint8_t>(udl & 0x7F);
    if (udl) memcpy(out + 3, data, static_cast<size_t>(udl));
    memset(out + 3 + udl, 0, static_cast<size_t>(plen - 5 - udl));
    uint16_t crc = dabcommon::crc16(out, static_cast<size_t>(plen - 2));
    out[plen - 2] = static_cast<uint8_t>(crc >> 8);
    out[plen - 1] = static_cast<uint8_t>(crc);
}

bool packet_encoder::next(uint8_t *out, int max_len, int &len) {
    if (queue_.empty() || max_len < 24) return false;
    const bytes &dg = queue_.front();
    size_t left = dg.size() - offset_;
    int plen = size_ <= max_len ? size_ : max_len / 24 * 24;
    // a short remainder goes into the smallest packet that holds it
    while (plen > 24 && left <= static_cast<size_t>(plen - 24 - 5)) plen -= 24;
    int udl = static_cast<int>(left < static_cast<size_t>(plen - 5) ? left : plen - 5);
    int fl = (offset_ == 0 ? 2 : 0) | (left == static_cast<size_t>(udl) ? 1 : 0);
    make_packet(out, plen, address_, ci_, fl, dg.data() + offset_, udl);
    ci_ = (ci_ + 1) & 3;
    offset_ += static_cast<size_t>(udl);
    if (offset_ >= dg.size()) {
        queue_.pop_front();
        offset_ = 0;
    }
    len = plen;
    return true;
}

namespace {
uint32_t sum16(const uint8_t *p, size_t n, uint32_t s) {
    for (size_t i = 0; i + 1 < n; i += 2) s += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1) s += static_cast<uint32_t>(p[n - 1] << 8);
    return s;
}
uint16_t fold(uint32_t s) {
    while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
    return static_cast<uint16_t>(~s);
}
}  // namespace

bytes ipv4_udp(uint32_t src, uint32_t dst, int sport, int dport, int ttl, int ident, const bytes &payload) {
    size_t udp_len = 8 + payload.size(), total = 20 + udp_len;
    bytes d(total, 0);
    d[0] = 0x45;
    d[2] = static_cast<uint8_t>(total >> 8);
    d[3] = static_cast<uint8_t>(total);
    d[4] = static_cast<uint8_t>(ident >> 8);
    d[5] = static_cast<uint8_t>(ident);
    d[6] = 0x40;  // don't fragment
    d[8] = static_cast<uint8_t>(ttl);
    d[9] = 17;
    for (int i = 0; i < 4; i++) {
        d[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
        d[16 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
    }
    uint16_t hc = fold(sum16(d.data(), 20, 0));
    d[10] = static_cast<uint8_t>(hc >> 8);
    d[11] = static_cast<uint8_t>(hc);
    uint8_t *u = d.data() + 20;
    u[0] = static_cast<uint8_t>(sport >> 8);
    u[1] = static_cast<uint8_t>(sport);
    u[2] = static_cast<uint8_t>(dport >> 8);
    u[3] = static_cast<uint8_t>(dport);
    u[4] = static_cast<uint8_t>(udp_len >> 8);
    u[5] = static_cast<uint8_t>(udp_len);
    if (!payload.empty()) memcpy(u + 8, payload.data(), payload.size());
    // pseudo header: addresses, protocol, UDP length
    uint32_t s = sum16(d.data() + 12, 8, 0) + 17 + static_cast<uint32_t>(udp_len);
    uint16_t uc = fold(sum16(u, udp_len, s));
    if (uc == 0) uc = 0xFFFF;
    u[6] = static_cast<uint8_t>(uc >> 8);
    u[7] = static_cast<uint8_t>(uc);
    return d;
}

}  // namespace dabgen
