// Scanning and tuning with the server executable on the virtual module playing both demo
// ensembles: the command-line scan, and the setup page's scan, tuning, fields and shutdown.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace testsupport;

namespace {

bool contains(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

// Every needle appears, each after the one before.
::testing::AssertionResult in_order(const std::string &hay, const std::vector<std::string> &needles) {
    size_t at = 0;
    for (const auto &n : needles) {
        size_t found = hay.find(n, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << n << "\" missing (or out of order) in:\n" << hay;
        at = found + n.size();
    }
    return ::testing::AssertionSuccess();
}

class setup_e2e : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string demo = source_dir() + "/demo/signal";
        if (!file_exists(demo + "/12c.eti") || !file_exists(demo + "/la.eti"))
            GTEST_SKIP() << "demo signal not generated (make demo-signal)";
        mkdir(dir.file("signal").c_str(), 0755);
        ASSERT_EQ(symlink((demo + "/12c.eti").c_str(), dir.file("signal/12c.eti").c_str()), 0);
        ASSERT_EQ(symlink((demo + "/la.eti").c_str(), dir.file("signal/la.eti").c_str()), 0);
        write_file(dir.file("passwd.ini"), "admin:Secret\n");
    }

    std::vector<std::string> args(const std::vector<std::string> &more) {
        std::vector<std::string> a = {dabserver_path(), "-c", dir.file("dab.ini"), "-d",
                                      "sim:" + dir.file("signal") + ",speed=5", "-e", dir.file("ensemble.ini"),
                                      "-f", dir.file("dab.log"), "-P", dir.file("passwd.ini"), "-l", "1", "1", "-m"};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }

    // Starts the server tuned to 12C and waits until the status page lists its services.
    void start() {
        port = free_port();
        server = std::make_unique<child>(args({"-p", std::to_string(port), "-t", "12c"}), dir.path());
        ASSERT_TRUE(wait_for_port(port, 20)) << server->out();
        ASSERT_TRUE(wait_for_page("/", "Demo Voice", 20)) << "12C never showed its services";
    }

    std::string get(const std::string &path, const std::string &extra = "", bool ipv6 = false, double timeout = 60) {
        return tcp_exchange(port, "GET " + path + " HTTP/1.0\r\n" + extra + "\r\n", timeout, ipv6);
    }
    bool wait_for_page(const std::string &path, const std::string &text, double seconds) {
        const auto t0 = std::chrono::steady_clock::now();
        do {
            if (contains(get(path), text)) return true;
            usleep(300000);
        } while (seconds_since(t0) < seconds);
        return false;
    }

    temp_dir dir;
    int port = 0;
    std::unique_ptr<child> server;
};

TEST_F(setup_e2e, command_line_scan_writes_both_ensembles_in_band_order) {
    // Module answers are shown (debug level) to see where the module is left.
    auto r = run(args({"-s", "-q", "-l", "0", "0"}), dir.path(), 60);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string ens = read_file(dir.file("ensemble.ini"));
    EXPECT_TRUE(in_order(ens, {"\n227360\tDAB DEMO ONE", "\n1452960\tDAB DEMO TWO"}));
    EXPECT_TRUE(in_order(r.out, {"finished scanning band 1: found 1 ensembles", "finished scanning band 2: found 1 ensembles"}))
        << r.out;
    // No frequency was configured: the module must not be sent a tune to "-1" (0x7FFFF x 16 kHz).
    EXPECT_FALSE(contains(r.out, "tune_freq:8388592")) << r.out.substr(r.out.rfind("finished scanning band 2"));
}

TEST_F(setup_e2e, scan_from_the_page_then_retune_to_the_other_ensemble) {
    start();

    const std::string page = get("/setup?scan=1");
    EXPECT_EQ(page.rfind("HTTP/1.0 200", 0), 0u) << page;
    EXPECT_TRUE(in_order(page, {"<h2>Scanning: 174928Khz-239200Khz</h2>",
                                "Found Channel 12c : <a href=\"setup?freq=227360\">DAB DEMO ONE",
                                "<br>Finished scanning, found 1 ensembles<br>",
                                "<h2>Scanning: 1452960Khz-1490624Khz</h2>",
                                "Found Channel la : <a href=\"setup?freq=1452960\">DAB DEMO TWO",
                                "<br>Finished scanning, found 1 ensembles<br>", "<h2>Setup ZIR-Ereruv:</h2>",
                                "<option value=\"227360\">DAB DEMO ONE", "<option value=\"1452960\">DAB DEMO TWO",
                                "</HTML>"}));
    EXPECT_TRUE(in_order(read_file(dir.file("ensemble.ini")), {"\n227360\tDAB DEMO ONE", "\n1452960\tDAB DEMO TWO"}));

    // After the scan the module is back on 12C; a listener of its first programme is running.
    ASSERT_TRUE(wait_for_page("/", "Demo Voice", 20));
    std::string streamed;
    double stream_seconds = 0;
    std::thread listener([&] {
        const auto t0 = std::chrono::steady_clock::now();
        streamed = get("/stream/1", "", false, 40);
        stream_seconds = seconds_since(t0);
    });
    usleep(1500000);

    const std::string tuned = get("/setup?freq=la");
    EXPECT_TRUE(contains(tuned, "<tr><td>Tuned to: </td><td><b>1452960Khz</b>")) << tuned;
    EXPECT_TRUE(contains(tuned, "<input name=\"freq\" value=\"la\" size=9>"));
    EXPECT_TRUE(wait_for_page("/", "Demo Noise", 20)) << "the status page never showed the other ensemble";
    const std::string status = get("/");
    EXPECT_TRUE(contains(status, "DAB DEMO TWO")) << status;
    EXPECT_FALSE(contains(status, "Demo Voice")) << status;

    listener.join();
    EXPECT_EQ(streamed.rfind("HTTP/1.0 200", 0), 0u) << streamed.substr(0, 200);
    EXPECT_LT(stream_seconds, 30) << "the stream of the old ensemble was not ended";

    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30), 0) << server->out();
}

