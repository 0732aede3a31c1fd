#pragma once
// Servers under comparison run as child processes of the benchmark.

#include <sys/types.h>

#include <string>
#include <vector>

namespace benchsupport {

// Starts argv[0] (a path) in cwd with stdout and stderr into logfile. A user name, when given,
// is the account the program runs as (for servers that refuse to run as root).
pid_t spawn(const std::vector<std::string> &argv, const std::string &cwd, const std::string &logfile,
            const std::string &user = "");

// Sends sig and waits for the exit, SIGKILL after a few seconds.
void stop(pid_t pid, int sig);

// False once the child has exited (it is reaped then).
bool running(pid_t pid);

// The last lines of a log, for a message when a server did not start.
std::string tail(const std::string &file, int lines = 8);

// The first line a command prints (e.g. a version), empty when it cannot be run.
std::string first_line(const std::string &command);

}  // namespace benchsupport
