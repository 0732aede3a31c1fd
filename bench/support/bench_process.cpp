#include "support/bench_process.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>

namespace benchsupport {

pid_t spawn(const std::vector<std::string> &argv, const std::string &cwd, const std::string &logfile,
            const std::string &user) {
    // Looked up before fork: getpwnam is not safe in the child of a threaded program.
    const passwd *pw = user.empty() ? nullptr : getpwnam(user.c_str());
    if (!user.empty() && !pw) return -1;
    const uid_t uid = pw ? pw->pw_uid : 0;
    const gid_t gid = pw ? pw->pw_gid : 0;
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (chdir(cwd.c_str()) != 0) _exit(127);
    int fd = open(logfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
    }
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) {
        dup2(null, 0);
        close(null);
    }
    if (pw && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
    execv(args[0], args.data());
    dprintf(2, "cannot run %s: %s\n", args[0], strerror(errno));
    _exit(127);
}

void stop(pid_t pid, int sig) {
    if (pid <= 0) return;
    kill(pid, sig);
    for (int i = 0; i < 250; i++) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) return;
        usleep(20000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool running(pid_t pid) { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

std::string tail(const std::string &file, int lines) {
    std::ifstream f(file);
    std::deque<std::string> last;
    std::string line;
    while (std::getline(f, line)) {
        last.push_back(line);
        if (static_cast<int>(last.size()) > lines) last.pop_front();
    }
    std::string out;
    for (auto &l : last) out += "  " + l + "\n";
    return out;
}

std::string first_line(const std::string &command) {
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return "";
    char buf[256] = {};
    std::string line = fgets(buf, sizeof buf, p) ? buf : "";
    pclose(p);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

}  // namespace benchsupport
