// Statistics page: signal, multiplex allocation, the error counters of every stage and the
// FIG overview.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/ensemble.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "httpd/httpd.h"
#include "httpd/icecast.h"
#include "httpd/util.h"
#include "module/dabapi.h"
#include "module/dcsr.h"

namespace {

// Bit error rate classes of the module's status notification.
// Capacity of the MSC in capacity units (EN 300 401, one CIF).
constexpr int msc_capacity_units = 864;

// Duration of one transmission frame by transmission mode (EN 300 401, table 2).
int frame_ms(int mode) {
    switch (mode) {
        case 1: return 96;
        case 2: return 24;
        case 3: return 24;
        case 4: return 48;
        default: return 0;
    }
}

long allocated_cus(fic *store) {
    auto *first = static_cast<sub_channel_organization_t *>(malloc(sizeof(sub_channel_organization_t)));
    if (!first) return 0;
    if (store->findall(first, 0, 1) <= 0) return 0;  // findall freed it
    long sum = 0;
    for (const gen_data_t *g = first; g; g = fig_next(g))
        sum += static_cast<const sub_channel_organization_t *>(g)->sub_channel_size;
    fig_free_chain(first);
    return sum;
}

unsigned long long u(uint64_t v) { return static_cast<unsigned long long>(v); }

// One line per Icecast mount: how its source connection fares.
std::string icecast_table(const std::vector<icecast_mount_status> &mounts) {
    if (mounts.empty()) return "";
    std::string out = "<H3>Icecast sources</H3>\r\n<table cellspacing=\"0\" cellpadding=\"4\">\r\n<tr><th>mount</th>"
                      "<th>service</th><th>subchid</th><th>state</th><th>bytes sent</th><th>reconnects</th>"
                      "<th>last error</th></tr>\r\n";
    for (const icecast_mount_status &m : mounts) {
        char mount[256 * 6], error[256 * 6];
        html_escape(mount, sizeof mount, m.mount.c_str());
        html_escape(error, sizeof error, m.last_error.c_str());
        appendf(out, "<tr><td>%s</td><td>%04X</td><td>%02d</td><td>%s</td><td>%llu</td><td>%u</td><td>%s</td></tr>\r\n",
                mount, static_cast<unsigned>(m.sid), m.subchannel, m.state.c_str(), u(m.bytes_sent), m.reconnects,
                error);
    }
    out += "</table>\r\n";
    return out;
}

}  // namespace

// One line per DAB+ subchannel being decoded: how its superframes fared.
void httpconn::dabplus_table() {
    std::string out;
    msc *m = e->msc_stream;
    for (int n = 0; n < MAX_SUBCHANNELS; n++) {
        m->lock();
        const bool plus = m->isdabplus(n) != 0;
        m->unlock();
        const dabplus_counters &c = m->dabplus_stats[static_cast<size_t>(n)];
        if (!plus || (c.superframes.load() == 0 && c.sync_losses.load() == 0)) continue;
        if (out.empty())
            out = "<H3>DAB+ subchannels</H3>\r\n<table cellspacing=\"0\" cellpadding=\"4\">\r\n<tr><th>subchid</th>"
                  "<th>superframes</th><th>sync losses</th><th>bytes corrected (RS)</th><th>uncorrectable</th>"
                  "<th>AU CRC errors</th><th>bad AU tables</th><th>AUs</th></tr>\r\n";
        appendf(out, "<tr><td>%02d</td><td>%llu</td><td>%llu</td><td>%llu</td><td>%llu</td><td>%llu</td><td>%llu</td>"
                     "<td>%llu</td></tr>\r\n",
                n, u(c.superframes.load()), u(c.sync_losses.load()), u(c.rs_corrected.load()),
                u(c.rs_uncorrectable.load()), u(c.au_crc_errors.load()), u(c.bad_superframes.load()), u(c.aus.load()));
    }
    if (out.empty()) return;
    out += "</table>\r\n";
    send_all(s, out.data(), out.size());
}

std::string fig_overview_html(const std::vector<fig_summary_t> &figs, time_t now) {
    std::string out;
    out.reserve(16384);
    char line[512];
    auto row = [&](const char *name, int value) {
        snprintf(line, sizeof line,
                 "<tr><td><FONT FACE=Courier>%s</FONT></td><td><FONT FACE=Courier>%d</FONT></td></tr>\r\n", name,
                 value);
        out += line;
    };
    out += "<H2>FIG Overview</H2>\r\n";
    for (const fig_summary_t &g : figs) {
        snprintf(line, sizeof line, "<H3>FIG %d/%d</H3>\r\n", g.type, g.ext);
        out += line;
        out += "<table cellspacing=\"0\" cellpadding=\"0\">\r\n";
        const time_t ts = static_cast<time_t>(g.timestamp);
        char when[64];
        if (!ctime_r(&ts, when)) snprintf(when, sizeof when, "?");
        snprintf(line, sizeof line,
                 "<tr><td><FONT FACE=Courier>Last Received:</FONT></td><td><FONT FACE=Courier>%s (%ds ago)</FONT></td>"
                 "</tr>\r\n",
                 when, static_cast<int>(now - ts));
        out += line;
        row("Occurence count:", g.occurence);
        row("FIG Length:", g.len);
        row("FIG OE:", g.oe);
        if (g.type == 0) {
            row("FIG PD:", g.pd);
            row("FIG CN:", g.cn);
        } else if (g.type == 1) {
            row("FIG CN:", g.charset);
        }
        out += "</table>\r\n";
    }
    snprintf(line, sizeof line, "<br>FIGs found: %d<br>\r\n", static_cast<int>(figs.size()));
    out += line;
    return out;
}

