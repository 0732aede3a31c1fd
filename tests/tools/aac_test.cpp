// DAB+ on the generator side: the AAC access units and the superframes around them, against
// bits worked out by hand from ISO/IEC 14496-3 and TS 102 563. A decoder that is lenient about
// a field (or shares a mistake) would not notice what these catch.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "aac.h"
#include "aac_tables.h"
#include "common/crc16.h"
#include "dabplus.h"
#include "desc.h"
#include "pad.h"
#include "signal_decode.h"

using namespace dabgen;

namespace {

// MSB-first reader over an access unit, for checking fields.
struct bit_reader {
    const bytes &b;
    size_t pos = 0;
    uint32_t get(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; i++, pos++) v = v << 1 | (pos / 8 < b.size() ? b[pos / 8] >> (7 - pos % 8) & 1 : 0);
        return v;
    }
};

std::vector<int16_t> tone(int rate, int channels, int frames, double f, double amp = 0.3) {
    std::vector<int16_t> out(static_cast<size_t>(frames * channels));
    for (int i = 0; i < frames; i++)
        for (int c = 0; c < channels; c++)
            out[static_cast<size_t>(i * channels + c)] =
                static_cast<int16_t>(amp * 32767 * std::sin(2 * M_PI * f * (c + 1) * i / rate));
    return out;
}

// Kraft sum of a code: 1 for a complete prefix code; also false when two codes are prefixes.
template <size_t N>
double kraft(const std::array<huff_code, N> &t, bool &prefix_free) {
    double sum = 0;
    prefix_free = true;
    for (size_t i = 0; i < N; i++) {
        sum += std::ldexp(1.0, -t[i].bits);
        for (size_t j = 0; j < N; j++) {
            if (i == j || t[j].bits < t[i].bits) continue;
            if (t[j].code >> (t[j].bits - t[i].bits) == t[i].code) prefix_free = false;
        }
    }
    return sum;
}

}  // namespace

// A transcription slip in a Huffman table breaks completeness or the prefix property.
TEST(AacTables, CodesAreCompletePrefixCodes) {
    bool pf = false;
    EXPECT_DOUBLE_EQ(kraft(sf_huffman, pf), 1.0);
    EXPECT_TRUE(pf);
    EXPECT_DOUBLE_EQ(kraft(spectrum_hcb11, pf), 1.0);
    EXPECT_TRUE(pf);
    // table 4.A.12: (0,0) is 0000, (16,16) is 00100; table 4.A.1: difference 0 is "0"
    EXPECT_EQ(spectrum_hcb11[0].code, 0x0u);
    EXPECT_EQ(spectrum_hcb11[0].bits, 4);
    EXPECT_EQ(spectrum_hcb11[288].code, 0x04u);
    EXPECT_EQ(sf_huffman[60].bits, 1);
    const struct { const uint16_t *t; size_t n; int bands; } swb[] = {
        {swb_offset_960_48.data(), swb_offset_960_48.size(), 49},
        {swb_offset_960_24.data(), swb_offset_960_24.size(), 46},
        {swb_offset_960_16.data(), swb_offset_960_16.size(), 42}};
    for (const auto &s : swb) {
        EXPECT_EQ(s.n, static_cast<size_t>(s.bands + 1));
        EXPECT_EQ(s.t[0], 0);
        EXPECT_EQ(s.t[s.n - 1], 960);
        for (size_t i = 1; i < s.n; i++) {
            EXPECT_GT(s.t[i], s.t[i - 1]) << i;
            EXPECT_EQ(s.t[i] % 4, 0) << i;  // pairs never straddle a band
        }
    }
}

