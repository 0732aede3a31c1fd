#include "module/dcsr.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/module_protocol.h"
#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "module/dabapi.h"

namespace {

using namespace dabcommon;
constexpr unsigned char GROUP_CMD = MOD_GROUP_CMD;
constexpr unsigned char GROUP_CMD2 = MOD_GROUP_CMD2;
constexpr unsigned char GROUP_RESPONSE = MOD_GROUP_RESPONSE;
constexpr unsigned char GROUP_NOTIFY = MOD_GROUP_NOTIFY;
constexpr unsigned char GROUP_NOTIFY2 = MOD_GROUP_NOTIFY2;

// Only the start of a message carries records the module sends; the rest is not examined.
constexpr int SCAN_LIMIT = 255;
constexpr int FIGS_MAX = 765;
constexpr int SUBCH_LIST_MAX = 64;

constexpr int START_SEARCH_MAX_SENDS = 10;
constexpr useconds_t POLL_PAUSE_US = 500000;
constexpr long long TUNE_RESEND_MS = 5000;
constexpr int TUNE_MAX_SENDS = 3;

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

const char *response_name(int code) {
    switch (code) {
        case response_code::no_operation: return "No Operation";
        case response_code::accepted: return "Accepted";
        case response_code::rejected: return "Rejected";
        case response_code::busy: return "Busy";
        case response_code::error: return "Error";
        default: return nullptr;
    }
}

const char *notification_name(int code) {
    switch (code) {
        case CMD_GET_FIGS: return "get_figs";
        case CMD_SELECT_SUBCHANNEL: return "select_subchannel";
        case CMD_SEARCH_FOR_ENSEMBLE: return "search_for_ensemble";
        case CMD_GET_FREQUENCY: return "frequency";
        case CMD_SET_DRC: return "set_drc";
        case NOTIFY_DAB_STATUS: return "dab_status";
        case NOTIFY_MEM_BLOCK: return "mem_block";
        case CMD_GET_VERSION: return "get_version";
        case CMD2_GET_RDI_SUBCH_LIST: return "rdi_subch_list";
        case CMD2_SET_TUNE_WAIT_LOOPS: return "set_tune_wait_loops";
        case CMD2_GET_SUBCH_PARAMS_3: return "get_subch_params_3";
        case CMD2_GET_MS_AUDIO_INFO: return "ms_audio_info";
        default: return nullptr;
    }
}

template <class T>
T *make_record(int type) {
    T *r = new T;
    r->type = type;
    return r;
}

void put_u32(unsigned char *p, unsigned long v) {
    p[0] = static_cast<unsigned char>((v >> 24) & 0xFF);
    p[1] = static_cast<unsigned char>((v >> 16) & 0xFF);
    p[2] = static_cast<unsigned char>((v >> 8) & 0xFF);
    p[3] = static_cast<unsigned char>(v & 0xFF);
}

}  // namespace

dcsr::dcsr(ensemble *p) : e(p) {}

// ---- single commands ----

int dcsr::send(int group, int code, const unsigned char *payload, int len) {
    dab_module_msg_t msg{};
    if (len < 0 || len > static_cast<int>(sizeof msg.buf) - 4) return 0;
    msg.buf[0] = static_cast<unsigned char>(group);
    msg.buf[1] = static_cast<unsigned char>(code);
    msg.buf[2] = 0;
    msg.buf[3] = static_cast<unsigned char>(len);
    if (len) std::memcpy(msg.buf + 4, payload, static_cast<size_t>(len));
    msg.size = 4 + len;
    return e->api->write_module_buf(&msg);
}

int dcsr::tune(int input_interface_reference, int tune_freq, int mode) {
    unsigned char p[4];
    p[0] = static_cast<unsigned char>(input_interface_reference & 0x7F);
    put_freq_field(p + 1, mode, static_cast<unsigned long>(tune_freq));
    return send(GROUP_CMD, CMD_TUNE, p, sizeof p);
}

