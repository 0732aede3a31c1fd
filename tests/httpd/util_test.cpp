// Text, number, time and file helpers of the HTTP server.

#include "httpd/util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "support/test_support.h"

using testsupport::temp_dir;
using testsupport::write_file;

TEST(stristr, FindsRegardlessOfCaseAndNeverReadsPastTheEnd) {
    const char *hay = "Content-Length: 5";
    EXPECT_EQ(stristr(hay, "length"), hay + 8);
    EXPECT_EQ(stristr(hay, "CONTENT"), hay);
    EXPECT_EQ(stristr(hay, "5"), hay + 16);
    EXPECT_EQ(stristr(hay, "length: 55"), nullptr) << "needle running past the end of the text";
    EXPECT_EQ(stristr("", "a"), nullptr);
    EXPECT_EQ(stristr(hay, ""), hay);
    EXPECT_EQ(stristr("x.JPG", ".jpg") != nullptr, true);
    // Only the bits 0x20 and 0x80 are ignored: a different letter never matches.
    EXPECT_EQ(stristr("abc", "abd"), nullptr);
    // A needle exactly at the end of a heap copy: ASan reports a read one byte too far.
    std::string s = "freq=5";
    char *heap = strdup(s.c_str());
    EXPECT_EQ(stristr(heap, "Q=5"), heap + 3);
    free(heap);
}

TEST(percent_decode, DecodesEscapesAndStaysInsideBothBuffers) {
    const struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"a%20b", "a b"},       {"%41%62c", "Abc"},  {"100%", "100%"}, {"%4", "%4"},
        {"%zz", "%zz"},         {"%e4", "\xe4"},     {"", ""},         {"a+b", "a+b"},
    };
    for (const auto &c : cases) {
        char out[32];
        percent_decode(out, sizeof out, c.in, SIZE_MAX);
        EXPECT_STREQ(out, c.out) << c.in;
    }
    char small[4];
    EXPECT_EQ(percent_decode(small, sizeof small, "abcdef", SIZE_MAX), 3u);
    EXPECT_STREQ(small, "abc");
    // The source length is honoured even when the escape's digits lie behind it.
    char out[8];
    percent_decode(out, sizeof out, "x%41", 3);
    EXPECT_STREQ(out, "x%4");
}

TEST(base64_decode, StandardAlphabetFillAndGroupLimit) {
    char out[50];
    base64_decode("YWxhZGRpbjpvcGVuIHNlc2FtZQ==", out, 49);
    EXPECT_STREQ(out, "aladdin:open sesame");
    base64_decode("dXNlcjpwdw==", out, 49);
    EXPECT_STREQ(out, "user:pw");
    base64_decode("", out, 49);
    EXPECT_STREQ(out, "");
    base64_decode("YWJj", out, 3);
    EXPECT_STREQ(out, "") << "maxlen below 4";
    // Input ending inside a group: the missing characters count as 0.
    base64_decode("YWJjZA", out, 49);
    EXPECT_STREQ(out, "abcd");
    // 16 groups at most for maxlen 49: 48 bytes and the terminator.
    std::string long_in(200, 'Q');
    char big[60];
    memset(big, 'x', sizeof big);
    base64_decode(long_in.c_str(), big, 49);
    EXPECT_EQ(big[48], 0);
    EXPECT_EQ(big[49], 'x') << "wrote behind maxlen";
}

TEST(html_link_convert, EncodesEverythingButLettersAndDigits) {
    char out[64];
    char *end = html_link_convert(out, "a b\xe4.txt", -1);
    EXPECT_STREQ(out, "a%20b%E4%2Etxt");
    EXPECT_EQ(end, out + strlen(out));
    html_link_convert(out, "", -1);
    EXPECT_STREQ(out, "");
    html_link_convert(out, "abc", 0);
    EXPECT_STREQ(out, "");
    // The limit counts an escape as three characters and never splits one.
    html_link_convert(out, "ab cd", 4);
    EXPECT_STREQ(out, "ab");
    html_link_convert(out, "ab cd", 5);
    EXPECT_STREQ(out, "ab%20");
}

TEST(html_escape, EscapesMarkupAndStaysBounded) {
    char out[64];
    html_escape(out, sizeof out, "<script>\"&x");
    EXPECT_STREQ(out, "&lt;script&gt;&quot;&amp;x");
    char small[5];
    html_escape(small, sizeof small, "a<b");
    EXPECT_STREQ(small, "a") << "an escape that does not fit is left out whole";
}

