#include <gtest/gtest.h>

#include <chrono>

#include "module_fixture.h"

namespace {

using fakedrv::bytes;
using fakedrv::requests;
using fakedrv::st;

// The bulk records sent, as (command, address, count) triples, and receives as (0, 0, size).
struct bulk_step {
    int cmd, addr, count;
    bool operator==(const bulk_step &o) const { return cmd == o.cmd && addr == o.addr && count == o.count; }
};
std::ostream &operator<<(std::ostream &os, const bulk_step &s) {
    return os << "{" << std::hex << s.cmd << "," << s.addr << "," << std::dec << s.count << "}";
}

std::vector<bulk_step> bulk_steps() {
    std::vector<bulk_step> out;
    for (const auto &r : requests(DRV_BULK)) {
        const auto &b = r.bulk;
        if (b.pipe == 0)
            out.push_back({0, 0, b.size});
        else
            out.push_back({b.data[0], b.data[1] | b.data[2] << 8, b.data[3]});
    }
    return out;
}

using transport_test = module_fixture;

TEST_F(transport_test, driver_version_selects_the_variant) {
    const struct {
        int version;
        bool fails;
        int usb;
    } cases[] = {{4095, false, 0}, {4096, false, 1}, {70000, false, 1}, {5000, true, 0}};
    for (const auto &c : cases) {
        fakedrv::reset();
        st().version = c.version;
        st().version_fails = c.fails;
        ASSERT_EQ(ens->api->open_driver(), 1);
        EXPECT_EQ(ens->api->usb, c.usb) << "version " << c.version;
        EXPECT_EQ(ens->api->get_devicetype(), c.usb);
        // Both variants free the module-to-host area on opening.
        EXPECT_EQ(bulk_steps(), (std::vector<bulk_step>{{BULK_WRITE_MEM, MBOX_M2H_START, 2}}));
        EXPECT_EQ(ens->api->close_driver(), 0);
        EXPECT_EQ(ens->cfg->fd, -1);
    }
}

TEST_F(transport_test, open_failure_is_logged) {
    copy_field(ens->cfg->device, "/nonexistent/ombrel0");
    EXPECT_EQ(ens->api->open_driver(), 0);
    EXPECT_TRUE(logged("open_driver: can't open /nonexistent/ombrel0\n"));
}

TEST_F(transport_test, memory_reads_and_writes_go_in_chunks) {
    open(true);
    for (int k = 0; k < 70; k++) st().mem[static_cast<size_t>(DPRAM_BASE + k)] = static_cast<unsigned char>(k * 3);
    UCHAR data[70] = {};
    ASSERT_EQ(ens->api->read_mem(data, DPRAM_BASE, 70), 1);
    for (int k = 0; k < 70; k++) ASSERT_EQ(data[k], static_cast<UCHAR>(k * 3)) << k;
    EXPECT_EQ(bulk_steps(), (std::vector<bulk_step>{{BULK_READ_MEM, 0x8400, 64},
                                                    {BULK_READ_MEM, 0x8400, 64},
                                                    {0, 0, 64},
                                                    {BULK_READ_MEM, 0x8440, 6},
                                                    {BULK_READ_MEM, 0x8440, 6},
                                                    {0, 0, 6}}));

    st().log.clear();
    UCHAR out[100];
    for (int k = 0; k < 100; k++) out[k] = static_cast<UCHAR>(200 - k);
    ASSERT_EQ(ens->api->write_mem(out, 0x8000, 100), 1);
    EXPECT_EQ(bulk_steps(), (std::vector<bulk_step>{{BULK_WRITE_MEM, 0x8000, 60}, {BULK_WRITE_MEM, 0x803C, 40}}));
    EXPECT_EQ(requests(DRV_BULK)[1].bulk.size, 44);
    for (int k = 0; k < 100; k++) ASSERT_EQ(st().mem[static_cast<size_t>(0x8000 + k)], out[k]) << k;

    st().log.clear();
    EXPECT_EQ(ens->api->read_mem(data, 0x8000, 0), 1);
    EXPECT_EQ(ens->api->write_mem(out, 0x8000, 0), 1);
    EXPECT_TRUE(st().log.empty());
}

TEST_F(transport_test, failed_transfers_are_reported) {
    open(true);
    UCHAR data[8] = {};
    const struct {
        int fail_at;
        bool write;
        const char *line;
    } cases[] = {{0, false, "read_mem: bulk_write failed\n"},
                 {1, false, "read_mem: bulk_write failed\n"},
                 {2, false, "read_mem: bulk_read failed\n"},
                 {0, true, "write_mem: bulk_write failed\n"}};
    for (const auto &c : cases) {
        captured.clear();
        st().bulk_count = 0;
        st().fail_bulk_at = c.fail_at;
        int r = c.write ? ens->api->write_mem(data, 0x8400, 8) : ens->api->read_mem(data, 0x8400, 8);
        EXPECT_EQ(r, 0) << c.fail_at;
        EXPECT_TRUE(logged(c.line)) << c.line;
    }
}

TEST_F(transport_test, usb_message_is_cut_to_the_mailbox) {
    open(true);
    st().mem[MBOX_H2M_START] = 9;  // cleared by the reset before a non-empty message
    dab_module_msg_t msg{};
    for (int k = 0; k < 40; k++) msg.buf[k] = static_cast<unsigned char>(k + 1);
    msg.size = 40;
    EXPECT_EQ(ens->api->write_module_buf(&msg), 32);
    EXPECT_EQ(msg.size, 32);
    EXPECT_EQ(st().mem[MBOX_H2M_END], 0);
    EXPECT_EQ(st().mem[MBOX_READY], 0x0F);
    ASSERT_EQ(st().sent.size(), 1u);
    EXPECT_EQ(st().sent[0], bytes(msg.buf, msg.buf + 32));
    // Nothing beyond the 32-byte area was touched.
    EXPECT_EQ(st().mem[MBOX_H2M_AREA + 32], 0);
}

TEST_F(transport_test, usb_message_wraps_around_the_area) {
    open(true);
    st().h2m_start_after_reset = 28;
    dab_module_msg_t msg{};
    for (int k = 0; k < 10; k++) msg.buf[k] = static_cast<unsigned char>(0xA0 + k);
    msg.size = 10;
    EXPECT_EQ(ens->api->write_module_buf(&msg), 10);
    EXPECT_EQ(st().mem[MBOX_H2M_END], 6);
    for (int k = 0; k < 4; k++) EXPECT_EQ(st().mem[static_cast<size_t>(MBOX_H2M_AREA + 28 + k)], 0xA0 + k);
    for (int k = 0; k < 6; k++) EXPECT_EQ(st().mem[static_cast<size_t>(MBOX_H2M_AREA + k)], 0xA4 + k);

    // A start index beyond the area stays inside it.
    st().h2m_start_after_reset = 200;
    EXPECT_EQ(ens->api->write_module_buf(&msg), 10);
    EXPECT_EQ(st().mem[MBOX_H2M_END], (200 % 32 + 10) % 32);
    EXPECT_EQ(st().mem[MBOX_H2M_AREA + 32], 0);
}

TEST_F(transport_test, usb_empty_message_only_signals) {
    open(true);
    st().mem[MBOX_H2M_START] = 5;
    st().mem[MBOX_H2M_END] = 5;
    dab_module_msg_t msg{};
    EXPECT_EQ(ens->api->write_module_buf(&msg), 0);
    EXPECT_EQ(st().mem[MBOX_H2M_START], 5);  // no reset for the empty message
    EXPECT_EQ(st().mem[MBOX_H2M_END], 5);
    EXPECT_EQ(st().mem[MBOX_READY], 0x0F);
}

TEST_F(transport_test, usb_answer_is_read_and_the_area_freed) {
    open(true);
    const bytes answer = {0x02, 0x01, 0x04, 0x09, 0x00, 0x01, 0x07};
    std::copy(answer.begin(), answer.end(), st().mem.begin() + MBOX_M2H_AREA);
    st().mem[MBOX_M2H_END] = static_cast<unsigned char>(answer.size());
    st().mem[MBOX_STATUS] = 0x55;
    dab_module_msg_t msg{};
    EXPECT_EQ(ens->api->read_module_buf(&msg), 7);
    EXPECT_EQ(bytes(msg.buf, msg.buf + msg.size), answer);
    EXPECT_EQ(st().mem[MBOX_STATUS], 0);
    EXPECT_EQ(st().mem[MBOX_M2H_START], 0);
    EXPECT_EQ(st().mem[MBOX_M2H_END], 0);

    // Nothing there: the whole area is read, the message is empty.
    st().log.clear();
    EXPECT_EQ(ens->api->read_module_buf(&msg), 0);
    EXPECT_EQ(msg.size, 0);
    bool whole_area = false;
    for (const auto &s : bulk_steps())
        if (s.cmd == BULK_READ_MEM && s.addr == MBOX_M2H_AREA + 128 && s.count == 64) whole_area = true;
    EXPECT_TRUE(whole_area);
}

TEST_F(transport_test, broken_indices_are_a_communication_error) {
    open(true);
    const struct {
        int start, end;
        const char *line;
    } cases[] = {{1, 5, "read_module_buf Communication error (start: 01 end: 05).\n"},
                 {0, 192, "read_module_buf Communication error (start: 00 end: C0).\n"}};
    for (const auto &c : cases) {
        st().mem[MBOX_M2H_START] = static_cast<unsigned char>(c.start);
        st().mem[MBOX_M2H_END] = static_cast<unsigned char>(c.end);
        dab_module_msg_t msg{};
        msg.size = 99;
        EXPECT_EQ(ens->api->read_module_buf(&msg), 0);
        EXPECT_EQ(msg.size, 0);
        EXPECT_TRUE(logged(c.line)) << c.line;
        EXPECT_EQ(st().mem[MBOX_M2H_START], 0);
        EXPECT_EQ(st().mem[MBOX_M2H_END], 0);
    }
}

TEST_F(transport_test, busy_module_times_out) {
    open(true);
    EXPECT_EQ(ens->api->new_msg(), 1);
    st().mem[MODULE_BUSY] = 0x01;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ens->api->new_msg(), 0);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(s, 4.9);
    EXPECT_LT(s, 7.0);
    EXPECT_TRUE(logged("Houston, We Have A Problem... waiting for an module answer. TIMEOUT\n"));
}

