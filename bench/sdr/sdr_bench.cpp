// Our software receiver beside welle-cli on the same IQ files: the share of FIBs lost on a
// ladder of noise levels and under carrier offsets, a sample-rate offset and a second path,
// and the CPU per second of signal for the FIC plus one 128 kbit/s programme.
//
// Signal: the demo ensemble 12C (sub-channel 1 is "Demo Tones", Layer II at 128 kbit/s)
// from dabgen, 11 s, through dabmod per condition (u8 at 2.048 Msps, noise seed 1; the SNR
// is dabmod's, signal over noise in the whole 2.048 MHz). The offsets and the second path
// are applied at 12 dB.
//
// Ours runs in this process as the server runs it: sdr_source on the recording (OFDM,
// FIC, the routed sub-channels, one ETI frame per CIF), as fast as it goes. welle-cli reads
// the file in real time and starts again at its end, with -D so that it writes every FIB
// it decodes to dump.fic, and -T (no TII).
//
// Lost FIBs, scored alike for both. welle-cli reports no FIC CRC errors (nothing on its
// outputs) and writes only FIBs whose CRC holds: at 2 and 3 dB every FIB in its dump.fic
// had a good CRC and was one the ETI carried, at 2 dB there were far fewer. So a
// receiver's CRC-good FIBs, in the order it decoded them, are placed on the ETI's FIB
// sequence (repeated as the file loops), each at the next place that carries the same 32
// bytes; the first FIB of every CIF holds the CIF count and occurs once, so the placement
// cannot run ahead. Lost = places of the window that got no FIB. The window is the first
// pass's transmission frames from the one in which the receiver first decoded a FIB (its
// first sync, as near as can be seen from outside) to N-2: never frame 0, which only a
// receiver that starts exactly at the file's first sample could use, nor the last one, which
// welle-cli loses when it jumps back to the start of the file. Shown beside: when the first
// FIB came and the longest time without any after it (welle-cli decodes the first frames of
// a signal kHz off, then loses it for seconds while its coarse frequency correction works).
// A FIB with a good CRC that the ETI never carried would be a false accept: counted apart.
//
// CPU: ours is the process's CPU time while sdr_source decodes the 12 dB file (reading and
// converting the samples included), with sub-channel 1 routed, and with nothing routed
// (nobody listening: FIC only). welle-cli is its utime+stime over 10 s of wall time after 3 s
// of start-up, the only process of the benchmark then; it paces the file in real time, so wall
// seconds are seconds of signal. "FIC plus one programme" is -p "Demo Tones": it decodes
// that programme to audio as well, which our server never does (it streams the MP2 as
// broadcast); its audio goes to ALSA's null device (an .asoundrc in a HOME of its own).
// FIC only is welle-cli without -p and -D.
//
// Two welle-cli runs go side by side, and nothing else of the benchmark meanwhile (ours takes
// about a second per condition); they run at nice -10 where that is allowed: held up by other
// work on the machine, welle-cli drops samples (whole frames lost at 20 dB under a load of 5
// on two cores). The load average is printed with the figures.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/crc16.h"
#include "common/eti_reader.h"
#include "sdr/iq_source.h"
#include "sdr/sdr_source.h"
#include "support/bench_process.h"

extern char **environ;

