// dabgen: writes a DAB ensemble as an ETI(NI) file from a description file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "desc.h"
#include "generator.h"

namespace {

void usage(FILE *f) {
    fprintf(f,
            "Usage: dabgen [options] DESCRIPTION\n"
            "Writes the DAB ensemble described in DESCRIPTION as an ETI(NI) file\n"
            "(transmission mode I, 6144-byte frames of 24 ms).\n"
            "\n"
            "  -o FILE       output file (default: standard output)\n"
            "  -d SECONDS    duration, overriding the description\n"
            "  -q            no summary on standard error\n"
            "  -h, --help    this text\n"
            "\n"
            "The description format is explained in tools/README.md.\n");
}

}  // namespace

int main(int argc, char **argv) {
    const char *out_name = nullptr, *desc_name = nullptr;
    double duration = 0;
    bool quiet = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "-o" && i + 1 < argc) {
            out_name = argv[++i];
        } else if (a == "-d" && i + 1 < argc) {
            char *end = nullptr;
            duration = strtod(argv[++i], &end);
            if (!end || *end || duration <= 0 || duration > 3600) {
                fprintf(stderr, "dabgen: bad duration %s\n", argv[i]);
                return 2;
            }
        } else if (a == "-q") {
            quiet = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            fprintf(stderr, "dabgen: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else if (!desc_name) {
            desc_name = argv[i];
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (!desc_name) {
        usage(stderr);
        return 2;
    }
    dabgen::ensemble_desc d;
    std::string err;
    if (!dabgen::load_description(desc_name, d, err)) {
        fprintf(stderr, "dabgen: %s\n", err.c_str());
        return 1;
    }
    if (duration > 0) d.duration = duration;
    dabgen::generator g(d);
    std::vector<std::string> warnings;
    if (!g.init(err, warnings)) {
        fprintf(stderr, "dabgen: %s\n", err.c_str());
        return 1;
    }
    for (const auto &w : warnings) fprintf(stderr, "dabgen: note: %s\n", w.c_str());

    FILE *out = stdout;
    if (out_name && strcmp(out_name, "-") != 0) {
        out = fopen(out_name, "wb");
        if (!out) {
            fprintf(stderr, "dabgen: cannot write %s: %s\n", out_name, strerror(errno));
            return 1;
        }
    }
    uint8_t frame[dabgen::eti_frame_size];
    for (uint32_t n = 0; n < g.frame_count(); n++) {
        g.frame(n, frame);
        if (fwrite(frame, sizeof frame, 1, out) != 1) {
            fprintf(stderr, "dabgen: write failed: %s\n", strerror(errno));
            if (out != stdout) fclose(out);
            return 1;
        }
    }
    if (out != stdout ? fclose(out) != 0 : fflush(out) != 0) {
        fprintf(stderr, "dabgen: write failed: %s\n", strerror(errno));
        return 1;
    }
    if (!quiet) {
        fprintf(stderr, "dabgen: \"%s\" (EId %04X, channel %s): %u frames, %.1f s\n", d.label.c_str(), d.eid,
                d.channel.c_str(), g.frame_count(), g.frame_count() * 0.024);
        for (const auto &s : d.services)
            fprintf(stderr, "  %s SId %0*X \"%s\" sub-channel %d\n", s.kind == dabgen::service_desc::AUDIO ? "audio " : "packet",
                    s.long_sid ? 8 : 4, s.sid, s.label.c_str(), s.subchid);
    }
    return 0;
}
