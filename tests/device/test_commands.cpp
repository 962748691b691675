// Command lists, scene activation and the gateway actions in the test process, on a real Redis pair
// (a gateway's instances), a real event base, the bus stand-in for the server address and the
// application-server peer.
#include "src/device/commands.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/db/db_fixture.h"
#include "tests/scripts/script_env.h"
#include "tests/support/appserver_peer.h"
#include "tests/support/bus_standin.h"
#include "tests/support/redis_server.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const char kMarker[] = "test:marker";

std::string cmd(const std::string &id, const std::string &name) {
    return R"({"target":"device","id":")" + id + R"(","name":")" + name + R"("})";
}

std::string pause_of(int seconds) { return R"({"name":"delay","args":{"delay":)" + std::to_string(seconds) + "}}"; }

// The member of a published command, as JSON text ("" when absent).
std::string member(const std::string &json, const char *name) {
    cJSON *root = cJSON_Parse(json.c_str());
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(root, name);
    char *text = item ? cJSON_PrintUnformatted(item) : nullptr;
    std::string out = text ? text : "";
    free(text);
    cJSON_Delete(root);
    return out;
}

class Commands : public ::testing::Test {
protected:
    Commands() : env(true), all(env.state(), {"p:*"}) {}

    // Runs the list given as text; the caller's copy is gone when the call returns.
    void run(const std::string &list, int start = 0, const char *sender = nullptr) {
        cJSON *commands = cJSON_Parse(list.c_str());
        ASSERT_NE(commands, nullptr) << list;
        execute_commands(commands, start, sender);
        cJSON_Delete(commands);
    }
    // Everything the engine published before this call has reached the subscriber when it returns.
    void flush() {
        const size_t n = all.count(kMarker) + 1;
        db_publish(env.ri_state, kMarker, "m");
        ASSERT_TRUE(env.pump_until([&] { return all.count(kMarker) >= n; }, 20s));
    }
    // What the engine published, in order: no markers, no keyspace events.
    std::vector<Subscriber::Message> engine_messages() {
        std::vector<Subscriber::Message> out;
        for (const auto &m : all.messages())
            if (m.channel != kMarker && m.channel.rfind("__keyspace@", 0) != 0) out.push_back(m);
        return out;
    }
    // "<channel> <payload>" of each of them.
    std::vector<std::string> published() {
        std::vector<std::string> out;
        for (const auto &m : engine_messages()) out.push_back(m.channel + " " + m.payload);
        return out;
    }
    std::vector<Subscriber::Message> on(const std::string &channel) {
        std::vector<Subscriber::Message> out;
        for (const auto &m : all.messages())
            if (m.channel == channel) out.push_back(m);
        return out;
    }
    bool wait_count(const std::string &channel, size_t n, std::chrono::milliseconds t = 30s) {
        return env.pump_until([&] { return on(channel).size() >= n; }, t);
    }

    ScriptEnv env;
    Subscriber all;
};

double seconds_between(const Subscriber::Message &a, const Subscriber::Message &b) {
    return std::chrono::duration<double>(b.at - a.at).count();
}

// ---- command lists ----

TEST_F(Commands, APauseHoldsTheRestOfTheListAndTheFirstCommandGoesAtOnce) {
    run("[" + cmd("42-3", "on") + "," + pause_of(5) + "," + cmd("42-4", "off") + "]");
    ASSERT_TRUE(wait_count("device:42-3:command", 1, 3s)) << env.log();
    EXPECT_EQ(member(on("device:42-3:command")[0].payload, "sender_id"), "null");
    EXPECT_TRUE(env.log_has("ctx offest 1, tv.sec 5")) << env.log();

    ASSERT_TRUE(wait_count("device:42-4:command", 1, 30s)) << env.log();
    const auto first = on("device:42-3:command")[0], second = on("device:42-4:command")[0];
    EXPECT_GE(seconds_between(first, second), 4.5);
    EXPECT_EQ(member(second.payload, "name"), R"("off")");
    EXPECT_EQ(member(second.payload, "sender_id"), "null");
    flush();
    EXPECT_EQ(published().size(), 2u);
}

