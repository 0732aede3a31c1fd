// Bounded output: a service directory stays within its quota, the oldest objects going first
// and never what is shown; a full disk costs the object being written, nothing else.

#include "mot/mot_quota.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "core/config.h"
#include "datapath/datapath_env.h"
#include "mot.h"
#include "mot/mot_callbacks.h"
#include "mot/mot_dec.h"
#include "mot/xpad_dec.h"
#include "support/gzip.h"
#include "support/test_support.h"

namespace {

using bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

constexpr uint64_t unit = 16384;  // whole blocks: length and space on disk agree

// A file of n units, last modified at the given second.
void old_file(const std::string &path, int n, time_t mtime) {
    fs::create_directories(fs::path(path).parent_path());
    testsupport::write_file(path, std::string(n * unit, 'q'));
    const struct timespec t[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
}

// Relative names of the regular files below dir.
std::set<std::string> files_below(const std::string &dir) {
    std::set<std::string> out;
    if (!fs::exists(dir)) return out;
    for (auto &f : fs::recursive_directory_iterator(dir))
        if (f.is_regular_file()) out.insert(fs::relative(f.path(), dir).string());
    return out;
}

// What the tree takes, as the quota counts it.
uint64_t tree_size(const std::string &dir) {
    uint64_t n = 0;
    for (auto &f : fs::recursive_directory_iterator(dir)) {
        struct stat st;
        if (f.is_regular_file() && lstat(f.path().c_str(), &st) == 0) n += mot_quota::footprint(st);
    }
    return n;
}

TEST(MotQuota, OldestRemovableFilesGoFirst) {
    // Files below the root: name, units, modification second. "page" lies beside the objects'
    // directory, as the label page of a programme does.
    const struct {
        int line;
        uint64_t limit_units;
        std::vector<std::string> keep;
        const char *added;  // an object of 2 units, new or a new version
        std::set<std::string> left;
    } cases[] = {
        {__LINE__, 7, {}, "obj/new", {"page", "obj/b", "obj/c", "obj/d/e", "obj/new"}},
        {__LINE__, 5, {}, "obj/new", {"page", "obj/c", "obj/d/e", "obj/new"}},
        {__LINE__, 5, {"obj/a"}, "obj/new", {"page", "obj/a", "obj/d/e", "obj/new"}},
        {__LINE__, 3, {"obj/new"}, "obj/new", {"page", "obj/new"}},
        // Still over: the page is no object, the kept one stays.
        {__LINE__, 2, {"obj/new"}, "obj/new", {"page", "obj/new"}},
        // A new version is counted once and is the newest now.
        {__LINE__, 6, {}, "obj/a", {"page", "obj/a", "obj/c", "obj/d/e"}},
        {__LINE__, 0, {}, "obj/new", {"page", "obj/a", "obj/b", "obj/c", "obj/d/e", "obj/new"}},
    };
    for (const auto &c : cases) {
        testsupport::temp_dir dir;
        const std::string root = dir.path() + "/svc";
        old_file(root + "/page", 1, 100);
        old_file(root + "/obj/a", 1, 200);
        old_file(root + "/obj/b", 2, 300);
        old_file(root + "/obj/c", 1, 400);
        old_file(root + "/obj/d/e", 1, 500);
        mot_quota q(root + "/", root + "/obj", c.limit_units * unit);
        q.scan();
        EXPECT_EQ(q.used(), 6 * unit) << "line " << c.line;
        testsupport::write_file(root + "/" + c.added, std::string(2 * unit, 'n'));
        q.add(root + "/" + c.added);
        q.enforce([&](const std::string &p) {
            for (const auto &k : c.keep)
                if (p == root + "/" + k) return true;
            return false;
        });
        EXPECT_EQ(files_below(root), c.left) << "line " << c.line;
        if (c.limit_units) {
            EXPECT_EQ(q.used(), tree_size(root)) << "line " << c.line;
        }
        // A directory emptied by the removals goes too, the objects' own one never.
        EXPECT_EQ(fs::exists(root + "/obj/d"), c.left.count("obj/d/e") == 1) << "line " << c.line;
        EXPECT_TRUE(fs::is_directory(root + "/obj")) << "line " << c.line;
    }
}

TEST(MotQuota, FailureWarningsAtMostOnceAMinuteForEachKind) {
    mot_failure_log f;
    using L = mot_failure_log;
    const struct {
        L::kind_t kind;
        time_t now;
        bool due;
        int held;  // when due
    } steps[] = {
        {L::disk_full, 1000, true, 0},   {L::disk_full, 1000, false, 0},  {L::disk_full, 1059, false, 0},
        {L::write_error, 1059, true, 0}, {L::disk_full, 1060, true, 2},   {L::disk_full, 1061, false, 0},
        {L::disk_full, 900, true, 1},  // the clock set back
        {L::over_quota, 900, true, 0},   {L::write_error, 1100, false, 0}, {L::write_error, 1119, true, 1},
    };
    int i = 0;
    for (const auto &s : steps) {
        int held = -1;
        EXPECT_EQ(f.due(s.kind, s.now, &held), s.due) << "step " << i;
        if (s.due) {
            EXPECT_EQ(held, s.held) << "step " << i;
        }
        i++;
    }
}

using testsupport::gzip;

bytes text(const std::string &s) { return bytes(s.begin(), s.end()); }

bytes header(const std::string &name, size_t body, const bytes &more = {}) {
    bytes ext = dabgen::mot_content_name(name);
    ext.insert(ext.end(), more.begin(), more.end());
    return dabgen::mot_header(static_cast<uint32_t>(body), 2, 1, ext);
}

std::vector<bytes> groups(int dgtype, int tid, const bytes &data) {
    int continuity = 0;
    return dabgen::mot_data_groups(dgtype, tid, data, 4000, continuity, [] { return false; });
}

void feed(mot_state_t *ms, const std::vector<bytes> &dgs) {
    for (const auto &dg : dgs) {
        ASSERT_LE(dg.size(), static_cast<size_t>(MSC_BUF_SIZE));
        memcpy(ms->msc_buf->buf, dg.data(), dg.size());
        ms->msc_buf->bl = static_cast<int>(dg.size());
        mot_handle(ms, 0);
    }
}

// Header mode: the header, then the body.
void send(mot_state_t *ms, int tid, const std::string &name, const std::string &body, const bytes &more = {}) {
    feed(ms, groups(3, tid, header(name, body.size(), more)));
    feed(ms, groups(4, tid, text(body)));
}

// One decoder writing below a scratch directory, its quota set before it starts.
class MotQuotaDecoder : public ::testing::Test {
protected:
    void start(int mib) {
        env.ens.cfg->motquota = mib;
        ms = mot_init(&mot, 5, svc.c_str(), "svc/");
        ASSERT_NE(ms, nullptr);
        mot_callback_init(ms, &mot_default_callbacks);
    }
    void TearDown() override { mot_free(ms); }
    void feed(const std::vector<bytes> &dgs) { ::feed(ms, dgs); }
    void send(int tid, const std::string &name, const std::string &body, const bytes &more = {}) {
        ::send(ms, tid, name, body, more);
    }
    bool has(const std::string &name) const { return testsupport::file_exists(svc + "/" + name); }

    dptest::datapath_env env;
    mot_dec_class mot{&env.ens};
    testsupport::temp_dir dir;
    std::string svc = dir.path() + "/svc";
    mot_state_t *ms = nullptr;
};

TEST_F(MotQuotaDecoder, TreeStaysUnderQuotaOverManyNamesKeepingWhatIsShown) {
    start(1);
    const uint64_t quota = 1 << 20;
    // A website by directory, then a slide: neither may go while current.
    std::vector<dabgen::mot_dir_entry> entries = {{0x501, header("site/index.html", 30000)},
                                                  {0x502, header("site/img/p.jpg", 30000)}};
    feed(groups(6, 0x500, dabgen::mot_directory(entries, 10, 4000, {})));
    feed(groups(4, 0x501, text(std::string(30000, 'i'))));
    feed(groups(4, 0x502, text(std::string(30000, 'p'))));
    send(0x10, "slide.jpg", std::string(50000, 's'), dabgen::mot_trigger_now());
    ASSERT_TRUE(has("slide.jpg"));
    ASSERT_TRUE(has("site/index.html"));

    // Every slide named anew, each in a folder of its own: weeks of a careless service.
    for (int i = 0; i < 120; i++) {
        const std::string body(40000 + (i * 7919) % 60000, 'x');  // sizes vary, so does the room left
        const std::string name = "n" + std::to_string(i % 7) + "/slide" + std::to_string(i) + ".jpg";
        feed(groups(3, 0x1000 + i, header(name, body.size())));
        // Half received: room is made for what is being written, too.
        const auto dgs = groups(4, 0x1000 + i, text(body));
        const size_t half = dgs.size() / 2;
        feed(std::vector<bytes>(dgs.begin(), dgs.begin() + static_cast<long>(half)));
        fflush(nullptr);
        ASSERT_LE(tree_size(svc), quota) << "while receiving object " << i;
        feed(std::vector<bytes>(dgs.begin() + static_cast<long>(half), dgs.end()));
        ASSERT_TRUE(has(name)) << i;
        ASSERT_LE(tree_size(svc), quota) << "after object " << i;
    }
    EXPECT_TRUE(has("slide.jpg"));
    EXPECT_TRUE(has("site/index.html"));
    EXPECT_TRUE(has("site/img/p.jpg"));
    EXPECT_TRUE(has(MOT_DIR_FILE));
    // Oldest first: what is left of the stream is its most recent part, without gaps.
    int oldest = 120;
    for (int i = 119; i >= 0 && has("n" + std::to_string(i % 7) + "/slide" + std::to_string(i) + ".jpg"); i--) oldest = i;
    const int kept = 120 - oldest;
    EXPECT_GE(kept, 10);
    EXPECT_EQ(files_below(svc).size(), static_cast<size_t>(kept) + 4);
    EXPECT_EQ(ms->quota->used(), tree_size(svc));
    EXPECT_EQ(env.count("more than its quota"), 0);

    // A new slide takes over: the former one may go now.
    send(0x20, "slide2.jpg", std::string(50000, 't'), dabgen::mot_trigger_now());
    for (int i = 0; i < 30; i++) send(0x2000 + i, "later" + std::to_string(i) + ".jpg", std::string(70000, 'l'));
    EXPECT_FALSE(has("slide.jpg"));
    EXPECT_TRUE(has("slide2.jpg"));
    EXPECT_LE(tree_size(svc), quota);
    // No directory left behind by the removals.
    for (int d = 0; d < 7; d++) EXPECT_FALSE(fs::exists(svc + "/n" + std::to_string(d))) << d;
}

TEST_F(MotQuotaDecoder, FilesFromBeforeCountAndGoFirst) {
    // 960 KiB left by an earlier run.
    for (int i = 0; i < 15; i++) old_file(svc + "/old/o" + std::to_string(i), 4, 1000 + i);
    start(1);
    send(0x30, "fresh.jpg", std::string(200000, 'f'));
    EXPECT_TRUE(has("fresh.jpg"));
    EXPECT_LE(tree_size(svc), uint64_t{1} << 20);
    // Of the old ones only the newest are left.
    const std::set<std::string> left = files_below(svc + "/old");
    ASSERT_FALSE(left.empty());
    const int first_left = 15 - static_cast<int>(left.size());
    for (int i = first_left; i < 15; i++) EXPECT_EQ(left.count("o" + std::to_string(i)), 1u) << i;
    EXPECT_EQ(first_left, 3) << "960 KiB and 196 KiB new over 1024 KiB: the three oldest go";
}

TEST_F(MotQuotaDecoder, NoLimitAndAnOversizedShownObject) {
    start(0);
    for (int i = 0; i < 20; i++) send(0x40 + i, "u" + std::to_string(i), std::string(100000, 'u'));
    EXPECT_EQ(files_below(svc).size(), 20u) << "0 is no limit";
    mot_free(ms);
    ms = nullptr;

    fs::remove_all(svc);
    start(1);
    // A slide larger than the quota stays: it is what is shown. Said once, not per object.
    send(0x60, "big.jpg", std::string(1200000, 'b'), dabgen::mot_trigger_now());
    send(0x61, "small1", "a");
    send(0x62, "small2", "b");
    EXPECT_TRUE(has("big.jpg"));
    EXPECT_FALSE(has("small1"));
    EXPECT_TRUE(has("small2"));
    EXPECT_EQ(env.count("more than its quota", LOG_WARN), 1);
}

TEST(MotQuotaPad, TheProgrammeDirectoryCountsItsPageStays) {
    dptest::datapath_env env;
    mot_dec_class mot{&env.ens};
    testsupport::temp_dir dir;
    const std::string prog = dir.path() + "/prog/";
    old_file(prog + "index.html", 16, 100);  // the label page, older than any object
    env.ens.cfg->motquota = 1;
    xpad_state_t *xs = init_xpad_mot(&mot, 3, prog.c_str());
    ASSERT_NE(xs, nullptr);
    ASSERT_NE(xs->ms, nullptr);
    mot_state_t *ms = xs->ms;
    for (int i = 0; i < 40; i++) {
        send(ms, 0x700 + i, "p" + std::to_string(i) + ".jpg", std::string(60000, 'c'));
        ASSERT_LE(tree_size(prog), uint64_t{1} << 20) << i;
    }
    EXPECT_TRUE(testsupport::file_exists(prog + "index.html"));
    EXPECT_TRUE(testsupport::file_exists(prog + "content/p39.jpg"));
    EXPECT_FALSE(testsupport::file_exists(prog + "content/p0.jpg"));
    EXPECT_EQ(ms->quota->used(), tree_size(prog));
    xpad_free(xs);
}

TEST(MotQuotaConfig, KeyReadAndWrittenWithItsComment) {
    dptest::datapath_env env;
    testsupport::temp_dir dir;
    EXPECT_EQ(env.ens.cfg->motquota, 64);
    EXPECT_EQ(env.ens.cfg->apply_key("motquota", "5"), 1);
    EXPECT_EQ(env.ens.cfg->motquota, 5);
    env.ens.cfg->set_configfile(dir.file("dab.ini").c_str());
    ASSERT_EQ(env.ens.cfg->write_configfile(), 1);
    const std::string ini = testsupport::read_file(dir.file("dab.ini"));
    EXPECT_NE(ini.find("(0: no limit)\nmotquota 5\n"), std::string::npos) << ini;
}

// In a child with a mount namespace of its own: a tmpfs of 256 KiB as the data directory.
// Returns what went wrong, "" when all is well, or "skip: ..." when no tmpfs can be had.
std::string full_disk_child(const std::string &mnt) {
    if (unshare(CLONE_NEWNS) != 0) return std::string("skip: unshare: ") + strerror(errno);
    // Nothing mounted here may show outside.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("skip: private mounts: ") + strerror(errno);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=256k") != 0) return std::string("skip: tmpfs: ") + strerror(errno);

    std::string bad;
    auto check = [&](bool ok, const std::string &what) {
        if (!ok) bad += what + "\n";
    };
    dptest::datapath_env env;
    mot_dec_class mot{&env.ens};
    env.ens.cfg->motquota = 0;  // the disk is the limit here
    const std::string svc = mnt + "/svc";
    mot_state_t *ms = mot_init(&mot, 9, svc.c_str(), "svc/");
    if (!ms) return "no decoder";
    mot_callback_init(ms, &mot_default_callbacks);
    const std::string first(100000, '1');
    send(ms, 0x100, "keep.jpg", first);
    check(testsupport::read_file(svc + "/keep.jpg") == first, "first object not stored");
    // Each too large for what is left; the last replaces the object already there.
    for (int i = 0; i < 5; i++) send(ms, 0x200 + i, "big" + std::to_string(i) + ".jpg", std::string(200000, 'b'));
    send(ms, 0x300, "keep.jpg", std::string(200000, '2'));
    // Small as sent, too large once decompressed.
    send(ms, 0x301, "packed.txt", gzip(std::string(400000, 'z')), dabgen::mot_param_int(MOT_PARAM_COMPRESSION, 1, 1));
    check(testsupport::read_file(svc + "/keep.jpg") == first, "stored object damaged by a failed new version");
    for (int i = 0; i < 5; i++) check(!testsupport::file_exists(svc + "/big" + std::to_string(i) + ".jpg"), "partial object left");
    check(files_below(svc) == std::set<std::string>{"keep.jpg"}, "temporary files left");
    const int warnings = env.count("No space left on device", LOG_WARN);
    check(warnings == 1, "full disk warned " + std::to_string(warnings) + " times");
    check(env.count("Forget Obj", LOG_WARN) == 0, "each discarded object warned again");
    check(!testsupport::file_exists(svc + "/packed.txt"), "partial decompressed object left");
    check(ms->stat.stats[MS_MOT_FILES_FAILED] == 7, "failed objects not counted");
    // Decoding goes on: what fits is stored.
    send(ms, 0x400, "after.txt", "still decoding");
    check(testsupport::read_file(svc + "/after.txt") == "still decoding", "nothing stored after the full disk");
    mot_free(ms);
    return bad;
}

TEST(MotFullDisk, ObjectDiscardedOthersIntactWarnedOnce) {
    testsupport::temp_dir dir;
    const std::string mnt = dir.file("mnt");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        const std::string r = full_disk_child(mnt);
        if (write(fds[1], r.data(), r.size()) < 0) _exit(2);
        _exit(0);
    }
    close(fds[1]);
    std::string result;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) result.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    if (result.rfind("skip: ", 0) == 0) GTEST_SKIP() << "needs a private mount namespace (root): " << result;
    EXPECT_EQ(result, "");
    EXPECT_TRUE(fs::is_empty(mnt)) << "the tmpfs stayed in the child's namespace";
}

}  // namespace
