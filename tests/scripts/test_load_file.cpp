// The daemon's -l mode as a black box: one script file in a state with every module.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "tests/scripts/script_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/tcp_peer.h"
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

struct EndCase {
    const char *name;
    const char *file;
    const char *out;  // printed or logged on the way
};

void PrintTo(const EndCase &c, std::ostream *os) { *os << c.name; }

class LoadFileEnds : public LoadFile, public ::testing::WithParamInterface<EndCase> {};

TEST_P(LoadFileEnds, AScriptThatLeavesNothingPendingEndsTheProcessWithZero) {
    const EndCase &c = GetParam();
    ProcResult r = run_process(argv(fixture_path(c.file)), 20s);
    EXPECT_FALSE(r.timed_out) << r.out;
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadFileEnds,
    ::testing::Values(EndCase{"only_prints", "l_prints.lua", "printed from -l"},
                      EndCase{"writes_and_returns", "l_returns.lua", "SET lmode:returned yes"}),
    [](const ::testing::TestParamInfo<EndCase> &i) { return std::string(i.param.name); });

// The ignored-signal mask that a command started by a script prints after prefix.
unsigned long long ignored_mask(const std::string &out, const std::string &prefix) {
    size_t at = out.find(prefix + "SigIgn:");
    if (at == std::string::npos) return ~0ull;
    return strtoull(out.c_str() + at + prefix.size() + strlen("SigIgn:"), nullptr, 16);
}

TEST_F(LoadFile, CommandsAScriptStartsGetTheDefaultSigpipe) {
    ProcResult r = run_process(argv(fixture_path("l_sigpipe.lua")), 20s);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char *how : {"execute ", "popen "}) {
        unsigned long long mask = ignored_mask(r.out, how);
        ASSERT_NE(mask, ~0ull) << how << r.out;
        EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << how << r.out;
    }
}

TEST_F(LoadFile, AScriptWithAPendingSubscriptionKeepsTheLoopUntilSigterm) {
    Process p(argv(fixture_path("l_waits.lua")));
    ASSERT_TRUE(wait_until([&] { return redis->state.get("lmode:waiting").has_value(); }, 10s)) << p.out();
    EXPECT_TRUE(p.running());
    EXPECT_EQ(p.stop(SIGTERM), 0) << p.out();
}

TEST_F(LoadFile, TimersAndTcpRunOnTheLoop) {
    TcpPeer peer;
    redis->state.set("ltcp:port", std::to_string(peer.port()));
    Process p(argv(fixture_path("l_timer_tcp.lua")));
    ASSERT_TRUE(wait_until(
        [&] {
            peer.try_accept();
            peer.poll_closed();
            return peer.received() == "{\"hello\":1}";
        },
        10s))
        << p.out();
    ASSERT_TRUE(peer.send("{\"reply\":\"ok\"}"));
    EXPECT_EQ(p.wait(10s), 7) << p.out();
    EXPECT_EQ(redis->state.get("ltcp:got"), "{\"reply\":\"ok\"}");
}

// Without contexts the scheduler calls find nothing, and configure_subdevice makes the first one.
TEST_F(LoadFile, TheSchedulerFindsNoContextAndASubdeviceIsSetUp) {
    redis->conf.set("driver:lmode:code", "local d = {}\n"
                                         "function d.init(id) db.set('lmode:init', id) os.exit(6) end\n"
                                         "function d.command() end\n"
                                         "function d.cleanup() end\n"
                                         "return d\n");
    ProcResult r = run_process(argv(fixture_path("l_device.lua")), 20s);
    EXPECT_FALSE(r.timed_out) << r.out;
    EXPECT_EQ(r.status, 6) << r.out << r.err;
    EXPECT_EQ(redis->state.get("lmode:init"), "N1-9");
    EXPECT_NE(r.out.find("Cannot find ctx for id N1-9"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("got subdevice id: N1-9"), std::string::npos) << r.out;
}

}  // namespace
