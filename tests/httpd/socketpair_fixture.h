#pragma once
// An httpconn on one end of a socket pair, the test as its client on the other end, with
// the ensemble's log captured.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/plattform.h"
#include "httpd/httpd.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace httptest {

struct socketpair_fixture : ::testing::Test {
    testsupport::temp_dir dir;
    testsupport::log_capture captured;
    ensemble ens;
    int peer = -1;
    std::unique_ptr<httpconn> c;

    // No connection yet: fixtures finish the configuration first.
    void SetUp() override {
        captured.attach(ens.l);
        copy_field(ens.cfg->httpdroot, dir.file("root").c_str());
        copy_field(ens.cfg->hostname, "radio:8000");
    }
    void TearDown() override { close_conn(); }

    // A fresh connection whose peer has the given address (IPv4 arrives mapped).
    void connect_from(const char *addr) {
        close_conn();
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        peer = sv[1];
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        std::string text = addr;
        if (text.find(':') == std::string::npos) text = "::ffff:" + text;
        ASSERT_EQ(inet_pton(AF_INET6, text.c_str(), &a.sin6_addr), 1);
        c = std::make_unique<httpconn>(&ens, sv[0], &a);
    }
    void close_conn() {
        c.reset();
        if (peer >= 0) close(peer);
        peer = -1;
    }
    // Everything the connection wrote, once it is closed.
    std::string answer() {
        c.reset();
        std::string out;
        char buf[65536];
        for (;;) {
            ssize_t n = recv(peer, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    bool was_logged(const std::string &text) const { return captured.has(text); }
};

}  // namespace httptest
