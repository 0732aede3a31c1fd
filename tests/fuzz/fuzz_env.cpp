#include "fuzz/fuzz_env.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <vector>

#include "common/eti_reader.h"
#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "common/fig_records.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "datapath/ringbuff.h"
#include "desc.h"
#include "generator.h"

namespace fuzzenv {

namespace {

volatile size_t string_bytes;

// Reads every argument the format names as printf would, strings to their end or precision
// (the sanitizer checks those reads), without making the text that would be thrown away.
// A conversion this does not know is formatted for real.
int swallow(void *, loglevel_t, int, int, const char *fmt, va_list ap) {
    va_list whole;
    va_copy(whole, ap);
    size_t seen = 0;
    for (const char *p = fmt; *p; p++) {
        if (*p != '%') continue;
        if (*++p == '%') continue;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0' || *p == '\'') p++;
        if (*p == '*') {
            (void)va_arg(ap, int);
            p++;
        }
        while (*p >= '0' && *p <= '9') p++;
        long precision = -1;
        if (*p == '.') {
            precision = 0;
            if (*++p == '*') {
                precision = va_arg(ap, int);
                p++;
            }
            while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
        }
        int longs = 0;
        char size = 0;
        for (;; p++) {
            if (*p == 'l') longs++;
            else if (*p == 'h' || *p == 'z' || *p == 'j' || *p == 't' || *p == 'L' || *p == 'q') size = *p;
            else break;
        }
        if (size == 'q') longs = 2;
        switch (*p) {
            case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c':
                if (*p == 'c' && longs) goto unknown;
                if (size == 'z') (void)va_arg(ap, size_t);
                else if (size == 'j') (void)va_arg(ap, intmax_t);
                else if (size == 't') (void)va_arg(ap, ptrdiff_t);
                else if (longs >= 2) (void)va_arg(ap, long long);
                else if (longs == 1) (void)va_arg(ap, long);
                else (void)va_arg(ap, int);
                break;
            case 's': {
                if (longs) goto unknown;
                const char *s = va_arg(ap, const char *);
                // glibc prints "(null)"; a string is read up to its terminator or precision.
                if (s) seen += precision < 0 ? strlen(s) : strnlen(s, static_cast<size_t>(precision));
                break;
            }
            case 'p': (void)va_arg(ap, void *); break;
            case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
                if (size == 'L') (void)va_arg(ap, long double);
                else (void)va_arg(ap, double);
                break;
            case 'm': break;
            case 0: p--; break;
            default: goto unknown;
        }
    }
    string_bytes = string_bytes + seen;
    va_end(whole);
    return 1;
unknown:
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, whole);
    va_end(whole);
    return 1;
}

struct dir_holder {
    std::string path;
    dir_holder() {
        const char *base = getenv("TMPDIR");
        std::string t = std::string(base && *base ? base : "/tmp") + "/dabfuzz.XXXXXX";
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back(0);
        if (!mkdtemp(buf.data())) {
            perror("mkdtemp");
            abort();
        }
        path = buf.data();
    }
    ~dir_holder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

const char demo_description_text[] =
    "[ensemble]\nlabel \"FUZZ\" \"FUZZ\"\neid 0xC1F0\nchannel 12C\nduration 2\nseed 3\n"
    "[audio]\nsid 0xD201\nlabel \"One\"\nsubchannel 1\nbitrate 128\nprotection uep 3\nsource tone 440\n"
    "dls \"Fuzz one: a label of more than one segment\"\ndls_interval 1\nxpad 16\n"
    "[audio]\nsid 0xD202\nlabel \"Two\"\nsubchannel 2\nbitrate 64\nprotection eep 3A\nsamplerate 24000\n"
    "source tone 880\ndls \"Two\"\nxpad 8\n"
    "[packet]\nsid 0xE0D20001\nlabel \"Data\"\nsubchannel 5\nbitrate 16\nprotection eep 3A\n"
    "application ipdab\naddress 1\nscid 1\npacket_size 24\nmulticast 239.1.2.3 5000\npayload \"fuzz\"\ninterval 1\n";

}  // namespace

const char *demo_description() { return demo_description_text; }

