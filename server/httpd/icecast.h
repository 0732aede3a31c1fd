#pragma once
// Every audio programme fed to an Icecast server as a source (HTTP PUT), with the dynamic label
// as the stream title. One thread carries every source connection with non-blocking sockets, as
// the stream loops carry listeners: a slow or absent Icecast costs only its own connections.

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "httpd/util.h"

class ensemble;

// The pure parts, each tested alone.
namespace icecast_wire {

// "http://HOST:PORT" (or without the port: 8000, Icecast's own default; a trailing "/" is
// allowed); false for anything else (another scheme, a path, user information, a bad port).
bool parse_url(const std::string &url, std::string *host, int *port);

// Which programmes are fed: "all" (or empty) or service ids in hex, separated by blanks or
// commas, "0x" allowed. False, with nothing selected, when a word is not such an id.
struct selection {
    bool all = true;
    std::vector<uint32_t> sids;
    bool wants(uint32_t sid) const;
};
bool parse_services(const std::string &text, selection *out);

// A label as a piece of a mount: ASCII letters and digits kept, every run of anything else one
// "_", none at either end.
std::string url_safe_label(const std::string &latin1);
// The mount of a programme: %s its service id in lower-case hex (4 digits, 8 for a 32-bit id),
// %l its label made safe, %% a percent sign. Empty when the template is unusable: not starting
// with "/", another "%" sequence, a byte a URL path cannot carry as it is, or longer than 200.
std::string expand_mount(const std::string &tmpl, uint32_t sid, const std::string &label_latin1);

std::string base64(const std::string &in);
// Header values from the broadcast: control bytes become blanks, ISO 8859-1 becomes UTF-8.
std::string header_text(const std::string &latin1);

struct source_request {
    std::string host;  // as the Host line names the server
    int port = 8000;
    std::string user, password, mount;
    bool dabplus = false;
    std::string name, description;  // ISO 8859-1, as the broadcast has them
    bool is_public = false;
    int bitrate = 0;  // kbit/s
    int samplerate = 0, channels = 0;  // 0: unknown, left out of ice-audio-info
};
// The request head that opens a source connection.
std::string source_head(const source_request &r);
// The request that sets the title of a mount (title in ISO 8859-1).
std::string metadata_request(const source_request &r, const std::string &title_latin1);

enum class answer_kind {
    incomplete,  // read on
    accepted,    // 200, or 100 Continue: send the stream
    unauthorised,  // 401
    in_use,        // 403 "Mountpoint in use"
    refused,       // any other status
    malformed,     // no HTTP status line, or a head larger than the bound
};
struct answer {
    answer_kind kind = answer_kind::incomplete;
    int status = 0;
    std::string reason;  // the body's first line (or the status text), printable ASCII only
};
constexpr size_t answer_max = 4096;
// Icecast's answer as read so far; closed: the server has closed the connection.
answer parse_answer(const std::string &in, bool closed);

// 1 s doubling to 60 s.
constexpr int backoff_first_ms = 1000;
constexpr int backoff_max_ms = 60000;
inline int next_backoff(int ms) { return ms <= 0 ? backoff_first_ms : ms >= backoff_max_ms / 2 ? backoff_max_ms : ms * 2; }

}  // namespace icecast_wire

// What the statistics page and the JSON API show of one mount.
struct icecast_mount_status {
    std::string mount;
    uint32_t sid = 0;
    int subchannel = -1;
    std::string state;  // "waiting", "connecting", "streaming"
    uint64_t bytes_sent = 0;
    unsigned reconnects = 0;
    std::string last_error;  // empty when there was none
    std::string title;       // the last title Icecast took
};

class icecast {
public:
    explicit icecast(ensemble *p);
    ~icecast();
    icecast(const icecast &) = delete;
    icecast &operator=(const icecast &) = delete;

    // Starts the thread when an Icecast server is configured and it does not run yet; the thread
    // then follows the configuration by itself (the setup page calls this after a change).
    bool start();
    // Closes every source connection and ends the thread.
    void stop();
    std::vector<icecast_mount_status> mounts() const;

    // A turn of every streaming mount at most this often; titles at most this often per mount.
    static constexpr int turn_ms = 50;
    static constexpr int title_interval_ms = 2000;

private:
    struct mount;
    struct settings;

    static void *thread_wrapper(void *p);
    void run();
    void sync(long long now);
    void step(mount &m, long long now);
    // Closes the connection and waits: the back-off, logged once per reason; or, log_it false
    // (the programme cannot be read now), a second without a word.
    void fail(mount &m, long long now, const std::string &why, bool log_it = true);
    void begin_connect(mount &m, long long now, bool next_address = false);
    // After a failed connect: true when the host's next address is being tried instead.
    bool another_address(mount &m, long long now);
    void pump(mount &m, long long now);
    void titles(mount &m, long long now);
    void close_mount(mount &m);
    void publish();

    ensemble *e;
    std::mutex start_m_;
    pthread_t thread_{};
    bool running_ = false;
    std::atomic<bool> quit_{false};
    int ep_ = -1;
    // The thread's own.
    std::vector<std::unique_ptr<mount>> mounts_;
    std::unique_ptr<settings> applied_;
    std::string config_problem_;  // logged once
    std::vector<unsigned char> buf_;
    // Copies for the pages.
    mutable std::mutex status_m_;
    std::vector<icecast_mount_status> status_;
};
