// Packets of a packet-mode subchannel: checked, assembled into data groups per address, the
// groups handed to the MOT decoder (address 1) and to a service that checks each one (address 2).

#include <cstdlib>
#include <cstring>

#include "fuzz/mot_env.h"
#include "mot/msc_dg.h"
#include "mot/packet.h"

namespace {

msc_buf_t *check_buf;

void *check_install(void *, packet_state_t *, p_service_component_t *psc, packet_info_t *) {
    psc->msc_buf = check_buf = msc_buffer_init();
    return check_buf;
}

void check_group(void *, packet_state_t *, p_service_component_t *psc, int error) {
    const msc_buf_t *b = psc->msc_buf;
    if (b->bl < 0 || b->bl > b->max_length) abort();
    if (error) return;
    msc_dg_ses_hdr_t h;
    mot_get_msc_dg_ses_hdr(&h, b->buf, b->bl);
}

void check_free(void *, packet_state_t *, p_service_component_t *psc) { msc_buffer_free(psc->msc_buf); }

packet_callbacks_t checker = {"Check", "fuzz", 1, {5}, check_install, check_group, nullptr, check_free, nullptr,
                              nullptr};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir = fuzzenv::temp_dir() + "/packet";
    packet_state_t *ps = init_packet(&fuzzenv::mot_decoder(), 6, dir.c_str(), "");
    if (!ps) abort();
    packet_info_t mot{6, 1, 0x7001, 60, 1, "MOT", nullptr};
    packet_info_t other{6, 2, 0x7002, 5, 2, "Other", nullptr};
    if (ps_install_service(ps, &mot, &default_packet_mot_handler, 60) != 1 ||
        ps_install_service(ps, &other, &checker, 5) != 1)
        abort();
    fuzzenv::input in{data, size};
    // Each packet: a control byte (CRC put right) and the packet, padded to its length.
    while (in.n) {
        const int ctl = in.byte();
        unsigned char pkt[96] = {};
        const uint8_t *p;
        const size_t n = in.take(in.n ? 24 * (1 + (in.p[0] >> 6)) : 0, &p);
        memcpy(pkt, p, n);
        if (ctl & 1) fuzzenv::fix_crc(pkt, 24 * (1 + (pkt[0] >> 6)));
        parse_packet(ps, pkt);
    }
    packet_free(ps);
    return 0;
}
