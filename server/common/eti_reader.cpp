#include "common/eti_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/crc16.h"

namespace dabcommon {
namespace {

constexpr size_t SYNC_SIZE = 4;
constexpr size_t FC_SIZE = 4;
constexpr size_t STC_ENTRY_SIZE = 4;
constexpr size_t EOH_SIZE = 4;
constexpr size_t EOF_SIZE = 4;
constexpr size_t TIST_SIZE = 4;
constexpr size_t READ_CHUNK = 16384;

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

bool is_fsync(const uint8_t *p) {
    uint32_t s = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
    return s == ETI_FSYNC0 || s == ETI_FSYNC1;
}

}  // namespace

bool eti_frame::fib_crc_ok(int i) const {
    if (i < 0 || i >= fib_count()) return false;
    const uint8_t *b = fib(i);
    return crc16(b, FIB_DATA_SIZE) == be16(b + FIB_DATA_SIZE);
}

int eti_frame::find_stream(int scid) const {
    for (int i = 0; i < nst; i++)
        if (stc[static_cast<size_t>(i)].scid == scid) return i;
    return -1;
}

int parse_eti_frame(const uint8_t *p, size_t len, eti_frame &f) {
    f.undecoded.reset();
    if (len < SYNC_SIZE) return 0;
    if (!is_fsync(p + 1)) return -1;
    if (len < SYNC_SIZE + FC_SIZE) return 0;

    const uint8_t *fc = p + SYNC_SIZE;
    // FC: FCT(8) FICF(1) NST(7) FP(3) MID(2) FL(11)
    int fct = fc[0];
    int ficf = fc[1] >> 7;
    int nst = fc[1] & 0x7F;
    int fp = fc[2] >> 5;
    int mid = (fc[2] >> 3) & 0x03;
    int fl = (fc[2] & 0x07) << 8 | fc[3];
    if (nst > ETI_MAX_STREAMS) return -1;
    size_t fic_words = ficf ? (mid == 3 ? 32 : 24) : 0;

    size_t header_end = SYNC_SIZE + FC_SIZE + STC_ENTRY_SIZE * static_cast<size_t>(nst) + EOH_SIZE;
    size_t frame_size = SYNC_SIZE + FC_SIZE + 4 * static_cast<size_t>(fl) + EOF_SIZE + TIST_SIZE;
    if (frame_size > ETI_FRAME_SIZE || static_cast<size_t>(fl) < static_cast<size_t>(nst) + 1 + fic_words) return -1;
    if (len < header_end) return 0;

    // FL counts the words of STC, EOH and MST; the stream lengths must fill MST exactly.
    size_t mst_words = 0;
    for (int i = 0; i < nst; i++) {
        const uint8_t *s = fc + FC_SIZE + STC_ENTRY_SIZE * static_cast<size_t>(i);
        mst_words += 2 * static_cast<size_t>((s[2] & 0x03) << 8 | s[3]);
    }
    if (static_cast<size_t>(nst) + 1 + fic_words + mst_words != static_cast<size_t>(fl)) return -1;
    if (len < frame_size) return 0;

    f.err = p[0];
    f.fsync = static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
    f.fct = fct;
    f.ficf = ficf;
    f.nst = nst;
    f.fp = fp;
    f.mid = mid;
    f.fl = fl;
    f.size = frame_size;
    std::memcpy(f.raw.data(), p, frame_size);
    if (frame_size < ETI_FRAME_SIZE) std::memset(f.raw.data() + frame_size, 0x55, ETI_FRAME_SIZE - frame_size);

    size_t offset = header_end;
    f.fic_offset = offset;
    f.fic_len = fic_words * 4;
    offset += f.fic_len;
    for (int i = 0; i < ETI_MAX_STREAMS; i++) {
        eti_stream &st = f.stc[static_cast<size_t>(i)];
        if (i >= nst) {
            st = eti_stream{};
            continue;
        }
        const uint8_t *s = fc + FC_SIZE + STC_ENTRY_SIZE * static_cast<size_t>(i);
        // STC: SCID(6) SAD(10) TPL(6) STL(10)
        st.scid = s[0] >> 2;
        st.sad = (s[0] & 0x03) << 8 | s[1];
        st.tpl = s[2] >> 2;
        st.stl = (s[2] & 0x03) << 8 | s[3];
        st.offset = offset;
        st.len = static_cast<size_t>(st.stl) * 8;
        offset += st.len;
    }

    const uint8_t *eoh = p + header_end - EOH_SIZE;
    f.mnsc = be16(eoh);
    f.header_crc_ok = crc16(fc, header_end - EOH_SIZE + 2 - SYNC_SIZE) == be16(eoh + 2);
    const uint8_t *eof = p + offset;
    f.mst_crc_ok = crc16(p + header_end, offset - header_end) == be16(eof);
    const uint8_t *tist = eof + EOF_SIZE;
    f.tist = static_cast<uint32_t>(tist[0]) << 24 | static_cast<uint32_t>(tist[1]) << 16 |
             static_cast<uint32_t>(tist[2]) << 8 | tist[3];
    return static_cast<int>(frame_size);
}

bool eti_organisation_differs(const eti_frame &a, const eti_frame &b) {
    if (a.nst != b.nst) return true;
    for (int i = 0; i < a.nst; i++) {
        const eti_stream &x = a.stc[static_cast<size_t>(i)];
        const eti_stream &y = b.stc[static_cast<size_t>(i)];
        if (x.scid != y.scid || x.sad != y.sad || x.tpl != y.tpl || x.stl != y.stl) return true;
    }
    return false;
}

eti_reader::~eti_reader() { close(); }

int eti_reader::open(const char *path) {
    close();
    if (!path) {
        errno = EINVAL;
        return 0;
    }
    if (std::strcmp(path, "-") == 0) {
        attach(STDIN_FILENO, false);
        return 1;
    }
    // Non-blocking, so that opening a FIFO does not wait for its writer; next() polls.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    attach(fd, true);
    return 1;
}

void eti_reader::attach(int fd, bool own) {
    close();
    fd_ = fd;
    own_ = own;
    eof_ = false;
    start_ = end_ = 0;
}

void eti_reader::close() {
    if (fd_ >= 0 && own_) ::close(fd_);
    fd_ = -1;
    own_ = false;
    eof_ = false;
    start_ = end_ = 0;
}

int eti_reader::rewind() {
    if (fd_ < 0) return 0;
    struct stat st;
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    if (lseek(fd_, 0, SEEK_SET) != 0) return 0;
    eof_ = false;
    start_ = end_ = 0;
    return 1;
}

int eti_reader::fill(int timeout_ms) {
    if (buf_.size() < 2 * ETI_FRAME_SIZE + READ_CHUNK) buf_.resize(2 * ETI_FRAME_SIZE + READ_CHUNK);
    if (start_ > 0) {
        std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    size_t room = buf_.size() - end_;
    pollfd pfd = {fd_, POLLIN, 0};
    int r = poll(&pfd, 1, timeout_ms);
    if (r < 0) return errno == EINTR ? -2 : -1;
    if (r == 0) return -2;
    ssize_t n = ::read(fd_, buf_.data() + end_, room);
    if (n < 0) return (errno == EAGAIN || errno == EINTR) ? -2 : -1;
    if (n == 0) {
        eof_ = true;
        return 0;
    }
    end_ += static_cast<size_t>(n);
    return 1;
}

int eti_reader::next(eti_frame &f, int timeout_ms) {
    if (fd_ < 0) return -1;
    for (;;) {
        while (end_ - start_ >= SYNC_SIZE) {
            int r = parse_eti_frame(buf_.data() + start_, end_ - start_, f);
            if (r > 0) {
                start_ += static_cast<size_t>(r);
                return 1;
            }
            if (r == 0) break;
            // 0x55 is the padding of raw frames, not lost data.
            if (buf_[start_] != 0x55) skipped_++;
            start_++;
        }
        if (eof_) {
            // The padding at the end of the last raw frame is no lost data either.
            for (size_t i = start_; i < end_; i++) skipped_ += buf_[i] != 0x55;
            start_ = end_ = 0;
            return 0;
        }
        int r = fill(timeout_ms);
        if (r == 0) continue;  // parse what is left, then report the end
        if (r < 0) return r;
    }
}

}  // namespace dabcommon
