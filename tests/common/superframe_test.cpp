// DAB+ superframe wire format: firecode, RS(120,110) over the interleaved columns, AU start table.

#include "common/superframe.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

using namespace dabcommon;

namespace {

using bytes = std::vector<uint8_t>;

// Multiplication in GF(256) with x^8+x^4+x^3+x^2+1, bit by bit.
uint8_t gf_mul(uint8_t a, uint8_t b) {
    unsigned r = 0, x = a;
    for (; b; b >>= 1, x <<= 1) {
        if (x & 0x100) x ^= 0x11D;
        if (b & 1) r ^= x;
    }
    return static_cast<uint8_t>(r);
}

// A codeword of RS(120,110) has the roots 2^0 .. 2^9; its first byte is the highest power.
bool is_codeword(const bytes &sf, int s, int column) {
    uint8_t root = 1;
    for (int i = 0; i < SF_RS_PARITY; i++, root = gf_mul(root, 2)) {
        uint8_t v = 0;
        for (int j = 0; j < SF_BYTES_PER_UNIT; j++) v = gf_mul(v, root) ^ sf[static_cast<size_t>(column + s * j)];
        if (v) return false;
    }
    return true;
}

bytes random_superframe(int s, unsigned seed) {
    std::mt19937 rng(seed);
    bytes sf(static_cast<size_t>(SF_BYTES_PER_UNIT * s));
    for (auto &b : sf) b = static_cast<uint8_t>(rng());
    return sf;
}

}  // namespace

