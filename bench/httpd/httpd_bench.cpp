// Requests per second of the built-in HTTP server, one request per connection (HTTP/1.0),
// for a 4 KiB static file and for a missing file, next to lighttpd serving the same files.
//
// Every answer is read to its end (the server closes the connection) and only complete
// answers with the expected status and length are counted.

#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/bench_process.h"
#include "support/sys_support.h"

using benchsupport::spawn;
using benchsupport::stop;
using testsupport::connect_local;
using testsupport::free_port;
using testsupport::now_s;
using testsupport::wait_for_port;

namespace {

// Another build of the server (e.g. an older one, for a before and after) through
// DAB_BENCH_SERVER.
std::string server_bin() {
    const char *env = getenv("DAB_BENCH_SERVER");
    return env && *env ? env : DABSERVER_BIN;
}

constexpr int clients = 8;
constexpr double seconds = 1.5;
// Figures are taken in alternating rounds and the best of each kept: the machine is shared.
constexpr int rounds = 3;
constexpr size_t file_size = 4096;

// One complete exchange; true when the answer has the status and, when given, the body length.
bool exchange(int port, const std::string &request, const char *status, long body_len) {
    int s = connect_local(port);
    if (s < 0) return false;
    bool ok = send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    std::string answer;
    char buf[16384];
    while (ok) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) {
            ok = false;
            break;
        }
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n < 0) ok = false;
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(s);
    if (!ok || answer.compare(0, strlen(status), status) != 0) return false;
    if (body_len < 0) return true;
    size_t end = answer.find("\r\n\r\n");
    return end != std::string::npos && answer.size() - end - 4 == static_cast<size_t>(body_len);
}

struct result {
    double rate;
    long errors;
};

result load(int port, const std::string &path, const char *status, long body_len) {
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
    std::atomic<long> done{0}, errors{0};
    std::atomic<bool> go{false};
    double end = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; i++)
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            while (now_s() < end) {
                if (exchange(port, request, status, body_len))
                    done++;
                else
                    errors++;
            }
        });
    // A short warm-up round first, not counted.
    for (int i = 0; i < 50; i++) exchange(port, request, status, body_len);
    double t0 = now_s();
    end = t0 + seconds;
    go = true;
    for (auto &t : threads) t.join();
    double dt = now_s() - t0;
    return {static_cast<double>(done.load()) / dt, errors.load()};
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    char tmpl[] = "/tmp/httpd_bench_XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = tmpl, root = dir + "/root";
    mkdir(root.c_str(), 0755);
    {
        std::string body(file_size, 'x');
        for (size_t i = 0; i < body.size(); i += 64) body[i] = '\n';
        FILE *f = fopen((root + "/file4k.html").c_str(), "wb");
        if (!f) return 1;
        fwrite(body.data(), 1, body.size(), f);
        fclose(f);
    }

    int our_port = free_port(), lt_port = free_port();
    pid_t ours = spawn({server_bin(), "-E", "-m", "-p", std::to_string(our_port), "-R", root, "-P",
                        dir + "/passwd.ini", "-H", "localhost:" + std::to_string(our_port), "-l", "99", "99"},
                       dir, dir + "/dabserver.out");

    std::string conf = dir + "/lighttpd.conf";
    {
        FILE *f = fopen(conf.c_str(), "w");
        if (!f) return 1;
        fprintf(f,
                "server.document-root = \"%s\"\nserver.port = %d\nserver.bind = \"127.0.0.1\"\n"
                "server.errorlog = \"%s/lighttpd.err\"\nmimetype.assign = (\".html\" => \"text/html\")\n",
                root.c_str(), lt_port, dir.c_str());
        fclose(f);
    }
    pid_t lt = spawn({LIGHTTPD_BIN, "-D", "-f", conf}, dir, dir + "/lighttpd.out");

    int rc = 0;
    if (!wait_for_port(our_port, 30) || !benchsupport::running(ours)) {
        fprintf(stderr, "httpd_bench: dabserver did not start; its output:\n%s",
                benchsupport::tail(dir + "/dabserver.out").c_str());
        rc = 1;
    }
    if (!wait_for_port(lt_port, 10) || !benchsupport::running(lt)) {
        fprintf(stderr, "httpd_bench: lighttpd (%s) did not start; its output:\n%s%s", LIGHTTPD_BIN,
                benchsupport::tail(dir + "/lighttpd.out").c_str(), benchsupport::tail(dir + "/lighttpd.err").c_str());
        rc = 1;
    }

    if (rc == 0) {
        result best[2][2] = {};  // [server][file, 404]
        const int ports[2] = {our_port, lt_port};
        for (int r = 0; r < rounds; r++)
            for (int srv = 0; srv < 2; srv++) {
                result f = load(ports[srv], "/file4k.html", "HTTP/1.0 200", file_size);
                result m = load(ports[srv], "/missing.html", "HTTP/1.0 404", -1);
                if (f.rate > best[srv][0].rate) best[srv][0].rate = f.rate;
                if (m.rate > best[srv][1].rate) best[srv][1].rate = m.rate;
                best[srv][0].errors += f.errors;
                best[srv][1].errors += m.errors;
            }
        // "lighttpd/1.4.69 (ssl) - a light and fast webserver": the name and version.
        std::string version = benchsupport::first_line(std::string(LIGHTTPD_BIN) + " -v");
        version = version.substr(0, version.find(' '));
        printf("one request per connection (HTTP/1.0), %d clients, best of %d rounds of %.1f s, "
               "complete answers only\n",
               clients, rounds, seconds);
        printf("anchor: %s, minimal configuration; ratio: dabserver / lighttpd\n",
               version.empty() ? "lighttpd" : version.c_str());
        printf("| %-26s | %10s | %10s | %6s |\n", "case", "dabserver", "lighttpd", "ratio");
        printf("|%s|%s|%s|%s|\n", std::string(28, '-').c_str(), std::string(12, '-').c_str(),
               std::string(12, '-').c_str(), std::string(8, '-').c_str());
        const char *cases[2] = {"4 KiB file, req/s", "404, req/s"};
        for (int c = 0; c < 2; c++)
            printf("| %-26s | %10.0f | %10.0f | %6.2f |\n", cases[c], best[0][c].rate, best[1][c].rate,
                   best[1][c].rate > 0 ? best[0][c].rate / best[1][c].rate : 0);
        for (int c = 0; c < 2; c++)
            printf("| %-26s | %10ld | %10ld | %6s |\n", (std::string(c ? "404" : "4 KiB file") + ", failed").c_str(),
                   best[0][c].errors, best[1][c].errors, "");
    }

    stop(ours, SIGINT);
    stop(lt, SIGTERM);
    nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return rc;
}
