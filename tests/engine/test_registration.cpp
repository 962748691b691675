// Registration and deletion of devices through the "LAN" default driver of the local run
// (conf/scripts/lan_default.lua calls device.add and device.delete) on a leader gateway, with the
// application server's peer over HTTPS. The test, the peer and the daemon share a network namespace
// of the test's own.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/engine/engine_scripts.h"
#include "tests/support/appserver_peer.h"
#include "tests/support/engine_env.h"
#include "tests/support/netns.h"
#include "tests/support/redis_server.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const uint16_t kDiscoveryPort = 4002;
const char kGatewayMac[] = "0200C0000201";

std::string request(const std::string &domain, const std::string &address, const std::string &requestid,
                    const std::string &extra = "") {
    return "{\"name\":\"Kitchen\",\"domain\":\"" + domain + "\",\"address\":\"" + address + "\",\"requestid\":\"" +
           requestid + "\"" + extra + "}";
}

std::string feedback(const std::string &requestid, const std::string &address, const std::string &reason) {
    return "{\"requestid\":\"" + requestid + "\",\"address\":\"" + address +
           "\",\"status\":\"ERROR\",\"reason\":\"" + reason + "\"}";
}

std::string present(const std::string &mac, int type) {
    return "{\"packet_type\":0,\"network_id\":null,\"device_id\":null,\"hardware_addr\":\"" + mac +
           "\",\"device_type\":" + std::to_string(type) +
           ",\"device_vendor\":\"Acme\",\"device_model\":\"X2\",\"dist_code\":7,\"preview_url\":null}";
}

int packet_type(const std::string &datagram) {
    cJSON *j = cJSON_Parse(datagram.c_str());
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(j, "packet_type");
    int type = cJSON_IsNumber(t) ? t->valueint : -1;
    cJSON_Delete(j);
    return type;
}

class Registration : public PrivateNetnsTest {
protected:
    void SetUp() override {
        PrivateNetnsTest::SetUp();
        if (IsSkipped()) return;
        env = std::make_unique<EngineEnv>();
        peer = &env->appserver();
        env->write_lan_driver(read_file(source_path("conf/scripts/lan_default.lua")));
        env->state().set("deviceid", "7");
        env->state().set("device:LAN:" + std::string(kGatewayMac), "42-1");
        sub = std::make_unique<Subscriber>(env->state(), std::vector<std::string>{"p:newdevice:*"});
    }
    // Starts the daemon and waits until its leader start is over.
    void start(bool configured = true, const std::vector<std::string> &args = {}) {
        if (configured) env->state().set("LAN:networkid", "42");
        ASSERT_TRUE(env->start(args));
        if (configured) {
            ASSERT_TRUE(env->wait_log("Cannot init db_persist or persist disabled")) << env->log();
        }
    }
    void set_server(const std::string &url) {
        ASSERT_EQ(env->pcb_cli({"APService.HomeAutomation.ApplicationServer=" + url}), 0);
    }
    void add(const std::string &domain, const std::string &address, const std::string &text) {
        env->state().command({"PUBLISH", "newdevice:" + domain + ":" + address + ":add", text});
    }
    void notify_record(const std::string &domain, const std::string &address, const std::string &json) {
        env->state().set("newdevice:" + domain + ":" + address + ":notify", json);
    }
    std::optional<std::string> get(const std::string &key) { return env->state().get(key); }
    bool wait_key(const std::string &key, const std::string &value) {
        return wait_until([&] { return get(key) == value; }, 30s);
    }
    std::vector<std::string> published(const std::string &channel) { return payloads(*sub, channel); }

    // The registration and deletion requests the gateway's peer got, in order (the backup's are left out).
    std::vector<LoggedRequest> device_requests() {
        std::vector<LoggedRequest> out;
        for (const LoggedRequest &r : peer->requests())
            if (r.target.find("/hm/") == std::string::npos) out.push_back(r);
        return out;
    }
    bool wait_device_requests(size_t n) {
        return wait_until([&] { return device_requests().size() >= n; }, 30s);
    }

    AppServerPeer *peer = nullptr;
    std::unique_ptr<EngineEnv> env;
    std::unique_ptr<Subscriber> sub;
};

