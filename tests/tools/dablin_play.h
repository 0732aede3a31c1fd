#pragma once
// Plays generated ensembles with dablin and decodes the audio with mpg123; DAB+ programmes
// come out of dablin (faad2) as PCM whose strongest frequencies are measured.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <memory>

#include "support/test_support.h"

namespace dablin_play {

struct service {
    const char *sid, *label;
    int channels, rate, bitrate;
};

// Runs dablin on every service of an ETI file at once (dablin plays in real time).
inline void play_all(const std::string &eti, const char *ensemble, const std::vector<service> &services, double seconds) {
    testsupport::temp_dir dir;
    std::vector<std::unique_ptr<testsupport::child>> players;
    for (const auto &s : services)
        players.push_back(std::make_unique<testsupport::child>(
            std::vector<std::string>{"dablin", "-s", s.sid, "-u", eti}, dir.path()));
    for (size_t i = 0; i < services.size(); i++) {
        const service &s = services[i];
        auto &p = *players[i];
        ASSERT_EQ(p.wait(seconds + 30), 0) << s.sid << ": " << p.err();
        std::string err = p.err();
        EXPECT_NE(err.find(std::string("ensemble label '\x1b[32m") + ensemble), std::string::npos)
            << s.sid << " did not name the ensemble:\n" << err;
        EXPECT_NE(err.find(std::string("programme service label '\x1b[32m") + s.label), std::string::npos)
            << s.sid << " did not name the service";
        std::string mp2 = p.out();
        size_t frame = static_cast<size_t>(144 * s.bitrate * 1000 / s.rate);
        ASSERT_GT(mp2.size(), 0u) << s.sid;
        EXPECT_EQ(mp2.size() % frame, 0u) << s.sid;
        std::string in = dir.file(std::string(s.sid) + ".mp2"), wav = dir.file(std::string(s.sid) + ".wav");
        testsupport::write_file(in, mp2);
        auto r = testsupport::run({"mpg123", "-q", "-w", wav, in}, "", 60);
        EXPECT_EQ(r.status, 0) << s.sid << ": " << r.err;
        EXPECT_EQ(r.err, "") << s.sid << ": mpg123 complained";
        // every frame decoded: 1152 samples per channel, 16 bits, after a 44-byte header
        std::string pcm = testsupport::read_file(wav);
        EXPECT_EQ(pcm.size(), 44 + mp2.size() / frame * 1152 * 2 * static_cast<size_t>(s.channels)) << s.sid;
    }
}

inline const std::vector<service> demo_one = {{"0xD101", "Demo Tones", 2, 48000, 128},
                                       {"0xD102", "Demo Sweep", 2, 48000, 128},
                                       {"0xD103", "Demo Voice", 1, 48000, 96}};
inline const std::vector<service> demo_two = {{"0xD201", "Demo Noise", 2, 48000, 160},
                                       {"0xD202", "Demo Half Rate", 1, 24000, 64}};

// dablin's decoding of one DAB+ sub-channel: 32-bit float PCM and its format.
struct plus_play {
    int status = -1, rate = 0, channels = 0;
    std::string err;
    std::vector<float> pcm;  // interleaved
};

// dablin plays in real time, so the sub-channels of one file are decoded side by side.
inline std::vector<plus_play> play_plus(const std::string &eti, const std::vector<int> &subchids, double seconds) {
    testsupport::temp_dir dir;
    std::vector<std::unique_ptr<testsupport::child>> players;
    for (int id : subchids)
        players.push_back(std::make_unique<testsupport::child>(
            std::vector<std::string>{"dablin", "-f", "eti", "-R", std::to_string(id), "-p", eti}, dir.path()));
    std::vector<plus_play> out;
    for (auto &c : players) {
        plus_play p;
        p.status = c->wait(seconds + 30);
        p.err = c->err();
        const char *fmt = "PCMOutput: format set; samplerate: ";
        const size_t at = p.err.find(fmt);
        if (at != std::string::npos) sscanf(p.err.c_str() + at + strlen(fmt), "%d, channels: %d", &p.rate, &p.channels);
        // faad2's float output; dablin built with fdk-aac would give 16-bit integers
        if (p.err.find("output: 32bit float") != std::string::npos) {
            const std::string pcm = c->out();
            p.pcm.resize(pcm.size() / 4);
            memcpy(p.pcm.data(), pcm.data(), p.pcm.size() * 4);
        }
        out.push_back(std::move(p));
    }
    return out;
}

// What dablin reports while decoding: RS corrections "\x1B[36m(n)\x1B[0m", with "+" after n
// when a codeword was beyond repair, and bad AUs "(AU #i)".
inline int count_of(const std::string &s, const std::string &what) {
    int n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) n++;
    return n;
}

// Strongest frequency of one channel in 65536 samples from one second in, Hann window,
// the peak bin refined by a parabola through its neighbours' magnitudes.
inline double dominant_hz(const plus_play &p, int ch) {
    using cd = std::complex<double>;
    const size_t n = 65536, start = static_cast<size_t>(p.rate);
    const size_t nch = static_cast<size_t>(p.channels);
    if (!p.rate || !nch || p.pcm.size() / nch < start + n) return -1;
    std::vector<cd> a(n);
    for (size_t i = 0; i < n; i++)
        a[i] = p.pcm[(start + i) * nch + static_cast<size_t>(ch)] * (0.5 - 0.5 * std::cos(2 * M_PI * i / n));
    for (size_t i = 1, j = 0; i < n; i++) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const cd wl = std::polar(1.0, -2 * M_PI / static_cast<double>(len));
        for (size_t i = 0; i < n; i += len) {
            cd w = 1;
            for (size_t j = 0; j < len / 2; j++, w *= wl) {
                const cd u = a[i + j], v = a[i + j + len / 2] * w;
                a[i + j] = u + v;
                a[i + j + len / 2] = u - v;
            }
        }
    }
    size_t best = 1;
    for (size_t k = 2; k < n / 2 - 1; k++)
        if (std::abs(a[k]) > std::abs(a[best])) best = k;
    const double l = std::abs(a[best - 1]), c = std::abs(a[best]), r = std::abs(a[best + 1]);
    return (static_cast<double>(best) + 0.5 * (l - r) / (l - 2 * c + r)) * p.rate / static_cast<double>(n);
}

// Interleaved 32-bit float samples (ffmpeg's f32le on its standard output) as a plus_play.
inline plus_play from_f32(const std::string &raw, int rate, int channels) {
    plus_play p;
    p.status = 0;
    p.rate = rate;
    p.channels = channels;
    p.pcm.resize(raw.size() / 4);
    memcpy(p.pcm.data(), raw.data(), p.pcm.size() * 4);
    return p;
}

inline float peak_level(const plus_play &p) {
    float m = 0;
    for (size_t i = static_cast<size_t>(p.rate) * static_cast<size_t>(p.channels); i < p.pcm.size(); i++)
        m = std::max(m, std::fabs(p.pcm[i]));
    return m;
}

inline std::string make_eti(const testsupport::temp_dir &dir, const char *desc, const char *seconds) {
    std::string eti = dir.file(std::string(desc) + ".eti");
    auto r = testsupport::run({testsupport::binary_dir() + "/tools/dabgen", "-q", "-d", seconds, "-o", eti,
                               testsupport::source_dir() + "/demo/" + desc});
    EXPECT_EQ(r.status, 0) << r.err;
    return eti;
}

}  // namespace dablin_play
