#include "sdr/ofdm_demod.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/ofdm.h"
#include "sdr/fft.h"
#include "sdr/sync.h"

using namespace dabcommon;
using cf = std::complex<float>;

namespace {

// The FFT window starts this far into the guard: early costs nothing (the cyclic prefix), late
// takes in the next symbol.
constexpr int WINDOW_ADVANCE = 24;
constexpr int MAX_CARRIER_OFFSET = 35;  // kHz either side: a crystal 150 ppm off in Band III
constexpr double MAX_RATE_OFFSET = 300e-6;
// A null symbol is a window whose power is below this share of the mean.
constexpr double NULL_DEPTH = 0.5;
// Impulse response peak over its mean power: noise alone stays below ~12 (2048 bins).
constexpr double MIN_PEAK = 25;
constexpr int LOST_AFTER = 3;  // frames without a phase reference before searching again
constexpr float SOFT_SCALE = 90;  // soft value of a carrier of mean strength on the axis
// Components beyond this are no receiver's samples; they would overflow the energy sums.
constexpr float MAX_SAMPLE = 1e6f;

}  // namespace

struct ofdm_receiver::impl {
    fft fwd{OFDM_FFT_SIZE, false};
    fft inv{OFDM_FFT_SIZE, true};
    std::vector<cf> buf;  // samples from absolute index base on
    int64_t base = 0;
    bool tracking = false;
    bool fresh = false;    // first frame after acquisition
    double frame_pos = 0;  // absolute position of the next frame's null symbol
    double ratio = 1;      // device samples per nominal sample
    double freq = 0;       // carrier offset, Hz
    double snr = 0;
    int misses = 0;
    int64_t pending_null = -1;  // a null found whose frame is not all here yet
    std::array<cf, OFDM_FFT_SIZE> ramp{};
    double ramp_freq = NAN;
    std::array<cf, OFDM_CARRIERS> prev{};
    std::array<float, OFDM_BITS> soft{};
    sdr_frame frame{};

    void drop(size_t n) {
        n = std::min(n, buf.size());
        buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
        base += static_cast<int64_t>(n);
    }
    // Back to searching, past what was looked at, so that the search cannot find the same again.
    void lose() {
        tracking = false;
        double past = std::floor(frame_pos) - OFDM_GUARD - static_cast<double>(base);
        drop(past > OFDM_NULL ? static_cast<size_t>(past) : OFDM_NULL);
    }
    bool have(double from, double to) const {
        return std::floor(from) >= static_cast<double>(base) && to <= static_cast<double>(base) + static_cast<double>(buf.size());
    }
    const cf *spectrum(double pos, int64_t ref);
    bool acquire();
    bool demodulate(const std::function<void(const sdr_frame &)> &out);
};

// Spectrum of the 2048 samples from absolute position pos (fractional: the rest of a sample is
// turned into each carrier's phase), the carrier offset taken out with its phase counted from
// absolute sample ref. nullptr if those samples are not buffered.
const cf *ofdm_receiver::impl::spectrum(double pos, int64_t ref) {
    if (!have(pos, pos + OFDM_FFT_SIZE + 1)) return nullptr;
    auto i = static_cast<int64_t>(std::floor(pos));
    double mu = pos - static_cast<double>(i);
    if (freq != ramp_freq) {
        for (int m = 0; m < OFDM_FFT_SIZE; m++)
            ramp[m] = cf(std::polar(1.0, -2 * M_PI * freq * m / OFDM_SAMPLE_RATE));
        ramp_freq = freq;
    }
    double cycles = freq * static_cast<double>(i - ref) / OFDM_SAMPLE_RATE;
    cf rot(std::polar(1.0, -2 * M_PI * (cycles - std::floor(cycles))));
    const cf *x = &buf[static_cast<size_t>(i - base)];
    cf *in = fwd.in();
    for (int m = 0; m < OFDM_FFT_SIZE; m++) in[m] = x[m] * ramp[m] * rot;
    fwd.run();
    cf *out = fwd.out();
    if (mu != 0) {
        std::complex<double> step = std::polar(1.0, 2 * M_PI * mu / OFDM_FFT_SIZE), up = 1, down = 1;
        for (int k = 1; k <= OFDM_KMAX; k++) {
            up *= step;
            down *= std::conj(step);
            out[k] *= cf(up);
            out[OFDM_FFT_SIZE - k] *= cf(down);
        }
    }
    return out;
}