// A switch heard on the LAN: no server, the next number after "deviceid", its keys in one
// transaction, "{}" to clients and an IAMLEADER to the switch itself.
TEST_F(Registration, ASwitchIsNumberedWrittenInOneTransactionAndToldWhoLeads) {
    start();
    UdpSocket sock("127.0.0.1", 0);
    ASSERT_TRUE(sock.ok());
    const std::string mac = "AABBCC000001";
    const std::string notify = "newdevice:LAN:" + mac + ":notify";
    ASSERT_TRUE(sock.send_to("127.0.0.1", kDiscoveryPort, present(mac, 2)));
    ASSERT_TRUE(wait_until([&] { return get(notify).has_value(); }, 30s)) << env->log();
    // The start's restore records its end in a transaction of its own: the one below is the registration's.
    ASSERT_TRUE(wait_key("restore:state", "RESTORE_OK_NO_RESTORE")) << env->log();

    Monitor monitor(env->state());
    add("LAN", mac, request("LAN", mac, "R-1"));
    ASSERT_TRUE(wait_key("device:LAN:" + mac, "42-8")) << env->log();
    EXPECT_EQ(get("deviceid"), "8");
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"device:42-8:meta:name", "Kitchen"},
        {"device:42-8:meta:class", "switch"},
        {"device:42-8:meta:classname:switch:LAN:Acme:X2", "switch"},
        {"device:42-8:meta:vendor", "Acme"},
        {"device:42-8:meta:model", "X2"},
        {"device:42-8:meta:address", mac},
        {"device:42-8:meta:driver", "switch"},
        {"device:42-8:state:online", "true"},
        {"device:LAN:" + mac, "42-8"},
        {"device:42-8:domain", "LAN"},
        // The address the engine's own record names "ipaddress".
        {"device:42-8:driver:attributes:address", "127.0.0.1"},
        {"device:42-8:state:ip", "127.0.0.1"},
    };
    for (const auto &kv : keys) EXPECT_EQ(get(kv.first), kv.second) << kv.first;
    EXPECT_FALSE(get("device:42-8:driver:token").has_value());
    EXPECT_FALSE(get(notify).has_value());
    EXPECT_TRUE(wait_until([&] { return !published(notify).empty() && published(notify).back() == "{}"; }, 30s));

    auto reply = sock.recv(30s);
    ASSERT_TRUE(reply.has_value()) << env->log();
    EXPECT_EQ(packet_type(reply->text), 2) << reply->text;
    EXPECT_EQ(device_requests().size(), 0u);
    EXPECT_FALSE(get("processing:address").has_value());
    EXPECT_TRUE(published("newdevice:feedback").empty());

    // Every write between MULTI and EXEC, in order; the notify record's DEL inside.
    std::vector<SeenCommand> seen = monitor.commands();
    auto multi = std::find_if(seen.begin(), seen.end(), [](const SeenCommand &c) { return c.args[0] == "MULTI"; });
    ASSERT_NE(multi, seen.end());
    auto exec = std::find_if(multi, seen.end(), [](const SeenCommand &c) { return c.args[0] == "EXEC"; });
    ASSERT_NE(exec, seen.end());
    std::vector<std::vector<std::string>> inside;
    for (auto it = multi + 1; it != exec; ++it)
        if (it->args[0] == "SET" || it->args[0] == "DEL") inside.push_back(it->args);
    std::vector<std::vector<std::string>> expected;
    for (const auto &kv : keys) expected.push_back({"SET", kv.first, kv.second});
    expected.push_back({"DEL", notify});
    EXPECT_EQ(inside, expected);
}

