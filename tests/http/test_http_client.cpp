// The HTTP client on a real event loop against the scripted peer (platform/appserver) and, where a
// test needs byte-level control, small raw socket peers of its own on loopback.
#include <arpa/inet.h>
#include <event2/event.h>
#include <event2/keyvalq_struct.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/logger/logger.h"
#include "src/http_client.h"
#include "src/http_limits.h"
#include "tests/support/appserver_peer.h"
#include "tests/support/test_support.h"

// The client runs in this program: a bound that is missing must end it, not the machine (nor its disk).
BRX_TEST_PROGRAM_MEMORY_CAP_MB(768)
static const bool files_capped = brx_test::cap_own_file_size(512);

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

/* What one request's callbacks saw. */
struct Result {
    int finals = 0;
    int code = 0;
    bool had_headers = false;
    std::vector<std::pair<std::string, std::string>> headers;
    bool body_null = true;
    std::string body;
    std::vector<std::string> pieces;
    int file_calls = 0;
    int file_ok = -1;
    // Runs inside the final, piece or file callback when set.
    std::function<void(Result *)> on_final, on_piece, on_file;
};

void take(Result *r, int code, const struct evkeyvalq *headers, const char *data, size_t len) {
    r->code = code;
    r->had_headers = headers != nullptr;
    r->headers.clear();
    if (headers)
        for (struct evkeyval *h = headers->tqh_first; h; h = h->next.tqe_next) r->headers.emplace_back(h->key, h->value);
    r->body_null = data == nullptr;
    r->body = data ? std::string(data, len) : "";
    if (data) {
        EXPECT_EQ(data[len], '\0');
    } else {
        EXPECT_EQ(len, 0u);
    }
}

void final_cb(int code, const struct evkeyvalq *headers, const char *data, size_t len, void *arg) {
    Result *r = (Result *)arg;
    r->finals++;
    take(r, code, headers, data, len);
    if (r->on_final) r->on_final(r);
}

void piece_cb(int code, const struct evkeyvalq *headers, const char *data, size_t len, void *arg) {
    Result *r = (Result *)arg;
    Result tmp;
    take(&tmp, code, headers, data, len);
    r->pieces.push_back(tmp.body);
    if (r->on_piece) r->on_piece(r);
}

void file_cb(int ok, void *arg) {
    Result *r = (Result *)arg;
    r->file_calls++;
    r->file_ok = ok;
    if (r->on_file) r->on_file(r);
}

class HttpClient : public ::testing::Test {
protected:
    void SetUp() override {
        logger_set_parameter("file.name", dir.file("engine.log").c_str());
        logger_set_parameter("file", "true");
        logger_set_parameter("level", "TRACE");
        logger_commit_parameters();
        base = event_base_new();
        http_set_event_base(base);
        ASSERT_EQ(http_setup_ssl(test_certs().ca.c_str()), 0);
    }
    void TearDown() override {
        http_set_timeouts_for_tests(nullptr, nullptr);
        http_set_deadlines_for_tests(nullptr, nullptr);
        http_destroy_ssl();
        event_base_free(base);
    }

    bool pump_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout = 20s) {
        auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            event_base_loop(base, EVLOOP_NONBLOCK);
            if (pred()) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(1ms);
        }
    }
    void pump(std::chrono::milliseconds d) {
        pump_until([] { return false; }, d);
    }
    std::string log() const { return read_file(dir.file("engine.log")); }
    /* Where downloads go. */
    std::string target() const { return dir.file("download"); }
    bool log_has(const std::string &text) const { return log().find(text) != std::string::npos; }

    /* One request of that kind; waits for its final callback. */
    Result run(http_req_type type, const std::string &url, const char *post = nullptr, size_t post_len = 0,
               const std::vector<std::pair<std::string, std::string>> &headers = {}) {
        Result r;
        http_req_data_t data = {url.c_str(), post, post_len, nullptr};
        for (const auto &h : headers) data.headers = http_add_header(&data, h.first.c_str(), h.second.c_str());
        EXPECT_EQ(http_request_chunked(type, &data, piece_cb, final_cb, &r), 0) << url;
        EXPECT_EQ(data.headers, nullptr);
        EXPECT_TRUE(pump_until([&] { return r.finals > 0; })) << url;
        pump(20ms);
        EXPECT_EQ(r.finals, 1);
        return r;
    }

    TempDir dir;
    struct event_base *base = nullptr;
};

// ---- request bytes ----

struct GoldenCase {
    const char *name;
    http_req_type type;
    std::string post;  // may hold a NUL
    std::vector<std::pair<std::string, std::string>> headers;
    const char *path;
    std::string expected;  // "%H" stands for "127.0.0.1"
};

void PrintTo(const GoldenCase &c, std::ostream *os) { *os << c.name; }

const char *const kMultipartBody =
    "------WebKitFormBoundary4eqSAKp0q8C1bMNj\r\n"
    "Content-Disposition: form-data; name=\"file\"; filename=\"snap.jpg\"\r\n"
    "Content-Type: image/jpeg\r\n"
    "\r\n";

class GoldenRequest : public HttpClient, public ::testing::WithParamInterface<GoldenCase> {};

