// FIB parsing and the FIG store: counting, refresh, ageing, result chains, hooks.

#include "datapath/fic.h"
#include "httpd/httpd.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "datapath_env.h"

using dptest::datapath_env;
using dptest::fib_builder;
using dptest::label_chars;

namespace {

class FicTest : public ::testing::Test {
protected:
    void decode(const fib_builder &b) { store().decode_fib(b.bytes().data()); }
    fic &store() { return *env.ens.fic_stream; }
    statistic &st() { return *env.ens.st; }
    int records() {
        int n = 0;
        for (fig *f = store().m_figs; f; f = f->next) n++;
        return n;
    }
    // The stored object of (type, ext) whose first type-specific field is key.
    fig *stored(int type, int ext, int key) {
        for (fig *f = store().find(nullptr, nullptr, type, ext); f; f = store().find(f, nullptr, type, ext))
            if (reinterpret_cast<const int32_t *>(f->ptr + 1)[0] == key) return f;
        return nullptr;
    }
    gen_data_t *alloc_record() { return static_cast<gen_data_t *>(malloc(512)); }

    // The decoder and the store reach the ensemble through their own pointer only.
    datapath_env env;
};

fib_builder three_subchannels() {
    fib_builder b;
    b.fig0(1, {0x04, 0x00, 0x3F, 0x08, 0x60, 0x0E, 0x0C, 0x00, 0x84, 0x60});
    return b;
}

}  // namespace

TEST_F(FicTest, PaddingFibCountsNothing) {
    fib_builder pad;
    pad.raw({0xFF});
    decode(pad);
    EXPECT_EQ(st().figcnt_sum, 0u);
    EXPECT_EQ(records(), 0);
}

TEST_F(FicTest, EveryEntryOfAFigIsOneRecordRefreshedOnItsOwn) {
    decode(three_subchannels());
    ASSERT_EQ(records(), 3);
    fig *a = stored(0, 1, 1), *b = stored(0, 1, 2), *c = stored(0, 1, 3);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(static_cast<sub_channel_organization_t *>(a->ptr)->bitrate, 384);
    EXPECT_EQ(static_cast<sub_channel_organization_t *>(c->ptr)->protection_level, 2);

    // Only subchannel 2 comes again, with a new bit rate: its object is kept and refreshed.
    b->ptr->timestamp -= 10;
    fig_time_t old = b->ptr->timestamp;
    fib_builder again;
    again.fig0(1, {0x08, 0x60, 0x10});
    decode(again);
    EXPECT_EQ(records(), 3);
    EXPECT_EQ(stored(0, 1, 2), b) << "a record object stays the same object";
    EXPECT_EQ(b->ptr->occurence, 1);
    EXPECT_GT(b->ptr->timestamp, old);
    EXPECT_EQ(static_cast<sub_channel_organization_t *>(b->ptr)->bitrate, 64);
    EXPECT_EQ(a->ptr->occurence, 0);
    EXPECT_EQ(c->ptr->occurence, 0);
    // The record header is the FIG's.
    EXPECT_EQ(b->ptr->hdr.type, 0);
    EXPECT_EQ(b->ptr->hdr.ext, 1);
    EXPECT_EQ(b->ptr->hdr.len, 4);
    EXPECT_EQ(b->ptr->datasize, static_cast<int>(sizeof(sub_channel_organization_t)));
}

TEST_F(FicTest, SameServiceTwiceIsOneRecord) {
    fib_builder b;
    b.fig0(2, {0xD2, 0x10, 0x01, 0x00, 0x0C});
    decode(b);
    decode(b);
    ASSERT_EQ(records(), 1);
    EXPECT_EQ(store().m_figs->ptr->occurence, 1);
    // C/N differs: a different record
    fib_builder next;
    next.fig0(2, {0xD2, 0x10, 0x01, 0x00, 0x0C}, 0, 1);
    decode(next);
    EXPECT_EQ(records(), 2);
}

TEST_F(FicTest, GlobalDefinitionsOfDifferentServicesAreKeptApart) {
    // Every service's first component has SCIdS 0: without the SId they would overwrite each other.
    fib_builder b;
    b.fig0(8, {0xD2, 0x10, 0x00, 0x01, 0xD2, 0x20, 0x00, 0x02});
    decode(b);
    EXPECT_EQ(records(), 2);
}

