// Stream titles and the JSON API of a real dabserver on the virtual module, with the MOT/PAD
// decoder on (its IP datagrams stay on loopback), read by real clients.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "support/e2e_support.h"
#include "tools/dablin_play.h"

using testsupport::contiguous_run;
using testsupport::demo_server;
using testsupport::demo_signal_dir;
using testsupport::have_program;
using testsupport::http_body;
using testsupport::stream_client;
using testsupport::subchannel_frames;
using testsupport::temp_dir;
using json = nlohmann::json;

namespace {

constexpr size_t METAINT = 16000;

// Titles asked for as players ask.
const testsupport::header_lines icy_on{"Icy-MetaData: 1\r\n"};

const std::set<std::string> tones_labels = {"Demo Tones: 440 Hz left, 660 Hz right",
                                            "Now playing: the reference tone of DAB DEMO ONE"};

// A stream with titles taken apart as a player does: the audio, and the title of each block
// with its escapes undone ("" for an empty block).
struct titled_stream {
    std::string audio, why;
    std::vector<std::string> titles;
    bool ok = true;

    explicit titled_stream(const std::string &d) {
        size_t pos = 0;
        while (pos < d.size()) {
            const size_t n = std::min(METAINT, d.size() - pos);
            audio.append(d, pos, n);
            pos += n;
            if (pos >= d.size()) break;
            const size_t len = static_cast<unsigned char>(d[pos]) * 16;
            if (pos + 1 + len > d.size()) break;
            const std::string b = d.substr(pos + 1, len);
            pos += 1 + len;
            if (len == 0) {
                titles.emplace_back();
                continue;
            }
            const size_t end = b.find("';");
            if (b.rfind("StreamTitle='", 0) != 0 || end == std::string::npos ||
                b.find_first_not_of('\0', end + 2) != std::string::npos) {
                ok = false;
                why = "bad block: " + b;
                return;
            }
            std::string t;
            for (size_t i = 13; i < end; i++) {
                if (b[i] == '\\' && i + 1 < end) i++;
                t += b[i];
            }
            titles.push_back(t);
        }
    }
    std::string first_title() const {
        for (const auto &t : titles)
            if (!t.empty()) return t;
        return "";
    }
};

// Whichever the decoder, its IP datagrams stay on loopback.
testsupport::demo_options without_decoder() {
    testsupport::demo_options o;
    o.ini = "multicastif lo\n";
    o.stop_timeout = 60;
    return o;
}

testsupport::demo_options with_decoder() {
    testsupport::demo_options o = without_decoder();
    o.decoder = true;
    return o;
}

json component(const json &doc, const std::string &sid, int subchannel) {
    if (!doc.is_object() || !doc.contains("services")) return json();
    for (const auto &s : doc.at("services"))
        if (s.value("id", "") == sid && s.contains("components"))
            for (const auto &c : s.at("components"))
                if (c.value("subchannel", -1) == subchannel) return c;
    return json();
}

// The document once the decoder shows what f waits for; a null document when it never does.
json wait_for_doc(demo_server &srv, double seconds, const std::function<bool(const json &)> &f) {
    json doc;
    const bool ok = testsupport::wait_until(
        seconds,
        [&] {
            doc = json::parse(http_body(srv.get("/api/ensemble.json")), nullptr, false);
            return !doc.is_discarded() && f(doc);
        },
        200);
    return ok ? doc : json();
}

// The service table is complete: the seven services of the demo ensemble.
bool every_service(const json &d) { return d.contains("services") && d.at("services").size() >= 7; }

// What Python's json module makes of the document: one line per service and component.
testsupport::run_result python_view(const std::string &file) {
    static const char script[] =
        "import json, sys\n"
        "d = json.load(open(sys.argv[1], encoding='utf-8'))\n"
        "e = d['ensemble']\n"
        "print('ensemble', e['id'], e['label'], e['channel'], e['frequency_khz'])\n"
        "for s in d['services']:\n"
        "    print('service', s['id'], s['label'], s['short_label'])\n"
        "    for c in s['components']:\n"
        "        print('component', c['subchannel'], c['type'], c['stream_url'])\n";
    return testsupport::run({"/usr/bin/python3", "-c", script, file}, "", 30);
}

}  // namespace

