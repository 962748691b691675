#include "src/lua_api/lua_device_api.h"

#include <lua.hpp>

#include "common/logger/logger.h"
#include "src/device/commands.h"
#include "src/device/context.h"
#include "src/device/engine.h"
#include "src/device/registration.h"
#include "src/helpers.h"

#define LOG_CATEGORY "lua-device"

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

// device.command(command): a gateway action (notification, history request).
int lua_device_command(lua_State *L) {
    const char *command = luaL_checkstring(L, 1);
    execute_gateway_command(nullptr, command, nullptr);
    return 0;
}

// device.configure_subdevice(device_id, app_id or nil, class, driver, domain): finds or makes the
// context, then subscribes its command channel and loads its driver and app.
int lua_device_configure_subdevice(lua_State *L) {
    // Every argument is read before the engine is entered: a Lua error must not interrupt it.
    const char *device_id = luaL_checkstring(L, 1);
    const char *app_id = lua_isnil(L, 2) ? nullptr : luaL_checkstring(L, 2);
    const char *class_name = luaL_checkstring(L, 3);
    const char *driver = luaL_checkstring(L, 4);
    const char *domain = luaL_checkstring(L, 5);
    // Every key of the device is built from its id.
    if (!id_usable("device id", device_id)) return 0;
    device_ctx_t *ctx = update_device_context(device_id, app_id, class_name, driver, domain);
    if (!ctx) {
        LOGW("Cannot create device context");
        return 0;
    }
    setup_subdevice(ctx);
    return 0;
}

const luaL_Reg device_funcs[] = {
    {"add", lua_device_add},
    {"delete", lua_device_delete},
    {"command", lua_device_command},
    {"configure_subdevice", lua_device_configure_subdevice},
    {nullptr, nullptr},
};

}  // namespace

int open_luadevice(lua_State *L) {
    luaL_register(L, "device", device_funcs);
    return 1;
}
