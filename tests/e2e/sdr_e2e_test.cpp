// The server on the software receiver: the demo ensembles modulated into IQ recordings, played
// from a file and from an rtl_tcp server over loopback, and the receiver's input failing.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/sys_support.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr size_t ETI_FRAME = 6144;
constexpr size_t FRAME_SAMPLES = 196608;  // one transmission frame of mode I: 4 ETI frames

// The first n ETI frames of a demo ensemble (n a multiple of 4, a whole number of
// transmission frames).
std::string demo_head(const std::string &channel, size_t n) {
    const std::string eti = read_file(demo_signal_dir() + "/" + channel + ".eti");
    return eti.substr(0, std::min(eti.size(), n * ETI_FRAME));
}

// A u8 recording of eti at 30 dB SNR that loops without a seam: the modulator plays eti twice
// and the second pass is kept, its time interleaver already full of the first pass's end, as
// a receiver finds it after the wrap. Made in the background: start, then finish.
struct seamless_recording {
    std::string out;
    size_t eti_frames;
    std::unique_ptr<child> mod;

    seamless_recording(const std::string &eti_path, size_t frames, const std::string &path, const std::string &cwd)
        : out(path), eti_frames(frames),
          mod(std::make_unique<child>(std::vector<std::string>{binary_dir() + "/tools/dabmod", "-q", "-n", "2",
                                                               "--snr", "30", "-o", path + ".twice", eti_path},
                                      cwd)) {}

    bool finish() {
        const std::string twice = out + ".twice";
        const int status = mod->wait(120);
        if (status != 0) {
            ADD_FAILURE() << "dabmod: " << status << " " << mod->err();
            return false;
        }
        std::string why;
        if (!keep_second_pass(twice, eti_frames, out, &why)) {
            ADD_FAILURE() << why;
            return false;
        }
        return true;
    }
};

// The recordings of one ETI file per channel in dir (12c.iq beside 12c.eti), made side by side.
bool seamless_recordings(const temp_dir &dir, const std::vector<std::string> &channels, size_t frames) {
    std::vector<std::unique_ptr<seamless_recording>> r;
    for (const std::string &ch : channels)
        r.push_back(std::make_unique<seamless_recording>(dir.file(ch + ".eti"), frames, dir.file(ch + ".iq"), dir.path()));
    bool ok = true;
    for (auto &x : r) ok = x->finish() && ok;
    return ok;
}

size_t count(const std::string &s, const std::string &what) {
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) n++;
    return n;
}

// The LOAS frames of a stream, back to back from its first byte; a cut last frame is left
// out. False at a frame that does not start with the sync word.
bool loas_frames(const std::string &s, std::vector<std::string> &out) {
    size_t off = 0;
    while (off + 3 <= s.size()) {
        const auto *b = reinterpret_cast<const unsigned char *>(s.data() + off);
        if (b[0] != 0x56 || (b[1] & 0xE0) != 0xE0) return false;
        const size_t len = 3 + static_cast<size_t>((b[1] & 0x1F) << 8 | b[2]);
        if (off + len > s.size()) break;
        out.push_back(s.substr(off, len));
        off += len;
    }
    return true;
}

// The access units of a DAB+ subchannel, without their CRCs, from its frames in the ETI, the
// first of them starting a superframe. A superframe is five frames, of which the first 110 of
// every 120 bytes carry audio: firecode(16) rfa(1) dac_rate(1) sbr_flag(1) aac_channel_mode(1)
// ps_flag(1) mpeg_surround_config(3), then the start of every access unit but the first, 12 bits
// each; access units end with a 16-bit CRC.
std::vector<std::string> access_units(const std::vector<std::string> &frames) {
    std::vector<std::string> out;
    for (size_t f = 0; f + 5 <= frames.size(); f += 5) {
        std::string sf;
        for (size_t i = f; i < f + 5; i++) sf += frames[i];
        const auto *p = reinterpret_cast<const unsigned char *>(sf.data());
        const size_t audio = sf.size() / 120 * 110;
        const bool dac_48k = p[2] & 0x40, sbr = p[2] & 0x20;
        const size_t num_aus = dac_48k ? (sbr ? 3 : 6) : (sbr ? 2 : 4);
        std::vector<size_t> start = {3 + ((num_aus - 1) * 12 + 7) / 8};
        for (size_t k = 1; k < num_aus; k++) {
            const size_t bit = 24 + 12 * (k - 1), at = bit / 8;
            const unsigned v = static_cast<unsigned>(p[at]) << 8 | p[at + 1];
            start.push_back(bit % 8 ? v & 0x0FFF : v >> 4);
        }
        start.push_back(audio);
        for (size_t k = 0; k < num_aus; k++) {
            if (start[k + 1] < start[k] + 2 || start[k + 1] > audio) return {};
            out.push_back(sf.substr(start[k], start[k + 1] - start[k] - 2));
        }
    }
    return out;
}

