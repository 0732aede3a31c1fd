// The modulator against the standard's frame structure (timing, carriers, differential phases,
// where each coded bit lands) and the impairments against their definitions; then an
// independent receiver (welle-cli) must decode the demo ensemble from dabmod's IQ file.
#include <fftw3.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "common/dab_coding.h"
#include "common/eti_reader.h"
#include "eti.h"
#include "impairments.h"
#include "modulator.h"
#include "support/test_support.h"

using dabmod::cfloat;

namespace {

constexpr double pi = 3.14159265358979323846;
// Mode I by hand: 1 kHz carriers at 2.048 Msps, guard 246 us, null 1297 us.
constexpr int fft = 2048, guard = 504, null_len = 2656, sym = fft + guard, frame_len = 196608;
static_assert(null_len + 76 * sym == frame_len && frame_len == 2048000 * 96 / 1000);

// Clause 12: delay in CIFs of bit i of a code word, by i mod 16.
constexpr int ti_delay[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};

// Clause 14.6: carrier k of QPSK symbol n.
std::vector<int> carrier_of_symbol() {
    std::vector<int> k;
    int a = 0;
    for (int i = 0; i < 2048; i++) {
        if (i) a = (13 * a + 511) % 2048;
        if (a >= 256 && a <= 1792 && a != 1024) k.push_back(a - 1024);
    }
    return k;
}

std::vector<uint8_t> fib(std::vector<uint8_t> figs, uint8_t tag, bool good_crc = true) {
    figs.push_back(0xFF);
    figs.resize(30, 0);
    figs[29] = tag;  // after the end marker: makes every FIB of the test different
    uint16_t c = dabcommon::crc16(figs.data(), 30);
    if (!good_crc) c ^= 1;
    figs.push_back(static_cast<uint8_t>(c >> 8));
    figs.push_back(static_cast<uint8_t>(c));
    return figs;
}

// FIG 0/1: sub-channel 1 short form, table index 35 (128 kbit/s UEP 3, 96 CUs) at CU 0;
// sub-channel 2 long form, EEP 3-A, 24 CUs (32 kbit/s) at CU 200.
const std::vector<uint8_t> fig0_1 = {0x08, 0x01, 1 << 2, 0, 35, 2 << 2, 200, 0x80 | 0 << 4 | 2 << 2, 24};

struct test_eti {
    std::vector<std::vector<uint8_t>> fibs;  // 3 per frame
    std::vector<std::vector<uint8_t>> sub1, sub2;
    std::vector<std::unique_ptr<dabcommon::eti_frame>> frames;
};

// n frames from FCT first on, each with its own FIBs and stream bytes; sub-channel 1's stream
// sub1_len bytes long (384 fits its 128 kbit/s).
test_eti make_eti(int n, int first, bool with_fig01 = true, size_t sub1_len = 384) {
    test_eti t;
    for (int f = 0; f < n; f++) {
        uint8_t fic[96];
        for (int i = 0; i < 3; i++) {
            t.fibs.push_back(fib(i == 0 && with_fig01 ? fig0_1 : std::vector<uint8_t>{}, static_cast<uint8_t>(f * 3 + i)));
            memcpy(fic + 32 * i, t.fibs.back().data(), 32);
        }
        std::vector<uint8_t> a(sub1_len), b(96);
        for (size_t i = 0; i < a.size(); i++) a[i] = static_cast<uint8_t>(i * 7 + f * 13 + 1);
        for (size_t i = 0; i < b.size(); i++) b[i] = static_cast<uint8_t>(i * 31 + f * 5 + 3);
        t.sub1.push_back(a);
        t.sub2.push_back(b);
        std::vector<dabgen::eti_stream> streams = {{1, 0, dabgen::eti_tpl(true, 3, 0), t.sub1.back().data(), sub1_len},
                                                   {2, 200, dabgen::eti_tpl(false, 3, 0), t.sub2.back().data(), 96}};
        std::vector<uint8_t> raw(dabgen::eti_frame_size);
        EXPECT_EQ(dabgen::eti_build_frame(raw.data(), static_cast<uint32_t>(first + f), fic, streams), 1);
        auto fr = std::make_unique<dabcommon::eti_frame>();
        EXPECT_GT(dabcommon::parse_eti_frame(raw.data(), raw.size(), *fr), 0);
        t.frames.push_back(std::move(fr));
    }
    return t;
}

// Forward transform of the useful part of each of the 76 symbols, by FFT bin.
std::vector<std::vector<cfloat>> spectra(const std::vector<cfloat> &s) {
    std::vector<std::vector<cfloat>> out;
    fftwf_complex *in = fftwf_alloc_complex(fft), *o = fftwf_alloc_complex(fft);
    fftwf_plan p = fftwf_plan_dft_1d(fft, in, o, FFTW_FORWARD, FFTW_ESTIMATE);
    for (int l = 0; l < 76; l++) {
        memcpy(in, s.data() + null_len + l * sym + guard, sizeof(cfloat) * fft);
        fftwf_execute(p);
        out.emplace_back(reinterpret_cast<cfloat *>(o), reinterpret_cast<cfloat *>(o) + fft);
    }
    fftwf_destroy_plan(p);
    fftwf_free(in);
    fftwf_free(o);
    return out;
}

cfloat bin(const std::vector<cfloat> &spectrum, int k) { return spectrum[static_cast<size_t>(k < 0 ? k + fft : k)]; }

// The 3072 bits of data symbol l (1..75 after the phase reference) by differential demodulation.
std::vector<uint8_t> demap(const std::vector<std::vector<cfloat>> &spectrum, int l) {
    static const std::vector<int> kn = carrier_of_symbol();
    std::vector<uint8_t> bits(3072);
    for (int n = 0; n < 1536; n++) {
        const cfloat d = bin(spectrum[static_cast<size_t>(l)], kn[static_cast<size_t>(n)]) *
                         std::conj(bin(spectrum[static_cast<size_t>(l - 1)], kn[static_cast<size_t>(n)]));
        bits[static_cast<size_t>(n)] = d.real() < 0;
        bits[static_cast<size_t>(n + 1536)] = d.imag() < 0;
    }
    return bits;
}

std::vector<cfloat> modulate(const test_eti &t, dabmod::modulator &m) {
    std::vector<cfloat> out;
    int frames = 0;
    for (const auto &f : t.frames) frames += m.feed(*f, out);
    EXPECT_EQ(frames, 1);
    return out;
}

double power(const cfloat *s, size_t n) {
    double p = 0;
    for (size_t i = 0; i < n; i++) p += std::norm(s[i]);
    return p / static_cast<double>(n);
}

}  // namespace

