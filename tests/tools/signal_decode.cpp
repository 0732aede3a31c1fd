#include "signal_decode.h"

#include <zlib.h>

#include <fstream>
#include <sstream>

#include "common/crc16.h"
#include "common/dab_tables.h"
#include "common/superframe.h"

namespace sigtest {

int for_each_frame(const std::string &path, const std::function<void(const dabcommon::eti_frame &)> &fn) {
    dabcommon::eti_reader r;
    if (!r.open(path.c_str())) return -1;
    auto f = std::make_unique<dabcommon::eti_frame>();
    int n = 0;
    while (r.next(*f) == 1) {
        fn(*f);
        n++;
    }
    return n;
}

std::vector<fig> split_fib(const uint8_t *fib) {
    std::vector<fig> out;
    size_t k = 0;
    while (k < 30 && fib[k] != 0xFF) {
        int type = fib[k] >> 5, len = fib[k] & 0x1F;
        if (k + 1 + static_cast<size_t>(len) > 30) break;
        fig f{type, -1, bytes(fib + k + 1, fib + k + 1 + len)};
        if ((type == 0 || type == 1) && len > 0) f.ext = type == 0 ? (fib[k + 1] & 0x1F) : (fib[k + 1] & 0x07);
        out.push_back(f);
        k += 1 + static_cast<size_t>(len);
    }
    return out;
}

bool parse_data_group(const bytes &g, data_group &out) {
    if (g.size() < 2) return false;
    bool ext = g[0] & 0x80, seg = g[0] & 0x20, ua = g[0] & 0x10;
    out.has_crc = g[0] & 0x40;
    out.type = g[0] & 0x0F;
    out.continuity = g[1] >> 4;
    size_t h = ext ? 4 : 2, end = g.size() - (out.has_crc ? 2 : 0);
    if (out.has_crc) {
        if (g.size() < h + 2) return false;
        out.crc_ok = dabcommon::crc16(g.data(), g.size() - 2) == (g[g.size() - 2] << 8 | g[g.size() - 1]);
    }
    if (seg) {
        if (h + 2 > end) return false;
        out.last = g[h] & 0x80;
        out.segnum = (g[h] & 0x7F) << 8 | g[h + 1];
        h += 2;
    }
    if (ua) {
        if (h + 1 > end) return false;
        int li = g[h] & 0x0F;
        bool tflag = g[h] & 0x10;
        h++;
        if (h + static_cast<size_t>(li) > end) return false;
        if (tflag && li >= 2) out.tid = g[h] << 8 | g[h + 1];
        h += static_cast<size_t>(li);
    }
    out.data.assign(g.begin() + static_cast<long>(h), g.begin() + static_cast<long>(end));
    return true;
}

void packet_reassembler::feed(const uint8_t *frame, size_t len) {
    size_t pos = 0;
    while (pos + 24 <= len) {
        size_t plen = 24u * ((frame[pos] >> 6) + 1u);
        if (pos + plen > len) break;
        const uint8_t *p = frame + pos;
        pos += plen;
        stats.packets++;
        if (dabcommon::crc16(p, plen - 2) != (p[plen - 2] << 8 | p[plen - 1])) {
            stats.crc_errors++;
            continue;
        }
        int ci = p[0] >> 4 & 3, fl = p[0] >> 2 & 3, addr = (p[0] & 3) << 8 | p[1], udl = p[2] & 0x7F;
        if (addr == 0) {
            stats.padding++;
            continue;
        }
        if (static_cast<size_t>(udl) > plen - 5) continue;
        auto it = ci_.find(addr);
        if (it != ci_.end() && ((it->second + 1) & 3) != ci) {
            stats.continuity_breaks++;
            partial_.erase(addr);
        }
        ci_[addr] = ci;
        if (fl & 2) partial_[addr].clear();
        else if (!partial_.count(addr)) continue;
        partial_[addr].insert(partial_[addr].end(), p + 3, p + 3 + udl);
        if (fl & 1) {
            groups[addr].push_back(partial_[addr]);
            partial_.erase(addr);
        }
    }
}

bool gunzip(const bytes &in, bytes &out) {
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return false;
    z.next_in = const_cast<Bytef *>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    uint8_t buf[4096];
    int r;
    do {
        z.next_out = buf;
        z.avail_out = sizeof buf;
        r = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
    } while (r == Z_OK);
    inflateEnd(&z);
    return r == Z_STREAM_END;
}

bytes file_bytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    std::string s = ss.str();
    return bytes(s.begin(), s.end());
}

