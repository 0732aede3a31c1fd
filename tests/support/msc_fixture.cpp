#include "support/msc_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace mscfake {

state &st() {
    static state s;
    return s;
}

namespace {

int fake_open(const char *, int) { return ::open("/dev/null", O_RDWR); }
int fake_close(int fd) { return ::close(fd); }

int fake_ioctl(int, unsigned long req, void *arg) {
    auto &s = st();
    std::lock_guard<std::mutex> g(s.m);
    switch (req) {
        case DRV_GET_VERSION: *static_cast<int *>(arg) = 1; return 0;
        case DRV_GET_REMOVED: *static_cast<int *>(arg) = s.removed; return 0;
        case DRV_GET_OVERRUNS: *static_cast<int *>(arg) = s.overruns; return 0;
        case DRV_RESET: return 0;
        case DRV_BULK: {
            auto *b = static_cast<bulk_transfer_t *>(arg);
            // Module memory reads as zeros: never busy, no message waiting.
            if (b->pipe == 0)
                std::memset(b->data, 0, sizeof b->data);
            else
                s.bulks.push_back(*b);
            return 0;
        }
        case DRV_WRITE_MSG: {
            auto *msg = static_cast<dab_module_msg_t *>(arg);
            bytes sent(msg->buf, msg->buf + std::clamp(msg->size, 0, 1024));
            s.sent.push_back(sent);
            if (s.responder && !sent.empty()) {
                bytes a = s.responder(sent);
                if (!a.empty()) s.queue.push_back(a);
            }
            return 1;
        }
        case DRV_NEW_MSG: *static_cast<int *>(arg) = !s.queue.empty(); return 0;
        case DRV_READ_MSG: {
            auto *msg = static_cast<dab_module_msg_t *>(arg);
            msg->size = 0;
            if (!s.queue.empty()) {
                const bytes &a = s.queue.front();
                const size_t n = std::min(a.size(), sizeof msg->buf);
                std::memcpy(msg->buf, a.data(), n);
                msg->size = static_cast<int>(n);
                s.queue.pop_front();
            }
            return 0;
        }
        default: return -1;
    }
}

const device_provider provider = {"mscfake:", fake_open, fake_ioctl, fake_close};

}  // namespace

void install() {
    auto &s = st();
    {
        std::lock_guard<std::mutex> g(s.m);
        s.removed = 0;
        s.overruns = 0;
        s.responder = nullptr;
        s.sent.clear();
        s.queue.clear();
        s.bulks.clear();
    }
    device_register_provider(&provider);
}

void uninstall() { device_unregister_provider("mscfake:"); }

}  // namespace mscfake

void msc_fixture::SetUp() {
    mscfake::install();
    ens = new ensemble();
    m = ens->msc_stream;
    captured.attach(ens->l);
    ens->rbuff->init_ring_buffer(1);
}

void msc_fixture::TearDown() {
    if (ens->cfg->fd >= 0) ens->api->close_driver();
    ens->fic_stream->clearall();
    delete ens;
    ens = nullptr;
    mscfake::uninstall();
}

void msc_fixture::open_module(bool usb) {
    copy_field(ens->cfg->device, "mscfake:0");
    ASSERT_EQ(ens->api->open_driver(), 1);
    ens->api->usb = usb ? 1 : 0;
}

int msc_fixture::count_logged(const std::string &prefix) const {
    const auto lines = captured.texts();
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string &l) { return l.rfind(prefix, 0) == 0; }));
}

template <class T>
T &msc_fixture::add(int type, int ext) {
    fig *f = make_fig_decoder(ens, type, ext);
    EXPECT_NE(f, nullptr);
    f->ptr->hdr.type = type;
    f->ptr->hdr.ext = ext;
    ens->fic_stream->add_fig(f);
    return *static_cast<T *>(f->ptr);
}