// Whether a LOAS frame ends in the access unit, up to the padding of its last byte: the fields
// before it in the AudioMuxElement leave it at any bit position.
bool carries(const std::string &loas, const std::string &au) {
    const size_t bits = loas.size() * 8, need = au.size() * 8;
    auto byte_at = [&](size_t bit) {
        const size_t j = bit / 8;
        const unsigned w = static_cast<unsigned char>(loas[j]) << 8 |
                           (j + 1 < loas.size() ? static_cast<unsigned char>(loas[j + 1]) : 0u);
        return static_cast<unsigned char>(w >> (8 - bit % 8));
    };
    for (size_t pad = 0; pad < 8 && need + pad + 24 <= bits; pad++) {
        const size_t start = bits - pad - need;
        size_t i = 0;
        while (i < au.size() && byte_at(start + 8 * i) == static_cast<unsigned char>(au[i])) i++;
        if (i == au.size()) return true;
    }
    return false;
}

// Whether the looped LOAS frames carry the looped access units one each, in order.
bool carry_all(const std::vector<std::string> &cycle, const std::vector<std::string> &aus) {
    if (cycle.size() != aus.size()) return false;
    for (size_t k = 0; k < aus.size(); k++) {
        size_t i = 0;
        while (i < cycle.size() && carries(cycle[i], aus[(k + i) % aus.size()])) i++;
        if (i == cycle.size()) return true;
    }
    return false;
}

// Whether got is a run of the looped frames (of any sizes) from the start of one of them; the
// last may be cut.
bool looped_run(const std::vector<std::string> &cycle, const std::string &got, std::string *why) {
    *why = "first frame not found";
    for (size_t k = 0; k < cycle.size(); k++) {
        if (got.compare(0, cycle[k].size(), cycle[k]) != 0) continue;
        size_t pos = 0;
        for (size_t i = k; pos < got.size(); i++) {
            const std::string &f = cycle[i % cycle.size()];
            const size_t n = std::min(f.size(), got.size() - pos);
            if (got.compare(pos, n, f, 0, n) != 0) break;
            pos += n;
        }
        if (pos >= got.size()) return true;
        *why = "differs at byte " + std::to_string(pos) + " of " + std::to_string(got.size());
    }
    return false;
}

// What a stream that is no run of the frames starts with instead: the bytes before the first
// place a run begins (to the end of the stream if none does), in hex, and their count.
std::string lead_in(const std::vector<std::string> &frames, const std::string &got) {
    size_t p = 0;
    std::string why;
    while (p < got.size() && !contiguous_run(frames, got.substr(p), &why)) p++;
    std::string hex;
    for (size_t i = 0; i < std::min<size_t>(p, 48); i++) {
        char b[4];
        snprintf(b, sizeof b, "%02x ", static_cast<unsigned char>(got[i]));
        hex += b;
    }
    const bool zeros = got.find_first_not_of('\0') >= p;
    return std::to_string(p) + " of " + std::to_string(got.size()) + " bytes before the broadcast" +
           (zeros ? ", all zero" : "") + ": " + hex + (p > 48 ? "..." : "");
}

// Reads every client until done holds or the time is over; false then, or when a server hung up.
bool read_all(const std::vector<stream_client *> &clients, double seconds, const std::function<bool()> &done) {
    const double end = now_s() + seconds;
    while (!done()) {
        if (now_s() > end) return false;
        for (stream_client *c : clients)
            if (!c->read_into(c->data, 10)) return false;
    }
    return true;
}

struct demo_ensemble {
    const char *channel;
    size_t services;
    std::vector<int> layer2;  // the subchannels of the MPEG Layer II programmes
    int plus;                 // the DAB+ programme's subchannel
    size_t plus_aus;          // its access units per 120 ms superframe
};

