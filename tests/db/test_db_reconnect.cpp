#include <arpa/inet.h>

#include "tests/db/db_fixture.h"

using namespace brx_db_test;
using brx_test::RedisServer;

namespace {


class DbReconnect : public DbTest {
protected:
    RedisServer local{dir.file("state")};
    RedisServer leader{dir.file("leader"), brx_test::free_tcp_port("127.0.0.2"), "127.0.0.2"};
};

/* The reconnect timer ticks every 15 seconds: these tests take that long in real time. */

TEST_F(DbReconnect, ErrorDisconnectSubscribesEveryHandleAgain) {
    redis_instance_t *ri = remote_instance("state", local, &leader);
    ASSERT_NE(db_subscribe(ri, journal_kv, "A", "news"), nullptr);
    ASSERT_NE(db_subscribe(ri, journal_kv2, "B", "news"), nullptr);
    ASSERT_NE(db_psubscribe(ri, journal_kv, "P", "dev:*"), nullptr);
    ASSERT_TRUE(pump([&] { return numsub(leader, "news") == 1 && numpat(leader) == 1; }));

    kill_clients(leader, "pubsub");
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(pump([&] { return numsub(leader, "news") == 1 && numpat(leader) == 1; }, 25s));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 14s);

    leader.command({"PUBLISH", "news", "n"});
    leader.command({"PUBLISH", "dev:1", "d"});
    ASSERT_TRUE(pump([&] { return journal_lines.size() == 3; }));
    pump_for(base, 50ms);
    EXPECT_EQ(journal_lines, (std::vector<std::string>{"B:news=n", "A:news=n", "P:dev:1=d"}));
    EXPECT_TRUE(log.has("WARN", "(state instance) redis disconnected with error: Server closed the connection - "
                                "schedule reconnect"));
    EXPECT_TRUE(log.has("INFO", "(state instance) Redis has disconnected - schedule subscribe reconnection"));
    EXPECT_TRUE(log.has("INFO", "(state instance) reconnect_timer_callback - try to connect_async_host_subscribe "));
}

TEST_F(DbReconnect, SubscriptionMadeWhileTheLeaderIsDownComesAlive) {
    leader.stop();
    redis_instance_t *ri = remote_instance("state", local, &leader);
    ASSERT_NE(db_subscribe(ri, journal_kv, "A", "news"), nullptr) << "the connect is still under way";
    ASSERT_TRUE(pump([&] {
        return log.has("INFO", "(state instance) remote subscribe async context failed to connect: Connection refused");
    }));
    EXPECT_TRUE(log.has("INFO", "(state instance) Redis has disconnected - schedule subscribe reconnection"));
    leader.start();
    ASSERT_TRUE(pump([&] { return numsub(leader, "news") == 1; }, 25s));
    leader.command({"PUBLISH", "news", "n"});
    ASSERT_TRUE(pump([&] { return journal_lines.size() == 1; }));
    EXPECT_EQ(journal_lines[0], "A:news=n");
}

}  // namespace