sub_channel_organization_t &msc_fixture::add_subchannel_long(int subchid, int option, int level, int size) {
    auto &r = add<sub_channel_organization_t>(0, 1);
    r.subchid = subchid;
    r.short_long = 1;
    r.option = option;
    r.protection_level = level;
    r.sub_channel_size = size;
    r.bitrate = option == 0 ? size * 8 / std::array<int, 4>{12, 8, 6, 4}[static_cast<size_t>((level - 1) & 3)]
                            : size * 32 / std::array<int, 4>{27, 21, 18, 15}[static_cast<size_t>((level - 1) & 3)];
    return r;
}

sub_channel_organization_t &msc_fixture::add_subchannel_short(int subchid, int table_index, int table_switch) {
    auto &r = add<sub_channel_organization_t>(0, 1);
    r.subchid = subchid;
    r.short_long = 0;
    r.table_switch = table_switch;
    r.table_index = table_index;
    r.sub_channel_size = modes[static_cast<size_t>(table_index)].sub_channel_size;
    r.protection_level = modes[static_cast<size_t>(table_index)].protection_level;
    r.bitrate = modes[static_cast<size_t>(table_index)].bitrate;
    return r;
}

service_organization_t &msc_fixture::add_service(int sid, const std::vector<comp> &comps) {
    auto &r = add<service_organization_t>(0, 2);
    r.sid = sid;
    r.num_of_sc = static_cast<int>(comps.size());
    for (size_t j = 0; j < comps.size() && j < 16; j++) {
        auto &d = r.service_comp_desc[j];
        d.tmid = comps[j].tmid;
        d.ps = comps[j].ps;
        if (d.tmid == 3) {
            d.scid = comps[j].subchid_or_scid;
            d.scty = d.scid >> 6;
            d.subchid = d.scid & 63;
        } else {
            d.subchid = comps[j].subchid_or_scid;
        }
    }
    return r;
}

service_component_packet_t &msc_fixture::add_packet_component(int scid, int subchid) {
    auto &r = add<service_component_packet_t>(0, 3);
    r.scid = scid;
    r.subchid = subchid;
    return r;
}

service_component_global_definition_t &msc_fixture::add_global_definition(int sid, int scids, int subchid) {
    auto &r = add<service_component_global_definition_t>(0, 8);
    r.sid = sid;
    r.scids = scids;
    r.subchid_fidcid = subchid;
    return r;
}

dablabel_t &msc_fixture::add_label(int ext, int id, const char *name, int char_flag, int scids) {
    auto &r = add<dablabel_t>(1, ext);
    r.id = id;
    r.scids = scids;
    r.char_flag = char_flag;
    copy_field(r.name, name);
    int k = 0;
    for (int i = 0; i < 16 && r.name[i]; i++)
        if (char_flag & (0x8000 >> i)) r.short_name[k++] = r.name[i];
    return r;
}

programme_type_t &msc_fixture::add_pty(int sid, int int_code) {
    auto &r = add<programme_type_t>(0, 17);
    r.sid = sid;
    r.int_code = int_code;
    return r;
}

ensemble_information_t &msc_fixture::add_ensemble(int eid) {
    auto &r = add<ensemble_information_t>(0, 0);
    r.eid = eid;
    return r;
}

void msc_fixture::add_audio_programme(int sid, int subchid, int table_index) {
    add_service(sid, {{0, subchid, 1}});
    add_subchannel_short(subchid, table_index);
    char name[17];
    snprintf(name, sizeof name, "Prog %d", subchid);
    add_label(1, sid, name, 0xF000);
}

std::vector<unsigned char> msc_fixture::ring(int stream, int part) {
    prbuff_t r = ens->rbuff->get_streambuf(stream);
    if (!r || !r->ptr[part]) return {};
    const unsigned long n = std::min(r->writeptr[part].load(), r->bufsize[part]);
    return std::vector<unsigned char>(r->ptr[part], r->ptr[part] + n);
}
