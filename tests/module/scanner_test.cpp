// The band scanner's bookkeeping: bands it refuses, modules that stall, the end of Band III
// and the limit of the ensemble list, against a scripted module and the virtual one.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "module/dabapi.h"
#include "module/dcsr.h"
#include "module/scanner.h"
#include "support/test_support.h"
#include "fake_driver.h"
#include "module_fixture.h"

namespace {

using fakedrv::bytes;
using fakedrv::st;
using testsupport::temp_dir;

constexpr int KHZ_5A = 174928;
constexpr int KHZ_13E = 237488;

// ---- scripted module ----

using scanner_bookkeeping = module_fixture;

TEST_F(scanner_bookkeeping, unknown_band_leaves_the_module_alone) {
    open(true);
    ens->cfg->ensemblecnt = 5;
    scanner sc(ens);
    for (int band : {0, 3, -1, 1000}) {
        sc.m_percent = 42;
        copy_field(sc.m_found, "old");
        EXPECT_EQ(sc.scan_band(band, 0), 0) << band;
        EXPECT_TRUE(fakedrv::st().log.empty()) << "band " << band << " sent driver requests";
        EXPECT_EQ(sc.m_percent.load(), 0) << band;
        EXPECT_STREQ(sc.m_found, "") << band;
    }
    EXPECT_EQ(ens->cfg->ensemblecnt, 5);
}

// Before, a module that accepted the search and then never moved on kept the scan, and with
// it the module lock, forever.
TEST_F(scanner_bookkeeping, stalled_module_ends_the_band_scan) {
    const bytes accepted = {0x02, 0x01};
    const bytes status_5a_unsynced = {0x04, 0x0A, 0x00, 0x06, 0x00, 0x00, 0x2A, 0xB5, 0x00, 0x70};
    const struct {
        const char *what;
        std::function<bytes(const bytes &)> module;
        bool silent;
    } cases[] = {
        {"no answer to status requests",
         [&](const bytes &m) { return m.size() >= 2 && m[1] == 0x07 ? accepted : bytes{}; }, true},
        {"status stuck on 5A", [&](const bytes &m) {
             if (m.size() >= 2 && m[1] == 0x07) return accepted;
             if (m.size() >= 2 && m[1] == 0x0A) return status_5a_unsynced;
             return bytes{};
         }, false},
    };
    for (const auto &c : cases) {
        TearDown();
        SetUp();
        open(true);
        st().responder = c.module;
        scanner sc(ens);
        sc.stall_polls = 3;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(sc.scan_band(1, 0), 0) << c.what;
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 10) << c.what;
        EXPECT_EQ(ens->cfg->ensemblecnt, 0) << c.what;
        if (c.silent) {
            EXPECT_TRUE(logged("shit...\n")) << c.what;
        }
        EXPECT_TRUE(logged("finished scanning band 1: found 0 ensembles\n")) << c.what;
    }
}

// ---- the virtual module with the demo ensembles ----

class scanner_sim : public ::testing::Test {
protected:
    void SetUp() override {
        demo = testsupport::source_dir() + "/demo/signal";
        if (!testsupport::file_exists(demo + "/12c.eti") || !testsupport::file_exists(demo + "/la.eti"))
            GTEST_SKIP() << "demo signal not generated (make demo-signal)";
        ens = new ensemble();
        copy_field(ens->cfg->configfile, run_dir.file("dab.ini").c_str());
        copy_field(ens->cfg->logfilename, run_dir.file("dab.log").c_str());
    }
    void TearDown() override {
        if (!ens) return;
        if (started) ens->stop_threads();
        if (ens->cfg->fd >= 0) ens->api->close_driver();
        delete ens;
        ens = nullptr;
    }

    // Ensembles of the demo signal placed on the named channels.
    void place(const std::string &channel, const std::string &demo_file) {
        ASSERT_EQ(symlink((demo + "/" + demo_file).c_str(), signal_dir.file(channel + ".eti").c_str()), 0);
    }
    void start() {
        copy_field(ens->cfg->device, ("sim:" + signal_dir.path() + ",speed=20").c_str());
        ens->cfg->tunefreq = -1;
        ASSERT_EQ(ens->cfg->set_config(), 1);
        ens->start_threads(THREADS_RDI, 0, nullptr);
        started = true;
    }
    int scan(scanner &sc, int band) {
        module_lock guard(ens->api);
        return sc.scan_band(band, 0);
    }

