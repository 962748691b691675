#include <arpa/inet.h>
#include <hiredis/hiredis.h>
#include <stdlib.h>

#include <regex>

#include "src/db_local.h"
#include "src/device_cfg.h"
#include "tests/db/db_fixture.h"

using namespace brx_db_test;
using brx_test::RedisServer;

namespace {


size_t count_matching(const std::vector<std::string> &lines, const std::string &needle) {
    size_t n = 0;
    for (const auto &l : lines) n += l.find(needle) != std::string::npos;
    return n;
}

std::vector<std::string> client_ids(RedisServer &server) {
    std::vector<std::string> ids;
    for (const auto &l : clients(server)) ids.push_back(l.substr(0, l.find(' ')));
    return ids;
}

/* CLIENT KILL on a connection of its own (safe inside a forked child). */
void fresh_kill(const RedisServer &server, const char *type) {
    redisContext *c = redisConnectUnix(server.unix_path().c_str());
    if (c && !c->err) freeReplyObject(redisCommand(c, "CLIENT KILL TYPE %s", type));
    if (c) redisFree(c);
}

class DbConnections : public DbTest {
protected:
    RedisServer local{dir.file("state"), brx_test::free_tcp_port()};
    RedisServer leader{dir.file("leader"), brx_test::free_tcp_port("127.0.0.2"), "127.0.0.2"};
};

// A gateway's asynchronous connection made anew while descriptors have run out: that command fails,
// the next one connects.
TEST_F(DbConnections, ALocalConnectionWithoutADescriptorFailsOnlyItsCommand) {
    redis_instance_t *ri = local_instance("state", local);
    brx_test::Subscriber sub(local, {"news"});
    db_publish(ri, "news", "one");
    ASSERT_TRUE(pump([&] { return sub.count("news") == 1; }));
    kill_clients(local, "normal");
    ASSERT_TRUE(pump([&] { return log.has("INFO", "(state instance) remote async context disconnected"); }));
    int rc;
    {
        brx_test::DescriptorSqueeze squeeze(0);
        rc = db_publish(ri, "news", "lost");
    }
    EXPECT_NE(rc, 0);
    pump_for(base, 200ms);
    db_publish(ri, "news", "two");
    ASSERT_TRUE(pump([&] { return sub.count("news") == 2; })) << log.text();
    EXPECT_EQ(sub.messages().back().payload, "two");
}

TEST_F(DbConnections, MasterChangeMovesCommandsAndSubscriptions) {
    RedisServer leader2(dir.file("leader2"), brx_test::free_tcp_port("127.0.0.3"), "127.0.0.3");
    redis_instance_t *ri = remote_instance("state", local, &leader);
    ASSERT_NE(db_subscribe(ri, journal_kv, "news", "news"), nullptr);
    ASSERT_NE(db_get_and_subscribe(ri, journal_value, "cfg", "cfg"), nullptr);
    db_set(ri, "a", "1");
    ASSERT_TRUE(pump([&] {
        return leader.get("a") == "1" && numsub(leader, "news") == 1 && numsub(leader, "__keyspace@0__:cfg") == 1;
    }));
    EXPECT_EQ(clients(leader).size(), 2u);

    uint32_t ip2 = inet_addr("127.0.0.3");
    EXPECT_EQ(db_set_master(ri, ip2, leader2.port()), 0);
    ASSERT_TRUE(pump([&] {
        return numsub(leader2, "news") == 1 && numsub(leader2, "__keyspace@0__:cfg") == 1 && clients(leader).empty();
    }));
    db_set(ri, "b", "2");
    ASSERT_TRUE(pump([&] { return leader2.get("b") == "2"; }));
    EXPECT_FALSE(leader.get("b"));

    journal_lines.clear();
    leader2.command({"PUBLISH", "news", "hello"});
    leader2.set("cfg", "c1");
    ASSERT_TRUE(pump([&] { return journal_lines.size() == 2; }));
    EXPECT_EQ(journal_lines, (std::vector<std::string>{"news:news=hello", "cfg:=c1"}));

    char *stored = nullptr;
    ASSERT_EQ(config_get_local("redisip", &stored), 0);
    ASSERT_NE(stored, nullptr);
    EXPECT_STREQ(stored, "127.0.0.3");
    free(stored);
    EXPECT_TRUE(log.has("DEBUG", "(state instance) db_set_master ip " + std::to_string(ip2) + ", port " +
                                     std::to_string(leader2.port())));

    // The same leader announced again keeps the connections.
    auto before = client_ids(leader2);
    db_set_master(ri, ip2, leader2.port());
    db_set(ri, "c", "3");
    ASSERT_TRUE(pump([&] { return leader2.get("c") == "3"; }));
    EXPECT_EQ(client_ids(leader2), before);
}

TEST_F(DbConnections, RemoteWithoutMasterUsesItsOwnPortOnLoopback) {
    redis_instance_t *ri = remote_instance("state", local, nullptr);
    db_set(ri, "k", "v");
    ASSERT_TRUE(pump([&] { return local.get("k") == "v"; }));
    ASSERT_NE(db_subscribe(ri, journal_kv, "ch", "ch"), nullptr);
    ASSERT_TRUE(pump([&] { return numsub(local, "ch") == 1; }));
    EXPECT_EQ(count_matching(clients(local), "addr=127.0.0.1:"), 2u);
    EXPECT_EQ(log.count("INFO", "(state instance) connect_async_host connecting to 127.0.0.1:" +
                                    std::to_string(local.port())),
              2u);
}

TEST_F(DbConnections, UsePortMovesOnlyTheBlockingConnectionToTcp) {
    cfg_set_use_port(1);
    redis_instance_t *ri = local_instance("state", local);
    local.set("k", "v");
    char *v = db_get_sync(ri, "k");
    ASSERT_NE(v, nullptr);
    free(v);
    std::string got;
    db_get_async(ri, [](const char *value, const void *arg) { *static_cast<std::string *>(const_cast<void *>(arg)) = value; },
                 &got, "k");
    ASSERT_NE(db_subscribe(ri, journal_kv, "ch", "ch"), nullptr);
    ASSERT_TRUE(pump([&] { return got == "v" && numsub(local, "ch") == 1; }));
    auto list = clients(local);
    EXPECT_EQ(count_matching(list, "addr=127.0.0.1:"), 1u);
    EXPECT_EQ(count_matching(list, "addr=" + local.unix_path()), 2u);
    EXPECT_TRUE(log.has("INFO", "(state instance) connect_ip Connecting to 127.0.0.1:" + std::to_string(local.port())));
    cfg_set_use_port(0);
}

TEST_F(DbConnections, BlockingConnectionIsReplacedAfterATransportError) {
    redis_instance_t *ri = local_instance("state", local);
    local.set("k", "v");
    char *v = db_get_sync(ri, "k");
    ASSERT_NE(v, nullptr);
    free(v);

    kill_clients(local, "normal");
    EXPECT_EQ(db_get_sync(ri, "k"), nullptr) << "the command that meets the broken connection fails";
    EXPECT_NE(log.text().find("ERROR db - Redis command failed - error "), std::string::npos);
    v = db_get_sync(ri, "k");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "v");
    free(v);

