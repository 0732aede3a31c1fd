// EDI input: PFT fragments and their Reed-Solomon protection, AF packets, TAG items and the
// ETI frame rebuilt from them, against hand-made packets and the generator's demo ensemble.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "common/edi_af.h"
#include "common/edi_decoder.h"
#include "common/edi_pft.h"
#include "common/eti_reader.h"
#include "support/eti_maker.h"
#include "support/test_support.h"

using namespace dabcommon;

namespace {

using bytes = std::vector<uint8_t>;

void put16(bytes &b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void put24(bytes &b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v >> 16));
    put16(b, v & 0xFFFF);
}
void put32(bytes &b, unsigned v) {
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}
void append_crc(bytes &b) { put16(b, crc16(b.data(), b.size())); }

// A fragment header written field by field, then its CRC and payload.
bytes fragment(unsigned pseq, unsigned findex, unsigned fcount, bool fec, bool addr, unsigned plen, unsigned rsk,
               unsigned rsz, const bytes &payload, bool bad_crc = false) {
    bytes b = {'P', 'F'};
    put16(b, pseq);
    put24(b, findex);
    put24(b, fcount);
    put16(b, (fec ? 0x8000 : 0) | (addr ? 0x4000 : 0) | (plen & 0x3FFF));
    if (fec) b.insert(b.end(), {static_cast<uint8_t>(rsk), static_cast<uint8_t>(rsz)});
    if (addr) b.insert(b.end(), {0xAB, 0xCD, 0x01, 0x02});
    append_crc(b);
    if (bad_crc) b.back() ^= 1;
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// An AF packet by hand: SYNC LEN SEQ CF|MAJ|MIN PT payload CRC.
bytes af_by_hand(unsigned seq, const bytes &payload, uint8_t flags = 0x90) {
    bytes b = {'A', 'F'};
    put32(b, static_cast<unsigned>(payload.size()));
    put16(b, seq);
    b.push_back(flags);
    b.push_back('T');
    b.insert(b.end(), payload.begin(), payload.end());
    append_crc(b);
    return b;
}

bytes tag(const char *name, const bytes &value) {
    bytes b(name, name + 4);
    put32(b, static_cast<unsigned>(value.size() * 8));
    b.insert(b.end(), value.begin(), value.end());
    return b;
}
bytes est_tag(int n, const bytes &value) {
    const char name[5] = {'e', 's', 't', static_cast<char>(n), 0};
    return tag(name, value);
}
bytes cat(std::initializer_list<bytes> parts) {
    bytes b;
    for (const auto &p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}
const bytes STAR_PTR = tag("*ptr", {'D', 'E', 'T', 'I', 0, 0, 0, 0});

bytes random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// GF(256) with x^8+x^4+x^3+x^2+1, bit by bit.
uint8_t gf_mul(uint8_t a, uint8_t b) {
    unsigned r = 0, x = a;
    for (; b; b >>= 1, x <<= 1) {
        if (x & 0x100) x ^= 0x11D;
        if (b & 1) r ^= x;
    }
    return static_cast<uint8_t>(r);
}

// A chunk is a codeword of the PFT code when the 255 bytes (k data, zeros to 207, 48 parity;
// the first the highest power) vanish at alpha^1 .. alpha^48.
bool is_pft_codeword(const bytes &cw) {
    uint8_t root = 2;
    for (int i = 0; i < 48; i++, root = gf_mul(root, 2)) {
        uint8_t v = 0;
        for (uint8_t c : cw) v = gf_mul(v, root) ^ c;
        if (v) return false;
    }
    return true;
}

// Every packet the reassembler hands out, fed the fragments in the given order.
std::vector<bytes> reassemble(pft_reassembler &r, const std::vector<bytes> &frags, uint64_t now = 0) {
    std::vector<bytes> got;
    bytes out;
    for (const auto &f : frags) {
        pft_fragment pf;
        const int n = pft_parse(f.data(), f.size(), pf);
        EXPECT_EQ(n, static_cast<int>(f.size()));
        if (n <= 0) continue;
        r.push(pf, now);
        while (r.pop(out, now)) got.push_back(out);
    }
    return got;
}

std::vector<bytes> fragments_of(const bytes &af, uint16_t pseq, int m, size_t max_payload = 1400) {
    pft_sender_options o;
    o.fec_m = m;
    o.max_payload = max_payload;
    std::vector<std::vector<uint8_t>> out;
    EXPECT_EQ(pft_make_fragments(af.data(), af.size(), pseq, o, out), 1);
    return out;
}

}  // namespace

TEST(edi_pft, header_fields_as_written) {
    const bytes payload = {1, 2, 3, 4};
    const bytes f = fragment(0x1234, 1, 3, true, true, 4, 0x20, 5, payload);
    pft_fragment pf;
    ASSERT_EQ(pft_parse(f.data(), f.size(), pf), 20 + 4);
    EXPECT_EQ(pf.pseq, 0x1234);
    EXPECT_EQ(pf.findex, 1u);
    EXPECT_EQ(pf.fcount, 3u);
    EXPECT_TRUE(pf.fec);
    EXPECT_TRUE(pf.addr);
    EXPECT_EQ(pf.plen, 4);
    EXPECT_EQ(pf.rsk, 0x20);
    EXPECT_EQ(pf.rsz, 5);
    EXPECT_EQ(pf.source, 0xABCD);
    EXPECT_EQ(pf.dest, 0x0102);
    EXPECT_EQ(bytes(pf.payload, pf.payload + 4), payload);
}

TEST(edi_pft, hostile_fragments) {
    const bytes p4 = {9, 9, 9, 9};
    const struct {
        int line;
        bytes in;
        int want;
    } cases[] = {
        {__LINE__, fragment(1, 0, 1, false, false, 4, 0, 0, p4), 18},
        {__LINE__, bytes{'P', 'X', 0, 0}, PFT_NO_SYNC},
        {__LINE__, bytes{'A', 'F'}, PFT_NO_SYNC},
        {__LINE__, bytes{'P', 'F', 0, 1, 0}, PFT_NEED_MORE},  // header cut off
        {__LINE__, fragment(1, 0, 1, false, false, 4, 0, 0, p4, true), PFT_BAD_CRC},
        {__LINE__, fragment(1, 3, 3, false, false, 4, 0, 0, p4), PFT_BAD_FIELDS},         // index past the count
        {__LINE__, fragment(1, 0, 0, false, false, 4, 0, 0, p4), PFT_BAD_FIELDS},         // no fragments
        {__LINE__, fragment(1, 0, 0xFFFFFF, false, false, 4, 0, 0, p4), PFT_BAD_FIELDS},  // count beyond any packet
        {__LINE__, fragment(1, 0, 1, false, false, 0, 0, 0, {}), PFT_BAD_FIELDS},         // empty
        {__LINE__, fragment(1, 0, 1, true, false, 4, 0, 0, p4), PFT_BAD_FIELDS},          // RSk 0
        {__LINE__, fragment(1, 0, 1, true, false, 4, 208, 0, p4), PFT_BAD_FIELDS},        // RSk beyond 207
        {__LINE__, fragment(1, 0, 1, true, false, 4, 10, 10, p4), PFT_BAD_FIELDS},        // padding a whole chunk
        {__LINE__, fragment(1, 0, 1, false, false, 0x3FFF, 0, 0, p4), PFT_NEED_MORE},     // length beyond the datagram
    };
    for (const auto &c : cases) {
        pft_fragment pf;
        EXPECT_EQ(pft_parse(c.in.data(), c.in.size(), pf), c.want) << "line " << c.line;
    }
}

TEST(edi_pft, fec_chunks_are_codewords_interleaved_over_the_fragments) {
    const bytes af = random_bytes(500, 1);  // 3 chunks of 167 bytes, 1 zero of padding
    for (int m : {1, 2, 5}) {
        SCOPED_TRACE(m);
        const auto frags = fragments_of(af, 7, m);
        const size_t f = frags.size();
        bytes block;  // the fragments' payloads de-interleaved by hand
        const size_t s = frags[0].size() - 16;
        block.resize(f * s);
        for (size_t i = 0; i < f; i++) {
            ASSERT_EQ(frags[i].size(), 16 + s);  // every fragment s bytes with FEC
            EXPECT_EQ(frags[i][12], 167);        // RSk
            EXPECT_EQ(frags[i][13], 1);          // RSz
            for (size_t j = 0; j < s; j++) block[j * f + i] = frags[i][16 + j];
        }
        // 48/(m+1) bytes of a chunk at most per fragment: m lost leave a chunk decodable
        EXPECT_LE(s, 3 * 48 / static_cast<size_t>(m + 1));
        for (size_t c = 0; c < 3; c++) {
            bytes cw(255, 0);
            std::copy(block.begin() + static_cast<long>(c * 215), block.begin() + static_cast<long>(c * 215 + 167), cw.begin());
            std::copy(block.begin() + static_cast<long>(c * 215 + 167), block.begin() + static_cast<long>(c * 215 + 215),
                      cw.begin() + 207);
            EXPECT_TRUE(is_pft_codeword(cw)) << "chunk " << c;
            const size_t data_end = std::min<size_t>(500, (c + 1) * 167);
            EXPECT_TRUE(std::equal(af.begin() + static_cast<long>(c * 167), af.begin() + static_cast<long>(data_end),
                                   block.begin() + static_cast<long>(c * 215)));
        }
    }
}

TEST(edi_pft, fec_rebuilds_lost_fragments) {
    const bytes af = af_by_hand(3, random_bytes(1200, 2));
    const struct {
        int line;
        int m;
        std::vector<size_t> lost;  // fragment indices
        bool whole;
    } cases[] = {
        {__LINE__, 1, {0}, true},
        {__LINE__, 1, {5}, true},
        {__LINE__, 2, {1, 6}, true},
        {__LINE__, 3, {0, 1, 2}, true},
        {__LINE__, 5, {0, 3, 4, 8, 9}, true},
        {__LINE__, 1, {0, 1, 2, 3}, false},  // beyond the protection
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        auto frags = fragments_of(af, 40, c.m);
        ASSERT_GT(frags.size(), c.lost.back());
        std::vector<bytes> sent;
        for (size_t i = 0; i < frags.size(); i++)
            if (std::find(c.lost.begin(), c.lost.end(), i) == c.lost.end()) sent.push_back(frags[i]);
        std::reverse(sent.begin(), sent.end());
        pft_reassembler r(8, 500);
        auto got = reassemble(r, sent);
        EXPECT_TRUE(got.empty()) << "repaired while fragments may still come";
        bytes out;
        if (r.pop(out, 501)) got.push_back(out);
        if (c.whole) {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0], af);
            EXPECT_EQ(r.counters().fec_recovered, c.lost.size());
        } else {
            EXPECT_TRUE(got.empty());
            EXPECT_EQ(r.counters().given_up, 1u);  // after the time-out
        }
    }
}

