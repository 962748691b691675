// The daemon's -l mode as a black box: one script file in a state with every module.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>

#include "tests/scripts/script_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

class LoadFile : public ::testing::Test, public LoadFileEnv {};

struct FailCase {
    const char *name;
    const char *file;  // a fixture, or a path that does not exist
    const char *log;
};

void PrintTo(const FailCase &c, std::ostream *os) { *os << c.name; }

class LoadFileFails : public LoadFile, public ::testing::WithParamInterface<FailCase> {};

TEST_P(LoadFileFails, ExitsOneWithoutRunningTheLoop) {
    const FailCase &c = GetParam();
    std::string path = file_exists(fixture_path(c.file)) ? fixture_path(c.file) : dir.file(c.file);
    ProcResult r = run_process(argv(path), 20s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("loadfile: " + path), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.log), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadFileFails,
    ::testing::Values(FailCase{"syntax_error", "l_syntax_error.lua", "Doing script failed with error #1"},
                      FailCase{"runtime_error", "l_runtime_error.lua", "stop here"},
                      FailCase{"missing_file", "no_such_file.lua", "cannot open"}),
    [](const ::testing::TestParamInfo<FailCase> &i) { return std::string(i.param.name); });

TEST_F(LoadFile, TheLoopDeliversCallbacksUntilTheScriptExits) {
    Process p(argv(fixture_path("l_exit_from_callback.lua")));
    ASSERT_TRUE(wait_until(
        [&] {
            return redis->state.get("lmode:ready").has_value() &&
                   redis->state.command({"PUBSUB", "NUMSUB", "lmode:go"}).elements[1].integer == 1;
        },
        10s))
        << p.out();
    EXPECT_EQ(redis->state.get("lmode:ready"), "{\"ready\":true}");
    redis->state.command({"PUBLISH", "lmode:go", "3"});
    EXPECT_EQ(p.wait(10s), 3) << p.out();
}

TEST_F(LoadFile, AScriptThatReturnsLeavesTheLoopRunning) {
    Process p(argv(fixture_path("l_returns.lua")));
    ASSERT_TRUE(wait_until([&] { return redis->state.get("lmode:returned").has_value(); }, 10s)) << p.out();
    EXPECT_TRUE(p.running());
    EXPECT_EQ(p.stop(SIGTERM), 0) << p.out();
}

}  // namespace
