// A leader gateway hearing PRESENT datagrams: new-device records, their refresh and expiry, and
// the answer to a device that is already registered. The test and the daemon share a network
// namespace of the test's own.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/discovery/lan_support.h"
#include "tests/engine/engine_scripts.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const uint16_t kDiscoveryPort = 4002;

std::string present(const std::string &mac, int type, const std::string &preview_json) {
    return "{\"packet_type\":0,\"network_id\":null,\"device_id\":null,\"hardware_addr\":\"" + mac +
           "\",\"device_type\":" + std::to_string(type) +
           ",\"device_vendor\":\"Acme\",\"device_model\":\"X2\",\"dist_code\":7,\"preview_url\":" + preview_json + "}";
}

class NewDevice : public PrivateNetnsTest {
protected:
    void SetUp() override {
        PrivateNetnsTest::SetUp();
        if (IsSkipped()) return;
        env = std::make_unique<EngineEnv>();
        env->state().set("LAN:networkid", "N1");
        env->state().set("device:LAN:0200C0000201", "N1-1");
        env->conf().set("driver:gateway:code", engine_test::recording_driver());
        sub = std::make_unique<Subscriber>(env->state(), std::vector<std::string>{"p:newdevice:*"});
        ASSERT_TRUE(env->start());
        ASSERT_TRUE(env->wait_log("Cannot init db_persist or persist disabled")) << env->log();
        // Made here, inside the test's namespace.
        sock = std::make_unique<UdpSocket>("127.0.0.1", 0);
        ASSERT_TRUE(sock->ok());
    }
    long long ttl(const std::string &key) { return env->state().command({"TTL", key}).integer; }
    std::vector<std::string> published(const std::string &channel) { return payloads(*sub, channel); }

    std::unique_ptr<EngineEnv> env;
    std::unique_ptr<Subscriber> sub;
    std::unique_ptr<UdpSocket> sock;
};

struct RecordCase {
    const char *name;
    const char *mac;
    int type;
    const char *preview;  // JSON value in the datagram
    const char *record;   // the record, compact
};

void PrintTo(const RecordCase &c, std::ostream *os) { *os << c.name; }

class NewDeviceRecord : public NewDevice, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(NewDeviceRecord, IsWrittenPublishedRefreshedAndExpiresWithAnEmptyObject) {
    const RecordCase &c = GetParam();
    std::string key = std::string("newdevice:LAN:") + c.mac + ":notify";
    ASSERT_TRUE(sock->send_to("127.0.0.1", kDiscoveryPort, present(c.mac, c.type, c.preview)));
    ASSERT_TRUE(wait_until([&] { return env->state().get(key).has_value(); }, 30s)) << env->log();
    EXPECT_EQ(env->state().get(key), formatted(c.record));
    EXPECT_GE(ttl(key), 30);
    EXPECT_LE(ttl(key), 32);
    EXPECT_TRUE(wait_until([&] { return published(key) == std::vector<std::string>{formatted(c.record)}; }, 30s));

    // Heard again while the record lives: only its expiry is renewed.
    env->state().command({"EXPIRE", key, "20"});
    ASSERT_TRUE(sock->send_to("127.0.0.1", kDiscoveryPort, present(c.mac, c.type, c.preview)));
    EXPECT_TRUE(wait_until([&] { return ttl(key) >= 30; }, 30s)) << env->log();
    EXPECT_EQ(published(key).size(), 1u);

    // When it expires, clients are told with an empty object.
    env->state().command({"PEXPIRE", key, "100"});
    EXPECT_TRUE(wait_until([&] { return published(key).size() == 2 && published(key)[1] == "{}"; }, 30s))
        << env->log();
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NewDeviceRecord,
    ::testing::Values(
        RecordCase{"switch", "AABBCC000001", 2, "null",
                   "{\"class\":\"switch\",\"vendor\":\"Acme\",\"model\":\"X2\",\"domain\":\"LAN\",\"driver\":\"switch\","
                   "\"address\":\"AABBCC000001\",\"ipaddress\":\"127.0.0.1\",\"preview_url\":null}"},
        RecordCase{"camera_with_preview", "AABBCC000002", 1, "\"/snap.jpg\"",
                   "{\"class\":\"camera\",\"vendor\":\"Acme\",\"model\":\"X2\",\"domain\":\"LAN\",\"driver\":\"camera\","
                   "\"address\":\"AABBCC000002\",\"ipaddress\":\"127.0.0.1\","
                   "\"preview_url\":\"http://127.0.0.1:80/snap.jpg\"}"},
        RecordCase{"camera_without_preview", "AABBCC000003", 1, "null",
                   "{\"class\":\"camera\",\"vendor\":\"Acme\",\"model\":\"X2\",\"domain\":\"LAN\",\"driver\":\"camera\","
                   "\"address\":\"AABBCC000003\",\"ipaddress\":\"127.0.0.1\",\"preview_url\":null}"},
        RecordCase{"unknown_type", "AABBCC000004", 9, "\"/ignored\"",
                   "{\"class\":\"none\",\"vendor\":\"Acme\",\"model\":\"X2\",\"domain\":\"LAN\",\"driver\":\"none\","
                   "\"address\":\"AABBCC000004\",\"ipaddress\":\"127.0.0.1\",\"preview_url\":null}"}),
    [](const ::testing::TestParamInfo<RecordCase> &i) { return std::string(i.param.name); });

