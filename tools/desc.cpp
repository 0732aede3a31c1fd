#include "desc.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "common/dab_tables.h"

namespace dabgen {
namespace {

// Splits a line into words; "quoted strings" keep their spaces, # starts a comment.
bool tokenize(const std::string &line, std::vector<std::string> &words, std::string &err) {
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            i++;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::string w;
            i++;
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    w += line[i + 1];
                    i += 2;
                } else if (line[i] == '"') {
                    closed = true;
                    i++;
                    break;
                } else {
                    w += line[i++];
                }
            }
            if (!closed) {
                err = "unterminated string";
                return false;
            }
            words.push_back(w);
        } else {
            std::string w;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') w += line[i++];
            words.push_back(w);
        }
    }
    return true;
}

bool to_long(const std::string &s, long long &v) {
    if (s.empty()) return false;
    errno = 0;
    char *end = nullptr;
    v = strtoll(s.c_str(), &end, 0);
    return errno == 0 && end && *end == 0;
}

bool to_double(const std::string &s, double &v) {
    if (s.empty()) return false;
    char *end = nullptr;
    v = strtod(s.c_str(), &end);
    return end && *end == 0;
}

// "2024-06-01 12:00:00" (UTC) or "now"
bool parse_time(const std::vector<std::string> &a, int64_t &t) {
    if (a.size() == 1 && a[0] == "now") {
        t = -1;
        return true;
    }
    std::string s = a[0];
    if (a.size() == 2) s += " " + a[1];
    if (a.size() > 2) return false;
    struct tm tm {};
    const char *end = strptime(s.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
    if (!end || *end) {
        tm = {};
        end = strptime(s.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
        if (!end || *end) return false;
    }
    t = timegm(&tm);
    return true;
}

const std::map<std::string, std::pair<int, int>> content_types = {
    {"html", {1, 2}}, {"htm", {1, 2}}, {"txt", {1, 0}},  {"css", {1, 0}}, {"js", {1, 0}},
    {"xml", {1, 3}},  {"gif", {2, 0}}, {"jpg", {2, 1}},  {"jpeg", {2, 1}}, {"bmp", {2, 2}},
    {"png", {2, 3}},  {"mp2", {3, 1}}, {"mp3", {3, 2}},
};

class parser {
  public:
    parser(const std::string &file, ensemble_desc &d) : file_(file), d_(d) {}

    bool line(int no, const std::vector<std::string> &w, std::string &err) {
        line_ = no;
        if (w[0].size() > 2 && w[0].front() == '[' && w[0].back() == ']') {
            if (w.size() != 1) return fail(err, "unexpected words after section name");
            return section(w[0].substr(1, w[0].size() - 2), err);
        }
        std::vector<std::string> a(w.begin() + 1, w.end());
        switch (section_) {
        case NONE: return fail(err, "keyword \"" + w[0] + "\" outside a section");
        case ENSEMBLE: return ensemble_key(w[0], a, err);
        case AUDIO:
        case PACKET: return service_key(w[0], a, err);
        case FAULTS: return fault_key(w[0], a, err);
        }
        return false;
    }

    bool finish(std::string &err);

  private:
    enum section_t { NONE, ENSEMBLE, AUDIO, PACKET, FAULTS };

    bool fail(std::string &err, const std::string &msg) {
        // line 0: the description as a whole
        err = file_ + (line_ ? ":" + std::to_string(line_) : std::string()) + ": " + msg;
        return false;
    }

    bool section(const std::string &name, std::string &err) {
        if (name == "ensemble") {
            section_ = ENSEMBLE;
        } else if (name == "audio" || name == "packet") {
            section_ = name == "audio" ? AUDIO : PACKET;
            service_desc s;
            s.kind = name == "audio" ? service_desc::AUDIO : service_desc::PACKET;
            s.line = line_;
            if (s.kind == service_desc::PACKET) {
                s.prot.uep = false;
                s.prot.level = 3;
            }
            d_.services.push_back(s);
        } else if (name == "faults") {
            section_ = FAULTS;
        } else {
            return fail(err, "unknown section [" + name + "]");
        }
        return true;
    }

    bool count(const std::vector<std::string> &a, size_t lo, size_t hi, std::string &err) {
        if (a.size() < lo || a.size() > hi) return fail(err, "wrong number of values");
        return true;
    }

    bool integer(const std::string &s, long long lo, long long hi, long long &v, std::string &err) {
        if (!to_long(s, v)) return fail(err, "\"" + s + "\" is not a number");
        if (v < lo || v > hi)
            return fail(err, "\"" + s + "\" out of range " + std::to_string(lo) + ".." + std::to_string(hi));
        return true;
    }

    bool number(const std::string &s, double lo, double hi, double &v, std::string &err) {
        if (!to_double(s, v)) return fail(err, "\"" + s + "\" is not a number");
        if (v < lo || v > hi) return fail(err, "\"" + s + "\" out of range");
        return true;
    }

    bool label(const std::vector<std::string> &a, std::string &lab, std::string &shrt, std::string &err) {
        if (!count(a, 1, 2, err)) return false;
        if (a[0].size() > 16) return fail(err, "label longer than 16 characters");
        lab = a[0];
        if (a.size() == 2) {
            if (short_label_flags(lab, a[1]) < 0)
                return fail(err, "short label must be up to 8 characters taken in order from the label");
            shrt = a[1];
        }
        return true;
    }

    bool ensemble_key(const std::string &k, const std::vector<std::string> &a, std::string &err) {
        long long v = 0;
        double x = 0;
        if (k == "label") return label(a, d_.label, d_.short_label, err);
        if (k == "eid") {
            if (!count(a, 1, 1, err) || !integer(a[0], 0, 0xFFFF, v, err)) return false;
            d_.eid = static_cast<uint16_t>(v);
        } else if (k == "ecc") {
            if (!count(a, 1, 1, err) || !integer(a[0], 0, 0xFF, v, err)) return false;
            d_.ecc = static_cast<uint8_t>(v);
        } else if (k == "lto") {
            if (!count(a, 1, 1, err) || !integer(a[0], -31, 31, v, err)) return false;
            d_.lto = static_cast<int>(v);
        } else if (k == "channel") {
            if (!count(a, 1, 1, err)) return false;
            if (dabcommon::channel_frequency_khz(a[0].c_str()) < 0) return fail(err, "unknown channel " + a[0]);
            d_.channel = a[0];
        } else if (k == "duration") {
            if (!count(a, 1, 1, err) || !number(a[0], 0.024, 3600, x, err)) return false;
            d_.duration = x;
        } else if (k == "time") {
            if (!count(a, 1, 2, err)) return false;
            if (!parse_time(a, d_.time)) return fail(err, "time must be \"YYYY-MM-DD HH:MM:SS\" or now");
        } else if (k == "seed") {
            if (!count(a, 1, 1, err) || !integer(a[0], 0, 0xFFFFFFFFLL, v, err)) return false;
            d_.seed = static_cast<uint32_t>(v);
        } else {
            return fail(err, "unknown keyword \"" + k + "\" in [ensemble]");
        }
        return true;
    }

    bool protection(const std::vector<std::string> &a, service_desc &s, std::string &err) {
        if (!count(a, 2, 2, err)) return false;
        long long v = 0;
        if (a[0] == "uep") {
            if (!integer(a[1], 1, 5, v, err)) return false;
            s.prot.uep = true;
            s.prot.level = static_cast<int>(v);
        } else if (a[0] == "eep") {
            const std::string &p = a[1];
            if (p.size() != 2 || p[0] < '1' || p[0] > '4' || (p[1] != 'A' && p[1] != 'B'))
                return fail(err, "EEP protection must be 1A..4A or 1B..4B");
            s.prot.uep = false;
            s.prot.level = p[0] - '0';
            s.prot.option = p[1] == 'A' ? 0 : 1;
        } else {
            return fail(err, "protection must be \"uep N\" or \"eep NA\"");
        }
        s.prot_set = true;
        return true;
    }

    bool file_entry(const std::vector<std::string> &a, service_desc &s, std::string &err) {
        if (a.empty()) return fail(err, "file needs a path");
        mot_file_desc f;
        f.path = a[0];
        size_t slash = a[0].find_last_of('/');
        f.name = slash == std::string::npos ? a[0] : a[0].substr(slash + 1);
        for (size_t i = 1; i < a.size(); i++) {
            if (a[i] == "gzip") {
                f.gzip = true;
            } else if (a[i] == "name" && i + 1 < a.size()) {
                f.name = a[++i];
            } else if (a[i] == "label" && i + 1 < a.size()) {
                f.label = a[++i];
                if (f.label.size() > 16) return fail(err, "label longer than 16 characters");
            } else if (a[i] == "type" && i + 2 < a.size()) {
                long long t = 0, st = 0;
                if (!integer(a[i + 1], 0, 63, t, err) || !integer(a[i + 2], 0, 511, st, err)) return false;
                f.ct_type = static_cast<int>(t);
                f.ct_subtype = static_cast<int>(st);
                i += 2;
            } else {
                return fail(err, "unknown file option \"" + a[i] + "\"");
            }
        }
        if (f.name.empty() || f.name.size() > 256) return fail(err, "file name must have 1 to 256 characters");
        if (f.ct_type < 0) {
            size_t dot = f.name.find_last_of('.');
            std::string ext = dot == std::string::npos ? "" : f.name.substr(dot + 1);
            for (auto &c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            auto it = content_types.find(ext);
            f.ct_type = it == content_types.end() ? 1 : it->second.first;
            f.ct_subtype = it == content_types.end() ? 0 : it->second.second;
        }
        s.files.push_back(f);
        return true;
    }

    bool service_key(const std::string &k, const std::vector<std::string> &a, std::string &err) {
        service_desc &s = d_.services.back();
        bool audio = s.kind == service_desc::AUDIO;
        long long v = 0;
        double x = 0;
        if (k == "sid") {
            if (!count(a, 1, 1, err) || !integer(a[0], 1, 0xFFFFFFFFLL, v, err)) return false;
            s.sid = static_cast<uint32_t>(v);
            // written with more than four hex digits: a 32-bit identifier
            s.long_sid = v > 0xFFFF || a[0].size() > 6;
            if (audio && s.long_sid) return fail(err, "programme services take 16-bit identifiers");
        } else if (k == "label") {
            return label(a, s.label, s.short_label, err);
        } else if (k == "component_label") {
            if (!count(a, 1, 1, err)) return false;
            if (a[0].size() > 16) return fail(err, "label longer than 16 characters");
            s.component_label = a[0];
        } else if (k == "pty") {
            if (!count(a, 1, 1, err) || !integer(a[0], 0, 31, v, err)) return false;
            s.pty = static_cast<int>(v);
        } else if (k == "subchannel") {
            if (!count(a, 1, 1, err) || !integer(a[0], 0, 63, v, err)) return false;
            s.subchid = static_cast<int>(v);
        } else if (k == "bitrate") {
            if (!count(a, 1, 1, err) || !integer(a[0], 8, 384, v, err)) return false;
            s.bitrate = static_cast<int>(v);
        } else if (k == "protection") {
            return protection(a, s, err);
        } else if (audio && k == "mode") {
            if (!count(a, 1, 1, err)) return false;
            if (a[0] != "mono" && a[0] != "stereo") return fail(err, "mode must be mono or stereo");
            s.mono = a[0] == "mono";
        } else if (audio && k == "codec") {
            if (!count(a, 1, 1, err)) return false;
            if (a[0] != "mp2" && a[0] != "aac") return fail(err, "codec must be mp2 or aac");
            s.codec = a[0] == "aac" ? service_desc::AAC : service_desc::MP2;
        } else if (audio && k == "samplerate") {
            // which rates go with which codec is checked once the section is complete
            if (!count(a, 1, 1, err) || !integer(a[0], 24000, 48000, v, err)) return false;
            if (v != 24000 && v != 32000 && v != 48000) return fail(err, "samplerate must be 48000, 32000 or 24000");
            s.samplerate = static_cast<int>(v);
        } else if (audio && (k == "sbr" || k == "ps")) {
            if (!count(a, 1, 1, err) || !integer(a[0], 0, 1, v, err)) return false;
            (k == "sbr" ? s.sbr : s.ps) = v != 0;
        } else if (audio && k == "source") {
            if (a.empty()) return fail(err, "source needs a kind");
            audio_source_desc &src = s.source;
            if (a[0] == "tone") {
                if (!count(a, 2, 3, err) || !number(a[1], 20, 20000, src.f1, err)) return false;
                src.f2 = src.f1;
                if (a.size() == 3 && !number(a[2], 20, 20000, src.f2, err)) return false;
                src.kind = audio_source_desc::TONE;
            } else if (a[0] == "sweep") {
                if (!count(a, 4, 4, err) || !number(a[1], 20, 20000, src.f1, err) ||
                    !number(a[2], 20, 20000, src.f2, err) || !number(a[3], 0.1, 600, src.period, err))
                    return false;
                src.kind = audio_source_desc::SWEEP;
            } else if (a[0] == "noise") {
                if (!count(a, 1, 1, err)) return false;
                src.kind = audio_source_desc::NOISE;
            } else if (a[0] == "silence") {
                if (!count(a, 1, 1, err)) return false;
                src.kind = audio_source_desc::SILENCE;
            } else if (a[0] == "speech") {
                if (!count(a, 2, 2, err)) return false;
                if (a[1].empty() || a[1].size() > 1000) return fail(err, "speech text must have 1 to 1000 characters");
                src.kind = audio_source_desc::SPEECH;
                src.text = a[1];
            } else {
                return fail(err, "source must be tone, sweep, noise, silence or speech");
            }
        } else if (audio && k == "dls") {
            if (!count(a, 1, 1, err)) return false;
            if (a[0].size() > 128) return fail(err, "dynamic label longer than 128 characters");
            s.dls.push_back(a[0]);
        } else if (audio && k == "dls_interval") {
            if (!count(a, 1, 1, err) || !number(a[0], 0.5, 3600, s.dls_interval, err)) return false;
        } else if (audio && k == "dls_clear") {
            if (!count(a, 0, 0, err)) return false;
            s.dls_clear = true;
        } else if (audio && k == "slide") {
            if (!count(a, 1, 1, err)) return false;
            s.slides.push_back(a[0]);
        } else if (audio && k == "slide_interval") {
            if (!count(a, 1, 1, err) || !number(a[0], 1, 3600, s.slide_interval, err)) return false;
        } else if (audio && k == "xpad") {
            if (!count(a, 1, 1, err) || !integer(a[0], 4, 196, v, err)) return false;
            s.xpad = static_cast<int>(v);
        } else if (k == "segment_size") {
            if (!count(a, 1, 1, err) || !integer(a[0], 64, 8180, v, err)) return false;
            s.segment_size = static_cast<int>(v);
        } else if (!audio && k == "application") {
            if (!count(a, 1, 1, err)) return false;
            if (a[0] == "carousel") s.app = service_desc::CAROUSEL;
            else if (a[0] == "website") s.app = service_desc::WEBSITE;
            else if (a[0] == "ipdab") s.app = service_desc::IPDAB;
            else return fail(err, "application must be carousel, website or ipdab");
        } else if (!audio && k == "address") {
            if (!count(a, 1, 1, err) || !integer(a[0], 1, 1023, v, err)) return false;
            s.address = static_cast<int>(v);
        } else if (!audio && k == "scid") {
            if (!count(a, 1, 1, err) || !integer(a[0], 0, 4095, v, err)) return false;
            s.scid = static_cast<int>(v);
        } else if (!audio && k == "packet_size") {
            if (!count(a, 1, 1, err) || !integer(a[0], 24, 96, v, err)) return false;
            if (v % 24) return fail(err, "packet_size must be 24, 48, 72 or 96");
            s.packet_size = static_cast<int>(v);
        } else if (!audio && k == "file") {
            return file_entry(a, s, err);
        } else if (!audio && k == "index") {
            if (!count(a, 1, 1, err)) return false;
            if (a[0].empty() || a[0].size() > 255) return fail(err, "index name must have 1 to 255 characters");
            s.index = a[0];
        } else if (!audio && k == "multicast") {
            if (!count(a, 2, 3, err)) return false;
            in_addr ia{};
            if (inet_pton(AF_INET, a[0].c_str(), &ia) != 1) return fail(err, "bad IPv4 address " + a[0]);
            s.mcast_addr = ntohl(ia.s_addr);
            if ((s.mcast_addr >> 28) != 0xE) return fail(err, a[0] + " is not a multicast group");
            if (!integer(a[1], 1, 65535, v, err)) return false;
            s.mcast_port = static_cast<int>(v);
            if (a.size() == 3) {
                if (!integer(a[2], 1, 255, v, err)) return false;
                s.ttl = static_cast<int>(v);
            }
        } else if (!audio && k == "payload") {
            if (!count(a, 1, 1, err)) return false;
            if (a[0].size() > 1400) return fail(err, "payload longer than 1400 bytes");
            s.payloads.push_back(a[0]);
        } else if (!audio && k == "interval") {
            if (!count(a, 1, 1, err) || !number(a[0], 0.024, 3600, x, err)) return false;
            s.interval = x;
        } else {
            return fail(err, "unknown keyword \"" + k + "\" in [" + (audio ? "audio" : "packet") + "]");
        }
        return true;
    }

    bool fault_key(const std::string &k, const std::vector<std::string> &a, std::string &err) {
        long long v = 0, n = 0, every = 0;
        fault_desc &f = d_.faults;
        if (k == "rs_errors") {
            if (!count(a, 3, 3, err) || !integer(a[0], 0, 63, v, err) || !integer(a[1], 1, 120, n, err) ||
                !integer(a[2], 1, 1000000, every, err))
                return false;
            f.rs_errors_subchid = static_cast<int>(v);
            f.rs_errors = static_cast<int>(n);
            f.rs_errors_every = static_cast<int>(every);
            return true;
        }
        if (k == "truncate" || k == "au_crc" || k == "drop_frame") {
            if (!count(a, 2, 2, err) || !integer(a[0], 0, 63, v, err) || !integer(a[1], 1, 1000000, n, err))
                return false;
            int &subchid = k == "truncate" ? f.truncate_subchid : k == "au_crc" ? f.au_crc_subchid : f.drop_frame_subchid;
            int &every_n = k == "truncate" ? f.truncate : k == "au_crc" ? f.au_crc : f.drop_frame;
            subchid = static_cast<int>(v);
            every_n = static_cast<int>(n);
            return true;
        }
        if (!count(a, 1, 1, err) || !integer(a[0], 1, 1000000, n, err)) return false;
        if (k == "fib_crc") f.fib_crc = static_cast<int>(n);
        else if (k == "drop_packet") f.drop_packet = static_cast<int>(n);
        else if (k == "packet_crc") f.packet_crc = static_cast<int>(n);
        else if (k == "dg_crc") f.dg_crc = static_cast<int>(n);
        else return fail(err, "unknown keyword \"" + k + "\" in [faults]");
        return true;
    }

    std::string file_;
    ensemble_desc &d_;
    section_t section_ = NONE;
    int line_ = 0;
};

bool parser::finish(std::string &err) {
    if (d_.services.empty()) {
        line_ = 0;
        return fail(err, "no [audio] or [packet] service");
    }
    std::map<int, service_desc *> subch;  // first service of each sub-channel
    std::set<uint32_t> sids;
    std::set<int> addresses;
    int cu = 0;
    for (auto &s : d_.services) {
        line_ = s.line;
        std::string what = std::string(s.kind == service_desc::AUDIO ? "[audio]" : "[packet]") + " service: ";
        if (!s.sid) return fail(err, what + "sid missing");
        if (!sids.insert(s.sid).second) return fail(err, what + "sid used twice");
        if (s.label.empty()) return fail(err, what + "label missing");
        if (s.subchid < 0) return fail(err, what + "subchannel missing");
        auto it = subch.find(s.subchid);
        if (it != subch.end()) {
            service_desc &first = *it->second;
            if (s.kind == service_desc::AUDIO || first.kind == service_desc::AUDIO)
                return fail(err, what + "sub-channel " + std::to_string(s.subchid) + " already used");
            if ((s.bitrate && s.bitrate != first.bitrate) || (s.prot_set && (s.prot.uep != first.prot.uep ||
                                                                             s.prot.level != first.prot.level ||
                                                                             s.prot.option != first.prot.option)))
                return fail(err, what + "bit rate or protection differs from the sub-channel's first service");
            s.bitrate = first.bitrate;
            s.prot = first.prot;
            if (!addresses.insert(s.subchid * 1024 + s.address).second)
                return fail(err, what + "packet address used twice in the sub-channel");
            continue;
        }
        if (!s.bitrate) return fail(err, what + "bitrate missing");
        if (s.kind == service_desc::AUDIO && s.codec == service_desc::AAC) {
            if (s.prot_set && s.prot.uep)
                return fail(err, what + "DAB+ takes EEP protection (protection eep 1A..4B): UEP profiles are for Layer II");
            if (!s.prot_set) s.prot = protection_desc{false, 3, 0};  // 3A
        }
        int size;
        if (s.prot.uep) {
            int idx = dabcommon::uep_index(s.bitrate, s.prot.level);
            if (idx < 0) return fail(err, what + "no UEP profile for this bit rate and level");
            size = dabcommon::uep_table[idx].size;
        } else {
            size = dabcommon::eep_size(s.prot.option, s.prot.level, s.bitrate);
            if (size < 0) return fail(err, what + "bit rate not allowed for this EEP set");
        }
        cu += size;
        if (s.kind == service_desc::AUDIO && s.codec == service_desc::AAC) {
            if (s.samplerate != 48000 && s.samplerate != 32000)
                return fail(err, what + "DAB+ samplerate must be 48000 or 32000");
            if (s.bitrate % 8) return fail(err, what + "DAB+ bit rate must be a multiple of 8 kbit/s");
            if (s.ps && (!s.sbr || !s.mono)) return fail(err, what + "ps 1 needs sbr 1 and mode mono");
        } else if (s.kind == service_desc::AUDIO) {
            if (s.samplerate == 32000) return fail(err, what + "samplerate 32000 needs codec aac");
            if (s.sbr || s.ps) return fail(err, what + "sbr and ps need codec aac");
            bool lsf = s.samplerate == 24000;
            if (dabcommon::layer2_bitrate_index(s.bitrate, lsf) < 0)
                return fail(err, what + "bit rate not allowed for Layer II at this sample rate");
            if (!lsf && !s.mono && s.bitrate < 64) return fail(err, what + "stereo needs at least 64 kbit/s");
        } else {
            if (s.bitrate % 8) return fail(err, what + "packet-mode bit rate must be a multiple of 8");
            addresses.insert(s.subchid * 1024 + s.address);
        }
        subch[s.subchid] = &s;
    }
    for (auto &s : d_.services) {
        line_ = s.line;
        if (s.kind != service_desc::PACKET) continue;
        if (s.app == service_desc::IPDAB && !s.mcast_addr) return fail(err, "[packet] service: multicast missing");
        if (s.app != service_desc::IPDAB && s.files.empty()) return fail(err, "[packet] service: no file");
        if (s.app == service_desc::WEBSITE && s.index.empty()) s.index = "index.html";
    }
    if (cu > dabcommon::msc_capacity_cu) {
        line_ = 0;
        return fail(err, "sub-channels need " + std::to_string(cu) + " CUs, more than 864");
    }
    line_ = 0;
    const fault_desc &f = d_.faults;
    if (f.truncate && !subch.count(f.truncate_subchid))
        return fail(err, "[faults] truncate names an unknown sub-channel");
    if (f.drop_frame && !subch.count(f.drop_frame_subchid))
        return fail(err, "[faults] drop_frame names an unknown sub-channel");
    auto dabplus = [&](int id) {
        auto it = subch.find(id);
        return it != subch.end() && it->second->kind == service_desc::AUDIO && it->second->codec == service_desc::AAC;
    };
    if (f.rs_errors && !dabplus(f.rs_errors_subchid))
        return fail(err, "[faults] rs_errors names no DAB+ sub-channel");
    if (f.au_crc && !dabplus(f.au_crc_subchid)) return fail(err, "[faults] au_crc names no DAB+ sub-channel");
    return true;
}

}  // namespace

int short_label_flags(const std::string &label, const std::string &short_label) {
    if (short_label.empty() || short_label.size() > 8 || label.size() > 16) return -1;
    int flags = 0;
    size_t j = 0;
    for (size_t i = 0; i < label.size() && j < short_label.size(); i++) {
        if (label[i] == short_label[j]) {
            flags |= 0x8000 >> i;
            j++;
        }
    }
    return j == short_label.size() ? flags : -1;
}

bool parse_description(const std::string &text, const std::string &file_name, ensemble_desc &out,
                       std::string &err) {
    out = ensemble_desc();
    parser p(file_name, out);
    std::istringstream in(text);
    std::string line;
    int no = 0;
    while (std::getline(in, line)) {
        no++;
        std::vector<std::string> words;
        if (!tokenize(line, words, err)) {
            err = file_name + ":" + std::to_string(no) + ": " + err;
            return false;
        }
        if (words.empty()) continue;
        if (!p.line(no, words, err)) return false;
    }
    return p.finish(err);
}

bool read_whole_file(const std::string &path, std::string &out, std::string &err) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        err = path + ": cannot open";
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    out = ss.str();
    return true;
}

bool load_description(const std::string &path, ensemble_desc &out, std::string &err) {
    std::string text;
    if (!read_whole_file(path, text, err)) return false;
    if (!parse_description(text, path, out, err)) return false;
    size_t slash = path.find_last_of('/');
    out.base_dir = slash == std::string::npos ? "." : path.substr(0, slash);
    return true;
}

}  // namespace dabgen
