// FIG query reply: the stored records of one type and extension, raw, behind a greeting and a count.

#include <cstdint>
#include <cstring>

#include "httpd/httpd.h"

int httpconn::send_figs(int, int) {
    uint32_t count = 0;
    unsigned char head[fig_reply_head];
    memcpy(head, fig_reply_greeting, sizeof fig_reply_greeting - 1);
    for (int i = 0; i < 4; i++) head[12 + i] = static_cast<unsigned char>(count >> (8 * i));
    post_header(3, nullptr, 0, static_cast<int>(fig_reply_head));
    send_all(s, head, sizeof head);
    return 0;
}
