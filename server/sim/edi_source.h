#pragma once
// EDI as the virtual module's antenna: a multiplexer's network output (UDP with PFT, unicast or
// multicast; a TCP connection to its server) or a file or pipe of its packets. Received on every
// frequency; each rebuilt ETI frame takes the module's ETI path, with all its checks.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/edi_decoder.h"
#include "sim/simsource.h"

struct edi_address {
    enum kind_t { UDP, TCP, FILE } kind = FILE;
    std::string host;  // UDP: the address bound to (empty: any) or the multicast group; TCP: the server
    int port = 0;
    std::string path;  // FILE: a file, a FIFO or "-"
    bool multicast = false;
};

// "udp://[BIND@]PORT", "udp://GROUP@PORT", "tcp://HOST:PORT", "-" or a path. 1 or 0.
int parse_edi_address(const std::string &text, edi_address &a);

class edi_source : public sim_source {
public:
    // Opens the input and starts its thread; nullptr (the reason on standard error) when the
    // address is unusable: a port taken, a file missing, an unknown multicast interface.
    static std::unique_ptr<edi_source> open(const std::string &text, const std::string &mcastif);
    ~edi_source() override;
    edi_source(const edi_source &) = delete;
    edi_source &operator=(const edi_source &) = delete;

    // Frames arrived within the last seconds (or are waiting): the sender's ensemble, on any
    // frequency.
    bool has_ensemble(int khz) const override;
    void tune(int) override {}
    int next(dabcommon::eti_frame &f, int timeout_ms) override;
    bool live() const override { return true; }
    bool unplugged() const override { return false; }
    // Lost frames count as input that was no frame, so that the module's error rate shows them.
    uint64_t skipped_bytes() const override;
    void stats(dabcommon::source_stats &s) const override;

private:
    explicit edi_source(const edi_address &a);
    bool open_input(const std::string &mcastif);
    void run();
    void run_udp();
    void run_tcp();
    void run_file();
    // Until the end of the input, idle_limit_ms without data (0: no limit) or the stop; false at
    // the stop.
    bool read_stream(int fd, int64_t idle_limit_ms);
    void on_frame(const uint8_t *eti);
    void publish();
    bool wait_stop(int ms);

    edi_address addr_;
    int fd_ = -1;
    bool fifo_ = false;
    dabcommon::edi_decoder dec_;  // the thread's

    mutable std::mutex m_;
    std::condition_variable cv_;       // frames queued, room in the queue, the stop
    std::deque<std::unique_ptr<dabcommon::eti_frame>> queue_;
    std::deque<std::unique_ptr<dabcommon::eti_frame>> spare_;
    dabcommon::edi_counters counters_;  // copied from the decoder
    uint64_t dropped_ = 0;              // frames the module did not take in time (no EDI loss)
    uint64_t unparsable_ = 0;           // rebuilt frames the ETI parser refused
    int64_t last_frame_ms_ = -1;
    bool stop_ = false;
    bool ended_ = false;
    std::thread thread_;
};
