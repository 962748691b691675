// CoAP GETs per second through coap_run_request and the result pipes, 32 requests in flight,
// against the library's example server (coap-server-openssl) on 127.0.0.1.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "src/coap_client.h"

namespace {

const int kInFlight = 32;

int free_udp_port() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, (sockaddr *)&a, sizeof a);
    getsockname(fd, (sockaddr *)&a, &len);
    close(fd);
    return ntohs(a.sin_port);
}

bool ping(int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const unsigned char msg[4] = {0x40, 0x00, 0x00, 0x01};
    bool ok = false;
    for (int i = 0; i < 100 && !ok; i++) {
        sendto(fd, msg, sizeof msg, 0, (sockaddr *)&a, sizeof a);
        pollfd p = {fd, POLLIN, 0};
        ok = poll(&p, 1, 50) == 1;
    }
    close(fd);
    return ok;
}

/* One message off a pipe; its code, or -100 when the pipe broke. */
int read_result(int fd) {
    char head[64];
    size_t n = 0;
    int bars = 0;
    while (bars < 2 && n + 1 < sizeof head) {
        if (read(fd, &head[n], 1) != 1) return -100;
        if (head[n++] == '|') bars++;
    }
    head[n] = '\0';
    int code = atoi(head);
    size_t len = strtoul(strchr(head, '|') + 1, nullptr, 10);
    std::vector<char> body(len);
    size_t have = 0;
    while (have < len) {
        ssize_t r = read(fd, body.data() + have, len - have);
        if (r <= 0) return -100;
        have += (size_t)r;
    }
    return code;
}

void BM_CoapGets(benchmark::State &state) {
    const int port = free_udp_port();
    pid_t server = fork();
    if (server == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execlp("coap-server-openssl", "coap-server-openssl", "-A", "127.0.0.1", "-p", std::to_string(port).c_str(),
               (char *)nullptr);
        _exit(127);
    }
    if (!ping(port)) {
        state.SkipWithError("coap-server-openssl did not start");
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
        return;
    }
    init_coap_client();
    const std::string uri = "coap://127.0.0.1:" + std::to_string(port) + "/";
    coap_request_t req = {};
    req.method = COAP_GET;
    req.uri = uri.c_str();
    req.user = "u";
    req.key = "k";

    int pipes[kInFlight][2];
    std::vector<pollfd> fds(kInFlight);
    for (int i = 0; i < kInFlight; i++) {
        if (pipe2(pipes[i], O_CLOEXEC) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        fds[i] = {pipes[i][0], POLLIN, 0};
    }
    // One iteration: one result read and another request started in its place.
    int64_t done = 0, failed = 0;
    for (int i = 0; i < kInFlight; i++)
        if (coap_run_request(&req, pipes[i], &pipes[i]) != 0) failed++;
    std::vector<int> ready;
    for (auto _ : state) {
        while (ready.empty()) {
            if (poll(fds.data(), fds.size(), 30000) <= 0) {
                state.SkipWithError("no result within 30 s");
                break;
            }
            for (int i = 0; i < kInFlight; i++)
                if (fds[i].revents & POLLIN) ready.push_back(i);
        }
        if (ready.empty()) break;
        const int i = ready.back();
        ready.pop_back();
        if (read_result(pipes[i][0]) == 205)
            done++;
        else
            failed++;
        if (coap_run_request(&req, pipes[i], &pipes[i]) != 0) failed++;
    }
    state.counters["requests/s"] = benchmark::Counter((double)done, benchmark::Counter::kIsRate);
    state.counters["failed"] = (double)failed;
    for (int i = 0; i < 200 && coap_request_count() > 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (auto &p : pipes) {
        close(p[0]);
        close(p[1]);
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
}
BENCHMARK(BM_CoapGets)->UseRealTime()->MinTime(3.0);

}  // namespace
