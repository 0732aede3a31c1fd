// Service and subchannel table rebuild, subchannel frame decoding and PAD records.

#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/rdi_framer.h"
#include "core/config.h"
#include "datapath/rdi.h"
#include "module/cleanup.h"
#include "support/msc_fixture.h"

namespace {

using bytes = std::vector<unsigned char>;

// ---- helpers ----

// Data words of 20-bit packing: 5 bytes in two words, flag bits 01.
std::vector<unsigned int> pack20(const bytes &b) {
    std::vector<unsigned int> w;
    for (size_t i = 0; i < b.size(); i += 5) {
        unsigned long long v = 0;
        for (size_t k = 0; k < 5; k++) v = v << 8 | (i + k < b.size() ? b[i + k] : 0);
        w.push_back(static_cast<unsigned int>((v >> 20) & 0xFFFFF) << 4 | 1);
        w.push_back(static_cast<unsigned int>(v & 0xFFFFF) << 4 | 1);
    }
    return w;
}

// Data words of 22-bit packing: 11 bytes in four words, flag bits 01.
std::vector<unsigned int> pack22(const bytes &b) {
    std::vector<unsigned int> w;
    for (size_t i = 0; i < b.size(); i += 11) {
        unsigned char g[11] = {};
        for (size_t k = 0; k < 11 && i + k < b.size(); k++) g[k] = b[i + k];
        for (int word = 0; word < 4; word++) {
            unsigned int v = 0;
            for (int bit = 0; bit < 22; bit++) {
                const int n = word * 22 + bit;
                v = v << 1 | ((g[n / 8] >> (7 - n % 8)) & 1);
            }
            w.push_back(v << 2 | 1);
        }
    }
    return w;
}

bytes pattern(int n, int seed = 1) {
    bytes b(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) b[static_cast<size_t>(i)] = static_cast<unsigned char>(i * 7 + seed);
    return b;
}

// An MPEG audio Layer II frame with its F-PAD at the end and the X-PAD (given in
// broadcast order) stored backwards before the scale factor CRC.
bytes audio_frame(int len, unsigned char b1, unsigned char b2, unsigned char b3, unsigned char fpad_l1,
                  unsigned char fpad_l, const bytes &xpad, int crc_bytes = 4) {
    bytes f(static_cast<size_t>(len), 0x55);
    f[0] = 0xFF;
    f[1] = b1;
    f[2] = b2;
    f[3] = b3;
    f[static_cast<size_t>(len - 2)] = fpad_l1;
    f[static_cast<size_t>(len - 1)] = fpad_l;
    const int x = len - 3 - crc_bytes;
    for (size_t i = 0; i < xpad.size(); i++) f[static_cast<size_t>(x) - i] = xpad[i];
    return f;
}

// MPEG-1, 48 kHz, 128 kbit/s (index 8): 4-byte SCF-CRC.
bytes mpeg1_frame(int len, unsigned char fpad_l1, unsigned char fpad_l, const bytes &xpad) {
    return audio_frame(len, 0xFD, 0x84, 0x04, fpad_l1, fpad_l, xpad);
}

int rec_len(const unsigned char *r) { return r[4] | r[5] << 8; }

// ---- frame sizes ----

TEST(subchannel_framesize, every_protection_level_and_option) {
    const struct {
        const char *what;
        int short_long, option, level, size, table_switch, table_index, framesize;
    } cases[] = {
        {"EEP-A 1 (8 kbit/s per 12 CU)", 1, 0, 1, 72, 0, 0, 144},
        {"EEP-A 2", 1, 0, 2, 96, 0, 0, 288},
        {"EEP-A 3, 64 kbit/s", 1, 0, 3, 48, 0, 0, 192},
        {"EEP-A 4", 1, 0, 4, 64, 0, 0, 384},
        {"EEP-B 1, 32 kbit/s", 1, 1, 1, 27, 0, 0, 96},
        {"EEP-B 2", 1, 1, 2, 21, 0, 0, 96},
        {"EEP-B 3", 1, 1, 3, 18, 0, 0, 96},
        {"EEP-B 4", 1, 1, 4, 15, 0, 0, 96},
        {"EEP-B any non-zero option", 1, 5, 4, 30, 0, 0, 192},
        {"long form, level 5 is undefined", 1, 0, 5, 48, 0, 0, 0},
        {"long form, level 0 is undefined", 1, 0, 0, 48, 0, 0, 0},
        {"UEP index 58, 320 kbit/s", 0, 0, 0, 0, 0, 58, 960},
        {"UEP index 63, 384 kbit/s", 0, 0, 0, 0, 0, 63, 1152},
        {"UEP index 0, 32 kbit/s", 0, 0, 0, 0, 0, 0, 96},
        {"short form with table switch", 0, 0, 0, 0, 1, 58, 0},
        {"short form, index out of the table", 0, 0, 0, 0, 0, 64, 0},
        {"largest long form", 1, 0, 4, 1023, 0, 0, 6138},
    };
    for (const auto &c : cases)
        EXPECT_EQ(subchannel_framesize(c.short_long, c.option, c.level, c.size, c.table_switch, c.table_index),
                  c.framesize)
            << c.what;
}

// ---- PAD records ----

TEST(pad_record, without_xpad_is_the_empty_record) {
    subch_decoder_t st{};
    unsigned char r[PAD_RECORD_MAX];
    std::memset(r, 0xEE, sizeof r);
    const bytes f = mpeg1_frame(384, 0x00, 0x00, {1, 2, 3, 4});
    ASSERT_EQ(extract_pad_record(st, r, f.data(), 384), 32);
    EXPECT_EQ(bytes(r, r + 4), bytes({0xFF, 0xFD, 0x84, 0x04}));
    EXPECT_EQ(rec_len(r), 32);
    EXPECT_EQ(r[6], 0x00);
    EXPECT_EQ(r[7], 0x00);
    EXPECT_EQ(bytes(r + 8, r + 32), bytes(24, 0));
}

TEST(pad_record, short_xpad_is_four_bytes_in_broadcast_order) {
    subch_decoder_t st{};
    unsigned char r[PAD_RECORD_MAX];
    const bytes f = mpeg1_frame(384, 0x10, 0x00, {0xA1, 0xA2, 0xA3, 0xA4});
    ASSERT_EQ(extract_pad_record(st, r, f.data(), 384), 12);
    EXPECT_EQ(rec_len(r), 12);
    EXPECT_EQ(r[7], 0x10);
    EXPECT_EQ(bytes(r + 8, r + 12), bytes({0xA1, 0xA2, 0xA3, 0xA4}));
}

TEST(pad_record, scf_crc_length_decides_where_the_xpad_ends) {
    const struct {
        const char *what;
        unsigned char b1, b2, b3;
        int crc;
    } cases[] = {
        {"index 3, stereo: 2 bytes", 0xFD, 0x34, 0x00, 2},
        {"index 4, single channel: 4 bytes", 0xFD, 0x44, 0xC0, 4},
        {"index 4, stereo: 2 bytes", 0xFD, 0x44, 0x00, 2},
        {"index 7: 4 bytes", 0xFD, 0x74, 0x00, 4},
        {"not layer II: 4 bytes", 0xF9, 0x34, 0x00, 4},
    };
    for (const auto &c : cases) {
        subch_decoder_t st{};
        unsigned char r[PAD_RECORD_MAX];
        const bytes f = audio_frame(288, c.b1, c.b2, c.b3, 0x10, 0x00, {9, 8, 7, 6}, c.crc);
        ASSERT_EQ(extract_pad_record(st, r, f.data(), 288), 12) << c.what;
        EXPECT_EQ(bytes(r + 8, r + 12), bytes({9, 8, 7, 6})) << c.what;
    }
}

TEST(pad_record, variable_xpad_with_ci_list) {
    subch_decoder_t st{};
    unsigned char r[PAD_RECORD_MAX];
    // CI: length indicator 0 (4 bytes), application 2 (dynamic label start), then the end marker.
    bytes f = mpeg1_frame(384, 0x20, 0x02, {0x02, 0x00, 0xD1, 0xD2, 0xD3, 0xD4, 0x77});
    ASSERT_EQ(extract_pad_record(st, r, f.data(), 384), 14);
    EXPECT_EQ(rec_len(r), 14);
    EXPECT_EQ(r[6], 0x02);
    EXPECT_EQ(bytes(r + 8, r + 14), bytes({0x02, 0x00, 0xD1, 0xD2, 0xD3, 0xD4}));
    EXPECT_EQ(st.ci.num_ci, 1);
    EXPECT_EQ(st.ci.last_padlen, 6);

    // Application 31 carries an extension byte; four CIs end the list without a marker.
    bytes xpad = {0x3F, 0x07, 0x4C, 0x0D, 0x02};
    const bytes data1 = pattern(6, 1), data2 = pattern(8, 2), data3 = pattern(4, 3), data4 = pattern(4, 4);
    for (const bytes *d : {&data1, &data2, &data3, &data4}) xpad.insert(xpad.end(), d->begin(), d->end());
    f = mpeg1_frame(384, 0x20, 0x02, xpad);
    ASSERT_EQ(extract_pad_record(st, r, f.data(), 384), 8 + static_cast<int>(xpad.size()));
    EXPECT_EQ(bytes(r + 8, r + 8 + xpad.size()), xpad);
    EXPECT_EQ(st.ci.num_ci, 4);
    EXPECT_EQ(st.ci.xpci[0][0], 0x3F);
    EXPECT_EQ(st.ci.xpci[0][1], 0x07);
}

TEST(pad_record, continuation_reuses_the_last_length) {
    subch_decoder_t st{};
    unsigned char r[PAD_RECORD_MAX];
    // MOT start (application 12) with 8 bytes: CI, end marker and data make 10 bytes.
    bytes f = mpeg1_frame(384, 0x20, 0x02, {0x4C, 0x00, 1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_EQ(extract_pad_record(st, r, f.data(), 384), 18);

    const bytes cont = pattern(10, 40);
    f = mpeg1_frame(384, 0x20, 0x00, cont);
    ASSERT_EQ(extract_pad_record(st, r, f.data(), 384), 18);
    EXPECT_EQ(bytes(r + 8, r + 18), cont);
    EXPECT_EQ(st.ci.num_ci, 1);
    EXPECT_EQ(st.ci.xpci[0][0] & 31, 13);  // MOT continuation from now on

    // An F-PAD of another type keeps the last type-0 byte, so the X-PAD goes on.
    f = mpeg1_frame(384, 0x80, 0x00, cont);
    ASSERT_EQ(extract_pad_record(st, r, f.data(), 384), 18);
    EXPECT_EQ(r[7], 0x20);

    // Without any CI seen a continuation has nothing to go by.
    subch_decoder_t fresh{};
    ASSERT_EQ(extract_pad_record(fresh, r, f.data(), 384), 32);
    EXPECT_EQ(fresh.ci.last_padlen, 0);

    // An application that does not continue ends the state.
    subch_decoder_t other{};
    f = mpeg1_frame(384, 0x20, 0x02, {0x05, 0x00, 1, 2, 3, 4});
    ASSERT_EQ(extract_pad_record(other, r, f.data(), 384), 14);
    f = mpeg1_frame(384, 0x20, 0x00, cont);
    EXPECT_EQ(extract_pad_record(other, r, f.data(), 384), 32);
    EXPECT_EQ(other.ci.num_ci, 0);
    EXPECT_EQ(extract_pad_record(other, r, f.data(), 384), 32);
}

TEST(pad_record, broadcast_lengths_never_reach_before_the_frame) {
    unsigned char r[PAD_RECORD_MAX];
    // Four CIs of 48 bytes each announced in a frame with room for a few bytes only.
    for (int len : {7, 8, 12, 20, 40, 64}) {
        subch_decoder_t st{};
        bytes f(static_cast<size_t>(len), 0xE7);  // every CI byte: length 48, application 7
        f[0] = 0xFF;
        f[1] = 0xFD;
        f[2] = 0x84;
        f[3] = 0x00;
        f[static_cast<size_t>(len - 2)] = 0x20;
        f[static_cast<size_t>(len - 1)] = 0x02;
        // A copy on the heap of exactly len bytes: the sanitizer sees any read outside.
        std::vector<unsigned char> exact(f.begin(), f.end());
        const int n = extract_pad_record(st, r, exact.data(), len);
        EXPECT_LE(n, std::max(32, 8 + len - 4)) << len;
        EXPECT_EQ(rec_len(r), n) << len;

        // A continuation with a length larger than the frame.
        st.ci.num_ci = 1;
        st.ci.xpci[0][0] = 13;
        st.ci.last_padlen = 200;
        exact[static_cast<size_t>(len - 1)] = 0x00;
        const int c = extract_pad_record(st, r, exact.data(), len);
        EXPECT_LE(c, std::max(32, 8 + len - 4)) << len;
    }
    // Frames too short to carry a PAD at all.
    subch_decoder_t st{};
    const unsigned char tiny[3] = {0xFF, 0xFD, 0x20};
    EXPECT_EQ(extract_pad_record(st, r, tiny, 3), 32);
    EXPECT_EQ(extract_pad_record(st, r, nullptr, 0), 32);
}

// ---- packet-mode error score ----

TEST(packet_error_score, good_packets_lower_and_bad_ones_raise_it) {
    bytes f(96, 0);
    // Four 24-byte packets with useful lengths 0, 24, 23 and 100 (impossible).
    f[2] = 0;
    f[26] = 24;
    f[50] = 23;
    f[74] = 100;
    EXPECT_EQ(packet_error_score(f.data(), 96, 10), 10 - 3 + 5);
    EXPECT_EQ(packet_error_score(f.data(), 72, 1), 0);  // never below 0

    // One 96-byte packet (length bits 11) covers the whole frame.
    bytes g(96, 0);
    g[0] = 0xC0;
    g[2] = 90;
    EXPECT_EQ(packet_error_score(g.data(), 96, 3), 2);
    // A header cut off at the end of the frame is not judged.
    EXPECT_EQ(packet_error_score(g.data(), 2, 3), 3);
}

// ---- the table rebuild ----

class rebuild_test : public msc_fixture {
protected:
    // What the watcher does with each new table before it is installed.
    std::function<void(const dab_subchannel_t *)> route = [this](const dab_subchannel_t *t) {
        ens->clean->route_table(t);
    };
};

TEST_F(rebuild_test, services_sorted_labels_and_packet_components) {
    add_service(0xD220, {{0, 1, 1}});
    add_service(0xD210, {{0, 2, 1}, {3, 0x042, 0}});
    add_packet_component(0x042, 5);
    add_global_definition(0xD210, 1, 5);
    add_subchannel_short(1, 33);
    add_subchannel_long(2, 0, 3, 48);
    add_subchannel_long(5, 0, 3, 12);
    add_label(1, 0xD220, "Second Prog", 0xC000);
    add_label(1, 0xD210, "First Prog", 0xC000);
    add_label(4, 0xD210, "Data Part", 0xF000, 1);
    add_pty(0xD210, 10);
    add_ensemble(0x10F1);

    ASSERT_EQ(m->get_subch_info(), 1);
    EXPECT_EQ(m->service[0].sid, 0xD210);
    EXPECT_EQ(m->service[1].sid, 0xD220);
    EXPECT_EQ(m->service[2].sc, nullptr);
    EXPECT_EQ(m->eid.load(), 0x10F1);

    const dab_service_t &s = m->service[0];
    ASSERT_EQ(s.numofsc, 2);
    EXPECT_STREQ(s.label, "First Prog");
    EXPECT_STREQ(s.shortlabel, "Fi");
    EXPECT_EQ(s.pty, 10);
    EXPECT_EQ(s.sc[0].subchannel, 2);
    EXPECT_EQ(s.sc[0].framesize, 192);
    EXPECT_EQ(s.sc[0].bitrate, 64);
    EXPECT_EQ(s.sc[0].prot_level, 3);
    EXPECT_EQ(s.sc[1].tmid, 3);
    EXPECT_EQ(s.sc[1].scid, 0x042);
    EXPECT_EQ(s.sc[1].subchannel, 5);
    EXPECT_EQ(s.sc[1].scids, 1);
    EXPECT_STREQ(s.sc[1].label, "Data Part");
    EXPECT_STREQ(s.sc[1].shortlabel, "Data");
    // After sorting, every component still points at its own service in the table.
    EXPECT_EQ(s.sc[0].parent, &m->service[0]);
    EXPECT_EQ(m->service[1].sc[0].parent, &m->service[1]);

    EXPECT_EQ(m->subchannel[5].tmid, 3);
    EXPECT_TRUE(m->ispacketdata(5));
    EXPECT_STREQ(m->subchannel[5].label, "Data Part");
    EXPECT_EQ(m->subchannel[5].framesize, 48);
    EXPECT_TRUE(m->isaudio(1));
    EXPECT_EQ(m->subchsize(1), 384);
    EXPECT_STREQ(m->subchannel[1].label, "Second Prog");
    EXPECT_EQ(m->subchannel[2].sid, 0xD210);
    EXPECT_EQ(m->subchannel[2].pty, 10);
    EXPECT_FALSE(m->isaudio(64));
    EXPECT_EQ(m->subchsize(-1), 0);

    // The ring buffers learn the frame sizes and which streams carry audio.
    prbuff_t r1 = ens->rbuff->get_streambuf(1);
    EXPECT_EQ(r1->framesize, 384);
    EXPECT_EQ(r1->audio, 1);
    EXPECT_EQ(r1->active, 1);
    EXPECT_STREQ(r1->name, "Second Prog");
    EXPECT_EQ(ens->rbuff->get_streambuf(5)->audio, 0);
    // The watcher routes what the table holds.
    ens->clean->route_table(m->subchannel);
    EXPECT_TRUE(logged("select_subchannel: 5\n"));
}

TEST_F(rebuild_test, each_subchannel_is_routed_on_the_module) {
    open_module(false);
    add_audio_programme(0xC001, 3, 33);
    add_audio_programme(0xC002, 7, 16);
    ASSERT_EQ(m->get_subch_info(route), 1);
    std::vector<bytes> selects;
    for (const auto &b : mscfake::st().sent)
        if (b.size() >= 2 && b[1] == 0x06) selects.push_back(b);
    ASSERT_EQ(selects.size(), 2u);
    // valid flags 8, input 3, output 1, subfunction 2, pd 1, no service id, subchannel
    EXPECT_EQ(selects[1], (bytes{0x01, 0x06, 0x00, 0x0B, 8, 3, 1, 2, 1, 0, 0, 0, 0, 0, 7}));
    EXPECT_EQ(selects[0].back(), 3);
}

TEST_F(rebuild_test, previous_tables_stay_without_fig_0_1_or_0_2) {
    add_audio_programme(0xC001, 3, 33);
    ASSERT_EQ(m->get_subch_info(), 1);

    ens->fic_stream->clearall();
    add_service(0xC002, {{0, 4, 1}});
    EXPECT_EQ(m->get_subch_info(), 0);
    EXPECT_EQ(m->service[0].sid, 0xC001);
    EXPECT_EQ(m->subchsize(3), 384);
    EXPECT_EQ(m->subchsize(4), 0);

    ens->fic_stream->clearall();
    add_subchannel_short(4, 16);
    EXPECT_EQ(m->get_subch_info(), 0);
    EXPECT_EQ(m->service[0].sid, 0xC001);
    EXPECT_EQ(m->subchsize(4), 0);

    // Nothing happens while the tables are not to be built.
    add_service(0xC002, {{0, 4, 1}});
    m->first = 0;
    EXPECT_EQ(m->get_subch_info(), 0);
    EXPECT_EQ(m->service[0].sid, 0xC001);
}

TEST_F(rebuild_test, invalid_audio_framesize_is_refused) {
    add_service(0xC001, {{0, 3, 1}});
    add_service(0xC002, {{1, 4, 1}});
    add_subchannel_long(3, 0, 4, 200);  // 1200 bytes cannot be an audio frame
    add_subchannel_long(4, 0, 4, 200);  // a data stream may be that large
    ASSERT_EQ(m->get_subch_info(), 1);
    EXPECT_TRUE(logged("subch:3 invalid framesize:1200, audio 1\n"));
    EXPECT_EQ(m->subchsize(3), 0);
    EXPECT_EQ(m->service[0].sc[0].framesize, 1200);  // the component shows what was signalled
    EXPECT_EQ(m->subchsize(4), 1200);
    ens->clean->route_table(m->subchannel);
    EXPECT_FALSE(logged("select_subchannel: 3\n"));
    EXPECT_TRUE(logged("select_subchannel: 4\n"));
}

TEST_F(rebuild_test, module_display_names_only_the_first_16_audio_subchannels) {
    open_module(true);
    for (int i = 0; i < 17; i++) add_audio_programme(0xC000 + i, i, 33);
    add_ensemble(0x1001);
    add_label(0, 0x1001, "Demo Ensemble", 0xF000);
    ens->clean->last_good_signal = time(nullptr);
    ASSERT_EQ(m->get_subch_info(route), 1);

    std::vector<bulk_transfer_t> names;
    for (const auto &b : mscfake::st().bulks)
        if (b.data[0] == BULK_NAME) names.push_back(b);
    ASSERT_EQ(names.size(), 1u + 16 + 16 + 1);
    EXPECT_EQ(names[0].data[1], 0);
    EXPECT_EQ(names[0].data[2], 255);
    EXPECT_STREQ(reinterpret_cast<const char *>(names[0].data + 4), "Demo Ensemble");
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(names[1 + static_cast<size_t>(i)].data[1], i);
        EXPECT_EQ(names[1 + static_cast<size_t>(i)].data[4], 0);
        const auto &n = names[17 + static_cast<size_t>(i)];
        EXPECT_EQ(n.data[1], i);
        EXPECT_EQ(n.data[2], i);  // subchannel
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(n.data + 4)), "Prog " + std::to_string(i));
    }
    EXPECT_EQ(names.back().data[2], 254);
    EXPECT_EQ(names.back().data[4], 16);

