// The data path on the virtual receiver module playing the demo ensembles: the service
// table, the subchannel bytes and PAD records a ring buffer reader receives, recovery
// when the module switches ensembles, and an orderly stop when it is unplugged.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/dab_tables.h"
#include "common/eti_reader.h"
#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/msc.h"
#include "datapath/ringbuff.h"
#include "module/dabapi.h"
#include "support/log_capture.h"
#include "support/test_support.h"

using testsupport::temp_dir;
using bytes = std::vector<unsigned char>;

namespace {

constexpr int KHZ_12C = 227360;

bool wait_until(double seconds, const std::function<bool()> &f) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (f()) return true;
        usleep(50000);
    }
    return f();
}

// Frames of one ETI file: the raw frames and each subchannel's bytes per frame.
struct eti_file {
    std::vector<std::vector<unsigned char>> raw;
    std::vector<std::vector<bytes>> subch;  // [frame][subchannel id]

    explicit eti_file(const std::string &path) {
        dabcommon::eti_reader r;
        if (!r.open(path.c_str())) return;
        dabcommon::eti_frame f;
        while (r.next(f, 1000) == 1) {
            raw.emplace_back(f.raw.begin(), f.raw.end());
            std::vector<bytes> s(64);
            for (int id = 0; id < 64; id++) {
                const int k = f.find_stream(id);
                if (k >= 0) s[static_cast<size_t>(id)] = bytes(f.stream_data(k), f.stream_data(k) + f.stc[static_cast<size_t>(k)].len);
            }
            subch.push_back(std::move(s));
        }
    }
};

