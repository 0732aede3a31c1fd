#pragma once
// Builds small ETI(NI) frames for the tests, with correct CRCs unless told otherwise.

#include <cstdint>
#include <string>
#include <vector>

namespace etimaker {

struct sub {
    int scid = 0;
    int sad = 0;
    int tpl = 0x22;  // EEP 3-A
    std::vector<uint8_t> data;  // a multiple of 8 bytes
};

// A FIB: the FIG bytes, 0xFF padding up to 30 bytes, then the CRC (inverted when bad).
std::vector<uint8_t> fib(const std::vector<uint8_t> &figs, bool bad_crc = false);

// FIG 0/1 long form entry for an EEP-A sub-channel of 8n kbit/s at level 3.
std::vector<uint8_t> fig0_1(int scid, int sad, int n);

// One frame; fic holds 96 bytes (three FIBs) or is empty. padded: 6144 bytes.
std::vector<uint8_t> frame(int fct, const std::vector<uint8_t> &fic, const std::vector<sub> &subs, bool padded = true);

// Sub-channel bytes of frame fct: a pattern that differs per frame and sub-channel.
std::vector<uint8_t> pattern(int scid, int fct, size_t len);

// n frames with one FIC (the FIB carries the frame number) and the given sub-channels
// (data from pattern()); sizes in 64-bit words.
struct sub_spec {
    int scid;
    int sad;
    int stl;
};
std::vector<uint8_t> stream(int n, const std::vector<sub_spec> &subs, bool padded = true, int first_fct = 0);

void write(const std::string &path, const std::vector<uint8_t> &bytes);

}  // namespace etimaker
