// How fast the generator writes the demo ensembles: the counter broadcast_s_per_cpu_s is
// the number of seconds of broadcast produced per second of CPU (encoder set-up excluded).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "desc.h"
#include "generator.h"

namespace {

void generate(benchmark::State &state, const char *name) {
    dabgen::ensemble_desc d;
    std::string err;
    if (!dabgen::load_description(std::string(DAB_SOURCE_DIR) + "/demo/" + name, d, err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    d.duration = 10;
    std::vector<uint8_t> frame(dabgen::eti_frame_size);
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        dabgen::generator g(d);
        std::vector<std::string> notes;
        bool ok = g.init(err, notes);
        state.ResumeTiming();
        if (!ok) {
            state.SkipWithError(err.c_str());
            return;
        }
        for (uint32_t n = 0; n < g.frame_count(); n++) g.frame(n, frame.data());
        benchmark::DoNotOptimize(frame.data());
        seconds += g.frame_count() * 0.024;
    }
    state.counters["broadcast_s_per_cpu_s"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
}

void demo_one(benchmark::State &state) { generate(state, "12c.ensemble"); }
void demo_two(benchmark::State &state) { generate(state, "la.ensemble"); }

}  // namespace

BENCHMARK(demo_one)->Unit(benchmark::kMillisecond);
BENCHMARK(demo_two)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
