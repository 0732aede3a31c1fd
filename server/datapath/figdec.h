#pragma once
// Pure decoders of one FIG entry: bytes p[0..n) (never more), record filled.
// Each returns the number of bytes the entry takes, or 0 when it runs past n.

#include "datapath/fic.h"

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
