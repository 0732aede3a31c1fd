// The receiver device's own parts: its names, the sample formats, the inputs' ends, the
// rtl_tcp conversation, and a source that hears nothing.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "sdr/iq_source.h"
#include "sdr/sdr_source.h"
#include "support/test_support.h"

using testsupport::temp_dir;
using testsupport::write_file;

TEST(sdr_name, forms_and_options) {
    const struct {
        int line;
        const char *name;
        int ok;
        sdr_options::kind_t kind;
        const char *target;
        int port;
        bool loop;
        double speed;
    } cases[] = {
        {__LINE__, "sdr:file=/x/rec.iq", 1, sdr_options::file, "/x/rec.iq", 0, false, 1},
        {__LINE__, "sdr:file=a.iq,format=cf32,loop,speed=2.5", 1, sdr_options::file, "a.iq", 0, true, 2.5},
        {__LINE__, "sdr:rtl_tcp=127.0.0.1:1234", 1, sdr_options::rtl_tcp, "127.0.0.1", 1234, false, 1},
        {__LINE__, "sdr:rtl_tcp=::1:1234,speed=4", 1, sdr_options::rtl_tcp, "::1", 1234, false, 4},
        {__LINE__, "sdr:rtlsdr", 1, sdr_options::rtlsdr, "", 0, false, 1},
        {__LINE__, "sdr:rtlsdr=2", 1, sdr_options::rtlsdr, "", 0, false, 1},
        {__LINE__, "sdr:file=", 0, sdr_options::none, "", 0, false, 1},
        {__LINE__, "sdr:file=a.iq,format=u16", 0, sdr_options::none, "", 0, false, 1},
        {__LINE__, "sdr:file=a.iq,speed=0", 0, sdr_options::none, "", 0, false, 1},
        {__LINE__, "sdr:rtl_tcp=host", 0, sdr_options::none, "", 0, false, 1},
        {__LINE__, "sdr:rtl_tcp=host:70000", 0, sdr_options::none, "", 0, false, 1},
        {__LINE__, "sdr:rtl_tcp=host:1,loop", 0, sdr_options::none, "", 0, false, 1},
        {__LINE__, "sdr:rtlsdr=x", 0, sdr_options::none, "", 0, false, 1},
        {__LINE__, "sim:12c", 0, sdr_options::none, "", 0, false, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        sdr_options o;
        ASSERT_EQ(parse_sdr_name(c.name, o), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(o.kind, c.kind);
        EXPECT_EQ(c.kind == sdr_options::file ? o.path : o.host, c.target);
        EXPECT_EQ(o.port, c.port);
        EXPECT_EQ(o.loop, c.loop);
        EXPECT_DOUBLE_EQ(o.speed, c.speed);
    }
    sdr_options o;
    ASSERT_EQ(parse_sdr_name("sdr:rtlsdr=2", o), 1);
    EXPECT_EQ(o.index, 2);
    ASSERT_EQ(parse_sdr_name("sdr:file=a,format=s16le", o), 1);
    EXPECT_EQ(o.format, iq_format::s16le);
}

TEST(iq_formats, full_scale_and_zero) {
    const float nan = std::nanf("");
    uint8_t cf32[16];
    const float f[4] = {0.5f, -1.0f, nan, 0.25f};
    std::memcpy(cf32, f, sizeof f);
    const struct {
        int line;
        iq_format fmt;
        std::vector<uint8_t> bytes;
        float re, im;
    } cases[] = {
        // u8 as rtl_sdr writes it: 127.5 is zero, 255 full scale
        {__LINE__, iq_format::u8, {255, 0}, 1.0f, -1.0f},
        {__LINE__, iq_format::u8, {191, 64}, 63.5f / 127.5f, -63.5f / 127.5f},
        {__LINE__, iq_format::s8, {0x40, 0x80}, 0.5f, -1.0f},
        {__LINE__, iq_format::s16le, {0x00, 0x40, 0x00, 0xC0}, 0.5f, -0.5f},
        {__LINE__, iq_format::cf32, {cf32, cf32 + 8}, 0.5f, -1.0f},
        // no NaN from a recording into the front end
        {__LINE__, iq_format::cf32, {cf32 + 8, cf32 + 16}, 0.0f, 0.25f},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        std::complex<float> out[2];
        // a trailing partial sample is not converted
        std::vector<uint8_t> b = c.bytes;
        b.push_back(0x7F);
        ASSERT_EQ(iq_convert(c.fmt, b.data(), b.size(), out), 1u);
        EXPECT_FLOAT_EQ(out[0].real(), c.re);
        EXPECT_FLOAT_EQ(out[0].imag(), c.im);
    }
}

TEST(file_input, ends_or_loops_and_drops_a_cut_sample) {
    temp_dir d;
    write_file(d.file("five.iq"), std::string("\xFF\x00\x00\xFF\xFF", 5));  // 2 samples and a cut one
    write_file(d.file("empty.iq"), "");
    std::complex<float> s[8];

    file_iq_source once;
    ASSERT_EQ(once.open(d.file("five.iq"), iq_format::u8, false), 1);
    EXPECT_EQ(once.read(s, 8, 10), 2);
    EXPECT_EQ(once.read(s, 8, 10), -1);
    EXPECT_EQ(once.read(s, 8, 10), -1) << "an ended input stays ended";

    file_iq_source looped;
    ASSERT_EQ(looped.open(d.file("five.iq"), iq_format::u8, true), 1);
    EXPECT_EQ(looped.read(s, 8, 10), 2);
    // After the wrap the file starts again at its first sample, not at the cut byte.
    EXPECT_EQ(looped.read(s, 8, 10), 2);
    EXPECT_FLOAT_EQ(s[0].real(), 1.0f);
    EXPECT_FLOAT_EQ(s[0].imag(), -1.0f);

    file_iq_source empty;
    ASSERT_EQ(empty.open(d.file("empty.iq"), iq_format::u8, true), 1);
    EXPECT_EQ(empty.read(s, 8, 10), -1) << "an empty looped file would spin forever";

    file_iq_source missing;
    EXPECT_EQ(missing.open(d.file("none.iq"), iq_format::u8, false), 0);
}

namespace {

// One rtl_tcp client served by hand: the greeting, then whatever the client sends is kept.
struct fake_rtltcp {
    int listener = -1, port = 0;
    std::string got;
    std::thread t;

    explicit fake_rtltcp(const std::string &greeting, const std::string &samples) {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            ADD_FAILURE() << "no listener";
        port = ntohs(a.sin_port);
        t = std::thread([this, greeting, samples] {
            const int fd = accept(listener, nullptr, nullptr);
            if (fd < 0) return;
            (void)!write(fd, greeting.data(), greeting.size());
            (void)!write(fd, samples.data(), samples.size());
            char buf[256];
            timeval tv{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
            close(fd);
        });
    }
    ~fake_rtltcp() {
        if (t.joinable()) t.join();
        close(listener);
    }
};

const std::string greeting("RTL0\0\0\0\x05\0\0\0\x1D", 12);

}  // namespace

TEST(rtltcp_input, greeting_commands_and_hang_up) {
    std::string cmds;
    {
        fake_rtltcp srv(greeting, std::string("\xFF\x00\x00\xFF", 4));
        rtltcp_iq_source in;
        ASSERT_EQ(in.open("127.0.0.1", srv.port), 1);
        std::complex<float> s[4];
        EXPECT_EQ(in.read(s, 4, 2000), 2);
        EXPECT_FLOAT_EQ(s[1].real(), -1.0f);
        EXPECT_TRUE(in.set_frequency(227360000));
        // The server's end of the connection after its 1 s of listening: lost for good.
        long r = 0;
        for (int i = 0; i < 50 && r == 0; i++) r = in.read(s, 4, 100);
        EXPECT_EQ(r, -1);
        srv.t.join();
        cmds = srv.got;
    }
    // sample rate 2048000, gain mode automatic, AGC on, then 227.36 MHz: command(8) value(32, big-endian)
    const std::string want("\x02\x00\x1F\x40\x00"
                           "\x03\x00\x00\x00\x00"
                           "\x08\x00\x00\x00\x01"
                           "\x01\x0D\x8D\x3D\x00",
                           20);
    EXPECT_EQ(cmds, want);
}

TEST(rtltcp_input, a_server_without_the_greeting_is_refused) {
    fake_rtltcp srv("HTTP/1.0 200", "");
    rtltcp_iq_source in;
    EXPECT_EQ(in.open("127.0.0.1", srv.port), 0);
}

TEST(sdr_source, noise_is_no_ensemble_and_its_end_a_removal) {
    temp_dir d;
    std::string noise(2 * 196608 * 3, '\0');
    uint32_t x = 1;
    for (char &c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    write_file(d.file("noise.iq"), noise);
    sdr_options o;
    ASSERT_EQ(parse_sdr_name(("sdr:file=" + d.file("noise.iq")).c_str(), o), 1);
    auto src = sdr_source::open(o);
    ASSERT_TRUE(src);
    dabcommon::eti_frame f;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!src->unplugged() && std::chrono::steady_clock::now() < until) {
        EXPECT_FALSE(src->has_ensemble(227360));
        EXPECT_NE(src->next(f, 50), 1);
    }
    EXPECT_TRUE(src->unplugged());
    EXPECT_EQ(src->frames_made(), 0u);
}
