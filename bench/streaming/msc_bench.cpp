// The full receive data path on the demo ensemble: the RDI reader with frame dispatch,
// the FIC decoder and FIG store, every subchannel requested and decoded into its ring
// buffer, PAD records for the audio subchannels. Reports RDI words per second and the
// speed as a multiple of real time (one 24 ms frame of signal per ETI frame).

#include <unistd.h>

#include <bitset>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/eti_reader.h"
#include "common/rdi_framer.h"
#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "datapath/rdi.h"
#include "datapath/ringbuff.h"
#include "desc.h"
#include "generator.h"

namespace {

constexpr double signal_seconds = 40;  // the demo ensemble's loop
constexpr int loops = 5;

bool generate(std::vector<uint32_t> &words, std::vector<std::vector<uint8_t>> &fibs, size_t &frames) {
    const std::string dir = std::string(DAB_SOURCE_DIR) + "/demo";
    const std::string desc_path = dir + "/12c.ensemble";
    std::ifstream in(desc_path);
    std::stringstream text;
    text << in.rdbuf();
    dabgen::ensemble_desc d;
    std::string err;
    if (!dabgen::parse_description(text.str(), desc_path, d, err)) {
        fprintf(stderr, "msc_bench: %s\n", err.c_str());
        return false;
    }
    d.base_dir = dir;
    d.duration = signal_seconds;
    dabgen::generator g(d);
    std::vector<std::string> notes;
    if (!g.init(err, notes)) {
        fprintf(stderr, "msc_bench: %s\n", err.c_str());
        return false;
    }
    std::vector<uint8_t> raw(dabgen::eti_frame_size);
    dabcommon::rdi_framer framer(22);
    std::bitset<64> routed;
    routed.set();
    dabcommon::eti_frame f;
    for (uint32_t n = 0; n < g.frame_count(); n++) {
        g.frame(n, raw.data());
        if (dabcommon::parse_eti_frame(raw.data(), raw.size(), f) <= 0) continue;
        framer.frame(f, routed, words);
        // The first second of FIBs builds the service table before the clock runs.
        if (n < 42)
            for (int i = 0; i < f.fib_count(); i++) fibs.emplace_back(f.fib(i), f.fib(i) + dabcommon::FIB_DATA_SIZE);
        frames++;
    }
    return !words.empty();
}

}  // namespace

int main() {
    std::vector<uint32_t> one;
    std::vector<std::vector<uint8_t>> fibs;
    size_t frames = 0;
    if (!generate(one, fibs, frames)) return 1;

    char path[] = "/tmp/msc_bench_XXXXXX";
    const int wfd = mkstemp(path);
    if (wfd < 0) return 1;
    unlink(path);
    std::vector<uint8_t> bytes;
    dabcommon::rdi_to_bytes(one.data(), one.size(), bytes);
    for (int i = 0; i < loops; i++)
        if (write(wfd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return 1;
    const uint64_t total_words = one.size() * loops;
    const double total_seconds = static_cast<double>(frames) * loops * 0.024;

    ensemble ens;
    e = &ens;
    ens.cfg->logfilelevel = LOG_NONE;
    ens.cfg->logscrnlevel = LOG_NONE;
    int idle[2];
    if (pipe(idle) != 0) return 1;
    ens.cfg->fd = idle[0];
    if (!ens.rdi_stream->start()) return 1;

    // Service table from the first second of FICs, then every subchannel requested.
    for (const auto &fib : fibs) ens.fic_stream->decode_fib(fib.data());
    ens.msc_stream->get_subch_info();
    int requested = 0;
    for (int s = 0; s < 64; s++)
        if (ens.msc_stream->subchsize(s)) {
            ens.rbuff->set_req(s);
            requested++;
        }

    lseek(wfd, 0, SEEK_SET);
    const auto t0 = std::chrono::steady_clock::now();
    ens.cfg->fd = wfd;
    rdi *r = ens.rdi_stream;
    while (!(ens.st->rdicnt_sum >= total_words && r->readptr == r->readlen)) usleep(100);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    unsigned long audio_bytes = 0, pad_bytes = 0;
    for (int s = 0; s < 64; s++) {
        prbuff_t b = ens.rbuff->get_streambuf(s);
        audio_bytes += b->writeptr[0].load();
        pad_bytes += b->writeptr[1].load();
    }
    ens.set_finished(1);
    ens.rdi_stream->stop();
    for (int s = 0; s < 64; s++) ens.rbuff->unset_req(s);
    close(wfd);
    close(idle[0]);
    close(idle[1]);

    printf("full data path, demo ensemble 12C, %d subchannels requested, 22-bit packing\n", requested);
    printf("  %.0f s of signal, %llu RDI words, %llu MSC frames, %lu subchannel bytes, %lu PAD record bytes\n",
           total_seconds, static_cast<unsigned long long>(total_words),
           static_cast<unsigned long long>(ens.st->msccnt_sum), audio_bytes, pad_bytes);
    printf("  %.3f s: %.2f million RDI words per second, %.0f times real time\n", elapsed,
           static_cast<double>(total_words) / elapsed / 1e6, total_seconds / elapsed);
    e = nullptr;
    return 0;
}
