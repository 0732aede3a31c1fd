// FIG type 0 decoders, the FIDC decoder and the decoder factory.

#include "datapath/figdec.h"

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "datapath/ringbuff.h"

bool fig_entry_done(ensemble *e, fig_s *f, int &k, int used) {
    if (used > 0) {
        k += used - 1;
        return true;
    }
    e->st->figcnt_err++;
    e->l->log(LOG_WARN, "decode_fic: FIG %d/%d entry at %d runs past the end of its FIG (%d bytes)\n", f->hdr.type,
              f->hdr.ext, k, f->hdr.len);
    k = f->end - 1;
    return false;
}

namespace {

int entry_len(const fig_s *f, int k) { return f->end - k; }

}  // namespace

// --- pure decoders ---

int decode_ensemble_information(const unsigned char *p, int n, ensemble_information_t *d) {
    entry_cursor c(p, n);
    // EId(16) ChangeFlags(2) AlFlag(1) CIFCountHigh(5) CIFCountLow(8) [OccurrenceChange(8)]
    d->eid = c.u16();
    int b2 = c.u8();
    d->change_flag = b2 >> 6;
    d->al_flag = b2 >> 5 & 1;
    d->cif_count = (b2 & 0x1F) * 250 + c.u8();
    d->occurence_change = d->change_flag ? c.u8() : 0;
    return c.result();
}

int decode_sub_channel_organization(const unsigned char *p, int n, sub_channel_organization_t *d) {
    entry_cursor c(p, n);
    // SubChId(6) StartAddress(10) ShortLong(1) ...
    int b0 = c.u8();
    d->subchid = b0 >> 2;
    d->start_address = (b0 & 0x03) << 8 | c.u8();
    int b2 = c.u8();
    d->short_long = b2 >> 7;
    if (!d->short_long) {
        // short form: TableSwitch(1) TableIndex(6)
        d->table_switch = b2 >> 6 & 1;
        d->table_index = b2 & 0x3F;
        const subch_mode_t &m = modes[static_cast<size_t>(d->table_index)];
        d->sub_channel_size = m.sub_channel_size;
        d->protection_level = m.protection_level;
        d->bitrate = m.bitrate;
        return c.result();
    }
    // long form: Option(3) ProtectionLevel(2) SubChannelSize(10)
    d->option = b2 >> 4 & 0x07;
    d->protection_level = (b2 >> 2 & 0x03) + 1;
    d->sub_channel_size = (b2 & 0x03) << 8 | c.u8();
    // EEP sets A and B: capacity units per 8 kbit/s (set A) or 32 kbit/s (set B)
    const size_t level = static_cast<size_t>(d->protection_level - 1);
    if (d->option == 0)
        d->bitrate = d->sub_channel_size * 8 / dabcommon::eep_a_cu_per_8k[level];
    else
        d->bitrate = d->sub_channel_size * 32 / dabcommon::eep_b_cu_per_32k[level];
    return c.result();
}

int decode_service_organization(const unsigned char *p, int n, int pd, service_organization_t *d) {
    entry_cursor c(p, n);
    // SId(16/32) LocalFlag(1) CAId(3) NumberOfSCs(4), then 2 bytes per component
    d->sid = c.sid(pd);
    int b = c.u8();
    d->local_flag = b >> 7;
    d->caid = b >> 4 & 0x07;
    d->num_of_sc = b & 0x0F;
    for (int j = 0; j < d->num_of_sc; j++) {
        // TMId(2) ASCTy/DSCTy/FIDCId(6) SubChId/...(6) PS(1) CAflag(1)
        service_comp_desc_t &s = d->service_comp_desc[j];
        int c0 = c.u8(), c1 = c.u8();
        s.tmid = c0 >> 6;
        s.scty = c0 & 0x3F;
        s.subchid = c1 >> 2;
        // packet mode: the 12 bits form the service component identifier
        s.scid = s.tmid == 3 ? s.scty * 64 + s.subchid : 0;
        s.ps = c1 >> 1 & 1;
        s.ca_flag = c1 & 1;
    }
    return c.result();
}

