#include "src/lua_api/lua_log_api.h"

#include <lua.hpp>

#include "common/logger/logger.h"

#define LOG_CATEGORY "lua"

namespace {

int log_at(lua_State *L, int level) {
    // The script's text is data, never a format.
    const char *message = luaL_checkstring(L, 1);
    _log(LOG_CATEGORY, level, __FILE__, __LINE__, "%s", message);
    return 0;
}

int lua_log_warn(lua_State *L) { return log_at(L, LVL_WARN); }
int lua_log_info(lua_State *L) { return log_at(L, LVL_INFO); }
int lua_log_debug(lua_State *L) { return log_at(L, LVL_DEBUG); }
int lua_log_trace(lua_State *L) { return log_at(L, LVL_TRACE); }

const luaL_Reg log_funcs[] = {
    {"warn", lua_log_warn},
    {"info", lua_log_info},
    {"debug", lua_log_debug},
    {"trace", lua_log_trace},
    {nullptr, nullptr},
};

}  // namespace

int open_lualog(lua_State *L) {
    luaL_register(L, "log", log_funcs);
    return 1;
}
