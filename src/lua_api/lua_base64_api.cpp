#include "src/lua_api/lua_base64_api.h"

#include <lua.hpp>

#include "common/glib-mini/base64.h"
#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/lua_api/lua_state.h"

#define LOG_CATEGORY "lua"

namespace {

struct bytes {
    unsigned char *data;
    size_t len;
};

int push_text(lua_State *L, void *ud) {
    lua_pushstring(L, (const char *)ud);
    return 1;
}

int push_bytes(lua_State *L, void *ud) {
    bytes *b = (bytes *)ud;
    lua_pushlstring(L, (const char *)b->data, b->len);
    return 1;
}

void free_bytes(void *ud) { g_free(((bytes *)ud)->data); }

/* encode(len, data): Base64 of the first len bytes of data, or nil. */
int lua_base64_encode(lua_State *L) {
    lua_Number wanted = luaL_checknumber(L, 1);
    // Below 1 (negative, fractional, NaN) nothing is left to encode.
    if (!(wanted >= 1)) {
        LOGW("Data len is 0");
        lua_pushnil(L);
        return 1;
    }
    size_t have = 0;
    const char *data = luaL_checklstring(L, 2, &have);
    size_t len = have;
    if (wanted < (lua_Number)have) {
        len = (size_t)wanted;
    } else if (wanted > (lua_Number)have) {
        // Reading on past the string would encode whatever follows it in memory.
        LOGW("base64 encode len %.0f beyond the data (%zu bytes): encoding those", wanted, have);
    }
    char *text = g_base64_encode((const unsigned char *)data, len);
    if (!text) {
        LOGW("base64 encode failed");
        lua_pushnil(L);
        return 1;
    }
    LOGT("Base64 encode ok");
    lua_state_push_then_release(L, push_text, text, g_free);
    return 1;
}

/* decode(text): the bytes decoded up to the first character outside the alphabet, or nil. */
int lua_base64_decode(lua_State *L) {
    size_t len = 0;
    const char *text = luaL_checklstring(L, 1, &len);
    if (len == 0) {
        LOGW("No data given to decode");
        lua_pushnil(L);
        return 1;
    }
    bytes b = {nullptr, 0};
    b.data = g_base64_decode(text, &b.len);
    if (!b.data) {
        LOGW("base64 decode failed");
        lua_pushnil(L);
        return 1;
    }
    LOGT("Base64 decode ok");
    lua_state_push_then_release(L, push_bytes, &b, free_bytes);
    return 1;
}

const luaL_Reg base64_funcs[] = {
    {"encode", lua_base64_encode},
    {"decode", lua_base64_decode},
    {nullptr, nullptr},
};

}  // namespace

int open_luabase64(lua_State *L) {
    luaL_register(L, "base64", base64_funcs);
    return 1;
}
