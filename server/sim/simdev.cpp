#include "sim/simdev.h"

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "sim/simmodule.h"

namespace {

// Open virtual modules by the descriptor handed out. Modules still open when the
// process ends are stopped by the registry's destructor.
struct registry {
    std::mutex m;
    std::map<int, std::shared_ptr<sim_module>> open;

    ~registry() {
        std::map<int, std::shared_ptr<sim_module>> left;
        {
            std::lock_guard<std::mutex> g(m);
            left.swap(open);
        }
    }
};

registry &modules() {
    static registry r;
    return r;
}

std::shared_ptr<sim_module> find(int fd) {
    auto &r = modules();
    std::lock_guard<std::mutex> g(r.m);
    auto it = r.open.find(fd);
    return it == r.open.end() ? nullptr : it->second;
}

int sim_open(const char *name, int) {
    sim_options o;
    if (!parse_sim_name(name, o)) {
        errno = EINVAL;
        return -1;
    }
    return sim_device_open(o);
}

int sim_ioctl(int fd, unsigned long request, void *arg) {
    // Held by a reference of its own, so a close meanwhile cannot pull it away.
    std::shared_ptr<sim_module> mod = find(fd);
    if (!mod) {
        errno = EBADF;
        return -1;
    }
    return mod->request(request, arg);
}

ssize_t sim_read(int fd, void *buf, size_t len) {
    std::shared_ptr<sim_module> mod = find(fd);
    if (!mod) {
        errno = EBADF;
        return -1;
    }
    return mod->read_stream(buf, len);
}

int sim_close(int fd) {
    std::shared_ptr<sim_module> mod;
    {
        auto &r = modules();
        std::lock_guard<std::mutex> g(r.m);
        auto it = r.open.find(fd);
        if (it == r.open.end()) {
            errno = EBADF;
            return -1;
        }
        mod = std::move(it->second);
        r.open.erase(it);
    }
    return 0;  // the module stops and closes its descriptors when the last reference goes
}

const device_provider provider = {"sim:", sim_open, sim_ioctl, sim_close, sim_read};

}  // namespace

const device_provider *sim_device_provider() { return &provider; }

int sim_device_open(const sim_options &o) {
    std::shared_ptr<sim_module> mod = sim_module::create(o);
    if (!mod) return -1;
    int fd = mod->rdi_fd();
    auto &r = modules();
    std::lock_guard<std::mutex> g(r.m);
    r.open[fd] = std::move(mod);
    return fd;
}
