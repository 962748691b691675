#include "src/lua_api/lua_device_api.h"

#include <lua.hpp>

#include "src/device/registration.h"

namespace {

// device.add(request): registration of a new device; the outcome comes through Redis.
int lua_device_add(lua_State *L) {
    const char *request = luaL_checkstring(L, 1);
    device_register_cb(request);
    return 0;
}

// device.delete(request): deletion of the device the request names.
int lua_device_delete(lua_State *L) {
    const char *request = luaL_checkstring(L, 1);
    device_delete_cb(nullptr, request, nullptr);
    return 0;
}

const luaL_Reg device_funcs[] = {
    {"add", lua_device_add},
    {"delete", lua_device_delete},
    {nullptr, nullptr},
};

}  // namespace

int open_luadevice(lua_State *L) {
    luaL_register(L, "device", device_funcs);
    return 1;
}
