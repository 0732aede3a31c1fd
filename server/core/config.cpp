#include "core/config.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "module/dabapi.h"
#include "module/dcsr.h"

void statistic::clear() {
    fibcnt_sum = fibcnt_err = 0;
    figcnt_sum = figcnt_err = figcnt_unk = 0;
    rdicnt_sum = rdicnt_err = 0;
    rdicnt_ovr = 0;
    httpcnt_req = 0;
    httpcnt_con = 0;
    msccnt_sum = msccnt_err = 0;
}

config::config(ensemble *p)
    : e(p), fd(-1), starttime(time(nullptr)), rdiconfig(4), finished(0), motargc(0), logfilelevel(2), logscrnlevel(1),
      audiosubchid(-1), tunefreq(-1), httpport(8000), httpmaxconn(-1), httpmaxclients(1024), ens(), ensemblecnt(0), emulate(0), lck(), scans_(0) {
    thread_mutex_init(&lck);
    copy_field(configfile, "dab.ini");
    copy_field(logfilename, "dab.log");
    copy_field(ensemblefile, "ensemble.ini");
    copy_field(motparms, "-d ./htdocs/data");
    copy_field(httpdroot, "./htdocs");
    copy_field(passwdfile, "passwd.ini");
    copy_field(hostname, "localhost:8000");
    copy_field(device, "/dev/usb/ombrel0");
    multicastif[0] = 0;
    for (auto &a : motargv) a = static_cast<char *>(calloc(1, MOT_ARG_SIZE));
}

config::~config() {
    for (auto &a : motargv) {
        free(a);
        a = nullptr;
    }
    thread_mutex_destroy(&lck);
}

