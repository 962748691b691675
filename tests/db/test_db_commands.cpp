#include <arpa/inet.h>
#include <stdlib.h>

#include <algorithm>
#include <set>

#include "common/glib-mini/glib.h"
#include "src/device_cfg.h"
#include "tests/db/db_fixture.h"

using namespace brx_db_test;
using brx_test::RedisServer;

namespace {

void value_cb(const char *value, const void *arg) {
    static_cast<Calls *>(const_cast<void *>(arg))->add(nullptr, value, arg);
}

struct KeysSeen {
    int calls = 0;
    bool null_list = false;
    std::set<std::string> keys;
};

void keys_cb(const void *data, const void *arg) {
    auto *seen = static_cast<KeysSeen *>(const_cast<void *>(arg));
    seen->calls++;
    seen->null_list = data == nullptr;
    for (auto *l = static_cast<const GSList *>(data); l; l = l->next) seen->keys.insert(static_cast<const char *>(l->data));
}

struct KeyCase {
    const char *name;
    std::string key;    /* as passed through "%s" */
    std::string value;
    std::string stored; /* the key Redis receives */
};

const std::vector<KeyCase> &key_cases() {
    static const std::vector<KeyCase> cases = {
        {"plain", "device:1:meta:class", "camera", "device:1:meta:class"},
        {"value with spaces", "device:1:state:label", "living  room lamp", "device:1:state:label"},
        {"percent signs in the key", "odd:%s:%d:100%", "v", "odd:%s:%d:100%"},
        {"key cut to 511 bytes", std::string(600, 'k'), "long", std::string(511, 'k')},
    };
    return cases;
}

class DbCommands : public DbTest {
protected:
    RedisServer local{dir.file("state"), brx_test::free_tcp_port()};
    RedisServer leader{dir.file("leader"), brx_test::free_tcp_port("127.0.0.2"), "127.0.0.2"};
};

/*
 * One table, two modes: on the gateway every result is there when the call returns; on a follower
 * the leader answers, and only once the loop runs.
 */
TEST_F(DbCommands, SetGetDelKeysPerMode) {
    for (bool remote : {false, true}) {
        SCOPED_TRACE(remote ? "remote" : "gateway");
        redis_instance_t *ri = remote ? remote_instance("state", local, &leader) : local_instance("state", local);
        RedisServer &server = remote ? leader : local;
        auto settles = [&](const std::function<bool()> &done) {
            if (!remote) return done();
            return !done() && pump(done);
        };
        for (const auto &c : key_cases()) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(db_set_fmt(ri, c.value.c_str(), "%s", c.key.c_str()), 0);
            EXPECT_TRUE(settles([&] { return server.get(c.stored) == c.value; }));

            Calls got;
            get_cb_context_t *pending = db_get(ri, value_cb, &got, "%s", c.key.c_str());
            EXPECT_EQ(pending != nullptr, remote);
            ASSERT_TRUE(settles([&] { return got.size() == 1; }));
            EXPECT_EQ(got.calls[0].value, c.value);

            KeysSeen keys;
            EXPECT_EQ(db_get_keys(ri, keys_cb, &keys, "%s", c.key.c_str()), 0);
            ASSERT_TRUE(settles([&] { return keys.calls == 1; }));
            EXPECT_EQ(keys.keys, std::set<std::string>{c.stored});

            // Blocking: keys removed; asynchronous: queued.
            EXPECT_EQ(db_del_fmt(ri, "%s", c.key.c_str()), remote ? 0 : 1);
            EXPECT_TRUE(settles([&] { return !server.get(c.stored); }));
            if (!remote) {
                EXPECT_EQ(db_del_fmt(ri, "%s", c.key.c_str()), 0);
            }

            Calls absent;
            db_get(ri, value_cb, &absent, "%s", c.key.c_str());
            ASSERT_TRUE(settles([&] { return absent.size() == 1; }));
            EXPECT_FALSE(absent.calls[0].has_value);

            KeysSeen none;
            db_get_keys(ri, keys_cb, &none, "%s", c.key.c_str());
            ASSERT_TRUE(settles([&] { return none.calls == 1; }));
            EXPECT_TRUE(none.null_list);
        }
        if (remote) {
            EXPECT_EQ(local.command({"DBSIZE"}).integer, 0) << "a follower writes to the leader only";
        }
        const char *mode = remote ? "(async)" : "(sync)";
        EXPECT_TRUE(log.has("DEBUG", std::string("(state instance) ") + mode + " SET device:1:meta:class camera"));
        EXPECT_TRUE(log.has("DEBUG", std::string("(state instance) ") + mode + " DEL device:1:meta:class"));
        EXPECT_TRUE(log.has("TRACE", std::string("(state)") + mode + " GET device:1:meta:class"));
        EXPECT_TRUE(log.has("DEBUG", std::string("(state instance) ") + mode + " GET KEYS device:1:meta:class"));
        db_delete_redis_instance(ri);
        instances.pop_back();
    }
}

