// An independent receiver plays the generated ensembles: dablin must find the ensemble and
// service labels, and its untouched MPEG stream must decode with mpg123 without an error;
// the DAB+ programmes must decode (faad2 inside dablin) without a bad AU or RS complaint, and
// sound at the frequencies they were described with.
#include "dablin_play.h"

using namespace dablin_play;

namespace {

bool have_dablin() { return testsupport::run({"sh", "-c", "command -v dablin"}).status == 0; }

std::string generate(const testsupport::temp_dir &dir, const std::string &text) {
    testsupport::write_file(dir.file("plus.ensemble"), text);
    const std::string eti = dir.file("plus.eti");
    auto r = testsupport::run({testsupport::binary_dir() + "/tools/dabgen", "-q", "-o", eti, dir.file("plus.ensemble")});
    EXPECT_EQ(r.status, 0) << r.err;
    return eti;
}

struct tone_case {
    int subchid, rate;
    double left, right;  // Hz at the output; a mono core plays on both channels
};

// Every case decodes cleanly at its output rate, its tones within 2 Hz, at the source's level
// (0.3 of full scale: a wrong transform gain shows here).
void check_tones(const std::string &eti, const std::vector<tone_case> &cases, double seconds) {
    std::vector<int> ids;
    for (const auto &c : cases) ids.push_back(c.subchid);
    const std::vector<plus_play> played = play_plus(eti, ids, seconds);
    for (size_t i = 0; i < cases.size(); i++) {
        const tone_case &c = cases[i];
        const plus_play &p = played[i];
        SCOPED_TRACE("sub-channel " + std::to_string(c.subchid));
        ASSERT_EQ(p.status, 0) << p.err;
        EXPECT_EQ(count_of(p.err, "(AU #"), 0) << p.err;
        EXPECT_EQ(count_of(p.err, "\x1B[36m("), 0) << "RS corrections in a clean signal";
        EXPECT_EQ(count_of(p.err, "error while"), 0) << p.err;
        ASSERT_EQ(p.rate, c.rate) << p.err;
        ASSERT_EQ(p.channels, 2) << p.err;
        ASSERT_FALSE(p.pcm.empty()) << "dablin without faad2's float output";
        const double got = static_cast<double>(p.pcm.size() / 2) / c.rate;
        EXPECT_NEAR(got, seconds, 0.25) << "seconds of audio";
        EXPECT_NEAR(dominant_hz(p, 0), c.left, 2.0);
        EXPECT_NEAR(dominant_hz(p, 1), c.right, 2.0);
        EXPECT_NEAR(peak_level(p), 0.3, 0.03);
    }
}

}  // namespace

TEST(Dablin, DecodesDabPlusInAllFourFormats) {
    if (!have_dablin()) GTEST_SKIP() << "dablin not installed (scripts/install-deps --test)";
    testsupport::temp_dir dir;
    const std::string eti = generate(dir,
        "[ensemble]\nlabel \"PLUS FORMATS\"\nduration 4\n"
        "[audio]\nsid 0xD401\nlabel \"S48\"\nsubchannel 1\nbitrate 96\ncodec aac\nsamplerate 48000\n"
        "source tone 1000 1500\ndls \"48 kHz stereo\"\nslide " + testsupport::source_dir() + "/demo/pictures/testcard.jpg\n"
        "[audio]\nsid 0xD402\nlabel \"M32\"\nsubchannel 2\nbitrate 48\ncodec aac\nsamplerate 32000\nmode mono\n"
        "source tone 700\ndls \"32 kHz mono\"\n"
        "[audio]\nsid 0xD403\nlabel \"SBR48\"\nsubchannel 3\nbitrate 48\ncodec aac\nsamplerate 48000\nsbr 1\n"
        "source tone 1200 800\n"
        "[audio]\nsid 0xD404\nlabel \"PS32\"\nsubchannel 4\nbitrate 32\ncodec aac\nsamplerate 32000\nsbr 1\n"
        "ps 1\nmode mono\nsource tone 600\n");
    // with SBR signalled faad2 plays the core at twice its rate, so the tones keep their pitch
    check_tones(eti, {{1, 48000, 1000, 1500}, {2, 32000, 700, 700}, {3, 48000, 1200, 800}, {4, 32000, 600, 600}}, 4);
}

// Five byte errors in every RS codeword are all corrected (dablin counts them: 5 x 8 a
// superframe at 64 kbit/s); the AU CRCs broken on purpose are the only bad AUs it reports.
TEST(Dablin, CorrectsRsErrorsAndSeesBrokenAus) {
    if (!have_dablin()) GTEST_SKIP() << "dablin not installed (scripts/install-deps --test)";
    testsupport::temp_dir dir;
    const std::string eti = generate(dir,
        "[ensemble]\nlabel \"PLUS FAULTS\"\nduration 4\n"
        "[audio]\nsid 0xD501\nlabel \"RS\"\nsubchannel 1\nbitrate 64\ncodec aac\nsource tone 440 880\n"
        "[audio]\nsid 0xD502\nlabel \"CRC\"\nsubchannel 2\nbitrate 64\ncodec aac\nsource tone 440 880\n"
        "[faults]\nrs_errors 1 5 1\nau_crc 2 10\n");
    std::vector<plus_play> p = play_plus(eti, {1, 2}, 4);
    const plus_play &rs = p[0], &crc = p[1];
    ASSERT_EQ(rs.status, 0) << rs.err;
    // 4 s: 33 whole superframes
    EXPECT_EQ(count_of(rs.err, "\x1B[36m(40)\x1B[0m"), 33) << rs.err;
    EXPECT_EQ(count_of(rs.err, "+)\x1B[0m"), 0) << "uncorrectable codewords";
    EXPECT_EQ(count_of(rs.err, "(AU #"), 0) << rs.err;
    EXPECT_NEAR(dominant_hz(rs, 0), 440, 2.0);
    EXPECT_NEAR(dominant_hz(rs, 1), 880, 2.0);
    ASSERT_EQ(crc.status, 0) << crc.err;
    EXPECT_EQ(count_of(crc.err, "(AU #"), 33 * 6 / 10) << crc.err;
    EXPECT_EQ(count_of(crc.err, "\x1B[36m("), 0);
}

TEST(Dablin, PlaysEveryDemoService) {
    testsupport::temp_dir dir;
    play_all(make_eti(dir, "12c.ensemble", "5"), "DAB DEMO ONE", demo_one, 5);
    play_all(make_eti(dir, "la.ensemble", "5"), "DAB DEMO TWO", demo_two, 5);
}

TEST(Dablin, PlaysTheDemoDabPlusProgrammes) {
    if (!have_dablin()) GTEST_SKIP() << "dablin not installed (scripts/install-deps --test)";
    testsupport::temp_dir dir;
    check_tones(make_eti(dir, "12c.ensemble", "4"), {{4, 48000, 1000, 1500}}, 4);
    check_tones(make_eti(dir, "la.ensemble", "4"), {{3, 48000, 1200, 800}}, 4);
}

