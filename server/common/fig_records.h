#pragma once
// FIG records: what the FIC decoder keeps of each FIG entry.
//
// The records double as a wire format: FIG query replies carry them raw and the MOT
// decoder reads them back, possibly from another server. Little-endian, 32-bit fields;
// every size and the offsets a reader relies on are pinned beside the record.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

constexpr int FIB_BYTES = 30;  // one FIB without its CRC
constexpr int FIG_NUM_TYPES = 8;

#pragma GCC diagnostic push
// The records extend gen_data_s; GCC lays a base out first, as the wire format needs.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#define DAB_AT(type, field, off) static_assert(offsetof(type, field) == (off), #type "." #field)

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
static_assert(sizeof(fig_header_t) == 44);

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
static_assert(sizeof(gen_data_t) == 96);
DAB_AT(gen_data_t, datasize, 0);
DAB_AT(gen_data_t, timestamp, 4);
DAB_AT(gen_data_t, occurence, 8);
DAB_AT(gen_data_t, hdr, 12);
DAB_AT(gen_data_t, hdr.oe, 24);
DAB_AT(gen_data_t, rawfig, 56);
DAB_AT(gen_data_t, nextptr, 88);
DAB_AT(gen_data_t, next, 92);

// --- result chains ---

static_assert(sizeof(void *) <= 8, "the link lives in the 8 bytes nextptr/next");

// Clears the link before a record leaves the process.
inline void fig_clear_link(gen_data_t *g) { g->nextptr = g->next = 0; }

// Link of a findall chain; null at the end.
inline gen_data_t *fig_next(const gen_data_t *g) {
    gen_data_t *n = nullptr;
    std::memcpy(&n, &g->nextptr, sizeof n);
    return n;
}

inline void fig_set_next(gen_data_t *g, gen_data_t *n) {
    fig_clear_link(g);
    std::memcpy(&g->nextptr, &n, sizeof n);
}

// Frees a findall chain, the first record included (all records come from malloc).
inline void fig_free_chain(gen_data_t *first) {
    while (first) {
        gen_data_t *n = fig_next(first);
        free(first);
        first = n;
    }
}

// --- FIG type 0 records ---

typedef struct ensemble_information_s : gen_data_s {
    int32_t eid;
    int32_t change_flag;
    int32_t al_flag;
    int32_t cif_count;
    int32_t occurence_change;
} ensemble_information_t;
static_assert(sizeof(ensemble_information_t) == 116);
DAB_AT(ensemble_information_t, eid, 96);
DAB_AT(ensemble_information_t, occurence_change, 112);

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
static_assert(sizeof(sub_channel_organization_t) == 132);
DAB_AT(sub_channel_organization_t, subchid, 96);
DAB_AT(sub_channel_organization_t, bitrate, 112);
DAB_AT(sub_channel_organization_t, table_index, 128);

typedef struct service_comp_desc_s {
    int32_t tmid;
    int32_t scty;
    int32_t subchid;
    int32_t scid;
    int32_t ps;
    int32_t ca_flag;
} service_comp_desc_t;
static_assert(sizeof(service_comp_desc_t) == 24);

typedef struct service_organization_s : gen_data_s {
    int32_t sid;
    int32_t local_flag;
    int32_t caid;
    int32_t num_of_sc;
    service_comp_desc_t service_comp_desc[16];
} service_organization_t;
static_assert(sizeof(service_organization_t) == 496);
DAB_AT(service_organization_t, sid, 96);
DAB_AT(service_organization_t, num_of_sc, 108);
DAB_AT(service_organization_t, service_comp_desc, 112);

typedef struct service_component_packet_s : gen_data_s {
    int32_t scid;
    int32_t scca_flag;
    int32_t dscty;
    int32_t subchid;
    int32_t packet_address;
    int32_t scca;
} service_component_packet_t;
static_assert(sizeof(service_component_packet_t) == 120);
DAB_AT(service_component_packet_t, scid, 96);
DAB_AT(service_component_packet_t, scca, 116);

typedef struct service_component_steam_s : gen_data_s {
    int32_t mf;
    int32_t subchid_fidcid;
    int32_t scca;
} service_component_steam_t;
static_assert(sizeof(service_component_steam_t) == 108);
DAB_AT(service_component_steam_t, scca, 104);

typedef struct service_component_language_s : gen_data_s {
    int32_t ls_flag;
    int32_t msc_fic_flag;
    int32_t subchid_fidcid_scid;
    int32_t language;
} service_component_language_t;
static_assert(sizeof(service_component_language_t) == 112);
DAB_AT(service_component_language_t, language, 108);

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
static_assert(sizeof(service_linking_t) == 176);
DAB_AT(service_linking_t, lsn, 112);
DAB_AT(service_linking_t, num_of_ids, 124);
DAB_AT(service_linking_t, id, 128);

typedef struct data_service_comp_desc_s {
    int32_t subchid_fidcid;
    int32_t scid;
    int32_t extdscty;
} data_service_comp_desc_t;
static_assert(sizeof(data_service_comp_desc_t) == 12);

