// The built server's start-up, run modes, configuration options and shutdown.

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "support/test_support.h"

using namespace testsupport;

namespace {

bool contains(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

}  // namespace

TEST(startup, HelpPrintsUsageAndExitsBeforeTouchingTheDevice) {
    temp_dir d;
    for (const char *opt : {"-h", "-?", "-A", "-C", "-x"}) {
        auto r = run({dabserver_path(), "-d", "/nonexistent", opt}, d.path());
        EXPECT_EQ(r.status, 0) << opt;
        EXPECT_TRUE(contains(r.out, "Usage: " + dabserver_path() + " [options] -M [mot-options] [<device>]\n"))
            << opt << r.out;
        EXPECT_TRUE(contains(r.out, "-w                  Write default configuration file dab.ini\n\n")) << opt;
        EXPECT_FALSE(contains(r.out + r.err, "open_driver")) << opt;
    }
}

TEST(startup, QuitAfterSetupInEmulation) {
    temp_dir d;
    auto r = run({dabserver_path(), "-E", "-q", "/dev/whatever"}, d.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("DAV orodovedavu rivado V 2.26F", 0), 0u) << r.out;
    EXPECT_TRUE(contains(r.out, "<I> DAB module version: 4.31\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "<I> DAB server stopped\n"));
    EXPECT_FALSE(contains(r.out, "server is running"));
    EXPECT_TRUE(contains(r.out, "goodbye\n"));
    EXPECT_TRUE(contains(r.out, "dab.ini: file not found"));
}

TEST(startup, UnopenableDeviceExits255) {
    temp_dir d;
    auto r = run({dabserver_path(), "-d", "/nonexistent"}, d.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(r.out, "open_driver: can't open /nonexistent")) << r.out;
    EXPECT_FALSE(contains(r.out, "goodbye"));
}

TEST(startup, WriteOptionSavesWhatWasSetSoFar) {
    temp_dir d;
    auto r = run({dabserver_path(), "-E", "-q", "-p", "9123", "-H", "radio:9123", "-l", "0", "3", "-a", "7", "-w",
                  "-p", "9999"},
                 d.path());
    ASSERT_EQ(r.status, 0) << r.out;
    std::string ini = read_file(d.file("dab.ini"));
    EXPECT_EQ(ini_value(ini, "httpport"), "9123");  // the later -p is not in the file
    EXPECT_EQ(ini_value(ini, "hostname"), "radio:9123");
    EXPECT_EQ(ini_value(ini, "logfilelevel"), "0");
    EXPECT_EQ(ini_value(ini, "logscrnlevel"), "3");  // -l consumed the next word
    EXPECT_EQ(ini_value(ini, "audiosubchid"), "7");
    EXPECT_EQ(ini_value(ini, "device"), "/dev/usb/ombrel0");

    // Reading it back at the next start gives the same values.
    auto again = run({dabserver_path(), "-E", "-q", "-l", "2", "0", "-w"}, d.path());
    ASSERT_EQ(again.status, 0);
    std::string ini2 = read_file(d.file("dab.ini"));
    EXPECT_EQ(ini_value(ini2, "httpport"), "9123");
    EXPECT_EQ(ini_value(ini2, "hostname"), "radio:9123");
    EXPECT_EQ(ini_value(ini2, "audiosubchid"), "7");
}

TEST(startup, ConfigFileOptionOverridesEarlierAndYieldsToLaterOptions) {
    temp_dir d;
    write_file(d.file("second.ini"), "httpport 7000\nhttpmaxconn 4\n");
    auto r = run({dabserver_path(), "-E", "-q", "-p", "9000", "-c", "second.ini", "-w"}, d.path());
    ASSERT_EQ(r.status, 0);
    std::string ini = read_file(d.file("second.ini"));
    EXPECT_EQ(ini_value(ini, "httpport"), "7000");
    EXPECT_EQ(ini_value(ini, "httpmaxconn"), "4");

    r = run({dabserver_path(), "-E", "-q", "-c", "second.ini", "-p", "9000", "-w"}, d.path());
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(ini_value(read_file(d.file("second.ini")), "httpport"), "9000");
    EXPECT_FALSE(file_exists(d.file("dab.ini")));
}

TEST(startup, MotQuestionMarkPrintsDecoderUsage) {
    temp_dir d;
    auto r = run({dabserver_path(), "-d", "/nonexistent", "-M", "?"}, d.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(contains(r.out, "open_driver"));
    EXPECT_FALSE(contains(r.out, "Usage: "));
}

TEST(startup, MotOptionsEndOptionParsing) {
    temp_dir d;
    // Everything after -M belongs to the MOT decoder: the later -d and operand are not the device.
    auto r = run({dabserver_path(), "-E", "-q", "-M", "-d", "/nonexistent", "/dev/nonexistent", "-w"}, d.path());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(file_exists(d.file("dab.ini")));
}

TEST(startup, RunsUntilInterruptedThenStopsCleanly) {
    temp_dir d;
    int port = free_port();
    child c({dabserver_path(), "-E", "-p", std::to_string(port), "-f", "server.log"}, d.path());
    ASSERT_TRUE(c.wait_for_output("server is running, press CTRL-C to abort", 20)) << c.out() << c.err();
    c.signal(SIGINT);
    int status = c.wait(30);
    EXPECT_EQ(status, 0) << c.out() << c.err();
    EXPECT_TRUE(contains(c.out(), "DAB server stopped"));
    EXPECT_TRUE(contains(c.out(), "goodbye"));
    // Sanitizer reports go to standard error.
    EXPECT_FALSE(contains(c.err(), "ERROR: AddressSanitizer")) << c.err();
    EXPECT_FALSE(contains(c.err(), "runtime error")) << c.err();
    EXPECT_FALSE(contains(c.err(), "LeakSanitizer")) << c.err();
}

TEST(startup, LogFileReceivesEntriesAtItsLevel) {
    temp_dir d;
    child c({dabserver_path(), "-E", "-m", "-p", std::to_string(free_port()), "-f", "x.log", "-l", "1", "99"},
            d.path());
    ASSERT_TRUE(c.wait_for_output("server is running", 20));
    c.signal(SIGINT);
    ASSERT_EQ(c.wait(30), 0);
    std::string log = read_file(d.file("x.log"));
    EXPECT_TRUE(contains(log, "<info> DAV orodovedavu rivado V 2.26F")) << log;
    EXPECT_TRUE(contains(log, "<info> DAB server stopped")) << log;
    // Screen threshold 99 from the command line on (the missing dab.ini is reported before).
    EXPECT_FALSE(contains(c.out(), "<I> DAB module version"));
}
