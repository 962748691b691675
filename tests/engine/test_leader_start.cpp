// A leader gateway's start as a black box: its steps in order, the subscriptions it holds, and what
// the leader does with the network-wide keys and channels. The test and the daemon share a network
// namespace of the test's own (the device-addition test is a datagram to the device's address).
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/engine_scripts.h"
#include "tests/support/engine_env.h"
#include "tests/support/netns.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const uint16_t kDiscoveryPort = 4002;
const char kGatewayMac[] = "0200C0000201";
const char kLeaderDone[] = "Setup time checker";

// The "LAN" default driver records its hooks and hands deletions to the engine.
std::string lan_driver() {
    return "local d = {}\n"
           "function d.init() end\n"
           "function d.add(r) end\n"
           "function d.delete(r) db.set('test:lan:delete', r) device.delete(r) end\n"
           "function d.command(c) end\n"
           "function d.get_version() return '1.0.0' end\n"
           "function d.cleanup() end\n"
           "return d\n";
}

// An app whose configure hook says who it was configured for.
const char kApp[] = "local a = {}\n"
                    "function a.configure(class, id) db.publish('test:app:configure', class .. ' ' .. id) end\n"
                    "return a\n";

std::string present(const std::string &mac) {
    return "{\"packet_type\":0,\"network_id\":null,\"device_id\":null,\"hardware_addr\":\"" + mac +
           "\",\"device_type\":2,\"device_vendor\":\"Acme\",\"device_model\":\"X2\",\"dist_code\":7,"
           "\"preview_url\":null}";
}

class LeaderStart : public PrivateNetnsTest {
protected:
    void SetUp() override {
        PrivateNetnsTest::SetUp();
        if (IsSkipped()) return;
        env = std::make_unique<EngineEnv>();
        RedisServer &s = env->state();
        s.set("LAN:networkid", "N1");
        s.set(std::string("device:LAN:") + kGatewayMac, "N1-1");
        s.set("device:N1-1:domain", "LAN");
        env->conf().set("driver:gateway:code", engine_test::recording_driver());
        env->conf().set("app:gateway:A7:code", kApp);
        env->write_lan_driver(lan_driver());
        // A switch registered earlier, not behind this gateway.
        s.set("device:N1-5:domain", "LAN");
        s.set("device:N1-5:meta:class", "switch");
        s.set("device:N1-5:meta:address", "AABBCC000005");
        s.set("device:N1-5:state:power", "on");
        s.set("device:LAN:AABBCC000005", "N1-5");
        s.set("scene:S1:commands", "[]");
        s.set("scene:S2:commands", "[]");
        s.set("scene:S2:x:commands", "[]");
        sub = std::make_unique<Subscriber>(s, std::vector<std::string>{"p:device:*", "test:app:configure"});
        ASSERT_TRUE(env->start());
        ASSERT_TRUE(env->wait_log(kLeaderDone)) << env->log();
        sock = std::make_unique<UdpSocket>("127.0.0.1", 0);
        ASSERT_TRUE(sock->ok());
    }
    std::vector<std::string> published(const std::string &channel) { return payloads(*sub, channel); }
    // Every change before this call has been republished (or not) when it returns.
    void settle() {
        const std::string mark = "device:N1-1:state:mark";
        const size_t n = published(mark).size() + 1;
        env->state().set(mark, std::to_string(n));
        ASSERT_TRUE(wait_until([&] { return published(mark).size() >= n; }, 30s)) << env->log();
    }
    long long receivers(const std::string &channel, const std::string &message) {
        return env->state().command({"PUBLISH", channel, message}).integer;
    }

    std::unique_ptr<EngineEnv> env;
    std::unique_ptr<Subscriber> sub;
    std::unique_ptr<UdpSocket> sock;
};

TEST_F(LeaderStart, RunsItsStepsInOrderAndHoldsItsSubscriptions) {
    const std::string log = env->log();
    const std::vector<std::string> steps = {
        "Master device start",       "Save server address to redis", "start_alive_timer v4",
        "configure_app_keys",        "Device setup with ctx",        "Cannot init db_persist or persist disabled",
        "Setup time checker",
    };
    size_t at = 0;
    for (const std::string &step : steps) {
        const size_t pos = log.find(step, at);
        ASSERT_NE(pos, std::string::npos) << "missing or out of order: " << step << "\n" << log;
        at = pos;
    }
    EXPECT_EQ(log.find("WARN device"), std::string::npos) << log;

    std::string url;
    ASSERT_EQ(env->pcb_cli({"-l", "APService.HomeAutomation.ApplicationServer?"}, &url), 0);
    while (!url.empty() && (url.back() == '\n' || url.back() == '\r')) url.pop_back();
    ASSERT_FALSE(url.empty());
    EXPECT_EQ(env->state().get("server:address"), url);

    for (const char *channel : {"scene:command", "gateway:command", "newdevice:test", "gateway:disk"})
        EXPECT_EQ(numsub(env->state(), channel), 1) << channel;
    // The alive pattern and the state-message pattern both take an online message.
    EXPECT_EQ(receivers("device:N1-9:state:online", "x") - 1, 2);  // minus the test's own pattern

    // The app was configured once, at the start.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(published("test:app:configure"), std::vector<std::string>{"gateway A7"});
    EXPECT_EQ(env->stop(), 0);
}

