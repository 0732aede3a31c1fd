#pragma once
// What the virtual module's antenna receives: ensembles from ETI files, one per
// frequency, or one live ETI stream.

#include <atomic>
#include <bitset>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "common/eti_reader.h"
#include "common/source_stats.h"

class sim_source;

// Parsed device name: "sim:DIR[,option...]" or "sim:eti=PATH[,option...]".
struct sim_options {
    std::string dir;
    std::string eti;
    bool pci = false;
    double speed = 1.0;
    // A source of another kind (the software receiver) instead of ETI files.
    std::function<std::unique_ptr<sim_source>()> make_source;
};

// 1 when the name is a valid virtual device name, 0 otherwise.
int parse_sim_name(const char *name, sim_options &o);

// kHz of an ensemble file's base name ("12c", "la", "227360"), 0 when it names no frequency.
int sim_file_khz(const char *base);

class sim_source {
public:
    virtual ~sim_source() = default;
    // Whether an ensemble can be received at kHz. Called from any thread.
    virtual bool has_ensemble(int khz) const = 0;
    // The following run on the module's signal thread only.
    // Switches to the ensemble at kHz (0 = none).
    virtual void tune(int khz) = 0;
    // 1 = next frame in f, 0 = no signal, -2 = nothing yet within timeout_ms.
    virtual int next(dabcommon::eti_frame &f, int timeout_ms) = 0;
    // Live input paces itself; files are paced by the module.
    virtual bool live() const = 0;
    // The device has been pulled out.
    virtual bool unplugged() const = 0;
    // Input bytes that were no frame (garbage, broken or cut-off frames), ever growing.
    virtual uint64_t skipped_bytes() const = 0;
    // The sub-channels the host has routed, whenever that set changes: a receiver decodes
    // only those.
    virtual void set_routed(const std::bitset<64> &routed) { (void)routed; }
    // What this antenna measures beyond the protocol (SNR, EDI counters). Called from any thread.
    virtual void stats(dabcommon::source_stats &s) const { (void)s; }
};

// Ensemble files in a directory, each looped.
class sim_dir_source : public sim_source {
public:
    // 0 when the directory cannot be read.
    int open(const std::string &dir);
    bool has_ensemble(int khz) const override;
    void tune(int khz) override;
    int next(dabcommon::eti_frame &f, int timeout_ms) override;
    bool live() const override { return false; }
    bool unplugged() const override;
    uint64_t skipped_bytes() const override { return reader_.skipped_bytes(); }
    size_t ensembles() const { return files_.size(); }

private:
    std::string dir_;
    std::map<int, std::string> files_;  // kHz -> path
    dabcommon::eti_reader reader_;
    bool open_ = false;
};

// One live ETI stream; received on every frequency until its input ends. A FIFO's input
// ends with its writer and is received again from the next one.
class sim_live_source : public sim_source {
public:
    int open(const std::string &path);
    bool has_ensemble(int) const override { return !ended_; }
    void tune(int) override {}
    int next(dabcommon::eti_frame &f, int timeout_ms) override;
    bool live() const override { return true; }
    bool unplugged() const override { return false; }
    uint64_t skipped_bytes() const override { return reader_.skipped_bytes(); }

private:
    bool reopen();

    std::string path_;
    bool fifo_ = false;
    dabcommon::eti_reader reader_;
    std::atomic<bool> ended_{false};
};

std::unique_ptr<sim_source> make_sim_source(const sim_options &o);
