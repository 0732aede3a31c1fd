// dabserver: entry point, command line and main loop.

#include <getopt.h>
#include <malloc.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/rdi.h"
#include "httpd/httpd.h"
#include "ipdab/ip_dec.h"
#include "module/cleanup.h"
#include "module/dabapi.h"
#include "module/dcsr.h"
#include "module/scanner.h"
#include "mot/motmain.h"

namespace {

const char usage_text[] =
    "Usage: %s [options] -M [mot-options] [<device>]\n\nOptions:\n\n"
    "-a <subchid>        Select subchannel for DAC output (default: none)\n"
    "-b                  Show only DPRAM of DAB-module and exit\n"
    "-c <configpath>     Set path and filename of configuration file\n"
    "-D                  Dump RDI-Stream\n"
    "-d <device>         Select device node (default: /dev/dsp)\n"
    "-e <ensemblefile>   Set path and filename of ensemble file\n"
    "-f <logfile>        Set path and filename of logfile (default:dab.log)\n"
    "-h                  Show this info\n"
    "-H <hostname:port>  Set visible hostname (default: localhost:8000)\n"
    "-l <file> <screen>  Set loglevels for logfile & screen (default: 1 1)\n"
    "-M [mot-options]    Start MOT/PAD-decoder (-M ? for help on mot-options)\n"
    "-m                  Disable MOT decoder\n"
    "-P <passwdfilepath> Set location and filename of password file\n"
    "-p <port>           Change HTTP server port (default: 8000)\n"
    "-q                  Quit after setting up the device\n"
    "-r <rdiconfig>      Set RDI-Configuration for Velkor PCI (4 (default) or 2 (with CS8412))\n"
    "-s                  Scan for ensembles\n"
    "-R <doc-root>       Set document root for HTTP server\n"
    "-t <tunefreq>       Tune module receiver to freq (default: n/a)\n"
    "-w                  Write default configuration file dab.ini\n\n";

}  // namespace

void ctrlc_handler(int) { e->cfg->finished = 1; }

namespace {

// Every HTTP connection and stream listener takes a descriptor; the usual soft limit of 1024
// is less than the connections the server lets in.
void raise_descriptor_limit() {
    unsigned long long before = 0, after = 0;
    const int err = raise_open_files_limit(&before, &after);
    if (err)
        e->l->log(LOG_WARN, "could not raise the open files limit of %llu: %s\n", before, strerror(err));
    else if (after != before)
        e->l->log(LOG_INFO, "open files limit raised from %llu to %llu\n", before, after);
    else
        e->l->log(LOG_INFO, "open files limit: %llu\n", after);
    const unsigned long long wanted = static_cast<unsigned long long>(e->cfg->httpmaxclients) + 64;
    if (after < wanted)
        e->l->log(LOG_WARN, "open files limit %llu is small for %d http connections\n", after,
                  e->cfg->httpmaxclients);
}

}  // namespace

void showhelp(char *s) { printf(usage_text, s); }

