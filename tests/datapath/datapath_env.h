#pragma once
// An ensemble for data path tests: log lines are captured, nothing is printed, and the
// RDI stream comes from a pipe the test writes into.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "common/rdi_framer.h"
#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "datapath/fic.h"
#include "datapath/rdi.h"
#include "support/log_capture.h"

namespace dptest {

class datapath_env {
    testsupport::log_capture captured_;  // declared first: it outlives the ensemble's last messages

public:
    // The decoders reach the test's ensemble through their back pointers: the global stays unset.
    datapath_env() {
        ens.cfg->logfilelevel = LOG_NONE;
        ens.cfg->logscrnlevel = LOG_NONE;
        captured_.attach(ens.l);
    }
    ~datapath_env() {
        ens.rdi_stream->stop();
        close_pipe();
    }
    datapath_env(const datapath_env &) = delete;
    datapath_env &operator=(const datapath_env &) = delete;

    // The device descriptor becomes the read end of a fresh pipe.
    void open_pipe() {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ens.cfg->fd = fds[0];
        writer_ = fds[1];
    }
    void close_writer() {
        if (writer_ >= 0) close(writer_);
        writer_ = -1;
    }
    void close_pipe() {
        close_writer();
        if (ens.cfg->fd >= 0) close(ens.cfg->fd);
        ens.cfg->fd = -1;
    }
    void write_bytes(const std::vector<uint8_t> &b) {
        size_t done = 0;
        while (done < b.size()) {
            ssize_t n = write(writer_, b.data() + done, b.size() - done);
            ASSERT_GT(n, 0);
            done += static_cast<size_t>(n);
        }
    }
    void write_words(const std::vector<uint32_t> &w) {
        std::vector<uint8_t> b;
        dabcommon::rdi_to_bytes(w.data(), w.size(), b);
        write_bytes(b);
    }

    int count(const std::string &text, int level = -1) {
        int n = 0;
        for (auto &l : captured_.lines())
            if ((level < 0 || l.level == level) && l.text.find(text) != std::string::npos) n++;
        return n;
    }
    std::vector<testsupport::log_line> lines() { return captured_.lines(); }

    ensemble ens;

private:
    int writer_ = -1;
};

// A FIB under construction: FIGs appended, then the end marker and zero padding.
class fib_builder {
public:
    fib_builder &fig(int type, int type_byte, const std::vector<int> &body) {
        bytes_.push_back(static_cast<uint8_t>(type << 5 | static_cast<int>(body.size() + 1)));
        bytes_.push_back(static_cast<uint8_t>(type_byte));
        for (int b : body) bytes_.push_back(static_cast<uint8_t>(b));
        return *this;
    }
    // FIG type 0 with C/N, OE, P/D clear unless given.
    fib_builder &fig0(int ext, const std::vector<int> &body, int pd = 0, int cn = 0) {
        return fig(0, cn << 7 | pd << 5 | ext, body);
    }
    fib_builder &raw(std::initializer_list<int> b) {
        for (int x : b) bytes_.push_back(static_cast<uint8_t>(x));
        return *this;
    }
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> out = bytes_;
        if (out.size() < FIB_BYTES) out.push_back(0xFF);
        out.resize(FIB_BYTES, 0x00);
        return out;
    }
    // The 32 bytes with the CRC, as the FIC carries them.
    std::vector<uint8_t> with_crc(bool good = true) const {
        std::vector<uint8_t> out = bytes();
        uint16_t crc = dabcommon::crc16(out.data(), FIB_BYTES);
        if (!good) crc ^= 0x5555;
        out.push_back(static_cast<uint8_t>(crc >> 8));
        out.push_back(static_cast<uint8_t>(crc));
        return out;
    }

private:
    std::vector<uint8_t> bytes_;
};

// Header, 12 data words and status word of one FIC frame.
inline std::vector<uint32_t> fic_frame(const fib_builder &b, bool good = true) {
    std::vector<uint32_t> w;
    std::vector<uint8_t> fib = b.with_crc(good);
    dabcommon::rdi_fic_frame(fib.data(), 0, 1, w);
    return w;
}

// A 16-character label body for FIG 1 entries.
inline std::vector<int> label_chars(const char *s) {
    std::vector<int> out(16, ' ');
    for (size_t i = 0; i < 16 && s[i]; i++) out[i] = static_cast<unsigned char>(s[i]);
    return out;
}

}  // namespace dptest