// A receiver finds the frame by the null symbol and the symbols by their cyclic prefix: the
// lengths must be exact, the null silent and each guard a copy of its symbol's end.
TEST(Dabmod, FrameTimingNullSymbolAndGuards) {
    test_eti t = make_eti(4, 0);
    dabmod::modulator m;
    const std::vector<cfloat> s = modulate(t, m);
    ASSERT_EQ(s.size(), static_cast<size_t>(frame_len));
    for (int i = 0; i < null_len; i++) ASSERT_EQ(s[static_cast<size_t>(i)], cfloat{}) << "null symbol sample " << i;
    for (int l = 0; l < 76; l++) {
        const cfloat *p = s.data() + null_len + l * sym;
        for (int j = 0; j < guard; j++) ASSERT_EQ(p[j], p[j + fft]) << "symbol " << l << " guard sample " << j;
        // 1536 unit carriers scaled to mean power 1
        EXPECT_NEAR(power(p + guard, fft), 1.0, 1e-3) << "symbol " << l;
    }
}

// Every carrier -768..768 but the centre one at the same magnitude, nothing outside; the phase
// reference at quarter turns, each data symbol a quarter turn plus an eighth from the one
// before (DQPSK); the carriers of the phase reference at the phases of clause 14.3.2 for a few
// carriers worked out by hand.
TEST(Dabmod, CarriersAndDifferentialPhases) {
    test_eti t = make_eti(4, 0);
    dabmod::modulator m;
    const auto spectrum = spectra(modulate(t, m));
    const double unit = fft / std::sqrt(1536.0);
    for (int l = 0; l < 76; l++) {
        for (int k = -1024; k < 1024; k++) {
            const double mag = std::abs(bin(spectrum[static_cast<size_t>(l)], k));
            if (k == 0 || k < -768 || k > 768)
                ASSERT_LT(mag, 1e-3 * unit) << "symbol " << l << " carrier " << k;
            else
                ASSERT_NEAR(mag, unit, 1e-3 * unit) << "symbol " << l << " carrier " << k;
        }
    }
    for (int k = -768; k <= 768; k++) {
        if (!k) continue;
        const double a = std::arg(bin(spectrum[0], k)) / (pi / 2);
        ASSERT_NEAR(a, std::round(a), 1e-3) << "phase reference carrier " << k;
        for (int l = 1; l < 76; l++) {
            const double d = std::arg(bin(spectrum[static_cast<size_t>(l)], k) * std::conj(bin(spectrum[static_cast<size_t>(l - 1)], k))) / (pi / 4);
            ASSERT_NEAR(d, std::round(d), 1e-3) << "symbol " << l << " carrier " << k;
            ASSERT_EQ(static_cast<int>(std::lround(d)) & 1, 1) << "symbol " << l << " carrier " << k;
        }
    }
    // table 23: k' = -768 is row 0 with n = 1; table 24 row 0 starts 0, 2, 0: phases 1, 3, 1 quarter turns
    // k' = 1 is row 0 with n = 3: h = 0, 2 -> 3, 1
    const struct { int k, quarters; } prs[] = {{-768, 1}, {-767, 3}, {-766, 1}, {1, 3}, {2, 1}};
    for (const auto &c : prs) {
        const int q = static_cast<int>(std::lround(std::arg(bin(spectrum[0], c.k)) / (pi / 2)));
        EXPECT_EQ((q + 4) % 4, c.quarters) << "carrier " << c.k;
    }
}

