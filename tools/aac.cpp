#include "aac.h"

#include <cmath>
#include <complex>
#include <cstdlib>

#include "aac_tables.h"

namespace dabgen {
namespace {

constexpr int M = aac_encoder::frame_length;  // spectral lines
constexpr int N = 2 * M;                      // window length
constexpr int max_quant = 8191;               // largest value an escape sequence carries
constexpr int zero_hcb = 0, esc_hcb = 11;
constexpr int fill_max_bits = 7 + 8 * 270;  // count 15, esc_count 255: 269 payload bytes

struct bit_counter {
    size_t n = 0;
    void put(uint32_t, int bits) { n += static_cast<size_t>(bits); }
};

using cplx = std::complex<double>;
constexpr int F = M / 2;  // the DCT-IV runs as a complex FFT of 480 = 2^5 * 3 * 5 points

// The MDCT of 1920 windowed samples folds into a DCT-IV of 960, X[k] = 2 sum u[n]
// cos(pi/960 (n + 1/2)(k + 1/2)): with t[n] = u[2n] + i u[959 - 2n] and
// S[k] = e^(-i pi (k + 1/4) / 960) sum t[n] e^(-i pi n / 960) e^(-2 pi i n k / 480),
// X[2k] = 2 Re S[k] and X[959 - 2k] = -2 Im S[k].
struct transform_tables {
    std::vector<float> window;
    std::vector<cplx> pre, post, roots;  // roots: e^(-2 pi i j / 480)
    transform_tables() : window(N), pre(F), post(F), roots(F) {
        const double pi = std::acos(-1.0);
        for (int n = 0; n < N; n++) window[static_cast<size_t>(n)] = static_cast<float>(std::sin(pi / N * (n + 0.5)));
        for (int j = 0; j < F; j++) {
            pre[static_cast<size_t>(j)] = std::polar(1.0, -pi * j / M);
            post[static_cast<size_t>(j)] = std::polar(2.0, -pi * (j + 0.25) / M);
            roots[static_cast<size_t>(j)] = std::polar(1.0, -2 * pi * j / F);
        }
    }
};

const transform_tables &tables() {
    static const transform_tables t;
    return t;
}

// Mixed-radix FFT by decimation in time: n points of in (every stride-th), into out;
// roots of unity of n are every step-th of the table's.
void fft(const cplx *in, cplx *out, int n, int stride, int step, const std::vector<cplx> &roots) {
    if (n == 1) {
        out[0] = in[0];
        return;
    }
    int p = 2;
    while (n % p) p++;
    const int m = n / p;
    for (int r = 0; r < p; r++) fft(in + r * stride, out + r * m, m, stride * p, step * p, roots);
    std::array<cplx, 5> t;  // 480 has no factor above 5
    auto root = [&](int e) { return roots[static_cast<size_t>((e % n) * step)]; };
    for (int k = 0; k < m; k++) {
        for (int r = 0; r < p; r++) t[static_cast<size_t>(r)] = out[r * m + k] * root(r * k);
        for (int q = 0; q < p; q++) {
            cplx sum = 0;
            for (int r = 0; r < p; r++) sum += t[static_cast<size_t>(r)] * root(r * q * m);
            out[q * m + k] = sum;
        }
    }
}

template <class W>
void put_escape(W &w, int v) {
    // escape_prefix of n ones and a zero, escape_word of n + 4 bits: v = 2^(n+4) + word
    int n = 0;
    while (v >> (n + 5)) n++;
    w.put((1u << (n + 1)) - 2, n + 1);
    w.put(static_cast<uint32_t>(v - (1 << (n + 4))), n + 4);
}

template <class W>
void put_pair(W &w, int a, int b) {
    const int y = std::abs(a), z = std::abs(b);
    const huff_code &c = spectrum_hcb11[static_cast<size_t>(17 * (y < 16 ? y : 16) + (z < 16 ? z : 16))];
    w.put(c.code, c.bits);
    if (y) w.put(a < 0, 1);
    if (z) w.put(b < 0, 1);
    if (y >= 16) put_escape(w, y);
    if (z >= 16) put_escape(w, z);
}

void put_fill(bit_writer &w, int units) {
    // fill_element: count(4), esc_count(8) when count is 15 (cnt = 14 + esc_count), then cnt
    // bytes of extension_payload: EXT_FILL(4), fill_nibble(4), fill_byte 10100101 ...
    int cnt = units;
    w.put(AAC_ID_FIL, 3);
    if (units < 15) {
        w.put(static_cast<uint32_t>(units), 4);
    } else {
        w.put(15, 4);
        w.put(static_cast<uint32_t>(units - 15), 8);
        cnt = units - 1;
    }
    if (cnt == 0) return;
    w.put(0, 8);
    for (int i = 1; i < cnt; i++) w.put(0xA5, 8);
}

}  // namespace

void bit_writer::put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; i--) {
        if ((bits_ & 7) == 0) buf_.push_back(0);
        if (value >> i & 1) buf_.back() = static_cast<uint8_t>(buf_.back() | 0x80 >> (bits_ & 7));
        bits_++;
    }
}

