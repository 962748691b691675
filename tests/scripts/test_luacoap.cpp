// The script coap module in real script states on the loop, against CoAP peers on loopback.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <lua.hpp>
#include <memory>
#include <string>
#include <thread>

#include "src/coap_client.h"
#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_coap_api.h"
#include "src/lua_api/lua_state.h"
#include "tests/scripts/script_env.h"
#include "tests/support/coap_peer.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

// Every callback appends "code|uri|body|arg|argument count" to the global list `got`.
const char *const kRecorder = R"(
got = {}
function record(code, uri, body, ...)
  local arg = select('#', ...) > 0 and tostring((...)) or "-"
  got[#got + 1] = string.format("%s|%s|%s|%s|%d", tostring(code), uri, tostring(body), arg, 3 + select('#', ...))
end
function joined() return table.concat(got, "\n") end
)";

class LuaCoap : public ::testing::Test {
protected:
    void SetUp() override {
        env = std::make_unique<ScriptEnv>(true);
        luacoap_set_event_base(env->base);
        init_coap_client();
        L = new_state();
    }
    void TearDown() override {
        for (lua_State *s : states) close_lua_state(s, nullptr);
        EXPECT_TRUE(env->pump_until([] { return coap_request_count() == 0; }, 60s))
            << coap_request_count() << " requests left";
        env.reset();
    }
    lua_State *new_state() {
        lua_State *s = lua_state_new();
        open_lualibs(s);
        EXPECT_EQ(run_lua(s, kRecorder), "");
        states.push_back(s);
        return s;
    }
    void forget(lua_State *s) { states.erase(std::find(states.begin(), states.end(), s)); }
    int count(lua_State *s) {
        run_lua(s, "n_got = #got");
        return std::stoi(lua_global(s, "n_got"));
    }
    std::string got(lua_State *s) {
        run_lua(s, "all_got = joined()");
        return lua_global(s, "all_got");
    }
    bool wait_count(lua_State *s, int n, std::chrono::milliseconds t = 20s) {
        return env->pump_until([&] { return count(s) >= n; }, t);
    }
    // Runs a call; "" or the error text; its first result in the global `r`.
    std::string call(lua_State *s, const std::string &expr) { return run_lua(s, "r = " + expr); }

    std::unique_ptr<ScriptEnv> env;
    std::vector<lua_State *> states;
    lua_State *L = nullptr;
};

