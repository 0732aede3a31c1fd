// Dynamic labels and X-PAD records on hand-built and generator-built bytes.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "core/plattform.h"
#include "datapath/datapath_env.h"
#include "mot.h"
#include "mot/mot_dec.h"
#include "mot/motmain.h"
#include "mot/xpad_dec.h"
#include "pad.h"
#include "support/test_support.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes with_crc(bytes b) {
    const uint16_t c = dabcommon::crc16(b.data(), b.size());
    b.push_back(static_cast<uint8_t>(c >> 8));
    b.push_back(static_cast<uint8_t>(c));
    return b;
}

// Message segment: toggle, first, last, segment number, characters.
bytes segment(bool t, bool first, bool last, int num, const std::string &chars) {
    const int flags = (t ? 0x80 : 0) | (first ? 0x40 : 0) | (last ? 0x20 : 0);
    bytes b = {static_cast<uint8_t>(flags | ((chars.size() - 1) & 15)), static_cast<uint8_t>(first ? 0 : (num & 7) << 4)};
    b.insert(b.end(), chars.begin(), chars.end());
    return with_crc(b);
}

// PAD record: head with CI flag and X-PAD indicator, then the X-PAD bytes.
bytes record(bool ci, int indicator, const bytes &xpad) {
    bytes r = {0xFF, 0xFD, 0x94, 0x04, 0, 0, static_cast<uint8_t>(ci ? 2 : 0), static_cast<uint8_t>(indicator << 4)};
    r.insert(r.end(), xpad.begin(), xpad.end());
    r[4] = static_cast<uint8_t>(r.size());
    r[5] = static_cast<uint8_t>(r.size() >> 8);
    return r;
}

class XpadTest : public ::testing::Test {
protected:
    void SetUp() override {
        xs = init_xpad_mot(&mot, id, (dir.path() + "/d101/").c_str());
        ASSERT_NE(xs, nullptr);
        ASSERT_NE(xs->ms, nullptr);
    }
    void TearDown() override { xpad_free(xs); }
    // As the X-PAD decoder hands a segment over: one start sub-field.
    void dl(const bytes &seg) {
        dl_decode(&xs->dls, seg.data(), static_cast<int>(seg.size()), 0);
        dl_decode(&xs->dls, nullptr, 0, 2);
    }
    void dl_text(bool t, const std::string &s) {
        for (auto &seg : dabgen::dl_segments(s, t)) dl(seg);
    }
    void feed(const bytes &r) { extract_xpad_new(r.data(), static_cast<int>(r.size()), 0, 0, 0, xs); }
    std::vector<std::string> ring() {
        std::vector<std::string> out;
        dynamic_label_t d;
        for (int n = 0; n < DL_RING && dl_get(xs, n, &d); n++) out.push_back(d.dl_text);
        return out;
    }
    uint64_t counter(int i) const { return mot.subchannels[id].stat.stats[i]; }

    dptest::datapath_env env;
    mot_dec_class mot{&env.ens};
    testsupport::temp_dir dir;
    const int id = 1;
    xpad_state_t *xs = nullptr;
};

}  // namespace