    // Without a recent good signal the display is left alone.
    mscfake::st().bulks.clear();
    ens->clean->last_good_signal = time(nullptr) - 10;
    ASSERT_EQ(m->get_subch_info(), 1);
    for (const auto &b : mscfake::st().bulks) EXPECT_NE(b.data[0], BULK_NAME);
}

TEST_F(rebuild_test, departed_subchannel_ends_its_streams) {
    add_audio_programme(0xC001, 3, 33);
    add_audio_programme(0xC002, 4, 33);
    ASSERT_EQ(m->get_subch_info(), 1);
    EXPECT_EQ(ens->rbuff->get_streambuf(4)->active, 1);

    ens->fic_stream->clearall();
    add_audio_programme(0xC001, 3, 33);
    ASSERT_EQ(m->get_subch_info(), 1);
    EXPECT_EQ(ens->rbuff->get_streambuf(3)->active, 1);
    EXPECT_EQ(ens->rbuff->get_streambuf(4)->active, 0);
    EXPECT_EQ(m->service[1].sc, nullptr);
}

TEST_F(rebuild_test, more_than_64_services_and_long_labels_are_cut) {
    for (int i = 0; i < 70; i++) add_service(0x4000 + i, {{0, i & 63, 1}});
    add_subchannel_short(0, 33);
    add_label(1, 0x4006, "A label far too long for sixteen", 0xFFFF);
    ASSERT_EQ(m->get_subch_info(), 1);
    int n = 0;
    while (n < 64 && m->service[n].sc) n++;
    EXPECT_EQ(n, 64);
    for (int i = 1; i < 64; i++) EXPECT_LT(m->service[i - 1].sid, m->service[i].sid);
    // Store order is newest first: the six oldest records did not find a slot.
    EXPECT_EQ(m->service[0].sid, 0x4006);
    EXPECT_STREQ(m->service[0].label, "A label far too ");
    EXPECT_STREQ(m->service[0].shortlabel, "A label ");
}

