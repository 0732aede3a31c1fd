#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>

#include "module_fixture.h"
#include "support/sys_support.h"

namespace {

using fakedrv::bytes;
using fakedrv::st;
using testsupport::seconds_since;

std::vector<pnotification> as_vector(pnotification n) {
    std::vector<pnotification> v;
    for (; n; n = n->next) v.push_back(n);
    return v;
}

// ---- command frames ----

using command_test = module_fixture;

TEST_F(command_test, frames_carry_fields_in_their_places) {
    open(false);
    dcsr &d = *ens->d;
    const unsigned char ext[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char block[16];
    for (int k = 0; k < 16; k++) block[k] = static_cast<unsigned char>(0xF0 + k);
    bytes memblock = {0x10, 0x0A, 0x00, 0x14, 0x01, 0x02, 0x03, 0x04};
    memblock.insert(memblock.end(), block, block + 16);

    const struct {
        const char *what;
        std::function<int()> call;
        bytes frame;
    } cases[] = {
        {"tune 5A", [&] { return d.tune(3, 174928 >> 4, 0); }, {0x01, 0x02, 0x00, 0x04, 0x03, 0x00, 0x2A, 0xB5}},
        {"tune LA (bit 16 set)", [&] { return d.tune(0x83, 1452960 >> 4, 0x1F); },
         {0x01, 0x02, 0x00, 0x04, 0x03, 0xF1, 0x62, 0xBA}},
        {"search 5A..13F", [&] { return d.search_for_ensemble(3, 174928 >> 4, 239200 >> 4, 0, 1, 1, 1); },
         {0x01, 0x07, 0x00, 0x08, 0x03, 0x00, 0x2A, 0xB5, 0x30, 0x3A, 0x66, 0x01}},
        {"select subchannel", [&] { return d.select_subchannel(8, 3, 1, 2, 1, 0x12345678, 2, 0x1AB); },
         {0x01, 0x06, 0x00, 0x0B, 0x08, 0x03, 0x01, 0x02, 0x01, 0x12, 0x34, 0x56, 0x78, 0x21, 0xAB}},
        {"rdi config", [&] { return d.set_rdi_config(4); }, {0x10, 0x11, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04}},
        {"auto notifications", [&] { return d.set_dab_status_auto_notifications(1, 0, 7, 0); },
         {0x01, 0x0B, 0x00, 0x02, 0x10, 0x70}},
        {"figs", [&] { return d.get_figs(0, 1, 2, ext); },
         {0x01, 0x05, 0x00, 0x0B, 0x00, 0x01, 0x02, 1, 2, 3, 4, 5, 6, 7, 8}},
        {"write memblock", [&] { return d.write_memblock(0x01020304, block); }, memblock},
        {"idle", [&] { return d.idle(); }, {}},
    };
    for (const auto &c : cases) {
        st().sent.clear();
        EXPECT_NE(c.call(), 0) << c.what;
        ASSERT_EQ(st().sent.size(), 1u) << c.what;
        EXPECT_EQ(st().sent[0], c.frame) << c.what;
    }
}

// ---- notifications ----

using notification_test = module_fixture;

TEST_F(notification_test, response_then_status) {
    const bytes msg = {0x02, 0x01, 0x04, 0x0A, 0x00, 0x06, 0x04, 0x21, 0x23, 0x45, 0x73, 0x52};
    pnotification n = nullptr;
    EXPECT_EQ(ens->d->decode_message(msg.data(), static_cast<int>(msg.size()), &n), 2);
    auto v = as_vector(n);
    ASSERT_EQ(v.size(), 2u);
    ASSERT_EQ(v[0]->type, _response);
    EXPECT_EQ(static_cast<notify_response *>(v[0])->code, 1);
    ASSERT_EQ(v[1]->type, _dab_status);
    auto *s = static_cast<notify_dab_status *>(v[1]);
    EXPECT_EQ(s->notify_reason, 4);
    EXPECT_EQ(s->mode, 2);
    EXPECT_EQ(s->tune_freq, 0x12345);
    EXPECT_EQ(s->reconf, 7);
    EXPECT_EQ(s->sync, 3);
    EXPECT_EQ(s->ber_fic, 5);
    EXPECT_EQ(s->mute, 2);
    EXPECT_EQ(ens->d->ds.tune_freq, 0x12345);
    EXPECT_EQ(ens->d->ds.sync, 3);
    EXPECT_EQ(ens->d->ds.ber_fic, 5);
    EXPECT_TRUE(logged("Accepted\n"));
    EXPECT_TRUE(logged("notify_dab_status:notify_reason:4 mode:2 tune_freq:1193040 reconf:7 sync:3 ber_fic:5 mute:2\n"));
    dcsr::dispose_list(n);
}

TEST_F(notification_test, malformed_records_are_skipped) {
    const struct {
        const char *what;
        bytes msg;
    } cases[] = {
        {"status with length 5", {0x04, 0x0A, 0x00, 0x05, 0x04, 0x21, 0x23, 0x45, 0x73, 0x52}},
        {"status cut short", {0x04, 0x0A, 0x00, 0x06, 0x04, 0x21, 0x23}},
        {"header cut short", {0x40, 0x0A, 0x00}},
        {"lone group byte", {0x04}},
        {"lone response byte", {0x02}},
        {"noise", {0x00, 0x11, 0xFF, 0x7E}},
    };
    for (const auto &c : cases) {
        pnotification n = nullptr;
        EXPECT_EQ(ens->d->decode_message(c.msg.data(), static_cast<int>(c.msg.size()), &n), 0) << c.what;
        EXPECT_EQ(n, nullptr) << c.what;
        dcsr::dispose_list(n);
    }
}

TEST_F(notification_test, unknown_codes) {
    const bytes msg = {0x02, 0x42, 0x04, 0x33, 0x00, 0x00, 0x02, 0x03};
    pnotification n = nullptr;
    ens->d->decode_message(msg.data(), static_cast<int>(msg.size()), &n);
    auto v = as_vector(n);
    // The 0x33 record is stepped over byte by byte; "02 03" further on is a Busy response.
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(static_cast<notify_response *>(v[0])->code, 0x42);
    EXPECT_EQ(static_cast<notify_response *>(v[1])->code, 3);
    const auto lines = captured.texts();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "0x02 0x42: ");
    EXPECT_EQ(lines[1], "Unknown\n");
    EXPECT_EQ(lines[2], "unknown notification: 0x04 0x33: ");
    EXPECT_TRUE(logged("Busy\n"));
    dcsr::dispose_list(n);
}

TEST_F(notification_test, figs_are_cut_and_scanning_resumes_after_them) {
    bytes msg(1024, 0);
    msg[0] = 0x04;
    msg[1] = 0x05;
    msg[2] = 1000 >> 8;
    msg[3] = 1000 & 0xFF;
    for (int k = 4; k < 1024; k++) msg[static_cast<size_t>(k)] = static_cast<unsigned char>(k % 251 + 1);
    msg[769] = 0x02;  // beyond the examined start of the message
    msg[770] = 0x01;
    pnotification n = nullptr;
    EXPECT_EQ(ens->d->decode_message(msg.data(), 1024, &n), 1);
    ASSERT_NE(n, nullptr);
    ASSERT_EQ(n->type, _get_figs);
    auto *f = static_cast<notify_get_figs *>(n);
    EXPECT_EQ(f->fig_data[764], msg[768]);
    EXPECT_EQ(f->fig_data[765], 0);
    EXPECT_TRUE(logged("notify_get_figs: len:765\n"));
    dcsr::dispose_list(n);

    // A short figs record: the next record starts right after its payload.
    const bytes two = {0x40, 0x05, 0x00, 0x03, 0xAA, 0xBB, 0xCC, 0x02, 0x01};
    n = nullptr;
    EXPECT_EQ(ens->d->decode_message(two.data(), static_cast<int>(two.size()), &n), 2);
    dcsr::dispose_list(n);

    // A length running past the message copies only the bytes present.
    bytes tail = {0x02, 0x01, 0x04, 0x05, 0x03, 0xE8, 0x11, 0x22};
    n = nullptr;
    EXPECT_EQ(ens->d->decode_message(tail.data(), static_cast<int>(tail.size()), &n), 2);
    EXPECT_TRUE(logged("notify_get_figs: len:2\n"));
    auto v = as_vector(n);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(static_cast<notify_get_figs *>(v[1])->fig_data[1], 0x22);
    EXPECT_EQ(static_cast<notify_get_figs *>(v[1])->fig_data[2], 0);
    dcsr::dispose_list(n);
}

TEST_F(notification_test, subchannel_list_is_bounded) {
    const bytes ok = {0x04, 0x12, 0x00, 0x02, 0x03, 5, 9, 14};
    pnotification n = nullptr;
    EXPECT_EQ(ens->d->decode_message(ok.data(), static_cast<int>(ok.size()), &n), 1);
    ASSERT_NE(n, nullptr);
    auto *l = static_cast<notify_rdi_subch_list *>(n);
    EXPECT_EQ(l->num_subch, 3);
    EXPECT_EQ(l->subch_id[0], 5);
    EXPECT_EQ(l->subch_id[2], 14);
    dcsr::dispose_list(n);

    // A count running past the message: only the ids present are taken.
    const bytes cut = {0x04, 0x12, 0x00, 0x63, 0x64, 1, 2, 3};
    n = nullptr;
    ens->d->decode_message(cut.data(), static_cast<int>(cut.size()), &n);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(static_cast<notify_rdi_subch_list *>(n)->num_subch, 3);
    dcsr::dispose_list(n);

    // More ids than the record holds.
    bytes many(300, 7);
    many[0] = 0x04;
    many[1] = 0x12;
    many[2] = 0x00;
    many[3] = 199;
    many[4] = 200;
    n = nullptr;
    ens->d->decode_message(many.data(), static_cast<int>(many.size()), &n);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(static_cast<notify_rdi_subch_list *>(n)->num_subch, 64);
    EXPECT_TRUE(logged("notify_rdi_subch_list: num_subch:64\n"));
    dcsr::dispose_list(n);

    // Count byte not equal to length byte + 1.
    const bytes wrong = {0x04, 0x12, 0x00, 0x03, 0x03, 9, 9, 9};
    n = nullptr;
    EXPECT_EQ(ens->d->decode_message(wrong.data(), static_cast<int>(wrong.size()), &n), 0);
}

TEST_F(notification_test, record_fields) {
    bytes msg = {
        0x04, 0x07, 0x00, 0x03, 0x25, 0x12, 0x34,                          // search progress
        0x04, 0x0D, 0x00, 0x04, 0x04, 0x1F, 0x00, 0x2A,                    // version
        0x40, 0x06, 0x00, 0x04, 0x01, 0x3A, 0xBC, 0x03,                    // select subchannel
        0x04, 0x19, 0x00, 0x07, 0x11, 0xA9, 0x5F, 0x35, 0x0E, 0x57, 0xAA,  // subchannel parameters
        0x04, 0x1B, 0x00, 0x06, 0x12, 0x34, 0x50, 0xFF, 0xF3, 0x05,        // audio info
        0x04, 0x0B, 0x00, 0x14, 0xDE, 0xAD, 0xBE, 0xEF,                    // memory block
    };
    for (int k = 0; k < 16; k++) msg.push_back(static_cast<unsigned char>(k));
    const bytes tail = {0x04, 0x09, 0x00, 0x01, 0x05, 0x04, 0x17, 0x00, 0x01, 0x09};
    msg.insert(msg.end(), tail.begin(), tail.end());

    pnotification n = nullptr;
    ASSERT_EQ(ens->d->decode_message(msg.data(), static_cast<int>(msg.size()), &n), 8);
    auto v = as_vector(n);

    auto *se = static_cast<notify_search_for_ensemble *>(v[0]);
    EXPECT_EQ(se->mode, 2);
    EXPECT_EQ(se->tune_freq, 0x51234);
    EXPECT_TRUE(logged("notify_search_for_ensemble: mode:2 tune_freq:5317440\n"));

    auto *ve = static_cast<notify_get_version *>(v[1]);
    EXPECT_EQ(ve->version_number, 0x041Fu);
    EXPECT_EQ(ve->additional_value, 0x002Au);
    EXPECT_TRUE(logged("notify_get_version: version_number:041F additional_value:002A\n"));

    auto *ss = static_cast<notify_select_subchannel *>(v[2]);
    EXPECT_EQ(ss->output_interface_reference, 1);
    EXPECT_EQ(ss->tmid, 3);
    EXPECT_EQ(ss->subchid_scid, 0xABC);
    EXPECT_EQ(ss->subch_not_decodable, 1);
    EXPECT_EQ(ss->subch_not_present, 1);

    auto *sp = static_cast<notify_get_subch_params_3 *>(v[3]);
    EXPECT_EQ(sp->subch_id, 0x11);
    EXPECT_EQ(sp->cu_start, 0x2A5);
    EXPECT_EQ(sp->cu_num, 0x1F3);
    EXPECT_EQ(sp->p_level, 2);
    EXPECT_EQ(sp->audio_data, 1);
    EXPECT_EQ(sp->bitrate_index, 0x0E);
    EXPECT_EQ(sp->table_index, 0x15);
    EXPECT_EQ(sp->table_switch, 1);
    EXPECT_EQ(sp->entry_valid, 1);
    EXPECT_EQ(sp->ep_profile, 1);
    EXPECT_EQ(sp->ep_option, 2);
    EXPECT_EQ(sp->decode, 1);
    EXPECT_EQ(sp->rdi, 0);
    EXPECT_EQ(sp->i2s_out, 1);
    EXPECT_EQ(sp->dummy, 0);

    auto *ai = static_cast<notify_ms_audio_info *>(v[4]);
    EXPECT_EQ(ai->warnings, 0x12345);
    EXPECT_EQ(ai->mpeg, 1);
    EXPECT_EQ(ai->bitrate_index, 9);
    EXPECT_EQ(ai->mode, 3);
    EXPECT_EQ(ai->joint_stereo_mode, 3);
    EXPECT_EQ(ai->original, 0);
    EXPECT_EQ(ai->copyright, 1);

    auto *mb = static_cast<notify_mem_block *>(v[5]);
    EXPECT_EQ(mb->start_address, 0xDEADBEEFu);
    EXPECT_EQ(mb->data[15], 15);
    EXPECT_TRUE(logged("notify_mem_block: DEADBEEF\n"));

    EXPECT_EQ(v[6]->type, _set_drc);
    EXPECT_EQ(static_cast<notify_set_drc *>(v[6])->drc_val, 5);
    EXPECT_EQ(v[7]->type, _num_tune_wait_loops);
    EXPECT_EQ(static_cast<notify_num_tune_wait_loops *>(v[7])->loops, 9);
    dcsr::dispose_list(n);
}

TEST_F(notification_test, only_the_start_of_a_message_is_examined) {
    bytes msg(600, 0);
    msg[255] = 0x02;  // last examined position
    msg[256] = 0x01;
    msg[300] = 0x02;
    msg[301] = 0x02;
    pnotification n = nullptr;
    EXPECT_EQ(ens->d->decode_message(msg.data(), 600, &n), 1);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(static_cast<notify_response *>(n)->code, 1);
    dcsr::dispose_list(n);
}

TEST_F(notification_test, random_messages_never_read_past_their_end) {
    std::mt19937 rng(12345);
    const unsigned char interesting[] = {0x02, 0x04, 0x40, 0x00, 0x05, 0x06, 0x0A, 0x12, 0x01, 0xFF};
    for (int round = 0; round < 3000; round++) {
        const size_t size = rng() % 300 + 1;
        // Exactly sized, so that an over-read is caught by the address checker.
        std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
        for (size_t k = 0; k < size; k++)
            buf[k] = rng() % 3 ? interesting[rng() % sizeof interesting] : static_cast<unsigned char>(rng());
        pnotification n = nullptr;
        ens->d->decode_message(buf.get(), static_cast<int>(size), &n);
        for (pnotification p = n; p; p = p->next) {
            if (p->type == _rdi_subch_list) {
                ASSERT_LE(static_cast<notify_rdi_subch_list *>(p)->num_subch, 64);
            }
        }
        dcsr::dispose_list(n);
    }
    captured.clear();
}

TEST_F(notification_test, messages_through_the_transport) {
    open(true);
    const bytes answer = {0x02, 0x01, 0x04, 0x0A, 0x00, 0x06, 0x04, 0x21, 0x23, 0x45, 0x73, 0x52};
    std::copy(answer.begin(), answer.end(), st().mem.begin() + MBOX_M2H_AREA);
    st().mem[MBOX_M2H_END] = static_cast<unsigned char>(answer.size());
    pnotification n = nullptr;
    EXPECT_EQ(ens->d->get_notification(&n), 1);
    EXPECT_EQ(as_vector(n).size(), 2u);
    dcsr::dispose_list(n);

    // The area is free now: an empty message.
    EXPECT_EQ(ens->d->get_notification(&n), 1);
    EXPECT_EQ(n, nullptr);

    // Nothing pending at all (PCI driver with an empty queue).
    TearDown();
    SetUp();
    open(false);
    n = reinterpret_cast<pnotification>(1);
    EXPECT_EQ(ens->d->get_notification(&n), 0);
    EXPECT_EQ(n, nullptr);
}

// ---- channel naming ----

TEST(channel_naming, names_to_frequencies) {
    const struct {
        const char *in;
        int khz;
    } cases[] = {
        {"5a", 174928},   {"13F", 239200},  {"13e", 237488},    {"LA", 1452960}, {"lw", 1490624},
        {"12", 1473504} /* table index */,  {"220352", 220352}, {"x", 1452960},  {"7", 1464944},
        {"", 1452960},    {"12D", 229072},  {"9c", 206352},     {"lz", 1452960}, {"63", 85700},
        {"64", 64} /* taken as kHz */,      {"5e", 1461520} /* no name: table index 5 */,
        {"13g", 1475216} /* no name: table index 13 */,
    };
    for (const auto &c : cases) EXPECT_EQ(dcsr::name_to_channel(c.in), c.khz) << c.in;
}

TEST(channel_naming, frequencies_to_names) {
    const struct {
        int khz;
        const char *name;
    } cases[] = {{235776, "13d"}, {1453000, "la"},  {174928, "5a"},  {239200, "13f"},
                 {237488, "13e"}, {229072, "12d"},  {1490624, "lw"}, {1452960, "la"}};
    for (const auto &c : cases) {
        char s[CHANNEL_NAME_SIZE] = {};
        EXPECT_EQ(dcsr::channel_to_name(s, c.khz), 1) << c.khz;
        EXPECT_STREQ(s, c.name) << c.khz;
    }
    for (int khz : {174929, 1490625, 1452959, 82300, 0, -5}) {
        char s[CHANNEL_NAME_SIZE] = {};
        EXPECT_EQ(dcsr::channel_to_name(s, khz), 0) << khz;
    }
    // Every named channel reads back to its frequency.
    for (int idx = 0; idx <= 60; idx++) {
        char s[CHANNEL_NAME_SIZE] = {};
        ASSERT_EQ(dcsr::channel_to_name(s, dabfreq[static_cast<size_t>(idx)]), 1) << idx;
        EXPECT_EQ(dcsr::name_to_channel(s), dabfreq[static_cast<size_t>(idx)]) << s;
    }
}

TEST(channel_naming, next_frequency) {
    const struct {
        int khz, next;
    } cases[] = {{174928, 176640},   {239200, 0},       {237488, 0},       {100000, 174928},
                 {1490624, 0},       {1452960, 1454672}, {1488912, 0},     {229072, 230784},
                 {1400000, 0} /* between the bands: searched as Band III */,       {235000, 235776}};
    for (const auto &c : cases) EXPECT_EQ(dcsr::get_next_freq(c.khz), c.next) << c.khz;
}

// ---- composite operations ----

using composite_test = module_fixture;

const bytes status_sync0 = {0x04, 0x0A, 0x00, 0x06, 0x00, 0x00, 0x2A, 0xB5, 0x00, 0x70};
const bytes status_sync1 = {0x04, 0x0A, 0x00, 0x06, 0x00, 0x00, 0x2A, 0xB5, 0x01, 0x20};

TEST_F(composite_test, tune_waits_for_a_status) {
    open(true);
    st().responder = [](const bytes &) { return status_sync0; };
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ens->d->tune(174928), 0);
    EXPECT_LT(seconds_since(t0), 1.5);
    ASSERT_EQ(st().sent.size(), 2u);  // the tune command and one idle poll
    EXPECT_EQ(st().sent[0], (bytes{0x01, 0x02, 0x00, 0x04, 0x03, 0x00, 0x2A, 0xB5}));
    EXPECT_TRUE(st().sent[1].empty());