// Two runs of one scene a second apart wait each on its own timer; deleting the scene meanwhile
// stops neither; a run with a sender keeps it across chained pauses.
TEST_F(Commands, PausesOfSeparateRunsAreIndependentAndChain) {
    const std::string scene = "[" + cmd("L", "on") + "," + pause_of(2) + "," + cmd("L", "off") + "," + pause_of(2) +
                              "," + cmd("L", "done") + "]";
    env.state().set("scene:evening:commands", scene);
    const char activate[] = R"({"name":"activate","args":{"scene_id":"evening"}})";

    subscribe_scene_command_callback("scene:command", activate, nullptr);
    ASSERT_TRUE(wait_count("device:L:command", 1, 5s)) << env.log();
    env.pump(1000ms);
    subscribe_scene_command_callback("scene:command", activate, nullptr);
    ASSERT_TRUE(wait_count("device:L:command", 2, 5s)) << env.log();
    env.state().command({"DEL", "scene:evening:commands"});
    run("[" + cmd("M", "a") + "," + pause_of(1) + "," + cmd("M", "b") + "," + pause_of(1) + "," + cmd("M", "c") + "]", 0,
        "42-7");

    ASSERT_TRUE(wait_count("device:L:command", 6, 30s)) << env.log();
    ASSERT_TRUE(wait_count("device:M:command", 3, 30s)) << env.log();
    auto l = on("device:L:command");
    std::vector<std::string> names;
    for (const auto &m : l) names.push_back(member(m.payload, "name"));
    EXPECT_EQ(names, (std::vector<std::string>{R"("on")", R"("on")", R"("off")", R"("off")", R"("done")", R"("done")"}));
    EXPECT_GE(seconds_between(l[0], l[1]), 0.9);   // the second activation
    EXPECT_GE(seconds_between(l[0], l[2]), 1.9);   // first run's pause
    EXPECT_GE(seconds_between(l[2], l[3]), 0.9);   // second run's pause ends a second later
    EXPECT_GE(seconds_between(l[2], l[4]), 1.9);   // the chained pause
    for (const auto &m : l) EXPECT_EQ(member(m.payload, "sender_id"), "null");
    for (const auto &m : on("device:M:command")) EXPECT_EQ(member(m.payload, "sender_id"), R"("42-7")");
}

// At most 10,000 runs wait at once: past it a new run that would pause ends there with a WARN,
// after what it sent before the pause. A run already waiting goes on through its next pause, and
// a run that ended makes room for a new one.
TEST_F(Commands, RunsThatMayWaitAtOnceAreBounded) {
    run("[" + cmd("C", "a") + "," + pause_of(1) + "," + cmd("C", "b") + "," + pause_of(1) + "," + cmd("C", "c") + "]");
    cJSON *waiting = cJSON_Parse(("[" + pause_of(3600) + "," + cmd("W", "late") + "]").c_str());
    for (int i = 0; i < 9999; i++) execute_commands(waiting, 0, nullptr);
    cJSON_Delete(waiting);
    const char kFull[] = "execute_commands: 10000 runs wait already, at most 10000: this one ends at its pause";
    EXPECT_FALSE(env.log_has(kFull)) << env.log();

    run("[" + cmd("N", "first") + "," + pause_of(1) + "," + cmd("N", "after") + "]");
    EXPECT_EQ(env.log_count(kFull), 1u);
    ASSERT_TRUE(wait_count("device:C:command", 3, 30s)) << env.log();
    ASSERT_EQ(on("device:N:command").size(), 1u);
    EXPECT_EQ(member(on("device:N:command")[0].payload, "name"), R"("first")");

    run("[" + cmd("R", "first") + "," + pause_of(1) + "," + cmd("R", "after") + "]");
    ASSERT_TRUE(wait_count("device:R:command", 2, 30s)) << env.log();
    flush();
    EXPECT_EQ(on("device:N:command").size(), 1u);
    EXPECT_TRUE(on("device:W:command").empty());
    EXPECT_EQ(env.log_count(kFull), 1u);
}

// What waiting runs keep of their lists is held to 32 MiB together: a run whose list would pass
// it ends at its pause; runs with small lists still wait.
TEST_F(Commands, TheListsThatWaitingRunsKeepAreBoundedInBytes) {
    const std::string big = "[" + cmd("B", "on") + "," + pause_of(3600) + "," +
                            R"({"target":"device","id":"B","name":"off","args":{"pad":")" + std::string(1000000, 'p') +
                            R"("}}])";
    cJSON *list = cJSON_Parse(big.c_str());
    ASSERT_NE(list, nullptr);
    const size_t fit = (32u << 20) / (big.size() + 1);
    for (size_t i = 0; i < fit + 3; i++) execute_commands(list, 0, nullptr);
    cJSON_Delete(list);
    EXPECT_EQ(env.log_count("ctx offest 1, tv.sec 3600"), fit) << fit;
    EXPECT_EQ(env.log_count("execute_commands: waiting runs hold"), 3u);
    ASSERT_TRUE(wait_count("device:B:command", fit + 3, 30s)) << env.log();

    run("[" + pause_of(1) + "," + cmd("S", "on") + "]");
    ASSERT_TRUE(wait_count("device:S:command", 1, 30s)) << env.log();
}

