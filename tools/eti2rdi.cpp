// eti2rdi: converts an ETI(NI) file into the receiver's RDI word stream, written as dump
// files rdi0.dmp, rdi1.dmp, ... that "dabserver -E" replays. Every sub-channel is routed.
#include <fcntl.h>
#include <unistd.h>

#include <bitset>
#include <memory>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/eti_reader.h"
#include "common/rdi_framer.h"

namespace {

void usage(FILE *f) {
    fprintf(f,
            "Usage: eti2rdi [options] [ETI-FILE]\n"
            "Converts an ETI(NI) file (default: standard input) into RDI dump files\n"
            "rdi0.dmp, rdi1.dmp, ... for replay with \"dabserver -E\"; all sub-channels\n"
            "are routed.\n"
            "\n"
            "  -o DIR        directory for the dump files (default: .)\n"
            "  -s MIB        size of each dump file in MiB (default 4, whole frames)\n"
            "  -p 20|22      bit packing of the sub-channel data (default 22)\n"
            "  -n            no filler words (by default the stream is padded to the\n"
            "                replay rate of 64 KiB per 160 ms)\n"
            "  -q            no summary on standard error\n"
            "  -h, --help    this text\n");
}

class dump_writer {
  public:
    dump_writer(std::string dir, size_t limit) : dir_(std::move(dir)), limit_(limit) {}
    ~dump_writer() { close(); }

    // Writes one frame's bytes; a new file starts when the current one is full.
    bool write(const std::vector<uint8_t> &b) {
        if (fd_ >= 0 && written_ + b.size() > limit_ && written_ > 0) close();
        if (fd_ < 0 && !open_next()) return false;
        size_t off = 0;
        while (off < b.size()) {
            ssize_t r = ::write(fd_, b.data() + off, b.size() - off);
            if (r < 0) {
                if (errno == EINTR) continue;
                fprintf(stderr, "eti2rdi: write to %s failed: %s\n", name_.c_str(), strerror(errno));
                return false;
            }
            off += static_cast<size_t>(r);
        }
        written_ += b.size();
        total_ += b.size();
        return true;
    }

    bool close() {
        if (fd_ < 0) return true;
        int r = ::close(fd_);
        fd_ = -1;
        if (r != 0) fprintf(stderr, "eti2rdi: closing %s failed: %s\n", name_.c_str(), strerror(errno));
        return r == 0;
    }

    int files() const { return next_; }
    uint64_t total() const { return total_; }

  private:
    bool open_next() {
        char n[32];
        snprintf(n, sizeof n, "rdi%d.dmp", next_);
        name_ = dir_ + "/" + n;
        fd_ = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd_ < 0) {
            fprintf(stderr, "eti2rdi: cannot create %s: %s\n", name_.c_str(), strerror(errno));
            return false;
        }
        next_++;
        written_ = 0;
        return true;
    }

    std::string dir_, name_;
    size_t limit_;
    int fd_ = -1;
    int next_ = 0;
    size_t written_ = 0;
    uint64_t total_ = 0;
};

}  // namespace

int main(int argc, char **argv) {
    std::string dir = ".";
    const char *input = "-";
    bool have_input = false, filler = true, quiet = false;
    int packing = 22;
    long mib = 4;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "-o" && i + 1 < argc) {
            dir = argv[++i];
        } else if (a == "-s" && i + 1 < argc) {
            char *end = nullptr;
            mib = strtol(argv[++i], &end, 10);
            if (!end || *end || mib < 1 || mib > 1024) {
                fprintf(stderr, "eti2rdi: bad file size %s\n", argv[i]);
                return 2;
            }
        } else if (a == "-p" && i + 1 < argc) {
            std::string p = argv[++i];
            if (p != "20" && p != "22") {
                fprintf(stderr, "eti2rdi: packing must be 20 or 22\n");
                return 2;
            }
            packing = p == "20" ? 20 : 22;
        } else if (a == "-n") {
            filler = false;
        } else if (a == "-q") {
            quiet = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            fprintf(stderr, "eti2rdi: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else if (!have_input) {
            input = argv[i];
            have_input = true;
        } else {
            usage(stderr);
            return 2;
        }
    }

    dabcommon::eti_reader reader;
    if (!reader.open(input)) {
        fprintf(stderr, "eti2rdi: cannot open %s: %s\n", input, strerror(errno));
        return 1;
    }
    dabcommon::rdi_framer framer(packing, filler);
    std::bitset<64> routed;
    routed.set();
    dump_writer out(dir, static_cast<size_t>(mib) << 20);
    // the frame record holds a whole frame: keep it off the stack
    auto frame = std::make_unique<dabcommon::eti_frame>();
    std::vector<uint32_t> words;
    std::vector<uint8_t> bytes;
    uint64_t frames = 0, header_errors = 0;
    int r;
    while ((r = reader.next(*frame)) == 1) {
        if (!frame->header_crc_ok) header_errors++;
        words.clear();
        bytes.clear();
        framer.frame(*frame, routed, words);
        dabcommon::rdi_to_bytes(words.data(), words.size(), bytes);
        if (!out.write(bytes)) return 1;
        frames++;
    }
    if (r < 0) {
        fprintf(stderr, "eti2rdi: read error on %s: %s\n", input, strerror(errno));
        return 1;
    }
    if (!out.close()) return 1;
    if (!frames) {
        fprintf(stderr, "eti2rdi: no ETI frame found in %s\n", input);
        return 1;
    }
    if (!quiet) {
        fprintf(stderr, "eti2rdi: %llu frames, %llu bytes in %d files", static_cast<unsigned long long>(frames),
                static_cast<unsigned long long>(out.total()), out.files());
        if (header_errors) fprintf(stderr, ", %llu frames with header CRC errors", static_cast<unsigned long long>(header_errors));
        if (reader.skipped_bytes())
            fprintf(stderr, ", %llu bytes skipped", static_cast<unsigned long long>(reader.skipped_bytes()));
        fprintf(stderr, "\n");
    }
    return 0;
}
