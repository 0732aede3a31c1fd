// DAB+ subchannels: superframes built here from AU payloads go through the decoder, which must
// hand back exactly the good AUs as LOAS frames and one PAD record per AU.

#include "datapath/dabplus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "common/crc16.h"

using namespace dabcommon;

namespace {

using bytes = std::vector<uint8_t>;

// AUs and header length by dac_rate * 2 + sbr_flag (TS 102 563, superframe header).
constexpr int au_count[4] = {4, 2, 6, 3};
constexpr int header_length[4] = {8, 5, 11, 6};

bytes pattern(size_t n, int seed) {
    bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(i * 13 + static_cast<size_t>(seed) * 31 + 1);
    return b;
}

struct superframe {
    bytes sf;
    std::vector<bytes> aus;    // payloads without CRC, the last one lengthened to fill the RS data
    std::vector<int> starts;
};

// Header byte 2, the AU payloads; AUs listed in bad_crc get a wrong CRC (RS protects it as sent).
superframe build(int s, uint8_t header, std::vector<bytes> aus, std::vector<int> bad_crc = {}) {
    const int format = header >> 5 & 3;
    EXPECT_EQ(static_cast<int>(aus.size()), au_count[format]);
    superframe r;
    r.sf.assign(static_cast<size_t>(120 * s), 0);
    const int data = 110 * s;
    int pos = header_length[format];
    for (size_t i = 0; i < aus.size(); i++) {
        if (i + 1 == aus.size()) aus[i].resize(static_cast<size_t>(data - pos - 2), 0);
        r.starts.push_back(pos);
        std::copy(aus[i].begin(), aus[i].end(), r.sf.begin() + pos);
        pos += static_cast<int>(aus[i].size());
        uint16_t crc = crc16(aus[i].data(), aus[i].size());
        if (std::count(bad_crc.begin(), bad_crc.end(), static_cast<int>(i))) crc ^= 0x0100;
        r.sf[static_cast<size_t>(pos)] = static_cast<uint8_t>(crc >> 8);
        r.sf[static_cast<size_t>(pos) + 1] = static_cast<uint8_t>(crc);
        pos += 2;
    }
    EXPECT_EQ(pos, data);
    r.sf[2] = header;
    for (size_t i = 1; i < r.starts.size(); i++) {
        const size_t bit = (i - 1) * 12, b = 3 + bit / 8;
        const int v = r.starts[i];
        if (bit % 8 == 0) {
            r.sf[b] = static_cast<uint8_t>(v >> 4);
            r.sf[b + 1] |= static_cast<uint8_t>((v & 0xF) << 4);
        } else {
            r.sf[b] |= static_cast<uint8_t>(v >> 8);
            r.sf[b + 1] = static_cast<uint8_t>(v);
        }
    }
    const uint16_t fc = sf_firecode(r.sf.data());
    r.sf[0] = static_cast<uint8_t>(fc >> 8);
    r.sf[1] = static_cast<uint8_t>(fc);
    sf_rs().encode(r.sf.data(), s);
    r.aus = aus;
    return r;
}

// n AUs of assorted sizes that fit the superframe.
superframe numbered(int s, uint8_t header, int seed) {
    const int n = au_count[header >> 5 & 3];
    std::vector<bytes> aus;
    for (int i = 0; i < n; i++) {
        aus.push_back(pattern(static_cast<size_t>(80 * s / n + i * 3), seed * 10 + i));
        aus.back()[0] = 0x21;  // a channel pair element: no PAD
    }
    return build(s, header, aus);
}

struct recorder : dabplus_sink {
    std::vector<bytes> loas, pads;
    void loas_frame(const uint8_t *p, int len) override { loas.emplace_back(p, p + len); }
    void pad_record(const uint8_t *p, int len) override { pads.emplace_back(p, p + len); }
};

// Feeds the logical frames of a superframe from first on, each from a buffer of its exact size.
void feed(dabplus_decoder &d, recorder &r, const bytes &sf, int s, int first = 0) {
    for (int k = first; k < 5; k++) {
        const bytes frame(sf.begin() + 24 * s * k, sf.begin() + 24 * s * (k + 1));
        d.feed(frame.data(), static_cast<int>(frame.size()), r);
    }
}

// The payload of a LOAS frame read field by field; asc_bits of the AudioSpecificConfig
// are compared with asc. Empty when any field is not as written.
bytes loas_payload(const bytes &f, uint32_t asc, int asc_bits) {
    size_t bit = 0;
    auto get = [&](int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; i++, bit++) v = v << 1 | (bit / 8 < f.size() ? f[bit / 8] >> (7 - bit % 8) & 1 : 0);
        return v;
    };
    if (get(11) != 0x2B7 || get(13) + 3 != f.size()) return {};
    // useSameStreamMux, audioMuxVersion, allStreamsSameTimeFraming, numSubFrames, numProgram, numLayer
    if (get(3) != 1 || get(13) != 0 || get(asc_bits) != asc) return {};
    // frameLengthType, latmBufferFullness, otherDataPresent, crcCheckPresent
    if (get(3) != 0 || get(8) != 0xFF || get(2) != 0) return {};
    size_t len = 0;
    for (uint32_t t = 255; t == 255;) len += t = get(8);
    bytes p;
    for (size_t i = 0; i < len; i++) p.push_back(static_cast<uint8_t>(get(8)));
    if ((f.size() * 8 - bit) >= 8 || get(static_cast<int>(f.size() * 8 - bit)) != 0) return {};
    return p;
}