/* Which Redis a command reaches, and whether it is there before the call returns. */
TEST_F(DbCommands, ModeRuleChoosesConnectionPerCommand) {
    enum Where { LOCAL, LEADER };
    struct Row {
        const char *name;
        bool remote;
        std::function<void(redis_instance_t *)> call;
        const char *cmd;
        Where where;
        bool blocking;
    };
    Calls sink;
    KeysSeen keys;
    const std::vector<Row> rows = {
        {"gateway SET", false, [](redis_instance_t *ri) { db_set(ri, "k", "v"); }, "SET", LOCAL, true},
        {"gateway DEL", false, [](redis_instance_t *ri) { db_del(ri, "k"); }, "DEL", LOCAL, true},
        {"gateway GET", false, [&](redis_instance_t *ri) { db_get(ri, value_cb, &sink, "k"); }, "GET", LOCAL, true},
        {"gateway KEYS", false, [&](redis_instance_t *ri) { db_get_keys(ri, keys_cb, &keys, "k*"); }, "KEYS", LOCAL,
         true},
        {"gateway PUBLISH", false, [](redis_instance_t *ri) { db_publish(ri, "ch", "m"); }, "PUBLISH", LOCAL, false},
        {"gateway GET async", false, [&](redis_instance_t *ri) { db_get_async(ri, value_cb, &sink, "k"); }, "GET",
         LOCAL, false},
        {"remote SET", true, [](redis_instance_t *ri) { db_set(ri, "k", "v"); }, "SET", LEADER, false},
        {"remote DEL", true, [](redis_instance_t *ri) { db_del(ri, "k"); }, "DEL", LEADER, false},
        {"remote GET", true, [&](redis_instance_t *ri) { db_get(ri, value_cb, &sink, "k"); }, "GET", LEADER, false},
        {"remote KEYS", true, [&](redis_instance_t *ri) { db_get_keys(ri, keys_cb, &keys, "k*"); }, "KEYS", LEADER,
         false},
        {"remote PUBLISH", true, [](redis_instance_t *ri) { db_publish_fmt(ri, "m", "ch:%d", 1); }, "PUBLISH", LEADER,
         false},
        {"remote GET sync", true, [](redis_instance_t *ri) { free(db_get_sync(ri, "k")); }, "GET", LOCAL, true},
        {"remote EXPIRE", true, [](redis_instance_t *ri) { db_expire(ri, 30, "k"); }, "EXPIRE", LOCAL, true},
        {"remote MULTI", true, [](redis_instance_t *ri) { db_multi(ri); }, "MULTI", LOCAL, true},
        {"remote EXEC", true, [](redis_instance_t *ri) { db_exec(ri); }, "EXEC", LOCAL, true},
        {"remote DISCARD", true, [](redis_instance_t *ri) { db_discard(ri); }, "DISCARD", LOCAL, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        redis_instance_t *ri = row.remote ? remote_instance("state", local, &leader) : local_instance("state", local);
        // Open the connections first so that only the command itself is watched.
        free(db_get_sync(ri, "warm"));
        db_get_async(ri, nullptr, nullptr, "warm");
        pump_for(base, 100ms);

        Monitor mon_local(local), mon_leader(leader);
        RedisServer &target = row.where == LOCAL ? local : leader;
        Monitor &mon = row.where == LOCAL ? mon_local : mon_leader;
        row.call(ri);
        target.command({"ECHO", "marker"});
        ASSERT_TRUE(pump([&] {
            auto seen = mon.commands();
            bool cmd = std::any_of(seen.begin(), seen.end(), [&](const SeenCommand &c) { return c.args[0] == row.cmd; });
            bool marker = std::any_of(seen.begin(), seen.end(), [](const SeenCommand &c) { return c.args[0] == "ECHO"; });
            return cmd && marker;
        }));
        auto seen = mon.commands();
        auto pos_cmd = std::find_if(seen.begin(), seen.end(), [&](const SeenCommand &c) { return c.args[0] == row.cmd; });
        auto pos_marker =
            std::find_if(seen.begin(), seen.end(), [](const SeenCommand &c) { return c.args[0] == "ECHO"; });
        EXPECT_EQ(pos_cmd < pos_marker, row.blocking);
        Monitor &other = row.where == LOCAL ? mon_leader : mon_local;
        EXPECT_TRUE(other.named(row.cmd).empty());

        db_delete_redis_instance(ri);
        instances.pop_back();
    }
}

TEST_F(DbCommands, TemplateArgumentsStayWholeAndExpireKeysAreCutAt399) {
    redis_instance_t *ri = local_instance("state", local);
    Monitor mon(local);
    db_set(ri, "device:1:state:text", "a b %s c");
    db_publish(ri, "ch with space", "hello world");
    std::string long_key(450, 'e');
    db_set(ri, long_key.c_str(), "x");
    db_expire(ri, 30, "%s", long_key.c_str());
    ASSERT_TRUE(pump([&] { return !mon.named("PUBLISH").empty() && !mon.named("EXPIRE").empty(); }));
    auto sets = mon.named("SET");
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].args, (std::vector<std::string>{"SET", "device:1:state:text", "a b %s c"}));
    EXPECT_EQ(mon.named("PUBLISH")[0].args, (std::vector<std::string>{"PUBLISH", "ch with space", "hello world"}));
    EXPECT_EQ(mon.named("EXPIRE")[0].args, (std::vector<std::string>{"EXPIRE", std::string(399, 'e'), "30"}));
    EXPECT_TRUE(log.has("DEBUG", "(state instance) (sync) EXPIRE " + std::string(399, 'e') + " 30"));
}

