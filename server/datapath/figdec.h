#pragma once
// FIG decoders: the decoder class family the FIB walk dispatches to, and the pure decoders
// of one FIG entry behind them (bytes p[0..n), never more, record filled; each returns the
// number of bytes the entry takes, or 0 when it runs past n).

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "common/dab_tables.h"
#include "common/fig_records.h"

class ensemble;

// --- Subchannel sizes of the short form (UEP table of EN 300 401, clause 6.2.1) ---

typedef struct subch_mode_s {
    int sub_channel_size;  // capacity units
    int protection_level;
    int bitrate;    // kbit/s
    int framesize;  // bytes per 24 ms frame
} subch_mode_t;

constexpr std::array<subch_mode_t, 64> make_modes() {
    std::array<subch_mode_t, 64> m{};
    for (size_t i = 0; i < m.size(); i++) {
        const auto &u = dabcommon::uep_table[i];
        m[i] = {u.size, u.level, u.bitrate, 3 * u.bitrate};
    }
    return m;
}

inline constexpr std::array<subch_mode_t, 64> modes = make_modes();
static_assert(modes.size() == 64, "one row per 6-bit table index");
static_assert(modes[0].sub_channel_size == 16 && modes[0].protection_level == 5 && modes[0].bitrate == 32);
static_assert(modes[58].bitrate == 320 && modes[58].framesize == 960);
static_assert(modes[63].sub_channel_size == 416 && modes[63].protection_level == 1 && modes[63].framesize == 1152);

// --- Decoder classes ---

// The FIB as handed to the decoders.
struct fig_s {
    fig_header_t hdr;
    unsigned char ob[FIB_BYTES];
    fig_s *next;
    int start;  // first byte after the FIG's type-specific byte
    int end;    // first byte after the FIG (never beyond the FIB)
};

class fig {
public:
    fig(ensemble *p, pgen_data_t d) : ptr(d), next(nullptr), e(p) {}
    virtual ~fig() = default;
    fig(const fig &) = delete;
    fig &operator=(const fig &) = delete;

    // Decodes one entry from f->ob[k]; leaves k on the entry's last byte.
    // 0 when the record is to be dropped.
    virtual int decode_fig(fig_s *f, int &k) = 0;

    pgen_data_t ptr;
    fig *next;
    ensemble *e;
};

template <class R>
class fig_of : public fig {
public:
    explicit fig_of(ensemble *p) : fig(p, &data), data() {
        data.datasize = static_cast<int32_t>(sizeof(R));
        data.timestamp = static_cast<fig_time_t>(time(nullptr));
    }
    R data;
};

#define DAB_FIG_CLASS(name, record)                   \
    class name : public fig_of<record> {              \
    public:                                           \
        explicit name(ensemble *p) : fig_of(p) {}     \
        int decode_fig(fig_s *f, int &k) override;    \
    }

DAB_FIG_CLASS(ensemble_information, ensemble_information_t);
DAB_FIG_CLASS(sub_channel_organization, sub_channel_organization_t);
DAB_FIG_CLASS(service_organization, service_organization_t);
DAB_FIG_CLASS(service_component_packet, service_component_packet_t);
DAB_FIG_CLASS(service_component_steam, service_component_steam_t);
DAB_FIG_CLASS(service_component_language, service_component_language_t);
DAB_FIG_CLASS(service_linking, service_linking_t);
DAB_FIG_CLASS(dscty_extension, dscty_extension_t);
DAB_FIG_CLASS(service_component_global_definition, service_component_global_definition_t);
DAB_FIG_CLASS(country, country_t);
DAB_FIG_CLASS(programme_type_preview, programme_type_preview_t);
DAB_FIG_CLASS(programme_number, programme_number_t);
DAB_FIG_CLASS(programme_type, programme_type_t);
DAB_FIG_CLASS(announcement_support, announcement_support_t);
DAB_FIG_CLASS(announcement_switching, announcement_switching_t);
DAB_FIG_CLASS(service_component_trigger, service_component_trigger_t);
DAB_FIG_CLASS(transmitter_identification_information, transmitter_identification_information_t);
DAB_FIG_CLASS(fidc, fidc_t);
DAB_FIG_CLASS(gen_fig, gen_data_t);
DAB_FIG_CLASS(programme_type_downloading, programme_type_downloading_t);

class label_helper {
public:
    static int decode_label(ensemble *e, dablabel_t *lab, fig_s *f, int &k);
};

#define DAB_LABEL_CLASS(name)                                                                  \
    class name : public fig_of<dablabel_t>, public label_helper {                              \
    public:                                                                                    \
        explicit name(ensemble *p) : fig_of(p) {}                                              \
        int decode_fig(fig_s *f, int &k) override { return decode_label(e, &data, f, k); }    \
    }