TEST(edi_pft, packets_in_sequence_despite_reordering_and_duplicates) {
    std::vector<bytes> afs;
    std::vector<bytes> frags;
    for (unsigned k = 0; k < 5; k++) {
        afs.push_back(af_by_hand(k, random_bytes(3000, 10 + k)));
        for (auto &f : fragments_of(afs.back(), static_cast<uint16_t>(65534 + k), 0, 1000)) frags.push_back(f);
    }
    ASSERT_EQ(frags.size(), 20u);  // 4 fragments of 3012 bytes each
    // Packet 2's fragments before packet 1's, the first fragment twice, the last packet reversed.
    std::vector<bytes> order = {frags[0], frags[0], frags[1], frags[2], frags[3], frags[8], frags[9], frags[10],
                                frags[11], frags[4], frags[5], frags[6], frags[7], frags[12], frags[13], frags[14],
                                frags[15], frags[19], frags[18], frags[17], frags[16], frags[2]};
    pft_reassembler r(8, 500);
    const auto got = reassemble(r, order);
    ASSERT_EQ(got.size(), 5u);
    for (size_t k = 0; k < 5; k++) EXPECT_EQ(got[k], afs[k]) << k;
    EXPECT_EQ(r.counters().duplicates, 2u);  // the repeated fragment, and one of a packet handed out
}