// A camera: the server is asked with the session's cookie; its token and parameters are stored.
TEST_F(Registration, ACameraIsRegisteredWithTheServer) {
    peer->set_rules(R"({"POST /app/device": {"body":
        "{\"status\":\"SUCCESS\",\"token\":\"T-1\",\"driverparams\":\"{\\\"x\\\":1}\",\"appparams\":\"P\",\"appevents\":\"E\"}"}})");
    start();
    notify_record("LAN", "AABBCC000002",
                  R"({"class":"camera","vendor":"Acme","model":"C1","driver":"camera","ip":"192.0.2.50"})");
    add("LAN", "AABBCC000002", request("LAN", "AABBCC000002", "R-2", ",\"sessionid\":\"S-1\",\"appid\":\"A1\""));
    ASSERT_TRUE(wait_key("device:LAN:AABBCC000002", "42-8")) << env->log();
    ASSERT_EQ(device_requests().size(), 1u);
    LoggedRequest r = device_requests()[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/app/device");
    EXPECT_EQ(r.header("Cookie"), "JSESSIONID=S-1");
    EXPECT_EQ(r.body, R"({"class":"camera","vendor":"Acme","model":"C1","mac":"AABBCC000002","appid":"A1"})");
    EXPECT_EQ(get("device:42-8:driver:token"), "T-1");
    EXPECT_EQ(get("device:42-8:driver:params"), "{\"x\":1}");
    EXPECT_EQ(get("device:42-8:app:A1:params"), "P");
    EXPECT_EQ(get("device:42-8:app:A1:events"), "E");
    EXPECT_EQ(get("device:42-8:state:ip"), "192.0.2.50");
    EXPECT_TRUE(wait_until([&] {
        auto p = published("newdevice:LAN:AABBCC000002:notify");
        return !p.empty() && p.back() == "{}";
    }, 30s));

    // Without a session: an empty cookie value, and "appid" null.
    notify_record("LAN", "AABBCC000003", R"({"class":"camera","vendor":"Acme","model":"C1","driver":"camera"})");
    add("LAN", "AABBCC000003", request("LAN", "AABBCC000003", "R-3"));
    ASSERT_TRUE(wait_key("device:LAN:AABBCC000003", "42-9")) << env->log();
    r = device_requests()[1];
    EXPECT_EQ(r.header_count("Cookie"), 1u);
    EXPECT_EQ(r.header("Cookie"), "JSESSIONID=");
    EXPECT_EQ(r.body, R"({"class":"camera","vendor":"Acme","model":"C1","mac":"AABBCC000003","appid":null})");
    EXPECT_FALSE(get("device:42-9:state:ip").has_value());
    EXPECT_EQ(env->stop(), 0);
}

// A device of another domain gets the dummy network id and is set up at once: command channel, driver.
TEST_F(Registration, AVirtualDeviceIsSetUpAsASubDevice) {
    env->conf().set("domain:VIRTUAL:code", "local d = {}\n"
                                           "function d.init() end\n"
                                           "function d.add(r) device.add(r) end\n"
                                           "function d.delete(r) device.delete(r) end\n"
                                           "function d.cleanup() end\n"
                                           "return d\n");
    env->conf().set("driver:vlight:code", engine_test::recording_driver());
    start();
    notify_record("VIRTUAL", "V-1", R"({"class":"light","vendor":"V","model":"L","driver":"vlight"})");
    add("VIRTUAL", "V-1", request("VIRTUAL", "V-1", "R-4"));
    ASSERT_TRUE(wait_key("device:VIRTUAL:V-1", "0-8")) << env->log();
    EXPECT_TRUE(wait_key("device:0-8:state:ready", "yes")) << env->log();
    EXPECT_EQ(device_requests().size(), 0u);
    ASSERT_TRUE(wait_until([&] { return numsub(env->state(), "device:0-8:command") == 1; }, 30s));
    env->state().command({"PUBLISH", "device:0-8:command", "{\"name\":\"on\"}"});
    EXPECT_TRUE(wait_key("device:0-8:state:power", "on")) << env->log();
    EXPECT_EQ(env->stop(), 0);
}

// A gateway without a network id registers itself: the server's id makes it the leader.
TEST_F(Registration, AGatewayTakesItsNetworkIdFromTheServerAndLeads) {
    env->state().command({"DEL", "device:LAN:" + std::string(kGatewayMac)});
    env->conf().set("driver:gateway:code", engine_test::recording_driver());
    peer->set_rules(R"({"POST /app/device": {"body": "{\"status\":\"SUCCESS\",\"gcid\":5001}"}})");
    start(false);
    ASSERT_TRUE(env->wait_log("I am leader but not configured")) << env->log();
    // An add published before the engine's subscription to it is in place reaches nobody.
    ASSERT_TRUE(env->wait_log("succeeded newdevice:*:*:add")) << env->log();
    notify_record("LAN", kGatewayMac, R"({"class":"gateway","vendor":"TestVendor","model":"T1","driver":"gateway"})");
    add("LAN", kGatewayMac, request("LAN", kGatewayMac, "R-5", ",\"sessionid\":\"S-5\""));
    ASSERT_TRUE(wait_key("device:LAN:" + std::string(kGatewayMac), "5001-8")) << env->log();
    EXPECT_EQ(get("LAN:networkid"), "5001");
    EXPECT_TRUE(env->wait_log("(MYSELF)")) << env->log();
    EXPECT_TRUE(wait_key("device:5001-8:state:ready", "yes")) << env->log();
    EXPECT_EQ(env->stop(), 0);
}

