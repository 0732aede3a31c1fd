// A data group of an IP over DAB service through its checks up to the send, which finds no
// socket here (none is ever opened: nothing leaves the process); the datagram check on its own.

#include <cstdlib>
#include <cstring>

#include "fuzz/mot_env.h"
#include "ipdab/ip_dec.h"
#include "ipdab/ipoverlib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (ipo.fd >= 0) abort();
    // As ip_init makes it, but without opening the output socket.
    static ip_state_t *is = [] {
        auto *x = static_cast<ip_state_t *>(calloc(1, sizeof(ip_state_t)));
        x->id = 7;
        x->owner = &fuzzenv::mot_decoder();
        x->msc_buf.buf = static_cast<unsigned char *>(malloc(MSC_BUF_SIZE));
        x->msc_buf.max_length = MSC_BUF_SIZE;
        x->pkt.headerlen = 14;
        x->pkt.header[12] = 0x08;
        return x;
    }();
    if (size < 1) return 0;
    p_service_component_t psc{};
    psc.state = is;
    psc.msc_buf = &is->msc_buf;
    size_t len = size - 1;
    if (len > static_cast<size_t>(is->msc_buf.max_length)) len = static_cast<size_t>(is->msc_buf.max_length);
    memcpy(is->msc_buf.buf, data + 1, len);
    is->msc_buf.bl = static_cast<int>(len);
    if (data[0] & 1) fuzzenv::fix_crc(is->msc_buf.buf, len);
    ps_ip_handle(nullptr, nullptr, &psc, 0);

    udp_multicast_t u;
    if (!check_udp_multicast(data, static_cast<int>(size), &u)) {
        if (u.payload < data || u.payload_len < 0 || u.payload + u.payload_len > data + size) abort();
    }
    return 0;
}
