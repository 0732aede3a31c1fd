// MOT header decoding: header core, extension parameters read against the header's end, and
// object names turned into safe relative paths.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "datapath/datapath_env.h"
#include "mot/mot_dec.h"
#include "support/test_support.h"

namespace {

using bytes = std::vector<unsigned char>;

// A PLI 3 parameter with the 7-bit or, from 128 bytes on, the 15-bit length.
bytes param3(int id, const bytes &data) {
    bytes b{static_cast<unsigned char>(0xC0 | id)};
    const size_t n = data.size();
    if (n >= 128) b.push_back(static_cast<unsigned char>(0x80 | n >> 8));
    b.push_back(static_cast<unsigned char>(n & (n >= 128 ? 0xFF : 0x7F)));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

bytes text(const std::string &s, int lead = -1) {
    bytes b;
    if (lead >= 0) b.push_back(static_cast<unsigned char>(lead));
    b.insert(b.end(), s.begin(), s.end());
    return b;
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

int handler_len;
int refuse(mot_state_t *, mot_hdr_attr_t *, int id, const unsigned char *, int len) {
    handler_len = len;
    return id == 32;
}

class MotHdr : public ::testing::Test {
protected:
    dptest::datapath_env env;
    mot_dec_class mot{&env.ens};
    testsupport::temp_dir dir;
    mot_state_t *ms = nullptr;

    void SetUp() override {
        ms = mot_init(&mot, 5, (dir.path() + "/svc/").c_str(), "");
        ASSERT_NE(ms, nullptr);
    }
    void TearDown() override { mot_free(ms); }
    uint64_t counter(int c) const { return ms->stat.stats[c]; }

    // The extension sits in a vector of exactly its size, so a read past it trips the sanitizer.
    int decode(const bytes &ext, mot_hdr_attr_t &a) {
        std::memset(&a, 0, sizeof a);
        bytes exact(ext);
        return mot_decode_header(ms, &a, exact.data(), static_cast<int>(exact.size()) + 7, refuse);
    }
};

TEST_F(MotHdr, CoreFieldsAndNothingElse) {
    // body 0x1234567, header 300, type 2, subtype 1
    const unsigned char core[7] = {0x12, 0x34, 0x56, 0x70, 0x96, 0x04, 0x01};
    mot_hdr_attr_t a;
    std::memset(&a, 0xFF, sizeof a);
    EXPECT_EQ(mot_decode_header_core(ms, &a, core), 300);
    EXPECT_EQ(a.body_size, 0x1234567);
    EXPECT_EQ(a.ct_type, 2);
    EXPECT_EQ(a.ct_subtype, 1);
    EXPECT_TRUE(a.hdr_flags == 0 && a.path[0] == 0 && a.dir_index_profile == 0 && a.user_data == nullptr);
    EXPECT_EQ(env.count("MOT bdsiz 19088743, hdr_size 300, 2, 1\n", LOG_DEBUG), 1);
    // exactly the core: nothing to read
    EXPECT_EQ(mot_decode_header(ms, &a, nullptr, 7, refuse), 0);
    EXPECT_EQ(a.hdr_flags, 0u);
}

void now(const mot_hdr_attr_t &a) { EXPECT_EQ(a.trigger, 1); }
void later(const mot_hdr_attr_t &a) { EXPECT_EQ(a.trigger, 0); }
void cafe(const mot_hdr_attr_t &a) {
    EXPECT_STREQ(a.label, "Caf\xe9 0123456789A");
    EXPECT_EQ(a.char_flag, 0x4243);
}

TEST_F(MotHdr, Parameters) {
    const std::string n256(256, 'n');
    // result, other errors counted, hdr_flags afterwards, a line that must be in the log, a check
    const struct { int line; bytes ext; int result, errors; uint64_t flags; const char *log;
                   void (*check)(const mot_hdr_attr_t &); } cases[] = {
        {__LINE__, {0x46, 0x07}, 0, 0, 1ULL << 6, "HX-Version: 7 (ignored)\n", nullptr},
        {__LINE__, {0x87, 0x00, 0x01, 0x02, 0x03}, 0, 0, 1ULL << 7, "HX-RepetitionDistance 66051 (ignored)\n", nullptr},
        {__LINE__, {0x11}, 0, 0, 1ULL << 17, "HX-Compressiontype: 0\n", nullptr},
        {__LINE__, param3(16, text("image/jpeg")), 0, 0, 1ULL << 16, "HX-Mimetype: >image/jpeg<\n", nullptr},
        {__LINE__, param3(16, text(std::string(200, 'm'))), 0, 0, 1ULL << 16, nullptr,
         [](const mot_hdr_attr_t &a) { EXPECT_EQ(std::string(a.mime_type), std::string(63, 'm')); }},
        // runs past the end: in the data, in the 15-bit length, in PLI 1 and PLI 2 values
        {__LINE__, {0xD0, 0x05, 'a', 'b'}, 1, 1, 0, "HDR_SIZE 11 < EXT_LEN 14\n", nullptr},
        {__LINE__, {0x46, 0x01, 0xD0, 0x80}, 1, 1, 1ULL << 6, "HDR_SIZE 11 < EXT_LEN 12\n", nullptr},
        {__LINE__, {0x46}, 1, 1, 0, "HDR_SIZE 8 < EXT_LEN 9\n", nullptr},
        {__LINE__, {0x87, 0x01, 0x02, 0x03}, 1, 1, 0, "HDR_SIZE 11 < EXT_LEN 12\n", nullptr},
        // needs data: none yet, an empty field, and no borrowing from the label before it
        {__LINE__, {0x05}, 1, 1, 0, "Invalid MOT-header data for type 0x5\n", nullptr},
        {__LINE__, {0xC5, 0x00}, 1, 1, 0, "Invalid MOT-header data for type 0x5\n", nullptr},
        {__LINE__, cat({param3(11, text("AB", 0)), {0x4C, 0x01}}), 1, 1, 1ULL << 11,
         "Invalid MOT-header data for type 0xc\n", [](const mot_hdr_attr_t &a) { EXPECT_EQ(a.path[0], 0); }},
        // a lower profile never replaces a higher one
        {__LINE__, cat({param3(34, text("i.html", 2)), param3(34, text("x.htm", 1))}), 0, 0, 1ULL << 34,
         "HX-DirIndex-Label: >i.html<, profile 2\n",
         [](const mot_hdr_attr_t &a) { EXPECT_STREQ(a.dir_index, "i.html"); }},
        {__LINE__, cat({param3(34, text("x.htm", 1)), param3(34, text("i.html", 2))}), 0, 0, 1ULL << 34, nullptr,
         [](const mot_hdr_attr_t &a) { EXPECT_EQ(a.dir_index_profile, 2); }},
        // trigger time "now" in short and long form, and a real time (padded to six bytes)
        {__LINE__, param3(5, {0, 0, 0, 0}), 0, 0, 1ULL << 5, "HX-TriggerTime ignored, 00 00 00 00 00 00\n", now},
        {__LINE__, param3(5, {0, 0, 0x08, 0, 0, 0}), 0, 0, 1ULL << 5, nullptr, now},
        {__LINE__, param3(5, {0xC5, 0x2C, 0x44, 0x10}), 0, 0, 1ULL << 5, "ignored, c5 2c 44 10 00 00\n", later},
        // the short form as a 4-byte value (PLI 2), and the content name after it still decoded
        {__LINE__, cat({{0x85, 0, 0, 0, 0}, param3(12, text("slide.jpg", 0))}), 0, 0, 1ULL << 5 | 1ULL << 12, nullptr,
         [](const mot_hdr_attr_t &a) { EXPECT_EQ(a.trigger, 1); EXPECT_STREQ(a.path, "slide.jpg"); }},
        {__LINE__, {0x85, 0xC5, 0x2C, 0x44, 0x10}, 0, 0, 1ULL << 5, "ignored, c5 2c 44 10 00 00\n", later},
        // label: 16 characters, flag field, EBU Latin e acute to ISO 8859-1
        {__LINE__, param3(11, text("Caf\x82 0123456789ABCDEF", 0x10)), 0, 0, 1ULL << 11, nullptr, cafe},
        // content name of 0, 1, 256, 257 characters after the character set byte
        {__LINE__, param3(12, {0x00}), 0, 0, 0, "HX-Content: Size 0 less than 1 or larger than 257 chars\n", nullptr},
        {__LINE__, param3(12, text("a", 0)), 0, 0, 1ULL << 12, "HX-Content: >a<\n", nullptr},
        {__LINE__, param3(12, text(n256, 0)), 0, 0, 1ULL << 12, nullptr,
         [](const mot_hdr_attr_t &a) { EXPECT_EQ(std::string(a.path), std::string(256, 'n')); }},
        {__LINE__, param3(12, text(n256 + "n", 0)), 0, 0, 0, "HX-Content: Size 257 less than", nullptr},
        // application parameters go to the handler, which may refuse the header
        {__LINE__, param3(33, {1, 2, 3}), 0, 0, 0, "HX-Attr 21, length 3 (ignored)\n",
         [](const mot_hdr_attr_t &) { EXPECT_EQ(handler_len, 3); }},
        {__LINE__, cat({param3(32, {1}), {0x46, 0x03}}), 1, 1, 0, nullptr,
         [](const mot_hdr_attr_t &a) { EXPECT_EQ(a.version, 0); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        const uint64_t before = counter(MS_MOT_OTHER_ERRORS);
        mot_hdr_attr_t a;
        EXPECT_EQ(decode(c.ext, a), c.result);
        EXPECT_EQ(counter(MS_MOT_OTHER_ERRORS) - before, static_cast<uint64_t>(c.errors));
        EXPECT_EQ(a.hdr_flags, c.flags);
        if (c.log) { EXPECT_GE(env.count(c.log), 1) << c.log; }
        if (c.check) c.check(a);
    }
}

TEST_F(MotHdr, ContentNameIsCleaned) {
    // bad: invalid file names counted; warned: the security hole message; named: the name flag
    const struct { int line; std::string name; const char *path; int bad; bool warned, named; } cases[] = {
        {__LINE__, "C:\\\\dir\\pic.jpg", "dir/pic.jpg", 1, false, true},
        {__LINE__, "/../rel.txt", "rel.txt", 1, true, true},
        {__LINE__, "sub/ok.png", "sub/ok.png", 0, false, true},
        {__LINE__, std::string("a\x01" "b"), "a_b", 1, false, true},
        {__LINE__, "/..", "", 1, true, false},  // nothing left: the object is named after its type
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        const uint64_t bad = counter(MS_MOT_BAD_NAMES);
        const int warns = env.count("is a security hole", LOG_WARN);
        mot_hdr_attr_t a;
        EXPECT_EQ(decode(param3(12, text(c.name, 0)), a), 0);
        EXPECT_STREQ(a.path, c.path);
        EXPECT_EQ(counter(MS_MOT_BAD_NAMES) - bad, static_cast<uint64_t>(c.bad));
        EXPECT_EQ(env.count("is a security hole", LOG_WARN) - warns, c.warned ? 1 : 0);
        EXPECT_EQ((a.hdr_flags >> 12 & 1) != 0, c.named);
    }
    EXPECT_EQ(env.count("File name </..> is a security hole, removing '..'\n", LOG_WARN), 1);
    EXPECT_EQ(env.count("HX-Content: >a.b<\n"), 1);  // control bytes do not reach the log
}

TEST(CleanPath, Table) {
    const struct { int line; const char *in; int len; const char *out; int result; } cases[] = {
        {__LINE__, "C:\\\\a\\b", 257, "a/b", CLEAN_PATH_DRIVE},
        {__LINE__, "/../rel", 257, "rel", CLEAN_PATH_DOTS},
        {__LINE__, "a/../b", 257, "a/b", CLEAN_PATH_DOTS},
        {__LINE__, "....//x", 257, "x", CLEAN_PATH_DOTS},
        {__LINE__, "a/.../b", 257, "a/b", CLEAN_PATH_DOTS},
        {__LINE__, "..", 257, "", CLEAN_PATH_DOTS},
        {__LINE__, "a//b", 257, "a/b", 0},
        {__LINE__, "./a", 257, "a", 0},
        {__LINE__, "a/", 257, "a", 0},
        {__LINE__, "\\\\x\\y", 257, "x/y", 0},
        {__LINE__, ". ./", 257, ". .", 0},
        {__LINE__, "a\x01" "b\x7f", 257, "a_b_", 0},
        {__LINE__, "", 257, "", 0},
        {__LINE__, "abcdef", 4, "abc", 0},
        {__LINE__, "ab/cd", 4, "ab", 0},  // no trailing slash after the cut
        {__LINE__, "a/.b", 4, "a", 0},    // nor a lone dot
        {__LINE__, "x", 1, "", 0},
        {__LINE__, "C:x", 1, "", CLEAN_PATH_DRIVE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        char out[300];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(clean_path(out, c.in, c.len), c.result);
        EXPECT_STREQ(out, c.out);
        const std::string s = std::string("/") + out + "/";
        EXPECT_EQ(s.find("//"), s.size() == 2 ? 0 : std::string::npos);
        EXPECT_EQ(s.find("/../"), std::string::npos);
    }
    char guard = '#';
    EXPECT_EQ(clean_path(&guard, "abc", 0), 0);
    EXPECT_EQ(guard, '#');
}

}  // namespace