int decode_service_component_packet(const unsigned char *p, int n, service_component_packet_t *d) {
    entry_cursor c(p, n);
    // SCId(12) rfa(3) CAOrgFlag(1) DGflag(1) rfu(1) DSCTy(6) SubChId(6) PacketAddress(10) [CAOrg(16)]
    int b0 = c.u8(), b1 = c.u8();
    d->scid = b0 * 16 + (b1 >> 4);
    d->scca_flag = b1 & 1;
    d->dscty = c.u8() & 0x3F;
    int b3 = c.u8();
    d->subchid = b3 >> 2;
    d->packet_address = (b3 & 0x03) << 8 | c.u8();
    if (d->scca_flag) d->scca = c.u16();
    return c.result();
}

int decode_service_component_steam(const unsigned char *p, int n, service_component_steam_t *d) {
    entry_cursor c(p, n);
    // rfa(1) MF(1) SubChId/FIDCId(6) CAOrg(16)
    int b0 = c.u8();
    d->mf = b0 >> 6 & 1;
    d->subchid_fidcid = b0 & 0x3F;
    d->scca = c.u16();
    return c.result();
}

int decode_service_component_language(const unsigned char *p, int n, service_component_language_t *d) {
    entry_cursor c(p, n);
    int b0 = c.u8();
    d->ls_flag = b0 >> 7;
    if (!d->ls_flag) {
        // short form: L/S(1) MSC/FIC(1) SubChId/FIDCId(6) Language(8)
        d->msc_fic_flag = b0 >> 6 & 1;
        d->subchid_fidcid_scid = b0 & 0x3F;
    } else {
        // long form: L/S(1) rfa(3) SCId(12) Language(8)
        d->subchid_fidcid_scid = (b0 & 0x0F) << 8 | c.u8();
    }
    d->language = c.u8();
    return c.result();
}

int decode_service_linking(const unsigned char *p, int n, int pd, service_linking_t *d, int *received_ids) {
    entry_cursor c(p, n);
    // IdListFlag(1) LA(1) S/H(1) ILS(1) LSN(12) [rfu(1) IdLQ(2) Shd(1) NumberOfIds(4) ids]
    int b0 = c.u8();
    d->id_list_flag = b0 >> 7;
    d->la = b0 >> 6 & 1;
    d->sh = b0 >> 5 & 1;
    d->ils = b0 >> 4 & 1;
    d->lsn = (b0 & 0x0F) << 8 | c.u8();
    *received_ids = 0;
    if (d->id_list_flag) {
        int b = c.u8();
        d->idlq = b >> 5 & 0x03;
        d->shd = b >> 4 & 1;
        int num = b & 0x0F;
        *received_ids = num;
        if (num > 12) return c.result();  // the record holds 12: store none
        d->num_of_ids = num;
        for (int i = 0; i < num; i++) {
            if (pd)
                d->id[i] = c.u32();
            else if (d->ils)
                d->id[i] = c.u24();  // ECC and a 16-bit identifier
            else
                d->id[i] = c.u16();
        }
    }
    return c.result();
}

int decode_dscty_extension(const unsigned char *p, int n, dscty_extension_t *d) {
    entry_cursor c(p, n);
    // rfa(2) TMId(2) NumberOfSCs(4), then per component 3 bytes (TMId 3) or 2 bytes
    int b0 = c.u8();
    d->tmid = b0 >> 4 & 0x03;
    d->num_of_sc = b0 & 0x0F;
    for (int j = 0; j < d->num_of_sc; j++) {
        data_service_comp_desc_t &s = d->service_comp_desc[j];
        int d0 = c.u8(), d1 = c.u8();
        if (d->tmid == 3) {
            s.scid = (d0 & 0x3F) * 64 + (d1 >> 2);
            s.extdscty = (d1 & 0x03) << 8 | c.u8();
        } else {
            s.subchid_fidcid = d0 >> 2;
            s.extdscty = (d0 & 0x03) << 8 | d1;
        }
    }
    return c.result();
}

