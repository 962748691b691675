// Discovery in a probe of its own (namespace 192.0.2.1), driven from the test's namespace (192.0.2.2).

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/discovery/lan_support.h"
#include "tests/support/redis_server.h"

using brx_test::formatted;
using brx_test::Probe;
using brx_test::probe_conf;
using brx_test::UdpSocket;
using brx_test::whois;
using namespace std::chrono_literals;

namespace {

const char kOwnMac[] = "0200C0000201";
const uint16_t kPort = 4002;

std::string iamleader_reply(const std::string &ip, const std::string &net = "\"N1\"", const std::string &dev = "\"G1\"") {
    return formatted("{\"packet_type\":2,\"network_id\":" + net + ",\"device_id\":" + dev + ",\"leader_ip\":\"" + ip +
                     "\",\"leader_redis_port\":6400,\"leader_webdis_port\":7379}");
}

std::string present(const std::string &mac, const std::string &id = "null", const std::string &preview = "\"/p.jpg\"",
                    const std::string &type = "1") {
    return "{\"packet_type\":0,\"network_id\":null,\"device_id\":" + id + ",\"hardware_addr\":\"" + mac +
           "\",\"device_type\":" + type +
           ",\"device_vendor\":\"V\",\"device_model\":\"M\",\"dist_code\":77,\"preview_url\":" + preview + "}";
}

std::string iamleader(const std::string &id, const std::string &ip, int port) {
    return "{\"packet_type\":2,\"network_id\":\"N1\",\"device_id\":\"" + id + "\",\"leader_ip\":\"" + ip +
           "\",\"leader_redis_port\":" + std::to_string(port) + ",\"leader_webdis_port\":7379}";
}

class Discovery : public brx_test::PrivateNetnsTest {
protected:
    // The leader: a gateway with device id G1 and network id N1.
    std::unique_ptr<Probe> leader(const std::string &ipv4 = Probe::kProbeIp) {
        return std::make_unique<Probe>(probe_conf("gateway", kOwnMac, ipv4),
                                       std::vector<std::string>{"-n", "N1", "-d", "G1"});
    }

