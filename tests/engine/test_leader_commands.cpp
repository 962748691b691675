// A leader gateway as a black box: a scene published on "scene:command" runs its stored list, and
// "gateway:command" answers history requests and sends notifications to the application server.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/engine/engine_scripts.h"
#include "tests/support/appserver_peer.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

class LeaderCommands : public ::testing::Test {
protected:
    void SetUp() override {
        env.state().set("LAN:networkid", "N1");
        env.state().set("device:LAN:0200C0000201", "N1-1");
        env.appserver().set_rules(R"({"POST /app/notification/send": {"body": "{\"status\":\"SUCCESS\"}"}})");
        ASSERT_TRUE(env.start());
        ASSERT_TRUE(env.wait_log(engine_test::leader_ready())) << env.log();
    }

    // The requests that reached the server's notification endpoint.
    std::vector<LoggedRequest> notifications() {
        std::vector<LoggedRequest> out;
        for (const auto &r : env.appserver().requests())
            if (r.target == "/app/notification/send") out.push_back(r);
        return out;
    }

    EngineEnv env;
};

TEST_F(LeaderCommands, ASceneRunsItsStoredListWithItsPause) {
    ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "scene:command") == 1; }, 30s));
    env.state().set("scene:evening:commands",
                    R"([{"target":"device","id":"N1-5","name":"on"},{"name":"delay","args":{"delay":1}},)"
                    R"({"target":"device","id":"N1-5","name":"off"}])");
    Subscriber lamp(env.state(), {"device:N1-5:command"});
    env.state().command({"PUBLISH", "scene:command", R"({"name":"activate","args":{"scene_id":"evening"}})"});

    ASSERT_TRUE(wait_until([&] { return lamp.count("device:N1-5:command") >= 2; }, 30s)) << env.log();
    auto msgs = lamp.messages();
    EXPECT_GE(std::chrono::duration<double>(msgs[1].at - msgs[0].at).count(), 0.9);
    EXPECT_NE(msgs[0].payload.find("\"name\":\t\"on\""), std::string::npos) << msgs[0].payload;
    EXPECT_NE(msgs[1].payload.find("\"name\":\t\"off\""), std::string::npos) << msgs[1].payload;
    for (const auto &m : msgs) EXPECT_NE(m.payload.find("\"sender_id\":\tnull"), std::string::npos) << m.payload;
}

// A pause still waiting when the engine stops ends with it: nothing of its list is left behind.
TEST_F(LeaderCommands, TheEngineStopsCleanlyWithAPausePending) {
    ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "scene:command") == 1; }, 30s));
    env.state().set("scene:night:commands", R"([{"target":"device","id":"N1-5","name":"on"},)"
                                            R"({"name":"delay","args":{"delay":600}},)"
                                            R"({"target":"device","id":"N1-5","name":"off"}])");
    Subscriber lamp(env.state(), {"device:N1-5:command"});
    env.state().command({"PUBLISH", "scene:command", R"({"name":"activate","args":{"scene_id":"night"}})"});
    ASSERT_TRUE(lamp.wait_for("device:N1-5:command", 30s)) << env.log();
    ASSERT_TRUE(env.wait_log("ctx offest 1, tv.sec 600")) << env.log();
    EXPECT_EQ(env.stop(), 0) << env.log();
}

// 200 activations of a 629 KB scene that pauses for 100,000 s: with its memory capped the engine
// keeps each waiting run's list once, as text, up to the bound on what waiting runs hold; the
// activations past it send what comes before the pause and end there.
TEST(LeaderSceneRuns, ManyWaitingActivationsOfALargeSceneStayBounded) {
    EngineConfig config;
    config.daemon_limits.memory_mb = 400;
    EngineEnv env(config);
    env.state().set("LAN:networkid", "N1");
    env.state().set("device:LAN:0200C0000201", "N1-1");
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(env.wait_log(engine_test::leader_ready())) << env.log();
    ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "scene:command") == 1; }, 30s));

    std::string scene = R"([{"target":"device","id":"N1-5","name":"on"},{"name":"delay","args":{"delay":100000}})";
    for (int i = 0; scene.size() < 629 * 1024; i++)
        scene += R"(,{"target":"device","id":"N1-6","name":"off","args":{"level":)" + std::to_string(i) + "}}";
    env.state().set("scene:big:commands", scene + "]");
    Subscriber lamp(env.state(), {"device:N1-5:command"});
    const int runs = 200;
    for (int i = 0; i < runs; i++)
        env.state().command({"PUBLISH", "scene:command", R"({"name":"activate","args":{"scene_id":"big"}})"});

    // An engine ended by its cap ends the wait too.
    wait_until([&] { return lamp.count("device:N1-5:command") >= (size_t)runs || !env.running(); }, 120s);
    ASSERT_TRUE(env.running()) << env.log().substr(0, 20000);
    ASSERT_EQ(lamp.count("device:N1-5:command"), (size_t)runs) << env.log().substr(0, 20000);
    const size_t kept = env.count_log("ctx offest 1, tv.sec 100000");
    EXPECT_GT(kept, 40u);
    EXPECT_LT(kept, 60u);
    EXPECT_EQ(kept + env.count_log("execute_commands: waiting runs hold"), (size_t)runs);
    EXPECT_EQ(env.stop(), 0) << env.log().substr(0, 20000);
}

TEST_F(LeaderCommands, GatewayCommandsSendNotificationsAndAnswerHistory) {
    ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "gateway:command") == 1; }, 30s));
    Subscriber history(env.state(), {"device:N1-5:history:temperature:none"});
    env.state().command({"PUBLISH", "gateway:command",
                         R"({"name":"email","args":{"token":"tk","subject":"Hi","message":"Door open"}})"});
    env.state().command({"PUBLISH", "gateway:command",
                         R"({"name":"gethistory","args":{"deviceid":"N1-5","requestid":"r1",)"
                         R"("datatype":"temperature","startdate":0}})"});

    ASSERT_TRUE(wait_until([&] { return notifications().size() == 1; }, 30s)) << env.log();
    auto req = notifications()[0];
    EXPECT_EQ(req.method, "POST");
    EXPECT_EQ(req.body, R"({"token":"tk","subject":"Hi","text":"Door open","html":false})");
    EXPECT_TRUE(env.wait_log(R"(send_notification_cb- server callback with body {"status":"SUCCESS"})")) << env.log();
    ASSERT_TRUE(history.wait_for("device:N1-5:history:temperature:none", 30s)) << env.log();
    EXPECT_EQ(payloads(history, "device:N1-5:history:temperature:none"),
              std::vector<std::string>{R"({"requestid":"r1"})"});
}

}  // namespace
