#pragma once
// A real dabserver on the virtual module playing a recorded signal, and the clients that read
// its pages and streams.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace testsupport {

// The demo ensembles, written by scripts/make-demo-signal.
std::string demo_signal_dir();
bool have_demo_signal();
bool have_program(const char *path);

#define NEED_DEMO_SIGNAL()                                                                        \
    if (!testsupport::have_demo_signal())                                                         \
    GTEST_SKIP() << "demo signal not generated (make demo-signal): " << testsupport::demo_signal_dir()

struct demo_options {
    bool decoder = false;      // the MOT/PAD decoder on, writing below the document root
    std::string ini;           // dab.ini
    std::string host_name = "radio.example";
    double stop_timeout = 30;  // the decoder's threads take longer under the sanitizers
};

// A dabserver in a scratch directory; the log goes to its standard output. Its end is checked:
// every thread stopped, nothing leaked (under the sanitizers).
struct demo_server {
    temp_dir dir;
    int port = free_port();
    std::string host;  // host name and port, as the server writes its URLs
    double stop_timeout;
    std::unique_ptr<child> proc;

    explicit demo_server(const std::string &device, const demo_options &o = {});
    ~demo_server();
    demo_server(const demo_server &) = delete;
    demo_server &operator=(const demo_server &) = delete;

    bool ready();
    std::string get(const std::string &path, bool ipv6 = false);
    std::string url(const std::string &path) const;
    // The path of an absolute URL with the configured host name, "" for any other URL.
    std::string local_path(const std::string &u) const;
    // Waits until the status page lists n services.
    bool table_ready(size_t n);
};

// Extra header lines a stream client sends.
struct header_lines {
    std::string text;
};

// A stream client that reads at its own pace.
struct stream_client {
    int s = -1;
    std::string head, data;

    stream_client(int port, const std::string &path, bool ipv6 = false, int rcvbuf = 0);
    stream_client(int port, const std::string &path, const header_lines &lines);
    ~stream_client();
    stream_client(const stream_client &) = delete;
    stream_client &operator=(const stream_client &) = delete;

    int status() const;
    // False when the server closed the connection.
    bool read_into(std::string &out, int ms);
    bool read_for(double seconds);
    bool read_bytes(size_t n, double seconds);
    bool read_until(double seconds, const std::function<bool()> &done);

private:
    void open(int port, const std::string &path, bool ipv6, int rcvbuf, const std::string &lines);
};

// One subchannel's bytes in the ETI file as the generator wrote them, one string per frame.
std::vector<std::string> subchannel_frames(const std::string &eti, int subchid);

// The first number after key on a page (markup between skipped), -1 without one.
long number_after(const std::string &page, const std::string &key);

// The numbers of the DAB+ row of a subchannel on the statistics page, in column order:
// superframes, sync losses, RS corrected, uncorrectable, AU CRC errors, bad tables, AUs.
std::vector<long> dabplus_row(const std::string &page, int subch);

// Of a u8 recording the modulator wrote of eti_frames ETI frames in two passes ("-n 2"), the
// second pass into out, twice removed: it loops without a seam, its time interleaver already
// full of the first pass's end. False (why set) when the file is not two passes long.
bool keep_second_pass(const std::string &twice, size_t eti_frames, const std::string &out, std::string *why);

// Whether got is a contiguous run of the looped frames, starting at a frame boundary.
bool contiguous_run(const std::vector<std::string> &frames, const std::string &got, std::string *why);

}  // namespace testsupport