TEST(Aac, DataStreamElementCarriesThePad) {
    // id 100, tag 0000, align 0: 0x80; count, and esc_count once count is 255
    const struct { size_t len; bytes head; } cases[] = {
        {0, {0x80, 0}}, {2, {0x80, 2}}, {254, {0x80, 254}}, {255, {0x80, 255, 0}}, {302, {0x80, 255, 47}},
        {510, {0x80, 255, 255}}};
    for (const auto &c : cases) {
        bytes pad(c.len);
        for (size_t i = 0; i < c.len; i++) pad[i] = static_cast<uint8_t>(i * 7 + 1);
        bit_writer w;
        ASSERT_TRUE(write_dse(w, pad.data(), pad.size())) << c.len;
        bytes want = c.head;
        want.insert(want.end(), pad.begin(), pad.end());
        EXPECT_EQ(w.data(), want) << c.len;
        EXPECT_EQ(dse_bits(c.len), want.size() * 8) << c.len;
    }
    bit_writer w;
    bytes big(511);
    EXPECT_FALSE(write_dse(w, big.data(), big.size()));
    EXPECT_EQ(w.bits(), 0u);
    // X-PAD reversed, then F-PAD: type 00, X-PAD indicator 10 (variable), then CI flag
    EXPECT_EQ(dabplus_pad({1, 2, 3}), (bytes{3, 2, 1, 0x20, 0x02}));
    EXPECT_EQ(dabplus_pad({}), (bytes{0x00, 0x00}));
}

// Silence takes the finest gain (0) and no bands. SCE: id 000, tag 0000, global_gain,
// ics_info 0 00 0 000000 0, pulse/tns/gain control 000, then ID_END 111: 32 bits.
TEST(Aac, SilentFramesBitByBit) {
    const std::vector<int16_t> silence(960 * 2, 0);
    const bytes pad = {0xAB, 0x20, 0x02};
    const struct { const char *what; int channels; const bytes *pad; size_t size; bytes want; } cases[] = {
        {"mono", 1, nullptr, 4, {0x00, 0x00, 0x00, 0x07}},
        // 29 bits, a fill element with count 0 (110 0000), END, one bit of alignment
        {"mono, one byte of fill", 1, nullptr, 5, {0x00, 0x00, 0x00, 0x06, 0x0E}},
        {"mono with PAD", 1, &pad, 9, {0x80, 0x03, 0xAB, 0x20, 0x02, 0x00, 0x00, 0x00, 0x07}},
        // CPE: 001 0000, common_window 0, two 22-bit channel streams, END: 55 bits
        {"stereo", 2, nullptr, 7, {0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0E}},
    };
    for (const auto &c : cases) {
        aac_encoder enc;
        std::string err;
        ASSERT_TRUE(enc.init(48000, c.channels, err)) << err;
        bytes au;
        ASSERT_TRUE(enc.encode(silence.data(), c.pad, c.size, au)) << c.what;
        EXPECT_EQ(au, c.want) << c.what;
        EXPECT_EQ(enc.gain(), 0) << c.what;
    }
    aac_encoder enc;
    std::string err;
    ASSERT_TRUE(enc.init(48000, 1, err));
    bytes au = {1, 2};
    EXPECT_FALSE(enc.encode(silence.data(), nullptr, 3, au)) << "32 bits do not fit into 3 bytes";
    EXPECT_EQ(au, (bytes{1, 2}));
}

// Fill elements land the block on the byte asked for, whatever the size of the slack.
TEST(Aac, FillElementsTakeAnyWindow) {
    for (size_t lo : {1u, 2u, 7u, 8u, 119u, 120u, 127u, 128u, 135u, 2160u, 2167u, 2168u, 2175u, 5000u, 9999u}) {
        bit_writer w;
        write_fill(w, lo);
        // parse back: id 110, count(4) [esc_count(8)], EXT_FILL 0000, nibble 0000, 10100101...
        bit_reader r{w.data()};
        while (r.pos < w.bits()) {
            ASSERT_EQ(r.get(3), 6u) << lo;
            uint32_t cnt = r.get(4);
            if (cnt == 15) cnt += r.get(8) - 1;
            if (cnt) {
                EXPECT_EQ(r.get(8), 0u) << lo;
            }
            for (uint32_t i = 1; i < cnt; i++) ASSERT_EQ(r.get(8), 0xA5u) << lo;
        }
        EXPECT_EQ(r.pos, w.bits()) << lo;
        EXPECT_GE(w.bits(), lo);
        EXPECT_LE(w.bits(), lo + 7);
    }
}

