#include "tests/scripts/script_env.h"

#include <arpa/inet.h>
#include <event2/event.h>
#include <unistd.h>

#include <lua.hpp>
#include <string_view>
#include <thread>

#include "common/logger/logger.h"
#include "src/device/commands.h"
#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/helpers.h"
#include "src/http_client.h"
#include "src/ifttt.h"
#include "src/lua_api/lua_http_api.h"
#include "src/lua_api/lua_network_api.h"
#include "src/lua_api/lua_state.h"
#include "src/lua_api/lua_tcp_api.h"
#include "src/lua_api/lua_timer_api.h"
#include "src/lua_api/lua_ws_api.h"
#include "src/lua_api/luadb.h"
#include "src/scheduler.h"
#include "tests/support/appserver_peer.h"

namespace brx_test {

ScriptEnv::ScriptEnv(bool gateway, bool refused_master) {
    const int port = gateway ? 0 : free_tcp_port();
    redis_ = std::make_unique<RedisPair>(dir_.file("redis"), port);

    logger_set_parameter("file.name", dir_.file("engine.log").c_str());
    logger_set_parameter("file", "true");
    logger_set_parameter("level", "TRACE");
    logger_commit_parameters();

    base = event_base_new();
    helpers_set_event_base(base);
    timer_set_event_base(base);
    luatcp_set_event_base(base);
    luahttp_set_event_base(base);
    http_set_event_base(base);
    commands_set_event_base(base);
    scheduler_init(base);
    ri_conf = db_create_redis_instance("conf");
    ri_state = db_create_redis_instance("state");
    for (redis_instance_t *ri : {ri_conf, ri_state}) {
        db_set_is_local(ri, gateway);
        db_set_event_base(ri, base);
    }
    db_set_unix_path(ri_state, redis_->state.unix_path().c_str());
    db_set_unix_path(ri_conf, redis_->conf.unix_path().c_str());
    db_set_redis_port(ri_state, port);
    db_set_redis_port(ri_conf, port + 1);
    if (refused_master) {
        db_set_master(ri_state, inet_addr("255.255.255.255"), port);
        db_set_master(ri_conf, inet_addr("255.255.255.255"), port + 1);
    }
    luadb_setup_redis_instance(ri_conf, ri_state);
    commands_setup_redis_instance(ri_conf, ri_state);
    ifttt_setup_redis_instance(ri_conf, ri_state);
    luanetwork_set_event_base(base);
    luaws_set_event_base(base);
    context_setup_redis_instance(ri_conf, ri_state);
    driver_setup_redis_instance(ri_conf, ri_state);
    init_device_context_map();
    init_domain_context_map();
}

ScriptEnv::~ScriptEnv() {
    commands_cleanup();
    destroy_device_context_map();
    destroy_domain_context_map();
    luahttp_destroy();
    // Deferred closes run from the loop.
    pump(std::chrono::milliseconds(20));
}

bool ScriptEnv::pump_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        event_base_loop(base, EVLOOP_NONBLOCK);
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ScriptEnv::pump(std::chrono::milliseconds d) {
    pump_until([] { return false; }, d);
}

bool ScriptEnv::wait_subscribed(const std::vector<std::string> &channels, int min_patterns) {
    return pump_until([&] {
        std::vector<std::string> args = {"PUBSUB", "NUMSUB"};
        args.insert(args.end(), channels.begin(), channels.end());
        Reply r = state().command(args);
        for (size_t i = 1; i < r.elements.size(); i += 2)
            if (r.elements[i].integer < 1) return false;
        return min_patterns == 0 || state().command({"PUBSUB", "NUMPAT"}).integer >= min_patterns;
    });
}

bool ScriptEnv::wait_watched(const std::vector<std::string> &keys) {
    return pump_until([&] {
        std::vector<std::string> args = {"PUBSUB", "NUMSUB"};
        for (const auto &k : keys) args.push_back("__keyspace@0__:" + k);
        Reply r = conf().command(args);
        for (size_t i = 1; i < r.elements.size(); i += 2)
            if (r.elements[i].integer < 1) return false;
        return true;
    });
}

std::string ScriptEnv::log() const {
    return file_exists(dir_.file("engine.log")) ? read_file(dir_.file("engine.log")) : std::string();
}

size_t ScriptEnv::log_count(const std::string &text) const {
    const std::string all = log();
    size_t n = 0;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        if (std::string_view(all).substr(start, end - start).find(text) != std::string_view::npos) n++;
        start = end + 1;
    }
    return n;
}

LoadFileEnv::LoadFileEnv() {
    redis = std::make_unique<RedisPair>(dir.file("redis"));
    conf_path = dir.file("brx.conf");
    write_file(conf_path, "device.type=gateway\n"
                          "device.redis.socket_path=" + dir.file("redis") + "\n"
                          "device.local_db.file=" + dir.file("local_db.json") + "\n"
                          "ca_cert_path=" + test_certs().ca + "\n"
                          "logger.stdout=true\nlogger.level=DEBUG\n");
}

std::vector<std::string> LoadFileEnv::argv(const std::string &file) const {
    return {build_path("src/Brixmoor"), "-l", file, conf_path};
}

lua_State *open_script_state() {
    lua_State *L = lua_state_new();
    open_lualibs(L);
    return L;
}

std::string fixture_path(const std::string &name) { return source_path("tests/scripts/fixtures/" + name); }
std::string fixture(const std::string &name) { return read_file(fixture_path(name)); }

lua_State *new_script_state() {
    lua_State *L = lua_state_new();
    open_lualibs(L);
    return L;
}

std::string run_lua(lua_State *L, const std::string &code) {
    if (luaL_loadbuffer(L, code.data(), code.size(), "test") != 0) {
        std::string err = lua_tostring(L, -1);
        lua_pop(L, 1);
        return err;
    }
    char err[1024];
    return lua_state_pcall(L, 0, 0, err, sizeof(err)) == 0 ? std::string() : std::string(err);
}

LuaValue lua_eval(lua_State *L, const std::string &expr) {
    const std::string code = "return " + expr;
    char err[1024];
    if (luaL_loadbuffer(L, code.data(), code.size(), "eval") != 0) {
        LuaValue v{"error", lua_tostring(L, -1)};
        lua_pop(L, 1);
        return v;
    }
    if (lua_state_pcall(L, 0, 1, err, sizeof(err)) != 0) return {"error", err};
    LuaValue v{luaL_typename(L, -1), ""};
    if (lua_type(L, -1) == LUA_TSTRING || lua_type(L, -1) == LUA_TNUMBER) {
        size_t len = 0;
        const char *s = lua_tolstring(L, -1, &len);
        v.text.assign(s, len);
    }
    lua_pop(L, 1);
    return v;
}

std::string lua_global(lua_State *L, const char *name) {
    lua_getglobal(L, "tostring");
    lua_getglobal(L, name);
    lua_call(L, 1, 1);
    std::string v = lua_tostring(L, -1);
    lua_pop(L, 1);
    return v;
}

std::vector<std::string> lua_strings(lua_State *L, const char *name) {
    std::vector<std::string> out;
    lua_getglobal(L, name);
    for (int i = 1; lua_istable(L, -1) && i <= (int)lua_objlen(L, -1); i++) {
        lua_rawgeti(L, -1, i);
        size_t len = 0;
        const char *s = lua_tolstring(L, -1, &len);
        out.emplace_back(s ? std::string(s, len) : std::string());
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
    return out;
}

}  // namespace brx_test