TEST_F(LuaCoap, CallbacksGetCodeUriBodyAndTheArgWhenOneWasGiven) {
    CoapServer server;
    ASSERT_TRUE(server.put("/temp", "21.5"));
    const std::string temp = server.uri("/temp"), big = server.uri("/big");
    ASSERT_TRUE(server.put("/big", std::string(3000, 'b')));
    struct Case {
        std::string call;
        std::string expect;
    } cases[] = {
        {"coap.get('" + temp + "', 'user', 'secretkey', '', false, nil, record)", "205|" + temp + "|21.5|-|3"},
        {"coap.get('" + temp + "', 'user', 'secretkey', '', false, 'x', record)", "205|" + temp + "|21.5|x|4"},
        {"coap.get('" + temp + "', 123, 456, '', false, nil, record)", "205|" + temp + "|21.5|-|3"},
        {"coap.put('" + temp + "', 'user', 'secretkey', '22.0', false, nil, record)", "204|" + temp + "|nil|-|3"},
        {"coap.get('" + server.uri("/none") + "', 'user', 'secretkey', '', false, 7, record)",
         "404|" + server.uri("/none") + "|Not Found|7|4"},
        {"coap.get('" + server.uri("/temp", true) + "', 'user', 'secretkey', '', false, nil, record)",
         "205|" + server.uri("/temp", true) + "|22.0|-|3"},
        // A one-shot request ends with its first block, whole although larger than one read.
        {"coap.get('" + big + "', 'user', 'secretkey', '', false, nil, function(c, u, b) record(c, u, #b) end)",
         "205|" + big + "|1024|-|3"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        ASSERT_EQ(run_lua(L, "r = select('#', " + c.call + ")"), "");
        EXPECT_EQ(lua_global(L, "r"), "0");
        ASSERT_TRUE(wait_count(L, ++n)) << env->log();
        run_lua(L, "last = got[#got]");
        EXPECT_EQ(lua_global(L, "last"), c.expect);
    }
    env->pump(300ms);
    EXPECT_EQ(count(L), n) << got(L);
}

TEST_F(LuaCoap, BodiesKeepEveryByte) {
    CoapServer server;
    const std::string uri = server.uri("/cbor");
    ASSERT_EQ(run_lua(L, "coap.put('" + uri + "', 'u', 'k', '\\161\\0\\1\\97\\0', false, nil, record)"), "");
    ASSERT_TRUE(wait_count(L, 1));
    ASSERT_EQ(run_lua(L, "coap.get('" + uri + "', 'u', 'k', '', false, nil, function(c, u, b) "
                         "record(c, u, string.format('%d:%d:%d', #b, b:byte(2), b:byte(5))) end)"),
              "");
    ASSERT_TRUE(wait_count(L, 2));
    run_lua(L, "last = got[2]");
    EXPECT_EQ(lua_global(L, "last"), "205|" + uri + "|5:0:0|-|3");
}

struct ArgCase {
    const char *name;
    const char *call;  // %s is a reachable URI
    const char *result;  // "false", or "error"
    const char *log;
};

void PrintTo(const ArgCase &c, std::ostream *os) { *os << c.name; }

class LuaCoapArgs : public LuaCoap, public ::testing::WithParamInterface<ArgCase> {};

TEST_P(LuaCoapArgs, RefusedRequestsKeepNothing) {
    CoapServer server;
    const ArgCase &c = GetParam();
    char buf[512];
    snprintf(buf, sizeof buf, c.call, server.uri("/temp").c_str());
    std::string err = call(L, buf);
    if (std::string(c.result) == "error") {
        EXPECT_NE(err.find(c.log), std::string::npos) << err;
    } else {
        EXPECT_EQ(err, "");
        EXPECT_EQ(lua_global(L, "r"), c.result);
        EXPECT_TRUE(env->log_has(c.log)) << env->log();
    }
    EXPECT_EQ(coap_request_count(), 0);
    env->pump(200ms);
    EXPECT_EQ(count(L), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaCoapArgs,
    ::testing::Values(
        ArgCase{"empty_uri", "coap.get('', 'u', 'k', '', false, nil, record)", "false",
                "handle_coap_request - missing uri"},
        ArgCase{"empty_user", "coap.get('%s', '', 'k', '', false, nil, record)", "false",
                "handle_coap_request - missing user"},
        ArgCase{"empty_key", "coap.delete('%s', 'u', '', '', false, nil, record)", "false",
                "handle_coap_request - missing key"},
        ArgCase{"no_host", "coap.post('coap://', 'u', 'k', 'x', false, nil, record)", "false",
                "Cannot parse coap URI: coap://"},
        ArgCase{"nil_payload", "coap.get('%s', 'u', 'k', nil, false, nil, record)", "error", "bad argument #4"},
        ArgCase{"table_uri", "coap.get({}, 'u', 'k', '', false, nil, record)", "error", "bad argument #1"}),
    [](const ::testing::TestParamInfo<ArgCase> &i) { return std::string(i.param.name); });

TEST_F(LuaCoap, ASubscriptionCallsBackPerNotificationUntilItsStateCancels) {
    CoapServer server;
    const std::string uri = server.uri("/time");
    ASSERT_EQ(run_lua(L, "coap.get('" + uri + "', 'u', 'k', '', true, 'obs', function(...) "
                         "record(...); if #got == 3 then coap.cancel_all_requests() end end)"),
              "");
    ASSERT_TRUE(wait_count(L, 3, 30s)) << env->log();
    ASSERT_TRUE(env->pump_until([&] { return server.count({"GET", "Observe:1", "Uri-Path:time"}) == 1; }, 30s))
        << server.log();
    env->pump(2500ms);
    EXPECT_EQ(count(L), 3) << got(L);
    run_lua(L, "first = got[1]");
    EXPECT_EQ(lua_global(L, "first").substr(0, 4 + uri.size() + 1), "205|" + uri + "|");
}

TEST_F(LuaCoap, AFailingCallbackIsLoggedAndTheSubscriptionGoesOn) {
    CoapServer server;
    ASSERT_EQ(run_lua(L, "coap.get('" + server.uri("/time") + "', 'u', 'k', '', true, nil, function(...) "
                         "record(...); error('boom') end)"),
              "");
    ASSERT_TRUE(wait_count(L, 2, 30s)) << env->log();
    EXPECT_TRUE(env->log_has("coap_request_callback - failed with error: ")) << env->log();
    EXPECT_TRUE(env->log_has("boom"));
    // Deregistered while the server is still there.
    ASSERT_EQ(run_lua(L, "coap.cancel_all_requests()"), "");
    EXPECT_TRUE(env->pump_until([] { return coap_request_count() == 0; }, 30s));
}

TEST_F(LuaCoap, AOneShotBlockTransferEndsWithItsFirstResult) {
    CoapPeer peer("endless_block2");
    const std::string uri = peer.uri("/e");
    ASSERT_EQ(run_lua(L, "coap.get('" + uri + "', 'u', 'k', '', false, nil, record)"), "");
    ASSERT_TRUE(wait_count(L, 1)) << env->log();
    ASSERT_TRUE(env->pump_until([] { return coap_request_count() == 0; }, 10s));
    const size_t asked = peer.count("RECV CON 0.01");
    env->pump(500ms);
    EXPECT_EQ(peer.count("RECV CON 0.01"), asked);
    EXPECT_EQ(count(L), 1);
    EXPECT_EQ(got(L), "205|" + uri + "|block-0.........|-|3");
}

TEST_F(LuaCoap, ClosingAStateEndsItsRequestsWithoutCallingIt) {
    CoapServer server;
    ASSERT_TRUE(server.put("/big", std::string(3000, 'b')));
    for (const char *path : {"/time", "/big", "/time", "/none"}) {
        ASSERT_EQ(run_lua(L, "coap.get('" + server.uri(path) + "', 'u', 'k', '', true, nil, record)"), "");
    }
    // Both observations established, the block transfer under way.
    ASSERT_TRUE(wait_count(L, 4)) << env->log();
    // The four callbacks can come before the second observation is established (the blocks of
    // "/big" count too); only an established one is cancelled with a deregistration.
    ASSERT_TRUE(env->pump_until([&] { return env->log_count("Observation relationship established") >= 3; }, 30s))
        << env->log();
    close_lua_state(L, nullptr);
    forget(L);
    // Results already on their way find no record; later ones are never written.
    env->pump(1500ms);
    EXPECT_TRUE(env->pump_until([] { return coap_request_count() == 0; }, 30s));
    // The server logs what it received a moment later under load.
    EXPECT_TRUE(wait_until([&] { return server.count({"GET", "Observe:1", "Uri-Path:time"}) >= 2u; }, 10s));
    EXPECT_EQ(server.count({"GET", "Observe:1", "Uri-Path:time"}), 2u) << server.log();
}

TEST_F(LuaCoap, ParallelRequestsOfTwoStatesWithCancelsReachOnlyTheirOwnState) {
    CoapServer server;
    ASSERT_TRUE(server.put("/temp", "21.5"));
    lua_State *other = new_state();
    const int kEach = 16;
    for (int i = 0; i < kEach; i++) {
        const std::string arg = std::to_string(i);
        ASSERT_EQ(run_lua(L, "coap.get('" + server.uri("/temp") + "', 'u', 'k', '', false, " + arg + ", record)"), "");
        ASSERT_EQ(run_lua(other, "coap.get('" + server.uri(i % 2 ? "/time" : "/temp") + "', 'u', 'k', '', " +
                                     (i % 2 ? "true" : "false") + ", " + arg + ", record)"),
                  "");
    }
    ASSERT_EQ(run_lua(other, "coap.cancel_all_requests()"), "");
    ASSERT_TRUE(wait_count(L, kEach)) << env->log();
    env->pump(1500ms);
    EXPECT_EQ(count(L), kEach);
    EXPECT_EQ(count(other), 0) << got(other);
    for (int i = 0; i < kEach; i++)
        EXPECT_NE(got(L).find("|21.5|" + std::to_string(i) + "|4"), std::string::npos) << i;
}

// Short of descriptors at each step in turn (the pipe, then the client's own): coap.get returns
// false, keeps no record and no descriptor, and the first call that finds enough is answered.
TEST_F(LuaCoap, ARequestThatFindsNoDescriptorReturnsFalseAndKeepsNothing) {
    CoapServer server;
    ASSERT_TRUE(server.put("/temp", "21.5"));
    const std::string code = "r = coap.get('" + server.uri("/temp") + "', 'u', 'k', '', false, nil, record)";
    lua_State *s = L;
    int spare = 0;
    for (;; spare++) {
        ASSERT_LT(spare, 16) << "no request started";
        const std::vector<int> before = open_descriptors();
        std::string err;
        {
            // Plain calls only: the sanitizer's check of a member call needs a pipe of its own.
            DescriptorSqueeze squeeze(spare);
            err = run_lua(s, code);
        }
        ASSERT_EQ(err, "");
        if (lua_global(s, "r") != "false") break;
        EXPECT_EQ(coap_request_count(), 0);
        EXPECT_EQ(open_descriptors(), before) << spare;
    }
    // The pipe's two ends, the copy of one and the context's two came first.
    EXPECT_GE(spare, 5);
    ASSERT_TRUE(wait_count(L, 1)) << env->log();
    EXPECT_EQ(got(L), "205|" + server.uri("/temp") + "|21.5|-|3");
}

/* Pipe ends the process holds. */
int open_pipe_ends() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (struct dirent *e = readdir(d)) {
        char target[64] = {0};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && strncmp(target, "pipe:", 5) == 0) n++;
    }
    closedir(d);
    return n;
}

