// FIG entry decoders against bytes worked out by hand from the FIG layouts.

#include "datapath/figdec.h"

#include <gtest/gtest.h>

#include <ctime>
#include <vector>

#include "datapath/isoconv.h"

namespace {

using bytes = std::vector<unsigned char>;

template <class R>
R zero() {
    R r{};
    return r;
}

}  // namespace

TEST(FigDecoders, EnsembleInformationTakesFourBytesWithoutChangeFlag) {
    auto d = zero<ensemble_information_t>();
    // A second entry follows at once: only the first four bytes belong to the entry.
    bytes b = {0xCE, 0x15, 0x05, 0x10, 0xAA, 0xBB};
    EXPECT_EQ(decode_ensemble_information(b.data(), 6, &d), 4);
    EXPECT_EQ(d.eid, 0xCE15);
    EXPECT_EQ(d.change_flag, 0);
    EXPECT_EQ(d.cif_count, 5 * 250 + 0x10);
    EXPECT_EQ(d.occurence_change, 0);

    d = zero<ensemble_information_t>();
    bytes c = {0xCE, 0x15, 0x65, 0x10, 0x07};
    EXPECT_EQ(decode_ensemble_information(c.data(), 5, &d), 5);
    EXPECT_EQ(d.change_flag, 1);
    EXPECT_EQ(d.al_flag, 1);
    EXPECT_EQ(d.occurence_change, 7);
    // The occurrence byte announced by the change flag is missing: the entry is broken.
    EXPECT_EQ(decode_ensemble_information(c.data(), 4, &d), 0);
}

TEST(FigDecoders, SubChannelOrganizationShortAndLongForms) {
    const struct {
        const char *what;
        bytes in;
        int used, subchid, start, short_long, option, level, size, bitrate;
    } cases[] = {
        {"short form, table index 63", {0x15, 0x23, 0x3F}, 3, 5, 0x123, 0, 0, 1, 416, 384},
        {"short form, table index 0", {0x04, 0x00, 0x00}, 3, 1, 0, 0, 0, 5, 16, 32},
        {"long form, EEP-A level 2, 96 CU", {0x08, 0x10, 0x84, 0x60}, 4, 2, 16, 1, 0, 2, 96, 96},
        {"long form, EEP-B level 1, 27 CU", {0x0C, 0x00, 0x90, 0x1B}, 4, 3, 0, 1, 1, 1, 27, 32},
        {"long form, EEP-A level 4, 10-bit size", {0xFC, 0xFF, 0x8E, 0x00}, 4, 63, 0x0FF, 1, 0, 4, 512, 1024},
    };
    for (auto &c : cases) {
        auto d = zero<sub_channel_organization_t>();
        EXPECT_EQ(decode_sub_channel_organization(c.in.data(), static_cast<int>(c.in.size()), &d), c.used) << c.what;
        EXPECT_EQ(d.subchid, c.subchid) << c.what;
        EXPECT_EQ(d.start_address, c.start) << c.what;
        EXPECT_EQ(d.short_long, c.short_long) << c.what;
        EXPECT_EQ(d.option, c.option) << c.what;
        EXPECT_EQ(d.protection_level, c.level) << c.what;
        EXPECT_EQ(d.sub_channel_size, c.size) << c.what;
        EXPECT_EQ(d.bitrate, c.bitrate) << c.what;
    }
    auto d = zero<sub_channel_organization_t>();
    bytes table = {0x00, 0x00, 0x7A};  // table switch set, index 58
    decode_sub_channel_organization(table.data(), 3, &d);
    EXPECT_EQ(d.table_switch, 1);
    EXPECT_EQ(d.table_index, 58);
    EXPECT_EQ(d.bitrate, 320);
    bytes cut = {0x08, 0x10, 0x84};  // long form without its size byte
    EXPECT_EQ(decode_sub_channel_organization(cut.data(), 3, &d), 0);
}

