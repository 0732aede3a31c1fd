// Setup page: tuning, analogue output, band scan, configuration values and shutdown.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/msc.h"
#include "httpd/httpd.h"
#include "httpd/util.h"
#include "module/cleanup.h"
#include "module/dabapi.h"
#include "module/dcsr.h"
#include "module/scanner.h"

namespace {

// Texts of the module's FIC bit error rate classes.
constexpr int tune_settle_s = 2;  // the page shown next already reflects the new ensemble

// A configuration value shown inside a form field: escaped, so that it cannot end the attribute.
template <size_t N>
struct shown_value {
    explicit shown_value(const char *s) { html_escape(text, sizeof text, s); }
    char text[N * 6];
};

}  // namespace

namespace {

// The scan's progress as lines of the page being sent.
class page_scan_report : public scan_report {
public:
    explicit page_scan_report(int s) : s_(s) {}
    void band_started(int startfreq, int stopfreq) override {
        prints(s_, "<h2>Scanning: %dKhz-%dKhz</h2>", startfreq, stopfreq);
    }
    void ensemble_found(const char *channel, int khz, const char *label) override {
        char shown[17 * 6];
        html_escape(shown, sizeof shown, label);
        if (channel[0])
            prints(s_, "Found Channel %s : <a href=\"setup?freq=%d\">%s</a><br>\n", channel, khz, shown);
        else
            prints(s_, "Found %dKhz : <a href=\"setup?freq=%d\">%s</a><br>\n", khz, khz, shown);
    }
    void band_finished(int found) override { prints(s_, "<br>Finished scanning, found %d ensembles<br>", found); }

private:
    int s_;
};

}  // namespace

