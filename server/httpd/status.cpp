// Status page (the server's home page) and the M3U playlists of the audio programmes.

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/plattform.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "httpd/httpd.h"
#include "httpd/util.h"

namespace {

constexpr const char *weekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};


// Labels come from the broadcast: shown as text, never as markup.
struct html_text {
    explicit html_text(const char *s) { html_escape(buf, sizeof buf, s); }
    char buf[20 * 6 + 1];  // every character of the longest text escaped
};

// The table may only be walked with its lock held; the text is sent after release, so a slow
// client never holds up the table's rebuild.
class table_lock {
public:
    explicit table_lock(msc *m) : m_(m) { m_->lock(); }
    ~table_lock() { m_->unlock(); }
    table_lock(const table_lock &) = delete;
    table_lock &operator=(const table_lock &) = delete;

private:
    msc *m_;
};

// The field of the record stored earliest (the last of the newest-first list), or 0.
template <class R, class F>
long earliest(fic *store, int type, int ext, F field) {
    auto *first = static_cast<R *>(malloc(sizeof(R)));
    if (!first) return 0;
    if (store->findall(first, type, ext) <= 0) return 0;  // findall freed it
    const gen_data_t *last = first;
    for (const gen_data_t *g = fig_next(last); g; g = fig_next(g)) last = g;
    long v = field(*static_cast<const R *>(last));
    fig_free_chain(first);
    return v;
}

}  // namespace

