#pragma once
// Built-in HTTP/1.0 server: the listener and one connection object per request.

#include <netinet/in.h>
#include <pthread.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ensemble;
// The content types of post_header's mimetype argument; 0-6 are those of the original table.
enum mime_kind {
    MIME_HTML = 0, MIME_MPEG = 1, MIME_M3U = 2, MIME_OCTET = 3, MIME_JPEG = 4, MIME_GIF = 5, MIME_VIDEO = 6,
    MIME_JS = 7, MIME_CSS = 8, MIME_JSON = 9, MIME_SVG = 10, MIME_WASM = 11, MIME_WEBP = 12, MIME_LATM = 13,
};

class httpconn;
class stream_loop;
struct stream_listener;
struct dab_service_s;
typedef struct dab_service_s dab_service_t;

// One accepted connection, handed to new_conn, which frees it.
typedef struct connection_s {
    ensemble *e;
    sockaddr_in6 remip;
    int s;
} connection_t;
typedef connection_t *pconnection_t;

class httpd {
public:
    explicit httpd(ensemble *p);
    ~httpd();
    httpd(const httpd &) = delete;
    httpd &operator=(const httpd &) = delete;

    int start();
    // Stops the listener, wakes running connections and waits until every one has ended.
    int stop();
    bool stopping() const { return stopping_.load(); }
    void thread(void *);

    // Connections are carried by a pool of worker threads that the server joins at its stop;
    // these hooks have nothing to do.
    int insert_thread(pthread_t);
    int check_thread_terminated();
    int cancel_threads();

    // Bookkeeping of running connections, so that stop() can wake them and wait for their end.
    void connection_started(int s);
    void connection_closing(int s);  // before the socket is closed
    void connection_ended();         // the thread's very last use of this object

    int running_connections() const { return active_.load(); }
    // errno of the listening socket that could not be set up (the server then stops), or 0.
    int listen_error() const { return listen_error_.load(); }

    // A stream past its answer header leaves its worker for a stream loop, which then owns
    // it; false when no loop takes it (the caller carries it on).
    bool adopt_stream(std::unique_ptr<stream_listener> &l);

    // Connections that are not streams hold one of at most cfg->httpmaxclients places.
    void client_left() { clients_--; }
    int clients() const { return clients_.load(); }

    pthread_t httpd_thread;
    ensemble *e;
    pthread_mutex_t lck;

private:
    struct front;
    int open_listener();
    // A front: an event loop that takes new connections, reads their request heads without
    // waiting and answers files and errors itself; the rest goes to the workers.
    void run_front(front &f);
    static void *front_wrapper(void *p);
    void front_accept(front &f);
    // Closes a connection the front has answered (done), or hands it to a worker.
    void front_conclude(std::unique_ptr<httpconn> c, bool done);
    void front_listen(front &f, bool on);
    void start_fronts();
    void join_fronts();
    // Workers carry on the connections handed over to them.
    void hand_over(std::unique_ptr<httpconn> c);
    static void *worker_wrapper(void *p);
    void worker_loop();
    // One more worker; false at the limit or when none could be made.
    bool spawn_worker();
    void join_workers();
    void reap_workers();
    void start_loops();
    void stop_loops();
    int client_limit() const;
    void refuse(int s, sockaddr_in6 *peer);
    // Closes and frees a connection the server is done with.
    void finish(httpconn *c);

    std::atomic<bool> stopping_;
    std::atomic<int> active_;
    std::atomic<int> clients_;
    bool started_;
    std::vector<int> sockets_;  // guarded by lck

    int ls_ = -1;  // the listening socket, while the listener runs
    std::atomic<int> listen_error_{0};
    std::vector<std::unique_ptr<front>> fronts_;
    std::mutex pool_m_;
    std::condition_variable pool_cv_;
    std::deque<httpconn *> handed_;  // waiting for a worker; guarded by pool_m_
    int idle_workers_ = 0;           // guarded by pool_m_
    std::vector<pthread_t> workers_;
    std::vector<pthread_t> exited_;  // ended by themselves, to be joined
    std::atomic<int> exited_n_{0};   // how many, to be read without the lock
    std::vector<std::unique_ptr<stream_loop>> loops_;
    // Any front may refuse a connection.
    std::atomic<unsigned long> refused_;
    std::atomic<time_t> refused_logged_;
};

void *new_conn(void *p);

