// The whole chain: ensemble generator -> ETI -> RDI dumps -> reader -> FIC decoder -> FIG store.
// Expectations come from the same ensemble description the generator read.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "datapath_env.h"
#include "desc.h"
#include "support/test_support.h"

using dptest::datapath_env;
using testsupport::cwd_guard;
using testsupport::stdout_to_file;

namespace {

using clock_type = std::chrono::steady_clock;

bool wait_until(const std::function<bool()> &cond, double seconds) {
    auto end = clock_type::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    while (clock_type::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

std::string trimmed(const char *s) {
    std::string t(s);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}

// Copies of all records of (type, ext), freed on destruction.
class records {
public:
    records(fic &f, int type, int ext) {
        auto *first = static_cast<gen_data_t *>(malloc(1024));
        if (f.findall(first, type, ext) > 0)
            for (gen_data_t *g = first; g; g = fig_next(g)) list_.push_back(g);
    }
    ~records() {
        if (!list_.empty()) fig_free_chain(list_.front());
    }
    records(const records &) = delete;
    records &operator=(const records &) = delete;
    template <class R>
    std::vector<const R *> as() const {
        std::vector<const R *> out;
        for (auto *g : list_) out.push_back(static_cast<const R *>(g));
        return out;
    }

private:
    std::vector<gen_data_t *> list_;
};

void check_store_against(fic &store, const dabgen::ensemble_desc &d) {
    EXPECT_EQ(store.get_ensemble_id(), d.eid);
    char label[17];
    ASSERT_EQ(store.get_ensemble_label(label), 1);
    EXPECT_EQ(trimmed(label), d.label);
    if (!d.short_label.empty()) {
        store.get_ensemble_shortlabel(label);
        EXPECT_EQ(std::string(label), d.short_label);
    }

    records services(store, 0, 2), subchannels(store, 0, 1), labels16(store, 1, 1), labels32(store, 1, 5),
        packets(store, 0, 3);
    std::map<uint32_t, const service_organization_t *> by_sid;
    for (auto *s : services.as<service_organization_t>()) by_sid[static_cast<uint32_t>(s->sid)] = s;
    std::map<int, const sub_channel_organization_t *> by_subch;
    for (auto *s : subchannels.as<sub_channel_organization_t>()) by_subch[s->subchid] = s;
    std::map<uint32_t, const dablabel_t *> label_of;
    for (auto *l : labels16.as<dablabel_t>()) label_of[static_cast<uint32_t>(l->id)] = l;
    for (auto *l : labels32.as<dablabel_t>()) label_of[static_cast<uint32_t>(l->id)] = l;

    std::set<int> subchids;
    for (const auto &s : d.services) {
        SCOPED_TRACE(s.label);
        ASSERT_TRUE(by_sid.count(s.sid)) << std::hex << s.sid;
        const service_organization_t *so = by_sid[s.sid];
        EXPECT_EQ(so->hdr.pd, s.long_sid ? 1 : 0);
        ASSERT_GE(so->num_of_sc, 1);
        const service_comp_desc_t &c = so->service_comp_desc[0];
        if (s.kind == dabgen::service_desc::AUDIO) {
            EXPECT_EQ(c.tmid, 0);
            EXPECT_EQ(c.subchid, s.subchid);
        } else {
            EXPECT_EQ(c.tmid, 3);
            EXPECT_EQ(c.scid, s.scid);
            bool found = false;
            for (auto *p : packets.as<service_component_packet_t>())
                if (p->scid == s.scid && p->subchid == s.subchid) {
                    found = true;
                    EXPECT_EQ(p->packet_address, s.address);
                }
            EXPECT_TRUE(found) << "FIG 0/3 of SCId " << s.scid;
        }
        ASSERT_TRUE(label_of.count(s.sid));
        EXPECT_EQ(trimmed(label_of[s.sid]->name), s.label);
        if (!s.short_label.empty()) {
            EXPECT_EQ(std::string(label_of[s.sid]->short_name), s.short_label);
        }
        subchids.insert(s.subchid);
        if (s.bitrate) {
            ASSERT_TRUE(by_subch.count(s.subchid));
            EXPECT_EQ(by_subch[s.subchid]->bitrate, s.bitrate);
        }
    }
    EXPECT_EQ(by_subch.size(), subchids.size());
}

}  // namespace

// Replays the demo ensembles' dumps as "dabserver -E -E" does (unpaced).
TEST(Replay, DemoEnsemblesFillTheFigStore) {
    const std::string root = testsupport::source_dir();
    for (const char *channel : {"12c", "la"}) {
        SCOPED_TRACE(channel);
        const std::string dumps = root + "/demo/signal/" + channel;
        if (!testsupport::file_exists(dumps + "/rdi0.dmp"))
            GTEST_SKIP() << "no demo dumps in " << dumps << ": run \"make demo-signal\" first";
        dabgen::ensemble_desc d;
        std::string err;
        ASSERT_TRUE(dabgen::load_description(root + "/demo/" + channel + ".ensemble", d, err)) << err;

        testsupport::temp_dir tmp;
        stdout_to_file out(tmp.file("stdout.txt"));
        cwd_guard cwd(dumps);
        datapath_env env;
        env.ens.cfg->emulate = 2;
        ASSERT_EQ(env.ens.rdi_stream->start(), 1);
        // One whole pass through the dump files; the store is read while the reader goes on.
        ASSERT_TRUE(wait_until([&] { return env.count("Restart, Loading rdi0.dmp") > 0; }, 120));
        check_store_against(*env.ens.fic_stream, d);
        EXPECT_GT(env.ens.st->fibcnt_sum, 1000u);
        EXPECT_EQ(env.ens.st->fibcnt_err, 0u);
        EXPECT_EQ(env.ens.st->figcnt_err, 0u);
        EXPECT_EQ(env.ens.st->rdicnt_err, 0u);
        env.ens.rdi_stream->stop();
    }
}

// A generated ensemble with a corrupted FIB CRC every seventh frame, fed to the reader
// as a device stream: every corrupted FIB and nothing else is counted as bad.
TEST(Replay, InjectedFibErrorsAreCountedExactly) {
    const std::string tools = testsupport::binary_dir() + "/tools/";
    if (!testsupport::file_exists(tools + "dabgen") || !testsupport::file_exists(tools + "eti2rdi"))
        GTEST_SKIP() << "signal tools not built";
    testsupport::temp_dir tmp;
    const std::string desc_text =
        "[ensemble]\nlabel \"FAULTY ONE\" \"FAULTY\"\neid 0xC3D3\nduration 3\nseed 3\n"
        "[audio]\nsid 0xD301\nlabel \"Faulty Tone\" \"Tone\"\nsubchannel 1\nbitrate 64\nprotection uep 3\n"
        "source tone 440 440\n"
        "[packet]\nsid 0xE0D30001\nlabel \"Faulty Files\" \"Files\"\nsubchannel 2\nbitrate 16\nprotection eep 3A\n"
        "address 1\nscid 5\napplication carousel\nfile f.txt\n"
        "[faults]\nfib_crc 7\n";
    testsupport::write_file(tmp.file("faulty.ensemble"), desc_text);
    testsupport::write_file(tmp.file("f.txt"), "payload\n");
    dabgen::ensemble_desc d;
    std::string err;
    ASSERT_TRUE(dabgen::load_description(tmp.file("faulty.ensemble"), d, err)) << err;
    auto gen = testsupport::run({tools + "dabgen", "-q", "-o", tmp.file("f.eti"), tmp.file("faulty.ensemble")});
    ASSERT_EQ(gen.status, 0) << gen.err;
    ASSERT_EQ(testsupport::run({tools + "eti2rdi", "-q", "-n", "-o", tmp.path(), tmp.file("f.eti")}).status, 0);

    const size_t frames = testsupport::read_file(tmp.file("f.eti")).size() / 6144;
    ASSERT_GT(frames, 100u);
    std::string stream;
    for (int i = 0; testsupport::file_exists(tmp.file("rdi" + std::to_string(i) + ".dmp")); i++)
        stream += testsupport::read_file(tmp.file("rdi" + std::to_string(i) + ".dmp"));

    datapath_env env;
    env.open_pipe();
    ASSERT_EQ(env.ens.rdi_stream->start(), 1);
    std::thread writer([&] { env.write_bytes(std::vector<uint8_t>(stream.begin(), stream.end())); });
    EXPECT_TRUE(wait_until([&] { return env.ens.st->rdicnt_sum >= stream.size() / 4; }, 60));
    writer.join();
    // The reader hands out the last words of the stream; give the decoder a moment.
    EXPECT_TRUE(wait_until([&] { return env.ens.st->fibcnt_sum >= 3 * frames; }, 10));
    EXPECT_EQ(env.ens.st->fibcnt_sum, 3 * frames);
    EXPECT_EQ(env.ens.st->fibcnt_err, frames / 7);
    EXPECT_EQ(env.ens.st->figcnt_err, 0u);
    check_store_against(*env.ens.fic_stream, d);
    env.ens.rdi_stream->stop();
}
