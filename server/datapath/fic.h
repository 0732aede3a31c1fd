#pragma once
// FIC decoder, FIG store and FIG decoders.
//
// Every FIB of the Fast Information Channel is split into FIGs; each entry of a FIG
// becomes one record, kept once in the store and refreshed whenever it is received
// again. The records double as a wire format (FIG query replies carry them raw):
// little-endian, 32-bit fields, sizes and offsets pinned below.

#include <pthread.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "common/dab_tables.h"

class ensemble;
struct fig_s;
typedef struct gen_data_s gen_data_t;

typedef int (*fib_decoder_callback_t)(void *context, unsigned char *fib);
typedef int (*fig_decoder_callback_t)(void *context, fig_s *f, int pos);
typedef int (*fig_replace_callback_t)(void *context, gen_data_t *a, gen_data_t *b);

// One record of the store as the FIG overview shows it.
typedef struct fig_summary_s {
    int type, ext, len, oe, pd, cn, charset;
    uint32_t timestamp;
    int occurence;
} fig_summary_t;

constexpr int FIB_BYTES = 30;     // one FIB without its CRC
constexpr int FIG_MAX_AGE = 20;   // seconds without reception before a record goes
constexpr int FIG_NUM_TYPES = 8;

typedef struct fig_header_s {
    int32_t type;
    int32_t len;
    int32_t cn;
    int32_t oe;
    int32_t pd;
    int32_t ext;
    int32_t charset;
    int32_t d1;
    int32_t d2;
    int32_t tcid;
    int32_t firstlast;
} fig_header_t;

// Seconds since 1970; unsigned, so that the 32-bit wire field lasts until 2106.
typedef uint32_t fig_time_t;

// Common head of every FIG record.
typedef struct gen_data_s {
    int32_t datasize;
    fig_time_t timestamp;
    int32_t occurence;
    fig_header_t hdr;
    unsigned char rawfig[FIB_BYTES];
    unsigned char pad[2];
    // The 8 bytes nextptr/next hold the link of a findall result chain (see fig_next);
    // they are 0 in the store and mean nothing on the wire.
    uint32_t nextptr;
    uint32_t next;
} gen_data_t, *pgen_data_t;

// Link of a findall chain; null at the end.
gen_data_t *fig_next(const gen_data_t *g);
void fig_set_next(gen_data_t *g, gen_data_t *n);
// Frees a findall chain, the first record included (all records come from malloc).
void fig_free_chain(gen_data_t *first);
// Clears the link before a record leaves the process.
inline void fig_clear_link(gen_data_t *g) { g->nextptr = g->next = 0; }

// --- FIG type 0 records ---

typedef struct ensemble_information_s : gen_data_s {
    int32_t eid;
    int32_t change_flag;
    int32_t al_flag;
    int32_t cif_count;
    int32_t occurence_change;
} ensemble_information_t;

typedef struct sub_channel_organization_s : gen_data_s {
    int32_t subchid;
    int32_t start_address;
    int32_t short_long;
    int32_t option;
    int32_t bitrate;
    int32_t protection_level;
    int32_t sub_channel_size;
    int32_t table_switch;
    int32_t table_index;
} sub_channel_organization_t;

typedef struct service_comp_desc_s {
    int32_t tmid;
    int32_t scty;
    int32_t subchid;
    int32_t scid;
    int32_t ps;
    int32_t ca_flag;
} service_comp_desc_t;

typedef struct service_organization_s : gen_data_s {
    int32_t sid;
    int32_t local_flag;
    int32_t caid;
    int32_t num_of_sc;
    service_comp_desc_t service_comp_desc[16];
} service_organization_t;

typedef struct service_component_packet_s : gen_data_s {
    int32_t scid;
    int32_t scca_flag;
    int32_t dscty;
    int32_t subchid;
    int32_t packet_address;
    int32_t scca;
} service_component_packet_t;

typedef struct service_component_steam_s : gen_data_s {
    int32_t mf;
    int32_t subchid_fidcid;
    int32_t scca;
} service_component_steam_t;

typedef struct service_component_language_s : gen_data_s {
    int32_t ls_flag;
    int32_t msc_fic_flag;
    int32_t subchid_fidcid_scid;
    int32_t language;
} service_component_language_t;

typedef struct service_linking_s : gen_data_s {
    int32_t id_list_flag;
    int32_t la;
    int32_t sh;
    int32_t ils;
    int32_t lsn;
    int32_t idlq;
    int32_t shd;
    int32_t num_of_ids;
    int32_t id[12];
} service_linking_t;

typedef struct data_service_comp_desc_s {
    int32_t subchid_fidcid;
    int32_t scid;
    int32_t extdscty;
} data_service_comp_desc_t;

typedef struct dscty_extension_s : gen_data_s {
    int32_t tmid;
    int32_t num_of_sc;
    data_service_comp_desc_t service_comp_desc[16];
} dscty_extension_t;

typedef struct service_component_global_definition_s : gen_data_s {
    int32_t sid;
    int32_t ext_flag;
    int32_t scids;
    int32_t ls_flag;
    int32_t msc_fic_flag;
    int32_t subchid_fidcid;
    int32_t scid;
    int32_t rfa;
} service_component_global_definition_t;