class msc_e2e : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        signal_dir = new temp_dir();
        la_dir = new temp_dir();
        const std::string dabgen = testsupport::binary_dir() + "/tools/dabgen";
        const std::string demo = testsupport::source_dir() + "/demo/";
        auto r = testsupport::run({dabgen, "-q", "-d", "12", "-o", signal_dir->file("12c.eti"), demo + "12c.ensemble"});
        ASSERT_EQ(r.status, 0) << r.err;
        r = testsupport::run({dabgen, "-q", "-d", "12", "-o", la_dir->file("la.eti"), demo + "la.ensemble"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    static void TearDownTestSuite() {
        delete signal_dir;
        delete la_dir;
    }

    void SetUp() override {
        ens = new ensemble();
        captured.attach(ens->l);
        copy_field(ens->cfg->configfile, run_dir.file("dab.ini").c_str());
    }
    void TearDown() override {
        if (started) ens->stop_threads();
        if (ens->cfg->fd >= 0) ens->api->close_driver();
        delete ens;
        ens = nullptr;
    }

    void start(const std::string &device, int tunefreq) {
        copy_field(ens->cfg->device, device.c_str());
        ens->cfg->tunefreq = tunefreq;
        ens->cfg->audiosubchid = -1;
        ASSERT_EQ(ens->cfg->set_config(), 1);
        ens->start_threads(THREADS_RDI, 0, nullptr);
        started = true;
    }

    // Number of services once the table holds at least n of them.
    bool table_has(int n, int sid) {
        msc *m = ens->msc_stream;
        m->lock();
        int count = 0;
        bool found = false;
        while (count < MAX_SERVICES && m->service[count].sc) found |= m->service[count++].sid == sid;
        m->unlock();
        return count >= n && found;
    }
    const dab_service_t *service(int sid) {
        for (int i = 0; i < MAX_SERVICES && ens->service[i].sc; i++)
            if (ens->service[i].sid == sid) return &ens->service[i];
        return nullptr;
    }
    bool logged(const std::string &text) { return captured.has(text); }

    static temp_dir *signal_dir;
    static temp_dir *la_dir;
    temp_dir run_dir;
    testsupport::log_capture captured;
    ensemble *ens = nullptr;
    bool started = false;
};

temp_dir *msc_e2e::signal_dir = nullptr;
temp_dir *msc_e2e::la_dir = nullptr;

// The X-PAD data of PAD records, split by application: dynamic label (2, 3) and MOT (12, 13).
struct xpad_streams {
    bytes dl, mot;
    int last_app = 0;

    void add(const unsigned char *r, int len) {
        if (len < 8 || ((r[7] >> 4) & 3) != 2) return;
        std::vector<std::pair<int, int>> fields;  // application, length
        int p = 8;
        if (r[6] & 0x02) {
            while (fields.size() < 4 && p < len) {
                const int ci = r[p++];
                if ((ci & 31) == 0) break;
                if ((ci & 31) == 31) p++;
                fields.emplace_back(ci & 31, dabcommon::xpad_lengths[static_cast<size_t>(ci >> 5)]);
            }
            if (!fields.empty()) last_app = fields.back().first;
        } else {
            fields.emplace_back(last_app, len - 8);
        }
        for (auto [app, n] : fields) {
            n = std::min(n, len - p);
            if (n <= 0) break;
            bytes &to = (app == 2 || app == 3) ? dl : mot;
            if (app == 2 || app == 3 || app == 12 || app == 13) to.insert(to.end(), r + p, r + p + n);
            p += n;
        }
    }
};

std::string trimmed(const char *s) {
    std::string t(s);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}

bool contains(const bytes &hay, const std::string &needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST_F(msc_e2e, ring_buffer_reader_gets_the_ensemble_as_broadcast) {
    start("sim:" + signal_dir->path() + ",speed=2", KHZ_12C);
    ASSERT_TRUE(wait_until(20, [&] { return table_has(6, 0xD103); })) << "no service table";

    msc *m = ens->msc_stream;
    m->lock();
    // The service table as the generator describes the ensemble (sorted by signed identifier).
    for (int i = 1; i < 6; i++) EXPECT_LE(ens->service[i - 1].sid, ens->service[i].sid);
    const dab_service_t *tones = service(0xD101);
    ASSERT_NE(tones, nullptr);
    // Labels come as broadcast: 16 characters, padded with spaces.
    EXPECT_EQ(trimmed(tones->label), "Demo Tones");
    EXPECT_EQ(trimmed(tones->shortlabel), "Tones");
    EXPECT_EQ(tones->pty, 10);
    ASSERT_EQ(tones->numofsc, 1);
    EXPECT_EQ(tones->sc[0].subchannel, 1);
    EXPECT_EQ(tones->sc[0].bitrate, 128);
    EXPECT_EQ(tones->sc[0].framesize, 384);
    const dab_service_t *voice = service(0xD103);
    ASSERT_NE(voice, nullptr);
    EXPECT_EQ(voice->sc[0].subchannel, 3);
    EXPECT_EQ(voice->sc[0].framesize, 288);
    const dab_service_t *web = service(static_cast<int>(0xE0D10001u));
    ASSERT_NE(web, nullptr);
    EXPECT_EQ(web->sc[0].tmid, 3);
    EXPECT_EQ(web->sc[0].subchannel, 5);
    // The data service label (FIG 1/5) names the primary component, after its own label (FIG 1/4).
    EXPECT_EQ(trimmed(web->sc[0].label), "Demo Website");
    EXPECT_EQ(trimmed(ens->subchannel[5].label), "Demo Website");
    EXPECT_EQ(ens->subchannel[5].tmid, 3);
    EXPECT_EQ(ens->subchannel[5].framesize, 96);
    EXPECT_EQ(ens->subchannel[6].framesize, 24);
    EXPECT_EQ(ens->subchannel[2].framesize, 384);
    EXPECT_EQ(m->eid.load(), 0xC1D1);
    m->unlock();

    // Register as reader of every audio subchannel and follow the streams for more than
    // one loop of the signal (10 s at twice the speed), so the slideshow is in it.
    for (int s : {1, 2, 3}) ens->rbuff->set_req(s);
    std::vector<bytes> audio(4), pad(4);
    unsigned long rd[4][2] = {};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(5600);
    while (std::chrono::steady_clock::now() < until) {
        usleep(100000);
        for (int s : {1, 2, 3})
            for (int part : {0, 1}) {
                prbuff_t r = ens->rbuff->get_streambuf(s);
                const unsigned long w = r->writeptr[part].load();
                unsigned long &from = rd[s][part];
                ASSERT_LE(w - from, r->bufsize[part]) << "reader overrun";
                bytes &to = part ? pad[static_cast<size_t>(s)] : audio[static_cast<size_t>(s)];
                for (; from != w; from++) to.push_back(r->ptr[part][from % r->bufsize[part]]);
            }
    }
    for (int s : {1, 2, 3}) ens->rbuff->unset_req(s);

    const eti_file eti(signal_dir->file("12c.eti"));
    ASSERT_GT(eti.subch.size(), 100u);
    const size_t nframes = eti.subch.size();
    for (int s : {1, 2, 3}) {
        SCOPED_TRACE("subchannel " + std::to_string(s));
        const size_t fs = static_cast<size_t>(ens->subchannel[s].framesize);
        const bytes &got = audio[static_cast<size_t>(s)];
        ASSERT_GE(got.size(), 20 * fs);
        const size_t frames = got.size() / fs;
        // The reader starts at some frame of the looped file; from there every byte must agree.
        bool matched = false;
        for (size_t k = 0; k < nframes && !matched; k++) {
            if (!std::equal(got.begin(), got.begin() + static_cast<long>(fs), eti.subch[k][static_cast<size_t>(s)].begin())) continue;
            size_t i = 0;
            while (i < frames && std::equal(got.begin() + static_cast<long>(i * fs), got.begin() + static_cast<long>((i + 1) * fs),
                                            eti.subch[(k + i) % nframes][static_cast<size_t>(s)].begin()))
                i++;
            matched = i == frames;
        }
        EXPECT_TRUE(matched) << "ring buffer bytes differ from the ETI subchannel stream";

        // One PAD record per audio frame (48 kHz), each carrying its frame's header and F-PAD.
        const bytes &p = pad[static_cast<size_t>(s)];
        size_t off = 0, records = 0;
        xpad_streams x;
        while (off + 8 <= p.size()) {
            const int len = p[off + 4] | p[off + 5] << 8;
            ASSERT_GE(len, 8);
            if (off + static_cast<size_t>(len) > p.size()) break;
            if (records < frames) {
                const unsigned char *f = got.data() + records * fs;
                EXPECT_TRUE(std::equal(f, f + 4, p.begin() + static_cast<long>(off))) << "record " << records;
                EXPECT_EQ(p[off + 6], f[fs - 1]) << "record " << records;
            }
            x.add(p.data() + off, len);
            off += static_cast<size_t>(len);
            records++;
        }
        EXPECT_GE(records + 1, frames);
        EXPECT_LE(records, frames + 1);
        if (s == 1) {
            // The labels the generator sends with Demo Tones, and the slideshow's MOT data.
            bool label_seen = false;
            for (const std::string text : {"Demo Tones: 440 Hz left, 660 Hz right", "Now playing: the reference tone of DAB DEMO ONE"})
                for (size_t i = 0; i + 16 <= text.size(); i += 16) label_seen |= contains(x.dl, text.substr(i, 16));
            EXPECT_TRUE(label_seen) << "no dynamic label segment in the X-PAD";
            EXPECT_TRUE(contains(x.mot, "testcard")) << "no slideshow header in the X-PAD";
            EXPECT_GT(x.mot.size(), 7052u) << "less MOT data than the slide";
        }
    }
}

TEST_F(msc_e2e, switching_ensembles_is_followed_by_recovery) {
    const std::string fifo = run_dir.file("live.eti");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const eti_file one(signal_dir->file("12c.eti"));
    const eti_file two(la_dir->file("la.eti"));
    ASSERT_FALSE(one.raw.empty());
    ASSERT_FALSE(two.raw.empty());
    std::atomic<bool> second{false}, stop{false};
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        if (fd < 0) return;
        for (size_t i = 0; !stop; i++) {
            const eti_file &src = second ? two : one;
            const auto &f = src.raw[i % src.raw.size()];
            struct pollfd pfd = {fd, POLLOUT, 0};
            if (poll(&pfd, 1, 200) <= 0) continue;
            if (write(fd, f.data(), f.size()) < 0) break;
            usleep(8000);  // three times real time
        }
        close(fd);
    });
    start("sim:eti=" + fifo, KHZ_12C);
    const bool first_table = wait_until(20, [&] { return table_has(6, 0xD101); });
    if (first_table) {
        captured.clear();
        second = true;
    }
    const bool recovered = first_table && wait_until(20, [&] { return table_has(2, 0xD202); });
    const bool reconfigured = logged("Force reconfiguration\n");
    const bool announced = logged("auto notification received\n");
    ens->msc_stream->lock();
    const bool old_gone = service(0xD101) == nullptr;
    const int eid = ens->msc_stream->eid;
    ens->msc_stream->unlock();
    stop = true;
    writer.join();

    ASSERT_TRUE(first_table);
    EXPECT_TRUE(recovered) << "the table never showed the second ensemble";
    EXPECT_TRUE(reconfigured);
    EXPECT_TRUE(announced);
    EXPECT_TRUE(old_gone);
    EXPECT_NE(eid, 0xC1D1);
}