void mot_collector::header(int, const uint8_t *h, size_t n, pending &p) {
    if (n < 7) return;
    // BodySize(28) HeaderSize(13) ContentType(6) ContentSubType(9)
    p.size = static_cast<uint32_t>(h[0] << 20 | h[1] << 12 | h[2] << 4 | h[3] >> 4);
    size_t hsize = static_cast<size_t>((h[3] & 0x0F) << 9 | h[4] << 1 | h[5] >> 7);
    if (hsize > n) hsize = n;
    size_t k = 7;
    while (k < hsize) {
        int pli = h[k] >> 6, id = h[k] & 0x3F;
        k++;
        size_t len = pli == 0 ? 0 : pli == 1 ? 1 : pli == 2 ? 4 : 0;
        if (pli == 3) {
            if (k >= hsize) break;
            len = h[k] & 0x7F;
            if (h[k] & 0x80) {
                if (k + 1 >= hsize) break;
                len = static_cast<size_t>((h[k] & 0x7F) << 8 | h[k + 1]);
                k++;
            }
            k++;
        }
        if (k + len > hsize) break;
        const uint8_t *d = h + k;
        if (id == 12 && len >= 1) p.name.assign(reinterpret_cast<const char *>(d + 1), len - 1);
        if (id == 17 && len == 1) p.gzip = d[0] == 1;
        if (id == 5 && len == 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 0) p.trigger = true;
        if (id == 34 && len >= 2) directory_index.assign(reinterpret_cast<const char *>(d + 1), len - 1);
        k += len;
    }
}

void mot_collector::complete(int tid) {
    pending &p = pending_[tid];
    bytes body;
    for (auto &s : p.segs) body.insert(body.end(), s.second.begin(), s.second.end());
    if (body.size() != p.size || p.name.empty()) return;
    if (p.gzip) {
        bytes raw;
        if (!gunzip(body, raw)) return;
        body = raw;
    }
    objects[p.name] = body;
    if (p.trigger) triggered++;
    p.segs.clear();
}

void mot_collector::feed(const data_group &g) {
    if (g.has_crc && !g.crc_ok) {
        dg_crc_errors++;
        return;
    }
    if (g.tid < 0 || g.data.size() < 2) return;
    // segmentation header: repetition count(3) segment size(13)
    size_t segsize = static_cast<size_t>((g.data[0] & 0x1F) << 8 | g.data[1]);
    if (segsize + 2 > g.data.size()) return;
    const uint8_t *seg = g.data.data() + 2;
    if (g.type == 3) {
        header(g.tid, seg, segsize, pending_[g.tid]);
    } else if (g.type == 6) {
        // one directory per collector in these tests; collect its segments
        dir_segs_[g.segnum].assign(seg, seg + segsize);
        if (!g.last) return;
        bytes d;
        for (auto &s : dir_segs_) d.insert(d.end(), s.second.begin(), s.second.end());
        if (d.size() < 13) return;
        size_t num = static_cast<size_t>(d[4] << 8 | d[5]), extlen = static_cast<size_t>(d[11] << 8 | d[12]);
        // the directory extension is parsed like a header extension
        bytes fake(7, 0);
        fake[3] = static_cast<uint8_t>((7 + extlen) >> 9 & 0x0F);
        fake[4] = static_cast<uint8_t>((7 + extlen) >> 1);
        fake[5] = static_cast<uint8_t>(((7 + extlen) & 1) << 7);
        if (13 + extlen > d.size()) return;
        fake.insert(fake.end(), d.begin() + 13, d.begin() + 13 + static_cast<long>(extlen));
        pending ignore;
        header(-1, fake.data(), fake.size(), ignore);
        size_t k = 13 + extlen;
        for (size_t i = 0; i < num && k + 9 <= d.size(); i++) {
            int tid = d[k] << 8 | d[k + 1];
            size_t hsize = static_cast<size_t>((d[k + 5] & 0x0F) << 9 | d[k + 6] << 1 | d[k + 7] >> 7);
            if (k + 2 + hsize > d.size()) return;
            header(tid, d.data() + k + 2, hsize, pending_[tid]);
            k += 2 + hsize;
        }
        directory_entries = static_cast<int>(num);
    } else if (g.type == 4) {
        auto it = pending_.find(g.tid);
        if (it == pending_.end() || it->second.name.empty()) return;
        it->second.segs[g.segnum].assign(seg, seg + segsize);
        if (g.last) it->second.last = g.segnum;
        if (it->second.last >= 0 && static_cast<int>(it->second.segs.size()) == it->second.last + 1) complete(g.tid);
    }
}