int dcsr::get_figs(int rfa, int control, int type, const unsigned char *extensions) {
    unsigned char p[11] = {};
    p[0] = static_cast<unsigned char>(rfa);
    p[1] = static_cast<unsigned char>(control);
    p[2] = static_cast<unsigned char>(type);
    if (extensions) std::memcpy(p + 3, extensions, 8);
    return send(GROUP_CMD, CMD_GET_FIGS, p, sizeof p);
}

int dcsr::select_subchannel(int valid_flags, int input_interface_reference, int output_interface_reference,
                            int subfunction, int pd, int service_id, int tmid, int subchid) {
    unsigned char p[11];
    p[0] = static_cast<unsigned char>(valid_flags);
    p[1] = static_cast<unsigned char>(input_interface_reference & 0x7F);
    p[2] = static_cast<unsigned char>(output_interface_reference & 0x7F);
    p[3] = static_cast<unsigned char>(subfunction);
    p[4] = static_cast<unsigned char>(pd);
    put_u32(p + 5, static_cast<unsigned int>(service_id));
    p[9] = static_cast<unsigned char>((tmid & 3) << 4 | ((subchid >> 8) & 0x0F));
    p[10] = static_cast<unsigned char>(subchid & 0xFF);
    return send(GROUP_CMD, CMD_SELECT_SUBCHANNEL, p, sizeof p);
}

int dcsr::search_for_ensemble(int input_interface_reference, unsigned long start_freq, unsigned long stop_freq,
                              int mode, int search_mode, int updown, int intermediate_notify) {
    unsigned char p[8];
    p[0] = static_cast<unsigned char>(input_interface_reference & 0x7F);
    put_freq_field(p + 1, mode, start_freq);
    put_freq_field(p + 4, (updown & 1) << 1 | (intermediate_notify & 1), stop_freq);
    p[7] = static_cast<unsigned char>(search_mode);
    return send(GROUP_CMD, CMD_SEARCH_FOR_ENSEMBLE, p, sizeof p);
}

int dcsr::get_frequency() { return send(GROUP_CMD, CMD_GET_FREQUENCY, nullptr, 0); }

int dcsr::set_drc(int switch_drc) {
    unsigned char p[1] = {static_cast<unsigned char>(switch_drc)};
    return send(GROUP_CMD, CMD_SET_DRC, p, sizeof p);
}

int dcsr::get_dab_status() { return send(GROUP_CMD, CMD_GET_DAB_STATUS, nullptr, 0); }

int dcsr::set_dab_status_auto_notifications(int sync, int reconf, int ber_fic, int mute) {
    unsigned char p[2];
    p[0] = static_cast<unsigned char>((sync & 0x0F) << 4 | (reconf & 0x0F));
    p[1] = static_cast<unsigned char>((ber_fic & 0x0F) << 4 | (mute & 0x0F));
    return send(GROUP_CMD, CMD_SET_STATUS_NOTIFICATIONS, p, sizeof p);
}

int dcsr::get_version() { return send(GROUP_CMD, CMD_GET_VERSION, nullptr, 0); }

int dcsr::no_operation() { return send(GROUP_CMD2, CMD2_NO_OPERATION, nullptr, 0); }

int dcsr::write_memblock(unsigned long start_address, const unsigned char *buf) {
    unsigned char p[20] = {};
    put_u32(p, start_address);
    if (buf) std::memcpy(p + 4, buf, 16);
    return send(GROUP_CMD2, CMD2_WRITE_MEMBLOCK, p, sizeof p);
}

int dcsr::read_memblock(unsigned long start_address) {
    unsigned char p[4];
    put_u32(p, start_address);
    return send(GROUP_CMD2, CMD2_READ_MEMBLOCK, p, sizeof p);
}

int dcsr::set_rdi_config(unsigned long config_value) {
    unsigned char p[4];
    put_u32(p, config_value);
    return send(GROUP_CMD2, CMD2_SET_RDI_CONFIG, p, sizeof p);
}

