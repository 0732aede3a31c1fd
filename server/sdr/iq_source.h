#pragma once
// Where the software receiver's samples come from: a recording, an rtl_tcp server or an
// RTL-SDR stick through librtlsdr. All deliver complex samples at 2.048 Msps.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class iq_format { u8, s8, s16le, cf32 };

// Parsed device name:
//   sdr:file=PATH[,format=u8|s8|s16le|cf32][,loop][,speed=N]
//   sdr:rtl_tcp=HOST:PORT[,speed=N]
//   sdr:rtlsdr[=INDEX]
struct sdr_options {
    enum kind_t { none, file, rtl_tcp, rtlsdr } kind = none;
    std::string path;  // file
    std::string host;  // rtl_tcp
    int port = 0;
    int index = 0;  // rtlsdr
    iq_format format = iq_format::u8;
    bool loop = false;
    double speed = 1.0;
};

// 1 when the name is a valid receiver device name, 0 otherwise.
int parse_sdr_name(const char *name, sdr_options &o);

// Raw samples of a format -> complex samples; n bytes, whole samples only. Returns the count.
size_t iq_convert(iq_format f, const uint8_t *p, size_t n, std::complex<float> *out);
size_t iq_sample_bytes(iq_format f);

class iq_source {
public:
    virtual ~iq_source() = default;
    // Samples into out (up to max): the count, 0 = none within timeout_ms, -1 = the input
    // has ended or is lost for good.
    virtual long read(std::complex<float> *out, size_t max, int timeout_ms) = 0;
    // Samples arrive at their own pace (a receiver) rather than when asked (a file).
    virtual bool live() const = 0;
    // Tunes to hz; false when the tuner could not be told.
    virtual bool set_frequency(uint32_t hz) {
        (void)hz;
        return true;
    }
};

// A recording; with loop it starts again at its end.
class file_iq_source : public iq_source {
public:
    ~file_iq_source() override;
    // 0 (errno set) when the file cannot be opened.
    int open(const std::string &path, iq_format f, bool loop);
    long read(std::complex<float> *out, size_t max, int timeout_ms) override;
    bool live() const override { return false; }

private:
    int fd_ = -1;
    iq_format format_ = iq_format::u8;
    bool loop_ = false;
    bool empty_pass_ = true;  // no sample since the last rewind: a file without samples ends
    std::vector<uint8_t> buf_;
    size_t have_ = 0;  // bytes of a partial sample kept at the front of buf_
};

// A client of an rtl_tcp server: the greeting, then 8-bit samples; commands of 5 bytes.
class rtltcp_iq_source : public iq_source {
public:
    ~rtltcp_iq_source() override;
    // 0 (errno set) when no rtl_tcp server answers with its greeting.
    int open(const std::string &host, int port);
    long read(std::complex<float> *out, size_t max, int timeout_ms) override;
    bool live() const override { return true; }
    bool set_frequency(uint32_t hz) override;
    // rtl_tcp commands: 1 frequency, 2 sample rate, 3 gain mode, 4 gain, 8 AGC.
    bool command(uint8_t cmd, uint32_t value);

private:
    int fd_ = -1;
    std::vector<uint8_t> buf_;
    size_t have_ = 0;
    size_t skip_ = 0;  // bytes still to drop after a retune
};

// An RTL-SDR stick through librtlsdr, where the server was built with it.
std::unique_ptr<iq_source> open_rtlsdr(int index, std::string &error);
