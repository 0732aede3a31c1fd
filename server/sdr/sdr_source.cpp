#include "sdr/sdr_source.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "common/dab_coding.h"
#include "common/eti_writer.h"
#include "common/fig01.h"
#include "sdr/fic_decoder.h"
#include "sdr/msc_decoder.h"
#include "sdr/ofdm_demod.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int CIF_SOFT_BITS = 55296;
constexpr int CIFS_PER_FRAME = 4;
constexpr int FIBS_PER_CIF = 3;
constexpr int HISTORY_CIFS = 15;  // the time interleaver's longest delay
constexpr size_t CHUNK = 16384;           // samples per read: 8 ms
constexpr size_t QUEUE_FILE = 8;          // CIFs decoded ahead of a recording's reader
constexpr size_t QUEUE_LIVE = 48;         // about a second of a receiver's CIFs nobody took
constexpr int READ_TIMEOUT_MS = 100;
constexpr auto SIGNAL_GAP = std::chrono::milliseconds(500);  // no samples this long: no signal
constexpr auto STALL_LIMIT = std::chrono::seconds(5);        // ... this long: the input is gone
constexpr uint64_t SCAN_SAMPLES = 8 * 196608;                // frames a channel is given in a scan
constexpr auto SCAN_TIME = std::chrono::seconds(4);          // ... at most, whatever arrives

bool same(const dabcommon::subchannel_params &a, const dabcommon::subchannel_params &b) {
    return a.subchid == b.subchid && a.start_cu == b.start_cu && a.size_cu == b.size_cu &&
           a.long_form == b.long_form && a.option == b.option && a.level == b.level &&
           a.table_index == b.table_index;
}

int tpl_of(const dabcommon::subchannel_params &p) {
    // UEP levels count from 1, EEP levels from 0 as FIG 0/1 carries them
    return p.long_form ? dabcommon::eti_tpl(false, p.level + 1, p.option) : dabcommon::eti_tpl(true, p.level, 0);
}

void say(const std::string &what, const char *text) { std::fprintf(stderr, "sdr: %s: %s\n", what.c_str(), text); }

}  // namespace

struct sdr_source::decoder_state {
    ofdm_receiver rx;
    fic_decoder fic;
    fic_result fibs;
    dabcommon::subchannel_map map;
    struct sub {
        dabcommon::subchannel_params p;
        std::unique_ptr<msc_subchannel_decoder> dec;
    };
    std::map<int, sub> subs;
    std::vector<uint8_t> out, zeros;
    std::vector<std::vector<uint8_t>> data;  // per stream of the frame being built
    // The CIFs before the current one, as the time interleaver spreads them: a sub-channel
    // routed now starts from them and delivers its current frame at once.
    std::vector<int8_t> history = std::vector<int8_t>(static_cast<size_t>(HISTORY_CIFS) * CIF_SOFT_BITS);
    int history_count = 0, history_next = 0;
    uint32_t cif_count = 0;
    bool said_sync = false;

    const int8_t *past(int age) const {  // age 1 = the CIF before the current one
        const int slot = (history_next - age + 2 * HISTORY_CIFS) % HISTORY_CIFS;
        return history.data() + static_cast<size_t>(slot) * CIF_SOFT_BITS;
    }
    void remember(const int8_t *cif) {
        std::memcpy(history.data() + static_cast<size_t>(history_next) * CIF_SOFT_BITS, cif, CIF_SOFT_BITS);
        history_next = (history_next + 1) % HISTORY_CIFS;
        history_count = std::min(history_count + 1, HISTORY_CIFS);
    }
    // Frames lost between: what the decoders hold no longer belongs together.
    void restart_decoding() {
        subs.clear();
        history_count = 0;
    }
    void reset() {
        rx.reset();
        map.clear();
        restart_decoding();
    }
};