void bit_writer::align() { bits_ = (bits_ + 7) & ~static_cast<size_t>(7); }

size_t dse_bits(size_t len) { return 16 + (len >= 255 ? 8 : 0) + 8 * len; }

bool write_dse(bit_writer &w, const uint8_t *data, size_t len) {
    if (len > dse_max_bytes) return false;
    // id(3) element_instance_tag(4) data_byte_align_flag(1) count(8) [esc_count(8)]
    w.put(AAC_ID_DSE, 3);
    w.put(0, 4);
    w.put(0, 1);
    if (len < 255) {
        w.put(static_cast<uint32_t>(len), 8);
    } else {
        w.put(255, 8);
        w.put(static_cast<uint32_t>(len - 255), 8);
    }
    for (size_t i = 0; i < len; i++) w.put(data[i], 8);
    return true;
}

void write_fill(bit_writer &w, size_t lo) {
    size_t hi = lo + 7;
    while (hi > fill_max_bits + 7) {
        put_fill(w, 270);
        hi -= fill_max_bits;
    }
    // the one size of 7 + 8 * units bits in [hi - 7, hi]
    size_t v = hi - (hi + 1) % 8;
    put_fill(w, static_cast<int>((v - 7) / 8));
}

bool aac_encoder::init(int sample_rate, int channels, std::string &err) {
    switch (sample_rate) {
    case 48000:
    case 32000:
        swb_ = swb_offset_960_48.data();
        num_swb_ = static_cast<int>(swb_offset_960_48.size()) - 1;
        break;
    case 24000:
        swb_ = swb_offset_960_24.data();
        num_swb_ = static_cast<int>(swb_offset_960_24.size()) - 1;
        break;
    case 16000:
        swb_ = swb_offset_960_16.data();
        num_swb_ = static_cast<int>(swb_offset_960_16.size()) - 1;
        break;
    default:
        err = "AAC core sample rate must be 48000, 32000, 24000 or 16000";
        return false;
    }
    if (channels != 1 && channels != 2) {
        err = "AAC needs one or two channels";
        return false;
    }
    channels_ = channels;
    for (int ch = 0; ch < 2; ch++) {
        prev_[static_cast<size_t>(ch)].assign(M, 0.0f);
        pow34_[static_cast<size_t>(ch)].assign(M, 0.0f);
        q_[static_cast<size_t>(ch)].assign(M, 0);
    }
    tables();
    return true;
}

void aac_encoder::transform(int ch, const int16_t *pcm) {
    const transform_tables &t = tables();
    std::vector<float> &prev = prev_[static_cast<size_t>(ch)];
    std::array<float, N> z;
    for (int n = 0; n < M; n++) {
        z[static_cast<size_t>(n)] = t.window[static_cast<size_t>(n)] * prev[static_cast<size_t>(n)];
        const float cur = pcm[n * channels_ + ch];
        z[static_cast<size_t>(M + n)] = t.window[static_cast<size_t>(M + n)] * cur;
        prev[static_cast<size_t>(n)] = cur;
    }
    // quarters a b c d of the window fold into (-c reversed - d, a - b reversed)
    constexpr int h = M / 2;
    std::array<float, M> u;
    for (int n = 0; n < h; n++) {
        u[static_cast<size_t>(n)] = -z[static_cast<size_t>(3 * h - 1 - n)] - z[static_cast<size_t>(3 * h + n)];
        u[static_cast<size_t>(h + n)] = z[static_cast<size_t>(n)] - z[static_cast<size_t>(M - 1 - n)];
    }
    std::array<cplx, F> v, y;
    for (int n = 0; n < F; n++)
        v[static_cast<size_t>(n)] = cplx(u[static_cast<size_t>(2 * n)], u[static_cast<size_t>(M - 1 - 2 * n)]) *
                                    t.pre[static_cast<size_t>(n)];
    fft(v.data(), y.data(), F, 1, 1, t.roots);
    std::array<float, M> x;
    for (int k = 0; k < F; k++) {
        const cplx s = y[static_cast<size_t>(k)] * t.post[static_cast<size_t>(k)];
        x[static_cast<size_t>(2 * k)] = static_cast<float>(s.real());
        x[static_cast<size_t>(M - 1 - 2 * k)] = static_cast<float>(-s.imag());
    }
    // |X|^(3/4) with the sign of X, ready for quantizing at any gain
    std::vector<float> &p = pow34_[static_cast<size_t>(ch)];
    for (int k = 0; k < M; k++) {
        const float v = x[static_cast<size_t>(k)];
        const float m = std::pow(std::fabs(v), 0.75f);
        p[static_cast<size_t>(k)] = v < 0 ? -m : m;
    }
}

