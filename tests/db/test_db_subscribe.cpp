#include <arpa/inet.h>
#include <stdlib.h>

#include <map>

#include "tests/db/db_fixture.h"

using namespace brx_db_test;
using brx_test::RedisServer;

namespace {

/* Every callback of this file records (who, key or channel, value) in one shared journal. */
struct Entry {
    std::string who;
    std::string key;
    bool has_value;
    std::string value;
};
std::vector<Entry> journal;

struct Tag {
    explicit Tag(std::string w) : who(std::move(w)) {}
    std::string who;
    std::function<void()> also; /* runs after the entry is recorded */
};

void record(const char *key, const char *value, const void *arg) {
    auto *tag = static_cast<const Tag *>(arg);
    journal.push_back({tag->who, key ? key : "", value != nullptr, value ? value : ""});
    if (tag->also) tag->also();
}
/* Distinct functions: the duplicate rule compares callbacks. */
void record2(const char *key, const char *value, const void *arg) { record(key, value, arg); }
void record3(const char *key, const char *value, const void *arg) { record(key, value, arg); }
void record_value(const char *value, const void *arg) { record("", value, arg); }

std::vector<std::string> who_got(const std::string &key = "") {
    std::vector<std::string> out;
    for (const auto &e : journal)
        if (key.empty() || e.key == key) out.push_back(e.who);
    return out;
}

class DbSubscribe : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        journal.clear();
    }
    void publish(RedisServer &server, const std::string &channel, const std::string &message) {
        server.command({"PUBLISH", channel, message});
    }
    RedisServer local{dir.file("state"), brx_test::free_tcp_port()};
    RedisServer leader{dir.file("leader"), brx_test::free_tcp_port("127.0.0.2"), "127.0.0.2"};
};

TEST_F(DbSubscribe, FanOutGoesToTheLatestSubscriberThenInListOrder) {
    redis_instance_t *ri = local_instance("state", local);
    Tag a{"A"}, b{"B"}, c{"C"}, p{"P"};
    ASSERT_NE(db_subscribe(ri, record, &a, "ch"), nullptr);
    ASSERT_NE(db_subscribe(ri, record2, &b, "ch"), nullptr);
    ASSERT_NE(db_subscribe(ri, record3, &c, "ch"), nullptr);
    // A pattern of the same text is a feed of its own: it must not get the plain message twice.
    ASSERT_NE(db_psubscribe(ri, record, &p, "ch"), nullptr);
    ASSERT_TRUE(pump([&] { return numsub(local, "ch") == 1 && numpat(local) == 1; }));

    publish(local, "ch", "m1");
    ASSERT_TRUE(pump([&] { return journal.size() == 4; }));
    pump_for(base, 50ms);
    auto plain = who_got();
    plain.erase(std::remove(plain.begin(), plain.end(), "P"), plain.end());
    EXPECT_EQ(plain, (std::vector<std::string>{"C", "A", "B"}));
    auto all = who_got();
    EXPECT_EQ(std::count(all.begin(), all.end(), "P"), 1);
    for (const auto &e : journal) {
        EXPECT_EQ(e.key, "ch");
        EXPECT_EQ(e.value, "m1");
    }
}

