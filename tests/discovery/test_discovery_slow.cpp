// The timed behaviour of discovery: silence of the leader, presence cycles, the alive loop.
// Timing tolerances are generous; these tests take 12 to 25 seconds each.

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/discovery/lan_support.h"

using brx_test::Datagram;
using brx_test::formatted;
using brx_test::Probe;
using brx_test::probe_conf;
using brx_test::UdpSocket;
using brx_test::whois;
using namespace std::chrono_literals;

namespace {

const uint16_t kPort = 4002;

double seconds_between(const Datagram &a, const Datagram &b) {
    return std::chrono::duration<double>(b.at - a.at).count();
}

int packet_type_of(const Datagram &d) {
    cJSON *j = cJSON_Parse(d.text.c_str());
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(j, "packet_type");
    int type = cJSON_IsNumber(t) ? t->valueint : -1;
    cJSON_Delete(j);
    return type;
}

/* Datagrams that came from the probe. */
std::vector<Datagram> from_probe(const std::vector<Datagram> &all) {
    std::vector<Datagram> r;
    for (const auto &d : all)
        if (d.src_ip == Probe::kProbeIp) r.push_back(d);
    return r;
}

class DiscoveryTimed : public brx_test::PrivateNetnsTest {};

TEST_F(DiscoveryTimed, LeaderAnswersEachQuestionOnceAndSendsNothingUnasked) {
    UdpSocket listen("0.0.0.0", kPort, true, true), asker("0.0.0.0", 0);
    Probe probe(probe_conf("gateway", "0200C0000201", Probe::kProbeIp), {"-n", "N1", "-d", "G1"});
    ASSERT_TRUE(probe.error().empty()) << probe.error();
    ASSERT_TRUE(probe.wait_for("EVENT S_I_AM_LEADER", 5s));
    const std::string expected =
        formatted("{\"packet_type\":2,\"network_id\":\"N1\",\"device_id\":\"G1\",\"leader_ip\":\"192.0.2.1\","
                  "\"leader_redis_port\":6400,\"leader_webdis_port\":7379}");

    // Asked the way devices ask, by broadcast from port 4002: answered on port 4002, from another port.
    ASSERT_TRUE(listen.send_to("255.255.255.255", kPort, whois("\"N1\"", "\"D5\"")));
    auto answers = from_probe(listen.collect(1s));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].text, expected);
    EXPECT_NE(answers[0].src_port, kPort);

    // Asked from an ephemeral port: exactly one answer there, then silence.
    ASSERT_TRUE(asker.send_to(Probe::kProbeIp, kPort, whois()));
    auto got = asker.collect(12s);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, expected);
    EXPECT_EQ(got[0].src_ip, Probe::kProbeIp);
    EXPECT_TRUE(from_probe(listen.collect(100ms)).empty());
    EXPECT_EQ(probe.quit(), 0);
}

TEST_F(DiscoveryTimed, DeviceWithoutNetworkIdAnnouncesItselfThreeTimesEveryTenSeconds) {
    UdpSocket listen("0.0.0.0", kPort, true);
    Probe probe(probe_conf("camera", "0200C0000501", "", "device.preview_url=/snap.jpg\n"), {});
    ASSERT_TRUE(probe.error().empty()) << probe.error();

    auto got = from_probe(listen.collect(21500ms));
    ASSERT_EQ(got.size(), 9u) << probe.out();
    cJSON *first = cJSON_Parse(got[0].text.c_str());
    const cJSON *code = cJSON_GetObjectItemCaseSensitive(first, "dist_code");
    ASSERT_TRUE(cJSON_IsNumber(code)) << got[0].text;
    const std::string expected = formatted(
        "{\"packet_type\":0,\"network_id\":null,\"device_id\":null,\"hardware_addr\":\"0200C0000501\","
        "\"device_type\":1,\"device_vendor\":\"TestVendor\",\"device_model\":\"T1\",\"dist_code\":" +
        std::to_string((unsigned long)code->valuedouble) + ",\"preview_url\":\"/snap.jpg\"}");
    cJSON_Delete(first);
    for (size_t i = 0; i < got.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].text, expected);
        EXPECT_EQ(got[i].src_port, kPort);  // broadcast from the bound socket
        // Three broadcasts close together (100 ms apart when the machine is idle), every ten seconds.
        if (i % 3 != 0) {
            EXPECT_LT(seconds_between(got[i - i % 3], got[i]), 1.0);
        } else if (i > 0) {
            double cycle = seconds_between(got[i - 3], got[i]);
            EXPECT_GT(cycle, 8.5);
            EXPECT_LT(cycle, 11.5);
        }
    }
    // Its own broadcasts came back to it and were dropped by its MAC.
    EXPECT_TRUE(probe.events().empty()) << probe.out();
    EXPECT_EQ(probe.quit(), 0);
}