uint64_t v(const std::atomic<uint64_t> &a) { return a.load(); }

const bytes empty_pad = [] {
    bytes b(32, 0);
    b[0] = 0xFF;
    b[1] = 0xF0;
    b[4] = 32;
    return b;
}();

}  // namespace

TEST(dabplus, loas_frames_written_by_hand) {
    // LOAS: syncword 0x2B7 = 010 1011 0111, audioMuxLengthBytes (13), then the AudioMuxElement:
    //   useSameStreamMux 0, audioMuxVersion 0, allStreamsSameTimeFraming 1, numSubFrames 000000,
    //   numProgram 0000, numLayer 000                     -> 0010 0000 0000 0000 = 20 00
    //   ASC AAC LC, 48 kHz, stereo: AOT 00010, index 0011, channels 0010, frameLengthFlag 1,
    //   dependsOnCoreCoder 0, extensionFlag 0             -> 0001 0001 1001 0100 = 11 94
    //   frameLengthType 000, latmBufferFullness 1111 1111, otherDataPresent 0, crcCheckPresent 0,
    //   length 0000 0011, AB CD EF, three fill bits:
    //   0001 1111 | 1110 0000 | 0001 1101 | 0101 1110 | 0110 1111 | 0111 1000 = 1F E0 1D 5E 6F 78
    //   77 bits: 10 bytes -> 0 0000 0000 1010 after the syncword: 56 E0 0A.
    // SBR: ASC AOT 00101, core 24 kHz 0110, channels 0010, output 48 kHz 0011, AOT 00010, 100
    //   (25 bits) -> 2B 11 8A then 0 before 000 1111 1111 0 0, ...: 86 bits, 11 bytes.
    const uint8_t p[3] = {0xAB, 0xCD, 0xEF};
    const struct {
        const char *what;
        uint8_t header;
        bytes frame;
    } cases[] = {
        {"AAC LC 48 kHz stereo", 0x50, {0x56, 0xE0, 0x0A, 0x20, 0x00, 0x11, 0x94, 0x1F, 0xE0, 0x1D, 0x5E, 0x6F, 0x78}},
        {"SBR 24 to 48 kHz stereo", 0x70,
         {0x56, 0xE0, 0x0B, 0x20, 0x00, 0x2B, 0x11, 0x8A, 0x0F, 0xF0, 0x0E, 0xAF, 0x37, 0xBC}},
    };
    for (const auto &c : cases) {
        uint8_t out[64];
        const int n = loas_frame(sf_parse_header(c.header), p, 3, out, sizeof out);
        EXPECT_EQ(bytes(out, out + n), c.frame) << c.what;
        EXPECT_EQ(loas_frame(sf_parse_header(c.header), p, 3, out, static_cast<int>(c.frame.size()) - 1), 0) << c.what;
    }
    // 300 bytes: lengths 255 and 45 (1111 1111, 0010 1101); 61 bits of AudioMuxElement before the payload.
    const bytes zeros(300, 0);
    std::vector<uint8_t> out(400);
    ASSERT_EQ(loas_frame(sf_parse_header(0x50), zeros.data(), 300, out.data(), 400), 311);
    EXPECT_EQ(bytes(out.begin(), out.begin() + 11), bytes({0x56, 0xE1, 0x34, 0x20, 0x00, 0x11, 0x94, 0x1F, 0xE7, 0xF9, 0x68}));
    // audioMuxLengthBytes has 13 bits.
    const bytes huge(8200, 0);
    out.resize(9000);
    EXPECT_EQ(loas_frame(sf_parse_header(0x50), huge.data(), 8200, out.data(), 9000), 0);
}

