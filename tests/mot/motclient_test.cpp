// MOT stream client: URLs, refused HTTP opens, FIG query replies and the decoder's view of the
// ensemble, built once from the FIG store and once from a loopback HTTP server.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "datapath/datapath_env.h"
#include "datapath/fic.h"
#include "datapath/ringbuff.h"
#include "mot/fig_utils.h"
#include "mot/http.h"
#include "mot/motmain.h"
#include "support/test_support.h"

namespace {

std::string le32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; i++) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i) & 0xFF);
    return s;
}

template <class R>
R blank(int type, int ext) {
    R r;
    std::memset(static_cast<void *>(&r), 0, sizeof r);
    r.datasize = static_cast<int32_t>(sizeof r);
    r.hdr.type = type;
    r.hdr.ext = ext;
    return r;
}

template <class R>
std::string bytes_of(const R &r) {
    return std::string(reinterpret_cast<const char *>(&r), sizeof r);
}

std::string reply(uint32_t count, const std::vector<std::string> &recs, const char *greeting = "Hallo Zolbe\n") {
    std::string s = std::string(greeting) + le32(count);
    for (const auto &r : recs) s += r;
    return s;
}

bool send_text(int fd, const std::string &s) {
    for (size_t done = 0; done < s.size();) {
        ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Listens on 127.0.0.1; each connection's request is read up to its blank line, then the
// handler answers and the connection is closed.
class loop_server {
public:
    using handler = std::function<void(int fd, const std::string &request)>;
    explicit loop_server(handler h) : h_(std::move(h)) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd_, 8) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
            ADD_FAILURE() << "no loopback listener";
            return;
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~loop_server() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    int port() const { return port_; }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> g(m_);
        return requests_;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            std::string req;
            char buf[512];
            while (req.find("\n\n") == std::string::npos && req.find("\r\n\r\n") == std::string::npos) {
                pollfd q{c, POLLIN, 0};
                if (poll(&q, 1, 5000) <= 0) break;
                ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                req.append(buf, static_cast<size_t>(n));
            }
            {
                std::lock_guard<std::mutex> g(m_);
                requests_.push_back(req);
            }
            h_(c, req);
            close(c);
        }
    }
    handler h_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    std::vector<std::string> requests_;
};

// Raw records by (type, ext), in the order a reply or a findall lists them.
struct fig_records {
    std::map<std::pair<int, int>, std::vector<std::string>> kinds;

    template <class R>
    void add(const R &r) {
        kinds[{r.hdr.type, r.hdr.ext}].push_back(bytes_of(r));
    }
    std::string body(int type, int ext) const {
        auto it = kinds.find({type, ext});
        if (it == kinds.end()) return reply(0, {});
        return reply(static_cast<uint32_t>(it->second.size()), it->second);
    }
    // The store answers newest first: added last to first.
    void store(ensemble &ens) const {
        for (const auto &k : kinds)
            for (auto r = k.second.rbegin(); r != k.second.rend(); ++r) {
                fig *f = make_fig_decoder(&ens, k.first.first, k.first.second);
                ASSERT_NE(f, nullptr);
                ASSERT_EQ(static_cast<size_t>(f->ptr->datasize), r->size());
                std::memcpy(static_cast<void *>(f->ptr), r->data(), r->size());
                ens.fic_stream->add_fig(f);
            }
    }
};

fig_records ensemble_figs(int audio_subchannel) {
    fig_records f;
    auto foreign = blank<ensemble_information_t>(0, 0);
    foreign.hdr.oe = 1;
    foreign.eid = 0x1111;
    f.add(foreign);
    auto own = blank<ensemble_information_t>(0, 0);
    own.eid = 0xC1D1;
    f.add(own);
    for (int id : {1, 5, 6, 70}) {
        auto s = blank<sub_channel_organization_t>(0, 1);
        s.subchid = id;
        f.add(s);
    }
    auto audio = blank<service_organization_t>(0, 2);
    audio.sid = 0xD101;
    audio.num_of_sc = 1;
    audio.service_comp_desc[0].subchid = audio_subchannel;
    f.add(audio);
    auto data = blank<service_organization_t>(0, 2);
    data.sid = 0xD102;
    data.num_of_sc = 2;
    for (auto &c : {&data.service_comp_desc[0], &data.service_comp_desc[1]}) {
        c->tmid = 3;
        c->scid = 1;
    }
    f.add(data);
    // Read in spite of its count, it would make subchannel 6 an audio one.
    auto huge = blank<service_organization_t>(0, 2);
    huge.sid = 0xD103;
    huge.num_of_sc = 40;
    for (auto &c : huge.service_comp_desc) c.subchid = 6;
    f.add(huge);
    auto packet = blank<service_component_packet_t>(0, 3);
    packet.scid = 1;
    packet.subchid = 5;
    packet.dscty = 60;
    packet.packet_address = 1;
    f.add(packet);
    auto ens_label = blank<dablabel_t>(1, 0);
    ens_label.id = 0xC1D1;
    std::strcpy(ens_label.name, "Test Ensemble");
    f.add(ens_label);
    auto label = blank<dablabel_t>(1, 1);
    label.id = 0xD101;
    std::strcpy(label.name, "Radio One");
    f.add(label);
    return f;
}