TEST(edi_pft, missing_fragment_waits_for_the_time_out_or_the_window) {
    std::vector<std::vector<bytes>> pk;
    for (unsigned k = 0; k < 4; k++) pk.push_back(fragments_of(af_by_hand(k, random_bytes(2000, 20 + k)), static_cast<uint16_t>(k), 0, 1000));
    pft_reassembler r(2, 500);
    bytes out;
    pft_fragment pf;
    auto push = [&](const bytes &f, uint64_t now) {
        ASSERT_GT(pft_parse(f.data(), f.size(), pf), 0);
        r.push(pf, now);
    };
    push(pk[0][0], 0);  // packet 0 never gets its second fragment
    for (auto &f : pk[1]) push(f, 10);
    EXPECT_EQ(r.pop(out, 20), 0) << "packet 1 handed out before packet 0 was given up";
    EXPECT_EQ(r.pop(out, 501), 1);
    EXPECT_EQ(out[7], 1);  // AF sequence number of packet 1
    EXPECT_EQ(r.counters().given_up, 1u);
    // The window: two complete packets behind a missing one end the wait at once.
    push(pk[2][0], 600);
    for (auto &f : pk[3]) push(f, 600);
    EXPECT_EQ(r.pop(out, 601), 0);
    const bytes later = af_by_hand(4, random_bytes(100, 30));
    for (auto &f : fragments_of(later, 4, 0)) push(f, 602);
    EXPECT_EQ(r.pop(out, 602), 1);
    EXPECT_EQ(out[7], 3);
}