int httpconn::display_status(int mode) {
    eid = e->fic_stream->get_ensemble_id();
    char label[32] = {};
    e->fic_stream->get_ensemble_label(label);
    if (label[0])
        copy_field(ens, label);
    else if (eid == 0)
        copy_field(ens, "nothing tuned");
    else
        snprintf(ens, sizeof ens, "%04X", static_cast<unsigned>(eid));

    time_t t = static_cast<time_t>(
        earliest<date_time_t>(e->fic_stream, 0, 10, [](const date_time_t &d) { return static_cast<long>(d.unixtime); }));
    // FIG 0/9 local time offset: bit 0x20 the sign (west), bits 0x1F half hours.
    const int lto = static_cast<int>(
        earliest<country_t>(e->fic_stream, 0, 9, [](const country_t &c) { return static_cast<long>(c.ensemble_lto); }) &
        0x3F);
    if (t != 0 && lto != 0) t += (lto & 0x20 ? -1 : 1) * static_cast<time_t>(lto & 0x1F) * 1800;

    // The host name is set on the setup page: shown as text, never as markup.
    char host_raw[sizeof e->cfg->hostname];
    {
        mutex_guard guard(&e->cfg->lck);
        copy_field(host_raw, e->cfg->hostname);
    }
    std::string host_text(sizeof host_raw * 6, '\0');
    html_escape(&host_text[0], host_text.size(), host_raw);
    const char *host = host_text.c_str();
    std::string out;
    out.reserve(8192);

    if (mode != 0) {
        post_header(2, nullptr, 0, 0);
        {
            table_lock g(e->msc_stream);
            for (int i = 0; i < MAX_SERVICES && subchannel[i].sc; i++) {
                const dab_service_t &sv = subchannel[i];
                for (int j = 0; j < sv.numofsc; j++) {
                    const dab_component_t &c = sv.sc[j];
                    if (c.prot_level == 0 || c.tmid != 0) continue;
                    if (mode != -1 && c.subchannel != mode - 1) continue;
                    appendf(out, "http://%s/stream/%d.%s\n", host, c.subchannel,
                            c.ascty == ASCTY_DABPLUS ? "loas" : "mp2");
                }
            }
        }
        if (!out.empty()) send_all(s, out.data(), out.size());
        return 1;
    }

    post_header(0, nullptr, 0, 0);
    if (!insert_file("header.html"))
        prints("<HTML><HEAD><TITLE>DAB-Status</TITLE></HEAD><BODY bgcolor=#FFFFFF><FONT FACE=\"Arial,Helvetica\">\n");

    appendf(out, "<H2>Ensemble: <A HREF=\"http://%s/playlist.m3u\">%s (%04X)</A></H2>", host, html_text(ens).buf,
            static_cast<unsigned>(eid));

    struct tm tmv = {};
    bool have_tm;
    if (t != 0) {
        out += "DAB-Time: ";
        have_tm = gmtime_r(&t, &tmv) != nullptr;
    } else {
        out += "System Time: ";
        time_t now = time(nullptr);
        have_tm = localtime_r(&now, &tmv) != nullptr;
    }
    if (!have_tm) tmv = tm{};
    const char *wday = weekdays[tmv.tm_wday >= 0 && tmv.tm_wday < 7 ? tmv.tm_wday : 0];
    if (lto != 0)
        appendf(out, "<b> %s %i/%i/%i, %02i:%02i:%02i (GMT%c%02i%02i)</b><br><br><FONT FACE=\"Courier\">\n", wday,
                tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                lto & 0x20 ? '-' : '+', (lto & 0x1F) / 2, (lto & 1) * 30);
    else
        appendf(out, "<b> %s %i/%i/%i, %02i:%02i:%02i</b><br><br><FONT FACE=\"Courier\">\n", wday, tmv.tm_year + 1900,
                tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    // Before the service lines, which players and scripts read as they are.
    out += "<a href=\"/player/\">Listen in the browser</a><br>\n";

    {
        table_lock g(e->msc_stream);
        for (int i = 0; i < MAX_SERVICES && subchannel[i].sc; i++) {
            const dab_service_t &sv = subchannel[i];
            const html_text service_label(sv.label);
            appendf(out, "<p><b>%s (%04x) PTY: %2d</b>", service_label.buf, static_cast<unsigned>(sv.sid), sv.pty);
            for (int j = 0; j < sv.numofsc; j++) {
                const dab_component_t &c = sv.sc[j];
                const html_text label(c.label[0] ? c.label : sv.label);
                switch (c.tmid) {
                    case 0:
                        appendf(out,
                                "<li>subchid:<b>%02d</b> prot:%d bitrate:<b>%3d</b> scids:%d label:<A "
                                "HREF=\"http://%s/playlist/%d.m3u\">%s%s%s</A>&nbsp;<a "
                                "href=\"http://%s/data/%04x/%04x\">[PAD]</a>%s</li>\n",
                                c.subchannel, c.prot_level, c.bitrate, c.scids, host, c.subchannel, c.ps ? "<b>" : "",
                                label.buf, c.ps ? "</b>" : "", host, static_cast<unsigned>(eid),
                                static_cast<unsigned>(sv.sid), c.ascty == ASCTY_DABPLUS ? "&nbsp;DAB+" : "");
                        break;
                    case 1:
                        appendf(out, "<li>subchid:<b>%02d</b> prot:%d stream data %s</li>\n", c.subchannel,
                                c.prot_level, label.buf);
                        break;
                    case 2:
                        appendf(out, "<li>subchid:<b>%02d</b> prot:%d <a href=\"/fidc\">FIDC data</a> %s</li>\n",
                                c.subchannel, c.prot_level, label.buf);
                        break;
                    case 3:
                        appendf(out,
                                "<li>subchid:<b>%02d</b>  prot:%d bitrate: %3d  <a "
                                "href=\"http://%s/stream/%d\">packet data</a> <a "
                                "href=\"http://%s/data/%04x/\">%s</a></li>\n",
                                c.subchannel, c.prot_level, c.bitrate, host, c.subchannel, host,
                                static_cast<unsigned>(eid), label.buf);
                        break;
                    default: break;
                }
            }
        }
    }
    out += "</FONT>\r\n";
    send_all(s, out.data(), out.size());
    return 1;
}