// The FIC symbols carry the four CIFs' coded FIBs in order, starting with the first frame whose
// FCT is a multiple of four; the MSC symbols carry each sub-channel at its CUs, time-interleaved
// from empty delay lines, and nothing elsewhere.
// Without FIG 0/1 the STC gives the same sub-channels; a stream shorter than its sub-channel
// (FIG 0/1 known) goes out padded with zeros.
TEST(Dabmod, CodedBitsInTheirPlaces) {
    const struct { bool fig01; size_t sub1_len; uint64_t resized; const char *what; } cases[] = {
        {true, 384, 0, "FIG 0/1"}, {false, 384, 0, "STC only"}, {true, 200, 4, "truncated stream"}};
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.what);
        test_eti t = make_eti(6, 2, tc.fig01, tc.sub1_len);  // FCT 2 and 3 come before a transmission frame starts
        dabmod::modulator m;
        const auto spectrum = spectra(modulate(t, m));
        EXPECT_EQ(m.frames_dropped_at_start(), 2u);
        EXPECT_EQ(m.stats().streams_skipped, 0u);
        EXPECT_EQ(m.stats().streams_resized, tc.resized);
        std::vector<uint8_t> fic, msc;
        for (int l = 1; l <= 3; l++) {
            auto b = demap(spectrum, l);
            fic.insert(fic.end(), b.begin(), b.end());
        }
        for (int l = 4; l <= 75; l++) {
            auto b = demap(spectrum, l);
            msc.insert(msc.end(), b.begin(), b.end());
        }
        ASSERT_EQ(fic.size(), 4u * 2304);
        ASSERT_EQ(msc.size(), 4u * 55296);
        for (int c = 0; c < 4; c++) {
            const int frame = c + 2;
            uint8_t fibs[3][32];
            for (int i = 0; i < 3; i++) memcpy(fibs[i], t.fibs[static_cast<size_t>(frame * 3 + i)].data(), 32);
            const std::vector<uint8_t> want = dabcommon::fic_encode_cif(fibs);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), fic.begin() + c * 2304)) << "FIC of CIF " << c;
        }
        struct sub {
            dabcommon::subchannel_params p;
            const std::vector<std::vector<uint8_t>> *data;
        };
        dabcommon::subchannel_params p1, p2;
        p1.subchid = 1, p1.start_cu = 0, p1.size_cu = 96, p1.table_index = 35, p1.level = 3;
        p2.subchid = 2, p2.start_cu = 200, p2.size_cu = 24, p2.long_form = true, p2.option = 0, p2.level = 2;
        std::vector<int> used(864, 0);
        for (const sub &s : {sub{p1, &t.sub1}, sub{p2, &t.sub2}}) {
            std::vector<std::vector<uint8_t>> coded;
            for (int f = 2; f < 6; f++) {
                coded.emplace_back();
                std::vector<uint8_t> bytes = (*s.data)[static_cast<size_t>(f)];
                bytes.resize(s.p.subchid == 1 ? 384 : 96, 0);
                ASSERT_TRUE(dabcommon::subchannel_encode(s.p, bytes.data(), bytes.size(), coded.back()));
            }
            for (int c = 0; c < 4; c++) {
                const uint8_t *cif = msc.data() + c * 55296 + s.p.start_cu * 64;
                int wrong = 0;
                for (int i = 0; i < s.p.size_cu * 64; i++) {
                    const int from = c - ti_delay[i % 16];
                    const int want = from < 0 ? 0 : coded[static_cast<size_t>(from)][static_cast<size_t>(i)];
                    wrong += cif[i] != want;
                }
                EXPECT_EQ(wrong, 0) << "sub-channel " << s.p.subchid << " CIF " << c;
            }
            for (int cu = s.p.start_cu; cu < s.p.start_cu + s.p.size_cu; cu++) used[static_cast<size_t>(cu)] = 1;
        }
        int stray = 0;
        for (int c = 0; c < 4; c++)
            for (int cu = 0; cu < 864; cu++)
                if (!used[static_cast<size_t>(cu)])
                    for (int i = 0; i < 64; i++) stray += msc[static_cast<size_t>(c * 55296 + cu * 64 + i)];
        EXPECT_EQ(stray, 0) << "bits in unused CUs";
    }
}