TEST_F(DbCommands, TransactionsRunOnTheLocalRedis) {
    redis_instance_t *ri = local_instance("state", local);
    local.set("gone", "1");
    db_multi(ri);
    EXPECT_EQ(db_set(ri, "a", "1"), 0) << "QUEUED is a status text";
    EXPECT_EQ(db_del(ri, "gone"), -1) << "QUEUED is not an integer";
    char *queued = db_get_sync(ri, "a");
    ASSERT_NE(queued, nullptr);
    EXPECT_STREQ(queued, "QUEUED");
    free(queued);
    EXPECT_FALSE(local.get("a"));
    db_exec(ri);
    EXPECT_EQ(local.get("a"), "1");
    EXPECT_FALSE(local.get("gone"));

    db_multi(ri);
    db_set(ri, "b", "2");
    EXPECT_EQ(db_in_transaction(ri), 1);
    db_discard(ri);
    EXPECT_EQ(db_in_transaction(ri), 0);
    EXPECT_FALSE(local.get("b"));

    // A DISCARD without a transaction is answered with an error that nobody needs to hear of.
    db_discard(ri);
    EXPECT_EQ(log.text().find("DISCARD without MULTI"), std::string::npos) << log.text();
    // A nested MULTI is refused inside the open transaction, which stays open until its EXEC.
    db_multi(ri);
    db_multi(ri);
    EXPECT_EQ(db_in_transaction(ri), 1);
    db_exec(ri);
    EXPECT_EQ(db_in_transaction(ri), 0);

    // A follower's SET between MULTI and EXEC goes to the leader outside the transaction.
    redis_instance_t *remote = remote_instance("conf", local, &leader);
    db_multi(remote);
    db_set(remote, "c", "3");
    EXPECT_TRUE(pump([&] { return leader.get("c") == "3"; }));
    db_exec(remote);
    EXPECT_FALSE(local.get("c"));
}