int dcsr::get_rdi_subch_list() { return send(GROUP_CMD2, CMD2_GET_RDI_SUBCH_LIST, nullptr, 0); }

int dcsr::set_tune_wait_loops(int loops) {
    unsigned char p[1] = {static_cast<unsigned char>(loops)};
    return send(GROUP_CMD2, CMD2_SET_TUNE_WAIT_LOOPS, p, sizeof p);
}

int dcsr::get_subch_params_3(int subch_id) {
    unsigned char p[1] = {static_cast<unsigned char>(subch_id)};
    return send(GROUP_CMD2, CMD2_GET_SUBCH_PARAMS_3, p, sizeof p);
}

int dcsr::get_ms_audio_info() { return send(GROUP_CMD2, CMD2_GET_MS_AUDIO_INFO, nullptr, 0); }

int dcsr::idle() {
    dab_module_msg_t msg{};
    return e->api->write_module_buf(&msg);
}

// ---- composite operations ----

void dcsr::drop_answer() {
    pnotification n = nullptr;
    get_notification(&n);
    dispose_list(n);
}

int dcsr::route_rdi(int sub) {
    // valid flags 8, input 3, output 1 (RDI), subfunction 2, programme data
    const int r = select_subchannel(8, 3, 1, 2, 1, 0, 0, sub);
    drop_answer();
    return r;
}

int dcsr::route_audio(int sub) {
    // valid flags 8, input 1, output 0 (audio), subfunction 3, programme data
    const int r = select_subchannel(8, 1, 0, 3, 1, 0, 0, sub);
    drop_answer();
    return r;
}

int dcsr::bring_up() {
    dabapi *api = e->api;
    // Kept when no version answer arrives, as in emulation: reported as 4.31.
    unsigned int version = (4u << 24) | (31u << 16);
    if (!api->open_driver()) return 0;
    if (!api->reset_module_communication()) {
        api->close_driver();
        if (!api->open_driver()) return 0;
    }
    if (!e->cfg->emulate && !api->reset_module_communication()) {
        e->l->log(LOG_ERR, "cannot reset module (no velkor driver found)!\n");
        api->close_driver();
        return 0;
    }
    if (!get_version(version)) get_version(version);
    if (version == 0) {
        e->l->log(LOG_ERR, "cannot get module version (no velkor driver found)!\n");
        api->close_driver();
        return 0;
    }
    e->l->log(LOG_INFO, "DAB module version: %d.%d\n", version >> 24, (version >> 16) & 0xFF);
    return 1;
}

int dcsr::set_up_outputs(int rdiconfig) {
    const int rdi_sent = set_rdi_config(static_cast<unsigned long>(rdiconfig));
    drop_answer();
    // sync 1, reconf 0, ber_fic 7, mute 0
    const int status_sent = set_dab_status_auto_notifications(1, 0, 7, 0);
    drop_answer();
    return rdi_sent && status_sent ? 1 : 0;
}

int dcsr::tune(int tunefreq) {
    int ret = 0, done = 0, sends = 0;
    long long last_send = 0;
    bool sent_once = false;
    do {
        if (!sent_once || now_ms() - last_send > TUNE_RESEND_MS) {
            if (!tune(3, tunefreq >> 4, 0)) done = 1;
            sends++;
            sent_once = true;
            last_send = now_ms();
        }
        usleep(POLL_PAUSE_US);
        idle();
        pnotification n = nullptr;
        get_notification(&n);
        for (pnotification p = n; p; p = p->next) {
            if (p->type != _dab_status) continue;
            done = 1;
            if (static_cast<notify_dab_status *>(p)->sync) ret = 1;
        }
        dispose_list(n);
    } while (!done && sends < TUNE_MAX_SENDS && !e->cfg->finished);
    return ret;
}

