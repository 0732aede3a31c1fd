// The ensemble as JSON for programs: the tuned ensemble, its services and components with the
// URLs to play them, and what the MOT/PAD decoder holds of each.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/plattform.h"
#include "datapath/fic.h"
#include "datapath/isoconv.h"
#include "datapath/msc.h"
#include "httpd/api.h"
#include "httpd/httpd.h"
#include "httpd/icecast.h"
#include "httpd/util.h"
#include "module/dcsr.h"
#include "mot/mot_query.h"

// Keys in the order written: the ensemble first, then its services.
using json = nlohmann::ordered_json;

namespace {

// What the answer needs of the service table, copied under its lock.
struct component_copy {
    int subchannel, tmid, prot_level, bitrate, ps, ascty;
    std::string label, shortlabel;
};
struct service_copy {
    uint32_t sid;
    int pty;
    std::string label, shortlabel;
    std::vector<component_copy> comps;
};

std::vector<service_copy> copy_table(msc *m, const dab_service_t *table) {
    std::vector<service_copy> out;
    m->lock();
    for (int i = 0; i < MAX_SERVICES && table[i].sc; i++) {
        const dab_service_t &sv = table[i];
        service_copy s{static_cast<uint32_t>(sv.sid), sv.pty, std::string(sv.label, strnlen(sv.label, sizeof sv.label)),
                       std::string(sv.shortlabel, strnlen(sv.shortlabel, sizeof sv.shortlabel)), {}};
        for (int j = 0; j < sv.numofsc; j++) {
            const dab_component_t &c = sv.sc[j];
            s.comps.push_back({c.subchannel, c.tmid, c.prot_level, c.bitrate, c.ps, c.ascty,
                               std::string(c.label, strnlen(c.label, sizeof c.label)),
                               std::string(c.shortlabel, strnlen(c.shortlabel, sizeof c.shortlabel))});
        }
        out.push_back(std::move(s));
    }
    m->unlock();
    return out;
}

// What the superframes of a DAB+ programme say, once one was decoded; null before.
void audio_format(msc *m, int subchannel, json &j) {
    dabcommon::sf_header h;
    if (!m->dabplus_format(subchannel, h)) {
        for (const char *k : {"sample_rate", "channels", "sbr", "ps", "asc"}) j[k] = nullptr;
        return;
    }
    j["sample_rate"] = h.output_rate();
    j["channels"] = h.channels();
    j["sbr"] = h.sbr_flag != 0;
    j["ps"] = h.ps_flag != 0;
    uint8_t asc[8];
    const int n = dabplus_asc(h, asc, sizeof asc);
    std::string hex;
    for (int i = 0; i < n; i++) {
        char b[3];
        snprintf(b, sizeof b, "%02x", asc[i]);
        hex += b;
    }
    j["asc"] = hex;
}

std::string hex_id(uint32_t id) {
    char b[16];
    snprintf(b, sizeof b, "%04X", static_cast<unsigned>(id));
    return b;
}

// Labels are ISO 8859-1 once decoded; JSON text is UTF-8. The blanks that pad a label to its
// 16 characters are no part of it.
json text(const std::string &latin1) {
    size_t n = latin1.size();
    while (n > 0 && latin1[n - 1] == ' ') n--;
    return latin1_to_utf8(latin1.c_str(), n);
}

json utc_time(time_t t) {
    struct tm tmv;
    char b[32];
    if (t <= 0 || !gmtime_r(&t, &tmv) || strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", &tmv) == 0) return nullptr;
    return b;
}

// The broadcast's date and time (FIG 0/10, UTC) in the ensemble's local time (FIG 0/9 offset).
json broadcast_time(fic *store) {
    auto *dt = static_cast<date_time_t *>(malloc(sizeof(date_time_t)));
    if (!dt) return nullptr;
    if (store->findall(dt, 0, 10) <= 0) return nullptr;  // findall freed it
    const time_t utc = static_cast<time_t>(dt->unixtime);
    fig_free_chain(dt);
    if (utc <= 0) return nullptr;
    int lto = 0;
    auto *co = static_cast<country_t *>(malloc(sizeof(country_t)));
    if (co && store->findall(co, 0, 9) > 0) {
        lto = co->ensemble_lto & 0x3F;
        fig_free_chain(co);
    }
    // Bit 0x20 the sign (west), bits 0x1F half hours.
    const int minutes = (lto & 0x20 ? -1 : 1) * (lto & 0x1F) * 30;
    const time_t local = utc + static_cast<time_t>(minutes) * 60;
    struct tm tmv;
    char b[48];
    if (!gmtime_r(&local, &tmv) || strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &tmv) == 0) return nullptr;
    const int a = minutes < 0 ? -minutes : minutes;
    char zone[16];
    snprintf(zone, sizeof zone, "%c%02d:%02d", minutes < 0 ? '-' : '+', a / 60, a % 60);
    return std::string(b) + zone;
}

// Absolute, with "." and ".." taken out; the names are not looked up, so links stay as they are.
std::string normal_path(const char *p) {
    std::string in;
    if (p[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return "";
        in = cwd;
        in += '/';
    }
    in += p;
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= in.size()) {
        size_t j = in.find('/', i);
        if (j == std::string::npos) j = in.size();
        const std::string seg = in.substr(i, j - i);
        if (seg == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!seg.empty() && seg != ".") {
            parts.push_back(seg);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto &s : parts) out += "/" + s;
    return out.empty() ? "/" : out;
}

}  // namespace

std::string url_path_escape(const std::string &path) { return percent_encode(path, "/"); }

std::string served_path(const char *root, const char *file) {
    if (!root || !*root || !file || !*file) return "";
    const std::string r = normal_path(root), f = normal_path(file);
    if (r.empty() || f.empty()) return "";
    const std::string prefix = r == "/" ? r : r + "/";
    if (f.size() <= prefix.size() || f.compare(0, prefix.size(), prefix) != 0) return "";
    return f.substr(prefix.size() - 1);
}

int httpconn::display_api(const char *name) {
    if (!name || strcmp(name, "ensemble.json") != 0) {
        not_found();
        return 0;
    }
    char host[sizeof e->cfg->hostname], root[sizeof e->cfg->httpdroot];
    {
        mutex_guard guard(&e->cfg->lck);
        copy_field(host, e->cfg->hostname);
        copy_field(root, e->cfg->httpdroot);
    }
    const std::string base = std::string("http://") + host;
    // A file of the decoder's tree as a URL, when the file server can send it.
    auto file_url = [&](const char *file) -> json {
        struct stat st;
        if (!file[0] || stat(file, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
        const std::string p = served_path(root, file);
        if (p.empty()) return nullptr;
        return base + url_path_escape(p);
    };

    json ens;
    const int id = e->fic_stream->get_ensemble_id();
    char label[32] = {}, shortlabel[32] = {};
    e->fic_stream->get_ensemble_label(label);
    e->fic_stream->get_ensemble_shortlabel(shortlabel);
    ens["id"] = id ? json(hex_id(static_cast<uint32_t>(id))) : json(nullptr);
    ens["label"] = text(label);
    ens["short_label"] = text(shortlabel);
    const notify_dab_status ds = e->d->ds;
    const int khz = ds.tune_freq * 16;
    char channel[dabcommon::CHANNEL_NAME_SIZE] = {};
    ens["frequency_khz"] = khz > 0 ? json(khz) : json(nullptr);
    if (khz > 0 && dcsr::channel_to_name(channel, khz)) {
        for (char *c = channel; *c; c++)
            if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
        ens["channel"] = channel;
    } else {
        ens["channel"] = nullptr;
    }
    ens["date_time"] = broadcast_time(e->fic_stream);
    const char *ber = ber_class_text(ds.ber_fic);
    ens["signal"] = {{"sync", ds.sync != 0},
                     {"mode", ds.mode},
                     {"ber_class", ds.ber_fic},
                     {"ber", ber[0] ? json(ber) : json(nullptr)}};
    const dabcommon::source_stats src = e->st->source();
    ens["signal"]["snr_db"] = src.flags & dabcommon::SOURCE_HAS_SNR ? json(src.snr_centibel / 10.0) : json(nullptr);
    if (src.flags & dabcommon::SOURCE_HAS_EDI) {
        ens["signal"]["edi"] = {{"af_packets", src.edi_af_packets},
                                {"sequence_gaps", src.edi_sequence_gaps},
                                {"crc_errors", src.edi_crc_errors},
                                {"fec_recovered_fragments", src.edi_fec_recovered},
                                {"frames_lost", src.edi_frames_lost}};
    } else {
        ens["signal"]["edi"] = nullptr;
    }

    json services = json::array();
    for (const service_copy &sv : copy_table(e->msc_stream, subchannel)) {
        json s;
        s["id"] = hex_id(sv.sid);
        // A data service is named by the label of its primary component (FIG 1/5).
        const component_copy *primary = nullptr;
        for (const component_copy &c : sv.comps)
            if (c.ps && !primary) primary = &c;
        const bool own = !sv.label.empty() || !primary;
        s["label"] = text(own ? sv.label : primary->label);
        s["short_label"] = text(own ? sv.shortlabel : primary->shortlabel);
        s["pty"] = sv.pty;
        json comps = json::array();
        for (const component_copy &c : sv.comps) {
            json j;
            j["subchannel"] = c.subchannel;
            static constexpr const char *types[] = {"audio", "stream data", "FIDC", "packet data"};
            j["type"] = types[c.tmid & 3];
            j["label"] = text(c.label.empty() ? sv.label : c.label);
            j["primary"] = c.ps != 0;
            j["bitrate"] = c.bitrate;
            j["protection"] = c.prot_level;
            const std::string n = std::to_string(c.subchannel);
            if (c.tmid == 0) {
                const bool plus = c.ascty == ASCTY_DABPLUS;
                j["codec"] = plus ? "aac" : "mp2";
                if (plus) audio_format(e->msc_stream, c.subchannel, j);
                j["stream_url"] = base + "/stream/" + n + (plus ? ".loas" : ".mp2");
                j["playlist_url"] = base + "/playlist/" + n + ".m3u";
                pad_now_t pad;
                json dl = nullptr, slide = nullptr;
                if (mot_pad_now(*e->mot_decoder, c.subchannel, &pad)) {
                    if (pad.label[0]) dl = {{"text", text(pad.label)}, {"time", utc_time(pad.label_time)}};
                    const json u = file_url(pad.slide);
                    if (!u.is_null()) slide = {{"url", u}, {"time", utc_time(pad.slide_time)}};
                }
                j["dynamic_label"] = dl;
                j["slide"] = slide;
            } else if (c.tmid == 1) {
                j["stream_url"] = base + "/stream/" + n;
            } else if (c.tmid == 3) {
                j["stream_url"] = base + "/stream/" + n;
                // The decoder's name for the file; shown only as a URL of the file server.
                char site[MOT_QUERY_PATH];
                const bool has_site = mot_website_file(*e->mot_decoder, sv.sid, site, sizeof site);
                j["website"] = has_site ? file_url(site) : json(nullptr);
            } else if (c.tmid == 2) {
                j["stream_url"] = base + "/fidc";
            }
            comps.push_back(std::move(j));
        }
        s["components"] = std::move(comps);
        services.push_back(std::move(s));
    }

    // The Icecast sources, when a server is configured: the password is no part of it.
    json ice = nullptr;
    {
        char url[sizeof e->cfg->icecast];
        {
            mutex_guard guard(&e->cfg->lck);
            copy_field(url, e->cfg->icecast);
        }
        if (url[0]) {
            json mounts = json::array();
            for (const icecast_mount_status &m : e->ice->mounts())
                mounts.push_back({{"mount", m.mount},
                                  {"service", hex_id(m.sid)},
                                  {"subchannel", m.subchannel},
                                  {"state", m.state},
                                  {"bytes_sent", m.bytes_sent},
                                  {"reconnects", m.reconnects},
                                  {"last_error", m.last_error.empty() ? json(nullptr) : json(m.last_error)},
                                  {"title", m.title.empty() ? json(nullptr) : text(m.title)}});
            // A value that is no http://HOST:PORT might hold credentials: not shown.
            std::string host;
            int port = 0;
            const bool valid = icecast_wire::parse_url(url, &host, &port);
            ice = {{"server", valid ? json(url) : json(nullptr)}, {"mounts", std::move(mounts)}};
        }
    }

    const json doc = {{"ensemble", std::move(ens)}, {"services", std::move(services)}, {"icecast", std::move(ice)}};
    // Every text is UTF-8 by construction; a fault there must still give valid output.
    std::string body = doc.dump(2, ' ', false, json::error_handler_t::replace);
    body += '\n';
    char head[512];
    const int n = snprintf(head, sizeof head,
                           "HTTP/1.0 200 OK\r\nDate: %s\r\nServer: ZIR-Ereruv 2.26F\r\nPragma: no-cache\r\n"
                           "Content-type: application/json\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n",
                           ht_time(time(nullptr) + ad_timezone()), body.size());
    if (n <= 0 || static_cast<size_t>(n) >= sizeof head) return 0;
    body.insert(0, head, static_cast<size_t>(n));
    send_all(s, body.data(), body.size());
    return 1;
}
