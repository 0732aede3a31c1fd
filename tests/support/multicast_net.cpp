#include "support/multicast_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testsupport {
namespace {

bool write_proc(const char *file, const std::string &text) {
    int fd = open(file, O_WRONLY);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

std::string enter(void) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWNET) != 0) {
        // Without the privilege a user namespace brings it along.
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return std::string("no network namespace: ") + strerror(errno);
        write_proc("/proc/self/setgroups", "deny");
        if (!write_proc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_proc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return "no user id mapping in the new namespace";
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return std::string("socket: ") + strerror(errno);
    ifreq ifr{};
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    std::string err;
    if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0) {
        err = std::string("lo: ") + strerror(errno);
    } else {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING | IFF_MULTICAST);
        if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) err = std::string("lo up: ") + strerror(errno);
    }
    if (err.empty()) {
        rtentry rt{};
        auto *dst = reinterpret_cast<sockaddr_in *>(&rt.rt_dst);
        auto *mask = reinterpret_cast<sockaddr_in *>(&rt.rt_genmask);
        dst->sin_family = mask->sin_family = AF_INET;
        dst->sin_addr.s_addr = htonl(0xE0000000);
        mask->sin_addr.s_addr = htonl(0xF0000000);
        rt.rt_flags = RTF_UP;
        char dev[] = "lo";
        rt.rt_dev = dev;
        if (ioctl(s, SIOCADDRT, &rt) != 0) err = std::string("multicast route: ") + strerror(errno);
    }
    close(s);
    return err;
}

}  // namespace

bool private_multicast_net(std::string &why) {
    static int state = 0;  // 1 entered, -1 failed
    static std::string reason;
    if (!state) {
        reason = enter();
        state = reason.empty() ? 1 : -1;
    }
    why = reason;
    return state > 0;
}

multicast_receiver::multicast_receiver(const char *group, int port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    if (fd_ < 0) return;
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd_, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, group, &a.sin_addr);
    ip_mreqn m{};
    m.imr_multiaddr = a.sin_addr;
    m.imr_ifindex = static_cast<int>(if_nametoindex("lo"));
    if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

multicast_receiver::~multicast_receiver() {
    if (fd_ >= 0) close(fd_);
}

bool multicast_receiver::receive(std::string &payload, int &ttl, double timeout_s) {
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || poll(&p, 1, static_cast<int>(timeout_s * 1000)) != 1) return false;
    char buf[2048], control[256];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &msg, 0);
    if (n < 0) return false;
    payload.assign(buf, static_cast<size_t>(n));
    ttl = -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
    return true;
}

}  // namespace testsupport
