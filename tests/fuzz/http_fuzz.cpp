// A request head (and body) from a client, read by a connection on one end of a socket pair:
// request line, header lines, Basic credentials, the query or form with its percent escapes.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/plattform.h"
#include "fuzz/fuzz_env.h"
#include "httpd/httpd.h"
#include "httpd/util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static ensemble &e = [] () -> ensemble & {
        ensemble &x = fuzzenv::quiet_ensemble();
        copy_field(x.cfg->httpdroot, (fuzzenv::temp_dir() + "/root").c_str());
        copy_field(x.cfg->hostname, "radio:8000");
        // Credentials to compare with.
        const char users[] = "admin secret\n";
        copy_field(x.cfg->passwdfile,
                   fuzzenv::write_file("passwd.ini", reinterpret_cast<const uint8_t *>(users), sizeof users - 1).c_str());
        return x;
    }();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(sv[1], data + done, size - done);
        if (n <= 0) abort();
        done += static_cast<size_t>(n);
    }
    shutdown(sv[1], SHUT_WR);
    sockaddr_in6 peer{};
    peer.sin6_family = AF_INET6;
    inet_pton(AF_INET6, size && (data[0] & 1) ? "::ffff:127.0.0.1" : "::ffff:192.0.2.7", &peer.sin6_addr);
    {
        httpconn c(&e, sv[0], &peer);
        if (c.parse_header() == 0) {
            char value[256];
            for (const char *tag : {"freq=", "subch=", "token=", "name=", "x"}) c.get_postarea(tag, value, sizeof value);
            (void)c.cross_site();
        }
    }
    close(sv[1]);

    // The helpers on the raw bytes, unterminated: they must stop at the length they are given.
    std::vector<char> out(size + 1);
    percent_decode(out.data(), out.size(), reinterpret_cast<const char *>(data), size);
    std::vector<char> text(data, data + size);
    text.push_back(0);
    char plain[64];
    base64_decode(text.data(), plain, sizeof plain);
    return 0;
}