bool ofdm_receiver::impl::acquire() {
    // Windows starting in one frame's length: the first null, not the next one alike.
    const size_t search = OFDM_FRAME + OFDM_NULL - 1;
    if (buf.size() < search) return false;
    sdr_sync::null_result nr;
    if (pending_null >= base) {
        nr.start = static_cast<size_t>(pending_null - base);
    } else {
        nr = sdr_sync::find_null(buf.data(), search);
        if (nr.depth > NULL_DEPTH) {
            drop(OFDM_FRAME);
            return true;
        }
    }
    // This frame and the phase reference of the next, with room for timing and clock errors.
    pending_null = base + static_cast<int64_t>(nr.start);
    if (buf.size() < nr.start + OFDM_FRAME + OFDM_NULL + OFDM_SYMBOL + 1024) return false;
    pending_null = -1;
    int64_t ref = base + static_cast<int64_t>(nr.start);
    std::complex<double> c = 0;
    for (int l = 0; l < OFDM_SYMBOLS; l++) c += sdr_sync::cp_correlation(&buf[nr.start + OFDM_NULL + l * OFDM_SYMBOL]);
    freq = sdr_sync::cp_frequency(c);
    // Middle of the guard: the null's edge found from energy may be off by some tens of samples.
    double guess = static_cast<double>(ref) + OFDM_NULL + OFDM_GUARD / 2;
    const cf *sp = spectrum(guess, ref);
    if (!sp) return false;
    freq += 1000.0 * sdr_sync::coarse_frequency(sp, MAX_CARRIER_OFFSET);
    sp = spectrum(guess, ref);
    if (!sp) return false;
    sdr_sync::timing_result t0 = sdr_sync::prs_timing(sp, inv);
    double prs0 = guess + t0.offset - OFDM_GUARD;
    double next = prs0 + OFDM_FRAME + OFDM_GUARD / 2;
    sp = t0.peak >= MIN_PEAK ? spectrum(next, ref) : nullptr;
    sdr_sync::timing_result t1;
    if (sp) t1 = sdr_sync::prs_timing(sp, inv);
    double r = (next + t1.offset - OFDM_GUARD - prs0) / OFDM_FRAME;
    if (!sp || t1.peak < MIN_PEAK || std::fabs(r - 1) > MAX_RATE_OFFSET) {
        drop(nr.start + OFDM_NULL);  // a dip, but no phase reference after it
        return true;
    }
    ratio = r;
    frame_pos = prs0 - OFDM_NULL * r;
    tracking = fresh = true;
    misses = 0;
    return true;
}

