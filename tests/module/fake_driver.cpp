#include "fake_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "core/plattform.h"

namespace fakedrv {

state &st() {
    static state s;
    return s;
}

void reset() { st() = state(); }

std::vector<request_rec> requests(unsigned long req) {
    std::vector<request_rec> out;
    for (const auto &r : st().log)
        if (r.req == req) out.push_back(r);
    return out;
}

namespace {

void place_answer(const bytes &answer) {
    auto &s = st();
    if (answer.empty()) return;
    size_t n = std::min<size_t>(answer.size(), MBOX_M2H_SIZE - 1);
    std::copy(answer.begin(), answer.begin() + static_cast<long>(n), s.mem.begin() + MBOX_M2H_AREA);
    s.mem[MBOX_M2H_START] = 0;
    s.mem[MBOX_M2H_END] = static_cast<unsigned char>(n);
}

void memory_written(int addr, const unsigned char *data, int n) {
    auto &s = st();
    for (int k = 0; k < n; k++) {
        int a = (addr + k) & 0xFFFF;
        s.mem[static_cast<size_t>(a)] = data[k];
        if (a >= MBOX_H2M_AREA && a < MBOX_H2M_AREA + MBOX_H2M_SIZE) s.h2m_pending.push_back(data[k]);
    }
    if (addr == MBOX_H2M_START && s.h2m_start_after_reset >= 0)
        s.mem[MBOX_H2M_START] = static_cast<unsigned char>(s.h2m_start_after_reset);
    if (addr <= MBOX_READY && MBOX_READY < addr + n && s.mem[MBOX_READY] == 0x0F) {
        bytes msg = s.h2m_pending;
        s.h2m_pending.clear();
        s.sent.push_back(msg);
        if (s.responder) place_answer(s.responder(msg));
    }
}

int fake_open(const char *, int) { return ::open("/dev/null", O_RDWR); }

int fake_close(int fd) { return ::close(fd); }

int fake_ioctl(int, unsigned long req, void *arg) {
    auto &s = st();
    request_rec rec{req, {}};
    if (req == DRV_BULK && arg) rec.bulk = *static_cast<bulk_transfer_t *>(arg);
    s.log.push_back(rec);

    switch (req) {
        case DRV_GET_VERSION:
            if (s.version_fails) return -1;
            *static_cast<int *>(arg) = s.version;
            return 0;
        case DRV_GET_REMOVED:
            if (s.removed_fails) return -1;
            *static_cast<int *>(arg) = 0;
            return 0;
        case DRV_GET_OVERRUNS: *static_cast<int *>(arg) = s.overruns; return 0;
        case DRV_RESET:
        case DRV_DEBUG: return 0;
        case DRV_BULK: {
            if (s.bulk_count++ == s.fail_bulk_at) return -1;
            auto *b = static_cast<bulk_transfer_t *>(arg);
            if (b->pipe == 0) {
                int n = std::clamp(b->size, 0, 64);
                for (int k = 0; k < n; k++) b->data[k] = s.mem[static_cast<size_t>((s.rd_addr + k) & 0xFFFF)];
                return 0;
            }
            int addr = b->data[1] | b->data[2] << 8;
            if (b->data[0] == BULK_READ_MEM) s.rd_addr = addr;
            if (b->data[0] == BULK_WRITE_MEM) memory_written(addr, b->data + 4, std::min<int>(b->data[3], 60));
            return 0;
        }
        case DRV_WRITE_MSG: {
            auto *m = static_cast<dab_module_msg_t *>(arg);
            bytes msg(m->buf, m->buf + std::clamp(m->size, 0, 1024));
            s.sent.push_back(msg);
            if (s.responder) {
                bytes a = s.responder(msg);
                if (!a.empty()) s.pci_queue.push_back(a);
            }
            return s.write_msg_result;
        }
        case DRV_NEW_MSG:
            if (s.new_msg_fails) return -1;
            *static_cast<int *>(arg) = !s.pci_queue.empty();
            return 0;
        case DRV_READ_MSG: {
            auto *m = static_cast<dab_module_msg_t *>(arg);
            m->size = 0;
            if (!s.pci_queue.empty()) {
                bytes a = s.pci_queue.front();
                s.pci_queue.pop_front();
                size_t n = std::min<size_t>(a.size(), sizeof m->buf);
                std::memcpy(m->buf, a.data(), n);
                m->size = static_cast<int>(n);
            }
            if (s.read_msg_size_override != -1000) m->size = s.read_msg_size_override;
            return 0;
        }
        default: return -1;
    }
}

const device_provider provider = {"fake:", fake_open, fake_ioctl, fake_close};

}  // namespace

void install() { device_register_provider(&provider); }
void uninstall() { device_unregister_provider("fake:"); }

}  // namespace fakedrv