namespace {

struct run_options {
    int diagonly = 0, quit = 0, rdidump = 0, testmode = 0, scan = 0, mot = 1;
    int mot_argc = 0;
    char **mot_argv = nullptr;
};

// Reads the options into the configuration and o; false when the process is to end at once
// (help shown).
bool parse_command_line(int argc, char **argv, run_options &o) {
    config *cfg = e->cfg;
    char comport[257] = "";
    bool mot_options = false;
    int c;
    while (!mot_options && (c = getopt(argc, argv, "Aa:bc:C:d:De:EhH:L:l:g:f:mM::p:P:qr:R:st:Tw?")) != -1) {
        switch (c) {
            case 'a': cfg->audiosubchid = atoi(optarg); break;
            case 'b': o.diagonly = 1; break;
            case 'c':
                cfg->set_configfile(optarg);
                cfg->read_configfile();
                break;
            case 'd': copy_field(cfg->device, optarg); break;
            case 'D': o.rdidump = 1; break;
            case 'e': copy_field(cfg->ensemblefile, optarg); break;
            case 'E': cfg->emulate++; break;
            case 'f': copy_field(cfg->logfilename, optarg); break;
            case 'g': break;
            case 'H': copy_field(cfg->hostname, optarg); break;
            case 'l':
                cfg->logfilelevel = atoi(optarg);
                if (optind < argc) cfg->logscrnlevel = atoi(argv[optind++]);
                break;
            case 'L': copy_field(comport, optarg); break;
            case 'm': o.mot = 0; break;
            case 'M':
                o.mot_argc = argc - optind + 1;
                o.mot_argv = &argv[optind - 1];
                if (o.mot_argc == 2 && strcmp(o.mot_argv[1], "?") == 0) {
                    e->mot_decoder->usage();
                    return false;
                }
                mot_options = true;
                break;
            case 'p': cfg->httpport = atoi(optarg); break;
            case 'P': copy_field(cfg->passwdfile, optarg); break;
            case 'q': o.quit = 1; break;
            case 'r': cfg->rdiconfig = atoi(optarg); break;
            case 'R': copy_field(cfg->httpdroot, optarg); break;
            case 's': o.scan = 1; break;
            case 't': cfg->tunefreq = dcsr::name_to_channel(optarg); break;
            case 'T': o.testmode = 1; break;
            case 'w': cfg->write_configfile(); break;
            default: showhelp(argv[0]); return false;
        }
    }
    if (!mot_options && optind < argc) copy_field(cfg->device, argv[optind]);
    (void)comport;
    return true;
}

void scan_bands() {
    config *cfg = e->cfg;
    scanner sc(e);
    {
        module_lock guard(e->api);
        cfg->begin_scan();
        sc.scan_band(1, nullptr);
        sc.scan_band(2, nullptr);
        cfg->end_scan();
    }
    // The watcher talks to the module too; and without a configured frequency
    // there is nothing to go back to.
    if (cfg->tunefreq > -1) {
        module_lock guard(e->api);
        e->d->tune(cfg->tunefreq);
    }
    e->clean->force_reconfig();
}

// Threads, the optional scan and dump, then idle until the stop flag is set.
void run(const run_options &o) {
    config *cfg = e->cfg;
    signal(SIGINT, ctrlc_handler);
    if (!o.rdidump && !o.quit) {
        raise_descriptor_limit();
        e->api->set_dbg_mode(0);
        e->mot_decoder->register_service_decoders(-1);
        e->mot_decoder->packet_add_handler(&default_packet_ip_handler);
        e->start_threads(o.mot ? (THREADS_RDI | THREADS_LOG | THREADS_MOT | THREADS_HTTP)
                               : (THREADS_RDI | THREADS_LOG | THREADS_HTTP),
                         o.mot_argc, o.mot_argv);
    }
    if (o.scan) scan_bands();
    if (o.rdidump) {
        e->api->set_dbg_mode(o.testmode ? 1 : 0);
        start_rdidump(e, o.testmode ? 0 : 1);
    }
    if (!o.quit) {
        puts("\nserver is running, press CTRL-C to abort");
        fflush(stdout);
        while (!cfg->finished) sleep(2);
    }
    if (o.rdidump) stop_rdidump();
    e->l->log(LOG_INFO, "DAB server stopped\n");
    e->api->set_dbg_mode(0);
}

}  // namespace

int main(int argc, char **argv) {
#ifdef __GLIBC__
    // Every burst of clients starts up to a few hundred workers, and glibc gives threads arenas
    // of their own (up to eight per core) which keep their freed pages: resident memory then
    // creeps up wave after wave. Two arenas hold it flat at no cost we could measure; an
    // explicit MALLOC_ARENA_MAX still has its say.
    if (!getenv("MALLOC_ARENA_MAX")) mallopt(M_ARENA_MAX, 2);
#endif
    e = new ensemble();
    config *cfg = e->cfg;
    puts(dab_banner);
    cfg->read_configfile();

    run_options o;
    if (!parse_command_line(argc, argv, o)) {
        delete e;
        return 0;
    }
    if (cfg->emulate) copy_field(cfg->device, "/dev/null");

    if (!cfg->set_config()) {
        delete e;
        return -1;
    }

    if (!o.diagonly)
        run(o);
    else
        e->d->showbuf();

    puts("goodbye");
    fflush(stdout);
    e->stop_threads();
    // A server that could not take its HTTP port has not run: the caller must learn it.
    const int status = e->http->listen_error() ? 1 : 0;
    // The handler reaches the configuration through e: no more of it once that is gone.
    signal(SIGINT, SIG_IGN);
    delete e;
    e = nullptr;
    return status;
}
