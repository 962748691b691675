// SIGTERM and SIGINT stop a gateway whose scripts never return: the loop returns, the whole
// tear-down runs and the pid file goes. Serial: the pid file is the machine's one.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

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

class StopWhileAScriptLoops : public ::testing::TestWithParam<StopCase> {
protected:
    void SetUp() override {
        if (access("/var/run", W_OK) != 0) GTEST_SKIP() << "/var/run is not writable";
        unlink(kPidFile);
    }
    void TearDown() override { unlink(kPidFile); }
};

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

}  // namespace