TEST(dabplus, audio_specific_config_by_hand) {
    const struct {
        const char *what;
        uint8_t header;
        bytes asc;
    } cases[] = {
        {"LC 48 kHz stereo: 00010 0011 0010 100", 0x50, {0x11, 0x94}},
        {"LC 32 kHz mono: 00010 0101 0001 100", 0x00, {0x12, 0x8C}},
        {"SBR 24/48 stereo: 00101 0110 0010 0011 00010 100", 0x70, {0x2B, 0x11, 0x8A, 0x00}},
        {"SBR 16/32 mono: 00101 1000 0001 0101 00010 100", 0x20, {0x2C, 0x0A, 0x8A, 0x00}},
        {"PS: mono core, channels 0001", 0x68, {0x2B, 0x09, 0x8A, 0x00}},
        {"MPEG Surround and rfa bits ignored", 0xD7, {0x11, 0x94}},
    };
    for (const auto &c : cases) {
        uint8_t out[4] = {};
        const int n = dabplus_asc(sf_parse_header(c.header), out, 4);
        EXPECT_EQ(bytes(out, out + n), c.asc) << c.what;
        EXPECT_EQ(dabplus_asc(sf_parse_header(c.header), out, n - 1), 0) << c.what;
    }
}

TEST(dabplus, every_au_of_each_format_arrives_once) {
    const struct {
        const char *what;
        int s;
        uint8_t header;
        uint32_t asc;
        int asc_bits;
    } cases[] = {
        {"LC 32 kHz mono, 4 AUs: 00010 0101 0001 100", 3, 0x00, 0x128C, 16},
        {"SBR 16/32 kHz stereo, 2 AUs: 00101 1000 0010 0101 00010 100", 4, 0x30, 0x582514, 25},
        {"LC 48 kHz stereo, 6 AUs: 00010 0011 0010 100", 12, 0x50, 0x1194, 16},
        {"SBR 24/48 kHz mono with PS, 3 AUs: 00101 0110 0001 0011 00010 100", 6, 0x68, 0x561314, 25},
        {"the largest subchannel", SF_MAX_UNITS, 0x50, 0x1194, 16},
    };
    for (const auto &c : cases) {
        dabplus_counters cnt;
        dabplus_decoder d(&cnt);
        d.reset(c.s);
        recorder r;
        std::vector<bytes> sent;
        for (int k = 0; k < 3; k++) {
            const superframe f = numbered(c.s, c.header, k);
            sent.insert(sent.end(), f.aus.begin(), f.aus.end());
            feed(d, r, f.sf, c.s);
        }
        ASSERT_EQ(r.loas.size(), sent.size()) << c.what;
        for (size_t i = 0; i < sent.size(); i++) EXPECT_EQ(loas_payload(r.loas[i], c.asc, c.asc_bits), sent[i]) << c.what << i;
        EXPECT_EQ(std::count(r.pads.begin(), r.pads.end(), empty_pad), static_cast<long>(sent.size())) << c.what;
        EXPECT_TRUE(d.in_sync()) << c.what;
        ASSERT_TRUE(d.has_format()) << c.what;
        EXPECT_EQ(sf_pack_header(d.format()), c.header) << c.what;
        EXPECT_EQ(v(cnt.superframes), 3u) << c.what;
        EXPECT_EQ(v(cnt.aus), sent.size()) << c.what;
        EXPECT_EQ(v(cnt.rs_corrected) + v(cnt.rs_uncorrectable) + v(cnt.au_crc_errors) + v(cnt.sync_losses) +
                      v(cnt.bad_superframes),
                  0u)
            << c.what;
    }
}

