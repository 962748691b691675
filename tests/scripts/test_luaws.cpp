// The script ws module on the test's loop against server peers on the fixed ports 80 and 443, inside
// a network namespace of the test's own: python3-websockets, and a raw peer that logs every frame.
#include <gtest/gtest.h>
#include <signal.h>

#include <lua.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "src/device/driver.h"
#include "src/device_cfg.h"
#include "src/lua_api/lua_state.h"
#include "src/lua_api/lua_ws_api.h"
#include "tests/support/netns.h"
#include "tests/scripts/script_env.h"
#include "tests/support/appserver_peer.h"
#include "tests/support/engine_env.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

using Strings = std::vector<std::string>;

/* tests/support/ws_peer.py in one of its modes; plain on port 80, TLS on 443. */
class WsPeer {
public:
    enum class Tls { None, Trusted, Untrusted };
    WsPeer(const std::string &mode, Tls tls, const Strings &hosts = {"127.0.0.1"}, const Strings &options = {}) {
        Strings argv = {"/usr/bin/python3", source_path("tests/support/ws_peer.py"), mode};
        argv.insert(argv.end(), options.begin(), options.end());
        const TestCerts &c = test_certs();
        if (tls != Tls::None) {
            argv.insert(argv.end(), {"--cert", tls == Tls::Trusted ? c.localhost_cert : c.other_cert, "--key",
                                     tls == Tls::Trusted ? c.localhost_key : c.other_key});
        }
        argv.insert(argv.end(), hosts.begin(), hosts.end());
        proc = std::make_unique<Process>(argv);
        EXPECT_TRUE(proc->wait_for_output("READY", 20s)) << proc->err();
    }
    /* The peer's lines that start with prefix, without it. */
    Strings lines(const std::string &prefix) const {
        Strings out;
        for (const std::string &l : lines_of(proc->out()))
            if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l.substr(prefix.size()));
        return out;
    }
    std::unique_ptr<Process> proc;
};

class LuaWs : public PrivateNetnsTest {
protected:
    void SetUp() override {
        PrivateNetnsTest::SetUp();
        if (IsSkipped()) return;
        signal(SIGPIPE, SIG_IGN);
        cfg_set_ca_cert_path(test_certs().ca.c_str());
        L = lua_state_new();
        open_lualibs(L);
        ASSERT_EQ(run_lua(L, fixture("ws_client.lua")), "");
    }
    void TearDown() override {
        if (L) close_lua_state(L, nullptr);
        env.pump(20ms);
    }
    Strings events() { return lua_strings(L, "events"); }
    /* Runs the loop until the script has n events, then a little longer for any that should not come. */
    Strings events_after(size_t n) {
        EXPECT_TRUE(env.pump_until([&] { return events().size() >= n; }, 20s)) << ::testing::PrintToString(events());
        env.pump(50ms);
        return events();
    }
    bool peer_has(const WsPeer &p, const std::string &prefix, size_t n = 1) {
        return env.pump_until([&] { return p.lines(prefix).size() >= n; }, 20s);
    }
    void lua(const std::string &code) { ASSERT_EQ(run_lua(L, code), ""); }

    ScriptEnv env{true};
    lua_State *L = nullptr;
};

TEST_F(LuaWs, LibraryServerMessagesFragmentsPingEchoAndReconnect) {
    WsPeer peer("lib", WsPeer::Tls::None);
    lua("client = new_client() ws.connect(client, 'ws://127.0.0.1/p')");
    EXPECT_EQ(events_after(3), (Strings{"connect", "message:hello", "message:fragmented"}));
    ASSERT_TRUE(peer_has(peer, "PONG"));
    EXPECT_EQ(peer.lines("OPEN "), Strings{"ws://127.0.0.1/p"});

    lua("ws.send(client, 'hi') ws.send(client, 'boom') ws.ping(client)");
    EXPECT_EQ(events_after(5).back(), "message:echo:boom");
    EXPECT_EQ(peer.lines("MESSAGE "), (Strings{to_hex("hi"), to_hex("boom")}));
    // A failing callback is logged and the client goes on.
    EXPECT_TRUE(env.log_has("lua_wsapi - lua_pcall failed with error"));
    EXPECT_TRUE(env.log_has("boom in on_message"));

    lua("ws.close(client)");
    ASSERT_TRUE(peer_has(peer, "CLOSED "));
    EXPECT_EQ(peer.lines("CLOSED "), Strings{"1005"});

    lua("events = {} ws.connect(client, 'ws://127.0.0.1/p')");
    EXPECT_EQ(events_after(3), (Strings{"connect", "message:hello", "message:fragmented"}));
    lua("ws.send(client, 'again')");
    EXPECT_EQ(events_after(4).back(), "message:echo:again");
    EXPECT_EQ(peer.lines("OPEN ").size(), 2u);
    lua("ws.destroy(client)");
    ASSERT_TRUE(peer_has(peer, "CLOSED ", 2));
}

