// Logger: thresholds, sinks, concurrent writers and ring overrun.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "support/test_support.h"

using testsupport::read_file;
using testsupport::stdout_to_file;
using testsupport::temp_dir;

namespace {

std::vector<std::string> lines_of(const std::string &s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

struct log_fixture : ::testing::Test {
    temp_dir dir;
    ensemble ens;
    void SetUp() override {
        copy_field(ens.cfg->logfilename, dir.file("test.log").c_str());
        ens.cfg->logscrnlevel = LOG_NONE;
    }
};

}  // namespace

TEST_F(log_fixture, ThresholdsRouteMessagesToTheRightSinks) {
    ens.cfg->logfilelevel = LOG_WARN;
    ens.cfg->logscrnlevel = LOG_INFO;
    std::string screen;
    {
        stdout_to_file cap(dir.file("screen"));
        ASSERT_EQ(ens.l->start(), 1);
        EXPECT_EQ(ens.l->log(LOG_DEBUG, "dropped %d\n", 1), 0);
        ens.l->log(LOG_INFO, "screen only\n");
        ens.l->log(LOG_WARN, "both sinks\n");
        ens.l->stop();
        screen = cap.text();
    }
    std::string file = read_file(dir.file("test.log"));
    EXPECT_EQ(screen.find("dropped"), std::string::npos);
    EXPECT_NE(screen.find("<I> screen only\n"), std::string::npos);
    EXPECT_NE(screen.find("<W> both sinks\n"), std::string::npos);
    EXPECT_EQ(file.find("screen only"), std::string::npos);
    auto l = lines_of(file);
    ASSERT_EQ(l.size(), 1u) << file;
    // "08-Dec-2026 19:51:00 <warn> both sinks"
    EXPECT_EQ(l[0].substr(2, 1), "-");
    EXPECT_EQ(l[0].substr(6, 1), "-");
    EXPECT_NE(l[0].find(" <warn> both sinks"), std::string::npos) << l[0];
}

TEST_F(log_fixture, LevelNoneForFileCreatesNothingAndScreenStillWorks) {
    ens.cfg->logfilelevel = LOG_NONE;
    ens.cfg->logscrnlevel = LOG_WARN;
    stdout_to_file cap(dir.file("screen"));
    EXPECT_EQ(ens.l->start(), 0);
    ens.l->log(LOG_ERR, "still shown\n");
    EXPECT_EQ(ens.l->stop(), 0);
    EXPECT_NE(cap.text().find("<E> still shown"), std::string::npos);
    EXPECT_FALSE(testsupport::file_exists(dir.file("test.log")));
}

TEST_F(log_fixture, AfterStopEverythingIsDiscarded) {
    ens.cfg->logfilelevel = LOG_DEBUG;
    ens.l->start();
    ens.l->stop();
    stdout_to_file cap(dir.file("screen"));
    ens.cfg->logscrnlevel = LOG_DEBUG;
    EXPECT_EQ(ens.l->log(LOG_ERR, "late\n"), 0);
    EXPECT_EQ(cap.text(), "");
}

TEST_F(log_fixture, LongMessagesAreCutNotOverrun) {
    ens.cfg->logfilelevel = LOG_DEBUG;
    std::string big(1000, 'x');
    EXPECT_EQ(ens.l->log(LOG_INFO, "%s\n", big.c_str()), 1001);
    ens.l->start();
    ens.l->stop();
    auto l = lines_of(read_file(dir.file("test.log")));
    ASSERT_GE(l.size(), 1u);
    size_t xs = 0;
    for (const auto &line : l) xs += static_cast<size_t>(std::count(line.begin(), line.end(), 'x'));
    EXPECT_EQ(xs, 255u);
}

TEST_F(log_fixture, ConcurrentWritersLoseAndTearNothing) {
    ens.cfg->logfilelevel = LOG_INFO;
    ens.l->start();
    constexpr int threads = 8, per_thread = 1000;
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; t++)
        ts.emplace_back([&, t] {
            for (int i = 0; i < per_thread; i++)
                ens.l->log(LOG_WARN, "writer %d message %d %s\n", t, i, "abcdefghijklmnopqrstuvwxyz");
        });
    for (auto &t : ts) t.join();
    ens.l->stop();

