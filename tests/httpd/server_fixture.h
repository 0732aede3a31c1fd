#pragma once
// A real dabserver in emulation with a prepared document root, and a small HTTP client.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "support/test_support.h"

namespace httptest {

struct answer {
    std::string raw;
    int status = 0;
    std::string head;  // status line and header lines
    std::string body;

    explicit answer(std::string r) : raw(std::move(r)) {
        size_t end = raw.find("\r\n\r\n");
        head = raw.substr(0, end == std::string::npos ? raw.size() : end + 2);
        if (end != std::string::npos) body = raw.substr(end + 4);
        if (raw.rfind("HTTP/1.0 ", 0) == 0) status = std::atoi(raw.c_str() + 9);
    }
    bool has_header(const std::string &line) const { return head.find("\r\n" + line + "\r\n") != std::string::npos; }
    std::string header(const std::string &name) const {
        size_t p = head.find("\r\n" + name + ": ");
        if (p == std::string::npos) return "";
        p += name.size() + 4;
        return head.substr(p, head.find("\r\n", p) - p);
    }
};

class server {
public:
    explicit server(const std::string &dir, const std::string &root, const std::string &passwd) {
        port_ = testsupport::free_port();
        std::string host = "localhost:" + std::to_string(port_);
        proc_ = std::make_unique<testsupport::child>(
            std::vector<std::string>{testsupport::dabserver_path(), "-E", "-m", "-p", std::to_string(port_), "-R", root,
                                     "-P", passwd, "-H", host, "-l", "99", "1"},
            dir);
    }
    bool ready() { return proc_->wait_for_output("httpd: daemon started", 30) && testsupport::wait_for_port(port_, 10); }
    int port() const { return port_; }
    std::string host() const { return "localhost:" + std::to_string(port_); }
    pid_t pid() const { return proc_->pid(); }
    std::string log() const { return proc_->out(); }
    answer get(const std::string &request, bool ipv6 = false, double timeout = 10) {
        return answer(testsupport::tcp_exchange(port_, request, timeout, ipv6));
    }
    // Ends the server as CTRL-C does; its exit status.
    int stop() {
        proc_->signal(SIGINT);
        return proc_->wait(30);
    }

private:
    int port_;
    std::unique_ptr<testsupport::child> proc_;
};

}  // namespace httptest