// ---- frame decoding ----

class decode_test : public msc_fixture {
protected:
    void SetUp() override {
        msc_fixture::SetUp();
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(ens->rdi_stream->init_rdi_buffer(1), 1);
        add_audio_programme(0xC001, 1, 33);  // 128 kbit/s: 384 bytes
        add_service(0xC002, {{1, 2, 1}});
        add_subchannel_long(2, 0, 2, 320);  // 960 bytes: a whole number of 20-bit groups
        add_service(0xC003, {{3, 0x042, 1}});
        add_packet_component(0x042, 5);
        add_subchannel_long(5, 0, 3, 24);  // 96 bytes
        add_audio_programme(0xC004, 6, 16);  // 64 kbit/s: 192 bytes
        add_audio_programme(0xC005, 7, 63);  // 384 kbit/s: 1152 bytes
        ASSERT_EQ(m->get_subch_info(), 1);
        ens->cfg->fd = fds[0];
        for (int s : {1, 2, 5, 6, 7}) ens->rbuff->set_req(s);
    }
    void TearDown() override {
        for (int s : {1, 2, 5, 6, 7}) ens->rbuff->unset_req(s);
        ens->cfg->fd = -1;
        ens->rdi_stream->init_rdi_buffer(0);
        close(fds[0]);
        close(fds[1]);
        msc_fixture::TearDown();
    }
    void feed(const std::vector<unsigned int> &w) {
        ASSERT_EQ(write(fds[1], w.data(), w.size() * 4), static_cast<ssize_t>(w.size() * 4));
    }
    void feed_sentinel() { feed({sentinel}); }
    void expect_sentinel_next() { EXPECT_EQ(ens->rdi_stream->lget_from_stream(), sentinel); }
    // A frame's header as the receiver sends it; the reader takes it and gathers the frame.
    void header(int subch, size_t len, int packing) { feed({dabcommon::rdi_msc_header(subch, len, packing)}); }
    void dispatch_next() { ens->rdi_stream->dispatch(ens->rdi_stream->lget_from_stream()); }
    int decode(int subch, const bytes &f, int packing22) {
        return m->decode_sub(subch, f.data(), static_cast<int>(f.size()), false, packing22);
    }
    // A frame the reader found cut short by a word without flags after these bytes.
    int decode_cut(int subch, bytes f, int packing22) {
        f.resize(f.size() + (packing22 ? 11 : 5), 0);
        return m->decode_sub(subch, f.data(), static_cast<int>(f.size()), true, packing22);
    }