TEST(superframe, firecode_by_long_division) {
    // g(x) = (x^11+1)(x^5+x^3+x^2+x+1) = x^16+x^14+x^13+x^12+x^11+x^5+x^3+x^2+x+1; the code
    // is the remainder of m(x)*x^16, m(x) the 72 bits of bytes 2..10. A single 1 in the last
    // bit: x^16 mod g = g - x^16 = 0x782F; shifted once: 0xF05E; twice: x * 0xF05E = 0x1E0BC,
    // minus g (0x1782F) = 0x9893. The others by the same long division.
    const struct {
        const char *what;
        std::array<uint8_t, 9> bytes2_10;
        uint16_t code;
    } cases[] = {
        {"x^16", {0, 0, 0, 0, 0, 0, 0, 0, 0x01}, 0x782F},
        {"x^17", {0, 0, 0, 0, 0, 0, 0, 0, 0x02}, 0xF05E},
        {"x^18", {0, 0, 0, 0, 0, 0, 0, 0, 0x04}, 0x9893},
        {"x^16+x^17+x^18: sum of the three", {0, 0, 0, 0, 0, 0, 0, 0, 0x07}, 0x10E2},
        {"x^24", {0, 0, 0, 0, 0, 0, 0, 0x01, 0}, 0x1006},
        {"x^87: first bit of byte 2", {0x80, 0, 0, 0, 0, 0, 0, 0, 0}, 0x1402},
        {"all ones", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xE7FC},
        {"a 2-AU header and AU bytes", {0x20, 0x06, 0x40, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, 0x3EA1},
    };
    for (const auto &c : cases) {
        uint8_t p[11] = {};
        for (int i = 0; i < 9; i++) p[2 + i] = c.bytes2_10[static_cast<size_t>(i)];
        EXPECT_EQ(sf_firecode(p), c.code) << c.what;
        p[0] = static_cast<uint8_t>(c.code >> 8);
        p[1] = static_cast<uint8_t>(c.code);
        EXPECT_EQ(sf_sync(p, sizeof p), c.bytes2_10[1] || c.bytes2_10[2]) << c.what;
        p[1] ^= 0x10;
        EXPECT_FALSE(sf_sync(p, sizeof p)) << c.what;
    }
    // A window of zeros passes the firecode, yet is no superframe.
    const uint8_t zeros[11] = {};
    EXPECT_EQ(sf_firecode(zeros), 0);
    EXPECT_FALSE(sf_sync(zeros, sizeof zeros));
    EXPECT_FALSE(sf_sync(zeros, 10));
}

TEST(superframe, rs_parity_makes_codewords_and_corrects_five_errors_each) {
    for (int s : {1, 3, 12, SF_MAX_UNITS}) {
        sf_rs rs;
        bytes sf = random_superframe(s, static_cast<unsigned>(s));
        rs.encode(sf.data(), s);
        for (int c = 0; c < s; c++) ASSERT_TRUE(is_codeword(sf, s, c)) << "s " << s << " column " << c;
        const bytes good = sf;
        EXPECT_EQ(rs.decode(sf.data(), s), 0) << s;

        // Five errors in every codeword, parity bytes among them.
        std::mt19937 rng(99);
        for (int c = 0; c < s; c++)
            for (int j : {0, 17, 64, 109, 119}) sf[static_cast<size_t>(c + s * j)] ^= static_cast<uint8_t>(1 + rng() % 255);
        EXPECT_EQ(rs.decode(sf.data(), s), 5 * s) << s;
        EXPECT_EQ(sf, good) << s;

        // Six in the last codeword: beyond repair, reported, the others still corrected.
        for (int j : {1, 2, 3, 50, 60, 70}) sf[static_cast<size_t>(s - 1 + s * j)] ^= 0x5A;
        if (s > 1) sf[0] ^= 0x01;
        bytes broken = sf;
        EXPECT_EQ(rs.decode(sf.data(), s), -1) << s;
        if (s > 1) {
            EXPECT_EQ(sf[0], good[0]) << s;
        }
        for (int j = 0; j < SF_BYTES_PER_UNIT; j++)
            EXPECT_EQ(sf[static_cast<size_t>(s - 1 + s * j)], broken[static_cast<size_t>(s - 1 + s * j)]) << s;
    }
    sf_rs rs;
    uint8_t one[SF_BYTES_PER_UNIT] = {};
    EXPECT_EQ(rs.decode(one, 0), -1);
    EXPECT_EQ(rs.decode(nullptr, 1), -1);
}

TEST(superframe, au_start_table_of_each_format) {
    // Starts of AUs 1..n-1 are 12 bits each from byte 3 on; AU 0 starts after the table and
    // the last AU ends at the RS data's end (110*s: 220 bytes with s = 2).
    const struct {
        const char *what;
        bytes head;  // bytes 2.. of the superframe
        std::vector<int> starts;
    } cases[] = {
        {"dac 0 sbr 0: 4 AUs, 8 bytes", {0x00, 0x03, 0xC0, 0x6E, 0x0A, 0xA0}, {8, 60, 110, 170, 220}},
        {"dac 0 sbr 1: 2 AUs, 5 bytes", {0x20, 0x06, 0x40}, {5, 100, 220}},
        {"dac 1 sbr 0: 6 AUs, 11 bytes", {0x40, 0x01, 0x40, 0x28, 0x03, 0xC0, 0x50, 0x06, 0x40}, {11, 20, 40, 60, 80, 100, 220}},
        {"dac 1 sbr 1: 3 AUs, 6 bytes", {0x60, 0x0A, 0x00, 0xD7}, {6, 160, 215, 220}},
        {"other header bits do not matter", {0x7F, 0x0A, 0x00, 0xD7}, {6, 160, 215, 220}},
        {"rfa bit set, last AU of three bytes", {0xA0, 0x0D, 0x90}, {5, 217, 220}},
    };
    for (const auto &c : cases) {
        bytes sf(220, 0xEE);
        std::copy(c.head.begin(), c.head.end(), sf.begin() + 2);
        std::array<int, SF_MAX_AUS + 1> starts{};
        const int n = sf_au_starts(sf.data(), 220, starts);
        ASSERT_EQ(n + 1, static_cast<int>(c.starts.size())) << c.what;
        EXPECT_EQ(std::vector<int>(starts.begin(), starts.begin() + n + 1), c.starts) << c.what;
    }
}

TEST(superframe, hostile_au_start_tables_are_refused) {
    const struct {
        const char *what;
        bytes head;
        size_t len;
    } cases[] = {
        {"decreasing", {0x00, 0x06, 0x00, 0x50, 0x07, 0x00}, 220},
        {"two equal starts", {0x00, 0x05, 0x00, 0x50, 0x07, 0x00}, 220},
        {"first start inside the table", {0x20, 0x00, 0x40}, 220},
        {"AU 0 too short for its CRC", {0x20, 0x00, 0x70}, 220},
        {"start at the end of the data", {0x20, 0x0D, 0xC0}, 220},
        {"last AU too short for its CRC", {0x20, 0x0D, 0xA0}, 220},
        {"start past the superframe", {0x20, 0xFF, 0xF0}, 220},
        {"starts of zero", {0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 220},
        {"data shorter than the table", {0x40, 0x00, 0x10, 0x02, 0x00, 0x30, 0x04, 0x00, 0x50}, 10},
        {"data longer than any superframe", {0x20, 0x06, 0x40}, SF_MAX_BYTES + 1},
    };
    for (const auto &c : cases) {
        bytes sf(std::max<size_t>(c.len, 11), 0);
        std::copy(c.head.begin(), c.head.end(), sf.begin() + 2);
        std::array<int, SF_MAX_AUS + 1> starts{};
        EXPECT_EQ(sf_au_starts(sf.data(), c.len, starts), 0) << c.what;
    }
}