// Formatted output of at most 4095 characters to a socket; failures are quiet.
int prints(int s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Sends all bytes; false when the peer is gone or the send failed. With more, the bytes may wait
// for the next send to fill a packet.
bool send_all(int s, const void *buf, size_t len, bool more = false);

struct fig_summary_s;
// The statistics page's FIG overview of the store's records.
std::string fig_overview_html(const std::vector<fig_summary_s> &figs, time_t now);

// FIG query reply body: greeting, count, then the records.
constexpr char fig_reply_greeting[] = "Hallo Zolbe\n";
constexpr size_t fig_reply_head = 16;
static_assert(sizeof fig_reply_greeting - 1 + 4 == fig_reply_head, "greeting and count make the reply head");

class httpconn {
public:
    httpconn(ensemble *p, int sock, sockaddr_in6 *peer);
    ~httpconn();
    httpconn(const httpconn &) = delete;
    httpconn &operator=(const httpconn &) = delete;

    int start();
    // Reads the request and answers it. In the front, false when the head is not all in yet or
    // the answer needs a worker; nothing is sent then, and a worker calls it again.
    bool serve();
    // In the front nothing waits: receives give up when nothing is there, and what a send
    // does not take now is kept for a worker (carry_on) to send.
    void set_front(bool front) { front_ = front; }
    bool front_pending() const { return !rest_.empty(); }
    // True once bytes of the request have arrived.
    bool received() const { return received_; }
    bool head_done() const { return head_done_; }
    // A worker's part: sends what the front left, or serves the request to its end.
    void carry_on();
    int parse_header();
    // The head's lines up to the blank one; false while the front must wait for more.
    bool read_head();
    // The body and the checks after the head; 0, or -1 when the request can't be answered.
    int finish_head();
    int get_url(char *line);
    int receive(char *buf, int size);
    int getline(char *buf, int size);
    void get_field(const char *line, char *dest, int maxlen);
    void get_contentlength(const char *line);
    int get_postarea(const char *tag, char *result, int max);
    int post_header(int mimetype, const char *name, int nowrap, int contentlength);
    // The header as post_header sends it, left in header; its length.
    size_t build_header(int mimetype, const char *name, int nowrap, int contentlength);
    char *ht_time(time_t t);
    int prints(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    int insert_file(const char *name);
    void footer();

    // Access control.
    void get_authorization(const char *line, int cookie);
    void base64bin(const char *in, char *out, int maxlen);
    int has_access();
    // The request's Host is this server (or absent): a local peer's exemption holds only then.
    bool names_this_server();
    // 1 when the request was sent on behalf of another site (a page open in a browser).
    int cross_site();

    // File serving. put_file: 1 when answered, 0 for a 404; -1 in the front when a worker must
    // answer (nothing sent). root: the directory the path is taken from, the document root when null.
    int put_file(const char *d, const char *root = nullptr);
    int list_dir(const char *ref, const char *root = nullptr);

    // FIG query reply.
    int send_figs(int type, int ext);

    // The connection takes one of the listener's places until it ends or becomes a stream.
    void hold_client_place(httpd *h) { place_ = h; }
    void leave_client_place();

    // Pages and streams behind the dispatch table.
    int display_status(int mode);
    int stream(int n, char *remoteip, int mode);
    int display_setup(char *token, int mode);
    int display_statistic();
    void dabplus_table();
    // /api/<name>: the ensemble as JSON.
    int display_api(const char *name);

    // Setup page: selectors of the analogue output subchannel and of the known ensembles.
    void put_programmes();
    void put_ensembles();

    ensemble *e;
    dab_service_t *subchannel;
    char zeitdatum[40];
    char ens[20];
    int eid;
    int s;
    char remoteip[256];
    sockaddr_in6 remip;
    int localhost;
    char url[256];
    char location[259];
    char request[256];
    char header[4096];
    // Request header lines that tell where a request comes from (empty when absent).
    char host_field[256];
    char origin_field[256];
    char referer_field[512];
    char fetch_site_field[32];
    // "Icy-MetaData": a player that asks for stream titles.
    char icy_field[8] = {};
    int contentlength;
    char login[30];
    char pw[12];
    char *content;
    int status;

private:
    // Sends, or in the front keeps what the socket does not take now; false when the peer is gone.
    bool send_out(const void *buf, size_t len, bool more);
    int send_file(int fd, off_t size);
    bool send_with_file(const char *head, size_t head_len, int fd, off_t size);
    static constexpr size_t small_answer = 65536;
    void not_found();

    // Bytes received but not yet handed out by getline/receive.
    char rbuf_[2048];
    int rpos_, rlen_;
    // The head as far as it is read: a line that waits for its end, and the lines taken.
    char hline_[1024];
    int line_len_;
    int head_lines_;
    bool head_started_;
    bool head_done_;
    int head_result_;
    bool counted_;
    bool front_;
    bool would_block_;
    bool received_;
    std::vector<char> rest_;  // what the front could not send without waiting
    bool content_owned_;
    // Monotonic milliseconds by which the receiving must be done, 0 for none.
    long long deadline_ms_;
    bool timed_out_;
    httpd *place_;
};

// Idle workers beyond this many end after worker_idle_s seconds without a connection.
constexpr int max_idle_workers = 8;
constexpr int worker_idle_s = 5;
constexpr int accept_wait_ms = 200;
// A connection that has sent nothing for this long goes from the front to a worker.
constexpr int front_wait_ms = 3;
// Connections a front takes from the listener at one go.
constexpr int front_batch = 64;
constexpr int out_of_descriptors_ms = 50;

// Request bodies larger than this are answered 413 and not read: setup forms are small.
constexpr int max_content_length = 64 * 1024;
// The request head must arrive within this time and hold at most this many lines.
constexpr int max_head_ms = 20000;
constexpr int max_head_lines = 100;

// Kind of a file opened by open_served.
enum class served { file, directory, other, missing };
// Opens a file below the document root for sending, without blocking on a FIFO or device:
// only a regular file is handed out (its descriptor in *fd, its status in *st), and its type is
// taken from the very descriptor that is read. known: the path's status, when the caller has
// just read it.
served open_served(const char *path, int *fd, struct stat *st, const struct stat *known = nullptr);