typedef struct extended_field_s {
    int32_t num_of_servs;
    int32_t lto;
    int32_t ecc[3];
    int32_t sid[3];
} extended_field_t;

typedef struct country_s : gen_data_s {
    int32_t ext_flag;
    int32_t lto_unique;
    int32_t ensemble_lto;
    int32_t ensemble_ecc;
    int32_t inter_table_id;
    extended_field_t ext_field[7];
} country_t;

typedef struct programme_type_preview_s : gen_data_s {
    int32_t eid;
    int32_t l_flag;
    int32_t ff;
    int32_t language;
    int32_t flag_field[6];
} programme_type_preview_t;

typedef struct programme_number_s : gen_data_s {
    int32_t sid;
    int32_t pnum;
    int32_t continuation_flag;
    int32_t update_flag;
    int32_t new_sid;
    int32_t new_pnum;
} programme_number_t;

typedef struct programme_type_s : gen_data_s {
    int32_t sid;
    int32_t sd;
    int32_t ps;
    int32_t l_flag;
    int32_t cc_flag;
    int32_t nfc;
    int32_t language;
    int32_t int_code;
    int32_t coarse_code;
    int32_t fine_code[2];
} programme_type_t;

typedef struct announcement_support_s : gen_data_s {
    int32_t sid;
    int32_t asu_flags;
    int32_t num_of_clusters;
    int32_t cluster_id[32];
} announcement_support_t;

typedef struct announcement_switching_s : gen_data_s {
    int32_t cluster_id;
    int32_t asw_flags;
    int32_t new_flag;
    int32_t region_flag;
    int32_t subchid;
    int32_t region_id_lower_part;
} announcement_switching_t;

typedef struct service_component_trigger_s : gen_data_s {
    int32_t ls_flag;
    int32_t msc_fig_flag;
    int32_t subchid_fidcid;
    int32_t scty;
    int32_t packet_flag;
    int32_t scid;
    int32_t packet_address;
} service_component_trigger_t;

typedef struct tii_sub_s {
    int32_t subid;
    int32_t td;
    int32_t latitude_offset;
    int32_t longitude_offset;
} tii_sub_t;

typedef struct transmitter_identification_information_s : gen_data_s {
    int32_t ms;
    int32_t mainid;
    int32_t latitude_coarse;
    int32_t longitude_coarse;
    int32_t latitude_fine;
    int32_t longitude_fine;
    tii_sub_t sub[8];
} transmitter_identification_information_t;

typedef struct fidc_s : gen_data_s {
} fidc_t;

// --- Labels and date/time ---

typedef struct dablabel_s : gen_data_s {
    int32_t id;
    int32_t pd;
    int32_t scids;
    char name[17];
    int32_t char_flag;
    char short_name[17];
} dablabel_t;

typedef struct programme_type_downloading_s : gen_data_s {
    int32_t country_flag;
    int32_t cf_flag;
    int32_t coarse_code;
    int32_t fine_code;
    int32_t language;
    char label[17];
    int32_t char_flag;
    int32_t ecc;
    int32_t country_id;
} programme_type_downloading_t;

typedef struct date_time_s : gen_data_s {
    int32_t mjd;
    fig_time_t unixtime;
    int32_t lsi;
    int32_t conf_ind;
    int32_t utc_flag;
    int32_t hours;
    int32_t minutes;
    int32_t seconds;
    int32_t milliseconds;
} date_time_t;

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

// --- The store ---

class fic {
public:
    explicit fic(ensemble *p);
    ~fic();
    fic(const fic &) = delete;
    fic &operator=(const fic &) = delete;

    // Reads one FIC frame (12 data words and the status word) from the RDI reader.
    // One FIB of FIB_BYTES as the reader unpacked it, with the receiver's status word.
    int decode_fic(const unsigned char *fib, unsigned int status);
    // Decodes the 30 data bytes of one good FIB.
    int decode_fib(const unsigned char *fib);

    int add_fig(fig *f);
    fig *find(fig *after, void *data, fig *g, int crit);
    fig *find(fig *after, void *data, int figtype, int ext);
    int findcrit(fig *f, fig *g);
    int replace(fig *g);
    int collect_garbage();
    int clear(int type, int ext);
    int clearall();
    // Copies of every record of (figtype, ext), newest first: the first into data (which
    // must come from malloc and hold one record of that type), the others malloc'ed and
    // chained with fig_next. With nothing found data is freed and 0 returned.
    int findall(void *data, int figtype, int ext);
    // What the statistics page shows of every record in the store, newest first.
    std::vector<fig_summary_t> summaries();
    int get_ensemble_id();
    int get_ensemble_label(char *s);
    int get_ensemble_shortlabel(char *s);

    fig *m_figs;
    pthread_mutex_t lock;
    time_t last_garbled;
    int garbled_counter;
    ensemble *e;
    int m_dwCurEnsId;

private:
    int get_label(char *s, bool shortname);
};
