// Configuration and ensemble files: parsing rules, writing, round trips.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "module/dabapi.h"
#include "support/log_capture.h"
#include "support/test_support.h"

using testsupport::read_file;
using testsupport::temp_dir;
using testsupport::write_file;

namespace {

struct config_fixture : ::testing::Test {
    temp_dir dir;
    testsupport::log_capture captured;
    ensemble ens;
    config *cfg = ens.cfg;

    void SetUp() override {
        captured.attach(ens.l);
        copy_field(cfg->configfile, dir.file("dab.ini").c_str());
        copy_field(cfg->ensemblefile, dir.file("ensemble.ini").c_str());
    }
    int count_logged(loglevel_t level) const { return captured.count_level(level); }
    bool was_logged(const std::string &text) const { return captured.has(text); }
};

}  // namespace

TEST_F(config_fixture, DefaultsWithoutAnyFile) {
    EXPECT_EQ(cfg->read_configfile(), 0);
    EXPECT_TRUE(was_logged(dir.file("dab.ini") + ": file not found\n"));
    EXPECT_EQ(captured.size(), 1u);
    EXPECT_STREQ(cfg->device, "/dev/usb/ombrel0");
    EXPECT_EQ(cfg->httpport, 8000);
    EXPECT_EQ(cfg->httpmaxconn, -1);
    EXPECT_EQ(cfg->rdiconfig, 4);
    EXPECT_EQ(cfg->logfilelevel, 2);
    EXPECT_EQ(cfg->logscrnlevel, 1);
    EXPECT_EQ(cfg->audiosubchid, -1);
    EXPECT_EQ(cfg->tunefreq, -1);
    EXPECT_STREQ(cfg->hostname, "localhost:8000");
    EXPECT_STREQ(cfg->motparms, "-d ./htdocs/data");
}

TEST_F(config_fixture, ValuesCommentsAndQuoting) {
    write_file(cfg->configfile,
               "; a comment line\n"
               "# another\n"
               "httpport 9000 ; trailing comment\r\n"
               "httpdroot /srv/dab root\n"
               "passwdfile \"/etc/my dab/passwd.ini\" and more\n"
               "hostname  host\n"          // value equal to a prefix of the key
               "device\n"                  // key without value: skipped silently
               "bogus 17\n"                // unknown key: warned with its line number
               "tunefreq 5a\n"
               "audiosubchid twelve\n"     // not a number: atoi gives 0
               "logscrnlevel 99\n");
    ASSERT_EQ(cfg->read_configfile(), 1);
    EXPECT_EQ(cfg->httpport, 9000);
    EXPECT_STREQ(cfg->httpdroot, "/srv/dab root");
    EXPECT_STREQ(cfg->passwdfile, "/etc/my dab/passwd.ini");
    EXPECT_STREQ(cfg->hostname, "host");
    EXPECT_STREQ(cfg->device, "/dev/usb/ombrel0");
    EXPECT_EQ(cfg->tunefreq, 174928);
    EXPECT_EQ(cfg->audiosubchid, 0);
    EXPECT_EQ(cfg->logscrnlevel, 99);
    EXPECT_EQ(count_logged(LOG_WARN), 1);
    EXPECT_TRUE(was_logged(std::string(cfg->configfile) + ": invalid syntax in line 8:bogus 17\n"));
    EXPECT_TRUE(was_logged("httpport: 9000\n"));
    EXPECT_TRUE(was_logged("tune: 174928Khz\n"));
}

TEST_F(config_fixture, TunefreqTakesTableIndexesNamesAndKilohertz) {
    const struct {
        const char *in;
        int khz;
    } cases[] = {{"5a", 174928}, {"13F", 239200}, {"LA", 1452960}, {"10", 1452960 + 10 * 1712}, {"227360", 227360}};
    for (const auto &c : cases) {
        write_file(cfg->configfile, std::string("tunefreq ") + c.in + "\n");
        cfg->read_configfile();
        EXPECT_EQ(cfg->tunefreq, c.khz) << c.in;
    }
}