int decode_service_component_global_definition(const unsigned char *p, int n, int pd,
                                               service_component_global_definition_t *d) {
    entry_cursor c(p, n);
    // SId(16/32) Ext(1) rfa(3) SCIdS(4) L/S(1) ...
    d->sid = c.sid(pd);
    int b = c.u8();
    d->ext_flag = b >> 7;
    d->scids = b & 0x0F;
    int l = c.u8();
    d->ls_flag = l >> 7;
    if (d->ls_flag) {
        d->scid = (l & 0x0F) << 8 | c.u8();  // rfa(3) SCId(12)
    } else {
        d->msc_fic_flag = l >> 6 & 1;  // MSC/FIC(1) SubChId/FIDCId(6)
        d->subchid_fidcid = l & 0x3F;
    }
    if (d->ext_flag) d->rfa = c.u8();
    return c.result();
}

int decode_country(const unsigned char *p, int n, int pd, country_t *d, int *subfields) {
    entry_cursor c(p, n);
    // Ext(1) LTOUnique(1) EnsembleLTO(6) EnsembleECC(8) InterTableId(8) [sub-fields]
    int b0 = c.u8();
    d->ext_flag = b0 >> 7;
    d->lto_unique = b0 >> 6 & 1;
    d->ensemble_lto = b0 & 0x3F;
    d->ensemble_ecc = c.u8();
    d->inter_table_id = c.u8();
    int i = 0;
    if (d->ext_flag) {
        for (; i < 7 && c.left() > 0 && c.peek() != 0xFF; i++) {
            extended_field_t &x = d->ext_field[i];
            int s0 = c.u8();
            x.num_of_servs = s0 >> 6;
            x.lto = s0 & 0x3F;
            int32_t ecc = 0, sid;
            if (pd) {
                sid = c.u32();
            } else {
                ecc = c.u8();
                sid = c.u16();
            }
            if (x.num_of_servs < 3) {
                x.ecc[x.num_of_servs] = ecc;
                x.sid[x.num_of_servs] = sid;
            }
        }
    }
    if (subfields) *subfields = i;
    return c.result();
}

int decode_programme_type_preview(const unsigned char *p, int n, programme_type_preview_t *d) {
    entry_cursor c(p, n);
    // EId(16) L(1) rfa(5) FF(2) Language(8) flag fields
    d->eid = c.u16();
    int b2 = c.u8();
    d->l_flag = b2 >> 7;
    d->ff = b2 & 0x03;
    d->language = c.u8();
    static constexpr int flag_fields[4] = {1, 2, 6, 4};
    for (int i = 0; i < flag_fields[d->ff]; i++) d->flag_field[i] = c.u32();
    return c.result();
}

int decode_programme_number(const unsigned char *p, int n, programme_number_t *d) {
    entry_cursor c(p, n);
    // SId(16) PNum(16) rfa(6) Continuation(1) Update(1) NewSId(16) NewPNum(16)
    d->sid = c.u16();
    d->pnum = c.u16();
    int b4 = c.u8();
    d->continuation_flag = b4 >> 1 & 1;
    d->update_flag = b4 & 1;
    d->new_sid = c.u16();
    d->new_pnum = c.u16();
    return c.result();
}

int decode_programme_type(const unsigned char *p, int n, programme_type_t *d, int *received_nfc) {
    entry_cursor c(p, n);
    // SId(16) S/D(1) P/S(1) L(1) CC(1) NFC(2) rfa(2) [Language] IntCode [CoarseCode] fine codes
    d->sid = c.u16();
    int b2 = c.u8();
    d->sd = b2 >> 7;
    d->ps = b2 >> 6 & 1;
    d->l_flag = b2 >> 5 & 1;
    d->cc_flag = b2 >> 4 & 1;
    int nfc = b2 >> 2 & 0x03;
    *received_nfc = nfc;
    if (d->l_flag) d->language = c.u8();
    d->int_code = c.u8() & 0x1F;
    if (d->cc_flag) d->coarse_code = c.u8() & 0x3F;
    if (nfc <= 2) {
        d->nfc = nfc;
        for (int i = 0; i < nfc; i++) d->fine_code[i] = c.u8();
    }
    return c.result();
}

int decode_announcement_support(const unsigned char *p, int n, announcement_support_t *d) {
    entry_cursor c(p, n);
    // SId(16) AsuFlags(16) rfa(3) NumberOfClusters(5) cluster ids
    d->sid = c.u16();
    d->asu_flags = c.u16();
    d->num_of_clusters = c.u8() & 0x1F;
    if (d->num_of_clusters <= 23)
        for (int i = 0; i < d->num_of_clusters; i++) d->cluster_id[i] = c.u8();
    return c.result();
}

