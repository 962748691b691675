// The script http module in the test process: what happens to requests and servers of a state that
// closes while they are live (run under AddressSanitizer), script servers on open connections, what
// a script server answers at its bounds, and when it gives up on a peer.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <lua.hpp>
#include <string>
#include <thread>

#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/http_client.h"
#include "src/lua_api/lua_http_api.h"
#include "src/lua_api/lua_state.h"
#include "tests/scripts/script_env.h"
#include "tests/support/appserver_peer.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

/* A blocking loopback client of the test's own, for keep-alive requests. */
class Client {
public:
    explicit Client(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, (sockaddr *)&a, sizeof a) == 0;
        timeval tv{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Client() { close(fd_); }
    bool connected() const { return connected_; }
    void send_text(const std::string &s) { ASSERT_EQ(send(fd_, s.data(), s.size(), MSG_NOSIGNAL), (ssize_t)s.size()); }
    /* What arrived so far (the socket waits 100 ms at most per read, unless told not to wait). */
    std::string receive(bool wait = true) {
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof buf, wait ? 0 : MSG_DONTWAIT);
        if (n > 0) got_.append(buf, n);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) eof_ = true;
        return got_;
    }
    /* The server has closed its side or reset the connection (as far as receive has read). */
    bool eof() const { return eof_; }
    /* As much of text from offset on as the socket takes now; the new offset. */
    size_t send_some(const std::string &text, size_t offset) {
        ssize_t n = send(fd_, text.data() + offset, text.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        return n > 0 ? offset + n : offset;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
    std::string got_;
};

/* A script server on port whose handler answers with the status that follows "/status/" in the path,
   and otherwise with the method, the path and the body's length. */
const char *const kEchoServer =
    "srv = http.start(%d, function(m, p, b)\n"
    "    local status = p:match('^/status/(.*)$')\n"
    "    if status then return tonumber(status) or status, 'with a body' end\n"
    "    return 200, m .. ' ' .. p .. ' ' .. #b\n"
    "end)\n";

std::string echo_server(int port) {
    char code[512];
    snprintf(code, sizeof code, kEchoServer, port);
    return code;
}

/* The status and the body of one answer on its own connection, read to the end. */
struct Answer {
    std::string status, body;
};

Answer exchange(ScriptEnv &env, int port, const std::string &request) {
    Client c(port);
    EXPECT_TRUE(c.connected());
    size_t sent = 0;
    env.pump_until(
        [&] {
            if (sent < request.size()) sent = c.send_some(request, sent);
            c.receive(false);
            return c.eof();
        },
        std::chrono::seconds(20));
    const std::string got = c.receive(false);
    EXPECT_TRUE(c.eof()) << got.substr(0, 200);
    Answer a;
    if (got.rfind("HTTP/1.1 ", 0) == 0) a.status = got.substr(9, 3);
    const size_t end = got.find("\r\n\r\n");
    if (end != std::string::npos) a.body = got.substr(end + 4);
    return a;
}

bool port_listens(int port) {
    Client c(port);
    return c.connected();
}

class LuaHttp : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(http_setup_ssl(test_certs().ca.c_str()), 0); }
    void TearDown() override { http_destroy_ssl(); }
    ScriptEnv env{true};
};

TEST_F(LuaHttp, AStateClosedMidTransferGetsNothingMore) {
    AppServerPeer peer(AppServerPeer::Options{
        AppServerPeer::Tls::None,
        {"127.0.0.1"},
        R"({"GET /chunks": {"chunks": ["a", "b", "c", "d"], "piece_delay": 0.2},
            "GET /slow": {"delay": 0.5, "body": "late"}})"});
    lua_State *L = open_script_state();
    const std::string code = "pieces = 0\n"
                             "http.get_chunked('" + peer.url("/chunks") + "', function(c, u, b) pieces = pieces + 1 end)\n"
                             "http.get('" + peer.url("/slow") + "', 'arg', function() slow = true end)\n"
                             "http.post('" + peer.url("/slow") + "', {{['X-A'] = 'a'}}, 'body', function() slow = true end)\n";
    ASSERT_EQ(run_lua(L, code), "");
    ASSERT_TRUE(env.pump_until([&] { return lua_global(L, "pieces") == "1"; }, 10s)) << env.log();
    const size_t before = env.log_count("http_request_process_reply code");
    close_lua_state(L, nullptr);
    // The remaining pieces and the slow replies come to nobody.
    env.pump(1500ms);
    EXPECT_TRUE(env.log_has("http_cancel_request"));
    EXPECT_EQ(env.log_count("http_request_process_reply code"), before);
}

