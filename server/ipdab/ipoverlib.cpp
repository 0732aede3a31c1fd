#include "ipdab/ipoverlib.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/plattform.h"

ipover ipo(0);

const char *check_udp_multicast(const unsigned char *d, int len, udp_multicast_t *out) {
    if (len < 20) return "shorter than an IP header";
    if (d[0] >> 4 != 4) return "not IPv4";
    const int ihl = (d[0] & 0x0F) * 4;
    if (ihl < 20) return "IP header length below 20 bytes";
    if (ihl > len) return "IP header longer than the datagram";
    if (d[9] != 17) return "not UDP";
    if ((d[16] & 0xF0) != 0xE0) return "not to a multicast group";
    // Only a first fragment holds the UDP header, and even it not the whole payload.
    if ((d[6] & 0x20) || ((d[6] & 0x1F) << 8 | d[7])) return "a fragment";
    if (ihl + 8 > len) return "UDP header outside the datagram";
    const unsigned char *u = d + ihl;
    const int udp_len = u[4] << 8 | u[5];
    if (udp_len < 8 || udp_len > len - ihl) return "UDP length does not fit the datagram";
    const int port = u[2] << 8 | u[3];
    if (!port) return "destination port 0";
    memcpy(out->group, d + 16, 4);
    out->port = static_cast<uint16_t>(port);
    out->ttl = d[8];
    out->payload = u + 8;
    out->payload_len = udp_len - 8;
    return nullptr;
}

ipover::ipover(int) : fd(-1), device() {}

ipover::~ipover() { close(); }

int ipover::open() {
    std::lock_guard<std::mutex> g(lock_);
    if (fd >= 0) return fd;
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        fprintf(stderr, "socket() failed.\n");
        return s;
    }
    unsigned char loop = 1;
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0)
        fprintf(stderr, "setsockopt IP_MULTICAST_LOOP failed.  multicast in kernel?\n");
    fd = s;
    return fd;
}

int ipover::set_interface(const char *ifname) {
    std::lock_guard<std::mutex> g(lock_);
    if (fd < 0) return -1;
    ip_mreqn m{};
    if (ifname && *ifname) {
        m.imr_ifindex = static_cast<int>(if_nametoindex(ifname));
        if (!m.imr_ifindex) return -1;
    }
    // Index 0 and no address: back to the routes' choice.
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &m, sizeof m) < 0) return -1;
    copy_field(device, m.imr_ifindex ? ifname : "");
    return 0;
}

int ipover::put_packet(const ipover_packet_t *p, const char **why) {
    const char *reason = nullptr;
    udp_multicast_t u{};
    if (p->headerlen != 14 || p->header[12] != 0x08 || p->header[13] != 0x00)
        reason = "not IPv4";
    else if (p->payloadlen > sizeof p->payload)
        reason = "longer than 1500 bytes";
    else
        reason = check_udp_multicast(p->payload, static_cast<int>(p->payloadlen), &u);
    if (reason) {
        if (why) *why = reason;
        return 0;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    memcpy(&to.sin_addr, u.group, 4);
    to.sin_port = htons(u.port);
    std::lock_guard<std::mutex> g(lock_);
    if (fd < 0) return -1;
    unsigned char ttl = u.ttl;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0) return -1;
    if (sendto(fd, u.payload, static_cast<size_t>(u.payload_len), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
        return -1;
    return 1;
}

void ipover::close() {
    std::lock_guard<std::mutex> g(lock_);
    if (fd >= 0) ::close(fd);
    fd = -1;
}