TEST_P(GoldenRequest, BytesOnTheWire) {
    const GoldenCase &c = GetParam();
    AppServerPeer peer(AppServerPeer::Options{AppServerPeer::Tls::None, {"127.0.0.1"},
                                              R"({"default": {"status": 200, "body": "ok"}})"});
    Result r = run(c.type, peer.url(c.path), c.post.data(), c.post.size(), c.headers);
    EXPECT_EQ(r.code, 200);
    ASSERT_TRUE(peer.wait_requests(1));
    std::string raw = peer.requests()[0].raw;
    EXPECT_EQ(raw, c.expected);
}

const std::string kBinary("\xff\x00\x01jpeg\r\n--", 10);

INSTANTIATE_TEST_SUITE_P(
    Kinds, GoldenRequest,
    ::testing::Values(
        GoldenCase{"get", HTTP_GET, "", {}, "/a/b?x=1&y=2#frag",
                   "GET /a/b?x=1&y=2 HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n"
                   "Content-Type: application/json\r\n\r\n"},
        GoldenCase{"get_without_path", HTTP_GET, "", {}, "",
                   "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n"
                   "Content-Type: application/json\r\n\r\n"},
        GoldenCase{"get_chunked", HTTP_GET_CHUNKED, "", {}, "/c",
                   "GET /c HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n"
                   "Content-Type: application/json\r\n\r\n"},
        GoldenCase{"post_ends_at_nul", HTTP_POST, std::string("{\"a\":1}\0tail", 12), {}, "/p",
                   "POST /p HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n"
                   "Content-Type: application/json\r\nContent-Length: 7\r\n\r\n{\"a\":1}"},
        GoldenCase{"put", HTTP_PUT, "v", {{"X-One", "1"}}, "/u",
                   "PUT /u HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n"
                   "Content-Type: application/json\r\nX-One: 1\r\nContent-Length: 1\r\n\r\nv"},
        GoldenCase{"delete", HTTP_DELETE, "ignored", {}, "/d",
                   "DELETE /d HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n"
                   "Content-Type: application/json\r\n\r\n"},
        GoldenCase{"subscribe_without_length", HTTP_SUBSCRIBE, "", {{"CALLBACK", "<http://h/cb>"}, {"NT", "upnp:event"}},
                   "/evt",
                   "SUBSCRIBE /evt HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n"
                   "Content-Type: application/json\r\nCALLBACK: <http://h/cb>\r\nNT: upnp:event\r\n\r\n"},
        GoldenCase{"unknown_kind_is_post", (http_req_type)42, "body", {}, "/k",
                   "POST /k HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n"
                   "Content-Type: application/json\r\nContent-Length: 0\r\n\r\n"},
        GoldenCase{"multipart_is_byte_exact", HTTP_POST_MULTIPART, kBinary, {{"filename", "snap.jpg"}, {"X-Cam", "1"}},
                   "/up",
                   std::string("POST /up HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n"
                               "Content-Type: multipart/form-data; boundary=----WebKitFormBoundary4eqSAKp0q8C1bMNj\r\n"
                               "X-Cam: 1\r\nContent-Length: 192\r\n\r\n") +
                       kMultipartBody + kBinary + "\r\n------WebKitFormBoundary4eqSAKp0q8C1bMNj--\r\n"},
        GoldenCase{"defaults_replaced_only_by_exact_names", HTTP_POST, "x",
                   {{"content-type", "text/plain"},
                    {"Content-Type", "text/xml"},
                    {"Content-Type", "second"},
                    {"Accept", "text/*"},
                    {"Connection", "keep-alive"},
                    {"Host", "other.example"}},
                   "/h",
                   "POST /h HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/*\r\nConnection: keep-alive\r\n"
                   "Content-Type: text/xml\r\ncontent-type: text/plain\r\nContent-Type: second\r\n"
                   "Host: other.example\r\nContent-Length: 1\r\n\r\nx"},
        GoldenCase{"caller_length_kept", HTTP_POST, "abc", {{"content-length", "3"}}, "/l",
                   "POST /l HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n"
                   "Content-Type: application/json\r\ncontent-length: 3\r\n\r\nabc"},
        GoldenCase{"no_header_injection", HTTP_GET, "",
                   {{"X-Bad", "a\r\nX-Injected: 1"}, {"X-Evil\r\nX-Injected", "2"}, {"Content-Type", "a\nb"},
                    {"X-Good", "ok"}},
                   "/i",
                   "GET /i HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n"
                   "Content-Type: application/json\r\nX-Good: ok\r\n\r\n"}),
    [](const ::testing::TestParamInfo<GoldenCase> &i) { return std::string(i.param.name); });

TEST_F(HttpClient, ALongTargetIsSentWhole) {
    AppServerPeer peer;
    const std::string path = "/" + std::string(600, 'p') + "?q=" + std::string(300, 'q');
    Result r = run(HTTP_GET, peer.url(path));
    EXPECT_EQ(r.code, 404);
    ASSERT_TRUE(peer.wait_requests(1));
    EXPECT_EQ(peer.requests()[0].target, path);
}

TEST_F(HttpClient, SchemeInCapitalsIsAccepted) {
    AppServerPeer peer(AppServerPeer::Options{AppServerPeer::Tls::None, {"127.0.0.1"}, R"({"GET /": {"body": "up"}})"});
    Result r = run(HTTP_GET, "HTTP://127.0.0.1:" + std::to_string(peer.port()));
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "up");
}

