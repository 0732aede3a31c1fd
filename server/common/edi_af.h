#pragma once
// EDI (TS 102 693) over AF packets (TS 102 821 clause 6): the packet layer, its TAG items,
// and the ETI-NI frame a "DETI" TAG packet describes, rebuilt byte for byte as a multiplexer
// writes it. The sender's side too, for the test-signal tool.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/eti_reader.h"

namespace dabcommon {

// SYNC(16) LEN(32) SEQ(16) CF(1) MAJ(3) MIN(4) PT(8)
constexpr size_t AF_HEADER_SIZE = 10;
constexpr size_t AF_CRC_SIZE = 2;
// An ETI frame's TAG packet stays below 7.2 kB; a longer LEN is a broken header.
constexpr size_t AF_MAX_PAYLOAD = 16384;
// TAG item: name(32) length in bits(32), value
constexpr size_t TAG_HEADER_SIZE = 8;
// deti: ATSTF(1) FICF(1) RFUDF(1) FCTH(5) FCT(8) STAT(8) MID(2) FP(3) rfa(2) rfu(1) MNSC(16)
constexpr size_t DETI_HEADER_SIZE = 6;
constexpr size_t DETI_TIME_SIZE = 8;  // UTCO(8) SECONDS(32) TSTA(24)
constexpr size_t DETI_RFUD_SIZE = 3;
constexpr size_t EST_HEADER_SIZE = 3;  // SCID(6) SAD(10) TPL(6) rfa(2)
static_assert(AF_HEADER_SIZE + AF_CRC_SIZE == 12, "smallest AF packet");

struct af_packet {
    uint16_t seq = 0;
    bool crc_flag = false;
    int major = 0, minor = 0;
    uint8_t pt = 0;
    const uint8_t *payload = nullptr;  // inside the parsed buffer
    size_t payload_len = 0;
};

enum af_result : int {
    AF_NEED_MORE = 0,
    AF_NO_SYNC = -1,
    AF_BAD_CRC = -2,
    AF_BAD_FIELDS = -3  // LEN beyond AF_MAX_PAYLOAD, or beyond the datagram that carries it
};

// Parses the AF packet at p: the bytes it occupies, or an af_result. The CRC is checked when
// the CF flag is set.
int af_parse(const uint8_t *p, size_t len, af_packet &a);

struct tag_item {
    const uint8_t *name = nullptr;  // 4 bytes
    const uint8_t *value = nullptr;
    size_t len = 0;     // bytes
    uint32_t bits = 0;  // as declared
};

// The TAG item at off in a TAG packet: 1 (off advanced past it), 0 at the end (fewer than a
// header's bytes left: padding), -1 when the item claims more bytes than are left.
int tag_next(const uint8_t *p, size_t len, size_t &off, tag_item &t);

enum edi_eti_result : int {
    EDI_ETI_OK = 1,
    EDI_NOT_DETI = -1,   // no *ptr item naming protocol DETI
    EDI_BAD_TAG = -2,    // a TAG item runs past the packet
    EDI_BAD_DETI = -3,   // missing, repeated or of the wrong length
    EDI_BAD_EST = -4,    // index outside 1..64, repeated or missing, or a length that is no stream
    EDI_TOO_LONG = -5    // the streams do not fit into an ETI frame
};

// Writes the ETI-NI frame a DETI TAG packet describes into out (6144 bytes, padded with 0x55):
// FC with FL, STC, EOH with its CRC, MST, EOF with its CRC, TIST. 1 or an edi_eti_result.
int edi_tags_to_eti(const uint8_t *tags, size_t len, uint8_t *out);

// The sender's side. The TAG packet of one ETI frame: *ptr, deti, est1..estN, zero-padded to a
// multiple of 8 bytes. dlfc: the frame count modulo 5000; its FCT part is the frame's FCT.
void edi_eti_to_tags(const eti_frame &f, uint16_t dlfc, std::vector<uint8_t> &out);
// An AF packet (PT 'T', CRC on) around a TAG packet, appended to out.
void af_build(uint16_t seq, const uint8_t *payload, size_t len, std::vector<uint8_t> &out);

}  // namespace dabcommon