TEST_F(transport_test, debug_mode_and_controls) {
    open(true);
    ens->api->set_dbg_mode(0);
    EXPECT_TRUE(st().log.empty());
    ens->api->set_dbg_mode(1);
    EXPECT_EQ(st().mem[MODULE_DEBUG], 0x3C);

    st().log.clear();
    EXPECT_EQ(ens->api->display_name(5), 1);
    EXPECT_EQ(ens->api->download_name(3, 7, "A name longer than seventeen"), 1);
    EXPECT_EQ(ens->api->download_name(0, 255, "Short"), 1);
    auto b = requests(DRV_BULK);
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(bytes(b[0].bulk.data, b[0].bulk.data + 4), (bytes{BULK_CONTROL, 5, 2, 0}));
    EXPECT_EQ(b[0].bulk.size, 4);
    EXPECT_EQ(b[1].bulk.size, 21);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(b[1].bulk.data + 4), 17), "A name longer tha");
    EXPECT_EQ(b[1].bulk.data[21], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(b[2].bulk.data + 4)), "Short");
    for (int k = 4 + 5; k < 64; k++) EXPECT_EQ(b[2].bulk.data[k], 0) << k;

    st().removed_fails = true;
    EXPECT_EQ(ens->api->get_removed(), 1);
    EXPECT_TRUE(logged("removed USB device\n"));
}

