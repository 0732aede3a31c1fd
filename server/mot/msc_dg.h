#pragma once
// MSC data group header and session header.

#include <cstdint>

typedef struct msc_dg_ses_hdr_s {
    uint8_t extflag;
    uint8_t crcflag;
    uint8_t sesflag;  // a segment field is present
    uint8_t uacflag;  // a user access field is present
    uint8_t dgtype;
    uint8_t cindex;
    uint8_t rindex;
    uint16_t ext;  // 0 when absent
    uint8_t last;
    uint16_t segnum;
    uint8_t rfa;
    uint8_t transflag;
    uint8_t lenind;
    uint16_t transid;  // 0 when absent
    uint8_t addrfield[15];  // end user address: up to 15 bytes without a transport id
    uint8_t addrlen;
} msc_dg_ses_hdr_t;

// Offset of the data field in the len bytes at data, or -1 when the headers do not fit.
int mot_get_msc_dg_ses_hdr(msc_dg_ses_hdr_t *hdr, const unsigned char *data, int len);