TEST_F(config_fixture, OverlongValuesAreCutToTheirFields) {
    std::string longpath(5000, 'p');
    write_file(cfg->configfile, "device " + longpath + "\nhostname " + longpath + "\nhttpport 1234\n");
    cfg->read_configfile();
    EXPECT_EQ(std::string(cfg->device), std::string(255, 'p'));
    EXPECT_EQ(std::string(cfg->hostname), std::string(1023, 'p'));
    // The rest of the overlong line must not be read as a line of its own.
    EXPECT_EQ(cfg->httpport, 1234);
    EXPECT_EQ(count_logged(LOG_WARN), 0);
}

TEST_F(config_fixture, WriteThenReadGivesTheSameValues) {
    cfg->httpport = 8123;
    cfg->httpmaxconn = 3;
    cfg->rdiconfig = 2;
    cfg->logfilelevel = 0;
    cfg->logscrnlevel = 4;
    cfg->audiosubchid = 5;
    cfg->tunefreq = 227360;
    copy_field(cfg->device, "sim:/tmp/x,speed=4");
    copy_field(cfg->hostname, "radio.example:8123");
    copy_field(cfg->httpdroot, "/srv/www root");
    copy_field(cfg->motparms, "-d ./out -x 3");
    copy_field(cfg->passwdfile, "pw.ini");
    copy_field(cfg->logfilename, "x.log");
    copy_field(cfg->multicastif, "eth1");
    ASSERT_EQ(cfg->write_configfile(), 1);
    std::string text = read_file(cfg->configfile);
    EXPECT_EQ(text.rfind("; OMBREL configuration file. automatically created ", 0), 0u);
    EXPECT_NE(text.find("; set tcpip port for http server\nhttpport 8123\n\n"), std::string::npos);
    EXPECT_NE(text.find("; tune to frequency in Khz, channel 5a-13f, la-lw, 0-63\ntunefreq 227360\n\n"),
              std::string::npos);
    EXPECT_LT(text.find("device"), text.find("rdiconfig"));
    EXPECT_LT(text.find("httpdroot"), text.find("motparms"));

    ensemble other;
    captured.attach(other.l);
    copy_field(other.cfg->configfile, cfg->configfile);
    ASSERT_EQ(other.cfg->read_configfile(), 1);
    config *o = other.cfg;
    EXPECT_EQ(o->httpport, 8123);
    EXPECT_EQ(o->httpmaxconn, 3);
    EXPECT_EQ(o->rdiconfig, 2);
    EXPECT_EQ(o->logfilelevel, 0);
    EXPECT_EQ(o->logscrnlevel, 4);
    EXPECT_EQ(o->audiosubchid, 5);
    EXPECT_EQ(o->tunefreq, 227360);
    EXPECT_STREQ(o->device, "sim:/tmp/x,speed=4");
    EXPECT_STREQ(o->hostname, "radio.example:8123");
    EXPECT_STREQ(o->httpdroot, "/srv/www root");
    EXPECT_STREQ(o->motparms, "-d ./out -x 3");
    EXPECT_STREQ(o->passwdfile, "pw.ini");
    EXPECT_STREQ(o->logfilename, "x.log");
    EXPECT_STREQ(o->multicastif, "eth1");
    EXPECT_EQ(count_logged(LOG_WARN), 0);
}

TEST_F(config_fixture, LineEndsInsideValuesCannotAddKeysToTheWrittenFile) {
    copy_field(cfg->device, "/dev/usb/ombrel0");
    copy_field(cfg->hostname, "radio:8000\r\ndevice /dev/sda");
    copy_field(cfg->motparms, "-d out\npasswdfile /tmp/open.ini");
    ASSERT_EQ(cfg->write_configfile(), 1);

    ensemble other;
    captured.attach(other.l);
    copy_field(other.cfg->configfile, cfg->configfile);
    ASSERT_EQ(other.cfg->read_configfile(), 1);
    EXPECT_STREQ(other.cfg->device, "/dev/usb/ombrel0");
    EXPECT_STREQ(other.cfg->passwdfile, "passwd.ini");
    EXPECT_STREQ(other.cfg->hostname, "radio:8000");
    EXPECT_STREQ(other.cfg->motparms, "-d out");
}

TEST_F(config_fixture, WriteToUncreatableFileFails) {
    cfg->set_configfile("/nonexistent-dir/dab.ini");
    EXPECT_EQ(cfg->write_configfile(), 0);
    EXPECT_TRUE(was_logged("/nonexistent-dir/dab.ini: file not found\n"));
}

