// The decoder's own pages in its output tree: frameset, menu and statistics.

#include "mot/html.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/fig_records.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "httpd/util.h"
#include "mot/mot_dec.h"
#include "mot/packet.h"
#include "mot/util2.h"
#include "mot/xpad_dec.h"

namespace {

constexpr char doctype[] =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Frameset//EN\" \"http://www.w3.org/TR/REC-html40/frameset.dtd\">\n";
constexpr char focus_script[] = "<SCRIPT TYPE=\"text/javascript\">window.focus();</SCRIPT>\n";
constexpr char closing_line[] =
    "<P><HR><FONT SIZE=\"-1\"> MOT/PAD Decoder 2.26F, part of dabserver</FONT></BODY></HTML>\n";

unsigned long long ull(uint64_t v) { return v; }

// Text from the broadcast for a page: at most size bytes of a field that may lack its
// terminator, markup characters as entities.
class quoted {
public:
    quoted(const char *field, size_t size) {
        char raw[max_field];
        copy_field(raw, size < max_field ? size + 1 : max_field, field);
        quote_string(text_, raw, static_cast<int>(sizeof text_));
    }
    const char *c_str() const { return text_; }

private:
    static constexpr size_t max_field = sizeof(mot_label_t::base_path);
    char text_[6 * max_field];  // "&quot;" is the longest entity
};

template <size_t N>
quoted q(const char (&field)[N]) {
    return quoted(field, N);
}

struct clock_text {
    char s[64];
};

clock_text classic_time(time_t t) {
    clock_text c;
    if (!ctime_r(&t, c.s)) c.s[0] = 0;
    return c;
}

// The packet state of subchannel n while its thread has not released it: a thread that
// ends on its own frees it and clears the subchannel's state, but not ps[n].
packet_state_t *live_packet_state(const mot_dec_class &m, int n) {
    void *s = m.subchannels[n].state;
    return s && s == m.ps[n] ? m.ps[n] : nullptr;
}

int component_count(const packet_state_t *p) {
    if (p->num_psc < 0) return 0;
    return p->num_psc < PACKET_SLOTS ? p->num_psc : PACKET_SLOTS;
}

bool is_mot_service(const p_service_component_t &c) {
    return c.handlers && c.handlers->msc_dg_handler == ps_mot_handle;
}

const char *dscty_name(int dscty, int addr) {
    switch (dscty) {
        case 0: return "unspecified data";
        case 1: return "TMC";
        case 2: return "EWS";
        case 3: return "ITTS";
        case 4: return "Paging";
        case 59: return "IP over DAB";
        case 60: return "MOT";
        case 61: return "proprietary (no DSCTy)";
        case 62: return "proprietary (DSCTy in extension table)";
        case 63: return "DSCTy in extension table";
        default: return addr == -1 ? "Everything" : "unknown";
    }
}

void packet_subchannel_rows(mot_dec_class &m, FILE *f, int n, time_t now) {
    const mot_subchannel_t &sc = m.subchannels[n];
    const uint64_t *st = sc.stat.stats;
    char size[16];
    fprintf(f, "<HR><a name=\"T%i\"><P>Subchannel %i (Packet/MOT):<P>\n", n, n);
    fputs("<TABLE COLS=2 NOSAVE>\n", f);
    fprintf(f, "<TR><TD>packets: </TD><TD> %llu</TD></TR>\n", ull(st[MS_PACKETS]));
    fprintf(f, "<TR><TD>packet crc errors: </TD><TD> %llu</TD></TR>\n", ull(st[MS_PACKET_CRC_ERRORS]));
    fprintf(f, "<TR><TD>packet wrong length: </TD><TD> %llu</TD></TR>\n", ull(st[MS_PACKET_BAD_LENGTH]));
    fprintf(f, "<TR><TD>packet unknown service: </TD><TD> %llu (%.2f%%)</TD></TR>\n", ull(st[MS_PACKET_UNKNOWN]),
            percent(st[MS_PACKET_UNKNOWN], st[MS_PACKETS]));
    fputs("<TR><TD>Most used packet addresses: </TD><TD> ", f);
    for (const auto &a : sc.stat.addr)
        if (a[0]) fprintf(f, "%llu (%.2f%%)<br>", ull(a[0]), percent(a[1], st[MS_PACKETS]));
    fputs("</TD></TR>\n", f);
    fprintf(f, "<TR><TD>packet bytes: </TD><TD> %s (%llu bytes)</TD></TR>\n", num2str(size, st[MS_PACKET_BYTES]),
            ull(st[MS_PACKET_BYTES]));

    packet_state_t *p = live_packet_state(m, n);
    const int count = p ? component_count(p) : 0;
    for (int i = 0; i < count; i++) {
        const p_service_component_t &c = p->psc[i];
        fprintf(f, "<TR><TD><b>Service %x/%04x \"%s\"</b></TD></TR>\n", static_cast<unsigned>(c.sid),
                static_cast<unsigned>(c.scid), q(c.label).c_str());
        if (c.addr == -1)
            fputs("<TR><TD>Packet Address:</TD><TD> All </TD></TR>\n", f);
        else
            fprintf(f, "<TR><TD>Packet Address:</TD><TD> %04x </TD></TR>\n", static_cast<unsigned>(c.addr));
        fprintf(f, "<TR><TD>Type:</TD><TD> %02x (%s) </TD></TR>\n", static_cast<unsigned>(c.dscty),
                dscty_name(c.dscty, c.addr));
        if (c.handlers)
            fprintf(f, "<TR><TD>Installed decoder:</TD><TD> %s -- %s </TD></TR>\n", q(c.handlers->name).c_str(),
                    q(c.handlers->author).c_str());
        else
            fputs("<TR><TD>Installed decoder:</TD><TD> none -- none </TD></TR>\n", f);
        if (!c.state) {
            m.e->l->log(LOG_CRIT, "make_statistic_page: state=0! n=%i, m=%i\n", n, i);
            continue;
        }
        // Another decoder may take DSCTy 60 too; only the MOT decoder's state has MOT counters.
        if (c.dscty == 60 && is_mot_service(c))
            make_statistics_mot(f, &static_cast<const mot_state_t *>(c.state)->stat, m.last_restart_time, now);
    }
    fputs("</TABLE><P>\n", f);
}

void audio_subchannel_rows(mot_dec_class &m, FILE *f, int n, time_t now) {
    const mot_subchannel_t &sc = m.subchannels[n];
    const uint64_t *st = sc.stat.stats;
    char size[16];
    fprintf(f, "<HR><a name=\"T%i\"><P>Subchannel %i (PAD/MOT) \"%s\":<P>\n", n, n, q(sc.label).c_str());
    fputs("<TABLE COLS=2 NOSAVE>\n", f);
    fprintf(f, "<TR><TD>PAD bytes: </TD><TD> %s (%llu bytes)</TD></TR>\n", num2str(size, st[MS_PAD_BYTES]),
            ull(st[MS_PAD_BYTES]));
    fprintf(f, "<TR><TD>dynamic label bytes: </TD><TD> %s (%llu bytes)</TD></TR>\n", num2str(size, st[MS_DL_BYTES]),
            ull(st[MS_DL_BYTES]));
    fprintf(f, "<TR><TD>dynamic labels: </TD><TD> %llu</TD></TR>\n", ull(st[MS_DL_LABELS]));
    fprintf(f, "<TR><TD>dynamic labels (unique): </TD><TD> %llu</TD></TR>\n", ull(st[MS_DL_UNIQUE]));
    fprintf(f, "<TR><TD>dynamic label crc errors: </TD><TD> %llu</TD></TR>\n", ull(st[MS_DL_CRC_ERRORS]));
    fprintf(f, "<TR><TD>dynamic label other errors: </TD><TD> %llu</TD></TR>\n", ull(st[MS_DL_OTHER_ERRORS]));
    // A packet state set up for a subchannel the configuration also lists as audio is no X-PAD state.
    void *s = sc.state;
    if (s && s != m.ps[n]) {
        const mot_state_t *ms = static_cast<const xpad_state_t *>(s)->ms;
        if (ms)
            make_statistics_mot(f, &ms->stat, m.last_restart_time, now);
        else
            m.e->l->log(LOG_CRIT, "make_statistic_page: state=0! n=%i\n", n);
    }
    fputs("</TABLE><P>\n", f);
}

}  // namespace