    // A leader answers every WHOISLEADER in order, so once this one is answered, everything sent
    // before it has been handled.
    static bool handled_before(UdpSocket &sentinel) {
        return sentinel.send_to(Probe::kProbeIp, kPort, whois()) && sentinel.recv(5s).has_value();
    }
};

#define ASSERT_PROBE_UP(p) ASSERT_TRUE((p)->error().empty()) << (p)->error()

TEST_F(Discovery, LeaderHandlesDatagramsOfEveryNetworkButNotItsOwn) {
    UdpSocket sock("0.0.0.0", 0), sentinel("0.0.0.0", 0);
    auto probe = leader();
    ASSERT_PROBE_UP(probe);
    ASSERT_TRUE(probe->wait_for("EVENT S_I_AM_LEADER", 5s));

    struct Case {
        const char *what;
        std::string datagram;
        bool answered;
        std::string event;  // the one event it causes, or empty
    } cases[] = {
        {"another network", whois("\"OTHER\""), true, ""},
        {"no network yet", whois(), true, ""},
        {"another device's MAC", "{\"packet_type\":1,\"network_id\":null,\"device_id\":null,\"hardware_addr\":\"0200C0000202\"}",
         true, ""},
        {"no network_id key", "{\"packet_type\":1,\"device_id\":null}", false, ""},
        {"own device id", whois("\"N1\"", "\"G1\""), false, ""},
        {"own MAC", "{\"packet_type\":1,\"network_id\":null,\"device_id\":null,\"hardware_addr\":\"0200C0000201\"}", false,
         ""},
        {"unknown type", "{\"packet_type\":9,\"network_id\":null,\"device_id\":null}", false, ""},
        {"alive", "{\"packet_type\":3,\"network_id\":\"N1\",\"device_id\":\"D7\"}", false,
         "EVENT S_DEVICE_ALIVE id=D7 ip=192.0.2.2 port=0 type=0 vendor=- model=- mac=- cmd=- preview=- code=0 domain=LAN"},
        {"alive without device id", "{\"packet_type\":3,\"network_id\":\"N1\",\"device_id\":null}", false, ""},
        {"test", "{\"packet_type\":4,\"network_id\":null,\"device_id\":null,\"command\":\"blink\"}", false,
         "EVENT S_DEVICE_TEST id=- ip=0.0.0.0 port=0 type=0 vendor=- model=- mac=0200C0000201 cmd=blink preview=- code=0 "
         "domain=LAN"},
        {"test with null command", "{\"packet_type\":4,\"network_id\":null,\"device_id\":null,\"command\":null}", false, ""},
        {"present", present("0200C0000299"), false,
         "EVENT S_DEVICE_FOUND id=- ip=192.0.2.2 port=0 type=1 vendor=V model=M mac=0200C0000299 cmd=- preview=/p.jpg "
         "code=77 domain=LAN"},
        {"present with id, no preview", present("0200C0000298", "\"D9\"", "null", "3"), false,
         "EVENT S_DEVICE_FOUND id=D9 ip=192.0.2.2 port=0 type=3 vendor=V model=M mac=0200C0000298 cmd=- preview=- code=77 "
         "domain=LAN"},
        {"present of an unknown type", present("0200C0000297", "null", "null", "42"), false,
         "EVENT S_DEVICE_FOUND id=- ip=192.0.2.2 port=0 type=-1 vendor=V model=M mac=0200C0000297 cmd=- preview=- code=77 "
         "domain=LAN"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        size_t events = probe->events().size();
        ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, c.datagram));
        ASSERT_TRUE(handled_before(sentinel));
        auto reply = sock.recv(100ms);
        EXPECT_EQ(reply.has_value(), c.answered);
        if (reply) {
            EXPECT_EQ(reply->text, iamleader_reply(Probe::kProbeIp));
        }
        auto ev = probe->events();
        ASSERT_EQ(ev.size(), events + (c.event.empty() ? 0 : 1)) << probe->out();
        if (!c.event.empty()) {
            EXPECT_EQ(ev.back(), c.event);
        }
    }
    EXPECT_EQ(probe->quit(), 0);
}