TEST_F(msc_e2e, unplugged_module_stops_the_server) {
    temp_dir dir;
    ASSERT_EQ(symlink(signal_dir->file("12c.eti").c_str(), dir.file("12c.eti").c_str()), 0);
    testsupport::child server({testsupport::dabserver_path(), "-d", "sim:" + dir.path(), "-t", "12c", "-m"}, run_dir.path());
    usleep(3000000);
    ASSERT_TRUE(server.running()) << server.out() << server.err();
    testsupport::write_file(dir.file("unplugged"), "");
    EXPECT_EQ(server.wait(20), 0) << server.out() << server.err();
}

}  // namespace

// A DAB+ programme reaches its ring as LOAS frames, one per access unit, with one PAD record
// per access unit beside them: a reader that joins at any moment starts on a frame.
TEST_F(msc_e2e, dabplus_programme_arrives_as_loas_frames_with_its_pad) {
    start("sim:" + signal_dir->path() + ",speed=2", KHZ_12C);
    ASSERT_TRUE(wait_until(20, [&] { return table_has(7, 0xD104); })) << "no service table";
    msc *m = ens->msc_stream;
    m->lock();
    const dab_service_t *plus = service(0xD104);
    ASSERT_NE(plus, nullptr);
    EXPECT_EQ(plus->sc[0].ascty, ASCTY_DABPLUS);
    EXPECT_EQ(service(0xD101)->sc[0].ascty, ASCTY_MP2);
    EXPECT_EQ(ens->subchannel[4].framesize, 288);
    EXPECT_EQ(m->isdabplus(4), 1);
    EXPECT_EQ(m->isdabplus(1), 0);
    m->unlock();

    ring_reader audio(ens->rbuff, 4, 0), pad(ens->rbuff, 4, 1);
    ASSERT_TRUE(audio.open(true));
    ASSERT_TRUE(pad.open(true));
    EXPECT_EQ(audio.audio(), RING_AUDIO_LOAS);
    bytes a, p;
    unsigned char buf[8192];
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(7000);
    while (std::chrono::steady_clock::now() < until) {
        usleep(100000);
        for (unsigned long n; (n = audio.read(buf, sizeof buf)) > 0;) a.insert(a.end(), buf, buf + n);
        for (unsigned long n; (n = pad.read(buf, sizeof buf)) > 0;) p.insert(p.end(), buf, buf + n);
    }
    EXPECT_EQ(audio.overruns(), 0u);

    // AudioSyncStream: 11 bits of sync, 13 of length, frame after frame from the first byte.
    size_t off = 0, frames = 0;
    while (off + 3 <= a.size()) {
        ASSERT_EQ(a[off], 0x56) << "frame " << frames;
        ASSERT_EQ(a[off + 1] & 0xE0, 0xE0) << "frame " << frames;
        off += 3 + static_cast<size_t>((a[off + 1] & 0x1F) << 8 | a[off + 2]);
        frames++;
    }
    EXPECT_EQ(off, a.size()) << "the stream ends on a frame boundary";
    // 48 kHz without SBR: 50 AUs of 960 samples a second, 14 s of signal in 7 s.
    EXPECT_GT(frames, 500u);
    EXPECT_LT(frames, 750u);
    dabcommon::sf_header h;
    ASSERT_TRUE(m->dabplus_format(4, h));
    EXPECT_EQ(h.output_rate(), 48000);
    EXPECT_EQ(h.channels(), 2);
    EXPECT_EQ(m->dabplus_stats[4].au_crc_errors.load(), 0u);
    EXPECT_EQ(m->dabplus_stats[4].rs_uncorrectable.load(), 0u);
    EXPECT_GE(m->dabplus_stats[4].aus.load(), frames);

    size_t records = 0;
    xpad_streams x;
    for (size_t q = 0; q + 8 <= p.size(); records++) {
        ASSERT_EQ(p[q], 0xFF);
        const int len = p[q + 4] | p[q + 5] << 8;
        ASSERT_GE(len, 8);
        if (q + static_cast<size_t>(len) > p.size()) break;
        x.add(p.data() + q, len);
        q += static_cast<size_t>(len);
    }
    EXPECT_LE(records > frames ? records - frames : frames - records, 6u) << "one PAD record per access unit";
    bool label_seen = false;
    for (const std::string text : {"Demo Plus: DAB+ at 48 kHz, 1000 Hz left, 1500 Hz right",
                                   "Now playing: the DAB+ programme of DAB DEMO ONE"})
        for (size_t i = 0; i + 16 <= text.size(); i += 16) label_seen |= contains(x.dl, text.substr(i, 16));
    EXPECT_TRUE(label_seen) << "no dynamic label segment in the X-PAD";
    EXPECT_FALSE(x.mot.empty()) << "no slideshow data in the X-PAD";
}