TEST_F(LuaWs, LibraryServerOverTlsByNameAndRefusedByAddress) {
    WsPeer peer("lib", WsPeer::Tls::Trusted, {"127.0.0.1", "::1"});
    lua("client = new_client() ws.connect(client, 'wss://localhost/secure')");
    EXPECT_EQ(events_after(3), (Strings{"connect", "message:hello", "message:fragmented"}));
    EXPECT_EQ(peer.lines("OPEN "), Strings{"wss://localhost/secure"});
    EXPECT_TRUE(env.log_has("WSS OK: serv: 'localhost'"));
    lua("ws.send(client, 'tls')");
    EXPECT_EQ(events_after(4).back(), "message:echo:tls");

    lua("events = {} other = new_client() ws.connect(other, 'wss://127.0.0.1/secure')");
    EXPECT_EQ(events_after(1), Strings{"error:Network error"});
    EXPECT_TRUE(env.log_has("WSS NOT OK: Got 'MatchNotFound', serv: '127.0.0.1'"));
    EXPECT_EQ(peer.lines("OPEN ").size(), 1u);
    lua("ws.destroy(other) ws.destroy(client)");
}

TEST_F(LuaWs, RawPeerSeesTheRequestMaskedFramesAndLengthCodes) {
    WsPeer peer("raw", WsPeer::Tls::None);
    lua("client = new_client() ws.connect(client, 'ws://127.0.0.1/p?x=1')");
    EXPECT_EQ(events_after(1), Strings{"connect"});
    const Strings request = peer.lines("REQUEST ");
    ASSERT_EQ(request.size(), 1u);
    const std::string head = "GET ws://127.0.0.1/p?x=1 HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Host: 127.0.0.1\r\nSec-WebSocket-Key: ";
    EXPECT_EQ(request[0].substr(0, to_hex(head).size()), to_hex(head));

    lua("ws.send(client, string.rep('m', 125)) ws.send(client, string.rep('m', 126))"
        "ws.send(client, string.rep('m', 65536)) ws.send(client, 'a\\0b') ws.send(client, 7) ws.ping(client)");
    ASSERT_TRUE(peer_has(peer, "FRAME ", 6));
    const Strings frames = peer.lines("FRAME ");
    const struct {
        int code;
        std::string payload;
    } want[] = {{125, std::string(125, 'm')}, {126, std::string(126, 'm')}, {127, std::string(65536, 'm')},
                {1, "a"}, {1, "7"}};
    Strings masks;
    for (size_t i = 0; i < 5; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames[i].substr(0, frames[i].find(" mask=")),
                  "fin=1 op=1 masked=1 code=" + std::to_string(want[i].code));
        EXPECT_EQ(frames[i].substr(frames[i].find(" payload=") + 9), to_hex(want[i].payload));
        masks.push_back(frames[i].substr(frames[i].find(" mask="), 14));
    }
    std::sort(masks.begin(), masks.end());
    EXPECT_GT(std::unique(masks.begin(), masks.end()) - masks.begin(), 1);
    EXPECT_EQ(frames[5].substr(0, 26), "fin=1 op=9 masked=1 code=0");

    // Server frames: a message with a NUL inside reaches the script whole.
    lua("ws.send(client, 'cmd:send:' .. '8103610062')");
    EXPECT_EQ(events_after(2).back(), std::string("message:a\0b", 11));

    // What is sent right before close leaves with the close frame.
    lua("ws.send(client, 'x1') ws.send(client, 'x2') ws.close(client) ws.send(client, 'after close')");
    ASSERT_TRUE(peer_has(peer, "CLOSE"));
    const Strings last = peer.lines("FRAME ");
    ASSERT_EQ(last.size(), 10u);
    EXPECT_EQ(last[7].substr(last[7].find(" payload=") + 9), to_hex("x1"));
    EXPECT_EQ(last[8].substr(last[8].find(" payload=") + 9), to_hex("x2"));
    EXPECT_EQ(last[9].substr(0, 26), "fin=1 op=8 masked=1 code=0");
    EXPECT_EQ(last[9].substr(last[9].find(" payload=")), " payload=");
}