int decode_announcement_switching(const unsigned char *p, int n, announcement_switching_t *d) {
    entry_cursor c(p, n);
    // ClusterId(8) AswFlags(16) NewFlag(1) RegionFlag(1) SubChId(6) [rfa(2) RegionIdLowerPart(6)]
    d->cluster_id = c.u8();
    d->asw_flags = c.u16();
    int b3 = c.u8();
    d->new_flag = b3 >> 7;
    d->region_flag = b3 >> 6 & 1;
    d->subchid = b3 & 0x3F;
    if (d->region_flag) d->region_id_lower_part = c.u8() & 0x3F;
    return c.result();
}

int decode_service_component_trigger(const unsigned char *p, int n, service_component_trigger_t *d) {
    entry_cursor c(p, n);
    int b0 = c.u8();
    d->ls_flag = b0 >> 7;
    d->msc_fig_flag = b0 >> 6 & 1;
    if (d->ls_flag) {
        // L/S(1) MSC/FIC(1) rfa(1) Packet(1) SCId(12) rfa(2) SCTy(6) SubChId(6) PacketAddress(10)
        d->packet_flag = b0 >> 4 & 1;
        d->scid = (b0 & 0x0F) << 8 | c.u8();
        d->scty = c.u8() & 0x3F;
        int b3 = c.u8();
        d->subchid_fidcid = b3 >> 2;
        d->packet_address = (b3 & 0x03) << 8 | c.u8();
    } else {
        // L/S(1) MSC/FIC(1) SubChId/FIDCId(6) rfa(2) SCTy(6)
        d->subchid_fidcid = b0 & 0x3F;
        d->scty = c.u8() & 0x3F;
    }
    return c.result();
}

int decode_transmitter_identification_information(const unsigned char *p, int n,
                                                  transmitter_identification_information_t *d) {
    entry_cursor c(p, n);
    int b0 = c.u8();
    d->ms = b0 & 0x80;
    d->mainid = b0 & 0x7F;
    if (!d->ms) {
        // LatitudeCoarse(16) LongitudeCoarse(16) LatitudeFine(4) LongitudeFine(4)
        d->latitude_coarse = c.u16();
        d->longitude_coarse = c.u16();
        int b5 = c.u8();
        d->latitude_fine = b5 >> 4;
        d->longitude_fine = b5 & 0x0F;
        return c.result();
    }
    // rfu(5) NumberOfSubfields(3), then SubId(5) TD(11) LatitudeOffset(16) LongitudeOffset(16) each
    int num = c.u8() & 0x07;
    for (int i = 0; i < num; i++) {
        tii_sub_t &s = d->sub[i];
        int s0 = c.u8();
        s.subid = s0 >> 3;
        s.td = (s0 & 0x07) << 8 | c.u8();
        s.latitude_offset = c.u16();
        s.longitude_offset = c.u16();
    }
    return c.result();
}

// --- decoder classes ---

int ensemble_information::decode_fig(fig_s *f, int &k) {
    if (!fig_entry_done(e, f, k, decode_ensemble_information(f->ob + k, entry_len(f, k), &data))) return 0;
    e->l->log(LOG_DEBUG,
              "ensemble_information,  eid:%04x change_flag:%d al_flag:%d cif_count:%03x occurence_change:%d\n",
              data.eid, data.change_flag, data.al_flag, data.cif_count, data.occurence_change);
    return 1;
}

int sub_channel_organization::decode_fig(fig_s *f, int &k) {
    if (!fig_entry_done(e, f, k, decode_sub_channel_organization(f->ob + k, entry_len(f, k), &data))) return 0;
    e->l->log(LOG_DEBUG,
              "sub_channel_organization subchid:%02x  start_address:%3d short_long:%d table_switch:%d "
              "table_index:%2d option:%d protection_level:%d sub_channel_size:%3d bitrate: %3d\n",
              data.subchid, data.start_address, data.short_long, data.table_switch, data.table_index, data.option,
              data.protection_level, data.sub_channel_size, data.bitrate);
    return 1;
}

