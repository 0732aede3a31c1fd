#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "common/source_stats.h"

class ensemble;

typedef struct ensemble_entry_s {
    char label[17];
    int freq;  // kHz
    char shortlabel[9];
    int eid;
} ensemble_entry_t;

constexpr int MAX_ENSEMBLES = 64;
constexpr int MOT_MAX_ARGS = 30;
constexpr int MOT_ARG_SIZE = 256;
constexpr int MOT_QUOTA_DEFAULT_MIB = 64;

// True when s holds a byte below 0x20 or the byte 0x7F: such a configuration value is refused.
bool has_control_char(const char *s);

class config {
public:
    explicit config(ensemble *p);
    ~config();
    config(const config &) = delete;
    config &operator=(const config &) = delete;

    void set_configfile(const char *s);
    int read_configfile();
    int write_configfile();
    // 1 when the list is valid: read from the file, or kept because a scan is rebuilding it.
    int read_ensemblefile();
    int write_ensemblefile();

    // A scan rebuilds the ensemble list: begin_scan empties it, end_scan writes the ensemble
    // file. In between read_ensemblefile keeps the list, the file being older than the finds.
    void begin_scan();
    int end_scan();
    // The same protection for one band scan, without emptying or writing.
    void hold_list(bool on);
    // Appends an entry; its index, or -1 when the list is full.
    int add_ensemble(const ensemble_entry_t &en);
    int ensemble_count();
    // Copies at most max entries of the list; returns how many.
    int copy_ensembles(ensemble_entry_t *out, int max);

    // Logs once who may reach the setup page: a missing password file leaves it open.
    void report_passwdfile();
    int set_config();
    int get_rdimode();

    // Applies one "key value" pair as the configuration file does; 1 when the key is known.
    int apply_key(const char *key, const char *value);
    // Splits motparms into motargv/motargc.
    void split_motparms();

    char configfile[256];
    ensemble *e;
    int fd;
    time_t starttime;
    int rdiconfig;
    std::atomic<int> finished;
    char logfilename[256];
    char ensemblefile[256];
    char motparms[256];
    char *motargv[MOT_MAX_ARGS];
    char motargc;
    int logfilelevel;
    int logscrnlevel;
    int audiosubchid;
    int tunefreq;
    int httpport;
    int httpmaxconn;
    int httpmaxclients;  // connections at once that are not streams
    char httpdroot[256];
    char passwdfile[256];
    char hostname[1024];
    char device[256];
    // Interface of the IP-over-DAB multicast output; empty: chosen by the routes.
    char multicastif[64];
    // Size in MiB each MOT/PAD service directory may take; 0: no limit.
    int motquota;
    // The Icecast server every programme is fed to as a source: http://HOST:PORT, empty: none.
    char icecast[256];
    char icecastuser[64];
    char icecastpassword[128];  // never logged, never shown
    char icecastmount[128];     // %s service id, %l label
    char icecastservices[512];  // all, or service ids
    int icecastpublic;
    ensemble_entry_t ens[MAX_ENSEMBLES];
    int ensemblecnt;
    int emulate;
    // Guards ens and ensemblecnt (shared by the scanner, the setup page and the ensemble file),
    // the values the setup page writes, and serialises the writes of both files.
    pthread_mutex_t lck;

private:
    int read_ensemblefile_locked();
    int write_ensemblefile_locked();
    int scans_;  // scans running, guarded by lck
};

class statistic {
public:
    explicit statistic(ensemble *p) : e(p) { clear(); }
    void clear();

    ensemble *e;
    uint64_t fibcnt_sum, fibcnt_err;
    uint64_t figcnt_sum, figcnt_err, figcnt_unk;
    uint64_t rdicnt_sum, rdicnt_err;
    unsigned int rdicnt_ovr;
    std::atomic<uint64_t> httpcnt_req;  // connection threads count concurrently
    std::atomic<int> httpcnt_con;
    uint64_t msccnt_sum, msccnt_err;

    // The antenna's own figures (SNR, EDI counters), as the watcher last read them.
    void set_source(const dabcommon::source_stats &s) {
        std::lock_guard<std::mutex> g(source_lock_);
        source_ = s;
    }
    dabcommon::source_stats source() const {
        std::lock_guard<std::mutex> g(source_lock_);
        return source_;
    }

private:
    mutable std::mutex source_lock_;
    dabcommon::source_stats source_;
};