int dcsr::start_search(int startfreq, int stopfreq, int band) {
    int success = 0;
    bool responded = false;
    // A module that never answers must not hold the caller (and the module lock) forever.
    for (int sends = 0; !responded && sends < START_SEARCH_MAX_SENDS && !e->cfg->finished; sends++) {
        if (sends) usleep(POLL_PAUSE_US);
        search_for_ensemble(3, static_cast<unsigned long>(startfreq >> 4), static_cast<unsigned long>(stopfreq >> 4),
                            0, band, 1, 1);
        pnotification n = nullptr;
        get_notification(&n);
        for (pnotification p = n; p; p = p->next) {
            if (p->type != _response) continue;
            responded = true;
            if (static_cast<notify_response *>(p)->code == response_code::accepted) success = 1;
        }
        dispose_list(n);
    }
    e->l->log(LOG_INFO, "start_search returned: %d\n", success);
    return success;
}

int dcsr::get_dab_status(notify_dab_status &s, int mode) {
    s.ber_fic = 7;  // 7 = no status arrived
    s.tune_freq = 0;
    if (mode == 0) {
        idle();
    } else if (!get_dab_status()) {
        return 0;
    }
    pnotification n = nullptr;
    get_notification(&n);
    if (!n) return 0;
    int ret = 1;
    for (pnotification p = n; p; p = p->next) {
        if (p->type == _response) {
            if (static_cast<notify_response *>(p)->code != response_code::accepted) ret = 0;
        } else if (p->type == _dab_status) {
            const auto *st = static_cast<notify_dab_status *>(p);
            s.notify_reason = st->notify_reason;
            s.mode = st->mode;
            s.tune_freq = st->tune_freq;
            s.reconf = st->reconf;
            s.sync = st->sync;
            s.ber_fic = st->ber_fic;
            s.mute = st->mute;
        }
    }
    dispose_list(n);
    return ret;
}

int dcsr::get_version(unsigned int &version) {
    if (!get_version()) return 0;
    sleep(1);
    pnotification n = nullptr;
    get_notification(&n);
    if (!n) return 0;
    int ret = 1;
    for (pnotification p = n; p; p = p->next) {
        if (p->type == _response) {
            if (static_cast<notify_response *>(p)->code != response_code::accepted) ret = 0;
        } else if (p->type == _get_version) {
            const auto *v = static_cast<notify_get_version *>(p);
            version = v->version_number << 16 | v->additional_value;
        }
    }
    dispose_list(n);
    return ret;
}

// ---- answers and notifications ----

void dcsr::add_notification(pnotification *n, pnotification m) {
    if (!n || !m) return;
    m->next = nullptr;
    while (*n) n = &(*n)->next;
    *n = m;
}

void dcsr::dispose_list(pnotification n) {
    while (n) {
        pnotification next = n->next;
        delete n;
        n = next;
    }
}

// The notifications the host understands: code, payload bytes of a fixed-size record (-1: the
// decoder checks the size itself) and decoder. A decoder returns the bytes it consumed.
struct dcsr::notification_decoder {
    int code;
    int payload;
    int (dcsr::*decode)(const unsigned char *p, int len, int avail, pnotification *n);
};

const dcsr::notification_decoder dcsr::notification_decoders[] = {
    {CMD_GET_FIGS, -1, &dcsr::decode_get_figs},
    {CMD_SELECT_SUBCHANNEL, 4, &dcsr::decode_select_subchannel},
    {CMD_SEARCH_FOR_ENSEMBLE, 3, &dcsr::decode_search_for_ensemble},
    {CMD_GET_FREQUENCY, 3, &dcsr::decode_frequency},
    {CMD_SET_DRC, 1, &dcsr::decode_set_drc},
    {NOTIFY_DAB_STATUS, 6, &dcsr::decode_dab_status},
    {NOTIFY_MEM_BLOCK, 20, &dcsr::decode_mem_block},
    {CMD_GET_VERSION, 4, &dcsr::decode_get_version},
    {CMD2_GET_RDI_SUBCH_LIST, -1, &dcsr::decode_rdi_subch_list},
    {CMD2_SET_TUNE_WAIT_LOOPS, 1, &dcsr::decode_tune_wait_loops},
    {CMD2_GET_SUBCH_PARAMS_3, 7, &dcsr::decode_subch_params_3},
    {CMD2_GET_MS_AUDIO_INFO, 6, &dcsr::decode_ms_audio_info},
};