int service_organization::decode_fig(fig_s *f, int &k) {
    if (!fig_entry_done(e, f, k, decode_service_organization(f->ob + k, entry_len(f, k), f->hdr.pd, &data))) return 0;
    e->l->log(LOG_DEBUG, "service_organization sid:%04x local_flag:%d, caid:%d numofsc:%d\n", data.sid,
              data.local_flag, data.caid, data.num_of_sc);
    for (int j = 0; j < data.num_of_sc; j++) {
        const service_comp_desc_t &s = data.service_comp_desc[j];
        e->l->log(LOG_DEBUG, "tmid:%d scty:%02x subchid:%02x scid:%03x ps:%d ca:%d\n", s.tmid, s.scty, s.subchid,
                  s.scid, s.ps, s.ca_flag);
    }
    return 1;
}

int service_component_packet::decode_fig(fig_s *f, int &k) {
    if (!fig_entry_done(e, f, k, decode_service_component_packet(f->ob + k, entry_len(f, k), &data))) return 0;
    e->l->log(LOG_DEBUG,
              "service_component_packet scid:%03x scca_flag:%d dscty:%d subchid:%02x packet_address:%03x "
              "scca:%04x\n",
              data.scid, data.scca_flag, data.dscty, data.subchid, data.packet_address, data.scca);
    return 1;
}

int service_component_steam::decode_fig(fig_s *f, int &k) {
    if (!fig_entry_done(e, f, k, decode_service_component_steam(f->ob + k, entry_len(f, k), &data))) return 0;
    e->l->log(LOG_DEBUG, "service_component_steam mf:%d subchid_fidcid:%02x scca:%04x\n", data.mf,
              data.subchid_fidcid, data.scca);
    return 1;
}

int service_component_language::decode_fig(fig_s *f, int &k) {
    if (!fig_entry_done(e, f, k, decode_service_component_language(f->ob + k, entry_len(f, k), &data))) return 0;
    e->l->log(LOG_DEBUG, "service_component_language ls_flag:%d msc_fic_flag:%d subchid_fidcid_scid:%02x language:%02x",
              data.ls_flag, data.msc_fic_flag, data.subchid_fidcid_scid, data.language);
    return 1;
}

int service_linking::decode_fig(fig_s *f, int &k) {
    int received = 0;
    int used = decode_service_linking(f->ob + k, entry_len(f, k), f->hdr.pd, &data, &received);
    if (!fig_entry_done(e, f, k, used)) return 0;
    e->l->log(LOG_DEBUG, "service_linking id_list_flag:%d la:%d sh:%d ils:%d lsn:%d idlq:%d shd:%d num:%d \n",
              data.id_list_flag, data.la, data.sh, data.ils, data.lsn, data.idlq, data.shd, received);
    if (received > 12) e->l->log(LOG_WARN, "service_linking num_of_ids>12:%d\n", received);
    for (int i = 0; i < data.num_of_ids; i++) e->l->log(LOG_DEBUG, "id %2d: %02x\n", i, data.id[i]);
    return 1;
}

int dscty_extension::decode_fig(fig_s *f, int &k) {
    if (!fig_entry_done(e, f, k, decode_dscty_extension(f->ob + k, entry_len(f, k), &data))) return 0;
    e->l->log(LOG_DEBUG, "dscty_extension tmid:%d num_of_sc:%d\n", data.tmid, data.num_of_sc);
    for (int j = 0; j < data.num_of_sc; j++) {
        const data_service_comp_desc_t &s = data.service_comp_desc[j];
        e->l->log(LOG_DEBUG, "num:%d subchid_fidcid:%d scid:%03x extdscty:%04x\n", j, s.subchid_fidcid, s.scid,
                  s.extdscty);
    }
    return 1;
}

int service_component_global_definition::decode_fig(fig_s *f, int &k) {
    int used = decode_service_component_global_definition(f->ob + k, entry_len(f, k), f->hdr.pd, &data);
    if (!fig_entry_done(e, f, k, used)) return 0;
    e->l->log(LOG_DEBUG,
              "service_component_global_definition sid:%04x ext_flag:%d scids:%d ls_flag:%d msc_fic_flag:%d "
              "subchid_fidcid:%03x scid:%04x rfa:%02x\n",
              data.sid, data.ext_flag, data.scids, data.ls_flag, data.msc_fic_flag, data.subchid_fidcid, data.scid,
              data.rfa);
    return 1;
}

