// Streams of the ring buffers, fed by the test as the data path would write them.

#include <fcntl.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "datapath/rdi.h"
#include "datapath/ringbuff.h"
#include "httpd/icy.h"
#include "mot/motmain.h"
#include "mot/xpad_dec.h"
#include "pages_fixture.h"

namespace {

constexpr int FS = 384;  // a 128 kbit/s subchannel
constexpr int SUB = 1;

// The streams here run on threads of this process: short steps.
bool wait_until(double seconds, const std::function<bool()> &f) { return testsupport::wait_until(seconds, f, 5); }

struct stream_fixture : pages_fixture {
    std::thread runner;
    uint32_t next_word = 0;  // the ring carries consecutive 32-bit numbers
    std::string got;         // everything the client received

    void SetUp() override {
        pages_fixture::SetUp();
        ens.rbuff->init_ring_buffer(1);
        ens.rbuff->ringbuf_properties(SUB, 0, FS, 1, "Demo Tones", 0);
        ens.rbuff->ringbuf_properties(SUB, 1, FS, 1, "Demo Tones", 0);
        ens.rbuff->ringbuf_properties(RING_FIDC, 1, 8, 0, "FIDC", 1);
    }
    void TearDown() override {
        ens.cfg->finished = 1;
        if (runner.joinable()) runner.join();
        pages_fixture::TearDown();
    }