TEST_F(config_fixture, MotParametersSplitIntoAtMost29Words) {
    std::string words;
    for (int i = 0; i < 35; i++) words += "w" + std::to_string(i) + " ";
    copy_field(cfg->motparms, words.c_str());
    cfg->split_motparms();
    EXPECT_EQ(cfg->motargc, 30);
    EXPECT_STREQ(cfg->motargv[0], "");
    EXPECT_STREQ(cfg->motargv[1], "w0");
    EXPECT_STREQ(cfg->motargv[29], "w28");

    copy_field(cfg->motparms, "-d ./htdocs/data");
    cfg->split_motparms();
    EXPECT_EQ(cfg->motargc, 3);
    EXPECT_STREQ(cfg->motargv[2], "./htdocs/data");
}

TEST_F(config_fixture, EnsembleFileBandChecksAndLabels) {
    write_file(cfg->ensemblefile,
               "; OMBREL ensemble file\n\n"
               "227360\tDAB DEMO ONE\n"
               "1452960\tDAB DEMO TWO\r\n"
               "100000\tOut of band\n"
               "239201\tJust above 13F\n"
               "174928 no tab here\n"
               "174928\tA label much longer than sixteen\n"
               "1490624\tLW edge\n"
               "#1490624\tcommented\n");
    ASSERT_EQ(cfg->read_ensemblefile(), 1);
    ASSERT_EQ(cfg->ensemblecnt, 4);
    EXPECT_EQ(cfg->ens[0].freq, 227360);
    EXPECT_STREQ(cfg->ens[0].label, "DAB DEMO ONE");
    EXPECT_STREQ(cfg->ens[1].label, "DAB DEMO TWO");
    EXPECT_EQ(cfg->ens[2].freq, 174928);
    EXPECT_STREQ(cfg->ens[2].label, "A label much lon");
    EXPECT_EQ(cfg->ens[3].freq, 1490624);
}

TEST_F(config_fixture, EnsembleFileStopsAt64Entries) {
    std::string text;
    for (int i = 0; i < 70; i++) text += "227360\tE" + std::to_string(i) + "\n";
    write_file(cfg->ensemblefile, text);
    ASSERT_EQ(cfg->read_ensemblefile(), 1);
    EXPECT_EQ(cfg->ensemblecnt, 64);
    EXPECT_TRUE(was_logged("too many ensembles found (64)....\n"));
}

TEST_F(config_fixture, EnsembleFileRoundTrip) {
    cfg->ensemblecnt = 2;
    cfg->ens[0] = ensemble_entry_t{"DAB DEMO ONE", 227360, "DEMO1", 0x1001};
    cfg->ens[1] = ensemble_entry_t{"DAB DEMO TWO", 1452960, "DEMO2", 0x1002};
    ASSERT_EQ(cfg->write_ensemblefile(), 1);
    std::string text = read_file(cfg->ensemblefile);
    EXPECT_NE(text.find("227360\tDAB DEMO ONE\n1452960\tDAB DEMO TWO\n"), std::string::npos);
    cfg->ensemblecnt = 0;
    ASSERT_EQ(cfg->read_ensemblefile(), 1);
    ASSERT_EQ(cfg->ensemblecnt, 2);
    EXPECT_STREQ(cfg->ens[1].label, "DAB DEMO TWO");
    EXPECT_EQ(cfg->ens[1].freq, 1452960);
}

TEST_F(config_fixture, MissingEnsembleFileEmptiesTheList) {
    cfg->ensemblecnt = 3;
    EXPECT_EQ(cfg->read_ensemblefile(), 0);
    EXPECT_EQ(cfg->ensemblecnt, 0);
}

// A control character in a value (a line end decoded from a form, an escape, DEL) is refused
// and the key keeps its value; the clean keys around it are read.
TEST_F(config_fixture, ControlCharactersInValuesAreRefused) {
    write_file(cfg->configfile,
               "hostname radio\x1b[2J:8000\n"
               "device /dev/x\x7f\n"
               "httpport 81\t\n"
               "motparms -d\x01out\n"
               "httpdroot /srv/dab\n");
    ASSERT_EQ(cfg->read_configfile(), 1);
    EXPECT_STREQ(cfg->hostname, "localhost:8000");
    EXPECT_STREQ(cfg->device, "/dev/usb/ombrel0");
    EXPECT_EQ(cfg->httpport, 8000);
    EXPECT_STREQ(cfg->motparms, "-d ./htdocs/data");
    EXPECT_STREQ(cfg->httpdroot, "/srv/dab");
    for (const char *key : {"hostname", "device", "httpport", "motparms"})
        EXPECT_TRUE(was_logged(dir.file("dab.ini") + ": value of " + key + " refused: control character\n")) << key;
    EXPECT_EQ(count_logged(LOG_WARN), 4);
}