TEST_F(DbSubscribe, DuplicateRuleMergesOnlyTheSameChannelKindAndCallback) {
    struct Row {
        const char *name;
        std::function<subscribe_ctx_t *(redis_instance_t *, const Tag *)> first, second;
        bool same;
    };
    auto sub = [](const char *ch, db_key_value_callback_t cb) {
        return [=](redis_instance_t *ri, const Tag *t) { return db_subscribe(ri, cb, t, "%s", ch); };
    };
    const std::vector<Row> rows = {
        {"same channel and callback", sub("ch", record), sub("ch", record), true},
        {"other callback", sub("ch", record), sub("ch", record2), false},
        {"other channel", sub("ch", record), sub("ch2", record), false},
        {"plain and pattern", sub("ch", record),
         [](redis_instance_t *ri, const Tag *t) { return db_psubscribe(ri, record, t, "ch"); }, false},
        {"keyspace watch and plain subscription of its channel",
         [](redis_instance_t *ri, const Tag *t) { return db_subscribe_for_key(ri, record, t, "ch"); },
         sub("__keyspace@0__:ch", record), false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        redis_instance_t *ri = local_instance("state", local);
        Monitor mon(local);
        Tag t1{"first"}, t2{"second"};
        subscribe_ctx_t *h1 = row.first(ri, &t1);
        subscribe_ctx_t *h2 = row.second(ri, &t2);
        ASSERT_NE(h1, nullptr);
        ASSERT_NE(h2, nullptr);
        EXPECT_EQ(h1 == h2, row.same);
        ASSERT_TRUE(pump([&] {
            size_t n = mon.named("SUBSCRIBE").size() + mon.named("PSUBSCRIBE").size();
            return n == (row.same ? 1u : 2u);
        }));
        if (row.same) {
            publish(local, "ch", "m");
            ASSERT_TRUE(pump([&] { return journal.size() == 1; }));
            EXPECT_EQ(journal[0].who, "first") << "the first argument stays";
            // Shared: released through the second caller, it ends for both.
            db_unsubscribe_ex(ri, h2);
            ASSERT_TRUE(pump([&] { return numsub(local, "ch") == 0; }));
            EXPECT_TRUE(log.has("DEBUG", "(state instance) Callback for cmd SUBSCRIBE (channel ch) already subscribed"));
        }
        journal.clear();
        db_delete_redis_instance(ri);
        instances.pop_back();
    }
}

TEST_F(DbSubscribe, ReleaseCompletesFromTheLoopExactlyOnce) {
    redis_instance_t *ri = local_instance("state", local);
    Tag a{"A"}, b{"B"}, done{"unsub"};
    subscribe_ctx_t *ha = db_subscribe(ri, record, &a, "ch");
    subscribe_ctx_t *hb = db_subscribe(ri, record2, &b, "ch");
    db_subscribe_add_unsubscribe_cb(ri, ha, record3, &done);
    ASSERT_TRUE(pump([&] { return numsub(local, "ch") == 1; }));
    Monitor mon(local);

    db_unsubscribe_ex(ri, ha);
    db_unsubscribe_ex(ri, ha);  // already released
    int bogus = 0;
    db_unsubscribe_ex(ri, reinterpret_cast<subscribe_ctx_t *>(&bogus));
    EXPECT_TRUE(journal.empty()) << "never inside the releasing call";
    ASSERT_TRUE(pump([&] { return journal.size() == 1; }));
    EXPECT_EQ(journal[0].who, "unsub");
    EXPECT_EQ(journal[0].key, "ch");
    EXPECT_FALSE(journal[0].has_value);

    // B still holds the channel: no UNSUBSCRIBE went out and B keeps receiving.
    EXPECT_EQ(numsub(local, "ch"), 1);
    publish(local, "ch", "m");
    ASSERT_TRUE(pump([&] { return journal.size() == 2; }));
    EXPECT_EQ(journal[1].who, "B");
    EXPECT_TRUE(mon.named("UNSUBSCRIBE").empty());

    db_unsubscribe(ri, record2, nullptr, "c%s", "h");
    ASSERT_TRUE(pump([&] { return numsub(local, "ch") == 0 && mon.named("UNSUBSCRIBE").size() == 1; }));
    db_unsubscribe(ri, record2, nullptr, "ch");
    EXPECT_TRUE(log.has("INFO", "(state instance) db_unsubscribe - No subscribe context found for channel ch"));
    db_unsubscribe_ex(ri, nullptr);
    EXPECT_TRUE(log.has("INFO", "(state instance) db_unsubscribe_ex - No ctx given"));
    pump_for(base, 50ms);
    EXPECT_EQ(journal.size(), 2u) << "the unsubscribe callback ran once";
    (void)hb;
}

TEST_F(DbSubscribe, ReleasingHandlesInsideTheFanOut) {
    redis_instance_t *ri = local_instance("state", local);
    Tag a{"A"}, b{"B"}, c{"C"}, d{"D"}, ua{"unsub A"}, ub{"unsub B"};
    subscribe_ctx_t *hb = db_subscribe(ri, record2, &b, "ch");
    subscribe_ctx_t *hc = db_subscribe(ri, record3, &c, "ch");
    subscribe_ctx_t *ha = db_subscribe(ri, record, &a, "ch");
    db_subscribe_add_unsubscribe_cb(ri, ha, record, &ua);
    db_subscribe_add_unsubscribe_cb(ri, hb, record, &ub);
    subscribe_ctx_t *hd = nullptr;
    // A runs first (latest subscriber) and ends itself and B, which comes later in this fan-out.
    a.also = [&] {
        db_unsubscribe_ex(ri, ha);
        db_unsubscribe_ex(ri, hb);
    };
    // C subscribes a new handle on the same channel: it must wait for the next message.
    c.also = [&] {
        if (!hd) hd = db_subscribe(ri, [](const char *k, const char *v, const void *arg) { record(k, v, arg); }, &d,
                                   "ch");
    };
    ASSERT_TRUE(pump([&] { return numsub(local, "ch") == 1; }));

    publish(local, "ch", "m1");
    ASSERT_TRUE(pump([&] { return journal.size() >= 4; }));
    pump_for(base, 50ms);
    EXPECT_EQ(who_got(), (std::vector<std::string>{"A", "C", "unsub A", "unsub B"}));

    journal.clear();
    publish(local, "ch", "m2");
    ASSERT_TRUE(pump([&] { return journal.size() == 2; }));
    EXPECT_EQ(who_got(), (std::vector<std::string>{"D", "C"}));
    EXPECT_EQ(numsub(local, "ch"), 1);
    (void)hc;
}

TEST_F(DbSubscribe, ReleaseThenSubscribeAgainAtOnce) {
    // The connection's only channel is released and taken again before Redis confirms.
    redis_instance_t *ri = local_instance("state", local);
    Tag a{"A"}, b{"B"};
    subscribe_ctx_t *ha = db_subscribe(ri, record, &a, "only");
    ASSERT_TRUE(pump([&] { return numsub(local, "only") == 1; }));
    db_unsubscribe_ex(ri, ha);
    ASSERT_NE(db_subscribe(ri, record, &b, "only"), nullptr);
    pump_for(base, 100ms);
    EXPECT_EQ(numsub(local, "only"), 1);
    publish(local, "only", "m");
    ASSERT_TRUE(pump([&] { return journal.size() == 1; }));
    EXPECT_EQ(journal[0].who, "B");
}

TEST_F(DbSubscribe, KeyspaceWatchReportsChangesAndExpiryButNotDeletion) {
    struct Mode {
        const char *name;
        bool remote;
    };
    for (const Mode mode : {Mode{"gateway", false}, Mode{"remote", true}}) {
        SCOPED_TRACE(mode.name);
        journal.clear();
        RedisServer &server = mode.remote ? leader : local;
        redis_instance_t *ri = mode.remote ? remote_instance("state", local, &leader) : local_instance("state", local);
        Tag w{"watch"};
        ASSERT_NE(db_subscribe_for_key(ri, record, &w, "device:%d:state:on", 7), nullptr);
        ASSERT_TRUE(pump([&] { return numsub(server, "__keyspace@0__:device:7:state:on") == 1; }));
        server.set("device:7:state:on", "1");
        ASSERT_TRUE(pump([&] { return journal.size() == 1; }));
        server.command({"DEL", "device:7:state:on"});
        server.set("device:7:state:on", "0");
        ASSERT_TRUE(pump([&] { return journal.size() == 2; }));
        server.command({"PEXPIRE", "device:7:state:on", "50"});
        ASSERT_TRUE(pump([&] { return journal.size() == 3; }));
        ASSERT_EQ(journal.size(), 3u);
        EXPECT_EQ(journal[0].key, "device:7:state:on");
        EXPECT_EQ(journal[0].value, "1");
        EXPECT_EQ(journal[1].value, "0");
        EXPECT_FALSE(journal[2].has_value) << "expiry reports NULL";
        EXPECT_TRUE(log.has("DEBUG", "(state instance) Reply type is \"del\" - do not run get callback (mess "
                                     "__keyspace@0__:device:7:state:on)"));
        db_delete_redis_instance(ri);
        instances.pop_back();
    }
}

TEST_F(DbSubscribe, PatternWatchReportsEachKeyWithItsOwnValue) {
    for (bool remote : {false, true}) {
        SCOPED_TRACE(remote ? "remote" : "gateway");
        journal.clear();
        RedisServer &server = remote ? leader : local;
        redis_instance_t *ri = remote ? remote_instance("state", local, &leader) : local_instance("state", local);
        Tag w{"watch"};
        ASSERT_NE(db_psubscribe_for_key(ri, record, &w, "device:*"), nullptr);
        ASSERT_TRUE(pump([&] { return numpat(server) == 1; }));
        // Both events arrive before the first read is answered.
        server.command({"MSET", "device:1", "a", "device:2", "b"});
        ASSERT_TRUE(pump([&] { return journal.size() == 2; }));
        std::map<std::string, std::string> got;
        for (auto &e : journal) got[e.key] = e.value;
        EXPECT_EQ(got, (std::map<std::string, std::string>{{"device:1", "a"}, {"device:2", "b"}}));
        db_delete_redis_instance(ri);
        instances.pop_back();
    }
}

TEST_F(DbSubscribe, ReleasingAWatchCancelsItsPendingRead) {
    redis_instance_t *ri = remote_instance("state", local, &leader);
    Tag k{"keyspace"}, p{"plain"};
    subscribe_ctx_t *hk = nullptr;
    // The plain handle comes after the keyspace handle in the fan-out and ends it while its read is out.
    p.also = [&] { db_unsubscribe_ex(ri, hk); };
    ASSERT_NE(db_subscribe(ri, record2, &p, "__keyspace@0__:k"), nullptr);
    hk = db_subscribe_for_key(ri, record, &k, "k");
    ASSERT_TRUE(pump([&] { return numsub(leader, "__keyspace@0__:k") == 1; }));
    Monitor mon(leader);
    leader.set("k", "v");
    ASSERT_TRUE(pump([&] { return !mon.named("GET").empty(); }));
    Tag fence{"fence"};
    db_get_async(ri, record_value, &fence, "k");
    ASSERT_TRUE(pump([&] { return !who_got().empty() && who_got().back() == "fence"; }));
    EXPECT_EQ(who_got(), (std::vector<std::string>{"plain", "fence"}));
}

TEST_F(DbSubscribe, GetAndSubscribeWatchesAreIndependent) {
    local.set("script:code", "v0");
    redis_instance_t *ri = local_instance("conf", local);
    Tag one{"one"}, two{"two"};
    db_get_and_subscribe_ctx_t *w1 = db_get_and_subscribe(ri, record_value, &one, "script:%s", "code");
    ASSERT_EQ(journal.size(), 1u) << "the first read runs before the call returns";
    EXPECT_EQ(journal[0].value, "v0");
    db_get_and_subscribe_ctx_t *w2 = db_get_and_subscribe(ri, record_value, &two, "script:code");
    ASSERT_NE(w1, nullptr);
    ASSERT_NE(w2, nullptr);
    ASSERT_TRUE(pump([&] { return numsub(local, "__keyspace@0__:script:code") == 1; }));

    journal.clear();
    local.set("script:code", "v1");
    ASSERT_TRUE(pump([&] { return journal.size() == 2; }));
    EXPECT_EQ(who_got(), (std::vector<std::string>{"two", "one"}));

    db_get_and_subscribe_cleanup(ri, record_value, "script:code");  // the first matching watch: w1
    db_get_and_subscribe_cleanup_ex(ri, w1);                         // already released
    journal.clear();
    local.set("script:code", "v2");
    ASSERT_TRUE(pump([&] { return journal.size() == 1; }));
    pump_for(base, 50ms);
    EXPECT_EQ(who_got(), (std::vector<std::string>{"two"}));
    EXPECT_EQ(journal[0].value, "v2");
    EXPECT_EQ(numsub(local, "__keyspace@0__:script:code"), 1);

    db_get_and_subscribe_cleanup_ex(ri, w2);
    ASSERT_TRUE(pump([&] { return numsub(local, "__keyspace@0__:script:code") == 0; }));
    db_get_and_subscribe_cleanup(ri, record_value, "script:code");
    EXPECT_TRUE(log.has("WARN", "(conf instance) No ctx to unsubscribe script:code"));
    db_get_and_subscribe_cleanup_ex(ri, nullptr);
    EXPECT_TRUE(log.has("INFO", "(conf instance) db_get_and_subscribe_cleanup_ex - arg is null"));

    journal.clear();
    Tag absent{"absent"};
    db_get_and_subscribe_ctx_t *w3 = db_get_and_subscribe(ri, record_value, &absent, "missing");
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_FALSE(journal[0].has_value);
    db_get_and_subscribe_cleanup_ex(ri, w3);
}

TEST_F(DbSubscribe, RemoteWatchReadsLaterAndItsReleaseCancelsTheFirstRead) {
    leader.set("rule", "r0");
    redis_instance_t *ri = remote_instance("state", local, &leader);
    Tag kept{"kept"}, dropped{"dropped"}, fence{"fence"};
    db_get_and_subscribe_ctx_t *w = db_get_and_subscribe(ri, record_value, &kept, "rule");
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(journal.empty());
    db_get_and_subscribe_ctx_t *gone = db_get_and_subscribe(ri, record_value, &dropped, "rule");
    db_get_and_subscribe_cleanup_ex(ri, gone);
    db_get_async(ri, record_value, &fence, "rule");
    ASSERT_TRUE(pump([&] { return journal.size() == 2; }));
    pump_for(base, 50ms);
    EXPECT_EQ(who_got(), (std::vector<std::string>{"kept", "fence"}));
    EXPECT_EQ(journal[0].value, "r0");

    ASSERT_TRUE(pump([&] { return numsub(leader, "__keyspace@0__:rule") == 1; }));
    leader.set("rule", "r1");
    ASSERT_TRUE(pump([&] { return journal.size() == 3; }));
    EXPECT_EQ(journal[2].who, "kept");
    EXPECT_EQ(journal[2].value, "r1");
}

TEST_F(DbSubscribe, ReleaseCompletesWhenTheConnectionIsGone) {
    redis_instance_t *ri = remote_instance("state", local, &leader);
    Tag a{"A"}, b{"B"}, ua{"unsub A"}, ub{"unsub B"};
    subscribe_ctx_t *ha = db_subscribe(ri, record, &a, "x");
    subscribe_ctx_t *hb = db_subscribe(ri, record, &b, "y");
    db_subscribe_add_unsubscribe_cb(ri, ha, record2, &ua);
    db_subscribe_add_unsubscribe_cb(ri, hb, record2, &ub);
    ASSERT_TRUE(pump([&] { return numsub(leader, "x") == 1 && numsub(leader, "y") == 1; }));

    // The UNSUBSCRIBE of A is still queued when the connection dies.
    db_unsubscribe_ex(ri, ha);
    kill_clients(leader, "pubsub");
    ASSERT_TRUE(pump([&] { return journal.size() == 1; }));
    EXPECT_EQ(journal[0].who, "unsub A");

    // B is released while there is no connection at all.
    ASSERT_TRUE(pump([&] { return log.has("INFO", "(state instance) remote subscribe async context disconnected "); }));
    db_unsubscribe_ex(ri, hb);
    ASSERT_TRUE(pump([&] { return journal.size() == 2; }));
    EXPECT_EQ(journal[1].who, "unsub B");
    pump_for(base, 50ms);
    EXPECT_EQ(journal.size(), 2u);
    EXPECT_TRUE(log.has("WARN", "(state instance) redis disconnected with error: Server closed the connection - "
                                "schedule reconnect"));
}

// ---- delivery looks its handles up by channel and by pattern text ----

TEST_F(DbSubscribe, AMessageReachesTheHandlesOfItsChannelAndOfEveryMatchingPatternOnce) {
    redis_instance_t *ri = local_instance("state", local);
    Tag a{"A"}, b{"B"}, p{"P"}, q{"Q"}, other{"other"};
    ASSERT_NE(db_subscribe(ri, record, &a, "dev:1"), nullptr);
    ASSERT_NE(db_psubscribe(ri, record, &p, "dev:*"), nullptr);
    ASSERT_NE(db_subscribe(ri, record2, &b, "dev:1"), nullptr);
    ASSERT_NE(db_psubscribe(ri, record2, &q, "d*"), nullptr);
    ASSERT_NE(db_subscribe(ri, record, &other, "dev:2"), nullptr);
    ASSERT_TRUE(pump([&] { return numsub(local, "dev:1") == 1 && numpat(local) == 2; }));

    publish(local, "dev:1", "m");
    ASSERT_TRUE(pump([&] { return journal.size() == 4; }));
    pump_for(base, 50ms);
    auto got = who_got("dev:1");
    ASSERT_EQ(got.size(), 4u);
    std::vector<std::string> plain;
    for (const auto &w : got)
        if (w == "A" || w == "B") plain.push_back(w);
    EXPECT_EQ(plain, (std::vector<std::string>{"B", "A"})) << "the latest subscriber first, then in order";
    EXPECT_EQ(std::count(got.begin(), got.end(), "P"), 1);
    EXPECT_EQ(std::count(got.begin(), got.end(), "Q"), 1);
    EXPECT_TRUE(who_got("dev:2").empty());
}

TEST_F(DbSubscribe, UnsubscribingByTextEndsTheEarliestHandleOfEitherKind) {
    redis_instance_t *ri = local_instance("state", local);
    Tag p{"P"}, a{"A"};
    ASSERT_NE(db_psubscribe(ri, record, &p, "x"), nullptr);
    ASSERT_NE(db_subscribe(ri, record, &a, "x"), nullptr);
    ASSERT_TRUE(pump([&] { return numsub(local, "x") == 1 && numpat(local) == 1; }));

    db_unsubscribe(ri, record, nullptr, "x");
    ASSERT_TRUE(pump([&] { return numpat(local) == 0; })) << "the pattern was made first";
    EXPECT_EQ(numsub(local, "x"), 1);
    db_unsubscribe(ri, record, nullptr, "x");
    ASSERT_TRUE(pump([&] { return numsub(local, "x") == 0; }));
    db_unsubscribe(ri, record, nullptr, "x");
    EXPECT_TRUE(log.has("INFO", "(state instance) db_unsubscribe - No subscribe context found for channel x"));
}

TEST_F(DbSubscribe, HandlesOfOneChannelFollowTheLeaderAndKeepTheirOrder) {
    RedisServer leader2(dir.file("leader2"), brx_test::free_tcp_port("127.0.0.3"), "127.0.0.3");
    redis_instance_t *ri = remote_instance("state", local, &leader);
    Tag a{"A"}, b{"B"}, p{"P"}, ua{"unsub A"};
    subscribe_ctx_t *ha = db_subscribe(ri, record, &a, "ch");
    subscribe_ctx_t *hb = db_subscribe(ri, record2, &b, "ch");
    ASSERT_NE(db_psubscribe(ri, record, &p, "c*"), nullptr);
    ASSERT_NE(ha, nullptr);
    ASSERT_NE(hb, nullptr);
    db_subscribe_add_unsubscribe_cb(ri, ha, record3, &ua);
    ASSERT_TRUE(pump([&] { return numsub(leader, "ch") == 1 && numpat(leader) == 1; }));

    db_set_master(ri, inet_addr("127.0.0.3"), leader2.port());
    ASSERT_TRUE(pump([&] { return numsub(leader2, "ch") == 1 && numpat(leader2) == 1; }));
    publish(leader2, "ch", "m1");
    ASSERT_TRUE(pump([&] { return journal.size() == 3; }));
    pump_for(base, 50ms);
    auto got = who_got();
    got.erase(std::remove(got.begin(), got.end(), "P"), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(journal.size(), 3u) << "one delivery per handle, none left on the old leader";

    // Releasing one of the two keeps the channel for the other; the last one ends it.
    journal.clear();
    db_unsubscribe_ex(ri, ha);
    ASSERT_TRUE(pump([&] { return journal.size() == 1; }));
    EXPECT_EQ(journal[0].who, "unsub A");
    EXPECT_EQ(numsub(leader2, "ch"), 1);
    journal.clear();
    publish(leader2, "ch", "m2");
    ASSERT_TRUE(pump([&] { return journal.size() == 2; }));
    pump_for(base, 50ms);
    EXPECT_EQ(who_got(), (std::vector<std::string>{"B", "P"}));
    db_unsubscribe_ex(ri, hb);
    ASSERT_TRUE(pump([&] { return numsub(leader2, "ch") == 0; }));
}

TEST_F(DbSubscribe, UnsubscribeAllEndsHandlesAndWatches) {
    redis_instance_t *ri = local_instance("state", local);
    Tag a{"A"}, w{"W"}, u{"unsub"};
    subscribe_ctx_t *h = db_subscribe(ri, record, &a, "ch");
    db_subscribe_add_unsubscribe_cb(ri, h, record2, &u);
    db_get_and_subscribe(ri, record_value, &w, "k");
    journal.clear();
    ASSERT_TRUE(pump([&] { return numsub(local, "ch") == 1 && numsub(local, "__keyspace@0__:k") == 1; }));
    db_unsubscribe_all(ri);
    ASSERT_TRUE(pump([&] { return numsub(local, "ch") == 0 && numsub(local, "__keyspace@0__:k") == 0; }));
    pump_for(base, 20ms);
    EXPECT_EQ(who_got(), (std::vector<std::string>{"unsub"}));
}

}  // namespace
