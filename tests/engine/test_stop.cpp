// SIGTERM and SIGINT stop a gateway whose scripts never return: the loop returns, the whole
// tear-down runs with every role's cleanup and the pid file goes. Serial: the pid file is the machine's one.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/engine/engine_scripts.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const char kPidFile[] = "/var/run/Brixmoor.pid";
const char kGatewayMac[] = "0200C0000201";

// Each script announces where it is about to loop in "test:looping", then never returns.
const char kLoop[] = "db.set('test:looping', '%s') while true do end";

std::string loop_at(const std::string &where) {
    std::string s = kLoop;
    return s.replace(s.find("%s"), 2, where);
}

struct StopCase {
    const char *name;
    int sig;
    std::string driver;        // "driver:gateway:code"
    std::string lualib;        // "brx:lualib:global", empty for none
    std::string command;       // published on the device's command channel, empty for none
    std::string reload;        // a new driver code set once the first one is loaded, empty for none
    const char *where;         // the value of "test:looping" once it loops
};

void PrintTo(const StopCase &c, std::ostream *os) { *os << c.name; }

std::string driver_with(const std::string &hook, const std::string &body) {
    return "local d = {}\n"
           "function d.init(id) db.set('test:ready', id) end\n"
           "function d." + hook + "(a) " + body + " end\n"
           "return d\n";
}

const std::string kQuietDriver = "local d = {}\nfunction d.init(id) db.set('test:ready', id) end\nreturn d\n";

// The pid file is the machine's one: each test starts and ends without it.
class PidFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/var/run", W_OK) != 0) GTEST_SKIP() << "/var/run is not writable";
        unlink(kPidFile);
    }
    void TearDown() override { unlink(kPidFile); }
};

class StopWhileAScriptLoops : public PidFileTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopWhileAScriptLoops, EndsWithTheTearDown) {
    const StopCase &c = GetParam();
    EngineEnv env;
    env.state().set("LAN:networkid", "N1");
    env.state().set(std::string("device:LAN:") + kGatewayMac, "N1-1");
    env.conf().set("driver:gateway:code", c.driver);
    if (!c.lualib.empty()) env.conf().set("brx:lualib:global", c.lualib);
    ASSERT_TRUE(env.start());
    if (!c.command.empty() || !c.reload.empty()) {
        ASSERT_TRUE(wait_until([&] { return env.state().get("test:ready") == "N1-1"; }, 30s)) << env.log();
        ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "device:N1-1:command") == 1; }, 30s));
    }
    if (!c.command.empty()) env.state().command({"PUBLISH", "device:N1-1:command", c.command});
    if (!c.reload.empty()) env.conf().set("driver:gateway:code", c.reload);
    ASSERT_TRUE(wait_until([&] { return env.state().get("test:looping") == c.where; }, 30s)) << env.log();
    EXPECT_TRUE(file_exists(kPidFile));

    EXPECT_EQ(env.stop(c.sig), 0) << env.log();  // waits at most 10 s
    EXPECT_FALSE(file_exists(kPidFile));
    EXPECT_NE(env.log().find("interrupted: the engine is stopping"), std::string::npos) << env.log();
}

INSTANTIATE_TEST_SUITE_P(
    Where, StopWhileAScriptLoops,
    ::testing::Values(
        StopCase{"loading", SIGTERM, loop_at("load") + "\nreturn {}\n", "", "", "", "load"},
        StopCase{"init", SIGTERM, "local d = {}\nfunction d.init(id) " + loop_at("init") + " end\nreturn d\n", "", "",
                 "", "init"},
        StopCase{"command", SIGTERM, driver_with("command", loop_at("command")), "", "{\"name\":\"on\"}", "",
                 "command"},
        StopCase{"command_sigint", SIGINT, driver_with("command", loop_at("command")), "", "{\"name\":\"on\"}", "",
                 "command"},
        // The script catches the error: it meets it again at its next instruction.
        StopCase{"command_catching", SIGTERM,
                 driver_with("command", "db.set('test:looping', 'catching') "
                                        "while true do pcall(function() while true do end end) end"),
                 "", "{\"name\":\"on\"}", "", "catching"},
        // The reload cleans the old driver up first; its cleanup also runs at the tear-down.
        StopCase{"cleanup", SIGTERM, driver_with("cleanup", loop_at("cleanup")), "", "", kQuietDriver, "cleanup"},
        // Every state runs the shared chunk as it is made: each would loop in turn.
        StopCase{"shared_chunk", SIGTERM, kQuietDriver, loop_at("lualib"), "", "", "lualib"}),
    [](const ::testing::TestParamInfo<StopCase> &i) { return std::string(i.param.name); });

// Every role's cleanup marks "test:cleaned:<role>" first; a tail runs after the mark where the case has one.
struct CleanupCase {
    const char *name;
    int sig;
    std::string command;             // the driver's command body, empty for no command
    std::string driver_tail;         // after the driver's mark
    std::string others_tail;         // after the mark of the app and of the "LAN" and "zigbee" default drivers
    int looping_domains;             // further domains whose cleanup loops after its mark
    bool second_signal;              // the signal again once a cleanup of the tear-down loops
    std::vector<std::string> marked; // the roles whose mark the stop leaves; empty: every role
};