DAB_LABEL_CLASS(ensemble_label);
DAB_LABEL_CLASS(programme_service_label);
DAB_LABEL_CLASS(service_component_label);
DAB_LABEL_CLASS(data_service_label);

#undef DAB_FIG_CLASS
#undef DAB_LABEL_CLASS

class date_time : public fig_of<date_time_t> {
public:
    explicit date_time(ensemble *p) : fig_of(p) {}
    int decode_fig(fig_s *f, int &k) override;
    static int mjd_helper(struct tm *t, int mjd);
};

// Decoder object for (type, ext) with a fresh record; null for an unknown pair.
fig *make_fig_decoder(ensemble *e, int type, int ext);

// --- Pure decoders of one entry ---

// Reads the bytes of one entry, big-endian; a read past the end gives 0 and marks the
// entry as overrun, so a broken length field can never take a decoder outside its FIG.
class entry_cursor {
public:
    entry_cursor(const unsigned char *p, int n) : p_(p), n_(n < 0 ? 0 : n) {}
    int u8() {
        if (pos_ >= n_) {
            over_ = true;
            pos_++;
            return 0;
        }
        return p_[pos_++];
    }
    int u16() {
        int hi = u8();
        return hi << 8 | u8();
    }
    int u24() {
        int hi = u16();
        return hi << 8 | u8();
    }
    int32_t u32() {
        uint32_t hi = static_cast<uint32_t>(u16());
        return static_cast<int32_t>(hi << 16 | static_cast<uint32_t>(u16()));
    }
    // Service identifier: 16 bits with P/D 0, 32 bits with P/D 1.
    int32_t sid(int pd) { return pd ? u32() : u16(); }
    int peek() const { return pos_ < n_ ? p_[pos_] : -1; }
    int left() const { return n_ - pos_; }
    int used() const { return pos_ < n_ ? pos_ : n_; }
    bool overrun() const { return over_; }
    int result() const { return over_ ? 0 : pos_; }

private:
    const unsigned char *p_;
    int n_;
    int pos_ = 0;
    bool over_ = false;
};

// For the decoder classes: moves k onto the entry's last byte and returns true, or, for
// an entry that ran past its FIG (used 0), counts and reports it, moves k to the FIG's
// last byte and returns false.
bool fig_entry_done(ensemble *e, fig_s *f, int &k, int used);

int decode_ensemble_information(const unsigned char *p, int n, ensemble_information_t *d);
int decode_sub_channel_organization(const unsigned char *p, int n, sub_channel_organization_t *d);
int decode_service_organization(const unsigned char *p, int n, int pd, service_organization_t *d);
int decode_service_component_packet(const unsigned char *p, int n, service_component_packet_t *d);
int decode_service_component_steam(const unsigned char *p, int n, service_component_steam_t *d);
int decode_service_component_language(const unsigned char *p, int n, service_component_language_t *d);
// *received_ids: the id count as broadcast (it may exceed what the record can hold).
int decode_service_linking(const unsigned char *p, int n, int pd, service_linking_t *d, int *received_ids);
int decode_dscty_extension(const unsigned char *p, int n, dscty_extension_t *d);
int decode_service_component_global_definition(const unsigned char *p, int n, int pd,
                                               service_component_global_definition_t *d);
// *subfields: the number of extended sub-fields read.
int decode_country(const unsigned char *p, int n, int pd, country_t *d, int *subfields = nullptr);
int decode_programme_type_preview(const unsigned char *p, int n, programme_type_preview_t *d);
int decode_programme_number(const unsigned char *p, int n, programme_number_t *d);
// *received_nfc: the fine code count as broadcast.
int decode_programme_type(const unsigned char *p, int n, programme_type_t *d, int *received_nfc);
int decode_announcement_support(const unsigned char *p, int n, announcement_support_t *d);
int decode_announcement_switching(const unsigned char *p, int n, announcement_switching_t *d);
int decode_service_component_trigger(const unsigned char *p, int n, service_component_trigger_t *d);
int decode_transmitter_identification_information(const unsigned char *p, int n,
                                                  transmitter_identification_information_t *d);
int decode_date_time(const unsigned char *p, int n, date_time_t *d);
int decode_programme_type_downloading(const unsigned char *p, int n, programme_type_downloading_t *d);
// Labels take what the FIG holds: missing bytes stay 0. Returns the bytes read.
int decode_label_entry(const unsigned char *p, int n, int ext, dablabel_t *d);