TEST_F(LuaHttp, AStateClosedWithALiveServer) {
    const int port = free_tcp_port();
    lua_State *L = open_script_state();
    // The handle is not kept: the server must live on until it is stopped.
    ASSERT_EQ(run_lua(L, "http.start(" + std::to_string(port) +
                             ", function(m, p, b) return 200, 'alive ' .. p end)\n"
                             "collectgarbage('collect')\n"),
              "");
    Client keep(port);
    ASSERT_TRUE(keep.connected());
    keep.send_text("GET /one HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(env.pump_until([&] { return keep.receive().find("alive /one") != std::string::npos; }, 10s));

    close_lua_state(L, nullptr);
    env.pump(50ms);
    EXPECT_FALSE(port_listens(port));
    // A connection that stays open gets the server's error answer, never the closed state.
    keep.send_text("GET /two HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(env.pump_until([&] { return keep.receive().find("Internal server erorr") != std::string::npos; }, 10s));
}

TEST_F(LuaHttp, ServerStoppedWhileAConnectionIsOpen) {
    const int port = free_tcp_port();
    lua_State *L = open_script_state();
    ASSERT_EQ(run_lua(L, "srv = http.start(" + std::to_string(port) + ", function() return 200, 'up' end)"), "");
    Client keep(port);
    ASSERT_TRUE(keep.connected());
    keep.send_text("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(env.pump_until([&] { return keep.receive().find("up") != std::string::npos; }, 10s));
    ASSERT_EQ(run_lua(L, "http.stop(srv) http.stop(srv) http.stop(42) http.stop(io.stdout)"), "");
    EXPECT_TRUE(env.log_has("not in the list (already freed) or list is empty"));
    EXPECT_FALSE(port_listens(port));
    keep.send_text("GET /again HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(env.pump_until([&] { return keep.receive().find("Internal server erorr") != std::string::npos; }, 10s));
    // The same port can serve again at once.
    ASSERT_EQ(run_lua(L, "srv2 = http.start(" + std::to_string(port) + ", function() return 200, 'again' end)"), "");
    EXPECT_NE(lua_global(L, "srv2"), "nil");
    close_lua_state(L, nullptr);
    env.pump(50ms);
}

TEST_F(LuaHttp, HttpsFromAScript) {
    AppServerPeer peer(AppServerPeer::Options{AppServerPeer::Tls::Trusted, {"127.0.0.1", "::1"},
                                              R"({"GET /s": {"body": "secret"}})"});
    lua_State *L = open_script_state();
    ASSERT_EQ(run_lua(L, "http.get('" + peer.url("/s", "localhost") + "', nil, function(c, u, b) good = c .. ' ' .. tostring(b) end)\n"
                         "http.get('" + peer.url("/s", "127.0.0.1") + "', nil, function(c, u, b) bad = c .. ' ' .. tostring(b) end)\n"),
              "");
    ASSERT_TRUE(env.pump_until([&] { return lua_global(L, "good") != "nil" && lua_global(L, "bad") != "nil"; }, 20s));
    EXPECT_EQ(lua_global(L, "good"), "200 secret");
    EXPECT_EQ(lua_global(L, "bad"), "500 nil");
    EXPECT_TRUE(env.log_has("HTTPS NOT OK: Got 'MatchNotFound'"));
    close_lua_state(L, nullptr);
}

TEST_F(LuaHttp, HandlerStatusesOutsideTheProtocolAndBodylessAnswers) {
    const int port = free_tcp_port();
    lua_State *L = open_script_state();
    ASSERT_EQ(run_lua(L, echo_server(port)), "");
    struct Case {
        const char *status;  // the handler's first result
        const char *sent, *body;
    };
    const Case cases[] = {
        {"-5", "500", "Internal server erorr"},    {"70000", "500", "Internal server erorr"},
        {"0", "500", "Internal server erorr"},     {"99", "500", "Internal server erorr"},
        {"600", "500", "Internal server erorr"},   {"not-a-number", "500", "Internal server erorr"},
        {"100", "100", ""},                        {"204", "204", ""},
        {"304", "304", ""},                        {"200", "200", "with a body"},
        {"599", "599", "with a body"},             {"205", "205", "with a body"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status);
        Answer a = exchange(env, port, std::string("GET /status/") + c.status + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(a.status, c.sent);
        EXPECT_EQ(a.body, c.body);
    }
    EXPECT_TRUE(env.log_has("http server handler: status 70000 is not one of 100..599"));
    close_lua_state(L, nullptr);
}

/* Header lines of exactly total bytes, each "Name: value\r\n", the first one "Host: x". */
std::string header_block(size_t total) {
    std::string block = "Host: x\r\n";
    for (int n = 0; total - block.size() > 2000; n++) {
        const std::string name = "X-Fill-" + std::to_string(n) + ": ";
        block += name + std::string(1000 - name.size() - 2, 'f') + "\r\n";
    }
    const size_t rest = total - block.size();
    return block + "X-Last: " + std::string(rest - 10, 'l') + "\r\n";
}

std::string chunked(size_t total) {
    std::string body;
    const size_t piece = 64 * 1024;
    for (size_t done = 0; done < total; done += piece) {
        const size_t n = std::min(piece, total - done);
        char size[16];
        snprintf(size, sizeof size, "%zx\r\n", n);
        body += size + std::string(n, 'c') + "\r\n";
    }
    return body + "0\r\n\r\n";
}

TEST_F(LuaHttp, RequestsUpToTheBoundsAreServedAndOneByteMoreIsRefused) {
    const int port = free_tcp_port();
    lua_State *L = open_script_state();
    ASSERT_EQ(run_lua(L, echo_server(port)), "");
    const size_t kBody = 1024 * 1024, kHeaders = 64 * 1024;
    struct Case {
        const char *name;
        std::string request;
        const char *status, *body;
    };
    const Case cases[] = {
        {"a body of 1 MiB", "POST /b HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 1048576\r\n\r\n" +
             std::string(kBody, 'b'), "200", "POST /b 1048576"},
        {"a declared body of 1 MiB and a byte",
         "POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 1048577\r\n\r\n" + std::string(kBody + 1, 'b'), "413", ""},
        {"a chunked body of 1 MiB",
         "POST /c HTTP/1.1\r\nHost: x\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(kBody), "200",
         "POST /c 1048576"},
        {"a chunked body of 1 MiB and a byte",
         "POST /c HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(kBody + 1), "413", ""},
        {"a header block of 64 KiB", "GET /h HTTP/1.1\r\nConnection: close\r\n" + header_block(kHeaders - 19) + "\r\n",
         "200", "GET /h 0"},
        {"a header block of 64 KiB and a byte", "GET /h HTTP/1.1\r\n" + header_block(kHeaders + 1) + "\r\n", "431", ""},
        {"a header line past what the parser holds", "GET /h HTTP/1.1\r\nX-Long: " + std::string(20000, 'l') + "\r\n\r\n",
         "431", ""},
        {"a request target past what the parser holds", "GET /" + std::string(20000, 't') + " HTTP/1.1\r\n\r\n", "414",
         ""},
        {"no request at all", "\x16\x03\x01 hello\r\n\r\n", "400", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Answer a = exchange(env, port, c.request);
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.body, c.body);
    }
    close_lua_state(L, nullptr);
}

TEST_F(LuaHttp, PeersThatSendNoWholeRequestInTimeAreCutOff) {
    luahttp_set_request_timeout_ms(400);
    const int port = free_tcp_port();
    lua_State *L = open_script_state();
    ASSERT_EQ(run_lua(L, echo_server(port)), "");
    struct Case {
        const char *name;
        std::string first;  // sent at once
        bool trickle;       // then a header byte every 50 ms
    };
    const Case cases[] = {
        {"nothing at all", "", false},
        {"a header block a byte at a time", "GET / HTTP/1.1\r\nX-Slow: ", true},
        {"nothing after an answered request", "GET /kept HTTP/1.1\r\nHost: x\r\n\r\n", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Client peer(port);
        ASSERT_TRUE(peer.connected());
        if (!c.first.empty()) peer.send_text(c.first);
        const auto start = std::chrono::steady_clock::now();
        auto next_byte = start;
        const bool cut = env.pump_until(
            [&] {
                if (c.trickle && std::chrono::steady_clock::now() >= next_byte) {
                    peer.send_some("s", 0);
                    next_byte += 50ms;
                }
                peer.receive(false);
                return peer.eof();
            },
            5s);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(cut);
        EXPECT_GE(took, 350ms);
        if (c.first.find("/kept") != std::string::npos) {
            EXPECT_NE(peer.receive().find("GET /kept 0"), std::string::npos);
        }
    }
    // The server itself goes on.
    EXPECT_EQ(exchange(env, port, "GET /after HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").body, "GET /after 0");
    luahttp_set_request_timeout_ms(60000);
    close_lua_state(L, nullptr);
}

TEST_F(LuaHttp, TearDownEndsTheConnectionsThatClosedStatesLeft) {
    const int port = free_tcp_port();
    lua_State *L = open_script_state();
    ASSERT_EQ(run_lua(L, echo_server(port)), "");
    Client idle(port), half(port), kept(port);
    ASSERT_TRUE(idle.connected() && half.connected() && kept.connected());
    half.send_text("POST /half HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345");
    kept.send_text("GET /kept HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(env.pump_until([&] { return kept.receive().find("GET /kept 0") != std::string::npos; }, 10s));
    close_lua_state(L, nullptr);
    env.pump(50ms);
    for (Client *c : {&idle, &half, &kept}) c->receive(false);
    EXPECT_FALSE(idle.eof() || half.eof() || kept.eof());

    // libevent closes the descriptors of freed connections at its next turn (or when the base is freed).
    luahttp_destroy();
    env.pump(20ms);
    for (Client *c : {&idle, &half, &kept}) {
        c->receive(false);
        EXPECT_TRUE(c->eof());
    }
}

}  // namespace