void pad_decoder::dl_segment(const bytes &s) {
    if (s.size() < 4) return;
    bool c = s[0] & 0x10;
    size_t n = c ? 2 : static_cast<size_t>((s[0] & 0x0F) + 3);
    if (s.size() < n + 2) return;
    if (dabcommon::crc16(s.data(), n) != (s[n] << 8 | s[n + 1])) {
        dl_crc_errors++;
        return;
    }
    if (c) {
        if ((s[0] & 0x0F) == 1) clear_commands++;
        return;
    }
    bool first = s[0] & 0x40, last = s[0] & 0x20;
    int segnum = first ? 0 : (s[1] >> 4 & 7);
    if (first) text_.clear();
    else if (segnum != next_seg_) return;
    text_.append(reinterpret_cast<const char *>(s.data() + 2), n - 2);
    next_seg_ = segnum + 1;
    if (last) {
        labels.push_back(text_);
        next_seg_ = -1;
    }
}

void pad_decoder::subfield(int app, const uint8_t *p, size_t n) {
    switch (app) {
    case 2:
        dl_.assign(p, p + n);
        break;
    case 3:
        dl_.insert(dl_.end(), p, p + n);
        break;
    case 1:
        if (n >= 4) {
            if (dabcommon::crc16(p, 2) != (p[2] << 8 | p[3])) dgli_crc_errors++;
            mot_len_ = static_cast<size_t>((p[0] & 0x3F) << 8 | p[1]);
        }
        mot_.clear();
        return;
    case 12:
        mot_.assign(p, p + n);
        break;
    case 13:
        if (!mot_.empty()) mot_.insert(mot_.end(), p, p + n);
        break;
    default: return;
    }
    if (app == 2 || app == 3) {
        // a segment is complete once its announced length has arrived
        if (dl_.size() >= 2) {
            size_t need = (dl_[0] & 0x10) ? 4 : static_cast<size_t>((dl_[0] & 0x0F) + 5);
            if (dl_.size() >= need) {
                dl_segment(bytes(dl_.begin(), dl_.begin() + static_cast<long>(need)));
                dl_.clear();
            }
        }
    } else if (mot_len_ && mot_.size() >= mot_len_) {
        bytes g(mot_.begin(), mot_.begin() + static_cast<long>(mot_len_));
        data_group dg;
        if (parse_data_group(g, dg)) mot.feed(dg);
        mot_.clear();
        mot_len_ = 0;
    }
}

void pad_decoder::feed_audio_frame(const uint8_t *f, size_t len) {
    if (len < 8) return;
    // ScF-CRC length: 48 kHz needs 4 bytes from 56 kbit/s per channel up, 24 kHz always 4
    bool lsf = !(f[1] & 0x08);
    int idx = f[2] >> 4;
    bool mono = (f[3] >> 6) == 3;
    int rate = lsf ? dabcommon::mpeg2_lsf_bitrates[static_cast<size_t>(idx)]
                   : dabcommon::mpeg1_layer2_bitrates[static_cast<size_t>(idx)];
    size_t crc = lsf || rate / (mono ? 1 : 2) >= 56 ? 4 : 2;
    xpad(f, static_cast<long>(len) - 3 - static_cast<long>(crc), f[len - 2], f[len - 1]);
}

void pad_decoder::feed_pad_field(const uint8_t *p, size_t len) {
    if (len < 2) return;
    xpad(p, static_cast<long>(len) - 3, p[len - 2], p[len - 1]);
}

