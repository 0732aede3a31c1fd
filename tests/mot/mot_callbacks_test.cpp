// Output of MOT objects: names confined below the service directory, and a final file only for
// an object that was stored completely.

#include "mot/mot_callbacks.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "datapath/datapath_env.h"
#include "mot/mot_dec.h"
#include "support/gzip.h"
#include "support/test_support.h"

namespace {

using testsupport::file_exists;
using testsupport::gzip;
using testsupport::read_file;
class MotCallbacks : public ::testing::Test {
   protected:
    void SetUp() override {
        svc = dir.path() + "/svc";
        ms = mot_init(&mot, 5, svc.c_str(), "");
        ASSERT_NE(ms, nullptr);
        mkdir(svc.c_str(), 0777);
    }
    void TearDown() override {
        if (obj.file) fclose(obj.file);
        mot_free(ms);
    }

    void name(const char *n, int dgtype = 4) {
        obj = mot_object_state_t{};
        obj.trid = 0x1234;
        obj.dgtype = dgtype;
        snprintf(obj.mha.path, sizeof obj.mha.path, "%s", n);
    }
    // The whole life of one object: 1 when finish_file put it in place.
    int receive(const char *n, const std::string &body, bool gzipped = false) {
        name(n);
        if (gzipped) {
            obj.mha.hdr_flags |= 1ULL << MOT_PARAM_COMPRESSION;
            obj.mha.compression = 1;
        }
        if (!mot_cbx_start_file(ms, &obj)) return -1;
        const auto *p = reinterpret_cast<const unsigned char *>(body.data());
        for (size_t off = 0; off < body.size(); off += 8189) {  // odd segment sizes, as from the air
            if (!mot_cbx_write_data(ms, &obj, p + off, static_cast<int>(std::min<size_t>(8189, body.size() - off))))
                return -2;
        }
        return mot_cbx_finish_file(ms, &obj);
    }
    // Leftovers of the decoder's own temporary files anywhere below the scratch directory.
    int strays() {
        int n = 0;
        for (auto &f : std::filesystem::recursive_directory_iterator(dir.path())) {
            const std::string b = f.path().filename().string();
            if (b.find(".gunzip-") == 0 || (b.size() > 4 && b.compare(b.size() - 4, 4, ".tmp") == 0)) n++;
        }
        return n;
    }