TEST(FigDecoders, ServiceOrganizationComponents) {
    auto d = zero<service_organization_t>();
    // one audio component on subchannel 3 (primary), one packet component c0=0xC1 c1=0x08
    bytes b = {0xD2, 0x10, 0x02, 0x00, 0x0E, 0xC1, 0x08};
    EXPECT_EQ(decode_service_organization(b.data(), 7, 0, &d), 7);
    EXPECT_EQ(d.sid, 0xD210);
    EXPECT_EQ(d.num_of_sc, 2);
    EXPECT_EQ(d.service_comp_desc[0].tmid, 0);
    EXPECT_EQ(d.service_comp_desc[0].subchid, 3);
    EXPECT_EQ(d.service_comp_desc[0].ps, 1);
    EXPECT_EQ(d.service_comp_desc[0].scid, 0);
    EXPECT_EQ(d.service_comp_desc[1].tmid, 3);
    EXPECT_EQ(d.service_comp_desc[1].scty, 1);
    EXPECT_EQ(d.service_comp_desc[1].subchid, 2);
    EXPECT_EQ(d.service_comp_desc[1].scid, 0x042);

    // P/D 1: a 32-bit service identifier precedes the components.
    d = zero<service_organization_t>();
    bytes l = {0xE1, 0xC0, 0x12, 0x34, 0x31, 0x00, 0x0D};
    EXPECT_EQ(decode_service_organization(l.data(), 7, 1, &d), 7);
    EXPECT_EQ(static_cast<uint32_t>(d.sid), 0xE1C01234u);
    EXPECT_EQ(d.caid, 3);
    EXPECT_EQ(d.num_of_sc, 1);
    EXPECT_EQ(d.service_comp_desc[0].subchid, 3);
    EXPECT_EQ(d.service_comp_desc[0].ca_flag, 1);

    // Three components announced, one present.
    bytes cut = {0xD2, 0x10, 0x03, 0x00, 0x0E};
    EXPECT_EQ(decode_service_organization(cut.data(), 5, 0, &d), 0);
}

TEST(FigDecoders, PacketStreamAndLanguageComponents) {
    auto p = zero<service_component_packet_t>();
    bytes b = {0x04, 0x21, 0x3C, 0x17, 0xFF, 0x12, 0x34};
    EXPECT_EQ(decode_service_component_packet(b.data(), 7, &p), 7);
    EXPECT_EQ(p.scid, 0x042);
    EXPECT_EQ(p.scca_flag, 1);
    EXPECT_EQ(p.dscty, 60);
    EXPECT_EQ(p.subchid, 5);
    EXPECT_EQ(p.packet_address, 0x3FF);
    EXPECT_EQ(p.scca, 0x1234);
    p = zero<service_component_packet_t>();
    bytes nocaorg = {0x04, 0x20, 0x05, 0x08, 0x01, 0x99};
    EXPECT_EQ(decode_service_component_packet(nocaorg.data(), 6, &p), 5);
    EXPECT_EQ(p.packet_address, 1);
    EXPECT_EQ(p.scca, 0);

    auto s = zero<service_component_steam_t>();
    bytes st = {0x45, 0xAB, 0xCD};
    EXPECT_EQ(decode_service_component_steam(st.data(), 3, &s), 3);
    EXPECT_EQ(s.mf, 1);
    EXPECT_EQ(s.subchid_fidcid, 5);
    EXPECT_EQ(s.scca, 0xABCD);

    auto l = zero<service_component_language_t>();
    bytes shortform = {0x47, 0x08};
    EXPECT_EQ(decode_service_component_language(shortform.data(), 2, &l), 2);
    EXPECT_EQ(l.msc_fic_flag, 1);
    EXPECT_EQ(l.subchid_fidcid_scid, 7);
    EXPECT_EQ(l.language, 8);
    // Long form: a 12-bit SCId and one more byte, so the next entry is not misread.
    l = zero<service_component_language_t>();
    bytes longform = {0x8A, 0xBC, 0x09};
    EXPECT_EQ(decode_service_component_language(longform.data(), 3, &l), 3);
    EXPECT_EQ(l.ls_flag, 1);
    EXPECT_EQ(l.subchid_fidcid_scid, 0xABC);
    EXPECT_EQ(l.language, 9);
}

