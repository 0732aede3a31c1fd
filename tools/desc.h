#pragma once
// Ensemble description: what dabgen broadcasts. Parsed from a small line-based text format
// (see tools/README.md).
#include <cstdint>
#include <string>
#include <vector>

namespace dabgen {

struct protection_desc {
    bool uep = true;
    int level = 3;   // UEP 1..5, EEP 1..4
    int option = 0;  // EEP set: 0 = A, 1 = B
};

struct audio_source_desc {
    enum kind_t { TONE, SWEEP, NOISE, SPEECH, SILENCE } kind = TONE;
    double f1 = 440, f2 = 440;  // tone: left/right; sweep: start/end
    double period = 5;          // sweep duration in seconds
    std::string text;           // speech
};

struct mot_file_desc {
    std::string path;  // file to send
    std::string name;  // ContentName
    int ct_type = -1, ct_subtype = -1;
    bool gzip = false;
    std::string label;  // ContentLabel, optional
};

struct service_desc {
    enum kind_t { AUDIO, PACKET } kind = AUDIO;
    int line = 0;  // where the section starts, for messages
    uint32_t sid = 0;
    bool long_sid = false;  // 32-bit service identifier
    std::string label, short_label, component_label;
    int pty = 0;
    int subchid = -1;
    int bitrate = 0;  // 0: inherited from another service of the same sub-channel
    protection_desc prot;
    bool prot_set = false;

    // audio
    enum codec_t { MP2, AAC } codec = MP2;  // Layer II or DAB+
    int samplerate = 48000;
    bool mono = false;
    bool sbr = false, ps = false;  // DAB+ only: AUs at half rate, flagged SBR; PS flag
    audio_source_desc source;
    std::vector<std::string> dls;
    double dls_interval = 8;
    bool dls_clear = false;
    std::vector<std::string> slides;
    double slide_interval = 12;
    int xpad = 0;  // bytes reserved per audio frame; 0 picks one from the bit rate
    int segment_size = 0;

    // packet mode
    enum app_t { CAROUSEL, WEBSITE, IPDAB } app = CAROUSEL;
    int address = 1;
    int scid = 1;
    int packet_size = 96;
    std::vector<mot_file_desc> files;
    std::string index;  // DirectoryIndex of a website
    uint32_t mcast_addr = 0;
    int mcast_port = 5000;
    int ttl = 4;
    std::vector<std::string> payloads;
    double interval = 1;  // seconds between datagrams
};

struct fault_desc {
    int fib_crc = 0;      // corrupt one FIB CRC every n frames
    int drop_packet = 0;  // drop every n-th packet
    int packet_crc = 0;   // corrupt every n-th packet CRC
    int dg_crc = 0;       // corrupt every n-th data group CRC
    int truncate = 0;     // truncate every n-th frame of truncate_subchid
    int truncate_subchid = -1;
    // DAB+ sub-channels
    int rs_errors = 0;        // byte errors in each RS codeword ...
    int rs_errors_every = 0;  // ... of every k-th superframe of rs_errors_subchid
    int rs_errors_subchid = -1;
    int au_crc = 0;  // break every n-th AU CRC of au_crc_subchid
    int au_crc_subchid = -1;
    // any sub-channel: every n-th logical frame of drop_frame_subchid replaced by zeros
    int drop_frame = 0;
    int drop_frame_subchid = -1;
};

struct ensemble_desc {
    std::string label = "DAB ENSEMBLE", short_label;
    uint16_t eid = 0xC000;
    uint8_t ecc = 0xE0;
    int lto = 0;  // half hours
    std::string channel = "12C";
    double duration = 30;
    int64_t time = 946684800;  // FIG 0/10 start time, seconds since 1970; -1: the clock
    uint32_t seed = 1;
    std::vector<service_desc> services;
    fault_desc faults;
    std::string base_dir;  // files are relative to the description
};

// Parses a description; on failure returns false with "file:line: message" in err.
bool parse_description(const std::string &text, const std::string &file_name, ensemble_desc &out,
                       std::string &err);
bool load_description(const std::string &path, ensemble_desc &out, std::string &err);

// Whole file into out; false with "<path>: cannot open" in err.
bool read_whole_file(const std::string &path, std::string &out, std::string &err);

// Character flag field selecting short from label (short must be a subsequence of at most
// 8 characters), or -1.
int short_label_flags(const std::string &label, const std::string &short_label);

}  // namespace dabgen