// A tone: long blocks, sine window, all scale factors equal to the global gain, codebooks 0
// and 11 only, no pulse/TNS/gain control; exactly the size asked for; finer with more room.
TEST(Aac, ToneFrameSyntaxAndRateControl) {
    const auto pcm = tone(48000, 1, 960 * 3, 1000);
    std::map<size_t, int> gain;
    for (size_t size : {30u, 60u, 120u, 400u}) {
        aac_encoder enc;
        std::string err;
        ASSERT_TRUE(enc.init(48000, 1, err));
        bytes au;
        for (int f = 0; f < 3; f++) ASSERT_TRUE(enc.encode(pcm.data() + 960 * f, nullptr, size, au)) << size;
        ASSERT_EQ(au.size(), size);
        gain[size] = enc.gain();
        bit_reader r{au};
        EXPECT_EQ(r.get(3), 0u);  // SCE
        EXPECT_EQ(r.get(4), 0u);
        EXPECT_EQ(static_cast<int>(r.get(8)), enc.gain());
        EXPECT_EQ(r.get(4), 0u) << "reserved bit, ONLY_LONG_SEQUENCE, sine window";
        const uint32_t max_sfb = r.get(6);
        EXPECT_GT(max_sfb, 10u) << "1 kHz is line 40 at 25 Hz a line, in band 10 (40..47)";
        EXPECT_LE(max_sfb, 49u);
        EXPECT_EQ(r.get(1), 0u) << "predictor_data_present";
        int coded = 0;
        for (uint32_t b = 0; b < max_sfb;) {
            const uint32_t cb = r.get(4);
            EXPECT_TRUE(cb == 0 || cb == 11) << cb;
            uint32_t len = 0, inc;
            while ((inc = r.get(5)) == 31) len += 31;
            len += inc;
            ASSERT_GT(len, 0u);
            if (cb == 11) coded += static_cast<int>(len);
            b += len;
            ASSERT_LE(b, max_sfb);
        }
        for (int i = 0; i < coded; i++) EXPECT_EQ(r.get(1), 0u) << "scale factor difference 0";
        EXPECT_EQ(r.get(3), 0u) << "pulse, TNS, gain control";
        EXPECT_GT(coded, 0);
    }
    EXPECT_GT(gain[30], gain[60]);
    EXPECT_GT(gain[60], gain[120]);
    // a loud tone reaches the largest escape value (8191) before 400 bytes are used
    EXPECT_LE(gain[400], gain[120]);
}

TEST(Aac, SameInputSameBytes) {
    const auto pcm = tone(32000, 2, 960 * 4, 700);
    bytes a, b;
    for (bytes *out : {&a, &b}) {
        aac_encoder enc;
        std::string err;
        ASSERT_TRUE(enc.init(32000, 2, err));
        for (int f = 0; f < 4; f++) {
            bytes au;
            ASSERT_TRUE(enc.encode(pcm.data() + 960 * 2 * f, nullptr, 150, au));
            out->insert(out->end(), au.begin(), au.end());
        }
    }
    EXPECT_TRUE(a == b);
}

