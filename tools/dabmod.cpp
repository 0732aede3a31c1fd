// dabmod: modulates an ETI(NI) file into DAB transmission mode I complex baseband at 2.048 Msps,
// with optional channel impairments, for receivers that read IQ files.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "impairments.h"
#include "modulator.h"

namespace {

enum class sample_format { u8, s8, s16le, cf32 };

void usage(FILE *f) {
    fprintf(f,
            "Usage: dabmod [options] [ETI]\n"
            "Modulates an ETI(NI) file (default: standard input) into DAB transmission mode I\n"
            "complex baseband at 2.048 Msps.\n"
            "\n"
            "  -o FILE              output file (default: standard output)\n"
            "  -f u8|s8|s16le|cf32  sample format (default u8, as rtl_sdr writes it)\n"
            "  -l, --level DB       RMS of the signal relative to full scale (default -12)\n"
            "  -d, --duration S     stop after S seconds of signal\n"
            "  -n, --loops N        play the input N times (default 1, 0 = endlessly)\n"
            "  --snr DB             white Gaussian noise at DB below the received signal\n"
            "  --cfo HZ             carrier frequency offset\n"
            "  --sro PPM            sample-rate offset (positive: the receiver samples faster)\n"
            "  --multipath US,DB    a second path US microseconds later, DB relative to the first\n"
            "  --seed N             seed of the noise (default 1)\n"
            "  -q                   no summary on standard error\n"
            "  -h, --help           this text\n");
}

bool parse_double(const char *s, double &v) {
    char *end = nullptr;
    errno = 0;
    v = strtod(s, &end);
    return end != s && *end == '\0' && errno == 0 && std::isfinite(v);
}

bool parse_u64(const char *s, uint64_t &v) {
    char *end = nullptr;
    errno = 0;
    if (*s == '-' || *s == '\0') return false;
    unsigned long long x = strtoull(s, &end, 0);
    v = x;
    return *end == '\0' && errno == 0;
}

// Samples in the chosen format, clipped at full scale.
class sample_writer {
public:
    sample_writer(int fd, sample_format fmt, float scale) : fd_(fd), fmt_(fmt), scale_(scale) {}

    // 1 = written, 0 = the reader went away, -1 = write error (errno set).
    int write(const std::vector<dabmod::cfloat> &s) {
        buf_.clear();
        for (const dabmod::cfloat &z : s) {
            const float v[2] = {z.real() * scale_, z.imag() * scale_};
            for (float x : v) put(x);
        }
        size_t off = 0;
        while (off < buf_.size()) {
            ssize_t w = ::write(fd_, buf_.data() + off, buf_.size() - off);
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno == EPIPE ? 0 : -1;
            }
            off += static_cast<size_t>(w);
        }
        return 1;
    }

private:
    void put(float x) {
        x = std::fmax(-1.0f, std::fmin(1.0f, x));
        switch (fmt_) {
        case sample_format::u8:
            // rtl_sdr's bytes: 127.5 is zero
            buf_.push_back(static_cast<uint8_t>(std::lround(127.5f + 127.5f * x)));
            break;
        case sample_format::s8:
            buf_.push_back(static_cast<uint8_t>(static_cast<int8_t>(std::lround(127.0f * x))));
            break;
        case sample_format::s16le: {
            const auto v = static_cast<uint16_t>(static_cast<int16_t>(std::lround(32767.0f * x)));
            buf_.push_back(static_cast<uint8_t>(v));
            buf_.push_back(static_cast<uint8_t>(v >> 8));
            break;
        }
        case sample_format::cf32: {
            uint8_t b[sizeof x];
            memcpy(b, &x, sizeof x);
            buf_.insert(buf_.end(), b, b + sizeof x);
            break;
        }
        }
    }

    int fd_;
    sample_format fmt_;
    float scale_;
    std::vector<uint8_t> buf_;
};

}  // namespace

