// The virtual module driven by the server's own module code (dabapi, dcsr), in the
// USB and the PCI variant.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/eti_reader.h"
#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "module/dabapi.h"
#include "module/dcsr.h"
#include "support/eti_maker.h"
#include "support/rdi_unpack.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int KHZ_7A = 188928;
constexpr int KHZ_12C = 227360;
constexpr int KHZ_LA = 1452960;

// RDI bytes available on fd within ms milliseconds, as words.
std::vector<uint32_t> read_rdi(int fd, int ms) {
    std::string bytes;
    auto end = clock_type::now() + std::chrono::milliseconds(ms);
    char buf[65536];
    while (clock_type::now() < end) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) bytes.append(buf, static_cast<size_t>(n));
    }
    return rdiunpack::from_bytes(bytes);
}

std::vector<dabcommon::eti_frame> frames_of(const std::string &path) {
    std::vector<dabcommon::eti_frame> v;
    dabcommon::eti_reader r;
    if (!r.open(path.c_str())) return v;
    dabcommon::eti_frame f;
    while (r.next(f) == 1) v.push_back(f);
    return v;
}

// The unpacked stream must be the file's frames in order (looped), FIBs and routed
// sub-channel bytes alike. Returns the number of MSC frames checked.
size_t expect_same_as_file(const rdiunpack::result &r, const std::vector<dabcommon::eti_frame> &frames,
                           bool looped = true) {
    EXPECT_TRUE(r.faults.empty()) << r.faults.front();
    if (r.fic.empty() || frames.empty()) {
        ADD_FAILURE() << "no FIC in the stream";
        return 0;
    }
    const size_t n = frames.size();
    size_t s = 0;
    while (s < n && std::memcmp(frames[s].fib(0), r.fic[0].data.data(), 30) != 0) s++;
    if (s == n) {
        ADD_FAILURE() << "first FIB is none of the file's";
        return 0;
    }
    for (size_t j = 0; j < r.fic.size(); j++) {
        size_t k = s + j / 3;
        if (!looped && k >= n) {
            ADD_FAILURE() << "more frames than the input had";
            return 0;
        }
        const auto &f = frames[k % n];
        if (std::memcmp(f.fib(static_cast<int>(j % 3)), r.fic[j].data.data(), 30) != 0) {
            ADD_FAILURE() << "FIB " << j << " differs";
            return 0;
        }
        EXPECT_EQ(r.fic[j].crc_error, !f.fib_crc_ok(static_cast<int>(j % 3)));
    }
    for (const auto &m : r.msc) {
        const auto &f = frames[(s + (m.fic_before - 1) / 3) % n];
        int i = f.find_stream(m.subchid);
        if (i < 0) {
            ADD_FAILURE() << "sub-channel " << m.subchid << " not in its frame";
            return 0;
        }
        EXPECT_EQ(m.data, std::vector<uint8_t>(f.stream_data(i), f.stream_data(i) + f.stc[static_cast<size_t>(i)].len));
    }
    return r.msc.size();
}