struct ListCase {
    const char *name;
    std::string list;
    int start;
    std::vector<std::string> channels;  // of what gets published, in order
    const char *warn;                   // a WARN line, or nullptr when the run ends silently
};

void PrintTo(const ListCase &c, std::ostream *os) { *os << c.name; }

class ListFailures : public Commands, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListFailures, EndTheRunAndDropTheRest) {
    const ListCase &c = GetParam();
    run(c.list, c.start);
    env.pump(50ms);
    flush();
    std::vector<std::string> channels;
    for (const auto &m : engine_messages()) channels.push_back(m.channel);
    EXPECT_EQ(channels, c.channels);
    if (c.warn) {
        EXPECT_EQ(env.log_count(c.warn), 1u) << env.log();
    }
    EXPECT_FALSE(env.log_has("ctx offest")) << env.log();
}

INSTANTIATE_TEST_SUITE_P(
    Table, ListFailures,
    ::testing::Values(
        ListCase{"device_without_id", R"([{"target":"device","name":"on"},)" + cmd("B", "on") + "]", 0, {},
                 "send_command failed"},
        ListCase{"no_target", R"([)" + cmd("A", "on") + R"(,{"id":"A","name":"on"},)" + cmd("B", "on") + "]", 0,
                 {"device:A:command"}, "No target element or target key is NULL"},
        ListCase{"delay_zero", "[" + cmd("A", "on") + "," + pause_of(0) + "," + cmd("B", "on") + "]", 0,
                 {"device:A:command"}, nullptr},
        ListCase{"delay_below_one", "[" + cmd("A", "on") + R"(,{"name":"delay","args":{"delay":0.5}},)" +
                                        cmd("B", "on") + "]",
                 0, {"device:A:command"}, nullptr},
        ListCase{"delay_as_text", "[" + cmd("A", "on") + R"(,{"name":"delay","args":{"delay":"5"}},)" +
                                      cmd("B", "on") + "]",
                 0, {"device:A:command"}, nullptr},
        ListCase{"delay_without_args", "[" + cmd("A", "on") + R"(,{"name":"delay"},)" + cmd("B", "on") + "]", 0,
                 {"device:A:command"}, nullptr},
        ListCase{"item_without_name", "[" + cmd("A", "on") + R"(,{"target":"device","id":"B"},)" + cmd("C", "on") + "]",
                 0, {"device:A:command"}, "execute_commands No name element or target key is NULL"},
        ListCase{"name_not_text", "[" + cmd("A", "on") + R"(,{"target":"device","id":"B","name":1},)" + cmd("C", "on") +
                                      "]",
                 0, {"device:A:command"}, "execute_commands No name element or target key is NULL"},
        ListCase{"item_not_an_object", "[" + cmd("A", "on") + R"(,"on",)" + cmd("C", "on") + "]", 0,
                 {"device:A:command"}, "execute_commands No name element or target key is NULL"},
        ListCase{"from_the_index", "[" + cmd("A", "on") + "," + cmd("B", "on") + "," + cmd("C", "on") + "]", 1,
                 {"device:B:command", "device:C:command"}, nullptr},
        ListCase{"index_past_the_end", "[" + cmd("A", "on") + "]", 1, {}, nullptr},
        ListCase{"not_a_list", cmd("A", "on"), 0, {}, nullptr}));

TEST_F(Commands, APublishedCommandIsTheWholeCommandFormattedWithItsOwnSender) {
    // A client's "sender_id" (here twice) is replaced, never kept beside the engine's.
    run(R"([{"target":"device","id":"42-3","name":"on","sender_id":"42-1","args":{"level":5},"sender_id":"x"}])", 0,
        "42-9");
    flush();
    ASSERT_EQ(on("device:42-3:command").size(), 1u);
    EXPECT_EQ(on("device:42-3:command")[0].payload,
              "{\n\t\"target\":\t\"device\",\n\t\"id\":\t\"42-3\",\n\t\"name\":\t\"on\",\n\t\"args\":\t{\n"
              "\t\t\"level\":\t5\n\t},\n\t\"sender_id\":\t\"42-9\"\n}");
}