int make_html_mot(FILE *file, mot_state_t *ms, const char *name) {
    if (!ms) return 0;
    int written = 0;
    const quoted service(name ? name : "", 64);
    for (int i = 0; i < MOT_LABELS; i++) {
        mot_label_t l;
        if (!mot_find_label(ms, &l, i)) continue;
        struct tm t = {};
        localtime_r(&l.last_received, &t);
        const quoted link = q(l.base_path);
        const quoted label = q(l.label);
        if (!strncmp(l.label, "Broadcast", 9))
            fprintf(file, "<LI><A HREF=\"%s\" TARGET=\"motout\"> %s %s (%02i:%02i:%02i)</A><P>\n", link.c_str(),
                    label.c_str(), service.c_str(), t.tm_hour, t.tm_min, t.tm_sec);
        else
            fprintf(file, "<LI><A HREF=\"%s\" TARGET=\"motout\"> %s (%02i:%02i:%02i)</A><P>\n", link.c_str(),
                    label.c_str(), t.tm_hour, t.tm_min, t.tm_sec);
        written = 1;
    }
    return written;
}

void make_statistics_mot(FILE *file, const motpad_statistics_t *stat, time_t last_restart_time, time_t now) {
    const uint64_t *st = stat->stats;
    const uint64_t files = st[MS_MOT_FILES] + st[MS_MOT_FILES_FAILED] + st[MS_MOT_REPEATED];
    // A clock set back must not make the elapsed time zero or negative.
    const uint64_t seconds = now > last_restart_time ? static_cast<uint64_t>(now - last_restart_time) : 0;
    char size[16];
    fprintf(file, "<TR><TD>MOT segments: </TD><TD> %llu<TD></TR>\n", ull(st[MS_MOT_SEGMENTS]));
    fprintf(file, "<TR><TD>MOT crc errors: </TD><TD> %llu (%.2f%%)<TD></TR>\n", ull(st[MS_MOT_CRC_ERRORS]),
            percent(st[MS_MOT_CRC_ERRORS], st[MS_MOT_SEGMENTS]));
    fprintf(file, "<TR><TD>MOT other errors: </TD><TD> %llu (%.2f%%)<TD></TR>\n", ull(st[MS_MOT_OTHER_ERRORS]),
            percent(st[MS_MOT_OTHER_ERRORS], st[MS_MOT_SEGMENTS]));
    fprintf(file, "<TR><TD>MOT files OK (unique): </TD><TD> %llu (%.2f%%)<TD></TR>\n", ull(st[MS_MOT_FILES]),
            percent(st[MS_MOT_FILES], files));
    fprintf(file, "<TR><TD>MOT files not OK: </TD><TD> %llu (%.2f%%)<TD></TR>\n", ull(st[MS_MOT_FILES_FAILED]),
            percent(st[MS_MOT_FILES_FAILED], files));
    fprintf(file, "<TR><TD>MOT files with repeated transport ID: </TD><TD> %llu (%.2f%%)<TD></TR>\n",
            ull(st[MS_MOT_REPEATED]), percent(st[MS_MOT_REPEATED], files));
    fprintf(file, "<TR><TD>MOT invalid file names: </TD><TD> %llu <TD></TR>\n", ull(st[MS_MOT_BAD_NAMES]));
    fprintf(file, "<TR><TD>MOT bytes: </TD><TD> %s (%llu bytes) <TD></TR>\n", num2str(size, st[MS_MOT_BYTES]),
            ull(st[MS_MOT_BYTES]));
    fprintf(file, "<TR><TD>MOT effective data rate: </TD><TD> %llu Bytes/s<TD></TR>\n",
            ull(st[MS_MOT_BYTES] / (seconds + 1)));
}

