// Reconfiguration watcher: signal judgement, recovery, housekeeping, device removal.

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/config.h"
#include "module/cleanup.h"
#include "module/dcsr.h"
#include "support/msc_fixture.h"

namespace {

using bytes = std::vector<unsigned char>;

// Response "accepted" followed by a status notification.
bytes status_answer(int reason, int sync, int ber_fic) {
    return {0x02, 0x01, 0x04, 0x0A, 0x00, 0x06, static_cast<unsigned char>(reason), 0x00, 0x2A, 0xB5,
            static_cast<unsigned char>(sync), static_cast<unsigned char>(ber_fic << 4)};
}

bool is_status_request(const bytes &m) { return m.size() >= 2 && m[0] == 0x01 && m[1] == 0x0A; }
bool is_tune(const bytes &m) { return m.size() >= 2 && m[0] == 0x01 && m[1] == 0x02; }

TEST(watcher_rules, signal_judgement) {
    const time_t now = 100000;
    const struct {
        const char *what;
        int since_good, packet, other, ber_fic;
        bool good;
    } cases[] = {
        {"all quiet", 0, 0, 0, 0, true},
        {"poor FIC allows 25 other errors", 1, 0, 20, 3, true},
        {"poor FIC, 26 other errors", 1, 0, 26, 3, false},
        {"good FIC allows 10", 1, 0, 10, 2, true},
        {"good FIC, 11 other errors", 1, 0, 11, 2, false},
        {"20 s without sync", 20, 0, 0, 0, true},
        {"21 s without sync", 21, 0, 0, 0, false},
        {"7000 packet errors", 1, 7000, 0, 0, true},
        {"7001 packet errors", 1, 7001, 0, 0, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(signal_good(now, now - c.since_good, c.packet, c.other, c.ber_fic), c.good) << c.what;
}

TEST(watcher_rules, housekeeping_cadence) {
    const time_t now = 100000;
    EXPECT_TRUE(housekeeping_due(0, now, now));  // no ensemble yet: every poll
    EXPECT_FALSE(housekeeping_due(0x10F1, now, now - 2));
    EXPECT_TRUE(housekeeping_due(0x10F1, now, now - 3));
    EXPECT_TRUE(housekeeping_due(0x10F1, now, 0));
}

class watcher_test : public msc_fixture {
protected:
    void SetUp() override {
        msc_fixture::SetUp();
        ens->cfg->tunefreq = -1;
        ens->cfg->audiosubchid = -1;
        clean = ens->clean;
    }
    void answer_status(int reason, int sync, int ber_fic) {
        std::lock_guard<std::mutex> g(mscfake::st().m);
        mscfake::st().responder = [=](const bytes &m) {
            return is_status_request(m) || is_tune(m) ? status_answer(reason, sync, ber_fic) : bytes{};
        };
    }
    int status_requests() {
        std::lock_guard<std::mutex> g(mscfake::st().m);
        int n = 0;
        for (const auto &b : mscfake::st().sent) n += is_status_request(b);
        return n;
    }
    size_t index_of(const std::string &text) const {
        const auto lines = captured.texts();
        for (size_t i = 0; i < lines.size(); i++)
            if (lines[i] == text) return i;
        return lines.size();
    }
    cleanup *clean = nullptr;
    cleanup::poll_state ps;
};

TEST_F(watcher_test, force_reconfig_forgets_the_ensemble) {
    add_audio_programme(0xC001, 3, 33);
    add_ensemble(0x10F1);
    ASSERT_EQ(m->get_subch_info(), 1);
    m->first = 0;
    clean->last_good_signal = 0;

    clean->force_reconfig();
    EXPECT_EQ(ens->fic_stream->m_figs, nullptr);
    EXPECT_EQ(m->eid.load(), 0);
    EXPECT_EQ(m->first.load(), 1);
    EXPECT_EQ(m->subchsize(3), 0);
    EXPECT_EQ(m->service[0].sc, nullptr);
    for (int i = 0; i < 64; i++) EXPECT_EQ(ens->rbuff->get_streambuf(i)->disc_pending, 1) << i;
    EXPECT_GE(clean->last_good_signal.load(), time(nullptr) - 1);
    EXPECT_TRUE(logged("Force reconfiguration\n"));
}

TEST_F(watcher_test, announced_reconfiguration_is_followed) {
    open_module(false);
    m->eid = 0x10F1;
    ps.last_housekeeping = time(nullptr);
    clean->last_good_signal = time(nullptr);
    answer_status(5, 7, 1);
    clean->poll(ps);
    const size_t forced = index_of("Force reconfiguration\n");
    const size_t announced = index_of("auto notification received\n");
    ASSERT_LT(forced, captured.size());
    ASSERT_LT(announced, captured.size());
    EXPECT_LT(forced, announced);
    EXPECT_EQ(m->eid.load(), 0);

    // An answer without a status must not be taken for the same announcement again.
    {
        std::lock_guard<std::mutex> g(mscfake::st().m);
        mscfake::st().responder = [](const bytes &m) { return is_status_request(m) ? bytes{0x02, 0x01} : bytes{}; };
    }
    captured.clear();
    clean->poll(ps);
    EXPECT_FALSE(logged("Force reconfiguration\n"));
}

TEST_F(watcher_test, error_counts_trigger_recovery) {
    open_module(false);
    m->eid = 0x10F1;
    ps.last_housekeeping = time(nullptr);
    clean->last_good_signal = time(nullptr);

    // A poor FIC tolerates 20 other errors.
    answer_status(0, 7, 3);
    m->other_errors = 20;
    clean->poll(ps);
    EXPECT_FALSE(logged("Force reconfiguration\n"));
    EXPECT_EQ(m->other_errors.load(), 20);

    // A good one does not tolerate 11.
    answer_status(0, 7, 2);
    m->other_errors = 11;
    m->packet_errors = 3;
    clean->poll(ps);
    EXPECT_TRUE(logged("Force reconfiguration\n"));
    EXPECT_EQ(count_logged("now "), 1);
    EXPECT_EQ(m->other_errors.load(), 0);
    EXPECT_EQ(m->packet_errors.load(), 0);
    // Nothing configured to tune or route.
    EXPECT_EQ(count_logged("Re-tuning to:"), 0);
    std::lock_guard<std::mutex> g(mscfake::st().m);
    for (const auto &b : mscfake::st().sent) EXPECT_NE(b[1], 0x06);
}

TEST_F(watcher_test, lost_sync_recovers_after_21_seconds) {
    open_module(false);
    m->eid = 0x10F1;
    ps.last_housekeeping = time(nullptr);
    answer_status(0, 0, 2);
    clean->last_good_signal = time(nullptr) - 15;
    clean->poll(ps);
    EXPECT_FALSE(logged("Force reconfiguration\n"));

    clean->last_good_signal = time(nullptr) - 22;
    clean->poll(ps);
    EXPECT_TRUE(logged("Force reconfiguration\n"));
    EXPECT_GE(clean->last_good_signal.load(), time(nullptr) - 3);

    // Full synchronisation refreshes the time of the last good signal.
    answer_status(0, 7, 2);
    clean->last_good_signal = time(nullptr) - 10;
    clean->poll(ps);
    EXPECT_GE(clean->last_good_signal.load(), time(nullptr) - 1);
}

TEST_F(watcher_test, silent_module_is_asked_twice) {
    open_module(false);
    m->eid = 0x10F1;
    ps.last_housekeeping = time(nullptr);
    clean->last_good_signal = time(nullptr);
    clean->poll(ps);  // no answers at all
    EXPECT_EQ(status_requests(), 2);
    EXPECT_EQ(ps.ds.ber_fic, 7);
}

TEST_F(watcher_test, silent_module_is_no_good_signal) {
    open_module(false);
    m->eid = 0x10F1;
    ps.last_housekeeping = time(nullptr);
    answer_status(0, 7, 2);
    clean->last_good_signal = time(nullptr);
    clean->poll(ps);
    ASSERT_EQ(ps.ds.sync, 7);

    // The module falls silent: the synchronisation of its last status must not keep the data alive.
    {
        std::lock_guard<std::mutex> g(mscfake::st().m);
        mscfake::st().responder = [](const bytes &) { return bytes{}; };
    }
    const time_t before = time(nullptr) - 10;
    clean->last_good_signal = before;
    clean->poll(ps);
    EXPECT_EQ(clean->last_good_signal.load(), before);
}

TEST_F(watcher_test, housekeeping_every_3_seconds_once_identified) {
    open_module(false);
    answer_status(0, 7, 0);
    clean->last_good_signal = time(nullptr);
    mscfake::st().overruns = 42;
    // A record that has not been received for half a minute goes.
    add_ensemble(0x10F1).timestamp = static_cast<fig_time_t>(time(nullptr) - 30);

    m->eid = 0x10F1;
    ps.last_housekeeping = time(nullptr) - 1;
    clean->poll(ps);
    EXPECT_EQ(ens->st->rdicnt_ovr, 0u);

    ps.last_housekeeping = time(nullptr) - 3;
    clean->poll(ps);
    EXPECT_EQ(ens->st->rdicnt_ovr, 42u);
    EXPECT_TRUE(logged("cleanup: collected 1 elements as garbage.\n"));
    EXPECT_GE(ps.last_housekeeping, time(nullptr) - 1);

    // While no ensemble is known, every poll does it.
    m->eid = 0;
    mscfake::st().overruns = 43;
    clean->poll(ps);
    EXPECT_EQ(ens->st->rdicnt_ovr, 43u);
}

TEST_F(watcher_test, emulation_never_asks_and_never_recovers) {
    open_module(false);
    ens->cfg->emulate = 1;
    m->other_errors = 100;
    clean->last_good_signal = 0;
    mscfake::st().overruns = 5;
    clean->poll(ps);
    EXPECT_EQ(status_requests(), 0);
    EXPECT_FALSE(logged("Force reconfiguration\n"));
    EXPECT_EQ(ens->d->ds.sync, 7);
    EXPECT_EQ(ens->d->ds.ber_fic, 2);
    EXPECT_EQ(ens->st->rdicnt_ovr, 5u);
    ens->cfg->emulate = 0;
}

TEST_F(watcher_test, removed_device_stops_the_server) {
    open_module(true);
    mscfake::st().removed = 1;
    ASSERT_EQ(clean->start(), 1);
    for (int i = 0; i < 100 && !ens->get_finished(); i++) usleep(20000);
    EXPECT_EQ(ens->get_finished(), 1);
    clean->stop();
    EXPECT_TRUE(logged("cleanup: background task started\n"));
    EXPECT_TRUE(logged("cleanup: background task stopped\n"));
}

TEST_F(watcher_test, start_tunes_and_routes_the_audio_subchannel) {
    open_module(false);
    ens->cfg->tunefreq = 174928;
    ens->cfg->audiosubchid = 3;
    answer_status(0, 7, 0);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(clean->start(), 1);
    for (int i = 0; i < 150 && status_requests() < 1; i++) usleep(20000);
    ens->set_finished(1);
    clean->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_TRUE(logged("Tuning to: 174928Khz\n"));
    EXPECT_FALSE(logged("nothing tuned (174928)!\n"));
    std::vector<bytes> selects;
    {
        std::lock_guard<std::mutex> g(mscfake::st().m);
        for (const auto &b : mscfake::st().sent)
            if (b.size() >= 2 && b[1] == 0x06) selects.push_back(b);
    }
    ASSERT_FALSE(selects.empty());
    // valid flags 8, input 1, output 0, subfunction 3, pd 1, no service id, audio subchannel 3
    EXPECT_EQ(selects[0], (bytes{0x01, 0x06, 0x00, 0x0B, 8, 1, 0, 3, 1, 0, 0, 0, 0, 0, 3}));
    EXPECT_GE(status_requests(), 1);
    EXPECT_TRUE(logged("cleanup: background task stopped\n"));
}

}  // namespace