// ---- routing ----

struct RouteCase {
    const char *command;
    int rc;
    const char *channel;  // "" for none
};

TEST_F(Commands, EachTargetGoesToItsChannel) {
    const RouteCase cases[] = {
        {R"({"target":"device","id":"42-3","name":"on"})", 0, "device:42-3:command"},
        {R"({"target":"server","id":"42-3","name":"on"})", 0, "server:command"},
        {R"({"target":"scene","id":"s1","name":"activate"})", 0, "scene:command"},
        {R"({"target":"globalaction","name":"email"})", 0, "gateway:command"},
        {R"({"target":"internal","name":"x"})", 0, ""},
        {R"({"target":"other","id":"1","name":"x"})", 0, ""},
        {R"({"target":"manager","id":"42-3","name":"restart"})", 0, ""},
        {R"({"target":"server","name":"on"})", -1, ""},
        {R"({"target":"other","name":"x"})", -1, ""},
        {R"({"target":"device","id":7,"name":"on"})", -1, ""},
        {R"({"target":1,"id":"42-3","name":"on"})", -1, ""},
        {R"({"id":"42-3","name":"on"})", -1, ""},
    };
    for (const auto &c : cases) {
        const size_t before = published().size();
        cJSON *command = cJSON_Parse(c.command);
        EXPECT_EQ(send_command(command), c.rc) << c.command;
        cJSON_Delete(command);
        flush();
        auto now = published();
        ASSERT_EQ(now.size(), before + (*c.channel ? 1 : 0)) << c.command;
        if (*c.channel) {
            EXPECT_EQ(now.back().substr(0, now.back().find(' ')), c.channel) << c.command;
            EXPECT_EQ(member(now.back().substr(now.back().find(' ') + 1), "name"),
                      member(c.command, "name"));
        }
    }
    EXPECT_EQ(send_command(nullptr), -1);
    EXPECT_EQ(env.log_count("array_element is NULL"), 1u);
    EXPECT_EQ(env.log_count("Target internal/global - not checking id"), 2u);
    EXPECT_EQ(env.log_count("No id element or id key is NULL"), 3u);
}

TEST_F(Commands, AManagerSwitchSetsTheDevicesAppAndPublishesNothing) {
    brx_db_test::Monitor monitor(env.state());
    struct Case {
        const char *command;
        int rc;
        const char *warn;
    } cases[] = {
        {R"({"target":"manager","id":"42-3","name":"switch","args":{"app_id":"7"}})", 0, nullptr},
        {R"({"target":"manager","id":"42-3","name":"switch","args":{"app_id":7}})", -1,
         "No app_id element or app_id key is NULL"},
        {R"({"target":"manager","id":"42-3","name":"switch"})", -1, "No args element"},
        {R"({"target":"manager","id":"42-3"})", -1, "manager No name element or target key is NULL"},
        {R"({"target":"manager","name":"switch","args":{"app_id":"8"}})", -1, "No id element or id key is NULL"},
        // An id that would name another key writes nothing.
        {R"({"target":"manager","id":"42-3:meta","name":"switch","args":{"app_id":"9"}})", -1, "Refusing device id"},
    };
    for (const auto &c : cases) {
        cJSON *command = cJSON_Parse(c.command);
        EXPECT_EQ(send_command(command), c.rc) << c.command;
        cJSON_Delete(command);
        if (c.warn) {
            EXPECT_EQ(env.log_count(c.warn), 1u) << c.command << "\n" << env.log();
        }
    }
    EXPECT_EQ(env.log_count("Switch message for target:manager"), 4u);
    flush();
    ASSERT_TRUE(monitor.wait_for([](const auto &seen) {
        for (const auto &c : seen)
            if (c.args.size() > 1 && c.args[1] == kMarker) return true;
        return false;
    }));
    auto sets = monitor.named("SET");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].args, (std::vector<std::string>{"SET", "device:42-3:app", "7"}));
    EXPECT_EQ(monitor.named("PUBLISH").size(), 1u);  // the marker
    EXPECT_EQ(env.state().get("device:42-3:app"), "7");
}