int mot_dec_class::make_html_frame(const char *dpath, int eid) {
    char name[600];
    if (snprintf(name, sizeof name, "%s/%04x/index.html", dpath, static_cast<unsigned>(eid)) >=
        static_cast<int>(sizeof name))
        return 0;
    make_dirs(name);
    page_file frame(name);
    FILE *f = frame.get();
    if (!f) return 0;
    fputs(doctype, f);
    fputs("<HTML>\n<HEAD>\n<TITLE>MOT Decoder</TITLE>\n", f);
    fputs(focus_script, f);
    fputs("</HEAD>\n"
          "<FRAMESET COLS=\"20%,40%,40%\">\n"
          "<FRAME NAME=\"index\" SRC=\"menu.html\" SCROLLING=\"no\">\n"
          "<FRAME NAME=\"motout\" SRC=\"empty.html\">\n"
          "<FRAME NAME=\"padout\" SRC=\"empty.html\">\n"
          "<NOFRAMES><BODY>Your browser does not support frames, "
          "<A HREF=\"menu.html\">click here to continue</A></BODY></NOFRAMES>\n"
          "</FRAMESET>\n</HTML>\n",
          f);
    if (!frame.commit()) return 0;

    snprintf(name, sizeof name, "%s/%04x/empty.html", dpath, static_cast<unsigned>(eid));
    page_file empty(name);
    f = empty.get();
    if (!f) return 0;
    fputs(doctype, f);
    fputs("<HTML></HTML>\n", f);
    return empty.commit() ? 1 : 0;
}

