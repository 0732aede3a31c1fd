// Packet mode: the CRC, data group headers, packet checks and data group assembly on
// hand-built bytes, and the packet thread on recorded streams, hand-built and generated
// (clean and with faults).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/crc16.h"
#include "common/eti_reader.h"
#include "core/config.h"
#include "core/plattform.h"
#include "datapath/datapath_env.h"
#include "desc.h"
#include "generator.h"
#include "mot.h"
#include "mot/crc.h"
#include "mot/motmain.h"
#include "mot/msc_dg.h"
#include "mot/packet.h"
#include "support/test_support.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes packet(int plen, int ci, int first_last, int addr, const bytes &data) {
    bytes p(static_cast<size_t>(plen));
    dabgen::make_packet(p.data(), plen, addr, ci, first_last, data.data(), static_cast<int>(data.size()));
    return p;
}

// A packet whose useful data length says udl, with a CRC that matches.
bytes with_udl(bytes p, int udl) {
    p[2] = static_cast<unsigned char>(udl & 0x7F);
    const uint16_t c = dabcommon::crc16(p.data(), p.size() - 2);
    p[p.size() - 2] = static_cast<unsigned char>(c >> 8);
    p[p.size() - 1] = static_cast<unsigned char>(c);
    return p;
}

bytes filled(size_t n, unsigned char first) {
    bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = static_cast<unsigned char>(first + i);
    return b;
}

// A service decoder that records what the assembly hands over: (error, data group).
using calls_t = std::vector<std::pair<int, bytes>>;
struct recorder {
    msc_buf_t *buf;
    calls_t *calls;
};
void *rec_install(void *context, packet_state_t *, p_service_component_t *psc, packet_info_t *) {
    auto *r = new recorder{msc_buffer_init(), static_cast<calls_t *>(context)};
    psc->msc_buf = r->buf;
    return r;
}
void rec_group(void *, packet_state_t *, p_service_component_t *psc, int error) {
    auto *r = static_cast<recorder *>(psc->state);
    r->calls->push_back({error, error ? bytes{} : bytes(r->buf->buf, r->buf->buf + r->buf->bl)});
}
void rec_free(void *, packet_state_t *, p_service_component_t *psc) {
    auto *r = static_cast<recorder *>(psc->state);
    msc_buffer_free(r->buf);
    delete r;
}

class PacketTest : public ::testing::Test {
protected:
    void SetUp() override {
        table_.context = &calls;
        ps = init_packet(&mot, 5, "/nonexistent/", "");
        ASSERT_NE(ps, nullptr);
        packet_info_t pi{5, 1, 0x7001, 60, 1, "Web", nullptr};
        ASSERT_EQ(ps_install_service(ps, &pi, &table_, 60), 1);
    }
    void TearDown() override { packet_free(ps); }
    uint64_t counter(int i) const { return mot.subchannels[5].stat.stats[i]; }
    int feed(const bytes &p) { return parse_packet(ps, p.data()); }

    dptest::datapath_env env;
    mot_dec_class mot{&env.ens};
    packet_state_t *ps = nullptr;
    calls_t calls;
    packet_callbacks_t table_ = {"Recorder", "test", 1, {60}, rec_install, rec_group, nullptr, rec_free, nullptr,
                                 nullptr};
};

}  // namespace

