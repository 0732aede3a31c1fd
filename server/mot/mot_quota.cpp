#include "mot/mot_quota.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Object names have at most a few components; anything deeper is not ours to count.
constexpr int max_depth = 32;

std::string without_trailing_slash(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

bool below(const std::string &path, const std::string &dir) {
    return path.size() > dir.size() + 1 && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

bool earlier(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

}  // namespace

bool mot_disk_full(int err) {
#ifdef EDQUOT
    if (err == EDQUOT) return true;
#endif
    return err == ENOSPC;
}

mot_quota::mot_quota(const std::string &root, const std::string &objects, uint64_t limit)
    : root_(without_trailing_slash(root)), objects_(without_trailing_slash(objects)), limit_(limit) {
    if (root_ != objects_ && !below(objects_, root_)) root_ = objects_;
}

bool mot_quota::set_root(const std::string &root) {
    const std::string r = without_trailing_slash(root);
    if (r != objects_ && !below(objects_, r)) return false;
    root_ = r;
    if (scanned_) {
        order_.clear();
        index_.clear();
        used_ = 0;
        scanned_ = false;
    }
    return true;
}

uint64_t mot_quota::footprint(const struct stat &st) {
    const uint64_t len = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    const uint64_t blocks = st.st_blocks > 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
    return blocks > len ? blocks : len;
}

void mot_quota::walk(const std::string &dir, int depth, std::list<std::pair<struct timespec, entry>> &found) {
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> subdirs;
    while (struct dirent *de = readdir(d)) {
        if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, "..")) continue;
        std::string p = dir + "/" + de->d_name;
        struct stat st;
        // Never followed: a link is counted as itself and leads nowhere.
        if (lstat(p.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (depth < max_depth) subdirs.push_back(std::move(p));
        } else if (S_ISREG(st.st_mode)) {
            found.push_back({st.st_mtim, entry{std::move(p), footprint(st)}});
        }
    }
    closedir(d);
    for (const auto &s : subdirs) walk(s, depth + 1, found);
}

void mot_quota::scan() {
    if (scanned_) return;
    scanned_ = true;
    std::list<std::pair<struct timespec, entry>> found;
    walk(root_, 0, found);
    found.sort([](const auto &a, const auto &b) { return earlier(a.first, b.first); });
    for (auto &f : found) account(f.second.path, f.second.size);
}

void mot_quota::account(const std::string &path, uint64_t size) {
    auto it = index_.find(path);
    if (it != index_.end()) {
        used_ -= it->second->size;
        order_.erase(it->second);
        index_.erase(it);
    }
    order_.push_back(entry{path, size});
    index_[path] = std::prev(order_.end());
    used_ += size;
}

void mot_quota::add(const std::string &path) {
    if (!limited()) return;
    scan();
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    account(path, footprint(st));
}

bool mot_quota::removable(const std::string &path) const { return below(path, objects_); }

void mot_quota::remove_empty_dirs(const std::string &path) {
    std::string dir = path;
    for (;;) {
        const size_t slash = dir.rfind('/');
        if (slash == std::string::npos) return;
        dir.resize(slash);
        if (!below(dir, objects_) || rmdir(dir.c_str()) != 0) return;
    }
}

int mot_quota::enforce(const std::function<bool(const std::string &)> &keep, uint64_t reserve) {
    if (!limited()) return 0;
    scan();
    const uint64_t target = reserve < limit_ ? limit_ - reserve : 0;
    int removed = 0;
    for (auto it = order_.begin(); it != order_.end() && used_ > target;) {
        if (!removable(it->path) || keep(it->path)) {
            ++it;
            continue;
        }
        // A file someone else removed meanwhile takes no room either.
        if (unlink(it->path.c_str()) != 0 && errno != ENOENT) {
            ++it;
            continue;
        }
        remove_empty_dirs(it->path);
        used_ -= it->size;
        index_.erase(it->path);
        it = order_.erase(it);
        removed++;
    }
    return removed;
}

bool mot_failure_log::due(kind_t which, time_t now, int *held) {
    kind &k = kinds_[which];
    // A clock set back must not silence the warnings for good.
    if (k.any && now >= k.last && now - k.last < period_s) {
        k.held++;
        return false;
    }
    if (held) *held = k.held;
    k.any = true;
    k.last = now;
    k.held = 0;
    return true;
}
