// The MOT/PAD decoder of a real dabserver on the virtual module: its threads follow the
// broadcast's configuration, read internally or from another server over HTTP, and end cleanly.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/multicast_net.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

bool contains(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

size_t count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

struct server {
    int port = free_port();
    std::unique_ptr<child> proc;

    server(const temp_dir &dir, const std::string &name, const std::vector<std::string> &device,
           const std::vector<std::string> &mot) {
        std::vector<std::string> a = {dabserver_path(), "-c", dir.file(name + ".ini"), "-f", dir.file(name + ".log"),
                                      "-p", std::to_string(port), "-R", dir.file("root"), "-l", "99", "0"};
        a.insert(a.end(), device.begin(), device.end());
        a.insert(a.end(), mot.begin(), mot.end());
        proc = std::make_unique<child>(a, dir.path());
    }
    bool wait(const std::string &text, double s = 40) { return proc->wait_for_output(text, s); }
    std::string log() const { return proc->out(); }
    // Ctrl-C: every thread joined, exit 0, no sanitizer report.
    void stop() {
        proc->signal(SIGINT);
        EXPECT_EQ(proc->wait(60), 0) << proc->err();
        EXPECT_TRUE(contains(log(), "***************** MOT loop dead *******************")) << log();
        for (const char *bad : {"AddressSanitizer", "LeakSanitizer", "runtime error"})
            EXPECT_FALSE(contains(proc->err(), bad)) << proc->err();
    }
};

// The demo ensemble carries IP over DAB: every server here sends multicast, so all of them run
// in a network of the test's own.
class mot_e2e : public ::testing::Test {
protected:
    static void SetUpTestSuite() { net_ = private_multicast_net(why_); }
    void SetUp() override {
        if (!net_) GTEST_SKIP() << "no private network for multicast: " << why_;
        const std::string demo = source_dir() + "/demo/signal";
        if (!file_exists(demo + "/12c.eti") || !file_exists(demo + "/la.eti"))
            GTEST_SKIP() << "demo signal not generated (make demo-signal)";
        mkdir(dir.file("root").c_str(), 0755);
        sim = {"-d", "sim:" + demo, "-t", "12c"};
    }
    temp_dir dir;
    std::vector<std::string> sim;
    static bool net_;
    static std::string why_;
};
bool mot_e2e::net_ = false;
std::string mot_e2e::why_;

bool wait_for_output_count(server &s, const std::string &text, size_t n, double seconds) {
    const double end = now_s() + seconds;
    while (now_s() < end) {
        if (count(s.log(), text) >= n) return true;
        usleep(200000);
    }
    return count(s.log(), text) >= n;
}

const char *const threads_12c[] = {
    "Packet decoder thread for subchannel 5 started",
    "Packet decoder thread for subchannel 6 started",
    "XPAD/MOT decoder thread for subchannel 1 started, path ",
    "XPAD/MOT decoder thread for subchannel 2 started, path ",
    "XPAD/MOT decoder thread for subchannel 3 started, path ",
    "XPAD/MOT decoder thread for subchannel 4 started, path ",  // DAB+
};

}  // namespace

TEST_F(mot_e2e, ThreadsFollowTheEnsembleInternallyAndOverHttp) {
    server a(dir, "a", sim, {"-M", "-d", dir.file("a-data")});
    ASSERT_TRUE(a.wait("Start decoder threads")) << a.log();
    for (const char *t : threads_12c) ASSERT_TRUE(a.wait(t, 10)) << t << "\n" << a.log();
    EXPECT_TRUE(contains(a.log(), "path " + dir.file("a-data") + "/c1d1/d101/")) << a.log();

    // A second server without a receiver decodes the first one's streams over HTTP.
    server b(dir, "b", {"-E"}, {"-M", "-d", dir.file("b-data"), "127.0.0.1:" + std::to_string(a.port)});
    ASSERT_TRUE(b.wait("Start decoder threads")) << b.log();
    for (const char *t : threads_12c) ASSERT_TRUE(b.wait(t, 10)) << t << "\n" << b.log();
    EXPECT_TRUE(contains(b.log(), "Contacting 127.0.0.1:" + std::to_string(a.port) + " (127.0.0.1) for FIG 0/0..."));

    // Polls every 10 s; nothing changes, so nothing restarts.
    ASSERT_TRUE(wait_for_output_count(a, "Get configuration data", 3, 30)) << a.log();
    EXPECT_EQ(count(a.log(), "decoder thread for subchannel"), 6u);
    EXPECT_FALSE(contains(a.log(), "RESTART")) << a.log();
    EXPECT_FALSE(contains(a.log(), "Sending shutdown")) << a.log();

    // Tuning to the other ensemble: the old threads stop, the new ensemble's start.
    const std::string tuned = tcp_exchange(a.port, "GET /setup?freq=la HTTP/1.0\r\n\r\n", 30);
    EXPECT_EQ(tuned.rfind("HTTP/1.0 200", 0), 0u) << tuned;
    ASSERT_TRUE(a.wait("XPAD/MOT decoder thread for subchannel 2 started, path " + dir.file("a-data") + "/c2d2/d202/",
                       90))
        << a.log();
    for (const char *t : {"#5: Stopping decoder for packet stream", "#6: Stopping decoder for packet stream",
                          "Stopping PAD/MOT-decoder for stream 3", "Stopping PAD/MOT-decoder for stream 4"})
        EXPECT_TRUE(contains(a.log(), t)) << t;
    ASSERT_TRUE(b.wait("XPAD/MOT decoder thread for subchannel 1 started, path " + dir.file("b-data") + "/c2d2/d201/",
                       90))
        << b.log();

    b.stop();
    a.stop();
}

