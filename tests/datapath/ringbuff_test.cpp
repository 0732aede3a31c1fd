// Stream ring buffers: sizes, wrapping, registration and the reader protocol.

#include "datapath/ringbuff.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "datapath_env.h"

namespace {

class RingTest : public ::testing::Test {
protected:
    RingTest() { rb.init_ring_buffer(1); }
    ~RingTest() override { rb.init_ring_buffer(0); }
    void fill(int stream, int part, unsigned long n, unsigned char start = 0) {
        std::vector<unsigned char> b(n);
        for (unsigned long i = 0; i < n; i++) b[i] = static_cast<unsigned char>(start + i);
        rb.ring_write(stream, part, b.data(), static_cast<int>(n));
    }
    dptest::datapath_env env;
    ringbuff &rb = *env.ens.rbuff;
};

}  // namespace

TEST_F(RingTest, BuffersHoldWholeFrames) {
    EXPECT_EQ(ringbuff::part_size(960), 130560u);
    EXPECT_EQ(ringbuff::part_size(8), 131072u);
    EXPECT_EQ(ringbuff::part_size(1152), 130176u);
    EXPECT_EQ(ringbuff::part_size(0), 0u);
    rb.ringbuf_properties(5, 0, 1152, 1, "Radio One with a much too long name", 0);
    prbuff_t r = rb.get_streambuf(5);
    EXPECT_EQ(r->bufsize[0], 130176u);
    EXPECT_EQ(r->bufsize[1], 0u);
    EXPECT_EQ(r->active, 1);
    EXPECT_EQ(r->audio, 1);
    EXPECT_STREQ(r->name, "Radio One with a") << "the name is cut to 16 characters";

    // An invalid subchannel keeps its old properties.
    rb.ringbuf_deact(5);
    rb.ringbuf_properties(5, 0, 0, 0, "gone", 0);
    EXPECT_EQ(r->framesize, 1152);
    EXPECT_EQ(r->active, 0);
    EXPECT_STREQ(r->name, "Radio One with a");
}