int dcsr::decode_notification(const unsigned char *p, int avail, pnotification *n) {
    if (avail < 2) return 1;
    const int group = p[0];
    const int code = p[1];
    if (!notification_name(code)) {
        e->l->log(LOG_DEBUG, "unknown notification: 0x%02x 0x%02x: ", group, code);
        return 1;
    }
    if (avail < 4) return 1;
    const int len = p[2] << 8 | p[3];
    for (const auto &d : notification_decoders) {
        if (d.code != code) continue;
        // Fixed-size records: the length bytes must match and the record must be complete.
        if (d.payload >= 0 && (len != d.payload || avail < 4 + d.payload)) return 1;
        return (this->*d.decode)(p, len, avail, n);
    }
    return 1;
}

int dcsr::decode_get_figs(const unsigned char *p, int len, int avail, pnotification *n) {
    const int copied = std::min({len, FIGS_MAX, avail - 4});
    auto *r = make_record<notify_get_figs>(_get_figs);
    std::memcpy(r->fig_data, p + 4, static_cast<size_t>(copied));
    e->l->log(LOG_DEBUG, "notify_get_figs: len:%d\n", copied);
    add_notification(n, r);
    return 4 + copied;
}

int dcsr::decode_select_subchannel(const unsigned char *p, int, int, pnotification *n) {
    auto *r = make_record<notify_select_subchannel>(_select_subchannel);
    r->output_interface_reference = p[4];
    r->tmid = (p[5] >> 4) & 0x07;
    r->subchid_scid = (p[5] & 0x0F) << 8 | p[6];
    r->subch_not_decodable = (p[7] >> 1) & 1;
    r->subch_not_present = p[7] & 1;
    e->l->log(LOG_DEBUG,
              "notify_select_subchannel: output_interface_reference:%x tmid:%x subchid_scid:%x "
              "subch_not_decodable:%x subch_not_present:%x\n",
              r->output_interface_reference, r->tmid, r->subchid_scid, r->subch_not_decodable,
              r->subch_not_present);
    add_notification(n, r);
    return 8;
}

int dcsr::decode_search_for_ensemble(const unsigned char *p, int, int, pnotification *n) {
    auto *r = make_record<notify_search_for_ensemble>(_search_for_ensemble);
    r->mode = (p[4] >> 4) & 0x07;
    r->tune_freq = freq_field_units(p + 4);
    e->l->log(LOG_DEBUG, "notify_search_for_ensemble: mode:%x tune_freq:%d\n", r->mode, r->tune_freq * 16);
    add_notification(n, r);
    return 7;
}

int dcsr::decode_frequency(const unsigned char *p, int, int, pnotification *n) {
    // Same 3-byte layout as the search notification: mode and 19-bit frequency.
    auto *r = make_record<notify_frequency>(_frequency);
    r->mode = (p[4] >> 4) & 0x07;
    r->freq = freq_field_units(p + 4);
    e->l->log(LOG_DEBUG, "notify_frequency mode: %x freq:%d\n", r->mode, r->freq * 16);
    add_notification(n, r);
    return 7;
}

int dcsr::decode_set_drc(const unsigned char *p, int, int, pnotification *n) {
    auto *r = make_record<notify_set_drc>(_set_drc);
    r->drc_val = p[4];
    e->l->log(LOG_DEBUG, "notify_set_drc: drc_val:%d\n", r->drc_val);
    add_notification(n, r);
    return 5;
}

