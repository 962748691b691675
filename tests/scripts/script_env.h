#ifndef BRX_TESTS_SCRIPTS_SCRIPT_ENV_H
#define BRX_TESTS_SCRIPTS_SCRIPT_ENV_H

// An engine-side script environment in the test process: a real Redis pair, the two data-layer
// instances handed to the db module, the contexts and the drivers, one event base, a log file.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "src/db.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

struct event_base;
struct lua_State;
typedef struct lua_State lua_State;

namespace brx_test {

class ScriptEnv {
public:
    // gateway: local instances. Otherwise remote ones, whose asynchronous side reaches the pair over
    // TCP; with refused_master their master is the broadcast address, which the kernel refuses to
    // connect to at once (no packet is sent).
    explicit ScriptEnv(bool gateway, bool refused_master = false);
    ~ScriptEnv();
    ScriptEnv(const ScriptEnv &) = delete;
    ScriptEnv &operator=(const ScriptEnv &) = delete;

    RedisServer &state() { return redis_->state; }
    RedisServer &conf() { return redis_->conf; }
    const TempDir &dir() const { return dir_; }

    // Runs the loop without blocking until pred holds or the timeout passes.
    bool pump_until(const std::function<bool()> &pred,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    void pump(std::chrono::milliseconds d);
    // Until the state Redis counts a subscriber on each channel and at least min_patterns patterns.
    bool wait_subscribed(const std::vector<std::string> &channels, int min_patterns = 0);
    // Until the conf Redis watches each key (keyspace channel).
    bool wait_watched(const std::vector<std::string> &keys);

    std::string log() const;
    bool log_has(const std::string &text) const { return log().find(text) != std::string::npos; }
    // Lines of the log that contain text.
    size_t log_count(const std::string &text) const;

    redis_instance_t *ri_conf = nullptr;
    redis_instance_t *ri_state = nullptr;
    struct event_base *base = nullptr;

private:
    TempDir dir_;
    std::unique_ptr<RedisPair> redis_;
};

/*
 * The daemon's -l mode as a black box: a Redis pair and a configuration for a gateway (the CA of
 * test_certs(), the DEBUG log on standard output).
 */
class LoadFileEnv {
public:
    LoadFileEnv();
    /* The command line that runs file with -l. */
    std::vector<std::string> argv(const std::string &file) const;

    TempDir dir;
    std::unique_ptr<RedisPair> redis;
    std::string conf_path;
};

/* A new script state with every module, as the engine opens them. */
lua_State *open_script_state();

std::string fixture(const std::string &name);
std::string fixture_path(const std::string &name);

// A script state with every module, as the engine builds one; close it with close_lua_state.
lua_State *new_script_state();

// Runs code in L as a call into the state; "" or the error text.
std::string run_lua(lua_State *L, const std::string &code);
// tostring() of a global ("nil" for nil).
std::string lua_global(lua_State *L, const char *name);
// The strings at 1..n of a global table, byte for byte (empty when it is not a table).
std::vector<std::string> lua_strings(lua_State *L, const char *name);

// The first value of "return <expr>" in L: its type name and, for a string or a number, its bytes
// (NULs kept); type "error" with the message when the call fails.
struct LuaValue {
    std::string type;
    std::string text;
};
LuaValue lua_eval(lua_State *L, const std::string &expr);

}  // namespace brx_test

#endif
