#include "impairments.h"

#include <algorithm>
#include <cmath>

namespace dabmod {

namespace {
constexpr double pi = 3.14159265358979323846;
}

const char *impairment_params_error(const impairment_params &p) {
    if (p.noise && !(p.snr_db >= -30 && p.snr_db <= 100)) return "SNR outside -30..100 dB";
    // beyond a tenth of the sample rate the carriers would fold over
    if (!(std::fabs(p.cfo_hz) <= 0.1 * p.sample_rate)) return "frequency offset beyond a tenth of the sample rate";
    if (!(std::fabs(p.sro_ppm) <= 1000)) return "sample-rate offset beyond 1000 ppm";
    if (p.multipath) {
        if (!(p.path2_delay_us >= 0 && p.path2_delay_us <= 1000)) return "second path delay outside 0..1000 us";
        if (!(p.path2_gain_db >= -60 && p.path2_gain_db <= 20)) return "second path gain outside -60..20 dB";
    }
    if (!(p.signal_power > 0) || !(p.sample_rate > 0)) return "no signal power or sample rate";
    return "";
}

sinc_interpolator::sinc_interpolator() : coef_(static_cast<size_t>((phases + 1) * taps)) {
    for (int ph = 0; ph <= phases; ph++) {
        const double frac = static_cast<double>(ph) / phases;
        float *row = &coef_[static_cast<size_t>(ph * taps)];
        double sum = 0;
        for (int j = 0; j < taps; j++) {
            const int m = j - half + 1;
            const double t = frac - m;  // distance of the sample from the wanted instant
            const double sinc = t == 0 ? 1.0 : std::sin(pi * t) / (pi * t);
            const double w = 0.42 + 0.5 * std::cos(pi * t / half) + 0.08 * std::cos(2 * pi * t / half);
            row[j] = static_cast<float>(sinc * w);
            sum += sinc * w;
        }
        // unit gain at DC for every phase, so that a resampled carrier keeps its level
        for (int j = 0; j < taps; j++) row[j] = static_cast<float>(row[j] / sum);
    }
}

cfloat sinc_interpolator::at(const cfloat *x, double frac) const {
    int ph = static_cast<int>(std::lround(frac * phases));
    ph = std::clamp(ph, 0, phases);
    const float *row = &coef_[static_cast<size_t>(ph * taps)];
    const cfloat *s = x - (half - 1);
    float re = 0, im = 0;
    for (int j = 0; j < taps; j++) {
        re += row[j] * s[j].real();
        im += row[j] * s[j].imag();
    }
    return {re, im};
}

double gaussian_source::uniform() {
    // 53 random bits; never 0, so the logarithm below stays finite
    return static_cast<double>((rng_() >> 11) + 1) * (1.0 / 9007199254740992.0);
}

cfloat gaussian_source::complex(double power) {
    const double r = std::sqrt(-power * std::log(uniform()));
    const double a = 2 * pi * uniform();
    return {static_cast<float>(r * std::cos(a)), static_cast<float>(r * std::sin(a))};
}

impairments::impairments(const impairment_params &p) : p_(p), gauss_(p.seed) {
    double received = p.signal_power;
    if (p.multipath) {
        const double g = std::pow(10.0, p.path2_gain_db / 20);
        path2_gain_ = static_cast<float>(g);
        // the paths are uncorrelated at any delay beyond a sample, so their powers add
        received *= 1 + g * g;
        const double d = p.path2_delay_us * 1e-6 * p.sample_rate;
        const double whole = std::floor(d);
        const double f = d - whole;
        path2_int_ = static_cast<size_t>(whole) + (f > 0 ? 1 : 0);
        path2_frac_ = f > 0 ? 1 - f : 0;
        mp_hist_.assign(static_cast<size_t>(2 * sinc_interpolator::half - 1) + path2_int_, cfloat{});
    }
    if (p.noise) noise_power_ = received / std::pow(10.0, p.snr_db / 10);
    if (p.sro_ppm != 0) {
        step_ = 1 / (1 + p.sro_ppm * 1e-6);
        rs_buf_.assign(sinc_interpolator::half - 1, cfloat{});
    }
    phase_step_ = 2 * pi * p.cfo_hz / p.sample_rate;
}

void impairments::multipath(const cfloat *in, size_t n, std::vector<cfloat> &out) {
    const size_t hist = mp_hist_.size();
    std::vector<cfloat> &work = tmp2_;
    work.assign(mp_hist_.begin(), mp_hist_.end());
    work.insert(work.end(), in, in + n);
    const size_t align = sinc_interpolator::half;
    for (size_t j = 0; j < n; j++) {
        const size_t now = hist + j;
        const cfloat direct = work[now - align];
        const cfloat echo = sinc_.at(&work[now - align - path2_int_], path2_frac_);
        out.push_back(direct + path2_gain_ * echo);
    }
    mp_hist_.assign(work.end() - static_cast<std::ptrdiff_t>(hist), work.end());
}

void impairments::resample(const cfloat *in, size_t n, std::vector<cfloat> &out) {
    rs_buf_.insert(rs_buf_.end(), in, in + n);
    constexpr size_t lead = sinc_interpolator::half - 1;  // history ahead of input sample 0
    for (;;) {
        const double t = static_cast<double>(rs_out_) * step_;  // in input samples
        const double base = std::floor(t);
        const size_t i = static_cast<size_t>(base) + lead - rs_dropped_;
        if (i + sinc_interpolator::half >= rs_buf_.size()) break;
        out.push_back(sinc_.at(&rs_buf_[i], t - base));
        rs_out_++;
    }
    const double next = std::floor(static_cast<double>(rs_out_) * step_);
    const size_t keep_from = static_cast<size_t>(next) - rs_dropped_;  // its history starts lead before
    if (keep_from > 0) {
        rs_buf_.erase(rs_buf_.begin(), rs_buf_.begin() + static_cast<std::ptrdiff_t>(keep_from));
        rs_dropped_ += keep_from;
    }
}

void impairments::process(const cfloat *in, size_t n, std::vector<cfloat> &out) {
    const size_t first = out.size();
    if (p_.multipath && p_.sro_ppm != 0) {
        tmp_.clear();
        multipath(in, n, tmp_);
        resample(tmp_.data(), tmp_.size(), out);
    } else if (p_.multipath) {
        multipath(in, n, out);
    } else if (p_.sro_ppm != 0) {
        resample(in, n, out);
    } else {
        out.insert(out.end(), in, in + n);
    }
    if (p_.cfo_hz != 0) {
        for (size_t j = first; j < out.size(); j++) {
            out[j] *= cfloat(static_cast<float>(std::cos(phase_)), static_cast<float>(std::sin(phase_)));
            phase_ += phase_step_;
            if (phase_ >= pi) phase_ -= 2 * pi;
            if (phase_ < -pi) phase_ += 2 * pi;
        }
    }
    if (p_.noise) {
        for (size_t j = first; j < out.size(); j++) out[j] += gauss_.complex(noise_power_);
    }
}

}  // namespace dabmod
