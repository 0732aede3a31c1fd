#pragma once
// PFT (TS 102 821 clause 7): AF packets cut into fragments for UDP, optionally protected by
// Reed-Solomon so that lost fragments can be rebuilt. Fragment header parsing, a reassembler
// that orders packets by sequence number, and the sender's side for the test-signal tool.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace dabcommon {

// Psync(16) Pseq(16) Findex(24) Fcount(24) FEC(1) Addr(1) Plen(14) HCRC(16)
constexpr size_t PFT_HEADER_SIZE = 14;
constexpr size_t PFT_RS_HEADER_SIZE = 2;    // RSk(8) RSz(8), with FEC
constexpr size_t PFT_ADDR_HEADER_SIZE = 4;  // Source(16) Dest(16), with Addr
constexpr size_t PFT_MAX_HEADER_SIZE = PFT_HEADER_SIZE + PFT_RS_HEADER_SIZE + PFT_ADDR_HEADER_SIZE;
static_assert(PFT_MAX_HEADER_SIZE == 20, "largest fragment header");

// RS(255,207) over GF(2^8), shortened to RSk data bytes per chunk.
constexpr int PFT_RS_N = 255;
constexpr int PFT_RS_K = 207;
constexpr int PFT_RS_PARITY = PFT_RS_N - PFT_RS_K;
static_assert(PFT_RS_PARITY == 48, "parity bytes per chunk");

constexpr size_t PFT_MAX_PLEN = 0x3FFF;
// Bounds of one packet being reassembled: an ETI frame's AF packet is below 7.2 kB, with FEC
// below 9 kB. Larger claims are refused rather than allocated or decoded.
constexpr uint32_t PFT_MAX_FCOUNT = 1024;
constexpr size_t PFT_MAX_PACKET = 16384;

struct pft_fragment {
    uint16_t pseq = 0;
    uint32_t findex = 0;
    uint32_t fcount = 0;
    bool fec = false;
    bool addr = false;
    uint16_t plen = 0;
    uint8_t rsk = 0;
    uint8_t rsz = 0;
    uint16_t source = 0;
    uint16_t dest = 0;
    const uint8_t *payload = nullptr;  // plen bytes inside the parsed buffer
};

enum pft_result : int {
    PFT_NEED_MORE = 0,  // a fragment starts here but is not complete
    PFT_NO_SYNC = -1,   // no "PF"
    PFT_BAD_CRC = -2,   // header CRC wrong
    PFT_BAD_FIELDS = -3 // Findex >= Fcount, counts or lengths out of bounds
};

// Parses the fragment at p. Returns the bytes it occupies (header and payload) or a
// pft_result. The payload pointer points into p.
int pft_parse(const uint8_t *p, size_t len, pft_fragment &f);

struct pft_counters {
    uint64_t packets = 0;       // AF packets put together
    uint64_t fec_recovered = 0; // missing fragments rebuilt by Reed-Solomon
    uint64_t given_up = 0;      // packets abandoned: too few fragments within the time
    uint64_t inconsistent = 0;  // fragments that disagree with others of their packet
    uint64_t duplicates = 0;    // fragments received twice, or after their packet
};

// Puts fragments together into AF packets and hands them out in sequence order. A packet
// still missing fragments is waited for until timeout_ms after its first fragment, or until
// window later packets are complete; then it is given up and the next one is handed out.
class pft_reassembler {
public:
    explicit pft_reassembler(int window = 8, int timeout_ms = 500);
    ~pft_reassembler();
    pft_reassembler(const pft_reassembler &) = delete;
    pft_reassembler &operator=(const pft_reassembler &) = delete;

    // Takes one parsed fragment (its payload is copied). now_ms: any monotonic clock.
    void push(const pft_fragment &f, uint64_t now_ms);
    // 1 = the next AF packet in out, 0 = none ready yet.
    int pop(std::vector<uint8_t> &out, uint64_t now_ms);
    // Forgets everything (the sender changed).
    void reset();
    const pft_counters &counters() const { return counters_; }

private:
    struct builder;
    bool try_complete(builder &b, bool repair);
    void give_up_until_ready(uint64_t now_ms);

    int window_;
    int timeout_ms_;
    bool started_ = false;
    uint16_t next_ = 0;
    std::map<uint16_t, std::unique_ptr<builder>> pending_;
    pft_counters counters_;
};

// The sender's side: the fragments of one AF packet. fec_m = 0 cuts it into pieces of at most
// max_payload bytes; fec_m > 0 protects it so that any fec_m fragments may be lost (the
// fragment size then follows from m). addr adds the Source/Dest fields.
struct pft_sender_options {
    int fec_m = 0;
    size_t max_payload = 1400;
    bool addr = false;
    uint16_t source = 0;
    uint16_t dest = 0;
};
// 1 and the fragments (headers included) in out, 0 when the options cannot carry the packet.
int pft_make_fragments(const uint8_t *af, size_t len, uint16_t pseq, const pft_sender_options &o,
                       std::vector<std::vector<uint8_t>> &out);

}  // namespace dabcommon
