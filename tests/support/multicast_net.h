#pragma once
// A network of this test process alone, for tests that make the server send multicast:
// only the loopback interface, with the multicast routes on it. Nothing leaves the machine.

#include <string>

namespace testsupport {

// Moves the process into its own network namespace (once; later calls report the first
// result). Call it before any thread starts. False, with the reason, when that cannot be done:
// the caller then skips, it never falls back to the host's network.
bool private_multicast_net(std::string &why);

// A UDP socket joined to a multicast group on the loopback interface.
class multicast_receiver {
public:
    multicast_receiver(const char *group, int port);
    ~multicast_receiver();
    multicast_receiver(const multicast_receiver &) = delete;
    multicast_receiver &operator=(const multicast_receiver &) = delete;
    bool ok() const { return fd_ >= 0; }
    // One datagram within the time: its payload and the time-to-live it arrived with.
    bool receive(std::string &payload, int &ttl, double timeout_s);

private:
    int fd_;
};

}  // namespace testsupport
