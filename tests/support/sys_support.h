#pragma once
// Clock, local sockets and /proc for tests and benchmarks alike; no test framework here,
// so that a build without the tests can still use it.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace testsupport {

// Seconds on the steady clock.
double now_s();
double seconds_since(std::chrono::steady_clock::time_point t0);

// A TCP port that was free a moment ago (-1 when none could be had).
int free_port();

// A socket connected to 127.0.0.1:port (or [::1] when ipv6), -1 when refused. A receive
// buffer size is set before connecting, as the window is agreed on then.
int connect_local(int port, bool ipv6 = false, int rcvbuf = 0);

// Asks f every step_ms until it holds or the time is over; f's last answer.
bool wait_until(double seconds, const std::function<bool()> &f, int step_ms = 100);

// Connects until the port accepts or the time is over.
bool wait_for_port(int port, double timeout_s);

// A numeric field of /proc/<pid>/status, e.g. "Threads" or "VmRSS" (in kB); -1 when missing.
long proc_status(pid_t pid, const std::string &key);

}  // namespace testsupport
