// Encoder bytes against vectors computed by hand from the standards: a wrong bit here would
// pass unnoticed by a receiver that is lenient, or by one that shares the mistake.
#include <gtest/gtest.h>

#include <cstring>

#include "common/crc16.h"
#include "common/dab_tables.h"
#include "desc.h"
#include "fig.h"
#include "mot.h"
#include "pad.h"

using namespace dabgen;

namespace {
bytes crc_tail(bytes b) {
    uint16_t c = dabcommon::crc16(b.data(), b.size());
    b.push_back(static_cast<uint8_t>(c >> 8));
    b.push_back(static_cast<uint8_t>(c));
    return b;
}
}  // namespace

TEST(Crc16, CheckValues) {
    const struct { const char *in; uint16_t crc; } cases[] = {{"123456789", 0xD64E}, {"abc", 0xAEB5}, {"", 0x0000},
                                                         // eight bytes at a time and a tail
                                                         {"The quick brown fox jumps over the lazy dog", 0x7022}};
    for (const auto &c : cases)
        EXPECT_EQ(dabcommon::crc16(reinterpret_cast<const uint8_t *>(c.in), strlen(c.in)), c.crc) << c.in;
    // continuing a register over two parts gives the same result as one pass
    const uint8_t *d = reinterpret_cast<const uint8_t *>("123456789");
    EXPECT_EQ(static_cast<uint16_t>(~dabcommon::crc16_update(dabcommon::crc16_update(0xFFFF, d, 4), d + 4, 5)), 0xD64E);
}

TEST(Tables, SubchannelSizes) {
    EXPECT_EQ(dabcommon::uep_index(128, 3), 35);
    EXPECT_EQ(dabcommon::uep_table[63].size, 416);
    EXPECT_EQ(dabcommon::uep_index(56, 1), -1);  // no such profile
    EXPECT_EQ(dabcommon::eep_size(0, 3, 32), 24);
    EXPECT_EQ(dabcommon::eep_size(1, 1, 64), 54);
    EXPECT_EQ(dabcommon::eep_size(1, 1, 48), -1);
    EXPECT_EQ(dabcommon::eep_bitrate(0, 2, 96), 96);
    EXPECT_EQ(dabcommon::eep_bitrate(1, 1, 27), 32);
    EXPECT_EQ(dabcommon::layer2_bitrate_index(128, false), 8);
    EXPECT_EQ(dabcommon::layer2_bitrate_index(64, true), 8);
    // Exact channel names only, on the raster the module tunes.
    const struct { const char *name; int khz; } channels[] = {
        {"12C", 227360}, {"la", 1452960}, {"LW", 1490624}, {"5a", 174928}, {"13F", 239200}, {"10N", 210096},
        {"12n", 224096}, {"14Z", -1}, {"13G", -1}, {"5E", -1}, {"4A", -1}, {"9N", -1}, {"LX", -1}, {"1", -1},
        {"", -1}, {"12CC", -1}, {"A5", -1},
    };
    for (const auto &c : channels) EXPECT_EQ(dabcommon::channel_frequency_khz(c.name), c.khz) << c.name;
}