// Sub-channels from the STC alone (before any FIG 0/1): sizes from EN 300 401 tables 8-10.
TEST(Dabmod, SubchannelFromStc) {
    const struct { int tpl, stl, sad; bool ok; int size, table_index; const char *what; } cases[] = {
        {0x12, 48, 0, true, 96, 35, "UEP 3 at 128 kbit/s: table index 35"},
        {0x10, 36, 10, true, 104, 28, "UEP 1 at 96 kbit/s"},
        {0x22, 12, 300, true, 24, 0, "EEP 3-A at 32 kbit/s: 4 x 6 CUs"},
        {0x24, 24, 0, true, 54, 0, "EEP 1-B at 64 kbit/s: 2 x 27 CUs"},
        {0x23, 3, 0, true, 4, 0, "EEP 4-A at 8 kbit/s"},
        {0x12, 15, 0, false, 0, 0, "no UEP 3 at 40 kbit/s"},
        {0x12, 1, 0, false, 0, 0, "8/3 kbit/s is no bit rate"},
        {0x2C, 12, 0, false, 0, 0, "EEP option 3 unknown"},
        {0x22, 12, 850, false, 0, 0, "beyond the 864 CUs"},
    };
    for (const auto &c : cases) {
        dabcommon::eti_stream s;
        s.scid = 5, s.tpl = c.tpl, s.stl = c.stl, s.sad = c.sad, s.len = static_cast<size_t>(c.stl) * 8;
        dabcommon::subchannel_params p;
        ASSERT_EQ(dabmod::stc_subchannel(s, p), c.ok) << c.what;
        if (!c.ok) continue;
        EXPECT_EQ(p.subchid, 5) << c.what;
        EXPECT_EQ(p.start_cu, c.sad) << c.what;
        EXPECT_EQ(p.size_cu, c.size) << c.what;
        if (!p.long_form) {
            EXPECT_EQ(p.table_index, c.table_index) << c.what;
        }
    }
}