TEST_F(HttpClient, Ipv6LiteralIsLookedUpWithoutItsBrackets) {
    int probe = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool v6 = probe >= 0 && bind(probe, (sockaddr *)&a, sizeof a) == 0;
    if (probe >= 0) close(probe);
    if (!v6) GTEST_SKIP() << "no IPv6 loopback";
    AppServerPeer peer(AppServerPeer::Options{AppServerPeer::Tls::None, {"::1"}, R"({"GET /v6": {"body": "six"}})"});
    Result r = run(HTTP_GET, "http://[::1]:" + std::to_string(peer.port()) + "/v6");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "six");
    ASSERT_TRUE(peer.wait_requests(1));
    EXPECT_EQ(peer.requests()[0].header("Host"), "[::1]");
}

// ---- refusals: -1, nothing left, no callback ----

TEST_F(HttpClient, RefusedRequestsLeaveNothing) {
    struct Refusal {
        http_req_type type;
        const char *url;
        const char *log;
        bool headers;
    };
    const Refusal cases[] = {
        {HTTP_GET, "ftp://127.0.0.1/x", "Request url must be http or https", true},
        {HTTP_GET, "/just/a/path", "url must have a host", true},
        {HTTP_GET, "http:///x", "url must have a host", true},
        {HTTP_GET, "http://[::1/x", "split_http_uri http_uri is null", true},
        {HTTP_GET, "http://h/a b", "split_http_uri http_uri is null", true},
        {HTTP_GET, nullptr, "split_http_uri http_uri is null", true},
        {HTTP_GET_FILE, "http://127.0.0.1:1/f", "No filename to get", true},
    };
    Result r;
    for (const Refusal &c : cases) {
        http_req_data_t data = {c.url, nullptr, 0, nullptr};
        data.headers = http_add_header(&data, "X-A", "1");
        EXPECT_EQ(http_request(c.type, &data, final_cb, &r), -1) << (c.url ? c.url : "(null)");
        EXPECT_EQ(data.headers, nullptr);  // taken, and freed (LeakSanitizer checks)
        EXPECT_TRUE(log_has(c.log)) << c.log;
    }
    EXPECT_TRUE(log_has("Cannot split uri"));
    EXPECT_EQ(http_get_file(file_cb, "http://127.0.0.1:1/f", dir.file("no/such/dir/f").c_str(), &r), -1);
    EXPECT_TRUE(log_has("http_get_file open failed!"));

    // https without a TLS context.
    http_destroy_ssl();
    http_req_data_t data = {"https://localhost:1/", nullptr, 0, nullptr};
    EXPECT_EQ(http_request(HTTP_GET, &data, final_cb, &r), -1);
    EXPECT_TRUE(log_has("SSL Context not set."));
    EXPECT_TRUE(log_has("Cannot create SSL buffer event"));

    EXPECT_EQ(http_add_header(nullptr, "a", "b"), nullptr);
    EXPECT_EQ(http_add_header(&data, nullptr, "b"), nullptr);
    EXPECT_EQ(http_add_header(&data, "a", nullptr), nullptr);
    EXPECT_TRUE(log_has("http_add_header data, header name or header value is null"));

    pump(100ms);
    EXPECT_EQ(r.finals, 0);
    EXPECT_EQ(r.file_calls, 0);
}

TEST_F(HttpClient, SetupFailsWithoutALoadableCaFile) {
    EXPECT_EQ(http_setup_ssl(dir.file("missing.pem").c_str()), -1);
    EXPECT_TRUE(log_has("SSL_CTX_load_verify_locations"));
    EXPECT_TRUE(log_has("SSL ERROR: "));
    EXPECT_EQ(http_setup_ssl(nullptr), -1);
    write_file(dir.file("junk.pem"), "not a certificate\n");
    EXPECT_EQ(http_setup_ssl(dir.file("junk.pem").c_str()), -1);
}

// ---- replies ----