int mot_dec_class::make_html_start(const char *epath, const packet_info_t *list) {
    char name[600];
    if (snprintf(name, sizeof name, "%s/menu.html", epath) >= static_cast<int>(sizeof name)) return 0;
    make_dirs(name);
    page_file menu(name);
    FILE *f = menu.get();
    if (!f) return 0;

    fprintf(f,
            "<HTML> <meta http-equiv=\"pragma\" content=\"no-cache\"><meta http-equiv=\"expires\" content=\"0\">"
            "<meta http-equiv=\"refresh\" content=\"10\"><BODY>  <H2> MOT/PAD-Service for ensemble '%s'</H2><UL>\n",
            fig1_0 ? q(fig1_0->name).c_str() : "");

    {
        // The MOT states hang on packet states that a decoder thread frees under this lock.
        mutex_guard g(&config_lock);
        int previous = -1;
        for (const packet_info_t *pi = list; pi; pi = pi->next) {
            const int n = pi->subchid;
            const bool repeated = n == previous;
            previous = n;
            if (repeated || n < 0 || n >= MOT_SUBCHANNELS || (subchannels[n].disabled & 2)) continue;
            packet_state_t *p = live_packet_state(*this, n);
            if (!p) continue;
            const int count = component_count(p);
            for (int i = 0; i < count; i++) {
                p_service_component_t &c = p->psc[i];
                if (!is_mot_service(c) || !c.state) continue;
                auto *ms = static_cast<mot_state_t *>(c.state);
                if (!make_html_mot(f, ms, c.label))
                    fprintf(f, "<LI><A HREF=\"%s\" TARGET=\"motout\"> Extra Service (%s) </A><P>\n",
                            q(ms->html_path).c_str(), q(c.label).c_str());
            }
        }
    }

    for (int n = 0; n < MOT_SUBCHANNELS; n++) {
        const mot_subchannel_t &sc = subchannels[n];
        if (!sc.exist || sc.type != 1 || (sc.disabled & 1)) continue;
        fprintf(f, " <LI><A HREF=\"%04x/index.html\" TARGET=\"padout\"> %s PAD </A><P>\n",
                static_cast<unsigned>(sc.sid), q(sc.label).c_str());
    }

    fputs("</UL>\n", f);
    if (use_stat) fputs("<A HREF=\"statistics.html\" TARGET=\"statistics\"> MOT/PAD statistics</A>", f);
    fprintf(f, " <HR><FONT SIZE=\"-1\">Last update: %s <P>\n", classic_time(time(nullptr)).s);
    fputs(" <HR><FONT SIZE=\"-1\">", f);
    if (subtitle[0])
        fprintf(f, "%.*s", static_cast<int>(sizeof subtitle), subtitle);
    else
        fputs(closing_line, f);
    if (!menu.commit()) return 0;
    e->l->log(LOG_INFO, "###### Wrote index file at %s\n", name);
    return 1;
}

int mot_dec_class::make_statistic_page(const char *epath) {
    if (!use_stat) return 0;
    char name[600];
    if (snprintf(name, sizeof name, "%s/statistics.html", epath) >= static_cast<int>(sizeof name)) return 0;
    page_file page(name);
    FILE *f = page.get();
    if (!f) return 0;

    const time_t now = time(nullptr);
    fputs("<HTML> <meta http-equiv=\"pragma\" content=\"no-cache\"><meta http-equiv=\"expires\" content=\"0\">"
          "<meta http-equiv=\"refresh\" content=\"30\">\n",
          f);
    fputs(focus_script, f);
    fputs("<BODY>  <H2> Status of MOT/PAD Decoder</H2>\n", f);
    fprintf(f, "MOT/PAD Decoder started: %s, %s up, restarts: %i.<P>Statistics since last restart (%s):<P>\n",
            classic_time(startup_time).s, timespan(now - startup_time, zs_runtime), restarts,
            classic_time(last_restart_time).s);

    {
        // Decoder threads that end on their own free their states under this lock.
        mutex_guard g(&config_lock);
        for (int n = 0; n < MOT_SUBCHANNELS; n++) {
            const mot_subchannel_t &sc = subchannels[n];
            if (!sc.exist) continue;
            if (sc.type == 0) {
                if (sc.disabled & 2)
                    fputs("Packet/MOT decoder disabled in command line<P>\n", f);
                else
                    packet_subchannel_rows(*this, f, n, now);
            } else if (sc.type == 1) {
                if (sc.disabled & 1)
                    fprintf(f, "XPAD/MOT decoder disabled in command line for subchannel %i<P>\n", n);
                else
                    audio_subchannel_rows(*this, f, n, now);
            }
        }
    }

    fputs("<FONT SIZE=\"-1\">", f);
    if (subtitle[0])
        fprintf(f, "%.*s", static_cast<int>(sizeof subtitle), subtitle);
    else
        fputs(closing_line, f);
    return page.commit() ? 1 : 0;
}