// 1.92 s: 20 transmission frames and 16 superframes, so that the loop keeps both in step
constexpr size_t HEAD_FRAMES = 80;

// One demo ensemble from its recording, with every audio programme streamed at once, and the
// virtual module on the same ETI beside it.
struct ensemble_run {
    const demo_ensemble &e;
    temp_dir sig, ref;
    std::unique_ptr<demo_server> radio, sim;
    std::vector<std::unique_ptr<stream_client>> layer2;
    std::vector<std::vector<std::string>> oracle;  // the ETI's frames of each Layer II subchannel
    std::unique_ptr<stream_client> plus, plus_sim;
    std::unique_ptr<seamless_recording> recording;
    std::vector<std::string> got_aus, sim_aus;
    bool loas_ok = true;

    explicit ensemble_run(const demo_ensemble &d) : e(d) {}
    size_t loop_aus() const { return HEAD_FRAMES / 5 * e.plus_aus; }

    // The virtual module at once; the recording in the background.
    void start() {
        const std::string eti = demo_head(e.channel, HEAD_FRAMES);
        // The virtual module plays the file named after the tuned channel.
        write_file(ref.file("12c.eti"), eti);
        sim = std::make_unique<demo_server>("sim:" + ref.path() + ",speed=4");
        write_file(sig.file("head.eti"), eti);
        recording = std::make_unique<seamless_recording>(sig.file("head.eti"), HEAD_FRAMES, sig.file("head.iq"),
                                                         sig.path());
    }

    void start_radio() {
        ASSERT_TRUE(recording->finish());
        radio = std::make_unique<demo_server>("sdr:file=" + sig.file("head.iq") + ",loop,speed=2");
    }

    // The servers notice a stop every 2 s: all told at once, they are gone in one wait.
    void stop() {
        for (demo_server *d : {radio.get(), sim.get()})
            if (d) d->proc->signal(SIGINT);
    }

    void open_streams() {
        ASSERT_TRUE(radio->ready()) << radio->proc->out() << radio->proc->err();
        ASSERT_TRUE(sim->ready()) << sim->proc->out();
        ASSERT_TRUE(radio->table_ready(e.services)) << radio->get("/") << radio->proc->err();
        ASSERT_TRUE(sim->table_ready(e.services)) << sim->get("/");
        for (int n : e.layer2) {
            layer2.push_back(std::make_unique<stream_client>(radio->port, "/stream/" + std::to_string(n) + ".mp2"));
            ASSERT_EQ(layer2.back()->status(), 200) << n << ": " << layer2.back()->head;
            oracle.push_back(subchannel_frames(sig.file("head.eti"), n));
            ASSERT_EQ(oracle.back().size(), HEAD_FRAMES) << n;
        }
        const std::string loas = "/stream/" + std::to_string(e.plus) + ".loas";
        plus = std::make_unique<stream_client>(radio->port, loas);
        plus_sim = std::make_unique<stream_client>(sim->port, loas);
        ASSERT_EQ(plus->status(), 200) << plus->head;
        ASSERT_EQ(plus_sim->status(), 200) << plus_sim->head;
    }

    void clients(std::vector<stream_client *> &all) const {
        all.push_back(plus.get());
        all.push_back(plus_sim.get());
        for (auto &c : layer2) all.push_back(c.get());
    }

    // The receiver's streams across a wrap of the recording at least; from the virtual module
    // the loop twice after a lead-in, to take its cycle from.
    bool enough() {
        for (size_t i = 0; i < layer2.size(); i++)
            if (layer2[i]->data.size() < HEAD_FRAMES * 3 / 2 * oracle[i][0].size()) return false;
        got_aus.clear();
        sim_aus.clear();
        loas_ok = loas_frames(plus->data, got_aus) && loas_frames(plus_sim->data, sim_aus);
        // A broken stream is broken for good: no use waiting.
        return !loas_ok || (got_aus.size() >= loop_aus() * 3 / 2 && sim_aus.size() >= loop_aus() * 5 / 2);
    }

    std::string progress() const {
        std::string s = "DAB+ " + std::to_string(got_aus.size()) + " access units, from the module " +
                        std::to_string(sim_aus.size()) + " (" + std::to_string(loop_aus()) + " a loop); Layer II bytes";
        for (auto &c : layer2) s += " " + std::to_string(c->data.size());
        return s;
    }