namespace {

constexpr int eti_seconds = 11;
constexpr double sample_rate = 2.048e6;
constexpr size_t frame_samples = 196608;  // 96 ms, mode I
constexpr int fibs_per_frame = 12;
constexpr int programme_subchid = 1;
constexpr const char *programme_label = "Demo Tones";
constexpr double moderate_snr = 12;
constexpr double ladder_floor = -3;                    // lowest SNR tried when a receiver still decodes
constexpr double fine_below = 4;                       // dB: steps of 0.5 dB from here down, 1 dB above
constexpr double bad_limit = 1.0;                      // % of FIBs lost
constexpr double welle_after_pass = 3;                 // s: its dump is written in blocks of 128 FIBs
constexpr double welle_settle = 3, welle_window = 10;  // s, CPU
constexpr int welle_nice = -10;

double now_s() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double process_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// utime + stime of a child, all its threads; -1 once it is gone.
double child_cpu_s(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t p = all.rfind(')');
    if (p == std::string::npos) return -1;
    // after the name: state is field 3, utime and stime fields 14 and 15
    std::vector<std::string> fields;
    for (size_t i = p + 2; i < all.size();) {
        size_t j = all.find(' ', i);
        if (j == std::string::npos) j = all.size();
        fields.push_back(all.substr(i, j - i));
        i = j + 1;
    }
    if (fields.size() < 13) return -1;
    return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---- child processes ----

struct child {
    pid_t pid = -1;
    int stdin_w = -1;  // held open: welle-cli reads commands from stdin and spins at its end
};

// Everything the child needs is made before fork: the parent has threads.
child launch(const std::vector<std::string> &argv, const std::string &cwd, const std::string &log, int nice_value,
             const std::vector<std::string> &env) {
    child c;
    std::vector<char *> args, envp;
    for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return c;
    c.pid = fork();
    if (c.pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        dup2(in[0], 0);
        if (nice_value) setpriority(PRIO_PROCESS, 0, nice_value);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    if (c.pid < 0) {
        close(in[1]);
        return c;
    }
    c.stdin_w = in[1];
    return c;
}

void finish(child &c) {
    benchsupport::stop(c.pid, SIGTERM);
    if (c.stdin_w >= 0) close(c.stdin_w);
    c = child{};
}

std::vector<std::string> plain_env() {
    std::vector<std::string> env;
    for (char **e = environ; *e; e++) env.emplace_back(*e);
    return env;
}

// Exit status of a tool run to its end; -1 when it could not be waited for.
int run_tool(const std::vector<std::string> &argv, const std::string &cwd, const std::string &log) {
    child c = launch(argv, cwd, log, 0, plain_env());
    if (c.pid < 0) return -1;
    int status = 0;
    const pid_t r = waitpid(c.pid, &status, 0);
    close(c.stdin_w);
    return r == c.pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- the ETI's FIBs and the scoring ----

using fib = std::array<uint8_t, dabcommon::FIB_SIZE>;

bool crc_ok(const fib &b) { return dabcommon::crc16(b.data(), dabcommon::FIB_DATA_SIZE) == (b[30] << 8 | b[31]); }

struct eti_fibs {
    std::vector<fib> seq;  // as transmitted, 12 per transmission frame
    int frames = 0;        // transmission frames
    std::string error;
};

eti_fibs load_eti(const std::string &path) {
    eti_fibs r;
    dabcommon::eti_reader in;
    if (in.open(path.c_str()) != 1) {
        r.error = "cannot read " + path;
        return r;
    }
    auto f = std::make_unique<dabcommon::eti_frame>();
    bool started = false;
    std::vector<fib> all;
    while (in.next(*f) == 1) {
        // dabmod starts a transmission frame at the first ETI frame whose FCT is a multiple of 4
        if (!started && f->fct % 4 != 0) continue;
        started = true;
        if (f->fib_count() != 3) {
            r.error = "ETI frame without its 3 FIBs";
            return r;
        }
        for (int i = 0; i < 3; i++) {
            fib b;
            std::memcpy(b.data(), f->fib(i), b.size());
            all.push_back(b);
        }
    }
    r.frames = static_cast<int>(all.size() / fibs_per_frame);
    all.resize(static_cast<size_t>(r.frames) * fibs_per_frame);
    r.seq = std::move(all);
    if (r.frames < 10) r.error = "dabgen wrote too short an ETI file";
    return r;
}

struct score {
    int placed = 0;        // window places that got a FIB
    int window = 0;        // places in the window
    int foreign = 0;       // CRC good, yet none of the ETI's
    int first_frame = -1;  // the transmission frame of the first FIB placed in the window
    int longest_gap = 0;   // frames in a row without any FIB, after the first
    double bad_pct() const { return window ? 100.0 * (window - placed) / window : 100; }
};

class fib_placer {
public:
    explicit fib_placer(const std::vector<fib> &seq) : period_(seq.size()) {
        for (size_t i = 0; i < seq.size(); i++) where_[key(seq[i])].push_back(i);
    }
    // decoded: CRC-good FIBs in decoding order; the window: from the first frame that got
    // one, at least frame `first`, up to frame `last` (excluded) of the first pass.
    score count(const std::vector<fib> &decoded, int first, int last) const {
        score s;
        std::vector<size_t> places;
        size_t next = 0;  // the earliest place the next FIB can take
        for (const fib &b : decoded) {
            const auto it = where_.find(key(b));
            if (it == where_.end()) {
                s.foreign++;
                continue;
            }
            const std::vector<size_t> &at = it->second;
            const size_t pass = next / period_, from = next % period_;
            const auto k = std::lower_bound(at.begin(), at.end(), from);
            const size_t place = k != at.end() ? pass * period_ + *k : (pass + 1) * period_ + at.front();
            places.push_back(place);
            next = place + 1;
        }
        const size_t lo = static_cast<size_t>(first) * fibs_per_frame, hi = static_cast<size_t>(last) * fibs_per_frame;
        size_t from = hi;
        for (size_t p : places)
            if (p >= lo && p < hi) {
                from = p / fibs_per_frame * fibs_per_frame;
                s.first_frame = static_cast<int>(p / fibs_per_frame);
                break;
            }
        s.window = static_cast<int>(hi - (from < hi ? from : lo));
        std::vector<bool> heard(static_cast<size_t>(last), false);
        for (size_t p : places)
            if (p >= from && p < hi) {
                s.placed++;
                heard[p / fibs_per_frame] = true;
            }
        for (int f = std::max(s.first_frame, 0), run = 0; s.first_frame >= 0 && f < last; f++) {
            run = heard[static_cast<size_t>(f)] ? 0 : run + 1;
            s.longest_gap = std::max(s.longest_gap, run);
        }
        return s;
    }

private:
    static std::string key(const fib &b) { return std::string(reinterpret_cast<const char *>(b.data()), b.size()); }
    size_t period_;
    std::unordered_map<std::string, std::vector<size_t>> where_;
};

// ---- ours ----

struct our_run {
    bool ok = false;
    std::string error;
    std::vector<fib> good;
    uint64_t programme_frames = 0;  // CIFs whose sub-channel 1 starts with an MPEG audio sync word
    double cpu_s = 0, signal_s = 0;
};

our_run run_ours(const std::string &iq, const std::string &name, bool programme) {
    our_run r;
    struct stat st {};
    auto in = std::make_unique<file_iq_source>();
    if (stat(iq.c_str(), &st) != 0 || !in->open(iq, iq_format::u8, false)) {
        r.error = "cannot open " + iq;
        return r;
    }
    r.signal_s = static_cast<double>(st.st_size) / 2 / sample_rate;
    const double c0 = process_cpu_s(), t0 = now_s();
    {
        sdr_source src(std::move(in), name);
        std::bitset<64> routed;
        if (programme) routed.set(programme_subchid);
        src.set_routed(routed);
        auto f = std::make_unique<dabcommon::eti_frame>();
        for (;;) {
            const int n = src.next(*f, 1000);
            if (n == 0) break;
            if (n < 0) {
                if (now_s() - t0 > 30 * r.signal_s + 60) {
                    r.error = "the receiver stopped delivering frames";
                    return r;
                }
                continue;
            }
            for (int i = 0; i < f->fib_count(); i++) {
                if (!f->fib_crc_ok(i)) continue;
                fib b;
                std::memcpy(b.data(), f->fib(i), b.size());
                r.good.push_back(b);
            }
            const int s = f->find_stream(programme_subchid);
            if (s >= 0 && f->stc[static_cast<size_t>(s)].len >= 2) {
                const uint8_t *p = f->stream_data(s);
                if (p[0] == 0xFF && (p[1] & 0xF0) == 0xF0) r.programme_frames++;
            }
        }
    }
    r.cpu_s = process_cpu_s() - c0;
    r.ok = true;
    return r;
}

// ---- welle-cli ----

struct welle_run {
    std::vector<fib> good;
    int bad_crc = 0;  // in dump.fic: none expected
};

std::vector<std::string> welle_env(const std::string &home) {
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        if (std::strncmp(*e, "HOME=", 5) != 0) env.emplace_back(*e);
    env.push_back("HOME=" + home);
    return env;
}

welle_run read_welle_dump(const std::string &dir) {
    welle_run r;
    std::ifstream f(dir + "/dump.fic", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (size_t i = 0; i + dabcommon::FIB_SIZE <= all.size(); i += dabcommon::FIB_SIZE) {
        fib b;
        std::memcpy(b.data(), all.data() + i, b.size());
        if (crc_ok(b))
            r.good.push_back(b);
        else
            r.bad_crc++;
    }
    return r;
}

// ---- conditions ----

struct condition {
    std::string name;
    double snr = 0;
    std::vector<std::string> impairment;  // dabmod options besides the noise
    bool ladder = false;
    std::string iq;
    bool made = false;
    our_run ours;
    welle_run welle;
    score ours_score, welle_score;
    bool done = false;
};

std::string fmt(const char *f, double v) {
    char b[64];
    snprintf(b, sizeof b, f, v);
    return b;
}

std::string db(double v) { return fmt("%g dB", v); }

std::vector<std::string> dabmod_argv(const condition &c, const std::string &eti) {
    std::vector<std::string> a = {DABMOD_BIN, "-q", "-o", c.iq, "--snr", fmt("%g", c.snr), "--seed", "1"};
    a.insert(a.end(), c.impairment.begin(), c.impairment.end());
    a.push_back(eti);
    return a;
}

// Runs dabmod for each condition not yet made, two at a time; the conditions it failed for.
std::string make_iq(std::vector<condition *> cs, const std::string &eti, const std::string &dir) {
    std::string failed;
    for (size_t i = 0; i < cs.size(); i += 2) {
        std::vector<std::pair<condition *, child>> run;
        for (size_t j = i; j < cs.size() && j < i + 2; j++) {
            if (cs[j]->made) continue;
            run.emplace_back(cs[j], launch(dabmod_argv(*cs[j], eti), dir, cs[j]->iq + ".log", 0, plain_env()));
        }
        for (auto &[c, ch] : run) {
            int status = 0;
            const bool ok =
                ch.pid > 0 && waitpid(ch.pid, &status, 0) == ch.pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
            if (ch.stdin_w >= 0) close(ch.stdin_w);
            c->made = ok;
            if (!ok) failed += " " + c->name;
        }
    }
    return failed;
}

// ---- output ----

// One line of a table, the first column left-aligned; an empty list of cells draws the rule.
void row(const std::vector<int> &widths, const std::vector<std::string> &cells) {
    printf("|");
    for (size_t i = 0; i < widths.size(); i++) {
        if (cells.empty())
            printf("%s|", std::string(static_cast<size_t>(widths[i]) + 2, '-').c_str());
        else
            printf(i ? " %*s |" : " %-*s |", widths[i], i < cells.size() ? cells[i].c_str() : "");
    }
    printf("\n");
}

// Bad FIBs, when the first came, the longest time without any after it.
std::vector<std::string> cells(const score &s, double frame_s) {
    if (s.first_frame < 0) return {fmt("%.2f%%", s.bad_pct()), "never", "-"};
    return {fmt("%.2f%%", s.bad_pct()), fmt("%.2f s", s.first_frame * frame_s), fmt("%.2f s", s.longest_gap * frame_s)};
}

// Going down the ladder (highest SNR first), the last step before a receiver first lost 1%
// or more.
std::string lowest_under_limit(const std::vector<const condition *> &ladder, bool welle) {
    std::string last = "none";
    for (const condition *c : ladder) {
        const double bad = welle ? c->welle_score.bad_pct() : c->ours_score.bad_pct();
        if (bad >= bad_limit) return last;
        last = db(c->snr);
    }
    return last + " (the lowest tried)";
}

// The 1-minute load average, -1 when unknown.
double load_average() {
    double l = -1;
    if (FILE *f = fopen("/proc/loadavg", "r")) {
        if (fscanf(f, "%lf", &l) != 1) l = -1;
        fclose(f);
    }
    return l;
}

int rm_tree(const std::string &dir) { return system(("rm -rf '" + dir + "'").c_str()); }

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    const std::string welle_bin = WELLE_CLI_BIN;
    const bool have_welle = access(welle_bin.c_str(), X_OK) == 0;
    std::string welle_version;
    if (have_welle) welle_version = benchsupport::first_line(welle_bin + " -v");

    // In memory where there is /dev/shm (about 150 MB at a time): welle-cli writes its dumps
    // while it decodes in real time, and a disk busy with other writes must not stall it.
    char shm_tmpl[] = "/dev/shm/sdr_bench.XXXXXX", tmp_tmpl[] = "/tmp/sdr_bench.XXXXXX";
    const char *tmpl = mkdtemp(shm_tmpl);
    if (!tmpl) tmpl = mkdtemp(tmp_tmpl);
    if (!tmpl) {
        perror("sdr_bench: temporary directory");
        return 1;
    }
    const std::string dir = tmpl;
    // The receiver says when it synchronises and when a file ends: into a log of its own, not
    // between the table's lines. Our progress and errors go to the saved stderr.
    const int saved_err = dup(2);
    FILE *progress = fdopen(saved_err, "w");
    if (!progress) return 1;
    setvbuf(progress, nullptr, _IOLBF, 0);
    const std::string receiver_log = dir + "/receiver.log";
    {
        const int fd = open(receiver_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 2);
            close(fd);
        }
    }
    int status = 0;
    auto fail = [&](const std::string &what) {
        fprintf(progress, "sdr_bench: %s\n", what.c_str());
        status = 1;
    };

    const std::string eti = dir + "/12c.eti";
    eti_fibs source;
    if (run_tool({DABGEN_BIN, "-q", "-d", std::to_string(eti_seconds), "-o", eti,
                  std::string(DAB_SOURCE_DIR) + "/demo/12c.ensemble"},
                 dir, dir + "/dabgen.log") != 0) {
        fail("dabgen failed:\n" + benchsupport::tail(dir + "/dabgen.log"));
    } else {
        source = load_eti(eti);
        if (!source.error.empty()) fail(source.error);
    }
    if (status) {
        rm_tree(dir);
        return status;
    }
    const fib_placer placer(source.seq);
    const int window_first = 1, window_last = source.frames - 1;
    const double pass_s = static_cast<double>(source.frames) * frame_samples / sample_rate;

    const std::string alsa_home = dir + "/home";
    mkdir(alsa_home.c_str(), 0755);
    {
        std::ofstream rc(alsa_home + "/.asoundrc");
        rc << "pcm.!default { type null }\n";
    }
    const std::vector<std::string> wenv = welle_env(alsa_home);

    std::deque<std::unique_ptr<condition>> all;
    auto add = [&](const std::string &name, double snr, std::vector<std::string> imp, bool ladder) {
        auto c = std::make_unique<condition>();
        c->name = name;
        c->snr = snr;
        c->impairment = std::move(imp);
        c->ladder = ladder;
        c->iq = dir + "/c" + std::to_string(all.size()) + ".iq";
        all.push_back(std::move(c));
        return all.back().get();
    };
    std::deque<condition *> todo;
    for (double snr : {20.0, 12.0, 9.0, 7.0, 5.0}) todo.push_back(add("SNR " + db(snr), snr, {}, true));
    condition *cpu_condition = todo[1];
    const std::string at = " at " + db(moderate_snr);
    todo.push_back(add("carrier +5 kHz" + at, moderate_snr, {"--cfo", "5000"}, false));
    todo.push_back(add("carrier -23.4 kHz" + at, moderate_snr, {"--cfo", "-23400"}, false));
    todo.push_back(add("sample rate +20 ppm" + at, moderate_snr, {"--sro", "20"}, false));
    todo.push_back(add("second path 40 us, -6 dB" + at, moderate_snr, {"--multipath", "40,-6"}, false));

    // A step below the lowest of the ladder while a receiver has not yet lost 1% on it; finer
    // steps near the limit of both.
    auto next_step = [&]() -> condition * {
        double lowest = 1e9;
        bool ours_failed = false, welle_failed = !have_welle;
        for (auto &c : all) {
            if (!c->ladder) continue;
            lowest = std::min(lowest, c->snr);
            if (!c->done) continue;
            ours_failed = ours_failed || c->ours_score.bad_pct() >= bad_limit;
            welle_failed = welle_failed || c->welle_score.bad_pct() >= bad_limit;
        }
        const double snr = lowest - (lowest > fine_below ? 1 : 0.5);
        if ((ours_failed && welle_failed) || snr < ladder_floor) return nullptr;
        return add("SNR " + db(snr), snr, {}, true);
    };

    fprintf(progress, "sdr_bench: %d s of the demo ensemble, %zu conditions and more SNR steps as needed%s\n",
            eti_seconds, todo.size(), have_welle ? ", welle-cli beside ours in real time" : "");
    bool welle_broken = false;
    int welle_ran_at = -20;  // the highest nice value a welle-cli run had
    const double load_start = load_average();
    while (!status) {
        std::vector<condition *> pair;
        while (pair.size() < 2 && !todo.empty()) {
            pair.push_back(todo.front());
            todo.pop_front();
        }
        while (pair.size() < 2)
            if (condition *c = next_step())
                pair.push_back(c);
            else
                break;
        if (pair.empty()) break;
        {
            const std::string failed = make_iq(pair, eti, dir);
            if (!failed.empty()) {
                fail("dabmod failed for" + failed);
                break;
            }
        }
        std::string ours_failed;
        for (condition *c : pair) {
            c->ours = run_ours(c->iq, c->name, true);
            if (!c->ours.ok) ours_failed += c->name + ": " + c->ours.error + "\n";
        }
        if (!ours_failed.empty()) {
            fail(ours_failed + benchsupport::tail(receiver_log));
            break;
        }

        std::vector<child> welle(pair.size());
        const bool use_welle = have_welle && !welle_broken;
        const double t0 = now_s();
        for (size_t i = 0; use_welle && i < pair.size(); i++) {
            const std::string wdir = pair[i]->iq + ".welle";
            mkdir(wdir.c_str(), 0755);
            welle[i] = launch({welle_bin, "-f", pair[i]->iq, "-D", "-T"}, wdir, wdir + "/log", welle_nice, wenv);
        }
        if (use_welle) {
            while (now_s() - t0 < pass_s + welle_after_pass) usleep(100000);
            for (size_t i = 0; i < pair.size(); i++) {
                const std::string wdir = pair[i]->iq + ".welle";
                if (welle[i].pid > 0)
                    welle_ran_at = std::max(welle_ran_at, getpriority(PRIO_PROCESS, static_cast<id_t>(welle[i].pid)));
                if ((welle[i].pid < 0 || !benchsupport::running(welle[i].pid)) && !welle_broken) {
                    welle_broken = true;
                    fail("welle-cli (" + welle_bin + ") did not keep running; its output:\n" +
                         benchsupport::tail(wdir + "/log"));
                }
                finish(welle[i]);
                pair[i]->welle = read_welle_dump(wdir);
            }
        }
        for (condition *c : pair) {
            c->ours_score = placer.count(c->ours.good, window_first, window_last);
            if (use_welle && !welle_broken) c->welle_score = placer.count(c->welle.good, window_first, window_last);
            c->done = true;
            fprintf(progress, "  %-36s ours %6.2f%%", c->name.c_str(), c->ours_score.bad_pct());
            if (use_welle && !welle_broken) fprintf(progress, "   welle-cli %6.2f%%", c->welle_score.bad_pct());
            fprintf(progress, "\n");
            rm_tree(c->iq + ".welle");
            if (c != cpu_condition) unlink(c->iq.c_str());
        }
    }

    // CPU, one receiver at a time and nothing else of ours running.
    our_run cpu_prog, cpu_fic;
    double welle_prog = -1, welle_fic = -1;
    if (!status) {
        cpu_prog = run_ours(cpu_condition->iq, "cpu", true);
        cpu_fic = run_ours(cpu_condition->iq, "cpu", false);
        if (!cpu_prog.ok || !cpu_fic.ok)
            fail("our receiver failed on " + cpu_condition->iq);
        else if (cpu_prog.programme_frames == 0)
            fail("sub-channel 1 routed, yet no audio frame came out of it");
    }
    auto welle_cpu = [&](std::vector<std::string> args, const std::string &name) {
        const std::string wdir = dir + "/cpu-" + name;
        mkdir(wdir.c_str(), 0755);
        std::vector<std::string> argv = {welle_bin, "-f", cpu_condition->iq};
        argv.insert(argv.end(), args.begin(), args.end());
        child c = launch(argv, wdir, wdir + "/log", welle_nice, wenv);
        usleep(static_cast<useconds_t>(welle_settle * 1e6));
        const double c0 = child_cpu_s(c.pid), t0 = now_s();
        usleep(static_cast<useconds_t>(welle_window * 1e6));
        const double c1 = child_cpu_s(c.pid), t1 = now_s();
        const bool alive = c.pid > 0 && benchsupport::running(c.pid);
        finish(c);
        if (!alive || c0 < 0 || c1 < 0) {
            fail("welle-cli " + name + " did not keep running; its output:\n" + benchsupport::tail(wdir + "/log"));
            return -1.0;
        }
        return (c1 - c0) / (t1 - t0);
    };
    if (!status && have_welle) {
        welle_prog = welle_cpu({"-p", programme_label, "-T"}, "programme");
        welle_fic = welle_cpu({"-T"}, "fic");
    }
    const double load_end = load_average();
    fflush(stderr);
    dup2(saved_err, 2);

    // ---- the tables ----
    printf(
        "signal: demo ensemble 12C, %d transmission frames (%.1f s) through dabmod, noise seed 1, u8 at 2.048 Msps\n",
        source.frames, pass_s);
    printf("machine: %ld cores, load average %.1f at the start, %.1f at the end%s\n", sysconf(_SC_NPROCESSORS_ONLN),
           load_start, load_end, have_welle ? fmt("; welle-cli at nice %.0f", welle_ran_at).c_str() : "");
    printf("anchor: %s\n", have_welle ? (welle_version.empty() ? welle_bin.c_str() : welle_version.c_str())
                                      : ("welle-cli not installed at " + welle_bin +
                                         " (scripts/install-bench-deps installs welle.io): ours alone")
                                            .c_str());
    printf(
        "bad FIBs: FIBs not decoded with a good CRC from the first frame with one (first FIB, >= frame 1) to frame %d "
        "of the file, the same scoring for both; gap: the longest time without any FIB after the first\n",
        window_last - 1);
    std::vector<const condition *> ladder, others;
    for (auto &c : all)
        if (c->done) (c->ladder ? ladder : others).push_back(c.get());
    std::sort(ladder.begin(), ladder.end(), [](const condition *a, const condition *b) { return a->snr > b->snr; });
    const bool welle_col = have_welle && !welle_broken;
    const double frame_s = frame_samples / sample_rate;
    std::vector<int> widths = {34, 13, 9, 8};
    std::vector<std::string> head = {"condition", "ours bad FIBs", "first FIB", "gap"};
    if (welle_col) {
        widths.insert(widths.end(), {18, 9, 8});
        head.insert(head.end(), {"welle-cli bad FIBs", "first FIB", "gap"});
    }
    row(widths, head);
    row(widths, {});
    int foreign_ours = 0, foreign_welle = 0, bad_crc_welle = 0;
    for (const auto *list : {&ladder, &others})
        for (const condition *c : *list) {
            std::vector<std::string> line = {c->name};
            for (const std::string &x : cells(c->ours_score, frame_s)) line.push_back(x);
            if (welle_col)
                for (const std::string &x : cells(c->welle_score, frame_s)) line.push_back(x);
            row(widths, line);
            foreign_ours += c->ours_score.foreign;
            foreign_welle += c->welle_score.foreign;
            bad_crc_welle += c->welle.bad_crc;
        }
    if (!status) {
        printf("lowest SNR with under %g%% bad FIBs: ours %s", bad_limit, lowest_under_limit(ladder, false).c_str());
        if (welle_col) printf(", welle-cli %s", lowest_under_limit(ladder, true).c_str());
        printf("\n");
    }
    if (welle_col) {
        std::string worse;
        for (const auto *list : {&ladder, &others})
            for (const condition *c : *list)
                if (c->ours_score.bad_pct() > c->welle_score.bad_pct()) worse += (worse.empty() ? "" : ", ") + c->name;
        printf("ours at least as good as welle-cli everywhere: %s\n", worse.empty() ? "yes" : ("no: " + worse).c_str());
    }
    printf("FIBs with a good CRC that the ETI never carried: ours %d", foreign_ours);
    if (welle_col)
        printf(", welle-cli %d; FIBs with a bad CRC in welle-cli's dump.fic: %d", foreign_welle, bad_crc_welle);
    printf("\n\n");

    if (cpu_prog.ok && cpu_fic.ok) {
        printf(
            "CPU seconds per second of signal, %s file (welle-cli: %.0f s of wall time after %.0f s; ours: the whole "
            "file)\n",
            cpu_condition->name.c_str(), welle_window, welle_settle);
        const std::vector<int> cw = {50, 7, 9, 5};
        row(cw, {"case", "ours", "welle-cli", "ratio"});
        row(cw, {});
        auto cpu_row = [&](const char *name, const our_run &o, double w) {
            const double ours = o.cpu_s / o.signal_s;
            row(cw, {name, fmt("%.3f", ours), w > 0 ? fmt("%.3f", w) : "-", w > 0 ? fmt("%.2f", ours / w) : ""});
        };
        cpu_row("FIC + sub-channel 1, 128 kbit/s (welle-cli -p)", cpu_prog, welle_prog);
        cpu_row("FIC only, nobody listening (welle-cli, no -p/-D)", cpu_fic, welle_fic);
        printf(
            "ratio: ours / welle-cli (goal: 0.5 at most); welle-cli -p also decodes the MP2 audio, ours passes it "
            "on; sub-channel 1 gave %llu audio frames in %.1f s\n",
            static_cast<unsigned long long>(cpu_prog.programme_frames), cpu_prog.signal_s);
    }
    rm_tree(dir);
    return status;
}