int httpconn::display_statistic() {
    const time_t now = time(nullptr);
    const long cusum = allocated_cus(e->fic_stream);
    const double share = static_cast<double>(cusum) * 100 / msc_capacity_units;
    const double rate = static_cast<double>(cusum) * 64 * 1000 / 25165824;
    const notify_dab_status ds = e->d->ds;
    const int ber = ds.ber_fic;
    const char *ber_shown = ber_class_text(ber);
    const statistic &st = *e->st;

    post_header(0, nullptr, 0, 0);
    if (!insert_file("header.html"))
        prints("<HTML><HEAD><TITLE>DAB-Statistics</TITLE></HEAD><BODY bgcolor=#FFFFFF><FONT "
               "FACE=\"Arial,Helvetica\">\r\n");
    char when[64];
    if (!ctime_r(&now, when)) when[0] = 0;
    prints("<H2>Statistics (%s) </H2>", when);
    prints("<table cellspacing=\"0\" cellpadding=\"0\">\r\n");

#define ROW(name, value) "<tr><td><FONT FACE=Courier>" name "</FONT></td><td><FONT FACE=Courier>" value "</FONT></td></tr>\r\n"
    char sx[16];
    prints(ROW("Bit Error Rate (BER):", "%s (%d)"), ber_shown, ber);
    prints(ROW("Tuned to:", "%dKhz"), ds.tune_freq * 16);
    prints(ROW("Transmission Mode:", "%d, %dms/frame"), ds.mode, frame_ms(ds.mode));
    prints(ROW("MSC Bandwidth Allocation:", "%d CUs, %3.2f%%, %2.2fMBit/s"), static_cast<int>(cusum), share, rate);
    prints(ROW("RDI Overruns (%s):", "%u"), e->api->get_devicetype() == 0 ? "PCI" : "USB", st.rdicnt_ovr);
    const dabcommon::source_stats src = st.source();
    if (src.flags & dabcommon::SOURCE_HAS_SNR) prints(ROW("Signal-to-noise ratio:", "%.1f dB"), src.snr_centibel / 10.0);
    if (src.flags & dabcommon::SOURCE_HAS_EDI) {
        prints(ROW("EDI AF packets:", "%llu%s"), u(src.edi_af_packets), num2str(sx, src.edi_af_packets));
        prints(ROW("EDI sequence gaps:", "%llu"), u(src.edi_sequence_gaps));
        prints(ROW("EDI CRC errors:", "%llu"), u(src.edi_crc_errors));
        prints(ROW("EDI fragments recovered by FEC:", "%llu"), u(src.edi_fec_recovered));
        prints(ROW("EDI frames lost:", "%llu"), u(src.edi_frames_lost));
    }
    prints(ROW("Total DWORDS RDI:", "%llu%s "), u(st.rdicnt_sum), num2str(sx, st.rdicnt_sum));
    prints(ROW("Bad DWORDS RDI:", "%llu%s, %.2f%%"), u(st.rdicnt_err), num2str(sx, st.rdicnt_err),
           percent(st.rdicnt_err, st.rdicnt_sum));
    prints(ROW("Total FIBs:", "%llu%s"), u(st.fibcnt_sum), num2str(sx, st.fibcnt_sum));
    prints(ROW("Bad FIBs:", "%llu%s, %.2f%%"), u(st.fibcnt_err), num2str(sx, st.fibcnt_err),
           percent(st.fibcnt_err, st.fibcnt_sum));
    prints(ROW("Total FIGs:", "%llu%s"), u(st.figcnt_sum), num2str(sx, st.figcnt_sum));
    prints(ROW("Unknown FIGs:", "%llu%s, %.2f%%"), u(st.figcnt_unk), num2str(sx, st.figcnt_unk),
           percent(st.figcnt_unk, st.figcnt_sum));
    prints(ROW("Bad FIGs:", "%llu%s, %.2f%%"), u(st.figcnt_err), num2str(sx, st.figcnt_err),
           percent(st.figcnt_err, st.figcnt_sum));
    prints(ROW("Total MSC frames:", "%llu%s"), u(st.msccnt_sum), num2str(sx, st.msccnt_sum));
    prints(ROW("Bad MSC frames:", "%llu%s, %.2f%%"), u(st.msccnt_err), num2str(sx, st.msccnt_err),
           percent(st.msccnt_err, st.msccnt_sum));
    const uint64_t requests = st.httpcnt_req.load();
    prints(ROW("Total HTTP Requests:", "%llu%s"), u(requests), num2str(sx, requests));
    prints(ROW("Active HTTP streams:", " %d"), st.httpcnt_con.load());
    // timespan keeps one result per thread, so pages built at the same moment keep their own.
    prints(ROW("Uptime:", "%s"), timespan(now - e->cfg->starttime, zs_runtime));
#undef ROW
    prints("</table>\r\n");
    dabplus_table();
    const std::string ice = icecast_table(e->ice->mounts());
    if (!ice.empty()) send_all(s, ice.data(), ice.size());

    // Taken under the store's lock, sent without it: a slow client must not stall the FIC decoder.
    const std::string figs = fig_overview_html(e->fic_stream->summaries(), time(nullptr));
    send_all(s, figs.data(), figs.size());
    footer();
    return 1;
}
