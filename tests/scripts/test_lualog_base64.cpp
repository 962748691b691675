// The script modules log and base64, opened into a state as the engine does.
#include <gtest/gtest.h>

#include <lua.hpp>
#include <sstream>

#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_state.h"
#include "tests/scripts/script_env.h"

using namespace brx_test;

namespace {

// The log line that carries the script's text exactly, or "".
std::string line_with(const std::string &log, const std::string &message) {
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        const std::string tail = "lua - " + message;
        if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) return line;
    }
    return "";
}

}  // namespace

TEST(LuaLog, EachFunctionLogsTheTextAsItStandsAtItsLevel) {
    ScriptEnv env(true);
    lua_State *L = new_script_state();
    struct Case {
        const char *call;
        const char *logged;
        const char *level;
    } cases[] = {
        {"log.warn('w 100%d %s %n')", "w 100%d %s %n", "WARN"},
        {"log.info('i %%s')", "i %%s", "INFO"},
        {"log.debug(42.5)", "42.5", "DEBUG"},
        {"log.trace('t')", "t", "TRACE"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        ASSERT_EQ(run_lua(L, c.call), "");
        std::string line = line_with(env.log(), c.logged);
        ASSERT_NE(line, "") << env.log();
        EXPECT_NE(line.find(c.level), std::string::npos) << line;
    }
    // Not a string or a number: the usual argument error, nothing logged.
    EXPECT_NE(run_lua(L, "log.info({})").find("bad argument #1 to 'info'"), std::string::npos);
    EXPECT_NE(run_lua(L, "log.warn()").find("bad argument #1 to 'warn'"), std::string::npos);
    close_lua_state(L, nullptr);
}

TEST(LuaBase64, EncodeAndDecode) {
    ScriptEnv env(true);
    lua_State *L = new_script_state();
    struct Case {
        const char *expr;
        const char *type;
        std::string text;
    } cases[] = {
        {"base64.encode(3, 'abc')", "string", "YWJj"},
        {"base64.encode(2, 'abc')", "string", "YWI="},
        {"base64.encode(1.9, 'abc')", "string", "YQ=="},
        {"base64.encode(3, 'a\\0b')", "string", "YQBi"},
        {"base64.encode(0, 'abc')", "nil", ""},
        {"base64.encode(-1, 'abc')", "nil", ""},
        // Beyond the data: the bytes that are there, nothing after them.
        {"base64.encode(5, 'ab')", "string", "YWI="},
        {"base64.encode(4, '')", "string", ""},
        {"base64.decode('AAAA')", "string", std::string(3, '\0')},
        {"base64.decode('YWJj')", "string", "abc"},
        {"base64.decode('YWJj YWJj')", "string", "abc"},
        {"base64.decode('YWJ*j')", "string", "ab"},
        {"base64.decode('YQ==')", "string", "a"},
        // Decodes to nothing: an empty string, not a failure.
        {"base64.decode('=YWJj')", "string", ""},
        {"base64.decode('Y')", "string", ""},
        {"base64.decode('')", "nil", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expr);
        LuaValue v = lua_eval(L, c.expr);
        EXPECT_EQ(v.type, c.type) << v.text;
        EXPECT_EQ(v.text, c.text);
    }
    EXPECT_TRUE(env.log_has("Data len is 0"));
    EXPECT_TRUE(env.log_has("No data given to decode"));
    EXPECT_TRUE(env.log_has("base64 encode len 5 beyond the data (2 bytes)"));

    // Every byte value survives the round trip.
    EXPECT_EQ(run_lua(L, "local t = {} for i = 0, 255 do t[#t + 1] = string.char(i) end\n"
                         "local s = table.concat(t)\n"
                         "assert(base64.decode(base64.encode(#s, s)) == s)"),
              "");
    EXPECT_NE(lua_eval(L, "base64.encode(3, nil)").text.find("bad argument #2 to 'encode'"), std::string::npos);
    EXPECT_NE(lua_eval(L, "base64.decode()").text.find("bad argument #1 to 'decode'"), std::string::npos);
    close_lua_state(L, nullptr);
}
