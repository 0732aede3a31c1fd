#pragma once
// The one central object: owns every subsystem object; each keeps a back pointer to it.

class mot_dec_class;
class logger;
class dabapi;
class config;
class ringbuff;
class rdi;
class fic;
class msc;
class dcsr;
class statistic;
class httpd;
class cleanup;
class icecast;
struct dab_subchannel_s;
typedef struct dab_subchannel_s dab_subchannel_t;
struct dab_service_s;
typedef struct dab_service_s dab_service_t;
struct fig_s;
struct gen_data_s;

// Optional hooks into the FIC decoder; the server installs none.
typedef int (*fib_decoder_callback_t)(void *context, unsigned char *fib);
typedef int (*fig_decoder_callback_t)(void *context, fig_s *f, int pos);
typedef int (*fig_replace_callback_t)(void *context, gen_data_s *a, gen_data_s *b);

// Thread groups of start_threads/stop_threads.
constexpr int THREADS_HTTP = 0x001;
constexpr int THREADS_MOT = 0x002;
constexpr int THREADS_LOG = 0x004;
constexpr int THREADS_RDI = 0x400;

extern const char *const dab_banner;

class ensemble {
public:
    ensemble();
    ~ensemble();
    ensemble(const ensemble &) = delete;
    ensemble &operator=(const ensemble &) = delete;

    int start_threads(int flags, int argc, char **argv);
    int stop_threads();
    void set_finished(int value);
    int get_finished();
    int init();

    int myflags;
    mot_dec_class *mot_decoder;
    logger *l;
    dabapi *api;
    config *cfg;
    ringbuff *rbuff;
    rdi *rdi_stream;
    fic *fic_stream;
    msc *msc_stream;
    dcsr *d;
    statistic *st;
    httpd *http;
    cleanup *clean;
    icecast *ice;  // the Icecast sources
    dab_subchannel_t *subchannel;
    dab_service_t *service;
    fib_decoder_callback_t fib_decoder_callback;
    void *fib_decoder_context;
    fig_decoder_callback_t fig_decoder_callback;
    void *fig_decoder_context;
    fig_replace_callback_t fig_replace_callback;
    void *fig_replace_context;
};

extern ensemble *e;