bool aac_encoder::quantize(int gain) {
    // x_quant = int(|X|^(3/4) * 2^(-3/16 (gain - 100)) + 0.4054)
    const double scale = std::pow(2.0, -0.1875 * (gain - 100));
    for (int ch = 0; ch < channels_; ch++) {
        const std::vector<float> &p = pow34_[static_cast<size_t>(ch)];
        std::vector<int> &q = q_[static_cast<size_t>(ch)];
        int last = -1;
        for (int k = 0; k < M; k++) {
            const double v = std::fabs(static_cast<double>(p[static_cast<size_t>(k)])) * scale + 0.4054;
            if (v >= max_quant + 1) return false;
            const int a = static_cast<int>(v);
            q[static_cast<size_t>(k)] = p[static_cast<size_t>(k)] < 0 ? -a : a;
            if (a) last = k;
        }
        int max_sfb = 0;
        while (max_sfb < num_swb_ && swb_[max_sfb] <= last) max_sfb++;
        max_sfb_[static_cast<size_t>(ch)] = max_sfb;
    }
    return true;
}

template <class W>
void aac_encoder::write_ics(W &w, int ch) const {
    const std::vector<int> &q = q_[static_cast<size_t>(ch)];
    const int max_sfb = max_sfb_[static_cast<size_t>(ch)];
    auto has_content = [&](int band) {
        for (int k = swb_[band]; k < swb_[band + 1]; k++)
            if (q[static_cast<size_t>(k)]) return true;
        return false;
    };
    std::array<bool, 64> content{};
    for (int b = 0; b < max_sfb; b++) content[static_cast<size_t>(b)] = has_content(b);

    w.put(static_cast<uint32_t>(gain_), 8);
    // ics_info: ics_reserved_bit(1) window_sequence(2) ONLY_LONG window_shape(1) sine max_sfb(6)
    // predictor_data_present(1)
    w.put(0, 4);
    w.put(static_cast<uint32_t>(max_sfb), 6);
    w.put(0, 1);
    // section_data: sect_cb(4), then sect_len in 5-bit pieces, 31 meaning more follows
    for (int b = 0; b < max_sfb;) {
        int e = b;
        while (e < max_sfb && content[static_cast<size_t>(e)] == content[static_cast<size_t>(b)]) e++;
        w.put(content[static_cast<size_t>(b)] ? esc_hcb : zero_hcb, 4);
        int len = e - b;
        for (; len >= 31; len -= 31) w.put(31, 5);
        w.put(static_cast<uint32_t>(len), 5);
        b = e;
    }
    // scale_factor_data: every band with content has the global gain, a difference of 0
    for (int b = 0; b < max_sfb; b++)
        if (content[static_cast<size_t>(b)]) w.put(sf_huffman[60].code, sf_huffman[60].bits);
    // pulse_data_present, tns_data_present, gain_control_data_present
    w.put(0, 3);
    for (int b = 0; b < max_sfb; b++) {
        if (!content[static_cast<size_t>(b)]) continue;
        for (int k = swb_[b]; k < swb_[b + 1]; k += 2) put_pair(w, q[static_cast<size_t>(k)], q[static_cast<size_t>(k + 1)]);
    }
}

template <class W>
void aac_encoder::write_element(W &w) const {
    // SCE: id(3) element_instance_tag(4) ics; CPE: id(3) tag(4) common_window(1) ics ics
    w.put(channels_ == 1 ? AAC_ID_SCE : AAC_ID_CPE, 3);
    w.put(0, 4);
    if (channels_ == 2) w.put(0, 1);
    for (int ch = 0; ch < channels_; ch++) write_ics(w, ch);
}

bool aac_encoder::encode(const int16_t *pcm, const bytes *pad, size_t size, bytes &out) {
    if (!channels_ || (pad && pad->size() > dse_max_bytes)) return false;
    for (int ch = 0; ch < channels_; ch++) transform(ch, pcm);
    const size_t head = pad ? dse_bits(pad->size()) : 0;
    if (8 * size < head + 3) return false;
    const size_t budget = 8 * size - head - 3;  // ID_END closes the block
    auto fits = [&](int g) {
        if (!quantize(g)) return false;
        gain_ = g;
        bit_counter c;
        write_element(c);
        return c.n <= budget;
    };
    // the smallest gain that fits, i.e. the finest quantization; the bit count falls with
    // the gain but not strictly, so the search result is checked and raised if need be
    int lo = 0, hi = 255;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (fits(mid)) hi = mid;
        else lo = mid + 1;
    }
    while (!fits(lo))
        if (++lo > 255) return false;

    bit_writer w;
    if (pad) write_dse(w, pad->data(), pad->size());
    write_element(w);
    // ID_END and byte alignment must end exactly at size bytes
    const size_t used = w.bits() + 3;
    if (used + 7 < 8 * size) write_fill(w, 8 * size - 7 - used);
    w.put(AAC_ID_END, 3);
    w.align();
    out = w.data();
    return true;
}

}  // namespace dabgen