TEST(FigDecoders, ServiceLinkingIdLists) {
    int received = -1;
    auto d = zero<service_linking_t>();
    bytes none = {0x41, 0x23, 0x99};
    EXPECT_EQ(decode_service_linking(none.data(), 3, 0, &d, &received), 2) << "no id list without the flag";
    EXPECT_EQ(d.la, 1);
    EXPECT_EQ(d.lsn, 0x123);
    EXPECT_EQ(d.num_of_ids, 0);

    d = zero<service_linking_t>();
    bytes two = {0x81, 0x23, 0x32, 0xD2, 0x10, 0xD2, 0x20};
    EXPECT_EQ(decode_service_linking(two.data(), 7, 0, &d, &received), 7);
    EXPECT_EQ(d.idlq, 1);
    EXPECT_EQ(d.shd, 1);
    EXPECT_EQ(d.num_of_ids, 2);
    EXPECT_EQ(d.id[0], 0xD210);
    EXPECT_EQ(d.id[1], 0xD220);

    d = zero<service_linking_t>();
    bytes ils = {0x91, 0x23, 0x01, 0xE1, 0xD2, 0x10};
    EXPECT_EQ(decode_service_linking(ils.data(), 6, 0, &d, &received), 6) << "ECC + 16 bits with ILS";
    EXPECT_EQ(d.id[0], 0xE1D210);

    d = zero<service_linking_t>();
    bytes pd1 = {0x81, 0x23, 0x01, 0xE1, 0xC0, 0x12, 0x34};
    EXPECT_EQ(decode_service_linking(pd1.data(), 7, 1, &d, &received), 7) << "32 bits with P/D 1";
    EXPECT_EQ(static_cast<uint32_t>(d.id[0]), 0xE1C01234u);

    d = zero<service_linking_t>();
    bytes many = {0x81, 0x23, 0x0D, 0x00, 0x00};
    EXPECT_EQ(decode_service_linking(many.data(), 5, 0, &d, &received), 3) << "13 ids: entry ends after the list byte";
    EXPECT_EQ(received, 13);
    EXPECT_EQ(d.num_of_ids, 0) << "a count the record cannot hold is not stored";
}

TEST(FigDecoders, DsctyExtensionAndGlobalDefinition) {
    auto x = zero<dscty_extension_t>();
    bytes packet = {0x31, 0x01, 0x09, 0x05};
    EXPECT_EQ(decode_dscty_extension(packet.data(), 4, &x), 4);
    EXPECT_EQ(x.tmid, 3);
    EXPECT_EQ(x.service_comp_desc[0].scid, 0x042);
    EXPECT_EQ(x.service_comp_desc[0].extdscty, 0x105);
    x = zero<dscty_extension_t>();
    bytes stream = {0x01, 0x16, 0x34};
    EXPECT_EQ(decode_dscty_extension(stream.data(), 3, &x), 3);
    EXPECT_EQ(x.service_comp_desc[0].subchid_fidcid, 5);
    EXPECT_EQ(x.service_comp_desc[0].extdscty, 0x234);

    auto g = zero<service_component_global_definition_t>();
    bytes shortform = {0xD2, 0x10, 0x83, 0x44, 0x5A};
    EXPECT_EQ(decode_service_component_global_definition(shortform.data(), 5, 0, &g), 5);
    EXPECT_EQ(g.sid, 0xD210);
    EXPECT_EQ(g.ext_flag, 1);
    EXPECT_EQ(g.scids, 3);
    EXPECT_EQ(g.msc_fic_flag, 1);
    EXPECT_EQ(g.subchid_fidcid, 4);
    EXPECT_EQ(g.rfa, 0x5A);
    g = zero<service_component_global_definition_t>();
    bytes longform = {0xE1, 0xC0, 0x12, 0x34, 0x02, 0x80, 0x42};
    EXPECT_EQ(decode_service_component_global_definition(longform.data(), 7, 1, &g), 7);
    EXPECT_EQ(g.ls_flag, 1);
    EXPECT_EQ(g.scid, 0x042);
}