void pad_decoder::xpad(const uint8_t *f, long x, uint8_t fpad1, uint8_t fpad2) {
    if ((fpad1 >> 4 & 3) != 2 || !(fpad2 & 2)) return;  // variable X-PAD with CI list only
    frames_with_xpad++;
    auto at = [&](long i) { return x - i >= 0 ? f[x - i] : 0; };
    std::vector<std::pair<int, size_t>> cis;
    long k = 0;
    while (cis.size() < 4) {
        uint8_t ci = at(k++);
        if ((ci & 0x1F) == 0) break;
        cis.push_back({ci & 0x1F, dabcommon::xpad_lengths[ci >> 5]});
    }
    for (auto &c : cis) {
        bytes d;
        for (size_t i = 0; i < c.second; i++) d.push_back(at(k++));
        subfield(c.first, d.data(), d.size());
    }
}

uint16_t firecode(const uint8_t *p) {
    // (x^11 + 1)(x^5 + x^3 + x^2 + x + 1), multiplied without carries
    uint32_t g = 0;
    for (int i = 0; i < 6; i++)
        if (0x2F >> i & 1) g ^= (1u << 11 | 1u) << i;
    // remainder of the 72 message bits times x^16, divided by g
    uint32_t r = 0;
    for (int i = 2; i < 11; i++)
        for (int b = 7; b >= 0; b--) {
            r = r << 1 | (p[i] >> b & 1);
            if (r & 1u << 16) r ^= g;
        }
    for (int b = 0; b < 16; b++) {
        r <<= 1;
        if (r & 1u << 16) r ^= g;
    }
    return static_cast<uint16_t>(r);
}

void dabplus_receiver::feed(const uint8_t *frame, size_t len) {
    if (!len || len % 24) return;
    if (len != frame_len_) {
        frame_len_ = len;
        window_.clear();
    }
    window_.insert(window_.end(), frame, frame + len);
    if (window_.size() < 5 * len) return;
    bytes sf(window_.begin(), window_.begin() + static_cast<long>(5 * len));
    dabcommon::sf_rs rs;
    const int fixed = rs.decode(sf.data(), static_cast<int>(len / 24));
    if (firecode(sf.data()) != (sf[0] << 8 | sf[1]) || (sf[3] == 0 && sf[4] == 0)) {
        // not the start of a superframe: slide on by one logical frame
        sync_losses++;
        window_.erase(window_.begin(), window_.begin() + static_cast<long>(len));
        return;
    }
    window_.clear();
    if (fixed < 0) rs_failed++;
    else rs_corrected += fixed;
    superframe(sf.data(), 5 * len);
}

void dabplus_receiver::superframe(uint8_t *sf, size_t len) {
    superframes++;
    header = sf[2];
    // rfa(1) dac_rate(1) sbr_flag(1) ...: AU count and first start by dac_rate and sbr_flag
    static const int num_aus[4] = {4, 2, 6, 3}, first[4] = {8, 5, 11, 6};
    const int f = sf[2] >> 5 & 3;
    std::vector<int> st = {first[f]};
    for (int i = 1; i < num_aus[f]; i++) {
        const int bit = 24 + 12 * (i - 1);
        const int v = (sf[bit / 8] << 8 | sf[bit / 8 + 1]) >> (4 - bit % 8) & 0xFFF;
        st.push_back(v);
    }
    const int data_len = static_cast<int>(len / 120 * 110);
    starts.push_back(st);
    st.push_back(data_len);
    for (size_t i = 0; i + 1 < st.size(); i++) {
        const int a = st[i], b = st[i + 1];
        if (a < first[f] || b > data_len || b - a < 3) {
            au_crc_errors++;
            continue;
        }
        aus++;
        const uint8_t *au = sf + a;
        const size_t n = static_cast<size_t>(b - a - 2);
        if (dabcommon::crc16(au, n) != (au[n] << 8 | au[n + 1])) {
            au_crc_errors++;
            continue;
        }
        au_payloads.emplace_back(au, au + n);
        // data_stream_element first: id 4 (3 bits), tag, align flag, count [+ esc_count]
        if (n >= 2 && au[0] >> 5 == 4) {
            size_t cnt = au[1], off = 2;
            if (cnt == 255 && n >= 3) cnt += au[off++];
            if (off + cnt <= n) pad.feed_pad_field(au + off, cnt);
        }
    }
}

}  // namespace sigtest
