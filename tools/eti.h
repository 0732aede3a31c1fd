#pragma once
// ETI(NI) frame writer (EN 300 799), transmission mode I: one 6144-byte frame per 24 ms.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace dabgen {

constexpr size_t eti_frame_size = 6144;
constexpr size_t eti_fic_size = 96;  // 3 FIBs per 24 ms in mode I

struct eti_stream {
    int subchid;
    int start_address;  // CUs
    int tpl;            // type and protection level
    const uint8_t *data;
    size_t len;  // bytes, a multiple of 8
};

// Type and protection level field of the STC.
int eti_tpl(bool uep, int level, int option);

// Writes frame number n (FCT = n mod 250, alternating FSYNC). Returns 0 when the streams do
// not fit into a frame or a length is not a multiple of 8, else 1.
int eti_build_frame(uint8_t out[eti_frame_size], uint32_t n, const uint8_t fic[eti_fic_size],
                    const std::vector<eti_stream> &streams);

}  // namespace dabgen