TEST_F(Discovery, MalformedDatagramsAreDroppedAndTheLeaderKeepsAnswering) {
    UdpSocket sock("0.0.0.0", 0), sentinel("0.0.0.0", 0);
    auto probe = leader();
    ASSERT_PROBE_UP(probe);
    ASSERT_TRUE(probe->wait_for("EVENT S_I_AM_LEADER", 5s));

    const std::string common = "\"packet_type\":2,\"network_id\":\"N9\",\"device_id\":\"L9\"";
    auto leader_with = [&](const std::string &members) { return "{" + common + members + "}"; };
    auto present_with = [](const std::string &members) {
        return "{\"packet_type\":0,\"network_id\":null,\"device_id\":null" + members + "}";
    };
    const std::string good_present_tail =
        ",\"hardware_addr\":\"0200C00002AA\",\"device_type\":1,\"device_vendor\":\"V\",\"device_model\":\"M\"";
    std::string oversized = "{\"packet_type\":1,\"network_id\":null,\"device_id\":null,\"pad\":\"" +
                            std::string(3000, 'x') + "\"}";
    std::string nested = std::string(1020, '[') + std::string(1020, ']');
    std::string junk;
    for (int i = 1; i < 256; i++) junk += (char)i;

    std::vector<std::string> burst = {
        "not json", "{", "[1,2,3]", "42", "\"text\"", "null", "", junk, oversized, nested,
        // common members
        "{\"network_id\":null,\"device_id\":null}",
        "{\"packet_type\":\"1\",\"network_id\":null,\"device_id\":null}",
        "{\"packet_type\":null,\"network_id\":null,\"device_id\":null}",
        "{\"packet_type\":1,\"network_id\":null}",
        "{\"packet_type\":1,\"network_id\":null,\"device_id\":5}",
        "{\"packet_type\":1,\"network_id\":null,\"device_id\":[\"G1\"]}",
        "{\"packet_type\":3,\"network_id\":null,\"device_id\":12}",
        // IAMLEADER: an accepted one would turn the leader into a follower
        leader_with(",\"leader_redis_port\":6400"),
        leader_with(",\"leader_ip\":5,\"leader_redis_port\":6400"),
        leader_with(",\"leader_ip\":\"999.0.0.1\",\"leader_redis_port\":6400"),
        leader_with(",\"leader_ip\":\"192.0.2.9 \",\"leader_redis_port\":6400"),
        leader_with(",\"leader_ip\":\"192.0.2\",\"leader_redis_port\":6400"),
        leader_with(",\"leader_ip\":\"\",\"leader_redis_port\":6400"),
        leader_with(",\"leader_ip\":\"192.0.2.9\""),
        leader_with(",\"leader_ip\":\"192.0.2.9\",\"leader_redis_port\":0"),
        leader_with(",\"leader_ip\":\"192.0.2.9\",\"leader_redis_port\":65536"),
        leader_with(",\"leader_ip\":\"192.0.2.9\",\"leader_redis_port\":-1"),
        leader_with(",\"leader_ip\":\"192.0.2.9\",\"leader_redis_port\":6379.5"),
        leader_with(",\"leader_ip\":\"192.0.2.9\",\"leader_redis_port\":1e10"),
        leader_with(",\"leader_ip\":\"192.0.2.9\",\"leader_redis_port\":\"6379\""),
        leader_with(",\"leader_ip\":\"192.0.2.9\",\"leader_redis_port\":null"),
        // PRESENT: an accepted one would be reported
        present_with(",\"device_type\":1,\"device_vendor\":\"V\",\"device_model\":\"M\",\"dist_code\":1,\"preview_url\":null"),
        present_with(",\"hardware_addr\":7,\"device_type\":1,\"device_vendor\":\"V\",\"device_model\":\"M\",\"dist_code\":1,"
                     "\"preview_url\":null"),
        present_with(",\"hardware_addr\":\"0200C00002AA\",\"device_type\":\"camera\",\"device_vendor\":\"V\","
                     "\"device_model\":\"M\",\"dist_code\":1,\"preview_url\":null"),
        present_with(",\"hardware_addr\":\"0200C00002AA\",\"device_vendor\":\"V\",\"device_model\":\"M\",\"dist_code\":1,"
                     "\"preview_url\":null"),
        present_with(",\"hardware_addr\":\"0200C00002AA\",\"device_type\":1,\"device_vendor\":null,\"device_model\":\"M\","
                     "\"dist_code\":1,\"preview_url\":null"),
        present_with(",\"hardware_addr\":\"0200C00002AA\",\"device_type\":1,\"device_vendor\":\"V\",\"device_model\":[],"
                     "\"dist_code\":1,\"preview_url\":null"),
        present_with(good_present_tail + ",\"preview_url\":null"),
        present_with(good_present_tail + ",\"dist_code\":-1,\"preview_url\":null"),
        present_with(good_present_tail + ",\"dist_code\":1e20,\"preview_url\":null"),
        present_with(good_present_tail + ",\"dist_code\":0.5,\"preview_url\":null"),
        present_with(good_present_tail + ",\"dist_code\":\"5\",\"preview_url\":null"),
        present_with(good_present_tail + ",\"dist_code\":1"),
        present_with(good_present_tail + ",\"dist_code\":1,\"preview_url\":3"),
        // DEVICE_TEST
        "{\"packet_type\":4,\"network_id\":null,\"device_id\":null}",
        "{\"packet_type\":4,\"network_id\":null,\"device_id\":null,\"command\":5}",
        "{\"packet_type\":4,\"network_id\":null,\"device_id\":null,\"command\":{}}",
    };
    for (const std::string &d : burst) ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, d));

    // Still the leader, answering the next question, and nothing above was answered or reported.
    ASSERT_TRUE(handled_before(sentinel)) << probe->out();
    EXPECT_FALSE(sock.recv(200ms));
    EXPECT_EQ(probe->events().size(), 1u) << probe->out();

    // A sound datagram after the burst is still understood.
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, present_with(good_present_tail + ",\"dist_code\":1,\"preview_url\":null")));
    EXPECT_TRUE(probe->wait_for("EVENT S_DEVICE_FOUND id=- ip=192.0.2.2", 5s));
    EXPECT_EQ(probe->quit(), 0) << probe->out();
}

