#include "sim/simsource.h"

#include <dirent.h>
#include <net/if.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "common/dab_tables.h"
#include "sim/edi_source.h"

namespace {

constexpr const char *ETI_SUFFIX = ".eti";
constexpr double MIN_SPEED = 0.01;
constexpr double MAX_SPEED = 1000.0;

bool all_digits(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

int sim_file_khz(const char *base) {
    if (!base) return 0;
    std::string s;
    for (const char *p = base; *p && s.size() < 16; p++) s += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    if (all_digits(s)) {
        long khz = std::strtol(s.c_str(), nullptr, 10);
        // A bare number is a frequency; the small numbers of the channel table's index are not.
        return (khz >= 1000 && khz <= 2000000) ? static_cast<int>(khz) : 0;
    }
    const int khz = dabcommon::channel_frequency_khz(s.c_str());
    return khz > 0 ? khz : 0;
}

int parse_sim_name(const char *name, sim_options &o) {
    o = sim_options{};
    if (!name || std::strncmp(name, "sim:", 4) != 0) return 0;
    std::string rest = name + 4;
    size_t comma = rest.find(',');
    std::string target = rest.substr(0, comma);
    std::string edi, mcastif;
    bool is_edi = false;
    if (target.rfind("eti=", 0) == 0) {
        o.eti = target.substr(4);
    } else if (target.rfind("edi=", 0) == 0) {
        edi_address a;
        if (!parse_edi_address(target.substr(4), a)) return 0;
        edi = target.substr(4);
        is_edi = true;
    } else {
        o.dir = target;
    }
    if (o.eti.empty() && o.dir.empty() && !is_edi) return 0;
    while (comma != std::string::npos) {
        size_t next = rest.find(',', comma + 1);
        std::string opt = rest.substr(comma + 1, next == std::string::npos ? std::string::npos : next - comma - 1);
        comma = next;
        if (opt == "pci") {
            o.pci = true;
        } else if (opt.rfind("speed=", 0) == 0) {
            char *end = nullptr;
            double v = std::strtod(opt.c_str() + 6, &end);
            if (!end || *end || !(v >= MIN_SPEED && v <= MAX_SPEED)) return 0;
            o.speed = v;
        } else if (is_edi && opt.rfind("mcastif=", 0) == 0 && opt.size() > 8 && opt.size() < 8 + IF_NAMESIZE) {
            mcastif = opt.substr(8);
        } else if (!opt.empty()) {
            return 0;
        }
    }
    if (is_edi) o.make_source = [edi, mcastif]() -> std::unique_ptr<sim_source> { return edi_source::open(edi, mcastif); };
    return 1;
}

int sim_dir_source::open(const std::string &dir) {
    dir_ = dir;
    files_.clear();
    DIR *d = opendir(dir.c_str());
    if (!d) return 0;
    while (dirent *ent = readdir(d)) {
        std::string n = ent->d_name;
        size_t sl = std::strlen(ETI_SUFFIX);
        if (n.size() <= sl || n.compare(n.size() - sl, sl, ETI_SUFFIX) != 0) continue;
        int khz = sim_file_khz(n.substr(0, n.size() - sl).c_str());
        if (khz == 0) continue;
        std::string path = dir + "/" + n;
        // Only files holding at least one frame are ensembles.
        dabcommon::eti_reader r;
        dabcommon::eti_frame f;
        if (r.open(path.c_str()) && r.next(f, 1000) == 1) files_[khz] = path;
    }
    closedir(d);
    return 1;
}

bool sim_dir_source::has_ensemble(int khz) const {
    // The module tunes in 16 kHz steps.
    auto it = files_.lower_bound(khz - 15);
    return it != files_.end() && it->first <= khz + 15;
}

void sim_dir_source::tune(int khz) {
    reader_.close();
    open_ = false;
    if (khz <= 0) return;
    auto it = files_.lower_bound(khz - 15);
    if (it == files_.end() || it->first > khz + 15) return;
    open_ = reader_.open(it->second.c_str()) == 1;
}

int sim_dir_source::next(dabcommon::eti_frame &f, int) {
    if (!open_) return 0;
    for (int attempt = 0; attempt < 2; attempt++) {
        int r = reader_.next(f, 1000);
        if (r == 1) return 1;
        if (r == -2) return -2;
        // End of the file: loop it.
        if (!reader_.rewind()) break;
    }
    open_ = false;
    return 0;
}

bool sim_dir_source::unplugged() const {
    struct stat st;
    return stat((dir_ + "/unplugged").c_str(), &st) == 0;
}

int sim_live_source::open(const std::string &path) {
    path_ = path;
    if (!reader_.open(path.c_str())) return 0;
    struct stat st;
    fifo_ = path != "-" && fstat(reader_.fd(), &st) == 0 && S_ISFIFO(st.st_mode);
    return 1;
}

bool sim_live_source::reopen() {
    // Opened before the old descriptor goes, so that the FIFO never lacks a reader and a
    // writer already back keeps what it wrote. A fresh descriptor does not report the old
    // writer's hang-up: poll waits for the next one instead of spinning.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    reader_.attach(fd, true);
    return true;
}

int sim_live_source::next(dabcommon::eti_frame &f, int timeout_ms) {
    if (ended_ && !fifo_) return 0;
    int r = reader_.next(f, timeout_ms);
    if (r == 1) {
        ended_ = false;
        return 1;
    }
    if (r == -2) return ended_ ? 0 : -2;
    // End of input, or a read error: no signal until a FIFO's next writer.
    ended_ = true;
    if (!fifo_ || !reopen()) {
        fifo_ = false;
        reader_.close();
    }
    return 0;
}

std::unique_ptr<sim_source> make_sim_source(const sim_options &o) {
    if (!o.eti.empty()) {
        auto s = std::make_unique<sim_live_source>();
        if (!s->open(o.eti)) return nullptr;
        return s;
    }
    auto s = std::make_unique<sim_dir_source>();
    if (!s->open(o.dir)) return nullptr;
    return s;
}
