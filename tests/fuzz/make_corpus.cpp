// Seed corpora of the fuzz targets, written with the generator's encoders and the server's own
// writers: make_fuzz_corpus OUTDIR [DESCRIPTION...] (the small fuzz ensemble is always used).

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bitset>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "common/eti_reader.h"
#include "common/fig_records.h"
#include "common/rdi_framer.h"
#include "common/superframe.h"
#include "core/config.h"
#include "core/ensemble.h"
#include "core/plattform.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "desc.h"
#include "fuzz/fuzz_env.h"
#include "generator.h"
#include "httpd/httpd.h"
#include "mot.h"
#include "mot/mot_hdr_dec.h"
#include "pad.h"

namespace {

using bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

std::string out_dir;
std::map<std::string, int> counts;

void seed(const std::string &target, const bytes &b) {
    const fs::path dir = fs::path(out_dir) / target;
    fs::create_directories(dir);
    char name[32];
    snprintf(name, sizeof name, "seed-%03d", counts[target]++);
    FILE *f = fopen((dir / name).c_str(), "wb");
    if (!f || (b.size() && fwrite(b.data(), 1, b.size(), f) != b.size())) {
        perror(name);
        exit(1);
    }
    fclose(f);
}

bytes text(const std::string &s) { return bytes(s.begin(), s.end()); }

// ctl, two length bytes (big-endian), data: the framing of the msc and mot targets.
void framed(bytes &out, int ctl, const bytes &b) {
    out.push_back(static_cast<uint8_t>(ctl));
    out.push_back(static_cast<uint8_t>(b.size() >> 8));
    out.push_back(static_cast<uint8_t>(b.size()));
    out.insert(out.end(), b.begin(), b.end());
}

// Frames of one generated ensemble: FIBs, ETI frames, RDI words, subchannel frames, PAD records.
void from_ensemble(const dabgen::ensemble_desc &d, bool fuzz_ensemble, int first, int frames) {
    dabgen::generator g(d);
    std::string err;
    std::vector<std::string> warnings;
    if (!g.init(err, warnings)) {
        fprintf(stderr, "make_fuzz_corpus: %s\n", err.c_str());
        exit(1);
    }
    auto f = std::make_unique<dabcommon::eti_frame>();
    bytes raw(dabgen::eti_frame_size), prev;
    dabcommon::rdi_framer framer(22);
    std::bitset<64> routed;
    for (int s : fuzzenv::demo_subchannels) routed.set(static_cast<size_t>(s));
    subch_decoder_t st{};
    for (int n = 0; n < first + frames && n < static_cast<int>(g.frame_count()); n++) {
        g.frame(static_cast<uint32_t>(n), raw.data());
        if (n < first) continue;
        if (dabcommon::parse_eti_frame(raw.data(), raw.size(), *f) <= 0) exit(1);
        bytes fibs;
        for (int i = 0; i < f->fib_count(); i++) fibs.insert(fibs.end(), f->fib(i), f->fib(i) + FIB_BYTES);
        seed("fib", fibs);
        if (n == first) seed("eti", raw);
        if (n == first + 1) {
            bytes two = prev;
            two.insert(two.end(), raw.begin(), raw.begin() + static_cast<long>(f->size));
            seed("eti", two);
        }
        prev.assign(raw.begin(), raw.begin() + static_cast<long>(f->size));
        // The PAD records and frames of every audio stream, as the subchannel decoder extracts them.
        bytes pads, frames_seed;
        for (int i = 0; i < f->nst; i++) {
            const auto &s = f->stc[static_cast<size_t>(i)];
            const bytes fr(f->stream_data(i), f->stream_data(i) + s.len);
            unsigned char rec[PAD_RECORD_MAX];
            const int rl = extract_pad_record(st, rec, fr.data(), static_cast<int>(fr.size()));
            if (rl > 0) {
                pads.push_back(static_cast<uint8_t>(rl));
                pads.push_back(static_cast<uint8_t>(rl >> 8));
                pads.insert(pads.end(), rec, rec + rl);
            }
            if (fuzz_ensemble) {
                const int which = s.scid == 1 ? 0 : s.scid == 2 ? 1 : 2;
                framed(frames_seed, which | (n & 1) << 2, fr);
            }
        }
        if (!pads.empty()) seed("xpad", pads);
        if (fuzz_ensemble) {
            seed("msc", frames_seed);
            std::vector<uint32_t> words;
            framer.set_packing(n & 1 ? 20 : 22);
            framer.frame(*f, routed, words);
            bytes b;
            dabcommon::rdi_to_bytes(words.data(), words.size(), b);
            seed("rdi", b);
        }
    }
}

void mot_seeds() {
    using namespace dabgen;
    bytes ext = mot_content_name("slides/testcard.jpg");
    const bytes label = mot_content_label("Test card");
    ext.insert(ext.end(), label.begin(), label.end());
    const bytes trig = mot_trigger_now();
    ext.insert(ext.end(), trig.begin(), trig.end());
    const bytes hdr = mot_header(100, 2, 1, ext);
    seed("mot_hdr", hdr);
    seed("mot_hdr", mot_header(5000, 1, 0, mot_content_name("index.html")));
    seed("mot_hdr", text("../../etc/./passwd//x"));
    seed("mot_hdr", text("C:\\a\\..\\b"));

    // A directory of two entries with a DirectoryIndex.
    std::vector<mot_dir_entry> entries = {{0x1001, mot_header(64, 1, 0, mot_content_name("index.html"))},
                                          {0x1002, mot_header(32, 2, 1, mot_content_name("img/a.jpg"))}};
    const bytes dir = mot_directory(entries, 10, 96, mot_param(MOT_PARAM_DIRECTORY_INDEX, bytes{0x02, 'i', 'n', 'd', 'e', 'x', '.', 'h', 't', 'm', 'l'}));
    seed("mot_dir", dir);
    seed("mot_dir", mot_directory({entries[1]}, 0, 24, {}));

    // Header mode: header, then body; directory mode: directory, then the bodies.
    int cont = 0;
    auto never = [] { return false; };
    bytes body(100);
    for (size_t i = 0; i < body.size(); i++) body[i] = static_cast<uint8_t>(i * 7);
    bytes header_mode, dir_mode;
    for (auto &dg : mot_data_groups(3, 0x2001, hdr, 48, cont, never)) framed(header_mode, 0, dg);
    for (auto &dg : mot_data_groups(4, 0x2001, body, 48, cont, never)) framed(header_mode, 0, dg);
    seed("mot", header_mode);
    for (auto &dg : mot_data_groups(6, 0x2002, dir, 64, cont, never)) framed(dir_mode, 0, dg);
    for (auto &dg : mot_data_groups(4, 0x1001, bytes(64, 'h'), 64, cont, never)) framed(dir_mode, 0, dg);
    seed("mot", dir_mode);

    dg_params p;
    p.type = 4;
    p.transport_id = 0x1234;
    seed("msc_dg", msc_data_group(p, body.data(), 20));
    p.session = false;
    p.crc = false;
    seed("msc_dg", msc_data_group(p, body.data(), 5));

    // Packets of address 1 (MOT) and 2 (the checking service), each behind its control byte.
    packet_encoder mot_pe(1, 48), other(2, 24);
    for (auto &dg : mot_data_groups(3, 0x2003, hdr, 60, cont, never)) mot_pe.push(dg);
    for (auto &dg : mot_data_groups(4, 0x2003, body, 60, cont, never)) mot_pe.push(dg);
    dg_params q;
    q.type = 0;
    other.push(msc_data_group(q, body.data(), 30));
    bytes pk;
    uint8_t buf[96];
    int len;
    while (mot_pe.next(buf, 96, len) || other.next(buf, 96, len)) {
        pk.push_back(0);
        pk.insert(pk.end(), buf, buf + len);
    }
    seed("packet", pk);

    // IP over DAB: a UDP datagram to a group, in a data group behind the control byte.
    const bytes udp = ipv4_udp(0x0A000001, 0xEF010203, 4000, 5000, 1, 7, text("payload of the datagram"));
    dg_params ip;
    ip.type = 0;
    ip.session = false;
    bytes dg = msc_data_group(ip, udp.data(), udp.size());
    dg.insert(dg.begin(), 0);
    seed("ip", dg);
    bytes plain = udp;
    plain.insert(plain.begin(), 0);
    seed("ip", plain);

    // Label segments as the X-PAD decoder hands them over: start, then the end check.
    for (const char *t : {"Hello", "A label of more than sixteen characters, three segments"}) {
        bytes s;
        for (auto &seg : dl_segments(t, true)) {
            s.push_back(8);
            s.push_back(static_cast<uint8_t>(seg.size()));
            s.insert(s.end(), seg.begin(), seg.end());
        }
        seed("dl", s);
    }
    bytes clear = dl_clear(false);
    clear.insert(clear.begin(), {8, static_cast<uint8_t>(clear.size())});
    seed("dl", clear);
}

// DAB+ superframes as the dabplus target reads them: units - 1, then each frame behind a
// control byte (0: a logical frame, 1: a lost one, 6: RS data sealed by the target). AU 0 of
// each superframe carries a dynamic label in its data stream element.
void dabplus_seeds() {
    constexpr int s = 4;
    dabgen::xpad_encoder x;
    for (auto &seg : dabgen::dl_segments("DAB+ in the fuzz seed, a label of three segments", true)) x.queue_dl(seg);
    dabcommon::sf_rs rs;
    bytes raw = {s - 1}, sealed = {s - 1}, broken = {s - 1};
    for (int k = 0; k < 3; k++) {
        bytes sf(dabcommon::SF_BYTES_PER_UNIT * s, 0);
        // dac_rate 1, sbr_flag 1, stereo: 3 AUs, the first after 6 header bytes
        sf[2] = 0x70;
        const int starts[4] = {6, 160, 300, dabcommon::SF_DATA_PER_UNIT * s};
        sf[3] = starts[1] >> 4;
        sf[4] = static_cast<uint8_t>((starts[1] & 0xF) << 4 | starts[2] >> 8);
        sf[5] = static_cast<uint8_t>(starts[2]);
        for (int i = 0; i < 3; i++) {
            uint8_t *au = &sf[static_cast<size_t>(starts[i])];
            const int len = starts[i + 1] - starts[i] - 2;
            int pos = 0;
            if (i == 0) {
                // data_stream_element: X-PAD backwards, then F-PAD
                const bytes xpad = x.fill(40);
                bytes pad(xpad.rbegin(), xpad.rend());
                pad.push_back(0x20);
                pad.push_back(xpad.empty() ? 0x00 : 0x02);
                au[pos++] = 0x80;
                au[pos++] = static_cast<uint8_t>(pad.size());
                std::memcpy(au + pos, pad.data(), pad.size());
                pos += static_cast<int>(pad.size());
            }
            // then a channel pair element's worth of bytes
            for (au[pos++] = 0x20; pos < len; pos++) au[pos] = static_cast<uint8_t>(pos * 7 + k);
            const uint16_t crc = dabcommon::crc16(au, static_cast<size_t>(len));
            au[len] = static_cast<uint8_t>(crc >> 8);
            au[len + 1] = static_cast<uint8_t>(crc);
        }
        const uint16_t fc = dabcommon::sf_firecode(sf.data());
        sf[0] = static_cast<uint8_t>(fc >> 8);
        sf[1] = static_cast<uint8_t>(fc);
        rs.encode(sf.data(), s);
        for (int f = 0; f < dabcommon::SF_LOGICAL_FRAMES; f++) {
            const auto from = sf.begin() + 24 * s * f, to = from + 24 * s;
            raw.push_back(0);
            raw.insert(raw.end(), from, to);
            // The second superframe starts late and loses a frame.
            if (k == 1 && f < 2) continue;
            broken.push_back(k == 1 && f == 3 ? 1 : 0);
            if (k != 1 || f != 3) broken.insert(broken.end(), from, to);
        }
        sealed.push_back(6);
        sealed.insert(sealed.end(), sf.begin(), sf.begin() + dabcommon::SF_DATA_PER_UNIT * s);
    }
    seed("dabplus", raw);
    seed("dabplus", sealed);
    seed("dabplus", broken);
}

void http_seeds() {
    seed("http", text("GET / HTTP/1.0\r\nHost: radio:8000\r\n\r\n"));
    seed("http", text("GET /stream/1?x=%41%2&y=+ HTTP/1.1\r\nHost: radio:8000\r\nReferer: http://radio:8000/\r\n"
                      "Sec-Fetch-Site: same-origin\r\n\r\n"));
    // admin:secret
    seed("http", text("POST /setup HTTP/1.0\r\nAuthorization: Basic YWRtaW46c2VjcmV0\r\nOrigin: http://radio:8000\r\n"
                      "Content-length: 22\r\n\r\nfreq=%32%32&subch=1&x="));
    seed("http", text("GET /setup?token=abc HTTP/1.0\r\nCookie: auth=YWRtaW46c2VjcmV0\r\n\r\n"));
}

// The server's own configuration and ensemble list writers, and FIG query replies of its store.
void server_seeds() {
    ensemble &e = fuzzenv::quiet_ensemble();
    const std::string cfgfile = fuzzenv::temp_dir() + "/seed.ini";
    {
        config c(&e);
        c.set_configfile(cfgfile.c_str());
        copy_field(c.multicastif, "lo");
        c.write_configfile();
        copy_field(c.ensemblefile, cfgfile.c_str());
        ensemble_entry_t en{};
        copy_field(en.label, "DAB DEMO ONE");
        en.freq = 227360;
        c.add_ensemble(en);
        en.freq = 1452960;
        copy_field(en.label, "DEMO TWO");
        c.add_ensemble(en);
        std::string out;
        std::string err;
        if (!dabgen::read_whole_file(cfgfile, out, err)) exit(1);
        seed("config", text(out));
        c.write_ensemblefile();
        if (!dabgen::read_whole_file(cfgfile, out, err)) exit(1);
        seed("config", text(out));
    }

    fuzzenv::tune_demo_ensemble();
    const int queries[][2] = {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {1, 0}, {1, 1}, {1, 5}, {0, 17}};
    for (int q = 0; q < 8; q++) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) exit(1);
        sockaddr_in6 peer{};
        peer.sin6_family = AF_INET6;
        {
            httpconn c(&e, sv[0], &peer);
            c.send_figs(queries[q][0], queries[q][1]);
        }
        std::string all;
        char buf[4096];
        ssize_t n;
        while ((n = read(sv[1], buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
        close(sv[1]);
        const size_t body = all.find("\r\n\r\n");
        if (body == std::string::npos) continue;
        bytes b = {static_cast<uint8_t>(q)};
        b.insert(b.end(), all.begin() + static_cast<long>(body + 4), all.end());
        if (b.size() > 1 + fig_reply_head) seed("figreply", b);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: make_fuzz_corpus OUTDIR [DESCRIPTION...]\n");
        return 2;
    }
    out_dir = argv[1];
    dabgen::ensemble_desc d;
    std::string err;
    if (!dabgen::parse_description(fuzzenv::demo_description(), "fuzz", d, err)) {
        fprintf(stderr, "make_fuzz_corpus: %s\n", err.c_str());
        return 1;
    }
    from_ensemble(d, true, 0, 6);
    for (int i = 2; i < argc; i++) {
        dabgen::ensemble_desc x;
        if (!dabgen::load_description(argv[i], x, err)) {
            fprintf(stderr, "make_fuzz_corpus: %s\n", err.c_str());
            return 1;
        }
        // Past the start, where labels and slides are under way.
        from_ensemble(x, false, 40, 4);
    }
    mot_seeds();
    dabplus_seeds();
    http_seeds();
    server_seeds();
    for (auto &c : counts) printf("%-10s %d seeds\n", c.first.c_str(), c.second);
    return 0;
}
