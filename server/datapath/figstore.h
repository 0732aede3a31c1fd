#pragma once
// The FIG store: every distinct piece of the ensemble's configuration (one subchannel, one
// service, one label, ...) held once as a record, refreshed whenever it is received again
// and dropped when it has not been for FIG_MAX_AGE seconds.

#include <pthread.h>

#include <cstdint>
#include <ctime>
#include <vector>

#include "common/fig_records.h"

class ensemble;
class fig;

// One record of the store as the FIG overview shows it.
typedef struct fig_summary_s {
    int type, ext, len, oe, pd, cn, charset;
    uint32_t timestamp;
    int occurence;
} fig_summary_t;

constexpr int FIG_MAX_AGE = 20;  // seconds without reception before a record goes

class fig_store {
public:
    explicit fig_store(ensemble *p);
    ~fig_store();
    fig_store(const fig_store &) = delete;
    fig_store &operator=(const fig_store &) = delete;

    int add_fig(fig *f);
    fig *find(fig *after, void *data, fig *g, int crit);
    fig *find(fig *after, void *data, int figtype, int ext);
    int findcrit(fig *f, fig *g);
    int replace(fig *g);
    int collect_garbage();
    int clear(int type, int ext);
    int clearall();
    // Copies of every record of (figtype, ext), newest first: the first into data (which
    // must come from malloc and hold one record of that type), the others malloc'ed and
    // chained with fig_next. With nothing found data is freed and 0 returned.
    int findall(void *data, int figtype, int ext);
    // What the statistics page shows of every record in the store, newest first.
    std::vector<fig_summary_t> summaries();
    int get_ensemble_id();
    int get_ensemble_label(char *s);
    int get_ensemble_shortlabel(char *s);

    fig *m_figs;
    pthread_mutex_t lock;
    ensemble *e;
    int m_dwCurEnsId;

private:
    int get_label(char *s, bool shortname);
};