int country::decode_fig(fig_s *f, int &k) {
    int subfields = 0;
    if (!fig_entry_done(e, f, k, decode_country(f->ob + k, entry_len(f, k), f->hdr.pd, &data, &subfields))) return 0;
    e->l->log(LOG_DEBUG,
              "country ext_flag:%d lto_unique:%d ensemble_lto:%d ensemble_ecc:%02x inter_table_id:%02x\n",
              data.ext_flag, data.lto_unique, data.ensemble_lto, data.ensemble_ecc, data.inter_table_id);
    for (int i = 0; i < subfields; i++) {
        const extended_field_t &x = data.ext_field[i];
        e->l->log(LOG_DEBUG, "num_of_servs:%d lto:%02x\n", x.num_of_servs, x.lto);
        if (x.num_of_servs < 3)
            e->l->log(LOG_DEBUG, "num:%d ecc:%02x sid:%04x\n", x.num_of_servs, x.ecc[x.num_of_servs],
                      x.sid[x.num_of_servs]);
    }
    return 1;
}

int programme_type_preview::decode_fig(fig_s *f, int &k) {
    if (!fig_entry_done(e, f, k, decode_programme_type_preview(f->ob + k, entry_len(f, k), &data))) return 0;
    e->l->log(LOG_DEBUG, "programme_type_preview eid:%04x l_flag:%d ff:%d language:02x\n", data.eid, data.l_flag,
              data.ff);
    static constexpr int flag_fields[4] = {1, 2, 6, 4};
    for (int i = 0; i < flag_fields[data.ff]; i++)
        e->l->log(LOG_DEBUG, "num:%d flag_field:%04x\n", i, data.flag_field[i]);
    return 1;
}

int programme_number::decode_fig(fig_s *f, int &k) {
    if (!fig_entry_done(e, f, k, decode_programme_number(f->ob + k, entry_len(f, k), &data))) return 0;
    e->l->log(LOG_DEBUG,
              "programme_number sid:%04x pnum:%04x continuation_flag:%d update_flag:%d new_sid:%04x "
              "new_pnum:%04x\n",
              data.sid, data.pnum, data.continuation_flag, data.update_flag, data.new_sid, data.new_pnum);
    return 1;
}

int programme_type::decode_fig(fig_s *f, int &k) {
    int received = 0;
    if (!fig_entry_done(e, f, k, decode_programme_type(f->ob + k, entry_len(f, k), &data, &received))) return 0;
    if (received > 2) e->l->log(LOG_WARN, "programme_type data.nfc>2: %d\n", received);
    e->l->log(LOG_DEBUG,
              "programme_type sid:%04x sd:%d ps:%d l_flag:%d cc_flag:%d nfc:%d language:%d int_code:%d "
              "coarse_code:%d fine_code0:%d  fine_code1:%d\n",
              data.sid, data.sd, data.ps, data.l_flag, data.cc_flag, received, data.language, data.int_code,
              data.coarse_code, data.fine_code[0], data.fine_code[1]);
    return 1;
}

int announcement_support::decode_fig(fig_s *f, int &k) {
    if (!fig_entry_done(e, f, k, decode_announcement_support(f->ob + k, entry_len(f, k), &data))) return 0;
    e->l->log(LOG_DEBUG, "announcement_support sid:%04x asu_flags:%04x num_of_clusters:%d\n", data.sid,
              data.asu_flags, data.num_of_clusters);
    if (data.num_of_clusters > 23) {
        e->l->log(LOG_WARN, "announcement_support: num_of_clusters>23: %d\n", data.num_of_clusters);
        return 1;
    }
    for (int i = 0; i < data.num_of_clusters; i++) e->l->log(LOG_DEBUG, "cluster_id: %02x\n", data.cluster_id[i]);
    return 1;
}

int announcement_switching::decode_fig(fig_s *f, int &k) {
    if (!fig_entry_done(e, f, k, decode_announcement_switching(f->ob + k, entry_len(f, k), &data))) return 0;
    e->l->log(LOG_DEBUG,
              "announcement_switching cluster_id:%02x asw_flags:%04x new_flag:%d region_flag:%d subchid:%02x "
              "region_id_lower_part:%02x\n",
              data.cluster_id, data.asw_flags, data.new_flag, data.region_flag, data.subchid,
              data.region_id_lower_part);
    return 1;
}