    static constexpr unsigned int sentinel = 0x00ABC001;
    int fds[2] = {-1, -1};
};

TEST_F(decode_test, overlong_last_group_is_cut_to_the_frame) {
    const bytes frame = pattern(385);
    header(1, 385, 20);
    feed(pack20(frame));  // 77 groups
    feed_sentinel();
    dispatch_next();
    EXPECT_EQ(ring(1, 0), bytes(frame.begin(), frame.begin() + 384));
    expect_sentinel_next();

    header(1, 385, 22);
    feed(pack22(frame));  // 35 groups of 11
    feed_sentinel();
    dispatch_next();
    const bytes both = ring(1, 0);
    ASSERT_EQ(both.size(), 768u);
    EXPECT_EQ(bytes(both.begin() + 384, both.end()), bytes(frame.begin(), frame.begin() + 384));
    expect_sentinel_next();
    EXPECT_EQ(ens->st->msccnt_sum, 2u);
}

TEST_F(decode_test, exact_frame_takes_no_word_of_the_next) {
    const bytes frame = pattern(960, 3);
    header(2, 960, 20);
    feed(pack20(frame));  // exactly 192 groups
    feed_sentinel();
    dispatch_next();
    EXPECT_EQ(ring(2, 0), frame);
    expect_sentinel_next();
}

