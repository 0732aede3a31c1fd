#pragma once
// The virtual receiver module: driver requests and memory map on the host side,
// the firmware's command set, and the RDI stream written into a pipe.

#include <array>
#include <atomic>
#include <bitset>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/eti_reader.h"
#include "common/rdi_framer.h"
#include "sim/simsource.h"

class sim_module {
public:
    // Starts the module; nullptr (errno set) when the source cannot be opened.
    static std::unique_ptr<sim_module> create(const sim_options &o);
    ~sim_module();
    sim_module(const sim_module &) = delete;
    sim_module &operator=(const sim_module &) = delete;

    // The descriptor the host reads the RDI stream from.
    int rdi_fd() const { return rdi_read_; }
    // A driver request like ioctl(2): the result, or -1 with errno set.
    int request(unsigned long req, void *arg);
    // A read of the RDI stream like read(2); ENODEV once the module has been pulled out.
    ssize_t read_stream(void *buf, size_t len);

private:
    explicit sim_module(const sim_options &o);

    using record = std::vector<uint8_t>;
    using clock = std::chrono::steady_clock;

    // Driver side.
    int bulk(void *arg);
    int msg_request(unsigned long req, void *arg);
    void advance(clock::time_point now);
    void host_message_ready();
    void publish(std::vector<record> answer);
    void fill_mailbox();

    // Firmware side (module mutex held). execute() answers one host message.
    std::vector<record> execute(const uint8_t *msg, size_t len);
    void cmd_tune(const uint8_t *p, std::vector<record> &out);
    void cmd_search(const uint8_t *p, std::vector<record> &out);
    void cmd_select_subchannel(const uint8_t *p, std::vector<record> &out);
    void cmd_get_figs(const uint8_t *p, std::vector<record> &out);
    void cmd_get_subch_params(int subchid, std::vector<record> &out);
    void cmd_ms_audio_info(std::vector<record> &out);
    struct command;
    static const command commands[];
    bool run_tune(const uint8_t *p, std::vector<record> &out);
    bool run_get_figs(const uint8_t *p, std::vector<record> &out);
    bool run_select_subchannel(const uint8_t *p, std::vector<record> &out);
    bool run_search(const uint8_t *p, std::vector<record> &out);
    bool run_get_frequency(const uint8_t *p, std::vector<record> &out);
    bool run_set_drc(const uint8_t *p, std::vector<record> &out);
    bool run_get_dab_status(const uint8_t *p, std::vector<record> &out);
    bool run_set_notifications(const uint8_t *p, std::vector<record> &out);
    bool run_get_version(const uint8_t *p, std::vector<record> &out);
    bool run_no_operation(const uint8_t *p, std::vector<record> &out);
    bool run_write_memblock(const uint8_t *p, std::vector<record> &out);
    bool run_read_memblock(const uint8_t *p, std::vector<record> &out);
    bool run_set_rdi_config(const uint8_t *p, std::vector<record> &out);
    bool run_get_rdi_subch_list(const uint8_t *p, std::vector<record> &out);
    bool run_set_tune_wait_loops(const uint8_t *p, std::vector<record> &out);
    bool run_get_subch_params(const uint8_t *p, std::vector<record> &out);
    bool run_ms_audio_info(const uint8_t *p, std::vector<record> &out);
    record status_record(int reason) const;
    void retune(int khz);
    void step_search(clock::time_point now);
    void signal_changed(int reason);
    bool synchronised() const;
    // n FIBs into the last second's error history.
    void count_fibs(int n, bool bad);

    // Signal thread.
    void run();
    void emit(const std::vector<uint32_t> &words);

    sim_options opt_;
    std::unique_ptr<sim_source> source_;
    int rdi_read_ = -1;
    int rdi_write_ = -1;

    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;

    // Memory map and mailbox.
    std::array<uint8_t, 65536> mem_{};
    int pending_read_addr_ = -1;
    int pending_read_len_ = 0;
    bool busy_ = false;
    clock::time_point busy_until_{};
    std::vector<record> in_flight_;
    std::deque<record> outbox_;                 // records waiting for the next host message
    std::deque<std::vector<uint8_t>> messages_;  // PCI: whole answer messages
    std::array<std::array<char, 17>, 16> names_{};

    // Driver state.
    bool removed_ = false;
    std::atomic<bool> gone_{false};  // removed_, for reads without the module lock
    int overruns_ = 0;

    // Firmware state.
    int tuned_khz_ = 0;
    int rdi_config_ = 0;
    int auto_sync_ = 0, auto_reconf_ = 0, auto_ber_ = 0, auto_mute_ = 0;
    int drc_ = 0;
    int tune_wait_loops_ = 0;
    int audio_subch_ = -1;
    std::bitset<64> routed_;
    bool signal_ = false;  // synchronisation as last reported
    int reconf_count_ = 0;
    int fib_errors_ = 0;  // FIBs with a wrong CRC in the last second
    std::deque<bool> fib_history_;
    bool search_active_ = false;
    std::vector<int> search_plan_;
    size_t search_pos_ = 0;
    bool search_notify_ = false;
    clock::time_point search_next_{};
    dabcommon::eti_frame last_{};
    bool have_last_ = false;
    bool debug_mode_ = false;
    uint32_t debug_counter_ = 0;
    std::vector<uint8_t> pending_out_;
};