namespace {

ensemble_entry_t scanned(int i) {
    ensemble_entry_t en{};
    snprintf(en.label, sizeof en.label, "SCAN %d", i);
    en.freq = 174928 + i * 1000;  // all 64 inside Band III
    en.eid = 0x1000 + i;
    return en;
}

// The ensemble file lines of entries 0 to n-1 of scanned().
std::string scanned_lines(int n) {
    std::string t;
    for (int i = 0; i < n; i++) t += std::to_string(scanned(i).freq) + "\tSCAN " + std::to_string(i) + "\n";
    return t;
}

// The entry lines of a written ensemble file, without its comment and blank lines.
std::string entry_lines(const std::string &file) {
    std::string out;
    size_t at = 0;
    while (at < file.size()) {
        size_t end = file.find('\n', at);
        if (end == std::string::npos) end = file.size();
        const std::string line = file.substr(at, end - at);
        if (!line.empty() && line[0] != ';') out += line + "\n";
        at = end + 1;
    }
    return out;
}

}  // namespace

TEST_F(config_fixture, EveryWriteStaysInsideTheList) {
    for (int i = 0; i < MAX_ENSEMBLES + 6; i++)
        EXPECT_EQ(cfg->add_ensemble(scanned(i)), i < MAX_ENSEMBLES ? i : -1) << i;
    EXPECT_EQ(cfg->ensemble_count(), MAX_ENSEMBLES);
    ensemble_entry_t few[3];
    EXPECT_EQ(cfg->copy_ensembles(few, 3), 3);
    // A count gone wrong is not followed past either end.
    for (int bad : {MAX_ENSEMBLES + 100, -3}) {
        cfg->ensemblecnt = bad;
        EXPECT_EQ(cfg->add_ensemble(scanned(0)), -1) << bad;
        ASSERT_EQ(cfg->write_ensemblefile(), 1);
        EXPECT_EQ(entry_lines(read_file(cfg->ensemblefile)), bad > 0 ? scanned_lines(MAX_ENSEMBLES) : "") << bad;
    }
}

