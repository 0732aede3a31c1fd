// FIG query reply: the stored records of one type and extension, raw, behind a greeting and a count.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/ensemble.h"
#include "core/log.h"
#include "datapath/fic.h"
#include "httpd/httpd.h"

namespace {

// Room for the largest record of any type.
constexpr size_t fig_record_buffer = 10240;

}  // namespace

int httpconn::send_figs(int type, int ext) {
    auto *first = static_cast<gen_data_t *>(malloc(fig_record_buffer));
    if (!first) {
        status = 503;
        post_header(0, nullptr, 0, 0);
        return 0;
    }
    // findall frees the buffer itself when it finds nothing.
    int count = e->fic_stream->findall(first, type, ext);
    if (count <= 0) first = nullptr;

    // The length is the sum of what is sent, so that it holds even for records of mixed sizes.
    uint64_t total = fig_reply_head;
    for (gen_data_t *g = first; g; g = fig_next(g))
        if (g->datasize > 0) total += static_cast<uint32_t>(g->datasize);

    unsigned char head[fig_reply_head];
    memcpy(head, fig_reply_greeting, sizeof fig_reply_greeting - 1);
    uint32_t n = static_cast<uint32_t>(count > 0 ? count : 0);
    for (int i = 0; i < 4; i++) head[12 + i] = static_cast<unsigned char>(n >> (8 * i));

    post_header(3, nullptr, 0, total > INT32_MAX ? 0 : static_cast<int>(total));
    bool ok = send_all(s, head, sizeof head);
    for (gen_data_t *g = first; g;) {
        gen_data_t *next = fig_next(g);
        // The chain link is a local address: it does not leave the process.
        fig_clear_link(g);
        if (ok && g->datasize > 0) ok = send_all(s, g, static_cast<size_t>(g->datasize));
        free(g);
        g = next;
    }
    return 0;
}
