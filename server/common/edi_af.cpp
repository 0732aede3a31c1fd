#include "common/edi_af.h"

#include <array>
#include <cstring>

#include "common/crc16.h"

namespace dabcommon {

namespace {

constexpr size_t ETI_SYNC_FC = 8;        // SYNC(32) FC(32)
constexpr size_t ETI_EOH_SIZE = 4;       // MNSC(16) CRC(16)
constexpr size_t ETI_EOF_TIST_SIZE = 8;  // CRC(16) RFU(16) TIST(32)
constexpr size_t MAX_STL = 1023;         // 10 bits of 64-bit words

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be24(const uint8_t *p) { return static_cast<uint32_t>(p[0] << 16 | p[1] << 8 | p[2]); }
uint32_t be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

bool name_is(const tag_item &t, const char *n) { return std::memcmp(t.name, n, 4) == 0; }

void push_tag_header(std::vector<uint8_t> &out, const char *name, uint8_t last, size_t value_len) {
    const uint32_t bits = static_cast<uint32_t>(value_len * 8);
    out.insert(out.end(), {static_cast<uint8_t>(name[0]), static_cast<uint8_t>(name[1]), static_cast<uint8_t>(name[2]),
                           last, static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16),
                           static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)});
}

struct est_ref {
    const uint8_t *value = nullptr;
    size_t len = 0;
};

}  // namespace

int af_parse(const uint8_t *p, size_t len, af_packet &a) {
    if (!p || len == 0) return AF_NEED_MORE;
    if (p[0] != 'A') return AF_NO_SYNC;
    if (len < 2) return AF_NEED_MORE;
    if (p[1] != 'F') return AF_NO_SYNC;
    if (len < AF_HEADER_SIZE) return AF_NEED_MORE;
    const uint32_t payload_len = be32(p + 2);
    if (payload_len > AF_MAX_PAYLOAD) return AF_BAD_FIELDS;
    const size_t total = AF_HEADER_SIZE + payload_len + AF_CRC_SIZE;
    if (len < total) return AF_NEED_MORE;
    a = af_packet{};
    a.seq = be16(p + 6);
    a.crc_flag = (p[8] & 0x80) != 0;
    a.major = p[8] >> 4 & 7;
    a.minor = p[8] & 0x0F;
    a.pt = p[9];
    if (a.crc_flag && crc16(p, total - AF_CRC_SIZE) != be16(p + total - AF_CRC_SIZE)) return AF_BAD_CRC;
    a.payload = p + AF_HEADER_SIZE;
    a.payload_len = payload_len;
    return static_cast<int>(total);
}

int tag_next(const uint8_t *p, size_t len, size_t &off, tag_item &t) {
    if (!p || off >= len || len - off < TAG_HEADER_SIZE) return 0;
    const uint8_t *h = p + off;
    const uint32_t bits = be32(h + 4);
    const size_t bytes = (static_cast<size_t>(bits) + 7) / 8;
    if (bytes > len - off - TAG_HEADER_SIZE) return -1;
    t.name = h;
    t.value = h + TAG_HEADER_SIZE;
    t.len = bytes;
    t.bits = bits;
    off += TAG_HEADER_SIZE + bytes;
    return 1;
}

