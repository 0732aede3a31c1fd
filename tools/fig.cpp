#include "fig.h"

#include <cstring>

#include "common/crc16.h"
#include "common/dab_tables.h"

namespace dabgen {
namespace {

void put16(bytes &b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void put_sid(bytes &b, uint32_t sid, bool long_sid) {
    if (long_sid) put16(b, sid >> 16);
    put16(b, sid & 0xFFFF);
}

bytes fig_with_header(int type, const bytes &body) {
    bytes f;
    f.push_back(static_cast<uint8_t>(type << 5 | (body.size() & 0x1F)));
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

bytes fig1(int ext, const bytes &id, const std::string &label, uint16_t flags) {
    bytes body;
    body.push_back(static_cast<uint8_t>(0 << 4 | ext));  // charset 0: EBU Latin, OE 0
    body.insert(body.end(), id.begin(), id.end());
    uint8_t chars[16];
    ebu_label(label, chars);
    body.insert(body.end(), chars, chars + 16);
    put16(body, flags);
    return fig_with_header(1, body);
}

// Latin-1 code point to the EBU Latin repertoire (inverse of the receiver's table).
uint8_t to_ebu(uint32_t cp) {
    if (cp < 0x80) return static_cast<uint8_t>(cp);
    for (size_t i = 0; i < dabcommon::ebu_latin_to_iso.size(); i++)
        if (dabcommon::ebu_latin_to_iso[i] == cp) return static_cast<uint8_t>(0x80 + i);
    return '?';
}

}  // namespace

void ebu_label(const std::string &text, uint8_t out[16]) {
    memset(out, ' ', 16);
    size_t n = 0;
    for (size_t i = 0; i < text.size() && n < 16;) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        uint32_t cp = c;
        if (c >= 0xC0 && c < 0xE0 && i + 1 < text.size() && (text[i + 1] & 0xC0) == 0x80) {
            cp = static_cast<uint32_t>((c & 0x1F) << 6 | (text[i + 1] & 0x3F));
            i += 2;
        } else {
            i++;
        }
        out[n++] = to_ebu(cp);
    }
}

std::vector<bytes> pack_fig0(int ext, bool pd, const std::vector<bytes> &entries) {
    std::vector<bytes> figs;
    bytes body;
    auto flush = [&]() {
        if (body.size() > 1) figs.push_back(fig_with_header(0, body));
        body.clear();
    };
    for (const auto &e : entries) {
        if (body.empty() || body.size() + e.size() > 29) {
            flush();
            body.push_back(static_cast<uint8_t>((pd ? 0x20 : 0) | (ext & 0x1F)));  // C/N 0, OE 0
        }
        body.insert(body.end(), e.begin(), e.end());
    }
    flush();
    return figs;
}

bytes fig0_0(uint16_t eid, int cif_count) {
    // EId(16) Change(2) AL(1) CIF count high(5, mod 20) low(8, mod 250)
    bytes e;
    put16(e, eid);
    int hi = (cif_count / 250) % 20, lo = cif_count % 250;
    e.push_back(static_cast<uint8_t>(hi));
    e.push_back(static_cast<uint8_t>(lo));
    return pack_fig0(0, false, {e})[0];
}

bytes fig0_1_short(int subchid, int start_address, int table_index) {
    // SubChId(6) StartAddress(10) 0 TableSwitch(1) TableIndex(6)
    return {static_cast<uint8_t>(subchid << 2 | (start_address >> 8 & 3)), static_cast<uint8_t>(start_address),
            static_cast<uint8_t>(table_index & 0x3F)};
}

bytes fig0_1_long(int subchid, int start_address, int option, int level, int size) {
    // SubChId(6) StartAddress(10) 1 Option(3) ProtectionLevel(2) SubChannelSize(10)
    return {static_cast<uint8_t>(subchid << 2 | (start_address >> 8 & 3)), static_cast<uint8_t>(start_address),
            static_cast<uint8_t>(0x80 | (option & 7) << 4 | ((level - 1) & 3) << 2 | (size >> 8 & 3)),
            static_cast<uint8_t>(size)};
}

bytes fig0_2_entry(uint32_t sid, bool long_sid, const std::vector<component_desc> &components) {
    // SId, Local(1) CAId(3) NumSC(4), then per component TMId(2) ... PS(1) CA(1)
    bytes e;
    put_sid(e, sid, long_sid);
    e.push_back(static_cast<uint8_t>(components.size() & 0x0F));
    for (const auto &c : components) {
        if (c.tmid == 3) {
            // TMId(2) SCId(12) PS(1) CA(1)
            e.push_back(static_cast<uint8_t>(0xC0 | (c.type >> 6 & 0x3F)));
            e.push_back(static_cast<uint8_t>((c.type & 0x3F) << 2 | (c.primary ? 2 : 0)));
        } else {
            // TMId(2) ASCTy/DSCTy(6) SubChId(6) PS(1) CA(1)
            e.push_back(static_cast<uint8_t>((c.tmid & 3) << 6 | (c.type & 0x3F)));
            e.push_back(static_cast<uint8_t>((c.subchid & 0x3F) << 2 | (c.primary ? 2 : 0)));
        }
    }
    return e;
}

bytes fig0_3_entry(int scid, int dscty, int subchid, int packet_address) {
    // SCId(12) rfa(3) SCCA flag(1) | DG flag(1) rfu(1) DSCTy(6) | SubChId(6) PacketAddress(10)
    return {static_cast<uint8_t>(scid >> 4), static_cast<uint8_t>((scid & 0x0F) << 4),
            static_cast<uint8_t>(dscty & 0x3F),  // DG flag 0: data groups are used
            static_cast<uint8_t>(subchid << 2 | (packet_address >> 8 & 3)), static_cast<uint8_t>(packet_address)};
}

bytes fig0_8_entry_short(uint32_t sid, bool long_sid, int scids, int subchid) {
    // SId, Ext(1) rfa(3) SCIdS(4), L/S 0 MSC/FIC 0 SubChId(6)
    bytes e;
    put_sid(e, sid, long_sid);
    e.push_back(static_cast<uint8_t>(scids & 0x0F));
    e.push_back(static_cast<uint8_t>(subchid & 0x3F));
    return e;
}

bytes fig0_8_entry_long(uint32_t sid, bool long_sid, int scids, int scid) {
    // SId, Ext(1) rfa(3) SCIdS(4), L/S 1 rfa(3) SCId(12)
    bytes e;
    put_sid(e, sid, long_sid);
    e.push_back(static_cast<uint8_t>(scids & 0x0F));
    e.push_back(static_cast<uint8_t>(0x80 | (scid >> 8 & 0x0F)));
    e.push_back(static_cast<uint8_t>(scid));
    return e;
}

bytes fig0_9(int lto_half_hours, uint8_t ecc, uint8_t inter_table_id) {
    // Ext(1) LTO unique(1) Ensemble LTO(6: sign + half hours) ECC(8) InterTableId(8)
    int lto = lto_half_hours < 0 ? (0x20 | (-lto_half_hours & 0x1F)) : (lto_half_hours & 0x1F);
    bytes e = {static_cast<uint8_t>(0x40 | lto), ecc, inter_table_id};
    return pack_fig0(9, false, {e})[0];
}

bytes fig0_10(time_t utc, int milliseconds) {
    // rfu(1) MJD(17) LSI(1) ConfInd(1) UTC flag(1) Hours(5) Minutes(6) Seconds(6) Milliseconds(10)
    struct tm tm {};
    gmtime_r(&utc, &tm);
    uint32_t mjd = static_cast<uint32_t>(utc / 86400 + 40587);
    uint32_t h = static_cast<uint32_t>(tm.tm_hour), m = static_cast<uint32_t>(tm.tm_min);
    uint32_t s = static_cast<uint32_t>(tm.tm_sec), ms = static_cast<uint32_t>(milliseconds) & 0x3FF;
    bytes e = {static_cast<uint8_t>(mjd >> 10 & 0x7F), static_cast<uint8_t>(mjd >> 2),
               static_cast<uint8_t>((mjd & 3) << 6 | 1 << 4 | 1 << 3 | h >> 2),  // ConfInd 1, long form
               static_cast<uint8_t>((h & 3) << 6 | m), static_cast<uint8_t>(s << 2 | ms >> 8),
               static_cast<uint8_t>(ms)};
    return pack_fig0(10, false, {e})[0];
}

bytes fig0_13_entry(uint32_t sid, bool long_sid, int scids, const std::vector<user_app> &apps) {
    // SId, SCIdS(4) NumApps(4), per app: UAType(11) DataLength(5) data
    bytes e;
    put_sid(e, sid, long_sid);
    e.push_back(static_cast<uint8_t>((scids & 0x0F) << 4 | (apps.size() & 0x0F)));
    for (const auto &a : apps) {
        size_t len = a.data.size() > 23 ? 23 : a.data.size();
        e.push_back(static_cast<uint8_t>(a.type >> 3));
        e.push_back(static_cast<uint8_t>((a.type & 7) << 5 | len));
        e.insert(e.end(), a.data.begin(), a.data.begin() + static_cast<long>(len));
    }
    return e;
}

bytes fig0_17_entry(uint32_t sid, bool static_pty, int int_code) {
    // SId(16) S/D(1: 1 dynamic) P/S(1) L(1) CC(1) NFC(2) rfa(2) | rfa(3) IntCode(5)
    bytes e;
    put16(e, sid);
    e.push_back(static_cast<uint8_t>(static_pty ? 0 : 0x80));
    e.push_back(static_cast<uint8_t>(int_code & 0x1F));
    return e;
}

bytes fig1_0(uint16_t eid, const std::string &label, uint16_t char_flags) {
    bytes id;
    put16(id, eid);
    return fig1(0, id, label, char_flags);
}

bytes fig1_1(uint16_t sid, const std::string &label, uint16_t char_flags) {
    bytes id;
    put16(id, sid);
    return fig1(1, id, label, char_flags);
}

bytes fig1_4(uint32_t sid, bool long_sid, int scids, const std::string &label, uint16_t char_flags) {
    // P/D(1) rfa(3) SCIdS(4), SId
    bytes id;
    id.push_back(static_cast<uint8_t>((long_sid ? 0x80 : 0) | (scids & 0x0F)));
    put_sid(id, sid, long_sid);
    return fig1(4, id, label, char_flags);
}

bytes fig1_5(uint32_t sid, const std::string &label, uint16_t char_flags) {
    bytes id;
    put_sid(id, sid, true);
    return fig1(5, id, label, char_flags);
}

void fic_carousel::set_figs(std::vector<bytes> figs) {
    figs_ = std::move(figs);
    next_ = 0;
}

void fic_carousel::fill_fib(uint8_t *fib, const std::vector<bytes> &lead) {
    size_t used = 0;
    for (const auto &f : lead) {
        if (used + f.size() > 30) break;
        memcpy(fib + used, f.data(), f.size());
        used += f.size();
    }
    // one pass at most, so that a short list does not repeat a FIG within one FIB
    for (size_t tried = 0; tried < figs_.size(); tried++) {
        const bytes &f = figs_[next_];
        if (used + f.size() > 30) break;
        memcpy(fib + used, f.data(), f.size());
        used += f.size();
        next_ = (next_ + 1) % figs_.size();
    }
    if (used < 30) {
        fib[used] = 0xFF;  // end marker, then padding
        memset(fib + used + 1, 0, 30 - used - 1);
    }
}

void fic_carousel::build(const std::vector<bytes> &lead, uint8_t out[96], int corrupt_fib) {
    for (int i = 0; i < 3; i++) {
        uint8_t *fib = out + 32 * i;
        fill_fib(fib, i == 0 ? lead : std::vector<bytes>());
        uint16_t crc = dabcommon::crc16(fib, 30);
        if (i == corrupt_fib) crc ^= 0x5A5A;
        fib[30] = static_cast<uint8_t>(crc >> 8);
        fib[31] = static_cast<uint8_t>(crc);
    }
}

}  // namespace dabgen