loop_server::handler fig_answers(const fig_records &figs) {
    return [&figs](int fd, const std::string &req) {
        int type = -1, ext = -1;
        if (sscanf(req.c_str(), "GET /fig/%d/%d ", &type, &ext) == 2)
            send_text(fd, "HTTP/1.0 200 OK\r\n\r\n" + figs.body(type, ext));
        else
            send_text(fd, "HTTP/1.0 404 Not Found\r\n\r\n");
    };
}

// What the decoder made of the FIGs, in words: every subchannel that is not blank, every packet service.
struct view {
    int eid = -1;
    std::vector<std::string> channels, packets;
};

view view_of(const mot_dec_class &m) {
    view v;
    v.eid = m.fig0_0 ? m.fig0_0->eid : -1;
    char line[128];
    for (int n = 0; n < MOT_SUBCHANNELS; n++) {
        const mot_subchannel_t &c = m.subchannels[n];
        if (!c.type && !c.exist && !c.sid && !c.label[0]) continue;
        snprintf(line, sizeof line, "%d type %d exist %d sid %x '%.16s'", n, c.type, c.exist,
                 static_cast<unsigned>(c.sid), c.label);
        v.channels.push_back(line);
    }
    for (const packet_info_t *p = m.packet_info; p; p = p->next) {
        snprintf(line, sizeof line, "subch %d scid %d sid %x dscty %d addr %d", p->subchid, p->scid,
                 static_cast<unsigned>(p->sid), p->dscty, p->addr);
        v.packets.push_back(line);
    }
    std::sort(v.packets.begin(), v.packets.end());
    return v;
}

class MotClientTest : public ::testing::Test {
protected:
    bool logged(const std::string &text) {
        for (const auto &l : env.lines())
            if (l.text == text + "\n") return true;
        return false;
    }
    dptest::datapath_env env;
    mot_dec_class mot{&env.ens};
    std::atomic<int> abort_flag{0};
};

}  // namespace

TEST(ParseUrl, SplitsHostPortAndPath) {
    struct row {
        int line;
        const char *url, *server;
        int port;
        const char *path;
    } rows[] = {
        {__LINE__, "http://host", "host", 80, ""},
        {__LINE__, "HTTP://Host:8000/dir/", "Host", 8000, "dir/"},
        {__LINE__, "host/dir/", "host", 80, "dir/"},
        {__LINE__, "127.0.0.1:8123", "127.0.0.1", 8123, ""},
        {__LINE__, "host/a:b/", "host", 80, "a:b/"},  // a colon in the path is no port
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "line " << r.line << ": " << r.url);
        char server[256], path[256];
        int port = -1;
        parse_url(r.url, server, &port, path);
        EXPECT_STREQ(server, r.server);
        EXPECT_EQ(port, r.port);
        EXPECT_STREQ(path, r.path);
    }
}

TEST(ParseUrl, OverlongUrlStaysInsideTheFields) {
    const std::string rows[] = {"http://" + std::string(393, 'h'), "h/" + std::string(398, 'p')};
    for (const auto &url : rows) {
        ASSERT_EQ(url.size(), 400u);
        char server[512], path[512];
        std::memset(server, 'Z', sizeof server);
        std::memset(path, 'Z', sizeof path);
        int port = -1;
        parse_url(url.c_str(), server, &port, path);
        EXPECT_LT(strnlen(server, 256), 256u);
        EXPECT_LT(strnlen(path, 256), 256u);
        EXPECT_EQ(std::string(server + 256, 256), std::string(256, 'Z'));
        EXPECT_EQ(std::string(path + 256, 256), std::string(256, 'Z'));
    }
}

