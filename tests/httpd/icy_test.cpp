// Stream title blocks as players read them, the label text conversion, and the paths the JSON
// API turns into URLs.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "datapath/isoconv.h"
#include "httpd/api.h"
#include "httpd/icy.h"

namespace {

// Reads a block as a player does: the title runs from "StreamTitle='" to the first "';".
struct read_block {
    bool ok = false;
    std::string why, title;  // title with the escapes undone
    size_t units = 0;

    explicit read_block(const std::string &b) { ok = read(b); }

private:
    bool fail(const std::string &reason) {
        why = reason;
        return false;
    }
    bool read(const std::string &b) {
        if (b.empty()) return fail("no length byte");
        units = static_cast<unsigned char>(b[0]);
        if (b.size() != 1 + units * icy_unit)
            return fail("length byte says " + std::to_string(units) + " units, block has " +
                        std::to_string(b.size() - 1));
        const std::string body = b.substr(1);
        const std::string head = "StreamTitle='";
        if (body.compare(0, head.size(), head) != 0) return fail("no StreamTitle");
        const size_t end = body.find("';", head.size());
        if (end == std::string::npos) return fail("no end");
        // The text ends where the block's text ends: only the padding may follow.
        for (size_t i = end + 2; i < body.size(); i++)
            if (body[i] != '\0') return fail("text after the first \"';\" at " + std::to_string(end));
        if (body.size() - (end + 2) >= icy_unit) return fail("a whole unit of padding");
        const std::string raw = body.substr(head.size(), end - head.size());
        for (size_t i = 0; i < raw.size(); i++) {
            if (raw[i] == '\0') return fail("zero byte inside the title");
            if (raw[i] == '\\' && ++i == raw.size()) return fail("escape cut off");
            title += raw[i];
        }
        return true;
    }
};

// The title a player should show for a label: blanks for control characters, UTF-8.
std::string shown(const std::string &latin1) {
    std::string t = latin1;
    for (char &c : t)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return latin1_to_utf8(t.c_str());
}

TEST(icy_block, TitlesReadBackAsSentWithQuotesEscaped) {
    const struct {
        const char *what, *label, *body;
    } cases[] = {
        {"empty", "", "StreamTitle='';"},
        {"plain", "Demo Tones", "StreamTitle='Demo Tones';"},
        {"quote", "It's", "StreamTitle='It\\'s';"},
        {"quote and semicolon", "a';b", "StreamTitle='a\\'\\;b';"},
        {"semicolon alone stays", "a;b", "StreamTitle='a;b';"},
        {"backslash", "c:\\x", "StreamTitle='c:\\\\x';"},
        {"ends in a quote", "x'", "StreamTitle='x\\'';"},
        {"ends in a backslash", "x\\", "StreamTitle='x\\\\';"},
        {"line break", "one\ntwo\x7F", "StreamTitle='one two ';"},
        {"Latin-1", "\xC4rger \xFC" "ber Stra\xDF" "e", "StreamTitle='\xC3\x84rger \xC3\xBC" "ber Stra\xC3\x9F" "e';"},
    };
    for (const auto &k : cases) {
        const std::string b = icy_title_block(k.label);
        const read_block r(b);
        ASSERT_TRUE(r.ok) << k.what << ": " << r.why;
        EXPECT_EQ(b.substr(1, strlen(k.body)), k.body) << k.what;
        EXPECT_EQ(r.units, (strlen(k.body) + 15) / 16) << k.what;
        EXPECT_EQ(r.title, shown(k.label)) << k.what;
    }
    // Exactly one unit, and one byte more.
    EXPECT_EQ(icy_title_block("x").size(), 1u + 16);  // 13 + 1 + 2 bytes
    EXPECT_EQ(icy_title_block("xy").size(), 1u + 32);
    EXPECT_EQ(icy_empty_block(), std::string(1, '\0'));
}

TEST(icy_block, EveryByteValueAndRandomLabelsNeverEndTheTitleEarly) {
    std::string all;
    for (int c = 1; c < 256; c++) all += static_cast<char>(c);
    const read_block r(icy_title_block(all.c_str()));
    ASSERT_TRUE(r.ok) << r.why;
    EXPECT_EQ(r.title, shown(all));

    // Quotes, semicolons and backslashes thick on the ground.
    std::mt19937 rng(7);
    const char often[] = "';\\'";
    for (int round = 0; round < 2000; round++) {
        std::string label;
        const size_t n = rng() % 140;
        for (size_t i = 0; i < n; i++)
            label += rng() % 2 ? often[rng() % 4] : static_cast<char>(1 + rng() % 255);
        const read_block b(icy_title_block(label.c_str()));
        ASSERT_TRUE(b.ok) << b.why << " for label of " << n << " bytes, round " << round;
        ASSERT_EQ(b.title, shown(label)) << "round " << round;
    }
}

TEST(icy_block, LongTitlesAreCutAtAWholeCharacterWithinTheLargestBlock) {
    const struct {
        const char *what;
        char c;
        std::string piece;  // what one character becomes
    } cases[] = {
        {"two-byte characters", '\xE9', "\xC3\xA9"},
        {"escaped quotes", '\'', "'"},
        {"escaped backslashes", '\\', "\\"},
        {"plain", 'a', "a"},
    };
    for (const auto &k : cases) {
        const std::string label(5000, k.c);
        const std::string b = icy_title_block(label.c_str());
        const read_block r(b);
        ASSERT_TRUE(r.ok) << k.what << ": " << r.why;
        EXPECT_EQ(r.units, 255u) << k.what;
        EXPECT_EQ(b.size(), 1 + icy_text_max) << k.what;
        ASSERT_FALSE(r.title.empty()) << k.what;
        EXPECT_EQ(r.title.size() % k.piece.size(), 0u) << k.what << ": a character cut in two";
        std::string expect;
        while (expect.size() < r.title.size()) expect += k.piece;
        EXPECT_EQ(r.title, expect) << k.what;
        // As much as fits: less than one more character of room was left.
        const size_t used = b.find("';", 14) + 2 - 1;  // the length byte is no text
        const size_t sent_size = k.piece.size() + (k.c == '\'' || k.c == '\\' ? 1 : 0);
        EXPECT_LT(icy_text_max - used, sent_size) << k.what;
    }
}

TEST(icy_block, OnlyTheValueOneAsksForTitles) {
    const struct {
        const char *value;
        bool on;
    } cases[] = {{"1", true}, {" 1 ", true}, {"1\t", true}, {"0", false}, {"", false},
                 {"10", false}, {"1x", false}, {"true", false}, {"-1", false}};
    for (const auto &k : cases) EXPECT_EQ(icy_requested(k.value), k.on) << "'" << k.value << "'";
    EXPECT_FALSE(icy_requested(nullptr));
}

TEST(label_text, EveryLatin1ByteBecomesOneUtf8Character) {
    for (int c = 1; c < 256; c++) {
        const char in[2] = {static_cast<char>(c), 0};
        const std::string u = latin1_to_utf8(in);
        if (c < 0x80) {
            EXPECT_EQ(u, std::string(in)) << c;
            continue;
        }
        ASSERT_EQ(u.size(), 2u) << c;
        const unsigned a = static_cast<unsigned char>(u[0]), b = static_cast<unsigned char>(u[1]);
        EXPECT_EQ(a & 0xE0, 0xC0u) << c;
        EXPECT_EQ(b & 0xC0, 0x80u) << c;
        EXPECT_EQ(((a & 0x1F) << 6) | (b & 0x3F), static_cast<unsigned>(c)) << "code point of " << c;
    }
    // Bounded by the length as well as by the terminator: a full field has none.
    const char field[4] = {'a', '\xE9', 'b', 'c'};
    EXPECT_EQ(latin1_to_utf8(field, 2), "a\xC3\xA9");
    EXPECT_EQ(latin1_to_utf8(nullptr), "");
}

TEST(api_paths, FilesBecomeUrlPathsOnlyBelowTheDocumentRoot) {
    const struct {
        const char *root, *file, *path;
    } cases[] = {
        {"/srv/www", "/srv/www/data/c1d1/d101/content/a.jpg", "/data/c1d1/d101/content/a.jpg"},
        {"/srv/www/", "/srv/www/data/x", "/data/x"},
        {"/srv/./www", "/srv/www/data/../data/x", "/data/x"},
        {"/srv/www", "/srv/www2/data/x", ""},
        {"/srv/www", "/srv/www/../etc/passwd", ""},
        {"/srv/www", "/srv/www", ""},
        {"/srv/www", "/srv/www/", ""},
        {"/", "/a/b", "/a/b"},
        {"", "/a", ""},
    };
    for (const auto &k : cases) EXPECT_EQ(served_path(k.root, k.file), k.path) << k.root << " " << k.file;
    // Relative paths are taken from the working directory, written either way.
    EXPECT_EQ(served_path("./htdocs", "htdocs/data/c1d1/d101/content/a.jpg"), "/data/c1d1/d101/content/a.jpg");
    EXPECT_EQ(served_path("htdocs", "./htdocs//data/x"), "/data/x");
}

TEST(api_paths, NamesFromTheAirAreEscapedInUrls) {
    EXPECT_EQ(url_path_escape("/data/c1d1/d101/content/a-b_c.d~e.jpg"), "/data/c1d1/d101/content/a-b_c.d~e.jpg");
    EXPECT_EQ(url_path_escape("/x/a b#c?d%e\"f<g>&h"), "/x/a%20b%23c%3Fd%25e%22f%3Cg%3E%26h");
    EXPECT_EQ(url_path_escape("/\xC3\xA9\x01\x7F"), "/%C3%A9%01%7F");
}

}  // namespace