    void check() {
        for (size_t i = 0; i < layer2.size(); i++) {
            std::string why;
            if (!contiguous_run(oracle[i], layer2[i]->data, &why))
                ADD_FAILURE() << "subchannel " << e.layer2[i] << ": " << why << "; "
                              << lead_in(oracle[i], layer2[i]->data)
                              << "\n(zeros there: CIFs decoded before the subchannel was routed, delivered after)";
        }
        ASSERT_TRUE(loas_ok) << "a DAB+ stream that is no run of LOAS frames";
        // The module's stream repeats with the loop: its last round is the oracle.
        const auto n = static_cast<long>(loop_aus());
        ASSERT_GE(sim_aus.size(), 2 * loop_aus());
        const std::vector<std::string> cycle(sim_aus.end() - n, sim_aus.end());
        ASSERT_TRUE(std::equal(cycle.begin(), cycle.end(), sim_aus.end() - 2 * n))
            << "the virtual module's DAB+ stream does not repeat with the ETI";
        // ... and it is the ETI's: each frame carries the next access unit of the subchannel.
        const std::vector<std::string> aus = access_units(subchannel_frames(sig.file("head.eti"), e.plus));
        ASSERT_EQ(aus.size(), loop_aus());
        ASSERT_TRUE(carry_all(cycle, aus)) << "the virtual module's LOAS frames are not the ETI's access units";
        std::string why;
        EXPECT_TRUE(looped_run(cycle, plus->data, &why)) << "subchannel " << e.plus << ": " << why;

        const std::string stat = radio->get("/stat");
        EXPECT_EQ(number_after(stat, "Bad FIBs:"), 0);
        const std::vector<long> row = dabplus_row(stat, e.plus);
        ASSERT_EQ(row.size(), 7u) << stat;
        EXPECT_GT(row[0], 0) << "superframes";
        EXPECT_EQ(row[2], 0) << "bytes repaired by Reed-Solomon: the receiver's output was not exact";
        EXPECT_EQ(row[3], 0) << "uncorrectable codewords";
        EXPECT_EQ(row[4], 0) << "access units with a broken CRC";
        EXPECT_EQ(row[5], 0) << "broken access unit tables";
        EXPECT_NE(radio->proc->err().find("synchronised"), std::string::npos) << radio->proc->err();
        // The recording was made at 30 dB: the receiver's estimate reaches both pages.
        const long snr = number_after(stat, "Signal-to-noise ratio:");
        EXPECT_TRUE(snr >= 25 && snr <= 35) << stat;
        const std::string api = radio->get("/api/ensemble.json");
        const size_t at = api.find("\"snr_db\":");
        ASSERT_NE(at, std::string::npos) << api;
        const double api_snr = std::strtod(api.c_str() + at + 9, nullptr);
        EXPECT_TRUE(api_snr >= 25 && api_snr <= 35) << api;
    }
};

}  // namespace

// Every audio programme of both demo ensembles, all received at once: the Layer II ones are
// the ETI's subchannel frames byte for byte, the DAB+ ones what the virtual module streams
// from the same ETI, and no FIB, Reed-Solomon codeword or access unit needed a repair.
TEST(sdr_e2e, every_programme_of_both_demo_ensembles_is_the_broadcast) {
    NEED_DEMO_SIGNAL();
    const demo_ensemble ensembles[] = {
        // AAC at 48 kHz: six 20 ms access units per superframe
        {"12c", 4, {1, 2, 3}, 4, 6},
        // SBR: the AAC core at 24 kHz, three 40 ms access units per superframe
        {"la", 3, {1, 2}, 3, 3},
    };
    std::vector<std::unique_ptr<ensemble_run>> runs;
    for (const auto &e : ensembles) {
        runs.push_back(std::make_unique<ensemble_run>(e));
        runs.back()->start();
    }
    for (auto &r : runs) ASSERT_NO_FATAL_FAILURE(r->start_radio()) << r->e.channel;
    std::vector<stream_client *> all;
    for (auto &r : runs) {
        ASSERT_NO_FATAL_FAILURE(r->open_streams()) << r->e.channel;
        r->clients(all);
    }
    const bool whole = read_all(all, 90, [&] {
        return std::all_of(runs.begin(), runs.end(), [](const auto &r) { return r->enough(); });
    });
    if (!whole)
        for (auto &r : runs) ADD_FAILURE() << r->e.channel << ": " << r->progress();
    ASSERT_TRUE(whole) << "not every stream delivered in time";
    for (auto &r : runs) {
        SCOPED_TRACE(r->e.channel);
        r->check();
    }
    for (auto &r : runs) r->stop();
}