TEST_F(MotClientTest, RefusedHttpOpenIsLoggedWithWhatTheServerSaid) {
    const std::string failed = "HTTP-Access failed: Returned length ";
    struct row {
        int line;
        std::string answer, log;
    } rows[] = {
        {__LINE__, "HTTP/1.0 404 Not Found\r\n\r\n", failed + "16,returned server string 'HTTP/1.0 404 Not'"},
        {__LINE__, "HTTP/1.0 503 Service Unavailable\r\n\r\n", failed + "16,returned server string 'HTTP/1.0 503 Ser'"},
        {__LINE__, "HTTP/1.0 2", failed + "10,returned server string 'HTTP/1.0 2'"},
        {__LINE__, "\x01\nHTTP/1.0 200 OK\r\n\r\n", failed + "16,returned server string '..HTTP/1.0 200 O'"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "line " << r.line);
        loop_server srv([&r](int fd, const std::string &) { send_text(fd, r.answer); });
        EXPECT_EQ(mot.open_stream("127.0.0.1", srv.port(), "dir/", 3, 0, 0, &abort_flag), nullptr);
        EXPECT_TRUE(logged(r.log));
        ASSERT_EQ(srv.requests().size(), 1u);
        EXPECT_EQ(srv.requests()[0].rfind("GET /dir/stream/3 HTTP/1.1\r\n", 0), 0u) << srv.requests()[0];
    }
}

TEST_F(MotClientTest, AnswerHeaderThatNeverEndsFailsTheOpen) {
    std::atomic<bool> peer_gone{false};
    loop_server srv([&peer_gone](int fd, const std::string &) {
        if (!send_text(fd, "HTTP/1.0 200 OK\r\n")) return;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < until)
            if (!send_text(fd, "X: y\r\n")) {
                peer_gone = true;
                return;
            }
    });
    EXPECT_EQ(mot.open_stream("127.0.0.1", srv.port(), "", 1, 0, 0, &abort_flag), nullptr);
    // Gave up by itself, not because the server stopped talking.
    for (int i = 0; i < 100 && !peer_gone; i++) usleep(50000);
    EXPECT_TRUE(peer_gone);
}

TEST_F(MotClientTest, OpensWithoutAServer) {
    testsupport::temp_dir dir;
    const std::string file = dir.file("stream.bin");
    const std::string content = "0123456789abcdef\n\x01\x02\x03";
    testsupport::write_file(file, content);
    struct row {
        int line;
        int port, mode;
        std::string path;
    } refused[] = {
        {__LINE__, 0, 2, ""},           // a FIG query on the ring buffers
        {__LINE__, -1, 2, file},        // a FIG query on a file, even one that exists
        {__LINE__, -7, 2, file},
        {__LINE__, -1, 0, dir.file("missing")},
    };
    for (const auto &r : refused) {
        SCOPED_TRACE(testing::Message() << "line " << r.line);
        EXPECT_EQ(mot.open_stream("", r.port, r.path.c_str(), 0, 0, r.mode, &abort_flag), nullptr);
    }

    MSOCKET *m = mot.open_stream(nullptr, -1, file.c_str(), 0, 0, 0, &abort_flag);
    ASSERT_NE(m, nullptr);
    char buf[200];
    ASSERT_EQ(read_data(m, buf, sizeof buf), static_cast<int>(content.size()));
    EXPECT_EQ(std::string(buf, content.size()), content);
    EXPECT_EQ(read_data(m, buf, sizeof buf), 0);
    abort_flag = 1;
    EXPECT_EQ(read_data(m, buf, sizeof buf), -1);
    mot.close_stream(m);
}

TEST_F(MotClientTest, FigReplyIsCheckedBeforeItsRecordsAreUsed) {
    auto sub = [](int id) {
        auto r = blank<sub_channel_organization_t>(0, 1);
        r.subchid = id;
        return bytes_of(r);
    };
    std::string big(2000, '\0');
    big.replace(0, 4, le32(2000));
    std::string cut = sub(1).substr(0, 100);
    cut.replace(0, 4, le32(100));
    const std::string record_size = std::to_string(sizeof(sub_channel_organization_t));
    struct row {
        int line;
        std::string body;
        std::vector<int> subchids;  // of the records taken
        std::string log;            // of a refusal
    } rows[] = {
        {__LINE__, reply(2, {sub(1), sub(5)}), {1, 5}, ""},
        {__LINE__, reply(129, {sub(1)}), {}, "Inplausible FIG block count (129)"},
        {__LINE__, reply(1, {big}), {}, "Inplausible FIG block length (2000)"},
        {__LINE__, reply(1, {cut}), {}, "Inplausible FIG block length (100)"},
        {__LINE__, reply(3, {sub(1), sub(5)}), {}, "Inplausible FIG block length (" + record_size + ")"},
        {__LINE__, reply(1, {sub(1)}, "Hallo Zolbf\n"), {}, "Protocol error, wrong FIG reply"},
        {__LINE__, "Hallo Zolbe\n", {}, "Protocol error, wrong FIG reply"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "line " << r.line);
        const int before = r.log.empty() ? 0 : env.count(r.log, LOG_CRIT);
        gen_data_s *list = parse_fig_reply(&env.ens, reinterpret_cast<const unsigned char *>(r.body.data()),
                                           static_cast<int>(r.body.size()), 0, 1);
        std::vector<int> got;
        for (gen_data_t *g = list; g; g = fig_next(g)) {
            got.push_back(static_cast<sub_channel_organization_t *>(g)->subchid);
            EXPECT_EQ(g->datasize, static_cast<int>(sizeof(sub_channel_organization_t)));
        }
        free_fig(list);
        EXPECT_EQ(got, r.subchids);
        if (!r.log.empty()) {
            EXPECT_EQ(env.count(r.log, LOG_CRIT), before + 1);
        }
    }
}

