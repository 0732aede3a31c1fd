// The generator's output read back with the reference receiver of signal_decode: every
// service of the demo ensembles must come back as it was described.
#include <gtest/gtest.h>

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
    std::map<int, std::vector<size_t>> lengths;  // stream lengths per frame
};

void decode(const std::string &eti, const std::set<int> &audio, const std::set<int> &lsf, decoded &d) {
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
            if (lsf.count(s.scid)) {
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
        error_ = make_ensemble(demo("12c.ensemble"), dir_->file("12c.eti"));
        if (error_.empty()) decode(dir_->file("12c.eti"), {1, 2, 3}, {}, *(d_ = new decoded));
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
    decode(dir.file("la.eti"), {1, 2}, {2}, d);
    EXPECT_EQ(d.labels["1/0 c2d2"], "DAB DEMO TWO    ");
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
