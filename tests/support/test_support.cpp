#include "support/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

int decode_status(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &cwd, const std::string &out,
            const std::string &err) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || o < 0 || e < 0) _exit(126);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

}  // namespace

temp_dir::temp_dir() {
    char tmpl[] = "/tmp/dabtest.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

temp_dir::~temp_dir() {
    if (!path_.empty()) {
        std::string cmd = "rm -rf '" + path_ + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string http_body(const std::string &raw) {
    size_t p = raw.find("\r\n\r\n");
    return p == std::string::npos ? "" : raw.substr(p + 4);
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

run_result run(const std::vector<std::string> &argv, const std::string &cwd, double timeout_s) {
    temp_dir t;
    run_result r;
    pid_t pid = spawn(argv, cwd, t.file("out"), t.file("err"));
    double end = now_s() + timeout_s;
    int st = 0;
    for (;;) {
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid) {
            r.status = decode_status(st);
            break;
        }
        if (now_s() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            r.status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    r.out = read_file(t.file("out"));
    r.err = read_file(t.file("err"));
    return r;
}

child::child(const std::vector<std::string> &argv, const std::string &cwd) {
    static int counter = 0;
    std::string base = (cwd.empty() ? std::string(".") : cwd) + "/child" + std::to_string(getpid()) + "_" +
                       std::to_string(counter++);
    outfile_ = base + ".out";
    errfile_ = base + ".err";
    pid_ = spawn(argv, cwd, outfile_, errfile_);
}

child::~child() {
    if (running()) {
        kill(pid_, SIGKILL);
        wait(10);
    }
}

bool child::running() {
    if (pid_ <= 0 || status_ != -1) return false;
    int st;
    pid_t w = waitpid(pid_, &st, WNOHANG);
    if (w == pid_) {
        status_ = decode_status(st);
        return false;
    }
    return true;
}

void child::signal(int sig) {
    if (running()) kill(pid_, sig);
}

int child::wait(double timeout_s) {
    double end = now_s() + timeout_s;
    while (running()) {
        if (now_s() > end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

std::string child::out() const { return read_file(outfile_); }
std::string child::err() const { return read_file(errfile_); }

bool child::wait_for_output(const std::string &text, double timeout_s) {
    double end = now_s() + timeout_s;
    do {
        if (out().find(text) != std::string::npos || err().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (now_s() < end);
    return false;
}

std::string tcp_exchange(int port, const std::string &request, double timeout_s, bool ipv6) {
    int s = connect_local(port, ipv6);
    if (s < 0) return "";
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(s, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::string out;
    double end = now_s() + timeout_s;
    char buf[8192];
    while (now_s() < end) {
        pollfd p{s, POLLIN, 0};
        int ms = static_cast<int>((end - now_s()) * 1000) + 1;
        if (poll(&p, 1, ms) <= 0) break;
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(s);
    return out;
}

stdout_to_file::stdout_to_file(const std::string &path) : path_(path) {
    fflush(stdout);
    saved_ = dup(1);
    FILE *f = fopen(path.c_str(), "w");
    dup2(fileno(f), 1);
    fclose(f);
}

void stdout_to_file::restore() {
    if (saved_ < 0) return;
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
}

std::string stdout_to_file::text() {
    restore();
    return read_file(path_);
}

cwd_guard::cwd_guard(const std::string &dir) {
    char buf[4096];
    old_ = getcwd(buf, sizeof buf) ? buf : "/";
    EXPECT_EQ(chdir(dir.c_str()), 0);
}

cwd_guard::~cwd_guard() { (void)!chdir(old_.c_str()); }

std::string ini_value(const std::string &text, const std::string &key) {
    size_t at = text.find("\n" + key + " ");
    if (at == std::string::npos) return "<missing>";
    size_t start = at + key.size() + 2;
    return text.substr(start, text.find('\n', start) - start);
}

std::string dabserver_path() { return DABSERVER_BIN; }
std::string source_dir() { return DAB_SOURCE_DIR; }
std::string binary_dir() { return DAB_BINARY_DIR; }

}  // namespace testsupport