struct EndCase {
    const char *name;
    const char *path;   // picks the peer's reply
    const char *result; // what the callback records, "" for no call
    bool subscribe;
};

void PrintTo(const EndCase &c, std::ostream *os) { *os << c.name; }

class LuaCoapEnd : public LuaCoap, public ::testing::WithParamInterface<EndCase> {};

// An exchange that the device ends its own way keeps no pipe behind, nor a one-shot record.
TEST_P(LuaCoapEnd, AnExchangeEndedByTheDeviceKeepsNoPipe) {
    const EndCase &c = GetParam();
    CoapPeer peer("odd_reply");
    const std::string uri = peer.uri(c.path);
    const int pipes = open_pipe_ends();
    ASSERT_EQ(run_lua(L, "coap.get('" + uri + "', 'u', 'k', '', " + (c.subscribe ? "true" : "false") + ", nil, record)"),
              "");
    ASSERT_TRUE(peer.wait_for("RECV CON 0.01", 5s));
    ASSERT_TRUE(env->pump_until([] { return coap_request_count() == 0; }, 10s));
    EXPECT_TRUE(env->pump_until([&] { return open_pipe_ends() == pipes; }, 5s))
        << open_pipe_ends() - pipes << " pipe ends left";
    env->pump(200ms);
    EXPECT_EQ(got(L), *c.result ? c.result + std::string("|") + uri + "|nil|-|3" : "");
    // A subscription's record is still there to cancel.
    EXPECT_EQ(run_lua(L, "coap.cancel_all_requests()"), "");
    EXPECT_EQ(env->log_has("Context by arg not found"), c.subscribe);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaCoapEnd,
    ::testing::Values(EndCase{"reserved_class", "/class3", "", false},
                      EndCase{"empty_single_block", "/empty_block2", "205", false},
                      EndCase{"not_found", "/other", "404", false},
                      EndCase{"subscription_ended_by_an_error", "/other", "404", true}),
    [](const ::testing::TestParamInfo<EndCase> &i) { return std::string(i.param.name); });

}  // namespace