int dcsr::decode_dab_status(const unsigned char *p, int, int, pnotification *n) {
    auto *r = make_record<notify_dab_status>(_dab_status);
    r->notify_reason = p[4];
    r->mode = (p[5] >> 4) & 0x07;
    r->tune_freq = (p[5] & 0x0F) << 16 | p[6] << 8 | p[7];
    r->reconf = p[8] >> 4;
    r->sync = p[8] & 0x0F;
    r->ber_fic = (p[9] >> 4) & 0x07;
    r->mute = p[9] & 0x03;
    e->l->log(LOG_DEBUG,
              "notify_dab_status:notify_reason:%x mode:%x tune_freq:%d reconf:%x sync:%x ber_fic:%x mute:%x\n",
              r->notify_reason, r->mode, r->tune_freq * 16, r->reconf, r->sync, r->ber_fic, r->mute);
    ds.notify_reason = r->notify_reason;
    ds.mode = r->mode;
    ds.tune_freq = r->tune_freq;
    ds.reconf = r->reconf;
    ds.sync = r->sync;
    ds.ber_fic = r->ber_fic;
    ds.mute = r->mute;
    add_notification(n, r);
    return 10;
}

int dcsr::decode_mem_block(const unsigned char *p, int, int, pnotification *n) {
    auto *r = make_record<notify_mem_block>(_mem_block);
    r->start_address = static_cast<unsigned int>(p[4]) << 24 | static_cast<unsigned int>(p[5]) << 16 |
                       static_cast<unsigned int>(p[6]) << 8 | p[7];
    std::memcpy(r->data, p + 8, sizeof r->data);
    e->l->log(LOG_DEBUG, "notify_mem_block: %08X\n", r->start_address);
    add_notification(n, r);
    return 24;
}

int dcsr::decode_get_version(const unsigned char *p, int, int, pnotification *n) {
    auto *r = make_record<notify_get_version>(_get_version);
    r->version_number = static_cast<unsigned int>(p[4] << 8 | p[5]);
    r->additional_value = static_cast<unsigned int>(p[6] << 8 | p[7]);
    e->l->log(LOG_DEBUG, "notify_get_version: version_number:%04X additional_value:%04X\n",
              r->version_number, r->additional_value);
    add_notification(n, r);
    return 8;
}

int dcsr::decode_rdi_subch_list(const unsigned char *p, int, int avail, pnotification *n) {
    // Count byte = length byte + 1; the record spans 4 + count bytes.
    if (avail < 5 || p[2] != 0 || p[4] != p[3] + 1) return 1;
    const int count = p[4];
    auto *r = make_record<notify_rdi_subch_list>(_rdi_subch_list);
    r->num_subch = std::min({count, SUBCH_LIST_MAX, avail - 5});
    for (int j = 0; j < r->num_subch; j++) r->subch_id[j] = p[5 + j];
    e->l->log(LOG_DEBUG, "notify_rdi_subch_list: num_subch:%d\n", r->num_subch);
    add_notification(n, r);
    return 4 + count;
}

int dcsr::decode_tune_wait_loops(const unsigned char *p, int, int, pnotification *n) {
    auto *r = make_record<notify_num_tune_wait_loops>(_num_tune_wait_loops);
    r->loops = p[4];
    e->l->log(LOG_DEBUG, "notify_num_tune_wait_loops: loops:%d\n", r->loops);
    add_notification(n, r);
    return 5;
}

int dcsr::decode_subch_params_3(const unsigned char *p, int, int, pnotification *n) {
    auto *r = make_record<notify_get_subch_params_3>(_get_subch_params_3);
    r->subch_id = p[4];
    r->cu_start = p[5] << 2 | p[6] >> 6;
    r->cu_num = (p[6] & 0x3F) << 4 | p[7] >> 4;
    r->p_level = (p[7] >> 1) & 0x03;
    r->audio_data = p[7] & 1;
    r->bitrate_index = p[8];
    r->table_index = p[9] >> 2;
    r->table_switch = (p[9] >> 1) & 1;
    r->entry_valid = p[9] & 1;
    r->ep_profile = p[10] >> 7;
    r->ep_option = (p[10] >> 4) & 0x03;
    r->decode = (p[10] >> 3) & 1;
    r->rdi = (p[10] >> 2) & 1;
    r->i2s_out = (p[10] >> 1) & 1;
    r->dummy = p[10] & 1;
    e->l->log(LOG_DEBUG,
              "notify_get_subch_params_3: subch_id:%x cu_start:%x cu_num: %x p_level:%x audio_data:%x "
              "bitrate_index:%x table_index:%x table_switch:%x entry_valid:%x ep_profile:%x ep_option:%x "
              "decode:%x rdi:%x i2s_out:%x dummy:%x\n",
              r->subch_id, r->cu_start, r->cu_num, r->p_level, r->audio_data, r->bitrate_index,
              r->table_index, r->table_switch, r->entry_valid, r->ep_profile, r->ep_option, r->decode, r->rdi,
              r->i2s_out, r->dummy);
    add_notification(n, r);
    return 11;
}

