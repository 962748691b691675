// The application server's replies reach the engine through the HTTP client's bounds: a gateway,
// the daemon as a black box, whose start-up restore meets a server that never stops sending.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/appserver_peer.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

TEST(AppServerReplies, AnEndlessRestoreReplyFailsTheRestoreAndTheEngineStaysSmall) {
    EngineConfig config;
    config.daemon_limits.memory_mb = 512;
    EngineEnv env(config);
    // Two seconds of quiet before the flood, for the engine's idle figure.
    std::string rule = endless_reply("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n",
                                     "{\"k\":\"" + std::string(64 * 1024, 'v') + "\",");
    rule.insert(1, "\"delay\": 2, ");
    env.appserver().set_rules("{\"GET " + seed_restore_path() + "\": " + rule + "}");

    ASSERT_TRUE(env.start());
    ASSERT_TRUE(env.appserver().wait_requests(1, 60s)) << env.log();
    const long idle = process_memory_kib(env.pid(), "VmRSS");
    ASSERT_GT(idle, 0);

    ASSERT_TRUE(env.wait_log("http_restore_callback ERROR generic/other 500:empty body", 60s)) << env.log();
    const long peak = process_memory_kib(env.pid(), "VmHWM");
    EXPECT_LT(peak - idle, 64 * 1024) << "idle " << idle << " KiB, peak " << peak << " KiB";
    EXPECT_TRUE(env.log().find("given up: body over 16777216 bytes (uri https://localhost:") != std::string::npos);
    EXPECT_TRUE(wait_until([&] { return env.state().get("restore:state") == "RESTORE_ERROR_GENERAL"; }, 10s));
    EXPECT_EQ(env.stop(), 0) << env.log();
}

}  // namespace
