#include "support/log_capture.h"

#include <cstdio>

namespace testsupport {

void log_capture::attach(logger *l) {
    l->context = this;
    l->logger_callback = &log_capture::hook;
}

int log_capture::hook(void *context, loglevel_t level, int, int, const char *fmt, va_list ap) {
    auto *self = static_cast<log_capture *>(context);
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, ap);
    std::lock_guard<std::mutex> g(self->m_);
    self->lines_.push_back({level, buf});
    return 1;
}

std::vector<log_line> log_capture::lines() const {
    std::lock_guard<std::mutex> g(m_);
    return lines_;
}

std::vector<std::string> log_capture::texts() const {
    std::lock_guard<std::mutex> g(m_);
    std::vector<std::string> out;
    for (const auto &l : lines_) out.push_back(l.text);
    return out;
}

size_t log_capture::size() const {
    std::lock_guard<std::mutex> g(m_);
    return lines_.size();
}

void log_capture::clear() {
    std::lock_guard<std::mutex> g(m_);
    lines_.clear();
}

bool log_capture::has(const std::string &text) const {
    std::lock_guard<std::mutex> g(m_);
    for (const auto &l : lines_)
        if (l.text == text) return true;
    return false;
}

bool log_capture::contains(const std::string &part) const {
    std::lock_guard<std::mutex> g(m_);
    for (const auto &l : lines_)
        if (l.text.find(part) != std::string::npos) return true;
    return false;
}

int log_capture::count_level(int level) const {
    std::lock_guard<std::mutex> g(m_);
    int n = 0;
    for (const auto &l : lines_) n += l.level == level;
    return n;
}

}  // namespace testsupport