TEST_F(LuaWs, OnlyTheGivenCallbackIsCalledAndACallbackMayDestroyItsClient) {
    WsPeer peer("raw", WsPeer::Tls::None);
    lua("only = connect_only_client() ws.connect(only, 'ws://127.0.0.1/')");
    EXPECT_EQ(events_after(1), Strings{"connect"});
    // Two messages and a ping in one read: nothing reaches the script.
    lua("ws.send(only, 'cmd:send:8101618101628900')");
    ASSERT_TRUE(peer_has(peer, "FRAME fin=1 op=10"));
    EXPECT_EQ(events_after(1), Strings{"connect"});

    lua("events = {} message_hook = function(c, data) ws.destroy(c) end"
        " client = new_client() ws.connect(client, 'ws://127.0.0.1/')");
    EXPECT_EQ(events_after(1), Strings{"connect"});
    lua("ws.send(client, 'cmd:send:8101618101628900')");
    EXPECT_EQ(events_after(2), (Strings{"connect", "message:a"}));
    ASSERT_TRUE(peer_has(peer, "CLOSE"));
    // No pong from the destroyed client: only the first client answered a ping.
    EXPECT_EQ(peer.lines("FRAME fin=1 op=10").size(), 1u);
    lua("ws.send(client, 'x')");
    EXPECT_TRUE(env.log_has("wsapi_send no ctx provided"));
    lua("ws.destroy(only)");
}

struct TlsCase {
    const char *name;
    WsPeer::Tls tls;
    const char *url;
    Strings events;
    Strings logged;
};

void PrintTo(const TlsCase &c, std::ostream *os) { *os << c.name; }

class LuaWsTls : public LuaWs, public ::testing::WithParamInterface<TlsCase> {};

TEST_P(LuaWsTls, CertificateAndHostDecide) {
    const TlsCase &c = GetParam();
    WsPeer peer("raw", c.tls, {"127.0.0.1", "::1"});
    lua(std::string("client = new_client() ws.connect(client, '") + c.url + "')");
    EXPECT_EQ(events_after(c.events.size()), c.events);
    for (const std::string &text : c.logged) EXPECT_TRUE(env.log_has(text)) << text;
    if (c.events == Strings{"connect"}) {
        ASSERT_TRUE(peer_has(peer, "SNI "));
        EXPECT_EQ(peer.lines("SNI "), Strings{"None"});
        // The peer drops TCP without close_notify: an error, not a close.
        lua("ws.send(client, 'cmd:drop')");
        EXPECT_EQ(events_after(2), (Strings{"connect", "error:Network error"}));
    }
    lua("ws.destroy(client)");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaWsTls,
    ::testing::Values(
        TlsCase{"trusted_by_name", WsPeer::Tls::Trusted, "wss://localhost/t", {"connect"}, {"WSS OK: serv: 'localhost'"}},
        TlsCase{"trusted_by_address", WsPeer::Tls::Trusted, "wss://127.0.0.1/t", {"error:Network error"},
                {"SSL verify cert '127.0.0.1'", "WSS NOT OK: Got 'MatchNotFound', serv: '127.0.0.1'"}},
        TlsCase{"unknown_authority", WsPeer::Tls::Untrusted, "wss://localhost/t", {"error:Network error"},
                {"X509_verify_cert Error", "WSS NOT OK: Got 'X509_verify_cert failed'"}}),
    [](const ::testing::TestParamInfo<TlsCase> &i) { return std::string(i.param.name); });

TEST_F(LuaWs, AClosedStateEndsItsClientsWithoutCallingThem) {
    WsPeer peer("raw", WsPeer::Tls::None);
    lua("client = new_client() ws.connect(client, 'ws://127.0.0.1/')");
    EXPECT_EQ(events_after(1), Strings{"connect"});
    // The script dropped its handle: the client lives on until the state goes.
    lua("client = nil collectgarbage() collectgarbage()");
    lua_State *other = lua_state_new();
    open_lualibs(other);
    ASSERT_EQ(run_lua(other, fixture("ws_client.lua")), "");
    ASSERT_EQ(run_lua(other, "c = new_client() ws.connect(c, 'ws://127.0.0.1/')"), "");
    ASSERT_TRUE(env.pump_until([&] { return lua_strings(other, "events").size() == 1; }));
    ASSERT_TRUE(peer_has(peer, "REQUEST ", 2));

    close_lua_state(L, nullptr);
    L = nullptr;
    ASSERT_TRUE(peer_has(peer, "CLOSE"));
    EXPECT_TRUE(env.log_has("of a closing state destroyed"));
    // The other state's client is untouched.
    ASSERT_EQ(run_lua(other, "ws.send(c, 'cmd:send:8103686921')"), "");
    ASSERT_TRUE(env.pump_until([&] { return lua_strings(other, "events").size() == 2; }));
    EXPECT_EQ(lua_strings(other, "events").back(), "message:hi!");
    EXPECT_EQ(peer.lines("CLOSE").size(), 1u);
    close_lua_state(other, nullptr);
    ASSERT_TRUE(peer_has(peer, "CLOSE", 2));
}