// A programme opened while the receiver plays: its stream starts with the broadcast. Played at a
// quarter of real time, the CIFs the receiver decoded ahead before the subchannel was routed
// are still queued when the listener comes; with a zero payload for the subchannel then, they
// must not reach it.
TEST(sdr_e2e, a_stream_opened_while_receiving_starts_with_the_broadcast) {
    NEED_DEMO_SIGNAL();
    temp_dir sig;
    constexpr size_t FRAMES = 32;
    write_file(sig.file("la.eti"), demo_head("la", FRAMES));
    ASSERT_TRUE(seamless_recordings(sig, {"la"}, FRAMES));
    demo_server radio("sdr:file=" + sig.file("la.iq") + ",loop,speed=0.25");
    ASSERT_TRUE(radio.ready()) << radio.proc->out() << radio.proc->err();
    ASSERT_TRUE(radio.table_ready(3)) << radio.get("/") << radio.proc->err();
    for (int n : {1, 2}) {
        SCOPED_TRACE("subchannel " + std::to_string(n));
        const std::vector<std::string> frames = subchannel_frames(sig.file("la.eti"), n);
        ASSERT_EQ(frames.size(), FRAMES);
        stream_client c(radio.port, "/stream/" + std::to_string(n) + ".mp2");
        ASSERT_EQ(c.status(), 200) << c.head;
        // Two transmission frames: 0.8 s at this pace.
        ASSERT_TRUE(c.read_bytes(8 * frames[0].size(), 30)) << c.data.size();
        std::string why;
        if (!contiguous_run(frames, c.data, &why))
            ADD_FAILURE() << "the receiver's stream is not the broadcast: " << why << "; " << lead_in(frames, c.data)
                          << "\n(zeros there: CIFs decoded before the subchannel was routed, delivered after)";
    }
}

TEST(sdr_e2e, scan_over_rtl_tcp_finds_both_demo_ensembles) {
    NEED_DEMO_SIGNAL();
    temp_dir sig, run_dir;
    constexpr size_t FRAMES = 32;  // the FIC of every frame is what a scan needs
    for (const char *ch : {"12c", "la"}) write_file(sig.file(std::string(ch) + ".eti"), demo_head(ch, FRAMES));
    ASSERT_TRUE(seamless_recordings(sig, {"12c", "la"}, FRAMES));
    // Eight times real time: what the fake has in flight at a retune (a 10 ms tick of 164k
    // samples and its send queue) stays within the 262k samples (128 ms) the receiver drops,
    // so no ensemble shows on the next channel.
    const int port = free_port();
    child fake({binary_dir() + "/tools/rtltcp_fake", "-p", std::to_string(port), "-d", sig.path(), "-s", "8"},
               run_dir.path());
    ASSERT_TRUE(wait_for_port(port, 10)) << fake.err();
    write_file(run_dir.file("dab.ini"), "");
    const int http = free_port();
    child srv({dabserver_path(), "-d", "sdr:rtl_tcp=127.0.0.1:" + std::to_string(port) + ",speed=8", "-s", "-m", "-p",
               std::to_string(http), "-R", run_dir.path(), "-l", "99", "1"},
              run_dir.path());
    // LA opens band 2: once it is recorded, nothing is left to find. 12C is followed by the
    // rest of band 1, where it must not show a second time.
    ASSERT_TRUE(srv.wait_for_output("scan_band: la:DAB DEMO TWO", 180)) << srv.out() << srv.err() << fake.err();
    srv.signal(SIGINT);
    EXPECT_EQ(srv.wait(30), 0) << srv.err();
    EXPECT_NE(srv.out().find("finished scanning band 1: found 1 ensembles"), std::string::npos) << srv.out();
    EXPECT_NE(srv.out().find("scan_band: 12c:DAB DEMO ONE"), std::string::npos) << srv.out();
    EXPECT_NE(fake.err().find("1452960 kHz"), std::string::npos) << fake.err();
}