TEST_F(HttpClient, ReplyShapes) {
    AppServerPeer peer(AppServerPeer::Options{
        AppServerPeer::Tls::None,
        {"127.0.0.1"},
        R"({"GET /empty": {"status": 200},
            "GET /204": {"status": 204, "headers": [["Content-Length", "4"]], "no_length": true},
            "GET /cookies": {"status": 201, "headers": [["Set-Cookie", "a=1"], ["Set-Cookie", "b=2"]], "body": "c"},
            "GET /chunked": {"chunks": ["ab", "cd"], "chunk_ext": ";x=1", "trailers": [["X-T", "t"]]},
            "GET /close": {"close": true, "body": "to the end"},
            "GET /interim": {"raw": "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 202 Accepted\r\nContent-Length: 2\r\n\r\nok"},
            "GET /binary": {"body_hex": "00ff0041"},
            "GET /slowly": {"body": "piece by piece", "pieces": 5, "piece_delay": 0.05}})"});
    Result r = run(HTTP_GET, peer.url("/empty"));
    EXPECT_EQ(r.code, 200);
    EXPECT_TRUE(r.had_headers);
    EXPECT_TRUE(r.body_null);

    r = run(HTTP_GET, peer.url("/204"));
    EXPECT_EQ(r.code, 204);
    EXPECT_TRUE(r.body_null);

    r = run(HTTP_GET, peer.url("/cookies"));
    EXPECT_EQ(r.code, 201);
    EXPECT_EQ(r.body, "c");
    std::vector<std::string> cookies;
    for (const auto &h : r.headers)
        if (h.first == "Set-Cookie") cookies.push_back(h.second);
    EXPECT_EQ(cookies, (std::vector<std::string>{"a=1", "b=2"}));

    r = run(HTTP_GET, peer.url("/chunked"));
    EXPECT_EQ(r.body, "abcd");
    bool trailer = false;
    for (const auto &h : r.headers) trailer = trailer || (h.first == "X-T" && h.second == "t");
    EXPECT_TRUE(trailer);

    r = run(HTTP_GET, peer.url("/close"));
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "to the end");

    r = run(HTTP_GET, peer.url("/interim"));
    EXPECT_EQ(r.code, 202);
    EXPECT_EQ(r.body, "ok");

    r = run(HTTP_GET, peer.url("/binary"));
    EXPECT_EQ(r.body, std::string("\x00\xff\x00\x41", 4));

    r = run(HTTP_GET, peer.url("/slowly"));
    EXPECT_EQ(r.body, "piece by piece");
    EXPECT_TRUE(r.pieces.empty());
}

TEST_F(HttpClient, GetChunkedCallsOncePerChunkThenEndsWithoutBody) {
    AppServerPeer peer(AppServerPeer::Options{
        AppServerPeer::Tls::None,
        {"127.0.0.1"},
        R"({"GET /chunks": {"chunks": ["one", "two", "three"], "piece_delay": 0.02},
            "GET /plain": {"body": "whole body"}})"});
    Result r = run(HTTP_GET_CHUNKED, peer.url("/chunks"));
    EXPECT_EQ(r.pieces, (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(r.code, 200);
    EXPECT_TRUE(r.had_headers);
    EXPECT_TRUE(r.body_null);

    r = run(HTTP_GET_CHUNKED, peer.url("/plain"));
    std::string joined;
    for (const auto &p : r.pieces) joined += p;
    EXPECT_EQ(joined, "whole body");
    EXPECT_TRUE(r.body_null);
}

// ---- every "no usable reply" path: one callback, 500, nothing else ----

/* A loopback listener of the test's own, answering each connection with a fixed action. */
class RawPeer {
public:
    enum class Action { SendAndClose, SendAndReset, AcceptSilently };
    /* read_request: the bytes go out once the request head arrived, else right after accepting. */
    RawPeer(Action action, std::string bytes = "", bool read_request = true)
        : action_(action), bytes_(std::move(bytes)), read_request_(read_request) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, (sockaddr *)&a, sizeof a);
        listen(fd_, 16);
        socklen_t len = sizeof a;
        getsockname(fd_, (sockaddr *)&a, &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~RawPeer() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
        for (int c : held_) close(c);
    }
    int port() const { return port_; }

private:
    void run() {
        while (!stop_) {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            // Read the request head before answering.
            std::string got;
            char buf[4096];
            while (read_request_ && got.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                got.append(buf, n);
            }
            if (!bytes_.empty()) send(c, bytes_.data(), bytes_.size(), MSG_NOSIGNAL);
            if (action_ == Action::AcceptSilently) {
                held_.push_back(c);
                continue;
            }
            if (action_ == Action::SendAndReset) {
                linger l{1, 0};
                setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            }
            close(c);
        }
    }
    Action action_;
    std::string bytes_;
    bool read_request_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::vector<int> held_;
};

int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr *)&a, sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, (sockaddr *)&a, &len);
    close(fd);
    return ntohs(a.sin_port);
}

