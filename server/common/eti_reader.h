#pragma once
// ETI (NI, ETS 300 799) frame parsing and a resynchronising frame reader for files,
// FIFOs and standard input.

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace dabcommon {

constexpr size_t ETI_FRAME_SIZE = 6144;  // one 24 ms frame of ETI(NI, G.703), padded
constexpr int ETI_MAX_STREAMS = 64;
constexpr uint32_t ETI_FSYNC0 = 0x073AB6;  // FSYNC of even frames
constexpr uint32_t ETI_FSYNC1 = 0xF8C549;  // FSYNC of odd frames
constexpr size_t FIB_SIZE = 32;            // 30 bytes of FIGs + CRC
constexpr size_t FIB_DATA_SIZE = 30;

struct eti_stream {
    int scid = 0;       // sub-channel identifier
    int sad = 0;        // start address in CUs
    int tpl = 0;        // type and protection level
    int stl = 0;        // length in 64-bit words per frame
    size_t offset = 0;  // first byte of the stream in eti_frame::raw
    size_t len = 0;     // stl * 8
};

struct eti_frame {
    // SYNC: ERR(8) FSYNC(24)
    int err = 0;
    uint32_t fsync = 0;
    // FC: FCT(8) FICF(1) NST(7) FP(3) MID(2) FL(11)
    int fct = 0, ficf = 0, nst = 0, fp = 0, mid = 0, fl = 0;
    // EOH: MNSC(16) CRC(16)
    int mnsc = 0;
    uint32_t tist = 0;
    bool header_crc_ok = false;  // CRC over FC, STC and MNSC
    bool mst_crc_ok = false;     // CRC over FIC and streams
    std::array<eti_stream, ETI_MAX_STREAMS> stc{};
    size_t fic_offset = 0;
    size_t fic_len = 0;  // 0 without FIC, 96 (128 in mode III)
    size_t size = 0;     // bytes from ERR to the end of TIST
    std::array<uint8_t, ETI_FRAME_SIZE> raw{};
    // Sub-channels whose data here is a stand-in, not the broadcast (a receiver that did not
    // decode them for this frame): not to be passed on. Never set by parsing.
    std::bitset<64> undecoded;

    const uint8_t *fic() const { return raw.data() + fic_offset; }
    int fib_count() const { return static_cast<int>(fic_len / FIB_SIZE); }
    const uint8_t *fib(int i) const { return fic() + static_cast<size_t>(i) * FIB_SIZE; }
    bool fib_crc_ok(int i) const;
    const uint8_t *stream_data(int i) const { return raw.data() + stc[static_cast<size_t>(i)].offset; }
    // Index of the stream carrying sub-channel scid, or -1.
    int find_stream(int scid) const;
};

// Parses one frame starting at its ERR byte. Returns the bytes the frame occupies
// (padding not counted), 0 when more bytes are needed to complete the frame, or -1
// when p does not start a plausible frame (no FSYNC, lengths that do not add up).
// CRC errors are reported in the record only.
int parse_eti_frame(const uint8_t *p, size_t len, eti_frame &f);

// True when the multiplex organisation (streams, their addresses, protection and
// lengths) of two frames differs.
bool eti_organisation_differs(const eti_frame &a, const eti_frame &b);

// Reads ETI frames from a descriptor: raw 6144-byte frames as well as streams in which
// frames are not padded; garbage between frames is skipped.
class eti_reader {
public:
    eti_reader() = default;
    ~eti_reader();
    eti_reader(const eti_reader &) = delete;
    eti_reader &operator=(const eti_reader &) = delete;

    // Opens a file or FIFO ("-" = standard input, never closed here); 1 or 0 (errno set).
    int open(const char *path);
    // Takes a descriptor; with own it is closed by close() and the destructor.
    void attach(int fd, bool own);
    void close();
    // Starts again from the beginning of a regular file; 1 or 0.
    int rewind();
    int fd() const { return fd_; }

    // 1 = a frame in f, 0 = end of input, -1 = read error, -2 = no frame within
    // timeout_ms (negative: wait without limit). Bytes of a partial frame are kept.
    int next(eti_frame &f, int timeout_ms = -1);

    uint64_t skipped_bytes() const { return skipped_; }

private:
    int fill(int timeout_ms);

    int fd_ = -1;
    bool own_ = false;
    bool eof_ = false;
    std::vector<uint8_t> buf_;
    size_t start_ = 0, end_ = 0;
    uint64_t skipped_ = 0;
};

}  // namespace dabcommon