TEST_F(FicTest, BrokenHeadersEndTheFib) {
    fib_builder len30;
    len30.fig0(2, {0xD2, 0x10, 0x00}).raw({0x1E, 0x00, 0x00});
    decode(len30);
    EXPECT_EQ(st().figcnt_err, 1u);
    EXPECT_EQ(env.count("decode_fic: invalid fig hdr len 30"), 1);
    EXPECT_EQ(records(), 1);

    fib_builder len31;
    len31.raw({0x1F});
    decode(len31);
    EXPECT_EQ(st().figcnt_err, 2u);

    // An extended label FIG (type 2) has no decoder: it is skipped by its length, what follows counts.
    fib_builder type2;
    type2.fig(2, 0x00, {1, 2, 3}).fig0(2, {0xD2, 0x20, 0x00});
    const uint64_t unknown = st().figcnt_unk;
    decode(type2);
    EXPECT_EQ(records(), 2);
    EXPECT_NE(stored(0, 2, 0xD220), nullptr);
    EXPECT_EQ(st().figcnt_unk, unknown + 1);
}

TEST_F(FicTest, FigRunningPastTheFibIsDroppedOnce) {
    // At byte 5 a FIG 0/2 claims 25 bytes behind its header; the FIB ends at 30.
    fib_builder b;
    b.fig0(2, {0xD2, 0x10, 0x00});
    std::vector<uint8_t> bytes = b.bytes();
    bytes[5] = 0x19;
    bytes[6] = 0x02;
    store().decode_fib(bytes.data());
    EXPECT_EQ(records(), 1);
    EXPECT_EQ(st().figcnt_err, 1u);
    EXPECT_EQ(env.count("decode_fic: invalid framelen"), 1);
}

TEST_F(FicTest, EntryRunningPastItsFigIsDroppedAndTheNextFigDecoded) {
    // FIG 0/2 announces three components but holds one; a FIG 0/1 follows.
    fib_builder b;
    b.fig0(2, {0xD2, 0x10, 0x03, 0x00, 0x0C}).fig0(1, {0x04, 0x00, 0x3F});
    decode(b);
    EXPECT_EQ(stored(0, 2, 0xD210), nullptr);
    EXPECT_NE(stored(0, 1, 1), nullptr);
    EXPECT_EQ(st().figcnt_err, 1u);
}

TEST_F(FicTest, UnknownExtensionsAreCountedAndKeptRaw) {
    fib_builder b;
    b.fig0(11, {0x12, 0x34, 0x56}).fig0(21, {0x01}).fig0(0, {0xCE, 0x15, 0x00, 0x00});
    decode(b);
    EXPECT_EQ(st().figcnt_unk, 2u);
    EXPECT_EQ(st().figcnt_sum, 4u) << "three FIGs and the end marker";
    fig *g = store().find(nullptr, nullptr, 0, 11);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->ptr->datasize, 96);
    EXPECT_EQ(g->ptr->rawfig[0], 0x12);
    EXPECT_EQ(g->ptr->rawfig[2], 0x56);
    EXPECT_EQ(store().get_ensemble_id(), 0xCE15) << "decoding goes on after an unknown FIG";
}

TEST_F(FicTest, AgeingRemovesWhatIsNoLongerBroadcast) {
    fib_builder b;
    b.fig0(2, {0xD2, 0x10, 0x00}).fig0(22, {0x05, 0x12, 0x34, 0x56, 0x78, 0x9A}).fig0(2, {0xD2, 0x20, 0x00});
    decode(b);
    ASSERT_EQ(records(), 3);
    stored(0, 2, 0xD210)->ptr->timestamp -= 21;
    stored(0, 2, 0xD220)->ptr->timestamp -= 19;
    store().find(nullptr, nullptr, 0, 22)->ptr->timestamp -= 60;
    EXPECT_EQ(store().collect_garbage(), 2);
    EXPECT_EQ(records(), 1);
    EXPECT_NE(stored(0, 2, 0xD220), nullptr);
    EXPECT_EQ(env.count("collect_garbage: FIG 0/2 is garbage - deleted."), 1);
    EXPECT_EQ(env.count("collect_garbage: FIG 0/22"), 0) << "transmitter records go silently";
}

TEST_F(FicTest, ClearAndClearAll) {
    decode(three_subchannels());
    fib_builder b;
    b.fig0(2, {0xD2, 0x10, 0x00});
    decode(b);
    EXPECT_EQ(store().clear(0, 2), 1);
    EXPECT_EQ(store().clear(0, 2), 0);
    EXPECT_EQ(store().clearall(), 3);
    EXPECT_EQ(store().m_figs, nullptr);
}

