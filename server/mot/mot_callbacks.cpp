// Default output of MOT objects: bodies go into "<name>.tmp" below the service directory and
// take their final name (decompressed when sent as gzip) only once complete and intact.

#include "mot/mot_callbacks.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/log.h"
#include "core/plattform.h"
#include "mot/http.h"
#include "mot/mot_dec.h"
#include "mot/mot_dir.h"
#include "mot/mot_quota.h"
#include "mot/util2.h"

namespace {

constexpr char tmp_suffix[] = ".tmp";
constexpr char gunzip_prefix[] = ".gunzip-";
constexpr int gunzip_block = 4096;

// Set in zstate once a write failed, so the object can never be finished.
char write_failed_mark;

bool write_failed(const mot_object_state_t *obj) { return obj->zstate == &write_failed_mark; }

// A failed system call of the output: the object is given up with a warning, at most one a
// minute for a full disk and one for other errors, since they recur with every object.
void output_failed(mot_state_t *ms, int err, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void output_failed(mot_state_t *ms, int err, const char *fmt, ...) {
    if (!err) err = EIO;  // a short write need not set errno
    const bool full = mot_disk_full(err);
    int held = 0;
    if (ms->failures && !ms->failures->due(full ? mot_failure_log::disk_full : mot_failure_log::write_error,
                                           time(nullptr), &held))
        return;
    char what[700];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(what, sizeof what, fmt, ap);
    va_end(ap);
    char more[96] = "";
    if (held)
        snprintf(more, sizeof more, " (%i more in the last %i s)", held, mot_failure_log::period_s);
    mot_log(ms, LOG_WARN, "#%i: %s: %s, object discarded%s%s\n", ms->id, what, strerror(err),
            full ? ", decoding goes on" : "", more);
}

bool only_dots(const char *s, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (s[i] != '.') return false;
    return true;
}

bool ends_with_nocase(const char *s, size_t n, const char *tail) {
    const size_t t = strlen(tail);
    return n >= t && strncasecmp(s + n - t, tail, t) == 0;
}

// Every existing directory between prefix and the file must be a real one: a symlink planted
// there would carry our writes elsewhere. Directories still missing are made by us.
bool no_symlink_below(const char *prefix, const char *path) {
    const size_t plen = strlen(prefix);
    char part[sizeof(mot_object_state_t::path)];
    const size_t n = strnlen(path, sizeof part - 1);
    for (size_t i = plen + 1; i < n; i++) {
        if (path[i] != '/') continue;
        memcpy(part, path, i);
        part[i] = 0;
        struct stat st;
        if (lstat(part, &st) != 0) return errno == ENOENT;
        if (S_ISLNK(st.st_mode)) return false;
    }
    return true;
}

bool final_path(mot_state_t *ms, const mot_object_state_t *obj, char *out, int size, const char *suffix) {
    if (mot_output_path(out, size, ms->path_prefix, obj->mha.path, suffix, obj->dgtype == 6) &&
        no_symlink_below(ms->path_prefix, out))
        return true;
    char name[sizeof obj->mha.path];
    printable(name, sizeof name, obj->mha.path, static_cast<int>(strlen(obj->mha.path)));  // no forged log lines
    mot_log(ms, LOG_WARN, "#%i: Invalid file name <%s>, object ignored\n", ms->id, name);
    mot_count(ms, MS_MOT_BAD_NAMES);
    return false;
}

// Closes the received file; false when anything written was not stored.
bool close_received(mot_state_t *ms, mot_object_state_t *obj) {
    FILE *f = obj->file;
    obj->file = nullptr;
    if (!f) {
        mot_log(ms, LOG_WARN, "#%i: No file open for <%s>\n", ms->id, obj->path);
        return false;
    }
    bool ok = fflush(f) == 0 && !ferror(f);
    int err = errno;
    if (fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok && !write_failed(obj)) output_failed(ms, err, "Writing <%s> failed", obj->path);
    return ok && !write_failed(obj);
}

// Decompresses obj->path into a fresh file beside final and moves it there.
bool gunzip_to(mot_state_t *ms, mot_object_state_t *obj, const char *final) {
    char tmp[sizeof obj->path + sizeof gunzip_prefix + 6];
    const char *slash = strrchr(final, '/');  // there is one: final starts with the prefix and "/"
    const int dirlen = static_cast<int>(slash - final);
    snprintf(tmp, sizeof tmp, "%.*s/%sXXXXXX", dirlen, final, gunzip_prefix);
    const int fd = mkstemp(tmp);
    if (fd < 0) {
        output_failed(ms, errno, "Can't create file <%s>", tmp);
        return false;
    }
    fchmod(fd, 0644);  // mkstemp's 0600 would differ from every other object
    FILE *out = fdopen(fd, "wb");
    if (!out) {
        const int err = errno;
        close(fd);
        remove(tmp);
        output_failed(ms, err, "Can't create file <%s>", tmp);
        return false;
    }
    gzFile in = gzopen(obj->path, "rb");
    if (!in) {
        fclose(out);
        remove(tmp);
        mot_log(ms, LOG_WARN, "#%i: Can't read <%s>: %s\n", ms->id, obj->path, strerror(errno));
        return false;
    }

    unsigned char buf[gunzip_block];
    long total = 0;
    const char *why = nullptr;
    int oserr = 0;  // a failed write, reported at the output's rate
    char zmsg[80];  // gzerror's text lives only as long as the gzFile
    for (;;) {
        const int n = gzread(in, buf, sizeof buf);
        if (n < 0) {
            why = "decompression error";
            break;
        }
        if (n == 0) break;
        if (total + n > MOT_GUNZIP_MAX) {
            mot_log(ms, LOG_WARN, "#%i: <%s> expands beyond %ld bytes, object given up\n", ms->id, final,
                    MOT_GUNZIP_MAX);
            why = "";
            break;
        }
        if (fwrite(buf, 1, static_cast<size_t>(n), out) != static_cast<size_t>(n)) {
            oserr = errno ? errno : EIO;
            why = "";
            break;
        }
        total += n;
    }
    int zerr = Z_OK;
    const char *zm = gzerror(in, &zerr);
    // A stream cut short only shows as Z_BUF_ERROR; a body that is no gzip at all is read "directly".
    if (!why && (zerr != Z_OK || !gzeof(in))) {
        copy_field(zmsg, zm && *zm ? zm : "truncated stream");
        why = zmsg;
    }
    if (!why && gzdirect(in)) why = "not in gzip format";
    if (gzclose(in) != Z_OK && !why) why = "truncated stream";
    const bool flushed = fflush(out) == 0 && !ferror(out);
    const int werr = errno;
    if (fclose(out) != 0 && !why) {
        oserr = errno ? errno : EIO;
        why = "";
    }
    if (!flushed && !why) {
        oserr = werr ? werr : EIO;
        why = "";
    }
    if (!why && rename(tmp, final) != 0) {
        oserr = errno ? errno : EIO;
        why = "";
    }
    if (why) {
        remove(tmp);
        if (oserr)
            output_failed(ms, oserr, "Decompressing <%s> failed", final);
        else if (*why)
            mot_log(ms, LOG_WARN, "#%i: Decompressing <%s> failed: %s\n", ms->id, final, why);
        return false;
    }
    remove(obj->path);
    copy_field(obj->path, final);
    obj->flen = static_cast<int>(total);
    return true;
}

// Objects being received take room as well: their bytes so far and the block each one fills
// only partly.
uint64_t in_flight(const mot_state_t *ms) {
    uint64_t n = 0;
    for (const auto &o : ms->mobs)
        if (o.file && o.flen > 0) n += static_cast<uint64_t>(o.flen) + 4096;
    return n;
}

// Removes the oldest objects until the completed ones and those being received, with more
// bytes to come, fit the quota.
void make_room(mot_state_t *ms, int more) {
    mot_quota *q = ms->quota;
    if (!q || !q->limited()) return;
    const uint64_t reserve = in_flight(ms) + static_cast<uint64_t>(more > 0 ? more : 0);
    q->scan();
    if (q->used() + reserve <= q->limit()) return;
    // What a viewer may be looking at stays: the slide shown, the directory's objects, the
    // object completed last.
    std::unordered_set<std::string> kept{MOT_DIR_FILE, ms->last_file_system};
    {
        mutex_guard g(&ms->slide_lock);
        kept.insert(ms->slideshowfile);
    }
    std::vector<std::string> listed;
    mot_dir_names(ms, listed);
    kept.insert(listed.begin(), listed.end());
    const size_t plen = q->objects().size();  // what enforce removes lies below it
    const int removed = q->enforce(
        [&](const std::string &p) { return p.size() <= plen + 1 || kept.count(p.substr(plen + 1)) != 0; }, reserve);
    if (removed)
        mot_log(ms, LOG_DEBUG, "#%i: %i oldest objects removed, %llu of %llu KiB in use\n", ms->id, removed,
                static_cast<unsigned long long>(q->used() >> 10), static_cast<unsigned long long>(q->limit() >> 10));
    int held = 0;
    if (q->used() + reserve > q->limit() && ms->failures &&
        ms->failures->due(mot_failure_log::over_quota, time(nullptr), &held))
        mot_log(ms, LOG_WARN, "#%i: Output takes %llu KiB, more than its quota of %llu KiB: what is left is in use\n",
                ms->id, static_cast<unsigned long long>((q->used() + reserve) >> 10),
                static_cast<unsigned long long>(q->limit() >> 10));
}

}  // namespace

const mot_callbacks_t mot_default_callbacks = {
    nullptr, nullptr, nullptr, mot_cbx_start_file, mot_cbx_write_data, mot_cbx_discard_file, mot_cbx_finish_file,
    mot_cbx_file_ok, nullptr,
};

bool mot_output_path(char *out, int size, const char *prefix, const char *name, const char *suffix,
                     bool allow_dir_file) {
    if (!out || size <= 0) return false;
    out[0] = 0;
    if (!prefix || !*prefix || !name || !*name || !suffix) return false;
    if (name[0] == '/' || strchr(name, '\\')) return false;
    if (((name[0] | 0x20) >= 'a' && (name[0] | 0x20) <= 'z') && name[1] == ':') return false;
    for (const char *p = name; *p; p++)
        if (static_cast<unsigned char>(*p) < 0x20) return false;
    const char *comp = name;
    for (;;) {
        const char *end = strchr(comp, '/');
        const size_t n = end ? static_cast<size_t>(end - comp) : strlen(comp);
        if (n == 0 || only_dots(comp, n)) return false;
        if (!end) {
            // The decoder's own temporary files must never be an object's name.
            if (ends_with_nocase(comp, n, tmp_suffix) || strncmp(comp, gunzip_prefix, strlen(gunzip_prefix)) == 0)
                return false;
            if (!allow_dir_file && strcmp(comp, MOT_DIR_FILE) == 0) return false;
            break;
        }
        comp = end + 1;
    }
    // A name cut to fit could collide with another one, so it does not fit at all.
    const int len = snprintf(out, static_cast<size_t>(size), "%s/%s%s", prefix, name, suffix);
    const size_t plen = strlen(prefix), nlen = strlen(name);
    if (len < 0 || len >= size || strncmp(out, prefix, plen) != 0 || out[plen] != '/' ||
        strncmp(out + plen + 1, name, nlen) != 0 || strcmp(out + plen + 1 + nlen, suffix) != 0) {
        out[0] = 0;
        return false;
    }
    return true;
}

int mot_cbx_start_file(mot_state_t *ms, mot_object_state_t *obj) {
    char path[sizeof obj->path];
    obj->zstate = nullptr;
    if (!final_path(ms, obj, path, sizeof path, tmp_suffix)) {
        obj->path[0] = 0;
        return 0;
    }
    copy_field(obj->path, path);
    make_dirs(path);
    // No following a symlink someone left under the temporary name.
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        output_failed(ms, errno, "Can't create file <%s>", path);
        return 0;
    }
    obj->file = fdopen(fd, "wb");
    if (!obj->file) {
        const int err = errno;
        close(fd);
        remove(path);
        output_failed(ms, err, "Can't create file <%s>", path);
        return 0;
    }
    return 1;
}