TEST(api_e2e, TitlesOfTheDemoEnsembleInTheStreamAndInFfmpeg) {
    NEED_DEMO_SIGNAL();
    demo_server srv("sim:" + demo_signal_dir() + ",speed=2", with_decoder());
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    ASSERT_TRUE(wait_for_doc(srv, 30, every_service).is_object()) << srv.get("/api/ensemble.json");

    stream_client titled(srv.port, "/stream/1.mp2", icy_on);
    stream_client plain(srv.port, "/stream/1.mp2");
    ASSERT_EQ(titled.head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << titled.head;
    EXPECT_NE(titled.head.find("\r\nicy-metaint: 16000\r\n"), std::string::npos) << titled.head;
    EXPECT_NE(titled.head.find("Content-type: audio/x-mpeg\r\n"), std::string::npos);
    EXPECT_EQ(plain.head.find("icy-metaint"), std::string::npos) << plain.head;

    // Within a minute a title, then a few blocks more.
    size_t titles_at = 0;
    ASSERT_TRUE(titled.read_until(60, [&] {
        plain.read_into(plain.data, 0);
        const titled_stream t(titled.data);
        if (!titles_at && !t.first_title().empty()) titles_at = t.titles.size();
        return titles_at && t.titles.size() >= titles_at + 4;
    })) << titled_stream(titled.data).titles.size() << " blocks";
    const titled_stream t(titled.data);
    ASSERT_TRUE(t.ok) << t.why;
    EXPECT_EQ(tones_labels.count(t.first_title()), 1u) << t.first_title();
    // A block repeats nothing: a title only when it differs from the one before.
    std::string last;
    for (size_t i = 0; i < t.titles.size(); i++)
        if (!t.titles[i].empty()) {
            EXPECT_NE(t.titles[i], last) << "block " << i;
            EXPECT_EQ(tones_labels.count(t.titles[i]), 1u) << t.titles[i];
            last = t.titles[i];
        }

    // The audio between the blocks is the broadcast, as the client without titles gets it.
    const auto frames = subchannel_frames(demo_signal_dir() + "/12c.eti", 1);
    std::string why;
    EXPECT_TRUE(contiguous_run(frames, t.audio, &why)) << "with titles: " << why;
    ASSERT_TRUE(plain.read_until(10, [&] { return plain.data.size() >= t.audio.size(); }));
    EXPECT_TRUE(contiguous_run(frames, plain.data, &why)) << "without: " << why;

    if (!have_program("/usr/bin/ffprobe")) {
        std::cout << "ffprobe not installed: ffmpeg's reading of the titles not checked\n";
        return;
    }
    // ffmpeg's HTTP client asks for titles itself and shows them as stream metadata.
    const auto ff = testsupport::run({"/usr/bin/ffprobe", "-v", "verbose", "-icy", "1", "-read_intervals", "%+4",
                                      "-show_entries", "format_tags=StreamTitle", "-of", "default=nw=1",
                                      srv.url("/stream/1.mp2")},
                                     "", 40);
    EXPECT_EQ(ff.status, 0) << ff.err;
    bool shown = false;
    for (const auto &l : tones_labels)
        shown = shown || ff.err.find("Metadata update for StreamTitle: " + l + "\n") != std::string::npos ||
                ff.out.find("StreamTitle=" + l + "\n") != std::string::npos;
    EXPECT_TRUE(shown) << ff.out << ff.err;
}

TEST(api_e2e, EnsembleJsonOfTheDemoEnsemble) {
    NEED_DEMO_SIGNAL();
    demo_server srv("sim:" + demo_signal_dir() + ",speed=2", with_decoder());
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    const json doc = wait_for_doc(srv, 60, [](const json &d) {
        json c = component(d, "D101", 1);
        json w = component(d, "E0D10001", 5);
        return c.is_object() && !c["dynamic_label"].is_null() && !c["slide"].is_null() && w.is_object() &&
               !w["website"].is_null();
    });
    ASSERT_TRUE(doc.is_object()) << "no label, slide and web site within a minute: " << srv.get("/api/ensemble.json");

    const std::string raw = srv.get("/api/ensemble.json");
    EXPECT_EQ(raw.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_NE(raw.find("\r\nContent-type: application/json\r\n"), std::string::npos) << raw.substr(0, 300);
    EXPECT_NE(raw.find("\r\nContent-Length: " + std::to_string(http_body(raw).size()) + "\r\n"), std::string::npos);

    if (have_program("/usr/bin/python3")) {
        temp_dir d;
        testsupport::write_file(d.file("e.json"), http_body(raw));
        const auto py = python_view(d.file("e.json"));
        ASSERT_EQ(py.status, 0) << py.err;
        const std::string base = "http://" + srv.host;
        for (const std::string &line :
             {std::string("ensemble C1D1 DAB DEMO ONE 12C 227360\n"), std::string("service D101 Demo Tones Tones\n"),
              std::string("service D102 Demo Sweep Sweep\n"), std::string("service D103 Demo Voice Voice\n"),
              std::string("service E0D10001 Demo Website Website\n"),
              std::string("service E0D10002 Demo Files Files\n"), std::string("service E0D10003 Demo IP IP\n"),
              "component 1 audio " + base + "/stream/1.mp2\n", "component 5 packet data " + base + "/stream/5\n"})
            EXPECT_NE(py.out.find(line), std::string::npos) << line << "in\n" << py.out;
    } else {
        std::cout << "python3 not installed: the document is checked with the C++ parser only\n";
    }

    const json &e = doc["ensemble"];
    EXPECT_EQ(e["short_label"], "DEMO ONE");
    EXPECT_TRUE(e["signal"]["sync"].get<bool>());
    ASSERT_TRUE(e["date_time"].is_string());
    // The generator's clock runs from 2024-06-01 12:00:00 UTC, an hour ahead locally.
    EXPECT_EQ(e["date_time"].get<std::string>().rfind("2024-06-01T13:00:", 0), 0u) << e["date_time"];
    EXPECT_EQ(e["date_time"].get<std::string>().substr(19), "+01:00");
    ASSERT_EQ(doc["services"].size(), 7u);

    // Every audio programme plays from its URL.
    for (int sub : {1, 2, 3}) {
        json c = component(doc, sub == 1 ? "D101" : sub == 2 ? "D102" : "D103", sub);
        ASSERT_TRUE(c.is_object()) << sub;
        EXPECT_EQ(c["type"], "audio");
        EXPECT_EQ(c["bitrate"], sub == 3 ? 96 : 128);
        EXPECT_EQ(c["playlist_url"], "http://" + srv.host + "/playlist/" + std::to_string(sub) + ".m3u");
        const std::string path = srv.local_path(c["stream_url"]);
        ASSERT_FALSE(path.empty()) << c["stream_url"];
        stream_client s(srv.port, path);
        ASSERT_EQ(s.head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << path;
        EXPECT_NE(s.head.find("Content-type: audio/x-mpeg\r\n"), std::string::npos) << path;
        ASSERT_TRUE(s.read_until(10, [&] { return s.data.size() >= 2; })) << path;
        EXPECT_EQ(static_cast<unsigned char>(s.data[0]), 0xFFu) << path << ": no MPEG frame";
        EXPECT_EQ(static_cast<unsigned char>(s.data[1]) & 0xF0, 0xF0u) << path;
        EXPECT_TRUE(c["website"].is_null());
    }

    // The label as broadcast, and the picture the generator sent.
    json tones = component(doc, "D101", 1);
    EXPECT_EQ(tones_labels.count(tones["dynamic_label"]["text"].get<std::string>()), 1u) << tones["dynamic_label"];
    EXPECT_TRUE(tones["dynamic_label"]["time"].is_string());
    const std::string slide = srv.local_path(tones["slide"]["url"]);
    ASSERT_EQ(slide.rfind("/data/c1d1/d101/content/", 0), 0u) << tones["slide"];
    const std::string picture = http_body(srv.get(slide));
    bool same = false;
    for (const char *p : {"testcard.jpg", "colourbars.jpg", "mandelbrot.jpg"})
        same = same || picture == testsupport::read_file(testsupport::source_dir() + "/demo/pictures/" + p);
    EXPECT_TRUE(same) << slide << ": " << picture.size() << " bytes, none of the generator's pictures";
    EXPECT_TRUE(component(doc, "D103", 3)["slide"].is_null()) << "Demo Voice has no slideshow";

    json site = component(doc, "E0D10001", 5);
    EXPECT_EQ(site["type"], "packet data");
    EXPECT_EQ(site["website"], "http://" + srv.host + "/data/c1d1/e0d10001/0001/index.html");
    EXPECT_EQ(http_body(srv.get(srv.local_path(site["website"]))),
              testsupport::read_file(testsupport::source_dir() + "/demo/website/index.html"));
    EXPECT_TRUE(component(doc, "E0D10002", 5)["website"].is_null()) << "a carousel is no web site";

    // "api" is no directory of the document root; other names there are not found.
    for (const char *p : {"/api/other.json", "/api/", "/api"})
        EXPECT_EQ(srv.get(p).rfind("HTTP/1.0 404", 0), 0u) << p;
}

TEST(api_e2e, WithoutTheDecoderTheSameWithoutLabelsAndSlides) {
    NEED_DEMO_SIGNAL();
    demo_server srv("sim:" + demo_signal_dir() + ",speed=2", without_decoder());
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    const json doc = wait_for_doc(srv, 30, every_service);
    ASSERT_TRUE(doc.is_object()) << srv.get("/api/ensemble.json");
    // Give a decoder time it would need: still nothing.
    sleep(8);
    json later = json::parse(http_body(srv.get("/api/ensemble.json")), nullptr, false);
    ASSERT_FALSE(later.is_discarded());
    EXPECT_EQ(later["ensemble"]["label"], "DAB DEMO ONE");
    ASSERT_EQ(later["services"].size(), 7u);
    for (auto &s : later["services"])
        for (auto &c : s["components"]) {
            EXPECT_TRUE(c["stream_url"].is_string()) << s["id"];
            if (c["type"] == "audio") {
                EXPECT_TRUE(c.contains("dynamic_label") && c["dynamic_label"].is_null()) << s["id"];
                EXPECT_TRUE(c.contains("slide") && c["slide"].is_null()) << s["id"];
            } else {
                EXPECT_TRUE(c.contains("website") && c["website"].is_null()) << s["id"];
            }
        }
    // Streams asked for titles carry empty blocks: there is no label to send.
    stream_client titled(srv.port, "/stream/2.mp2", icy_on);
    EXPECT_NE(titled.head.find("\r\nicy-metaint: 16000\r\n"), std::string::npos) << titled.head;
    ASSERT_TRUE(titled.read_until(20, [&] { return titled_stream(titled.data).titles.size() >= 3; }));
    const titled_stream t(titled.data);
    ASSERT_TRUE(t.ok) << t.why;
    for (const auto &x : t.titles) EXPECT_EQ(x, "");
}

// Labels with characters beyond ASCII and with quotes: UTF-8 in both, escaped in the titles.
TEST(api_e2e, LabelsBeyondAsciiAndWithQuotes) {
    const std::string dabgen = testsupport::binary_dir() + "/tools/dabgen";
    if (!testsupport::file_exists(dabgen)) GTEST_SKIP() << "dabgen not built";
    temp_dir sig;
    const std::string dls = "Caf\xC3\xA9 'Gr\xC3\xB6\xC3\x9F" "e'; na\xC3\xAFve \\ \"end\"";
    // A quoted value of the description takes a backslash before a quote or a backslash.
    std::string quoted;
    for (char c : dls) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    testsupport::write_file(sig.file("u.ensemble"),
                            "[ensemble]\nlabel \"\xC3\x84RGER EINS\" \"\xC3\x84RGER\"\neid 0xC4D4\nchannel 12C\n"
                            "duration 6\nseed 4\n"
                            "[audio]\nsid 0xD401\nlabel \"Caf\xC3\xA9 Gr\xC3\xBC\xC3\x9F" "e\" \"Caf\xC3\xA9\"\n"
                            "subchannel 1\nbitrate 64\nprotection uep 3\nsource tone 440 440\n"
                            "dls \"" + quoted + "\"\ndls_interval 2\n");
    auto gen = testsupport::run({dabgen, "-q", "-o", sig.file("12c.eti"), sig.file("u.ensemble")}, sig.path());
    ASSERT_EQ(gen.status, 0) << gen.err;
    demo_server srv("sim:" + sig.path() + ",speed=2", with_decoder());
    ASSERT_TRUE(srv.ready()) << srv.proc->out();

    const json doc = wait_for_doc(srv, 60, [](const json &d) {
        json c = component(d, "D401", 1);
        return c.is_object() && !c["dynamic_label"].is_null();
    });
    ASSERT_TRUE(doc.is_object()) << srv.get("/api/ensemble.json");
    EXPECT_EQ(doc["ensemble"]["label"], "\xC3\x84RGER EINS");
    EXPECT_EQ(doc["ensemble"]["short_label"], "\xC3\x84RGER");
    EXPECT_EQ(doc["services"][0]["label"], "Caf\xC3\xA9 Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(component(doc, "D401", 1)["dynamic_label"]["text"], dls);
    const std::string raw = http_body(srv.get("/api/ensemble.json"));
    EXPECT_NE(raw.find("\\\"end\\\""), std::string::npos) << "quotes escaped in JSON";
    if (have_program("/usr/bin/python3")) {
        temp_dir d;
        testsupport::write_file(d.file("u.json"), raw);
        const auto py = python_view(d.file("u.json"));
        ASSERT_EQ(py.status, 0) << py.err;
        EXPECT_NE(py.out.find("service D401 Caf\xC3\xA9 Gr\xC3\xBC\xC3\x9F" "e Caf\xC3\xA9\n"), std::string::npos)
            << py.out;
    }

    stream_client titled(srv.port, "/stream/1.mp2", icy_on);
    ASSERT_TRUE(titled.read_until(30, [&] { return !titled_stream(titled.data).first_title().empty(); }));
    const titled_stream t(titled.data);
    ASSERT_TRUE(t.ok) << t.why;
    EXPECT_EQ(t.first_title(), dls);
    // Raw, the quotes are escaped, and the title's own "';" does not end the block.
    EXPECT_NE(titled.data.find("StreamTitle='Caf\xC3\xA9 \\'Gr\xC3\xB6\xC3\x9F" "e\\'\\; na\xC3\xAFve \\\\ \"end\"';"),
              std::string::npos);
}

// A DAB+ programme as players and browsers see it: named LOAS in the playlist and the API,
// served as audio/mp4a-latm, decoded by ffmpeg to the generator's tones, with its label and
// slide, and its superframes counted on the statistics page.
TEST(api_e2e, DabPlusProgrammeOfTheDemoEnsemble) {
    NEED_DEMO_SIGNAL();
    demo_server srv("sim:" + demo_signal_dir() + ",speed=2", with_decoder());
    ASSERT_TRUE(srv.ready()) << srv.proc->out();
    const json doc = wait_for_doc(srv, 60, [](const json &d) {
        json c = component(d, "D104", 4);
        return c.is_object() && !c["dynamic_label"].is_null() && !c["slide"].is_null() && !c["sample_rate"].is_null();
    });
    ASSERT_TRUE(doc.is_object()) << "no label, slide and format within a minute: " << srv.get("/api/ensemble.json");

    const json plus = component(doc, "D104", 4);
    EXPECT_EQ(plus["type"], "audio");
    EXPECT_EQ(plus["codec"], "aac");
    EXPECT_EQ(plus["sample_rate"], 48000);
    EXPECT_EQ(plus["channels"], 2);
    EXPECT_EQ(plus["sbr"], false);
    EXPECT_EQ(plus["ps"], false);
    // AAC-LC (2), 48 kHz (index 3), two channels, 960-sample frames: 00010 0011 0010 100
    EXPECT_EQ(plus["asc"], "1194");
    EXPECT_EQ(plus["stream_url"], "http://" + srv.host + "/stream/4.loas");
    EXPECT_EQ(component(doc, "D101", 1)["codec"], "mp2");
    EXPECT_EQ(http_body(srv.get("/playlist/4.m3u")), "http://" + srv.host + "/stream/4.loas\n");
    const std::string all = http_body(srv.get("/playlist.m3u"));
    EXPECT_NE(all.find("/stream/1.mp2\n"), std::string::npos) << all;
    EXPECT_NE(all.find("/stream/4.loas\n"), std::string::npos) << all;

    const std::set<std::string> labels = {"Demo Plus: DAB+ at 48 kHz, 1000 Hz left, 1500 Hz right",
                                          "Now playing: the DAB+ programme of DAB DEMO ONE"};
    EXPECT_EQ(labels.count(plus["dynamic_label"]["text"].get<std::string>()), 1u) << plus["dynamic_label"];
    const std::string slide = srv.local_path(plus["slide"]["url"]);
    ASSERT_EQ(slide.rfind("/data/c1d1/d104/content/", 0), 0u) << plus["slide"];
    const std::string picture = http_body(srv.get(slide));
    bool same = false;
    for (const char *p : {"testcard.jpg", "colourbars.jpg"})
        same = same || picture == testsupport::read_file(testsupport::source_dir() + "/demo/pictures/" + p);
    EXPECT_TRUE(same) << slide << ": " << picture.size() << " bytes, none of the generator's pictures";

    // The bare number plays too, and titles come as for Layer II.
    for (const char *path : {"/stream/4.loas", "/stream/4"}) {
        stream_client s(srv.port, path, icy_on);
        ASSERT_EQ(s.head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << path;
        EXPECT_NE(s.head.find("Content-type: audio/mp4a-latm\r\n"), std::string::npos) << s.head;
        EXPECT_NE(s.head.find("icy-name:Demo Plus"), std::string::npos) << s.head;
        ASSERT_TRUE(s.read_until(10, [&] { return s.data.size() >= 2; })) << path;
        EXPECT_EQ(static_cast<unsigned char>(s.data[0]), 0x56u) << path << ": no LOAS frame first";
        EXPECT_EQ(static_cast<unsigned char>(s.data[1]) & 0xE0, 0xE0u) << path;
    }

    const std::string status = http_body(srv.get("/"));
    EXPECT_NE(status.find("[PAD]</a>&nbsp;DAB+</li>"), std::string::npos) << "the status line marks DAB+";
    const std::string stat = http_body(srv.get("/stat"));
    EXPECT_NE(stat.find("<H3>DAB+ subchannels</H3>"), std::string::npos);
    EXPECT_NE(stat.find("<tr><td>04</td>"), std::string::npos) << stat;

    if (!have_program("/usr/bin/ffmpeg")) {
        std::cout << "ffmpeg not installed: the stream is not decoded\n";
        return;
    }
    const auto ff = testsupport::run({"/usr/bin/ffmpeg", "-v", "error", "-t", "4", "-i", srv.url("/stream/4.loas"),
                                      "-f", "f32le", "-"},
                                     "", 60);
    EXPECT_EQ(ff.status, 0) << ff.err;
    EXPECT_EQ(ff.err, "") << "ffmpeg complained";
    const dablin_play::plus_play pcm = dablin_play::from_f32(ff.out, 48000, 2);
    EXPECT_NEAR(dablin_play::dominant_hz(pcm, 0), 1000, 2.0);
    EXPECT_NEAR(dablin_play::dominant_hz(pcm, 1), 1500, 2.0);
}
