// The HTTP client: parsing one typical reply, sequential plain GETs on loopback against an
// in-process server (one connection each) with a short and with a 1 MiB body, 1 MiB downloads
// into a file, and the heap held per pending request.
// Figures to reach (Release build): parse <= 5 us, >= 5,000 GETs/s, <= 16 KiB per pending request.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <malloc.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "src/http_client.h"
#include "src/http_reply.h"

namespace {

std::string typical_reply() {
    std::string r = "HTTP/1.1 200 OK\r\n";
    const char *names[] = {"Server", "Date", "Content-Type", "Cache-Control", "Pragma", "Expires", "X-Frame-Options",
                           "X-Content-Type-Options", "Set-Cookie", "Vary", "Connection"};
    for (const char *n : names) r += std::string(n) + ": value-of-" + n + "\r\n";
    r += "Content-Length: 4096\r\n\r\n" + std::string(4096, 'b');
    return r;
}

void BM_ParseReply(benchmark::State &state) {
    const std::string reply = typical_reply();
    struct evbuffer *in = evbuffer_new();
    for (auto _ : state) {
        http_reply_t r;
        http_reply_init(&r);
        evbuffer_add(in, reply.data(), reply.size());
        http_reply_event_t ev;
        while ((ev = http_reply_step(&r, in)) != HTTP_REPLY_DONE && ev != HTTP_REPLY_ERROR && ev != HTTP_REPLY_MORE) {
        }
        if (ev != HTTP_REPLY_DONE || evbuffer_get_length(r.body) != 4096) state.SkipWithError("reply not parsed");
        benchmark::DoNotOptimize(r.code);
        http_reply_clear(&r);
    }
    evbuffer_free(in);
}
BENCHMARK(BM_ParseReply);

/* Answers every request with body. */
struct Server {
    struct event_base *base;
    struct evhttp *http;
    std::string body;
    int port = 0;
    Server(struct event_base *b, std::string reply = "ok") : base(b), body(std::move(reply)) {
        http = evhttp_new(base);
        evhttp_set_gencb(
            http,
            [](struct evhttp_request *req, void *arg) {
                const std::string &body = static_cast<Server *>(arg)->body;
                struct evbuffer *out = evbuffer_new();
                evbuffer_add_reference(out, body.data(), body.size(), nullptr, nullptr);
                evhttp_send_reply(req, 200, "OK", out);
                evbuffer_free(out);
            },
            this);
        struct evhttp_bound_socket *s = evhttp_bind_socket_with_handle(http, "127.0.0.1", 0);
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(evhttp_bound_socket_get_fd(s), (sockaddr *)&a, &len);
        port = ntohs(a.sin_port);
    }
    ~Server() { evhttp_free(http); }
};

void count_done(int code, const struct evkeyvalq *, const char *, size_t, void *arg) {
    if (code == 200) ++*(int *)arg;
}

void file_done(int ok, void *arg) {
    if (ok) ++*(int *)arg;
}

/* Sequential requests of one kind against a server answering state.range(0) bytes. */
void sequential(benchmark::State &state, http_req_type type) {
    struct event_base *base = event_base_new();
    http_set_event_base(base);
    Server server(base, std::string((size_t)state.range(0), 'b'));
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/x";
    char target[] = "/tmp/bench_http_XXXXXX";
    const int fd = mkstemp(target);
    if (fd >= 0) close(fd);
    int done = 0;
    for (auto _ : state) {
        const int before = done;
        http_req_data_t data = {url.c_str(), nullptr, 0, nullptr};
        const int rc = type == HTTP_GET_FILE ? http_get_file(file_done, url.c_str(), target, &done)
                                             : http_request(type, &data, count_done, &done);
        if (rc != 0) state.SkipWithError("refused");
        while (done == before) event_base_loop(base, EVLOOP_ONCE);
    }
    unlink(target);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
    event_base_free(base);
}

void BM_SequentialGets(benchmark::State &state) { sequential(state, HTTP_GET); }
BENCHMARK(BM_SequentialGets)->Arg(2)->Arg(1 << 20)->UseRealTime();

void BM_SequentialDownloads(benchmark::State &state) { sequential(state, HTTP_GET_FILE); }
BENCHMARK(BM_SequentialDownloads)->Arg(1 << 20)->UseRealTime();

void BM_HeapPerPendingRequest(benchmark::State &state) {
    struct event_base *base = event_base_new();
    http_set_event_base(base);
    // A listener that never accepts: the requests stay pending in its backlog.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr *)&a, sizeof a);
    listen(fd, 1024);
    socklen_t len = sizeof a;
    getsockname(fd, (sockaddr *)&a, &len);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/pending";
    const int n = 200;
    int tag = 0;
    double per_request = 0;
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        for (int i = 0; i < n; i++) {
            http_req_data_t data = {url.c_str(), nullptr, 0, nullptr};
            http_add_header(&data, "X-Bench", "1");
            http_request(HTTP_GET, &data, count_done, &tag);
        }
        for (int i = 0; i < 5; i++) event_base_loop(base, EVLOOP_NONBLOCK);
        per_request = double(mallinfo2().uordblks - before) / n;
        http_cancel_request(&tag);
    }
    state.counters["bytes_per_pending_request"] = per_request;
    close(fd);
    event_base_free(base);
}
BENCHMARK(BM_HeapPerPendingRequest)->Iterations(3);

}  // namespace
