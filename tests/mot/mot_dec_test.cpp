// MOT object assembly and directory mode on hand-built data groups, written to files by the
// default output.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "datapath/datapath_env.h"
#include "mot.h"
#include "mot/mot_callbacks.h"
#include "mot/mot_dec.h"
#include "mot/mot_dir.h"
#include "support/test_support.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes text(const std::string &s) { return bytes(s.begin(), s.end()); }

bytes header(const std::string &name, size_t body, const bytes &more = {}) {
    bytes ext = dabgen::mot_content_name(name);
    ext.insert(ext.end(), more.begin(), more.end());
    return dabgen::mot_header(static_cast<uint32_t>(body), 1, 0, ext);
}

std::vector<bytes> groups(int dgtype, int tid, const bytes &data, int segment = 16) {
    int continuity = 0;
    return dabgen::mot_data_groups(dgtype, tid, data, segment, continuity, [] { return false; });
}

class MotDecTest : public ::testing::Test {
protected:
    void SetUp() override {
        ms = mot_init(&mot, 5, svc.c_str(), "svc/");
        ASSERT_NE(ms, nullptr);
        mot_callback_init(ms, &mot_default_callbacks);
    }
    void TearDown() override { mot_free(ms); }
    void feed(const bytes &dg) {
        ASSERT_LE(dg.size(), static_cast<size_t>(MSC_BUF_SIZE));
        memcpy(ms->msc_buf->buf, dg.data(), dg.size());
        ms->msc_buf->bl = static_cast<int>(dg.size());
        mot_handle(ms, 0);
    }
    void feed(const std::vector<bytes> &dgs) {
        for (const auto &d : dgs) feed(d);
    }
    // Header mode: the header, then the body.
    void send(int tid, const std::string &name, const std::string &body) {
        feed(groups(3, tid, header(name, body.size())));
        feed(groups(4, tid, text(body)));
    }
    uint64_t counter(int i) const { return ms->stat.stats[i]; }
    std::string file(const std::string &name) const { return svc + "/" + name; }
    int tmp_files() const { return static_cast<int>(testsupport::run({"find", dir.path(), "-name", "*.tmp"}).out.size()); }

    dptest::datapath_env env;
    mot_dec_class mot{&env.ens};
    testsupport::temp_dir dir;
    std::string svc = dir.path() + "/svc";
    mot_state_t *ms = nullptr;
};

}  // namespace

TEST_F(MotDecTest, SegmentOrderRepeatsAndGaps) {
    const std::string body = "the body of an object, cut into sixteen-byte segments";
    send(0x100, "dir/a.txt", body);
    EXPECT_EQ(testsupport::read_file(file("dir/a.txt")), body);
    EXPECT_EQ(env.count("Finished Obj 0, \"dir/a.txt\", len " + std::to_string(body.size())), 1);

    // Broadcast again: recognised, not written again.
    send(0x100, "dir/a.txt", body);
    EXPECT_EQ(counter(MS_MOT_REPEATED), 1u);
    EXPECT_EQ(counter(MS_MOT_FILES), 1u);

    // Header segment 1 before 0 is dropped; then both in order complete the header.
    auto hdr = groups(3, 0x101, header("b.txt", 4), 8);
    ASSERT_GE(hdr.size(), 2u);
    feed(hdr[1]);
    feed(hdr);
    // A repeated body segment is ignored once the body has bytes.
    auto b = groups(4, 0x101, text("bbbb"), 2);
    feed({b[0], b[0], b[1]});
    EXPECT_EQ(testsupport::read_file(file("b.txt")), "bbbb");

    // A gap in the body: the object is forgotten with its temporary file.
    feed(groups(3, 0x102, header("c.txt", 48)));
    auto c = groups(4, 0x102, text(std::string(48, 'c')));
    feed({c[0], c[2]});
    EXPECT_FALSE(testsupport::file_exists(file("c.txt")));
    EXPECT_EQ(counter(MS_MOT_FILES_FAILED), 1u);
    EXPECT_EQ(env.count("missing DG4 MOT-Segment, cur: 2, exp: 1"), 1);
    EXPECT_EQ(tmp_files(), 0);

    // A body without a header or directory entry goes nowhere.
    feed(groups(4, 0x103, text("orphan")));
    EXPECT_EQ(counter(MS_MOT_FILES), 2u);
}