bool ofdm_receiver::impl::demodulate(const std::function<void(const sdr_frame &)> &out) {
    // The earliest sample read is the null's middle, 304 past its start, after the timing
    // correction below (at most half a guard either way).
    constexpr double FIRST_READ = (OFDM_NULL - OFDM_FFT_SIZE) / 2.0;
    constexpr double SLACK = OFDM_GUARD / 2;
    if (std::floor(frame_pos + FIRST_READ - SLACK) < static_cast<double>(base)) {
        lose();
        return true;
    }
    if (!have(frame_pos + FIRST_READ - SLACK, frame_pos + OFDM_FRAME * ratio + SLACK + 8)) return false;
    auto symbol_pos = [&](int l) { return frame_pos + (OFDM_NULL + (l - 1) * OFDM_SYMBOL) * ratio; };

    auto ref = static_cast<int64_t>(std::floor(frame_pos));
    const cf *sp = spectrum(symbol_pos(1) + OFDM_GUARD - WINDOW_ADVANCE, ref);
    if (!sp) {
        lose();
        return true;
    }
    sdr_sync::timing_result t = sdr_sync::prs_timing(sp, inv);
    double err = t.offset - WINDOW_ADVANCE;
    if (t.peak < MIN_PEAK || std::fabs(err) > OFDM_GUARD / 2) {
        frame_pos += OFDM_FRAME * ratio;  // a faded frame: keep the beat
        if (++misses >= LOST_AFTER) lose();
        return true;
    }
    misses = 0;
    frame_pos += err;
    if (!have(frame_pos + FIRST_READ, frame_pos + OFDM_FRAME * ratio + 4)) {
        lose();
        return true;
    }
    // Drift between frames is the sample clock's error; the first frame measured it already.
    // A jump of more than a few samples is rather the strongest echo changing than the clock.
    if (!fresh)
        ratio = std::clamp(ratio + 0.3 * std::clamp(err, -4.0, 4.0) / OFDM_FRAME, 1 - MAX_RATE_OFFSET, 1 + MAX_RATE_OFFSET);

    // The cyclic prefix turns by the carrier offset's rest below 1 kHz, whatever was taken out.
    std::complex<double> c = 0;
    for (int l = 1; l <= OFDM_SYMBOLS; l++)
        c += sdr_sync::cp_correlation(&buf[static_cast<size_t>(std::llround(symbol_pos(l))) - static_cast<size_t>(base)]);
    double rest = sdr_sync::cp_frequency(c) - freq;
    rest -= 1000.0 * std::round(rest / 1000.0);
    freq += 0.5 * rest;

    // Noise from the null symbol's middle, signal from the phase reference, on the carriers'
    // bins; the median keeps the TII carriers some transmitters put into the null out.
    sp = spectrum(frame_pos + FIRST_READ, ref);
    if (!sp) {
        lose();
        return true;
    }
    std::array<float, OFDM_CARRIERS> noise;
    for (int i = 0; i < OFDM_CARRIERS; i++) noise[i] = std::norm(sp[carrier_bin(carrier_of_index(i))]);
    std::nth_element(noise.begin(), noise.begin() + OFDM_CARRIERS / 2, noise.end());
    double n0 = noise[OFDM_CARRIERS / 2] / M_LN2;

    sp = spectrum(symbol_pos(1) + OFDM_GUARD - WINDOW_ADVANCE, ref);
    if (!sp) {
        lose();
        return true;
    }
    double s0 = 0;
    for (int i = 0; i < OFDM_CARRIERS; i++) {
        prev[i] = sp[carrier_bin(carrier_of_index(i))];
        s0 += std::norm(prev[i]);
    }
    s0 /= OFDM_CARRIERS;
    double x = n0 > 0 ? (s0 - n0) / n0 : 1e6;
    double snr_now = x > 1e-3 ? std::min(60.0, 10 * std::log10(x)) : -30.0;
    snr = fresh ? snr_now : 0.8 * snr + 0.2 * snr_now;
    fresh = false;

    for (int l = 2; l <= OFDM_SYMBOLS; l++) {
        sp = spectrum(symbol_pos(l) + OFDM_GUARD - WINDOW_ADVANCE, ref);
        if (!sp) {
            lose();
            return true;
        }
        double sum = 0;
        for (int i = 0; i < OFDM_CARRIERS; i++) {
            cf z = sp[carrier_bin(carrier_of_index(i))];
            cf d = z * std::conj(prev[i]);
            prev[i] = z;
            // z(l) = z(l-1) y with y = (1 - 2p) + j (1 - 2p'): a negative axis means a 1.
            soft[i] = -d.real();
            soft[i + OFDM_CARRIERS] = -d.imag();
            sum += std::abs(d);
        }
        // Weighted by the carrier's own strength through |z|^2 in d: a faded carrier says little.
        float scale = sum > 0 ? static_cast<float>(SOFT_SCALE * OFDM_CARRIERS / sum) : 0.f;
        int s = l - 2;
        int8_t *dst = s < OFDM_FIC_SYMBOLS ? frame.fic.data() + s * OFDM_BITS
                                           : frame.msc.data() + (s - OFDM_FIC_SYMBOLS) * OFDM_BITS;
        for (int n = 0; n < OFDM_CARRIERS; n++) {
            int i = carrier_index(frequency_interleaving[n]);
            dst[n] = static_cast<int8_t>(std::lround(std::clamp(soft[i] * scale, -127.f, 127.f)));
            dst[n + OFDM_CARRIERS] = static_cast<int8_t>(std::lround(std::clamp(soft[i + OFDM_CARRIERS] * scale, -127.f, 127.f)));
        }
    }
    frame.snr_db = snr;
    frame.freq_offset_hz = freq;
    frame_pos += OFDM_FRAME * ratio;
    if (out) out(frame);
    return true;
}

ofdm_receiver::ofdm_receiver() : d(std::make_unique<impl>()) {}
ofdm_receiver::~ofdm_receiver() = default;

void ofdm_receiver::feed(const std::complex<float> *s, size_t n, const std::function<void(const sdr_frame &)> &out) {
    if (!s) n = 0;
    // A frame's worth at a time: the buffer stays a few frames long however much comes at once.
    for (size_t at = 0; at < n;) {
        size_t end = std::min(n, at + OFDM_FRAME);
        for (; at < end; at++) {
            float re = s[at].real(), im = s[at].imag();
            if (!(std::fabs(re) <= MAX_SAMPLE)) re = 0;  // NaN too
            if (!(std::fabs(im) <= MAX_SAMPLE)) im = 0;
            d->buf.emplace_back(re, im);
        }
        while (d->tracking ? d->demodulate(out) : d->acquire()) {
        }
        if (d->tracking) {
            // Now and then, not per call: small calls would move the whole buffer each time.
            double dead = std::floor(d->frame_pos) - 2 * OFDM_GUARD - static_cast<double>(d->base);
            if (dead > OFDM_FRAME / 4) d->drop(static_cast<size_t>(dead));
        }
    }
}

void ofdm_receiver::reset() {
    d->buf.clear();
    d->base = 0;
    d->tracking = d->fresh = false;
    d->ratio = 1;
    d->freq = 0;
    d->snr = 0;
    d->misses = 0;
    d->pending_null = -1;
}

bool ofdm_receiver::synced() const { return d->tracking; }
double ofdm_receiver::snr_db() const { return d->snr; }
double ofdm_receiver::freq_offset_hz() const { return d->freq; }
double ofdm_receiver::sample_rate_offset_ppm() const { return (d->ratio - 1) * 1e6; }