// FIG 0/1 as receivers read it; what is not this ensemble's current organisation, a broken
// FIB or an entry cut off at the FIG's end leaves the map alone.
TEST(Dabmod, SubchannelMapFromFig01) {
    const struct { std::vector<uint8_t> figs; bool good_crc; int subchid, start, size; const char *what; } cases[] = {
        {fig0_1, true, 1, 0, 96, "short form"},
        {fig0_1, true, 2, 200, 24, "long form"},
        {{0x05, 0x01, 3 << 2 | 1, 0x2C, 0x80 | 1 << 4 | 0 << 2 | 0, 54}, true, 3, 300, 54, "EEP 1-B, start above 255"},
        {fig0_1, false, 1, -1, 0, "bad CRC"},
        {{0x04, 0x81, 1 << 2, 0, 35}, true, 1, -1, 0, "next configuration (C/N)"},
        {{0x04, 0x41, 1 << 2, 0, 35}, true, 1, -1, 0, "other ensemble"},
        {{0x04, 0x01, 1 << 2, 0, 0x40 | 35}, true, 1, -1, 0, "other table"},
        {{0x04, 0x01, 2 << 2, 200, 0x80 | 2 << 2}, true, 2, -1, 0, "long form cut off"},
        {{0x05, 0x01, 2 << 2, 200, 0x80 | 2 << 2, 25}, true, 2, -1, 0, "25 CUs are no EEP 3-A size"},
    };
    for (const auto &c : cases) {
        dabmod::subchannel_map map;
        map.feed_fib(fib(c.figs, 0, c.good_crc).data());
        const dabcommon::subchannel_params *p = map.find(c.subchid);
        if (c.start < 0) {
            EXPECT_EQ(p, nullptr) << c.what;
            continue;
        }
        ASSERT_NE(p, nullptr) << c.what;
        EXPECT_EQ(p->start_cu, c.start) << c.what;
        EXPECT_EQ(p->size_cu, c.size) << c.what;
    }
}

namespace {

// One transmission frame of the test ensemble, scaled to mean power 1 outside the null.
const std::vector<cfloat> &clean_frame() {
    static const std::vector<cfloat> s = [] {
        test_eti t = make_eti(4, 0);
        dabmod::modulator m;
        return modulate(t, m);
    }();
    return s;
}

std::vector<cfloat> impair(const dabmod::impairment_params &p, const std::vector<cfloat> &in, size_t block = 10000) {
    dabmod::impairments imp(p);
    std::vector<cfloat> out;
    // in pieces, so that the state carried from one call to the next is tested too
    for (size_t i = 0; i < in.size(); i += block) imp.process(in.data() + i, std::min(block, in.size() - i), out);
    return out;
}

}  // namespace

TEST(Impairments, SameSeedSameNoise) {
    dabmod::impairment_params p;
    p.noise = true, p.snr_db = 10, p.seed = 7;
    const auto a = impair(p, clean_frame()), b = impair(p, clean_frame());
    p.seed = 8;
    const auto c = impair(p, clean_frame());
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == c);
}

// Noise power measured against the signal's power outside the null symbol.
TEST(Impairments, NoiseAtTheGivenSnr) {
    const std::vector<cfloat> &s = clean_frame();
    const double signal = power(s.data() + null_len, s.size() - null_len);
    for (double snr : {-3.0, 0.0, 10.0, 25.0}) {
        dabmod::impairment_params p;
        p.noise = true, p.snr_db = snr;
        const auto out = impair(p, s);
        ASSERT_EQ(out.size(), s.size());
        double noise = 0;
        for (size_t i = 0; i < s.size(); i++) noise += std::norm(out[i] - s[i]);
        noise /= static_cast<double>(s.size());
        EXPECT_NEAR(10 * std::log10(signal / noise), snr, 0.2) << snr << " dB";
    }
}

