// Time limits of the HTTP server that take long to show.

#include <chrono>

#include "server_fixture.h"
#include "support/test_support.h"

TEST(http_server_slow, SilentClientGetsBadRequestAfter15Seconds) {
    testsupport::temp_dir dir;
    testsupport::write_file(dir.file("passwd.ini"), "admin:secret\n");
    httptest::server srv(dir.path(), dir.path(), dir.file("passwd.ini"));
    ASSERT_TRUE(srv.ready()) << srv.log();
    auto t0 = std::chrono::steady_clock::now();
    httptest::answer a = srv.get("", false, 30);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(a.status, 400) << a.raw;
    EXPECT_GE(secs, 14.5);
    EXPECT_LT(secs, 20);
    EXPECT_EQ(srv.stop(), 0);
}
