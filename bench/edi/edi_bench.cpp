// EDI input cost: a full ensemble (twelve 128 kbit/s sub-channels and the FIC, 1.55 Mbit/s)
// through the decoder into rebuilt ETI frames, as AF packets from a stream and as PFT datagrams
// without and with Reed-Solomon, whole and with two fragments of each packet lost.
// "core_pct" is the share of one core the input costs at real time (a frame per 24 ms).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "common/edi_af.h"
#include "common/edi_decoder.h"
#include "common/edi_pft.h"
#include "common/eti_reader.h"
#include "common/eti_writer.h"

namespace {

constexpr int FRAMES = 250;  // 6 s
constexpr int SUBCHANNELS = 12;
constexpr size_t STREAM_BYTES = 384;  // 128 kbit/s per 24 ms
constexpr double FRAME_S = 0.024;

using bytes = std::vector<uint8_t>;

// The ensemble's frames as AF packets.
std::vector<bytes> af_packets() {
    std::vector<bytes> out;
    uint32_t x = 1;
    auto next = [&] { return static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24); };
    std::vector<bytes> data(SUBCHANNELS, bytes(STREAM_BYTES));
    bytes fic(dabcommon::ETI_FIC_SIZE), raw(dabcommon::ETI_FRAME_SIZE), tags;
    dabcommon::eti_frame f;
    for (int n = 0; n < FRAMES; n++) {
        std::vector<dabcommon::eti_out_stream> streams;
        for (int s = 0; s < SUBCHANNELS; s++) {
            for (auto &b : data[static_cast<size_t>(s)]) b = next();
            streams.push_back({s + 1, s * 48, dabcommon::eti_tpl(false, 3, 0), data[static_cast<size_t>(s)].data(), STREAM_BYTES});
        }
        for (auto &b : fic) b = next();
        dabcommon::eti_build_frame(raw.data(), static_cast<uint32_t>(n), fic.data(), streams);
        dabcommon::parse_eti_frame(raw.data(), raw.size(), f);
        dabcommon::edi_eti_to_tags(f, static_cast<uint16_t>(n), tags);
        bytes af;
        dabcommon::af_build(static_cast<uint16_t>(n), tags.data(), tags.size(), af);
        out.push_back(std::move(af));
    }
    return out;
}

// The same packets cut into fragments; lost: fragments left out of each packet.
std::vector<bytes> fragments(int fec, int lost) {
    std::vector<bytes> out;
    dabcommon::pft_sender_options o;
    o.fec_m = fec;
    std::vector<std::vector<uint8_t>> frags;
    uint16_t pseq = 0;
    for (const bytes &af : af_packets()) {
        dabcommon::pft_make_fragments(af.data(), af.size(), pseq++, o, frags);
        for (size_t i = 0; i < frags.size(); i++)
            if (i % (frags.size() / 2) != 0 || static_cast<int>(i / (frags.size() / 2)) >= lost) out.push_back(frags[i]);
    }
    return out;
}

void report(benchmark::State &state, size_t frames_out, size_t bytes_in) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * FRAMES);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes_in));
    state.counters["frames"] = static_cast<double>(frames_out);
    // seconds per iteration / (FRAMES * 24 ms), in percent
    state.counters["core_pct"] = benchmark::Counter(FRAMES * FRAME_S / 100.0,
                                                    benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_af_stream(benchmark::State &state) {
    const auto packets = af_packets();
    bytes stream;
    for (const auto &p : packets) stream.insert(stream.end(), p.begin(), p.end());
    size_t frames = 0;
    for (auto _ : state) {
        frames = 0;
        dabcommon::edi_decoder d([&](const uint8_t *) { frames++; });
        for (size_t off = 0; off < stream.size(); off += 4096)
            d.push_stream(stream.data() + off, std::min<size_t>(4096, stream.size() - off), off / 4096);
        benchmark::DoNotOptimize(frames);
    }
    report(state, frames, stream.size());
}

void pft(benchmark::State &state, int fec, int lost) {
    const auto frags = fragments(fec, lost);
    size_t total = 0;
    for (const auto &f : frags) total += f.size();
    size_t frames = 0;
    for (auto _ : state) {
        frames = 0;
        dabcommon::edi_decoder d([&](const uint8_t *) { frames++; });
        uint64_t now = 0;
        for (const auto &f : frags) d.push_datagram(f.data(), f.size(), now++);
        d.tick(now + 100000);
        benchmark::DoNotOptimize(frames);
    }
    if (frames != FRAMES) state.SkipWithError("frames lost");
    report(state, frames, total);
}

void BM_pft(benchmark::State &state) { pft(state, 0, 0); }
void BM_pft_fec2(benchmark::State &state) { pft(state, 2, 0); }
void BM_pft_fec2_two_lost(benchmark::State &state) { pft(state, 2, 2); }

}  // namespace

BENCHMARK(BM_af_stream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pft)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pft_fec2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pft_fec2_two_lost)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