TEST(FigDecoders, CountryWithExtendedSubFields) {
    auto c = zero<country_t>();
    bytes plain = {0x42, 0xE0, 0x01};
    EXPECT_EQ(decode_country(plain.data(), 3, 0, &c), 3);
    EXPECT_EQ(c.lto_unique, 1);
    EXPECT_EQ(c.ensemble_lto, 2);
    EXPECT_EQ(c.ensemble_ecc, 0xE0);

    c = zero<country_t>();
    int subfields = 0;
    // one sub-field (service 1 of it), then the FIB's end marker
    bytes ext = {0xC2, 0xE0, 0x01, 0x43, 0xE1, 0xD2, 0x10, 0xFF, 0x00};
    EXPECT_EQ(decode_country(ext.data(), 9, 0, &c, &subfields), 7);
    EXPECT_EQ(subfields, 1);
    EXPECT_EQ(c.ext_field[0].num_of_servs, 1);
    EXPECT_EQ(c.ext_field[0].lto, 3);
    EXPECT_EQ(c.ext_field[0].ecc[1], 0xE1);
    EXPECT_EQ(c.ext_field[0].sid[1], 0xD210);

    // num_of_servs 3 has no slot: read, not stored; at most 7 sub-fields
    c = zero<country_t>();
    bytes three = {0x80, 0xE0, 0x01, 0xC1, 0xE1, 0xD2, 0x10};
    EXPECT_EQ(decode_country(three.data(), 7, 0, &c, &subfields), 7);
    EXPECT_EQ(c.ext_field[0].num_of_servs, 3);
    for (int i = 0; i < 3; i++) EXPECT_EQ(c.ext_field[0].sid[i], 0);
    std::vector<unsigned char> eight = {0x80, 0xE0, 0x01};
    for (int i = 0; i < 8; i++) eight.insert(eight.end(), {0x01, 0xE1, 0xD2, static_cast<unsigned char>(i)});
    c = zero<country_t>();
    EXPECT_EQ(decode_country(eight.data(), static_cast<int>(eight.size()), 0, &c, &subfields), 3 + 7 * 4);
    EXPECT_EQ(subfields, 7);
}

TEST(FigDecoders, ProgrammeTypeNumberPreview) {
    int nfc = -1;
    auto t = zero<programme_type_t>();
    bytes b = {0xD2, 0x10, 0xB4, 0x08, 0x0A, 0x21, 0x05};
    EXPECT_EQ(decode_programme_type(b.data(), 7, &t, &nfc), 7);
    EXPECT_EQ(t.sd, 1);
    EXPECT_EQ(t.l_flag, 1);
    EXPECT_EQ(t.cc_flag, 1);
    EXPECT_EQ(t.nfc, 1);
    EXPECT_EQ(t.language, 8);
    EXPECT_EQ(t.int_code, 10);
    EXPECT_EQ(t.coarse_code, 0x21);
    EXPECT_EQ(t.fine_code[0], 5);
    t = zero<programme_type_t>();
    bytes three = {0xD2, 0x10, 0x0C, 0x0A, 0x01, 0x02, 0x03};
    EXPECT_EQ(decode_programme_type(three.data(), 7, &t, &nfc), 4) << "nfc 3 reads no fine code";
    EXPECT_EQ(nfc, 3);
    EXPECT_EQ(t.nfc, 0);
    EXPECT_EQ(t.int_code, 10);

    auto n = zero<programme_number_t>();
    bytes pn = {0xD2, 0x10, 0x12, 0x34, 0x03, 0xD2, 0x20, 0x56, 0x78};
    EXPECT_EQ(decode_programme_number(pn.data(), 9, &n), 9);
    EXPECT_EQ(n.pnum, 0x1234);
    EXPECT_EQ(n.continuation_flag, 1);
    EXPECT_EQ(n.update_flag, 1);
    EXPECT_EQ(n.new_sid, 0xD220);
    EXPECT_EQ(n.new_pnum, 0x5678);

    auto v = zero<programme_type_preview_t>();
    bytes pv = {0xCE, 0x15, 0x81, 0x08, 0x00, 0x00, 0x00, 0x01, 0x80, 0x00, 0x00, 0x00};
    EXPECT_EQ(decode_programme_type_preview(pv.data(), 12, &v), 12) << "ff 1: two flag fields";
    EXPECT_EQ(v.l_flag, 1);
    EXPECT_EQ(v.flag_field[0], 1);
    EXPECT_EQ(static_cast<uint32_t>(v.flag_field[1]), 0x80000000u);
}