TEST(Fig, Type0Vectors) {
    const struct { const char *what; bytes got, want; } cases[] = {
        {"0/0 EId C1D1 CIF 1249", fig0_0(0xC1D1, 1249), {0x05, 0x00, 0xC1, 0xD1, 0x04, 0xF9}},
        {"0/1 short, subch 1 at 0, index 35", pack_fig0(1, false, {fig0_1_short(1, 0, 35)})[0],
         {0x04, 0x01, 0x04, 0x00, 0x23}},
        {"0/1 long, subch 5 at 262, 3A size 24", fig0_1_long(5, 262, 0, 3, 24), {0x15, 0x06, 0x88, 0x18}},
        {"0/1 long, 1B size 27", fig0_1_long(2, 0, 1, 1, 27), {0x08, 0x00, 0x90, 0x1B}},
        {"0/2 audio D101 on subch 1", fig0_2_entry(0xD101, false, {{0, 0, 1, true}}), {0xD1, 0x01, 0x01, 0x00, 0x06}},
        {"0/2 packet E0D10001 SCId 0x042", fig0_2_entry(0xE0D10001, true, {{3, 0x042, 0, true}}),
         {0xE0, 0xD1, 0x00, 0x01, 0x01, 0xC1, 0x0A}},
        {"0/3 SCId 1 DSCTy 60 subch 5 addr 0x101", fig0_3_entry(1, 60, 5, 0x101), {0x00, 0x10, 0x3C, 0x15, 0x01}},
        {"0/8 long form", fig0_8_entry_long(0xD101, false, 0, 0x123), {0xD1, 0x01, 0x00, 0x81, 0x23}},
        {"0/9 LTO -1:30", fig0_9(-3, 0xE0, 0x01), {0x04, 0x09, 0x63, 0xE0, 0x01}},
        // 2000-01-01 12:34:56.789 UTC: MJD 51544
        {"0/10 long form", fig0_10(946730096, 789), {0x07, 0x0A, 0x32, 0x56, 0x1B, 0x22, 0xE3, 0x15}},
        {"0/13 slideshow", fig0_13_entry(0xD101, false, 0, {{0x002, {0x0C, 0x3C}}}), {0xD1, 0x01, 0x01, 0x00, 0x42, 0x0C, 0x3C}},
        {"0/17 static PTy 10", fig0_17_entry(0xD101, true, 10), {0xD1, 0x01, 0x00, 0x0A}},
    };
    for (const auto &c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(Fig, PackingSplitsAtThirtyBytes) {
    std::vector<bytes> entries(12, bytes{1, 2, 3, 4, 5});  // 60 bytes of entries
    auto figs = pack_fig0(2, false, entries);
    ASSERT_EQ(figs.size(), 3u);
    size_t total = 0;
    for (const auto &f : figs) {
        EXPECT_LE(f.size(), 30u);
        EXPECT_EQ(f[0] & 0x1F, static_cast<int>(f.size() - 1));  // length field counts the body
        total += f.size() - 2;
    }
    EXPECT_EQ(total, 60u);
}

TEST(Fig, LabelsAndCarousel) {
    bytes l = fig1_0(0xC1D1, "Caf\xC3\xA9", 0xF000);  // UTF-8 e acute
    ASSERT_EQ(l.size(), 22u);
    EXPECT_EQ(l[0], 0x35);  // type 1, length 21
    EXPECT_EQ(l[1], 0x00);  // EBU Latin, extension 0
    EXPECT_EQ(l[7], 0x82);  // e acute in the EBU Latin repertoire
    EXPECT_EQ(l[8], ' ');
    EXPECT_EQ(l[20], 0xF0);
    EXPECT_EQ(fig1_5(0xE0D10001, "X", 0x8000)[2], 0xE0);

    fic_carousel c;
    c.set_figs({fig1_1(0xD101, "A", 0x8000), fig1_1(0xD102, "B", 0x8000)});
    uint8_t fic[96];
    c.build({fig0_0(1, 0)}, fic, 1);
    for (int i = 0; i < 3; i++) {
        uint16_t crc = dabcommon::crc16(fic + 32 * i, 30);
        bool ok = crc == (fic[32 * i + 30] << 8 | fic[32 * i + 31]);
        EXPECT_EQ(ok, i != 1) << "FIB " << i;
    }
    EXPECT_EQ(fic[0], 0x05);                  // FIG 0/0 leads FIB 0
    EXPECT_EQ(fic[6], 0x35);                  // then a label
    EXPECT_EQ(fic[6 + 22], 0xFF);             // end marker after 28 bytes
    EXPECT_EQ(fic[29], 0x00);                 // padding
}

TEST(Packet, HeaderAndCrc) {
    uint8_t p[96];
    bytes data(91, 0x5A);
    make_packet(p, 96, 0x101, 2, 2, data.data(), 91);
    EXPECT_EQ(p[0], 0xE9);  // length 96, CI 2, first, address bits 9-8
    EXPECT_EQ(p[1], 0x01);
    EXPECT_EQ(p[2], 91);
    EXPECT_EQ(dabcommon::crc16(p, 94), p[94] << 8 | p[95]);

    // a data group of 100 bytes: 91 in a first packet, 9 in a last packet of 24 bytes
    packet_encoder enc(7, 96);
    enc.push(bytes(100, 1));
    int len = 0;
    ASSERT_TRUE(enc.next(p, 96, len));
    EXPECT_EQ(len, 96);
    EXPECT_EQ(p[0] & 0x3C, 0x08);  // CI 0, first
    ASSERT_TRUE(enc.next(p, 96, len));
    EXPECT_EQ(len, 24);
    EXPECT_EQ(p[0], 0x14);  // length 24, CI 1, last
    EXPECT_EQ(p[2], 9);
    EXPECT_FALSE(enc.next(p, 96, len));
}

TEST(MscDataGroup, HeadersAndMotCore) {
    dg_params prm;
    prm.type = 3;
    prm.continuity = 5;
    prm.transport_id = 0x1234;
    uint8_t d[] = {0xAA, 0xBB};
    EXPECT_EQ(msc_data_group(prm, d, 2), crc_tail({0x73, 0x50, 0x80, 0x00, 0x12, 0x12, 0x34, 0xAA, 0xBB}));
    prm.corrupt_crc = true;
    EXPECT_NE(msc_data_group(prm, d, 2), crc_tail({0x73, 0x50, 0x80, 0x00, 0x12, 0x12, 0x34, 0xAA, 0xBB}));

    dg_params ip;
    ip.session = false;
    EXPECT_EQ(msc_data_group(ip, d, 2), crc_tail({0x40, 0x00, 0xAA, 0xBB}));

    // body 12345 bytes, header 7 bytes, image/JPEG
    EXPECT_EQ(mot_header(12345, 2, 1, {}), (bytes{0x00, 0x03, 0x03, 0x90, 0x03, 0x84, 0x01}));
    EXPECT_EQ(mot_content_name("a.jpg"), (bytes{0xCC, 0x06, 0x00, 'a', '.', 'j', 'p', 'g'}));
    EXPECT_EQ(mot_param_int(17, 1, 1), (bytes{0x51, 0x01}));
    EXPECT_EQ(mot_trigger_now(), (bytes{0x85, 0, 0, 0, 0}));
    EXPECT_EQ(mot_param(34, bytes(200, 'x')).size(), 203u);  // two-byte length form
    EXPECT_EQ(mot_param(34, bytes(200, 'x'))[1], 0x80);

    int cont = 15;
    auto dgs = mot_data_groups(4, 7, bytes(2500, 0), 1024, cont, [] { return false; });
    ASSERT_EQ(dgs.size(), 3u);
    EXPECT_EQ(dgs[0][1] >> 4, 15);
    EXPECT_EQ(dgs[1][1] >> 4, 0);  // continuity index wraps
    EXPECT_EQ(dgs[2][2], 0x80);    // last segment flag
    EXPECT_EQ(dgs[2][3], 2);
    EXPECT_EQ((dgs[2][7] & 0x1F) << 8 | dgs[2][8], 452);  // segment size of the rest

    bytes dir = mot_directory({{0x10, mot_header(5, 1, 0, {})}}, 30, 1024, mot_param(34, {1, 'i'}));
    EXPECT_EQ(dir.size(), 13u + 4u + 9u);
    EXPECT_EQ(dir[3], 26);                 // DirectorySize counts the whole object
    EXPECT_EQ(dir[5], 1);                  // one object
    EXPECT_EQ(dir[12], 4);                 // extension length
    EXPECT_EQ(dir[17] << 8 | dir[18], 0x10);  // transport id of the entry
}

TEST(Pad, LabelSegmentsAndXpadPacking) {
    auto segs = dl_segments("ABC", true);
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_EQ(segs[0], crc_tail({0xE2, 0x00, 'A', 'B', 'C'}));
    segs = dl_segments(std::string(20, 'x'), false);
    ASSERT_EQ(segs.size(), 2u);
    EXPECT_EQ(segs[0][0], 0x4F);  // first, 16 characters
    EXPECT_EQ(segs[1][0], 0x23);  // last, 4 characters
    EXPECT_EQ(segs[1][1], 0x10);  // segment number 1
    EXPECT_EQ(dl_segments(std::string(200, 'y'), false).size(), 8u);  // cut at 128 characters
    EXPECT_EQ(dl_clear(false), crc_tail({0x11, 0x00}));
    EXPECT_EQ(dg_length_indicator(300), crc_tail({0x01, 0x2C}));

    xpad_encoder x;
    x.queue_dl(bytes(7, 0xAB));
    bytes f = x.fill(16);
    ASSERT_EQ(f.size(), 10u);
    EXPECT_EQ(f[0], 0x42);  // 8 bytes (indicator 2), dynamic label start
    EXPECT_EQ(f[1], 0x00);  // end marker
    EXPECT_EQ(f[9], 0x00);  // padding after the 7 segment bytes
    EXPECT_TRUE(x.fill(16).empty());

    // a MOT data group: length indicator first, then start and continuation sub-fields
    x.queue_mot(bytes(40, 0xCD));
    f = x.fill(32);
    ASSERT_GE(f.size(), 3u);
    EXPECT_EQ(f[0], 0x01);        // 4 bytes, data group length indicator
    EXPECT_EQ(f[1] & 0x1F, 12);   // MOT start
    EXPECT_LE(f.size(), 32u);
    f = x.fill(32);
    EXPECT_EQ(f[0] & 0x1F, 13);   // continuation
}

TEST(Description, ErrorsNameTheLine) {
    ensemble_desc d;
    std::string err;
    const struct { const char *text; const char *msg; } cases[] = {
        {"[ensemble]\nlabel \"X\"\nbitrat 5\n", "t.ens:3: unknown keyword \"bitrat\""},
        {"label \"X\"\n", "t.ens:1: keyword"},
        {"[audio]\nsid 0xD101\nlabel \"A\"\nsubchannel 1\nbitrate 100\n", "t.ens:1: [audio] service: no UEP"},
        {"[audio]\nlabel \"This label is far too long\"\n", "t.ens:2: label longer"},
        {"[audio]\nlabel \"Radio\" \"Rx\"\n", "t.ens:2: short label"},
        {"[packet]\nmulticast 10.0.0.1 5000\n", "t.ens:2: 10.0.0.1 is not a multicast group"},
        {"[ensemble]\nlabel \"open\n", "t.ens:2: unterminated string"},
        {"[audio]\nsid 0xD101\nlabel \"A\"\nsubchannel 1\nbitrate 384\nprotection uep 1\n"
         "[audio]\nsid 0xD102\nlabel \"B\"\nsubchannel 2\nbitrate 384\nprotection uep 1\n"
         "[audio]\nsid 0xD103\nlabel \"C\"\nsubchannel 3\nbitrate 384\nprotection uep 1\n",
         "t.ens: sub-channels need 1248 CUs"},
    };
    for (const auto &c : cases) {
        EXPECT_FALSE(parse_description(c.text, "t.ens", d, err)) << c.text;
        EXPECT_EQ(err.rfind(c.msg, 0), 0u) << err;
    }
    EXPECT_TRUE(parse_description("[packet]\nsid 0xE0D10001\nlabel \"P\"\nsubchannel 5\nbitrate 16\n"
                                  "application ipdab\nmulticast 239.1.2.3 5000 4\n",
                                  "t.ens", d, err))
        << err;
    EXPECT_TRUE(d.services[0].long_sid);
    EXPECT_EQ(d.services[0].mcast_addr, 0xEF010203u);
    EXPECT_EQ(short_label_flags("ABC DEF", "ABC"), 0xE000);
    EXPECT_EQ(short_label_flags("Demo Tones", "Tones"), 0x07C0);
    EXPECT_EQ(short_label_flags("ABC", "CBA"), -1);
}

TEST(IpDatagram, Checksums) {
    bytes d = ipv4_udp(0x0A000001, 0xEF010203, 5000, 5000, 4, 1, bytes{'h', 'i', '!'});
    ASSERT_EQ(d.size(), 31u);
    uint32_t s = 0;
    for (int i = 0; i < 20; i += 2) s += static_cast<uint32_t>(d[i] << 8 | d[i + 1]);
    while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
    EXPECT_EQ(s, 0xFFFFu);
    EXPECT_EQ(d[8], 4);
    EXPECT_EQ(d[9], 17);
    EXPECT_EQ(d[22] << 8 | d[23], 5000);
    EXPECT_EQ(d[24] << 8 | d[25], 11);
}