// Inputs that carry no ensemble, or stop: said in the log, no crash, the device removed in order.
TEST(sdr_e2e, failing_inputs_are_said_and_removed_in_order) {
    temp_dir sig;
    std::string random(3 * FRAME_SAMPLES * 2, '\0');
    uint32_t x = 7;
    for (char &c : random) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    write_file(sig.file("zeros.iq"), std::string(3 * FRAME_SAMPLES * 2, '\0'));
    write_file(sig.file("random.iq"), random);
    const struct {
        const char *what, *device, *log;
        int status;
    } cases[] = {
        // A recording that ends is a device pulled out: the server stops by itself.
        {"a recording of zeros ends", "zeros.iq", "end of the recording", 0},
        {"random bytes end", "random.iq", "end of the recording", 0},
        {"a missing recording does not start", "missing.iq", "cannot open the recording", 255},
    };
    // All at once: each server runs on its own until it stops.
    std::vector<std::unique_ptr<temp_dir>> dirs;
    std::vector<std::unique_ptr<child>> servers;
    for (const auto &c : cases) {
        dirs.push_back(std::make_unique<temp_dir>());
        write_file(dirs.back()->file("dab.ini"), "");
        servers.push_back(std::make_unique<child>(
            std::vector<std::string>{dabserver_path(), "-d", "sdr:file=" + sig.file(c.device), "-t", "12c", "-m", "-p",
                                     std::to_string(free_port()), "-R", dirs.back()->path(), "-l", "99", "1"},
            dirs.back()->path()));
    }
    for (size_t i = 0; i < std::size(cases); i++) {
        const auto &c = cases[i];
        child &srv = *servers[i];
        SCOPED_TRACE(c.what);
        EXPECT_EQ(srv.wait(60), c.status) << srv.out() << srv.err();
        EXPECT_EQ(count(srv.err(), c.log), 1u) << srv.err();
        if (c.status == 0) {
            EXPECT_NE(srv.out().find("the device is gone"), std::string::npos) << srv.out();
        }
    }
}

// An rtl_tcp server that goes away or stops sending once the receiver is synchronised.
TEST(sdr_e2e, rtl_tcp_server_that_vanishes_or_stalls) {
    NEED_DEMO_SIGNAL();
    temp_dir sig;
    constexpr size_t FRAMES = 32;
    write_file(sig.file("12c.eti"), demo_head("12c", FRAMES));
    ASSERT_TRUE(seamless_recordings(sig, {"12c"}, FRAMES));
    const struct {
        const char *what;
        int fault;  // what the rtl_tcp server gets
        const char *log;
    } cases[] = {
        {"connection closed", SIGKILL, "connection to the receiver lost"},
        // Stopped, its connection stays open without a sample.
        {"no more samples", SIGSTOP, "the receiver is given up"},
    };
    struct running {
        temp_dir dir;
        std::unique_ptr<child> fake, srv;
    };
    // Both at once: the stall takes the receiver's 5 s to be given up.
    std::vector<std::unique_ptr<running>> runs;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto r = std::make_unique<running>();
        write_file(r->dir.file("dab.ini"), "");
        const int port = free_port();
        r->fake = std::make_unique<child>(
            std::vector<std::string>{binary_dir() + "/tools/rtltcp_fake", "-p", std::to_string(port), "-d", sig.path()},
            r->dir.path());
        ASSERT_TRUE(wait_for_port(port, 10)) << r->fake->err();
        r->srv = std::make_unique<child>(
            std::vector<std::string>{dabserver_path(), "-d", "sdr:rtl_tcp=127.0.0.1:" + std::to_string(port), "-t",
                                     "12c", "-m", "-p", std::to_string(free_port()), "-R", r->dir.path(), "-l", "99",
                                     "1"},
            r->dir.path());
        runs.push_back(std::move(r));
    }
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(cases[i].what);
        ASSERT_TRUE(runs[i]->srv->wait_for_output("synchronised", 30)) << runs[i]->srv->err();
        runs[i]->fake->signal(cases[i].fault);
    }
    for (size_t i = 0; i < std::size(cases); i++) {
        const auto &c = cases[i];
        child &srv = *runs[i]->srv;
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(srv.wait_for_output(c.log, 30)) << srv.out() << srv.err();
        // Given up is pulled out: the server stops by itself, in order.
        EXPECT_EQ(srv.wait(30), 0) << srv.out() << srv.err();
        EXPECT_EQ(count(srv.err(), c.log), 1u) << srv.err();
        EXPECT_NE(srv.out().find("the device is gone"), std::string::npos) << srv.out();
    }
}