typedef struct dscty_extension_s : gen_data_s {
    int32_t tmid;
    int32_t num_of_sc;
    data_service_comp_desc_t service_comp_desc[16];
} dscty_extension_t;
static_assert(sizeof(dscty_extension_t) == 296);
DAB_AT(dscty_extension_t, service_comp_desc, 104);

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
static_assert(sizeof(service_component_global_definition_t) == 128);
DAB_AT(service_component_global_definition_t, scids, 104);
DAB_AT(service_component_global_definition_t, rfa, 124);

typedef struct extended_field_s {
    int32_t num_of_servs;
    int32_t lto;
    int32_t ecc[3];
    int32_t sid[3];
} extended_field_t;
static_assert(sizeof(extended_field_t) == 32);

typedef struct country_s : gen_data_s {
    int32_t ext_flag;
    int32_t lto_unique;
    int32_t ensemble_lto;
    int32_t ensemble_ecc;
    int32_t inter_table_id;
    extended_field_t ext_field[7];
} country_t;
static_assert(sizeof(country_t) == 340);
DAB_AT(country_t, ensemble_lto, 104);
DAB_AT(country_t, ext_field, 116);

typedef struct programme_type_preview_s : gen_data_s {
    int32_t eid;
    int32_t l_flag;
    int32_t ff;
    int32_t language;
    int32_t flag_field[6];
} programme_type_preview_t;
static_assert(sizeof(programme_type_preview_t) == 136);
DAB_AT(programme_type_preview_t, flag_field, 112);

typedef struct programme_number_s : gen_data_s {
    int32_t sid;
    int32_t pnum;
    int32_t continuation_flag;
    int32_t update_flag;
    int32_t new_sid;
    int32_t new_pnum;
} programme_number_t;
static_assert(sizeof(programme_number_t) == 120);
DAB_AT(programme_number_t, new_pnum, 116);

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
static_assert(sizeof(programme_type_t) == 140);
DAB_AT(programme_type_t, int_code, 124);
DAB_AT(programme_type_t, fine_code, 132);

typedef struct announcement_support_s : gen_data_s {
    int32_t sid;
    int32_t asu_flags;
    int32_t num_of_clusters;
    int32_t cluster_id[32];
} announcement_support_t;
static_assert(sizeof(announcement_support_t) == 236);
DAB_AT(announcement_support_t, cluster_id, 108);

typedef struct announcement_switching_s : gen_data_s {
    int32_t cluster_id;
    int32_t asw_flags;
    int32_t new_flag;
    int32_t region_flag;
    int32_t subchid;
    int32_t region_id_lower_part;
} announcement_switching_t;
static_assert(sizeof(announcement_switching_t) == 120);
DAB_AT(announcement_switching_t, region_id_lower_part, 116);

typedef struct service_component_trigger_s : gen_data_s {
    int32_t ls_flag;
    int32_t msc_fig_flag;
    int32_t subchid_fidcid;
    int32_t scty;
    int32_t packet_flag;
    int32_t scid;
    int32_t packet_address;
} service_component_trigger_t;
static_assert(sizeof(service_component_trigger_t) == 124);
DAB_AT(service_component_trigger_t, packet_address, 120);

typedef struct tii_sub_s {
    int32_t subid;
    int32_t td;
    int32_t latitude_offset;
    int32_t longitude_offset;
} tii_sub_t;
static_assert(sizeof(tii_sub_t) == 16);

typedef struct transmitter_identification_information_s : gen_data_s {
    int32_t ms;
    int32_t mainid;
    int32_t latitude_coarse;
    int32_t longitude_coarse;
    int32_t latitude_fine;
    int32_t longitude_fine;
    tii_sub_t sub[8];
} transmitter_identification_information_t;
static_assert(sizeof(transmitter_identification_information_t) == 248);
DAB_AT(transmitter_identification_information_t, mainid, 100);
DAB_AT(transmitter_identification_information_t, sub, 120);

typedef struct fidc_s : gen_data_s {
} fidc_t;
static_assert(sizeof(fidc_t) == 96);

// --- Labels and date/time ---

typedef struct dablabel_s : gen_data_s {
    int32_t id;
    int32_t pd;
    int32_t scids;
    char name[17];
    int32_t char_flag;
    char short_name[17];
} dablabel_t;
static_assert(sizeof(dablabel_t) == 152);
DAB_AT(dablabel_t, id, 96);
DAB_AT(dablabel_t, scids, 104);
DAB_AT(dablabel_t, name, 108);
DAB_AT(dablabel_t, char_flag, 128);
DAB_AT(dablabel_t, short_name, 132);

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
static_assert(sizeof(programme_type_downloading_t) == 148);
DAB_AT(programme_type_downloading_t, label, 116);
DAB_AT(programme_type_downloading_t, char_flag, 136);
DAB_AT(programme_type_downloading_t, country_id, 144);

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
static_assert(sizeof(date_time_t) == 132);
DAB_AT(date_time_t, mjd, 96);
DAB_AT(date_time_t, unixtime, 100);
DAB_AT(date_time_t, milliseconds, 128);

#undef DAB_AT
#pragma GCC diagnostic pop
