#include "mot/util2.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "datapath/isoconv.h"

int make_dirs(const char *path) {
    char dir[256];
    const size_t n = strnlen(path, sizeof dir - 1);
    for (size_t i = 1; i < n; i++) {
        if (path[i] != '/') continue;
        memcpy(dir, path, i);
        dir[i] = 0;
        mkdir(dir, 0777);  // an existing directory is fine; a real failure shows when the file is opened
    }
    return 0;
}

void quote_string(char *out, const char *in, int n) {
    int o = 0;
    for (; *in; in++) {
        // The quote too: page writers put names from the air into attribute values.
        const char *rep = *in == '<' ? "&lt;" : *in == '>' ? "&gt;" : *in == '"' ? "&quot;" : nullptr;
        const int need = rep ? static_cast<int>(strlen(rep)) : 1;
        if (o + need > n - 1) break;
        if (rep) {
            memcpy(out + o, rep, static_cast<size_t>(need));
        } else {
            out[o] = *in;
        }
        o += need;
    }
    if (n > 0) out[o] = 0;
}

void translate_umlaut(const char *in, char *out) {
    size_t i = 0;
    for (; in[i]; i++) out[i] = static_cast<char>(transiso646(static_cast<unsigned char>(in[i])));
    out[i] = 0;
}

page_file::page_file(const char *path) {
    path_[0] = tmp_[0] = 0;
    if (snprintf(tmp_, sizeof tmp_, "%s.tmp", path) >= static_cast<int>(sizeof tmp_)) return;
    copy_field(path_, path);
    f_ = fopen(tmp_, "w");
    // Every page fails alike while the data path cannot be written: said when it begins.
    static std::atomic<bool> failing{false};
    if (f_) {
        failing = false;
    } else if (!failing.exchange(true) && e && e->l) {
        e->l->log(LOG_ERR, "MOT: cannot write %s: %s\n", tmp_, strerror(errno));
    }
}

page_file::~page_file() {
    if (!f_) return;
    fclose(f_);
    remove(tmp_);
}

bool page_file::commit() {
    if (!f_) return false;
    bool ok = fflush(f_) == 0 && !ferror(f_);
    ok = fclose(f_) == 0 && ok;
    f_ = nullptr;
    if (ok && rename(tmp_, path_) == 0) return true;
    remove(tmp_);
    return false;
}
