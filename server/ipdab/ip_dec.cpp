#include "ipdab/ip_dec.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "mot/crc.h"
#include "mot/msc_dg.h"

packet_callbacks_t default_packet_ip_handler = {
    "IP over DAB", "IP datagrams as UDP multicast", 1, {59}, ps_ip_install, ps_ip_handle, nullptr, ps_ip_free,
    nullptr, nullptr};

namespace {

constexpr unsigned char ether_template[14] = {0x01, 0x00, 0x5E, 0x00, 0x01, 0x02, 0x00,
                                              0x00, 0xDE, 0xAD, 0xBE, 0xEF, 0x08, 0x00};

void count(ip_state_t *is, int type) { is->owner->stat_update_p(&is->stat, type, 1); }

void drop(ip_state_t *is, const char *why) {
    is->owner->e->l->log(LOG_DEBUG, "#%i: IP datagram not forwarded: %s\n", is->id, why);
    count(is, IP_DROPPED);
}

}  // namespace

ip_state_t *ip_init(mot_dec_class *owner, int id) {
    auto *is = static_cast<ip_state_t *>(calloc(1, sizeof(ip_state_t)));
    if (!is) return nullptr;
    is->id = id;
    is->owner = owner;
    is->msc_buf.buf = static_cast<unsigned char *>(malloc(MSC_BUF_SIZE));
    if (!is->msc_buf.buf) {
        free(is);
        return nullptr;
    }
    is->msc_buf.max_length = MSC_BUF_SIZE;
    ip_sync(is);
    if (ipo.open() < 0) {
        free(is->msc_buf.buf);
        free(is);
        return nullptr;
    }
    is->pkt.headerlen = sizeof ether_template;
    memcpy(is->pkt.header, ether_template, sizeof ether_template);
    return is;
}

void ip_sync(ip_state_t *is) { is->msc_buf.bl = 0; }

void *ps_ip_install(void *, packet_state_t *ps, p_service_component_t *psc, packet_info_t *) {
    ip_state_t *is = ip_init(ps->owner, ps->id);
    if (!is) return nullptr;
    // The socket is shared; the interface follows the configuration of the latest install.
    const char *ifname = ps->owner->e->cfg->multicastif;
    if (ipo.set_interface(ifname) < 0) {
        ps->owner->e->l->log(LOG_CRIT, "#%i: IP over DAB: no network interface \"%s\" for multicast output\n", ps->id,
                             ifname);
        free(is->msc_buf.buf);
        free(is);
        return nullptr;
    }
    psc->msc_buf = &is->msc_buf;
    return is;
}

void ps_ip_handle(void *, packet_state_t *, p_service_component_t *psc, int mode) {
    if (mode != 0) return;
    auto *is = static_cast<ip_state_t *>(psc->state);
    const unsigned char *buf = is->msc_buf.buf;
    const int bl = is->msc_buf.bl;
    msc_dg_ses_hdr_t hdr;
    int h = mot_get_msc_dg_ses_hdr(&hdr, buf, bl);
    const int crc = hdr.crcflag ? 2 : 0;
    if (h < 0 || bl - h - crc < 1) return drop(is, "data group shorter than its headers");
    // A segmentation field that matches the rest of the group is no part of the datagram.
    if (bl - h - crc >= 2 && bl - h - 2 - crc == ((buf[h] & 31) << 8 | buf[h + 1])) h += 2;
    if (crc) {
        const unsigned got = stored_crc(buf + bl - 2), want = calc_crc(buf, bl - 2);
        if (got != want) {
            is->owner->e->l->log(LOG_WARN, "#%i: CRC error (expected %04x, got %04x) in IP datagram\n", is->id, got,
                                 want);
            count(is, IP_CRC_ERRORS);
            return;
        }
    }
    if (hdr.dgtype != 0) return;
    is->datagram = const_cast<unsigned char *>(buf) + h;
    is->data_len = bl - h - crc;
    if (is->data_len > static_cast<int>(sizeof is->pkt.payload)) {
        drop(is, "longer than 1500 bytes");
    } else if (is->data_len > 0) {
        memcpy(is->pkt.payload, is->datagram, static_cast<size_t>(is->data_len));
        is->owner->e->l->log(LOG_DEBUG, "#%i: IP-datagram length %i\n", is->id, is->data_len);
        const unsigned char *d = is->pkt.payload;
        // The Ethernet multicast address of the group.
        const bool group = is->data_len >= 20 && d[16] >= 224 && d[16] <= 239;
        is->pkt.header[3] = group ? d[17] & 0x7F : 0;
        is->pkt.header[4] = group ? d[18] : 0;
        is->pkt.header[5] = group ? d[19] : 0;
        is->pkt.payloadlen = static_cast<unsigned>(is->data_len);
        const char *why = nullptr;
        const int r = ipo.put_packet(&is->pkt, &why);
        if (r > 0) {
            count(is, IP_FORWARDED);
        } else if (r == 0) {
            drop(is, why);
        } else {
            count(is, IP_SEND_ERRORS);
            const time_t now = time(nullptr);
            if (now - is->last_send_error >= 10) {
                is->last_send_error = now;
                is->owner->e->l->log(LOG_WARN, "#%i: IP over DAB: sending the datagram failed: %s\n", is->id,
                                     strerror(errno));
            }
        }
    }
    if (is->out_handler) is->out_handler(is);
}

void ps_ip_free(void *, packet_state_t *, p_service_component_t *psc) {
    if (!psc || !psc->state) return;
    auto *is = static_cast<ip_state_t *>(psc->state);
    free(is->msc_buf.buf);
    free(is);
}