class sim_module_test : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        // 7A changes its multiplex organisation halfway (sub-channel 4 appears).
        auto a = etimaker::stream(5, {{3, 0, 6}});
        auto b = etimaker::stream(5, {{3, 0, 6}, {4, 12, 6}}, true, 5);
        a.insert(a.end(), b.begin(), b.end());
        etimaker::write(dir.file("7a.eti"), a);
        etimaker::write(dir.file(std::to_string(KHZ_12C) + ".eti"), etimaker::stream(12, {{1, 0, 24}, {2, 48, 12}}));
        etimaker::write(dir.file("la.eti"), etimaker::stream(5, {{5, 0, 6}}));
        etimaker::write(dir.file("notes.txt"), {'x'});
        etimaker::write(dir.file("5b.eti"), {1, 2, 3});  // no frame in it: no ensemble

        ens = new ensemble();
        captured.attach(ens->l);
    }
    void TearDown() override {
        if (ens->cfg->fd >= 0) ens->api->close_driver();
        delete ens;
        ens = nullptr;
    }

    std::string device(const std::string &options = ",speed=5") const {
        return "sim:" + dir.path() + (GetParam() ? ",pci" : "") + options;
    }

    bool setup(const std::string &dev) {
        copy_field(ens->cfg->device, dev.c_str());
        return ens->cfg->set_config() == 1;
    }

    bool logged(const std::string &text) const { return captured.contains(text); }

    // Sends nothing new; collects the answer records of the last command.
    std::vector<pnotification> answers(pnotification &list) {
        std::vector<pnotification> v;
        ens->d->get_notification(&list);
        for (pnotification n = list; n; n = n->next) v.push_back(n);
        return v;
    }

    void drain() {
        pnotification list = nullptr;
        ens->d->get_notification(&list);
        dcsr::dispose_list(list);
    }

    testsupport::temp_dir dir;
    testsupport::log_capture captured;
    ensemble *ens = nullptr;
};

TEST_P(sim_module_test, set_up_sequence_reads_the_module_version) {
    ASSERT_TRUE(setup(device()));
    EXPECT_EQ(ens->api->get_devicetype(), GetParam() ? 0 : 1);
    EXPECT_TRUE(logged("DAB module version: 4.40")) << "the version answer was not understood";
    EXPECT_FALSE(logged("Communication error"));
    EXPECT_FALSE(logged("TIMEOUT"));
}

TEST_P(sim_module_test, tune_synchronises_only_where_an_ensemble_is) {
    ASSERT_TRUE(setup(device()));
    EXPECT_EQ(ens->d->tune(KHZ_12C), 1);
    notify_dab_status ds;
    ASSERT_EQ(ens->d->get_dab_status(ds, 1), 1);
    EXPECT_EQ(ds.sync, 7);
    EXPECT_EQ(ds.tune_freq * 16, KHZ_12C);
    EXPECT_LE(ds.ber_fic, 2);
    EXPECT_EQ(ens->d->tune(174928), 0) << "5A has no ensemble";
    EXPECT_EQ(ens->d->tune(176640), 0) << "5B's file holds no frame";
    ASSERT_EQ(ens->d->get_dab_status(ds, 1), 1);
    EXPECT_EQ(ds.sync, 0);
    EXPECT_EQ(ds.tune_freq * 16, 174928 + 1712);
}

TEST_P(sim_module_test, search_finds_the_ensembles_in_order_with_progress) {
    ASSERT_TRUE(setup(device(",speed=4")));
    const int start = 174928, stop = 239200;
    ASSERT_EQ(ens->d->start_search(start, stop, 1), 1);
    std::vector<int> found, progress;
    auto deadline = clock_type::now() + std::chrono::seconds(20);
    bool done = false;
    while (!done && clock_type::now() < deadline) {
        usleep(50000);
        ASSERT_NE(ens->d->get_dab_status(), 0);
        // Like the band scanner: the last status of an answer tells where the search is.
        pnotification list = nullptr;
        notify_dab_status *last = nullptr;
        for (pnotification n : answers(list)) {
            if (n->type == _search_for_ensemble)
                progress.push_back(static_cast<notify_search_for_ensemble *>(n)->tune_freq * 16);
            if (n->type == _dab_status) last = static_cast<notify_dab_status *>(n);
        }
        if (last && last->sync == 7) {
            int khz = last->tune_freq * 16;
            found.push_back(khz);
            int next = dcsr::get_next_freq(khz);
            if (next == 0)
                done = true;
            else
                EXPECT_EQ(ens->d->start_search(next, stop, 1), 1);
        } else if (last && last->tune_freq * 16 >= stop) {
            done = true;
        }
        dcsr::dispose_list(list);
    }
    EXPECT_TRUE(done);
    EXPECT_EQ(found, (std::vector<int>{KHZ_7A, KHZ_12C}));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), start);
    EXPECT_EQ(progress.back(), stop);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    // Every channel of Band III from 5A to 13F was visited once.
    EXPECT_EQ(progress.size(), 38u);

    // L-band holds LA only.
    ASSERT_EQ(ens->d->start_search(KHZ_LA, 1490624, 2), 1);
    usleep(300000);
    notify_dab_status ds;
    ASSERT_EQ(ens->d->get_dab_status(ds, 1), 1);
    EXPECT_EQ(ds.sync, 7);
    EXPECT_EQ(ds.tune_freq * 16, KHZ_LA);
}

