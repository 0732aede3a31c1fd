// Finds the server's asset directory.

#include "httpd/assets.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#ifndef DAB_ASSET_DIR
#define DAB_ASSET_DIR "/usr/local/share/dabserver"
#endif

namespace {

bool is_dir(const std::string &p) {
    struct stat st;
    return !p.empty() && stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The executable's own directory, read once: it does not move while the server runs.
const std::string &exe_dir() {
    static const std::string dir = [] {
        char buf[4096];
        const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n <= 0) return std::string();
        std::string p(buf, static_cast<size_t>(n));
        const size_t slash = p.rfind('/');
        return slash == std::string::npos ? std::string() : p.substr(0, slash);
    }();
    return dir;
}

}  // namespace

std::string asset_dir() {
    // A variable set but empty turns the assets off rather than falling back.
    if (const char *env = getenv("DABSERVER_ASSETS")) return is_dir(env) ? std::string(env) : std::string();
    const std::string beside = exe_dir().empty() ? std::string() : exe_dir() + "/share/dabserver";
    if (is_dir(beside + "/player")) return beside;
    if (is_dir(DAB_ASSET_DIR)) return DAB_ASSET_DIR;
    return "";
}
