// The generator's output read back with the reference receiver of signal_decode: every
// service of the demo ensembles must come back as it was described.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "common/crc16.h"
#include "generator.h"
#include "signal_decode.h"
#include "support/test_support.h"

using namespace sigtest;

namespace {

std::string demo(const std::string &name) { return testsupport::source_dir() + "/demo/" + name; }

// Generates a description into an ETI file; returns "" or an error.
std::string make_ensemble(const std::string &desc_path, const std::string &eti, double duration = 0,
                     const std::string &extra = "") {
    dabgen::ensemble_desc d;
    std::string err;
    std::string text = testsupport::read_file(desc_path) + extra;
    if (!dabgen::parse_description(text, desc_path, d, err)) return err;
    d.base_dir = testsupport::source_dir() + "/demo";
    if (duration > 0) d.duration = duration;
    dabgen::generator g(d);
    std::vector<std::string> notes;
    if (!g.init(err, notes)) return err;
    std::ofstream out(eti, std::ios::binary);
    uint8_t frame[dabgen::eti_frame_size];
    for (uint32_t n = 0; n < g.frame_count(); n++) {
        g.frame(n, frame);
        out.write(reinterpret_cast<const char *>(frame), sizeof frame);
    }
    return out ? "" : "write failed";
}

struct decoded {
    int frames = 0, fib_errors = 0, frames_without_fig00 = 0, header_errors = 0;
    std::map<std::string, std::string> labels;  // "1/0 c1d1" -> text
    std::map<int, pad_decoder> pad;              // by sub-channel
    std::map<int, packet_reassembler> packets;   // by sub-channel
    std::map<int, dabplus_receiver> plus;        // by sub-channel
    std::map<int, std::vector<size_t>> lengths;  // stream lengths per frame
    std::map<int, int> zero_frames;              // logical frames of nothing but zeros
    std::map<uint32_t, int> ascty;               // FIG 0/2 short form, first component
};

void decode(const std::string &eti, const std::set<int> &audio, const std::set<int> &lsf, decoded &d,
            const std::set<int> &dabplus = {}) {
    std::map<int, bytes> half;  // first half of a 24 kHz audio frame
    d.frames = for_each_frame(eti, [&](const dabcommon::eti_frame &f) {
        if (!f.header_crc_ok || !f.mst_crc_ok) d.header_errors++;
        bool fig00 = false;
        for (int i = 0; i < f.fib_count(); i++) {
            const uint8_t *fib = f.fib(i);
            if (dabcommon::crc16(fib, 30) != (fib[30] << 8 | fib[31])) {
                d.fib_errors++;
                continue;
            }
            for (const auto &g : split_fib(fib)) {
                if (g.type == 0 && g.ext == 0 && i == 0) fig00 = true;
                // FIG 0/2, P/D 0: SId(16) rfa(1) CAId(3) NumSCs(4), then TMId(2) ASCTy(6) ...
                if (g.type == 0 && g.ext == 2 && !(g.body[0] & 0x20))
                    for (size_t k = 1; k + 5 <= g.body.size(); k += 3 + 2 * static_cast<size_t>(g.body[k + 2] & 0x0F))
                        if (g.body[k + 3] >> 6 == 0) d.ascty[static_cast<uint32_t>(g.body[k] << 8 | g.body[k + 1])] = g.body[k + 3] & 0x3F;
                if (g.type == 1 && g.body.size() >= 21) {
                    size_t idlen = g.body.size() - 18;  // type byte and identifier
                    char key[32];
                    uint32_t id = 0;
                    for (size_t k = 1; k < idlen; k++) id = id << 8 | g.body[k];
                    snprintf(key, sizeof key, "1/%d %x", g.ext, id);
                    d.labels[key] = std::string(g.body.begin() + static_cast<long>(idlen),
                                                g.body.begin() + static_cast<long>(idlen + 16));
                }
            }
        }
        if (!fig00) d.frames_without_fig00++;
        for (int i = 0; i < f.nst; i++) {
            const auto &s = f.stc[static_cast<size_t>(i)];
            const uint8_t *p = f.stream_data(i);
            d.lengths[s.scid].push_back(s.len);
            d.zero_frames[s.scid] += std::all_of(p, p + s.len, [](uint8_t b) { return b == 0; });
            if (dabplus.count(s.scid)) {
                d.plus[s.scid].feed(p, s.len);
            } else if (lsf.count(s.scid)) {
                bytes &h = half[s.scid];
                if (h.empty() && p[0] == 0xFF) {
                    h.assign(p, p + s.len);
                } else if (!h.empty()) {
                    h.insert(h.end(), p, p + s.len);
                    d.pad[s.scid].feed_audio_frame(h.data(), h.size());
                    h.clear();
                }
            } else if (audio.count(s.scid)) {
                d.pad[s.scid].feed_audio_frame(p, s.len);
            } else {
                d.packets[s.scid].feed(p, s.len);
            }
        }
    });
}

std::string str(const bytes &b) { return std::string(b.begin(), b.end()); }

class DemoOne : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new testsupport::temp_dir();
        // Every test of the suite runs in a process of its own: the demo signal that the build
        // generated with the same generator saves each of them the encoding (minutes under the
        // sanitizers).
        std::string eti = demo("signal/12c.eti");
        if (!testsupport::file_exists(eti)) {
            eti = dir_->file("12c.eti");
            error_ = make_ensemble(demo("12c.ensemble"), eti);
        }
        if (error_.empty()) decode(eti, {1, 2, 3}, {}, *(d_ = new decoded), {4});
    }
    static void TearDownTestSuite() {
        delete d_;
        delete dir_;
    }
    void SetUp() override { ASSERT_EQ(error_, ""); }
    static testsupport::temp_dir *dir_;
    static decoded *d_;
    static std::string error_;
};
testsupport::temp_dir *DemoOne::dir_;
decoded *DemoOne::d_;
std::string DemoOne::error_;

}  // namespace