// "deviceid" behind the registered devices, or not a number: no device is ever written over.
TEST_F(Registration, NumberingNeverWritesOverARegisteredDevice) {
    env->state().command({"DEL", "deviceid"});
    env->state().set("device:42-1:meta:class", "gateway");
    env->state().set("device:42-2:domain", "LAN");
    start();
    notify_record("LAN", "AABBCC000005", R"({"class":"switch","vendor":"Acme","model":"X2","driver":"switch"})");
    add("LAN", "AABBCC000005", request("LAN", "AABBCC000005", "R-9"));
    ASSERT_TRUE(wait_key("device:LAN:AABBCC000005", "42-3")) << env->log();
    EXPECT_EQ(get("deviceid"), "3");
    EXPECT_EQ(get("device:42-1:meta:class"), "gateway");
    EXPECT_FALSE(get("device:42-2:meta:name").has_value());
    EXPECT_TRUE(env->wait_log("Device id 42-1 is taken - skipping it"));

    env->state().set("deviceid", "x12");
    notify_record("LAN", "AABBCC000006", R"({"class":"switch","vendor":"Acme","model":"X2","driver":"switch"})");
    add("LAN", "AABBCC000006", request("LAN", "AABBCC000006", "R-10"));
    ASSERT_TRUE(wait_until([&] { return !published("newdevice:feedback").empty(); }, 30s)) << env->log();
    EXPECT_EQ(published("newdevice:feedback"),
              std::vector<std::string>{feedback("R-10", "AABBCC000006", "UNEXPECTED_ERR")});
    EXPECT_FALSE(get("device:LAN:AABBCC000006").has_value());
    EXPECT_EQ(get("deviceid"), "x12");
}

// A transaction that Redis refuses is a failure: no "{}", no device.
TEST_F(Registration, ARefusedTransactionIsReportedAndLeavesNoDevice) {
    start();
    notify_record("LAN", "AABBCC000007", R"({"class":"switch","vendor":"Acme","model":"X2","driver":"switch"})");
    env->state().command({"CONFIG", "SET", "maxmemory", "1"});
    add("LAN", "AABBCC000007", request("LAN", "AABBCC000007", "R-11"));
    ASSERT_TRUE(wait_until([&] { return !published("newdevice:feedback").empty(); }, 30s)) << env->log();
    env->state().command({"CONFIG", "SET", "maxmemory", "0"});
    EXPECT_EQ(published("newdevice:feedback"),
              std::vector<std::string>{feedback("R-11", "AABBCC000007", "UNEXPECTED_ERR")});
    EXPECT_FALSE(get("device:LAN:AABBCC000007").has_value());
    EXPECT_TRUE(env->wait_log("Device 42-8 not stored")) << env->log();
    EXPECT_EQ(numsub(env->state(), "device:42-8:command"), 0);
    EXPECT_TRUE(published("newdevice:LAN:AABBCC000007:notify").empty() ||
                published("newdevice:LAN:AABBCC000007:notify").back() != "{}");
    EXPECT_EQ(env->stop(), 0);
}

// ---- failures: one exact feedback record each, and none again for the same request id ----

enum class Server { Peer, PeerByIp, Closed, NotAUrl };

struct FailureCase {
    const char *name;
    const char *class_name;
    Server server;
    const char *reply;  // the peer's answer to the registration (JSON rule), or nullptr
    bool record;        // a discovery record exists
    bool network_id;    // "LAN:networkid" exists
    const char *reason;
};

void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.name; }

