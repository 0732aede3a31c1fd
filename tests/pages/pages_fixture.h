#pragma once
// One connection over a socket pair against an ensemble whose FIG store and service table
// the test fills by hand.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "httpd/httpd.h"
#include "support/test_support.h"

struct pages_fixture : ::testing::Test {
    testsupport::temp_dir dir;
    ensemble ens;
    int peer = -1;
    std::unique_ptr<httpconn> c;
    std::mutex log_m;
    std::vector<std::string> logged;

    void SetUp() override {
        ens.l->context = this;
        ens.l->logger_callback = [](void *ctx, loglevel_t, int, int, const char *fmt, va_list ap) {
            auto *self = static_cast<pages_fixture *>(ctx);
            char buf[512];
            vsnprintf(buf, sizeof buf, fmt, ap);
            std::lock_guard<std::mutex> g(self->log_m);
            self->logged.emplace_back(buf);
            return 1;
        };
        copy_field(ens.cfg->httpdroot, dir.file("root").c_str());
        copy_field(ens.cfg->hostname, "radio:8000");
        connect_from("192.0.2.7");
    }
    void TearDown() override {
        c.reset();
        if (peer >= 0) close(peer);
        ens.fic_stream->clearall();
    }

    // A fresh connection whose peer has the given address (IPv4 arrives mapped).
    void connect_from(const char *addr) {
        c.reset();
        if (peer >= 0) close(peer);
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
    static std::string body(const std::string &raw) {
        size_t p = raw.find("\r\n\r\n");
        return p == std::string::npos ? "" : raw.substr(p + 4);
    }

    bool was_logged(const std::string &line) {
        std::lock_guard<std::mutex> g(log_m);
        for (const auto &l : logged)
            if (l == line) return true;
        return false;
    }

    template <class R>
    R &add_fig(int type, int ext) {
        fig *f = make_fig_decoder(&ens, type, ext);
        EXPECT_NE(f, nullptr);
        f->ptr->hdr.type = type;
        f->ptr->hdr.ext = ext;
        ens.fic_stream->add_fig(f);
        return *static_cast<R *>(f->ptr);
    }

    struct comp {
        int tmid, subchannel, prot_level, bitrate, ps, scids;
        const char *label;
    };
    // Appends a service to the table (freed by the table's owner).
    void add_service(int sid, int pty, const char *label, const std::vector<comp> &comps) {
        int i = 0;
        while (i < MAX_SERVICES && ens.service[i].sc) i++;
        ASSERT_LT(i, MAX_SERVICES);
        dab_service_t &s = ens.service[i];
        s.sid = sid;
        s.pty = pty;
        copy_field(s.label, label);
        s.numofsc = static_cast<int>(comps.size());
        s.sc = static_cast<dab_component_t *>(calloc(comps.size() + 1, sizeof(dab_component_t)));
        for (size_t j = 0; j < comps.size(); j++) {
            dab_component_t &d = s.sc[j];
            d.tmid = comps[j].tmid;
            d.subchannel = comps[j].subchannel;
            d.prot_level = comps[j].prot_level;
            d.bitrate = comps[j].bitrate;
            d.ps = comps[j].ps;
            d.scids = comps[j].scids;
            copy_field(d.label, comps[j].label);
            d.parent = &s;
        }
    }
};