TEST_F(NewDevice, AddressesAndIdsThatDoNotFitTheKeysWriteNothing) {
    const std::vector<std::string> bad = {"AA:BB:CC:00:00:01", "AABB*", "AA?B", "[AB]", std::string(300, 'A')};
    for (const std::string &id : bad) {
        ASSERT_TRUE(sock->send_to("127.0.0.1", kDiscoveryPort, present(id, 2, "null")));
        ASSERT_TRUE(sock->send_to("127.0.0.1", kDiscoveryPort,
                                  "{\"packet_type\":3,\"network_id\":\"N1\",\"device_id\":\"" + id + "\"}"));
    }
    // An id that is not registered: any host could send it.
    ASSERT_TRUE(sock->send_to("127.0.0.1", kDiscoveryPort, "{\"packet_type\":3,\"network_id\":\"N1\",\"device_id\":\"N1-8\"}"));
    // Datagrams are handled in order: once these two took effect, every one above was handled.
    env->state().set("device:N1-7:domain", "LAN");
    ASSERT_TRUE(sock->send_to("127.0.0.1", kDiscoveryPort, present("AABBCC000010", 2, "null")));
    ASSERT_TRUE(sock->send_to("127.0.0.1", kDiscoveryPort, "{\"packet_type\":3,\"network_id\":\"N1\",\"device_id\":\"N1-7\"}"));
    ASSERT_TRUE(wait_until([&] { return env->state().get("device:N1-7:state:online") == "true"; }, 30s)) << env->log();
    ASSERT_TRUE(env->state().get("newdevice:LAN:AABBCC000010:notify").has_value());
    for (const std::string &id : bad) {
        SCOPED_TRACE(id.substr(0, 20));
        EXPECT_NE(env->log().find("Refusing device address '" + id + "'"), std::string::npos) << env->log();
        EXPECT_NE(env->log().find("Refusing device id '" + id + "'"), std::string::npos);
    }
    EXPECT_NE(env->log().find("Alive from unregistered device id N1-8 dropped"), std::string::npos);
    Reply records = env->state().command({"KEYS", "newdevice:*"});
    EXPECT_EQ(records.elements.size(), 1u);
    Reply online = env->state().command({"KEYS", "device:*:state:online"});
    EXPECT_EQ(online.elements.size(), 1u);
}

TEST_F(NewDevice, ARegisteredDeviceIsToldWhoLeadsAndGetsNoRecord) {
    env->state().set("device:LAN:AABBCC000009", "N1-9");
    ASSERT_TRUE(sock->send_to("127.0.0.1", kDiscoveryPort, present("AABBCC000009", 2, "null")));
    auto reply = sock->recv(30s);
    ASSERT_TRUE(reply.has_value()) << env->log();
    cJSON *j = cJSON_Parse(reply->text.c_str());
    ASSERT_NE(j, nullptr) << reply->text;
    auto text = [&](const char *name) {
        const cJSON *v = cJSON_GetObjectItemCaseSensitive(j, name);
        return std::string(cJSON_IsString(v) ? v->valuestring : "<none>");
    };
    const cJSON *type = cJSON_GetObjectItemCaseSensitive(j, "packet_type");
    EXPECT_TRUE(cJSON_IsNumber(type) && type->valueint == 2) << reply->text;
    EXPECT_EQ(text("leader_ip"), "127.0.0.1");
    EXPECT_EQ(text("network_id"), "N1");
    EXPECT_EQ(text("device_id"), "N1-1");
    cJSON_Delete(j);
    EXPECT_FALSE(env->state().get("newdevice:LAN:AABBCC000009:notify").has_value());
    EXPECT_EQ(env->stop(), 0);
}

}  // namespace