TEST_F(MotClientTest, ViewOfTheEnsembleIsTheSameFromTheStoreAndOverHttp) {
    const fig_records figs = ensemble_figs(1);
    figs.store(env.ens);
    loop_server srv(fig_answers(figs));
    struct source {
        const char *desc, *host;
        int port;
    } sources[] = {{"store", "", 0}, {"HTTP", "127.0.0.1", srv.port()}};
    std::vector<view> seen;
    for (const auto &s : sources) {
        SCOPED_TRACE(s.desc);
        const int skipped = env.count("record skipped"), sub70 = env.count("subchannel 70"),
                  comps40 = env.count("40 components");
        mot_dec_class m(&env.ens);
        ASSERT_EQ(m.get_fig_info(s.host, s.port, ""), 1);
        const view v = view_of(m);
        EXPECT_EQ(v.eid, 0xC1D1);
        EXPECT_EQ(v.channels, (std::vector<std::string>{"1 type 1 exist 1 sid d101 'Radio One'",
                                                         "5 type 0 exist 1 sid 0 ''", "6 type 0 exist 1 sid 0 ''"}));
        EXPECT_EQ(v.packets, (std::vector<std::string>{"subch 5 scid 1 sid d102 dscty 60 addr 1",
                                                        "subch 5 scid 1 sid d102 dscty 60 addr 1"}));
        EXPECT_EQ(env.count("record skipped"), skipped + 2);
        EXPECT_EQ(env.count("subchannel 70"), sub70 + 1);
        EXPECT_EQ(env.count("40 components"), comps40 + 1);
        seen.push_back(v);
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].eid, seen[1].eid);
    EXPECT_EQ(seen[0].channels, seen[1].channels);
    EXPECT_EQ(seen[0].packets, seen[1].packets);
    EXPECT_GE(srv.requests().size(), 6u);
}

TEST_F(MotClientTest, ReconfigurationMovesTheLabelWithItsService) {
    ensemble_figs(1).store(env.ens);
    ASSERT_EQ(mot.get_fig_info("", 0, ""), 1);
    mot.cleanup_figs();
    env.ens.fic_stream->clearall();
    ensemble_figs(6).store(env.ens);
    ASSERT_EQ(mot.get_fig_info("", 0, ""), 1);
    EXPECT_EQ(view_of(mot).channels, (std::vector<std::string>{"1 type 0 exist 1 sid 0 ''", "5 type 0 exist 1 sid 0 ''",
                                                                "6 type 1 exist 1 sid d101 'Radio One'"}));
}

TEST_F(MotClientTest, InternalReadWaitsForItsBytesAndGivesUpOnAbort) {
    ringbuff &rb = *env.ens.rbuff;
    rb.init_ring_buffer(1);
    std::atomic<int> abort_flag(0);
    EXPECT_EQ(mot.open_stream("", 0, "", 9, 0, 0, &abort_flag), nullptr) << "ring 9 is not configured";
    EXPECT_EQ(rb.is_req(9), 0);

    rb.ringbuf_properties(9, 0, 96, 0, "x", 0);
    MSOCKET *s = mot.open_stream("", 0, "", 9, 0, 0, &abort_flag);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(rb.is_req(9), 1);
    const unsigned char frame[6] = {0xFF, 0xFE, 0xFD, 0xFC, 1, 2};
    rb.ring_write(9, 0, frame, 6);
    char buf[8] = {};
    EXPECT_EQ(read_data(s, buf, 4), 4);
    EXPECT_EQ(memcmp(buf, frame, 4), 0);

    // Two bytes wait, four are asked for: the read waits until the abort flag is raised.
    const auto t0 = std::chrono::steady_clock::now();
    std::thread raiser([&] {
        usleep(300000);
        abort_flag = 1;
    });
    EXPECT_EQ(read_data(s, buf, 4), -1);
    const double waited = testsupport::seconds_since(t0);
    raiser.join();
    EXPECT_GE(waited, 0.29);
    EXPECT_LT(waited, 1.5) << "the abort flag is watched while the read waits";
    mot.close_stream(s);
    EXPECT_EQ(rb.is_req(9), 0) << "closing gives the interest back";
    rb.init_ring_buffer(0);
}