TEST_F(Discovery, MacMapKeepsTheFirstSourceAndIsBounded) {
    UdpSocket a("0.0.0.0", 0), b("0.0.0.0", 0);
    auto probe = leader();
    ASSERT_PROBE_UP(probe);
    ASSERT_TRUE(probe->wait_for("EVENT S_I_AM_LEADER", 5s));

    // Two PRESENTs with one MAC from different sources: the first source is kept.
    ASSERT_TRUE(a.send_to(Probe::kProbeIp, kPort, present("0200C0000301")));
    ASSERT_TRUE(probe->wait_for_count("EVENT S_DEVICE_FOUND", 1, 5s));
    ASSERT_TRUE(b.send_to(Probe::kProbeIp, kPort, present("0200C0000301")));
    ASSERT_TRUE(probe->wait_for_count("EVENT S_DEVICE_FOUND", 2, 5s));
    ASSERT_TRUE(probe->command("iamleader 0200C0000301"));
    auto reply = a.recv(3s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, iamleader_reply(Probe::kProbeIp));
    EXPECT_FALSE(b.recv(200ms));
    // The entry is used up.
    ASSERT_TRUE(probe->command("iamleader 0200C0000301"));
    ASSERT_TRUE(probe->command("test 0200C0000301 reboot"));
    EXPECT_FALSE(a.recv(300ms));

    // A test command leaves the entry in place.
    ASSERT_TRUE(b.send_to(Probe::kProbeIp, kPort, present("0200C0000302")));
    ASSERT_TRUE(probe->wait_for_count("EVENT S_DEVICE_FOUND", 3, 5s));
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(probe->command("test 0200C0000302 reboot"));
        auto t = b.recv(3s);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->text, formatted("{\"packet_type\":4,\"network_id\":\"N1\",\"device_id\":\"G1\",\"command\":\"reboot\"}"));
    }
    ASSERT_TRUE(probe->command("test 0200C0000999 reboot"));
    EXPECT_FALSE(b.recv(200ms));

    // Fill the map (one entry is there) to its 256 entries, then one MAC more.
    size_t found = 3;
    for (int i = 0; i < 256; i++) {
        char mac[13];
        snprintf(mac, sizeof mac, "02AA0000%04X", i);
        ASSERT_TRUE(a.send_to(Probe::kProbeIp, kPort, present(mac)));
        found++;
        if (i % 16 == 15) {
            ASSERT_TRUE(probe->wait_for_count("EVENT S_DEVICE_FOUND", found, 10s));
        }
    }
    ASSERT_TRUE(probe->wait_for_count("EVENT S_DEVICE_FOUND", found, 10s));
    EXPECT_NE(probe->out().find("MAC map full"), std::string::npos);
    // 02AA000000FF came past the bound: reported, but its address was not kept.
    ASSERT_TRUE(probe->command("iamleader 02AA000000FF"));
    EXPECT_FALSE(a.recv(300ms));
    ASSERT_TRUE(probe->command("iamleader 02AA000000FE"));
    EXPECT_TRUE(a.recv(3s));
    // That freed a place.
    ASSERT_TRUE(a.send_to(Probe::kProbeIp, kPort, present("02AA000000FF")));
    ASSERT_TRUE(probe->wait_for_count("EVENT S_DEVICE_FOUND", found + 1, 5s));
    ASSERT_TRUE(probe->command("iamleader 02AA000000FF"));
    EXPECT_TRUE(a.recv(3s));
    EXPECT_EQ(probe->quit(), 0);
}