struct FollowerCase {
    const char *name;
    bool net_id_at_start;       // searches the leader by WHOISLEADER, else announces itself by PRESENT
    const char *announced_ip;   // the leader's "leader_ip"
};

void PrintTo(const FollowerCase &c, std::ostream *os) { *os << c.name; }

class Follower : public DiscoveryTimed, public ::testing::WithParamInterface<FollowerCase> {};

TEST_P(Follower, StopsSearchingReportsTheLeaderAndSendsAliveEveryFiveSeconds) {
    const FollowerCase &c = GetParam();
    UdpSocket listen("0.0.0.0", kPort, true), leader("0.0.0.0", 0);
    std::vector<std::string> args = {"-d", "D1"};
    if (c.net_id_at_start) args.insert(args.end(), {"-n", "N1"});
    Probe probe(probe_conf("camera", "0200C0000601", Probe::kProbeIp), args);
    ASSERT_TRUE(probe.error().empty()) << probe.error();

    auto first = listen.recv(7s);
    ASSERT_TRUE(first);
    EXPECT_EQ(packet_type_of(*first), c.net_id_at_start ? 1 : 0) << first->text;
    EXPECT_EQ(first->src_port, kPort);

    ASSERT_TRUE(leader.send_to(first->src_ip, first->src_port,
                               std::string("{\"packet_type\":2,\"network_id\":\"N1\",\"device_id\":\"L1\",\"leader_ip\":\"") +
                                   c.announced_ip + "\",\"leader_redis_port\":6500,\"leader_webdis_port\":7379}"));
    auto answered = std::chrono::steady_clock::now();
    ASSERT_TRUE(probe.wait_for(std::string("EVENT S_LEADER_FOUND id=L1 ip=") + c.announced_ip +
                                   " port=6500 type=1 vendor=- model=- mac=0200C0000601 cmd=- preview=- code=0 domain=LAN",
                               5s))
        << probe.out();
    // As the engine does once it has read the network id from the leader.
    if (!c.net_id_at_start) {
        ASSERT_TRUE(probe.command("netid N1"));
    }

    const std::string alive = formatted("{\"packet_type\":3,\"network_id\":\"N1\",\"device_id\":\"D1\"}");
    std::vector<Datagram> alives;
    for (const auto &d : from_probe(listen.collect(11500ms))) {
        int type = packet_type_of(d);
        // The rest of a presence burst that was under way may still come.
        if (type == 0 && d.at - answered < 500ms) continue;
        ASSERT_EQ(type, 3) << "searching after the leader answered: " << d.text;
        EXPECT_EQ(d.text, alive);
        // Unicast from the unbound socket, or a broadcast while the leader's address is unknown.
        if (std::string(c.announced_ip) == "0.0.0.0")
            EXPECT_EQ(d.src_port, kPort);
        else
            EXPECT_NE(d.src_port, kPort);
        if (!alives.empty()) {
            double gap = seconds_between(alives.back(), d);
            EXPECT_GT(gap, 4.0);
            EXPECT_LT(gap, 6.5);
        }
        alives.push_back(d);
    }
    EXPECT_GE(alives.size(), 2u) << probe.out();

    // Without network id and device id the next alive tick falls back to presence.
    ASSERT_TRUE(probe.command("netid -"));
    ASSERT_TRUE(probe.command("deviceid -"));
    bool present = false;
    for (const auto &d : from_probe(listen.collect(6500ms)))
        if (packet_type_of(d) == 0) present = true;
    EXPECT_TRUE(present) << probe.out();
    EXPECT_EQ(probe.quit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Discovery, Follower,
                         ::testing::Values(FollowerCase{"WithNetworkId", true, "192.0.2.2"},
                                           FollowerCase{"WithoutNetworkId", false, "192.0.2.2"},
                                           FollowerCase{"LeaderWithoutAddress", true, "0.0.0.0"}),
                         [](const ::testing::TestParamInfo<FollowerCase> &i) { return std::string(i.param.name); });

}  // namespace