void PrintTo(const CleanupCase &c, std::ostream *os) { *os << c.name; }

const char kCleanupInterrupted[] = "cleanup: failed with error #1: interrupted: the engine is stopping";

std::string cleanup_marking(const std::string &role, const std::string &tail) {
    return "function d.cleanup() db.set('test:cleaned:" + role + "', 'yes') " + tail + " end\n";
}

std::string default_driver(const std::string &domain, const std::string &tail) {
    return "local d = {}\n"
           "function d.init(mac, ip) db.set('test:init:" + domain + "', mac) end\n"
           "function d.get_version() return '1.0.0' end\n" +
           cleanup_marking(domain, tail) + "return d\n";
}

class StopRunsTheCleanups : public PidFileTest, public ::testing::WithParamInterface<CleanupCase> {};

TEST_P(StopRunsTheCleanups, OfEveryRoleBeforeTheEngineExits) {
    const CleanupCase &c = GetParam();
    EngineEnv env;
    RedisServer &state = env.state();
    state.set("LAN:networkid", "N1");
    state.set(std::string("device:LAN:") + kGatewayMac, "N1-1");
    state.set("device:N1-1:app", "A7");
    env.conf().set("driver:gateway:code", "local d = {}\n"
                                          "function d.init(id) db.set('test:init:driver', id) end\n"
                                          "function d.command(c) " + c.command + " end\n" +
                                              cleanup_marking("driver", c.driver_tail) + "return d\n");
    env.conf().set("app:gateway:A7:code", "local d = {}\n"
                                          "function d.init(id, app) db.set('test:init:app', app) end\n" +
                                              cleanup_marking("app", c.others_tail) + "return d\n");
    env.write_lan_driver(default_driver("LAN", c.others_tail));
    env.conf().set("domain:zigbee:code", default_driver("zigbee", c.others_tail));
    std::vector<std::string> roles = {"driver", "app", "LAN", "zigbee"};
    for (int i = 0; i < c.looping_domains; i++) {
        roles.push_back("loop" + std::to_string(i));
        env.conf().set("domain:" + roles.back() + ":code", default_driver(roles.back(), loop_at("cleanup")));
    }
    ASSERT_TRUE(env.start());
    for (const std::string &role : roles)
        ASSERT_TRUE(wait_until([&] { return state.get("test:init:" + role).has_value(); }, 30s)) << role << env.log();
    if (!c.command.empty()) {
        ASSERT_TRUE(wait_until([&] { return numsub(state, "device:N1-1:command") == 1; }, 30s));
        state.command({"PUBLISH", "device:N1-1:command", "{\"name\":\"on\"}"});
        ASSERT_TRUE(wait_until([&] { return state.get("test:looping") == "command"; }, 30s)) << env.log();
    }
    for (const std::string &role : roles) ASSERT_FALSE(state.get("test:cleaned:" + role).has_value()) << role;

    if (c.second_signal) {
        ASSERT_EQ(kill(env.pid(), c.sig), 0);
        ASSERT_TRUE(wait_until([&] { return state.get("test:looping") == "cleanup"; }, 30s)) << env.log();
    }
    EXPECT_EQ(env.stop(c.sig), 0) << env.log();  // waits at most 10 s
    EXPECT_FALSE(file_exists(kPidFile));

    for (const std::string &role : c.marked.empty() ? roles : c.marked)
        EXPECT_TRUE(state.get("test:cleaned:" + role).has_value()) << role << "\n" << env.log();
    // Each looping cleanup was ended, or refused once the stop's time was up: none was left out.
    const size_t looping = c.looping_domains + (c.driver_tail.empty() ? 0 : 1) + (c.others_tail.empty() ? 0 : 3);
    EXPECT_EQ(env.count_log(kCleanupInterrupted), looping) << env.log();
    if (!c.command.empty()) {
        EXPECT_EQ(env.count_log("lua pcall: failed with error interrupted: the engine is stopping"), 1u) << env.log();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cleanups, StopRunsTheCleanups,
    ::testing::Values(CleanupCase{"idle", SIGTERM, "", "", "", 0, false, {}},
                      CleanupCase{"idle_sigint", SIGINT, "", "", "", 0, false, {}},
                      // The interrupted command has ended: its state's cleanup runs like any other.
                      CleanupCase{"looping_command", SIGTERM, loop_at("command"), "", "", 0, false, {}},
                      // A cleanup that never returns has its time, and the tear-down goes on.
                      CleanupCase{"looping_driver_cleanup", SIGTERM, "", loop_at("cleanup"), "", 0, false, {}},
                      CleanupCase{"second_signal", SIGTERM, "", loop_at("cleanup"), "", 0, true, {}},
                      // Too many for each to have its time: the first ones have it, the later are refused.
                      CleanupCase{"every_cleanup_loops", SIGTERM, "", loop_at("cleanup"), loop_at("cleanup"), 6,
                                  false, {"app", "driver"}}),
    [](const ::testing::TestParamInfo<CleanupCase> &i) { return std::string(i.param.name); });

}  // namespace