// 16 kbit/s, 48 kHz stereo: 220 bytes of RS data, header 11, six AUs with their CRCs.
TEST(Superframe, LayoutByHand) {
    dabcommon::sf_header h;
    h.dac_rate = 1;
    h.aac_channel_mode = 1;
    std::vector<bytes> aus;
    for (size_t len : {30u, 30u, 30u, 30u, 30u, 47u}) {
        bytes au(len);
        for (size_t i = 0; i < len; i++) au[i] = static_cast<uint8_t>(len + i);
        aus.push_back(au);
    }
    dabcommon::sf_rs rs;
    bytes sf(240, 0xEE);
    ASSERT_TRUE(sf_build(h, 2, aus, 1u << 2, rs, sf.data()));
    // rfa 0, dac_rate 1, sbr 0, stereo 1, ps 0, surround 000; then starts 43 75 107 139 171
    EXPECT_EQ(sf[2], 0x50);
    EXPECT_EQ(bytes(sf.begin() + 3, sf.begin() + 11), (bytes{0x02, 0xB0, 0x4B, 0x06, 0xB0, 0x8B, 0x0A, 0xB0}));
    EXPECT_EQ(sf[0] << 8 | sf[1], sigtest::firecode(sf.data()));
    const size_t starts[] = {11, 43, 75, 107, 139, 171, 220};
    for (size_t i = 0; i < 6; i++) {
        const uint8_t *au = sf.data() + starts[i];
        const size_t n = starts[i + 1] - starts[i] - 2;
        EXPECT_EQ(bytes(au, au + n), aus[i]) << i;
        const bool ok = dabcommon::crc16(au, n) == (au[n] << 8 | au[n + 1]);
        EXPECT_EQ(ok, i != 2) << "AU " << i << " (only AU 2's CRC was to be broken)";
    }
    bytes copy = sf;
    EXPECT_EQ(rs.decode(copy.data(), 2), 0);
    EXPECT_TRUE(copy == sf);
    // five errors in each of the two codewords are corrected, six are not
    sf_corrupt(copy.data(), 2, 5, 3);
    EXPECT_EQ(rs.decode(copy.data(), 2), 10);
    EXPECT_TRUE(copy == sf);
    sf_corrupt(copy.data(), 2, 6, 4);
    EXPECT_EQ(rs.decode(copy.data(), 2), -1);

    // wrong count, a byte short, a start beyond 12 bits: nothing written
    bytes untouched(240, 0x11), out = untouched;
    std::vector<bytes> five(aus.begin(), aus.begin() + 5);
    EXPECT_FALSE(sf_build(h, 2, five, 0, rs, out.data()));
    std::vector<bytes> shorter = aus;
    shorter.back().pop_back();
    EXPECT_FALSE(sf_build(h, 2, shorter, 0, rs, out.data()));
    EXPECT_TRUE(out == untouched);
    std::vector<bytes> wide(6, bytes(1000));
    wide.back().resize(48 * 110 - 11 - 12 - 5000);
    bytes big(48 * 120);
    EXPECT_FALSE(sf_build(h, 48, wide, 0, rs, big.data())) << "AU 5 would start at 5021";
}

// All four formats from the encoder: header byte, AU starts (shares as even as bytes allow),
// CRCs, RS, and the PAD's data stream element at the head of each AU.
TEST(Superframe, EncoderFormats) {
    const struct { int kbps, rate; bool sbr, stereo, ps; uint8_t header; std::vector<int> starts; } cases[] = {
        // 1320 bytes: (1320 - 11) / 6 = 218 and one byte over for the last
        {96, 48000, false, true, false, 0x50, {11, 229, 447, 665, 883, 1101}},
        // 660 - 8 = 652 = 4 x 163
        {48, 32000, false, false, false, 0x00, {8, 171, 334, 497}},
        // 660 - 6 = 654 = 3 x 218, core at 24 kHz
        {48, 48000, true, true, false, 0x70, {6, 224, 442}},
        // 440 - 5 = 435: 217 and 218, core at 16 kHz, PS flag
        {32, 32000, true, false, true, 0x28, {5, 222}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kbps);
        dabplus_encoder enc;
        std::string err;
        ASSERT_TRUE(enc.init(c.kbps, c.rate, c.sbr, c.stereo, c.ps, err)) << err;
        ASSERT_EQ(enc.num_aus(), static_cast<int>(c.starts.size()));
        EXPECT_EQ(enc.core_rate(), c.sbr ? c.rate / 2 : c.rate);
        const int ch = c.stereo ? 2 : 1;
        const auto pcm = tone(enc.core_rate(), ch, 960 * enc.num_aus(), 440);
        std::vector<bytes> pads;
        for (int i = 0; i < enc.num_aus(); i++) pads.push_back(dabplus_pad({static_cast<uint8_t>(i), 0x0C}));
        bytes sf(enc.superframe_size());
        ASSERT_TRUE(enc.encode(pcm.data(), pads, 0, sf.data()));
        sigtest::dabplus_receiver rx;
        const size_t frame = sf.size() / 5;
        for (size_t k = 0; k < 5; k++) rx.feed(sf.data() + k * frame, frame);
        ASSERT_EQ(rx.superframes, 1);
        EXPECT_EQ(rx.header, c.header);
        EXPECT_EQ(rx.starts[0], c.starts);
        EXPECT_EQ(rx.rs_corrected + rx.rs_failed + rx.au_crc_errors, 0);
        ASSERT_EQ(rx.au_payloads.size(), c.starts.size());
        for (size_t i = 0; i < rx.au_payloads.size(); i++) {
            const bytes &au = rx.au_payloads[i];
            EXPECT_EQ(bytes(au.begin(), au.begin() + 6), (bytes{0x80, 4, 0x0C, static_cast<uint8_t>(i), 0x20, 0x02}));
            EXPECT_EQ(au[6] >> 5, c.stereo ? 1 : 0) << "CPE or SCE after the PAD";
        }
    }
    dabplus_encoder enc;
    std::string err;
    EXPECT_FALSE(enc.init(100, 48000, false, true, false, err));
    EXPECT_FALSE(enc.init(96, 44100, false, true, false, err));
    EXPECT_FALSE(enc.init(48, 48000, false, false, true, err)) << "PS without SBR";
    EXPECT_FALSE(enc.init(48, 48000, true, true, true, err)) << "PS with a stereo core";
    EXPECT_FALSE(enc.init(384, 48000, false, true, false, err)) << "the sixth AU would start beyond 4095";
    EXPECT_TRUE(enc.init(384, 32000, false, true, false, err)) << err;
}

