#include "support/sys_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

namespace testsupport {

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool wait_until(double seconds, const std::function<bool()> &f, int step_ms) {
    const double end = now_s() + seconds;
    while (now_s() < end) {
        if (f()) return true;
        usleep(static_cast<useconds_t>(step_ms) * 1000);
    }
    return f();
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

int connect_local(int port, bool ipv6, int rcvbuf) {
    sockaddr_storage st{};
    socklen_t len;
    if (ipv6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&st);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&st);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof *a;
    }
    int s = socket(st.ss_family, SOCK_STREAM, 0);
    if (s < 0) return -1;
    if (rcvbuf) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (connect(s, reinterpret_cast<sockaddr *>(&st), len) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool wait_for_port(int port, double timeout_s) {
    double end = now_s() + timeout_s;
    do {
        int s = connect_local(port);
        if (s >= 0) {
            close(s);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (now_s() < end);
    return false;
}

long proc_status(pid_t pid, const std::string &key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
    return -1;
}

}  // namespace testsupport