TEST_F(RingTest, WriteWrapsAtTheBufferEnd) {
    rb.ringbuf_properties(3, 0, 960, 0, "x", 0);
    rb.set_req(3);
    prbuff_t r = rb.get_streambuf(3);
    const unsigned long size = r->bufsize[0];
    fill(3, 0, size - 40, 0);
    fill(3, 0, 100, 10);
    EXPECT_EQ(r->writeptr[0].load(), size + 60);
    EXPECT_EQ(r->ptr[0][size - 40], 10);
    EXPECT_EQ(r->ptr[0][size - 1], 49);
    EXPECT_EQ(r->ptr[0][0], 50) << "the 60 bytes that do not fit go to the start";
    EXPECT_EQ(r->ptr[0][59], 109);
    EXPECT_EQ(r->ptr[0][60], 60) << "older data behind the wrapped part stays";

    // More than a whole buffer at once: only the newest bytes survive, nothing overflows.
    std::vector<unsigned char> big(size + 1000);
    for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<unsigned char>(i % 251);
    unsigned long before = r->writeptr[0].load();
    rb.ring_write(3, 0, big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(r->writeptr[0].load(), before + big.size());
    unsigned long last = before + big.size() - 1;
    EXPECT_EQ(r->ptr[0][last % size], big.back());
    EXPECT_EQ(r->ptr[0][(last - size + 1) % size], big[1000]);
    rb.unset_req(3);
}

TEST_F(RingTest, BuffersLiveWhileSomebodyReads) {
    rb.ringbuf_properties(7, 0, 96, 0, "a", 0);
    rb.ringbuf_properties(7, 1, 96, 0, "a", 0);
    prbuff_t r = rb.get_streambuf(7);
    fill(7, 0, 10);
    EXPECT_EQ(r->writeptr[0].load(), 0u) << "nobody reads: nothing kept";
    EXPECT_EQ(rb.is_req(7), 0);

    rb.set_req(7);
    rb.set_req(7);
    EXPECT_EQ(rb.is_req(7), 2);
    ASSERT_NE(r->ptr[0], nullptr);
    ASSERT_NE(r->ptr[1], nullptr);
    fill(7, 0, 10);
    rb.ring_putc(7, 1, 0x42);
    EXPECT_EQ(r->writeptr[0].load(), 10u);
    EXPECT_EQ(r->ptr[1][0], 0x42);
    rb.unset_req(7);
    EXPECT_NE(r->ptr[0], nullptr) << "one reader is left";
    rb.unset_req(7);
    EXPECT_EQ(r->ptr[0], nullptr);
    EXPECT_EQ(r->ptr[1], nullptr);
    fill(7, 0, 10);  // dropped
    rb.unset_req(7);  // unbalanced: must not go negative
    EXPECT_EQ(rb.is_req(7), 0);

    rb.set_req(7);
    EXPECT_EQ(r->writeptr[0].load(), 0u) << "a new registration starts counting afresh";
    rb.unset_req(7);
}

TEST_F(RingTest, ADisconnectIsSeenEvenWhenTheRingIsSetUpAgainAtOnce) {
    rb.ringbuf_properties(7, 0, 96, 1, "a", 0);
    rb.ringbuf_properties(7, 1, 96, 1, "a", 0);
    ring_reader rd(&rb, 7, 0);
    ASSERT_TRUE(rd.open(false));
    EXPECT_TRUE(rd.alive());
    // A reconfiguration, and the new table before the reader looked.
    rb.set_disc_pending(7);
    rb.ringbuf_properties(7, 0, 96, 1, "a", 0);
    EXPECT_FALSE(rd.alive());
    // A reader opened afterwards belongs to the new configuration.
    ring_reader later(&rb, 7, 0);
    ASSERT_TRUE(later.open(false));
    EXPECT_TRUE(later.alive());
}

TEST_F(RingTest, FidcStreamHasOnlySideData) {
    rb.ringbuf_properties(RING_FIDC, 1, 8, 0, "FIDC", 1);
    rb.set_req(RING_FIDC);
    prbuff_t r = rb.get_streambuf(RING_FIDC);
    fill(RING_FIDC, 0, 8);
    fill(RING_FIDC, 1, 8);
    EXPECT_EQ(r->writeptr[0].load(), 0u);
    EXPECT_EQ(r->writeptr[1].load(), 8u);
    EXPECT_EQ(r->flags, 1);
    rb.unset_req(RING_FIDC);
}

TEST_F(RingTest, StreamNumbersOutsideTheTableAreRefused) {
    EXPECT_EQ(rb.get_streambuf(65), nullptr);
    EXPECT_EQ(rb.get_streambuf(-1), nullptr);
    EXPECT_EQ(rb.is_req(1000), 0);
    rb.set_req(65);
    rb.unset_req(-3);
    rb.ringbuf_properties(99, 0, 96, 0, "x", 0);
    rb.ringbuf_properties(1, 2, 96, 0, "x", 0);
    rb.ring_putc(65, 0, 1);
    rb.set_disc_pending(64 + 1);
    SUCCEED();
}

TEST_F(RingTest, ReaderFollowingTheProtocolSeesExactlyWhatWasWritten) {
    rb.ringbuf_properties(9, 0, 96, 0, "x", 0);
    ring_reader rd(&rb, 9, 0);
    ASSERT_TRUE(rd.open(false));
    const unsigned long total = 3 * RING_ALLOC;
    std::atomic<bool> done(false);
    std::thread writer([&] {
        std::vector<unsigned char> frame(96);
        for (unsigned long n = 0; n < total; n += 96) {
            for (unsigned long i = 0; i < 96; i++) frame[i] = static_cast<unsigned char>((n + i) % 251);
            rb.ring_write(9, 0, frame.data(), 96);
            if (n % 9600 == 0) std::this_thread::yield();
        }
        done = true;
    });
    // Positions follow from the bytes skipped: read + skipped is the absolute position.
    unsigned long pos = 0, checked = 0, bad = 0;
    std::vector<unsigned char> buf(RING_ALLOC / 2);
    while (!done || rd.pending() > 0) {
        const unsigned long skipped = rd.skipped();
        const unsigned long n = rd.read(buf.data(), buf.size());
        pos += rd.skipped() - skipped;
        for (unsigned long i = 0; i < n; i++, pos++, checked++)
            if (buf[i] != static_cast<unsigned char>(pos % 251)) bad++;
    }
    writer.join();
    EXPECT_GT(checked, 0u);
    EXPECT_EQ(bad, 0u);
}

TEST_F(RingTest, OneReaderAcrossTheWrapAndWhenOvertaken) {
    EXPECT_FALSE(ring_reader(&rb, 11, 0).open(false)) << "an unconfigured ring cannot be read";
    EXPECT_EQ(rb.is_req(11), 0) << "and the refused reader holds no interest";

    rb.ringbuf_properties(11, 0, 96, 0, "x", 0);
    const unsigned long size = ringbuff::part_size(96);
    ASSERT_EQ(size, 131040u);
    {
        ring_reader rd(&rb, 11, 0);
        ASSERT_TRUE(rd.open(false));
        EXPECT_EQ(rb.is_req(11), 1);
        fill(11, 0, size - 40, 0);
        std::vector<unsigned char> got(size);
        ASSERT_EQ(rd.read(got.data(), size), size - 40);
        // 100 bytes from 40 before the end: 40 at the end, 60 from the start of the ring.
        fill(11, 0, 100, 7);
        EXPECT_EQ(rd.pending(), 100);
        ASSERT_EQ(rd.read(got.data(), 1000), 100u);
        for (int i = 0; i < 100; i++) ASSERT_EQ(got[i], static_cast<unsigned char>(7 + i)) << "byte " << i;
        EXPECT_EQ(rd.overruns(), 0u);

        // More than a ring unread: the reader jumps to the newest frame boundary and says so.
        // Written so far 2 x size + 348 bytes (size is 1365 frames): the boundary lies 60 bytes back.
        fill(11, 0, size + 96 * 3, 0);
        EXPECT_EQ(rd.pending(), 60);
        EXPECT_EQ(rd.overruns(), 1u);
        EXPECT_EQ(rd.skipped(), 2 * size + 288 - (size + 60));
        fill(11, 0, 96, 50);
        ASSERT_EQ(rd.read(got.data(), size), 60u + 96u);
        EXPECT_EQ(got[60], 50);
        EXPECT_EQ(got[155], 50 + 95);

        EXPECT_TRUE(rd.alive());
        rb.set_disc_pending(11);
        EXPECT_FALSE(rd.alive());
    }
    EXPECT_EQ(rb.is_req(11), 0) << "the reader gives its interest back";
}

TEST_F(RingTest, ReaderUnderARacingWriterNeverHandsOutOverwrittenBytes) {
    // Frames of 24 words, each word its own absolute index: a byte from the wrong round shows.
    rb.ringbuf_properties(12, 0, 96, 0, "x", 0);
    ring_reader rd(&rb, 12, 0);
    ASSERT_TRUE(rd.open(true));
    const uint32_t words = 3 * RING_ALLOC;
    std::atomic<bool> done(false);
    std::thread writer([&] {
        uint32_t frame[24];
        for (uint32_t n = 0; n < words; n += 24) {
            for (uint32_t i = 0; i < 24; i++) frame[i] = n + i;
            rb.ring_write(12, 0, reinterpret_cast<unsigned char *>(frame), 96);
            if (n % 240 == 0) usleep(20);
        }
        done = true;
    });
    uint32_t buf[1000];
    int64_t last = -1;
    unsigned long seen_overruns = 0, bad = 0, checked = 0;
    for (int round = 0; !done || rd.pending() > 0; round++) {
        const unsigned long n = rd.read(buf, sizeof buf) / 4;
        // A skip reported by this read or by one that then gave nothing.
        const bool jumped = rd.overruns() != seen_overruns;
        for (unsigned long i = 0; i < n; i++, checked++) {
            if (jumped && i == 0 ? (buf[i] % 24 != 0 || buf[i] <= last) : buf[i] != last + 1) bad++;
            last = buf[i];
        }
        if (n > 0) seen_overruns = rd.overruns();
        if (round % 7 == 0) usleep(200);
        if (round % 100 == 99) usleep(15000);  // now and then more than a ring behind
    }
    writer.join();
    EXPECT_GT(checked, 0u);
    EXPECT_EQ(bad, 0u) << "words out of sequence without an overrun reported";
}

// LOAS frames vary in length: a reader joins and resumes after an overrun only where a frame
// begins, never at a multiple of the logical frame size inside one.
TEST_F(RingTest, VariableFramesAreJoinedAndResumedWhole) {
    constexpr int fs = 288;  // 96 kbit/s
    rb.ringbuf_properties(4, 0, fs, RING_AUDIO_LOAS, "plus", RING_VARFRAMES);
    ring_reader held(&rb, 4, 0);
    ASSERT_TRUE(held.open(true));
    // Frames of 3 + k bytes, each starting with its length.
    auto frame = [](int k) {
        std::vector<unsigned char> f(static_cast<size_t>(3 + k), static_cast<unsigned char>(k));
        f[0] = static_cast<unsigned char>(3 + k);
        return f;
    };
    for (int k = 0; k < 50; k++) {
        const auto f = frame(k * 7 % 300);
        rb.ring_write_frame(4, 0, f.data(), static_cast<int>(f.size()));
    }
    ring_reader late(&rb, 4, 0);
    ASSERT_TRUE(late.open(true));
    EXPECT_EQ(late.pending(), 0) << "a reader joins behind the last whole frame";
    const auto next = frame(123);
    rb.ring_write_frame(4, 0, next.data(), static_cast<int>(next.size()));
    unsigned char got[512];
    ASSERT_EQ(late.read(got, sizeof got), next.size());
    EXPECT_EQ(got[0], next.size());

    // Overtaken: the next byte read is the first of a frame.
    const unsigned long size = held.size();
    unsigned long written = 0;
    for (int k = 0; written <= size + 1000; k++) {
        const auto f = frame(k * 13 % 400);
        rb.ring_write_frame(4, 0, f.data(), static_cast<int>(f.size()));
        written += f.size();
    }
    EXPECT_EQ(held.pending(), 0);
    EXPECT_EQ(held.overruns(), 1u);
    const auto last = frame(77);
    rb.ring_write_frame(4, 0, last.data(), static_cast<int>(last.size()));
    ASSERT_EQ(held.read(got, sizeof got), last.size());
    EXPECT_EQ(got[0], last.size());

    // A frame too big to leave room for others is refused, not written in part.
    std::vector<unsigned char> huge(size / 5, 1);
    const long before = held.pending();
    rb.ring_write_frame(4, 0, huge.data(), static_cast<int>(huge.size()));
    EXPECT_EQ(held.pending(), before);
}