    void start(int n, int mode) {
        runner = std::thread([this, n, mode] { c->stream(n, c->remoteip, mode); });
    }
    void finish() {
        ens.cfg->finished = 1;
        if (runner.joinable()) runner.join();
        ens.cfg->finished = 0;
    }
    void write_frames(int frames, int part = 0) {
        std::vector<unsigned char> f(FS);
        for (int k = 0; k < frames; k++) {
            for (int i = 0; i < FS; i += 4) {
                uint32_t v = next_word++;
                memcpy(&f[static_cast<size_t>(i)], &v, 4);
            }
            ens.rbuff->ring_write(SUB, part, f.data(), FS);
        }
    }
    // Reads what is there now, waiting up to ms for the first bytes.
    void read_some(int ms) {
        pollfd p{peer, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return;
        char buf[65536];
        ssize_t n = recv(peer, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    std::string payload() const {
        size_t p = got.find("\r\n\r\n");
        return p == std::string::npos ? "" : got.substr(p + 4);
    }
    static std::vector<uint32_t> words(const std::string &s) {
        std::vector<uint32_t> w(s.size() / 4);
        if (!w.empty()) memcpy(w.data(), s.data(), w.size() * 4);
        return w;
    }
};

TEST_F(stream_fixture, StartsAtTheNewestFrameBoundaryAndFollowsTheWriter) {
    ens.rbuff->set_req(SUB);  // another reader keeps the history alive
    write_frames(2);
    std::vector<unsigned char> half(FS / 2, 0xAA);
    ens.rbuff->ring_write(SUB, 0, half.data(), FS / 2);
    next_word += FS / 8;
    start(SUB, 0);
    ASSERT_TRUE(wait_until(5, [&] { return ens.rbuff->is_req(SUB) == 2; }));
    for (int i = 0; i < 40; i++) {
        write_frames(1);
        read_some(5);
    }
    ASSERT_TRUE(wait_until(5, [&] {
        read_some(10);
        return payload().size() >= 30 * FS;
    }));
    finish();
    ens.rbuff->unset_req(SUB);
    EXPECT_EQ(ens.rbuff->is_req(SUB), 0);
    EXPECT_NE(got.find("Content-type: audio/x-mpeg\r\n"), std::string::npos);
    EXPECT_NE(got.find("icy-name:Demo Tones\r\nx-audiocast-name:Demo Tones\r\nConnection: Keep-Alive\r\n"),
              std::string::npos);
    const std::string p = payload();
    // The half-written frame is the newest boundary: its first half is the 0xAA filler.
    ASSERT_GE(p.size(), static_cast<size_t>(FS));
    EXPECT_EQ(p.substr(0, FS / 2), std::string(FS / 2, '\xAA'));
    const auto w = words(p.substr(FS / 2));
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w[0], static_cast<uint32_t>(2 * FS / 4 + FS / 8));
    for (size_t i = 1; i < w.size(); i++) ASSERT_EQ(w[i], w[i - 1] + 1) << "gap at word " << i;
}

TEST_F(stream_fixture, RefusedStreamsLeaveNoInterestBehind) {
    ens.rbuff->ringbuf_properties(9, 0, FS, 1, "Gone", 0);
    ens.rbuff->ringbuf_properties(9, 1, FS, 1, "Gone", 0);
    ens.rbuff->ringbuf_deact(9);
    const struct {
        const char *what;
        int n, mode, status;
    } cases[] = {
        {"beyond the FIDC", 65, 0, 404},
        {"negative", -1, 0, 404},
        {"FIDC has no main part", RING_FIDC, 0, 404},
        {"subchannel not configured", 7, 0, 404},
        {"subchannel no longer active", 9, 1, 404},
        {"unknown part", SUB, 2, 404},
    };
    for (const auto &k : cases) {
        connect_from("192.0.2.7");
        c->stream(k.n, c->remoteip, k.mode);
        const std::string raw = answer();
        EXPECT_EQ(raw.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << k.what;
        for (int i = 0; i < RING_STREAMS; i++) EXPECT_EQ(ens.rbuff->is_req(i), 0) << k.what << ", stream " << i;
        EXPECT_EQ(ens.st->httpcnt_con.load(), 0) << k.what;
    }
}

TEST_F(stream_fixture, RemoteAudioStreamsAreLimitedLocalAndSideDataAreNot) {
    ens.cfg->httpmaxconn = 0;
    c->stream(SUB, c->remoteip, 0);
    EXPECT_EQ(answer().rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u);
    EXPECT_EQ(ens.rbuff->is_req(SUB), 0);
    EXPECT_EQ(ens.st->httpcnt_con.load(), 0);

    const struct {
        const char *what;
        const char *peer;
        int n, mode;
        int counted;
    } served[] = {
        {"remote PAD records", "192.0.2.7", SUB, 1, 1},
        {"remote FIDC", "2001:db8::1", RING_FIDC, 1, 1},
        {"local audio", "127.0.0.1", SUB, 0, 0},
        {"mapped local audio", "::ffff:127.0.0.5", SUB, 0, 0},
    };
    for (const auto &k : served) {
        connect_from(k.peer);
        got.clear();
        start(k.n, k.mode);
        ASSERT_TRUE(wait_until(5, [&] {
            read_some(10);
            return got.find("\r\n\r\n") != std::string::npos;
        })) << k.what;
        EXPECT_EQ(got.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << k.what;
        EXPECT_EQ(ens.st->httpcnt_con.load(), k.counted) << k.what;
        EXPECT_EQ(ens.rbuff->is_req(k.n), 1) << k.what;
        finish();
        EXPECT_EQ(ens.st->httpcnt_con.load(), 0) << k.what;
        EXPECT_EQ(ens.rbuff->is_req(k.n), 0) << k.what;
    }

    // With a limit of one, the second remote audio stream is refused while the first runs.
    ens.cfg->httpmaxconn = 1;
    connect_from("2001:db8::1");
    got.clear();
    start(SUB, 0);
    ASSERT_TRUE(wait_until(5, [&] { return ens.st->httpcnt_con.load() == 1; }));
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::2", &a.sin6_addr);
    {
        httpconn other(&ens, sv[0], &a);
        other.stream(SUB, other.remoteip, 0);
    }
    char buf[256] = {};
    ssize_t n = recv(sv[1], buf, sizeof buf - 1, 0);
    close(sv[1]);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf).rfind("HTTP/1.0 503", 0), 0u);
    EXPECT_EQ(ens.rbuff->is_req(SUB), 1) << "only the running stream's interest";
    finish();
    EXPECT_EQ(ens.st->httpcnt_con.load(), 0);
}

TEST_F(stream_fixture, EveryWayOutReleasesTheInterest) {
    // The client goes away.
    start(SUB, 0);
    ASSERT_TRUE(wait_until(5, [&] { return ens.rbuff->is_req(SUB) == 1; }));
    close(peer);
    peer = -1;
    ASSERT_TRUE(wait_until(5, [&] {
        write_frames(8);
        return ens.rbuff->is_req(SUB) == 0;
    }));
    runner.join();
    EXPECT_TRUE(was_logged("httpd: socket for ::ffff:192.0.2.7 destroyed\n"));
    EXPECT_EQ(ens.st->httpcnt_con.load(), 0);

    // The subchannel is about to be reconfigured.
    connect_from("192.0.2.7");
    start(SUB, 1);
    ASSERT_TRUE(wait_until(5, [&] { return ens.rbuff->is_req(SUB) == 1; }));
    ens.rbuff->set_disc_pending(SUB);
    ASSERT_TRUE(wait_until(5, [&] { return ens.rbuff->is_req(SUB) == 0; }));
    runner.join();
    EXPECT_TRUE(was_logged("httpd: buffer for ::ffff:192.0.2.7 destroyed, disconnecting\n"));

    // The subchannel leaves the configuration.
    ens.rbuff->ringbuf_properties(SUB, 0, FS, 1, "Demo Tones", 0);
    connect_from("192.0.2.7");
    start(SUB, 0);
    ASSERT_TRUE(wait_until(5, [&] { return ens.rbuff->is_req(SUB) == 1; }));
    ens.rbuff->ringbuf_deact(SUB);
    ASSERT_TRUE(wait_until(5, [&] { return ens.rbuff->is_req(SUB) == 0; }));
    runner.join();
    EXPECT_EQ(ens.st->httpcnt_con.load(), 0);
}

// A reader that stops for longer than the ring holds resumes at a frame boundary; whatever it
// receives later follows the writer without gaps.
TEST_F(stream_fixture, SlowReaderResumesAtAFrameBoundary) {
    int small = 8192;
    ASSERT_EQ(setsockopt(c->s, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    socklen_t len = sizeof small;
    getsockopt(c->s, SOL_SOCKET, SO_SNDBUF, &small, &len);
    start(SUB, 0);
    ASSERT_TRUE(wait_until(5, [&] { return ens.rbuff->is_req(SUB) == 1; }));
    for (int i = 0; i < 20; i++) {
        write_frames(1);
        read_some(5);
    }
    ASSERT_TRUE(wait_until(5, [&] {
        read_some(10);
        return payload().size() >= 19 * FS;
    }));
    // Not reading: the writer goes round the ring three times.
    const int ring_frames = static_cast<int>(RING_ALLOC / FS);
    for (int i = 0; i < 3 * ring_frames; i++) {
        write_frames(1);
        if (i % 64 == 0) usleep(2000);
    }
    usleep(200000);
    for (int i = 0; i < 100; i++) {
        write_frames(1);
        read_some(5);
    }
    wait_until(1, [&] {
        read_some(20);
        return false;
    });
    finish();
    const auto w = words(payload());
    ASSERT_GT(w.size(), 100u);
    // Contiguous from the start, then at most one send's worth written over while it waited,
    // then contiguous again from a frame boundary to the end.
    size_t head = 1;
    while (head < w.size() && w[head] == w[head - 1] + 1) head++;
    size_t tail = w.size() - 1;
    while (tail > 0 && w[tail] == w[tail - 1] + 1) tail--;
    ASSERT_LT(head, w.size()) << "never skipped";
    EXPECT_GE(head * 4, static_cast<size_t>(19 * FS));
    EXPECT_LE((tail - head) * 4, static_cast<size_t>(small) + FS) << "damaged run too long";
    EXPECT_EQ(w[tail] * 4 % FS, 0u) << "resumed inside a frame";
    EXPECT_GT(w[tail], w[head - 1] + static_cast<uint32_t>(RING_ALLOC / 4)) << "the lost bytes are skipped";
    // Less than the send threshold (one 64th of the ring) may still wait in the ring.
    EXPECT_LE(next_word - 1 - w.back(), RING_ALLOC / 64 / 4) << "caught up with the writer";
    EXPECT_EQ(ens.rdi_stream->rdi_pause_dummy.load(), 0) << "live reception is never paused";
}

TEST_F(stream_fixture, FileReplayAsksForAPauseWhenAnEighthOfTheRingIsPending) {
    ens.rdi_stream->rdi_use_dummy = 1;
    start(SUB, 0);
    ASSERT_TRUE(wait_until(5, [&] { return ens.rbuff->is_req(SUB) == 1; }));
    testing::internal::CaptureStdout();
    write_frames(static_cast<int>(RING_ALLOC / 8 / FS) / 2);
    usleep(200000);
    const bool early = ens.rdi_stream->rdi_pause_dummy.load() == 1;
    write_frames(static_cast<int>(RING_ALLOC / 8 / FS) + 2);
    const bool paused = wait_until(5, [&] {
        read_some(10);
        return ens.rdi_stream->rdi_pause_dummy.load() == 1;
    });
    finish();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(early) << "paused with less than an eighth pending";
    EXPECT_TRUE(paused);
    EXPECT_NE(out.find("PAUSE REQUEST, buf position "), std::string::npos);
}

TEST_F(stream_fixture, FidcBytesGoOutAtOnce) {
    connect_from("127.0.0.1");
    start(RING_FIDC, 1);
    ASSERT_TRUE(wait_until(5, [&] { return ens.rbuff->is_req(RING_FIDC) == 1; }));
    const unsigned char fidc[10] = {0xFF, 0x0A, 1, 2, 3, 4, 5, 6, 7, 8};
    ens.rbuff->ring_write(RING_FIDC, 1, fidc, sizeof fidc);
    ASSERT_TRUE(wait_until(5, [&] {
        read_some(10);
        return payload().size() >= sizeof fidc;
    }));
    EXPECT_NE(got.find("Content-type: application/octet-stream\r\n"), std::string::npos);
    EXPECT_EQ(payload(), std::string(reinterpret_cast<const char *>(fidc), sizeof fidc));
}

// A PAD decoder for SUB as the decoder's thread would set it up, fed labels by the test.
struct titles_fixture : stream_fixture {
    xpad_state_t *xs = nullptr;

    void SetUp() override {
        stream_fixture::SetUp();
        xs = init_xpad_mot(ens.mot_decoder, SUB, dir.file("pad/").c_str());
        ASSERT_NE(xs, nullptr);
        mutex_guard g(&ens.mot_decoder->config_lock);
        ens.mot_decoder->subchannels[SUB].type = 1;
        ens.mot_decoder->subchannels[SUB].state = xs;
    }
    void TearDown() override {
        finish();
        {
            mutex_guard g(&ens.mot_decoder->config_lock);
            ens.mot_decoder->subchannels[SUB].state = nullptr;
        }
        xpad_free(xs);
        stream_fixture::TearDown();
    }
    // A new label as broadcast (EBU Latin).
    void label(const char *text) {
        copy_field(xs->dls.last_text, text);
        dl_rb_insert(&xs->dls);
    }
    // Splits the payload into the audio and the titles of its blocks ("" for an empty block).
    static bool split(const std::string &p, std::string *audio, std::vector<std::string> *titles, std::string *why) {
        size_t pos = 0;
        while (pos < p.size()) {
            const size_t n = std::min<size_t>(icy_metaint, p.size() - pos);
            audio->append(p, pos, n);
            pos += n;
            if (pos >= p.size()) break;
            const size_t len = static_cast<unsigned char>(p[pos]) * icy_unit;
            if (pos + 1 + len > p.size()) break;  // the last block is still on its way
            std::string t = p.substr(pos + 1, len);
            if (len) {
                const size_t end = t.find("';");
                if (t.rfind("StreamTitle='", 0) != 0 || end == std::string::npos) {
                    *why = "no title in block at " + std::to_string(pos);
                    return false;
                }
                t = t.substr(13, end - 13);
            }
            titles->push_back(t);
            pos += 1 + len;
        }
        return true;
    }
};

TEST_F(titles_fixture, BlocksEvery16000BytesBetweenUntouchedAudio) {
    label("Caf\x82 ''");  // EBU Latin e acute
    // A small send buffer: blocks and audio often meet a full socket.
    int small = 4096;
    ASSERT_EQ(setsockopt(c->s, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    copy_field(c->icy_field, "1");
    start(SUB, 0);
    ASSERT_TRUE(wait_until(5, [&] { return ens.rbuff->is_req(SUB) == 1; }));
    const size_t want = 6 * icy_metaint + 100;
    bool changed = false;
    const bool enough = wait_until(20, [&] {
        write_frames(4);
        read_some(2);
        // A new label once the first block is out.
        if (!changed && payload().size() > icy_metaint + 40) {
            label("Next");
            changed = true;
        }
        return payload().size() >= want;
    });
    finish();
    ASSERT_TRUE(enough) << payload().size();
    EXPECT_NE(got.find("Connection: Keep-Alive\r\nicy-metaint: 16000\r\n\r\n"), std::string::npos)
        << got.substr(0, 300);
    std::string audio, why;
    std::vector<std::string> titles;
    ASSERT_TRUE(split(payload(), &audio, &titles, &why)) << why;
    ASSERT_GE(titles.size(), 5u);
    EXPECT_EQ(titles[0], "Caf\xC3\xA9 \\'\\'");
    // Only a change is sent again.
    size_t next = 1;
    while (next < titles.size() && titles[next].empty()) next++;
    ASSERT_LT(next, titles.size()) << "the new label never came";
    EXPECT_EQ(titles[next], "Next");
    for (size_t i = next + 1; i < titles.size(); i++) EXPECT_EQ(titles[i], "") << "block " << i;
    // The audio between the blocks is the stream as it would be without them.
    const auto w = words(audio);
    ASSERT_GT(w.size(), 4 * icy_metaint / 4);
    for (size_t i = 1; i < w.size(); i++) ASSERT_EQ(w[i], w[i - 1] + 1) << "gap at word " << i;
}

TEST_F(titles_fixture, WithoutTheRequestLineOrForSideDataNoBlocks) {
    label("Title");
    const struct {
        const char *what, *value;
        int mode;
    } cases[] = {{"not asked", "", 0}, {"asked with 0", "0", 0}, {"PAD records", "1", 1}};
    for (const auto &k : cases) {
        connect_from("192.0.2.7");
        got.clear();
        copy_field(c->icy_field, k.value);
        start(SUB, k.mode);
        ASSERT_TRUE(wait_until(5, [&] { return ens.rbuff->is_req(SUB) == 1; })) << k.what;
        const uint32_t first = next_word;
        wait_until(10, [&] {
            write_frames(4, k.mode);
            read_some(2);
            return payload().size() >= 3 * icy_metaint;
        });
        finish();
        EXPECT_EQ(got.find("icy-metaint"), std::string::npos) << k.what;
        const auto w = words(payload());
        ASSERT_GT(w.size(), 2 * icy_metaint / 4) << k.what;
        EXPECT_GE(w[0], first) << k.what;
        for (size_t i = 1; i < w.size(); i++) ASSERT_EQ(w[i], w[i - 1] + 1) << k.what << ": gap at word " << i;
    }
}

}  // namespace