int service_component_trigger::decode_fig(fig_s *f, int &k) {
    if (!fig_entry_done(e, f, k, decode_service_component_trigger(f->ob + k, entry_len(f, k), &data))) return 0;
    e->l->log(LOG_DEBUG,
              "service_component_trigger ls_flag:%d msc_fig_flag:%d subchid_fidcid:%02x scty:%02x packet_flag:%d "
              "scid:%04x scty:%02x subchid_fidcid:%02x packet_address:%04x\n",
              data.ls_flag, data.msc_fig_flag, data.subchid_fidcid, data.scty, data.packet_flag, data.scid, data.scty,
              data.subchid_fidcid, data.packet_address);
    return 1;
}

int transmitter_identification_information::decode_fig(fig_s *f, int &k) {
    int used = decode_transmitter_identification_information(f->ob + k, entry_len(f, k), &data);
    if (!fig_entry_done(e, f, k, used)) return 0;
    if (!data.ms) {
        e->l->log(LOG_DEBUG,
                  "transmitter_identification_information main latitude_coarse:%d longitude_coarse:%d "
                  "latitude_fine:%d longitude_fine:%d\n",
                  data.latitude_coarse, data.longitude_coarse, data.latitude_fine, data.longitude_fine);
        return 1;
    }
    int num = (used - 2) / 6;
    for (int i = 0; i < num; i++)
        e->l->log(LOG_DEBUG,
                  "transmitter_identification_information sub#:%d subid:%d td:%d latitude_offset:%d "
                  "longitude_offset:%d\n",
                  i, data.sub[i].subid, data.sub[i].td, data.sub[i].latitude_offset, data.sub[i].longitude_offset);
    return 1;
}

int fidc::decode_fig(fig_s *f, int &k) {
    e->l->log(LOG_DEBUG, "fidc d1:%x d2:%x tcid:%x ext: %x\n", f->hdr.d1, f->hdr.d2, f->hdr.tcid, f->hdr.ext);
    e->rbuff->ringbuf_properties(RING_FIDC, 1, 8, 0, "FIDC", 1);
    if (e->rbuff->is_req(RING_FIDC)) {
        static constexpr unsigned char marker[2] = {0xFF, 0xFE};
        e->rbuff->ring_write(RING_FIDC, 1, marker, 2);
        // The whole FIG: header byte, type-specific byte and body.
        int first = f->start - 2;
        int n = f->end - first;
        if (first >= 0 && n > 0 && f->end <= FIB_BYTES) e->rbuff->ring_write(RING_FIDC, 1, f->ob + first, n);
    }
    k = f->end - 1;
    return 1;
}

int gen_fig::decode_fig(fig_s *, int &) { return 1; }

fig *make_fig_decoder(ensemble *e, int type, int ext) {
    if (type == 0) {
        switch (ext) {
            case 0: return new ensemble_information(e);
            case 1: return new sub_channel_organization(e);
            case 2: return new service_organization(e);
            case 3: return new service_component_packet(e);
            case 4: return new service_component_steam(e);
            case 5: return new service_component_language(e);
            case 6: return new service_linking(e);
            case 7: return new dscty_extension(e);
            case 8: return new service_component_global_definition(e);
            case 9: return new country(e);
            case 10: return new date_time(e);
            case 12: return new programme_type_preview(e);
            case 16: return new programme_number(e);
            case 17: return new programme_type(e);
            case 18: return new announcement_support(e);
            case 19: return new announcement_switching(e);
            case 20: return new service_component_trigger(e);
            case 22: return new transmitter_identification_information(e);
            default: return nullptr;
        }
    }
    if (type == 1) {
        switch (ext) {
            case 0: return new ensemble_label(e);
            case 1:
            case 5: return new programme_service_label(e);
            case 2: return new programme_type_downloading(e);
            case 4: return new service_component_label(e);
            default: return nullptr;
        }
    }
    if (type == 5) return new fidc(e);
    return nullptr;
}
