#include "sim/simmodule.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/dab_tables.h"
#include "common/module_protocol.h"
#include "module/dabapi.h"

namespace {

// Answer groups and response codes of the module protocol.
using namespace dabcommon;
constexpr uint8_t GROUP_CMD = MOD_GROUP_CMD;
constexpr uint8_t GROUP_CMD2 = MOD_GROUP_CMD2;
constexpr uint8_t GROUP_RESPONSE = MOD_GROUP_RESPONSE;
constexpr uint8_t GROUP_NOTIFY = MOD_GROUP_NOTIFY;
constexpr uint8_t RESP_ACCEPTED = 1;
constexpr uint8_t RESP_REJECTED = 2;

// Reasons of status notifications.
constexpr int REASON_REQUESTED = 0;
constexpr int REASON_TUNED = 1;
constexpr int REASON_SYNC = 4;
constexpr int REASON_RECONF = 5;

constexpr int SYNC_FULL = 7;
constexpr int BER_NO_SIGNAL = 6;
constexpr uint16_t MODULE_VERSION = 0x0428;  // 4.40
constexpr uint16_t MODULE_VERSION_EXTRA = 0x0001;
constexpr int PCI_DRIVER_VERSION = 0x0201;
constexpr uint8_t MBOX_READY_MAGIC = 0x0F;
constexpr uint8_t DEBUG_MODE_ON = 0x3C;
constexpr uint8_t STATUS_MESSAGE = 0x01;

constexpr size_t OUTBOX_MAX = 64;       // records kept for the host: a band's search progress
constexpr size_t PCI_QUEUE_MAX = 16;    // answer messages kept by the PCI driver
constexpr size_t MAILBOX_MAX = MBOX_M2H_SIZE - 1;  // the host rejects an end index of 192
constexpr size_t FIGS_MAX = 160;
constexpr size_t FIB_HISTORY = 126;    // about one second of FIBs
constexpr size_t DEBUG_WORDS = 1024;   // counting words per frame time in debug mode
constexpr int PIPE_SIZE = 1 << 20;

constexpr auto COMMAND_TIME = std::chrono::milliseconds(2);
constexpr auto FRAME_TIME = std::chrono::microseconds(24000);
constexpr auto SEARCH_STEP = std::chrono::milliseconds(100);
constexpr auto UNPLUG_CHECK = std::chrono::milliseconds(100);


using record = std::vector<uint8_t>;

record response(uint8_t code) { return {GROUP_RESPONSE, code}; }

record notify(uint8_t code, std::initializer_list<uint8_t> payload) {
    // Built byte by byte: GCC 12 at -O3 warns falsely about a range insert into a fresh vector.
    record r;
    r.reserve(4 + payload.size());
    r.push_back(GROUP_NOTIFY);
    r.push_back(code);
    r.push_back(static_cast<uint8_t>(payload.size() >> 8));
    r.push_back(static_cast<uint8_t>(payload.size()));
    for (uint8_t b : payload) r.push_back(b);
    return r;
}

// Mode(4) and a 19-bit frequency in 16 kHz units: the first three bytes of several records.
std::array<uint8_t, 3> freq_bytes(int mode, int khz) {
    std::array<uint8_t, 3> f;
    put_freq_field(f.data(), mode, static_cast<unsigned long>(khz / FREQ_UNIT_KHZ));
    return f;
}

int freq_khz(const uint8_t *p) { return freq_field_units(p) * FREQ_UNIT_KHZ; }

uint32_t be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

int dab_mode(int mid) { return mid == 0 ? 4 : mid; }

int ber_level(int errors) {
    if (errors == 0) return 0;
    if (errors <= 2) return 1;
    if (errors <= 6) return 2;
    if (errors <= 12) return 3;
    if (errors <= 25) return 4;
    if (errors <= 50) return 5;
    return 6;
}

}  // namespace

