#include "datapath/pad.h"

#include <algorithm>
#include <cstring>

#include "common/dab_tables.h"

namespace {

int finish(unsigned char *buf, int len) {
    buf[4] = static_cast<unsigned char>(len & 0xFF);
    buf[5] = static_cast<unsigned char>(len >> 8);
    return len;
}

}  // namespace

int pad_record_empty(unsigned char *buf, const unsigned char *head, int head_len) {
    std::memset(buf, 0, PAD_RECORD_EMPTY);
    if (head && head_len > 0) std::memcpy(buf, head, static_cast<size_t>(std::min(head_len, 4)));
    return finish(buf, PAD_RECORD_EMPTY);
}

int pad_record(unsigned char *buf, const unsigned char *head, const unsigned char *fpad, const unsigned char *xpad,
               int lowest, int highest, int &fpad_1, xpad_ci_state_t &ci) {
    pad_record_empty(buf, head, 4);
    const unsigned char fpad_l = fpad[1];
    unsigned char fpad_l1 = fpad[0];
    if ((fpad_l1 & 0xC0) == 0)
        fpad_1 = fpad_l1;
    else
        fpad_l1 = static_cast<unsigned char>(fpad_1);
    buf[6] = fpad_l;
    buf[7] = fpad_l1;

    int p = highest;
    const int xpad_ind = (fpad_l1 >> 4) & 3;
    if (xpad_ind == 1) {
        if (p - 3 < lowest) return PAD_RECORD_EMPTY;
        for (int i = 0; i < 4; i++) buf[8 + i] = xpad[p - i];
        return finish(buf, 12);
    }
    if (xpad_ind != 2) return PAD_RECORD_EMPTY;

    int out = 8;
    auto copy_back = [&](int n) {
        while (n-- > 0 && p >= lowest && out < PAD_RECORD_MAX) buf[out++] = xpad[p--];
    };
    if (fpad_l & 0x02) {
        ci = xpad_ci_state_t{};
        while (ci.num_ci < 4 && p >= lowest) {
            const unsigned char c = xpad[p--];
            buf[out++] = c;
            const int app = c & 31;
            if (app == 0) break;  // end marker
            unsigned char ext = 0;
            if (app == 31) {
                if (p < lowest) break;
                ext = xpad[p--];
                buf[out++] = ext;
            }
            ci.xpci[ci.num_ci][0] = c;
            ci.xpci[ci.num_ci][1] = ext;
            ci.num_ci++;
        }
        for (int i = 0; i < ci.num_ci; i++) copy_back(dabcommon::xpad_lengths[ci.xpci[i][0] >> 5]);
    } else {
        if (ci.num_ci == 0) {
            ci.last_padlen = 0;
            return PAD_RECORD_EMPTY;
        }
        // A continuation carries on the last application: MOT or dynamic label.
        const int app = ci.xpci[ci.num_ci - 1][0] & 31;
        unsigned char cont;
        if (app == 12 || app == 13)
            cont = 13;
        else if (app == 2 || app == 3)
            cont = 3;
        else {
            ci.num_ci = 0;
            ci.last_padlen = 0;
            return PAD_RECORD_EMPTY;
        }
        ci = xpad_ci_state_t{{{cont, 0}}, 1, ci.last_padlen};
        copy_back(ci.last_padlen);
    }
    const int copied = out - 8;
    ci.last_padlen = copied;
    if (copied == 0) return PAD_RECORD_EMPTY;
    return finish(buf, out);
}