// The phase of output / input advances by 2 pi f / fs a sample, across block boundaries.
TEST(Impairments, FrequencyOffsetRotatesThePhase) {
    const std::vector<cfloat> &s = clean_frame();
    for (double f : {1000.0, -2500.5, 37000.0}) {
        dabmod::impairment_params p;
        p.cfo_hz = f;
        const auto out = impair(p, s, 4093);
        ASSERT_EQ(out.size(), s.size());
        double worst = 0;
        for (size_t n = null_len; n < s.size(); n += 97) {
            const double want = std::remainder(2 * pi * f * static_cast<double>(n) / 2048000, 2 * pi);
            worst = std::max(worst, std::abs(std::remainder(std::arg(out[n] * std::conj(s[n])) - want, 2 * pi)));
        }
        EXPECT_LT(worst, 1e-3) << f << " Hz";
    }
}

// A receiver clock fast by e samples 1 + e times as often: a tone of f has f / (1 + e) cycles
// per output sample, at its level (inside the passband).
TEST(Impairments, SampleRateOffsetResamples) {
    const size_t n = 204800;
    const double f = 500e3 / 2048000;  // cycles per sample
    std::vector<cfloat> tone(n);
    for (size_t i = 0; i < n; i++) tone[i] = std::polar(1.0f, static_cast<float>(2 * pi * std::fmod(f * static_cast<double>(i), 1.0)));
    for (double ppm : {100.0, -250.0}) {
        dabmod::impairment_params p;
        p.sro_ppm = ppm;
        const auto out = impair(p, tone, 3001);
        const double e = ppm * 1e-6;
        EXPECT_NEAR(static_cast<double>(out.size()), static_cast<double>(n) * (1 + e), 20) << ppm;
        std::complex<double> acc{};
        for (size_t i = 100; i + 1 < out.size() - 100; i++) {
            acc += std::complex<double>(out[i + 1]) * std::conj(std::complex<double>(out[i]));
            ASSERT_NEAR(std::abs(out[i]), 1.0, 0.01) << ppm << " ppm, sample " << i;
        }
        EXPECT_NEAR(std::arg(acc) / (2 * pi), f / (1 + e), 1e-8) << ppm;
    }
}

// A tone through the two paths comes out times 1 + g exp(-j 2 pi f tau), 16 samples late.
TEST(Impairments, SecondPath) {
    const struct { double delay_us, gain_db, hz; } cases[] = {{15.625, -6, 100e3}, {10, -3, 250e3}, {100.3, 0, -600e3}, {0.2, -10, 30e3}};
    for (const auto &c : cases) {
        const size_t n = 50000;
        std::vector<cfloat> tone(n);
        for (size_t i = 0; i < n; i++) tone[i] = std::polar(1.0f, static_cast<float>(2 * pi * std::fmod(c.hz * static_cast<double>(i) / 2048000, 1.0)));
        dabmod::impairment_params p;
        p.multipath = true, p.path2_delay_us = c.delay_us, p.path2_gain_db = c.gain_db;
        const auto out = impair(p, tone, 777);
        ASSERT_EQ(out.size(), n);
        const double g = std::pow(10, c.gain_db / 20);
        const std::complex<double> h = 1.0 + g * std::polar(1.0, -2 * pi * c.hz * c.delay_us * 1e-6);
        for (size_t i = 1000; i < n; i += 101) {
            const std::complex<double> want = h * std::complex<double>(tone[i - 16]);
            ASSERT_LT(std::abs(std::complex<double>(out[i]) - want), 2e-3 * (1 + g)) << c.delay_us << " us, sample " << i;
        }
    }
}

TEST(Impairments, RejectsValuesOutsideTheirRange) {
    const struct { double snr, cfo, sro, delay, gain; bool ok; } cases[] = {
        {10, 0, 0, 0, 0, true}, {200, 0, 0, 0, 0, false}, {10, 300e3, 0, 0, 0, false},
        {10, 0, 5000, 0, 0, false}, {10, 0, 0, -1, 0, false}, {10, 0, 0, 10, 40, false}, {NAN, 0, 0, 0, 0, false}};
    for (const auto &c : cases) {
        dabmod::impairment_params p;
        p.noise = true, p.snr_db = c.snr, p.cfo_hz = c.cfo, p.sro_ppm = c.sro;
        p.multipath = true, p.path2_delay_us = c.delay, p.path2_gain_db = c.gain;
        EXPECT_EQ(*dabmod::impairment_params_error(p) == '\0', c.ok) << c.snr << " " << c.cfo << " " << c.sro << " " << c.delay << " " << c.gain;
    }
}

