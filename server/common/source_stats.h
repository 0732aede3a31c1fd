#pragma once
// What an antenna of the virtual module knows beyond the module protocol: a software
// receiver's SNR, an EDI input's counters. The host reads it with the driver request
// DRV_GET_SOURCE_STATS; a real module's driver does not know the request (ENOTTY).
#include <cstddef>
#include <cstdint>

namespace dabcommon {

constexpr uint32_t SOURCE_HAS_SNR = 1;
constexpr uint32_t SOURCE_HAS_EDI = 2;

struct source_stats {
    uint32_t flags = 0;        // SOURCE_HAS_*
    int32_t snr_centibel = 0;  // SNR in 0.1 dB, while synchronised
    // EDI input, ever growing
    uint64_t edi_af_packets = 0;     // AF packets with a good CRC
    uint64_t edi_sequence_gaps = 0;  // AF sequence numbers skipped
    uint64_t edi_crc_errors = 0;     // AF packets and PFT fragment headers with a wrong CRC
    uint64_t edi_fec_recovered = 0;  // PFT fragments rebuilt by Reed-Solomon
    uint64_t edi_frames_lost = 0;    // ETI frames that could not be rebuilt
    uint64_t reserved[2] = {};
};
static_assert(sizeof(source_stats) == 64, "read through a driver request");
static_assert(offsetof(source_stats, edi_af_packets) == 8, "read through a driver request");

// _IOR('d', 0x41, source_stats)
constexpr unsigned int DRV_GET_SOURCE_STATS = 0x80406441;

}  // namespace dabcommon
