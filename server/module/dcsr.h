#pragma once
// The receiver module's command set, its answers and notifications, and channel naming.

#include <array>

#include "common/dab_tables.h"

class ensemble;

enum notification_type {
    _response = 0,
    _dab_status = 1,
    _select_subchannel = 2,
    _search_for_ensemble = 3,
    _frequency = 4,
    _mem_block = 5,
    _rdi_subch_list = 6,
    _get_version = 7,
    _get_figs = 8,
    _set_drc = 9,
    _num_tune_wait_loops = 10,
    _get_subch_params_3 = 11,
    _ms_audio_info = 12,
};

enum response_code { no_operation = 0, accepted = 1, rejected = 2, busy = 3, error = 239 };

struct notification {
    int type = 0;
    notification *next = nullptr;
    virtual ~notification() = default;
};
typedef notification *pnotification;

struct notify_response : notification {
    int code = 0;
};
struct notify_dab_status : notification {
    int notify_reason = 0, mode = 0, tune_freq = 0, reconf = 0, sync = 0, ber_fic = 0, mute = 0;
};
struct notify_select_subchannel : notification {
    int output_interface_reference = 0, tmid = 0, subchid_scid = 0, subch_not_decodable = 0, subch_not_present = 0;
};
struct notify_search_for_ensemble : notification {
    int mode = 0, tune_freq = 0;
};
struct notify_frequency : notification {
    int mode = 0, freq = 0;
};
struct notify_mem_block : notification {
    unsigned int start_address = 0;
    unsigned char data[16] = {};
};
struct notify_rdi_subch_list : notification {
    int num_subch = 0;
    int subch_id[64] = {};
};
struct notify_get_version : notification {
    unsigned int version_number = 0, additional_value = 0;
};
struct notify_get_figs : notification {
    unsigned char fig_data[1024] = {};
};
struct notify_set_drc : notification {
    int drc_val = 0;
};
struct notify_num_tune_wait_loops : notification {
    int loops = 0;
};
struct notify_get_subch_params_3 : notification {
    int subch_id = 0, cu_start = 0, cu_num = 0, p_level = 0, audio_data = 0, bitrate_index = 0, table_index = 0,
        table_switch = 0, entry_valid = 0, ep_profile = 0, ep_option = 0, decode = 0, rdi = 0, i2s_out = 0, dummy = 0;
};
struct notify_ms_audio_info : notification {
    int warnings = 0, mpeg = 0, bitrate_index = 0, mode = 0, joint_stereo_mode = 0, original = 0, copyright = 0;
};

// The channel raster lives with the standard's tables.
using dabcommon::band3;
using dabcommon::BAND3_FIRST;
using dabcommon::BAND3_LAST;
using dabcommon::CHANNEL_NAME_SIZE;
using dabcommon::dabfreq;
using dabcommon::LBAND_FIRST;
using dabcommon::LBAND_LAST;

class dcsr {
public:
    explicit dcsr(ensemble *p);
    dcsr(const dcsr &) = delete;
    dcsr &operator=(const dcsr &) = delete;

    // Single commands; each returns the transport's send result (non-zero = sent).
    int tune(int input_interface_reference, int tune_freq, int mode);
    int get_figs(int rfa, int control, int type, const unsigned char *extensions);
    int select_subchannel(int valid_flags, int input_interface_reference, int output_interface_reference,
                          int subfunction, int pd, int service_id, int tmid, int subchid);
    int search_for_ensemble(int input_interface_reference, unsigned long start_freq, unsigned long stop_freq, int mode,
                            int search_mode, int updown, int intermediate_notify);
    int get_frequency();
    int set_drc(int switch_drc);
    int get_dab_status();
    int set_dab_status_auto_notifications(int sync, int reconf, int ber_fic, int mute);
    int get_version();
    int no_operation();
    int write_memblock(unsigned long start_address, const unsigned char *buf);
    int read_memblock(unsigned long start_address);
    int set_rdi_config(unsigned long config_value);
    int get_rdi_subch_list();
    int set_tune_wait_loops(int loops);
    int get_subch_params_3(int subch_id);
    int get_ms_audio_info();
    int idle();

    // Composite operations.
    int tune(int tunefreq);
    int start_search(int startfreq, int stopfreq, int band);
    int get_dab_status(notify_dab_status &s, int mode);
    int get_version(unsigned int &version);
    // Subchannel sub into the RDI stream, or to the audio output; the answer is read and dropped.
    int route_rdi(int sub);
    int route_audio(int sub);

    // Start-up, in two steps with the configuration report between them: open the driver,
    // reach the module and log its version (0 when it cannot be reached, the driver closed);
    // then the RDI output and the status notifications, each answer read and dropped.
    int bring_up();
    int set_up_outputs(int rdiconfig);

    // Answers and notifications.
    int get_notification(pnotification *n);
    // Decodes the records of one module message (size valid bytes at buf) and appends
    // them to *n; returns the number of records appended.
    int decode_message(const unsigned char *buf, int size, pnotification *n);
    static void add_notification(pnotification *n, pnotification m);
    static void dispose_list(pnotification n);
    void showmsg();
    void showbuf();

    // Channel naming.
    static int get_tune_val(int channel);
    static int name_to_channel(const char *s);
    static int channel_to_name(char *s, int freq);  // s must hold CHANNEL_NAME_SIZE bytes
    static int get_next_freq(int freq);

    ensemble *e;
    notify_dab_status ds;

private:
    int send(int group, int code, const unsigned char *payload, int len);
    void drop_answer();
    // One notification record at p (avail bytes left); returns how far to advance.
    int decode_notification(const unsigned char *p, int avail, pnotification *n);
    struct notification_decoder;
    static const notification_decoder notification_decoders[];
    int decode_get_figs(const unsigned char *p, int len, int avail, pnotification *n);
    int decode_select_subchannel(const unsigned char *p, int len, int avail, pnotification *n);
    int decode_search_for_ensemble(const unsigned char *p, int len, int avail, pnotification *n);
    int decode_frequency(const unsigned char *p, int len, int avail, pnotification *n);
    int decode_set_drc(const unsigned char *p, int len, int avail, pnotification *n);
    int decode_dab_status(const unsigned char *p, int len, int avail, pnotification *n);
    int decode_mem_block(const unsigned char *p, int len, int avail, pnotification *n);
    int decode_get_version(const unsigned char *p, int len, int avail, pnotification *n);
    int decode_rdi_subch_list(const unsigned char *p, int len, int avail, pnotification *n);
    int decode_tune_wait_loops(const unsigned char *p, int len, int avail, pnotification *n);
    int decode_subch_params_3(const unsigned char *p, int len, int avail, pnotification *n);
    int decode_ms_audio_info(const unsigned char *p, int len, int avail, pnotification *n);
    void log_response(int group, int code);
};