// The program: sizes per format, the level, the null symbol in u8, the same bytes for a seed.
TEST(DabmodCli, FormatsLevelAndSeed) {
    testsupport::temp_dir dir;
    std::string eti_bytes;
    {
        test_eti t = make_eti(8, 0);
        for (const auto &f : t.frames) eti_bytes.append(reinterpret_cast<const char *>(f->raw.data()), dabcommon::ETI_FRAME_SIZE);
    }
    const std::string eti = dir.file("t.eti");
    testsupport::write_file(eti, eti_bytes);
    const std::string dabmod = testsupport::binary_dir() + "/tools/dabmod";
    auto mod = [&](const std::string &name, std::vector<std::string> args) {
        std::vector<std::string> argv = {dabmod, "-q", "-o", dir.file(name)};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(eti);
        const auto r = testsupport::run(argv, "", 30);
        EXPECT_EQ(r.status, 0) << r.err;
        return testsupport::read_file(dir.file(name));
    };
    const size_t samples = 2 * frame_len;
    const std::string u8 = mod("a.u8", {}), s8 = mod("a.s8", {"-f", "s8"}), s16 = mod("a.s16", {"-f", "s16le"}),
                      f32 = mod("a.f32", {"-f", "cf32", "-l", "-20"});
    ASSERT_EQ(u8.size(), samples * 2);
    ASSERT_EQ(s8.size(), samples * 2);
    ASSERT_EQ(s16.size(), samples * 4);
    ASSERT_EQ(f32.size(), samples * 8);
    // zero is 127.5 in u8, rounded up; 0 in the others
    EXPECT_TRUE(u8.substr(0, 2 * null_len) == std::string(2 * null_len, '\x80'));
    EXPECT_TRUE(s8.substr(0, 2 * null_len) == std::string(2 * null_len, '\0'));
    std::vector<float> f(samples * 2);
    memcpy(f.data(), f32.data(), f32.size());
    double p = 0;
    for (size_t i = 2 * null_len; i < 2 * static_cast<size_t>(frame_len); i++) p += static_cast<double>(f[i]) * f[i];
    EXPECT_NEAR(10 * std::log10(p / (frame_len - null_len)), -20, 0.05) << "level relative to full scale";
    // s16le against the floats at -12 dB: little-endian, full scale 32767
    const std::string f12 = mod("b.f32", {"-f", "cf32"});
    int off = 0;
    for (size_t i = 0; i < samples * 2; i += 999) {
        float x;
        memcpy(&x, f12.data() + 4 * i, 4);
        const auto v = static_cast<int16_t>(static_cast<uint8_t>(s16[2 * i]) | static_cast<uint8_t>(s16[2 * i + 1]) << 8);
        off += std::abs(v - std::lround(32767 * x)) > 1;
    }
    EXPECT_EQ(off, 0);
    // compared as a whole, not printed
    EXPECT_TRUE(mod("n1", {"--snr", "5", "--seed", "9"}) == mod("n2", {"--snr", "5", "--seed", "9"}));
    EXPECT_FALSE(mod("n3", {"--snr", "5", "--seed", "10"}) == mod("n4", {"--snr", "5", "--seed", "9"}));
}