std::string local(int port, const std::string &path = "/x") {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

TEST_F(HttpClient, EveryFailureIsOneCallbackWith500) {
    struct Failure {
        const char *name;
        std::unique_ptr<RawPeer> peer;
        std::string url;
    };
    const timeval quick = {0, 300000};
    http_set_timeouts_for_tests(&quick, &quick);
    std::vector<Failure> cases;
    cases.push_back({"refused", nullptr, local(closed_port())});
    // A label of 64 characters cannot be looked up: no query leaves the machine.
    cases.push_back({"unresolvable", nullptr, "http://" + std::string(64, 'n') + ".invalid/x"});
    auto raw = [&](const char *name, RawPeer::Action a, const std::string &bytes) {
        auto p = std::make_unique<RawPeer>(a, bytes);
        std::string url = local(p->port());
        cases.push_back({name, std::move(p), url});
    };
    raw("reset", RawPeer::Action::SendAndReset, "");
    raw("reset_mid_body", RawPeer::Action::SendAndReset, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    raw("closed_without_reply", RawPeer::Action::SendAndClose, "");
    raw("bad_status_line", RawPeer::Action::SendAndClose, "HTTP/1.1 OK 200\r\n\r\n");
    raw("short_body", RawPeer::Action::SendAndClose, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    raw("short_chunked", RawPeer::Action::SendAndClose, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab");
    raw("length_overflow", RawPeer::Action::SendAndClose,
        "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nabc");
    raw("chunk_size_overflow", RawPeer::Action::SendAndClose,
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFF\r\nabc");
    raw("header_block_over_64k", RawPeer::Action::AcceptSilently,
        "HTTP/1.1 200 OK\r\nX-Big: " + std::string(70000, 'b') + "\r\n\r\n");
    raw("read_time_out", RawPeer::Action::AcceptSilently, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab");

    for (Failure &c : cases) {
        SCOPED_TRACE(c.name);
        Result r = run(HTTP_GET, c.url);
        EXPECT_EQ(r.code, 500);
        EXPECT_FALSE(r.had_headers);
        EXPECT_TRUE(r.body_null);
        EXPECT_TRUE(log_has("connection to host '")) << c.name;
        EXPECT_TRUE(log_has("uri " + c.url + ")")) << c.name;
    }
}

TEST_F(HttpClient, CallbacksComeFromTheLoopOnly) {
    // Even a name that fails at once answers after the request call returned 0.
    Result r;
    http_req_data_t data = {"http://no_such_host_" "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.invalid/", nullptr, 0,
                            nullptr};
    ASSERT_EQ(http_request(HTTP_GET, &data, final_cb, &r), 0);
    EXPECT_EQ(r.finals, 0);
    EXPECT_EQ(http_get_file(file_cb, local(closed_port()).c_str(), dir.file("f").c_str(), &r), 0);
    EXPECT_EQ(r.file_calls, 0);
    ASSERT_TRUE(pump_until([&] { return r.finals == 1 && r.file_calls == 1; }));
    EXPECT_EQ(r.code, 500);
}

// ---- HTTPS ----

TEST_F(HttpClient, HttpsAcceptsOnlyATrustedCertificateForTheHost) {
    AppServerPeer peer(AppServerPeer::Options{AppServerPeer::Tls::Trusted, {"127.0.0.1", "::1"},
                                              R"({"GET /s": {"body": "secret"}})"});
    Result r = run(HTTP_GET, peer.url("/s", "localhost"));
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "secret");
    EXPECT_TRUE(log_has("HTTPS OK: serv: 'localhost', cert: '/CN=localhost'"));
    EXPECT_EQ(peer.server_names(), (std::vector<std::string>{"localhost"}));

    r = run(HTTP_GET, peer.url("/s", "127.0.0.1"));
    EXPECT_EQ(r.code, 500);
    EXPECT_TRUE(r.body_null);
    EXPECT_TRUE(log_has("HTTPS NOT OK: Got 'MatchNotFound', serv: '127.0.0.1', cert: '/CN=localhost'"));
    EXPECT_EQ(peer.request_count(), 1u);

    AppServerPeer untrusted(AppServerPeer::Options{AppServerPeer::Tls::Untrusted, {"127.0.0.1", "::1"},
                                                   R"({"GET /s": {"body": "secret"}})"});
    r = run(HTTP_GET, untrusted.url("/s", "localhost"));
    EXPECT_EQ(r.code, 500);
    EXPECT_TRUE(log_has("X509_verify_cert Error "));
    EXPECT_TRUE(log_has("HTTPS NOT OK: Got 'X509_verify_cert failed', serv: '(null)', cert: '/CN=localhost'"));
    EXPECT_EQ(untrusted.request_count(), 0u);

    // A plain server behind an https URL: the handshake fails.
    RawPeer plain(RawPeer::Action::SendAndClose, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", false);
    r = run(HTTP_GET, "https://localhost:" + std::to_string(plain.port()) + "/");
    EXPECT_EQ(r.code, 500);
}

TEST_F(HttpClient, AnHttpsBodyToTheEndNeedsAProperTlsClose) {
    AppServerPeer peer(AppServerPeer::Options{
        AppServerPeer::Tls::Trusted,
        {"127.0.0.1", "::1"},
        R"({"GET /clean": {"close": true, "body": "all of it"},
            "GET /cut": {"close": true, "body": "all of it", "tls_no_close_notify": true},
            "GET /sized": {"body": "sized", "tls_no_close_notify": true}})"});
    Result r = run(HTTP_GET, peer.url("/clean", "localhost"));
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "all of it");
    r = run(HTTP_GET, peer.url("/cut", "localhost"));
    EXPECT_EQ(r.code, 500);
    EXPECT_TRUE(r.body_null);
    r = run(HTTP_GET, peer.url("/sized", "localhost"));
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "sized");
}

TEST_F(HttpClient, TlsHandshakeThatNeverEndsTimesOut) {
    const timeval quick = {0, 300000};
    http_set_timeouts_for_tests(&quick, nullptr);
    RawPeer silent(RawPeer::Action::AcceptSilently);
    auto start = std::chrono::steady_clock::now();
    Result r = run(HTTP_GET, "https://localhost:" + std::to_string(silent.port()) + "/");
    EXPECT_EQ(r.code, 500);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

// ---- downloads ----

TEST_F(HttpClient, Downloads) {
    std::string big;
    for (int i = 0; i < 20000; i++) big += "line " + std::to_string(i) + "\n";
    AppServerPeer peer;
    peer.set_rules(R"({"GET /fw.bin": {"body_hex": ")" + to_hex(big) + R"(", "pieces": 7, "piece_delay": 0.01},
                       "GET /missing": {"status": 404, "body": "nope"},
                       "GET /chunked": {"chunks": ["ab", "cd", "ef"], "piece_delay": 0.01}})");

    struct Download {
        std::string path;
        int ok;
        std::string content;  // when ok
    };
    const Download cases[] = {{"/fw.bin", 1, big}, {"/chunked", 1, "abcdef"}, {"/missing", 0, ""}};
    for (const Download &d : cases) {
        SCOPED_TRACE(d.path);
        Result r;
        const std::string target = dir.file("download");
        write_file(target, "old content");
        ASSERT_EQ(http_get_file(file_cb, peer.url(d.path).c_str(), target.c_str(), &r), 0);
        EXPECT_EQ(read_file(target), "");  // truncated at once
        ASSERT_TRUE(pump_until([&] { return r.file_calls > 0; }));
        pump(20ms);
        EXPECT_EQ(r.file_calls, 1);
        EXPECT_EQ(r.file_ok, d.ok);
        EXPECT_EQ(file_exists(target), d.ok == 1);
        struct stat st;
        if (d.ok && stat(target.c_str(), &st) == 0) {
            EXPECT_EQ(read_file(target), d.content);
            EXPECT_EQ(st.st_mode & 0777, 0644u);
        }
    }
    EXPECT_TRUE(log_has("http_get_file_done_cb - response 404"));

    Result r;
    const std::string target = dir.file("unreachable");
    ASSERT_EQ(http_get_file(file_cb, local(closed_port()).c_str(), target.c_str(), &r), 0);
    ASSERT_TRUE(pump_until([&] { return r.file_calls > 0; }));
    EXPECT_EQ(r.file_ok, 0);
    EXPECT_FALSE(file_exists(target));
    EXPECT_TRUE(log_has("Server is probably down or no internet connection!"));
}

// ---- bounds against a hostile server ----

const std::string kUnit(64 * 1024, 'x');
const std::string kHead = "HTTP/1.1 200 OK\r\n";
const std::string kChunkedHead = kHead + "Transfer-Encoding: chunked\r\n\r\n";

std::string repeated(const std::string &s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i++) out += s;
    return out;
}

std::string chunk_of(const std::string &data) {
    char size[32];
    snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

/* One request of that kind (a download into file) to a peer whose reply to "GET <path>" is rule. */
struct HostileRun {
    HostileRun(http_req_type type, const std::string &path, const std::string &rule, const std::string &file = "")
        : peer(AppServerPeer::Options{AppServerPeer::Tls::None, {"127.0.0.1"}, R"({"GET )" + path + R"(": )" + rule + "}"}),
          url(peer.url(path)),
          closed("ENDLESS GET " + path + " closed after") {
        if (type == HTTP_GET_FILE) {
            EXPECT_EQ(http_get_file(file_cb, url.c_str(), file.c_str(), &r), 0);
        } else {
            http_req_data_t data = {url.c_str(), nullptr, 0, nullptr};
            EXPECT_EQ(http_request_chunked(type, &data, piece_cb, final_cb, &r), 0);
        }
    }
    AppServerPeer peer;
    const std::string url;
    const std::string closed;  // what the peer prints once the client has gone
    Result r;
};

struct HostileCase {
    const char *name;
    http_req_type type;
    std::string rule;     // the peer's reply
    const char *reason;   // why the client gives up
    bool short_deadline = false;  // the request's deadline cut to 1 s, a download's to 2 s
};

void PrintTo(const HostileCase &c, std::ostream *os) { *os << c.name; }

class HostileServer : public HttpClient, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileServer, EndsTheRequestOnceWith500AndClosesTheConnection) {
    const HostileCase &c = GetParam();
    const timeval request = {1, 0}, download = {2, 0};
    if (c.short_deadline) http_set_deadlines_for_tests(&request, &download);
    HostileRun run(c.type, std::string("/") + c.name, c.rule, target());
    Result &r = run.r;
    ASSERT_TRUE(pump_until([&] { return r.finals + r.file_calls > 0; }, 30s));
    // The server learns of the close at its next write.
    EXPECT_TRUE(pump_until([&] { return run.peer.wait_output(run.closed, 0ms); }));
    pump(50ms);
    if (c.type == HTTP_GET_FILE) {
        EXPECT_EQ(r.file_calls, 1);
        EXPECT_EQ(r.file_ok, 0);
        EXPECT_FALSE(file_exists(target()));
    } else {
        EXPECT_EQ(r.finals, 1);
        EXPECT_EQ(r.code, 500);
        EXPECT_FALSE(r.had_headers);
        EXPECT_TRUE(r.body_null);
        EXPECT_TRUE(r.pieces.empty());
    }
    EXPECT_TRUE(log_has("given up: " + std::string(c.reason) + " (uri " + run.url + ")")) << c.reason;
}

const std::string kLine(4096, 'a');
const char kDeadline[] = "deadline of 1 s passed";

INSTANTIATE_TEST_SUITE_P(
    Replies, HostileServer,
    ::testing::Values(
        HostileCase{"endless_body", HTTP_GET, endless_reply(kHead + "\r\n", kUnit), "body over 16777216 bytes"},
        HostileCase{"endless_chunks", HTTP_GET, endless_reply(kChunkedHead, chunk_of(kUnit)), "chunk over 16777216 bytes"},
        HostileCase{"huge_length_trickled", HTTP_GET,
                    endless_reply(kHead + "Content-Length: 1073741824\r\n\r\n", "x", 0.05), "body over 16777216 bytes"},
        HostileCase{"huge_chunk", HTTP_GET, endless_reply(kChunkedHead + "40000000\r\n", "x", 0.05),
                    "chunk over 16777216 bytes"},
        HostileCase{"slow_body", HTTP_GET, endless_reply(kHead + "Content-Length: 16777216\r\n\r\n", "x", 0.05),
                    kDeadline, true},
        HostileCase{"slow_chunks", HTTP_GET, endless_reply(kChunkedHead, chunk_of("x"), 0.05), kDeadline, true},
        HostileCase{"endless_status_line", HTTP_GET, endless_reply("HTTP/1.1 200 ", kLine), "header block over 65536 bytes"},
        HostileCase{"endless_header_line", HTTP_GET, endless_reply(kHead + "X-Long: ", kLine),
                    "header block over 65536 bytes"},
        HostileCase{"endless_headers", HTTP_GET, endless_reply(kHead, repeated("X-A: b\r\n", 512)),
                    "header block over 65536 bytes"},
        HostileCase{"endless_interim_replies", HTTP_GET,
                    endless_reply("", repeated("HTTP/1.1 100 Continue\r\n\r\n", 64)), "header block over 65536 bytes"},
        HostileCase{"slow_headers", HTTP_GET, endless_reply(kHead, "X-A: b\r\n", 0.05), kDeadline, true},
        HostileCase{"endless_chunk_size_line", HTTP_GET, endless_reply(kChunkedHead + "1;ext=", kLine),
                    "chunk size line over 65536 bytes"},
        HostileCase{"endless_trailers", HTTP_GET, endless_reply(kChunkedHead + "0\r\n", repeated("X-T: t\r\n", 512)),
                    "header block over 65536 bytes"},
        // A chunked GET: each chunk is bounded, and the deadline holds until the headers are complete.
        HostileCase{"chunk_over_the_bound", HTTP_GET_CHUNKED, endless_reply(kChunkedHead + "1000001\r\n", "x", 0.05),
                    "chunk over 16777216 bytes"},
        HostileCase{"chunked_get_slow_headers", HTTP_GET_CHUNKED, endless_reply(kHead, "X-A: b\r\n", 0.05),
                    kDeadline, true},
        HostileCase{"endless_download", HTTP_GET_FILE, endless_reply(kHead + "\r\n", kUnit),
                    "body over 268435456 bytes"},
        HostileCase{"huge_download", HTTP_GET_FILE,
                    endless_reply(kHead + "Content-Length: 1073741824\r\n\r\n", "x", 0.05), "body over 268435456 bytes"},
        HostileCase{"slow_download", HTTP_GET_FILE,
                    endless_reply(kHead + "Content-Length: 16777216\r\n\r\n", "x", 0.05), "deadline of 2 s passed",
                    true}),
    [](const ::testing::TestParamInfo<HostileCase> &i) { return std::string(i.param.name); });

TEST_F(HttpClient, RepliesUpToTheBoundsArriveWhole) {
    // A body of exactly the bound, the peer sending on behind it.
    HostileRun body(HTTP_GET, "/body",
                    endless_reply(kHead + "Content-Length: " + std::to_string(HTTP_MAX_BODY) + "\r\n\r\n", kUnit));
    ASSERT_TRUE(pump_until([&] { return body.r.finals > 0; }, 30s));
    EXPECT_EQ(body.r.code, 200);
    EXPECT_EQ(body.r.body.size(), (size_t)HTTP_MAX_BODY);

    // One chunk of exactly the bound, as one piece of a chunked GET.
    AppServerPeer peer(AppServerPeer::Options{AppServerPeer::Tls::None, {"127.0.0.1"},
                                              R"({"GET /chunk": {"chunks": [")" + std::string(HTTP_MAX_BODY, 'c') +
                                                  R"("]}})"});
    Result r = run(HTTP_GET_CHUNKED, peer.url("/chunk"));
    EXPECT_EQ(r.code, 200);
    ASSERT_EQ(r.pieces.size(), 1u);
    EXPECT_EQ(r.pieces[0].size(), (size_t)HTTP_MAX_BODY);
}