// A scan adding entries while pages re-read the file, copy the list and rewrite the
// configuration: every copy is a beginning of what the scan found, and both files come out whole.
TEST_F(config_fixture, ScanPagesAndFileWritesInThreads) {
    write_file(cfg->ensemblefile, "227360\tOLD ONE\n1452960\tOLD TWO\n");
    const std::string host_a(900, 'a'), host_b(900, 'b');
    std::atomic<bool> scanning{true};
    std::atomic<int> bad_copies{0}, copies{0};

    cfg->begin_scan();
    std::thread scan([&] {
        for (int i = 0; i < MAX_ENSEMBLES; i++) {
            cfg->add_ensemble(scanned(i));
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        cfg->end_scan();
        scanning = false;
    });
    std::vector<std::thread> pages;
    for (int t = 0; t < 2; t++)
        pages.emplace_back([&, t] {
            ensemble_entry_t list[MAX_ENSEMBLES];
            while (scanning) {
                cfg->read_ensemblefile();
                const int n = cfg->copy_ensembles(list, MAX_ENSEMBLES);
                for (int i = 0; i < n; i++)
                    if (list[i].freq != scanned(i).freq || strcmp(list[i].label, scanned(i).label) != 0) {
                        bad_copies++;
                        break;
                    }
                copies++;
                {
                    mutex_guard guard(&cfg->lck);
                    copy_field(cfg->hostname, (t ? host_b : host_a).c_str());
                }
                cfg->write_configfile();
            }
        });
    scan.join();
    for (auto &p : pages) p.join();

    EXPECT_GT(copies.load(), 0);
    EXPECT_EQ(bad_copies.load(), 0);
    ASSERT_EQ(cfg->ensemble_count(), MAX_ENSEMBLES);
    EXPECT_EQ(entry_lines(read_file(cfg->ensemblefile)), scanned_lines(MAX_ENSEMBLES));
    const std::string ini = read_file(cfg->configfile);
    const std::string host = testsupport::ini_value(ini, "hostname");
    EXPECT_TRUE(host == host_a || host == host_b) << host.substr(0, 40);
    EXPECT_EQ(ini.find("\nhostname "), ini.rfind("\nhostname ")) << "one key written twice";
}

// Every key read from the file logs the value it stored, in its own words.
TEST_F(config_fixture, EachKeyLogsTheValueItStored) {
    const struct {
        const char *line, *logged;
    } cases[] = {
        {"device /dev/dab1", "device: /dev/dab1\n"},
        {"rdiconfig 2", "set_rdiconfig(2)\n"},
        {"logfilename x.log", "set_logfilename(x.log)\n"},
        {"logfilelevel 3", "logfilelevel: 3\n"},
        {"logscrnlevel 0", "logscrnlevel: 0\n"},
        {"audiosubchid 7", "audiosubchid: 7\n"},
        {"tunefreq 12c", "tune: 227360Khz\n"},
        {"ensemblefile e.ini", "ensemblefile: e.ini\n"},
        {"passwdfile p.ini", "passwdfile: p.ini\n"},
        {"httpport 8123", "httpport: 8123\n"},
        {"httpmaxconn 5", "httpmaxconn: 5\n"},
        {"httpmaxclients 99", "httpmaxclients: 99\n"},
        {"hostname radio:8123", "hostname: radio:8123\n"},
        {"httpdroot /srv/dab", "httpdroot: /srv/dab\n"},
        {"motparms -d out", "motparms: -d out\n"},
        {"multicastif eth1", "multicastif: eth1\n"},
    };
    std::string text;
    for (const auto &c : cases) text += std::string(c.line) + "\n";
    write_file(cfg->configfile, text);
    ASSERT_EQ(cfg->read_configfile(), 1);
    for (const auto &c : cases) EXPECT_TRUE(was_logged(c.logged)) << c.line;
    EXPECT_EQ(captured.size(), sizeof cases / sizeof cases[0]);
    EXPECT_EQ(cfg->tunefreq, 227360);
    EXPECT_EQ(cfg->httpmaxclients, 99);
}

// Start-up against the virtual module: the module is reached, then the configuration is
// reported, then the module's outputs are set, each answer read.
TEST_F(config_fixture, SetConfigBringsTheModuleUpInItsOrder) {
    copy_field(cfg->device, ("sim:" + dir.path()).c_str());
    copy_field(cfg->passwdfile, dir.file("passwd.ini").c_str());
    copy_field(cfg->motparms, "-d out");
    ASSERT_EQ(cfg->set_config(), 1);
    const std::vector<std::string> texts = captured.texts();
    const std::vector<std::string> order = {
        "DAB module version: 4.40\n",
        "Rdiconfig: 4\n",
        "Audiosubchid: -1\n",
        "MOT-Parameters: -d out\n",
        dir.file("passwd.ini") + ": no password file: the setup page is open to remote clients\n",
        "Accepted\n",  // the RDI configuration
        "Accepted\n",  // the status notifications
    };
    size_t at = 0;
    for (const auto &want : order) {
        while (at < texts.size() && texts[at] != want) at++;
        ASSERT_LT(at, texts.size()) << "missing or out of order: " << want;
        at++;
    }
    EXPECT_EQ(cfg->motargc, 3);
    EXPECT_STREQ(cfg->motargv[2], "out");
    EXPECT_GE(cfg->fd, 0);
    ens.api->close_driver();
}

TEST_F(config_fixture, SetConfigFailsOnADeviceThatDoesNotOpen) {
    copy_field(cfg->device, dir.file("no-such-device").c_str());
    EXPECT_EQ(cfg->set_config(), 0);
    EXPECT_TRUE(was_logged("open_driver: can't open " + dir.file("no-such-device") + "\n"));
    EXPECT_FALSE(captured.contains("DAB module version"));
    EXPECT_FALSE(captured.contains("Rdiconfig"));
    EXPECT_EQ(cfg->fd, -1);
}