class RegistrationFailure : public Registration, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RegistrationFailure, IsReportedOnceAndWritesNoDevice) {
    const FailureCase &c = GetParam();
    const std::string mac = "AABBCC0000F1";
    if (c.reply) peer->set_rules(std::string("{\"POST /app/device\": ") + c.reply + "}");
    // The server changes once the start's restore is over.
    start();
    switch (c.server) {
    case Server::Peer: break;
    case Server::PeerByIp: set_server(peer->url("/app", "127.0.0.1")); break;  // the certificate names localhost
    case Server::Closed: set_server("https://localhost:" + std::to_string(free_tcp_port()) + "/app"); break;
    case Server::NotAUrl: set_server("notaurl"); break;
    }
    if (!c.network_id) env->state().command({"DEL", "LAN:networkid"});
    if (c.record)
        notify_record("LAN", mac, std::string("{\"class\":\"") + c.class_name +
                                      "\",\"vendor\":\"Acme\",\"model\":\"X2\",\"driver\":\"d\"}");
    const std::string text = request("LAN", mac, "R-F", ",\"sessionid\":\"S-F\"");
    add("LAN", mac, text);
    const std::string expected = feedback("R-F", mac, c.reason);
    ASSERT_TRUE(wait_until([&] { return !published("newdevice:feedback").empty(); }, 60s)) << env->log();
    EXPECT_EQ(published("newdevice:feedback"), std::vector<std::string>{expected});
    EXPECT_EQ(get("keynewdevice:feedback"), expected);
    EXPECT_GT(env->state().command({"TTL", "keynewdevice:feedback"}).integer, 0);

    add("LAN", mac, text);
    ASSERT_TRUE(env->wait_log("Not processing - status already set for reqid R-F")) << env->log();
    EXPECT_EQ(published("newdevice:feedback").size(), 1u);
    EXPECT_FALSE(get("device:LAN:" + mac).has_value());
    EXPECT_EQ(env->state().command({"KEYS", "device:42-8:*"}).elements.size(), 0u);
    // A failure after the server's answer releases the address at once; one before it leaves it to expire.
    EXPECT_EQ(get("processing:address").has_value(), strcmp(c.reason, "SERVER_ERR") != 0 && c.network_id);
    EXPECT_EQ(env->stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistrationFailure,
    ::testing::Values(
        FailureCase{"status_500", "camera", Server::Peer, R"({"status":500,"body":"{\"status\":\"SUCCESS\"}"})",
                    true, true, "SERVER_ERR"},
        FailureCase{"no_answer", "camera", Server::Closed, nullptr, true, true, "SERVER_ERR"},
        FailureCase{"empty_200", "camera", Server::Peer, R"({"status":200})", true, true, "SERVER_ERR"},
        FailureCase{"not_json", "camera", Server::Peer, R"({"body":"<html>"})", true, true, "SERVER_ERR"},
        FailureCase{"no_status", "camera", Server::Peer, R"({"body":"{\"token\":\"t\"}"})", true, true, "SERVER_ERR"},
        FailureCase{"not_success", "camera", Server::Peer, R"({"body":"{\"status\":\"FAILED\"}"})", true, true,
                    "SERVER_ERR"},
        FailureCase{"gcid_missing", "gateway", Server::Peer, R"({"body":"{\"status\":\"SUCCESS\"}"})", true, true,
                    "SERVER_ERR"},
        FailureCase{"gcid_0", "gateway", Server::Peer, R"({"body":"{\"status\":\"SUCCESS\",\"gcid\":0}"})", true,
                    true, "SERVER_ERR"},
        FailureCase{"gcid_negative", "gateway", Server::Peer, R"({"body":"{\"status\":\"SUCCESS\",\"gcid\":-5}"})",
                    true, true, "SERVER_ERR"},
        FailureCase{"gcid_too_big", "gateway", Server::Peer, R"({"body":"{\"status\":\"SUCCESS\",\"gcid\":1e10}"})",
                    true, true, "SERVER_ERR"},
        FailureCase{"gcid_fraction", "gateway", Server::Peer,
                    R"({"body":"{\"status\":\"SUCCESS\",\"gcid\":5.5}"})", true, true, "SERVER_ERR"},
        FailureCase{"gcid_text", "gateway", Server::Peer, R"({"body":"{\"status\":\"SUCCESS\",\"gcid\":\"5\"}"})",
                    true, true, "SERVER_ERR"},
        FailureCase{"certificate_for_another_host", "camera", Server::PeerByIp, nullptr, true, true, "SERVER_ERR"},
        FailureCase{"request_refused", "camera", Server::NotAUrl, nullptr, true, true, "SERVER_ERR"},
        FailureCase{"no_discovery_record", "camera", Server::Peer, nullptr, false, true, "UNEXPECTED_ERR"},
        // The class is a field of the classname key, read back by position.
        FailureCase{"class_with_a_colon", "sw:itch", Server::Peer, nullptr, true, true, "UNEXPECTED_ERR"},
        FailureCase{"no_network_id", "switch", Server::Peer, nullptr, true, false, "UNEXPECTED_ERR"}),
    [](const ::testing::TestParamInfo<FailureCase> &i) { return std::string(i.param.name); });