    // A local Redis that was reached once and then went away fails commands without ending the process.
    local.stop();
    EXPECT_EQ(db_get_sync(ri, "k"), nullptr);
    EXPECT_EQ(db_set(ri, "k", "x"), -1);
    local.start();
    local.set("k", "back");
    v = db_get_sync(ri, "k");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "back");
    free(v);
}

TEST_F(DbConnections, ProcessEndsWithStatus2WhenTheLocalRedisFails) {
    GTEST_FLAG_SET(death_test_style, "fast");
    // The longest path hiredis can use (it leaves the last byte of the address unset), and a longer
    // one that would be cut near it.
    std::string fits = dir.path() + "/";
    fits += std::string(106 - fits.size(), 'p');
    RedisServer cut_target(fits);
    std::string too_long = fits + "_longer";
    std::string missing = dir.file("missing.sock");

    struct Row {
        const char *name;
        std::string path;
        std::function<void(redis_instance_t *)> call;
    };
    const std::vector<Row> rows = {
        {"blocking connect refused", missing, [](redis_instance_t *ri) { free(db_get_sync(ri, "k")); }},
        {"blocking path too long", too_long, [](redis_instance_t *ri) { db_set(ri, "k", "v"); }},
        {"asynchronous connect refused", missing,
         [](redis_instance_t *ri) { db_get_async(ri, nullptr, nullptr, "k"); }},
        {"asynchronous path too long", too_long, [](redis_instance_t *ri) { db_publish(ri, "c", "m"); }},
        {"subscription connect refused", missing,
         [](redis_instance_t *ri) { db_subscribe(ri, journal_kv, "x", "ch"); }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EXIT(
            {
                redis_instance_t *ri = db_create_redis_instance("state");
                db_set_is_local(ri, 1);
                db_set_unix_path(ri, row.path.c_str());
                db_set_event_base(ri, base);
                row.call(ri);
                pump_for(base, 500ms);
                exit(0);
            },
            ::testing::ExitedWithCode(2), "");
    }
    EXPECT_EQ(numsub(cut_target, "ch"), 0);
    EXPECT_TRUE(clients(cut_target).empty()) << "nothing reached the server at the cut path";
}

TEST_F(DbConnections, LosingTheLocalSubscriptionConnectionEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            redis_instance_t *ri = local_instance("state", local);
            db_subscribe(ri, journal_kv, "x", "ch");
            pump_for(base, 200ms);
            fresh_kill(local, "pubsub");
            pump_for(base, 5000ms);
            exit(0);
        },
        ::testing::ExitedWithCode(2), "");
    EXPECT_TRUE(log.has("INFO", "(state instance) local subscribe async context disconnected"));
}

}  // namespace