TEST_F(DemoOne, FramesAndFic) {
    EXPECT_EQ(d_->frames, 1667);  // 40 s of 24 ms frames
    EXPECT_EQ(d_->header_errors, 0);
    EXPECT_EQ(d_->fib_errors, 0);
    EXPECT_EQ(d_->frames_without_fig00, 0);
    EXPECT_EQ(d_->labels["1/0 c1d1"], "DAB DEMO ONE    ");
    EXPECT_EQ(d_->labels["1/1 d103"], "Demo Voice      ");
    EXPECT_EQ(d_->labels["1/5 e0d10003"], "Demo IP         ");
    EXPECT_EQ(d_->labels["1/4 e0d10001"], "Demo Web Pages  ");
    for (auto &l : d_->lengths) {
        std::set<size_t> sizes(l.second.begin(), l.second.end());
        EXPECT_EQ(sizes.size(), 1u) << "sub-channel " << l.first << " changes its length";
    }
    EXPECT_EQ(d_->lengths[1][0], 384u);
    EXPECT_EQ(d_->lengths[6][0], 24u);
}

TEST_F(DemoOne, DynamicLabels) {
    auto &tones = d_->pad[1];
    std::set<std::string> got(tones.labels.begin(), tones.labels.end());
    EXPECT_TRUE(got.count("Demo Tones: 440 Hz left, 660 Hz right"));
    EXPECT_TRUE(got.count("Now playing: the reference tone of DAB DEMO ONE"));
    EXPECT_GE(tones.clear_commands, 1);
    EXPECT_EQ(tones.dl_crc_errors, 0);
    auto &sweep = d_->pad[2].labels;
    bool full = false;
    for (const auto &l : sweep) full |= l.size() == 128;
    EXPECT_TRUE(full) << "the 128-character label did not come through whole";
    EXPECT_FALSE(d_->pad[3].labels.empty());
}

TEST_F(DemoOne, Slideshow) {
    auto &mot = d_->pad[1].mot;
    for (const char *pic : {"testcard.jpg", "colourbars.jpg", "mandelbrot.jpg"}) {
        ASSERT_TRUE(mot.objects.count(pic)) << pic;
        EXPECT_EQ(mot.objects[pic], file_bytes(demo(std::string("pictures/") + pic))) << pic;
    }
    EXPECT_GE(mot.triggered, 3);
    EXPECT_EQ(mot.dg_crc_errors, 0);
    EXPECT_EQ(d_->pad[1].dgli_crc_errors, 0);
    EXPECT_TRUE(d_->pad[2].mot.objects.empty());
}

// The DAB+ programme: 40 s are 333 whole superframes of six AUs, 96 kbit/s at 48 kHz stereo.
TEST_F(DemoOne, DabPlusProgramme) {
    EXPECT_EQ(d_->ascty[0xD104], 63);
    EXPECT_EQ(d_->ascty[0xD101], 0);
    EXPECT_EQ(d_->lengths[4][0], 288u);
    auto &r = d_->plus[4];
    EXPECT_EQ(r.superframes, 333);
    EXPECT_EQ(r.sync_losses, 0) << "superframes must start in frames whose CIF count is a multiple of 5";
    EXPECT_EQ(r.rs_corrected + r.rs_failed, 0);
    EXPECT_EQ(r.aus, 333 * 6);
    EXPECT_EQ(r.au_crc_errors, 0);
    std::set<std::string> got(r.pad.labels.begin(), r.pad.labels.end());
    EXPECT_TRUE(got.count("Demo Plus: DAB+ at 48 kHz, 1000 Hz left, 1500 Hz right"));
    EXPECT_TRUE(got.count("Now playing: the DAB+ programme of DAB DEMO ONE"));
    EXPECT_EQ(r.pad.dl_crc_errors + r.pad.dgli_crc_errors + r.pad.mot.dg_crc_errors, 0);
    for (const char *pic : {"colourbars.jpg", "testcard.jpg"}) {
        ASSERT_TRUE(r.pad.mot.objects.count(pic)) << pic;
        EXPECT_EQ(r.pad.mot.objects[pic], file_bytes(demo(std::string("pictures/") + pic))) << pic;
    }
}

