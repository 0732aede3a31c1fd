// The player's path: taken from the server's asset directory, never from the document root.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "server_fixture.h"
#include "support/test_support.h"

using httptest::answer;
using testsupport::read_file;
using testsupport::write_file;

namespace {

// A server with a document root that has a "player" directory of its own, and an asset
// directory chosen by the environment (unset: the one the server finds by itself).
struct player_server {
    testsupport::temp_dir dir;
    std::unique_ptr<httptest::server> srv;

    explicit player_server(const char *assets_env) {
        const std::string root = dir.file("root"), assets = dir.file("assets");
        for (const std::string &d : {root, root + "/player", assets, assets + "/player", assets + "/player/sub"})
            mkdir(d.c_str(), 0755);
        write_file(root + "/player/index.html", "from the document root\n");
        write_file(root + "/other.txt", "document root\n");
        write_file(assets + "/player/index.html", "<p>player</p>\n");
        write_file(assets + "/player/app.js", "let x = 1;\n");
        write_file(assets + "/player/sub/a.txt", "a");
        write_file(assets + "/secret.txt", "outside the player\n");
        write_file(dir.file("passwd.ini"), "admin:Secret\n");
        if (!assets_env)
            unsetenv("DABSERVER_ASSETS");
        else
            setenv("DABSERVER_ASSETS", *assets_env ? assets.c_str() : "", 1);
        srv = std::make_unique<httptest::server>(dir.path(), root, dir.file("passwd.ini"));
        unsetenv("DABSERVER_ASSETS");
    }
    ~player_server() { EXPECT_EQ(srv->stop(), 0) << srv->log(); }
    answer get(const std::string &path) { return srv->get("GET " + path + " HTTP/1.0\r\n\r\n"); }
};

}  // namespace

TEST(player_route, ServedFromTheAssetDirectoryOnly) {
    player_server p("set");
    ASSERT_TRUE(p.srv->ready()) << p.srv->log();
    const struct {
        const char *path;
        int status;
        const char *body;  // null: not compared
        const char *location;
    } cases[] = {
        {"/player/", 200, "<p>player</p>\n", ""},
        {"/player/index.html", 200, "<p>player</p>\n", ""},
        {"/player/app.js", 200, "let x = 1;\n", ""},
        {"/player", 301, nullptr, "/player/"},
        {"/player/sub", 301, nullptr, "/player/sub/"},
        {"/player/missing.js", 404, nullptr, ""},
        {"/player/../secret.txt", 404, nullptr, ""},
        {"/player/%2e%2e/secret.txt", 404, nullptr, ""},
        {"/player/sub/..%2F..%2Fsecret.txt", 404, nullptr, ""},
        {"/other.txt", 200, "document root\n", ""},
    };
    for (const auto &k : cases) {
        const answer a = p.get(k.path);
        EXPECT_EQ(a.status, k.status) << k.path << "\n" << a.raw;
        if (k.body) {
            EXPECT_EQ(a.body, k.body) << k.path;
        }
        EXPECT_EQ(a.header("Location"), k.location) << k.path;
        EXPECT_EQ(a.body.find("document root\n"), k.body && std::string(k.body) == "document root\n" ? 0 : std::string::npos)
            << k.path;
        EXPECT_EQ(a.body.find("outside the player"), std::string::npos) << k.path;
    }
    // A directory without index page is listed from the asset directory too.
    const answer l = p.get("/player/sub/");
    EXPECT_EQ(l.status, 200);
    EXPECT_NE(l.body.find(">a.txt</a>"), std::string::npos) << l.body;

    // The status page links the player once, before the service lines.
    const answer s = p.get("/");
    const std::string link = "<a href=\"/player/\">Listen in the browser</a><br>\n";
    const size_t at = s.body.find(link);
    ASSERT_NE(at, std::string::npos) << s.body;
    EXPECT_EQ(s.body.find("/player/", at + link.size()), std::string::npos) << "one link only";
    EXPECT_EQ(s.body.rfind("<FONT FACE=\"Courier\">\n", at), at - 22) << "it follows the time line";
}

TEST(player_route, WithoutAssetsNothingIsTakenFromTheDocumentRoot) {
    player_server p("");
    ASSERT_TRUE(p.srv->ready()) << p.srv->log();
    for (const char *path : {"/player/", "/player/index.html", "/player"}) {
        const answer a = p.get(path);
        EXPECT_EQ(a.status, 404) << path << "\n" << a.raw;
        EXPECT_EQ(a.body.find("from the document root"), std::string::npos) << path;
    }
    EXPECT_EQ(p.get("/other.txt").body, "document root\n");
}

TEST(player_route, TheBuildTreeServesItsOwnPlayer) {
    const std::string built = testsupport::binary_dir() + "/share/dabserver/player";
    if (!testsupport::file_exists(built + "/index.html")) GTEST_SKIP() << "player assets not built: " << built;
    player_server p(nullptr);
    ASSERT_TRUE(p.srv->ready()) << p.srv->log();
    const answer a = p.get("/player/");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, read_file(testsupport::source_dir() + "/www/player/index.html"));
    EXPECT_EQ(p.get("/player/player.js").body, read_file(testsupport::source_dir() + "/www/player/player.js"));
}