TEST(dabplus, broken_aus_are_dropped_and_counted) {
    const int s = 6;
    const std::vector<bytes> aus = {pattern(100, 1), pattern(150, 2), pattern(120, 3), {}};
    const uint32_t asc = 0x1294;  // LC 32 kHz stereo: 00010 0101 0010 100
    const struct {
        const char *what;
        std::vector<int> bad_crc;
        std::vector<int> column_errors;  // byte offsets of errors, all in one codeword (column 1)
        std::vector<size_t> delivered;
        uint64_t uncorrectable;
    } cases[] = {
        // AUs with their CRCs: [8, 110) [110, 262) [262, 384) [384, 660), parity to 720;
        // column 1 is every byte whose offset is 1 modulo 6.
        {"CRC of AU 1 wrong as sent", {1}, {}, {0, 2, 3}, 0},
        {"six errors in AU 1: beyond RS, AU 1 lost", {}, {115, 151, 175, 199, 223, 259}, {0, 2, 3}, 1},
        {"six errors in AUs 0 and 3", {}, {13, 25, 49, 385, 505, 649}, {1, 2}, 1},
        {"five errors, header among them", {}, {1, 7, 121, 403, 709}, {0, 1, 2, 3}, 0},
    };
    for (const auto &c : cases) {
        dabplus_counters cnt;
        dabplus_decoder d(&cnt);
        d.reset(s);
        recorder r;
        const superframe f = build(s, 0x10, aus, c.bad_crc);
        bytes sf = f.sf;
        for (int o : c.column_errors) sf[static_cast<size_t>(o)] ^= 0xA5;
        // A good superframe first, so that sync does not depend on the broken one.
        feed(d, r, numbered(s, 0x10, 9).sf, s);
        r.loas.clear();
        r.pads.clear();
        feed(d, r, sf, s);
        ASSERT_EQ(r.loas.size(), c.delivered.size()) << c.what;
        for (size_t i = 0; i < c.delivered.size(); i++)
            EXPECT_EQ(loas_payload(r.loas[i], asc, 16), f.aus[c.delivered[i]]) << c.what << i;
        EXPECT_EQ(r.pads.size(), 4u) << c.what;
        EXPECT_EQ(v(cnt.au_crc_errors), 4 - c.delivered.size()) << c.what;
        EXPECT_EQ(v(cnt.rs_uncorrectable), c.uncorrectable) << c.what;
        EXPECT_EQ(v(cnt.sync_losses), 0u) << c.what;
        EXPECT_TRUE(d.in_sync()) << c.what;
    }
}