TEST(MscDataGroup, CrcAndHeaderLengths) {
    const unsigned char digits[] = "123456789", abc[] = "abc";
    EXPECT_EQ(calc_crc(digits, 9), 0xD64Eu);
    EXPECT_EQ(calc_crc(abc, 3), 0xAEB5u);
    EXPECT_EQ(calc_crc(abc, 0), 0u);

    bytes eua15 = {0x20, 0x00, 0x80, 0x00, 0x1F, 0xAB, 0xCD};
    for (int i = 0; i < 13; i++) eua15.push_back(static_cast<unsigned char>(i));
    eua15[0] = 0x30;
    struct {
        const char *what;
        bytes dg;
        int length, last, segnum, transid, addrlen;
    } cases[] = {
        {"no extension, no session header", {0x00, 0x00, 0xEE}, 2, 1, 0, 0, 0},
        {"MOT: extension, segment, transport id", {0xF3, 0x00, 0x12, 0x34, 0x80, 0x05, 0x32, 0xAB, 0xCD}, 9, 1, 5,
         0xABCD, 0},
        {"length indicator 15: 13 bytes of end user address", eua15, 20, 1, 0, 0xABCD, 13},
        {"segment field only", {0x20, 0x00, 0x00, 0x07, 0xEE}, 4, 0, 7, 0, 0},
        {"user access field only, no transport id", {0x10, 0x00, 0x02, 0x11, 0x22, 0xEE}, 5, 1, 0, 0, 2},
        {"cut inside the extension field", {0x80, 0x00, 0x12}, -1, 0, 0, 0, 0},
        {"cut inside the end user address", {0x30, 0x00, 0x80, 0x00, 0x1F, 0xAB, 0xCD, 0x01}, -1, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        msc_dg_ses_hdr_t h;
        const int n = mot_get_msc_dg_ses_hdr(&h, c.dg.data(), static_cast<int>(c.dg.size()));
        EXPECT_EQ(n, c.length);
        if (n < 0) continue;
        EXPECT_EQ(h.last, c.last);
        EXPECT_EQ(h.segnum, c.segnum);
        EXPECT_EQ(h.transid, c.transid);
        EXPECT_EQ(h.addrlen, c.addrlen);
    }
}

TEST_F(PacketTest, ChecksCountBadPacketsAndResynchroniseOnlyWhenOutOfStep) {
    EXPECT_EQ(feed(packet(24, 1, 3, 1, {1, 2, 3})), 24);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::pair<int, bytes>{0, {1, 2, 3}}));

    // Longer than the packet: out of step. Into the CRC: a bad packet, the stream still in step.
    EXPECT_EQ(feed(with_udl(packet(96, 2, 3, 1, {}), 100)), -1);
    EXPECT_EQ(counter(MS_PACKET_BAD_LENGTH), 1u);
    EXPECT_EQ(feed(with_udl(packet(96, 2, 3, 1, {}), 92)), 96);
    EXPECT_EQ(counter(MS_PACKET_BAD_LENGTH), 2u);
    EXPECT_EQ(feed(with_udl(packet(96, 2, 3, 1, filled(91, 0)), 91)), 96);
    EXPECT_EQ(calls.size(), 2u) << "91 bytes fill the data field exactly";

    bytes broken = packet(48, 3, 3, 1, {9});
    broken[10] ^= 0x40;
    EXPECT_EQ(feed(broken), 48);
    EXPECT_EQ(counter(MS_PACKET_CRC_ERRORS), 1u);
    EXPECT_EQ(feed(packet(24, 0, 3, 77, {1})), 24);
    EXPECT_EQ(counter(MS_PACKET_UNKNOWN), 1u);
    EXPECT_EQ(counter(MS_PACKETS), 5u);
    EXPECT_EQ(counter(MS_PACKET_BYTES), 24u + 96 + 96 + 48 + 24);
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(PacketTest, OnlyWholeDataGroupsAreDelivered) {
    // first, intermediate, last
    const bytes a = filled(19, 0), b = filled(19, 50), c = filled(5, 100);
    for (auto &p : {packet(24, 1, 2, 1, a), packet(24, 2, 0, 1, b), packet(24, 3, 1, 1, c)}) feed(p);
    bytes whole = a;
    whole.insert(whole.end(), b.begin(), b.end());
    whole.insert(whole.end(), c.begin(), c.end());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].second, whole);

    // A gap: the group in progress is lost, but a first packet that shows the gap starts its own
    // group, which arrived whole (else a loss before the same group in every carousel round
    // would never let it through).
    calls.clear();
    for (auto &p : {packet(24, 0, 2, 1, a), packet(24, 2, 2, 1, b), packet(24, 3, 1, 1, c), packet(24, 0, 3, 1, c)})
        feed(p);
    bytes bc = b;
    bc.insert(bc.end(), c.begin(), c.end());
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].first, 1);
    EXPECT_EQ(calls[1], (std::pair<int, bytes>{0, bc}));
    EXPECT_EQ(calls[2], (std::pair<int, bytes>{0, c}));
    EXPECT_EQ(env.count("#5.1: Missing packet, cur 2, last 0"), 1);

    // A middle packet after a gap is a fragment of a lost group: dropped, and the last packet
    // behind it finds nothing collected.
    calls.clear();
    for (auto &p : {packet(24, 1, 2, 1, a), packet(24, 3, 0, 1, b), packet(24, 0, 1, 1, c), packet(24, 1, 3, 1, a)})
        feed(p);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].first, 1);
    EXPECT_EQ(calls[1], (std::pair<int, bytes>{0, a}));

    // 9000 bytes overflow the buffer: lost, and not handed over at its last packet.
    calls.clear();
    int ci = 2;
    feed(packet(96, ci, 2, 1, filled(91, 0)));
    for (int i = 0; i < 98; i++) feed(packet(96, ci = (ci + 1) % 4, 0, 1, filled(91, 0)));
    feed(packet(96, ci = (ci + 1) % 4, 1, 1, filled(91, 0)));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, 1);
    EXPECT_EQ(env.count("MSC Buffer Overflow"), 1);
    feed(packet(24, (ci + 1) % 4, 3, 1, c));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1], (std::pair<int, bytes>{0, c}));
}