TEST_F(Commands, SceneStatus) {
    EXPECT_EQ(update_scene("s1", 1), 0);
    EXPECT_EQ(update_scene("s2", 0), 0);
    EXPECT_EQ(env.state().get("scene:s1:status"), "OK");
    EXPECT_EQ(env.state().get("scene:s2:status"), "ERROR");
}

// ---- scene activation ----

TEST_F(Commands, SceneActivationChecksItsMessageAndReadsTheStoredList) {
    env.state().set("scene:good:commands", "[" + cmd("G", "on") + "]");
    env.state().set("scene:bad:commands", "[{not json");
    struct Case {
        const char *message;
        const char *log;
    } cases[] = {
        {"not json", "Error in parsing"},
        {R"({"args":{"scene_id":"good"}})", "subscribe_scene_command_callback No name element or target key is NULL"},
        {R"({"name":"run","args":{"scene_id":"good"}})", "name key isn't \"activate\""},
        {R"({"name":"activate"})", "No args element"},
        {R"({"name":"activate","args":{"scene_id":5}})", "No scene_id element or scene_id key is NULL"},
        {R"({"name":"activate","args":{"scene_id":"none"}})", "scene_conf: NULL"},
        {R"({"name":"activate","args":{"scene_id":"bad"}})", "Error in parsing commands json"},
    };
    for (const auto &c : cases) {
        subscribe_scene_command_callback("scene:command", c.message, nullptr);
        EXPECT_TRUE(env.pump_until([&] { return env.log_count(c.log) >= 1; }, 10s)) << c.message << "\n" << env.log();
    }
    subscribe_scene_command_callback("scene:command", nullptr, nullptr);
    EXPECT_EQ(env.log_count("activate_scene failed"), 1u);
    EXPECT_EQ(env.log_count("Activation message for target:scene"), 4u);

    subscribe_scene_command_callback("scene:command", R"({"name":"activate","args":{"scene_id":"good"}})", nullptr);
    ASSERT_TRUE(wait_count("device:G:command", 1, 10s)) << env.log();
    flush();
    EXPECT_EQ(published().size(), 1u);
    EXPECT_EQ(activate_scene(nullptr, nullptr), -1);
}

// ---- gateway actions ----

class GatewayActions : public Commands {
protected:
    void SetUp() override {
        bus.start();
        bus.use_in_this_process();
        server_is(peer.url(""));
    }
    void server_is(const std::string &url) {
        ASSERT_EQ(bus.cli({"APService.HomeAutomation.ApplicationServer=" + url}), 0);
    }
    void action(const std::string &message) { execute_gateway_command("gateway:command", message.c_str(), nullptr); }
    bool wait_requests(size_t n) { return env.pump_until([&] { return peer.request_count() >= n; }, 20s); }

    TempDir bus_dir;
    BusStandin bus{bus_dir.path()};
    AppServerPeer peer;
};

TEST_F(GatewayActions, NotificationsPostTheirBodiesToTheServer) {
    peer.set_rules(R"({"POST /notification/send": [{"body": "accepted"}, {"status": 500}, {"status": 200}]})");
    action(R"({"name":"email","args":{"message":"Door open","token":"t1","subject":"Hi","extra":1}})");
    ASSERT_TRUE(wait_requests(1)) << env.log();
    action(R"({"name":"push-android","args":{"token":"t2","subject":"not sent","message":"m2","html":true}})");
    ASSERT_TRUE(wait_requests(2)) << env.log();
    action(R"({"name":"push-ios","args":{"token":"t3"}})");
    ASSERT_TRUE(wait_requests(3)) << env.log();
    ASSERT_TRUE(env.pump_until([&] { return env.log_count("send_notification_cb- server callback") == 3; }, 20s))
        << env.log();

    auto reqs = peer.requests();
    const char *bodies[] = {R"({"token":"t1","subject":"Hi","text":"Door open","html":false})",
                            R"({"token":"t2","text":"m2"})", R"({"token":"t3"})"};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(reqs[i].method, "POST");
        EXPECT_EQ(reqs[i].target, "/notification/send");
        EXPECT_EQ(reqs[i].body, bodies[i]);
        EXPECT_EQ(reqs[i].header("Content-Type"), "application/json");
        EXPECT_EQ(reqs[i].header_count("Cookie"), 0u);
    }
    EXPECT_EQ(env.log_count("send_notification_cb- server callback with body accepted"), 1u) << env.log();
    EXPECT_EQ(env.log_count("send_notification_cb- server callback with body NULL"), 2u) << env.log();
}