TEST(FigDecoders, AnnouncementsTriggerAndTransmitters) {
    auto a = zero<announcement_support_t>();
    bytes as = {0xD2, 0x10, 0x12, 0x34, 0x02, 0x05, 0x06};
    EXPECT_EQ(decode_announcement_support(as.data(), 7, &a), 7);
    EXPECT_EQ(a.asu_flags, 0x1234);
    EXPECT_EQ(a.cluster_id[1], 6);
    a = zero<announcement_support_t>();
    bytes many = {0xD2, 0x10, 0x12, 0x34, 0x18, 0x05};
    EXPECT_EQ(decode_announcement_support(many.data(), 6, &a), 5) << "24 clusters: none read";
    EXPECT_EQ(a.cluster_id[0], 0);

    auto w = zero<announcement_switching_t>();
    bytes sw = {0x05, 0x01, 0x00, 0xC3, 0xEA};
    EXPECT_EQ(decode_announcement_switching(sw.data(), 5, &w), 5);
    EXPECT_EQ(w.new_flag, 1);
    EXPECT_EQ(w.region_flag, 1);
    EXPECT_EQ(w.subchid, 3);
    EXPECT_EQ(w.region_id_lower_part, 0x2A);

    auto t = zero<service_component_trigger_t>();
    bytes shortform = {0x45, 0x0A};
    EXPECT_EQ(decode_service_component_trigger(shortform.data(), 2, &t), 2);
    EXPECT_EQ(t.msc_fig_flag, 1);
    EXPECT_EQ(t.subchid_fidcid, 5);
    EXPECT_EQ(t.scty, 10);
    t = zero<service_component_trigger_t>();
    bytes longform = {0x90, 0x42, 0x05, 0x0D, 0x23};
    EXPECT_EQ(decode_service_component_trigger(longform.data(), 5, &t), 5);
    EXPECT_EQ(t.packet_flag, 1);
    EXPECT_EQ(t.scid, 0x042);
    EXPECT_EQ(t.subchid_fidcid, 3);
    EXPECT_EQ(t.packet_address, 0x123);

    auto m = zero<transmitter_identification_information_t>();
    bytes mainid = {0x05, 0x12, 0x34, 0x56, 0x78, 0x9A};
    EXPECT_EQ(decode_transmitter_identification_information(mainid.data(), 6, &m), 6);
    EXPECT_EQ(m.ms, 0);
    EXPECT_EQ(m.mainid, 5);
    EXPECT_EQ(m.latitude_coarse, 0x1234);
    EXPECT_EQ(m.latitude_fine, 9);
    EXPECT_EQ(m.longitude_fine, 10);
    m = zero<transmitter_identification_information_t>();
    bytes sub = {0x85, 0x02, 0x19, 0x23, 0x00, 0x01, 0xFF, 0xFF, 0x08, 0x00, 0x00, 0x02, 0x00, 0x03};
    EXPECT_EQ(decode_transmitter_identification_information(sub.data(), 14, &m), 14);
    EXPECT_EQ(m.ms, 128);
    EXPECT_EQ(m.sub[0].subid, 3);
    EXPECT_EQ(m.sub[0].td, 0x123);
    EXPECT_EQ(m.sub[0].latitude_offset, 1);
    EXPECT_EQ(m.sub[0].longitude_offset, 0xFFFF);
    EXPECT_EQ(m.sub[1].subid, 1);
    EXPECT_EQ(m.sub[1].longitude_offset, 3);
    EXPECT_EQ(decode_transmitter_identification_information(sub.data(), 13, &m), 0);
}

