#include "generator.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "audio.h"
#include "dabplus.h"
#include "common/dab_tables.h"
#include "mot.h"
#include "pad.h"

namespace dabgen {

constexpr double frame_seconds = 0.024;
constexpr int dscty_mot = 60;
constexpr int dscty_ip = 59;
constexpr int ua_slideshow = 0x002;
constexpr int ua_website = 0x003;
constexpr size_t max_object_size = 4u << 20;

struct fault_counters {
    fault_desc f;
    uint64_t dgs = 0, packets = 0, crc_packets = 0, dropped_frames = 0;
    bool next_dg() { return f.dg_crc && ++dgs % static_cast<uint64_t>(f.dg_crc) == 0; }
    bool next_packet() { return f.drop_packet && ++packets % static_cast<uint64_t>(f.drop_packet) == 0; }
    bool next_packet_crc() { return f.packet_crc && ++crc_packets % static_cast<uint64_t>(f.packet_crc) == 0; }
};

class subchannel {
  public:
    virtual ~subchannel() = default;
    // Fills one 24 ms logical frame (bit rate x 3 bytes) for frame n.
    virtual void next(uint32_t n, uint8_t *buf, size_t len) = 0;
};

namespace {

bool read_file(const std::string &path, bytes &out, std::string &err) {
    std::string s;
    if (!read_whole_file(path, s, err)) return false;
    if (s.size() > max_object_size) {
        err = path + ": larger than 4 MiB";
        return false;
    }
    out.assign(s.begin(), s.end());
    return true;
}

std::string resolve(const std::string &base, const std::string &path) {
    return path.empty() || path[0] == '/' ? path : base + "/" + path;
}

std::string base_name(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Dynamic labels and slides of a programme, scheduled over its audio frames' X-PAD.
class programme_pad {
  public:
    programme_pad(const service_desc &s, fault_counters &faults, uint16_t first_tid)
        : s_(s), faults_(faults), tid_(first_tid) {}

    bool init(const std::string &base, std::string &err) {
        for (const auto &p : s_.slides) {
            bytes b;
            if (!read_file(resolve(base, p), b, err)) return false;
            slides_.push_back({base_name(p), b});
        }
        return true;
    }

    bool present() const { return !s_.dls.empty() || !slides_.empty(); }

    // X-PAD of the audio frame that starts t_ms into the programme, at most capacity bytes.
    bytes next(int64_t t_ms, double t, size_t capacity) {
        schedule(t_ms, t);
        return xpad_enc_.fill(capacity);
    }

  private:
    void schedule(int64_t t_ms, double t) {
        if (!s_.dls.empty()) {
            size_t idx = static_cast<size_t>(t / s_.dls_interval) % s_.dls.size();
            if (idx != dl_index_) {
                dl_index_ = idx;
                toggle_ = !toggle_;
                // a new label replaces whatever repetition of the old one is still waiting
                xpad_enc_.drop_dl();
                if (s_.dls_clear && idx == 0) xpad_enc_.queue_dl(dl_clear(toggle_));
                last_dl_ms_ = -1000000;
            }
            // the label again every 0.6 s once it has gone out
            if (!xpad_enc_.dl_pending() && t_ms - last_dl_ms_ >= 600) {
                for (auto &seg : dl_segments(s_.dls[dl_index_], toggle_)) xpad_enc_.queue_dl(seg);
                last_dl_ms_ = t_ms;
            }
        }
        if (!slides_.empty() && !xpad_enc_.mot_pending() && t >= next_slide_) {
            const auto &sl = slides_[slide_index_];
            slide_index_ = (slide_index_ + 1) % slides_.size();
            next_slide_ = t + s_.slide_interval;
            bytes ext = mot_trigger_now();
            bytes name = mot_content_name(sl.first);
            ext.insert(ext.end(), name.begin(), name.end());
            bytes hdr = mot_header(static_cast<uint32_t>(sl.second.size()), 2, 1, ext);
            int seg = s_.segment_size ? s_.segment_size : 1024;
            auto corrupt = [this]() { return faults_.next_dg(); };
            uint16_t tid = tid_++;
            for (auto &dg : mot_data_groups(3, tid, hdr, seg, cont3_, corrupt)) xpad_enc_.queue_mot(dg);
            for (auto &dg : mot_data_groups(4, tid, sl.second, seg, cont4_, corrupt)) xpad_enc_.queue_mot(dg);
            // the header once more: a receiver that finishes a data group only when the next
            // one starts gets the picture's last segment now, not with the next picture
            for (auto &dg : mot_data_groups(3, tid, hdr, seg, cont3_, corrupt)) xpad_enc_.queue_mot(dg);
        }
    }

    service_desc s_;
    fault_counters &faults_;
    xpad_encoder xpad_enc_;
    size_t dl_index_ = static_cast<size_t>(-1);
    bool toggle_ = true;
    int64_t last_dl_ms_ = -1000000;
    std::vector<std::pair<std::string, bytes>> slides_;
    size_t slide_index_ = 0;
    double next_slide_ = 0;
    uint16_t tid_;
    int cont3_ = 0, cont4_ = 0;
};

// X-PAD bytes reserved per audio frame unless the description says.
int default_xpad(const service_desc &s) { return s.xpad ? s.xpad : (s.slides.empty() ? 26 : 48); }

class audio_subchannel : public subchannel {
  public:
    audio_subchannel(const service_desc &s, fault_counters &faults, uint32_t seed, uint16_t first_tid)
        : s_(s), pcm_(s.source, s.samplerate, s.mono ? 1 : 2, seed), pad_(s, faults, first_tid) {}

    bool init(const std::string &base, std::string &err, std::vector<std::string> &warnings) {
        std::string warn;
        if (!pcm_.init(warn)) {
            err = warn;
            return false;
        }
        if (!warn.empty()) warnings.push_back(s_.label + ": " + warn);
        xpad_ = default_xpad(s_);
        if (!enc_.init(s_.samplerate, s_.bitrate, s_.mono, xpad_, err)) return false;
        if (enc_.frame_size() < static_cast<size_t>(xpad_) + 64) {
            err = s_.label + ": X-PAD does not fit into the audio frame";
            return false;
        }
        if (!pad_.init(base, err)) return false;
        pcm_buf_.resize(1152 * 2);
        return true;
    }

    void next(uint32_t n, uint8_t *buf, size_t len) override {
        bool lsf = s_.samplerate < 32000;
        // at 24 kHz an audio frame spans two logical frames
        if (!lsf || n % 2 == 0) {
            encode_frame(n);
        }
        size_t off = lsf && n % 2 ? len : 0;
        size_t have = frame_.size() > off ? frame_.size() - off : 0;
        size_t k = have < len ? have : len;
        memcpy(buf, frame_.data() + off, k);
        if (k < len) memset(buf + k, 0, len - k);
    }

  private:
    void encode_frame(uint32_t n) {
        pcm_.next(pcm_buf_.data(), 1152);
        while (!enc_.encode(pcm_buf_.data(), frame_)) pcm_.next(pcm_buf_.data(), 1152);
        bytes x = pad_.next(static_cast<int64_t>(n) * 24, n * frame_seconds, static_cast<size_t>(xpad_));
        insert_pad(frame_.data(), frame_.size(), enc_.scf_crc_len(), x, static_cast<size_t>(xpad_));
    }

    service_desc s_;
    pcm_source pcm_;
    mp2_encoder enc_;
    programme_pad pad_;
    int xpad_ = 0;
    std::vector<int16_t> pcm_buf_;
    bytes frame_;
};

// A DAB+ programme: one superframe every five logical frames, sent a logical frame at a time.
class dabplus_subchannel : public subchannel {
  public:
    dabplus_subchannel(const service_desc &s, fault_counters &faults, uint32_t seed, uint16_t first_tid)
        : s_(s), faults_(faults), pad_(s, faults, first_tid), seed_(seed) {}

    bool init(const std::string &base, std::string &err, std::vector<std::string> &warnings) {
        if (!enc_.init(s_.bitrate, s_.samplerate, s_.sbr, !s_.mono, s_.ps, err)) {
            err = s_.label + ": " + err;
            return false;
        }
        pcm_ = std::make_unique<pcm_source>(s_.source, enc_.core_rate(), enc_.channels(), seed_);
        std::string warn;
        if (!pcm_->init(warn)) {
            err = warn;
            return false;
        }
        if (!warn.empty()) warnings.push_back(s_.label + ": " + warn);
        if (!pad_.init(base, err)) return false;
        xpad_ = default_xpad(s_);
        // the PAD's data_stream_element must leave the audio at least a quarter of each AU
        if (pad_.present() && dse_bits(static_cast<size_t>(xpad_) + 2) / 8 > enc_.min_au_size() * 3 / 4) {
            err = s_.label + ": X-PAD does not fit into the access units at this bit rate";
            return false;
        }
        pcm_buf_.resize(static_cast<size_t>(enc_.num_aus() * aac_encoder::frame_length * enc_.channels()));
        sf_.resize(enc_.superframe_size());
        au_ms_ = 120 / enc_.num_aus();
        return true;
    }

    void next(uint32_t n, uint8_t *buf, size_t len) override {
        if (n % 5 == 0) encode_superframe(n / 5);
        size_t off = (n % 5) * len;
        size_t k = sf_.size() > off ? std::min(len, sf_.size() - off) : 0;
        memcpy(buf, sf_.data() + off, k);
        if (k < len) memset(buf + k, 0, len - k);
    }

  private:
    void encode_superframe(uint32_t k) {
        const fault_desc &f = faults_.f;
        pcm_->next(pcm_buf_.data(), enc_.num_aus() * aac_encoder::frame_length);
        std::vector<bytes> pads;
        uint32_t broken = 0;
        for (int i = 0; i < enc_.num_aus(); i++) {
            const int64_t t_ms = static_cast<int64_t>(k) * 120 + i * au_ms_;
            if (pad_.present()) pads.push_back(dabplus_pad(pad_.next(t_ms, t_ms / 1000.0, static_cast<size_t>(xpad_))));
            if (f.au_crc && f.au_crc_subchid == s_.subchid && ++aus_ % static_cast<uint64_t>(f.au_crc) == 0)
                broken |= 1u << i;
        }
        if (!enc_.encode(pcm_buf_.data(), pads, broken, sf_.data())) {
            // cannot happen once init has checked the PAD's room; a receiver then sees no sync
            std::fill(sf_.begin(), sf_.end(), 0);
            return;
        }
        if (f.rs_errors && f.rs_errors_subchid == s_.subchid && (k + 1) % static_cast<uint32_t>(f.rs_errors_every) == 0)
            sf_corrupt(sf_.data(), static_cast<int>(sf_.size() / 120), f.rs_errors, k);
    }

    service_desc s_;
    fault_counters &faults_;
    programme_pad pad_;
    uint32_t seed_;
    dabplus_encoder enc_;
    std::unique_ptr<pcm_source> pcm_;
    int xpad_ = 0;
    int au_ms_ = 20;
    uint64_t aus_ = 0;
    std::vector<int16_t> pcm_buf_;
    bytes sf_;
};

class packet_service {
  public:
    packet_service(const service_desc &s, fault_counters &faults, uint16_t first_tid)
        : s_(s), enc_(s.address, s.packet_size), faults_(faults), tid_(first_tid) {}

    bool init(const std::string &base, std::string &err) {
        for (const auto &f : s_.files) {
            object o;
            o.f = f;
            if (!read_file(resolve(base, f.path), o.body, err)) return false;
            if (f.gzip) {
                bytes z;
                if (!gzip_bytes(o.body, z)) {
                    err = f.path + ": compression failed";
                    return false;
                }
                o.body = z;
            }
            o.tid = tid_++;
            bytes ext = mot_content_name(f.name);
            if (f.gzip) {
                bytes c = mot_param_int(17, 1, 1);  // CompressionType 1: gzip
                ext.insert(ext.end(), c.begin(), c.end());
            }
            if (!f.label.empty()) {
                bytes l = mot_content_label(f.label);
                ext.insert(ext.end(), l.begin(), l.end());
            }
            o.header = mot_header(static_cast<uint32_t>(o.body.size()), f.ct_type, f.ct_subtype, ext);
            objects_.push_back(o);
        }
        dir_tid_ = tid_++;
        return true;
    }

    packet_encoder &encoder() { return enc_; }

    // Queues the next round of the service when its packets have all gone out.
    void refill(uint32_t n) {
        if (!enc_.idle()) return;
        double t = n * frame_seconds;
        int seg = s_.segment_size ? s_.segment_size : 1024;
        auto corrupt = [this]() { return faults_.next_dg(); };
        switch (s_.app) {
        case service_desc::CAROUSEL:
            for (const auto &o : objects_) {
                for (auto &dg : mot_data_groups(3, o.tid, o.header, seg, cont3_, corrupt)) enc_.push(dg);
                for (auto &dg : mot_data_groups(4, o.tid, o.body, seg, cont4_, corrupt)) enc_.push(dg);
            }
            break;
        case service_desc::WEBSITE: {
            std::vector<mot_dir_entry> entries;
            for (const auto &o : objects_) entries.push_back({o.tid, o.header});
            bytes idx;
            idx.push_back(0x01);  // profile 1
            idx.insert(idx.end(), s_.index.begin(), s_.index.end());
            bytes ext = mot_param(34, idx);  // DirectoryIndex
            // carousel period in tenths of a second: rough, from the bit rate
            size_t total = 0;
            for (const auto &o : objects_) total += o.body.size();
            int period = static_cast<int>(total * 8 / (s_.bitrate * 100.0) + 1);
            bytes dir = mot_directory(entries, period, seg, ext);
            for (auto &dg : mot_data_groups(6, dir_tid_, dir, seg, cont6_, corrupt)) enc_.push(dg);
            for (const auto &o : objects_)
                for (auto &dg : mot_data_groups(4, o.tid, o.body, seg, cont4_, corrupt)) enc_.push(dg);
            break;
        }
        case service_desc::IPDAB: {
            if (t < next_datagram_) return;
            next_datagram_ = t + s_.interval;
            std::string text = s_.payloads.empty() ? "DAB datagram" : s_.payloads[payload_ % s_.payloads.size()];
            payload_++;
            bytes pl(text.begin(), text.end());
            bytes ip = ipv4_udp(0x0A000001, s_.mcast_addr, s_.mcast_port, s_.mcast_port, s_.ttl,
                                static_cast<int>(payload_ & 0xFFFF), pl);
            dg_params p;
            p.type = 0;
            p.session = false;
            p.continuity = cont0_;
            cont0_ = (cont0_ + 1) & 0x0F;
            p.corrupt_crc = faults_.next_dg();
            enc_.push(msc_data_group(p, ip.data(), ip.size()));
            break;
        }
        }
    }

  private:
    struct object {
        mot_file_desc f;
        bytes body, header;
        int tid = 0;
    };
    service_desc s_;
    packet_encoder enc_;
    fault_counters &faults_;
    uint16_t tid_;
    int dir_tid_ = 0;
    std::vector<object> objects_;
    int cont0_ = 0, cont3_ = 0, cont4_ = 0, cont6_ = 0;
    double next_datagram_ = 0;
    size_t payload_ = 0;
};

class packet_subchannel : public subchannel {
  public:
    explicit packet_subchannel(fault_counters &faults) : faults_(faults) {}
    void add(std::unique_ptr<packet_service> s) { services_.push_back(std::move(s)); }

    void next(uint32_t n, uint8_t *buf, size_t len) override {
        size_t pos = 0;
        for (auto &s : services_) s->refill(n);
        while (pos + 24 <= len) {
            int plen = 0;
            bool sent = false;
            for (size_t i = 0; i < services_.size() && !sent; i++) {
                auto &s = services_[(rr_ + i) % services_.size()];
                if (s->encoder().next(buf + pos, static_cast<int>(len - pos), plen)) {
                    sent = true;
                    rr_ = (rr_ + i + 1) % services_.size();
                    // a dropped packet leaves a gap in its address's continuity index
                    if (faults_.next_packet()) make_packet(buf + pos, plen, 0, 0, 3, nullptr, 0);
                    else if (faults_.next_packet_crc()) buf[pos + static_cast<size_t>(plen) - 1] ^= 0xFF;
                }
            }
            if (!sent) {
                plen = 24;
                make_packet(buf + pos, plen, 0, 0, 3, nullptr, 0);  // padding packet
            }
            pos += static_cast<size_t>(plen);
        }
        if (pos < len) memset(buf + pos, 0, len - pos);
    }

  private:
    fault_counters &faults_;
    std::vector<std::unique_ptr<packet_service>> services_;
    size_t rr_ = 0;
};

}  // namespace

bool gzip_bytes(const bytes &in, bytes &out) {
    z_stream z{};
    // windowBits 15 + 16: gzip wrapper; zlib writes no time stamp and no name
    if (deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    out.resize(deflateBound(&z, in.size()) + 32);
    z.next_in = const_cast<Bytef *>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int r = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return r == Z_STREAM_END;
}

generator::generator(const ensemble_desc &d) : d_(d), faults_(new fault_counters) { faults_->f = d.faults; }

generator::~generator() = default;

bool generator::init(std::string &err, std::vector<std::string> &warnings) {
    frames_ = static_cast<uint32_t>(d_.duration / frame_seconds + 0.5);
    if (!frames_) frames_ = 1;
    time0_ = d_.time >= 0 ? d_.time : static_cast<int64_t>(::time(nullptr));

    std::map<int, packet_subchannel *> packet_subs;
    int start = 0;
    uint16_t tid = static_cast<uint16_t>(0x1000 + (d_.seed & 0x0FFF));
    for (const auto &s : d_.services) {
        if (s.kind == service_desc::PACKET && packet_subs.count(s.subchid)) {
            auto ps = std::make_unique<packet_service>(s, *faults_, tid);
            if (!ps->init(d_.base_dir, err)) return false;
            tid = static_cast<uint16_t>(tid + 64);
            packet_subs[s.subchid]->add(std::move(ps));
            continue;
        }
        subchannel_info si{};
        si.subchid = s.subchid;
        si.start_address = start;
        si.bitrate = s.bitrate;
        si.prot = s.prot;
        if (s.prot.uep) {
            si.table_index = dabcommon::uep_index(s.bitrate, s.prot.level);
            si.size = dabcommon::uep_table[static_cast<size_t>(si.table_index)].size;
        } else {
            si.size = dabcommon::eep_size(s.prot.option, s.prot.level, s.bitrate);
        }
        start += si.size;
        info_.push_back(si);
        const uint32_t seed = d_.seed * 31u + static_cast<uint32_t>(s.subchid);
        if (s.kind == service_desc::AUDIO && s.codec == service_desc::AAC) {
            auto as = std::make_unique<dabplus_subchannel>(s, *faults_, seed, tid);
            if (!as->init(d_.base_dir, err, warnings)) return false;
            subs_.push_back(std::move(as));
        } else if (s.kind == service_desc::AUDIO) {
            auto as = std::make_unique<audio_subchannel>(s, *faults_, seed, tid);
            if (!as->init(d_.base_dir, err, warnings)) return false;
            subs_.push_back(std::move(as));
        } else {
            auto psub = std::make_unique<packet_subchannel>(*faults_);
            auto ps = std::make_unique<packet_service>(s, *faults_, tid);
            if (!ps->init(d_.base_dir, err)) return false;
            psub->add(std::move(ps));
            packet_subs[s.subchid] = psub.get();
            subs_.push_back(std::move(psub));
        }
        tid = static_cast<uint16_t>(tid + 64);
    }
    build_figs();
    fic_.set_figs(figs_);
    size_t total = 0;
    for (const auto &si : info_) total += static_cast<size_t>(si.bitrate) * 3;
    buf_.resize(total);
    return true;
}

void generator::build_figs() {
    std::vector<bytes> e01, e02s, e02l, e03, e08s, e08l, e013s, e013l, e017, labels;
    for (const auto &si : info_) {
        if (si.prot.uep) e01.push_back(fig0_1_short(si.subchid, si.start_address, si.table_index));
        else e01.push_back(fig0_1_long(si.subchid, si.start_address, si.prot.option, si.prot.level, si.size));
    }
    int lflags = d_.short_label.empty() ? 0xFF00 : short_label_flags(d_.label, d_.short_label);
    labels.push_back(fig1_0(d_.eid, d_.label, static_cast<uint16_t>(lflags)));
    for (const auto &s : d_.services) {
        uint16_t flags = static_cast<uint16_t>(s.short_label.empty() ? 0xFF00 : short_label_flags(s.label, s.short_label));
        if (s.kind == service_desc::AUDIO) {
            // ASCTy 0: Layer II, 63: DAB+
            e02s.push_back(fig0_2_entry(s.sid, false, {{0, s.codec == service_desc::AAC ? 63 : 0, s.subchid, true}}));
            e08s.push_back(fig0_8_entry_short(s.sid, false, 0, s.subchid));
            if (!s.slides.empty()) {
                // X-PAD application type 12, DSCTy 60 (MOT)
                e013s.push_back(fig0_13_entry(s.sid, false, 0, {{ua_slideshow, {XPAD_MOT_START, dscty_mot}}}));
            }
        } else {
            int dscty = s.app == service_desc::IPDAB ? dscty_ip : dscty_mot;
            (s.long_sid ? e02l : e02s).push_back(fig0_2_entry(s.sid, s.long_sid, {{3, s.scid, 0, true}}));
            e03.push_back(fig0_3_entry(s.scid, dscty, s.subchid, s.address));
            (s.long_sid ? e08l : e08s).push_back(fig0_8_entry_long(s.sid, s.long_sid, 0, s.scid));
            if (s.app == service_desc::WEBSITE)
                (s.long_sid ? e013l : e013s).push_back(fig0_13_entry(s.sid, s.long_sid, 0, {{ua_website, {0x01}}}));
        }
        if (s.pty && !s.long_sid) e017.push_back(fig0_17_entry(s.sid, true, s.pty));
        if (s.long_sid) labels.push_back(fig1_5(s.sid, s.label, flags));
        else labels.push_back(fig1_1(static_cast<uint16_t>(s.sid), s.label, flags));
        if (!s.component_label.empty())
            labels.push_back(fig1_4(s.sid, s.long_sid, 0, s.component_label, 0xFF00));
    }
    figs_.clear();
    auto add = [this](const std::vector<bytes> &v) { figs_.insert(figs_.end(), v.begin(), v.end()); };
    add(pack_fig0(1, false, e01));
    add(pack_fig0(2, false, e02s));
    add(pack_fig0(2, true, e02l));
    add(pack_fig0(3, false, e03));
    add(pack_fig0(8, false, e08s));
    add(pack_fig0(8, true, e08l));
    figs_.push_back(fig0_9(d_.lto, d_.ecc, 0x01));
    add(pack_fig0(13, false, e013s));
    add(pack_fig0(13, true, e013l));
    add(pack_fig0(17, false, e017));
    add(labels);
}

void generator::frame(uint32_t n, uint8_t out[eti_frame_size]) {
    std::vector<bytes> lead = {fig0_0(d_.eid, static_cast<int>(n % 5000))};
    uint64_t ms = static_cast<uint64_t>(n) * 24;
    // date and time once a second, in the frame where the second begins
    if (n == 0 || ms / 1000 != (ms - 24) / 1000)
        lead.push_back(fig0_10(static_cast<time_t>(time0_ + static_cast<int64_t>(ms / 1000)), static_cast<int>(ms % 1000)));
    int corrupt = -1;
    if (d_.faults.fib_crc && n % static_cast<uint32_t>(d_.faults.fib_crc) == static_cast<uint32_t>(d_.faults.fib_crc) - 1)
        corrupt = static_cast<int>(n / static_cast<uint32_t>(d_.faults.fib_crc) % 3);
    uint8_t fic[eti_fic_size];
    fic_.build(lead, fic, corrupt);

    std::vector<eti_stream> streams;
    size_t off = 0;
    for (size_t i = 0; i < info_.size(); i++) {
        const auto &si = info_[i];
        size_t len = static_cast<size_t>(si.bitrate) * 3;
        subs_[i]->next(n, buf_.data() + off, len);
        // a lost logical frame: zeros where it was, so the sub-channel keeps its timing
        if (d_.faults.drop_frame && si.subchid == d_.faults.drop_frame_subchid &&
            ++faults_->dropped_frames % static_cast<uint64_t>(d_.faults.drop_frame) == 0)
            memset(buf_.data() + off, 0, len);
        size_t sent = len;
        if (d_.faults.truncate && si.subchid == d_.faults.truncate_subchid &&
            n % static_cast<uint32_t>(d_.faults.truncate) == static_cast<uint32_t>(d_.faults.truncate) - 1)
            sent = len / 2 / 8 * 8;
        streams.push_back({si.subchid, si.start_address, eti_tpl(si.prot.uep, si.prot.level, si.prot.option),
                           buf_.data() + off, sent});
        off += len;
    }
    eti_build_frame(out, n, fic, streams);
}

}  // namespace dabgen