    TearDown();
    SetUp();
    open(false);
    st().responder = [](const bytes &m) { return m.empty() ? bytes{} : status_sync1; };
    EXPECT_EQ(ens->d->tune(174928), 1);
    EXPECT_EQ(ens->d->ds.sync, 1);

    // A module that refuses the command: one poll, then give up.
    st().sent.clear();
    st().responder = nullptr;
    st().write_msg_result = 0;
    EXPECT_EQ(ens->d->tune(174928), 0);
    EXPECT_EQ(st().sent.size(), 2u);
}

TEST_F(composite_test, start_search_needs_a_response) {
    open(false);
    st().responder = [](const bytes &m) {
        if (m.size() >= 2 && m[1] == 0x07) return bytes{0x04, 0x07, 0x00, 0x03, 0x00, 0x2A, 0xB5, 0x02, 0x01};
        return bytes{};
    };
    EXPECT_EQ(ens->d->start_search(174928, 239200, 1), 1);
    EXPECT_EQ(st().sent.size(), 1u);
    EXPECT_TRUE(logged("start_search returned: 1\n"));

    // A notification alone is not an answer: the command is sent again.
    int calls = 0;
    st().sent.clear();
    st().responder = [&calls](const bytes &) {
        return ++calls == 1 ? bytes{0x04, 0x07, 0x00, 0x03, 0x00, 0x2A, 0xB5} : bytes{0x02, 0x02};
    };
    EXPECT_EQ(ens->d->start_search(174928, 239200, 1), 0);
    EXPECT_EQ(st().sent.size(), 2u);

    // A silent module does not hold the caller forever.
    st().sent.clear();
    st().responder = nullptr;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ens->d->start_search(174928, 239200, 1), 0);
    EXPECT_LT(seconds_since(t0), 8.0);
    EXPECT_EQ(st().sent.size(), 10u);
    EXPECT_TRUE(logged("start_search returned: 0\n"));
}