TEST(edi_pft, inconsistent_fragments_are_refused) {
    const bytes p = random_bytes(8, 3);
    pft_reassembler r(8, 500);
    const std::vector<bytes> frags = {
        fragment(9, 0, 2, false, false, 8, 0, 0, p),
        fragment(9, 1, 3, false, false, 8, 0, 0, p),   // another count
        fragment(9, 1, 2, true, false, 8, 20, 0, p),   // FEC in one fragment only
        fragment(9, 1, 2, false, false, 16, 0, 0, random_bytes(16, 4)),  // last longer than the others
    };
    EXPECT_TRUE(reassemble(r, frags).empty());
    EXPECT_EQ(r.counters().inconsistent, 3u);
}

TEST(edi_pft, more_chunks_than_the_packet_needs_are_not_decoded) {
    // Ten chunks of 10 bytes: a 100-byte packet fits one chunk, so the header lies.
    const bytes f = fragment(3, 0, 1, true, false, 10 * 58, 10, 0, random_bytes(580, 6));
    pft_reassembler r(8, 500);
    const auto got = reassemble(r, {f});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].empty()) << "handed out as a broken packet";
}

TEST(edi_af, packet_fields_and_checks) {
    const bytes good = af_by_hand(0x0102, {'a', 'b', 'c', 'd'});
    // Fields by hand: 41 46 | 00 00 00 04 | 01 02 | 90 | 54 | 61 62 63 64 | CRC
    ASSERT_EQ(good.size(), 16u);
    bytes bad_crc = good;
    bad_crc[11] ^= 0x40;
    bytes no_crc = af_by_hand(5, {'x'}, 0x10);
    no_crc.back() ^= 0xFF;  // CF clear: the CRC is not checked
    bytes long_len = good;
    long_len[3] = 0x01;  // LEN 65540: more than any TAG packet
    bytes past_end = good;
    past_end[5] = 0x08;  // LEN 8: beyond this packet
    const struct {
        int line;
        bytes in;
        int want;
    } cases[] = {
        {__LINE__, good, 16},
        {__LINE__, bad_crc, AF_BAD_CRC},
        {__LINE__, no_crc, 13},
        {__LINE__, long_len, AF_BAD_FIELDS},
        {__LINE__, past_end, AF_NEED_MORE},
        {__LINE__, bytes(good.begin(), good.begin() + 9), AF_NEED_MORE},
        {__LINE__, bytes{'A', 'X'}, AF_NO_SYNC},
        {__LINE__, bytes{'P', 'F'}, AF_NO_SYNC},
    };
    for (const auto &c : cases) {
        af_packet a;
        EXPECT_EQ(af_parse(c.in.data(), c.in.size(), a), c.want) << "line " << c.line;
    }
    af_packet a;
    ASSERT_EQ(af_parse(good.data(), good.size(), a), 16);
    EXPECT_EQ(a.seq, 0x0102);
    EXPECT_TRUE(a.crc_flag);
    EXPECT_EQ(a.major, 1);
    EXPECT_EQ(a.minor, 0);
    EXPECT_EQ(a.pt, 'T');
    EXPECT_EQ(bytes(a.payload, a.payload + a.payload_len), (bytes{'a', 'b', 'c', 'd'}));
    // The sender's packet is the same bytes.
    bytes built;
    const bytes abcd = {'a', 'b', 'c', 'd'};
    af_build(0x0102, abcd.data(), abcd.size(), built);
    EXPECT_EQ(built, good);
}