TEST_P(sim_module_test, routed_subchannels_and_only_those_appear_in_the_rdi_stream) {
    ASSERT_TRUE(setup(device()));
    ASSERT_EQ(ens->d->tune(KHZ_12C), 1);
    ASSERT_NE(ens->d->select_subchannel(8, 3, 1, 2, 1, 0, 0, 2), 0);
    pnotification list = nullptr;
    bool answered = false;
    for (pnotification n : answers(list))
        if (n->type == _select_subchannel) {
            auto *s = static_cast<notify_select_subchannel *>(n);
            EXPECT_EQ(s->subchid_scid, 2);
            EXPECT_EQ(s->output_interface_reference, 1);
            EXPECT_EQ(s->subch_not_present, 0);
            answered = true;
        }
    dcsr::dispose_list(list);
    EXPECT_TRUE(answered);
    ASSERT_NE(ens->d->select_subchannel(8, 3, 1, 2, 1, 0, 0, 9), 0);
    answered = false;
    for (pnotification n : answers(list))
        if (n->type == _select_subchannel) {
            EXPECT_EQ(static_cast<notify_select_subchannel *>(n)->subch_not_present, 1) << "9 is not in 12C";
            answered = true;
        }
    dcsr::dispose_list(list);
    EXPECT_TRUE(answered);

    auto frames = frames_of(dir.file(std::to_string(KHZ_12C) + ".eti"));
    auto sizes = [](int subch) { return subch == 1 ? size_t{192} : size_t{96}; };
    auto r = rdiunpack::unpack(read_rdi(ens->cfg->fd, 600), sizes);
    EXPECT_GE(expect_same_as_file(r, frames), 10u);
    for (const auto &m : r.msc) {
        EXPECT_EQ(m.subchid, 2) << "sub-channel 1 was never routed";
        EXPECT_TRUE(m.bits22);
        EXPECT_EQ(m.len, 96);
    }

    // RDI configuration 1 is 20-bit packing; 0 stops the stream.
    ASSERT_NE(ens->d->set_rdi_config(1), 0);
    drain();
    read_rdi(ens->cfg->fd, 100);
    r = rdiunpack::unpack(read_rdi(ens->cfg->fd, 400), sizes);
    ASSERT_FALSE(r.msc.empty());
    EXPECT_FALSE(r.msc.back().bits22);
    ASSERT_NE(ens->d->set_rdi_config(0), 0);
    drain();
    read_rdi(ens->cfg->fd, 100);
    EXPECT_TRUE(read_rdi(ens->cfg->fd, 300).empty());

    // Retuning clears the routing.
    ASSERT_NE(ens->d->set_rdi_config(4), 0);
    drain();
    ASSERT_EQ(ens->d->tune(KHZ_12C), 1);
    read_rdi(ens->cfg->fd, 100);
    r = rdiunpack::unpack(read_rdi(ens->cfg->fd, 300), sizes);
    EXPECT_FALSE(r.fic.empty());
    EXPECT_TRUE(r.msc.empty());
}

