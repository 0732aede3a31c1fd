#include "common/edi_pft.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/crc16.h"

extern "C" {
#include <fec.h>
}

namespace dabcommon {

namespace {

// Generator polynomial 0x11D, first consecutive root 1, primitive element 1: the code the
// multiplexers use for PFT.
struct rs_codec {
    void *h = init_rs_char(8, 0x11D, 1, 1, PFT_RS_PARITY, 0);
    ~rs_codec() {
        if (h) free_rs_char(h);
    }
};

void *pft_rs() {
    static rs_codec codec;
    return codec.h;
}

uint32_t be24(const uint8_t *p) { return static_cast<uint32_t>(p[0] << 16 | p[1] << 8 | p[2]); }

size_t ceil_div(size_t a, size_t b) { return (a + b - 1) / b; }

// Position of a chunk's byte in the full 255-byte codeword: RSk data bytes, the zeros that
// shorten the code to RSk, then the parity.
int codeword_pos(size_t off, size_t rsk) {
    return static_cast<int>(off < rsk ? off : PFT_RS_K + (off - rsk));
}

// AF packet: SYNC(16) LEN(32) SEQ(16) CF(1) MAJ(3) MIN(4) PT(8), payload, CRC(16)
bool af_looks_whole(const std::vector<uint8_t> &af) {
    if (af.size() < 12 || af[0] != 'A' || af[1] != 'F') return false;
    const uint64_t len = static_cast<uint64_t>(af[2]) << 24 | af[3] << 16 | af[4] << 8 | af[5];
    if (len + 12 != af.size()) return false;
    if (!(af[8] & 0x80)) return true;
    return crc16(af.data(), af.size() - 2) == (af[af.size() - 2] << 8 | af[af.size() - 1]);
}

}  // namespace

int pft_parse(const uint8_t *p, size_t len, pft_fragment &f) {
    if (!p || len == 0) return PFT_NEED_MORE;
    if (p[0] != 'P') return PFT_NO_SYNC;
    if (len < 2) return PFT_NEED_MORE;
    if (p[1] != 'F') return PFT_NO_SYNC;
    if (len < 12) return PFT_NEED_MORE;
    f = pft_fragment{};
    f.pseq = static_cast<uint16_t>(p[2] << 8 | p[3]);
    f.findex = be24(p + 4);
    f.fcount = be24(p + 7);
    // FEC(1) Addr(1) Plen(14)
    f.fec = (p[10] & 0x80) != 0;
    f.addr = (p[10] & 0x40) != 0;
    f.plen = static_cast<uint16_t>((p[10] & 0x3F) << 8 | p[11]);
    const size_t hlen = PFT_HEADER_SIZE + (f.fec ? PFT_RS_HEADER_SIZE : 0) + (f.addr ? PFT_ADDR_HEADER_SIZE : 0);
    if (len < hlen) return PFT_NEED_MORE;
    if (crc16(p, hlen - 2) != (p[hlen - 2] << 8 | p[hlen - 1])) return PFT_BAD_CRC;
    size_t i = 12;
    if (f.fec) {
        f.rsk = p[i];
        f.rsz = p[i + 1];
        i += 2;
    }
    if (f.addr) {
        f.source = static_cast<uint16_t>(p[i] << 8 | p[i + 1]);
        f.dest = static_cast<uint16_t>(p[i + 2] << 8 | p[i + 3]);
    }
    if (f.fcount == 0 || f.fcount > PFT_MAX_FCOUNT || f.findex >= f.fcount || f.plen == 0) return PFT_BAD_FIELDS;
    if (f.fec && (f.rsk == 0 || f.rsk > PFT_RS_K || f.rsz >= f.rsk)) return PFT_BAD_FIELDS;
    if (len - hlen < f.plen) return PFT_NEED_MORE;
    f.payload = p + hlen;
    return static_cast<int>(hlen + f.plen);
}

struct pft_reassembler::builder {
    pft_fragment head;  // the fields every fragment of the packet shares (payload unused)
    size_t plen = 0;    // length of a fragment that is not the last; 0 = none seen yet
    std::vector<std::vector<uint8_t>> frags;
    std::vector<bool> have;
    uint32_t received = 0;
    uint32_t tried_with = 0;  // fragments present at the last failed decoding attempt
    int repairs = 0;          // decoding attempts made
    uint64_t first_ms = 0;
    bool done = false;
    std::vector<uint8_t> af;
};

pft_reassembler::pft_reassembler(int window, int timeout_ms)
    : window_(std::max(1, window)), timeout_ms_(std::max(1, timeout_ms)) {}

pft_reassembler::~pft_reassembler() = default;

void pft_reassembler::reset() {
    pending_.clear();
    started_ = false;
}

void pft_reassembler::push(const pft_fragment &f, uint64_t now_ms) {
    if (!f.payload || f.fcount == 0 || f.findex >= f.fcount || f.fcount > PFT_MAX_FCOUNT) return;
    // Pending packets never exceed this: a sender of many small packets cannot grow the map.
    constexpr size_t MAX_PENDING = 64;
    constexpr int RESTART_DISTANCE = 256;
    constexpr int DUPLICATE_DISTANCE = 16;
    if (!started_) {
        started_ = true;
        next_ = f.pseq;
    }
    const int d = static_cast<int16_t>(static_cast<uint16_t>(f.pseq - next_));
    if (d < 0 && d >= -DUPLICATE_DISTANCE) {
        counters_.duplicates++;  // a packet handed out or given up already
        return;
    }
    if (d < 0 || d >= RESTART_DISTANCE) {
        // Far from what was expected: the sender started again.
        pending_.clear();
        next_ = f.pseq;
    }
    auto it = pending_.find(f.pseq);
    if (it == pending_.end()) {
        // With FEC the fragments carry parity too: at most twice the packet.
        if (static_cast<uint64_t>(f.fcount) * f.plen > 2 * PFT_MAX_PACKET) {
            counters_.inconsistent++;
            return;
        }
        while (pending_.size() >= MAX_PENDING) {
            auto oldest = pending_.lower_bound(next_);
            if (oldest == pending_.end()) oldest = pending_.begin();
            counters_.given_up++;
            next_ = static_cast<uint16_t>(oldest->first + 1);
            pending_.erase(oldest);
        }
        auto b = std::make_unique<builder>();
        b->head = f;
        b->head.payload = nullptr;
        b->frags.resize(f.fcount);
        b->have.assign(f.fcount, false);
        b->first_ms = now_ms;
        it = pending_.emplace(f.pseq, std::move(b)).first;
    }
    builder &b = *it->second;
    const pft_fragment &h = b.head;
    // Every fragment of one packet carries the same header but for Findex and Plen; with FEC
    // all are s bytes long, without it all but the last.
    const bool last = f.findex == f.fcount - 1;
    bool same = f.fcount == h.fcount && f.fec == h.fec && f.rsk == h.rsk && f.rsz == h.rsz && f.addr == h.addr &&
                f.source == h.source && f.dest == h.dest;
    if (same && f.fec) same = f.plen == h.plen;
    if (same && !f.fec) {
        if (!last && b.plen && f.plen != b.plen) same = false;
        if (last && b.plen && f.plen > b.plen) same = false;
        if (!last && !b.plen) {
            // The last fragment, if already here, may not be longer than the others.
            const auto &tail = b.frags.back();
            if (b.have.back() && tail.size() > f.plen) same = false;
        }
    }
    if (!same) {
        counters_.inconsistent++;
        return;
    }
    if (b.have[f.findex]) {
        counters_.duplicates++;
        return;
    }
    if (!f.fec && !last) b.plen = f.plen;
    b.frags[f.findex].assign(f.payload, f.payload + f.plen);
    b.have[f.findex] = true;
    b.received++;
    if (!b.done) b.done = try_complete(b, false);
}

bool pft_reassembler::try_complete(builder &b, bool repair) {
    const pft_fragment &h = b.head;
    if (!h.fec) {
        if (b.received != h.fcount) return false;
        size_t total = 0;
        for (const auto &fr : b.frags) total += fr.size();
        if (total > PFT_MAX_PACKET) return true;  // handed out empty: the AF layer counts it
        b.af.clear();
        b.af.reserve(total);
        for (const auto &fr : b.frags) b.af.insert(b.af.end(), fr.begin(), fr.end());
        return true;
    }
    const size_t s = h.plen, fcount = h.fcount, rsk = h.rsk;
    const size_t chunk = rsk + PFT_RS_PARITY;
    const size_t c = fcount * s / chunk;
    // A sender uses as few chunks as the packet needs (at most 207 bytes each): more are a
    // broken header, and would only cost decoding.
    if (c == 0 || c * rsk <= h.rsz || c != ceil_div(c * rsk - h.rsz, PFT_RS_K)) return b.received == fcount;
    const size_t block = c * chunk;
    // All fragments here: the data bytes as they are, if the packet checks.
    if (b.received == fcount) {
        b.af.clear();
        b.af.reserve(c * rsk);
        for (size_t ci = 0; ci < c; ci++)
            for (size_t off = 0; off < rsk; off++) {
                const size_t pos = ci * chunk + off;
                b.af.push_back(b.frags[pos % fcount][pos / fcount]);
            }
        b.af.resize(c * rsk - h.rsz);
        if (af_looks_whole(b.af)) return true;
    }
    // Repairs wait until the missing fragments are not coming: counted as rebuilt are only
    // fragments that were lost.
    // Attempts are few: each costs a decoding of every chunk.
    constexpr int MAX_REPAIRS = 3;
    if ((!repair && b.received < fcount) || b.received <= b.tried_with || b.repairs >= MAX_REPAIRS)
        return b.received == fcount && b.repairs >= MAX_REPAIRS;
    // Erasures per chunk, from the fragments that are missing.
    std::vector<int> erasures(c, 0);
    for (size_t j = 0; j < fcount; j++) {
        if (b.have[j]) continue;
        for (size_t k = 0; k < s; k++) {
            const size_t pos = k * fcount + j;
            if (pos < block && ++erasures[pos / chunk] > PFT_RS_PARITY) return false;
        }
    }
    void *rs = pft_rs();
    if (!rs) return b.received == fcount;
    b.repairs++;
    std::vector<uint8_t> af;
    af.reserve(c * rsk);
    std::array<uint8_t, PFT_RS_N> cw;
    std::array<int, PFT_RS_PARITY> eras;
    bool ok = true;
    for (size_t ci = 0; ci < c && ok; ci++) {
        cw.fill(0);
        int ne = 0;
        for (size_t off = 0; off < chunk; off++) {
            const size_t pos = ci * chunk + off;
            const size_t j = pos % fcount, k = pos / fcount;
            const int cp = codeword_pos(off, rsk);
            if (b.have[j]) {
                cw[static_cast<size_t>(cp)] = b.frags[j][k];
            } else if (ne < PFT_RS_PARITY) {
                eras[static_cast<size_t>(ne++)] = cp;
            }
        }
        if (decode_rs_char(rs, cw.data(), ne ? eras.data() : nullptr, ne) < 0) ok = false;
        af.insert(af.end(), cw.begin(), cw.begin() + static_cast<long>(rsk));
    }
    if (ok) {
        af.resize(c * rsk - h.rsz);
        if (af_looks_whole(af)) {
            counters_.fec_recovered += fcount - b.received;
            b.af = std::move(af);
            return true;
        }
    }
    b.tried_with = b.received;
    // Every fragment here and still broken: handed out as it is, the AF layer counts it.
    return b.received == fcount;
}

void pft_reassembler::give_up_until_ready(uint64_t now_ms) {
    while (!pending_.empty()) {
        auto it = pending_.find(next_);
        if (it != pending_.end() && it->second->done) return;
        // Fragments of a later packet, or the time-out: what is missing is lost.
        const bool later = pending_.size() > 1 || it == pending_.end();
        uint64_t oldest = UINT64_MAX;
        int done_ahead = 0;
        for (const auto &p : pending_) {
            oldest = std::min(oldest, p.second->first_ms);
            done_ahead += p.second->done;
        }
        const bool expired = now_ms >= oldest + static_cast<uint64_t>(timeout_ms_);
        if (it != pending_.end() && (later || expired)) {
            builder &b = *it->second;
            b.done = try_complete(b, true);
            if (b.done) return;
        }
        if (!expired && done_ahead < window_) return;
        if (it != pending_.end()) {
            counters_.given_up++;
            pending_.erase(it);
            next_++;
        } else {
            // Nothing at all of this one arrived: on to the nearest packet that did.
            auto nearest = pending_.lower_bound(next_);
            if (nearest == pending_.end()) nearest = pending_.begin();
            next_ = nearest->first;
        }
    }
}

int pft_reassembler::pop(std::vector<uint8_t> &out, uint64_t now_ms) {
    give_up_until_ready(now_ms);
    auto it = pending_.find(next_);
    if (it == pending_.end() || !it->second->done) return 0;
    out = std::move(it->second->af);
    pending_.erase(it);
    next_++;
    counters_.packets++;
    return 1;
}

int pft_make_fragments(const uint8_t *af, size_t len, uint16_t pseq, const pft_sender_options &o,
                       std::vector<std::vector<uint8_t>> &out) {
    out.clear();
    if (!af || len == 0 || len > PFT_MAX_PACKET || o.fec_m < 0 || o.max_payload == 0) return 0;
    const size_t max_payload = std::min(o.max_payload, PFT_MAX_PLEN);
    std::vector<uint8_t> block;
    size_t f = 0, s = 0, rsk = 0, rsz = 0;
    if (o.fec_m == 0) {
        f = ceil_div(len, max_payload);
        s = ceil_div(len, f);
    } else {
        void *rs = pft_rs();
        if (!rs) return 0;
        // c chunks of k bytes, the last padded with z zeros; 48 parity bytes follow each.
        const size_t c = ceil_div(len, PFT_RS_K);
        rsk = ceil_div(len, c);
        rsz = c * rsk - len;
        std::array<uint8_t, PFT_RS_K> data;
        std::array<uint8_t, PFT_RS_PARITY> parity;
        for (size_t ci = 0; ci < c; ci++) {
            data.fill(0);
            const size_t from = ci * rsk, n = std::min(rsk, len - std::min(len, from));
            if (n) std::memcpy(data.data(), af + from, n);
            encode_rs_char(rs, data.data(), parity.data());
            block.insert(block.end(), data.begin(), data.begin() + static_cast<long>(rsk));
            block.insert(block.end(), parity.begin(), parity.end());
        }
        // A fragment holds at most 48/(m+1) bytes of each chunk, so that m lost ones leave
        // every chunk within its 48 erasures.
        const size_t s_max = std::min(c * PFT_RS_PARITY / static_cast<size_t>(o.fec_m + 1), max_payload);
        if (s_max == 0) return 0;
        f = ceil_div(block.size(), s_max);
        s = ceil_div(block.size(), f);
    }
    if (f > PFT_MAX_FCOUNT) return 0;
    const size_t hlen = PFT_HEADER_SIZE + (o.fec_m ? PFT_RS_HEADER_SIZE : 0) + (o.addr ? PFT_ADDR_HEADER_SIZE : 0);
    for (size_t i = 0; i < f; i++) {
        std::vector<uint8_t> payload;
        if (o.fec_m == 0) {
            const size_t from = i * s;
            payload.assign(af + from, af + std::min(len, from + s));
        } else {
            // Interleaved: fragment i carries bytes i, i+f, i+2f ... of the protected block.
            payload.resize(s, 0);
            for (size_t j = 0; j < s; j++)
                if (j * f + i < block.size()) payload[j] = block[j * f + i];
        }
        std::vector<uint8_t> p;
        p.reserve(hlen + payload.size());
        const size_t plen = payload.size();
        p.insert(p.end(), {'P', 'F', static_cast<uint8_t>(pseq >> 8), static_cast<uint8_t>(pseq),
                           static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i),
                           static_cast<uint8_t>(f >> 16), static_cast<uint8_t>(f >> 8), static_cast<uint8_t>(f),
                           static_cast<uint8_t>((o.fec_m ? 0x80 : 0) | (o.addr ? 0x40 : 0) | (plen >> 8 & 0x3F)),
                           static_cast<uint8_t>(plen)});
        if (o.fec_m) p.insert(p.end(), {static_cast<uint8_t>(rsk), static_cast<uint8_t>(rsz)});
        if (o.addr)
            p.insert(p.end(), {static_cast<uint8_t>(o.source >> 8), static_cast<uint8_t>(o.source),
                               static_cast<uint8_t>(o.dest >> 8), static_cast<uint8_t>(o.dest)});
        const uint16_t crc = crc16(p.data(), p.size());
        p.push_back(static_cast<uint8_t>(crc >> 8));
        p.push_back(static_cast<uint8_t>(crc));
        p.insert(p.end(), payload.begin(), payload.end());
        out.push_back(std::move(p));
    }
    return 1;
}

}  // namespace dabcommon