TEST_F(composite_test, status_query) {
    open(false);
    st().responder = [](const bytes &m) {
        bytes a = {0x02, static_cast<unsigned char>(m.empty() ? 0x02 : 0x01)};
        a.insert(a.end(), status_sync1.begin(), status_sync1.end());
        return a;
    };
    notify_dab_status s;
    EXPECT_EQ(ens->d->get_dab_status(s, 1), 1);
    EXPECT_EQ(s.sync, 1);
    EXPECT_EQ(s.ber_fic, 2);
    EXPECT_EQ(s.tune_freq, 0x2AB5);
    EXPECT_EQ(st().sent.back(), (bytes{0x01, 0x0A, 0x00, 0x00}));

    // Mode 0 only collects what the module announces; here with a rejection.
    EXPECT_EQ(ens->d->get_dab_status(s, 0), 0);
    EXPECT_TRUE(st().sent.back().empty());

    st().responder = nullptr;
    EXPECT_EQ(ens->d->get_dab_status(s, 1), 0);
    EXPECT_EQ(s.ber_fic, 7);
    EXPECT_EQ(s.tune_freq, 0);
}

TEST_F(composite_test, version_query) {
    open(true);
    st().responder = [](const bytes &m) {
        if (m.size() >= 2 && m[1] == 0x0D) return bytes{0x02, 0x01, 0x04, 0x0D, 0x00, 0x04, 0x04, 0x1F, 0x00, 0x2A};
        return bytes{};
    };
    unsigned int version = 0;
    EXPECT_EQ(ens->d->get_version(version), 1);
    EXPECT_EQ(version, 0x041F002Au);
}

TEST_F(composite_test, emulated_module_keeps_the_preset_version) {
    ens->cfg->emulate = 1;
    ASSERT_EQ(ens->api->open_driver(), 1);
    unsigned int version = (4u << 24) | (31u << 16);
    // Every answer is empty: no record, so the query fails and the preset stays.
    EXPECT_EQ(ens->d->get_version(version), 0);
    EXPECT_EQ(version, (4u << 24) | (31u << 16));
    EXPECT_TRUE(st().log.empty());
}

}  // namespace