TEST_P(sim_module_test, configuration_change_sends_a_status_auto_notification) {
    ASSERT_TRUE(setup(device()));  // sync notifications on, reconfiguration off
    ASSERT_EQ(ens->d->tune(KHZ_7A), 1);
    notify_dab_status ds;
    bool seen = false;
    for (int i = 0; i < 40 && !seen; i++) {
        usleep(50000);
        seen = ens->d->get_dab_status(ds, 1) == 1 && ds.notify_reason == 4;
    }
    EXPECT_TRUE(seen) << "7A changes its organisation every 5 frames";
    ASSERT_NE(ens->d->set_dab_status_auto_notifications(1, 1, 7, 0), 0);
    drain();
    seen = false;
    for (int i = 0; i < 40 && !seen; i++) {
        usleep(50000);
        seen = ens->d->get_dab_status(ds, 1) == 1 && ds.notify_reason == 5;
    }
    EXPECT_TRUE(seen) << "with reconfiguration notifications on, the reason is 5";
    // The count is a 4-bit field and wraps: it must move from one change to the next.
    const int first = ds.reconf;
    seen = false;
    for (int i = 0; i < 40 && !seen; i++) {
        usleep(50000);
        seen = ens->d->get_dab_status(ds, 1) == 1 && ds.notify_reason == 5 && ds.reconf != first;
    }
    EXPECT_TRUE(seen) << "the reconfiguration count moves on";

    // 12C never changes: no such notification there.
    ASSERT_EQ(ens->d->tune(KHZ_12C), 1);
    for (int i = 0; i < 10; i++) {
        usleep(50000);
        ASSERT_EQ(ens->d->get_dab_status(ds, 1), 1);
        EXPECT_EQ(ds.notify_reason, 0);
    }
}

TEST_P(sim_module_test, removal_is_detected) {
    ASSERT_TRUE(setup(device()));
    int removed = -1;
    EXPECT_EQ(ioctrl(ens->cfg->fd, static_cast<int>(DRV_GET_REMOVED), &removed, 4, &removed, 4, nullptr), 0);
    EXPECT_EQ(removed, 0);
    EXPECT_EQ(ens->api->get_removed(), 0);
    etimaker::write(dir.file("unplugged"), {});
    usleep(400000);
    EXPECT_EQ(ioctrl(ens->cfg->fd, static_cast<int>(DRV_GET_REMOVED), &removed, 4, &removed, 4, nullptr), -1);
    if (!GetParam()) {
        EXPECT_EQ(ens->api->get_removed(), 1);
        EXPECT_TRUE(logged("removed USB device"));
    }
}

TEST_P(sim_module_test, unknown_commands_are_rejected_and_memory_blocks_kept) {
    ASSERT_TRUE(setup(device()));
    dab_module_msg_t msg{};
    const unsigned char cmd[] = {0x10, 0x7F, 0x00, 0x00};
    std::memcpy(msg.buf, cmd, sizeof cmd);
    msg.size = sizeof cmd;
    ASSERT_NE(ens->api->write_module_buf(&msg), 0);
    pnotification list = nullptr;
    auto v = answers(list);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->type, _response);
    EXPECT_EQ(static_cast<notify_response *>(v[0])->code, 2);
    dcsr::dispose_list(list);

    // A tune whose length field promises more than was sent is rejected too.
    const unsigned char short_tune[] = {0x01, 0x02, 0x00, 0x04, 0x03};
    std::memcpy(msg.buf, short_tune, sizeof short_tune);
    msg.size = sizeof short_tune;
    ASSERT_NE(ens->api->write_module_buf(&msg), 0);
    v = answers(list);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(static_cast<notify_response *>(v[0])->code, 2);
    dcsr::dispose_list(list);

    unsigned char block[16];
    for (int i = 0; i < 16; i++) block[i] = static_cast<unsigned char>(0xA0 + i);
    ASSERT_NE(ens->d->write_memblock(0x1000, block), 0);
    drain();
    ASSERT_NE(ens->d->read_memblock(0x1000), 0);
    bool got = false;
    for (pnotification n : answers(list))
        if (n->type == _mem_block) {
            auto *m = static_cast<notify_mem_block *>(n);
            EXPECT_EQ(m->start_address, 0x1000u);
            EXPECT_EQ(std::memcmp(m->data, block, 16), 0);
            got = true;
        }
    dcsr::dispose_list(list);
    EXPECT_TRUE(got);
    // The same bytes through the bulk window.
    unsigned char back[16] = {};
    ASSERT_EQ(ens->api->read_mem(back, 0x1000, 16), 1);
    EXPECT_EQ(std::memcmp(back, block, 16), 0);
}