int httpconn::display_setup(char *token, int mode) {
    config *cfg = e->cfg;
    bool status_sent = false;

    // Fields whose value was refused, for the message on the page.
    std::string refused;
    if (token) {
        char value[1024];
        // A value with a control character would end a header or playlist line or a line of the
        // configuration file: refused, and the field keeps what it had.
        auto take = [this, &value, &refused](const char *tag, size_t max = sizeof value) {
            if (!get_postarea(tag, value, static_cast<int>(std::min(max, sizeof value)))) return false;
            if (!has_control_char(value)) return true;
            const size_t n = strlen(tag) - 1;  // without the "="
            e->l->log(LOG_WARN, "httpd: setup value of %.*s refused: control character\n", static_cast<int>(n), tag);
            if (!refused.empty()) refused += ", ";
            refused.append(tag, n);
            return false;
        };
        if (take("freq=")) {
            {
                module_lock guard(e->api);
                cfg->tunefreq = dcsr::name_to_channel(value);
                e->l->log(LOG_INFO, "httpd: tuning to %dKhz\n", cfg->tunefreq);
                e->d->tune(cfg->tunefreq);
            }
            e->clean->force_reconfig();
            sleep(tune_settle_s);
        }
        if (take("audio=")) {
            module_lock guard(e->api);
            cfg->audiosubchid = atoi(value);
            e->l->log(LOG_INFO, "Audiosubchid: %d\n", cfg->audiosubchid);
            e->d->select_subchannel(8, 1, 0, 3, 1, 0, 0, cfg->audiosubchid);
            pnotification n = nullptr;
            e->d->get_notification(&n);
            dcsr::dispose_list(n);
            e->api->display_name(cfg->audiosubchid);
        }
        // Text values are cut to their field; numbers are taken as atoi reads them. Stored under
        // the configuration lock, so that a file being written gets either value, never half of one.
        auto text_field = [&value, &take, cfg](const char *tag, char *field, size_t size) {
            if (!take(tag, size)) return;
            mutex_guard guard(&cfg->lck);
            copy_field(field, size, value);
        };
        auto number_field = [&value, &take, cfg](const char *tag, int &field) {
            if (!take(tag)) return;
            mutex_guard guard(&cfg->lck);
            field = atoi(value);
        };
        text_field("device=", cfg->device, sizeof cfg->device);
        text_field("logfilename=", cfg->logfilename, sizeof cfg->logfilename);
        number_field("logfilelevel=", cfg->logfilelevel);
        number_field("logscrnlevel=", cfg->logscrnlevel);
        number_field("httpport=", cfg->httpport);
        number_field("httpmaxconn=", cfg->httpmaxconn);
        text_field("passwdfile=", cfg->passwdfile, sizeof cfg->passwdfile);
        text_field("hostname=", cfg->hostname, sizeof cfg->hostname);
        text_field("httpdroot=", cfg->httpdroot, sizeof cfg->httpdroot);
        text_field("motparms=", cfg->motparms, sizeof cfg->motparms);
        text_field("multicastif=", cfg->multicastif, sizeof cfg->multicastif);
        text_field("ensemblefile=", cfg->ensemblefile, sizeof cfg->ensemblefile);
        if (take("shutdown=") && atoi(value) == 1) cfg->finished = 1;

        if (take("scan=") && atoi(value) == 1) {
            cfg->write_configfile();
            display_status(0);
            status_sent = true;
            scanner sc(e);
            page_scan_report report(s);
            {
                // Emptied under the module lock: a second scan waits here instead of emptying the
                // list while the first still fills it.
                module_lock guard(e->api);
                cfg->begin_scan();
                sc.scan_band(1, &report);
                sc.scan_band(2, &report);
                cfg->end_scan();
            }
            {
                module_lock guard(e->api);
                e->d->tune(cfg->tunefreq);
            }
            e->clean->force_reconfig();
        } else {
            cfg->write_configfile();
        }
    }

    if (!status_sent) display_status(0);
    prints("<h2>Setup ZIR-Ereruv:</h2>\r\n");
    if (!refused.empty())
        prints("<p><b>Not set: %s. Control characters are not allowed; the old value is kept.</b></p>\r\n",
               refused.c_str());
    prints("<table cellspacing=\"0\" cellpadding=\"0\">\r\n");
    const int tune_freq = e->d->ds.tune_freq;
    const int ber_fic = e->d->ds.ber_fic;
    if (tune_freq != 0) {
        const char *ber = ber_class_text(ber_fic);
        prints("<tr><td>Tuned to: </td><td><b>%dKhz</b></td></tr><tr><td>Bit Error Rate: </td><td><b>%s "
               "(%d)</b></td></tr>\r\n",
               tune_freq * 16, ber, ber_fic);
    }
    prints("<tr><td>Audio out subchannel:</td><td>\r\n");
    put_programmes();
    prints("</td></tr>\r\n");

    prints("<form method=get action=\"/setup\" >\r\n");
    char name[CHANNEL_NAME_SIZE];
    if (dcsr::channel_to_name(name, cfg->tunefreq))
        prints("<tr><td>Frequency:</td><td><input name=\"freq\" value=\"%s\" size=9>\r\n", name);
    else
        prints("<tr><td>Frequency:</td><td><input name=\"freq\" value=\"%d\" size=9>\r\n", cfg->tunefreq);
    prints("<input type=\"submit\" value=\"Tune\">&nbsp;(khz or channel 5a-13f, la-lw, 0-63)</td></tr></form>\r\n");

    prints("<form method=get action=\"/setup\" >\r\n");
    prints("<tr><td>Ensembles:</td><td><input type=\"hidden\" name=\"scan\" value=\"1\">\r\n");
    prints("<input type=\"submit\" value=\"Scan\">&nbsp; Scan for all available ensembles.</td></tr></form>\r\n");
    prints("<tr><td></td><td>\r\n");
    put_ensembles();
    prints("</td></tr>\r\n");
    prints("<tr><td><br></td></tr>\r\n");

    if (mode) {
        constexpr const char form[] = "<form method=get action=\"/setup\" >\r\n";
        constexpr const char set[] = "<input type=\"submit\" value=\"Set\">&nbsp; ";
        constexpr const char end[] = "</td></tr></form>\r\n";
        prints("%s<tr><td>Device:</td><td><input name=\"device\" value=\"%s\" size=16>\r\n", form,
               shown_value<sizeof cfg->device>(cfg->device).text);
        prints("%sPath and name of the device node provided by the DAB driver.%s", set, end);
        prints("%s<tr><td>Logfilename:</td><td><input name=\"logfilename\" value=\"%s\" size=32>\r\n", form,
               shown_value<sizeof cfg->logfilename>(cfg->logfilename).text);
        prints("%sPath and name of the logfile.%s", set, end);
        prints("%s<tr><td>Logfilelevel:</td><td><input name=\"logfilelevel\" value=\"%d\" size=3>\r\n", form,
               cfg->logfilelevel);
        prints("%sLogging Level 0-5 for messages stored in the logfile.%s", set, end);
        prints("%s<tr><td>Logscrnlevel:</td><td><input name=\"logscrnlevel\" value=\"%d\" size=3>\r\n", form,
               cfg->logscrnlevel);
        prints("%sLogging Level 0-5 for messages displayed on the console screen.%s", set, end);
        prints("%s<tr><td>Ensemblefile:</td><td><input name=\"ensemblefile\" value=\"%s\" size=32>\r\n", form,
               shown_value<sizeof cfg->ensemblefile>(cfg->ensemblefile).text);
        prints("%sPath and name of ensemble file (created after scanning the bands).%s", set, end);
        prints("%s<tr><td>Passwdfile:</td><td><input name=\"passwdfile\" value=\"%s\" size=32>\r\n", form,
               shown_value<sizeof cfg->passwdfile>(cfg->passwdfile).text);
        prints("%sPath and name of password file.%s", set, end);
        prints("%s<tr><td>HTTPD-Port:</td><td><input name=\"httpport\" value=\"%d\" size=5>\r\n", form,
               cfg->httpport);
        prints("%sTCP/IP port of the builtin HTTP server.%s", set, end);
        prints("%s<tr><td>Max. Remote Connections:</td><td><input name=\"httpmaxconn\" value=\"%d\" size=5>\r\n",
               form, cfg->httpmaxconn);
        prints("%sSet -1 for unlimited access.%s", set, end);
        prints("%s<tr><td>Hostname:</td><td><input name=\"hostname\" value=\"%s\" size=32>\r\n", form,
               shown_value<sizeof cfg->hostname>(cfg->hostname).text);
        prints("%sSet visible hostname in format: servername:port%s", set, end);
        prints("%s<tr><td>HTTPD-Root:</td><td><input name=\"httpdroot\" value=\"%s\" size=32>\r\n", form,
               shown_value<sizeof cfg->httpdroot>(cfg->httpdroot).text);
        prints("%sRoot directory for builtin HTTP server.%s", set, end);
        prints("%s<tr><td>MOT-Decoder Parameters:</td><td><input name=\"motparms\" value=\"%s\" size=32>\r\n", form,
               shown_value<sizeof cfg->motparms>(cfg->motparms).text);
        prints("%sStartup Parameters for builtin MOT decoder.%s", set, end);
        prints("%s<tr><td>Multicast Interface:</td><td><input name=\"multicastif\" value=\"%s\" size=16>\r\n", form,
               shown_value<sizeof cfg->multicastif>(cfg->multicastif).text);
        prints("%sNetwork interface for IP over DAB datagrams (empty: by route).%s", set, end);
        prints("%s<tr><td>Shutdown Server:</td><td><input type=\"hidden\" name=\"shutdown\" value=\"1\">\r\n", form);
        prints("<input type=\"submit\" value=\"Shutdown\">&nbsp; Stops the server immediately.%s", end);
    }
    prints("</table>\r\n");
    footer();
    return 1;
}

