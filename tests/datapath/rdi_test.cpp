// RDI reader: word handling, block boundaries, dispatch, dump replay and the dump tool.

#include "datapath/rdi.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "datapath/dabtest.h"
#include "datapath_env.h"
#include "support/test_support.h"

using dptest::datapath_env;
using dptest::fib_builder;
using dptest::fic_frame;
using testsupport::cwd_guard;
using testsupport::stdout_to_file;

namespace {

using clock_type = std::chrono::steady_clock;

bool wait_until(const std::function<bool()> &cond, double seconds = 5) {
    auto end = clock_type::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    while (clock_type::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

// Sets the stop flag after a while, so that a reader waiting for words that never come
// ends the test instead of hanging it.
class watchdog {
public:
    watchdog(config *cfg, double seconds) : t_([this, cfg, seconds] {
          auto end = clock_type::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
          while (!done_ && clock_type::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
          if (!done_) cfg->finished = 1;
      }) {}
    ~watchdog() {
        done_ = true;
        t_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread t_;
};

fib_builder service(int sid) {
    fib_builder b;
    b.fig0(2, {sid >> 8, sid & 0xFF, 0x00});
    return b;
}

bool has_service(fic &f, int sid) {
    service_organization_t rec;
    for (fig *g = f.find(nullptr, &rec, 0, 2); g; g = f.find(g, &rec, 0, 2))
        if (rec.sid == sid) return true;
    return false;
}

void append(std::vector<uint32_t> &to, const std::vector<uint32_t> &w) { to.insert(to.end(), w.begin(), w.end()); }

}  // namespace

TEST(RdiWords, BitReversal) {
    EXPECT_EQ(rdi::lrev(0x000001), 0x800000u);
    EXPECT_EQ(rdi::lrev(0x800000), 0x000001u);
    EXPECT_EQ(rdi::lrev(0xF00000), 0x00000Fu);
    EXPECT_EQ(rdi::lrev(0x01000001), 0x800000u) << "only the 24 low bits take part";
    std::mt19937 rng(7);
    for (int i = 0; i < 1000; i++) {
        unsigned int w = rng() & 0xFFFFFF;
        EXPECT_EQ(rdi::lrev(rdi::lrev(w)), w);
    }
}

TEST(RdiWords, Packings) {
    unsigned char out[11] = {};
    const unsigned int w20[2] = {0xABCDE2, 0x123452};
    EXPECT_EQ(rdi::crunch20(out, w20, 1), 5);
    const unsigned char want20[5] = {0xAB, 0xCD, 0xE1, 0x23, 0x45};
    EXPECT_EQ(0, memcmp(out, want20, 5));

    const unsigned int w22[4] = {0x3FFFFF << 2 | 1, 0x000000 << 2 | 2, 0x2AAAAA << 2 | 3, 0x155555 << 2 | 1};
    EXPECT_EQ(rdi::crunch22(out, w22, 1), 11);
    const unsigned char want22[11] = {0xFF, 0xFF, 0xFC, 0x00, 0x00, 0x0A, 0xAA, 0xAA, 0x95, 0x55, 0x55};
    EXPECT_EQ(0, memcmp(out, want22, 11));

    // Against the signal generator's packer, for both packings.
    std::mt19937 rng(3);
    std::vector<uint8_t> data(55);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    for (int packing : {20, 22}) {
        std::vector<uint32_t> words;
        dabcommon::rdi_pack(data.data(), data.size(), packing, words);
        std::vector<unsigned char> back(data.size());
        if (packing == 20)
            rdi::crunch20(back.data(), words.data(), static_cast<int>(words.size() / 2));
        else
            for (size_t g = 0; g < words.size() / 4; g++) rdi::crunch22(back.data() + 11 * g, words.data() + 4 * g, 1);
        EXPECT_EQ(back, data) << packing << "-bit packing";
    }
}

class RdiStream : public ::testing::Test {
protected:
    RdiStream() {
        env.open_pipe();
        reader.init_rdi_buffer(1);
    }
    ~RdiStream() override { reader.init_rdi_buffer(0); }
    datapath_env env;
    rdi &reader = *env.ens.rdi_stream;
};

TEST_F(RdiStream, EveryWordOfABlockInOrderBeforeTheNextBlock) {
    watchdog w(env.ens.cfg, 5);
    env.write_words({0x111, 0x222, 0x333});
    EXPECT_EQ(reader.lget_from_stream(), 0x111u);
    // The first block is in the buffer; the second arrives only now.
    env.write_words({0x444, 0x555});
    EXPECT_EQ(reader.lget_from_stream(), 0x222u);
    EXPECT_EQ(reader.lget_from_stream(), 0x333u) << "the last word of a block";
    EXPECT_EQ(reader.lget_from_stream(), 0x444u);
    EXPECT_EQ(reader.lget_from_stream(), 0x555u);
    EXPECT_EQ(env.ens.st->rdicnt_sum, 5u);
}

TEST_F(RdiStream, ZeroWordsAreInvisible) {
    watchdog w(env.ens.cfg, 5);
    env.write_words({0, 0x111, 0, 0, 0x222, 0});
    env.write_words({0, 0});
    env.write_words({0x333});
    EXPECT_EQ(reader.lget_from_stream(), 0x111u);
    EXPECT_EQ(reader.lget_from_stream(), 0x222u);
    EXPECT_EQ(reader.lget_from_stream(), 0x333u);
}

TEST_F(RdiStream, WordCutBetweenTwoReadsIsJoined) {
    watchdog w(env.ens.cfg, 5);
    env.write_bytes({0x11, 0x01, 0x00, 0x00, 0x22, 0x02});
    EXPECT_EQ(reader.lget_from_stream(), 0x111u);
    env.write_bytes({0x00, 0x00, 0x33, 0x03, 0x00});
    EXPECT_EQ(reader.lget_from_stream(), 0x222u);
    env.write_bytes({0x00});
    EXPECT_EQ(reader.lget_from_stream(), 0x333u);
}

TEST_F(RdiStream, InvalidWordsAreCountedAndDelivered) {
    watchdog w(env.ens.cfg, 5);
    env.write_words({0x111, 0x01000011});
    EXPECT_EQ(reader.lget_from_stream(), 0x111u);
    EXPECT_EQ(reader.lget_from_stream(), 0x01000011u);
    EXPECT_EQ(env.ens.st->rdicnt_err, 1u);
    EXPECT_EQ(env.count("Invalid RDI-Data: 01000011 readptr:1", LOG_WARN), 1);
}

TEST_F(RdiStream, ReadFailuresAreRetriedWithoutFloodingTheLog) {
    env.close_writer();  // every read now answers 0
    auto start = clock_type::now();
    watchdog w(env.ens.cfg, 1.5);
    EXPECT_EQ(reader.lget_from_stream(), 0u) << "0 only once the system is finishing";
    EXPECT_GE(clock_type::now() - start, std::chrono::milliseconds(1400));
    int lines = env.count("lget_from_stream: read failed", LOG_ERR);
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 3);
}

class RdiReader : public ::testing::Test {
protected:
    RdiReader() { env.open_pipe(); }
    bool wait_fibs(uint64_t n) {
        return wait_until([&] { return env.ens.st->fibcnt_sum >= n; });
    }
    datapath_env env;
    rdi &reader = *env.ens.rdi_stream;
    fic &store = *env.ens.fic_stream;
};

TEST_F(RdiReader, DispatchesFicFramesToTheFigStore) {
    ASSERT_EQ(reader.start(), 1);
    std::vector<uint32_t> words;
    append(words, fic_frame(service(0xD210)));
    append(words, fic_frame(service(0xD220), false));  // CRC wrong
    // An MSC frame nobody asked for: its data words pass the dispatcher unseen.
    words.push_back(dabcommon::rdi_msc_header(5, 10, 20));
    dabcommon::rdi_pack(std::vector<uint8_t>(10, 0x11).data(), 10, 20, words);
    // A header with bit 24 set is counted as invalid but still heads a FIC frame.
    std::vector<uint32_t> marked = fic_frame(service(0xD230));
    marked[0] |= 0x01000000;
    append(words, marked);
    // Type 13 with the FIC flag announces nothing: its FIB must not be decoded.
    std::vector<uint32_t> ignored = fic_frame(service(0xD240));
    ignored[0] = (ignored[0] & ~0xFu) | 13;
    append(words, ignored);
    append(words, fic_frame(service(0xD250)));
    env.write_words(words);

    ASSERT_TRUE(wait_fibs(4));
    ASSERT_TRUE(wait_until([&] { return has_service(store, 0xD250); }));
    EXPECT_TRUE(has_service(store, 0xD210));
    EXPECT_FALSE(has_service(store, 0xD220)) << "a garbled FIB is not decoded";
    EXPECT_TRUE(has_service(store, 0xD230));
    EXPECT_FALSE(has_service(store, 0xD240));
    EXPECT_EQ(env.ens.st->fibcnt_sum, 4u);
    EXPECT_EQ(env.ens.st->fibcnt_err, 1u);
    EXPECT_EQ(env.ens.st->rdicnt_err, 1u);

    EXPECT_EQ(reader.stop(), 1);
    EXPECT_EQ(store.m_figs, nullptr) << "stopping empties the FIG store";
    EXPECT_EQ(env.count("get_rdi: RDI-decoder stopped"), 1);
}

// Words in memory take the road of the device's, and their end ends the replay at once, even
// inside a frame: nothing waits for words that never come, nothing is read past them.
TEST_F(RdiReader, ReplayedWordsAreDispatchedAndTheirEndEndsTheReplay) {
    std::vector<uint32_t> words;
    append(words, fic_frame(service(0xD310)));
    std::vector<uint32_t> cut = fic_frame(service(0xD320));
    cut.resize(6);  // header and five of the twelve data words
    append(words, cut);
    watchdog w(env.ens.cfg, 5);
    EXPECT_EQ(reader.replay_words(words.data(), static_cast<int>(words.size())), static_cast<int>(words.size()));
    EXPECT_TRUE(has_service(store, 0xD310));
    EXPECT_FALSE(has_service(store, 0xD320)) << "a FIB cut by the end of the words is not decoded";
    EXPECT_EQ(env.ens.st->fibcnt_sum, 1u);
    EXPECT_EQ(env.ens.cfg->finished.load(), 0) << "the replay ended by itself";
    EXPECT_EQ(reader.replay_words(words.data(), 0), 0);
    // The device is read again afterwards.
    env.write_words({0x123456});
    EXPECT_EQ(reader.lget_from_stream(), 0x123456u);
    reader.init_rdi_buffer(0);
}

TEST_F(RdiReader, SuspendAndResume) {
    ASSERT_EQ(reader.start(), 1);
    env.write_words(fic_frame(service(0xD210)));
    ASSERT_TRUE(wait_until([&] { return has_service(store, 0xD210); }));
    EXPECT_EQ(reader.suspend(1), 1);
    EXPECT_EQ(store.m_figs, nullptr);
    env.write_words(fic_frame(service(0xD220)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(has_service(store, 0xD220)) << "suspended: nothing is read";
    EXPECT_EQ(reader.suspend(0), 1);
    EXPECT_TRUE(wait_until([&] { return has_service(store, 0xD220); }));
    reader.stop();
}

TEST_F(RdiReader, StopEndsAReaderWaitingForData) {
    ASSERT_EQ(reader.start(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto t0 = clock_type::now();
    EXPECT_EQ(reader.stop(), 1);
    EXPECT_LT(clock_type::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(reader.stop(), 1) << "a second stop does nothing";
}

class RdiReplay : public ::testing::Test {
protected:
    RdiReplay() : out(dir.file("stdout.txt")), cwd(dir.path()) {}
    ~RdiReplay() override { env.ens.rdi_stream->stop(); }
    void dump_file(const std::string &name, const std::vector<uint32_t> &words) {
        std::vector<uint8_t> b;
        dabcommon::rdi_to_bytes(words.data(), words.size(), b);
        testsupport::write_file(dir.file(name), std::string(b.begin(), b.end()));
    }
    testsupport::temp_dir dir;
    stdout_to_file out;
    cwd_guard cwd;
    datapath_env env;
    rdi &reader = *env.ens.rdi_stream;
};

TEST_F(RdiReplay, FilesFollowEachOtherSeamlesslyAndStartOver) {
    // rdi0.dmp ends in the middle of a FIC frame that rdi1.dmp completes; neither size
    // is a multiple of the block size.
    std::vector<uint32_t> first(10000, 0), second(7000, 0);
    append(first, fic_frame(service(0xD210)));
    std::vector<uint32_t> split = fic_frame(service(0xD220));
    first.insert(first.end(), split.begin(), split.begin() + 6);
    second.insert(second.begin(), split.begin() + 6, split.end());
    dump_file("rdi0.dmp", first);
    dump_file("rdi1.dmp", second);

    env.ens.cfg->emulate = 2;  // as fast as it goes
    ASSERT_EQ(reader.start(), 1);
    EXPECT_EQ(reader.rdi_use_dummy, 1);
    ASSERT_TRUE(wait_until([&] { return env.count("Restart, Loading rdi0.dmp") >= 2; }));
    reader.suspend(1);
    EXPECT_EQ(env.ens.st->fibcnt_err, 0u);
    EXPECT_GE(env.ens.st->fibcnt_sum, 4u);
    EXPECT_EQ(env.ens.st->rdicnt_err, 0u);
    // Order: rdi0, rdi1, rdi0, rdi1, ...
    std::vector<std::string> order;
    for (auto &l : env.lines())
        if (l.text.find("Loading") != std::string::npos) order.push_back(l.text);
    ASSERT_GE(order.size(), 4u);
    EXPECT_EQ(order[0], "Loading rdi0.dmp\n");
    EXPECT_EQ(order[1], "Loading rdi1.dmp\n");
    EXPECT_EQ(order[2], "Restart, Loading rdi0.dmp\n");
    EXPECT_EQ(order[3], "Loading rdi1.dmp\n");
}

TEST_F(RdiReplay, WithoutAnyDumpFileTheReaderStopsWithOneError) {
    env.ens.cfg->emulate = 2;
    ASSERT_EQ(reader.start(), 1);
    ASSERT_TRUE(wait_until([&] { return env.count("get_rdi: RDI-decoder stopped") == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int errors = 0;
    for (auto &l : env.lines()) errors += l.level == LOG_ERR;
    EXPECT_EQ(errors, 1);
}

TEST_F(RdiReplay, EmptyDumpFilesStopTheReaderToo) {
    dump_file("rdi0.dmp", {});
    dump_file("rdi1.dmp", {});
    env.ens.cfg->emulate = 2;
    ASSERT_EQ(reader.start(), 1);
    ASSERT_TRUE(wait_until([&] { return env.count("get_rdi: RDI-decoder stopped") == 1; }));
    EXPECT_EQ(env.count("no RDI dump file left to replay", LOG_ERR), 1);
}

TEST_F(RdiReplay, PacedReplayTakes160MsPerBlock) {
    dump_file("rdi0.dmp", std::vector<uint32_t>(RDI_BLOCK_WORDS, 0x222));
    env.ens.cfg->emulate = 1;
    auto t0 = clock_type::now();
    ASSERT_EQ(reader.start(), 1);
    ASSERT_TRUE(wait_until([&] { return env.ens.st->rdicnt_sum >= 3u * RDI_BLOCK_WORDS; }));
    EXPECT_GE(clock_type::now() - t0, std::chrono::milliseconds(2 * 160));
    // A stream reader falling behind asks for a pause.
    uint64_t before = env.ens.st->rdicnt_sum;
    reader.rdi_pause_dummy = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_LE(env.ens.st->rdicnt_sum, before + RDI_BLOCK_WORDS);
}

TEST(RdiDump, CountingPatternAndFullDump) {
    datapath_env env;
    env.open_pipe();
    testsupport::temp_dir dir;
    {
        stdout_to_file out(dir.file("pattern.txt"));
        start_rdidump(&env.ens, 0);
        env.write_words({1, 2, 3, 5, 0, 6});
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop_rdidump();
    }
    std::string pattern = testsupport::read_file(dir.file("pattern.txt"));
    EXPECT_NE(pattern.find("\nreadlen: 24\n"), std::string::npos);
    EXPECT_NE(pattern.find("0003: 00000003 00000005 (diff: 0x00000008 / 8 bytes)\n"), std::string::npos) << pattern;
    EXPECT_EQ(pattern.find("00000006 ("), std::string::npos) << "a step of one is the pattern";

    {
        stdout_to_file out(dir.file("all.txt"));
        start_rdidump(&env.ens, 1);
        env.write_words({1, 0, 2, 3, 4, 5, 6, 7, 8, 9});
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop_rdidump();
    }
    std::string all = testsupport::read_file(dir.file("all.txt"));
    EXPECT_NE(all.find("\n0000: 00000001 00000002 00000003 00000004 00000005 00000006 00000007 00000008 \n0008: "
                       "00000009 "),
              std::string::npos)
        << all;
}
