// IP over DAB: which data groups leave as multicast, and how, seen from a socket joined to
// the group in a network of the test's own.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/config.h"
#include "core/plattform.h"
#include "datapath/datapath_env.h"
#include "ipdab/ip_dec.h"
#include "mot.h"
#include "mot/motmain.h"
#include "mot/packet.h"
#include "support/multicast_net.h"

namespace {

using bytes = std::vector<unsigned char>;

constexpr uint32_t group = 0xEF010203;  // 239.1.2.3

bytes udp(uint32_t dst, int ttl, const std::string &text) {
    return dabgen::ipv4_udp(0x0A000001, dst, 4000, 5000, ttl, 1, bytes(text.begin(), text.end()));
}

bytes data_group(const bytes &datagram, bool crc = true, int type = 0) {
    dabgen::dg_params p;
    p.type = type;
    p.session = false;
    p.crc = crc;
    return dabgen::msc_data_group(p, datagram.data(), datagram.size());
}

class IpOverDab : public ::testing::Test {
protected:
    static void SetUpTestSuite() { net_ = testsupport::private_multicast_net(why_); }
    void SetUp() override {
        if (!net_) GTEST_SKIP() << "no private network for multicast: " << why_;
        ps = init_packet(&mot, 6, "/nonexistent/", "");
        ASSERT_NE(ps, nullptr);
    }
    void TearDown() override { packet_free(ps); }

    // Installs the decoder for one more component; its slot, or -1 when it was not installed.
    int install(const char *ifname) {
        copy_field(env.ens.cfg->multicastif, ifname);
        packet_info_t pi{6, 3, 0x7003, 59, 1, "IP", nullptr};
        const int before = ps->num_psc;
        ps_install_service(ps, &pi, &default_packet_ip_handler, 59);
        return ps->num_psc > before ? ps->num_psc - 1 : -1;
    }
    ip_state_t *state(int slot) { return static_cast<ip_state_t *>(ps->psc[slot].state); }
    void hand_over(int slot, const bytes &dg, int mode = 0) {
        ip_state_t *is = state(slot);
        ASSERT_LE(dg.size(), static_cast<size_t>(MSC_BUF_SIZE));
        std::copy(dg.begin(), dg.end(), is->msc_buf.buf);
        is->msc_buf.bl = static_cast<int>(dg.size());
        ps_ip_handle(nullptr, ps, &ps->psc[slot], mode);
    }

    static bool net_;
    static std::string why_;
    dptest::datapath_env env;
    mot_dec_class mot{&env.ens};
    packet_state_t *ps = nullptr;
};
bool IpOverDab::net_ = false;
std::string IpOverDab::why_;

}  // namespace

TEST_F(IpOverDab, OnlyWholeUdpMulticastDatagramsAreSent) {
    testsupport::multicast_receiver rx("239.1.2.3", 5000);
    ASSERT_TRUE(rx.ok());
    const int slot = install("lo");
    ASSERT_GE(slot, 0);

    bytes broken_crc = data_group(udp(group, 4, "x"));
    broken_crc.back() ^= 1;
    bytes tcp = udp(group, 4, "tcp");
    tcp[9] = 6;
    bytes ihl15 = udp(group, 4, "ihl 15 in forty bytes");
    ihl15.resize(40);
    ihl15[0] = 0x4F;
    bytes udp_too_long = udp(group, 4, "short");
    udp_too_long[25] = 200;
    bytes fragment = udp(group, 4, "later part");
    fragment[7] = 10;
    bytes segmented = udp(group, 4, "segmented");
    const int rest = static_cast<int>(segmented.size());
    segmented.insert(segmented.begin(), {static_cast<unsigned char>(rest >> 8), static_cast<unsigned char>(rest)});
    struct {
        const char *what;
        bytes dg;
        int mode;
        const char *sent;  // payload that arrives, or null
        int ttl;
    } cases[] = {
        {"UDP to a group", data_group(udp(group, 4, "hello")), 0, "hello", 4},
        {"no data group CRC", data_group(udp(group, 9, "no crc"), false), 0, "no crc", 9},
        {"segmentation field in front", data_group(segmented), 0, "segmented", 4},
        {"CRC mismatch", broken_crc, 0, nullptr, 0},
        {"lost data group", data_group(udp(group, 4, "lost")), 1, nullptr, 0},
        {"data group type 1", data_group(udp(group, 4, "type 1"), true, 1), 0, nullptr, 0},
        {"TCP", data_group(tcp), 0, nullptr, 0},
        {"unicast", data_group(udp(0x0A000002, 4, "unicast")), 0, nullptr, 0},
        {"1501 bytes", data_group(udp(group, 4, std::string(1501 - 28, 'x'))), 0, nullptr, 0},
        {"IHL 15 in a 40-byte datagram", data_group(ihl15), 0, nullptr, 0},
        {"UDP length past the datagram", data_group(udp_too_long), 0, nullptr, 0},
        {"a later fragment", data_group(fragment), 0, nullptr, 0},
        {"shorter than its own header", {0x40, 0x00}, 0, nullptr, 0},
        {"1500 bytes", data_group(udp(group, 4, std::string(1500 - 28, 'y'))), 0, "", 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        hand_over(slot, c.dg, c.mode);
        std::string payload;
        int ttl = 0;
        const bool got = rx.receive(payload, ttl, c.sent ? 2.0 : 0.1);
        EXPECT_EQ(got, c.sent != nullptr) << payload;
        if (!got || !c.sent) continue;
        if (*c.sent) EXPECT_EQ(payload, c.sent);
        else EXPECT_EQ(payload.size(), 1500u - 28);
        EXPECT_EQ(ttl, c.ttl);
    }
    EXPECT_EQ(env.count("in IP datagram", LOG_WARN), 1);
    EXPECT_EQ(state(slot)->stat.stats[IP_FORWARDED], 4u);
    EXPECT_EQ(state(slot)->stat.stats[IP_DROPPED], 7u);
}

TEST_F(IpOverDab, OneSocketForEveryInstallAndTheConfiguredInterface) {
    const int first = install("");
    ASSERT_GE(first, 0);
    const int fd = ipo.fd;
    EXPECT_GE(fd, 0);
    EXPECT_LT(install("nosuchif0"), 0) << "an unknown interface installs nothing";
    EXPECT_EQ(env.count("no network interface \"nosuchif0\""), 1);
    const int second = install("lo");
    ASSERT_GE(second, 0);
    EXPECT_EQ(ipo.fd, fd);
    EXPECT_STREQ(ipo.device, "lo");

    // Both components send on the one socket.
    testsupport::multicast_receiver rx("239.1.2.3", 5000);
    hand_over(first, data_group(udp(group, 2, "one")));
    hand_over(second, data_group(udp(group, 3, "two")));
    std::string payload;
    int ttl = 0;
    ASSERT_TRUE(rx.receive(payload, ttl, 2));
    EXPECT_EQ(payload + std::to_string(ttl), "one2");
    ASSERT_TRUE(rx.receive(payload, ttl, 2));
    EXPECT_EQ(payload + std::to_string(ttl), "two3");
}