TEST_F(DemoOne, WebsiteAndCarousel) {
    auto &pk = d_->packets[5];
    EXPECT_EQ(pk.stats.crc_errors, 0);
    EXPECT_EQ(pk.stats.continuity_breaks, 0);
    mot_collector web, files;
    for (auto &g : pk.groups[1]) {
        data_group dg;
        ASSERT_TRUE(parse_data_group(g, dg));
        web.feed(dg);
    }
    for (auto &g : pk.groups[2]) {
        data_group dg;
        ASSERT_TRUE(parse_data_group(g, dg));
        files.feed(dg);
    }
    EXPECT_EQ(web.directory_index, "index.html");
    EXPECT_EQ(web.directory_entries, 4);
    const struct { const char *name, *file; } site[] = {{"index.html", "website/index.html"},
                                                        {"news/today.html", "website/news/today.html"},
                                                        {"img/map.jpg", "website/img/map.jpg"},
                                                        {"about.html", "website/about.html"}};
    for (const auto &s : site) {
        ASSERT_TRUE(web.objects.count(s.name)) << s.name;
        EXPECT_EQ(str(web.objects[s.name]), str(file_bytes(demo(s.file)))) << s.name;
    }
    for (const char *f : {"readme.txt", "schedule.txt", "photo.jpg"}) {
        ASSERT_TRUE(files.objects.count(f)) << f;
        EXPECT_EQ(files.objects[f], file_bytes(demo(std::string("files/") + f))) << f;
    }
    EXPECT_EQ(web.dg_crc_errors + files.dg_crc_errors, 0);
}

TEST_F(DemoOne, IpDatagrams) {
    auto &groups = d_->packets[6].groups[1];
    ASSERT_GE(groups.size(), 39u);  // one a second
    data_group dg;
    ASSERT_TRUE(parse_data_group(groups[0], dg));
    EXPECT_EQ(dg.type, 0);
    EXPECT_TRUE(dg.crc_ok);
    const bytes &ip = dg.data;
    ASSERT_EQ(ip.size(), 20u + 8u + 21u);
    EXPECT_EQ(ip[0], 0x45);
    EXPECT_EQ(ip[8], 4);   // TTL
    EXPECT_EQ(ip[9], 17);  // UDP
    EXPECT_EQ((bytes{ip[16], ip[17], ip[18], ip[19]}), (bytes{239, 1, 2, 3}));
    EXPECT_EQ(ip[22] << 8 | ip[23], 5000);
    EXPECT_EQ(std::string(ip.begin() + 28, ip.end()), "DAB DEMO ONE datagram");
}

TEST(DemoTwo, HalfRateServiceCarriesPad) {
    testsupport::temp_dir dir;
    ASSERT_EQ(make_ensemble(demo("la.ensemble"), dir.file("la.eti"), 6), "");
    decoded d;
    decode(dir.file("la.eti"), {1, 2}, {2}, d, {3});
    EXPECT_EQ(d.labels["1/0 c2d2"], "DAB DEMO TWO    ");
    // DAB+ framed as SBR: dac_rate 1, sbr 1, stereo, three AUs
    auto &plus = d.plus[3];
    EXPECT_EQ(plus.superframes, 50);
    EXPECT_EQ(plus.header, 0x70);
    EXPECT_EQ(plus.aus, 150);
    EXPECT_EQ(plus.au_crc_errors + plus.rs_failed + plus.rs_corrected, 0);
    ASSERT_FALSE(plus.pad.labels.empty());
    EXPECT_EQ(plus.pad.labels[0], "Demo HE-AAC: DAB+ framed as SBR, AAC core at 24 kHz");
    EXPECT_EQ(d.ascty[0xD203], 63);
    ASSERT_FALSE(d.pad[2].labels.empty());
    EXPECT_EQ(d.pad[2].labels[0], "Demo Half Rate: MPEG-2 Layer II at 24 kHz");
    EXPECT_EQ(d.pad[1].labels[0], "Demo Noise: seeded white noise");
    EXPECT_EQ(d.lengths[2][0], 192u);
}