TEST_F(MotDecTest, CrcFollowsTheHeadersWhateverTheirLength) {
    auto dgs = groups(3, 0x200, header("e.txt", 3));
    ASSERT_EQ(dgs.size(), 1u);
    // The same group with an extension field: two bytes more in front, the CRC moves with them.
    bytes ext = dgs[0];
    ext[0] |= 0x80;
    ext.insert(ext.begin() + 2, {0x12, 0x34});
    const uint16_t c = dabcommon::crc16(ext.data(), ext.size() - 2);
    ext[ext.size() - 2] = static_cast<uint8_t>(c >> 8);
    ext[ext.size() - 1] = static_cast<uint8_t>(c);
    feed(ext);
    feed(groups(4, 0x200, text("ext")));
    EXPECT_EQ(testsupport::read_file(file("e.txt")), "ext");
    EXPECT_EQ(counter(MS_MOT_CRC_ERRORS), 0u);

    // A group too short for the segment it announces is dropped, nothing read past it.
    bytes cut = groups(3, 0x201, header("f.txt", 3))[0];
    cut.resize(cut.size() - 5);
    feed(cut);
    EXPECT_EQ(env.count("does not fit its data group"), 1);
    bytes bad = groups(4, 0x200, text("x"))[0];
    bad.back() ^= 1;
    feed(bad);
    EXPECT_EQ(counter(MS_MOT_CRC_ERRORS), 1u);
}

TEST_F(MotDecTest, SixtyFourObjectsAtATimeAndTimeOuts) {
    for (int i = 0; i < MOT_OBJECTS; i++) {
        feed(groups(3, 0x300 + i, header("o" + std::to_string(i), 32)));
        feed(groups(4, 0x300 + i, text(std::string(32, 'o')))[0]);
    }
    feed(groups(3, 0x400, header("late", 4)));
    EXPECT_EQ(env.count("Too many open files, ignoring data"), 1);

    // An object untouched for more than 20 s gives way to the next one.
    ms->mobs[7].timestamp -= 21;
    send(0x400, "late", "late");
    EXPECT_EQ(env.count("TIMEOUT for Obj 7 (o7)"), 1);
    EXPECT_EQ(testsupport::read_file(file("late")), "late");
}

TEST_F(MotDecTest, DirectoryModeBodiesAndPartialDirectories) {
    std::vector<dabgen::mot_dir_entry> entries = {{0x501, header("index.html", 5)},
                                                  {0x502, header("img/p.jpg", 3)},
                                                  {0x503, header("../../escape.txt", 3)}};
    bytes index = text("Xindex.html");
    index[0] = 1;  // profile
    const bytes directory = dabgen::mot_directory(entries, 10, 16, dabgen::mot_param(34, index));
    feed(groups(6, 0x500, directory));
    EXPECT_EQ(env.count("MOT-DIR has 3 entries and is complete"), 1);
    feed(groups(4, 0x502, text("jpg")));
    feed(groups(4, 0x501, text("hello")));
    feed(groups(4, 0x503, text("esc")));
    feed(groups(4, 0x504, text("not listed")));
    EXPECT_EQ(testsupport::read_file(file("img/p.jpg")), "jpg");
    EXPECT_EQ(testsupport::read_file(file("index.html")), "hello");
    EXPECT_EQ(testsupport::read_file(file("escape.txt")), "esc") << "names stay below the service";
    EXPECT_FALSE(testsupport::file_exists(dir.file("escape.txt")));
    mot_label_t l;
    bool found = false;
    for (int i = 0; i < MOT_LABELS; i++)
        if (mot_find_label(ms, &l, i) && !strcmp(l.label, "Broadcast Website")) found = !strcmp(l.base_path, "svc/index.html");
    EXPECT_TRUE(found);

    // Decoded from files: a directory of no objects never becomes current, a partial one of
    // fewer entries than the current one leaves it in place.
    mot_object_state_t o{};
    snprintf(o.path, sizeof o.path, "%s", dir.file("d.mot").c_str());
    const bytes none = dabgen::mot_directory({}, 10, 16, {});
    testsupport::write_file(o.path, std::string(none.begin(), none.end()));
    EXPECT_EQ(mot_dir_decode_file(ms, &o), 0);
    EXPECT_EQ(env.count("Reading of MOT directory failed (error: 7)"), 1);
    const bytes two = dabgen::mot_directory({entries[0], entries[1]}, 10, 16, {});
    testsupport::write_file(o.path, std::string(two.begin(), two.end() - 3));  // the second entry cut
    EXPECT_EQ(mot_dir_decode_file(ms, &o), 0);
    EXPECT_EQ(env.count("Reading of MOT directory failed (error: 6)"), 1);
    mot_hdr_attr_t a;
    EXPECT_EQ(mot_dir_find_trid_entry(ms, 0x503, &a), 1) << "the complete directory stays current";
}

TEST_F(MotDecTest, AnObjectThatCannotBeWrittenLeavesNoFile) {
    mkdir(svc.c_str(), 0755);
    testsupport::write_file(file("blocked"), "a file where a directory would go");
    send(0x600, "blocked/x.txt", "data");
    EXPECT_FALSE(testsupport::file_exists(file("blocked/x.txt")));
    EXPECT_EQ(env.count("Can't create file"), 1);
    EXPECT_EQ(counter(MS_MOT_FILES), 0u);
    EXPECT_EQ(tmp_files(), 0);
}
