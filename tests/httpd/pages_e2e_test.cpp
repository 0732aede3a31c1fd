// The pages and streams of a real dabserver on the virtual receiver module playing the demo
// ensembles, read by real clients.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "datapath/msc.h"
#include "support/e2e_support.h"

using testsupport::contiguous_run;
using testsupport::demo_server;
using testsupport::demo_signal_dir;
using testsupport::have_program;
using testsupport::http_body;
using testsupport::now_s;
using testsupport::stream_client;
using testsupport::subchannel_frames;
using testsupport::temp_dir;
using testsupport::wait_until;
using bytes = std::string;

namespace {

constexpr int FS1 = 384;  // subchannel 1 of 12C: 128 kbit/s

// PAD records of an audio subchannel as the decoder builds them from the generator's frames.
std::vector<bytes> expected_pad_records(const std::vector<bytes> &frames) {
    std::vector<bytes> out;
    subch_decoder_t st{};
    unsigned char buf[PAD_RECORD_MAX];
    // Twice round the loop, so that the second pass starts with the state the loop leaves behind.
    for (int pass = 0; pass < 2; pass++)
        for (const bytes &f : frames) {
            int n = extract_pad_record(st, buf, reinterpret_cast<const unsigned char *>(f.data()),
                                       static_cast<int>(f.size()));
            if (pass == 1) out.emplace_back(reinterpret_cast<const char *>(buf), static_cast<size_t>(n));
        }
    return out;
}

// Splits a PAD record stream that may begin inside a record; complete records only.
std::vector<bytes> split_records(const bytes &d) {
    auto plausible = [&](size_t o) {
        return o + 8 <= d.size() && static_cast<unsigned char>(d[o]) == 0xFF &&
               (static_cast<unsigned char>(d[o + 1]) & 0xF0) == 0xF0;
    };
    auto len_at = [&](size_t o) {
        return static_cast<size_t>(static_cast<unsigned char>(d[o + 4]) | static_cast<unsigned char>(d[o + 5]) << 8);
    };
    for (size_t o = 0; o < std::min<size_t>(d.size(), 256); o++) {
        std::vector<bytes> recs;
        size_t p = o;
        bool ok = true;
        while (p + 8 <= d.size()) {
            const size_t n = len_at(p);
            if (!plausible(p) || n < 8 || n > PAD_RECORD_MAX) {
                ok = false;
                break;
            }
            if (p + n > d.size()) break;
            recs.push_back(d.substr(p, n));
            p += n;
        }
        if (ok && recs.size() > 3) return recs;
    }
    return {};
}

TEST(pages_e2e, StatusPageAndPlaylistsOfTheDemoEnsemble) {
    NEED_DEMO_SIGNAL();
    demo_server srv("sim:" + demo_signal_dir() + ",speed=4");
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    ASSERT_TRUE(srv.table_ready(7)) << srv.get("/");
    const std::string page = srv.get("/");
    const std::string h = srv.host;
    EXPECT_NE(page.find("<H2>Ensemble: <A HREF=\"http://" + h +
                        "/playlist.m3u\">DAB DEMO ONE     (C1D1)</A></H2>DAB-Time: <b> Sat 2024/6/1, 13:00:"),
              std::string::npos)
        << page;
    EXPECT_TRUE(std::regex_search(page, std::regex(R"(13:00:[0-5][0-9] \(GMT\+0100\)</b><br><br><FONT FACE="Courier">)")));
    // A DAB+ programme's line is a Layer II one's, marked behind its PAD link.
    auto audio = [&](const char *label, const char *sid, int pty, int sub, const char *rate, bool plus = false) {
        char line[1024];
        snprintf(line, sizeof line,
                 "<p><b>%-16s (%s) PTY: %2d</b><li>subchid:<b>%02d</b> prot:3 bitrate:<b>%s</b> scids:0 label:<A "
                 "HREF=\"http://%s/playlist/%d.m3u\"><b>%-16s</b></A>&nbsp;<a "
                 "href=\"http://%s/data/c1d1/%s\">[PAD]</a>%s</li>\n",
                 label, sid, pty, sub, rate, h.c_str(), sub, label, h.c_str(), sid, plus ? "&nbsp;DAB+" : "");
        return std::string(line);
    };
    // Data services carry their names as data service labels, shown with their component.
    auto packet = [&](const char *sid, int sub, const char *rate, const char *label) {
        char line[1024];
        snprintf(line, sizeof line,
                 "<p><b> (%s) PTY:  0</b><li>subchid:<b>%02d</b>  prot:3 bitrate: %s  <a "
                 "href=\"http://%s/stream/%d\">packet data</a> <a href=\"http://%s/data/c1d1/\">%-16s</a></li>\n",
                 sid, sub, rate, h.c_str(), sub, h.c_str(), label);
        return std::string(line);
    };
    const std::string services[] = {
        packet("e0d10001", 5, " 32", "Demo Website"), packet("e0d10002", 5, " 32", "Demo Files"),
        packet("e0d10003", 6, "  8", "Demo IP"),      audio("Demo Tones", "d101", 10, 1, "128"),
        audio("Demo Sweep", "d102", 14, 2, "128"),    audio("Demo Voice", "d103", 1, 3, " 96"),
        audio("Demo Plus", "d104", 10, 4, " 96", true),
    };
    std::string list;
    for (const auto &s : services) list += s;
    EXPECT_NE(page.find(list + "</FONT>\r\n"), std::string::npos) << page;

    const std::string all = "http://" + h + "/stream/1.mp2\nhttp://" + h + "/stream/2.mp2\nhttp://" + h +
                            "/stream/3.mp2\nhttp://" + h + "/stream/4.loas\n";
    const std::string m3u = srv.get("/playlist.m3u");
    EXPECT_NE(m3u.find("Content-type: audio/x-mpegurl\r\n"), std::string::npos);
    EXPECT_EQ(http_body(m3u), all);
    EXPECT_EQ(http_body(srv.get("/playlist/ensemble.m3u")), all);
    EXPECT_EQ(http_body(srv.get("/playlist/2.m3u")), "http://" + h + "/stream/2.mp2\n");
    EXPECT_EQ(http_body(srv.get("/playlist/4.m3u")), "http://" + h + "/stream/4.loas\n");
    EXPECT_EQ(http_body(srv.get("/playlist/5.m3u")), "");
    EXPECT_EQ(http_body(srv.get("/playlist/9.m3u")), "");
}

TEST(pages_e2e, StreamsDeliverTheBroadcastBytesAndRefuseWhatIsNotThere) {
    NEED_DEMO_SIGNAL();
    testsupport::demo_options one_conn;
    one_conn.ini = "httpmaxconn 1\n";
    demo_server srv("sim:" + demo_signal_dir() + ",speed=4", one_conn);
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    ASSERT_TRUE(srv.table_ready(6));

    const auto frames = subchannel_frames(demo_signal_dir() + "/12c.eti", 1);
    ASSERT_GT(frames.size(), 100u);
    ASSERT_EQ(frames[0].size(), static_cast<size_t>(FS1));
    {
        stream_client audio(srv.port, "/stream/1.mp2");
        ASSERT_EQ(audio.status(), 200) << audio.head;
        EXPECT_NE(audio.head.find("Content-type: audio/x-mpeg\r\n"), std::string::npos);
        EXPECT_NE(audio.head.find("icy-name:Demo Tones      \r\n"), std::string::npos);
        stream_client pad(srv.port, "/xpad/1");
        ASSERT_EQ(pad.status(), 200);
        EXPECT_NE(pad.head.find("Content-type: application/octet-stream\r\n"), std::string::npos);
        ASSERT_TRUE(audio.read_bytes(200 * FS1, 30));
        ASSERT_TRUE(pad.read_for(1));
        std::string why;
        EXPECT_TRUE(contiguous_run(frames, audio.data, &why)) << why;

        const auto expected = expected_pad_records(frames);
        const auto got = split_records(pad.data);
        ASSERT_GT(got.size(), 20u) << pad.data.size() << " bytes of PAD records";
        // The first records may still carry the decoder's state from before the stream began.
        const size_t first = 5;
        bool matched = false;
        for (size_t k = 0; k < expected.size() && !matched; k++) {
            size_t i = first;
            while (i < got.size() && got[i] == expected[(k + i - first) % expected.size()]) i++;
            matched = i == got.size();
        }
        EXPECT_TRUE(matched) << "the PAD records are no run of the generator's X-PAD";
    }

    for (const char *path : {"/stream/65", "/stream/64", "/stream/9", "/xpad/9", "/fidc"})
        EXPECT_EQ(srv.get(path).rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << path;
    // Nothing stayed registered: the statistics show no stream, remote or otherwise.
    const std::string stat = srv.get("/stat", true);
    EXPECT_NE(stat.find("Active HTTP streams:</FONT></td><td><FONT FACE=Courier> 0</FONT>"), std::string::npos);

    // [::1] is a remote client: one audio stream at a time; local clients are never refused.
    {
        stream_client one(srv.port, "/stream/1.mp2", true);
        ASSERT_EQ(one.status(), 200);
        stream_client two(srv.port, "/stream/2.mp2", true);
        EXPECT_EQ(two.status(), 503);
        stream_client pad(srv.port, "/xpad/2", true);
        EXPECT_EQ(pad.status(), 200) << "side data is not limited";
        stream_client local(srv.port, "/stream/2.mp2");
        EXPECT_EQ(local.status(), 200);
        EXPECT_TRUE(local.read_bytes(10 * FS1, 10));
    }
    // Once the remote stream has noticed its client left, the next one is served.
    EXPECT_TRUE(wait_until(10, [&] {
        stream_client again(srv.port, "/stream/2.mp2", true);
        return again.status() == 200;
    }));
}

// mpg123 and ffprobe play ten seconds of a live stream at broadcast pace.
TEST(pages_e2e, RealPlayersDecodeTheStream) {
    NEED_DEMO_SIGNAL();
    if (!have_program("/usr/bin/mpg123") || !have_program("/usr/bin/ffprobe"))
        GTEST_SKIP() << "mpg123 or ffprobe missing";
    demo_server srv("sim:" + demo_signal_dir() + ",speed=1");
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    ASSERT_TRUE(srv.table_ready(6));
    testsupport::run_result mpg, ff;
    std::thread player([&] {
        // 417 frames of 24 ms: ten seconds.
        mpg = testsupport::run({"/usr/bin/mpg123", "-t", "-v", "-n", "417", srv.url("/stream/1.mp2")}, "", 40);
    });
    ff = testsupport::run({"/usr/bin/ffprobe", "-v", "error", "-read_intervals", "%+10", "-show_entries",
                           "stream=codec_name,sample_rate,bit_rate:frame=pkt_size", "-of", "csv=p=0",
                           srv.url("/stream/3.mp2")},
                          "", 40);
    player.join();
    EXPECT_EQ(mpg.status, 0) << mpg.err;
    EXPECT_NE(mpg.err.find("MPEG 1.0 L II cbr128 48000"), std::string::npos) << mpg.err;
    EXPECT_EQ(mpg.err.find("rror"), std::string::npos) << mpg.err;
    EXPECT_EQ(mpg.err.find("Illegal"), std::string::npos) << mpg.err;
    EXPECT_NE(mpg.err.find("416+"), std::string::npos) << "not every frame decoded: " << mpg.err;

    EXPECT_EQ(ff.status, 0) << ff.err;
    EXPECT_EQ(ff.err, "") << "decoding errors";
    EXPECT_NE(ff.out.find("mp2,48000,96000"), std::string::npos) << ff.out;
    size_t frames = 0;
    for (size_t p = ff.out.find("288\n"); p != std::string::npos; p = ff.out.find("288\n", p + 1)) frames++;
    EXPECT_GE(frames, 400u) << "ten seconds are about 417 frames of 288 bytes";
}

// A client that stops reading for longer than the ring holds resumes at a frame boundary.
TEST(pages_e2e, SlowReaderResumesAtAFrameBoundary) {
    NEED_DEMO_SIGNAL();
    demo_server srv("sim:" + demo_signal_dir() + ",speed=8");
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    ASSERT_TRUE(srv.table_ready(6));
    const auto frames = subchannel_frames(demo_signal_dir() + "/12c.eti", 1);
    stream_client c(srv.port, "/stream/1.mp2", false, 4096);
    ASSERT_EQ(c.status(), 200);
    ASSERT_TRUE(c.read_bytes(20 * FS1, 10));
    const std::string before = c.data;
    // 128 kbit/s at eight times broadcast pace: 128 kB a second, the ring holds one.
    sleep(6);
    c.data.clear();
    ASSERT_TRUE(c.read_for(3));
    ASSERT_GT(c.data.size(), 100u * FS1);
    std::string why;
    EXPECT_TRUE(contiguous_run(frames, before.substr(0, before.size() / FS1 * FS1), &why)) << why;
    // The bytes queued in the socket come first; somewhere after them the stream resumes at a
    // frame boundary and then follows the broadcast without a gap.
    bool resumed = false;
    for (size_t off = 0; off + 50 * FS1 < c.data.size() && !resumed; off++) {
        bool at_frame = false;
        for (const auto &f : frames)
            if (c.data.compare(off, FS1, f) == 0) {
                at_frame = true;
                break;
            }
        if (!at_frame) continue;
        std::string w;
        resumed = contiguous_run(frames, c.data.substr(off), &w);
        if (resumed) {
            EXPECT_LT(off, 512u * 1024) << "resumed late";
        }
    }
    EXPECT_TRUE(resumed);
}

// Listeners share their stream loops: one that never reads must cost the others nothing.
TEST(pages_e2e, StalledListenerDoesNotSlowTheOthers) {
    NEED_DEMO_SIGNAL();
    demo_server srv("sim:" + demo_signal_dir() + ",speed=1");
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    ASSERT_TRUE(srv.table_ready(6));
    const auto frames = subchannel_frames(demo_signal_dir() + "/12c.eti", 1);
    std::vector<std::unique_ptr<stream_client>> stalled;
    for (int i = 0; i < 4; i++) {
        stalled.push_back(std::make_unique<stream_client>(srv.port, "/stream/1.mp2", false, 2048));
        ASSERT_EQ(stalled.back()->status(), 200);
    }
    stream_client c(srv.port, "/stream/1.mp2");
    ASSERT_EQ(c.status(), 200);
    // The stalled sockets fill within a second; from then on only the reader takes bytes.
    ASSERT_TRUE(c.read_for(2));
    c.data.clear();
    const double t0 = now_s();
    ASSERT_TRUE(c.read_for(6));
    const double rate = static_cast<double>(c.data.size()) / (now_s() - t0);
    EXPECT_GT(rate, 0.95 * 16000) << "bytes per second";
    std::string why;
    const size_t skip = c.data.size() > 2 * FS1 ? FS1 : 0;
    // The run checked starts at the first whole frame in what arrived.
    bool found = false;
    for (size_t off = 0; off <= skip && !found; off++)
        for (const auto &f : frames)
            if (c.data.compare(off, FS1, f) == 0) {
                found = contiguous_run(frames, c.data.substr(off, (c.data.size() - off) / FS1 * FS1), &why);
                break;
            }
    EXPECT_TRUE(found) << why;
    for (auto &st : stalled) {
        pollfd p{st->s, POLLIN, 0};
        // Still open: data waiting, not a close.
        ASSERT_EQ(poll(&p, 1, 0), 1);
        char b;
        EXPECT_EQ(recv(st->s, &b, 1, MSG_PEEK), 1);
    }
}

// Listeners that come and go at random for a minute, some reading, some stalled, some leaving
// in the middle of their header: the server ends cleanly (checked under the sanitizers) and
// every stream's count and interest are given back.
TEST(pages_e2e, ListenersComingAndGoingLeaveNothingBehind) {
    NEED_DEMO_SIGNAL();
    demo_server srv("sim:" + demo_signal_dir() + ",speed=1");
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    ASSERT_TRUE(srv.table_ready(6));
    constexpr int places = 500;
    std::vector<int> socks(places, -1);
    unsigned seed = 12345;
    auto rnd = [&seed](unsigned n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    const char *paths[] = {"/stream/1.mp2", "/stream/2.mp2", "/xpad/1", "/fidc"};
    const std::string partial = "GET /stream/1.mp2 HTTP/1.0\r\n";
    char sink[65536];
    long opened = 0;
    const double end = now_s() + 60;
    while (now_s() < end) {
        for (int k = 0; k < 50; k++) {
            int &s = socks[rnd(places)];
            if (s >= 0) {
                close(s);
                s = -1;
                continue;
            }
            // Over IPv6 loopback a client counts as remote: its streams are counted.
            s = testsupport::connect_local(srv.port, rnd(2) == 0, 4096);
            if (s < 0) continue;
            opened++;
            const std::string req =
                rnd(10) == 0 ? partial : "GET " + std::string(paths[rnd(4)]) + " HTTP/1.0\r\n\r\n";
            send(s, req.data(), req.size(), MSG_NOSIGNAL);
        }
        // Every second listener reads what is there; the others stall.
        for (int i = 0; i < places; i += 2)
            if (socks[i] >= 0) recv(socks[i], sink, sizeof sink, MSG_DONTWAIT);
        usleep(20000);
    }
    for (int &s : socks)
        if (s >= 0) close(s);
    EXPECT_GT(opened, 2000);
    // The streams notice their clients gone at their next send.
    stream_client c(srv.port, "/stream/1.mp2");
    ASSERT_EQ(c.status(), 200);
    ASSERT_TRUE(c.read_bytes(20 * FS1, 10));
    const std::string none = "Active HTTP streams:</FONT></td><td><FONT FACE=Courier> 0</FONT>";
    EXPECT_TRUE(wait_until(15, [&] { return srv.get("/stat").find(none) != std::string::npos; }))
        << srv.get("/stat");
}

TEST(pages_e2e, ForcedReconfigurationEndsRunningStreams) {
    NEED_DEMO_SIGNAL();
    if (!testsupport::file_exists(demo_signal_dir() + "/la.eti")) GTEST_SKIP() << "second demo ensemble missing";
    temp_dir fifo_dir;
    const std::string fifo = fifo_dir.file("live.eti");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> second{false}, stop{false};
    std::thread writer([&] {
        const std::string one = testsupport::read_file(demo_signal_dir() + "/12c.eti");
        const std::string two = testsupport::read_file(demo_signal_dir() + "/la.eti");
        const int fd = open(fifo.c_str(), O_WRONLY);
        if (fd < 0) return;
        constexpr size_t frame = 6144;
        for (size_t i = 0; !stop; i++) {
            const std::string &src = second ? two : one;
            const size_t n = src.size() / frame;
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 200) <= 0) continue;
            if (write(fd, src.data() + (i % n) * frame, frame) < 0) break;
            usleep(8000);  // three times broadcast pace
        }
        close(fd);
    });
    {
        demo_server srv("sim:eti=" + fifo);
        const bool up = srv.ready() && srv.table_ready(6);
        stream_client c(srv.port, "/stream/1.mp2");
        const bool streaming = c.status() == 200 && c.read_bytes(10 * FS1, 10);
        second = true;
        bool closed = false;
        const double end = now_s() + 30;
        while (!closed && now_s() < end) closed = !c.read_into(c.data, 200);
        const bool logged = srv.proc->wait_for_output("httpd: buffer for ::ffff:127.0.0.1 destroyed, disconnecting", 5);
        stop = true;
        writer.join();
        ASSERT_TRUE(up) << srv.proc->out();
        ASSERT_TRUE(streaming);
        EXPECT_TRUE(closed) << "stream still running after the reconfiguration";
        EXPECT_TRUE(logged) << srv.proc->out();
    }
}

// Counters against what was replayed: every seventh frame carries one broken FIB.
TEST(pages_e2e, StatisticsMatchTheReplayedSignal) {
    NEED_DEMO_SIGNAL();
    const std::string dabgen = testsupport::binary_dir() + "/tools/dabgen";
    if (!testsupport::file_exists(dabgen)) GTEST_SKIP() << "dabgen not built";
    temp_dir sig;
    testsupport::write_file(sig.file("f.txt"), "payload\n");
    testsupport::write_file(sig.file("faulty.ensemble"),
                            "[ensemble]\nlabel \"FAULTY ONE\" \"FAULTY\"\neid 0xC3D3\nchannel 12C\nduration 4\nseed 3\n"
                            "[audio]\nsid 0xD301\nlabel \"Faulty Tone\" \"Tone\"\nsubchannel 1\nbitrate 64\n"
                            "protection uep 3\nsource tone 440 440\n"
                            "[packet]\nsid 0xE0D30001\nlabel \"Faulty Files\" \"Files\"\nsubchannel 2\nbitrate 16\n"
                            "protection eep 3A\naddress 1\nscid 5\napplication carousel\nfile f.txt\n"
                            "[faults]\nfib_crc 7\n");
    auto gen = testsupport::run({dabgen, "-q", "-o", sig.file("12c.eti"), sig.file("faulty.ensemble")}, sig.path());
    ASSERT_EQ(gen.status, 0) << gen.err;
    demo_server srv("sim:" + sig.path() + ",speed=4");
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    ASSERT_TRUE(srv.table_ready(2));
    sleep(3);
    const std::string page = srv.get("/stat");
    auto value = [&](const std::string &name) {
        const std::string key = name + "</FONT></td><td><FONT FACE=Courier>";
        size_t p = page.find(key);
        if (p == std::string::npos) return std::string();
        p += key.size();
        return page.substr(p, page.find("</FONT>", p) - p);
    };
    // 48 + 12 capacity units of the 864 in a frame.
    EXPECT_EQ(value("MSC Bandwidth Allocation:"), "60 CUs, 6.94%, 0.15MBit/s");
    const unsigned long long total = std::stoull(value("Total FIBs:"));
    const unsigned long long bad = std::stoull(value("Bad FIBs:"));
    EXPECT_GT(total, 500u);
    // Three FIBs a frame, one broken in seven frames.
    EXPECT_NEAR(static_cast<double>(bad) / static_cast<double>(total), 1.0 / 21, 0.01) << value("Bad FIBs:");
    EXPECT_NE(value("Bad FIBs:").find("%"), std::string::npos);
    EXPECT_EQ(value("Bad DWORDS RDI:"), "0, 0.00%");
    EXPECT_EQ(value("Bad FIGs:"), "0, 0.00%");
    EXPECT_EQ(value("Tuned to:"), "227360Khz");
    EXPECT_EQ(value("Transmission Mode:"), "1, 96ms/frame");
    EXPECT_EQ(value("Uptime:"), "00:00");
    EXPECT_NE(page.find("<H3>FIG 0/1</H3>"), std::string::npos);
}

// A headless browser renders both pages without console errors; the screenshots are kept.
TEST(pages_e2e, BrowserRendersStatusAndStatisticsPages) {
    NEED_DEMO_SIGNAL();
    const char *chromium = "/usr/bin/chromium";
    if (!have_program(chromium)) GTEST_SKIP() << "no /usr/bin/chromium: install the chromium package";
    demo_server srv("sim:" + demo_signal_dir() + ",speed=4");
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    ASSERT_TRUE(srv.table_ready(6));
    const std::string out_dir = testsupport::binary_dir() + "/artefacts";
    mkdir(out_dir.c_str(), 0755);
    for (const auto &[path, name] : {std::pair<const char *, const char *>{"/", "status.png"}, {"/stat", "statistics.png"}}) {
        temp_dir profile;
        const std::string shot = out_dir + "/" + name;
        unlink(shot.c_str());
        auto r = testsupport::run({chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                   "--no-first-run", "--disable-background-networking", "--disable-component-update",
                                   "--disable-sync", "--user-data-dir=" + profile.path(), "--enable-logging=stderr",
                                   "--v=0", "--window-size=1024,1400", "--screenshot=" + shot, srv.url(path)},
                                  profile.path(), 90);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("CONSOLE("), std::string::npos) << r.err;
        struct stat st;
        ASSERT_EQ(stat(shot.c_str(), &st), 0) << r.err;
        EXPECT_GT(st.st_size, 10000) << "an empty page";
    }
}

}  // namespace
