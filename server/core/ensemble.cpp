#include "core/ensemble.h"

#include <unistd.h>

#include "core/config.h"
#include "core/log.h"
#include "datapath/fic.h"
#include "datapath/msc.h"
#include "datapath/rdi.h"
#include "datapath/ringbuff.h"
#include "httpd/httpd.h"
#include "httpd/icecast.h"
#include "module/cleanup.h"
#include "module/dabapi.h"
#include "module/dcsr.h"
#include "mot/motmain.h"

ensemble *e = nullptr;

const char *const dab_banner = "DAV orodovedavu rivado V 2.26F - DAB application server";

ensemble::ensemble()
    : myflags(0), mot_decoder(nullptr), l(nullptr), api(nullptr), cfg(nullptr), rbuff(nullptr), rdi_stream(nullptr),
      fic_stream(nullptr), msc_stream(nullptr), d(nullptr), st(nullptr), http(nullptr), clean(nullptr), ice(nullptr),
      subchannel(nullptr), service(nullptr), fib_decoder_callback(nullptr), fib_decoder_context(nullptr),
      fig_decoder_callback(nullptr), fig_decoder_context(nullptr), fig_replace_callback(nullptr),
      fig_replace_context(nullptr) {
    cfg = new config(this);
    l = new logger(this);
    api = new dabapi(this);
    rbuff = new ringbuff(this);
    rdi_stream = new rdi(this);
    fic_stream = new fic(this);
    msc_stream = new msc(this);
    d = new dcsr(this);
    st = new statistic(this);
    http = new httpd(this);
    clean = new cleanup(this);
    ice = new icecast(this);
    mot_decoder = new mot_dec_class(this);
    subchannel = msc_stream->subchannel;
    service = msc_stream->service;
}

ensemble::~ensemble() {
    // Users before what they use, so that no destructor (some stop threads) reaches a sibling
    // already gone; the logger and the configuration it reads go last. HTTP connections reach
    // nearly everything: they end first, also when stop_threads was never called.
    if (http) http->stop();
    // The sources read the rings and the decoder's labels: they go before either.
    delete ice;
    delete mot_decoder;
    delete clean;
    delete http;
    delete rdi_stream;
    subchannel = nullptr;
    service = nullptr;
    delete msc_stream;
    delete fic_stream;
    delete rbuff;
    delete d;
    delete st;
    delete api;
    delete l;
    delete cfg;
}

int ensemble::start_threads(int flags, int argc, char **argv) {
    l->log(LOG_INFO, "%s\n", dab_banner);
    myflags = flags;
    if (flags & THREADS_LOG) l->start();
    if (flags & THREADS_HTTP) {
        http->start();
        ice->start();
    }
    if (flags & THREADS_RDI) {
        rdi_stream->start();
        clean->start();
    }
    if (flags & THREADS_MOT) {
        if (!argv)
            mot_decoder->mot_startup(static_cast<signed char>(cfg->motargc), cfg->motargv);
        else
            mot_decoder->mot_startup(argc, argv);
    }
    return 0;
}

int ensemble::stop_threads() {
    set_finished(1);
    // Every source connection closed before the labels and rings it reads go.
    ice->stop();
    if (myflags & THREADS_MOT) mot_decoder->mot_stop_decoding(1);
    sleep(1);
    if (myflags & THREADS_HTTP) http->stop();
    if (myflags & THREADS_RDI) {
        rdi_stream->stop();
        clean->stop();
    }
    if (myflags & THREADS_LOG) l->stop();
    return 0;
}

void ensemble::set_finished(int value) { cfg->finished = value; }

int ensemble::get_finished() { return cfg->finished; }

int ensemble::init() {
    cfg->read_configfile();
    cfg->read_ensemblefile();
    return cfg->set_config();
}