int dcsr::decode_ms_audio_info(const unsigned char *p, int, int, pnotification *n) {
    auto *r = make_record<notify_ms_audio_info>(_ms_audio_info);
    r->warnings = p[4] << 12 | p[5] << 4 | p[6] >> 4;
    r->mpeg = p[8] & 1;
    r->bitrate_index = (p[8] >> 1) & 0x0F;
    r->mode = (p[8] >> 5) & 0x03;
    r->joint_stereo_mode = (p[9] & 1) << 1 | p[8] >> 7;
    r->original = (p[9] >> 1) & 1;
    r->copyright = (p[9] >> 2) & 1;
    e->l->log(LOG_DEBUG,
              "notify_ms_audio_info: warnings:%x joint_stereo_mode:%x mpeg:%x bitrate_index:%x mode:%x "
              "original:%x copyright:%x\n",
              r->warnings, r->joint_stereo_mode, r->mpeg, r->bitrate_index, r->mode, r->original,
              r->copyright);
    add_notification(n, r);
    return 10;
}

void dcsr::log_response(int group, int code) {
    const char *name = response_name(code);
    if (!name) {
        e->l->log(LOG_DEBUG, "0x%02x 0x%02x: ", group, code);
        name = "Unknown";
    }
    e->l->log(LOG_DEBUG, "%s\n", name);
}

int dcsr::decode_message(const unsigned char *buf, int size, pnotification *n) {
    if (!buf || !n) return 0;
    int count = 0;
    for (pnotification p = *n; p; p = p->next) count--;
    int i = 0;
    while (i < size && i <= SCAN_LIMIT) {
        const unsigned char *p = buf + i;
        const int avail = size - i;
        if (p[0] == GROUP_NOTIFY || p[0] == GROUP_NOTIFY2) {
            i += decode_notification(p, avail, n);
        } else if (p[0] == GROUP_RESPONSE) {
            if (avail < 2) break;
            log_response(p[0], p[1]);
            auto *r = make_record<notify_response>(_response);
            r->code = p[1];
            add_notification(n, r);
            i += 2;
        } else {
            i++;
        }
    }
    for (pnotification p = *n; p; p = p->next) count++;
    return count;
}

int dcsr::get_notification(pnotification *n) {
    if (!n) return 0;
    *n = nullptr;
    if (!e->api->new_msg()) return 0;
    // Zeroed: when the transport skips its memory reads the message reads as empty.
    dab_module_msg_t msg{};
    e->api->read_module_buf(&msg);
    const int size = std::min(msg.size, static_cast<int>(sizeof msg.buf));
    if (size < 1) return 1;
    decode_message(msg.buf, size, n);
    return 1;
}

void dcsr::showmsg() {
    e->l->log(LOG_DEBUG, "Waiting for messages...\n");
    if (!e->api->new_msg()) return;
    dab_module_msg_t msg{};
    e->api->read_module_buf(&msg);
    const int size = std::min(msg.size, static_cast<int>(sizeof msg.buf));
    int i = 0;
    while (i < size && i <= SCAN_LIMIT) {
        const unsigned char *p = msg.buf + i;
        const int avail = size - i;
        if (p[0] == GROUP_RESPONSE && avail >= 2) {
            log_response(p[0], p[1]);
            i += 2;
        } else if ((p[0] == GROUP_NOTIFY || p[0] == GROUP_NOTIFY2) && avail >= 2) {
            const char *name = notification_name(p[1]);
            const int len = avail >= 4 ? std::min(p[2] << 8 | p[3], avail - 4) : 0;
            std::string bytes;
            char hex[4];
            for (int k = 0; k < len; k++) {
                snprintf(hex, sizeof hex, "%02X ", p[4 + k]);
                bytes += hex;
            }
            e->l->log(LOG_DEBUG, "Notify_%s: %s\n", name ? name : "Unknown", bytes.c_str());
            i += std::min(4 + len, avail);
        } else {
            i++;
        }
    }
}