TEST_F(Discovery, EveryIamLeaderIsAcceptedAndTheLastWins) {
    UdpSocket sock("0.0.0.0", 0), listen("0.0.0.0", kPort, true);
    auto probe = leader();
    ASSERT_PROBE_UP(probe);
    ASSERT_TRUE(probe->wait_for("EVENT S_I_AM_LEADER id=G1 ip=192.0.2.1 port=6400 type=0 vendor=- model=- "
                                "mac=0200C0000201 cmd=- preview=- code=0 domain=LAN",
                                5s))
        << probe->out();

    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, iamleader("L1", "192.0.2.2", 6500)));
    ASSERT_TRUE(probe->wait_for("EVENT S_LEADER_FOUND id=L1 ip=192.0.2.2 port=6500 type=0 vendor=- model=- "
                                "mac=0200C0000201 cmd=- preview=- code=0 domain=LAN",
                                5s))
        << probe->out();
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, iamleader("L2", "192.0.2.3", 6501)));
    ASSERT_TRUE(probe->wait_for("EVENT S_LEADER_FOUND id=L2 ip=192.0.2.3 port=6501", 5s)) << probe->out();

    // Now a follower: it no longer answers, and as a gateway it sends no ALIVE.
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, whois()));
    EXPECT_FALSE(sock.recv(1s));
    EXPECT_FALSE(listen.recv(500ms));
    EXPECT_EQ(probe->quit(), 0);
}

TEST_F(Discovery, UnconfiguredGatewayAnswersOnlyWhileTheWpsKeyExists) {
    brx_test::TempDir dir;
    brx_test::RedisServer redis(dir.file("redis.sock"));
    UdpSocket sock("0.0.0.0", 0);
    Probe probe(probe_conf("gateway", kOwnMac, Probe::kProbeIp), {"-d", "G1", "-r", redis.unix_path()});
    ASSERT_TRUE(probe.error().empty()) << probe.error();
    ASSERT_TRUE(probe.wait_for("I am leader but not configured", 5s));

    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, whois()));
    EXPECT_FALSE(sock.recv(500ms));

    redis.set("gateway:wps", "1");
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, whois()));
    auto reply = sock.recv(3s);
    ASSERT_TRUE(reply) << probe.out();
    EXPECT_EQ(reply->text, iamleader_reply(Probe::kProbeIp, "null", "\"G1\""));
    // It reported itself as found before it answered.
    auto ev = probe.events();
    ASSERT_EQ(ev.size(), 1u) << probe.out();
    EXPECT_EQ(ev[0].rfind("EVENT S_DEVICE_FOUND id=G1 ip=192.0.2.1 port=0 type=0 vendor=TestVendor model=T1 "
                          "mac=0200C0000201 cmd=- preview=- code=",
                          0),
              0u)
        << ev[0];

    redis.command({"DEL", "gateway:wps"});
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, whois()));
    EXPECT_FALSE(sock.recv(500ms));

    // With a network id the next search tick makes it the leader.
    ASSERT_TRUE(probe.command("netid N1"));
    ASSERT_TRUE(probe.wait_for("EVENT S_I_AM_LEADER id=G1", 8s)) << probe.out();
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, whois()));
    reply = sock.recv(3s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, iamleader_reply(Probe::kProbeIp));
    EXPECT_EQ(probe.quit(), 0);
}