// Requests that cannot be registered at all: refused before any record or feedback is written.
TEST_F(Registration, BadRequestsWriteNothing) {
    start();
    notify_record("LAN", "AABBCC000004", R"({"class":"switch","vendor":"Acme","model":"X2","driver":"switch"})");
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"not json", "Device registered - Error in parsing message: not json"},
        {R"({"domain":"LAN","address":"AABBCC000004"})",
         "Device registered - not all required values in notify json given, name requrstid is missing"},
    };
    for (const auto &b : bad) add("LAN", "AABBCC000004", b.first);
    // Handled in order: once a good one is through, every bad one was seen.
    add("LAN", "AABBCC000004", request("LAN", "AABBCC000004", "R-8"));
    ASSERT_TRUE(wait_key("device:LAN:AABBCC000004", "42-8")) << env->log();
    for (const auto &b : bad) EXPECT_NE(env->log().find(b.second), std::string::npos) << b.second;
    EXPECT_TRUE(published("newdevice:feedback").empty());
    EXPECT_EQ(get("deviceid"), "8");
}

// Texts that would form or shift the device's keys (the vendor and model are fields of the classname
// key that the version check reads by position): refused where they enter, with a feedback record,
// and nothing of the device is written; the same request id again is ignored.
TEST_F(Registration, RefusedTextsAreReportedAndWriteNothing) {
    start();
    struct Case {
        std::string domain, address, extra, vendor, model, log;
    };
    const Case cases[] = {
        {"LAN", "AA:BB:CC:DD:EE:01", "", "Acme", "X2", "Refusing device address 'AA:BB:CC:DD:EE:01'"},
        {"LAN", "AABBCC00001*", "", "Acme", "X2", "Refusing device address 'AABBCC00001*'"},
        {"L:AN", "AABBCC000012", "", "Acme", "X2", "Refusing device domain 'L:AN'"},
        {"LAN", "AABBCC000013", ",\"appid\":\"a:b\"", "Acme", "X2", "Refusing app id 'a:b'"},
        {"LAN", "AABBCC000014", "", "Ac:me", "X2", "Refusing device vendor 'Ac:me'"},
        {"LAN", "AABBCC000015", "", "Acme", "X:2", "Refusing device model 'X:2'"},
        {"LAN", "AABBCC000016", "", "Acme", "X[2]", "Refusing device model 'X[2]'"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.log);
        const std::string requestid = "R-X" + std::to_string(i);
        notify_record("LAN", c.address,
                      "{\"class\":\"switch\",\"vendor\":\"" + c.vendor + "\",\"model\":\"" + c.model +
                          "\",\"driver\":\"switch\"}");
        const std::string text = request(c.domain, c.address, requestid, c.extra);
        const size_t before = published("newdevice:feedback").size();
        add("LAN", "AABBCC000010", text);
        ASSERT_TRUE(wait_until([&] { return published("newdevice:feedback").size() > before; }, 30s)) << env->log();
        EXPECT_EQ(published("newdevice:feedback").back(), feedback(requestid, c.address, "UNEXPECTED_ERR"));
        EXPECT_NE(env->log().find(c.log), std::string::npos) << env->log();
        add("LAN", "AABBCC000010", text);
        ASSERT_TRUE(env->wait_log("Not processing - status already set for reqid " + requestid)) << env->log();
        EXPECT_EQ(published("newdevice:feedback").size(), before + 1);
    }
    EXPECT_EQ(get("deviceid"), "7");
    EXPECT_EQ(env->state().command({"KEYS", "device:42-8*"}).elements.size(), 0u);
    EXPECT_EQ(env->state().command({"KEYS", "device:*:meta:classname:*"}).elements.size(), 0u);
    EXPECT_EQ(env->state().command({"KEYS", "device:L*:AA*"}).elements.size(), 0u);
}

// ---- deletion ----