TEST(Description, DabPlusKeys) {
    const char *head = "[audio]\nsid 0xD101\nlabel \"A\"\nsubchannel 1\nbitrate 96\n";
    const struct { std::string text; const char *msg; } cases[] = {
        {"codec ogg\n", "t.ens:6: codec must be mp2 or aac"},
        {"codec aac\nprotection uep 3\n", "t.ens:1: [audio] service: DAB+ takes EEP"},
        {"codec aac\nsamplerate 24000\n", "t.ens:1: [audio] service: DAB+ samplerate must be 48000 or 32000"},
        {"codec aac\nsbr 0\nps 1\nmode mono\n", "t.ens:1: [audio] service: ps 1 needs sbr 1"},
        {"codec aac\nsbr 1\nps 1\n", "t.ens:1: [audio] service: ps 1 needs sbr 1 and mode mono"},
        {"sbr 2\n", "t.ens:6: \"2\" out of range"},
        {"samplerate 32000\n", "t.ens:1: [audio] service: samplerate 32000 needs codec aac"},
        {"sbr 1\n", "t.ens:1: [audio] service: sbr and ps need codec aac"},
        {"[faults]\nau_crc 1 5\n", "t.ens: [faults] au_crc names no DAB+ sub-channel"},
        {"codec aac\n[faults]\nrs_errors 2 5 1\n", "t.ens: [faults] rs_errors names no DAB+"},
        {"codec aac\n[faults]\nrs_errors 1 121 1\n", "t.ens:8: \"121\" out of range"},
        {"[faults]\ndrop_frame 3 10\n", "t.ens: [faults] drop_frame names an unknown sub-channel"},
    };
    ensemble_desc d;
    std::string err;
    for (const auto &c : cases) {
        EXPECT_FALSE(parse_description(head + c.text, "t.ens", d, err)) << c.text;
        EXPECT_EQ(err.rfind(c.msg, 0), 0u) << c.text << " -> " << err;
    }
    // DAB+ without protection gets EEP 3A: 96 kbit/s is 72 CUs
    ASSERT_TRUE(parse_description(std::string(head) + "codec aac\nsamplerate 32000\nsbr 1\nps 1\nmode mono\n"
                                  "[faults]\nrs_errors 1 5 2\nau_crc 1 9\ndrop_frame 1 25\n",
                                  "t.ens", d, err))
        << err;
    const service_desc &s = d.services[0];
    EXPECT_EQ(s.codec, service_desc::AAC);
    EXPECT_TRUE(s.sbr && s.ps && s.mono);
    EXPECT_FALSE(s.prot.uep);
    EXPECT_EQ(s.prot.level, 3);
    EXPECT_EQ(s.prot.option, 0);
    EXPECT_EQ(d.faults.rs_errors, 5);
    EXPECT_EQ(d.faults.rs_errors_every, 2);
    EXPECT_EQ(d.faults.au_crc, 9);
    EXPECT_EQ(d.faults.drop_frame_subchid, 1);
}
