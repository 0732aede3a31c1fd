#include "datapath/fic.h"

#include <cstdio>
#include <cstring>

#include "common/rdi_framer.h"
#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"

namespace {

bool debug_wanted(ensemble *e) {
    return e->l->logger_callback || e->cfg->logfilelevel <= LOG_DEBUG || e->cfg->logscrnlevel <= LOG_DEBUG;
}

}  // namespace

fic::fic(ensemble *p) : fig_store(p), last_garbled(time(nullptr)), garbled_counter(0) {}

int fic::decode_fic(const unsigned char *fib, unsigned int status) {
    e->st->fibcnt_sum++;
    if (status & dabcommon::RDI_FIC_CRC_ERROR) {
        // The receiver found the FIB's CRC wrong.
        e->st->fibcnt_err++;
        time_t now = time(nullptr);
        if (now - last_garbled > 30) {
            e->l->log(LOG_WARN, "decode_fic: received garbled data (%d)\n", garbled_counter);
            garbled_counter = 0;
            last_garbled = now;
        } else {
            garbled_counter++;
        }
        return 0;
    }
    return decode_fib(fib);
}

int fic::decode_fib(const unsigned char *fib) {
    if (fib[0] == 0xFF) return 0;  // padding only
    fig_s f = {};
    std::memcpy(f.ob, fib, FIB_BYTES);
    const bool debug = debug_wanted(e);
    if (debug) {
        char line[FIB_BYTES * 3 + 1];
        // By hand: a formatting call per byte costs more than decoding the FIB.
        static const char hex[] = "0123456789abcdef";
        for (int i = 0; i < FIB_BYTES; i++) {
            line[3 * i] = hex[f.ob[i] >> 4];
            line[3 * i + 1] = hex[f.ob[i] & 15];
            line[3 * i + 2] = ' ';
        }
        line[3 * FIB_BYTES] = 0;
        e->l->log(LOG_DEBUG, "%s\n", line);
    }
    if (e->fib_decoder_callback && e->fib_decoder_callback(e->fib_decoder_context, f.ob) == -1) return 0;

    for (int p = 0; p >= 0 && p < FIB_BYTES;) {
        e->st->figcnt_sum++;
        p = decode_fig_at(f, p, debug);
    }
    return 0;
}

int fic::decode_fig_at(fig_s &f, int p, bool debug) {
    const int h = f.ob[p];
    if (h == 0xFF) return -1;  // end marker
    const int type = h >> 5, len = h & 31;
    if (len > 29) {
        e->st->figcnt_err++;
        e->l->log(LOG_WARN, "decode_fic: invalid fig hdr len %d\n", len);
        return -1;
    }
    e->l->log(LOG_DEBUG, "decode_fic: FIG type %d Length %d\n", type, len);
    const bool decodable = read_fig_header(f, p);
    const int start = p + 2;
    const int end = start + len - 1;  // first byte after the FIG
    if (start + len > FIB_BYTES + 1) {
        // Reported once per FIG: it runs past the FIB, so nothing can follow it.
        e->l->log(LOG_WARN, "decode_fic: invalid framelen %d/%d len:%d lastpos:%d\n", type, f.hdr.ext, len, start);
        e->st->figcnt_err++;
        return -1;
    }
    if (!decodable) {
        e->l->log(LOG_DEBUG, "decode_fic: Unknown FIG: %d ext %d\n", type, f.hdr.ext);
        e->st->figcnt_unk++;
        return end;
    }
    f.start = start;
    f.end = end;
    // A hook that takes the FIG leaves the built-in decoders out; decoding goes on behind it.
    if (e->fig_decoder_callback && e->fig_decoder_callback(e->fig_decoder_context, &f, start) == -1) return end;
    decode_entries(f, debug);
    return end;
}

bool fic::read_fig_header(fig_s &f, int p) {
    const int h = f.ob[p];
    // The type-specific byte; a header in the FIB's last byte has none.
    const int b = p + 1 < FIB_BYTES ? f.ob[p + 1] : 0;
    f.hdr = fig_header_t{};
    f.hdr.type = h >> 5;
    f.hdr.len = h & 31;
    switch (f.hdr.type) {
        case 0:
            f.hdr.cn = b >> 7;
            f.hdr.oe = b >> 6 & 1;
            f.hdr.pd = b >> 5 & 1;
            f.hdr.ext = b & 0x1F;
            e->l->log(LOG_DEBUG, "decode_fic: C/N:%d OE:%d P/D:%d Ext:%d\n", f.hdr.cn, f.hdr.oe, f.hdr.pd, f.hdr.ext);
            return true;
        case 1:
            f.hdr.charset = b >> 4;
            f.hdr.oe = b >> 3 & 1;
            f.hdr.ext = b & 0x07;
            e->l->log(LOG_DEBUG, "decode_fic: Charset:%d OE:%d Ext: %d\n", f.hdr.charset, f.hdr.oe, f.hdr.ext);
            return true;
        case 5:
            f.hdr.d1 = b >> 7;
            f.hdr.d2 = b >> 6 & 1;
            f.hdr.tcid = b >> 3 & 0x07;
            f.hdr.ext = b & 0x07;
            return true;
        default:
            // Types without a decoder (e.g. extended labels of type 2) are skipped by their length.
            return false;
    }
}

void fic::decode_entries(fig_s &f, bool debug) {
    for (int p = f.start; p < f.end;) p = decode_entry(f, p, debug);
}

int fic::decode_entry(fig_s &f, int p, bool debug) {
    fig *obj = make_fig_decoder(e, f.hdr.type, f.hdr.ext);
    if (!obj) {
        e->l->log(LOG_DEBUG, "decode_fic: Unknown FIG: %d ext %d\n", f.hdr.type, f.hdr.ext);
        e->st->figcnt_unk++;
        obj = new gen_fig(e);
        if (debug) {
            char bytes[FIB_BYTES * 5 + 1] = "";
            for (int i = p; i < f.end; i++) snprintf(bytes + 5 * (i - p), 6, " 0x%02x", f.ob[i]);
            e->l->log(LOG_DEBUG, "%s\n", bytes);
        }
        p = f.end - 1;  // kept raw, as one record
    }
    obj->ptr->hdr = f.hdr;
    // The len bytes behind the type-specific byte, as far as the FIB reaches.
    const int raw = f.hdr.len < FIB_BYTES - f.start ? f.hdr.len : FIB_BYTES - f.start;
    std::memcpy(obj->ptr->rawfig, f.ob + f.start, static_cast<size_t>(raw));
    int k = p;
    if (obj->decode_fig(&f, k)) {
        if (replace(obj) > 0) delete obj;  // the store kept its own object with the new contents
    } else {
        delete obj;
    }
    return k >= p ? k + 1 : p + 1;
}
