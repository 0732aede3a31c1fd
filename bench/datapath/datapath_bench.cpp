// RDI words per second through the reader and the FIC decoder, from an in-memory dump of
// a typical ensemble (3 FIBs and four 128 kbit/s subchannels per 24 ms frame, filler
// words as the receiver pads them). "x_realtime" is the multiple of the stream's real
// rate: 64 KiB per 160 ms, that is 102400 words per second. The full path adds the service
// table, so that every subchannel frame is unpacked into its ring buffer with its PAD.

#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "common/crc16.h"
#include "common/rdi_framer.h"
#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "datapath/rdi.h"
#include "datapath/ringbuff.h"

namespace {

constexpr double real_time_words_per_s = 16384 / 0.160;
constexpr double real_time_fibs_per_s = 125;  // 12 FIBs per 96 ms (mode I)
constexpr int frames = 417;                   // 10 s
constexpr int subchannels = 4;

using fib = std::vector<uint8_t>;

void label(fib &b, int ext, int id, const char *text) {
    std::vector<uint8_t> body = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
    for (int i = 0; i < 16; i++) body.push_back(static_cast<uint8_t>(text[i] ? text[i] : ' '));
    body.push_back(0xF0);
    body.push_back(0x00);
    b.push_back(static_cast<uint8_t>(1 << 5 | (body.size() + 1)));
    b.push_back(static_cast<uint8_t>(ext));
    b.insert(b.end(), body.begin(), body.end());
}

// A cycle of FIBs as an ensemble sends them.
std::vector<fib> fib_cycle() {
    std::vector<fib> out;
    fib a = {0x05, 0x00, 0xCE, 0x15, 0x00, 0x10, 0x0D, 0x01};  // FIG 0/0, FIG 0/1 header
    for (int s = 0; s < subchannels; s++) a.insert(a.end(), {static_cast<uint8_t>((s + 1) << 2), 0x00, 37});
    fib b = {static_cast<uint8_t>(1 + 5 * subchannels), 0x02};  // FIG 0/2
    for (int s = 0; s < subchannels; s++)
        b.insert(b.end(), {0xD2, static_cast<uint8_t>(0x10 * (s + 1)), 0x01, 0x00, static_cast<uint8_t>((s + 1) << 2 | 2)});
    fib c, d, f;
    label(c, 0, 0xCE15, "BENCH ENSEMBLE");
    label(d, 1, 0xD210, "Bench One");
    label(f, 1, 0xD220, "Bench Two");
    fib t = {0x05, 0x0A, 0x32, 0x56, 0x03, 0x22, 0x04, 0x09, 0x42, 0xE0, 0x01};  // FIG 0/10, 0/9
    out = {a, b, c, d, f, t};
    for (auto &x : out) {
        if (x.size() < FIB_BYTES) x.push_back(0xFF);
        x.resize(FIB_BYTES, 0);
    }
    return out;
}

std::vector<uint32_t> stream() {
    std::vector<uint32_t> w;
    std::vector<fib> fibs = fib_cycle();
    std::vector<uint8_t> audio(384, 0x5A);
    uint64_t target = 0;
    for (int n = 0; n < frames; n++) {
        // Filler first, so that the dump ends with a data word: the reader skips zero
        // words and would wait for more at the end.
        target += 12288;  // 12288 / 5 words per 24 ms frame
        const size_t frame_words = 3 * 14 + subchannels * (1 + (audio.size() + 10) / 11 * 4);
        while ((w.size() + frame_words) * 5 < target) w.push_back(0);
        for (int i = 0; i < 3; i++) {
            fib x = fibs[static_cast<size_t>(3 * n + i) % fibs.size()];
            uint16_t crc = dabcommon::crc16(x.data(), FIB_BYTES);
            x.push_back(static_cast<uint8_t>(crc >> 8));
            x.push_back(static_cast<uint8_t>(crc));
            dabcommon::rdi_fic_frame(x.data(), i, 1, w);
        }
        for (int s = 0; s < subchannels; s++) {
            w.push_back(dabcommon::rdi_msc_header(s + 1, audio.size(), 22));
            dabcommon::rdi_pack(audio.data(), audio.size(), 22, w);
        }
    }
    return w;
}

void run_reader(benchmark::State &state, bool full_path) {
    static const std::vector<uint32_t> words = stream();
    int fd = memfd_create("rdi", 0);
    std::vector<uint8_t> bytes;
    dabcommon::rdi_to_bytes(words.data(), words.size(), bytes);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        state.SkipWithError("no in-memory file");
        return;
    }
    ensemble ens;
    ens.cfg->logfilelevel = LOG_NONE;
    ens.cfg->logscrnlevel = LOG_NONE;
    ens.cfg->fd = fd;
    ens.rbuff->init_ring_buffer(1);
    rdi &reader = *ens.rdi_stream;
    reader.init_rdi_buffer(1);
    auto one_pass = [&] {
        lseek(fd, 0, SEEK_SET);
        reader.readptr = reader.readlen = 0;
        const uint64_t target = ens.st->rdicnt_sum + words.size();
        while (ens.st->rdicnt_sum < target || reader.readptr != reader.readlen)
            reader.dispatch(reader.lget_from_stream());
    };
    if (full_path) {
        one_pass();
        // Each subchannel has a listener, as a stream or the PAD decoder would be.
        for (int s = 1; s <= subchannels; s++) ens.rbuff->set_req(s);
        if (!ens.msc_stream->get_subch_info() || ens.msc_stream->wanted_frame_size(1) == 0) {
            state.SkipWithError("no service table from the FIBs");
            return;
        }
    }
    ring_reader listener(ens.rbuff, 1, 0);
    if (full_path && !listener.open(false)) {
        state.SkipWithError("subchannel 1 cannot be read");
        return;
    }
    for (auto _ : state) one_pass();
    if (full_path) state.counters["ring_bytes"] = static_cast<double>(listener.behind());
    const double total = static_cast<double>(state.iterations()) * static_cast<double>(words.size());
    state.SetItemsProcessed(static_cast<int64_t>(total));
    state.counters["x_realtime"] = benchmark::Counter(total / real_time_words_per_s, benchmark::Counter::kIsRate);
    state.counters["fibs"] = static_cast<double>(ens.st->fibcnt_sum);
    reader.init_rdi_buffer(0);
    ens.fic_stream->clearall();
    ens.rbuff->init_ring_buffer(0);
    close(fd);
}

void BM_ReaderAndFicDecoder(benchmark::State &state) { run_reader(state, false); }
BENCHMARK(BM_ReaderAndFicDecoder)->Unit(benchmark::kMillisecond);

void BM_FullPath(benchmark::State &state) { run_reader(state, true); }
BENCHMARK(BM_FullPath)->Unit(benchmark::kMillisecond);

void BM_FibDecoder(benchmark::State &state) {
    const std::vector<fib> fibs = fib_cycle();
    ensemble ens;
    ens.cfg->logfilelevel = LOG_NONE;
    ens.cfg->logscrnlevel = LOG_NONE;
    size_t i = 0;
    for (auto _ : state) ens.fic_stream->decode_fib(fibs[i++ % fibs.size()].data());
    state.SetItemsProcessed(state.iterations());
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) / real_time_fibs_per_s, benchmark::Counter::kIsRate);
    ens.fic_stream->clearall();
}
BENCHMARK(BM_FibDecoder);

}  // namespace

BENCHMARK_MAIN();