void dcsr::showbuf() {
    UCHAR buf[DPRAM_SIZE] = {};
    if (!e->api->read_mem(buf, DPRAM_BASE, DPRAM_SIZE)) return;
    for (int k = 0; k < DPRAM_SIZE; k++) {
        if (k % 16 == 0) fprintf(stderr, "\n% 5d: ", k);
        fprintf(stderr, " %02X", buf[k]);
    }
    fprintf(stderr, "\n");
}

// ---- channel naming ----

int dcsr::get_tune_val(int channel) {
    if (channel >= 0 && channel < static_cast<int>(dabfreq.size())) return dabfreq[static_cast<size_t>(channel)];
    return channel;
}

int dcsr::name_to_channel(const char *s) {
    if (!s) return get_tune_val(0);
    int n = atoi(s);
    const size_t len = strlen(s);
    if (len < 2) return get_tune_val(n);
    const unsigned char first = static_cast<unsigned char>(s[0]);
    if (first == 'L' || first == 'l') {
        const int c = toupper(static_cast<unsigned char>(s[1]));
        if (c >= 'A' && c <= 'W') n = c - 'A';
        return get_tune_val(n);
    }
    const unsigned char last = static_cast<unsigned char>(s[len - 1]);
    if (isdigit(first) && n >= 5 && n <= 13 && !isdigit(last)) {
        const int c = toupper(last);
        const int max_letter = n == 13 ? 'F' : 'D';
        // A letter outside the block (5E, 13G) is no channel name: the number counts alone.
        if (c >= 'A' && c <= max_letter) n = 4 * n + (c - 'A') + 3;
        return get_tune_val(n);
    }
    return get_tune_val(n);
}

int dcsr::channel_to_name(char *s, int freq) {
    if (!s) return 0;
    if (freq >= LBAND_FIRST && freq <= LBAND_LAST) {
        snprintf(s, CHANNEL_NAME_SIZE, "l%c", 'a' + (freq - LBAND_FIRST) / LBAND_SPACING_KHZ);
        return 1;
    }
    for (int idx = BAND3_INDEX_FIRST; idx <= BAND3_INDEX_LAST; idx++) {
        if (dabfreq[static_cast<size_t>(idx)] != freq) continue;
        const int pos = idx - BAND3_INDEX_FIRST;
        if (pos == 36)
            snprintf(s, CHANNEL_NAME_SIZE, "13e");
        else if (pos == 37)
            snprintf(s, CHANNEL_NAME_SIZE, "13f");
        else
            snprintf(s, CHANNEL_NAME_SIZE, "%i%c", pos / 4 + 5, 'a' + pos % 4);
        return 1;
    }
    return 0;
}

int dcsr::get_next_freq(int freq) {
    int first, last;
    if (freq >= LBAND_FIRST && freq <= LBAND_LAST) {
        first = LBAND_INDEX_FIRST;
        last = LBAND_INDEX_LAST - 1;
    } else {
        first = BAND3_INDEX_FIRST;
        last = BAND3_INDEX_LAST - 1;
    }
    if (freq < dabfreq[static_cast<size_t>(first)]) return dabfreq[static_cast<size_t>(first)];
    for (int idx = first; idx <= last; idx++)
        if (dabfreq[static_cast<size_t>(idx)] > freq) return dabfreq[static_cast<size_t>(idx)];
    return 0;
}