    std::string demo;
    temp_dir signal_dir, run_dir;
    ensemble *ens = nullptr;
    bool started = false;
};

std::string trimmed(const char *s) {
    std::string t(s);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}

// 13E has no successor in the search table: the band ends there, the ensemble on 13F is never found.
TEST_F(scanner_sim, find_on_13e_ends_band_three) {
    place("13e", "12c.eti");
    place("13f", "la.eti");
    start();
    scanner sc(ens);
    EXPECT_EQ(scan(sc, 1), 1);
    ASSERT_EQ(ens->cfg->ensemblecnt, 1);
    const ensemble_entry_t &en = ens->cfg->ens[0];
    EXPECT_EQ(en.freq, KHZ_13E);
    EXPECT_EQ(trimmed(en.label), "DAB DEMO ONE");
    EXPECT_EQ(trimmed(en.shortlabel), "DEMO ONE");
    EXPECT_EQ(en.eid, 0xC1D1);
    EXPECT_EQ(trimmed(sc.m_found), "DAB DEMO ONE");
}

// The list holds 64 entries; a scan that meets more ensembles stops recording, and writes
// nothing past the list.
TEST_F(scanner_sim, ensemble_list_limit) {
    place("5a", "la.eti");
    place("12c", "12c.eti");
    start();
    ens->cfg->ensemblecnt = MAX_ENSEMBLES - 1;
    scanner sc(ens);
    EXPECT_EQ(scan(sc, 1), 1);
    EXPECT_EQ(ens->cfg->ensemblecnt, MAX_ENSEMBLES);
    EXPECT_EQ(ens->cfg->ens[MAX_ENSEMBLES - 1].freq, KHZ_5A);
    EXPECT_EQ(trimmed(ens->cfg->ens[MAX_ENSEMBLES - 1].label), "DAB DEMO TWO");

    // A full list records nothing at all.
    EXPECT_EQ(scan(sc, 1), 0);
    EXPECT_EQ(ens->cfg->ensemblecnt, MAX_ENSEMBLES);
}

// Before, a page view during the scan re-read the older ensemble file into the list, and the
// scanner then recorded behind the file's entries (and could count past the list's end).
TEST_F(scanner_sim, page_views_during_a_scan_lose_nothing) {
    place("5a", "la.eti");
    place("12c", "12c.eti");
    copy_field(ens->cfg->ensemblefile, run_dir.file("ensemble.ini").c_str());
    std::string old;
    for (int i = 0; i < 40; i++) old += "1452960\tOLD " + std::to_string(i) + "\n";
    testsupport::write_file(ens->cfg->ensemblefile, old);
    start();
    std::atomic<bool> scanning{true};
    std::atomic<int> views{0}, old_seen{0};
    scanner sc(ens);
    module_lock guard(ens->api);
    ens->cfg->begin_scan();
    // Views start only once the scan holds the list, as a page request would meet it.
    std::thread pages([&] {
        ensemble_entry_t list[MAX_ENSEMBLES];
        while (scanning) {
            ens->cfg->read_ensemblefile();
            const int n = ens->cfg->copy_ensembles(list, MAX_ENSEMBLES);
            for (int i = 0; i < n; i++)
                if (strncmp(list[i].label, "OLD", 3) == 0) old_seen++;
            views++;
            usleep(20000);
        }
    });
    EXPECT_EQ(sc.scan_band(1, 0), 2);
    ens->cfg->end_scan();
    scanning = false;
    pages.join();

    EXPECT_GT(views.load(), 10);
    EXPECT_EQ(old_seen.load(), 0);
    ASSERT_EQ(ens->cfg->ensemble_count(), 2);
    EXPECT_EQ(ens->cfg->ens[0].freq, KHZ_5A);
    EXPECT_EQ(trimmed(ens->cfg->ens[1].label), "DAB DEMO ONE");
    ASSERT_EQ(ens->cfg->read_ensemblefile(), 1);
    EXPECT_EQ(ens->cfg->ensemble_count(), 2);
}

}  // namespace