TEST_F(transport_test, pci_passes_messages_to_the_driver) {
    open(false);
    st().responder = [](const bytes &) { return bytes{0x02, 0x01}; };
    st().write_msg_result = 17;
    dab_module_msg_t msg{};
    msg.buf[0] = 0x01;
    msg.size = 40;  // no cut: the driver takes whole messages
    EXPECT_EQ(ens->api->write_module_buf(&msg), 17);
    ASSERT_EQ(st().sent.size(), 1u);
    EXPECT_EQ(st().sent[0].size(), 40u);
    EXPECT_EQ(ens->api->new_msg(), 1);
    dab_module_msg_t in{};
    EXPECT_EQ(ens->api->read_module_buf(&in), 0);
    EXPECT_EQ(bytes(in.buf, in.buf + in.size), (bytes{0x02, 0x01}));
    EXPECT_EQ(ens->api->new_msg(), 0);
    EXPECT_TRUE(requests(DRV_BULK).empty());

    // A driver's size is never trusted beyond the buffer.
    st().read_msg_size_override = 5000;
    EXPECT_EQ(ens->api->read_module_buf(&in), 0);
    EXPECT_EQ(in.size, 1024);
    st().read_msg_size_override = -3;
    ens->api->read_module_buf(&in);
    EXPECT_EQ(in.size, 0);

    st().new_msg_fails = true;
    EXPECT_EQ(ens->api->new_msg(), 0);
    EXPECT_EQ(ens->api->get_removed(), 0);
    EXPECT_EQ(ens->api->usb_set_prog(1, 0), 1);
    EXPECT_TRUE(requests(DRV_BULK).empty());
}

