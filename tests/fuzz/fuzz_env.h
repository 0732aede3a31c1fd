#pragma once
// What every fuzz target shares: one quiet ensemble per process, a private directory, and the
// small ensemble of the generator that the frame decoders need.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ensemble;

namespace fuzzenv {

// An ensemble whose log lines are dropped once their arguments were read (so a bad one shows).
ensemble &quiet_ensemble();

// A directory of this process below TMPDIR, removed at exit.
const std::string &temp_dir();

// Writes len bytes to a file below temp_dir; its path.
std::string write_file(const char *name, const uint8_t *data, size_t len);

// The generator's description of that ensemble.
const char *demo_description();

// Two audio programmes (subchannels 1 and 2, 128 and 64 kbit/s, 24 and 48 kHz) and a packet
// service (subchannel 5, address 1) known to the service table, their rings requested:
// the generator's FIC decoded into quiet_ensemble().
void tune_demo_ensemble();

// Back to the state tune_demo_ensemble left: decoder states reset; with store, the FIG store
// holds the demo's records only.
void reset_demo_ensemble(bool store);

// The subchannels tune_demo_ensemble installs.
constexpr int demo_subchannels[] = {1, 2, 5};

// Reads bytes from the front of a fuzz input.
struct input {
    const uint8_t *p;
    size_t n;
    uint8_t byte() {
        if (!n) return 0;
        n--;
        return *p++;
    }
    // The next up to len bytes; fewer at the end.
    size_t take(size_t len, const uint8_t **out) {
        if (len > n) len = n;
        *out = p;
        p += len;
        n -= len;
        return len;
    }
};

// The rest of the input as 8-bit I/Q, repeated to count samples; empty without a whole sample.
std::vector<std::complex<float>> u8_samples(input &in, size_t count);

// Damage to complex samples, as the input's 5-byte records say: runs silenced, saturated,
// non-finite, scaled or turned.
void damage_samples(std::vector<std::complex<float>> &s, input &in);

}  // namespace fuzzenv
