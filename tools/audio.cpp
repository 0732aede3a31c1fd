#include "audio.h"

#include <sys/wait.h>
#include <twolame.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "pad.h"

namespace dabgen {
namespace {

constexpr double two_pi = 6.283185307179586;
constexpr size_t max_speech_bytes = 64u << 20;

// Runs espeak-ng without a shell and returns its WAV output.
bool run_espeak(const std::string &text, bytes &wav) {
    int fds[2];
    if (pipe(fds) < 0) return false;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        const char *argv[] = {"espeak-ng", "--stdout", "-s", "150", "--", text.c_str(), nullptr};
        execvp(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    close(fds[1]);
    uint8_t buf[65536];
    ssize_t r;
    while ((r = read(fds[0], buf, sizeof buf)) != 0) {
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (wav.size() + static_cast<size_t>(r) > max_speech_bytes) break;
        wav.insert(wav.end(), buf, buf + r);
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && !wav.empty();
}

uint32_t le32(const uint8_t *p) { return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24); }
uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

bool parse_wav(const uint8_t *p, size_t n, std::vector<int16_t> &out, int &rate) {
    if (n < 12 || memcmp(p, "RIFF", 4) || memcmp(p + 8, "WAVE", 4)) return false;
    size_t pos = 12;
    int channels = 0, bits = 0;
    rate = 0;
    while (pos + 8 <= n) {
        const uint8_t *c = p + pos;
        uint32_t len = le32(c + 4);
        size_t body = pos + 8;
        // espeak-ng writes 0xFFFFFFFF-ish sizes when streaming: clamp to what is there
        size_t avail = n - body;
        size_t clen = len > avail ? avail : len;
        if (!memcmp(c, "fmt ", 4) && clen >= 16) {
            if (le16(c + 8) != 1) return false;  // PCM only
            channels = le16(c + 10);
            rate = static_cast<int>(le32(c + 12));
            bits = le16(c + 22);
        } else if (!memcmp(c, "data", 4)) {
            if (channels < 1 || bits != 16 || rate < 1000) return false;
            size_t frames = clen / (2u * static_cast<size_t>(channels));
            out.resize(frames);
            for (size_t i = 0; i < frames; i++)
                out[i] = static_cast<int16_t>(le16(c + 8 + i * 2 * static_cast<size_t>(channels)));
            return true;
        }
        pos = body + clen + (clen & 1);
    }
    return false;
}

bool pcm_source::init(std::string &warn) {
    if (d_.kind != audio_source_desc::SPEECH) return true;
    bytes wav;
    std::vector<int16_t> raw;
    int rate = 0;
    if (!run_espeak(d_.text, wav) || !parse_wav(wav.data(), wav.size(), raw, rate) || raw.empty()) {
        warn = "espeak-ng not usable, a tone replaces the speech";
        d_.kind = audio_source_desc::TONE;
        return true;
    }
    // resample linearly to the programme rate, then one second of silence before repeating
    size_t n = static_cast<size_t>(static_cast<double>(raw.size()) * rate_ / rate);
    speech_.assign(n + static_cast<size_t>(rate_), 0);
    for (size_t i = 0; i < n; i++) {
        double x = static_cast<double>(i) * rate / rate_;
        size_t k = static_cast<size_t>(x);
        double f = x - static_cast<double>(k);
        double a = raw[k], b = k + 1 < raw.size() ? raw[k + 1] : a;
        speech_[i] = static_cast<int16_t>(a + (b - a) * f);
    }
    return true;
}

double pcm_source::sample(int ch) {
    double t = static_cast<double>(t_) / rate_;
    switch (d_.kind) {
    case audio_source_desc::TONE: {
        double f = ch ? d_.f2 : d_.f1;
        phase_[ch] = std::fmod(phase_[ch] + two_pi * f / rate_, two_pi);
        return 0.3 * std::sin(phase_[ch]);
    }
    case audio_source_desc::SWEEP: {
        double pos = std::fmod(t, d_.period) / d_.period;
        double f = d_.f1 * std::pow(d_.f2 / d_.f1, pos);
        phase_[ch] = std::fmod(phase_[ch] + two_pi * f / rate_, two_pi);
        return 0.3 * std::sin(phase_[ch]);
    }
    case audio_source_desc::NOISE: {
        rng_ = rng_ * 1664525u + 1013904223u;  // seeded, so the output repeats exactly
        return 0.1 * (static_cast<double>(rng_ >> 8) / 8388608.0 - 1.0);
    }
    case audio_source_desc::SPEECH:
        return speech_.empty() ? 0 : speech_[speech_pos_] / 32768.0;
    case audio_source_desc::SILENCE: return 0;
    }
    return 0;
}

void pcm_source::next(int16_t *out, int count) {
    for (int i = 0; i < count; i++) {
        for (int ch = 0; ch < channels_; ch++) {
            double v = sample(ch);
            if (v > 1) v = 1;
            if (v < -1) v = -1;
            out[i * channels_ + ch] = static_cast<int16_t>(v * 32767);
        }
        if (!speech_.empty()) speech_pos_ = (speech_pos_ + 1) % speech_.size();
        t_++;
    }
}

mp2_encoder::~mp2_encoder() {
    if (opts_) twolame_close(&opts_);
}

bool mp2_encoder::init(int samplerate, int bitrate, bool mono, int xpad_reserved, std::string &err) {
    opts_ = twolame_init();
    if (!opts_) {
        err = "twolame_init failed";
        return false;
    }
    channels_ = mono ? 1 : 2;
    twolame_set_num_channels(opts_, channels_);
    twolame_set_mode(opts_, mono ? TWOLAME_MONO : TWOLAME_STEREO);
    twolame_set_in_samplerate(opts_, samplerate);
    twolame_set_out_samplerate(opts_, samplerate);
    twolame_set_version(opts_, samplerate < 32000 ? TWOLAME_MPEG2 : TWOLAME_MPEG1);
    twolame_set_bitrate(opts_, bitrate);
    twolame_set_error_protection(opts_, 1);
    twolame_set_padding(opts_, TWOLAME_PAD_NO);
    twolame_set_psymodel(opts_, 0);  // fastest model: generation speed matters more here
    twolame_set_DAB(opts_, 1);
    twolame_set_DAB_xpad_length(opts_, xpad_reserved);
    twolame_set_DAB_scf_crc_length(opts_);
    crc_len_ = twolame_get_DAB_crc_length(opts_);
    // ancillary data: X-PAD, ScF-CRC and the two F-PAD bytes
    twolame_set_num_ancillary_bits(opts_, 8 * (xpad_reserved + crc_len_ + 2));
    if (twolame_init_params(opts_) != 0) {
        err = "twolame rejects these audio parameters";
        return false;
    }
    frame_size_ = static_cast<size_t>(144 * bitrate * 1000 / samplerate);
    return true;
}

bool mp2_encoder::encode(const int16_t *pcm, bytes &frame) {
    uint8_t out[16384];
    int n = channels_ == 1
                ? twolame_encode_buffer(opts_, pcm, nullptr, 1152, out, sizeof out)
                : twolame_encode_buffer_interleaved(opts_, pcm, 1152, out, sizeof out);
    if (n <= 0) return false;
    bool have_prev = !prev_.empty();
    if (have_prev) {
        twolame_set_DAB_scf_crc(opts_, prev_.data(), static_cast<int>(prev_.size()));
        frame = prev_;
    }
    prev_.assign(out, out + n);
    return have_prev;
}

void insert_pad(uint8_t *frame, size_t len, int scf_crc_len, const bytes &xpad, size_t reserved) {
    size_t x = len - 3 - static_cast<size_t>(scf_crc_len);  // first X-PAD byte, counting down
    for (size_t i = 0; i < reserved && i <= x; i++) frame[x - i] = i < xpad.size() ? xpad[i] : 0;
    const auto f = fpad_bytes(!xpad.empty());
    frame[len - 2] = f[0];
    frame[len - 1] = f[1];
}

}  // namespace dabgen