TEST_F(transport_test, pci_reset_sequence) {
    open(false);
    EXPECT_EQ(ens->api->reset_module_communication(), 1);
    std::vector<unsigned long> seq;
    for (const auto &r : st().log) seq.push_back(r.req);
    EXPECT_EQ(seq, (std::vector<unsigned long>{DRV_RESET, DRV_WRITE_MSG, DRV_NEW_MSG, DRV_READ_MSG}));
    ASSERT_EQ(st().sent.size(), 1u);
    EXPECT_TRUE(st().sent[0].empty());
    st().new_msg_fails = true;
    EXPECT_EQ(ens->api->reset_module_communication(), 0);
}

TEST_F(transport_test, usb_reset_clears_the_indices) {
    open(true);
    for (int a = MBOX_H2M_START; a <= MBOX_READY; a++) st().mem[static_cast<size_t>(a)] = 0x33;
    EXPECT_EQ(ens->api->reset_module_communication(), 1);
    for (int a = MBOX_H2M_START; a < MBOX_H2M_START + 6; a++) EXPECT_EQ(st().mem[static_cast<size_t>(a)], 0) << a;
    EXPECT_EQ(st().mem[MBOX_READY], 0x33);
    st().fail_bulk_at = st().bulk_count;
    EXPECT_EQ(ens->api->reset_module_communication(), 0);
}

TEST_F(transport_test, emulation_skips_every_transfer) {
    ens->cfg->emulate = 1;
    ASSERT_EQ(ens->api->open_driver(), 1);
    EXPECT_EQ(ens->api->usb, 1);
    UCHAR data[4] = {1, 2, 3, 4};
    EXPECT_EQ(ens->api->read_mem(data, 0x8400, 4), 1);
    EXPECT_EQ(ens->api->write_mem(data, 0x8400, 4), 1);
    EXPECT_EQ(ens->api->new_msg(), 1);
    pnotification n = reinterpret_cast<pnotification>(1);
    EXPECT_EQ(ens->d->get_notification(&n), 1);
    EXPECT_EQ(n, nullptr);
    EXPECT_TRUE(st().log.empty());
}

}  // namespace