TEST(Generator, SameDescriptionSameBytes) {
    testsupport::temp_dir dir;
    ASSERT_EQ(make_ensemble(demo("12c.ensemble"), dir.file("a.eti"), 3), "");
    ASSERT_EQ(make_ensemble(demo("12c.ensemble"), dir.file("b.eti"), 3), "");
    std::string a = testsupport::read_file(dir.file("a.eti")), b = testsupport::read_file(dir.file("b.eti"));
    EXPECT_EQ(a.size(), 125u * 6144u);
    EXPECT_TRUE(a == b);
}

TEST(Generator, FaultInjection) {
    testsupport::temp_dir dir;
    std::string faults = "\n[faults]\nfib_crc 10\ndrop_packet 25\ndg_crc 7\ntruncate 2 5\n";
    ASSERT_EQ(make_ensemble(demo("12c.ensemble"), dir.file("f.eti"), 10, faults), "");
    decoded d;
    decode(dir.file("f.eti"), {1, 2, 3}, {}, d);
    EXPECT_EQ(d.frames, 417);
    EXPECT_EQ(d.fib_errors, 41);  // one FIB in every tenth frame
    EXPECT_EQ(d.header_errors, 0);
    EXPECT_GT(d.packets[5].stats.continuity_breaks, 0);
    EXPECT_EQ(d.packets[5].stats.crc_errors, 0);
    int truncated = 0;
    for (size_t len : d.lengths[2]) truncated += len == 192;
    EXPECT_EQ(truncated, 83);
    mot_collector web;
    for (auto &g : d.packets[5].groups[1]) {
        data_group dg;
        if (parse_data_group(g, dg)) web.feed(dg);
    }
    EXPECT_GT(web.dg_crc_errors + d.pad[1].mot.dg_crc_errors, 0);
}

// DAB+ faults: every third superframe with five byte errors a codeword (corrected), every
// seventh AU CRC broken, every 25th logical frame of another programme lost.
TEST(Generator, DabPlusFaults) {
    testsupport::temp_dir dir;
    const std::string desc = dir.file("f.ensemble");
    testsupport::write_file(desc,
                            "[ensemble]\nlabel \"FAULTS\"\nduration 6\n"
                            "[audio]\nsid 0xD301\nlabel \"A\"\nsubchannel 1\nbitrate 64\ncodec aac\ndls \"a label\"\n"
                            "[audio]\nsid 0xD302\nlabel \"B\"\nsubchannel 2\nbitrate 32\ncodec aac\nsamplerate 32000\n"
                            "mode mono\n"
                            "[audio]\nsid 0xD303\nlabel \"C\"\nsubchannel 3\nbitrate 48\ncodec aac\n"
                            "[faults]\nrs_errors 1 5 3\nau_crc 2 7\ndrop_frame 3 25\n");
    ASSERT_EQ(make_ensemble(desc, dir.file("f.eti")), "");
    decoded d;
    decode(dir.file("f.eti"), {}, {}, d, {1, 2, 3});
    ASSERT_EQ(d.frames, 250);
    // 50 superframes; 16 of them (k = 2, 5, ... 47) with 5 errors in each of 8 codewords
    auto &a = d.plus[1];
    EXPECT_EQ(a.superframes, 50);
    EXPECT_EQ(a.rs_corrected, 16 * 5 * 8);
    EXPECT_EQ(a.rs_failed + a.au_crc_errors, 0);
    EXPECT_FALSE(a.pad.labels.empty()) << "the label comes through the corrected superframes";
    // 32 kHz: 4 AUs a superframe, 200 AUs, every seventh broken
    auto &b = d.plus[2];
    EXPECT_EQ(b.aus, 200);
    EXPECT_EQ(b.au_crc_errors, 200 / 7);
    EXPECT_EQ(b.rs_corrected + b.rs_failed, 0);
    // lost logical frames are zeros of the full length; 250 / 25 of them
    EXPECT_EQ(d.zero_frames[3], 10);
    EXPECT_EQ(d.zero_frames[1] + d.zero_frames[2], 0);
    for (size_t len : d.lengths[3]) EXPECT_EQ(len, 144u);
    // frames 24, 49, ... are each the fifth of a superframe: bytes 576..719 of 720, so RS
    // cannot repair it and the last AU, [551, 660) of the 660 data bytes, loses its CRC
    auto &c = d.plus[3];
    EXPECT_EQ(c.superframes, 50);
    EXPECT_EQ(c.rs_failed, 10);
    EXPECT_EQ(c.au_crc_errors, 10);
    ASSERT_FALSE(c.starts.empty());
    EXPECT_EQ(c.starts[0].back(), 551);
}