ensemble &quiet_ensemble() {
    static ensemble *e = [] {
        auto *x = new ensemble();
        x->cfg->logfilelevel = LOG_NONE;
        x->cfg->logscrnlevel = LOG_NONE;
        x->l->context = nullptr;
        x->l->logger_callback = swallow;
        return x;
    }();
    return *e;
}

const std::string &temp_dir() {
    static dir_holder d;
    return d.path;
}

std::string write_file(const char *name, const uint8_t *data, size_t len) {
    std::string path = temp_dir() + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (len && fwrite(data, 1, len, f) != len) abort();
    fclose(f);
    return path;
}

namespace {

std::vector<std::vector<uint8_t>> demo_fibs;

void install_demo(ensemble &e) {
    e.msc_stream->clear_tables();
    e.fic_stream->clearall();
    for (auto &fib : demo_fibs) e.fic_stream->decode_fib(fib.data());
    if (e.msc_stream->get_subch_info() != 1) abort();
}

}  // namespace

void reset_demo_ensemble(bool store) {
    ensemble &e = quiet_ensemble();
    if (store) {
        install_demo(e);
    } else {
        // The tables are as tuned (nothing here changes the store): only the decoders start afresh.
        e.msc_stream->restart_decoders();
    }
}

void tune_demo_ensemble() {
    ensemble &e = quiet_ensemble();
    dabgen::ensemble_desc d;
    std::string err;
    std::vector<std::string> warnings;
    if (!dabgen::parse_description(demo_description(), "fuzz", d, err)) {
        fprintf(stderr, "%s\n", err.c_str());
        abort();
    }
    dabgen::generator g(d);
    if (!g.init(err, warnings)) {
        fprintf(stderr, "%s\n", err.c_str());
        abort();
    }
    // A few frames carry every FIG of the carousel.
    static dabcommon::eti_frame f;
    std::vector<uint8_t> raw(dabgen::eti_frame_size);
    for (uint32_t n = 0; n < 20 && n < g.frame_count(); n++) {
        g.frame(n, raw.data());
        if (dabcommon::parse_eti_frame(raw.data(), raw.size(), f) <= 0) abort();
        // The carousel repeats itself: each FIB once is enough to restore the store.
        for (int i = 0; i < f.fib_count(); i++) {
            std::vector<uint8_t> fib(f.fib(i), f.fib(i) + FIB_BYTES);
            if (std::find(demo_fibs.begin(), demo_fibs.end(), fib) == demo_fibs.end()) demo_fibs.push_back(fib);
        }
    }
    if (!e.rbuff->init_ring_buffer(1)) abort();
    install_demo(e);
    for (int s : demo_subchannels) {
        e.rbuff->set_req(s);
        if (!e.msc_stream->wanted_frame_size(s)) {
            fprintf(stderr, "subchannel %d missing from the service table\n", s);
            abort();
        }
    }
}

std::vector<std::complex<float>> u8_samples(input &in, size_t count) {
    const uint8_t *p;
    const size_t n = in.take(in.n, &p) / 2;
    std::vector<std::complex<float>> s;
    if (n == 0) return s;
    s.resize(count);
    for (size_t i = 0; i < s.size(); i++)
        s[i] = {(p[2 * (i % n)] - 127.5f) / 128, (p[2 * (i % n) + 1] - 127.5f) / 128};
    return s;
}

void damage_samples(std::vector<std::complex<float>> &s, input &in) {
    using cf = std::complex<float>;
    while (in.n >= 5 && !s.empty()) {
        size_t at = (size_t{in.byte()} << 16 | size_t{in.byte()} << 8 | in.byte()) * 4 % s.size();
        uint8_t kind = in.byte(), v = in.byte();
        size_t end = std::min(s.size(), at + 16 * size_t{v} + 1);
        for (size_t i = at; i < end; i++) {
            switch (kind % 5) {
            case 0: s[i] = 0; break;
            case 1: s[i] = cf(1e30f, -1e30f); break;
            case 2: s[i] = cf(std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()); break;
            case 3: s[i] *= static_cast<float>(kind) / 16; break;
            default: s[i] *= cf(0, 1); break;
            }
        }
    }
}

}  // namespace fuzzenv