TEST_F(mot_e2e, OptionsDisableDecodersOrShowTheUsage) {
    server off(dir, "off", sim, {"-M", "-m", "-p"});
    server help(dir, "help", sim, {"-M", "-?"});
    ASSERT_TRUE(off.wait("Start decoder threads")) << off.log();
    ASSERT_TRUE(off.wait("PAD decoder disabled", 10)) << off.log();
    EXPECT_TRUE(contains(off.log(), "Packet data channels disabled"));
    EXPECT_FALSE(contains(off.log(), "decoder thread for subchannel")) << off.log();

    // The usage goes to standard error; the server itself keeps running without the decoder.
    ASSERT_TRUE(wait_for_port(help.port, 20));
    usleep(2500000);
    const std::string usage = help.proc->err();
    for (const char *line : {"Usage: dab [dab-options] -M [mot-options] [<URL>]\n\nMOT-Options:\n\n",
                             "-x <sid/addr/dscty> Select explicit decoder for packet streams\n",
                             "Internal Decoders:\n\tDummy stream (packet)\n\tDynamic Label (XPAD)\n"
                             "\tMOT (+MOT-directory) (XPAD/packet)\n\tIP-over-DAB (packet)\n"})
        EXPECT_TRUE(contains(usage, line)) << line << "\n" << usage;
    EXPECT_EQ(tcp_exchange(help.port, "GET / HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 200", 0), 0u);
    EXPECT_FALSE(contains(help.log(), "MOT-Library")) << "the decoder does not start";

    help.proc->signal(SIGINT);
    EXPECT_EQ(help.proc->wait(60), 0) << help.proc->err();
    off.stop();
}

TEST_F(mot_e2e, IpDatagramsOfTheBroadcastArriveAsSentOnTheConfiguredInterface) {
    multicast_receiver rx("239.1.2.3", 5000);
    ASSERT_TRUE(rx.ok());
    write_file(dir.file("ip.ini"), "multicastif lo\n");
    server s(dir, "ip", sim, {"-M", "-d", dir.file("data")});
    // The generator sends one a second, its three payloads in turn, with TTL 4.
    const std::vector<std::string> cycle = {"DAB DEMO ONE datagram", "DAB DEMO ONE datagram 2",
                                            "DAB DEMO ONE datagram 3"};
    std::vector<std::string> got;
    std::string payload;
    int ttl = 0;
    while (got.size() < 6 && rx.receive(payload, ttl, 30)) {
        got.push_back(payload);
        EXPECT_EQ(ttl, 4);
    }
    ASSERT_EQ(got.size(), 6u) << s.log();
    size_t at = std::find(cycle.begin(), cycle.end(), got[0]) - cycle.begin();
    ASSERT_LT(at, cycle.size()) << got[0];
    for (size_t i = 0; i < got.size(); i++) EXPECT_EQ(got[i], cycle[(at + i) % 3]) << i;
    EXPECT_TRUE(contains(s.log(), "#6: IP-datagram length 49")) << s.log();
    for (const char *bad : {"wrong CRC", "Missing packet", "UDL>PLEN", "CRC error", "runs into the CRC",
                            "no network interface"})
        EXPECT_FALSE(contains(s.log(), bad)) << bad << "\n" << s.log();
    EXPECT_EQ(count(s.log(), "Syncing to packet stream"), 2u) << "each packet thread in step from its first marker";
    s.stop();
}