TEST_F(HttpClient, AChunkedGetStreamsOnPastTheRequestDeadline) {
    const timeval request = {0, 300000};
    http_set_deadlines_for_tests(&request, nullptr);
    HostileRun stream(HTTP_GET_CHUNKED, "/stream", endless_reply(kChunkedHead, chunk_of("p"), 0.05));
    pump(1500ms);
    EXPECT_EQ(stream.r.finals, 0);
    EXPECT_GT(stream.r.pieces.size(), 10u);
    http_cancel_request(&stream.r);
    EXPECT_TRUE(pump_until([&] { return stream.peer.wait_output(stream.closed, 0ms); }));
}

TEST_F(HttpClient, ADownloadHasALongerDeadlineThanARequest) {
    const timeval request = {0, 300000}, download = {5, 0};
    http_set_deadlines_for_tests(&request, &download);
    // Ten bytes in about a second.
    const std::string rule = R"({"body": "0123456789", "pieces": 10, "piece_delay": 0.1})";
    HostileRun file(HTTP_GET_FILE, "/slow", rule, target());
    HostileRun get(HTTP_GET, "/slow", rule);
    ASSERT_TRUE(pump_until([&] { return file.r.file_calls > 0 && get.r.finals > 0; }, 30s));
    EXPECT_EQ(file.r.file_ok, 1);
    EXPECT_EQ(read_file(target()), "0123456789");
    EXPECT_EQ(get.r.code, 500);
    EXPECT_TRUE(log_has("given up: deadline of 0.3 s passed (uri " + get.url + ")"));
}

