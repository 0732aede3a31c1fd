// Status page, playlists and statistics page as a connection writes them.

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "httpd/util.h"
#include "module/dabapi.h"
#include "module/dcsr.h"
#include "pages_fixture.h"

namespace {

constexpr fig_time_t noon_utc = 1717243200;  // Sat 2024-06-01 12:00:00 UTC

using status_page = pages_fixture;

TEST_F(status_page, NothingTunedShowsTheServerClockAndNoServices) {
    c->display_status(0);
    const std::string raw = answer();
    EXPECT_NE(raw.find("Content-type: text/html\r\n"), std::string::npos);
    const std::string b = body(raw);
    EXPECT_EQ(b.rfind("<HTML><HEAD><TITLE>DAB-Status</TITLE></HEAD><BODY bgcolor=#FFFFFF><FONT FACE=\"Arial,Helvetica\">\n"
                      "<H2>Ensemble: <A HREF=\"http://radio:8000/playlist.m3u\">nothing tuned (0000)</A></H2>"
                      "System Time: <b> ",
                      0),
              0u)
        << b;
    EXPECT_EQ(b.find("GMT"), std::string::npos);
    EXPECT_EQ(b.find("<p>"), std::string::npos);
    ASSERT_GE(b.size(), 9u);
    EXPECT_EQ(b.substr(b.size() - 9), "</FONT>\r\n") << "the footer belongs to the dispatcher";
    // The server's local clock, to the minute.
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char year_day[32];
    snprintf(year_day, sizeof year_day, " %i/%i/%i, ", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
    EXPECT_NE(b.find(year_day), std::string::npos) << b;
}

TEST_F(status_page, EnsembleWithoutLabelShowsItsIdTwice) {
    add_fig<ensemble_information_t>(0, 0).eid = 0xC1D1;
    c->display_status(0);
    EXPECT_NE(answer().find(">C1D1 (C1D1)</A></H2>"), std::string::npos);
    EXPECT_EQ(c, nullptr);
    connect_from("192.0.2.7");
    copy_field(add_fig<dablabel_t>(1, 0).name, "DAB DEMO ONE    ");
    c->display_status(0);
    EXPECT_NE(answer().find(">DAB DEMO ONE     (C1D1)</A></H2>"), std::string::npos);
}

TEST_F(status_page, BroadcastTimeMovesByTheLocalTimeOffset) {
    const struct {
        const char *what;
        int lto;  // -1: no FIG 0/9
        const char *line;
    } cases[] = {
        {"no offset signalled", -1, "DAB-Time: <b> Sat 2024/6/1, 12:00:00</b><br><br><FONT FACE=\"Courier\">\n"},
        {"offset zero", 0, "DAB-Time: <b> Sat 2024/6/1, 12:00:00</b><br><br><FONT FACE=\"Courier\">\n"},
        {"one hour east", 2, "DAB-Time: <b> Sat 2024/6/1, 13:00:00 (GMT+0100)</b><br><br><FONT FACE=\"Courier\">\n"},
        {"one hour west", 0x22, "DAB-Time: <b> Sat 2024/6/1, 11:00:00 (GMT-0100)</b><br><br><FONT FACE=\"Courier\">\n"},
        {"half hours", 3, "DAB-Time: <b> Sat 2024/6/1, 13:30:00 (GMT+0130)</b><br><br><FONT FACE=\"Courier\">\n"},
        {"west over midnight", 0x20 | 25,
         "DAB-Time: <b> Fri 2024/5/31, 23:30:00 (GMT-1230)</b><br><br><FONT FACE=\"Courier\">\n"},
    };
    for (const auto &k : cases) {
        ens.fic_stream->clearall();
        connect_from("192.0.2.7");
        // The record stored first counts; a later one is ignored.
        add_fig<date_time_t>(0, 10).unixtime = noon_utc;
        add_fig<date_time_t>(0, 10).unixtime = noon_utc + 7200;
        if (k.lto >= 0) add_fig<country_t>(0, 9).ensemble_lto = k.lto;
        c->display_status(0);
        EXPECT_NE(answer().find(k.line), std::string::npos) << k.what;
    }
}

TEST_F(status_page, OffsetWithoutBroadcastTimeIsShownWithTheServerClock) {
    add_fig<country_t>(0, 9).ensemble_lto = 0x22;
    c->display_status(0);
    const std::string b = body(answer());
    EXPECT_NE(b.find("System Time: <b> "), std::string::npos);
    EXPECT_NE(b.find(" (GMT-0100)</b><br><br>"), std::string::npos) << b;
}

TEST_F(status_page, OneLinePerComponentByTransportMode) {
    add_fig<ensemble_information_t>(0, 0).eid = 0xC1D1;
    add_service(0xD101, 10, "Demo Tones",
                {{0, 1, 3, 128, 1, 0, "Tones Main"}, {0, 2, 2, 64, 0, 1, ""}, {1, 7, 1, 32, 0, 2, "Stream"},
                 {2, 8, 1, 16, 0, 3, ""}, {5, 9, 1, 8, 0, 4, "ignored"}});
    add_service(static_cast<int>(0xE0D10001), 0, "Web", {{3, 5, 3, 32, 1, 0, "Demo Web Pages"}});
    c->display_status(0);
    const std::string b = body(answer());
    const std::string expected =
        "<p><b>Demo Tones (d101) PTY: 10</b>"
        "<li>subchid:<b>01</b> prot:3 bitrate:<b>128</b> scids:0 label:<A HREF=\"http://radio:8000/playlist/1.m3u\">"
        "<b>Tones Main</b></A>&nbsp;<a href=\"http://radio:8000/data/c1d1/d101\">[PAD]</a></li>\n"
        "<li>subchid:<b>02</b> prot:2 bitrate:<b> 64</b> scids:1 label:<A HREF=\"http://radio:8000/playlist/2.m3u\">"
        "Demo Tones</A>&nbsp;<a href=\"http://radio:8000/data/c1d1/d101\">[PAD]</a></li>\n"
        "<li>subchid:<b>07</b> prot:1 stream data Stream</li>\n"
        "<li>subchid:<b>08</b> prot:1 <a href=\"/fidc\">FIDC data</a> Demo Tones</li>\n"
        "<p><b>Web (e0d10001) PTY:  0</b>"
        "<li>subchid:<b>05</b>  prot:3 bitrate:  32  <a href=\"http://radio:8000/stream/5\">packet data</a> "
        "<a href=\"http://radio:8000/data/c1d1/\">Demo Web Pages</a></li>\n"
        "</FONT>\r\n";
    ASSERT_GE(b.size(), expected.size());
    EXPECT_EQ(b.substr(b.size() - expected.size()), expected);
}

TEST_F(status_page, BroadcastLabelsAreTextNotMarkup) {
    copy_field(add_fig<dablabel_t>(1, 0).name, "<script>&\"");
    add_service(0xD101, 1, "<b>x</b>", {{0, 1, 3, 128, 0, 0, "<img src=1>"}});
    c->display_status(0);
    const std::string b = body(answer());
    EXPECT_EQ(b.find("<script>"), std::string::npos);
    EXPECT_EQ(b.find("<img"), std::string::npos);
    EXPECT_NE(b.find("&lt;script&gt;&amp;&quot; (0000)"), std::string::npos) << b;
    EXPECT_NE(b.find("<p><b>&lt;b&gt;x&lt;/b&gt; (d101)"), std::string::npos);
    EXPECT_NE(b.find("&lt;img src=1&gt;</A>"), std::string::npos);
}

TEST_F(status_page, HeaderFileOfTheDocumentRootReplacesTheDefaultHead) {
    mkdir(dir.file("root").c_str(), 0755);
    testsupport::write_file(dir.file("root/header.html"), "<html><!-- own head -->\n");
    c->display_status(0);
    const std::string b = body(answer());
    EXPECT_EQ(b.rfind("<html><!-- own head -->\n<H2>Ensemble: ", 0), 0u) << b;
}

using playlist = pages_fixture;

TEST_F(playlist, ListsAudioStreamsOnly) {
    add_service(0xD101, 1, "A", {{0, 1, 3, 128, 1, 0, ""}, {3, 5, 3, 32, 0, 1, ""}});
    add_service(0xD102, 1, "B", {{0, 1, 3, 128, 1, 0, ""}, {0, 3, 0, 96, 0, 1, "no protection level yet"}});
    add_service(0xD103, 1, "C", {{0, 2, 3, 128, 1, 0, ""}});
    const struct {
        const char *what;
        int mode;
        const char *body;
    } cases[] = {
        {"all programmes, a shared subchannel twice", -1,
         "http://radio:8000/stream/1.mp2\nhttp://radio:8000/stream/1.mp2\nhttp://radio:8000/stream/2.mp2\n"},
        {"one subchannel", 2 + 1, "http://radio:8000/stream/2.mp2\n"},
        {"packet data subchannel", 5 + 1, ""},
        {"audio without protection level", 3 + 1, ""},
        {"absent subchannel", 63 + 1, ""},
    };
    for (const auto &k : cases) {
        connect_from("192.0.2.7");
        c->display_status(k.mode);
        const std::string raw = answer();
        EXPECT_NE(raw.find("Content-type: audio/x-mpegurl\r\n"), std::string::npos) << k.what;
        EXPECT_NE(raw.find("Connection: close\r\n"), std::string::npos) << k.what;
        EXPECT_EQ(raw.find("Content-Length"), std::string::npos) << k.what;
        EXPECT_EQ(body(raw), k.body) << k.what;
    }
}

TEST_F(playlist, EndsAtTheFirstServiceWithoutComponents) {
    add_service(0xD101, 1, "A", {{0, 1, 3, 128, 1, 0, ""}});
    ens.service[2].sid = 0xD1FF;  // beyond the end: never read
    ens.service[2].numofsc = 1000;
    c->display_status(-1);
    EXPECT_EQ(body(answer()), "http://radio:8000/stream/1.mp2\n");
}

using audio_selector = pages_fixture;

TEST_F(audio_selector, ClientThatStopsReadingLeavesTheServiceTableFree) {
    const std::vector<comp> comps(15, comp{0, 7, 3, 128, 0, 0, "Sixteen letters!"});
    for (int i = 0; i < MAX_SERVICES; i++) add_service(0xD100 + i, 1, "Service", comps);
    int tiny = 1;  // the smallest send buffer the system allows: the selector cannot be sent at once
    ASSERT_EQ(setsockopt(c->s, SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny), 0);
    std::atomic<bool> done(false);
    std::thread t([&] {
        c->put_programmes();
        done = true;
    });
    usleep(300000);
    const bool blocked = !done.load();
    const int lock_result = pthread_mutex_trylock(&ens.msc_stream->lck);
    if (lock_result == 0) pthread_mutex_unlock(&ens.msc_stream->lck);
    std::string got;
    char buf[65536];
    while (!done.load() || got.find("</form>") == std::string::npos) {
        pollfd pfd{peer, POLLIN, 0};
        if (poll(&pfd, 1, 2000) <= 0) break;
        ssize_t n = recv(peer, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    t.join();
    EXPECT_TRUE(blocked) << "the client read nothing, so the selector could not be sent yet";
    EXPECT_EQ(lock_result, 0) << "the service table stays locked while a client does not read";
    size_t options = 0;
    for (size_t p = got.find("<option value=\"7\" >Sixteen letters!</option>\r\n"); p != std::string::npos;
         p = got.find("<option value=", p + 1))
        options++;
    EXPECT_EQ(options, static_cast<size_t>(MAX_SERVICES * 15));
}

using statistic_page = pages_fixture;

std::string row(const std::string &name, const std::string &value) {
    return "<tr><td><FONT FACE=Courier>" + name + "</FONT></td><td><FONT FACE=Courier>" + value +
           "</FONT></td></tr>\r\n";
}

TEST_F(statistic_page, EveryRowInOrder) {
    statistic &st = *ens.st;
    st.clear();
    st.rdicnt_ovr = 7;
    st.rdicnt_sum = 3ULL << 30;
    st.rdicnt_err = 1023;
    st.fibcnt_sum = 1536;
    st.fibcnt_err = 3;
    st.figcnt_sum = 5ULL << 20;
    st.figcnt_unk = 1;
    st.figcnt_err = 0;
    st.msccnt_sum = 0;
    st.msccnt_err = 0;
    st.httpcnt_req = 2ULL << 40;
    st.httpcnt_con = 2;
    ens.d->ds.ber_fic = 2;
    ens.d->ds.tune_freq = 14210;
    ens.d->ds.mode = 1;
    ens.api->usb = 0;
    ens.cfg->starttime = time(nullptr) - 90061;
    add_fig<sub_channel_organization_t>(0, 1).sub_channel_size = 432;
    add_fig<sub_channel_organization_t>(0, 1).sub_channel_size = 432;
    c->display_statistic();
    const std::string b = body(answer());
    const std::string expected = "<table cellspacing=\"0\" cellpadding=\"0\">\r\n" +
                                 row("Bit Error Rate (BER):", "<5e-03 (2)") +
                                 row("Tuned to:", "227360Khz") + row("Transmission Mode:", "1, 96ms/frame") +
                                 row("MSC Bandwidth Allocation:", "864 CUs, 100.00%, 2.20MBit/s") +
                                 row("RDI Overruns (PCI):", "7") + row("Total DWORDS RDI:", "3221225472 (3.00G) ") +
                                 row("Bad DWORDS RDI:", "1023, 0.00%") + row("Total FIBs:", "1536 (1.50k)") +
                                 row("Bad FIBs:", "3, 0.20%") + row("Total FIGs:", "5242880 (5.00M)") +
                                 row("Unknown FIGs:", "1, 0.00%") + row("Bad FIGs:", "0, 0.00%") +
                                 row("Total MSC frames:", "0") + row("Bad MSC frames:", "0, 0.00%") +
                                 row("Total HTTP Requests:", "2199023255552 (2.00T)") +
                                 row("Active HTTP streams:", " 2") + row("Uptime:", "1.01:01") + "</table>\r\n";
    EXPECT_NE(b.find(expected), std::string::npos) << b;
    EXPECT_NE(b.find("<H2>FIG Overview</H2>"), std::string::npos);
    EXPECT_NE(b.find("<a href=\"/stat\">statistics</a>"), std::string::npos) << "footer";
}

TEST_F(statistic_page, EmptyStoreAndOddModuleStatus) {
    ens.d->ds.ber_fic = 12;  // no class of that number
    ens.d->ds.mode = 9;
    ens.api->usb = 1;
    c->display_statistic();
    const std::string b = body(answer());
    EXPECT_EQ(b.rfind("<HTML><HEAD><TITLE>DAB-Statistics</TITLE></HEAD>", 0), 0u);
    EXPECT_NE(b.find(row("Bit Error Rate (BER):", " (12)")), std::string::npos);
    EXPECT_NE(b.find(row("Transmission Mode:", "9, 0ms/frame")), std::string::npos);
    EXPECT_NE(b.find(row("MSC Bandwidth Allocation:", "0 CUs, 0.00%, 0.00MBit/s")), std::string::npos);
    EXPECT_NE(b.find(row("RDI Overruns (USB):", "0")), std::string::npos);
}

// Two pages built at the same moment must each show their own uptime.
TEST(timespan, KeepsOneResultPerThread) {
    auto worker = [](time_t span, const char *text, bool *ok) {
        for (int i = 0; i < 20000; i++) {
            const char *t = timespan(span, zs_runtime);
            std::this_thread::yield();
            if (strcmp(t, text) != 0) {
                *ok = false;
                return;
            }
        }
    };
    bool ok1 = true, ok2 = true;
    std::thread a(worker, 90061, "1.01:01", &ok1);
    std::thread b(worker, 59, "00:00", &ok2);
    a.join();
    b.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
}

}  // namespace