TEST(edi_af, tag_walk) {
    const bytes odd = cat({tag("abcd", {1, 2, 3}), tag("xyzw", {}), bytes(5, 0)});  // 5 bytes of padding
    size_t off = 0;
    tag_item t;
    ASSERT_EQ(tag_next(odd.data(), odd.size(), off, t), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(t.name), 4), "abcd");
    EXPECT_EQ(t.len, 3u);
    ASSERT_EQ(tag_next(odd.data(), odd.size(), off, t), 1);
    EXPECT_EQ(t.len, 0u);
    EXPECT_EQ(tag_next(odd.data(), odd.size(), off, t), 0);
    bytes beyond = tag("abcd", {1, 2, 3});
    beyond[7] = 32;  // 4 bytes claimed, 3 there
    off = 0;
    EXPECT_EQ(tag_next(beyond.data(), beyond.size(), off, t), -1);
    bytes huge = tag("abcd", {});
    huge[4] = 0xFF;  // 2^32 bits
    off = 0;
    EXPECT_EQ(tag_next(huge.data(), huge.size(), off, t), -1);
}

TEST(edi_af, eti_frame_from_tags_as_a_multiplexer_writes_it) {
    // FCT 5, FIC, one stream: the frame the test ETI maker writes for the same fields.
    bytes fic(96);
    for (size_t i = 0; i < fic.size(); i++) fic[i] = static_cast<uint8_t>(i * 7);
    etimaker::sub s;
    s.scid = 3;
    s.sad = 300;
    s.tpl = 0x22;
    s.data = random_bytes(16, 5);
    const bytes want = etimaker::frame(5, fic, {s});
    // deti: ATSTF 0 FICF 1 RFUDF 0 FCTH 0 | FCT 5 | STAT FF | MID 1 FP 5 | MNSC 1234
    bytes deti = {0x40, 5, 0xFF, 1 << 6 | 5 << 3, 0x12, 0x34};
    deti.insert(deti.end(), fic.begin(), fic.end());
    // SSTC: SCID 3, SAD 300, TPL 0x22
    bytes est = {3 << 2 | 300 >> 8, 300 & 0xFF, 0x22 << 2};
    est.insert(est.end(), s.data.begin(), s.data.end());
    const bytes tags = cat({STAR_PTR, tag("*dmy", {1, 2}), tag("deti", deti), est_tag(1, est), bytes(6, 0)});
    bytes out(ETI_FRAME_SIZE);
    ASSERT_EQ(edi_tags_to_eti(tags.data(), tags.size(), out.data()), EDI_ETI_OK);
    EXPECT_EQ(out, want);
}