bool has_control_char(const char *s) {
    for (; *s; s++) {
        const unsigned char c = static_cast<unsigned char>(*s);
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

void config::set_configfile(const char *s) { copy_field(configfile, s); }

namespace {

// First blank-separated word of s starting at *pos; returns its length (0 = none).
size_t next_word(const char *s, size_t *pos) {
    size_t i = *pos;
    while (s[i] == ' ' || s[i] == '\t') i++;
    size_t start = i;
    while (s[i] && s[i] != ' ' && s[i] != '\t') i++;
    *pos = start;
    return i - start;
}

void cut_line(char *line) {
    line[strcspn(line, "\r")] = 0;
    line[strcspn(line, "\n")] = 0;
}

struct key_block {
    const char *key;
    const char *comment;
};

// Written in this order, each after its comment.
constexpr key_block config_keys[] = {
    {"device", "; devicename to access"},
    {"rdiconfig", "; rdi configuration 0: off 1:biphase 20bit 2:biphase 22bit 3:I2S 20bit 4: I2S 22bit"},
    {"logfilename", "; path and name to logfile"},
    {"logfilelevel", "; loglevel for logfile: 0: DEBUG 1: INFO 2: WARN 3: CRIT 4: ERR"},
    {"logscrnlevel", "; loglevel for screen logging: 0: DEBUG 1: INFO 2: WARN 3: CRIT 4: ERR"},
    {"audiosubchid", "; audio subchannel for analog output"},
    {"tunefreq", "; tune to frequency in Khz, channel 5a-13f, la-lw, 0-63"},
    {"ensemblefile", "; path and name to ensemblefile"},
    {"passwdfile", "; set location and filename of password file"},
    {"httpport", "; set tcpip port for http server"},
    {"httpmaxconn", "; set maximum number of http streams"},
    {"httpmaxclients", "; maximum number of http connections at once that are not streams"},
    {"hostname", "; set the hostname for http requests"},
    {"httpdroot", "; document root for builtin http server"},
    {"motparms", "; parameters for builtin mot decoder"},
    {"multicastif", "; network interface for IP over DAB multicast, e.g. eth0 (empty: by route)"},
};

}  // namespace

int config::apply_key(const char *key, const char *value) {
    logger *l = e->l;
    if (has_control_char(value)) {
        for (const auto &k : config_keys)
            if (!strcmp(key, k.key)) {
                l->log(LOG_WARN, "%s: value of %s refused: control character\n", configfile, key);
                return 1;
            }
        return 0;
    }
    if (!strcmp(key, "device")) {
        copy_field(device, value);
        l->log(LOG_DEBUG, "device: %s\n", device);
    } else if (!strcmp(key, "rdiconfig")) {
        rdiconfig = atoi(value);
        l->log(LOG_DEBUG, "set_rdiconfig(%d)\n", rdiconfig);
    } else if (!strcmp(key, "logfilename")) {
        copy_field(logfilename, value);
        l->log(LOG_DEBUG, "set_logfilename(%s)\n", logfilename);
    } else if (!strcmp(key, "logfilelevel")) {
        logfilelevel = atoi(value);
        l->log(LOG_DEBUG, "logfilelevel: %d\n", logfilelevel);
    } else if (!strcmp(key, "logscrnlevel")) {
        logscrnlevel = atoi(value);
        l->log(LOG_DEBUG, "logscrnlevel: %d\n", logscrnlevel);
    } else if (!strcmp(key, "audiosubchid")) {
        audiosubchid = atoi(value);
        l->log(LOG_DEBUG, "audiosubchid: %d\n", audiosubchid);
    } else if (!strcmp(key, "tunefreq")) {
        tunefreq = dcsr::name_to_channel(value);
        l->log(LOG_DEBUG, "tune: %dKhz\n", tunefreq);
    } else if (!strcmp(key, "ensemblefile")) {
        copy_field(ensemblefile, value);
        l->log(LOG_DEBUG, "ensemblefile: %s\n", ensemblefile);
    } else if (!strcmp(key, "passwdfile")) {
        copy_field(passwdfile, value);
        l->log(LOG_DEBUG, "passwdfile: %s\n", passwdfile);
    } else if (!strcmp(key, "httpport")) {
        httpport = atoi(value);
        l->log(LOG_DEBUG, "httpport: %d\n", httpport);
    } else if (!strcmp(key, "httpmaxconn")) {
        httpmaxconn = atoi(value);
        l->log(LOG_DEBUG, "httpmaxconn: %d\n", httpmaxconn);
    } else if (!strcmp(key, "httpmaxclients")) {
        httpmaxclients = atoi(value);
        l->log(LOG_DEBUG, "httpmaxclients: %d\n", httpmaxclients);
    } else if (!strcmp(key, "hostname")) {
        copy_field(hostname, value);
        l->log(LOG_DEBUG, "hostname: %s\n", hostname);
    } else if (!strcmp(key, "httpdroot")) {
        copy_field(httpdroot, value);
        l->log(LOG_DEBUG, "httpdroot: %s\n", httpdroot);
    } else if (!strcmp(key, "motparms")) {
        copy_field(motparms, value);
        l->log(LOG_DEBUG, "motparms: %s\n", motparms);
    } else if (!strcmp(key, "multicastif")) {
        copy_field(multicastif, value);
        l->log(LOG_DEBUG, "multicastif: %s\n", multicastif);
    } else {
        return 0;
    }
    return 1;
}

int config::read_configfile() {
    FILE *f = fopen(configfile, "rt");
    if (!f) {
        e->l->log(LOG_INFO, "%s: file not found\n", configfile);
        return 0;
    }
    char line[4096];
    int lineno = 0;
    while (fgets(line, sizeof line, f)) {
        size_t got = strlen(line);
        bool complete = got > 0 && line[got - 1] == '\n';
        lineno++;
        cut_line(line);
        // An overlong line is taken as its first 4095 characters; the rest is skipped.
        if (!complete && !feof(f)) {
            int c;
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
        }
        size_t kpos = 0;
        size_t klen = next_word(line, &kpos);
        if (!klen) continue;
        size_t vpos = kpos + klen;
        size_t vlen = next_word(line, &vpos);
        if (!vlen) continue;
        if (line[kpos] == '#' || line[kpos] == ';') continue;

        char key[4096];
        memcpy(key, line + kpos, klen);
        key[klen] = 0;
        char *value = line + vpos;
        if (*value == '"') {
            value++;
            char *q = strchr(value, '"');
            if (q) *q = 0;
        }
        if (!apply_key(key, value)) e->l->log(LOG_WARN, "%s: invalid syntax in line %d:%s\n", configfile, lineno, line);
    }
    fclose(f);
    return 1;
}

int config::write_configfile() {
    // Two writers at once would leave a file of both; the values are read as one set.
    mutex_guard guard(&lck);
    FILE *f = fopen(configfile, "wt");
    if (!f) {
        e->l->log(LOG_INFO, "%s: file not found\n", configfile);
        return 0;
    }
    std::string out;
    out.reserve(8192);
    char buf[1400];
    time_t now = time(nullptr);
    char tbuf[64];
    struct tm tmv;
    localtime_r(&now, &tmv);
    asctime_r(&tmv, tbuf);
    snprintf(buf, sizeof buf, "; OMBREL configuration file. automatically created %s\n\n", tbuf);
    out += buf;
    for (const auto &k : config_keys) {
        char value[1100];
        if (!strcmp(k.key, "device")) copy_field(value, device);
        else if (!strcmp(k.key, "rdiconfig")) snprintf(value, sizeof value, "%d", rdiconfig);
        else if (!strcmp(k.key, "logfilename")) copy_field(value, logfilename);
        else if (!strcmp(k.key, "logfilelevel")) snprintf(value, sizeof value, "%d", logfilelevel);
        else if (!strcmp(k.key, "logscrnlevel")) snprintf(value, sizeof value, "%d", logscrnlevel);
        else if (!strcmp(k.key, "audiosubchid")) snprintf(value, sizeof value, "%d", audiosubchid);
        else if (!strcmp(k.key, "tunefreq")) snprintf(value, sizeof value, "%d", tunefreq);
        else if (!strcmp(k.key, "ensemblefile")) copy_field(value, ensemblefile);
        else if (!strcmp(k.key, "passwdfile")) copy_field(value, passwdfile);
        else if (!strcmp(k.key, "httpport")) snprintf(value, sizeof value, "%d", httpport);
        else if (!strcmp(k.key, "httpmaxconn")) snprintf(value, sizeof value, "%d", httpmaxconn);
        else if (!strcmp(k.key, "httpmaxclients")) snprintf(value, sizeof value, "%d", httpmaxclients);
        else if (!strcmp(k.key, "hostname")) copy_field(value, hostname);
        else if (!strcmp(k.key, "httpdroot")) copy_field(value, httpdroot);
        else if (!strcmp(k.key, "multicastif")) copy_field(value, multicastif);
        else copy_field(value, motparms);
        // One line per key: a line end inside a value (from the setup page) would start a line of its own.
        value[strcspn(value, "\r\n")] = 0;
        snprintf(buf, sizeof buf, "%s\n%s %s\n\n", k.comment, k.key, value);
        out += buf;
    }
    fwrite(out.data(), 1, out.size(), f);
    fclose(f);
    return 1;
}

int config::read_ensemblefile() {
    mutex_guard guard(&lck);
    if (scans_ > 0) return 1;
    return read_ensemblefile_locked();
}

int config::read_ensemblefile_locked() {
    ensemblecnt = 0;
    FILE *f = fopen(ensemblefile, "rt");
    if (!f) {
        e->l->log(LOG_INFO, "%s: file not found\n", ensemblefile);
        return 0;
    }
    char line[8192];
    int n = 0;
    while (fgets(line, sizeof line, f)) {
        cut_line(line);
        size_t kpos = 0;
        size_t klen = next_word(line, &kpos);
        size_t vpos = kpos + klen;
        if (klen && next_word(line, &vpos) && line[kpos] != '#' && line[kpos] != ';') {
            int freq = atoi(line + kpos);
            bool in_band = (freq >= BAND3_FIRST && freq <= BAND3_LAST) || (freq >= LBAND_FIRST && freq <= LBAND_LAST);
            const char *tab = strchr(line, '\t');
            if (in_band && tab) {
                ensemble_entry_t &en = ens[n];
                en = ensemble_entry_t{};
                en.freq = freq;
                copy_field(en.label, tab + 1);
                e->l->log(LOG_DEBUG, "ensemble %d: %dKhz name: %s\n", n, en.freq, en.label);
                n++;
            }
        }
        if (n >= MAX_ENSEMBLES) {
            e->l->log(LOG_WARN, "too many ensembles found (%d)....\n", n);
            break;
        }
    }
    fclose(f);
    ensemblecnt = n;
    return 1;
}

int config::write_ensemblefile() {
    mutex_guard guard(&lck);
    return write_ensemblefile_locked();
}

int config::write_ensemblefile_locked() {
    FILE *f = fopen(ensemblefile, "wt");
    if (!f) {
        e->l->log(LOG_INFO, "%s: file not found\n", ensemblefile);
        return 0;
    }
    std::string out;
    char buf[128];
    time_t now = time(nullptr);
    char tbuf[64];
    struct tm tmv;
    localtime_r(&now, &tmv);
    asctime_r(&tmv, tbuf);
    snprintf(buf, sizeof buf, "; OMBREL ensemble file. automatically created %s\n\n", tbuf);
    out += buf;
    const int n = ensemblecnt < 0 ? 0 : ensemblecnt < MAX_ENSEMBLES ? ensemblecnt : MAX_ENSEMBLES;
    for (int i = 0; i < n; i++) {
        snprintf(buf, sizeof buf, "%d\t%s\n", ens[i].freq, ens[i].label);
        out += buf;
    }
    fwrite(out.data(), 1, out.size(), f);
    fclose(f);
    return 1;
}

void config::begin_scan() {
    mutex_guard guard(&lck);
    ensemblecnt = 0;
    scans_++;
}

int config::end_scan() {
    mutex_guard guard(&lck);
    if (scans_ > 0) scans_--;
    return write_ensemblefile_locked();
}

void config::hold_list(bool on) {
    mutex_guard guard(&lck);
    if (on)
        scans_++;
    else if (scans_ > 0)
        scans_--;
}

int config::add_ensemble(const ensemble_entry_t &en) {
    mutex_guard guard(&lck);
    if (ensemblecnt < 0 || ensemblecnt >= MAX_ENSEMBLES) return -1;
    ens[ensemblecnt] = en;
    return ensemblecnt++;
}

int config::ensemble_count() {
    mutex_guard guard(&lck);
    return ensemblecnt < 0 ? 0 : ensemblecnt < MAX_ENSEMBLES ? ensemblecnt : MAX_ENSEMBLES;
}

int config::copy_ensembles(ensemble_entry_t *out, int max) {
    mutex_guard guard(&lck);
    int n = ensemblecnt < 0 ? 0 : ensemblecnt < MAX_ENSEMBLES ? ensemblecnt : MAX_ENSEMBLES;
    if (n > max) n = max;
    for (int i = 0; i < n; i++) out[i] = ens[i];
    return n;
}

void config::report_passwdfile() {
    char file[sizeof passwdfile];
    {
        mutex_guard guard(&lck);
        copy_field(file, passwdfile);
    }
    FILE *f = fopen(file, "rt");
    int err = f ? 0 : errno;
    if (f) {
        // A directory opens, but does not read.
        if (fgetc(f) == EOF && ferror(f)) err = errno ? errno : EIO;
        fclose(f);
    }
    if (!f && err == ENOENT)
        e->l->log(LOG_CRIT, "%s: no password file: the setup page is open to remote clients\n", file);
    else if (err)
        e->l->log(LOG_WARN, "%s: password file cannot be read (%s): remote clients are refused the setup page\n", file,
                  strerror(err));
}

void config::split_motparms() {
    char copy[sizeof motparms];
    copy_field(copy, motparms);
    motargv[0][0] = 0;
    int argc = 1;
    char *save = nullptr;
    for (char *w = strtok_r(copy, " ", &save); w && argc < MOT_MAX_ARGS; w = strtok_r(nullptr, " ", &save))
        copy_field(motargv[argc++], MOT_ARG_SIZE, w);
    motargc = static_cast<char>(argc);
}

int config::get_rdimode() {
    e->d->set_rdi_config(4);
    return 4;
}

int config::set_config() {
    unsigned int version = (4u << 24) | (31u << 16);
    if (!e->api->open_driver()) return 0;
    if (!e->api->reset_module_communication()) {
        e->api->close_driver();
        if (!e->api->open_driver()) return 0;
    }
    if (!emulate && !e->api->reset_module_communication()) {
        e->l->log(LOG_ERR, "cannot reset module (no velkor driver found)!\n");
        e->api->close_driver();
        return 0;
    }
    if (!e->d->get_version(version)) e->d->get_version(version);
    if (version == 0) {
        e->l->log(LOG_ERR, "cannot get module version (no velkor driver found)!\n");
        e->api->close_driver();
        return 0;
    }
    e->l->log(LOG_INFO, "DAB module version: %d.%d\n", version >> 24, (version >> 16) & 0xFF);
    e->l->log(LOG_INFO, "Rdiconfig: %d\n", rdiconfig);
    e->l->log(LOG_INFO, "Audiosubchid: %d\n", audiosubchid);
    e->l->log(LOG_INFO, "MOT-Parameters: %s\n", motparms);
    report_passwdfile();

    pnotification n = nullptr;
    e->d->set_rdi_config(rdiconfig);
    e->d->get_notification(&n);
    dcsr::dispose_list(n);
    e->d->set_dab_status_auto_notifications(1, 0, 7, 0);
    e->d->get_notification(&n);
    dcsr::dispose_list(n);

    split_motparms();
    return 1;
}