namespace {

// An AU that starts with a data stream element of count data bytes carrying the PAD: the X-PAD
// (given in broadcast order) stored backwards, then F-PAD bytes L-1 and L; audio bytes after it.
bytes dse_au(int count, const bytes &xpad, uint8_t fpad_l1, uint8_t fpad_l) {
    // id_syn_ele 100, element_instance_tag 0000, data_byte_align_flag 0
    bytes au = {0x80};
    if (count < 255) {
        au.push_back(static_cast<uint8_t>(count));
    } else {
        au.push_back(255);
        au.push_back(static_cast<uint8_t>(count - 255));
    }
    // Filler that reads as contents indicators of 48 bytes, should the X-PAD be looked for elsewhere.
    bytes data(static_cast<size_t>(count), 0xE7);
    for (size_t i = 0; i < xpad.size(); i++) data[static_cast<size_t>(count) - 3 - i] = xpad[i];
    data[static_cast<size_t>(count) - 2] = fpad_l1;
    data[static_cast<size_t>(count) - 1] = fpad_l;
    au.insert(au.end(), data.begin(), data.end());
    const bytes audio(30, 0x21);
    au.insert(au.end(), audio.begin(), audio.end());
    return au;
}

bytes record(uint8_t fpad_l, uint8_t fpad_l1, const bytes &xpad) {
    bytes r = {0xFF, 0xF0, 0x00, 0x00, static_cast<uint8_t>(8 + xpad.size()), 0x00, fpad_l, fpad_l1};
    r.insert(r.end(), xpad.begin(), xpad.end());
    return r;
}

// Contents indicator: length index 2 (8 bytes), application 12 (MOT start); end marker; data.
const bytes mot_start = {0x4C, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};

}  // namespace

TEST(dabplus, pad_from_data_stream_elements_of_any_length) {
    const struct {
        const char *what;
        int count;
    } cases[] = {
        {"count 254", 254},
        {"count 255: esc_count 0", 255},
        {"count 302: 255 + esc_count 47", 302},
    };
    for (const auto &c : cases) {
        dabplus_counters cnt;
        dabplus_decoder d(&cnt);
        d.reset(8);
        recorder r;
        feed(d, r, build(8, 0x20, {dse_au(c.count, mot_start, 0x20, 0x02), {}}).sf, 8);
        ASSERT_EQ(r.pads.size(), 2u) << c.what;
        EXPECT_EQ(r.pads[0], record(0x02, 0x20, mot_start)) << c.what;
        EXPECT_EQ(r.pads[1], empty_pad) << c.what;
        EXPECT_EQ(r.loas.size(), 2u) << c.what;
        EXPECT_EQ(v(cnt.pad_errors), 0u) << c.what;
    }
}

TEST(dabplus, contents_indicators_outlive_an_au_without_pad) {
    dabplus_counters cnt;
    dabplus_decoder d(&cnt);
    d.reset(8);
    recorder r;
    const bytes cont = pattern(10, 7);
    // MOT start; an AU without DSE; a continuation (no CI flag) of the same 10 bytes.
    feed(d, r, build(8, 0x60, {dse_au(20, mot_start, 0x20, 0x02), {0x00, 0x11, 0x22}, dse_au(14, cont, 0x20, 0x00)}).sf, 8);
    ASSERT_EQ(r.pads.size(), 3u);
    EXPECT_EQ(r.pads[0], record(0x02, 0x20, mot_start));
    EXPECT_EQ(r.pads[1], empty_pad);
    EXPECT_EQ(r.pads[2], record(0x00, 0x20, cont));
}

TEST(dabplus, data_stream_elements_past_their_au_give_no_pad) {
    const struct {
        const char *what;
        bytes au;
    } cases[] = {
        {"count 200 in 100 bytes", [] { bytes b = {0x80, 200}; b.resize(100, 0x20); return b; }()},
        {"count 255 + 200 in 300 bytes", [] { bytes b = {0x80, 255, 200}; b.resize(300, 0x20); return b; }()},
        {"count 255 without esc_count", {0x80, 0xFF}},
        {"count 3 in 4 bytes", {0x80, 3, 0x20, 0x02}},
    };
    for (const auto &c : cases) {
        dabplus_counters cnt;
        dabplus_decoder d(&cnt);
        d.reset(8);
        recorder r;
        feed(d, r, build(8, 0x60, {c.au, dse_au(20, mot_start, 0x20, 0x02), {}}).sf, 8);
        ASSERT_EQ(r.pads.size(), 3u) << c.what;
        EXPECT_EQ(r.pads[0], empty_pad) << c.what;
        EXPECT_EQ(r.pads[1], record(0x02, 0x20, mot_start)) << c.what;
        EXPECT_EQ(r.loas.size(), 3u) << c.what;
        EXPECT_EQ(v(cnt.pad_errors), 1u) << c.what;
    }
}

