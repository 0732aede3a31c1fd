#include "fuzz/fuzz_env.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

int swallow(void *, loglevel_t, int, int, const char *fmt, va_list ap) {
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, ap);
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
        // New routes: every subchannel decoder starts afresh.
        e.msc_stream->clear_tables();
        if (e.msc_stream->get_subch_info() != 1) abort();
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

}  // namespace fuzzenv