namespace {

const char *const site[] = {"index.html", "news/today.html", "img/map.jpg", "about.html"};
const char *const carousel[] = {"readme.txt", "schedule.txt", "photo.jpg"};

std::string service_dir(const temp_dir &dir, const char *sid_scid) {
    return dir.file("root/data/c1d1/") + sid_scid + "/";
}

// Every file below dir whose name ends in suffix.
std::vector<std::string> files_ending(const std::string &dir, const std::string &suffix) {
    auto r = run({"find", dir, "-name", "*" + suffix});
    std::vector<std::string> out;
    size_t p = 0;
    for (size_t n; (n = r.out.find('\n', p)) != std::string::npos; p = n + 1) out.push_back(r.out.substr(p, n - p));
    return out;
}

bool wait_for_files(const std::string &dir, const std::vector<std::string> &names, double seconds) {
    const double end = now_s() + seconds;
    for (;;) {
        bool all = true;
        for (const auto &n : names) all = all && file_exists(dir + n);
        if (all || now_s() > end) return all;
        usleep(500000);
    }
}

std::string body_of(const std::string &answer) {
    const size_t p = answer.find("\r\n\r\n");
    return p == std::string::npos ? "" : answer.substr(p + 4);
}

}  // namespace

namespace {

// The dynamic labels of each audio programme of an ensemble description, by service id.
std::map<std::string, std::vector<std::string>> labels_of(const std::string &desc) {
    std::map<std::string, std::vector<std::string>> out;
    std::string sid;
    for (size_t p = 0, e; p < desc.size(); p = e + 1) {
        e = desc.find('\n', p);
        if (e == std::string::npos) e = desc.size();
        const std::string line = desc.substr(p, e - p);
        if (line.rfind("sid", 0) == 0) sid = line.substr(line.find("0x") + 2);
        const size_t q = line.find('"');
        if (line.rfind("dls ", 0) == 0) out[sid].push_back(line.substr(q + 1, line.rfind('"') - q - 1));
    }
    return out;
}

std::string lower(std::string s) {
    for (auto &c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

// The newest label on a PAD page: after the first label entry's time.
std::string newest_label(const std::string &page) {
    const size_t p = page.find("\n: ", page.find("<P> "));
    return p == std::string::npos ? "" : page.substr(p + 3, page.find('\n', p + 3) - p - 3);
}

std::string wait_for_file_with(const std::string &path, const std::string &text, double seconds) {
    const double end = now_s() + seconds;
    std::string got;
    while (now_s() < end) {
        got = file_exists(path) ? read_file(path) : "";
        if (contains(got, text)) break;
        usleep(500000);
    }
    return got;
}

// Opens the frameset as a user would, clicks the first programme's PAD link in the menu and
// reports whether its slideshow picture has loaded.
const char check_page[] = R"(<!DOCTYPE html><html><body>
<iframe id="f" src="/data/c1d1/index.html" width="1200" height="700"></iframe><pre id="r">pending</pre>
<script>
const r = document.getElementById('r');
let clicked = false;
function check(n) {
  const top = document.getElementById('f').contentWindow;
  const menu = top.frames['index'], pad = top.frames['padout'];
  if (menu && pad && menu.document.readyState === 'complete') {
    const img = pad.document.querySelector('img');
    if (img && img.complete && img.naturalWidth > 0) {
      r.textContent = 'slide ' + img.naturalWidth + 'x' + img.naturalHeight + ' links ' + menu.document.links.length;
      return;
    }
    const link = Array.from(menu.document.links).find(a => a.getAttribute('href') === 'd101/index.html');
    if (link && !clicked) { link.click(); clicked = true; }
  }
  if (n > 0) setTimeout(() => check(n - 1), 250); else r.textContent = 'timeout';
}
window.onload = () => check(120);
</script></body></html>
)";

}  // namespace

TEST_F(mot_e2e, WebSiteAndCarouselLandOnDiskAsBroadcastAndAreServed) {
    server s(dir, "mot", sim, {"-M", "-d", dir.file("root/data")});
    const std::string web = service_dir(dir, "e0d10001/0001/"), files = service_dir(dir, "e0d10002/0002/");
    ASSERT_TRUE(wait_for_files(web, {std::begin(site), std::end(site)}, 120)) << s.log();
    ASSERT_TRUE(wait_for_files(files, {std::begin(carousel), std::end(carousel)}, 60)) << s.log();
    const std::string demo = source_dir() + "/demo/";
    for (const char *f : site) EXPECT_EQ(read_file(web + f), read_file(demo + "website/" + f)) << f;
    for (const char *f : carousel) EXPECT_EQ(read_file(files + f), read_file(demo + "files/" + f)) << f;
    EXPECT_TRUE(contains(s.log(), "\"about.html\", len 3365")) << "the gzip object is counted decompressed";
    EXPECT_TRUE(contains(s.log(), "MOT-DIR has 4 entries and is complete")) << s.log();

    // Browsable through the server: the index and everything it links to.
    const std::string base = "/data/c1d1/e0d10001/0001/";
    const std::string index = tcp_exchange(s.port, "GET " + base + "index.html HTTP/1.0\r\n\r\n");
    ASSERT_EQ(index.rfind("HTTP/1.0 200", 0), 0u) << index;
    int links = 0;
    for (const char *attr : {"href=\"", "src=\""})
        for (size_t p = index.find(attr); p != std::string::npos; p = index.find(attr, p + 1)) {
            const size_t from = p + strlen(attr), to = index.find('"', from);
            const std::string link = index.substr(from, to - from);
            const std::string answer = tcp_exchange(s.port, "GET " + base + link + " HTTP/1.0\r\n\r\n");
            EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << link;
            EXPECT_EQ(body_of(answer), read_file(demo + "website/" + link)) << link;
            links++;
        }
    EXPECT_EQ(links, 3);
    // (A loaded machine may lose packets to a ring overrun: objects are then forgotten and come
    // again with the next round, so that is no failure here.)
    for (const char *bad : {"CRC error", "Can't create file", "Invalid file name"})
        EXPECT_FALSE(contains(s.log(), bad)) << bad;
    s.stop();
    // Objects still arriving at the stop are given up with their temporary files.
    EXPECT_TRUE(files_ending(dir.file("root/data"), ".tmp").empty());
}

TEST_F(mot_e2e, CorruptSegmentsNeverReachAFinalFile) {
    // The demo's two MOT services alone, every fifth data group with a broken CRC.
    std::string desc = read_file(source_dir() + "/demo/12c.ensemble");
    desc = desc.substr(0, desc.find("[audio]")) + desc.substr(desc.find("[packet]"));
    desc = desc.substr(0, desc.find("[packet]\nsid        0xE0D10003"));
    write_file(dir.file("faults.ensemble"), desc + "[faults]\ndg_crc 5\n");
    for (const char *d : {"website", "files"}) ASSERT_EQ(run({"cp", "-r", source_dir() + "/demo/" + d, dir.path()}).status, 0);
    mkdir(dir.file("signal").c_str(), 0755);
    auto gen = run({binary_dir() + "/tools/dabgen", "-q", "-d", "40", "-o", dir.file("signal/12c.eti"),
                    dir.file("faults.ensemble")});
    ASSERT_EQ(gen.status, 0) << gen.err;

    server s(dir, "faults", {"-d", "sim:" + dir.file("signal"), "-t", "12c"}, {"-M", "-d", dir.file("root/data")});
    ASSERT_TRUE(wait_for_output_count(s, "in MOT segment", 5, 90)) << s.log();
    // Whatever has its final name is what was sent.
    const std::string web = service_dir(dir, "e0d10001/0001/"), files = service_dir(dir, "e0d10002/0002/");
    const std::string demo = source_dir() + "/demo/";
    int complete = 0;
    const double end = now_s() + 30;
    while (now_s() < end) {
        auto check = [&](const std::string &got, const std::string &sent) {
            if (!file_exists(got)) return;
            complete++;
            EXPECT_EQ(read_file(got), read_file(sent)) << got;
        };
        for (const char *f : site) check(web + f, demo + "website/" + f);
        for (const char *f : carousel) check(files + f, demo + "files/" + f);
        usleep(700000);
    }
    EXPECT_GT(complete, 0) << "the carousel repeats: objects complete in a round without losses";
    const std::string stat = wait_for_file_with(dir.file("root/data/c1d1/statistics.html"), "MOT crc errors", 40);
    EXPECT_TRUE(std::regex_search(stat, std::regex("MOT crc errors: </TD><TD> [1-9]"))) << stat;
    s.stop();
    EXPECT_TRUE(files_ending(dir.file("root/data"), ".tmp").empty());
}

TEST_F(mot_e2e, PadPagesMenuAndStatisticsShowTheBroadcast) {
    server s(dir, "pad", sim, {"-M", "-d", dir.file("root/data")});
    const std::string ens = dir.file("root/data/c1d1/"), demo = source_dir() + "/demo/";
    const auto labels = labels_of(read_file(demo + "12c.ensemble"));
    ASSERT_EQ(labels.size(), 4u);  // the DAB+ programme among them

    // Each programme's page: its newest label, as the generator sent it.
    for (const auto &[sid, sent] : labels) {
        const std::string page = wait_for_file_with(ens + lower(sid) + "/index.html", "\n: ", 60);
        const std::string got = newest_label(page);
        EXPECT_NE(std::find(sent.begin(), sent.end(), got), sent.end()) << sid << ": " << page;
        EXPECT_FALSE(contains(page, "No PAD data")) << sid;
    }
    // The slideshow picture on the page, served byte for byte as broadcast.
    const std::string page = wait_for_file_with(ens + "d101/index.html", "<IMG SRC=\"content/", 90);
    std::smatch m;
    const std::regex img("<IMG SRC=\"content/([^\"]+)\" ALT=\"content/([^\" ]+) \\(");
    ASSERT_TRUE(std::regex_search(page, m, img)) << page;
    const std::string answer = tcp_exchange(s.port, "GET /data/c1d1/d101/content/" + m[1].str() + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << m[1];
    EXPECT_EQ(body_of(answer), read_file(demo + "pictures/" + m[2].str())) << m[2];
    EXPECT_EQ(read_file(ens + "d101/content/" + m[2].str()), read_file(demo + "pictures/" + m[2].str()));

    // The menu: both MOT services and every PAD page.
    const std::string menu = wait_for_file_with(ens + "menu.html", "e0d10002/0002/", 60);
    for (const char *entry : {"<A HREF=\"e0d10001/0001/index.html\" TARGET=\"motout\"> Broadcast Website Demo Website",
                              "<A HREF=\"e0d10002/0002/", "<A HREF=\"d101/index.html\" TARGET=\"padout\"> Demo Tones",
                              "<A HREF=\"d102/index.html\" TARGET=\"padout\"> Demo Sweep",
                              "<A HREF=\"d103/index.html\" TARGET=\"padout\"> Demo Voice"})
        EXPECT_TRUE(contains(menu, entry)) << entry << "\n" << menu;

    // Statistics of a clean signal: labels and objects, no CRC error anywhere.
    const std::string stat = wait_for_file_with(ens + "statistics.html", "Subchannel 3 (PAD/MOT)", 60);
    const std::regex crc("crc errors: </TD><TD> (\\d+)");
    int rows = 0;
    for (auto i = std::sregex_iterator(stat.begin(), stat.end(), crc); i != std::sregex_iterator(); ++i, rows++)
        EXPECT_EQ((*i)[1].str(), "0") << stat;
    EXPECT_GE(rows, 3 * 2 + 2) << "dynamic label and MOT rows of three programmes, packet rows";
    EXPECT_TRUE(std::regex_search(stat, std::regex("dynamic labels \\(unique\\): </TD><TD> [1-9]"))) << stat;
    EXPECT_TRUE(contains(stat, "<TR><TD>Type:</TD><TD> 3c (MOT) </TD></TR>")) << stat;

    // A browser: the frameset, the menu and a PAD page whose picture has loaded.
    const char *chromium = "/usr/bin/chromium";
    if (file_exists(chromium)) {
        write_file(dir.file("root/check.html"), check_page);
        const std::string url = "http://127.0.0.1:" + std::to_string(s.port) + "/check.html";
        const std::string artefacts = binary_dir() + "/artefacts";
        mkdir(artefacts.c_str(), 0755);
        const std::vector<std::string> modes = {"--dump-dom", "--screenshot=" + artefacts + "/mot_frameset.png"};
        for (const std::string &mode : modes) {
            temp_dir profile;
            auto r = run({chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                          "--disable-background-networking", "--disable-component-update", "--disable-sync",
                          "--user-data-dir=" + profile.path(), "--enable-logging=stderr", "--v=0",
                          "--window-size=1280,800", "--virtual-time-budget=30000", mode, url},
                         profile.path(), 120);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_FALSE(contains(r.err, "CONSOLE(")) << r.err;
            if (mode == "--dump-dom") {
                EXPECT_TRUE(std::regex_search(r.out, std::regex("slide \\d+x\\d+ links [5-9]"))) << r.out;
            }
        }
    } else {
        std::cerr << "no /usr/bin/chromium: the browser check is skipped\n";
    }
    s.stop();
}