TEST(splitpath, SplitsAtTheLastSlashWithBoundedCopies) {
    char dir[16], fname[16];
    splitpath(dir, fname, "a/b/c.html");
    EXPECT_STREQ(dir, "a/b");
    EXPECT_STREQ(fname, "c.html");
    splitpath(dir, fname, "dir/");
    EXPECT_STREQ(dir, "dir");
    EXPECT_STREQ(fname, "");
    splitpath(dir, fname, "plain");
    EXPECT_STREQ(dir, "");
    EXPECT_STREQ(fname, "plain");
    std::string longdir(100, 'd');
    splitpath(dir, fname, (longdir + "/" + std::string(100, 'f')).c_str());
    EXPECT_EQ(strlen(dir), 15u);
    EXPECT_EQ(strlen(fname), 15u);
}

TEST(match_fname, LastComponentIgnoresCaseDirectoryMustMatch) {
    temp_dir d;
    mkdir(d.file("Sub").c_str(), 0755);
    write_file(d.file("Sub/INDEX.HTML"), "x");
    char out[512];
    EXPECT_EQ(match_fname(out, sizeof out, d.file("Sub/index.html").c_str()), 0);
    EXPECT_EQ(std::string(out), d.file("Sub/INDEX.HTML"));
    EXPECT_EQ(match_fname(out, sizeof out, d.file("sub/index.html").c_str()), -1) << "directory part is exact";
    EXPECT_STREQ(out, "");
    EXPECT_EQ(match_fname(out, sizeof out, d.file("Sub/none.html").c_str()), -1);
    char tiny[8];
    EXPECT_EQ(match_fname(tiny, sizeof tiny, d.file("Sub/index.html").c_str()), -1) << "result does not fit";
    EXPECT_STREQ(tiny, "");
}

TEST(file_status, ZeroWhenUnreadable) {
    temp_dir d;
    write_file(d.file("f"), "12345");
    EXPECT_EQ(filesize(d.file("f").c_str()), 5);
    EXPECT_NE(filetime(d.file("f").c_str()), 0);
    EXPECT_EQ(isdir(d.file("f").c_str()), 0);
    EXPECT_NE(isdir(d.path().c_str()), 0);
    EXPECT_EQ(filesize(d.file("missing").c_str()), 0);
    EXPECT_EQ(filetime(d.file("missing").c_str()), 0);
    EXPECT_EQ(isdir(d.file("missing").c_str()), 0);
}

TEST(number_formatting, SuffixesPercentAndSpans) {
    char s[16];
    EXPECT_STREQ(num2str(s, 1536), " (1.50k)");
    EXPECT_STREQ(num2str(s, 1023), "");
    EXPECT_STREQ(num2str(s, 3ULL << 30), " (3.00G)");
    EXPECT_STREQ(num2str(s, 5ULL << 20), " (5.00M)");
    EXPECT_STREQ(num2str(s, 2ULL << 40), " (2.00T)");
    EXPECT_EQ(percent(5, 0), 0.0);
    EXPECT_DOUBLE_EQ(percent(1, 4), 25.0);
    EXPECT_STREQ(timespan(90061, zs_runtime), "1.01:01");
    EXPECT_STREQ(timespan(59, zs_runtime), "00:00");
    EXPECT_STREQ(timespan(3 * 86400 + 4 * 3600 + 7 * 60, zs_runtime), "3.04:07");
    EXPECT_STREQ(timespan(1000L * 86400, zs_runtime), "-:--");
    EXPECT_STREQ(timespan(-3600, zs_runtime), "-:--");
    EXPECT_STREQ(timespan(-10, zs_runtime), "00:00");
    EXPECT_STREQ(timespan(240, zs_seconds), "4m");
    EXPECT_STREQ(timespan(239, zs_seconds), "239s");
    EXPECT_STREQ(timespan(345600, zs_seconds), "4d");
    EXPECT_STREQ(timespan(14400, zs_seconds), "4h");
    EXPECT_STREQ(timespan(31536000, zs_seconds), "1y");
    EXPECT_STREQ(timespan(315360000, zs_seconds), "");
    EXPECT_STREQ(timespan(LONG_MIN, zs_seconds), "-9223372036854775808s");
}