sdr_source::sdr_source(std::unique_ptr<iq_source> in, const std::string &what)
    : in_(std::move(in)), what_(what), live_(in_->live()), d_(std::make_unique<decoder_state>()) {
    worker_ = std::thread([this] { run(); });
}

sdr_source::~sdr_source() {
    {
        std::lock_guard<std::mutex> g(m_);
        stop_ = true;
    }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
}

std::unique_ptr<sdr_source> sdr_source::open(const sdr_options &o) {
    std::unique_ptr<iq_source> in;
    std::string what;
    switch (o.kind) {
        case sdr_options::file: {
            what = o.path;
            auto f = std::make_unique<file_iq_source>();
            if (!f->open(o.path, o.format, o.loop)) {
                const int err = errno;
                say(what, (std::string("cannot open the recording: ") + std::strerror(err)).c_str());
                errno = err;
                return nullptr;
            }
            in = std::move(f);
            break;
        }
        case sdr_options::rtl_tcp: {
            what = "rtl_tcp " + o.host + ":" + std::to_string(o.port);
            auto t = std::make_unique<rtltcp_iq_source>();
            if (!t->open(o.host, o.port)) {
                const int err = errno;
                say(what, err == EPROTO ? "no rtl_tcp greeting from the server"
                                        : (std::string("cannot connect: ") + std::strerror(err)).c_str());
                errno = err;
                return nullptr;
            }
            in = std::move(t);
            break;
        }
        case sdr_options::rtlsdr: {
            what = "rtlsdr " + std::to_string(o.index);
            std::string error;
            in = open_rtlsdr(o.index, error);
            if (!in) {
                say(what, error.c_str());
                errno = ENODEV;
                return nullptr;
            }
            break;
        }
        default:
            errno = EINVAL;
            return nullptr;
    }
    return std::make_unique<sdr_source>(std::move(in), what);
}

bool sdr_source::has_ensemble(int khz) const {
    std::unique_lock<std::mutex> lk(m_);
    if (khz <= 0 || ended_) return false;
    if (!live_) return synced_ && good_fib_;
    if (khz != khz_ || want_khz_ != khz) {
        // A receiver hears only where it is tuned: go there and listen for the scan time.
        want_khz_ = khz;
        const uint64_t tunes = tune_count_;
        const auto until = clock_type::now() + SCAN_TIME;
        cv_.notify_all();
        cv_.wait_until(lk, until, [&] {
            return stop_ || ended_ || want_khz_ != khz ||
                   (tune_count_ != tunes && khz_ == khz && ((synced_ && good_fib_) || samples_since_tune_ >= SCAN_SAMPLES));
        });
        if (khz_ != khz) return false;
    }
    return synced_ && good_fib_;
}

void sdr_source::tune(int khz) {
    std::lock_guard<std::mutex> g(m_);
    queue_.clear();
    if (live_ && khz > 0 && khz != khz_) want_khz_ = khz;
    cv_.notify_all();
}

int sdr_source::next(dabcommon::eti_frame &f, int timeout_ms) {
    std::unique_lock<std::mutex> lk(m_);
    auto ready = [this] { return !queue_.empty() || ended_ || stop_; };
    if (timeout_ms < 0)
        cv_.wait(lk, ready);
    else
        cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), ready);
    if (queue_.empty()) return ended_ ? 0 : -2;
    f = *queue_.front();
    queue_.pop_front();
    cv_.notify_all();
    return 1;
}

bool sdr_source::unplugged() const {
    std::lock_guard<std::mutex> g(m_);
    // The frames decoded before the end are still played.
    return ended_ && queue_.empty();
}

void sdr_source::set_routed(const std::bitset<64> &routed) {
    std::lock_guard<std::mutex> g(m_);
    routed_ = routed;
}

double sdr_source::snr_db() const {
    std::lock_guard<std::mutex> g(m_);
    return synced_ ? snr_ : 0;
}