TEST_F(decode_test, flagless_word_ends_the_frame) {
    // After 380 bytes the group that ends early still holds the 4 bytes missing.
    bytes frame = pattern(385, 5);
    std::vector<unsigned int> w = pack20(frame);
    w.pop_back();
    w[152] &= ~3u;  // first word of group 77 without flags: the group is cut short
    header(1, 384, 20);
    feed(w);
    feed_sentinel();
    dispatch_next();
    bytes want(frame.begin(), frame.begin() + 382);
    want.push_back(frame[382] & 0xF0);  // the word's flag bits are not data
    want.push_back(0);
    EXPECT_EQ(ring(1, 0), want);
    expect_sentinel_next();
    EXPECT_EQ(ens->st->msccnt_err, 0u);

    // After 300 bytes it is a premature end: the rest of the frame is filled with 0xFF.
    w = pack20(pattern(300, 9));
    w.push_back(0x00123400);
    header(1, 384, 20);
    feed(w);
    feed_sentinel();
    dispatch_next();
    const bytes all = ring(1, 0);
    ASSERT_EQ(all.size(), 768u);
    EXPECT_EQ(bytes(all.begin() + 384, all.begin() + 684), pattern(300, 9));
    EXPECT_EQ(bytes(all.begin() + 684, all.end()), bytes(84, 0xFF));
    EXPECT_TRUE(logged("decode_sub: premature end of data 300/384 subch:1\n"));
    EXPECT_EQ(ens->st->msccnt_err, 1u);
    expect_sentinel_next();
}