int mot_cbx_write_data(mot_state_t *ms, mot_object_state_t *obj, const unsigned char *data, int len) {
    if (!obj->file || write_failed(obj) || len < 0 || (len > 0 && !data)) return 0;
    if (len == 0) return 1;
    if (obj->flen > INT_MAX - len) {
        mot_log(ms, LOG_WARN, "#%i: Writing <%s> failed: object too large\n", ms->id, obj->path);
        obj->zstate = &write_failed_mark;
        return 0;
    }
    make_room(ms, len);
    if (fwrite(data, 1, static_cast<size_t>(len), obj->file) != static_cast<size_t>(len)) {
        output_failed(ms, errno, "Writing <%s> failed", obj->path);
        obj->zstate = &write_failed_mark;
        return 0;
    }
    obj->flen += len;
    return 1;
}

int mot_cbx_discard_file(mot_state_t *, mot_object_state_t *obj) {
    if (obj->file) fclose(obj->file);
    obj->file = nullptr;
    // Only ever our own temporary file: a finished object keeps its final name.
    const size_t n = strnlen(obj->path, sizeof obj->path);
    if (n && ends_with_nocase(obj->path, n, tmp_suffix)) remove(obj->path);
    return 0;
}

int mot_cbx_finish_file(mot_state_t *ms, mot_object_state_t *obj) {
    char final[sizeof obj->path];
    bool ok = close_received(ms, obj) && final_path(ms, obj, final, sizeof final, "");
    if (ok) {
        const bool gzip = (obj->mha.hdr_flags >> MOT_PARAM_COMPRESSION & 1) && obj->mha.compression == 1;
        if (gzip) {
            ok = gunzip_to(ms, obj, final);
        } else if (rename(obj->path, final) != 0) {
            output_failed(ms, errno, "Renaming <%s> failed", obj->path);
            ok = false;
        } else {
            copy_field(obj->path, final);
        }
    }
    if (!ok) {
        const size_t n = strnlen(obj->path, sizeof obj->path);
        if (n && ends_with_nocase(obj->path, n, tmp_suffix)) remove(obj->path);
        return 0;
    }
    return 1;
}

bool mot_output_root(mot_state_t *ms, const char *root) { return ms->quota && root && ms->quota->set_root(root); }

void mot_cbx_file_ok(mot_state_t *ms, mot_object_state_t *, const char *path) {
    mot_quota *q = ms->quota;
    if (!q || !q->limited() || !path) return;
    q->add(path);
    make_room(ms, 0);
}