int main(int argc, char **argv) {
    const char *out_name = nullptr, *in_name = nullptr;
    sample_format fmt = sample_format::u8;
    double level_db = -12, duration = 0;
    uint64_t loops = 1;
    bool quiet = false;
    dabmod::impairment_params ip;
    ip.signal_power = 1;
    ip.sample_rate = dabcommon::OFDM_SAMPLE_RATE;

    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const bool has_arg = i + 1 < argc;
        double d = 0;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "-q") {
            quiet = true;
        } else if (a == "-o" && has_arg) {
            out_name = argv[++i];
        } else if (a == "-f" && has_arg) {
            const std::string f = argv[++i];
            if (f == "u8") fmt = sample_format::u8;
            else if (f == "s8") fmt = sample_format::s8;
            else if (f == "s16le") fmt = sample_format::s16le;
            else if (f == "cf32") fmt = sample_format::cf32;
            else {
                fprintf(stderr, "dabmod: unknown sample format %s\n", f.c_str());
                return 2;
            }
        } else if ((a == "-l" || a == "--level") && has_arg) {
            if (!parse_double(argv[++i], level_db) || level_db > 0 || level_db < -60) {
                fprintf(stderr, "dabmod: level must be -60..0 dB\n");
                return 2;
            }
        } else if ((a == "-d" || a == "--duration") && has_arg) {
            if (!parse_double(argv[++i], duration) || duration <= 0 || duration > 86400) {
                fprintf(stderr, "dabmod: bad duration %s\n", argv[i]);
                return 2;
            }
        } else if ((a == "-n" || a == "--loops") && has_arg) {
            if (!parse_u64(argv[++i], loops)) {
                fprintf(stderr, "dabmod: bad loop count %s\n", argv[i]);
                return 2;
            }
        } else if (a == "--snr" && has_arg) {
            if (!parse_double(argv[++i], d)) {
                fprintf(stderr, "dabmod: bad SNR %s\n", argv[i]);
                return 2;
            }
            ip.noise = true;
            ip.snr_db = d;
        } else if (a == "--cfo" && has_arg) {
            if (!parse_double(argv[++i], ip.cfo_hz)) {
                fprintf(stderr, "dabmod: bad frequency offset %s\n", argv[i]);
                return 2;
            }
        } else if (a == "--sro" && has_arg) {
            if (!parse_double(argv[++i], ip.sro_ppm)) {
                fprintf(stderr, "dabmod: bad sample-rate offset %s\n", argv[i]);
                return 2;
            }
        } else if (a == "--multipath" && has_arg) {
            std::string v = argv[++i];
            const size_t comma = v.find(',');
            if (comma == std::string::npos || !parse_double(v.substr(0, comma).c_str(), ip.path2_delay_us) ||
                !parse_double(v.substr(comma + 1).c_str(), ip.path2_gain_db)) {
                fprintf(stderr, "dabmod: --multipath wants DELAY_US,GAIN_DB\n");
                return 2;
            }
            ip.multipath = true;
        } else if (a == "--seed" && has_arg) {
            if (!parse_u64(argv[++i], ip.seed)) {
                fprintf(stderr, "dabmod: bad seed %s\n", argv[i]);
                return 2;
            }
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            fprintf(stderr, "dabmod: unknown option or missing value: %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else if (!in_name) {
            in_name = argv[i];
        } else {
            usage(stderr);
            return 2;
        }
    }
    const char *bad = dabmod::impairment_params_error(ip);
    if (*bad) {
        fprintf(stderr, "dabmod: %s\n", bad);
        return 2;
    }

    dabcommon::eti_reader in;
    if (!in.open(in_name ? in_name : "-")) {
        fprintf(stderr, "dabmod: %s: %s\n", in_name ? in_name : "standard input", strerror(errno));
        return 1;
    }
    int fd = STDOUT_FILENO;
    if (out_name && strcmp(out_name, "-") != 0) {
        fd = open(out_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            fprintf(stderr, "dabmod: %s: %s\n", out_name, strerror(errno));
            return 1;
        }
    }
    // a reader that went away ends the output; that is not an error
    signal(SIGPIPE, SIG_IGN);

    const double full_scale_rms = std::pow(10.0, level_db / 20);
    sample_writer writer(fd, fmt, static_cast<float>(full_scale_rms));
    dabmod::modulator mod;
    dabmod::impairments imp(ip);
    const uint64_t max_frames =
        duration > 0 ? static_cast<uint64_t>(std::ceil(duration * dabcommon::OFDM_SAMPLE_RATE / dabcommon::OFDM_FRAME)) : 0;

    auto frame = std::make_unique<dabcommon::eti_frame>();
    std::vector<dabmod::cfloat> clean, out;
    uint64_t frames = 0, samples = 0, played = 0;
    int status = 0;
    bool done = false;
    while (!done) {
        int r = in.next(*frame);
        if (r == 0) {
            played++;
            if (loops && played >= loops) break;
            if (!in.rewind()) {
                fprintf(stderr, "dabmod: cannot play %s again\n", in_name ? in_name : "standard input");
                status = 1;
                break;
            }
            continue;
        }
        if (r < 0) {
            fprintf(stderr, "dabmod: reading %s: %s\n", in_name ? in_name : "standard input", strerror(errno));
            status = 1;
            break;
        }
        if (!mod.feed(*frame, clean)) continue;
        out.clear();
        imp.process(clean.data(), clean.size(), out);
        const int w = writer.write(out);
        if (w < 0) {
            fprintf(stderr, "dabmod: writing %s: %s\n", out_name ? out_name : "standard output", strerror(errno));
            status = 1;
            break;
        }
        if (w == 0) break;
        frames++;
        samples += out.size();
        if (max_frames && frames >= max_frames) done = true;
    }
    if (fd != STDOUT_FILENO && close(fd) != 0 && status == 0) {
        fprintf(stderr, "dabmod: writing %s: %s\n", out_name, strerror(errno));
        status = 1;
    }
    if (!quiet) {
        const auto &st = mod.stats();
        fprintf(stderr, "dabmod: %llu transmission frames, %llu samples (%.3f s) from %llu ETI frames",
                static_cast<unsigned long long>(frames), static_cast<unsigned long long>(samples),
                static_cast<double>(samples) / dabcommon::OFDM_SAMPLE_RATE, static_cast<unsigned long long>(st.frames));
        if (st.streams_skipped || st.streams_resized || st.frames_without_fic)
            fprintf(stderr, "; %llu streams skipped, %llu resized, %llu frames without FIC",
                    static_cast<unsigned long long>(st.streams_skipped), static_cast<unsigned long long>(st.streams_resized),
                    static_cast<unsigned long long>(st.frames_without_fic));
        fputc('\n', stderr);
    }
    return status;
}