TEST_F(XpadTest, SegmentsMakeLabelsAndTheRingKeepsTheNewOnes) {
    // A wrong CRC in the middle leaves the label being assembled as it was.
    bytes bad = segment(false, false, true, 1, "QRS");
    bad[3] ^= 1;
    dl(segment(false, true, false, 0, "ABCDEFGHIJKLMNOP"));
    dl(bad);
    EXPECT_EQ(counter(MS_DL_CRC_ERRORS), 1u);
    dl(segment(false, false, true, 1, "QRS"));
    EXPECT_EQ(ring(), std::vector<std::string>{"ABCDEFGHIJKLMNOPQRS"});

    // Same text, same toggle: counted, stored once. Flipped toggle: stored again.
    dl_text(false, "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(counter(MS_DL_LABELS), 2u);
    EXPECT_EQ(counter(MS_DL_UNIQUE), 1u);
    dl_text(true, "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(ring().size(), 2u);

    // Clear display, then the old text with the old toggle: not new.
    dl(with_crc({0x80 | 0x10 | 0x01, 0x00}));
    dl_text(true, "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(ring().size(), 2u);

    // A gap in the segment numbers drops the partial label.
    dl(segment(false, true, false, 0, "0123456789abcdef"));
    dl(segment(false, false, true, 2, "lost"));
    EXPECT_EQ(env.count("Subchannel 1: Missing segment for dynamic label (2 0)\n"), 1);
    EXPECT_EQ(counter(MS_DL_OTHER_ERRORS), 1u);
    EXPECT_EQ(ring().size(), 2u);

    // Eight segments of sixteen characters are the longest label.
    const std::string longest(128, 'x');
    dl_text(false, longest);
    ASSERT_EQ(ring().size(), 3u);
    EXPECT_EQ(ring()[0], longest);
    EXPECT_EQ(counter(MS_DL_BYTES), 19u * 4 + 128);
}

TEST_F(XpadTest, ContinuationsAndRecordBounds) {
    // CI list 02 00: a 4-byte label start; the next record without CI flag continues with 6 bytes.
    const bytes seg = segment(true, true, true, 0, "Hi");  // 6 bytes
    feed(record(true, 2, {0x02, 0x00, seg[0], seg[1], seg[2], seg[3]}));
    EXPECT_EQ(xs->last_padlen, 6);
    feed(record(false, 2, {seg[4], seg[5], 0, 0, 0, 0}));
    EXPECT_EQ(xs->xpci[0][0], 3);
    EXPECT_EQ(ring(), std::vector<std::string>{"Hi"});
    EXPECT_EQ(counter(MS_PAD_BYTES), 10u);

    // An X-PAD indicator of 0 ends it: the next record without CI flag carries nothing.
    feed(record(false, 0, {}));
    feed(record(false, 2, bytes(6, 0x55)));
    EXPECT_EQ(xs->num_ci, 0);
    EXPECT_EQ(counter(MS_PAD_BYTES), 10u);

    // A continuation as long as the whole X-PAD fills no more than the segment buffer.
    const bytes two = segment(false, true, true, 0, "Continued text");
    bytes start = {0x02, 0x00, two[0], two[1], two[2], two[3]};
    feed(record(true, 2, start));
    xs->last_padlen = 200;
    bytes rest(two.begin() + 4, two.end());
    rest.resize(200, 0);
    feed(record(false, 2, rest));
    EXPECT_EQ(ring()[0], "Continued text");

    // CI lengths beyond the record: the sub-fields end with the record.
    const uint64_t before = counter(MS_PAD_BYTES);
    feed(record(true, 2, {0xE2, 0xEC, 0x00, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(counter(MS_PAD_BYTES) - before, 7u);
}

TEST_F(XpadTest, MotGroupsAreHandedOverWhenTheNextOneStarts) {
    // A header group in one MOT start sub-field; the length indicator after it completes it.
    int cont = 0;
    const bytes hdr = dabgen::mot_header(4, 2, 1, dabgen::mot_content_name("a.jpg"));
    const auto dgs = dabgen::mot_data_groups(3, 0x42, hdr, 64, cont, [] { return false; });
    ASSERT_EQ(dgs.size(), 1u);
    bytes dg = dgs[0];
    ASSERT_LE(dg.size(), 32u);
    dg.resize(32, 0);
    bytes x = {0xCC, 0x00};  // MOT start, 32 bytes
    x.insert(x.end(), dg.begin(), dg.end());
    feed(record(true, 2, x));
    EXPECT_EQ(xs->ms->stat.stats[MS_MOT_SEGMENTS], 0u);
    const bytes dgli = dabgen::dg_length_indicator(100);
    feed(record(true, 2, {0x01, 0x00, dgli[0], dgli[1], dgli[2], dgli[3]}));
    EXPECT_EQ(xs->ms->stat.stats[MS_MOT_SEGMENTS], 1u);
    EXPECT_EQ(xs->ms->stat.stats[MS_MOT_CRC_ERRORS], 0u);
    EXPECT_EQ(xs->ms->msc_buf->bl, 0);
}

TEST_F(XpadTest, RecordSearchSkipsOverlongLengthsAndThePageQuotesLabels) {
    // A length above 256 is no record: the search goes on to the next FF Fx pair.
    bytes stream = {0x12, 0xFF, 0xF4, 0x00, 0x00, 0x2C, 0x01, 0xAA};
    const bytes good = record(false, 0, bytes(24, 0));
    stream.insert(stream.end(), good.begin(), good.end());
    const std::string f = dir.path() + "/pad.bin";
    testsupport::write_file(f, std::string(stream.begin(), stream.end()));
    MSOCKET *s = mot.setup_net_file(f.c_str(), 1);
    ASSERT_NE(s, nullptr);
    unsigned char frame[PAD_RECORD_LIMIT];
    int len = 0, rid = 0, bridx = 0, amode = 0;
    ASSERT_EQ(find_framesync_new(s, frame, &len, &rid, &bridx, &amode), 0);
    EXPECT_EQ(len, static_cast<int>(good.size()));
    EXPECT_EQ(bridx, 9);
    EXPECT_EQ(std::memcmp(frame, good.data(), good.size()), 0);
    EXPECT_EQ(find_framesync_new(s, frame, &len, &rid, &bridx, &amode), 1);
    mot.close_stream(s);

    // Markup from the air stays text on the PAD page.
    decoder_info_t hd;
    copy_field(hd.label, "<b>Tones</b>");
    hd.user_data = xs;
    xs->dls.user_data = &hd;
    xs->dls.out_handler = dl_output_handler;
    dl_text(false, "<script>alert(1)</script>");
    const std::string page = testsupport::read_file(dir.path() + "/d101/index.html");
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos) << page;
    EXPECT_NE(page.find("<TITLE> &lt;b&gt;Tones&lt;/b&gt; </TITLE>"), std::string::npos);
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_NE(page.find("MOT/PAD Decoder 2.26F"), std::string::npos);
}