TEST(dabplus, sync_found_in_the_middle_of_a_superframe) {
    for (int first = 1; first < 5; first++) {
        dabplus_counters cnt;
        dabplus_decoder d(&cnt);
        d.reset(4);
        recorder r;
        std::vector<bytes> sent;
        for (int k = 0; k < 4; k++) {
            const superframe f = numbered(4, 0x50, k);
            if (k) sent.insert(sent.end(), f.aus.begin(), f.aus.end());
            feed(d, r, f.sf, 4, k ? 0 : first);
        }
        ASSERT_EQ(r.loas.size(), sent.size()) << first;
        for (size_t i = 0; i < sent.size(); i++) EXPECT_EQ(loas_payload(r.loas[i], 0x1194, 16), sent[i]) << first;
        EXPECT_EQ(v(cnt.superframes), 3u) << first;
        EXPECT_EQ(v(cnt.sync_losses), 0u) << first;
    }
}

TEST(dabplus, sync_regained_after_a_lost_logical_frame) {
    const int s = 4;
    const struct {
        const char *what;
        int len;  // of what comes in place of frame 3 of superframe 2; -1: nothing
        bool superframe3;
    } cases[] = {
        {"frame announced lost", 0, true},
        {"frame one byte short", 24 * s - 1, true},
        {"frame silently missing", -1, false},
    };
    for (const auto &c : cases) {
        dabplus_counters cnt;
        dabplus_decoder d(&cnt);
        d.reset(s);
        recorder r;
        std::vector<bytes> all, expected;
        for (int k = 0; k < 6; k++) {
            const superframe f = numbered(s, 0x00, k);
            all.insert(all.end(), f.aus.begin(), f.aus.end());
            if (k != 2 && (k != 3 || c.superframe3)) expected.insert(expected.end(), f.aus.begin(), f.aus.end());
            for (int i = 0; i < 5; i++) {
                if (k == 2 && i == 3) {
                    const bytes lost(static_cast<size_t>(std::max(c.len, 0)), 0);
                    if (c.len >= 0) d.feed(lost.data(), c.len, r);
                    continue;
                }
                const bytes frame(f.sf.begin() + 24 * s * i, f.sf.begin() + 24 * s * (i + 1));
                d.feed(frame.data(), static_cast<int>(frame.size()), r);
            }
        }
        std::vector<bytes> got;
        for (const auto &l : r.loas) got.push_back(loas_payload(l, 0x128C, 16));
        // What arrives is genuine and in order; the AUs of the last superframes all arrive.
        auto it = all.begin();
        for (const auto &g : got) {
            it = std::find(it, all.end(), g);
            ASSERT_NE(it, all.end()) << c.what;
        }
        for (const auto &e : expected) EXPECT_NE(std::find(got.begin(), got.end(), e), got.end()) << c.what;
        if (c.superframe3) {
            EXPECT_EQ(got, expected) << c.what;
        }
        EXPECT_EQ(v(cnt.sync_losses), 1u) << c.what;
        EXPECT_TRUE(d.in_sync()) << c.what;
    }
}

