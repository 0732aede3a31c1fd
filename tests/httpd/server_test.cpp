// The HTTP server of a running dabserver, over real sockets.

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "httpd/httpd.h"
#include "server_fixture.h"
#include "support/test_support.h"

using httptest::answer;
using testsupport::connect_local;
using testsupport::write_file;

namespace {

std::string base64(const std::string &in) {
    static const char tbl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16 | static_cast<unsigned char>(in[i + 1]) << 8 |
                     static_cast<unsigned char>(in[i + 2]);
        for (int k = 18; k >= 0; k -= 6) out += tbl[v >> k & 63];
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += tbl[v >> 18 & 63];
        out += tbl[v >> 12 & 63];
        out += i + 1 < in.size() ? tbl[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

std::string big_content() {
    std::string s(40000, 0);
    for (size_t i = 0; i < s.size(); i++) s[i] = static_cast<char>(i * 7 % 251);
    return s;
}

class http_server : public ::testing::Test {
protected:
    static testsupport::temp_dir *dir;
    static httptest::server *srv;

    static std::string root() { return dir->file("root"); }

    static void SetUpTestSuite() {
        dir = new testsupport::temp_dir();
        std::string r = root();
        for (const char *d : {"", "/sub", "/dirindex", "/dirindex/index.html", "/lst", "/lst/d", "/dang", "/empty",
                              "/photos.jpg"})
            mkdir((r + d).c_str(), 0755);
        write_file(r + "/a.txt", "hello\n");
        write_file(r + "/big.bin", big_content());
        write_file(r + "/with space.txt", "blank\n");
        write_file(r + "/setupfile.html", "protected\n");
        write_file(r + "/sub/INDEX.HTML", "<b>index</b>\n");
        write_file(r + "/lst/a b.txt", "1");
        write_file(r + "/lst/\xe4.txt", "22");
        write_file(r + "/lst/<i>x.txt", "333");
        write_file(r + "/dang/zzz.txt", "z");
        symlink("nowhere", (r + "/dang/broken").c_str());
        for (const char *f : {"/pic.jpg", "/anim.GIF", "/clip.mpeg", "/clip.mpg", "/x.m4i", "/list.m3u", "/photos.jpg/readme.txt",
                              "/raw.png", "/app.js", "/mod.MJS", "/style.css", "/data.json", "/logo.svg", "/code.wasm",
                              "/photo.webp", "/page.jsx"})
            write_file(r + f, "data");
        write_file(dir->file("passwd.ini"), "admin:Secret\nroot:pa:ss\nlongname12:x\n");
        srv = new httptest::server(dir->path(), r, dir->file("passwd.ini"));
        ASSERT_TRUE(srv->ready()) << srv->log();
    }
    static void TearDownTestSuite() {
        if (srv) {
            EXPECT_EQ(srv->stop(), 0) << "server did not end cleanly:\n" << srv->log();
        }
        delete srv;
        srv = nullptr;
        delete dir;
        dir = nullptr;
    }

    answer get(const std::string &path, const std::string &extra = "", bool ipv6 = false) {
        return srv->get("GET " + path + " HTTP/1.0\r\n" + extra + "\r\n", ipv6);
    }
};

testsupport::temp_dir *http_server::dir = nullptr;
httptest::server *http_server::srv = nullptr;

}  // namespace

TEST_F(http_server, MalformedRequestsAndMethods) {
    answer a = srv->get("GET /a.txt\r\n\r\n");
    EXPECT_EQ(a.status, 400) << "two-word request line";
    EXPECT_NE(a.body.find("<body><h1>Bad Request (400)</h1>"), std::string::npos);

    a = srv->get("PUT /a.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(a.status, 501);
    EXPECT_NE(a.body.find("<p>Rejected request: <tt>'/a.txt'</tt></p><hr>\n"), std::string::npos) << a.raw;

    a = srv->get("\r\nGET /a.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(a.status, 400) << "empty first line";

    a = srv->get("HEAD /a.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "hello\n") << "HEAD is answered like GET";

    a = srv->get("post /a.txt HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(a.body, "hello\n");
}

TEST_F(http_server, TargetsAndPathFilter) {
    answer a = srv->get("GET http://" + srv->host() + "/a.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(a.body, "hello\n") << "absolute-form target";
    EXPECT_EQ(get("/with%20space.txt").body, "blank\n");
    EXPECT_EQ(get("/A.TXT").body, "hello\n") << "last component ignores case";

    for (const char *bad : {"/../passwd.ini", "/%2e%2e/passwd.ini", "/sub/..%2F..%2Fpasswd.ini", "/sub\\..\\a.txt",
                            "/sub%5Ca.txt", "/missing.txt", "/nodir/"}) {
        a = get(bad);
        EXPECT_EQ(a.status, 404) << bad;
        EXPECT_EQ(a.body.find("admin"), std::string::npos) << bad;
    }
}

TEST_F(http_server, DirectoriesRedirectIndexAndListing) {
    answer a = get("/sub");
    EXPECT_EQ(a.status, 301);
    EXPECT_EQ(a.header("Location"), "/sub/");

    a = get("/sub/");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "<b>index</b>\n") << "index.html spelt in capitals";

    // The case-insensitive lookup finds files only: a directory is no empty page of its size.
    a = get("/SUB");
    EXPECT_EQ(a.status, 404) << a.raw;
    EXPECT_EQ(a.header("Content-Length"), "") << a.raw;
    a = get("/dirindex/");
    EXPECT_EQ(a.status, 200);
    EXPECT_NE(a.body.find("<h1>Index of dirindex/</h1>"), std::string::npos) << "an index.html that is a directory";

    a = get("/empty/");
    EXPECT_EQ(a.status, 200);
    EXPECT_NE(a.body.find("<h1>Index of empty/</h1>\n<FONT FACE=\"Courier\"><PRE>"), std::string::npos) << a.body;
    EXPECT_NE(a.body.find("<a href=\"../\">Parent Directory</a>                "), std::string::npos);

    a = get("/lst/");
    EXPECT_NE(a.body.find("<IMG SRC=\"/icons/text.gif\" ALT=\"[TEXT]\"> <a href=\"a%20b%2Etxt\">a b.txt</a>" +
                          std::string(25, ' ')),
              std::string::npos)
        << a.body;
    EXPECT_NE(a.body.find("<a href=\"%E4%2Etxt\">"), std::string::npos);
    EXPECT_NE(a.body.find("<a href=\"%3Ci%3Ex%2Etxt\">&lt;i&gt;x.txt</a>"), std::string::npos)
        << "names are shown as text";
    EXPECT_NE(a.body.find("<IMG SRC=\"/icons/folder.gif\" ALT=\"[DIR]\"> <a href=\"d\">d</a>"), std::string::npos);
    EXPECT_NE(a.body.find("        3\n"), std::string::npos) << "size column";
    EXPECT_NE(a.body.find("</PRE></FONT>\n<br><a href=\"/\">index</a>"), std::string::npos) << "footer follows";

    // A directory link without its slash is redirected.
    a = get("/lst/d");
    EXPECT_EQ(a.header("Location"), "/lst/d/");
}

TEST_F(http_server, DanglingLinkEndsTheListing) {
    // Entries come in the directory's own order; everything from the dangling link on is left out.
    std::vector<std::string> expected;
    bool seen_broken = false;
    DIR *d = opendir((root() + "/dang").c_str());
    ASSERT_NE(d, nullptr);
    while (struct dirent *de = readdir(d)) {
        std::string n = de->d_name;
        if (n == "broken") seen_broken = true;
        if (n == "zzz.txt") {
            if (seen_broken) break;
            expected.push_back(n);
        }
    }
    closedir(d);
    answer a = get("/dang/");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body.find("broken"), std::string::npos);
    EXPECT_EQ(a.body.find("zzz.txt") != std::string::npos, !expected.empty());
    EXPECT_NE(a.body.find("</PRE></FONT>\n"), std::string::npos) << "the listing is still closed";
}

TEST_F(http_server, FilesCompleteWithTypes) {
    answer a = get("/big.bin");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.header("Content-Length"), "40000");
    EXPECT_EQ(a.body.size(), 40000u);
    EXPECT_TRUE(a.body == big_content()) << "40000 bytes: one full piece and the rest";
    EXPECT_FALSE(a.header("Last-Modified").empty());

    const struct {
        const char *path, *type;
        bool no_cache;
    } cases[] = {
        {"/pic.jpg", "image/jpeg", false},
        {"/anim.GIF", "image/gif", false},
        {"/photos.jpg/readme.txt", "image/jpeg", false},
        {"/clip.mpeg", "video/mpeg", true},
        {"/clip.mpg", "video/mpeg", true},
        {"/x.m4i", "video/mpeg", true},
        {"/list.m3u", "text/html", true},
        {"/raw.png", "text/html", true},
        // By the name's ending: browsers refuse module scripts and streamed WebAssembly otherwise.
        {"/app.js", "text/javascript", true},
        {"/mod.MJS", "text/javascript", true},
        {"/style.css", "text/css", true},
        {"/data.json", "application/json", true},
        {"/logo.svg", "image/svg+xml", false},
        {"/code.wasm", "application/wasm", true},
        {"/photo.webp", "image/webp", false},
        {"/page.jsx", "text/html", true},
    };
    for (const auto &c : cases) {
        a = get(c.path);
        EXPECT_EQ(a.status, 200) << c.path;
        EXPECT_EQ(a.header("Content-type"), c.type) << c.path;
        EXPECT_EQ(a.has_header("Pragma: no-cache"), c.no_cache) << c.path;
        EXPECT_EQ(a.body, "data") << c.path;
    }
}

TEST_F(http_server, DispatchSegments) {
    // Segment names are compared without regard to case; a number segment may carry ".m3u".
    const struct {
        const char *path, *type, *contains;
    } pages[] = {
        {"/", "text/html", "<a href=\"/stat\">statistics</a>"},
        {"/status", "text/html", "<a href=\"/stat\">statistics</a>"},
        {"/STAT", "text/html", "DAB-Statistics"},
        {"/playlist.m3u", "audio/x-mpegurl", ""},
        {"/playlist/ensemble.M3U", "audio/x-mpegurl", ""},
        {"/Playlist/7", "audio/x-mpegurl", ""},
        {"/playlist/7.m3u", "audio/x-mpegurl", ""},
    };
    for (const auto &p : pages) {
        answer a = get(p.path);
        EXPECT_EQ(a.status, 200) << p.path;
        EXPECT_EQ(a.header("Content-type"), p.type) << p.path;
        EXPECT_NE(a.body.find(p.contains), std::string::npos) << p.path;
    }

    for (const char *p : {"/stream", "/xpad/", "/playlist", "/playlist/64", "/playlist/-1", "/fig/1", "/FIG"})
        EXPECT_EQ(get(p).status, 404) << p;

    answer a = get("/Fig/0/1");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.header("Content-type"), "application/octet-stream");
    EXPECT_EQ(a.header("Content-Length"), "16");
    EXPECT_EQ(a.body, std::string("Hallo Zolbe\n\0\0\0\0", 16)) << "no records stored";
}

TEST_F(http_server, AccessControl) {
    const std::string realm = "WWW-Authenticate: Basic realm=\"" + srv->host() + "\"";
    answer a = get("/setupfile.html", "", true);
    EXPECT_EQ(a.status, 401) << "the IPv6 loopback address is not local";
    EXPECT_TRUE(a.has_header(realm)) << a.head;
    EXPECT_EQ(get("/SETUPFILE.HTML", "", true).status, 401) << "four letters in any case";

    EXPECT_EQ(get("/setupfile.html").body, "protected\n") << "local peer";

    const struct {
        std::string header;
        int status;
    } cases[] = {
        {"Authorization: Basic " + base64("admin:Secret") + "\r\n", 200},
        {"Authorization: Basic " + base64("ADMIN:secret") + "\r\n", 200},
        {"Authorization: Basic " + base64("root:pa:ss") + "\r\n", 200},
        {"Cookie: " + srv->host() + "=" + base64("admin:Secret") + "\r\n", 200},
        {"Authorization: Basic " + base64("admin:wrong") + "\r\n", 401},
        {"Authorization: Basic " + base64("longname12:x") + "\r\n", 401},
        {"Authorization: Basic !!!not base64!!!\r\n", 401},
        {"Cookie: other=" + base64("admin:Secret") + "\r\n", 401},
    };
    for (const auto &c : cases) EXPECT_EQ(get("/setupfile.html", c.header, true).status, c.status) << c.header;

    // The file is read for every request: without it, everyone gets in.
    std::string pw = dir->file("passwd.ini");
    ASSERT_EQ(rename(pw.c_str(), (pw + ".away").c_str()), 0);
    a = get("/setupfile.html", "", true);
    ASSERT_EQ(rename((pw + ".away").c_str(), pw.c_str()), 0);
    EXPECT_EQ(a.status, 200);
    EXPECT_NE(srv->log().find(pw + ": file not found, allowing unconditional access"), std::string::npos);
}

TEST_F(http_server, DeclaredBodyOverTheLimitIsNotRead) {
    auto t0 = std::chrono::steady_clock::now();
    answer a = srv->get("POST /a.txt HTTP/1.0\r\nContent-length: 10000001\r\n\r\n");
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(a.status, 413) << a.raw;
    EXPECT_EQ(a.body.find("hello"), std::string::npos) << "no answer to a request too large";
    EXPECT_LT(secs, 5) << "the server waited for a body";
    EXPECT_NE(srv->log().find("httpconn::parse_header: content too long"), std::string::npos);
}

TEST_F(http_server, ManyBadClientsLeaveNoTrace) {
    pid_t pid = srv->pid();
    for (int i = 0; i < 20; i++) get("/a.txt");  // warm up allocator and thread stacks
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long threads0 = testsupport::proc_status(pid, "Threads");
    ASSERT_GT(threads0, 0);

    // 500 clients that hang, then leave; the workers they held go back to the pool.
    auto burst = [&] {
        constexpr int clients = 500, connectors = 10;
        // Connected from several threads: the listen backlog of 30 makes single connects wait now and then.
        std::vector<int> socks(clients, -1);
        std::vector<std::thread> workers;
        for (int w = 0; w < connectors; w++)
            workers.emplace_back([&, w] {
                for (int i = w; i < clients; i += connectors) {
                    int s = connect_local(srv->port());
                    if (s < 0) continue;
                    std::string what;
                    switch (i % 3) {
                        case 0: what = std::string("\x01\xff garbage\x00\r\n\r\n", 16); break;
                        case 1: what = "GET /a.txt HTTP/1.0\r\nHost: some"; break;
                        default: break;  // nothing at all
                    }
                    if (!what.empty()) send(s, what.data(), what.size(), MSG_NOSIGNAL);
                    socks[i] = s;
                }
            });
        for (auto &t : workers) t.join();
        for (int i = 0; i < clients; i++) ASSERT_GE(socks[i], 0) << "connection " << i;
        // While they hang, others are still served.
        EXPECT_EQ(get("/a.txt").body, "hello\n");
        long threads_busy = testsupport::proc_status(pid, "Threads");
        EXPECT_GT(threads_busy, threads0 + clients / 2) << "silent clients should each hold a connection";
        for (int s : socks) close(s);

        // The pool keeps a few idle workers for the next burst and lets the others go.
        long threads1 = -1;
        for (int i = 0; i < 200; i++) {
            threads1 = testsupport::proc_status(pid, "Threads");
            if (threads1 <= threads0 + max_idle_workers) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_LE(threads1, threads0 + max_idle_workers) << "idle workers were not let go";
        EXPECT_EQ(get("/a.txt").body, "hello\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    };
    long rss0 = testsupport::proc_status(pid, "VmRSS");
    burst();
    // The first burst grows the allocator's and the thread library's caches; a second one,
    // with nothing kept from the first, must not grow the process again.
    long rss1 = testsupport::proc_status(pid, "VmRSS");
    burst();
    long rss2 = testsupport::proc_status(pid, "VmRSS");
#ifndef __SANITIZE_ADDRESS__
    // (The address sanitizer keeps freed memory in quarantine, and checks for leaks itself.)
    EXPECT_LT(rss1, rss0 + 16 * 1024) << "kB before " << rss0 << ", after the first burst " << rss1;
    EXPECT_LT(rss2, rss1 + 4 * 1024) << "kB after the first burst " << rss1 << ", after the second " << rss2;
#else
    (void)rss0, (void)rss1, (void)rss2;
#endif
}