TEST_F(DbCommands, CheckedExecTellsWhetherTheWholeTransactionRan) {
    RedisServer full(dir.file("full"));
    full.command({"CONFIG", "SET", "maxmemory", "1"});
    redis_instance_t *ri = local_instance("state", local);
    redis_instance_t *oom = local_instance("conf", full);
    struct Case {
        const char *name;
        redis_instance_t *target;
        std::function<void()> queue;  // after MULTI; none: EXEC alone
        int rc;
    };
    const std::vector<Case> cases = {
        {"ran", ri, [&] { db_set(ri, "t:a", "1"); db_set(ri, "t:b", "2"); }, 0},
        {"a command failed as it ran", ri, [&] { db_set(ri, "t:c", "x"); db_incr(ri, "t:c"); }, -1},
        {"a command refused as it was queued", oom, [&] { db_set(oom, "t:d", "1"); }, -1},
        {"no transaction", ri, nullptr, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.queue) {
            db_multi(c.target);
            c.queue();
        }
        EXPECT_EQ(db_exec_checked(c.target), c.rc);
        EXPECT_EQ(db_in_transaction(c.target), 0);
    }
    EXPECT_EQ(local.get("t:b"), "2");
    EXPECT_EQ(local.get("t:c"), "x") << "the other commands of the transaction ran";
    EXPECT_FALSE(full.get("t:d"));
    EXPECT_TRUE(log.has("WARN", "(conf instance) Redis error reply: EXECABORT Transaction discarded because of "
                                "previous errors."));
}

TEST_F(DbCommands, ErrorRepliesAreFailuresNotValues) {
    local.command({"HSET", "hash", "f", "v"});
    redis_instance_t *ri = local_instance("state", local);
    EXPECT_EQ(db_get_sync(ri, "hash"), nullptr);
    Calls blocking, async;
    db_get(ri, value_cb, &blocking, "hash");
    ASSERT_EQ(blocking.size(), 1u);
    EXPECT_FALSE(blocking.calls[0].has_value);
    db_get_async(ri, value_cb, &async, "hash");
    ASSERT_TRUE(pump([&] { return async.size() == 1; }));
    EXPECT_FALSE(async.calls[0].has_value);
    EXPECT_TRUE(log.has("WARN", "(state instance) Redis error reply: WRONGTYPE Operation against a key holding the "
                                "wrong kind of value"));

    RedisServer replica(dir.file("replica"));
    struct Refusal {
        const char *name;
        RedisServer *server;
        std::vector<std::string> setup;
        std::string error;
    };
    const std::vector<Refusal> refusals = {
        {"out of memory", &local, {"CONFIG", "SET", "maxmemory", "1"}, "OOM"},
        {"read-only replica", &replica, {"REPLICAOF", "127.0.0.1", std::to_string(local.port())}, "READONLY"},
    };
    for (const auto &r : refusals) {
        SCOPED_TRACE(r.name);
        r.server->command(r.setup);
        redis_instance_t *target = local_instance("conf", *r.server);
        EXPECT_EQ(db_set(target, "k", "v"), -1);
        EXPECT_EQ(db_rpush(target, "v", "list"), -1);
        EXPECT_NE(log.text().find("(conf instance) Redis error reply: " + r.error), std::string::npos);
    }
}