TEST_F(setup_e2e, fields_configuration_file_access_and_shutdown) {
    start();

    // The bare page changes nothing; any form submission rewrites the configuration file.
    std::string page = get("/setup");
    EXPECT_TRUE(in_order(page, {"HTTP/1.0 200", "<h2>Setup ZIR-Ereruv:</h2>", "Tuned to: ",
                                "<input name=\"freq\" value=\"12c\" size=9>", "Shutdown Server:", "</table>",
                                "</HTML>"}))
        << page;
    EXPECT_FALSE(file_exists(dir.file("dab.ini")));
    get("/setup?");
    ASSERT_TRUE(file_exists(dir.file("dab.ini")));

    // Values are stored as given: a long one is cut, a markup character does not end the attribute.
    page = get("/setup?httpmaxconn=7&motparms=-d+out%22x&hostname=radio%3A8000&multicastif=eth1");
    std::string ini = read_file(dir.file("dab.ini"));
    EXPECT_EQ(ini_value(ini, "httpmaxconn"), "7");
    EXPECT_EQ(ini_value(ini, "multicastif"), "eth1");
    EXPECT_TRUE(contains(page, "<input name=\"multicastif\" value=\"eth1\" size=16>")) << page;
    EXPECT_EQ(ini_value(ini, "motparms"), "-d out\"x");
    EXPECT_EQ(ini_value(ini, "hostname"), "radio:8000");
    EXPECT_TRUE(contains(page, "<input name=\"motparms\" value=\"-d out&quot;x\" size=32>")) << page;
    const std::string body = "device=" + std::string(400, 'd') + "&hostname=" + std::string(2000, 'h');
    tcp_exchange(port, "GET /setup? HTTP/1.0\r\nContent-length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    ini = read_file(dir.file("dab.ini"));
    EXPECT_EQ(ini_value(ini, "device"), std::string(255, 'd'));
    EXPECT_EQ(ini_value(ini, "hostname"), std::string(1023, 'h'));
    // A form posted to the bare target carries its values in the body alone.
    const std::string posted = "httpmaxconn=9";
    tcp_exchange(port, "POST /setup HTTP/1.0\r\nContent-length: " + std::to_string(posted.size()) + "\r\n\r\n" + posted);
    EXPECT_EQ(ini_value(read_file(dir.file("dab.ini")), "httpmaxconn"), "9");
    get("/setup?hostname=localhost%3A8000");

    // Tuning comes before the audio selection, whatever the order in the request.
    page = get("/setup?audio=2&freq=12c");
    EXPECT_TRUE(contains(page, "<option value=\"2\" selected>Demo Sweep")) << page;
    EXPECT_TRUE(wait_for_page("/", "Demo Voice", 20));
    EXPECT_EQ(ini_value(read_file(dir.file("dab.ini")), "audiosubchid"), "2");

    // A remote client needs credentials, a local one does not.
    EXPECT_EQ(get("/setup", "", true).rfind("HTTP/1.0 401", 0), 0u);
    EXPECT_EQ(get("/setup", "Authorization: Basic YWRtaW46U2VjcmV0\r\n", true).rfind("HTTP/1.0 200", 0), 0u);
    EXPECT_EQ(get("/setup").rfind("HTTP/1.0 200", 0), 0u);

    // Only the value 1 stops the server, after the page has been sent completely.
    page = get("/setup?shutdown=2");
    EXPECT_TRUE(contains(page, "</HTML>"));
    usleep(2500000);
    EXPECT_TRUE(server->running());
    page = get("/setup?shutdown=1");
    EXPECT_TRUE(contains(page, "</HTML>")) << page;
    EXPECT_EQ(server->wait(30), 0) << server->out();
    EXPECT_TRUE(in_order(read_file(dir.file("dab.log")), {"httpd: tuning to 227360Khz", "Audiosubchid: 2"}));
}

}  // namespace