TEST_P(sim_module_test, host_that_does_not_read_loses_whole_frames_only) {
    ASSERT_TRUE(setup(device(",speed=100")));
    ASSERT_EQ(ens->d->tune(KHZ_12C), 1);
    ASSERT_NE(ens->d->select_subchannel(8, 3, 1, 2, 1, 0, 0, 1), 0);
    drain();
    auto deadline = clock_type::now() + std::chrono::seconds(20);
    while (ens->api->get_overruns() == 0 && clock_type::now() < deadline) usleep(100000);
    EXPECT_GT(ens->api->get_overruns(), 0);
    auto r = rdiunpack::unpack(read_rdi(ens->cfg->fd, 500), [](int) { return size_t{192}; });
    EXPECT_TRUE(r.faults.empty()) << r.faults.front();
    EXPECT_GT(r.msc.size(), 10u);
}

TEST_P(sim_module_test, demo_ensemble_comes_back_exactly_from_the_rdi_stream) {
    const std::string demo = testsupport::source_dir() + "/demo/signal";
    if (!testsupport::file_exists(demo + "/12c.eti")) GTEST_SKIP() << "demo ensembles not generated yet";
    auto frames = frames_of(demo + "/12c.eti");
    ASSERT_FALSE(frames.empty());
    ASSERT_TRUE(setup("sim:" + demo + (GetParam() ? ",pci" : "") + ",speed=4"));
    ASSERT_EQ(ens->d->tune(KHZ_12C), 1);
    const auto &first = frames.front();
    for (int i = 0; i < first.nst; i++) {
        ASSERT_NE(ens->d->select_subchannel(8, 3, 1, 2, 1, 0, 0, first.stc[static_cast<size_t>(i)].scid), 0);
        drain();
    }
    auto sizes = [&first](int subch) {
        int i = first.find_stream(subch);
        return i < 0 ? size_t{0} : first.stc[static_cast<size_t>(i)].len;
    };
    auto r = rdiunpack::unpack(read_rdi(ens->cfg->fd, 800), sizes);
    EXPECT_GE(expect_same_as_file(r, frames), static_cast<size_t>(10 * first.nst));
}

INSTANTIATE_TEST_SUITE_P(variants, sim_module_test, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "pci" : "usb"; });

class sim_live_test : public sim_module_test {};

TEST_P(sim_live_test, eti_through_a_fifo_is_received_on_any_frequency_until_it_ends) {
    std::string fifo = dir.file("live.eti");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(setup("sim:eti=" + fifo + (GetParam() ? ",pci" : "") + ",speed=5"));
    ASSERT_EQ(ens->d->tune(KHZ_LA), 1) << "live input is received whatever is tuned";
    ASSERT_NE(ens->d->select_subchannel(8, 3, 1, 2, 1, 0, 0, 1), 0);
    drain();

    auto bytes = etimaker::stream(40, {{1, 0, 6}, {2, 6, 6}});
    std::thread writer([&] {
        int w = open(fifo.c_str(), O_WRONLY);
        if (w < 0) return;
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(w, bytes.data() + done, std::min<size_t>(5000, bytes.size() - done));
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(w);
    });
    auto words = read_rdi(ens->cfg->fd, 1500);
    writer.join();
    etimaker::write(dir.file("copy.eti"), bytes);
    auto r = rdiunpack::unpack(words, [](int) { return size_t{48}; });
    EXPECT_EQ(r.fic.size(), 120u) << "every frame once, none repeated";
    EXPECT_GT(expect_same_as_file(r, frames_of(dir.file("copy.eti")), false), 20u);
    for (const auto &m : r.msc) EXPECT_EQ(m.subchid, 1);

    // End of input is loss of signal, announced by a sync notification.
    notify_dab_status ds;
    bool lost = false;
    for (int i = 0; i < 20 && !lost; i++) {
        lost = ens->d->get_dab_status(ds, 1) == 1 && ds.sync == 0;
        usleep(50000);
    }
    EXPECT_TRUE(lost);
    EXPECT_EQ(ds.notify_reason, 4);
    EXPECT_EQ(ens->d->tune(KHZ_12C), 0);
}

