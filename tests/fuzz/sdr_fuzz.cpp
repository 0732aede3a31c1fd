// The receiver from samples to ETI frames, as the virtual module gets them: a modulated
// ensemble (real FIBs, so FIG 0/1 builds sub-channel decoders for every routed sub-channel)
// with the input's damage, or the input itself as 8-bit I/Q, through sdr_source.

#include <complex>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/eti_reader.h"
#include "eti.h"
#include "desc.h"
#include "fuzz/fuzz_env.h"
#include "generator.h"
#include "modulator.h"
#include "sdr/sdr_source.h"

using cf = std::complex<float>;

namespace {

// Two transmission frames of the fuzz ensemble and the null symbol of a third.
const std::vector<cf> &clean_signal() {
    static const std::vector<cf> s = [] {
        dabgen::ensemble_desc d;
        std::string err;
        std::vector<std::string> warnings;
        if (!dabgen::parse_description(fuzzenv::demo_description(), "fuzz", d, err)) abort();
        dabgen::generator g(d);
        if (!g.init(err, warnings)) abort();
        dabmod::modulator mod;
        std::vector<cf> out, frame;
        std::vector<uint8_t> raw(dabgen::eti_frame_size);
        auto f = std::make_unique<dabcommon::eti_frame>();
        for (uint32_t n = 0; n < g.frame_count() && out.size() < 3 * static_cast<size_t>(dabcommon::OFDM_FRAME); n++) {
            g.frame(n, raw.data());
            if (dabcommon::parse_eti_frame(raw.data(), raw.size(), *f) <= 0) abort();
            if (mod.feed(*f, frame) == 1) out.insert(out.end(), frame.begin(), frame.end());
        }
        out.resize(2 * dabcommon::OFDM_FRAME + dabcommon::OFDM_NULL);
        return out;
    }();
    return s;
}

// The samples in chunks of the input's size, then the end of the recording.
class memory_source : public iq_source {
public:
    memory_source(std::vector<cf> s, size_t chunk) : s_(std::move(s)), chunk_(chunk) {}
    long read(cf *out, size_t max, int) override {
        if (at_ >= s_.size()) return -1;
        const size_t n = std::min({max, chunk_, s_.size() - at_});
        std::copy(s_.begin() + static_cast<long>(at_), s_.begin() + static_cast<long>(at_ + n), out);
        at_ += n;
        return static_cast<long>(n);
    }
    bool live() const override { return false; }

private:
    std::vector<cf> s_;
    size_t chunk_, at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    clean_signal();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzenv::input in{data, size};
    const uint8_t mode = in.byte();
    const size_t chunk = 64 * (size_t{in.byte()} + 1) * (size_t{in.byte()} + 1);
    std::vector<cf> s;
    if (mode & 1) {
        s = fuzzenv::u8_samples(in, 2 * dabcommon::OFDM_FRAME + dabcommon::OFDM_NULL);
        if (s.empty()) return 0;
    } else {
        s = clean_signal();
        fuzzenv::damage_samples(s, in);
    }
    sdr_source src(std::make_unique<memory_source>(std::move(s), chunk), "fuzz");
    std::bitset<64> routed;
    routed.set();
    src.set_routed(routed);
    auto f = std::make_unique<dabcommon::eti_frame>();
    for (;;) {
        const int r = src.next(*f, 1000);
        if (r == 0) break;
        // A frame handed on is one the module's own checks take.
        if (r == 1 && (f->fib_count() != 3 || f->nst > 64)) abort();
    }
    return 0;
}
