#pragma once
// ETI(NI) frame writer (EN 300 799), transmission mode I: one 6144-byte frame per 24 ms.
// The generator writes its ensembles with it, the software receiver the CIFs it decoded.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/eti_reader.h"

namespace dabcommon {

constexpr size_t ETI_FIC_SIZE = 96;  // 3 FIBs per 24 ms in mode I

struct eti_out_stream {
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
int eti_build_frame(uint8_t out[ETI_FRAME_SIZE], uint32_t n, const uint8_t fic[ETI_FIC_SIZE],
                    const std::vector<eti_out_stream> &streams);

}  // namespace dabcommon