TEST_F(decode_test, unrequested_or_unknown_subchannel_reads_nothing) {
    const bytes f = pattern(384);
    EXPECT_EQ(decode(9, f, 0), 0);   // not in the configuration
    EXPECT_EQ(decode(3, f, 0), 0);   // requested by nobody
    EXPECT_EQ(decode(64, f, 0), 0);  // no such subchannel
    EXPECT_EQ(ens->st->msccnt_sum, 0u);
    // The reader leaves such a frame's words to the dispatcher.
    header(3, 384, 20);
    feed_sentinel();
    dispatch_next();
    expect_sentinel_next();
}

TEST_F(decode_test, a_frame_never_takes_more_than_its_header_announces) {
    // The configuration says 384 bytes, the stream carries frames of 192: each header is seen.
    for (int i = 0; i < 2; i++) {
        header(1, 192, 20);
        feed(pack20(pattern(192, i)));
    }
    feed_sentinel();
    dispatch_next();
    dispatch_next();
    const bytes all = ring(1, 0);
    ASSERT_EQ(all.size(), 768u);
    EXPECT_EQ(bytes(all.begin() + 384, all.begin() + 576), pattern(192, 1));
    EXPECT_EQ(bytes(all.begin() + 576, all.end()), bytes(192, 0xFF));
    EXPECT_EQ(ens->st->msccnt_sum, 2u);
    EXPECT_EQ(ens->st->msccnt_err, 2u);
    expect_sentinel_next();
}

