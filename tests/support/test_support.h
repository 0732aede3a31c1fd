#pragma once
// Helpers shared by the tests: scratch directories, child processes and sockets.

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/sys_support.h"

namespace testsupport {

// A scratch directory, removed with everything in it when the object goes.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);

struct run_result {
    int status = -1;  // exit status, or 128 + signal, or -1 on time-out
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs a program to its end (killed after timeout_s seconds).
run_result run(const std::vector<std::string> &argv, const std::string &cwd = "", double timeout_s = 60);

// A child process running in the background; output goes to files in the working directory.
class child {
public:
    child(const std::vector<std::string> &argv, const std::string &cwd);
    ~child();  // kills the child if it still runs
    child(const child &) = delete;
    child &operator=(const child &) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    void signal(int sig);
    // Waits for the end; returns exit status (128 + signal when killed), -1 on time-out.
    int wait(double timeout_s);
    std::string out() const;
    std::string err() const;
    // Waits until standard output (or error) contains text.
    bool wait_for_output(const std::string &text, double timeout_s);

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outfile_, errfile_;
};

// Sends raw bytes to 127.0.0.1:port (or [::1] when ipv6) and reads until the peer closes.
std::string tcp_exchange(int port, const std::string &request, double timeout_s = 10, bool ipv6 = false);

// What an HTTP answer carries after its header ("" without one).
std::string http_body(const std::string &raw);

// Standard output goes to a file while alive, or until restore().
class stdout_to_file {
public:
    explicit stdout_to_file(const std::string &path);
    ~stdout_to_file() { restore(); }
    stdout_to_file(const stdout_to_file &) = delete;
    stdout_to_file &operator=(const stdout_to_file &) = delete;
    void restore();
    // Restores standard output and returns what was written meanwhile.
    std::string text();

private:
    std::string path_;
    int saved_ = -1;
};

// Working directory changed while alive (a failed change fails the test).
class cwd_guard {
public:
    explicit cwd_guard(const std::string &dir);
    ~cwd_guard();
    cwd_guard(const cwd_guard &) = delete;
    cwd_guard &operator=(const cwd_guard &) = delete;

private:
    std::string old_;
};

// Value of "key value" in a written configuration file, "<missing>" without one.
std::string ini_value(const std::string &text, const std::string &key);

std::string dabserver_path();
std::string source_dir();
std::string binary_dir();

}  // namespace testsupport