void sdr_source::stats(dabcommon::source_stats &s) const {
    std::lock_guard<std::mutex> g(m_);
    if (!synced_) return;
    s.flags |= dabcommon::SOURCE_HAS_SNR;
    s.snr_centibel = static_cast<int32_t>(std::lround(std::clamp(snr_, -99.0, 99.0) * 10));
}

uint64_t sdr_source::frames_made() const {
    std::lock_guard<std::mutex> g(m_);
    return made_;
}

uint64_t sdr_source::frames_dropped() const {
    std::lock_guard<std::mutex> g(m_);
    return dropped_;
}

void sdr_source::lose_signal() {
    std::lock_guard<std::mutex> g(m_);
    synced_ = false;
    good_fib_ = false;
    cv_.notify_all();
}

void sdr_source::retune_now(int khz) {
    if (!in_->set_frequency(static_cast<uint32_t>(khz) * 1000u)) say(what_, "the tuner did not take the frequency");
    d_->reset();
    std::lock_guard<std::mutex> g(m_);
    khz_ = khz;
    synced_ = false;
    good_fib_ = false;
    samples_since_tune_ = 0;
    tune_count_++;
    queue_.clear();
    cv_.notify_all();
}

void sdr_source::run() {
    std::vector<std::complex<float>> samples(CHUNK);
    auto last_data = clock_type::now();
    bool gap_said = false;

    auto on_frame = [this](const sdr_frame &fr) {
        decoder_state &d = *d_;
        d.fic.decode(fr.fic.data(), d.fibs);
        bool any_good = false;
        for (size_t i = 0; i < d.fibs.fibs.size(); i++)
            if (d.fibs.crc_ok[i]) {
                d.map.feed_fib(d.fibs.fibs[i].data());
                any_good = true;
            }
        std::bitset<64> routed;
        {
            std::lock_guard<std::mutex> g(m_);
            routed = routed_;
            snr_ = fr.snr_db;
            synced_ = true;
            if (any_good) good_fib_ = true;
            cv_.notify_all();
        }
        if (!d.said_sync) {
            char text[96];
            std::snprintf(text, sizeof text, "synchronised, SNR %.1f dB, frequency offset %.0f Hz", fr.snr_db,
                          fr.freq_offset_hz);
            say(what_, text);
            d.said_sync = true;
        }
        // Decoders only for routed sub-channels, made anew when their organisation changes.
        for (auto it = d.subs.begin(); it != d.subs.end();) {
            const auto *p = d.map.find(it->first);
            if (!routed.test(static_cast<size_t>(it->first)) || !p) it = d.subs.erase(it);
            else ++it;
        }
        for (int c = 0; c < CIFS_PER_FRAME; c++) {
            const int8_t *cif = fr.msc.data() + static_cast<size_t>(c) * CIF_SOFT_BITS;
            std::vector<dabcommon::eti_out_stream> streams;
            std::bitset<64> undecoded;
            d.data.resize(64);
            for (int id = 0; id < 64; id++) {
                const dabcommon::subchannel_params *p = d.map.find(id);
                if (!p) continue;
                dabcommon::puncturing_profile profile;
                int bytes = 0;
                if (!dabcommon::subchannel_profile(*p, profile, bytes) || bytes <= 0 || bytes % 8) continue;
                std::vector<uint8_t> &buf = d.data[static_cast<size_t>(id)];
                buf.assign(static_cast<size_t>(bytes), 0);
                bool decoded = false;
                if (routed.test(static_cast<size_t>(id))) {
                    auto &sub = d.subs[id];
                    if (!sub.dec || !same(sub.p, *p)) {
                        sub.p = *p;
                        sub.dec = std::make_unique<msc_subchannel_decoder>(*p);
                        for (int age = d.history_count; age >= 1 && sub.dec->valid(); age--)
                            sub.dec->feed_cif(d.past(age), d.out);
                    }
                    if (sub.dec->valid() && sub.dec->feed_cif(cif, d.out) && d.out.size() == buf.size()) {
                        buf = d.out;
                        decoded = true;
                    }
                }
                // A frame decoded before its sub-channel was routed may be taken after: its
                // zeros must not reach a listener as audio.
                if (!decoded) undecoded.set(static_cast<size_t>(id));
                streams.push_back({id, p->start_cu, tpl_of(*p), buf.data(), buf.size()});
            }
            d.remember(cif);
            uint8_t fic[dabcommon::ETI_FIC_SIZE];
            for (int k = 0; k < FIBS_PER_CIF; k++)
                std::memcpy(fic + k * dabcommon::FIB_SIZE, d.fibs.fibs[static_cast<size_t>(c * FIBS_PER_CIF + k)].data(),
                            dabcommon::FIB_SIZE);
            auto f = std::make_unique<dabcommon::eti_frame>();
            std::vector<uint8_t> raw(dabcommon::ETI_FRAME_SIZE);
            // An organisation that does not fit a frame (FIG 0/1 from a broken FIB) keeps the FIC.
            if (!dabcommon::eti_build_frame(raw.data(), d.cif_count, fic, streams))
                dabcommon::eti_build_frame(raw.data(), d.cif_count, fic, {});
            d.cif_count++;
            if (dabcommon::parse_eti_frame(raw.data(), raw.size(), *f) <= 0) continue;
            f->undecoded = undecoded;
            std::lock_guard<std::mutex> g(m_);
            queue_.push_back(std::move(f));
            made_++;
            if (queue_.size() > QUEUE_LIVE) {
                queue_.pop_front();
                dropped_++;
            }
            cv_.notify_all();
        }
    };

    for (;;) {
        int retune = 0;
        {
            std::unique_lock<std::mutex> lk(m_);
            // A recording is read as fast as its frames are taken, no faster.
            if (!live_)
                cv_.wait(lk, [this] { return stop_ || queue_.size() + CIFS_PER_FRAME <= QUEUE_FILE; });
            if (stop_) return;
            if (want_khz_ > 0 && want_khz_ != khz_) retune = want_khz_;
        }
        if (retune) {
            retune_now(retune);
            d_->said_sync = false;
        }
        const long n = in_->read(samples.data(), samples.size(), READ_TIMEOUT_MS);
        if (n < 0) {
            say(what_, live_ ? "connection to the receiver lost" : "end of the recording");
            std::lock_guard<std::mutex> g(m_);
            ended_ = true;
            synced_ = false;
            good_fib_ = false;
            cv_.notify_all();
            return;
        }
        const auto now = clock_type::now();
        if (n == 0) {
            if (now - last_data > SIGNAL_GAP && !gap_said) {
                say(what_, "no samples: signal lost");
                gap_said = true;
                d_->said_sync = false;
                d_->rx.reset();
                d_->restart_decoding();
                lose_signal();
            }
            if (now - last_data > STALL_LIMIT) {
                say(what_, "no samples for 5 s: the receiver is given up");
                std::lock_guard<std::mutex> g(m_);
                ended_ = true;
                cv_.notify_all();
                return;
            }
            continue;
        }
        last_data = now;
        gap_said = false;
        {
            std::lock_guard<std::mutex> g(m_);
            samples_since_tune_ += static_cast<uint64_t>(n);
        }
        const bool was_synced = d_->rx.synced();
        d_->rx.feed(samples.data(), static_cast<size_t>(n), on_frame);
        if (was_synced && !d_->rx.synced()) {
            say(what_, "synchronisation lost");
            d_->said_sync = false;
            d_->restart_decoding();
            lose_signal();
        }
        {
            std::lock_guard<std::mutex> g(m_);
            if (samples_since_tune_ >= SCAN_SAMPLES) cv_.notify_all();
        }
    }
}

std::unique_ptr<sim_source> make_sdr_source(const sdr_options &o) { return sdr_source::open(o); }