TEST_F(decode_test, packet_frames_carry_the_marker_and_are_scored) {
    bytes frame(96, 0);
    frame[2] = 10;    // good
    frame[26] = 120;  // impossible useful length
    frame[50] = 3;
    frame[74] = 4;
    m->packet_errors = 10;
    EXPECT_EQ(decode(5, frame, 0), 96);
    bytes want = {0xFF, 0xFE, 0xFD, 0xFC};
    want.insert(want.end(), frame.begin(), frame.end());
    EXPECT_EQ(ring(5, 0), want);
    EXPECT_EQ(m->packet_errors.load(), 10 - 3 + 5);
}

TEST_F(decode_test, pad_records_follow_the_audio_frames) {
    // 48 kHz: one record per logical frame.
    const bytes f1 = mpeg1_frame(384, 0x20, 0x02, {0x02, 0x00, 0xD1, 0xD2, 0xD3, 0xD4});
    const bytes f2 = mpeg1_frame(384, 0x00, 0x00, {});
    EXPECT_EQ(decode(1, f1, 1), 384);
    EXPECT_EQ(decode(1, f2, 1), 384);
    const bytes pad = ring(1, 1);
    ASSERT_EQ(pad.size(), 14u + 32u);
    EXPECT_EQ(bytes(pad.begin() + 8, pad.begin() + 14), bytes({0x02, 0x00, 0xD1, 0xD2, 0xD3, 0xD4}));
    EXPECT_EQ(rec_len(pad.data() + 14), 32);

    // A whole 1152-byte frame is assembled, its F-PAD included.
    const bytes big = audio_frame(1152, 0xFD, 0xE4, 0x04, 0x10, 0x00, {0xB1, 0xB2, 0xB3, 0xB4});
    EXPECT_EQ(decode(7, big, 1), 1152);
    EXPECT_EQ(ring(7, 0), big);
    const bytes pad7 = ring(7, 1);
    ASSERT_EQ(pad7.size(), 12u);
    EXPECT_EQ(bytes(pad7.begin() + 8, pad7.end()), bytes({0xB1, 0xB2, 0xB3, 0xB4}));
}

TEST_F(decode_test, mpeg2_frames_span_two_logical_frames) {
    // MPEG-2 at 24 kHz, 64 kbit/s (index 8): 384 bytes in two logical frames of 192.
    const bytes a = audio_frame(384, 0xF5, 0x84, 0x04, 0x10, 0x00, {0xC1, 0xC2, 0xC3, 0xC4});
    const bytes b = audio_frame(384, 0xF5, 0x84, 0x04, 0x10, 0x00, {0xE1, 0xE2, 0xE3, 0xE4});
    for (const bytes *f : {&a, &b, &a}) {
        EXPECT_EQ(decode(6, bytes(f->begin(), f->begin() + 192), 0), 192);
        EXPECT_EQ(decode(6, bytes(f->begin() + 192, f->end()), 0), 192);
    }
    // A record appears when the next frame begins: two so far, for a and b.
    const bytes pad = ring(6, 1);
    ASSERT_EQ(pad.size(), 24u);
    EXPECT_EQ(bytes(pad.begin() + 8, pad.begin() + 12), bytes({0xC1, 0xC2, 0xC3, 0xC4}));
    EXPECT_EQ(bytes(pad.begin() + 20, pad.begin() + 24), bytes({0xE1, 0xE2, 0xE3, 0xE4}));

    // A routine rebuild with the same configuration keeps the half frame in assembly.
    ASSERT_EQ(m->get_subch_info(), 1);
    EXPECT_EQ(decode(6, bytes(b.begin(), b.begin() + 192), 0), 192);
    EXPECT_EQ(ring(6, 1).size(), 36u);
}

