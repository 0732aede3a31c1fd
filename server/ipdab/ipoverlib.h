#pragma once
// The multicast output of IP over DAB: one UDP socket for the whole process.

#include <net/if.h>

#include <cstdint>
#include <mutex>

// An IPv4 datagram behind an Ethernet header.
typedef struct ipover_packet_s {
    unsigned int headerlen;
    unsigned int payloadlen;
    unsigned char header[14];
    unsigned char payload[1500];
} ipover_packet_t;

// Where a checked UDP datagram goes and what it carries (points into the datagram).
struct udp_multicast_t {
    uint8_t group[4];
    uint16_t port;
    uint8_t ttl;
    const unsigned char *payload;
    int payload_len;
};

// Null when the len bytes at d are one whole UDP datagram to an IPv4 multicast group (then
// out describes it), else the reason it is not.
const char *check_udp_multicast(const unsigned char *d, int len, udp_multicast_t *out);

class ipover {
public:
    explicit ipover(int);
    ~ipover();
    ipover(const ipover &) = delete;
    ipover &operator=(const ipover &) = delete;

    // Opens the socket unless it is open: the descriptor, or a negative value.
    int open();
    // The interface the datagrams leave by; empty leaves the choice to the routes. -1 when
    // there is no such interface.
    int set_interface(const char *ifname);
    // 1 sent, 0 not forwarded (why says why), -1 the send failed (errno).
    int put_packet(const ipover_packet_t *p, const char **why);
    void close();

    int fd;
    char device[IF_NAMESIZE];  // the interface set, empty: by route

private:
    std::mutex lock_;  // the time-to-live and the send go together
};

extern ipover ipo;
