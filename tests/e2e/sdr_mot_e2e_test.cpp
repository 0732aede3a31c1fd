// The MOT decoder on the software receiver: from a recording of the demo ensemble it writes the
// same slides, web site and file carousel as from the ensemble file on the virtual module.

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/multicast_net.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr size_t ETI_FRAME = 6144;

// 8.16 s of the demo: the web site, the file carousel and the first slide of both slideshows
// whole, and a multiple of 20 frames, so that the loop keeps transmission frames and DAB+
// superframes in step.
constexpr size_t HEAD_FRAMES = 340;

// A u8 recording of eti at 30 dB SNR that loops without a seam: of the modulator's two passes
// the second is kept, its time interleaver already full of the first pass's end.
bool seamless_recording(const std::string &eti_path, size_t eti_frames, const std::string &out) {
    const std::string twice = out + ".twice";
    const run_result r =
        run({binary_dir() + "/tools/dabmod", "-q", "-n", "2", "--snr", "30", "-o", twice, eti_path}, "", 120);
    if (r.status != 0) {
        ADD_FAILURE() << r.err;
        return false;
    }
    std::string why;
    if (!keep_second_pass(twice, eti_frames, out, &why)) {
        ADD_FAILURE() << why;
        return false;
    }
    return true;
}

// The broadcast's objects below a decoder's data directory, by path: <eid>/<sid>/content/<name>
// for slides, <eid>/<sid>/<scid>/<name> for packet services. The pages the decoder makes
// itself (<eid>/*.html, <eid>/<sid>/index.html) and objects still arriving are left out.
std::map<std::string, std::string> objects(const std::string &data) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator i(data, ec), end; !ec && i != end; i.increment(ec)) {
        if (!i->is_regular_file(ec) || i->path().extension() == ".tmp") continue;
        const fs::path rel = i->path().lexically_relative(data);
        if (std::distance(rel.begin(), rel.end()) >= 4) out[rel.string()] = read_file(i->path().string());
    }
    return out;
}

std::string names(const std::map<std::string, std::string> &tree) {
    std::string s;
    for (const auto &[name, bytes] : tree) s += "  " + name + " (" + std::to_string(bytes.size()) + " bytes)\n";
    return s;
}

// The demo ensemble carries IP over DAB: the decoders here send multicast, so they run in a
// network of the test's own.
class sdr_mot_e2e : public ::testing::Test {
protected:
    static void SetUpTestSuite() { net_ = private_multicast_net(why_); }
    void SetUp() override {
        if (!net_) GTEST_SKIP() << "no private network for multicast: " << why_;
        if (!have_demo_signal()) GTEST_SKIP() << "demo signal not generated (make demo-signal)";
    }
    static bool net_;
    static std::string why_;
};
bool sdr_mot_e2e::net_ = false;
std::string sdr_mot_e2e::why_;

}  // namespace

TEST_F(sdr_mot_e2e, decoder_writes_the_same_files_from_the_recording_as_from_the_ensemble_file) {
    temp_dir sig, ref;
    const std::string eti = read_file(demo_signal_dir() + "/12c.eti").substr(0, HEAD_FRAMES * ETI_FRAME);
    ASSERT_EQ(eti.size(), HEAD_FRAMES * ETI_FRAME);
    // The virtual module plays the file named after the tuned channel.
    write_file(ref.file("12c.eti"), eti);
    demo_options o;
    o.decoder = true;
    o.ini = "multicastif lo\n";
    demo_server sim("sim:" + ref.path() + ",speed=2", o);
    write_file(sig.file("head.eti"), eti);
    ASSERT_TRUE(seamless_recording(sig.file("head.eti"), HEAD_FRAMES, sig.file("head.iq")));
    demo_server radio("sdr:file=" + sig.file("head.iq") + ",loop,speed=2", o);

    // What the head of demo/12c.ensemble sends whole, and where the decoder puts it.
    const std::string demo = source_dir() + "/demo/";
    const struct {
        const char *object, *source;
    } sent[] = {
        {"c1d1/e0d10001/0001/index.html", "website/index.html"},
        {"c1d1/e0d10001/0001/news/today.html", "website/news/today.html"},
        {"c1d1/e0d10001/0001/img/map.jpg", "website/img/map.jpg"},
        {"c1d1/e0d10001/0001/about.html", "website/about.html"},  // sent gzip-compressed, stored unpacked
        {"c1d1/e0d10002/0002/readme.txt", "files/readme.txt"},
        {"c1d1/e0d10002/0002/schedule.txt", "files/schedule.txt"},
        {"c1d1/e0d10002/0002/photo.jpg", "files/photo.jpg"},
        {"c1d1/d101/content/testcard.jpg", "pictures/testcard.jpg"},    // the first slide of each
        {"c1d1/d104/content/colourbars.jpg", "pictures/colourbars.jpg"},  // slideshow, DAB+ too
    };
    const std::string sim_data = sim.dir.file("root/data"), radio_data = radio.dir.file("root/data");
    std::map<std::string, std::string> from_sim, from_radio;
    auto has_all = [&](const std::map<std::string, std::string> &tree) {
        for (const auto &s : sent)
            if (!tree.count(s.object)) return false;
        return true;
    };
    // The loop comes round every 8 s of signal: an object missed in one round comes whole in the next.
    const bool complete = wait_until(
        150,
        [&] {
            from_sim = objects(sim_data);
            from_radio = objects(radio_data);
            return has_all(from_sim) && has_all(from_radio);
        },
        250);
    ASSERT_TRUE(complete) << "from the ensemble file:\n"
                          << names(from_sim) << "from the recording:\n"
                          << names(from_radio) << radio.proc->out() << radio.proc->err();
    for (const auto &s : sent) EXPECT_EQ(from_sim[s.object], read_file(demo + s.source)) << s.object;
    // Each decoder holds every object of the loop by now: the same ones, byte for byte.
    EXPECT_EQ(names(from_radio), names(from_sim));
    for (const auto &[name, bytes] : from_sim) EXPECT_EQ(from_radio[name], bytes) << name;
    // (Missing packets are the loop's seam, as from the ensemble file.)
    for (const char *bad : {"CRC error", "wrong CRC"})
        EXPECT_EQ(radio.proc->out().find(bad), std::string::npos) << bad << "\n" << radio.proc->out();
    // The servers notice a stop every 2 s: both told at once.
    sim.proc->signal(SIGINT);
    radio.proc->signal(SIGINT);
}
