// If/then rules in the test process, on a real Redis pair (a gateway's instances) and event base:
// events published on "<prefix>:event" run the matching rules' command lists.
#include "src/ifttt.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "src/device/context.h"
#include "tests/scripts/script_env.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

std::string cmd(const std::string &id, const std::string &name) {
    return R"({"target":"device","id":")" + id + R"(","name":")" + name + R"("})";
}

// "<device> <name> <sender_id>" of a published command.
std::string summary(const Subscriber::Message &m) {
    cJSON *root = cJSON_Parse(m.payload.c_str());
    const cJSON *name = cJSON_GetObjectItemCaseSensitive(root, "name");
    const cJSON *sender = cJSON_GetObjectItemCaseSensitive(root, "sender_id");
    char *s = sender ? cJSON_PrintUnformatted(sender) : nullptr;
    std::string device = m.channel.substr(strlen("device:"), m.channel.size() - strlen("device:") - strlen(":command"));
    std::string out = device + " " + (cJSON_IsString(name) ? name->valuestring : "?") + " " + (s ? s : "-");
    free(s);
    cJSON_Delete(root);
    return out;
}

class Rules : public ::testing::Test {
protected:
    // The contexts' own clean-up (with the test's environment) releases their rule sets.
    Rules() : env(true), sub(env.state(), {"p:device:*:command"}) {}

    device_ctx_t *device(const std::string &id, const std::string &class_name, const char *app_id = nullptr) {
        device_ctx_t *ctx = create_device_context(id.c_str(), class_name.c_str(), nullptr, "LAN");
        if (app_id) ctx->app_id = strdup(app_id);
        return ctx;
    }
    // Publishes the events, then waits until the engine has handled them: its answers to a marker
    // event (a rule of every test's set) come last.
    void events(const std::string &channel, const std::vector<std::string> &texts) {
        for (const auto &t : texts) env.state().command({"PUBLISH", channel, t});
        const size_t n = count_of("M");
        env.state().command({"PUBLISH", channel, "marker"});
        ASSERT_TRUE(env.pump_until([&] { return count_of("M") > n; }, 10s)) << env.log();
    }
    size_t count_of(const std::string &device) {
        size_t n = 0;
        for (const auto &m : sub.messages())
            if (m.channel == "device:" + device + ":command") n++;
        return n;
    }
    // Everything the rules sent, markers left out.
    std::vector<std::string> sent() {
        std::vector<std::string> out;
        for (const auto &m : sub.messages())
            if (m.channel.rfind("device:", 0) == 0 && m.channel != "device:M:command") out.push_back(summary(m));
        return out;
    }
    std::string rules(const std::string &items) {
        return "[" + items + R"(,{"enabled":true,"if":"marker","then":[)" + cmd("M", "m") + "]}]";
    }

    ScriptEnv env;
    Subscriber sub;
};

TEST_F(Rules, EnabledRulesWithTheExactTextRunInOrderWithTheSender) {
    env.state().set("device:42-3:ifttt",
                    rules(R"({"enabled":true,"if":"pressed","then":[)" + cmd("L1", "on") + "]}," +
                          R"({"enabled":1,"if":"pressed","then":[)" + cmd("L2", "on") + "," + cmd("L2", "dim") + "]}," +
                          R"({"enabled":null,"if":"pressed","then":[)" + cmd("X", "null") + "]}," +
                          R"({"if":"pressed","then":[)" + cmd("X", "missing") + "]}," +
                          R"({"enabled":false,"if":"pressed","then":[)" + cmd("X", "false") + "]}," +
                          R"({"enabled":"yes","then":[)" + cmd("X", "no-if") + "]}," +
                          R"({"enabled":true,"if":"pressed"},)" +
                          R"({"enabled":true,"if":"held","then":[)" + cmd("L3", "held") + "]}"));
    device_ctx_t *ctx = device("42-3", "switch");
    ctx->ifttt_config_drv = ifttt_init(ctx, "device");
    ASSERT_NE(ctx->ifttt_config_drv, nullptr) << env.log();
    ASSERT_TRUE(env.wait_subscribed({"device:42-3:event"}));

    events("device:42-3:event", {"pressed ", "Pressed", "pressed"});
    EXPECT_EQ(sent(), (std::vector<std::string>{"L1 on \"42-3\"", "L2 on \"42-3\"", "L2 dim \"42-3\""}));
    for (const char *line : {"enabled is missing in item 2", "enabled is missing in item 3",
                             "Enabled is FALSE in item 4", "If is missing in item 5", "Then is missing in item 6"})
        EXPECT_TRUE(env.log_has(line)) << line;
}