int edi_tags_to_eti(const uint8_t *tags, size_t len, uint8_t *out) {
    if (!tags || !out) return EDI_BAD_TAG;
    bool deti_seen = false, ptr_seen = false;
    tag_item deti;
    std::array<est_ref, ETI_MAX_STREAMS> est{};
    int nst = 0;
    size_t off = 0;
    tag_item t;
    for (;;) {
        const int r = tag_next(tags, len, off, t);
        if (r == 0) break;
        if (r < 0) return EDI_BAD_TAG;
        if (name_is(t, "*ptr")) {
            // protocol(32) major(16) minor(16)
            if (t.bits != 64 || std::memcmp(t.value, "DETI", 4) != 0) return EDI_NOT_DETI;
            ptr_seen = true;
        } else if (name_is(t, "deti")) {
            if (deti_seen || t.bits % 8) return EDI_BAD_DETI;
            deti_seen = true;
            deti = t;
        } else if (std::memcmp(t.name, "est", 3) == 0) {
            const int n = t.name[3];
            if (n < 1 || n > ETI_MAX_STREAMS) return EDI_BAD_EST;
            est_ref &e = est[static_cast<size_t>(n - 1)];
            if (e.value || t.bits % 8 || t.len < EST_HEADER_SIZE || (t.len - EST_HEADER_SIZE) % 8 ||
                (t.len - EST_HEADER_SIZE) / 8 > MAX_STL)
                return EDI_BAD_EST;
            e.value = t.value;
            e.len = t.len;
            nst = n > nst ? n : nst;
        }
        // Other items (*dmy, a multiplexer's own) are not needed for the frame.
    }
    if (!ptr_seen) return EDI_NOT_DETI;
    if (!deti_seen || deti.len < DETI_HEADER_SIZE) return EDI_BAD_DETI;
    for (int i = 0; i < nst; i++)
        if (!est[static_cast<size_t>(i)].value) return EDI_BAD_EST;  // streams are numbered without gaps

    const uint8_t *d = deti.value;
    const bool atstf = d[0] & 0x80, ficf = d[0] & 0x40, rfudf = d[0] & 0x20;
    const int fct = d[1];
    if (fct >= 250) return EDI_BAD_DETI;
    const int stat = d[2];
    const int mid = d[3] >> 6, fp = d[3] >> 3 & 7;
    const uint16_t mnsc = be16(d + 4);
    const size_t fic_len = ficf ? (mid == 3 ? 128 : 96) : 0;
    if (deti.len != DETI_HEADER_SIZE + (atstf ? DETI_TIME_SIZE : 0) + fic_len + (rfudf ? DETI_RFUD_SIZE : 0))
        return EDI_BAD_DETI;
    size_t i = DETI_HEADER_SIZE;
    uint32_t tsta = 0xFFFFFF;
    if (atstf) {
        tsta = be24(d + i + 5);  // after UTCO(8) SECONDS(32)
        i += DETI_TIME_SIZE;
    }
    const uint8_t *fic = d + i;
    i += fic_len;
    // RFUD: the EOF's RFU(16) and the first byte of TIST
    const uint32_t rfud = rfudf ? be24(d + i) : 0xFFFFFF;

    size_t mst = fic_len;
    for (int k = 0; k < nst; k++) mst += est[static_cast<size_t>(k)].len - EST_HEADER_SIZE;
    const size_t total = ETI_SYNC_FC + 4 * static_cast<size_t>(nst) + ETI_EOH_SIZE + mst + ETI_EOF_TIST_SIZE;
    if (total > ETI_FRAME_SIZE) return EDI_TOO_LONG;

    std::memset(out, 0x55, ETI_FRAME_SIZE);
    out[0] = static_cast<uint8_t>(stat);  // ERR
    const uint32_t fsync = fct % 2 ? ETI_FSYNC1 : ETI_FSYNC0;
    out[1] = static_cast<uint8_t>(fsync >> 16);
    out[2] = static_cast<uint8_t>(fsync >> 8);
    out[3] = static_cast<uint8_t>(fsync);
    // FC: FCT(8) FICF(1) NST(7) FP(3) MID(2) FL(11); FL counts the words of STC, EOH and MST
    const uint32_t fl = static_cast<uint32_t>(nst + 1 + mst / 4);
    uint8_t *p = out + 4;
    p[0] = static_cast<uint8_t>(fct);
    p[1] = static_cast<uint8_t>((ficf ? 0x80 : 0) | nst);
    p[2] = static_cast<uint8_t>(fp << 5 | mid << 3 | (fl >> 8 & 7));
    p[3] = static_cast<uint8_t>(fl);
    p += 4;
    for (int k = 0; k < nst; k++) {
        const est_ref &e = est[static_cast<size_t>(k)];
        // SSTC: SCID(6) SAD(10) TPL(6) rfa(2) -> STC: SCID(6) SAD(10) TPL(6) STL(10)
        const uint32_t stl = static_cast<uint32_t>((e.len - EST_HEADER_SIZE) / 8);
        p[0] = e.value[0];
        p[1] = e.value[1];
        p[2] = static_cast<uint8_t>((e.value[2] & 0xFC) | (stl >> 8 & 3));
        p[3] = static_cast<uint8_t>(stl);
        p += 4;
    }
    put16(p, mnsc);
    put16(p + 2, crc16(out + 4, static_cast<size_t>(p + 2 - (out + 4))));
    p += ETI_EOH_SIZE;
    uint8_t *mst_start = p;
    if (fic_len) std::memcpy(p, fic, fic_len);
    p += fic_len;
    for (int k = 0; k < nst; k++) {
        const est_ref &e = est[static_cast<size_t>(k)];
        std::memcpy(p, e.value + EST_HEADER_SIZE, e.len - EST_HEADER_SIZE);
        p += e.len - EST_HEADER_SIZE;
    }
    put16(p, crc16(mst_start, static_cast<size_t>(p - mst_start)));
    put16(p + 2, rfud >> 8);
    p[4] = static_cast<uint8_t>(rfud);
    p[5] = static_cast<uint8_t>(tsta >> 16);
    p[6] = static_cast<uint8_t>(tsta >> 8);
    p[7] = static_cast<uint8_t>(tsta);
    return EDI_ETI_OK;
}