    std::map<int, std::set<int>> seen;
    int bad = 0;
    for (const auto &line : lines_of(read_file(dir.file("test.log")))) {
        if (line.find("logd: started daemon") != std::string::npos) continue;
        int t = -1, i = -1;
        char tail[64] = "";
        size_t at = line.find("<warn> ");
        if (at == std::string::npos ||
            sscanf(line.c_str() + at, "<warn> writer %d message %d %63s", &t, &i, tail) != 3 ||
            std::string(tail) != "abcdefghijklmnopqrstuvwxyz") {
            bad++;
            continue;
        }
        seen[t].insert(i);
    }
    EXPECT_EQ(bad, 0);
    ASSERT_EQ(seen.size(), static_cast<size_t>(threads));
    for (auto &kv : seen) EXPECT_EQ(kv.second.size(), static_cast<size_t>(per_thread)) << "writer " << kv.first;
}

TEST_F(log_fixture, OverrunRingSkipsToTheNewestEntries) {
    ens.cfg->logfilelevel = LOG_WARN;
    // Queue more than the ring holds before the file thread exists.
    for (int i = 0; i < log_ring_entries + 100; i++) ens.l->log(LOG_WARN, "backlog %d\n", i);
    ens.l->start();
    usleep(50000);
    ens.l->log(LOG_WARN, "fresh\n");
    ens.l->stop();
    std::string file = read_file(dir.file("test.log"));
    EXPECT_EQ(file.find("backlog"), std::string::npos);
    EXPECT_NE(file.find("fresh"), std::string::npos);
}

TEST_F(log_fixture, EntryCountersRunningOverTheirRangeLoseNothing) {
    // A long-lived server at a verbose level counts past 2^31 entries.
    ens.cfg->logfilelevel = LOG_WARN;
    ens.l->logb.writeptr = 0x7FFFFFFDu;
    ens.l->readptr = 0x7FFFFFFDu;
    for (int i = 0; i < 6; i++) ens.l->log(LOG_WARN, "entry %d\n", i);
    ens.l->start();
    ens.l->stop();
    const std::string file = read_file(dir.file("test.log"));
    for (int i = 0; i < 6; i++) EXPECT_NE(file.find("entry " + std::to_string(i) + "\n"), std::string::npos) << i;
}

TEST_F(log_fixture, EntriesQueuedBeforeStartAreWritten) {
    ens.cfg->logfilelevel = LOG_WARN;
    ens.l->log(LOG_ERR, "early\n");
    ens.l->start();
    ens.l->stop();
    EXPECT_NE(read_file(dir.file("test.log")).find("<error> early"), std::string::npos);
}

TEST_F(log_fixture, HookCanConsumeMessages) {
    ens.cfg->logfilelevel = LOG_DEBUG;
    static std::string taken;
    ens.l->logger_callback = [](void *, loglevel_t, int, int, const char *fmt, va_list ap) {
        char buf[256];
        vsnprintf(buf, sizeof buf, fmt, ap);
        taken = buf;
        return 1;
    };
    EXPECT_EQ(ens.l->log(LOG_ERR, "hooked %d\n", 7), 0);
    EXPECT_EQ(taken, "hooked 7\n");
    ens.l->logger_callback = nullptr;
}

TEST_F(log_fixture, FileLevelSetToNoneWhileRunningStillStopsAndWritesTheBacklog) {
    ens.cfg->logfilelevel = LOG_WARN;
    ASSERT_EQ(ens.l->start(), 1);
    ens.l->log(LOG_ERR, "before the change\n");
    ens.cfg->logfilelevel = LOG_NONE;  // as the setup page does
    EXPECT_EQ(ens.l->stop(), 1);
    EXPECT_EQ(ens.l->fd, nullptr) << "log file left open after stop";
    EXPECT_EQ(ens.l->started, 2) << "logger thread still running after stop";
    EXPECT_NE(read_file(dir.file("test.log")).find("<error> before the change"), std::string::npos);
}

TEST_F(log_fixture, UnopenableLogFileStillRunsAndStops) {
    ens.cfg->logfilelevel = LOG_WARN;
    copy_field(ens.cfg->logfilename, "/nonexistent-dir/x.log");
    EXPECT_EQ(ens.l->start(), 1);
    ens.l->log(LOG_ERR, "nowhere\n");
    EXPECT_EQ(ens.l->stop(), 1);
}
