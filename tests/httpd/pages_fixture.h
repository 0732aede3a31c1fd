#pragma once
// One connection over a socket pair against an ensemble whose FIG store and service table
// the test fills by hand.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "httpd/httpd.h"
#include "httpd/socketpair_fixture.h"
#include "support/test_support.h"

struct pages_fixture : httptest::socketpair_fixture {
    void SetUp() override {
        socketpair_fixture::SetUp();
        connect_from("192.0.2.7");
    }
    void TearDown() override {
        socketpair_fixture::TearDown();
        ens.fic_stream->clearall();
    }

    static std::string body(const std::string &raw) { return testsupport::http_body(raw); }

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
