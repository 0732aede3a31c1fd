#pragma once
// An ensemble with its log captured, FIG records placed straight into the store and a
// scripted receiver module behind the "mscfake:" device prefix (message variant).

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "datapath/ringbuff.h"
#include "module/dabapi.h"
#include "support/log_capture.h"

namespace mscfake {

using bytes = std::vector<unsigned char>;

struct state {
    std::mutex m;
    int removed = 0;
    int overruns = 0;
    // Answer to each message the host sends (empty: no answer).
    std::function<bytes(const bytes &)> responder;
    std::vector<bytes> sent;
    std::deque<bytes> queue;
    std::vector<bulk_transfer_t> bulks;  // requests to the module (pipe 1)
};

state &st();
void install();
void uninstall();

}  // namespace mscfake

class msc_fixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens the fake module; usb selects the memory-mailbox variant (names, removal).
    void open_module(bool usb);

    sub_channel_organization_t &add_subchannel_long(int subchid, int option, int level, int size);
    sub_channel_organization_t &add_subchannel_short(int subchid, int table_index, int table_switch = 0);
    struct comp {
        int tmid, subchid_or_scid, ps;
    };
    service_organization_t &add_service(int sid, const std::vector<comp> &comps);
    service_component_packet_t &add_packet_component(int scid, int subchid);
    service_component_global_definition_t &add_global_definition(int sid, int scids, int subchid);
    dablabel_t &add_label(int ext, int id, const char *name, int char_flag, int scids = 0);
    programme_type_t &add_pty(int sid, int int_code);
    ensemble_information_t &add_ensemble(int eid);

    // One audio service per subchannel, with labels "Prog <n>".
    void add_audio_programme(int sid, int subchid, int table_index);

    // Bytes of ring buffer part written so far (the tests stay below one buffer).
    std::vector<unsigned char> ring(int stream, int part);

    bool logged(const std::string &text) const { return captured.has(text); }
    int count_logged(const std::string &prefix) const;

    testsupport::log_capture captured;
    ensemble *ens = nullptr;
    msc *m = nullptr;

private:
    template <class T>
    T &add(int type, int ext);
};
