// A script request that never gets an answer ends silently with the client's 20-second time-out;
// one whose DTLS handshake never finishes calls back with the DTLS failure.
#include <gtest/gtest.h>

#include <lua.hpp>
#include <string>

#include "src/coap_client.h"
#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_coap_api.h"
#include "src/lua_api/lua_state.h"
#include "tests/scripts/script_env.h"
#include "tests/support/coap_peer.h"
#include "tests/support/redis_server.h"

using namespace brx_test;
using namespace std::chrono_literals;

TEST(LuaCoapSlow, ARequestWithoutAnyReplyCallsNothing) {
    ScriptEnv env(true);
    luacoap_set_event_base(env.base);
    init_coap_client();
    lua_State *L = lua_state_new();
    open_lualibs(L);
    const std::string uri = "coap://127.0.0.1:" + std::to_string(free_udp_port()) + "/silent";
    ASSERT_EQ(run_lua(L, "calls = 0; coap.get('" + uri + "', 'u', 'k', '', false, nil, "
                         "function() calls = calls + 1 end)"),
              "");
    ASSERT_TRUE(env.pump_until([] { return coap_request_count() == 0; }, 60s));
    env.pump(500ms);
    EXPECT_EQ(lua_global(L, "calls"), "0");
    // The result reached the module, which ended the record without a call.
    EXPECT_TRUE(env.log_has("code: 504, response: (null)"));
    close_lua_state(L, nullptr);
}

TEST(LuaCoapSlow, AWrongKeyCallsBackWithTheDtlsFailure) {
    ScriptEnv env(true);
    luacoap_set_event_base(env.base);
    init_coap_client();
    // This server's library drops what it cannot decrypt: the handshake never fails on its own.
    CoapServer server("127.0.0.1", 0, "secretkey", "openssl");
    lua_State *L = lua_state_new();
    open_lualibs(L);
    const std::string uri = server.uri("/temp", true);
    ASSERT_EQ(run_lua(L, "calls = 0; coap.get('" + uri + "', 'user', 'wrongkey', '', false, 'a', "
                         "function(code, uri, body, arg) calls = calls + 1; "
                         "got = string.format('%s|%s|%s|%s', tostring(code), uri, tostring(body), arg) end)"),
              "");
    ASSERT_TRUE(env.pump_until([&] { return lua_global(L, "calls") != "0"; }, 40s)) << env.log();
    EXPECT_EQ(lua_global(L, "got"), "-1|" + uri + "|nil|a");
    ASSERT_TRUE(env.pump_until([] { return coap_request_count() == 0; }, 30s));
    env.pump(500ms);
    EXPECT_EQ(lua_global(L, "calls"), "1");
    close_lua_state(L, nullptr);
}