TEST(dabplus, hostile_superframes_are_counted_and_skipped) {
    const int s = 4;
    // Superframe 1 replaced: a start table patched (then firecode and RS made to match it),
    // or three frames of garbage.
    const struct {
        const char *what;
        bytes starts;  // bytes 3..7: 12-bit starts of AUs 1..3; empty: garbage frames instead
        uint64_t bad, losses;
    } cases[] = {
        {"starts decreasing: 60, 50, 100", {0x03, 0xC0, 0x32, 0x06, 0x40}, 1, 0},
        {"start past the superframe: 60, 100, 4000", {0x03, 0xC0, 0x64, 0xFA, 0x00}, 1, 0},
        {"start inside the table: 2, 100, 200", {0x00, 0x20, 0x64, 0x0C, 0x80}, 1, 0},
        {"last AU without room for its CRC: 60, 100, 439", {0x03, 0xC0, 0x64, 0x1B, 0x70}, 1, 0},
        {"garbage between superframes", {}, 0, 1},
    };
    for (const auto &c : cases) {
        dabplus_counters cnt;
        dabplus_decoder d(&cnt);
        d.reset(s);
        recorder r;
        const superframe f0 = numbered(s, 0x00, 0), f2 = numbered(s, 0x00, 2);
        feed(d, r, f0.sf, s);
        if (c.starts.empty()) {
            std::mt19937 rng(5);
            bytes g(static_cast<size_t>(72 * s));
            for (auto &b : g) b = static_cast<uint8_t>(rng());
            for (int i = 0; i < 3; i++) d.feed(g.data() + 24 * s * i, 24 * s, r);
        } else {
            bytes sf = numbered(s, 0x00, 1).sf;
            std::copy(c.starts.begin(), c.starts.end(), sf.begin() + 3);
            const uint16_t fc = sf_firecode(sf.data());
            sf[0] = static_cast<uint8_t>(fc >> 8);
            sf[1] = static_cast<uint8_t>(fc);
            sf_rs().encode(sf.data(), s);
            feed(d, r, sf, s);
        }
        feed(d, r, f2.sf, s);
        std::vector<bytes> expected = f0.aus;
        expected.insert(expected.end(), f2.aus.begin(), f2.aus.end());
        ASSERT_EQ(r.loas.size(), expected.size()) << c.what;
        for (size_t i = 0; i < expected.size(); i++) EXPECT_EQ(loas_payload(r.loas[i], 0x128C, 16), expected[i]) << c.what;
        EXPECT_EQ(r.pads.size(), expected.size()) << c.what;
        EXPECT_EQ(v(cnt.bad_superframes), c.bad) << c.what;
        EXPECT_EQ(v(cnt.sync_losses), c.losses) << c.what;
        EXPECT_TRUE(d.in_sync()) << c.what;
    }
}

TEST(dabplus, noise_never_reaches_the_player) {
    for (int s : {1, 4, SF_MAX_UNITS}) {
        dabplus_counters cnt;
        dabplus_decoder d(&cnt);
        d.reset(s);
        recorder r;
        std::mt19937 rng(static_cast<unsigned>(s));
        for (int i = 0; i < 300; i++) {
            // Mostly frames of the right length, some of others; each in a buffer of its own size.
            const int len = rng() % 8 ? 24 * s : static_cast<int>(rng() % static_cast<unsigned>(48 * s));
            bytes f(static_cast<size_t>(len));
            for (auto &b : f) b = static_cast<uint8_t>(rng() % 4 ? rng() : 0);
            d.feed(f.data(), len, r);
        }
        EXPECT_TRUE(r.loas.empty()) << s;
        EXPECT_EQ(v(cnt.aus), 0u) << s;
    }
}

TEST(dabplus, a_new_configuration_forgets_the_old_one) {
    dabplus_decoder d;
    recorder r;
    EXPECT_FALSE(d.has_format());
    d.feed(numbered(4, 0x00, 0).sf.data(), 96, r);  // not configured yet: ignored
    d.reset(4);
    feed(d, r, numbered(4, 0x00, 0).sf, 4);
    EXPECT_TRUE(d.in_sync());
    EXPECT_TRUE(d.has_format());
    d.reset(6);
    EXPECT_FALSE(d.in_sync());
    EXPECT_FALSE(d.has_format());
    for (int units : {0, SF_MAX_UNITS + 1, -1}) {
        d.reset(units);
        feed(d, r, numbered(4, 0x00, 0).sf, 4);
        EXPECT_FALSE(d.in_sync()) << units;
    }
    EXPECT_EQ(r.loas.size(), 4u);
}
