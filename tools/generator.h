#pragma once
// The ensemble generator: FIC, audio and packet-mode sub-channels, ETI frames.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "desc.h"
#include "eti.h"
#include "fig.h"

namespace dabgen {

struct fault_counters;
class subchannel;

struct subchannel_info {
    int subchid;
    int start_address;
    int size;  // CUs
    int bitrate;
    protection_desc prot;
    int table_index;  // UEP only
};

class generator {
  public:
    explicit generator(const ensemble_desc &d);
    ~generator();
    generator(const generator &) = delete;
    generator &operator=(const generator &) = delete;

    // Prepares encoders and reads the files of the description. Notes go to warnings.
    bool init(std::string &err, std::vector<std::string> &warnings);
    uint32_t frame_count() const { return frames_; }
    // Frames must be requested in order, starting at 0.
    void frame(uint32_t n, uint8_t out[eti_frame_size]);

    const std::vector<subchannel_info> &subchannels() const { return info_; }
    // The FIGs of the carousel, for inspection.
    const std::vector<bytes> &figs() const { return figs_; }

  private:
    void build_figs();
    ensemble_desc d_;
    uint32_t frames_ = 0;
    int64_t time0_ = 0;
    std::vector<subchannel_info> info_;
    std::vector<std::unique_ptr<subchannel>> subs_;
    std::vector<bytes> figs_;
    fic_carousel fic_;
    std::unique_ptr<fault_counters> faults_;
    std::vector<uint8_t> buf_;
};

// gzip-compresses data with a fixed header, so that output repeats byte for byte.
bool gzip_bytes(const bytes &in, bytes &out);

}  // namespace dabgen
