// The decoder's pages, written from hand-built decoder states.

#include "mot/html.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/plattform.h"
#include "datapath/datapath_env.h"
#include "mot/mot_dec.h"
#include "mot/xpad_dec.h"
#include "support/test_support.h"

namespace {

int count(const std::string &s, const std::string &part) {
    int n = 0;
    for (size_t p = s.find(part); p != std::string::npos; p = s.find(part, p + 1)) n++;
    return n;
}

packet_callbacks_t other_decoder = {"Other", "someone", 1, {60}, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

// Packet subchannel 3: a labelled MOT service, one without labels, no decoder on all addresses,
// another decoder taking DSCTy 60. Subchannel 6's thread has freed its state; audio 8 has X-PAD
// without MOT, audio 9 no PAD decoding, packet subchannel 11 no packet decoding.
class MotHtml : public ::testing::Test {
protected:
    void SetUp() override {
        memcpy(ens_label.name, "<script>\"AAAAAAAA", 17);  // no terminator in the field
        ens_label.char_flag = 0x42424242;
        mot.fig1_0 = &ens_label;
        const struct { int n, type, disabled, sid; const char *label; } channels[] = {
            {3, 0, 0, 0, ""}, {6, 0, 0, 0, ""}, {11, 0, 2, 0, ""}, {8, 1, 0, 0xd101, "Demo <Tones>"},
            {9, 1, 1, 0, "Muted"}};
        for (const auto &c : channels) {
            mot_subchannel_t &sc = mot.subchannels[c.n];
            sc.exist = 1, sc.type = c.type, sc.disabled = c.disabled, sc.sid = c.sid;
            copy_field(sc.label, c.label);
        }
        mot.ps[3] = p3;
        mot.subchannels[3].state = p3;
        labelled = component(0, 1, 60, 1, "Svc<1>");
        component(1, 2, 60, 2, "Extra<i>");
        component(2, 3, 7, -1, "", nullptr);
        component(3, 4, 60, 0x3ff, "Other", &other_decoder);
        p3->num_psc = 4;
        mot.ps[6] = init_packet(&mot, 6, "", "");
        packet_free(mot.ps[6]);  // left dangling: a read of it is a use after free
        mot.subchannels[8].state = &pad_without_mot;
        const int order[] = {3, 3, 6, 70, 11};  // one subchannel twice in a row
        for (int i = 0; i < 5; i++) info[i] = {order[i], 0, 0, 0, 0, "", i < 4 ? &info[i + 1] : nullptr};
    }
    void TearDown() override {
        mot.fig1_0 = nullptr;
        packet_free(p3);
    }
    mot_state_t *component(int i, int id, int dscty, int addr, const char *label,
                           packet_callbacks_t *decoder = &default_packet_mot_handler) {
        p_service_component_t &c = p3->psc[i];
        c.used = 1, c.sid = 0xe0d10000 + id, c.scid = id, c.dscty = dscty, c.addr = addr, c.handlers = decoder;
        copy_field(c.label, label);
        const std::string html = "e0d1000" + std::to_string(id) + "/000" + std::to_string(id) + "/";
        if (decoder == &default_packet_mot_handler) c.state = mot_init(&mot, 3, dir.file(html).c_str(), html.c_str());
        if (decoder == &other_decoder) c.state = other_state;
        return static_cast<mot_state_t *>(c.state);
    }
    std::string menu() {
        EXPECT_EQ(mot.make_html_start(epath.c_str(), info), 1);
        return testsupport::read_file(epath + "/menu.html");
    }

    dptest::datapath_env env;
    mot_dec_class mot{&env.ens};
    testsupport::temp_dir dir;
    std::string epath = dir.path() + "/data/c1d1";
    dablabel_t ens_label{};
    packet_state_t *p3 = init_packet(&mot, 3, dir.path().c_str(), "");
    mot_state_t *labelled = nullptr;
    char other_state[8] = {};  // far smaller than a MOT state
    xpad_state_t pad_without_mot{};
    packet_info_t info[5]{};
};

}  // namespace

TEST_F(MotHtml, FramesetAndMenu) {
    ASSERT_EQ(mot.make_html_frame((dir.path() + "/data").c_str(), 0xc1d1), 1);
    const std::string frame = testsupport::read_file(epath + "/index.html");
    for (const char *part :
         {"COLS=\"20%,40%,40%\"", "NAME=\"index\" SRC=\"menu.html\"", "NAME=\"padout\" SRC=\"empty.html\""})
        EXPECT_EQ(count(frame, part), 1) << part;
    EXPECT_TRUE(testsupport::file_exists(epath + "/empty.html"));

    const time_t when = time(nullptr) - 60;
    mot_store_label(labelled, "Broadcast Website", "e0d10001/0001/index.html", 0);
    mot_store_label(labelled, "<script>\"x", "e0d10001/0001/a\"b.html", 0);
    for (auto &l : labelled->labels) l.last_received = when;
    struct tm t;
    localtime_r(&when, &t);
    char hms[16];
    snprintf(hms, sizeof hms, " (%02i:%02i:%02i)", t.tm_hour, t.tm_min, t.tm_sec);
    std::string page = menu();
    for (const std::string &part :
         {std::string("ensemble '&lt;script&gt;&quot;AAAAAAAA'</H2>"),
          "<LI><A HREF=\"e0d10001/0001/index.html\" TARGET=\"motout\"> Broadcast Website Svc&lt;1&gt;" +
              std::string(hms),
          "<LI><A HREF=\"e0d10001/0001/a&quot;b.html\" TARGET=\"motout\"> &lt;script&gt;&quot;x" + std::string(hms),
          std::string(" <LI><A HREF=\"d101/index.html\" TARGET=\"padout\"> Demo &lt;Tones&gt; PAD </A><P>\n"),
          std::string("TARGET=\"statistics\""), std::string("<FONT SIZE=\"-1\"> MOT/PAD Decoder 2.26F")})
        EXPECT_EQ(count(page, part), 1) << part << "\n" << page;
    EXPECT_EQ(count(page, "TARGET=\"motout\"> Extra Service (Extra&lt;i&gt;) </A>"), 1);  // once, though listed twice
    EXPECT_EQ(count(page, "TARGET=\"motout\""), 3);
    EXPECT_EQ(count(page, "<script") + count(page, "Muted"), 0);
    EXPECT_EQ(env.count("###### Wrote index file at " + epath + "/menu.html\n", LOG_INFO), 1);

    mot.use_stat = 0;
    copy_field(mot.subtitle, "<P>Own line</BODY></HTML>\n");
    page = menu();
    EXPECT_EQ(count(page, "statistics") + count(page, "2.26F"), 0);
    EXPECT_EQ(count(page, " <HR><FONT SIZE=\"-1\"><P>Own line</BODY></HTML>\n"), 1);
    EXPECT_EQ(mot.make_statistic_page(epath.c_str()), 0);
    EXPECT_FALSE(testsupport::file_exists(epath + "/statistics.html"));
}

TEST_F(MotHtml, StatisticsPage) {
    motpad_statistics_t &s = mot.subchannels[3].stat;
    s.stats[MS_PACKETS] = 200, s.stats[MS_PACKET_UNKNOWN] = 50, s.stats[MS_PACKET_BYTES] = 2048;
    s.addr[0][0] = 1, s.addr[0][1] = 100, s.addr[2][0] = 1023, s.addr[2][1] = 50;
    uint64_t *m = labelled->stat.stats;
    m[MS_MOT_SEGMENTS] = 10, m[MS_MOT_BYTES] = 3000, m[MS_MOT_FILES] = 1, m[MS_MOT_FILES_FAILED] = 3;
    mot.last_restart_time = time(nullptr) + 1000;  // a clock set back: still no division by zero
    mot.subchannels[8].stat.stats[MS_PAD_BYTES] = 1536;
    mot.restarts = 2;
    menu();  // the statistics page relies on the menu's directory
    ASSERT_EQ(mot.make_statistic_page(epath.c_str()), 1);
    const std::string page = testsupport::read_file(epath + "/statistics.html");
    for (const char *part : {
             " up, restarts: 2.<P>Statistics since last restart (",
             "<TR><TD>packet unknown service: </TD><TD> 50 (25.00%)</TD></TR>\n"
             "<TR><TD>Most used packet addresses: </TD><TD> 1 (50.00%)<br>1023 (25.00%)<br></TD></TR>\n"
             "<TR><TD>packet bytes: </TD><TD>  (2.00k) (2048 bytes)</TD></TR>\n"
             "<TR><TD><b>Service e0d10001/0001 \"Svc&lt;1&gt;\"</b></TD></TR>\n"
             "<TR><TD>Packet Address:</TD><TD> 0001 </TD></TR>\n<TR><TD>Type:</TD><TD> 3c (MOT) </TD></TR>\n"
             "<TR><TD>Installed decoder:</TD><TD> MOT -- MOT objects and directories </TD></TR>\n"
             "<TR><TD>MOT segments: </TD><TD> 10<TD></TR>\n",
             "<TR><TD>MOT files not OK: </TD><TD> 3 (75.00%)<TD></TR>\n"
             "<TR><TD>MOT files with repeated transport ID: </TD><TD> 0 (0.00%)<TD></TR>\n"
             "<TR><TD>MOT invalid file names: </TD><TD> 0 <TD></TR>\n"
             "<TR><TD>MOT bytes: </TD><TD>  (2.93k) (3000 bytes) <TD></TR>\n"
             "<TR><TD>MOT effective data rate: </TD><TD> 3000 Bytes/s<TD></TR>\n",
             "<TR><TD>MOT files OK (unique): </TD><TD> 0 (0.00%)<TD></TR>\n",  // the service without files
             "<TR><TD>Packet Address:</TD><TD> All </TD></TR>\n<TR><TD>Type:</TD><TD> 07 (Everything) </TD></TR>\n"
             "<TR><TD>Installed decoder:</TD><TD> none -- none </TD></TR>\n",
             "<TR><TD>Installed decoder:</TD><TD> Other -- someone </TD></TR>\n</TABLE><P>\n",
             "<HR><a name=\"T8\"><P>Subchannel 8 (PAD/MOT) \"Demo &lt;Tones&gt;\":<P>\n<TABLE COLS=2 NOSAVE>\n"
             "<TR><TD>PAD bytes: </TD><TD>  (1.50k) (1536 bytes)</TD></TR>\n",
             "XPAD/MOT decoder disabled in command line for subchannel 9<P>\n",
             "Packet/MOT decoder disabled in command line<P>\n"})
        EXPECT_EQ(count(page, part), 1) << part << "\n---\n" << page;
    EXPECT_EQ(count(page, "MOT segments:"), 2);  // not for the other decoder's DSCTy 60
    EXPECT_EQ(count(page, "<TR><TD>MOT effective data rate: </TD><TD> 0 Bytes/s<TD></TR>\n"), 1);
    EXPECT_EQ(count(page, "<b>Service"), 4);     // none for subchannel 6
    EXPECT_EQ(env.count("make_statistic_page: state=0! n=3, m=2\n", LOG_CRIT), 1);
    EXPECT_EQ(env.count("make_statistic_page: state=0! n=8\n", LOG_CRIT), 1);
}