    dptest::datapath_env env;
    mot_dec_class mot{&env.ens};
    testsupport::temp_dir dir;
    std::string svc;
    mot_state_t *ms = nullptr;
    mot_object_state_t obj{};
};

TEST(MotOutputPath, OnlyNamesBelowThePrefix) {
    const struct {
        int line;
        const char *name;
        const char *suffix;
        bool allow_dir;
        const char *want;  // nullptr: rejected
    } cases[] = {
        {__LINE__, "a/b/c.html", "", false, "/srv/7/a/b/c.html"},
        {__LINE__, "a/b/c.html", ".tmp", false, "/srv/7/a/b/c.html.tmp"},
        {__LINE__, "..a/b", "", false, "/srv/7/..a/b"},
        {__LINE__, "", "", false, nullptr},
        {__LINE__, "C:x.jpg", "", false, nullptr},
        {__LINE__, "../x", "", false, nullptr},
        {__LINE__, "a/.../x", "", false, nullptr},
        {__LINE__, "./x", "", false, nullptr},
        {__LINE__, "/etc/passwd", "", false, nullptr},
        {__LINE__, "a\\b", "", false, nullptr},
        {__LINE__, "a//b", "", false, nullptr},
        {__LINE__, "x.TMP", "", false, nullptr},
        {__LINE__, "d/.gunzip-Ab12Cd", "", false, nullptr},
        {__LINE__, "a\nb", "", false, nullptr},
        {__LINE__, "__MOTDIR.MOT", "", false, nullptr},
        {__LINE__, "__MOTDIR.MOT", ".tmp", true, "/srv/7/__MOTDIR.MOT.tmp"},
        // "/srv/7/" and 25 characters need 33 bytes with the terminator: never cut to 32
        {__LINE__, "abcdefghijklmnopqrstuvwxy", "", false, nullptr},
        {__LINE__, "abcdefghijklmnopqrstuvwx", "", false, "/srv/7/abcdefghijklmnopqrstuvwx"},
        {__LINE__, "abcdefghijklmnopqrstu", ".tmp", false, nullptr},
    };
    for (const auto &c : cases) {
        char out[32];
        const bool ok = mot_output_path(out, sizeof out, "/srv/7", c.name, c.suffix, c.allow_dir);
        EXPECT_EQ(ok, c.want != nullptr) << "line " << c.line;
        if (ok && c.want) {
            EXPECT_STREQ(out, c.want) << "line " << c.line;
        }
    }
    char out[64];
    EXPECT_FALSE(mot_output_path(out, sizeof out, "", "x", "", false)) << "would land at the root";
}

TEST_F(MotCallbacks, PlainObjectGetsItsBytesInSubdirectories) {
    std::string body(20000, '\0');
    for (size_t i = 0; i < body.size(); i++) body[i] = static_cast<char>(i * 7 + i / 256);
    ASSERT_EQ(receive("a/b/c.html", body), 1);
    EXPECT_EQ(read_file(svc + "/a/b/c.html"), body);
    EXPECT_EQ(std::string(obj.path), svc + "/a/b/c.html");
    EXPECT_EQ(obj.flen, 20000);
    // A new version replaces the old one.
    ASSERT_EQ(receive("a/b/c.html", "v2"), 1);
    EXPECT_EQ(read_file(svc + "/a/b/c.html"), "v2");
    EXPECT_EQ(strays(), 0);
}

TEST_F(MotCallbacks, GzipObjectStoredDecompressed) {
    std::string text;
    for (int i = 0; text.size() < 50000; i++) text += "line " + std::to_string(i) + "\n";
    ASSERT_EQ(receive("pics/s.txt", gzip(text), true), 1);
    EXPECT_EQ(read_file(svc + "/pics/s.txt"), text);
    EXPECT_EQ(obj.flen, static_cast<int>(text.size()));
    // Exactly the limit still fits.
    ASSERT_EQ(receive("max.bin", gzip(std::string(MOT_GUNZIP_MAX, '\0')), true), 1);
    EXPECT_EQ(obj.flen, MOT_GUNZIP_MAX);
    EXPECT_EQ(strays(), 0);
}

TEST_F(MotCallbacks, BrokenGzipLeavesNothing) {
    const std::string good = gzip(std::string(30000, 'x') + "end");
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x55;
    std::string bad_crc = good;
    bad_crc[good.size() - 6] ^= 1;
    const struct {
        const char *what;
        std::string body;
        const char *log;
    } cases[] = {
        {"truncated", good.substr(0, good.size() - 10), "Decompressing"},
        {"corrupt", flipped, "Decompressing"},
        {"wrong crc", bad_crc, "Decompressing"},
        {"not gzip", "plain text, no gzip", "Decompressing"},
        {"empty", "", "Decompressing"},
        {"bomb", gzip(std::string(MOT_GUNZIP_MAX + 1, '\0')), "expands beyond"},
    };
    for (const auto &c : cases) {
        const int before = env.count(c.log, LOG_WARN);
        EXPECT_EQ(receive("z/obj.bin", c.body, true), 0) << c.what;
        EXPECT_FALSE(file_exists(svc + "/z/obj.bin")) << c.what;
        EXPECT_EQ(env.count(c.log, LOG_WARN), before + 1) << c.what;
        EXPECT_EQ(strays(), 0) << c.what;
    }
}

TEST_F(MotCallbacks, DiscardRemovesOnlyTheTemporaryFile) {
    name("half.jpg");
    ASSERT_EQ(mot_cbx_start_file(ms, &obj), 1);
    ASSERT_EQ(mot_cbx_write_data(ms, &obj, reinterpret_cast<const unsigned char *>("abc"), 3), 1);
    mot_cbx_discard_file(ms, &obj);
    EXPECT_EQ(obj.file, nullptr);
    EXPECT_EQ(strays(), 0);
    EXPECT_FALSE(file_exists(svc + "/half.jpg"));
    ASSERT_EQ(receive("done.jpg", "abc"), 1);
    mot_cbx_discard_file(ms, &obj);
    EXPECT_EQ(read_file(svc + "/done.jpg"), "abc");
}

TEST_F(MotCallbacks, WriteFailuresNeverGiveAFinalFile) {
    // A later write error (disk full) seen only when the buffer is flushed at the end.
    name("full.html");
    ASSERT_EQ(mot_cbx_start_file(ms, &obj), 1);
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    fclose(obj.file);
    obj.file = full;
    EXPECT_EQ(mot_cbx_write_data(ms, &obj, reinterpret_cast<const unsigned char *>("abc"), 3), 1);
    EXPECT_EQ(mot_cbx_finish_file(ms, &obj), 0);
    EXPECT_FALSE(file_exists(svc + "/full.html"));
    EXPECT_EQ(env.count("Writing", LOG_WARN), 1);

    // One seen at once: the object stays failed.
    name("full2.html");
    ASSERT_EQ(mot_cbx_start_file(ms, &obj), 1);
    fclose(obj.file);
    obj.file = fopen("/dev/full", "wb");
    ASSERT_NE(obj.file, nullptr);
    setvbuf(obj.file, nullptr, _IONBF, 0);
    const std::string big(10000, 'x');
    const auto *p = reinterpret_cast<const unsigned char *>(big.data());
    EXPECT_EQ(mot_cbx_write_data(ms, &obj, p, 10000), 0);
    EXPECT_EQ(mot_cbx_write_data(ms, &obj, p, 10000), 0);
    EXPECT_EQ(mot_cbx_finish_file(ms, &obj), 0);
    EXPECT_FALSE(file_exists(svc + "/full2.html"));
    // A full disk fails every object alike: within the minute it is not reported again.
    EXPECT_EQ(env.count("Writing", LOG_WARN), 1);

    // A directory that is a regular file already.
    testsupport::write_file(svc + "/plain", "x");
    EXPECT_EQ(receive("plain/x.html", "abc"), -1);
    EXPECT_EQ(read_file(svc + "/plain"), "x");
    EXPECT_EQ(strays(), 0);
}

TEST_F(MotCallbacks, SymlinksBelowTheServiceAreNotFollowed) {
    const std::string outside = dir.path() + "/outside";
    mkdir(outside.c_str(), 0777);
    ASSERT_EQ(symlink(outside.c_str(), (svc + "/link").c_str()), 0);
    EXPECT_EQ(receive("link/evil.html", "abc"), -1);
    EXPECT_EQ(receive("link/sub/evil.html", "abc"), -1);
    EXPECT_EQ(env.count("Invalid file name <link/evil.html>", LOG_WARN), 1);
    // Nor one waiting under the temporary name.
    ASSERT_EQ(symlink((outside + "/target").c_str(), (svc + "/x.html.tmp").c_str()), 0);
    EXPECT_EQ(receive("x.html", "abc"), -1);
    EXPECT_TRUE(std::filesystem::is_empty(outside));
    EXPECT_FALSE(file_exists(svc + "/link/sub"));
}

}  // namespace
