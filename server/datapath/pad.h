#pragma once
// PAD records: what the X-PAD decoder reads from a subchannel's PAD ring, one per audio
// frame (Layer II) or access unit (DAB+). A record is 4 head bytes, its length (2 bytes,
// little-endian), F-PAD byte L, F-PAD byte L-1, then the X-PAD bytes in broadcast order.

// F-PAD head, up to four CIs with extension bytes, four sub-fields of 48 bytes.
constexpr int PAD_RECORD_MAX = 8 + 8 + 4 * 48;
constexpr int PAD_RECORD_EMPTY = 32;

// Contents indicators of the last variable-size X-PAD with a CI list, kept between frames.
typedef struct xpad_ci_state_s {
    unsigned char xpci[4][2];
    int num_ci;
    int last_padlen;
} xpad_ci_state_t;

// The record of a frame without PAD into buf: head_len (0..4) head bytes, zeros after them;
// returns PAD_RECORD_EMPTY.
int pad_record_empty(unsigned char *buf, const unsigned char *head, int head_len);

// The record of one frame into buf (PAD_RECORD_MAX bytes); returns its length. head: 4 bytes;
// fpad: F-PAD bytes L-1 and L. The X-PAD is stored backwards: its first byte is xpad[highest],
// and nothing below xpad[lowest] is read, whatever the contents indicators claim. fpad_1
// keeps the last F-PAD byte L-1 of type 0 and ci the contents indicators, between frames.
int pad_record(unsigned char *buf, const unsigned char *head, const unsigned char *fpad, const unsigned char *xpad,
               int lowest, int highest, int &fpad_1, xpad_ci_state_t &ci);