TEST_F(DbCommands, NullArgumentsNeverReachRedis) {
    redis_instance_t *ri = local_instance("state", local);
    free(db_get_sync(ri, "warm"));
    Monitor mon(local);
    const char *no = nullptr;
    Calls sink;
    struct Row {
        const char *name;
        std::function<bool()> call; /* true when it reported failure */
    };
    const std::vector<Row> rows = {
        {"SET key", [&] { return db_set(ri, no, "v") == -1; }},
        {"SET value", [&] { return db_set(ri, "k", no) == -1; }},
        {"SET fmt value", [&] { return db_set_fmt(ri, no, "k") == -1; }},
        {"SET fmt format", [&] { return db_set_fmt(ri, "v", no) == -1; }},
        {"DEL key", [&] { return db_del(ri, no) == -1; }},
        {"DEL format", [&] { return db_del_fmt(ri, no) == -1; }},
        {"PUBLISH channel", [&] { return db_publish(ri, no, "m") == -1; }},
        {"PUBLISH message", [&] { return db_publish(ri, "c", no) == -1; }},
        {"PUBLISH fmt message", [&] { return db_publish_fmt(ri, no, "c") == -1; }},
        {"PUBLISH sync", [&] { return db_publish_sync(ri, "c", no) == -1; }},
        {"GET sync", [&] { return db_get_sync(ri, no) == nullptr; }},
        {"GET", [&] { return db_get(ri, value_cb, &sink, no) == nullptr && sink.size() == 0; }},
        {"GET async", [&] { return db_get_async(ri, value_cb, &sink, no) == nullptr; }},
        {"KEYS", [&] { return db_get_keys(ri, nullptr, nullptr, no) == -1; }},
        {"KEYS sync", [&] { return db_get_keys_sync(ri, no) == nullptr; }},
        {"RPUSH value", [&] { return db_rpush(ri, no, "l") == -1; }},
        {"SUBSCRIBE", [&] { return db_subscribe(ri, nullptr, nullptr, no) == nullptr; }},
        {"get and subscribe", [&] { return db_get_and_subscribe(ri, value_cb, &sink, no) == nullptr; }},
        {"UNSUBSCRIBE", [&] { return db_unsubscribe(ri, nullptr, nullptr, no), true; }},
        {"UNSUBSCRIBE key", [&] { return db_unsubscribe_key(ri, nullptr, nullptr, no), true; }},
        {"get and subscribe cleanup", [&] { return db_get_and_subscribe_cleanup(ri, value_cb, no), true; }},
        {"no instance SUBSCRIBE", [&] { return db_psubscribe(nullptr, nullptr, nullptr, "c") == nullptr; }},
        {"no instance SET", [&] { return db_set(nullptr, "k", "v") == -1; }},
        {"no instance GET", [&] { return db_get(nullptr, value_cb, &sink, "k") == nullptr; }},
    };
    for (const auto &row : rows) EXPECT_TRUE(row.call()) << row.name;
    pump_for(base, 100ms);
    local.command({"ECHO", "marker"});
    ASSERT_TRUE(mon.wait_for([](const std::vector<SeenCommand> &seen) { return !seen.empty(); }));
    auto seen = mon.commands();
    ASSERT_EQ(seen.size(), 1u) << seen[0].args[0];
    EXPECT_EQ(seen[0].args[0], "ECHO");
    EXPECT_TRUE(log.has("WARN", "(state instance) SET with a NULL argument"));
    EXPECT_TRUE(log.has("WARN", "(state instance) unsubscribe with a NULL argument"));
}

TEST_F(DbCommands, KeysSyncOnlyOnTheGateway) {
    local.set("dev:1", "a");
    local.set("dev:2", "b");
    local.set("dev:", "");
    redis_instance_t *gw = local_instance("state", local);
    GSList *list = db_get_keys_sync(gw, "dev:*");
    std::set<std::string> keys;
    for (GSList *l = list; l; l = l->next) {
        keys.insert(static_cast<char *>(l->data));
        free(l->data);
    }
    g_slist_free(list);
    EXPECT_EQ(keys, (std::set<std::string>{"dev:1", "dev:2", "dev:"}));
    EXPECT_EQ(db_get_keys_sync(gw, "nothing:*"), nullptr);

    redis_instance_t *remote = remote_instance("conf", local, &leader);
    Monitor mon(local);
    EXPECT_EQ(db_get_keys_sync(remote, "dev:*"), nullptr);
    EXPECT_TRUE(log.has("WARN", "Cannot get keys sync"));
    local.command({"ECHO", "marker"});
    ASSERT_TRUE(mon.wait_for([](const std::vector<SeenCommand> &seen) { return !seen.empty(); }));
    EXPECT_TRUE(mon.named("KEYS").empty());
}