namespace {

bool have_welle() { return testsupport::run({"sh", "-c", "command -v welle-cli"}).status == 0; }

struct welle_run {
    std::string out, err;
    std::vector<std::string> fibs;  // 32-byte FIBs as welle-cli decoded them
};

// welle-cli reads an IQ file in real time, from the start again at its end; run it for a
// while in a directory of its own (it dumps there) and stop it.
std::unique_ptr<testsupport::child> start_welle(const std::string &dir, const std::string &iq) {
    return std::make_unique<testsupport::child>(std::vector<std::string>{"welle-cli", "-f", iq, "-D", "-T"}, dir);
}

welle_run finish_welle(testsupport::child &c, const std::string &dir) {
    c.signal(SIGTERM);
    c.wait(10);
    welle_run r;
    r.out = c.out();
    r.err = c.err();
    const std::string fic = testsupport::read_file(dir + "/dump.fic");
    for (size_t i = 0; i + 32 <= fic.size(); i += 32) r.fibs.push_back(fic.substr(i, 32));
    return r;
}

}  // namespace

// The demo ensemble through dabmod, clean and impaired (noise at 8 dB, a second path 30 us
// late at -8 dB, 20 ppm): welle-cli finds the ensemble and every service label, and every FIB
// it decodes is one of the ETI's (so none with an error).
TEST(DabmodWelle, DecodesTheDemoEnsemble) {
    if (!have_welle()) GTEST_SKIP() << "welle-cli not installed (scripts/install-deps --test)";
    testsupport::temp_dir dir;
    const std::string bin = testsupport::binary_dir() + "/tools/";
    const std::string eti = dir.file("12c.eti");
    auto r = testsupport::run({bin + "dabgen", "-q", "-d", "3", "-o", eti, testsupport::source_dir() + "/demo/12c.ensemble"}, "", 30);
    ASSERT_EQ(r.status, 0) << r.err;
    {
        testsupport::child clean({bin + "dabmod", "-q", "-o", dir.file("clean.iq"), eti}, dir.path());
        testsupport::child impaired({bin + "dabmod", "-q", "-o", dir.file("impaired.iq"), "--snr", "8", "--multipath", "30,-8",
                                     "--sro", "20", "--seed", "3", eti}, dir.path());
        ASSERT_EQ(clean.wait(30), 0) << clean.err();
        ASSERT_EQ(impaired.wait(30), 0) << impaired.err();
    }

    std::set<std::string> eti_fibs;
    {
        dabcommon::eti_reader in;
        ASSERT_EQ(in.open(eti.c_str()), 1);
        auto f = std::make_unique<dabcommon::eti_frame>();
        while (in.next(*f) == 1)
            for (int i = 0; i < f->fib_count(); i++) eti_fibs.insert(std::string(reinterpret_cast<const char *>(f->fib(i)), 32));
    }
    ASSERT_GT(eti_fibs.size(), 100u);

    const std::string names[] = {"clean", "impaired"};
    std::unique_ptr<testsupport::child> runs[2];
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(mkdir(dir.file(names[i]).c_str(), 0755), 0);
        runs[i] = start_welle(dir.file(names[i]), dir.file(names[i] + ".iq"));
    }
    // until both have decoded 2 s of FIC and listed the services, 14 s at most
    for (int t = 0; t < 56; t++) {
        bool all = true;
        for (int i = 0; i < 2; i++) {
            struct stat st {};
            all = all && stat(dir.file(names[i] + "/dump.fic").c_str(), &st) == 0 && st.st_size >= 250 * 32 &&
                  runs[i]->err().find("Demo IP") != std::string::npos;
        }
        if (all) break;
        usleep(250000);
    }
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE(names[i]);
        const welle_run w = finish_welle(*runs[i], dir.file(names[i]));
        EXPECT_NE(w.out.find("Ensemble label: DAB DEMO ONE"), std::string::npos) << w.out << w.err;
        for (const char *label : {"Demo Tones", "Demo Sweep", "Demo Voice", "Demo Plus", "Demo Website", "Demo Files", "Demo IP"})
            EXPECT_NE(w.err.find(label), std::string::npos) << label << "\n" << w.err;
        EXPECT_GE(w.fibs.size(), 250u);
        int foreign = 0;
        for (const std::string &f : w.fibs) foreign += !eti_fibs.count(f);
        EXPECT_EQ(foreign, 0) << "FIBs that are none of the ETI's, of " << w.fibs.size();
    }
}