/* No network: the CA file is read at each init_client. */
TEST(LuaWsInit, TheCaFileIsReadAtEachInitClient) {
    ScriptEnv env(true);
    lua_State *L = lua_state_new();
    open_lualibs(L);
    cfg_set_ca_cert_path("/nonexistent/ca.pem");
    EXPECT_EQ(run_lua(L, "bad = ws.init_client(nil, nil, nil, nil)"), "");
    EXPECT_EQ(lua_global(L, "bad"), "nil");
    EXPECT_TRUE(env.log_has("SSL_CTX_load_verify_locations ERROR"));
    EXPECT_TRUE(env.log_has("Cannot init ws"));
    cfg_set_ca_cert_path(test_certs().ca.c_str());
    EXPECT_EQ(run_lua(L, "good = ws.init_client(nil, nil, nil, nil) assert(type(good) == 'userdata')"), "");
    EXPECT_EQ(run_lua(L, "ws.destroy(good)"), "");
    close_lua_state(L, nullptr);
}

/* The daemon's -l mode, in namespaces of the test's own (its pid file included). */
class LuaWsFile : public PrivateRunTest {};

TEST_F(LuaWsFile, ValuesThatAreNoLiveClientDoNothing) {
    LoadFileEnv env;
    ProcResult r = run_process(env.argv(fixture_path("l_ws_handles.lua")), 60s);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // A number, another library's userdata, a bare userdata, a destroyed handle; destroy once more.
    for (const char *fn : {"connect", "close", "send", "ping"})
        EXPECT_EQ(lines_containing(r.out, std::string("lua_wsapi - wsapi_") + fn + " no ctx provided"), 4u) << fn;
    EXPECT_EQ(lines_containing(r.out, "lua_wsapi - wsapi_destroy no ctx provided"), 5u);
    EXPECT_EQ(lines_containing(r.out, "wsapi_init_client: 4 arguments required"), 1u);
    EXPECT_EQ(lines_containing(r.out, "short init: nil"), 1u);
    EXPECT_EQ(lines_containing(r.out, "send with a table: false"), 1u);
    EXPECT_EQ(lines_containing(r.out, "string expected, got table"), 1u);
    EXPECT_EQ(lines_containing(r.out, "Unknown schema"), 2u);
    // The failed lookup comes from the loop, after connect returned, and only to its own client.
    const size_t returned = r.out.find("connect returned");
    const size_t error = r.out.find("on_error: Network error, others called: 0");
    ASSERT_NE(returned, std::string::npos) << r.out;
    ASSERT_NE(error, std::string::npos) << r.out;
    EXPECT_LT(returned, error);
}

/* ---- peers that read nothing ---- */

/* What such a peer leaves unread then stays with the engine rather than in the kernel. */
const Strings kSmallReceiveBuffer = {"--rcvbuf", "65536"};

struct UnreadCase {
    const char *name;
    WsPeer::Tls tls;
    const char *url;
    const char *peer_command;
    bool script_sends;
};

void PrintTo(const UnreadCase &c, std::ostream *os) { *os << c.name; }

class LuaWsUnread : public LuaWsFile, public ::testing::WithParamInterface<UnreadCase> {};

