#pragma once
// Plays generated ensembles with dablin and decodes the audio with mpg123.
#include <gtest/gtest.h>

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

inline std::string make_eti(const testsupport::temp_dir &dir, const char *desc, const char *seconds) {
    std::string eti = dir.file(std::string(desc) + ".eti");
    auto r = testsupport::run({testsupport::binary_dir() + "/tools/dabgen", "-q", "-d", seconds, "-o", eti,
                               testsupport::source_dir() + "/demo/" + desc});
    EXPECT_EQ(r.status, 0) << r.err;
    return eti;
}

}  // namespace dablin_play
