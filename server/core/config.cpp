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
      audiosubchid(-1), tunefreq(-1), httpport(8000), httpmaxconn(-1), httpmaxclients(1024), motquota(MOT_QUOTA_DEFAULT_MIB), icecastpublic(0), ens(), ensemblecnt(0), emulate(0), lck(), scans_(0) {
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
    icecast[0] = 0;
    copy_field(icecastuser, "source");
    icecastpassword[0] = 0;
    copy_field(icecastmount, "/dab/%s");
    copy_field(icecastservices, "all");
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

// Which member a key sets and how its value is read: text cut to the field, a number as atoi
// reads it, or a channel (name, table index or kHz) written back as its kHz number.
enum class key_kind { text, number, channel };

struct text_field {
    char *p;
    size_t size;
};

template <auto M>
text_field text_of(config &c) {
    return {c.*M, sizeof(c.*M)};
}

struct config_key {
    const char *key;
    const char *comment;  // written on the line before the key
    const char *logged;   // debug line on reading; %s or %d of the value stored; null: a secret, not shown
    key_kind kind;
    text_field (*text)(config &);
    int config::*number;
};

constexpr config_key text_key(const char *key, const char *comment, const char *logged, text_field (*f)(config &)) {
    return {key, comment, logged, key_kind::text, f, nullptr};
}
constexpr config_key number_key(const char *key, const char *comment, const char *logged, int config::*m,
                                key_kind kind = key_kind::number) {
    return {key, comment, logged, kind, nullptr, m};
}

// Written in this order, each after its comment.
constexpr config_key config_keys[] = {
    text_key("device", "; devicename to access", "device: %s\n", &text_of<&config::device>),
    number_key("rdiconfig", "; rdi configuration 0: off 1:biphase 20bit 2:biphase 22bit 3:I2S 20bit 4: I2S 22bit",
               "set_rdiconfig(%d)\n", &config::rdiconfig),
    text_key("logfilename", "; path and name to logfile", "set_logfilename(%s)\n", &text_of<&config::logfilename>),
    number_key("logfilelevel", "; loglevel for logfile: 0: DEBUG 1: INFO 2: WARN 3: CRIT 4: ERR", "logfilelevel: %d\n",
               &config::logfilelevel),
    number_key("logscrnlevel", "; loglevel for screen logging: 0: DEBUG 1: INFO 2: WARN 3: CRIT 4: ERR",
               "logscrnlevel: %d\n", &config::logscrnlevel),
    number_key("audiosubchid", "; audio subchannel for analog output", "audiosubchid: %d\n", &config::audiosubchid),
    number_key("tunefreq", "; tune to frequency in Khz, channel 5a-13f, la-lw, 0-63", "tune: %dKhz\n",
               &config::tunefreq, key_kind::channel),
    text_key("ensemblefile", "; path and name to ensemblefile", "ensemblefile: %s\n", &text_of<&config::ensemblefile>),
    text_key("passwdfile", "; set location and filename of password file", "passwdfile: %s\n",
             &text_of<&config::passwdfile>),
    number_key("httpport", "; set tcpip port for http server", "httpport: %d\n", &config::httpport),
    number_key("httpmaxconn", "; set maximum number of http streams", "httpmaxconn: %d\n", &config::httpmaxconn),
    number_key("httpmaxclients", "; maximum number of http connections at once that are not streams",
               "httpmaxclients: %d\n", &config::httpmaxclients),
    text_key("hostname", "; set the hostname for http requests", "hostname: %s\n", &text_of<&config::hostname>),
    text_key("httpdroot", "; document root for builtin http server", "httpdroot: %s\n", &text_of<&config::httpdroot>),
    text_key("motparms", "; parameters for builtin mot decoder", "motparms: %s\n", &text_of<&config::motparms>),
    text_key("multicastif", "; network interface for IP over DAB multicast, e.g. eth0 (empty: by route)",
             "multicastif: %s\n", &text_of<&config::multicastif>),
    number_key("motquota", "; MiB each MOT/PAD service directory may take, oldest objects removed first (0: no limit)",
               "motquota: %d\n", &config::motquota),
    // Not logged either: a URL written with credentials in it would show them (it is refused).
    text_key("icecast", "; Icecast server fed with every programme as a source, http://HOST:PORT (empty: none)",
             nullptr, &text_of<&config::icecast>),
    text_key("icecastuser", "; user name of the Icecast sources", "icecastuser: %s\n", &text_of<&config::icecastuser>),
    text_key("icecastpassword", "; password of the Icecast sources", nullptr, &text_of<&config::icecastpassword>),
    text_key("icecastmount", "; Icecast mount of a programme: %s service id in hex, %l its label",
             "icecastmount: %s\n", &text_of<&config::icecastmount>),
    text_key("icecastservices", "; programmes fed to Icecast: all, or service ids in hex", "icecastservices: %s\n",
             &text_of<&config::icecastservices>),
    number_key("icecastpublic", "; Icecast may list the programmes in public directories (0/1)",
               "icecastpublic: %d\n", &config::icecastpublic),
};

const config_key *find_key(const char *key) {
    for (const auto &k : config_keys)
        if (!strcmp(key, k.key)) return &k;
    return nullptr;
}

}  // namespace

int config::apply_key(const char *key, const char *value) {
    const config_key *k = find_key(key);
    if (!k) return 0;
    logger *l = e->l;
    if (has_control_char(value)) {
        l->log(LOG_WARN, "%s: value of %s refused: control character\n", configfile, key);
        return 1;
    }
    if (k->kind == key_kind::text) {
        const text_field f = k->text(*this);
        copy_field(f.p, f.size, value);
        if (k->logged)
            l->log(LOG_DEBUG, k->logged, f.p);
        else
            l->log(LOG_DEBUG, "%s: set\n", key);
    } else {
        int &field = this->*(k->number);
        field = k->kind == key_kind::channel ? dcsr::name_to_channel(value) : atoi(value);
        l->log(LOG_DEBUG, k->logged, field);
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
        if (k.kind == key_kind::text)
            copy_field(value, k.text(*this).p);
        else
            snprintf(value, sizeof value, "%d", this->*(k.number));
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
    // A scan cut short by the stop holds part of the bands only: the file keeps the last
    // whole list.
    if (finished) {
        e->l->log(LOG_WARN, "scan interrupted, %s left as it was\n", ensemblefile);
        return 0;
    }
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
    if (!e->d->bring_up()) return 0;
    e->l->log(LOG_INFO, "Rdiconfig: %d\n", rdiconfig);
    e->l->log(LOG_INFO, "Audiosubchid: %d\n", audiosubchid);
    e->l->log(LOG_INFO, "MOT-Parameters: %s\n", motparms);
    report_passwdfile();
    e->d->set_up_outputs(rdiconfig);
    split_motparms();
    return 1;
}