TEST_F(DbCommands, CancelledGetNeverCallsBack) {
    local.set("k", "v");
    redis_instance_t *ri = local_instance("state", local);
    Calls cancelled, fence;
    get_cb_context_t *h = db_get_async(ri, value_cb, &cancelled, "k");
    ASSERT_NE(h, nullptr);
    db_cancel_async_callback(ri, h);
    db_get_async(ri, value_cb, &fence, "k");
    ASSERT_TRUE(pump([&] { return fence.size() == 1; }));
    EXPECT_EQ(cancelled.size(), 0u);
    EXPECT_TRUE(log.has("DEBUG", "GET async callback (key k) deleted - not calling callback"));

    // After its reply the handle is gone: cancelling it then changes nothing.
    Calls answered;
    get_cb_context_t *done = db_get_async(ri, value_cb, &answered, "k");
    ASSERT_TRUE(pump([&] { return answered.size() == 1; }));
    db_cancel_async_callback(ri, done);
    Calls after;
    db_get_async(ri, value_cb, &after, "k");
    ASSERT_TRUE(pump([&] { return after.size() == 1; }));
    EXPECT_EQ(after.calls[0].value, "v");
}

TEST_F(DbCommands, UnreachableLeaderAnswersQueuedCommandsWithNull) {
    int dead_port = brx_test::free_tcp_port("127.0.0.2");
    redis_instance_t *ri = db_create_redis_instance("state");
    instances.push_back(ri);
    db_set_unix_path(ri, local.unix_path().c_str());
    db_set_event_base(ri, base);
    db_set_master(ri, inet_addr("127.0.0.2"), dead_port);
    Calls got;
    KeysSeen keys;
    EXPECT_NE(db_get(ri, value_cb, &got, "k"), nullptr);
    EXPECT_EQ(db_get_keys(ri, keys_cb, &keys, "k*"), 0);
    ASSERT_TRUE(pump([&] { return got.size() == 1 && keys.calls == 1; }));
    EXPECT_FALSE(got.calls[0].has_value);
    EXPECT_TRUE(keys.null_list);
    EXPECT_TRUE(log.has("WARN", "get async failed"));
    EXPECT_TRUE(log.has("WARN", "no reply in callback"));
    EXPECT_TRUE(log.has("INFO", "(state instance) remote async context failed to connect: Connection refused"));
    // The next command tries again.
    leader.command({"SET", "k", "late"});
    Calls again;
    db_set_master(ri, inet_addr("127.0.0.2"), leader.port());
    db_get(ri, value_cb, &again, "k");
    ASSERT_TRUE(pump([&] { return again.size() == 1; }));
    EXPECT_EQ(again.calls[0].value, "late");
}

TEST_F(DbCommands, ListAndCounterCommands) {
    redis_instance_t *ri = local_instance("state", local);
    EXPECT_EQ(db_incr(ri, "n:%d", 1), 1);
    EXPECT_EQ(db_incr(ri, "n:%d", 1), 2);
    EXPECT_EQ(db_rpush(ri, "first item", "list"), 0);
    EXPECT_EQ(db_rpush(ri, "second", "list"), 0);
    EXPECT_EQ(db_llen(ri, "list"), 2);
    char *v = db_lpop(ri, "list");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "first item");
    free(v);
    EXPECT_EQ(db_publish_sync(ri, "ch", "m"), 0);
}

}  // namespace