TEST_P(LuaWsUnread, TheEngineHoldsLittleMoreThanTheBoundAndTheScriptHearsOnce) {
    const UnreadCase &c = GetParam();
    WsPeer peer("raw", c.tls, {"127.0.0.1", "::1"}, kSmallReceiveBuffer);
    LoadFileEnv env;
    // Lines per frame sent or ping answered would only slow the flood.
    std::string conf = read_file(env.conf_path);
    conf.replace(conf.find("logger.level=DEBUG"), strlen("logger.level=DEBUG"), "logger.level=INFO");
    write_file(env.conf_path, conf);
    std::map<std::string, std::string> vars = {{"WS_URL", c.url}, {"WS_PEER_COMMAND", c.peer_command}};
    if (c.script_sends) vars["WS_SEND"] = "1";
    // ASan's quarantine keeps freed memory resident: a small one leaves the figure the engine's own.
    ChildLimits limits;
    limits.memory_mb = 256;
    limits.quarantine_mb = 8;
    Strings argv = env.argv(fixture_path("l_ws_unread.lua"));
    limit_child(limits, &argv, &vars);
    Process engine(argv, vars);
    ASSERT_TRUE(wait_until([&] { return engine.count_output("lua - idle") > 0 || !engine.running(); }, 30s) &&
                engine.count_output("lua - idle") > 0)
        << engine.out() << engine.err();
    const long idle_kib = process_memory_kib(engine.pid(), "VmRSS");
    ASSERT_EQ(engine.count_output("lua - flooding"), 0u) << "the idle figure was taken too late";
    ASSERT_GT(idle_kib, 0);

    // An engine past its cap is gone: no need to wait any longer.
    const bool settled = wait_until([&] { return engine.count_output("lua - settled") > 0 || !engine.running(); }, 30s) &&
                         engine.count_output("lua - settled") > 0;
    const long peak_kib = process_memory_kib(engine.pid(), "VmHWM");
    ASSERT_TRUE(settled) << engine.out().substr(0, 4000) << engine.err().substr(0, 4000);
    EXPECT_LT(peak_kib - idle_kib, 64 * 1024) << "idle " << idle_kib << " KiB, peak " << peak_kib << " KiB";
    EXPECT_EQ(engine.count_output("lua - on_error: "), 1u);
    EXPECT_EQ(engine.count_output("lua - on_error: Network error"), 1u);
    EXPECT_EQ(engine.count_output("connection closed (ws "), 1u);
    if (std::string(c.peer_command) == "cmd:pings") {
        EXPECT_TRUE(wait_until([&] { return !peer.lines("PINGS GONE ").empty(); }, 10s));
    }
    EXPECT_EQ(engine.stop(SIGTERM), 0) << engine.err().substr(0, 4000);
}

INSTANTIATE_TEST_SUITE_P(Cases, LuaWsUnread,
                         ::testing::Values(UnreadCase{"script_sends", WsPeer::Tls::None, "ws://127.0.0.1/", "cmd:stall", true},
                                           UnreadCase{"script_sends_over_tls", WsPeer::Tls::Trusted, "wss://localhost/",
                                                      "cmd:stall", true},
                                           UnreadCase{"peer_pings", WsPeer::Tls::None, "ws://127.0.0.1/", "cmd:pings", false}),
                         [](const ::testing::TestParamInfo<UnreadCase> &i) { return std::string(i.param.name); });

/* The daemon itself, whose stop runs the whole tear-down. */
const char *const kStallingLanDriver = R"(
local d = {}
local client
function d.init(mac, ip)
    client = ws.init_client(nil, nil, nil, function()
        ws.send(client, "cmd:stall")
        -- Below the bound even if the kernel takes none of it.
        local chunk = string.rep("q", 1024 * 1024)
        for i = 1, 14 do ws.send(client, chunk) end
        log.info("queued")
    end)
    ws.connect(client, "ws://127.0.0.1/")
end
function d.add(request) end
function d.delete(request) end
function d.command(command) end
function d.get_version() return "1.0.0" end
function d.cleanup() ws.destroy(client) end
return d
)";

TEST_F(LuaWsFile, StopFreesAConnectionStillWritingWithoutWaitingForItsPeer) {
    WsPeer peer("raw", WsPeer::Tls::None, {"127.0.0.1"}, kSmallReceiveBuffer);
    EngineEnv env;
    env.write_lan_driver(kStallingLanDriver);
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(env.wait_log("lua - queued", 60s)) << env.log();
    ASSERT_TRUE(wait_until([&] { return !peer.lines("STALLED").empty(); }, 10s));
    const auto asked = std::chrono::steady_clock::now();
    const int status = env.stop(SIGTERM);
    const auto took = std::chrono::steady_clock::now() - asked;
    // The state's close left the client's last frames behind; the tear-down takes them.
    EXPECT_EQ(env.count_log("ws - 1 closing connections freed"), 1u);
    // A sanitized build's LeakSanitizer fails the exit when memory was left behind (though words
    // left in freed event records can hide a connection from it).
    EXPECT_EQ(status, 0) << env.err().substr(0, 8000);
    // A closing connection gets 3 s to write; the stop does not wait for it.
    EXPECT_LT(took, 2500ms);
}

}  // namespace