// ---- cancelling and re-entrance ----

TEST_F(HttpClient, CancellingEndsEveryRequestOfTheArgumentSilently) {
    AppServerPeer peer;
    // The download's first half (head and part of the body) now, the rest much later.
    peer.set_rules(R"({"GET /slow": {"delay": 1, "body": "late"},
                       "GET /partial": {"body": ")" + std::string(200, 'x') + R"(", "pieces": 2, "piece_delay": 5}})");
    Result mine, other;
    http_req_data_t a = {nullptr, nullptr, 0, nullptr};
    const std::string slow = peer.url("/slow");
    a.uri = slow.c_str();
    ASSERT_EQ(http_request(HTTP_GET, &a, final_cb, &mine), 0);
    const std::string part = dir.file("part");
    ASSERT_EQ(http_get_file(file_cb, peer.url("/partial").c_str(), part.c_str(), &mine), 0);
    ASSERT_EQ(http_request(HTTP_GET, &a, final_cb, &other), 0);
    // Wait until the download has written its first piece.
    ASSERT_TRUE(pump_until([&] { return file_exists(part) && !read_file(part).empty(); }));
    EXPECT_EQ(http_cancel_request(&mine), 0);
    EXPECT_FALSE(file_exists(part));
    ASSERT_TRUE(pump_until([&] { return other.finals == 1; }));
    pump(1500ms);
    EXPECT_EQ(mine.finals, 0);
    EXPECT_EQ(mine.file_calls, 0);
    EXPECT_EQ(other.code, 200);
    EXPECT_TRUE(log_has("try to remove partially downloaded file"));
}