TEST_F(Discovery, LeaderWithoutAddressLearnsItFromItsOwnEcho) {
    UdpSocket sock("0.0.0.0", 0);
    auto probe = leader("");
    ASSERT_PROBE_UP(probe);
    ASSERT_TRUE(probe->wait_for("EVENT S_I_AM_LEADER id=G1 ip=0.0.0.0 port=6400", 5s)) << probe->out();

    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, whois()));
    auto reply = sock.recv(3s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, iamleader_reply("0.0.0.0"));

    // A datagram carrying its own device id is its own echo: dropped, but its source is now its address.
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, "{\"packet_type\":1,\"network_id\":\"N1\",\"device_id\":\"G1\"}"));
    EXPECT_FALSE(sock.recv(300ms));
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, whois()));
    reply = sock.recv(3s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, iamleader_reply(Probe::kTestIp));
    EXPECT_EQ(probe->quit(), 0);
}

TEST_F(Discovery, ADatagramWithoutDeviceIdIsDroppedOnlyWhereTheIdIsRead) {
    UdpSocket sock("0.0.0.0", 0);
    // An unregistered camera: no device id of its own, so the own-echo check reads nothing.
    Probe probe(probe_conf("camera", "0200C0000402", Probe::kProbeIp), {});
    ASSERT_TRUE(probe.error().empty()) << probe.error();
    const std::string test = "{\"packet_type\":4,\"network_id\":null,\"command\":\"blink\"}";
    const std::string alive = "{\"packet_type\":3,\"network_id\":\"N1\"}";
    const std::string leader =
        "{\"packet_type\":2,\"network_id\":\"N1\",\"leader_ip\":\"192.0.2.2\",\"leader_redis_port\":6400}";
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, alive));
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, leader));
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, test));
    ASSERT_TRUE(probe.wait_for("EVENT S_DEVICE_TEST id=- ip=0.0.0.0 port=0 type=1", 5s)) << probe.out();
    // The alive and leader datagrams, which read the id, were dropped before it.
    EXPECT_EQ(probe.events().size(), 1u) << probe.out();

    // With an id of its own the device reads the member in every datagram.
    ASSERT_TRUE(probe.command("deviceid D4"));
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort, test));
    ASSERT_TRUE(sock.send_to(Probe::kProbeIp, kPort,
                             "{\"packet_type\":4,\"network_id\":null,\"device_id\":null,\"command\":\"again\"}"));
    ASSERT_TRUE(probe.wait_for("cmd=again", 5s)) << probe.out();
    EXPECT_EQ(probe.events().size(), 2u) << probe.out();
    EXPECT_EQ(probe.quit(), 0) << probe.out();
}

TEST_F(Discovery, StopCancelsPendingPresenceBroadcasts) {
    UdpSocket listen("0.0.0.0", kPort, true);
    Probe probe(probe_conf("camera", "0200C0000401", ""), {});
    ASSERT_TRUE(probe.error().empty()) << probe.error();

    auto first = listen.recv(5s);
    ASSERT_TRUE(first);
    ASSERT_NE(first->text.find("\"packet_type\":\t0"), std::string::npos) << first->text;
    // Restarted with a network id it searches the leader instead; presence of the stopped run must not follow.
    ASSERT_TRUE(probe.command("stop"));
    ASSERT_TRUE(probe.command("netid N1"));
    ASSERT_TRUE(probe.command("start"));
    bool searching = false;
    for (auto &d : listen.collect(1500ms)) {
        bool is_present = d.text.find("\"packet_type\":\t0") != std::string::npos;
        if (d.text.find("\"packet_type\":\t1") != std::string::npos) searching = true;
        EXPECT_FALSE(searching && is_present) << "PRESENT after the restart: " << d.text;
    }
    EXPECT_TRUE(searching);
    EXPECT_EQ(probe.quit(), 0) << probe.out();
}

}  // namespace