void httpconn::put_programmes() {
    prints("<FORM method=get action=\"/setup\">\r\n");
    prints("<select name=\"audio\" onChange=\"form.submit(); return true;\">\r\n");
    const int audiosubchid = e->cfg->audiosubchid;
    msc *m = e->msc_stream;
    // Built under the table lock, sent after it: a client that stops reading must not keep the
    // watcher from installing a new table.
    std::string options;
    m->lock();
    for (int i = 0; i < MAX_SERVICES && m->service[i].sc; i++) {
        const dab_service_t &sv = m->service[i];
        for (int k = 0; k < sv.numofsc; k++) {
            const dab_component_t &c = sv.sc[k];
            if (c.prot_level == 0 || c.tmid != 0) continue;
            char label[sizeof c.label * 6];
            html_escape(label, sizeof label, c.label[0] ? c.label : sv.label);
            char line[sizeof label + 64];
            int n = snprintf(line, sizeof line, "<option value=\"%d\" %s>%s</option>\r\n", c.subchannel,
                             c.subchannel == audiosubchid ? "selected" : "", label);
            if (n > 0) options.append(line, std::min(static_cast<size_t>(n), sizeof line - 1));
        }
    }
    m->unlock();
    if (!options.empty()) send_all(s, options.data(), options.size());
    prints("</select><noscript><input type=\"submit\" name=\"test\" value=\"Set\"></noscript>Sets the subchannel to be "
           "put on the analog output</form>\r\n");
}

void httpconn::put_ensembles() {
    config *cfg = e->cfg;
    cfg->read_ensemblefile();
    // A copy: a scan may be adding to the list while the page is sent.
    ensemble_entry_t list[MAX_ENSEMBLES];
    const int n = cfg->copy_ensembles(list, MAX_ENSEMBLES);
    prints("<FORM method=get action=\"/setup\">\r\n");
    prints("<select name=\"freq\" onChange=\"form.submit(); return true;\">\r\n");
    prints("<option value=\"/setup\">Select ensemble from list</option>\r\n");
    for (int i = 0; i < n; i++) {
        char label[sizeof list[i].label * 6];
        html_escape(label, sizeof label, list[i].label);
        prints("<option value=\"%d\">%s</option>\r\n", list[i].freq, label);
    }
    prints("</select><noscript><input type=\"submit\" name=\"test\" value=\"Tune\"></noscript></form>\r\n");
}