TEST(FigDecoders, NoDecoderReadsPastItsBytes) {
    // Every prefix of a long, flag-rich entry is either decoded whole within the prefix
    // or refused; with AddressSanitizer any read past the buffer would fail the test.
    std::vector<unsigned char> rich(40, 0xFF);
    for (int n = 0; n <= 40; n++) {
        std::vector<unsigned char> b(rich.begin(), rich.begin() + n);
        const unsigned char *p = n ? b.data() : nullptr;
        int r = 0;
        std::vector<int> used;
        {
            auto d = zero<service_organization_t>();
            used.push_back(decode_service_organization(p, n, 1, &d));
        }
        {
            auto d = zero<service_linking_t>();
            used.push_back(decode_service_linking(p, n, 1, &d, &r));
        }
        {
            auto d = zero<dscty_extension_t>();
            used.push_back(decode_dscty_extension(p, n, &d));
        }
        {
            auto d = zero<country_t>();
            used.push_back(decode_country(p, n, 1, &d));
        }
        {
            auto d = zero<programme_type_preview_t>();
            used.push_back(decode_programme_type_preview(p, n, &d));
        }
        {
            auto d = zero<transmitter_identification_information_t>();
            used.push_back(decode_transmitter_identification_information(p, n, &d));
        }
        {
            auto d = zero<dablabel_t>();
            used.push_back(decode_label_entry(p, n, 4, &d));
        }
        for (int u : used) EXPECT_LE(u, n) << "prefix " << n;
    }
}

TEST(Labels, ShortNamesAndCharacterTranslation) {
    auto l = zero<dablabel_t>();
    bytes b = {0xCE, 0x15, 'A', 'B', 'C', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0xE0, 0x00};
    EXPECT_EQ(decode_label_entry(b.data(), 20, 0, &l), 20);
    EXPECT_EQ(l.id, 0xCE15);
    EXPECT_STREQ(l.name, "ABC             ");
    EXPECT_STREQ(l.short_name, "ABC");

    b[18] = 0xFF;
    b[19] = 0xFF;
    decode_label_entry(b.data(), 20, 1, &l);
    EXPECT_STREQ(l.short_name, "ABC             ");
    b[18] = 0;
    b[19] = 0;
    decode_label_entry(b.data(), 20, 1, &l);
    EXPECT_STREQ(l.short_name, "");

    // FIG 1/4: P/D and SCIdS first, then a 32-bit identifier with P/D 1
    l = zero<dablabel_t>();
    bytes c = {0x82, 0xE1, 0xC0, 0x12, 0x34, 'C', 'a', 'f', 0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x00};
    EXPECT_EQ(decode_label_entry(c.data(), static_cast<int>(c.size()), 4, &l), 23);
    EXPECT_EQ(l.pd, 1);
    EXPECT_EQ(l.scids, 2);
    EXPECT_EQ(static_cast<uint32_t>(l.id), 0xE1C01234u);
    EXPECT_STREQ(l.name, "Caf\xE9");
    EXPECT_STREQ(l.short_name, "\xE9");

    // A label cut short by its FIG keeps what arrived; the rest stays 0.
    l = zero<dablabel_t>();
    EXPECT_EQ(decode_label_entry(b.data(), 5, 1, &l), 5);
    EXPECT_STREQ(l.name, "ABC");
    EXPECT_EQ(l.char_flag, 0);
}

