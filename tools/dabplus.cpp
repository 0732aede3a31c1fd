#include "dabplus.h"

#include <cstring>

#include "common/crc16.h"

namespace dabgen {

using dabcommon::SF_BYTES_PER_UNIT;
using dabcommon::SF_DATA_PER_UNIT;

namespace {

constexpr int au_start_max = 0xFFF;

// Shares of the RS data the AUs of one superframe get: as even as whole bytes allow.
std::vector<size_t> au_shares(const dabcommon::sf_format &f, int s) {
    std::vector<size_t> shares;
    size_t remaining = static_cast<size_t>(SF_DATA_PER_UNIT * s - f.header_len);
    for (int i = 0; i < f.num_aus; i++) {
        const size_t share = remaining / static_cast<size_t>(f.num_aus - i);
        shares.push_back(share);
        remaining -= share;
    }
    return shares;
}

}  // namespace

bool sf_build(const dabcommon::sf_header &h, int s, const std::vector<bytes> &aus, uint32_t broken_crcs,
              dabcommon::sf_rs &rs, uint8_t *out) {
    if (s < 1 || s > dabcommon::SF_MAX_UNITS) return false;
    const dabcommon::sf_format &f = h.format();
    if (aus.size() != static_cast<size_t>(f.num_aus)) return false;
    std::vector<size_t> starts;
    size_t pos = f.header_len;
    for (const bytes &au : aus) {
        if (au.empty()) return false;
        starts.push_back(pos);
        pos += au.size() + 2;
    }
    const size_t data_len = static_cast<size_t>(SF_DATA_PER_UNIT * s);
    if (pos != data_len || starts.back() > au_start_max) return false;

    memset(out, 0, static_cast<size_t>(SF_BYTES_PER_UNIT * s));
    out[2] = dabcommon::sf_pack_header(h);
    // au_start[1..n-1], 12 bits each from byte 3, then 4 zero bits when their count is odd
    for (size_t i = 1; i < starts.size(); i++) {
        const size_t bit = (i - 1) * 12, b = 3 + bit / 8;
        const auto v = static_cast<unsigned>(starts[i]);
        if (bit % 8 == 0) {
            out[b] = static_cast<uint8_t>(v >> 4);
            out[b + 1] = static_cast<uint8_t>((v & 0x0F) << 4);
        } else {
            out[b] = static_cast<uint8_t>(out[b] | v >> 8);
            out[b + 1] = static_cast<uint8_t>(v);
        }
    }
    for (size_t i = 0; i < aus.size(); i++) {
        uint8_t *p = out + starts[i];
        memcpy(p, aus[i].data(), aus[i].size());
        uint16_t crc = dabcommon::crc16(p, aus[i].size());
        if (i < 32 && (broken_crcs >> i & 1)) crc = static_cast<uint16_t>(~crc);
        p[aus[i].size()] = static_cast<uint8_t>(crc >> 8);
        p[aus[i].size() + 1] = static_cast<uint8_t>(crc);
    }
    // the firecode covers bytes 2..10, which hold AU bytes in the formats with short headers
    const uint16_t fire = dabcommon::sf_firecode(out);
    out[0] = static_cast<uint8_t>(fire >> 8);
    out[1] = static_cast<uint8_t>(fire);
    rs.encode(out, s);
    return true;
}

void sf_corrupt(uint8_t *sf, int s, int errors, uint32_t salt) {
    if (errors > SF_BYTES_PER_UNIT) errors = SF_BYTES_PER_UNIT;
    for (int c = 0; c < s; c++) {
        for (int j = 0; j < errors; j++) {
            // 37 is prime to 120: distinct rows for distinct j
            const auto row = static_cast<size_t>((salt * 7u + static_cast<uint32_t>(c) * 13u + static_cast<uint32_t>(j) * 37u) % 120u);
            sf[static_cast<size_t>(c) + static_cast<size_t>(s) * row] ^= static_cast<uint8_t>((0x5A + j + c) % 255 + 1);
        }
    }
}

bool dabplus_encoder::init(int bitrate, int sample_rate, bool sbr, bool stereo, bool ps, std::string &err) {
    if (bitrate < 8 || bitrate % 8 || bitrate / 8 > dabcommon::SF_MAX_UNITS) {
        err = "DAB+ bit rate must be a multiple of 8 kbit/s up to 384";
        return false;
    }
    if (sample_rate != 48000 && sample_rate != 32000) {
        err = "DAB+ sample rate must be 48000 or 32000";
        return false;
    }
    if (ps && (!sbr || stereo)) {
        err = "parametric stereo needs sbr 1 and a mono core (mode mono)";
        return false;
    }
    s_ = bitrate / 8;
    h_ = dabcommon::sf_header();
    h_.dac_rate = sample_rate == 48000;
    h_.sbr_flag = sbr;
    h_.aac_channel_mode = stereo;
    h_.ps_flag = ps;
    const std::vector<size_t> shares = au_shares(h_.format(), s_);
    size_t last_start = h_.format().header_len;
    for (size_t i = 0; i + 1 < shares.size(); i++) last_start += shares[i];
    if (last_start > au_start_max) {
        err = "bit rate too high for DAB+ at this sample rate: AU starts need more than 12 bits";
        return false;
    }
    return enc_.init(core_rate(), stereo ? 2 : 1, err);
}

size_t dabplus_encoder::min_au_size() const {
    const std::vector<size_t> shares = au_shares(h_.format(), s_);
    return shares.front() - 2;  // the first share is the smallest
}

bool dabplus_encoder::encode(const int16_t *pcm, const std::vector<bytes> &pads, uint32_t broken_crcs, uint8_t *out) {
    const int n = num_aus();
    if (!s_ || (!pads.empty() && pads.size() != static_cast<size_t>(n))) return false;
    const std::vector<size_t> shares = au_shares(h_.format(), s_);
    std::vector<bytes> aus(static_cast<size_t>(n));
    const size_t step = static_cast<size_t>(aac_encoder::frame_length * channels());
    for (size_t i = 0; i < aus.size(); i++) {
        const bytes *pad = pads.empty() ? nullptr : &pads[i];
        if (!enc_.encode(pcm + i * step, pad, shares[i] - 2, aus[i])) return false;
    }
    return sf_build(h_, s_, aus, broken_crcs, rs_, out);
}

}  // namespace dabgen