TEST_F(HttpClient, CallbacksMayCancelAndStartRequests) {
    AppServerPeer peer(AppServerPeer::Options{
        AppServerPeer::Tls::None,
        {"127.0.0.1"},
        R"({"GET /chunks": {"chunks": ["one", "two", "three"], "piece_delay": 0.05},
            "GET /a": {"body": "A"}, "GET /b": {"body": "B"}})"});

    // A piece callback cancels its own request: no further piece, no final callback.
    Result r;
    r.on_piece = [](Result *self) { http_cancel_request(self); };
    const std::string chunks = peer.url("/chunks");
    http_req_data_t data = {chunks.c_str(), nullptr, 0, nullptr};
    ASSERT_EQ(http_request_chunked(HTTP_GET_CHUNKED, &data, piece_cb, final_cb, &r), 0);
    ASSERT_TRUE(pump_until([&] { return !r.pieces.empty(); }));
    pump(500ms);
    EXPECT_EQ(r.pieces, (std::vector<std::string>{"one"}));
    EXPECT_EQ(r.finals, 0);

    // A final callback cancels its own argument and starts the next request with it.
    Result chain;
    const std::string b = peer.url("/b");
    chain.on_final = [&b](Result *self) {
        if (self->finals != 1) return;
        http_cancel_request(self);
        http_req_data_t next = {b.c_str(), nullptr, 0, nullptr};
        EXPECT_EQ(http_request(HTTP_GET, &next, final_cb, self), 0);
    };
    const std::string a = peer.url("/a");
    data.uri = a.c_str();
    ASSERT_EQ(http_request(HTTP_GET, &data, final_cb, &chain), 0);
    ASSERT_TRUE(pump_until([&] { return chain.finals == 2; }));
    EXPECT_EQ(chain.body, "B");

    // A completed download stays even when its callback cancels its own argument.
    Result file;
    file.on_file = [](Result *self) { http_cancel_request(self); };
    const std::string target = dir.file("kept");
    ASSERT_EQ(http_get_file(file_cb, a.c_str(), target.c_str(), &file), 0);
    ASSERT_TRUE(pump_until([&] { return file.file_calls == 1; }));
    EXPECT_EQ(file.file_ok, 1);
    EXPECT_EQ(read_file(target), "A");
}

TEST_F(HttpClient, ConnectionSocketsAreCloseOnExec) {
    RawPeer silent(RawPeer::Action::AcceptSilently);
    Result r;
    const std::string url = local(silent.port());
    http_req_data_t data = {url.c_str(), nullptr, 0, nullptr};
    ASSERT_EQ(http_request(HTTP_GET, &data, final_cb, &r), 0);
    pump(100ms);
    const std::vector<int> sockets = sockets_connected_to(silent.port());
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_TRUE(fcntl(sockets[0], F_GETFD) & FD_CLOEXEC);
    http_cancel_request(&r);
}

}  // namespace
