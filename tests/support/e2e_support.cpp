#include "support/e2e_support.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <cctype>
#include <fstream>

#include "common/eti_reader.h"

namespace testsupport {

std::string demo_signal_dir() { return source_dir() + "/demo/signal"; }
bool have_demo_signal() { return file_exists(demo_signal_dir() + "/12c.eti"); }
bool have_program(const char *path) { return access(path, X_OK) == 0; }

demo_server::demo_server(const std::string &device, const demo_options &o)
    : host(o.host_name + ":" + std::to_string(port)), stop_timeout(o.stop_timeout) {
    const std::string root = dir.file("root");
    mkdir(root.c_str(), 0755);
    write_file(dir.file("dab.ini"), o.ini);
    std::vector<std::string> a = {dabserver_path(), "-d", device, "-t", "12c"};
    if (!o.decoder) a.push_back("-m");
    for (const std::string &s : {std::string("-p"), std::to_string(port), std::string("-R"), root, std::string("-H"),
                                 host, std::string("-l"), std::string("99"), std::string("1")})
        a.push_back(s);
    // The decoder's options come last: the server reads no options of its own after -M.
    if (o.decoder)
        for (const std::string &s : {std::string("-M"), std::string("-d"), root + "/data"}) a.push_back(s);
    proc = std::make_unique<child>(a, dir.path());
}

demo_server::~demo_server() {
    proc->signal(SIGINT);
    EXPECT_EQ(proc->wait(stop_timeout), 0) << proc->err();
}

bool demo_server::ready() { return proc->wait_for_output("httpd: daemon started", 30) && wait_for_port(port, 10); }

std::string demo_server::get(const std::string &path, bool ipv6) {
    return tcp_exchange(port, "GET " + path + " HTTP/1.0\r\n\r\n", 10, ipv6);
}

std::string demo_server::url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::string demo_server::local_path(const std::string &u) const {
    const std::string base = "http://" + host;
    return u.rfind(base + "/", 0) == 0 ? u.substr(base.size()) : "";
}

bool demo_server::table_ready(size_t n) {
    return wait_until(30, [&] {
        const std::string page = get("/");
        size_t count = 0;
        for (size_t p = page.find("<p><b>"); p != std::string::npos; p = page.find("<p><b>", p + 1)) count++;
        return count >= n;
    });
}

stream_client::stream_client(int port, const std::string &path, bool ipv6, int rcvbuf) {
    open(port, path, ipv6, rcvbuf, "");
}

stream_client::stream_client(int port, const std::string &path, const header_lines &lines) {
    open(port, path, false, 0, lines.text);
}

void stream_client::open(int port, const std::string &path, bool ipv6, int rcvbuf, const std::string &lines) {
    s = connect_local(port, ipv6, rcvbuf);
    if (s < 0) return;
    const std::string req = "GET " + path + " HTTP/1.0\r\n" + lines + "\r\n";
    if (send(s, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) return;
    std::string all;
    const double end = now_s() + 10;
    while (all.find("\r\n\r\n") == std::string::npos && now_s() < end)
        if (!read_into(all, 200)) break;
    size_t p = all.find("\r\n\r\n");
    if (p == std::string::npos) return;
    head = all.substr(0, p + 4);
    data = all.substr(p + 4);
}

stream_client::~stream_client() {
    if (s >= 0) close(s);
}

int stream_client::status() const { return head.rfind("HTTP/1.0 ", 0) == 0 ? atoi(head.c_str() + 9) : 0; }

bool stream_client::read_into(std::string &out, int ms) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return true;
    char buf[65536];
    ssize_t n = recv(s, buf, sizeof buf, 0);
    if (n <= 0) return false;
    out.append(buf, static_cast<size_t>(n));
    return true;
}

bool stream_client::read_for(double seconds) {
    const double end = now_s() + seconds;
    while (now_s() < end)
        if (!read_into(data, 50)) return false;
    return true;
}

bool stream_client::read_bytes(size_t n, double seconds) {
    const double end = now_s() + seconds;
    while (data.size() < n && now_s() < end)
        if (!read_into(data, 50)) return false;
    return data.size() >= n;
}

bool stream_client::read_until(double seconds, const std::function<bool()> &done) {
    const double end = now_s() + seconds;
    while (now_s() < end) {
        if (done()) return true;
        if (!read_into(data, 50)) return false;
    }
    return done();
}

std::vector<std::string> subchannel_frames(const std::string &eti, int subchid) {
    std::vector<std::string> frames;
    dabcommon::eti_reader r;
    if (!r.open(eti.c_str())) return frames;
    dabcommon::eti_frame f;
    while (r.next(f, 1000) == 1) {
        const int k = f.find_stream(subchid);
        if (k < 0) continue;
        frames.emplace_back(reinterpret_cast<const char *>(f.stream_data(k)), f.stc[static_cast<size_t>(k)].len);
    }
    return frames;
}

bool contiguous_run(const std::vector<std::string> &frames, const std::string &got, std::string *why) {
    if (frames.empty() || got.size() < frames[0].size()) {
        *why = "nothing to compare";
        return false;
    }
    const size_t fs = frames[0].size();
    for (size_t k = 0; k < frames.size(); k++) {
        if (got.compare(0, fs, frames[k]) != 0) continue;
        size_t pos = 0, i = k;
        while (pos < got.size()) {
            const std::string &f = frames[i % frames.size()];
            const size_t n = std::min(f.size(), got.size() - pos);
            if (got.compare(pos, n, f, 0, n) != 0) break;
            pos += n;
            i++;
        }
        if (pos >= got.size()) return true;
        *why = "differs at byte " + std::to_string(pos) + " of " + std::to_string(got.size());
    }
    if (why->empty()) *why = "first frame not found";
    return false;
}

bool keep_second_pass(const std::string &twice, size_t eti_frames, const std::string &out, std::string *why) {
    constexpr size_t FRAME_BYTES = 196608 * 2;  // a transmission frame of mode I (4 ETI frames), u8
    const size_t pass = eti_frames / 4 * FRAME_BYTES;
    {
        std::ifstream in(twice, std::ios::binary | std::ios::ate);
        const auto size = static_cast<size_t>(in.tellg());
        if (!in || size != 2 * pass) {
            *why = "the modulator wrote " + std::to_string(size) + " bytes, expected " + std::to_string(2 * pass);
            return false;
        }
        std::ofstream o(out, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(pass));
        o << in.rdbuf();
        if (!o.flush()) {
            *why = "cannot write " + out;
            return false;
        }
    }
    unlink(twice.c_str());
    return true;
}

long number_after(const std::string &page, const std::string &key) {
    size_t p = page.find(key);
    if (p == std::string::npos) return -1;
    p += key.size();
    while (p < page.size() && !std::isdigit(static_cast<unsigned char>(page[p]))) {
        if (page[p] == '<') p = page.find('>', p);
        if (p == std::string::npos) return -1;
        p++;
    }
    return p < page.size() ? std::strtol(page.c_str() + p, nullptr, 10) : -1;
}

std::vector<long> dabplus_row(const std::string &page, int subch) {
    char key[32];
    snprintf(key, sizeof key, "<tr><td>%02d</td>", subch);
    std::vector<long> out;
    size_t p = page.find(key);
    if (p == std::string::npos) return out;
    const size_t end = page.find("</tr>", p);
    for (p = page.find("<td>", p + strlen(key)); p < end; p = page.find("<td>", p + 1))
        out.push_back(std::strtol(page.c_str() + p + 4, nullptr, 10));
    return out;
}

}  // namespace testsupport