std::unique_ptr<sim_module> sim_module::create(const sim_options &o) {
    std::unique_ptr<sim_module> m(new sim_module(o));
    m->source_ = o.make_source ? o.make_source() : make_sim_source(o);
    if (!m->source_) {
        int err = errno ? errno : ENOENT;
        m.reset();
        errno = err;
        return nullptr;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
    m->rdi_read_ = fds[0];
    m->rdi_write_ = fds[1];
    fcntl(m->rdi_write_, F_SETFL, O_NONBLOCK);
    // A bigger pipe bridges the host's pauses; the default size is kept when refused.
    fcntl(m->rdi_write_, F_SETPIPE_SZ, PIPE_SIZE);
    m->thread_ = std::thread([p = m.get()] { p->run(); });
    return m;
}

sim_module::sim_module(const sim_options &o) : opt_(o) {}

sim_module::~sim_module() {
    {
        std::lock_guard<std::mutex> g(m_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (rdi_write_ >= 0) close(rdi_write_);
    if (rdi_read_ >= 0) close(rdi_read_);
}

// ---------------------------------------------------------------------------------
// Driver side

int sim_module::request(unsigned long req, void *arg) {
    std::lock_guard<std::mutex> g(m_);
    advance(clock::now());
    if (removed_) {
        errno = ENODEV;
        return -1;
    }
    const unsigned int r = static_cast<unsigned int>(req);
    if (r == DRV_DEBUG) return 0;
    if (r == DRV_RESET) {
        if (!opt_.pci) {
            errno = ENOTTY;
            return -1;
        }
        messages_.clear();
        return 0;
    }
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    switch (r) {
        case DRV_GET_VERSION: *static_cast<int *>(arg) = opt_.pci ? PCI_DRIVER_VERSION : USB_DRIVER_VERSION; return 0;
        case DRV_GET_OVERRUNS: *static_cast<int *>(arg) = overruns_; return 0;
        case DRV_GET_REMOVED: *static_cast<int *>(arg) = 0; return 0;
        case DRV_BULK: return bulk(arg);
        case dabcommon::DRV_GET_SOURCE_STATS:
            *static_cast<dabcommon::source_stats *>(arg) = dabcommon::source_stats{};
            source_->stats(*static_cast<dabcommon::source_stats *>(arg));
            return 0;
        case DRV_WRITE_MSG:
        case DRV_READ_MSG:
        case DRV_NEW_MSG: return msg_request(r, arg);
        default: errno = ENOTTY; return -1;
    }
}

ssize_t sim_module::read_stream(void *buf, size_t len) {
    if (gone_) {
        errno = ENODEV;
        return -1;
    }
    return read(rdi_read_, buf, len);
}

int sim_module::msg_request(unsigned long req, void *arg) {
    if (!opt_.pci) {
        errno = ENOTTY;
        return -1;
    }
    if (req == DRV_NEW_MSG) {
        *static_cast<int *>(arg) = messages_.empty() ? 0 : 1;
        return 0;
    }
    auto *msg = static_cast<dab_module_msg_t *>(arg);
    if (req == DRV_READ_MSG) {
        msg->size = 0;
        if (!messages_.empty()) {
            const auto &m = messages_.front();
            size_t n = std::min(m.size(), sizeof msg->buf);
            std::memcpy(msg->buf, m.data(), n);
            msg->size = static_cast<int>(n);
            messages_.pop_front();
        }
        return 0;
    }
    if (msg->size < 0 || msg->size > static_cast<int>(sizeof msg->buf)) {
        errno = EINVAL;
        return -1;
    }
    std::vector<record> answer;
    if (msg->size > 0) answer = execute(msg->buf, static_cast<size_t>(msg->size));
    publish(std::move(answer));
    return 1;
}

int sim_module::bulk(void *arg) {
    auto *b = static_cast<bulk_transfer_t *>(arg);
    if (b->size < 1 || b->size > static_cast<int>(sizeof b->data)) {
        errno = EINVAL;
        return -1;
    }
    if (b->pipe == 0) {
        if (pending_read_addr_ < 0 || b->size > pending_read_len_) {
            errno = EIO;
            return -1;
        }
        std::memcpy(b->data, mem_.data() + pending_read_addr_, static_cast<size_t>(b->size));
        return 0;
    }
    if (b->pipe != 1) {
        errno = EINVAL;
        return -1;
    }
    const int addr = b->data[1] | b->data[2] << 8;
    const int n = b->data[3];
    switch (b->data[0]) {
        case BULK_READ_MEM:
            if (b->size != 4 || n < 1 || n > BULK_READ_MAX || addr + n > static_cast<int>(mem_.size())) break;
            pending_read_addr_ = addr;
            pending_read_len_ = n;
            return 0;
        case BULK_WRITE_MEM: {
            if (n < 1 || n > BULK_WRITE_MAX || b->size != n + 4 || addr + n > static_cast<int>(mem_.size())) break;
            std::memcpy(mem_.data() + addr, b->data + 4, static_cast<size_t>(n));
            auto covers = [&](int a) { return a >= addr && a < addr + n; };
            // The busy bit belongs to the module.
            if (covers(MODULE_BUSY)) mem_[MODULE_BUSY] = static_cast<uint8_t>((mem_[MODULE_BUSY] & ~1) | (busy_ ? 1 : 0));
            if (covers(MODULE_DEBUG)) debug_mode_ = mem_[MODULE_DEBUG] == DEBUG_MODE_ON;
            if (!opt_.pci && covers(MBOX_READY) && mem_[MBOX_READY] == MBOX_READY_MAGIC) host_message_ready();
            return 0;
        }
        case BULK_CONTROL:
            if (b->size != 4) break;
            return 0;
        case BULK_NAME:
            if (b->size != 21) break;
            if (b->data[1] < names_.size()) {
                auto &name = names_[b->data[1]];
                std::memcpy(name.data(), b->data + 4, name.size());
                name.back() = 0;
            }
            return 0;
        default: break;
    }
    errno = EINVAL;
    return -1;
}

void sim_module::advance(clock::time_point now) {
    if (busy_ && now >= busy_until_) {
        busy_ = false;
        mem_[MODULE_BUSY] &= static_cast<uint8_t>(~1);
        publish(std::move(in_flight_));
        in_flight_.clear();
    }
    step_search(now);
}

void sim_module::host_message_ready() {
    // A message arriving while the previous command still runs finishes that one first.
    if (busy_) advance(busy_until_);
    mem_[MBOX_READY] = 0;
    const int start = mem_[MBOX_H2M_START] % MBOX_H2M_SIZE;
    const int end = mem_[MBOX_H2M_END] % MBOX_H2M_SIZE;
    const int len = (end - start + MBOX_H2M_SIZE) % MBOX_H2M_SIZE;
    uint8_t msg[MBOX_H2M_SIZE];
    for (int i = 0; i < len; i++) msg[i] = mem_[static_cast<size_t>(MBOX_H2M_AREA + (start + i) % MBOX_H2M_SIZE)];
    in_flight_ = len > 0 ? execute(msg, static_cast<size_t>(len)) : std::vector<record>();
    busy_ = true;
    busy_until_ = clock::now() + COMMAND_TIME;
    mem_[MODULE_BUSY] |= 1;
}

void sim_module::publish(std::vector<record> answer) {
    const bool idle = answer.empty();
    // Notifications that waited for the host follow the command's own answer.
    for (auto &r : outbox_) answer.push_back(std::move(r));
    outbox_.clear();
    size_t limit = opt_.pci ? sizeof(dab_module_msg_t::buf) : MAILBOX_MAX;
    std::vector<uint8_t> msg;
    size_t used = 0;
    if (opt_.pci && idle && !messages_.empty()) {
        // The host reads one message per exchange: notifications join the answer it
        // has not fetched yet instead of queueing a message it would take for the next.
        msg = std::move(messages_.back());
        messages_.pop_back();
        used = msg.size();
    } else if (!opt_.pci && mem_[MBOX_M2H_START] == 0 && mem_[MBOX_M2H_END] != 0) {
        // An answer the host has not fetched yet: append to it.
        used = mem_[MBOX_M2H_END];
        msg.assign(mem_.begin() + MBOX_M2H_AREA, mem_.begin() + MBOX_M2H_AREA + static_cast<long>(used));
    }
    size_t i = 0;
    for (; i < answer.size() && msg.size() + answer[i].size() <= limit; i++)
        msg.insert(msg.end(), answer[i].begin(), answer[i].end());
    for (size_t k = answer.size(); k > i; k--) outbox_.push_front(std::move(answer[k - 1]));
    while (outbox_.size() > OUTBOX_MAX) outbox_.pop_front();
    if (opt_.pci) {
        if (!msg.empty()) messages_.push_back(std::move(msg));
        while (messages_.size() > PCI_QUEUE_MAX) messages_.pop_front();
        return;
    }
    if (msg.size() == used) return;
    std::copy(msg.begin(), msg.end(), mem_.begin() + MBOX_M2H_AREA);
    mem_[MBOX_M2H_START] = 0;
    mem_[MBOX_M2H_END] = static_cast<uint8_t>(msg.size());
    mem_[MBOX_STATUS] = STATUS_MESSAGE;
}

// ---------------------------------------------------------------------------------
// Firmware side

// One command the firmware knows: its group and code, the payload bytes it needs, and what it
// does. A handler that returns false has the command rejected.
struct sim_module::command {
    uint8_t group, code;
    size_t need;
    bool (sim_module::*run)(const uint8_t *p, std::vector<record> &out);
};

bool sim_module::run_tune(const uint8_t *p, std::vector<record> &out) {
    cmd_tune(p, out);
    return true;
}

bool sim_module::run_get_figs(const uint8_t *p, std::vector<record> &out) {
    cmd_get_figs(p, out);
    return true;
}

bool sim_module::run_select_subchannel(const uint8_t *p, std::vector<record> &out) {
    cmd_select_subchannel(p, out);
    return true;
}

bool sim_module::run_search(const uint8_t *p, std::vector<record> &out) {
    cmd_search(p, out);
    return true;
}

bool sim_module::run_get_frequency(const uint8_t *, std::vector<record> &out) {
    out.push_back(response(RESP_ACCEPTED));
    auto f = freq_bytes(synchronised() && have_last_ ? dab_mode(last_.mid) : 0, tuned_khz_);
    out.push_back(notify(CMD_GET_FREQUENCY, {f[0], f[1], f[2]}));
    return true;
}

bool sim_module::run_set_drc(const uint8_t *p, std::vector<record> &out) {
    drc_ = p[0];
    out.push_back(response(RESP_ACCEPTED));
    out.push_back(notify(CMD_SET_DRC, {static_cast<uint8_t>(drc_)}));
    return true;
}

bool sim_module::run_get_dab_status(const uint8_t *, std::vector<record> &out) {
    out.push_back(response(RESP_ACCEPTED));
    out.push_back(status_record(REASON_REQUESTED));
    return true;
}

bool sim_module::run_set_notifications(const uint8_t *p, std::vector<record> &out) {
    auto_sync_ = p[0] >> 4;
    auto_reconf_ = p[0] & 0x0F;
    auto_ber_ = p[1] >> 4;
    auto_mute_ = p[1] & 0x0F;
    out.push_back(response(RESP_ACCEPTED));
    return true;
}

bool sim_module::run_get_version(const uint8_t *, std::vector<record> &out) {
    out.push_back(response(RESP_ACCEPTED));
    out.push_back(notify(CMD_GET_VERSION, {MODULE_VERSION >> 8, MODULE_VERSION & 0xFF, MODULE_VERSION_EXTRA >> 8,
                                           MODULE_VERSION_EXTRA & 0xFF}));
    return true;
}

bool sim_module::run_no_operation(const uint8_t *, std::vector<record> &out) {
    out.push_back(response(RESP_ACCEPTED));
    return true;
}

bool sim_module::run_write_memblock(const uint8_t *p, std::vector<record> &out) {
    uint32_t a = be32(p);
    if (a > mem_.size() - 16) return false;
    std::memcpy(mem_.data() + a, p + 4, 16);
    out.push_back(response(RESP_ACCEPTED));
    return true;
}

bool sim_module::run_read_memblock(const uint8_t *p, std::vector<record> &out) {
    uint32_t a = be32(p);
    if (a > mem_.size() - 16) return false;
    out.push_back(response(RESP_ACCEPTED));
    // start address(32), 16 bytes
    record r = {GROUP_NOTIFY, NOTIFY_MEM_BLOCK, 0, 20, p[0], p[1], p[2], p[3]};
    r.insert(r.end(), mem_.begin() + a, mem_.begin() + a + 16);
    out.push_back(r);
    return true;
}

bool sim_module::run_set_rdi_config(const uint8_t *p, std::vector<record> &out) {
    uint32_t v = be32(p);
    if (v > 4) return false;
    rdi_config_ = static_cast<int>(v);
    out.push_back(response(RESP_ACCEPTED));
    return true;
}

bool sim_module::run_get_rdi_subch_list(const uint8_t *, std::vector<record> &out) {
    out.push_back(response(RESP_ACCEPTED));
    std::vector<uint8_t> ids;
    for (int i = 63; i >= 0; i--)
        if (routed_.test(static_cast<size_t>(i))) ids.push_back(static_cast<uint8_t>(i));
    // The host resumes scanning at the last identifier, so that one is best not
    // a value that starts a record (2 or 4).
    std::stable_partition(ids.begin(), ids.end(), [](uint8_t v) { return v == 2 || v == 4; });
    // Length byte = count - 1; an empty list cannot be expressed and is sent as count 0.
    record r = {GROUP_NOTIFY, CMD2_GET_RDI_SUBCH_LIST, 0, static_cast<uint8_t>(ids.empty() ? 0 : ids.size() - 1),
                static_cast<uint8_t>(ids.size())};
    r.insert(r.end(), ids.begin(), ids.end());
    out.push_back(r);
    return true;
}

bool sim_module::run_set_tune_wait_loops(const uint8_t *p, std::vector<record> &out) {
    tune_wait_loops_ = p[0];
    out.push_back(response(RESP_ACCEPTED));
    out.push_back(notify(CMD2_SET_TUNE_WAIT_LOOPS, {static_cast<uint8_t>(tune_wait_loops_)}));
    return true;
}

bool sim_module::run_get_subch_params(const uint8_t *p, std::vector<record> &out) {
    cmd_get_subch_params(p[0], out);
    return true;
}

bool sim_module::run_ms_audio_info(const uint8_t *, std::vector<record> &out) {
    cmd_ms_audio_info(out);
    return true;
}

const sim_module::command sim_module::commands[] = {
    {GROUP_CMD, CMD_TUNE, 4, &sim_module::run_tune},
    {GROUP_CMD, CMD_GET_FIGS, 11, &sim_module::run_get_figs},
    {GROUP_CMD, CMD_SELECT_SUBCHANNEL, 11, &sim_module::run_select_subchannel},
    {GROUP_CMD, CMD_SEARCH_FOR_ENSEMBLE, 8, &sim_module::run_search},
    {GROUP_CMD, CMD_GET_FREQUENCY, 0, &sim_module::run_get_frequency},
    {GROUP_CMD, CMD_SET_DRC, 1, &sim_module::run_set_drc},
    {GROUP_CMD, CMD_GET_DAB_STATUS, 0, &sim_module::run_get_dab_status},
    {GROUP_CMD, CMD_SET_STATUS_NOTIFICATIONS, 2, &sim_module::run_set_notifications},
    {GROUP_CMD, CMD_GET_VERSION, 0, &sim_module::run_get_version},
    {GROUP_CMD2, CMD2_NO_OPERATION, 0, &sim_module::run_no_operation},
    {GROUP_CMD2, CMD2_WRITE_MEMBLOCK, 20, &sim_module::run_write_memblock},
    {GROUP_CMD2, CMD2_READ_MEMBLOCK, 4, &sim_module::run_read_memblock},
    {GROUP_CMD2, CMD2_SET_RDI_CONFIG, 4, &sim_module::run_set_rdi_config},
    {GROUP_CMD2, CMD2_GET_RDI_SUBCH_LIST, 0, &sim_module::run_get_rdi_subch_list},
    {GROUP_CMD2, CMD2_SET_TUNE_WAIT_LOOPS, 1, &sim_module::run_set_tune_wait_loops},
    {GROUP_CMD2, CMD2_GET_SUBCH_PARAMS_3, 1, &sim_module::run_get_subch_params},
    {GROUP_CMD2, CMD2_GET_MS_AUDIO_INFO, 0, &sim_module::run_ms_audio_info},
};

std::vector<record> sim_module::execute(const uint8_t *msg, size_t len) {
    std::vector<record> out;
    if (len >= 4) {
        const uint8_t group = msg[0], code = msg[1];
        const size_t declared = static_cast<size_t>(msg[2] << 8 | msg[3]);
        const size_t avail = std::min(declared, len - 4);
        for (const command &c : commands) {
            if (c.group != group || c.code != code) continue;
            if (avail >= c.need && (this->*c.run)(msg + 4, out)) return out;
            break;
        }
    }
    out.clear();
    out.push_back(response(RESP_REJECTED));
    return out;
}

bool sim_module::synchronised() const {
    return !search_active_ && tuned_khz_ > 0 && source_->has_ensemble(tuned_khz_);
}

sim_module::record sim_module::status_record(int reason) const {
    const bool sync = synchronised();
    const int mode = sync && have_last_ ? dab_mode(last_.mid) : 0;
    const int u = tuned_khz_ / 16;
    const int ber = sync ? ber_level(fib_errors_) : BER_NO_SIGNAL;
    const bool audio = sync && have_last_ && audio_subch_ >= 0 && last_.find_stream(audio_subch_) >= 0;
    // reason; mode(3) freq(4+8+8); reconf(4) sync(4); ber_fic(3) mute(2)
    return notify(NOTIFY_DAB_STATUS, {static_cast<uint8_t>(reason), static_cast<uint8_t>((mode & 7) << 4 | ((u >> 16) & 0x0F)),
                         static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u),
                         static_cast<uint8_t>((reconf_count_ & 0x0F) << 4 | (sync ? SYNC_FULL : 0)),
                         static_cast<uint8_t>(ber << 4 | (audio ? 0 : 1))});
}

void sim_module::count_fibs(int n, bool bad) {
    for (int i = 0; i < n; i++) {
        fib_history_.push_back(bad);
        fib_errors_ += bad;
        if (fib_history_.size() > FIB_HISTORY) {
            fib_errors_ -= fib_history_.front();
            fib_history_.pop_front();
        }
    }
}

void sim_module::retune(int khz) {
    tuned_khz_ = khz;
    routed_.reset();
    source_->set_routed(routed_);
    have_last_ = false;
    fib_history_.clear();
    fib_errors_ = 0;
    // The host learns the outcome from the answer; no auto notification for it, and
    // none still waiting about the ensemble left behind.
    signal_ = synchronised();
    outbox_.erase(std::remove_if(outbox_.begin(), outbox_.end(), [](const record &r) { return r[1] == 0x0A; }),
                  outbox_.end());
}

void sim_module::cmd_tune(const uint8_t *p, std::vector<record> &out) {
    search_active_ = false;
    retune(freq_khz(p + 1));
    out.push_back(response(RESP_ACCEPTED));
    out.push_back(status_record(REASON_TUNED));
}

void sim_module::cmd_search(const uint8_t *p, std::vector<record> &out) {
    // iir; mode(4) start(3+8+8); updown(1) notify(1) stop(3+8+8); search mode
    const int start = freq_khz(p + 1);
    const bool up = (p[4] >> 5) & 1;
    const bool intermediate = (p[4] >> 4) & 1;
    const int stop = freq_khz(p + 4);
    int band = p[7];
    if (band != 1 && band != 2) band = start >= dabfreq[LBAND_INDEX_FIRST] - 16 ? 2 : 1;
    const int first = band == 1 ? BAND3_INDEX_FIRST : LBAND_INDEX_FIRST;
    const int last = band == 1 ? BAND3_INDEX_LAST : LBAND_INDEX_LAST;
    std::vector<int> plan;
    for (int i = first; i <= last; i++) {
        int f = dabfreq[static_cast<size_t>(i)];
        if (up ? (f >= start - 15 && f <= stop + 15) : (f <= start + 15 && f >= stop - 15)) plan.push_back(f);
    }
    if (!up) std::reverse(plan.begin(), plan.end());
    if (plan.empty()) {
        out.push_back(response(RESP_REJECTED));
        return;
    }
    retune(plan[0]);
    search_active_ = true;
    signal_ = false;
    search_plan_ = plan;
    search_pos_ = 0;
    search_notify_ = intermediate;
    search_next_ = clock::now() + std::chrono::duration_cast<clock::duration>(SEARCH_STEP / opt_.speed);
    out.push_back(response(RESP_ACCEPTED));
}

void sim_module::step_search(clock::time_point now) {
    while (search_active_ && now >= search_next_) {
        const int khz = search_plan_[search_pos_];
        tuned_khz_ = khz;
        if (search_notify_) {
            auto f = freq_bytes(0, khz);
            outbox_.push_back(notify(CMD_SEARCH_FOR_ENSEMBLE, {f[0], f[1], f[2]}));
        }
        if (source_->has_ensemble(khz) || ++search_pos_ >= search_plan_.size()) {
            // Found, or at the stop frequency: the search ends tuned there.
            search_active_ = false;
            retune(khz);
        }
        search_next_ += std::chrono::duration_cast<clock::duration>(SEARCH_STEP / opt_.speed);
    }
}

void sim_module::cmd_select_subchannel(const uint8_t *p, std::vector<record> &out) {
    // valid; iir; oir; subfunction; pd; service id(32); tmid(2) subchid(12)
    const int oir = p[2] & 0x7F;
    const int subfunction = p[3];
    const int tmid = (p[9] >> 4) & 3;
    const int subchid = (p[9] & 0x0F) << 8 | p[10];
    const bool valid = subchid < 64;
    if (oir == 1) {
        // RDI: 0 none, 1 remove, 2 add, 3 this one only
        if (subfunction == 0 || subfunction == 3) routed_.reset();
        if (valid && subfunction == 1) routed_.reset(static_cast<size_t>(subchid));
        if (valid && (subfunction == 2 || subfunction == 3)) routed_.set(static_cast<size_t>(subchid));
        source_->set_routed(routed_);
    } else if (oir == 0) {
        // Audio output: one sub-channel at a time.
        audio_subch_ = (subfunction >= 2 && valid) ? subchid : -1;
    } else {
        out.push_back(response(RESP_REJECTED));
        return;
    }
    const bool present = valid && synchronised() && (!have_last_ || last_.find_stream(subchid) >= 0);
    out.push_back(response(RESP_ACCEPTED));
    out.push_back(notify(CMD_SELECT_SUBCHANNEL, {static_cast<uint8_t>(oir), static_cast<uint8_t>(tmid << 4 | ((subchid >> 8) & 0x0F)),
                                static_cast<uint8_t>(subchid), static_cast<uint8_t>(present ? 0 : 1)}));
}

void sim_module::cmd_get_figs(const uint8_t *p, std::vector<record> &out) {
    // rfa; control; type; extension bitmap (8 bytes, extension 0 = bit 7 of the first)
    const int type = p[2];
    const uint8_t *ext = p + 3;
    const bool any_ext = std::any_of(ext, ext + 8, [](uint8_t b) { return b != 0; });
    record r = {GROUP_NOTIFY, CMD_GET_FIGS, 0, 0};
    if (synchronised() && have_last_) {
        for (int b = 0; b < last_.fib_count(); b++) {
            const uint8_t *fib = last_.fib(b);
            size_t i = 0;
            while (i < dabcommon::FIB_DATA_SIZE && fib[i] != 0xFF) {
                const int fig_type = fib[i] >> 5;
                const size_t fig_len = fib[i] & 0x1F;
                if (i + 1 + fig_len > dabcommon::FIB_DATA_SIZE) break;
                int e = -1;
                if (fig_len >= 1 && fig_type == 0) e = fib[i + 1] & 0x1F;
                if (fig_len >= 1 && fig_type == 1) e = fib[i + 1] & 0x07;
                bool wanted = fig_type == type && (!any_ext || e < 0 || (ext[e / 8] >> (7 - e % 8)) & 1);
                if (wanted && r.size() - 4 + 1 + fig_len <= FIGS_MAX) r.insert(r.end(), fib + i, fib + i + 1 + fig_len);
                i += 1 + fig_len;
            }
        }
    }
    r[2] = static_cast<uint8_t>((r.size() - 4) >> 8);
    r[3] = static_cast<uint8_t>(r.size() - 4);
    out.push_back(response(RESP_ACCEPTED));
    out.push_back(r);
}

void sim_module::cmd_get_subch_params(int subchid, std::vector<record> &out) {
    int idx = synchronised() && have_last_ ? last_.find_stream(subchid) : -1;
    int cu_start = 0, cu_num = 0, level = 0, option = 0, eep = 0, table_index = 0;
    if (idx >= 0) {
        const auto &s = last_.stc[static_cast<size_t>(idx)];
        cu_start = s.sad;
        // TPL: EEP(1) option(3) level(2), or UEP(0) and the table index's low bits.
        eep = (s.tpl >> 5) & 1;
        if (eep) {
            option = (s.tpl >> 2) & 7;
            level = s.tpl & 3;
            // Capacity units per 8 kbit/s (option A) or 32 kbit/s (option B), levels 1-4.
            int n = option == 0 ? s.stl / 3 : s.stl / 12;
            cu_num = n * (option == 0 ? eep_a_cu_per_8k[static_cast<size_t>(level)]
                                      : eep_b_cu_per_32k[static_cast<size_t>(level)]);
        } else {
            table_index = s.tpl & 0x3F;
        }
    }
    const bool routed = subchid < 64 && routed_.test(static_cast<size_t>(subchid));
    const bool audio = subchid == audio_subch_;
    out.push_back(response(RESP_ACCEPTED));
    // subch; cu_start(10) cu_num(10) 0 p_level(2) audio_data(1); bitrate index;
    // table_index(6) table_switch(1) entry_valid(1); ep_profile(1) 0 ep_option(2) decode rdi i2s dummy
    out.push_back(notify(CMD2_GET_SUBCH_PARAMS_3, {static_cast<uint8_t>(subchid), static_cast<uint8_t>(cu_start >> 2),
                                static_cast<uint8_t>((cu_start & 3) << 6 | ((cu_num >> 4) & 0x3F)),
                                static_cast<uint8_t>((cu_num & 0x0F) << 4 | (level & 3) << 1 | (eep ? 0 : 1)), 0,
                                static_cast<uint8_t>(table_index << 2 | (idx >= 0 ? 1 : 0)),
                                static_cast<uint8_t>(eep << 7 | (option & 3) << 4 | ((routed || audio) ? 8 : 0) |
                                                     (routed ? 4 : 0) | (audio ? 2 : 0))}));
}

void sim_module::cmd_ms_audio_info(std::vector<record> &out) {
    // From the MPEG Layer II header at the start of the audio sub-channel's frame:
    // sync(12) ID(1) layer(2) prot(1); bitrate(4) fs(2) pad(1) priv(1); mode(2) ext(2) copyright orig emph(2)
    int warnings = 1, mpeg = 0, bitrate = 0, mode = 0, jsm = 0, original = 0, copyright = 0;
    int idx = synchronised() && have_last_ && audio_subch_ >= 0 ? last_.find_stream(audio_subch_) : -1;
    if (idx >= 0 && last_.stc[static_cast<size_t>(idx)].len >= 4) {
        const uint8_t *h = last_.stream_data(idx);
        if (h[0] == 0xFF && (h[1] & 0xF0) == 0xF0) {
            warnings = 0;
            mpeg = (h[1] >> 3) & 1;
            bitrate = h[2] >> 4;
            mode = h[3] >> 6;
            jsm = (h[3] >> 4) & 3;
            copyright = (h[3] >> 3) & 1;
            original = (h[3] >> 2) & 1;
        }
    }
    out.push_back(response(RESP_ACCEPTED));
    // warnings(20) 0(4); 0; js0 mode(2) bitrate(4) mpeg; copyright original js1
    out.push_back(notify(CMD2_GET_MS_AUDIO_INFO, {static_cast<uint8_t>(warnings >> 12), static_cast<uint8_t>(warnings >> 4),
                                static_cast<uint8_t>((warnings & 0x0F) << 4), 0,
                                static_cast<uint8_t>((jsm & 1) << 7 | (mode & 3) << 5 | (bitrate & 0x0F) << 1 | mpeg),
                                static_cast<uint8_t>(copyright << 2 | original << 1 | (jsm >> 1))}));
}

void sim_module::signal_changed(int reason) {
    if (reason == REASON_RECONF && !auto_reconf_) reason = REASON_SYNC;
    if (reason == REASON_SYNC && !auto_sync_) return;
    outbox_.push_back(status_record(reason));
    while (outbox_.size() > OUTBOX_MAX) outbox_.pop_front();
}

// ---------------------------------------------------------------------------------
// Signal thread: one ETI frame per frame time, turned into RDI while synchronised.

void sim_module::run() {
    const auto period = std::chrono::duration_cast<clock::duration>(FRAME_TIME / opt_.speed);
    const int period_ms = static_cast<int>(std::max<long long>(
        1, std::chrono::duration_cast<std::chrono::milliseconds>(period).count()));
    auto frame = std::make_unique<dabcommon::eti_frame>();
    auto prev = std::make_unique<dabcommon::eti_frame>();
    bool have_prev = false;
    int source_khz = -1;
    dabcommon::rdi_framer framer;
    std::vector<uint32_t> words;
    auto next_due = clock::now();
    auto next_unplug_check = next_due;
    uint64_t skipped_seen = source_->skipped_bytes();
    auto newly_skipped = [&] {
        const uint64_t now = source_->skipped_bytes(), d = now - skipped_seen;
        skipped_seen = now;
        return d;
    };

    for (;;) {
        int want = 0, rdi = 0;
        bool debug = false, listening = false;
        std::bitset<64> routed;
        {
            std::unique_lock<std::mutex> lk(m_);
            cv_.wait_until(lk, next_due, [this] { return stop_; });
            if (stop_) break;
            const auto now = clock::now();
            next_due += period;
            if (now > next_due + 10 * period) next_due = now + period;  // fell behind: do not rush
            advance(now);
            const bool sync = synchronised();
            if (sync != signal_) {
                signal_ = sync;
                signal_changed(REASON_SYNC);
            }
            want = sync ? tuned_khz_ : 0;
            // Live input that ended is watched while tuned, so that its return is noticed.
            listening = !sync && source_->live() && tuned_khz_ > 0 && !search_active_;
            rdi = removed_ ? 0 : rdi_config_;
            debug = debug_mode_ && !removed_;
            routed = routed_;
        }
        if (std::chrono::steady_clock::now() >= next_unplug_check) {
            next_unplug_check += UNPLUG_CHECK;
            if (!gone_ && source_->unplugged()) {
                {
                    std::lock_guard<std::mutex> g(m_);
                    removed_ = true;
                }
                gone_ = true;
                // A pulled-out module hangs up its stream: a reader waiting in poll wakes and
                // its read fails as the driver's would.
                close(rdi_write_);
                rdi_write_ = -1;
                pending_out_.clear();
            }
        }
        if (debug) {
            words.clear();
            for (size_t i = 0; i < DEBUG_WORDS; i++) {
                debug_counter_ = (debug_counter_ + 1) & 0xFFFFFF;
                if (debug_counter_ == 0) debug_counter_ = 1;
                words.push_back(debug_counter_);
            }
            emit(words);
            continue;
        }
        if (want != source_khz) {
            // Retuning takes effect here, at a frame boundary.
            source_->tune(want);
            source_khz = want;
            have_prev = false;
            newly_skipped();
        }
        if (want == 0) {
            if (listening) source_->next(*frame, period_ms);
            newly_skipped();  // garbage while unsynchronised is no error of the signal
            continue;
        }
        int r = source_->next(*frame, period_ms);
        // Input that was no frame is frames the receiver could not decode: their FIBs
        // count as errors, so that the error rate shows it.
        if (const uint64_t skipped = newly_skipped()) {
            const uint64_t frames = (skipped + dabcommon::ETI_FRAME_SIZE - 1) / dabcommon::ETI_FRAME_SIZE;
            std::lock_guard<std::mutex> g(m_);
            if (tuned_khz_ == want && have_last_)
                count_fibs(static_cast<int>(std::min<uint64_t>(FIB_HISTORY, frames * last_.fib_count())), true);
        }
        if (r != 1) continue;
        {
            std::lock_guard<std::mutex> g(m_);
            if (tuned_khz_ != want) continue;  // retuned meanwhile: this frame is from the old ensemble
            if (have_prev && dabcommon::eti_organisation_differs(*prev, *frame)) {
                reconf_count_++;
                signal_changed(REASON_RECONF);
            }
            for (int i = 0; i < frame->fib_count(); i++) count_fibs(1, !frame->fib_crc_ok(i));
            last_ = *frame;
            have_last_ = true;
        }
        std::swap(frame, prev);
        have_prev = true;
        if (rdi == 0) continue;
        words.clear();
        framer.set_packing(rdi == 1 || rdi == 3 ? 20 : 22);
        framer.frame(*prev, routed & ~prev->undecoded, words);
        emit(words);
    }
}

void sim_module::emit(const std::vector<uint32_t> &words) {
    if (rdi_write_ < 0) return;
    auto write_some = [this](std::vector<uint8_t> &bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(rdi_write_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(done));
    };
    if (!pending_out_.empty()) {
        write_some(pending_out_);
        if (!pending_out_.empty()) {
            // The host is behind: this frame is lost, whole, so that words stay aligned.
            std::lock_guard<std::mutex> g(m_);
            overruns_++;
            return;
        }
    }
    dabcommon::rdi_to_bytes(words.data(), words.size(), pending_out_);
    write_some(pending_out_);
}
