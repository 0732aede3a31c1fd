#pragma once
// Keeps what a logger is asked to print, so that tests can look for messages; safe to
// feed from the server's threads.

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"

namespace testsupport {

struct log_line {
    int level;
    std::string text;
};

class log_capture {
public:
    // From now on the logger's messages end up here instead of on screen or in its file.
    void attach(logger *l);

    std::vector<log_line> lines() const;
    std::vector<std::string> texts() const;
    size_t size() const;
    void clear();
    // A message exactly equal to text.
    bool has(const std::string &text) const;
    // A message with part somewhere in it.
    bool contains(const std::string &part) const;
    int count_level(int level) const;

private:
    static int hook(void *context, loglevel_t level, int, int, const char *fmt, va_list ap);
    mutable std::mutex m_;
    std::vector<log_line> lines_;
};

}  // namespace testsupport