INSTANTIATE_TEST_SUITE_P(variants, sim_live_test, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "pci" : "usb"; });

TEST(sim_device, names_and_several_modules_at_once) {
    testsupport::temp_dir dir;
    etimaker::write(dir.file("12c.eti"), etimaker::stream(2, {{1, 0, 6}}));
    EXPECT_LT(device_open("sim:", O_RDWR), 0);
    EXPECT_LT(device_open(("sim:" + dir.path() + ",bogus").c_str(), O_RDWR), 0);
    EXPECT_LT(device_open(("sim:" + dir.path() + ",speed=0").c_str(), O_RDWR), 0);
    EXPECT_LT(device_open("sim:/nonexistent/dir", O_RDWR), 0);
    EXPECT_LT(device_open("sim:eti=/nonexistent/file", O_RDWR), 0);
    int a = device_open(("sim:" + dir.path()).c_str(), O_RDWR);
    int b = device_open(("sim:" + dir.path() + ",pci,speed=2.5").c_str(), O_RDWR);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    int va = 0, vb = 0;
    EXPECT_EQ(ioctrl(a, static_cast<int>(DRV_GET_VERSION), &va, 4, &va, 4, nullptr), 0);
    EXPECT_EQ(ioctrl(b, static_cast<int>(DRV_GET_VERSION), &vb, 4, &vb, 4, nullptr), 0);
    EXPECT_GE(va, 4096);
    EXPECT_LT(vb, 4096);
    // Message requests belong to the PCI driver.
    int pending = 0;
    EXPECT_EQ(ioctrl(a, static_cast<int>(DRV_NEW_MSG), &pending, 4, &pending, 4, nullptr), -1);
    EXPECT_EQ(ioctrl(b, static_cast<int>(DRV_NEW_MSG), &pending, 4, &pending, 4, nullptr), 0);
    // Broken bulk records are refused, not followed.
    bulk_transfer_t bt{};
    bt.pipe = 1;
    bt.size = 64;
    bt.data[0] = BULK_WRITE_MEM;
    bt.data[1] = 0xF0;
    bt.data[2] = 0xFF;
    bt.data[3] = 60;  // past the end of the address space
    EXPECT_EQ(ioctrl(a, static_cast<int>(DRV_BULK), &bt, 72, &bt, 72, nullptr), -1);
    bt.size = 100;
    EXPECT_EQ(ioctrl(a, static_cast<int>(DRV_BULK), &bt, 72, &bt, 72, nullptr), -1);
    bt = bulk_transfer_t{};
    bt.size = 8;  // receive without a read command before
    EXPECT_EQ(ioctrl(a, static_cast<int>(DRV_BULK), &bt, 72, &bt, 72, nullptr), -1);
    EXPECT_EQ(ioctrl(a, static_cast<int>(DRV_GET_VERSION), nullptr, 4, nullptr, 4, nullptr), -1);
    EXPECT_EQ(device_close(a), 0);
    EXPECT_EQ(ioctrl(b, static_cast<int>(DRV_GET_VERSION), &vb, 4, &vb, 4, nullptr), 0);
    EXPECT_EQ(device_close(b), 0);
    EXPECT_EQ(ioctrl(b, static_cast<int>(DRV_GET_VERSION), &vb, 4, &vb, 4, nullptr), -1);
}

}  // namespace