TEST_F(PacketTest, CatchAllDecoderIsInstalledOnceAndServesNoKnownService) {
    packet_info_t first{5, 2, 0x7002, 5, 3, "A", nullptr}, second{5, 3, 0x7003, 5, 4, "B", nullptr};
    EXPECT_EQ(ps_install_service(ps, &first, &default_packet_stream_handler, -1), 1);
    EXPECT_EQ(ps_install_service(ps, &second, &default_packet_stream_handler, -1), 0);
    EXPECT_EQ(ps->num_psc, 2);
    EXPECT_EQ(psc_find(ps, 900, 0), 1);
    feed(packet(24, 1, 3, 900, {1}));
    EXPECT_EQ(counter(MS_PACKET_UNKNOWN), 1u);
    feed(packet(24, 1, 3, 1, {1}));
    EXPECT_EQ(counter(MS_PACKET_UNKNOWN), 1u);
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(PacketTest, ThreadFindsPacketsBetweenMarkersAndSynchronisesAgain) {
    const bytes marker = {0xFF, 0xFE, 0xFD, 0xFC};
    bytes stream = {0xFF, 0xFE, 0xFD, 0x00, 0x42};  // a broken marker, then noise
    auto add = [&stream](const bytes &b) { stream.insert(stream.end(), b.begin(), b.end()); };
    add(marker);
    add(packet(24, 1, 3, 1, {1}));
    add(marker);  // at a packet start
    add(packet(48, 2, 3, 1, {2}));
    add(with_udl(packet(24, 3, 3, 1, {}), 100));
    add(packet(24, 3, 3, 1, {99}));  // skipped while synchronising
    add(marker);
    add(packet(24, 3, 3, 1, {3}));
    testsupport::temp_dir dir;
    testsupport::write_file(dir.file("stream"), std::string(stream.begin(), stream.end()));

    decoder_info_t hd{};
    hd.port = -1;
    copy_field(hd.path, dir.file("stream").c_str());
    hd.subchid = 5;
    hd.ps = ps;
    ps = nullptr;  // the thread frees it
    mot.mot_decoder_loop(&hd);
    ASSERT_EQ(calls.size(), 3u);
    for (int i = 0; i < 3; i++) EXPECT_EQ(calls[static_cast<size_t>(i)].second, bytes{static_cast<unsigned char>(i + 1)});
    EXPECT_EQ(counter(MS_PACKET_BAD_LENGTH), 1u);
    EXPECT_EQ(env.count("#5: Receive error, retry"), 5);
    EXPECT_EQ(hd.ps, nullptr);
    EXPECT_EQ(mot.hard_restart.load(), 1) << "a thread that ends on its own restarts the decoder";
}

namespace {

// The packet subchannel of a generated file carousel as the server's stream carries it: each
// frame behind a marker.
std::string packet_stream(const std::string &faults, std::string &err) {
    const std::string text = "[ensemble]\nlabel \"PACKET TEST\"\neid 0xC1D1\nchannel 12C\nduration 12\n"
                             "[packet]\nsid 0xE0D10002\nlabel Files\nsubchannel 5\nbitrate 32\nprotection eep 3A\n"
                             "address 2\nscid 2\npacket_size 48\napplication carousel\nfile files/readme.txt\n" +
                             faults;
    dabgen::ensemble_desc d;
    if (!dabgen::parse_description(text, "test", d, err)) return "";
    d.base_dir = testsupport::source_dir() + "/demo";
    dabgen::generator g(d);
    std::vector<std::string> notes;
    if (!g.init(err, notes)) return "";
    std::string out;
    uint8_t frame[dabgen::eti_frame_size];
    for (uint32_t n = 0; n < g.frame_count(); n++) {
        g.frame(n, frame);
        dabcommon::eti_frame f;
        dabcommon::parse_eti_frame(frame, sizeof frame, f);
        const int i = f.find_stream(5);
        if (i < 0) continue;
        out += "\xFF\xFE\xFD\xFC";
        out.append(reinterpret_cast<const char *>(f.stream_data(i)), static_cast<size_t>(f.stc[i].stl) * 8);
    }
    return out;
}

}  // namespace

TEST(GeneratedPackets, DecodeCleanlyAndFaultsShowInTheCounters) {
    for (const char *faults : {"", "[faults]\ndrop_packet 13\npacket_crc 7\ndg_crc 5\n"}) {
        SCOPED_TRACE(faults);
        std::string err;
        const std::string stream = packet_stream(faults, err);
        ASSERT_FALSE(stream.empty()) << err;
        testsupport::temp_dir dir;
        testsupport::write_file(dir.file("stream"), stream);

        dptest::datapath_env env;
        mot_dec_class mot{&env.ens};
        mot.register_service_decoders(-1);
        // A configuration that also names an audio subchannel as packet data.
        packet_info_t audio{1, 1, 0xD101, 60, 1, "Tones", nullptr};
        packet_info_t files{5, 2, static_cast<int>(0xE0D10002), 60, 2, "Files", &audio};
        mot.packet_info = &files;
        mot.subchannels[5].exist = mot.subchannels[5].changed = 1;
        mot.subchannels[1].exist = mot.subchannels[1].changed = mot.subchannels[1].type = 1;
        mot.setup_packet_decoder(mot.ps, 0, dir.path().c_str(), "", 0xC1D1);
        mot.packet_info = nullptr;
        EXPECT_EQ(mot.ps[1], nullptr);
        EXPECT_EQ(mot.subchannels[1].state, nullptr);
        ASSERT_NE(mot.ps[5], nullptr);
        EXPECT_EQ(mot.ps[5]->num_psc, 2) << "MOT and the catch-all";

        decoder_info_t hd{};
        hd.port = -1;
        copy_field(hd.path, dir.file("stream").c_str());
        hd.subchid = 5;
        hd.ps = mot.ps[5];
        mot.mot_decoder_loop(&hd);
        const uint64_t *st = mot.subchannels[5].stat.stats;
        EXPECT_EQ(st[MS_PACKET_BYTES], stream.size() - 4 * 500);
        EXPECT_EQ(st[MS_PACKET_BAD_LENGTH], 0u);
        EXPECT_EQ(env.count("Syncing to packet stream"), 6) << "once, then after each of the five retries at the end";
        if (!*faults) {
            EXPECT_EQ(st[MS_PACKET_CRC_ERRORS], 0u);
            EXPECT_EQ(env.count("Missing packet"), 0);
            EXPECT_EQ(env.count("CRC error"), 0);
        } else {
            EXPECT_GT(st[MS_PACKET_CRC_ERRORS], 0u);
            EXPECT_GT(env.count("Missing packet"), 0);
            EXPECT_GT(env.count("in MOT segment"), 0);
        }
    }
}