class Deletion : public Registration {
protected:
    void device(const std::string &id, const std::string &cls, const std::string &address) {
        env->state().set("device:" + id + ":meta:class", cls);
        env->state().set("device:" + id + ":meta:name", "n");
        env->state().set("device:" + id + ":meta:address", address);
        env->state().set("device:" + id + ":meta:driver", "camdrv");
        env->state().set("device:" + id + ":domain", "LAN");
        env->state().set("device:" + id + ":state:online", "true");
        env->state().set("device:LAN:" + address, id);
        env->state().set("landevicemap:42-1:" + id, id);
    }
    size_t count(const std::string &pattern) { return env->state().command({"KEYS", pattern}).elements.size(); }
};

TEST_F(Deletion, RemovesTheDeviceWithItsKeysAndTellsTheServerAboutACamera) {
    // A base longer than any fixed buffer: the URL is built whole.
    const std::string base = "/" + std::string(150, 'p') + "/app";
    device("42-1", "gateway", kGatewayMac);
    device("42-5", "camera", "CAM5");
    env->state().set("device:42-5:driver:token", "T");
    // An id with glob characters whose pattern, unescaped, also covers 42-5's keys.
    device("4[2]-5", "switch", "SW5");
    env->conf().set("driver:camdrv:code", engine_test::recording_driver());
    start(true, {"-t"});
    set_server(peer->url(base, "localhost"));
    ASSERT_TRUE(wait_key("device:42-5:state:ready", "yes")) << env->log();
    ASSERT_TRUE(wait_until([&] { return numsub(env->state(), "driver:dofile") > 0; }, 30s));
    const size_t camera_keys = count("device:42-5:*");

    std::string path = env->dir().file("first.lua");
    write_file(path, "device.delete('{\"id\":\"4[2]-5\"}')\n"
                     "device.delete('{\"id\":\"42-1\",\"sessionid\":\"S-9\"}')\n");
    env->state().command({"PUBLISH", "driver:dofile", path});
    ASSERT_TRUE(env->wait_log_count("device_delete_cb end", 2)) << env->log();
    EXPECT_EQ(count("device:4\\[2\\]-5:*"), 0u);
    EXPECT_FALSE(get("device:LAN:SW5").has_value());
    EXPECT_FALSE(get("landevicemap:42-1:4[2]-5").has_value());
    EXPECT_EQ(count("device:42-5:*"), camera_keys);
    EXPECT_EQ(get("landevicemap:42-1:42-5"), "42-5");
    EXPECT_EQ(get("device:42-1:meta:class"), "gateway");
    EXPECT_EQ(get("device:LAN:" + std::string(kGatewayMac)), "42-1");
    EXPECT_TRUE(env->wait_log("Class is gateway - not deleting"));

    path = env->dir().file("second.lua");
    write_file(path, "device.delete('{\"id\":\"42-5\",\"sessionid\":\"S-9\"}')\n");
    env->state().command({"PUBLISH", "driver:dofile", path});
    ASSERT_TRUE(env->wait_log_count("device_delete_cb end", 3)) << env->log();
    EXPECT_EQ(count("device:42-5:*"), 0u);
    EXPECT_FALSE(get("device:LAN:CAM5").has_value());
    EXPECT_FALSE(get("landevicemap:42-1:42-5").has_value());
    ASSERT_TRUE(wait_device_requests(1)) << env->log();
    LoggedRequest r = device_requests()[0];
    EXPECT_EQ(r.method, "DELETE");
    EXPECT_EQ(r.target, base + "/ld/42-5");
    EXPECT_EQ(r.header("Cookie"), "JSESSIONID=S-9");
    EXPECT_EQ(r.body, "");
    EXPECT_TRUE(env->wait_log("Device delete - server callback with body")) << env->log();

    // The deleted device is gone from the engine too: its code changing and a command for it reach nothing.
    env->conf().set("driver:camdrv:code", engine_test::recording_driver());
    env->state().command({"PUBLISH", "device:42-5:command", "{\"name\":\"on\"}"});
    EXPECT_EQ(numsub(env->state(), "device:42-5:command"), 0);
    EXPECT_TRUE(env->running());
    EXPECT_EQ(env->stop(), 0) << env->log();
    EXPECT_FALSE(get("device:42-5:state:power").has_value());
}

}  // namespace
