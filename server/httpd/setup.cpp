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
#include "httpd/icecast.h"
#include "httpd/util.h"
#include "module/cleanup.h"
#include "module/dabapi.h"
#include "module/dcsr.h"
#include "module/scanner.h"

namespace {

constexpr int tune_settle_s = 2;  // the page shown next already reflects the new ensemble

// A configuration value shown inside a form field: escaped, so that it cannot end the attribute.
template <size_t N>
struct shown_value {
    explicit shown_value(const char *s) { html_escape(text, sizeof text, s); }
    char text[N * 6];
};

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

// The fields of one submitted form, acted on in their fixed order.
class setup_actions {
public:
    explicit setup_actions(httpconn &c) : c_(c), e_(c.e), cfg_(c.e->cfg) {}

    void run() {
        tune();
        audio();
        settings();
        if (take("scan=") && atoi(value_) == 1)
            scan();
        else
            cfg_->write_configfile();
    }

    bool status_sent = false;
    // Fields whose value was refused, for the message on the page.
    std::string refused;

private:
    // A value with a control character would end a header or playlist line or a line of the
    // configuration file: refused, and the field keeps what it had.
    bool take(const char *tag, size_t max = sizeof value_) {
        if (!c_.get_postarea(tag, value_, static_cast<int>(std::min(max, sizeof value_)))) return false;
        if (!has_control_char(value_)) return true;
        const size_t n = strlen(tag) - 1;  // without the "="
        e_->l->log(LOG_WARN, "httpd: setup value of %.*s refused: control character\n", static_cast<int>(n), tag);
        if (!refused.empty()) refused += ", ";
        refused.append(tag, n);
        return false;
    }

    void tune() {
        if (!take("freq=")) return;
        {
            module_lock guard(e_->api);
            cfg_->tunefreq = dcsr::name_to_channel(value_);
            e_->l->log(LOG_INFO, "httpd: tuning to %dKhz\n", cfg_->tunefreq);
            e_->d->tune(cfg_->tunefreq);
        }
        e_->clean->force_reconfig();
        sleep(tune_settle_s);
    }

    void audio() {
        if (!take("audio=")) return;
        module_lock guard(e_->api);
        cfg_->audiosubchid = atoi(value_);
        e_->l->log(LOG_INFO, "Audiosubchid: %d\n", cfg_->audiosubchid);
        e_->d->route_audio(cfg_->audiosubchid);
        e_->api->display_name(cfg_->audiosubchid);
    }

    // Text values are cut to their field; numbers are taken as atoi reads them. Stored under
    // the configuration lock, so that a file being written gets either value, never half of one.
    void text_field(const char *tag, char *field, size_t size) {
        if (!take(tag, size)) return;
        mutex_guard guard(&cfg_->lck);
        copy_field(field, size, value_);
    }
    void number_field(const char *tag, int &field) {
        if (!take(tag)) return;
        mutex_guard guard(&cfg_->lck);
        field = atoi(value_);
    }

    void settings() {
        config *cfg = cfg_;
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
        icecast_fields();
        if (take("shutdown=") && atoi(value_) == 1) cfg->finished = 1;
    }

    // The source thread follows the values by itself; it is started when a server is first set.
    void icecast_fields() {
        config *cfg = cfg_;
        if (take("icecast=", sizeof cfg->icecast)) {
            std::string host;
            int port = 0;
            if (value_[0] && !icecast_wire::parse_url(value_, &host, &port)) {
                e_->l->log(LOG_WARN, "httpd: setup value of icecast refused: no http://HOST:PORT\n");
                if (!refused.empty()) refused += ", ";
                refused += "icecast";
            } else {
                mutex_guard guard(&cfg->lck);
                copy_field(cfg->icecast, value_);
            }
        }
        text_field("icecastuser=", cfg->icecastuser, sizeof cfg->icecastuser);
        // An empty password field keeps the password: the page never shows it.
        if (take("icecastpassword=", sizeof cfg->icecastpassword) && value_[0]) {
            mutex_guard guard(&cfg->lck);
            copy_field(cfg->icecastpassword, value_);
        }
        text_field("icecastmount=", cfg->icecastmount, sizeof cfg->icecastmount);
        text_field("icecastservices=", cfg->icecastservices, sizeof cfg->icecastservices);
        number_field("icecastpublic=", cfg->icecastpublic);
        e_->ice->start();
    }

    // The status page goes out first, so that the browser shows something while both bands
    // are scanned; the scanner's progress follows as lines of the page.
    void scan() {
        cfg_->write_configfile();
        c_.display_status(0);
        status_sent = true;
        scanner sc(e_);
        page_scan_report report(c_.s);
        {
            // Emptied under the module lock: a second scan waits here instead of emptying the
            // list while the first still fills it.
            module_lock guard(e_->api);
            cfg_->begin_scan();
            sc.scan_band(1, &report);
            sc.scan_band(2, &report);
            cfg_->end_scan();
        }
        {
            module_lock guard(e_->api);
            e_->d->tune(cfg_->tunefreq);
        }
        e_->clean->force_reconfig();
    }