TEST_F(GatewayActions, NothingIsSentWithoutTokenOrServer) {
    peer.set_rules(R"({"POST /notification/send": {"body": "ok"}})");
    action(R"({"name":"email","args":{"message":"m","subject":"s"}})");
    EXPECT_EQ(env.log_count("No token in args"), 1u);
    server_is("");
    action(R"({"name":"push-android","args":{"token":"t","message":"m"}})");
    EXPECT_EQ(env.log_count("Cannot get server URL"), 1u) << env.log();
    EXPECT_FALSE(env.log_has("send_notification - posting")) << env.log();
    env.pump(300ms);
    EXPECT_EQ(peer.request_count(), 0u);
}

// The URL is the base and the path joined whole, however long the base.
TEST_F(GatewayActions, ALongServerBaseIsKeptWhole) {
    const std::string path = "/" + std::string(150, 'p') + "/notification/send";
    peer.set_rules(R"({"POST )" + path + R"(": {"body": "ok"}})");
    server_is(peer.url("/" + std::string(150, 'p')));
    action(R"({"name":"push-ios","args":{"token":"t","message":"m"}})");
    ASSERT_TRUE(wait_requests(1)) << env.log();
    EXPECT_EQ(peer.requests()[0].target, path);
}

TEST_F(GatewayActions, MalformedActionsAreLoggedAndDoNothing) {
    struct Case {
        const char *message;
        const char *warn;
    } cases[] = {
        {nullptr, "execute_gateway_command - null command"},
        {"{", "execute_gateway_command - cannot parse"},
        {R"({"name":"email"})", "execute_gateway_command - no name or args given"},
        {R"({"name":5,"args":{}})", "execute_gateway_command - no name or args given"},
        {R"({"args":{"token":"t"}})", "execute_gateway_command - no name or args given"},
        {R"({"name":"sms","args":{"token":"t"}})",
         R"(execute_gateway_command - don't know how to handle {"name":"sms","args":{"token":"t"}})"},
        {R"({"name":"gethistory","args":{"deviceid":"42-3","requestid":"r1","datatype":"temperature"}})",
         "get_history_callback not all required params given in json"},
        {R"({"name":"gethistory","args":{"deviceid":"42-3","requestid":1,"datatype":"temperature","startdate":0}})",
         "get_history_callback not all required params given in json"},
    };
    for (const auto &c : cases) {
        const size_t before = env.log_count(c.warn);
        execute_gateway_command("gateway:command", c.message, nullptr);
        EXPECT_EQ(env.log_count(c.warn), before + 1) << (c.message ? c.message : "NULL") << "\n" << env.log();
    }
    env.pump(200ms);
    flush();
    EXPECT_EQ(published().size(), 0u);
    EXPECT_EQ(peer.request_count(), 0u);
}

TEST_F(GatewayActions, AHistoryRequestIsAnsweredWithTheEmptyForm) {
    const std::string long_id(300, 'r');
    action(R"({"name":"gethistory","args":{"deviceid":"42-3","requestid":"r1","datatype":"temperature","startdate":1700000000}})");
    action(R"({"name":"gethistory","args":{"deviceid":"42-3","requestid":"a\"b","datatype":"temperature","startdate":1,"enddate":2}})");
    action(R"({"name":"gethistory","args":{"deviceid":"42-3","requestid":"a\\b","datatype":"power","aggregate":"day","startdate":"x","enddate":0}})");
    action(R"({"name":"gethistory","args":{"deviceid":"42-3","requestid":")" + long_id +
           R"(","datatype":"temperature","startdate":1}})");
    // Dates past any calendar are no dates, not undefined conversions.
    action(R"({"name":"gethistory","args":{"deviceid":"42-3","requestid":"far","datatype":"temperature","startdate":1e300,"enddate":-1e300}})");
    flush();
    EXPECT_EQ(published(), (std::vector<std::string>{
                               R"(device:42-3:history:temperature:none {"requestid":"r1"})",
                               R"(device:42-3:history:temperature:none {"requestid":"a\"b"})",
                               R"(device:42-3:history:power:day {"requestid":"a\\b"})",
                               R"(device:42-3:history:temperature:none {"requestid":")" + long_id + R"("})",
                               R"(device:42-3:history:temperature:none {"requestid":"far"})",
                           }));
    EXPECT_EQ(env.log_count(R"(Publishing empty history {"requestid":"r1"})"), 1u) << env.log();
}

}  // namespace