TEST(edi_af, hostile_tag_packets) {
    const bytes deti = cat({bytes{0x40, 5, 0xFF, 0x68, 0xFF, 0xFF}, bytes(96, 0)});
    const bytes est8 = {0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    bytes beyond = cat({STAR_PTR, tag("deti", deti), est_tag(1, est8)});
    beyond[beyond.size() - 14] = 1;  // est1 claims 2^16 more bits than are there
    const bytes too_long = cat({STAR_PTR, tag("deti", deti), est_tag(1, cat({bytes(3, 0), bytes(1023 * 8, 0)}))});
    const struct {
        int line;
        bytes tags;
        int want;
    } cases[] = {
        {__LINE__, cat({STAR_PTR, tag("deti", deti), est_tag(1, est8)}), EDI_ETI_OK},
        {__LINE__, cat({tag("deti", deti)}), EDI_NOT_DETI},
        {__LINE__, cat({tag("*ptr", {'D', 'S', 'T', 'I', 0, 0, 0, 0}), tag("deti", deti)}), EDI_NOT_DETI},
        {__LINE__, cat({STAR_PTR}), EDI_BAD_DETI},
        {__LINE__, cat({STAR_PTR, tag("deti", deti), tag("deti", deti)}), EDI_BAD_DETI},
        {__LINE__, cat({STAR_PTR, tag("deti", bytes(deti.begin(), deti.end() - 1))}), EDI_BAD_DETI},
        {__LINE__, beyond, EDI_BAD_TAG},
        {__LINE__, cat({STAR_PTR, tag("deti", deti), est_tag(0, est8)}), EDI_BAD_EST},
        {__LINE__, cat({STAR_PTR, tag("deti", deti), est_tag(65, est8)}), EDI_BAD_EST},
        {__LINE__, cat({STAR_PTR, tag("deti", deti), est_tag(255, est8)}), EDI_BAD_EST},
        {__LINE__, cat({STAR_PTR, tag("deti", deti), est_tag(1, est8), est_tag(1, est8)}), EDI_BAD_EST},
        {__LINE__, cat({STAR_PTR, tag("deti", deti), est_tag(2, est8)}), EDI_BAD_EST},  // no est1
        {__LINE__, cat({STAR_PTR, tag("deti", deti), est_tag(1, {0, 0, 0, 1, 2})}), EDI_BAD_EST},
        {__LINE__, cat({STAR_PTR, tag("deti", deti), est_tag(1, {0, 0})}), EDI_BAD_EST},
        {__LINE__, too_long, EDI_TOO_LONG},
    };
    for (const auto &c : cases) {
        bytes out(ETI_FRAME_SIZE);
        EXPECT_EQ(edi_tags_to_eti(c.tags.data(), c.tags.size(), out.data()), c.want) << "line " << c.line;
    }
}

// The generator's demo ensemble through the sender's side and back: every frame the same bytes,
// header CRCs included; also with a time stamp, an RFU and an ERR of its own, and through
// fragments of which some are lost.
TEST(edi_af, demo_ensemble_frames_come_back_byte_for_byte) {
    const std::string path = testsupport::source_dir() + "/demo/signal/12c.eti";
    const std::string eti = testsupport::read_file(path);
    if (eti.size() < 200 * ETI_FRAME_SIZE) GTEST_SKIP() << "demo signal not generated (make demo-signal): " << path;
    pft_reassembler r(8, 500);
    std::mt19937 rng(7);
    uint16_t seq = 0;
    size_t frames = 0;
    std::vector<bytes> sent, got;
    for (size_t off = 0; off + ETI_FRAME_SIZE <= eti.size() && frames < 300; off += ETI_FRAME_SIZE, frames++) {
        bytes src(eti.begin() + static_cast<long>(off), eti.begin() + static_cast<long>(off + ETI_FRAME_SIZE));
        eti_frame f;
        const int n = parse_eti_frame(src.data(), src.size(), f);
        ASSERT_GT(n, 0);
        if (frames % 3 == 1) {
            src[static_cast<size_t>(n) - 6] = 0x12;  // EOF RFU 0x1234
            src[static_cast<size_t>(n) - 5] = 0x34;
            src[static_cast<size_t>(n) - 3] = 0x56;  // TIST FF 56 78 9A
            src[static_cast<size_t>(n) - 2] = 0x78;
            src[static_cast<size_t>(n) - 1] = 0x9A;
            src[0] = 0x00;                           // ERR
            ASSERT_GT(parse_eti_frame(src.data(), src.size(), f), 0);
        }
        bytes tags, af;
        edi_eti_to_tags(f, static_cast<uint16_t>(frames % 5000), tags);
        af_build(seq, tags.data(), tags.size(), af);
        af_packet a;
        ASSERT_EQ(af_parse(af.data(), af.size(), a), static_cast<int>(af.size()));
        bytes out(ETI_FRAME_SIZE);
        ASSERT_EQ(edi_tags_to_eti(a.payload, a.payload_len, out.data()), EDI_ETI_OK);
        ASSERT_EQ(out, src) << "frame " << frames;
        // Through fragments with FEC 2: two random fragments of every packet lost.
        auto frags = fragments_of(af, seq, 2);
        frags.erase(frags.begin() + static_cast<long>(rng() % frags.size()));
        frags.erase(frags.begin() + static_cast<long>(rng() % frags.size()));
        for (auto &p : reassemble(r, frags, frames * 24)) got.push_back(p);
        sent.push_back(af);
        seq++;
    }
    bytes last;
    while (r.pop(last, 1000000)) got.push_back(last);
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " packets";
    EXPECT_EQ(r.counters().fec_recovered, 2 * frames);
}

namespace {

// AF packet seq carrying a small frame with FCT fct.
bytes small_af(unsigned seq, int fct) {
    etimaker::sub s;
    s.scid = 1;
    s.data = random_bytes(24, static_cast<unsigned>(fct) + 100);
    const bytes raw = etimaker::frame(fct, bytes(96, 0xAA), {s});
    eti_frame f;
    EXPECT_GT(parse_eti_frame(raw.data(), raw.size(), f), 0);
    bytes tags, af;
    edi_eti_to_tags(f, static_cast<uint16_t>(fct), tags);
    af_build(static_cast<uint16_t>(seq), tags.data(), tags.size(), af);
    return af;
}

struct collected {
    std::vector<int> fcts;
    edi_decoder dec{[this](const uint8_t *eti) { fcts.push_back(eti[4]); }};
};

}  // namespace

TEST(edi_decoder, datagrams_counted) {
    collected c;
    uint64_t now = 0;
    auto send = [&](const bytes &d) { c.dec.push_datagram(d.data(), d.size(), now += 24); };
    send(small_af(10, 0));
    send(small_af(11, 1));
    send(small_af(11, 1));            // duplicate: dropped
    send(small_af(14, 4));            // 12 and 13 missing
    bytes broken = small_af(15, 5);
    broken[20] ^= 1;                  // CRC error
    send(broken);
    bytes cut = small_af(16, 6);
    cut.resize(cut.size() - 10);      // LEN beyond the datagram
    send(cut);
    send(bytes{'X', 'Y', 'Z'});       // no packet at all
    // A TAG item longer than its AF packet, CRC good
    bytes tags = cat({STAR_PTR, tag("deti", bytes(102, 0))});
    tags[tags.size() - 1 - 102 - 1] = 0xFF;
    bytes bad_tags;
    af_build(17, tags.data(), tags.size(), bad_tags);
    send(bad_tags);
    send(small_af(18, 8));
    send(small_af(0, 9));             // the sender started again
    send(small_af(1, 10));
    c.dec.tick(now + 1000);
    EXPECT_EQ(c.fcts, (std::vector<int>{0, 1, 4, 8, 9, 10}));
    const edi_counters n = c.dec.counters();
    EXPECT_EQ(n.af_packets, 8u);      // the duplicate too, not the broken and the cut one
    EXPECT_EQ(n.sequence_gaps, 4u);   // 12, 13, then 15 and 16 (broken, cut)
    EXPECT_EQ(n.crc_errors, 1u);
    EXPECT_EQ(n.malformed, 3u);       // cut, no packet, TAG beyond the packet
    EXPECT_EQ(n.frames_lost, 5u);     // 12, 13, 15, 16, 17
}

TEST(edi_decoder, stream_resynchronises_after_garbage) {
    collected c;
    bytes stream = cat({bytes{'A', 'P', 'x', 'F'}, small_af(0, 0), small_af(1, 1)});
    bytes broken = small_af(2, 2);
    broken.back() ^= 1;                       // where a packet was due: a CRC error
    stream = cat({stream, broken, bytes(37, 'A'), small_af(3, 3), small_af(4, 4)});
    const bytes tail = small_af(5, 5);
    stream.insert(stream.end(), tail.begin(), tail.begin() + 30);  // cut off at the end
    for (size_t off = 0; off < stream.size(); off += 11)
        c.dec.push_stream(stream.data() + off, std::min<size_t>(11, stream.size() - off), off);
    EXPECT_EQ(c.fcts, (std::vector<int>{0, 1, 3, 4}));
    const edi_counters n = c.dec.counters();
    EXPECT_EQ(n.crc_errors, 1u);
    EXPECT_EQ(n.frames_lost, 1u);
    EXPECT_EQ(n.skipped_bytes, 4u + 37u);
}