    httpconn &c_;
    ensemble *e_;
    config *cfg_;
    char value_[1024];
};

// Tuning state, the analogue output, the frequency and scan forms and the ensemble list.
void put_tuning(httpconn &c) {
    ensemble *e = c.e;
    const int tune_freq = e->d->ds.tune_freq;
    const int ber_fic = e->d->ds.ber_fic;
    if (tune_freq != 0) {
        const char *ber = ber_class_text(ber_fic);
        c.prints("<tr><td>Tuned to: </td><td><b>%dKhz</b></td></tr><tr><td>Bit Error Rate: </td><td><b>%s "
                 "(%d)</b></td></tr>\r\n",
                 tune_freq * 16, ber, ber_fic);
    }
    c.prints("<tr><td>Audio out subchannel:</td><td>\r\n");
    c.put_programmes();
    c.prints("</td></tr>\r\n");

    c.prints("<form method=get action=\"/setup\" >\r\n");
    const int tunefreq = e->cfg->tunefreq;
    char name[CHANNEL_NAME_SIZE];
    if (dcsr::channel_to_name(name, tunefreq))
        c.prints("<tr><td>Frequency:</td><td><input name=\"freq\" value=\"%s\" size=9>\r\n", name);
    else
        c.prints("<tr><td>Frequency:</td><td><input name=\"freq\" value=\"%d\" size=9>\r\n", tunefreq);
    c.prints("<input type=\"submit\" value=\"Tune\">&nbsp;(khz or channel 5a-13f, la-lw, 0-63)</td></tr></form>\r\n");

    c.prints("<form method=get action=\"/setup\" >\r\n");
    c.prints("<tr><td>Ensembles:</td><td><input type=\"hidden\" name=\"scan\" value=\"1\">\r\n");
    c.prints("<input type=\"submit\" value=\"Scan\">&nbsp; Scan for all available ensembles.</td></tr></form>\r\n");
    c.prints("<tr><td></td><td>\r\n");
    c.put_ensembles();
    c.prints("</td></tr>\r\n");
    c.prints("<tr><td><br></td></tr>\r\n");
}

// One form per configuration value, and the shutdown form.
void put_settings(httpconn &c) {
    const config *cfg = c.e->cfg;
    constexpr const char form[] = "<form method=get action=\"/setup\" >\r\n";
    constexpr const char set[] = "<input type=\"submit\" value=\"Set\">&nbsp; ";
    constexpr const char end[] = "</td></tr></form>\r\n";
    c.prints("%s<tr><td>Device:</td><td><input name=\"device\" value=\"%s\" size=16>\r\n", form,
             shown_value<sizeof cfg->device>(cfg->device).text);
    c.prints("%sPath and name of the device node provided by the DAB driver.%s", set, end);
    c.prints("%s<tr><td>Logfilename:</td><td><input name=\"logfilename\" value=\"%s\" size=32>\r\n", form,
             shown_value<sizeof cfg->logfilename>(cfg->logfilename).text);
    c.prints("%sPath and name of the logfile.%s", set, end);
    c.prints("%s<tr><td>Logfilelevel:</td><td><input name=\"logfilelevel\" value=\"%d\" size=3>\r\n", form,
             cfg->logfilelevel);
    c.prints("%sLogging Level 0-5 for messages stored in the logfile.%s", set, end);
    c.prints("%s<tr><td>Logscrnlevel:</td><td><input name=\"logscrnlevel\" value=\"%d\" size=3>\r\n", form,
             cfg->logscrnlevel);
    c.prints("%sLogging Level 0-5 for messages displayed on the console screen.%s", set, end);
    c.prints("%s<tr><td>Ensemblefile:</td><td><input name=\"ensemblefile\" value=\"%s\" size=32>\r\n", form,
             shown_value<sizeof cfg->ensemblefile>(cfg->ensemblefile).text);
    c.prints("%sPath and name of ensemble file (created after scanning the bands).%s", set, end);
    c.prints("%s<tr><td>Passwdfile:</td><td><input name=\"passwdfile\" value=\"%s\" size=32>\r\n", form,
             shown_value<sizeof cfg->passwdfile>(cfg->passwdfile).text);
    c.prints("%sPath and name of password file.%s", set, end);
    c.prints("%s<tr><td>HTTPD-Port:</td><td><input name=\"httpport\" value=\"%d\" size=5>\r\n", form,
             cfg->httpport);
    c.prints("%sTCP/IP port of the builtin HTTP server.%s", set, end);
    c.prints("%s<tr><td>Max. Remote Connections:</td><td><input name=\"httpmaxconn\" value=\"%d\" size=5>\r\n",
             form, cfg->httpmaxconn);
    c.prints("%sSet -1 for unlimited access.%s", set, end);
    c.prints("%s<tr><td>Hostname:</td><td><input name=\"hostname\" value=\"%s\" size=32>\r\n", form,
             shown_value<sizeof cfg->hostname>(cfg->hostname).text);
    c.prints("%sSet visible hostname in format: servername:port%s", set, end);
    c.prints("%s<tr><td>HTTPD-Root:</td><td><input name=\"httpdroot\" value=\"%s\" size=32>\r\n", form,
             shown_value<sizeof cfg->httpdroot>(cfg->httpdroot).text);
    c.prints("%sRoot directory for builtin HTTP server.%s", set, end);
    c.prints("%s<tr><td>MOT-Decoder Parameters:</td><td><input name=\"motparms\" value=\"%s\" size=32>\r\n", form,
             shown_value<sizeof cfg->motparms>(cfg->motparms).text);
    c.prints("%sStartup Parameters for builtin MOT decoder.%s", set, end);
    c.prints("%s<tr><td>Multicast Interface:</td><td><input name=\"multicastif\" value=\"%s\" size=16>\r\n", form,
             shown_value<sizeof cfg->multicastif>(cfg->multicastif).text);
    c.prints("%sNetwork interface for IP over DAB datagrams (empty: by route).%s", set, end);
    // A value from the file that is no http://HOST:PORT might hold credentials: not shown.
    std::string ice_host;
    int ice_port = 0;
    const bool ice_valid = !cfg->icecast[0] || icecast_wire::parse_url(cfg->icecast, &ice_host, &ice_port);
    c.prints("%s<tr><td>Icecast Server:</td><td><input name=\"icecast\" value=\"%s\" size=32>\r\n", form,
             shown_value<sizeof cfg->icecast>(ice_valid ? cfg->icecast : "").text);
    c.prints("%sEvery programme is fed to this Icecast server as a source: http://HOST:PORT (empty: none)%s.%s", set,
             ice_valid ? "" : "; the configured value is not of this form", end);
    c.prints("%s<tr><td>Icecast User:</td><td><input name=\"icecastuser\" value=\"%s\" size=16>\r\n", form,
             shown_value<sizeof cfg->icecastuser>(cfg->icecastuser).text);
    c.prints("%sUser name of the Icecast sources.%s", set, end);
    // Posted, so that the password is not part of a request line; never shown. The target has a
    // query: the page acts on a form only when the request names something after "setup".
    c.prints("<form method=post action=\"/setup?form=icecast\" >\r\n<tr><td>Icecast Password:</td><td><input type=\"password\" "
             "name=\"icecastpassword\" value=\"\" size=16 autocomplete=\"off\">\r\n");
    c.prints("%sPassword of the Icecast sources (%s; empty keeps it).%s", set,
             cfg->icecastpassword[0] ? "set" : "not set", end);
    c.prints("%s<tr><td>Icecast Mount:</td><td><input name=\"icecastmount\" value=\"%s\" size=16>\r\n", form,
             shown_value<sizeof cfg->icecastmount>(cfg->icecastmount).text);
    c.prints("%sMount of a programme: %%s its service id in hex, %%l its label.%s", set, end);
    c.prints("%s<tr><td>Icecast Services:</td><td><input name=\"icecastservices\" value=\"%s\" size=32>\r\n", form,
             shown_value<sizeof cfg->icecastservices>(cfg->icecastservices).text);
    c.prints("%sProgrammes fed to Icecast: all, or service ids in hex (d101 d102).%s", set, end);
    c.prints("%s<tr><td>Icecast Public:</td><td><input name=\"icecastpublic\" value=\"%d\" size=3>\r\n", form,
             cfg->icecastpublic);
    c.prints("%s1: Icecast may list the programmes in public directories.%s", set, end);
    c.prints("%s<tr><td>Shutdown Server:</td><td><input type=\"hidden\" name=\"shutdown\" value=\"1\">\r\n", form);
    c.prints("<input type=\"submit\" value=\"Shutdown\">&nbsp; Stops the server immediately.%s", end);
}

}  // namespace

// Access is checked by the dispatcher before this is called.
int httpconn::display_setup(char *token, int mode) {
    setup_actions actions(*this);
    // A form posted to "/setup" carries its values in the body alone.
    if (token || content) actions.run();

    if (!actions.status_sent) display_status(0);
    prints("<h2>Setup ZIR-Ereruv:</h2>\r\n");
    if (!actions.refused.empty())
        prints("<p><b>Not set: %s. Control characters are not allowed; the old value is kept.</b></p>\r\n",
               actions.refused.c_str());
    prints("<table cellspacing=\"0\" cellpadding=\"0\">\r\n");
    put_tuning(*this);
    if (mode) put_settings(*this);
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