TEST_F(decode_test, restarted_decoders_forget_their_frames_and_keep_the_routes) {
    const bytes a = audio_frame(384, 0xF5, 0x84, 0x04, 0x10, 0x00, {0xC1, 0xC2, 0xC3, 0xC4});
    const bytes b = audio_frame(384, 0xF5, 0x84, 0x04, 0x10, 0x00, {0xE1, 0xE2, 0xE3, 0xE4});
    auto both_halves = [&](const bytes &f) {
        EXPECT_EQ(decode(6, bytes(f.begin(), f.begin() + 192), 0), 192);
        EXPECT_EQ(decode(6, bytes(f.begin() + 192, f.end()), 0), 192);
    };
    both_halves(a);
    m->restart_decoders();
    // The record a waited for is gone; b's comes as the next frame begins.
    both_halves(b);
    EXPECT_EQ(decode(6, bytes(a.begin(), a.begin() + 192), 0), 192);
    const bytes pad = ring(6, 1);
    ASSERT_EQ(pad.size(), 12u);
    EXPECT_EQ(bytes(pad.begin() + 8, pad.end()), bytes({0xE1, 0xE2, 0xE3, 0xE4}));
    EXPECT_EQ(m->subchsize(6), 192);
    EXPECT_EQ(m->subchsize(1), 384);
}

TEST_F(decode_test, premature_frame_gives_no_pad) {
    const bytes a = audio_frame(384, 0xF5, 0x84, 0x04, 0x10, 0x00, {0xC1, 0xC2, 0xC3, 0xC4});
    // The second half breaks off: the frame pair is lost for PAD, and so is the next tail.
    EXPECT_EQ(decode(6, bytes(a.begin(), a.begin() + 192), 0), 192);
    EXPECT_EQ(decode_cut(6, bytes(a.begin() + 192, a.begin() + 292), 0), 192);
    EXPECT_EQ(decode(6, bytes(a.begin() + 192, a.end()), 0), 192);
    EXPECT_TRUE(ring(6, 1).empty());

    // A premature 48 kHz frame is skipped, the next complete one is used.
    const bytes f = mpeg1_frame(384, 0x10, 0x00, {1, 2, 3, 4});
    EXPECT_EQ(decode_cut(1, bytes(f.begin(), f.begin() + 100), 0), 384);
    EXPECT_EQ(decode(1, f, 0), 384);
    EXPECT_EQ(ring(1, 1).size(), 12u);
}

TEST_F(decode_test, contents_indicators_are_kept_per_subchannel) {
    // Subchannel 1 starts a dynamic label (6 bytes of X-PAD), subchannel 7 a MOT object (14 bytes).
    const bytes dl = mpeg1_frame(384, 0x20, 0x02, {0x02, 0x00, 1, 2, 3, 4});
    const bytes mot = audio_frame(1152, 0xFD, 0xE4, 0x04, 0x20, 0x02, {0x6C, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    const bytes dl_cont = mpeg1_frame(384, 0x20, 0x00, pattern(6, 50));
    const bytes mot_cont = audio_frame(1152, 0xFD, 0xE4, 0x04, 0x20, 0x00, pattern(14, 60));
    EXPECT_EQ(decode(1, dl, 1), 384);
    EXPECT_EQ(decode(7, mot, 1), 1152);
    EXPECT_EQ(decode(1, dl_cont, 1), 384);
    EXPECT_EQ(decode(7, mot_cont, 1), 1152);

    const bytes p1 = ring(1, 1), p7 = ring(7, 1);
    ASSERT_EQ(p1.size(), 14u + 14u);
    EXPECT_EQ(bytes(p1.begin() + 22, p1.end()), pattern(6, 50));
    ASSERT_EQ(p7.size(), 22u + 22u);
    EXPECT_EQ(bytes(p7.begin() + 30, p7.end()), pattern(14, 60));
}

TEST_F(decode_test, reader_stopping_ends_the_frame) {
    header(1, 384, 20);
    feed(pack20(pattern(100)));
    const unsigned int w = ens->rdi_stream->lget_from_stream();
    ens->cfg->finished = 1;
    ens->rdi_stream->dispatch(w);
    EXPECT_EQ(ens->st->msccnt_sum, 0u);
    ens->cfg->finished = 0;
}

}  // namespace