TEST_F(FicTest, FindallHandsOutCopiesNewestFirst) {
    decode(three_subchannels());
    gen_data_t *first = alloc_record();
    ASSERT_EQ(store().findall(first, 0, 1), 3);
    int ids[3] = {};
    int n = 0;
    for (gen_data_t *g = first; g; g = fig_next(g)) {
        ASSERT_LT(n, 3);
        ids[n++] = static_cast<sub_channel_organization_t *>(g)->subchid;
    }
    EXPECT_EQ(n, 3);
    EXPECT_EQ(ids[0], 3);
    EXPECT_EQ(ids[2], 1);
    // Copies, not the stored records: changing one leaves the store alone.
    static_cast<sub_channel_organization_t *>(first)->bitrate = 1;
    EXPECT_EQ(static_cast<sub_channel_organization_t *>(stored(0, 1, 3)->ptr)->bitrate, 96);
    EXPECT_NE(stored(0, 1, 3)->ptr, first);
    EXPECT_EQ(stored(0, 1, 3)->ptr->nextptr | stored(0, 1, 3)->ptr->next, 0u) << "store records carry no link";
    fig_free_chain(first);

    // Nothing of that kind: the caller's buffer is released by findall (a leak check
    // would report it otherwise).
    EXPECT_EQ(store().findall(alloc_record(), 0, 9), 0);
}

TEST_F(FicTest, EnsembleAccessors) {
    char label[17] = "junk";
    EXPECT_EQ(store().get_ensemble_id(), 0);
    EXPECT_EQ(store().get_ensemble_label(label), 0);
    EXPECT_STREQ(label, "");

    std::vector<int> body = {0xCE, 0x15};
    for (int c : label_chars("DEMO Ensemble")) body.push_back(c);
    body.push_back(0xF0);
    body.push_back(0x00);
    fib_builder b;
    b.fig(1, 0x00, body);
    decode(b);
    fib_builder c;
    c.fig0(0, {0xCE, 0x15, 0x00, 0x00});
    decode(c);
    EXPECT_EQ(store().get_ensemble_id(), 0xCE15);
    EXPECT_EQ(store().m_dwCurEnsId, 0xCE15);
    EXPECT_EQ(store().get_ensemble_label(label), 1);
    EXPECT_STREQ(label, "DEMO Ensemble   ");
    EXPECT_EQ(store().get_ensemble_shortlabel(label), 1);
    EXPECT_STREQ(label, "DEMO");
}

namespace {
int drop_all(void *, unsigned char *) { return -1; }
int take_type0(void *ctx, fig_s *f, int) {
    ++*static_cast<int *>(ctx);
    return f->hdr.type == 0 && f->hdr.ext == 2 ? -1 : 0;
}
int never_same(void *, gen_data_t *, gen_data_t *) { return 0; }
}  // namespace

TEST_F(FicTest, Hooks) {
    fib_builder b;
    b.fig0(2, {0xD2, 0x10, 0x00}).fig0(1, {0x04, 0x00, 0x3F});

    env.ens.fib_decoder_callback = drop_all;
    decode(b);
    EXPECT_EQ(records(), 0);
    EXPECT_EQ(st().figcnt_sum, 0u);
    env.ens.fib_decoder_callback = nullptr;

    int seen = 0;
    env.ens.fig_decoder_callback = take_type0;
    env.ens.fig_decoder_context = &seen;
    decode(b);
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(stored(0, 2, 0xD210), nullptr) << "the hook took FIG 0/2";
    EXPECT_NE(stored(0, 1, 1), nullptr) << "decoding resumes behind a taken FIG";
    env.ens.fig_decoder_callback = nullptr;

    env.ens.fig_replace_callback = never_same;
    decode(b);
    decode(b);
    EXPECT_EQ(records(), 1 + 2 * 2) << "every entry a record of its own";
    env.ens.fig_replace_callback = nullptr;
}

TEST_F(FicTest, OverviewPage) {
    decode(three_subchannels());
    const auto figs = store().summaries();
    ASSERT_EQ(figs.size(), 3u);
    std::string html = fig_overview_html(figs, time(nullptr));
    EXPECT_EQ(html.find("<H2>FIG Overview</H2>\r\n"), 0u);
    EXPECT_NE(html.find("<H3>FIG 0/1</H3>\r\n"), std::string::npos);
    EXPECT_NE(html.find("Occurence count:</FONT></td><td><FONT FACE=Courier>0</FONT>"), std::string::npos);
    EXPECT_NE(html.find("<br>FIGs found: 3<br>\r\n"), std::string::npos);
}