TEST_F(LeaderStart, RepublishesChangesButNotDeletionsOrExpiries) {
    RedisServer &s = env->state();
    s.set("device:N1-1:meta:name", "Hall");
    s.set("device:N1-1:state:level", "3");
    s.command({"SET", "device:N1-1:state:temp", "21", "PX", "200"});
    s.command({"SET", "device:N1-1:meta:tmp", "x", "PX", "200"});
    // The leader re-reads a changed key: delete only once both values were read and republished.
    ASSERT_TRUE(wait_until([&] { return !published("device:N1-1:meta:name").empty() &&
                                        !published("device:N1-1:state:level").empty(); }, 30s));
    s.command({"DEL", "device:N1-1:state:level"});
    s.command({"DEL", "device:N1-1:meta:name"});
    ASSERT_TRUE(env->wait_log("device_states_get_callback key: device:N1-1:state:temp value: NULL failed", 30s))
        << env->log();
    ASSERT_TRUE(wait_until([&] { return !s.get("device:N1-1:meta:tmp").has_value(); }, 30s));
    settle();
    EXPECT_EQ(published("device:N1-1:meta:name"), std::vector<std::string>{"Hall"});
    EXPECT_EQ(published("device:N1-1:state:level"), std::vector<std::string>{"3"});
    EXPECT_EQ(published("device:N1-1:state:temp"), std::vector<std::string>{"21"});
    EXPECT_EQ(published("device:N1-1:meta:tmp"), std::vector<std::string>{"x"});
    // An expired metadata key is ignored without a word.
    EXPECT_EQ(env->log().find("key: device:N1-1:meta:tmp"), std::string::npos);
}

TEST_F(LeaderStart, RoutesTestsDeletionsSceneDeletionsAndDiskChanges) {
    RedisServer &s = env->state();
    // A device-addition test reaches the device whose PRESENT announced that address.
    const std::string mac = "AABBCC000007";
    ASSERT_TRUE(sock->send_to("127.0.0.1", kDiscoveryPort, present(mac)));
    ASSERT_TRUE(wait_until([&] { return s.get("newdevice:LAN:" + mac + ":notify").has_value(); }, 30s))
        << env->log();
    s.command({"PUBLISH", "newdevice:test", "not json"});
    s.command({"PUBLISH", "newdevice:test", "{\"address\":\"" + mac + "\"}"});
    s.command({"PUBLISH", "newdevice:test", "{\"address\":\"" + mac + "\",\"command\":\"blink\"}"});
    auto d = sock->recv(30s);
    ASSERT_TRUE(d.has_value()) << env->log();
    cJSON *j = cJSON_Parse(d->text.c_str());
    ASSERT_NE(j, nullptr) << d->text;
    const cJSON *type = cJSON_GetObjectItemCaseSensitive(j, "packet_type");
    const cJSON *command = cJSON_GetObjectItemCaseSensitive(j, "command");
    EXPECT_TRUE(cJSON_IsNumber(type) && type->valueint == 4) << d->text;
    EXPECT_TRUE(cJSON_IsString(command) && std::string(command->valuestring) == "blink") << d->text;
    cJSON_Delete(j);
    EXPECT_FALSE(sock->recv(300ms).has_value()) << "only the complete request is sent";
    EXPECT_TRUE(env->wait_log("Cannot parse json"));

    // A deletion request goes to the default driver of the device's domain, which deletes it.
    s.command({"PUBLISH", "device:N1-5:delete", "{\"id\":\"N1-5\"}"});
    EXPECT_TRUE(wait_until([&] { return s.command({"KEYS", "device:N1-5:*"}).elements.empty(); }, 30s))
        << env->log();
    EXPECT_EQ(s.get("test:lan:delete"), "{\"id\":\"N1-5\"}");
    EXPECT_FALSE(s.get("device:LAN:AABBCC000005").has_value());
    // One for a device without domain goes nowhere.
    s.command({"PUBLISH", "device:N1-9:delete", "{\"id\":\"N1-9\"}"});
    EXPECT_TRUE(env->wait_log("Cannot get domain")) << env->log();

    // A scene id may hold ':': its deletion is its own, not that of the scene its first field names.
    s.command({"PUBLISH", "scene:S2:x:delete", ""});
    s.command({"PUBLISH", "scene:S1:delete", ""});
    EXPECT_TRUE(wait_until([&] { return !s.get("scene:S1:commands").has_value(); }, 30s)) << env->log();
    EXPECT_FALSE(s.get("scene:S2:x:commands").has_value());
    EXPECT_TRUE(s.get("scene:S2:commands").has_value());

    s.command({"PUBLISH", "gateway:disk", "mounted"});
    s.command({"PUBLISH", "gateway:disk", "unmounted"});
    EXPECT_TRUE(env->wait_log("disk_mounted_callback key gateway:disk, val unmounted")) << env->log();
    EXPECT_NE(env->log().find("disk_mounted_callback key gateway:disk, val mounted"), std::string::npos);
    EXPECT_EQ(env->count_log("persist_enabled is 0"), 2u);
    EXPECT_TRUE(env->running());
    EXPECT_EQ(env->stop(), 0);
}

}  // namespace