// An empty, unparsable or deleted value keeps the rules in force; a new value replaces them.
TEST_F(Rules, OnlyAValidValueReplacesTheRules) {
    env.state().set("device:42-3:ifttt", rules(R"({"enabled":true,"if":"pressed","then":[)" + cmd("L1", "on") + "]}"));
    device_ctx_t *ctx = device("42-3", "switch");
    ctx->ifttt_config_drv = ifttt_init(ctx, "device");
    ASSERT_TRUE(env.wait_subscribed({"device:42-3:event", "__keyspace@0__:device:42-3:ifttt"}));
    for (const std::vector<std::string> &change :
         std::vector<std::vector<std::string>>{{"SET", "device:42-3:ifttt", ""},
                                               {"SET", "device:42-3:ifttt", "[{"},
                                               {"SET", "device:42-3:ifttt", R"({"enabled":true})"},
                                               {"DEL", "device:42-3:ifttt"}}) {
        env.state().command(change);
        env.pump(200ms);
        events("device:42-3:event", {"pressed"});
    }
    EXPECT_EQ(sent(), std::vector<std::string>(4, "L1 on \"42-3\""));
    EXPECT_EQ(env.log_count("Error in parsing IFTTT configuration"), 2u);
    EXPECT_TRUE(env.log_has("ifttt_config_callback - no IFTTT configuration"));

    env.state().set("device:42-3:ifttt", rules(R"({"enabled":true,"if":"pressed","then":[)" + cmd("L9", "on") + "]}"));
    env.pump(200ms);
    events("device:42-3:event", {"pressed"});
    EXPECT_EQ(sent().back(), "L9 on \"42-3\"");
}

// Two devices of one class with one app id share the app's event subscription: one run per
// message, with the class as sender; it ends with the last of them. A repeated set-up replaces the
// set it held.
TEST_F(Rules, RuleSetsOfOnePrefixShareTheSubscription) {
    env.state().set("app:light:7:ifttt", rules(R"({"enabled":true,"if":"dusk","then":[)" + cmd("L1", "on") + "]}"));
    device_ctx_t *a = device("42-3", "light", "7");
    device_ctx_t *b = device("42-4", "light", "7");
    a->ifttt_config_app = ifttt_init(a, "app");
    b->ifttt_config_app = ifttt_init(b, "app");
    ASSERT_NE(a->ifttt_config_app, nullptr);
    ASSERT_NE(b->ifttt_config_app, nullptr);
    b->ifttt_config_app = ifttt_init(b, "app");
    ASSERT_TRUE(env.wait_subscribed({"app:light:7:event"}));
    EXPECT_EQ(numsub(env.state(), "app:light:7:event"), 1);

    events("app:light:7:event", {"dusk"});
    EXPECT_EQ(sent(), std::vector<std::string>{"L1 on \"light\""});

    ifttt_cleanup(a->ifttt_config_app);
    a->ifttt_config_app = nullptr;
    env.pump(300ms);
    EXPECT_EQ(numsub(env.state(), "app:light:7:event"), 1);
    events("app:light:7:event", {"dusk"});
    EXPECT_EQ(sent().size(), 2u);

    ifttt_cleanup(b->ifttt_config_app);
    b->ifttt_config_app = nullptr;
    ASSERT_TRUE(env.pump_until([&] { return numsub(env.state(), "app:light:7:event") == 0; }, 5s));

    device_ctx_t *c = device("42-5", "light");
    EXPECT_EQ(ifttt_init(c, "app"), nullptr);
    EXPECT_TRUE(env.log_has("No app id assigned, returning"));
}

}  // namespace