void edi_eti_to_tags(const eti_frame &f, uint16_t dlfc, std::vector<uint8_t> &out) {
    out.clear();
    if (f.size < ETI_SYNC_FC + ETI_EOH_SIZE + ETI_EOF_TIST_SIZE || f.size > ETI_FRAME_SIZE) return;
    push_tag_header(out, "*pt", 'r', 8);
    out.insert(out.end(), {'D', 'E', 'T', 'I', 0, 0, 0, 0});

    const uint8_t *eof = f.raw.data() + f.size - ETI_EOF_TIST_SIZE;
    const uint16_t rfu = be16(eof + 2);
    const uint32_t tist = be32(eof + 4);
    const bool atstf = (tist & 0xFFFFFF) != 0xFFFFFF;
    const bool rfudf = rfu != 0xFFFF || (tist >> 24) != 0xFF;
    const size_t deti_len = DETI_HEADER_SIZE + (atstf ? DETI_TIME_SIZE : 0) + f.fic_len + (rfudf ? DETI_RFUD_SIZE : 0);
    push_tag_header(out, "det", 'i', deti_len);
    const int fcth = dlfc / 250 % 20;
    out.push_back(static_cast<uint8_t>((atstf ? 0x80 : 0) | (f.ficf ? 0x40 : 0) | (rfudf ? 0x20 : 0) | fcth));
    out.push_back(static_cast<uint8_t>(f.fct));
    out.push_back(static_cast<uint8_t>(f.err));
    out.push_back(static_cast<uint8_t>((f.mid & 3) << 6 | (f.fp & 7) << 3));
    out.push_back(static_cast<uint8_t>(f.mnsc >> 8));
    out.push_back(static_cast<uint8_t>(f.mnsc));
    if (atstf) {
        // UTCO and SECONDS unknown to an ETI frame: zero, as a multiplexer without a clock sends
        out.insert(out.end(), {0, 0, 0, 0, 0, static_cast<uint8_t>(tist >> 16), static_cast<uint8_t>(tist >> 8),
                               static_cast<uint8_t>(tist)});
    }
    out.insert(out.end(), f.fic(), f.fic() + f.fic_len);
    if (rfudf) out.insert(out.end(), {static_cast<uint8_t>(rfu >> 8), static_cast<uint8_t>(rfu), static_cast<uint8_t>(tist >> 24)});

    for (int k = 0; k < f.nst; k++) {
        const eti_stream &s = f.stc[static_cast<size_t>(k)];
        push_tag_header(out, "est", static_cast<uint8_t>(k + 1), EST_HEADER_SIZE + s.len);
        out.push_back(static_cast<uint8_t>(s.scid << 2 | (s.sad >> 8 & 3)));
        out.push_back(static_cast<uint8_t>(s.sad));
        out.push_back(static_cast<uint8_t>((s.tpl & 0x3F) << 2));
        const uint8_t *data = f.stream_data(k);
        out.insert(out.end(), data, data + s.len);
    }
    while (out.size() % 8) out.push_back(0);
}

void af_build(uint16_t seq, const uint8_t *payload, size_t len, std::vector<uint8_t> &out) {
    const size_t start = out.size();
    const uint32_t l = static_cast<uint32_t>(len);
    out.insert(out.end(), {'A', 'F', static_cast<uint8_t>(l >> 24), static_cast<uint8_t>(l >> 16),
                           static_cast<uint8_t>(l >> 8), static_cast<uint8_t>(l), static_cast<uint8_t>(seq >> 8),
                           static_cast<uint8_t>(seq), 0x90 /* CF, MAJ 1, MIN 0 */, 'T'});
    if (len) out.insert(out.end(), payload, payload + len);
    const uint16_t crc = crc16(out.data() + start, out.size() - start);
    out.push_back(static_cast<uint8_t>(crc >> 8));
    out.push_back(static_cast<uint8_t>(crc));
}

}  // namespace dabcommon
