#pragma once
// Bounded output of one service directory: a running total of what lies below it, the oldest
// completed objects removed first once the total exceeds the quota; and write failures
// reported at a bounded rate, so a full disk does not flood the log.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>

class mot_quota {
public:
    // root: the service directory (counted whole); objects: the directory below it (or the
    // same) whose files are objects and may be removed. limit 0: no limit.
    mot_quota(const std::string &root, const std::string &objects, uint64_t limit);

    // Another root above the objects' directory; false (and unchanged) when it is not above.
    bool set_root(const std::string &root);
    // Files already there count; done once, before the first object is added.
    void scan();
    // A completed object in place at path (a former file of that name is replaced).
    void add(const std::string &path);
    // Removes the oldest removable objects until the total and reserve fit; keep(path) spares
    // a file. The files removed.
    int enforce(const std::function<bool(const std::string &)> &keep, uint64_t reserve = 0);

    bool limited() const { return limit_ > 0; }
    uint64_t limit() const { return limit_; }
    uint64_t used() const { return used_; }
    const std::string &objects() const { return objects_; }
    // Space a file takes: its length, or the blocks it fills when they are more.
    static uint64_t footprint(const struct stat &st);

private:
    struct entry {
        std::string path;
        uint64_t size;
    };
    void account(const std::string &path, uint64_t size);
    bool removable(const std::string &path) const;
    void remove_empty_dirs(const std::string &path);
    void walk(const std::string &dir, int depth, std::list<std::pair<struct timespec, entry>> &found);

    std::string root_, objects_;
    uint64_t limit_;
    uint64_t used_ = 0;
    bool scanned_ = false;
    std::list<entry> order_;  // oldest first
    std::unordered_map<std::string, std::list<entry>::iterator> index_;
};

// Rate of warnings that could repeat with every object: the first at once, then at most one a
// minute of each kind, with the number held back meanwhile.
class mot_failure_log {
public:
    enum kind_t { disk_full = 0, write_error = 1, over_quota = 2 };
    // True when a line may be written now; held gets the number held back since the last one.
    bool due(kind_t kind, time_t now, int *held);

    static constexpr int period_s = 60;

private:
    struct kind {
        time_t last = 0;
        bool any = false;
        int held = 0;
    };
    kind kinds_[3];
};

// ENOSPC and EDQUOT: no room for the object, which is given up, decoding goes on.
bool mot_disk_full(int err);
