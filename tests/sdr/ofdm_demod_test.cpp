// The front end on signals built here from the mode I tables: random bits through QPSK,
// differential modulation and an inverse FFT, then carrier, clock and noise impairments.
#include <gtest/gtest.h>

#include <fftw3.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/ofdm.h"
#include "sdr/ofdm_demod.h"

using namespace dabcommon;
using cf = std::complex<float>;

namespace {

struct signal_params {
    int frames = 4;
    size_t skip = 0;          // samples cut from the front: the receiver starts mid-frame
    double freq_hz = 0;       // carrier offset
    double ppm = 0;           // device clock fast by this much: more samples per frame
    double carrier_snr_db = 99;
    unsigned seed = 1;
    int echo_delay = 0;  // samples: a second path this much later
    float echo_gain = 0;
};

struct test_signal {
    std::vector<cf> iq;
    std::vector<std::vector<uint8_t>> bits;  // per frame: 75 symbols x 3072
};

// Ideal frames at 2.048 Msps, each carrier of power 1 per FFT bin.
std::vector<cf> modulate(const std::vector<std::vector<uint8_t>> &bits) {
    std::vector<cf> out;
    fftwf_complex *buf = fftwf_alloc_complex(OFDM_FFT_SIZE);
    fftwf_plan plan = fftwf_plan_dft_1d(OFDM_FFT_SIZE, buf, buf, FFTW_BACKWARD, FFTW_ESTIMATE);
    auto *b = reinterpret_cast<cf *>(buf);
    const float norm = 1.0f / OFDM_FFT_SIZE;
    for (const auto &frame : bits) {
        out.insert(out.end(), OFDM_NULL, cf(0, 0));
        std::vector<cf> z(prs_carriers().begin(), prs_carriers().end()), y(OFDM_CARRIERS);
        for (int l = 1; l <= OFDM_SYMBOLS; l++) {
            if (l > 1) {
                map_symbol(&frame[static_cast<size_t>(l - 2) * OFDM_BITS], y.data());
                for (int i = 0; i < OFDM_CARRIERS; i++) z[i] *= y[i];
            }
            for (int n = 0; n < OFDM_FFT_SIZE; n++) b[n] = 0;
            for (int i = 0; i < OFDM_CARRIERS; i++) b[carrier_bin(carrier_of_index(i))] = z[i];
            fftwf_execute(plan);
            for (int n = OFDM_FFT_SIZE - OFDM_GUARD; n < OFDM_FFT_SIZE; n++) out.push_back(b[n] * norm);
            for (int n = 0; n < OFDM_FFT_SIZE; n++) out.push_back(b[n] * norm);
        }
    }
    fftwf_destroy_plan(plan);
    fftwf_free(buf);
    return out;
}

// Band-limited interpolation (Blackman-windowed sinc, 32 taps): the signal as a clock fast by
// ppm would have sampled it.
std::vector<cf> resample(const std::vector<cf> &in, double ppm) {
    constexpr int TAPS = 32, PHASES = 4096;
    static std::vector<float> table = [] {
        std::vector<float> t(static_cast<size_t>(PHASES) * TAPS);
        for (int p = 0; p < PHASES; p++)
            for (int j = 0; j < TAPS; j++) {
                double x = j - TAPS / 2 + 1 - static_cast<double>(p) / PHASES;  // tap distance
                double sinc = x == 0 ? 1 : std::sin(M_PI * x) / (M_PI * x);
                double w = (x + TAPS / 2.0) / TAPS;
                double win = 0.42 - 0.5 * std::cos(2 * M_PI * w) + 0.08 * std::cos(4 * M_PI * w);
                t[static_cast<size_t>(p) * TAPS + j] = static_cast<float>(sinc * win);
            }
        return t;
    }();
    std::vector<cf> out;
    double step = 1 / (1 + ppm * 1e-6);
    for (double t = TAPS; t < static_cast<double>(in.size()) - TAPS; t += step) {
        auto i = static_cast<size_t>(t);
        int p = static_cast<int>((t - static_cast<double>(i)) * PHASES);
        const float *h = &table[static_cast<size_t>(p) * TAPS];
        cf acc = 0;
        for (int j = 0; j < TAPS; j++) acc += in[i - TAPS / 2 + 1 + j] * h[j];
        out.push_back(acc);
    }
    return out;
}

test_signal make_signal(const signal_params &p) {
    test_signal s;
    std::mt19937 rng(p.seed);
    for (int f = 0; f < p.frames; f++) {
        std::vector<uint8_t> b(static_cast<size_t>(OFDM_SYMBOLS - 1) * OFDM_BITS);
        for (auto &x : b) x = rng() & 1;
        s.bits.push_back(std::move(b));
    }
    std::vector<cf> iq = modulate(s.bits);
    iq.insert(iq.end(), OFDM_NULL, cf(0, 0));  // the next frame's null: the last one ends for sure
    if (p.echo_delay > 0)
        for (size_t n = iq.size(); n-- > static_cast<size_t>(p.echo_delay);) iq[n] += p.echo_gain * iq[n - p.echo_delay];
    if (p.ppm != 0) iq = resample(iq, p.ppm);
    // Per carrier: power 1 per bin against noise of 2048 sigma^2 per bin.
    double sigma = std::sqrt(std::pow(10, -p.carrier_snr_db / 10) / OFDM_FFT_SIZE / 2);
    std::normal_distribution<float> noise(0, static_cast<float>(sigma));
    for (size_t n = 0; n < iq.size(); n++) {
        double ph = 2 * M_PI * p.freq_hz * static_cast<double>(n) / OFDM_SAMPLE_RATE;
        iq[n] = iq[n] * cf(std::polar(1.0, std::fmod(ph, 2 * M_PI))) + cf(noise(rng), noise(rng));
    }
    s.iq.assign(iq.begin() + static_cast<std::ptrdiff_t>(std::min(p.skip, iq.size())), iq.end());
    return s;
}

// Which sent frame a demodulated one is, and how many hard decisions differ from it.
struct match {
    int frame = -1;
    int errors = 0;
};

match best_match(const sdr_frame &f, const test_signal &s) {
    match best{-1, 1 << 30};
    for (size_t i = 0; i < s.bits.size(); i++) {
        const auto &b = s.bits[i];
        int e = 0;
        for (size_t n = 0; n < f.fic.size(); n++) e += (f.fic[n] > 0) != (b[n] == 1);
        for (size_t n = 0; n < f.msc.size(); n++) e += (f.msc[n] > 0) != (b[f.fic.size() + n] == 1);
        if (e < best.errors) best = {static_cast<int>(i), e};
    }
    return best;
}

struct run_result {
    std::vector<match> frames;
    double freq = 0, ppm = 0, snr = 0;
    bool synced = false;
};

run_result receive(const test_signal &s, size_t chunk = 8192) {
    ofdm_receiver rx;
    run_result r;
    for (size_t at = 0; at < s.iq.size(); at += chunk)
        rx.feed(&s.iq[at], std::min(chunk, s.iq.size() - at), [&](const sdr_frame &f) {
            r.frames.push_back(best_match(f, s));
            r.snr = f.snr_db;
        });
    r.freq = rx.freq_offset_hz();
    r.ppm = rx.sample_rate_offset_ppm();
    r.synced = rx.synced();
    return r;
}

// Every frame complete in the input after the one the search needs comes out, in order, bit exact.
TEST(OfdmReceiver, ImpairedSignalsBitExact) {
    const struct { int line; signal_params p; } cases[] = {
        {__LINE__, {3, 0, 0, 0, 99, 1}},            // clean, from the first sample
        {__LINE__, {3, 123457, 0, 0, 30, 2}},       // mid-frame start, 30 dB
        {__LINE__, {3, 50001, 20000, 0, 30, 3}},    // 20 kHz off
        {__LINE__, {3, 77777, -31234.5, 0, 30, 4}}, // 31 kHz below, not on the raster
        {__LINE__, {4, 4321, 0, 50, 30, 5}},        // clock 50 ppm fast
        {__LINE__, {4, 160000, 12345, -80, 30, 6}}, // 80 ppm slow and 12 kHz off
    };
    for (const auto &c : cases) {
        test_signal s = make_signal(c.p);
        run_result r = receive(s);
        // With a cut first frame, the search starts from the second.
        int first = c.p.skip == 0 ? 0 : 1;
        ASSERT_EQ(static_cast<int>(r.frames.size()), c.p.frames - first) << "line " << c.line;
        for (size_t i = 0; i < r.frames.size(); i++) {
            EXPECT_EQ(r.frames[i].frame, first + static_cast<int>(i)) << "line " << c.line;
            EXPECT_EQ(r.frames[i].errors, 0) << "line " << c.line << " frame " << i;
        }
        EXPECT_TRUE(r.synced) << "line " << c.line;
        EXPECT_NEAR(r.freq, c.p.freq_hz, 5) << "line " << c.line;
        EXPECT_NEAR(r.ppm, c.p.ppm, 3) << "line " << c.line;
    }
}

// The signal goes away (noise only) and comes back 7 kHz and 20 ppm elsewhere: the receiver
// lets go of the first and locks to the second.
TEST(OfdmReceiver, LosesAndFindsAgain) {
    test_signal a = make_signal({2, 0, 0, 0, 30, 11});
    test_signal b = make_signal({3, 0, 7000, 20, 30, 12});
    test_signal s;
    s.iq = a.iq;
    std::mt19937 rng(13);
    std::normal_distribution<float> g(0, 0.01f);
    for (int n = 0; n < 2 * OFDM_FRAME + 12345; n++) s.iq.emplace_back(g(rng), g(rng));
    s.iq.insert(s.iq.end(), b.iq.begin(), b.iq.end());
    s.bits = a.bits;
    s.bits.insert(s.bits.end(), b.bits.begin(), b.bits.end());
    run_result r = receive(s, 30000);
    // All of the first; the second from its second frame on at the latest.
    ASSERT_GE(r.frames.size(), 4u);
    for (size_t i = 0; i < r.frames.size(); i++) EXPECT_EQ(r.frames[i].errors, 0) << "frame " << i;
    for (size_t i = 0; i < 2; i++) EXPECT_EQ(r.frames[i].frame, static_cast<int>(i));
    EXPECT_EQ(r.frames.back().frame, 4);
    EXPECT_TRUE(r.synced);
    EXPECT_NEAR(r.freq, 7000, 5);
    EXPECT_NEAR(r.ppm, 20, 3);
}

// A later echo 3 dB stronger than the first path, well inside the guard: a window placed after
// the strong echo takes in the first path's next symbol (some 5 % of the bits wrong).
TEST(OfdmReceiver, StrongLateEcho) {
    signal_params p{3, 999, 1500, 0, 30, 14};
    p.echo_delay = 307;  // 150 us
    p.echo_gain = 1.41f;
    test_signal s = make_signal(p);
    run_result r = receive(s);
    ASSERT_EQ(r.frames.size(), 2u);
    for (const auto &m : r.frames) EXPECT_LT(m.errors, 75 * 3072 / 1000) << "frame " << m.frame;
}

// The null symbol's noise against the carriers' power, as the generator set them.
TEST(OfdmReceiver, SnrEstimate) {
    const struct { int line; double snr_db; } cases[] = {{__LINE__, 6}, {__LINE__, 15}, {__LINE__, 25}};
    for (const auto &c : cases) {
        run_result r = receive(make_signal({3, 1000, 0, 0, c.snr_db, 7}));
        ASSERT_FALSE(r.frames.empty()) << "line " << c.line;
        EXPECT_NEAR(r.snr, c.snr_db, 1.5) << "line " << c.line;
    }
}

// Noise alone, or a carrier without nulls: no frame, no lock.
TEST(OfdmReceiver, NoSignalNoFrames) {
    std::mt19937 rng(9);
    std::normal_distribution<float> g(0, 1);
    std::vector<cf> noise(3 * OFDM_FRAME), tone(3 * OFDM_FRAME);
    for (auto &x : noise) x = cf(g(rng), g(rng));
    for (size_t n = 0; n < tone.size(); n++) tone[n] = cf(std::polar(1.0, 0.01 * static_cast<double>(n)));
    for (const auto *v : {&noise, &tone}) {
        ofdm_receiver rx;
        int frames = 0;
        rx.feed(v->data(), v->size(), [&](const sdr_frame &) { frames++; });
        EXPECT_EQ(frames, 0);
        EXPECT_FALSE(rx.synced());
    }
}

}  // namespace
