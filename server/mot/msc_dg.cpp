#include "mot/msc_dg.h"

#include <cstring>

int mot_get_msc_dg_ses_hdr(msc_dg_ses_hdr_t *hdr, const unsigned char *data, int len) {
    memset(hdr, 0, sizeof *hdr);
    if (!data || len < 2) return -1;
    hdr->extflag = data[0] >> 7 & 1;
    hdr->crcflag = data[0] >> 6 & 1;
    hdr->sesflag = data[0] >> 5 & 1;
    hdr->uacflag = data[0] >> 4 & 1;
    hdr->dgtype = data[0] & 0x0F;
    hdr->cindex = data[1] >> 4;
    hdr->rindex = data[1] & 0x0F;
    int h = 2;
    if (hdr->extflag) {
        if (len < 4) return -1;
        hdr->ext = static_cast<uint16_t>(data[2] << 8 | data[3]);
        h = 4;
    }
    // Each session header field is there by its own flag.
    hdr->last = 1;
    if (hdr->sesflag) {
        if (len < h + 2) return -1;
        hdr->last = data[h] >> 7;
        hdr->segnum = static_cast<uint16_t>((data[h] & 0x7F) << 8 | data[h + 1]);
        h += 2;
    }
    if (!hdr->uacflag) return h;
    if (len < h + 1) return -1;
    hdr->rfa = data[h] >> 5;
    hdr->transflag = data[h] >> 4 & 1;
    hdr->lenind = data[h] & 0x0F;
    h++;
    // The length indicator counts the transport id and the end user address together.
    int eua = hdr->lenind;
    if (hdr->transflag) {
        if (len < h + 2) return -1;
        hdr->transid = static_cast<uint16_t>(data[h] << 8 | data[h + 1]);
        h += 2;
        eua -= 2;
    }
    if (eua > 0) {
        if (len < h + eua) return -1;
        memcpy(hdr->addrfield, data + h, static_cast<size_t>(eua));
        hdr->addrlen = static_cast<uint8_t>(eua);
        h += eua;
    }
    return h;
}