TEST(Labels, CharacterTable) {
    for (int c = 0; c < 0x80; c++) EXPECT_EQ(transiso646(static_cast<unsigned char>(c)), c);
    EXPECT_EQ(transiso646(0x82), 0xE9);
    EXPECT_EQ(transiso646(0x8A), 0xD1);
    EXPECT_EQ(transiso646(0xB8), 0xB5);
    EXPECT_EQ(transiso646(0xE7), 0xD8);
    EXPECT_EQ(transiso646(0xFF), 0xA0);
}

TEST(Labels, ProgrammeTypeDownloading) {
    auto d = zero<programme_type_downloading_t>();
    bytes b = {0xC5, 0x11, 0x08, 'J', 'a', 'z', 'z', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
               0xF0, 0x00, 0xE0, 0x30};
    EXPECT_EQ(decode_programme_type_downloading(b.data(), 23, &d), 23);
    EXPECT_EQ(d.country_flag, 1);
    EXPECT_EQ(d.cf_flag, 1);
    EXPECT_EQ(d.coarse_code, 5);
    EXPECT_EQ(d.fine_code, 0x11);
    EXPECT_EQ(d.language, 8);
    EXPECT_STREQ(d.label, "Jazz            ");
    EXPECT_EQ(d.char_flag, 0xF000);
    EXPECT_EQ(d.ecc, 0xE0);
    EXPECT_EQ(d.country_id, 3);
    EXPECT_EQ(decode_programme_type_downloading(b.data(), 22, &d), 0);
}

TEST(DateTime, ModifiedJulianDays) {
    const struct {
        int mjd, year, mon, mday;
    } cases[] = {{51544, 100, 0, 1}, {0, -42, 10, 17}, {60000, 123, 1, 25}, {51603, 100, 1, 29}, {51604, 100, 2, 1}};
    for (auto &c : cases) {
        struct tm t = {};
        EXPECT_EQ(date_time::mjd_helper(&t, c.mjd), 1);
        EXPECT_EQ(t.tm_year, c.year) << c.mjd;
        EXPECT_EQ(t.tm_mon, c.mon) << c.mjd;
        EXPECT_EQ(t.tm_mday, c.mday) << c.mjd;
    }
}

TEST(DateTime, ShortAndLongForms) {
    auto d = zero<date_time_t>();
    // MJD 51544 (2000-01-01), 12:34 UTC
    bytes shortform = {0x32, 0x56, 0x03, 0x22};
    EXPECT_EQ(decode_date_time(shortform.data(), 4, &d), 4);
    EXPECT_EQ(d.mjd, 51544);
    EXPECT_EQ(d.utc_flag, 0);
    EXPECT_EQ(d.hours, 12);
    EXPECT_EQ(d.minutes, 34);
    EXPECT_EQ(d.seconds, 0);
    EXPECT_EQ(d.unixtime, 946730040u);
    EXPECT_EQ(d.unixtime % 60, 0u) << "the short form lies on a whole minute";

    d = zero<date_time_t>();
    bytes longform = {0x32, 0x56, 0x3B, 0x22, 0xE3, 0x15};
    EXPECT_EQ(decode_date_time(longform.data(), 6, &d), 6);
    EXPECT_EQ(d.lsi, 1);
    EXPECT_EQ(d.conf_ind, 1);
    EXPECT_EQ(d.seconds, 56);
    EXPECT_EQ(d.milliseconds, 789);
    EXPECT_EQ(d.unixtime, 946730040u + 56u);
    EXPECT_EQ(decode_date_time(longform.data(), 5, &d), 0);
}
