// The backup's timing, the daemon as a black box: a burst of changes is posted once after it
// settles, failures double the back-off, and the server address is read for each request.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/backup/backup_env.h"
#include "tests/support/appserver_peer.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace backup_test;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kBackup = seed_backup_path();
const std::string kSuccess = reply(200, R"({"status":"SUCCESS"})");

std::string member(const LoggedRequest &r, const std::string &key) {
    for (const auto &m : members(r.body))
        if (m.first == key) return m.second;
    return "(absent)";
}

TEST_F(BackupTest, ABurstOfChangesIsPostedOnceTwoSecondsAfterItsLastChange) {
    adopt_seed_haid();
    set_rules({{"POST " + kBackup, kSuccess}});
    start();
    // None has succeeded yet: the first check posts.
    ASSERT_TRUE(wait_requests("POST", kBackup, 1)) << env.log();
    ASSERT_TRUE(wait_until([&] { return env.state().get("backup:lastsuccessfulbackup").has_value(); }, 30s));

    Clock::time_point last;
    for (int i = 1; i <= 10; i++) {
        if (i > 1) std::this_thread::sleep_for(1s);
        env.state().set("room:1", std::to_string(i));
        last = Clock::now();
    }
    EXPECT_EQ(requests("POST", kBackup).size(), 1u) << "a backup during the burst";
    ASSERT_TRUE(wait_requests("POST", kBackup, 2, 30s)) << env.log();
    EXPECT_GE(Clock::now() - last, 2s);
    EXPECT_EQ(member(requests("POST", kBackup)[1], "room:1"), "10");

    // A deletion is a change too; the key is gone from the next backup.
    env.state().command({"DEL", "room:1"});
    ASSERT_TRUE(wait_requests("POST", kBackup, 3, 30s)) << env.log();
    EXPECT_EQ(member(requests("POST", kBackup)[2], "room:1"), "(absent)");
    EXPECT_EQ(env.stop(), 0);
}

TEST_F(BackupTest, EachRefusalDoublesTheBackoff) {
    adopt_seed_haid();
    const std::string refused = reply(200, R"({"errorCode":"NOT_AUTHORIZED"})");
    set_rules({{"POST " + kBackup, "[" + refused + ", " + refused + ", " + refused + ", " + kSuccess + "]"}});
    start();
    std::vector<Clock::time_point> arrivals;
    for (size_t n = 1; n <= 3; n++) {
        ASSERT_TRUE(wait_requests("POST", kBackup, n, 60s)) << env.log();
        arrivals.push_back(Clock::now());
    }
    for (const char *after : {"10", "20", "40"})
        EXPECT_TRUE(wait_line("WARN", std::string("Backup was done from not authorized IP. Try again after ") + after +
                                          " sec",
                              10s))
            << after;
    // Each retry waits at least the doubled back-off after the refusal before it.
    EXPECT_GE(arrivals[1] - arrivals[0], 9500ms);
    EXPECT_GE(arrivals[2] - arrivals[1], 19500ms);
    EXPECT_EQ(env.stop(), 0);
}

TEST_F(BackupTest, TheServerAddressIsReadForEachRequestAndTheLastOneStandsIn) {
    adopt_seed_haid();
    set_rules({{"POST " + kBackup, kSuccess}});
    AppServerPeer::Options o;
    o.tls = AppServerPeer::Tls::Trusted;
    o.binds = {"127.0.0.1", "::1"};
    o.rules = rules({{"POST " + kBackup, kSuccess}});
    AppServerPeer moved(o);
    start();
    ASSERT_TRUE(wait_requests("POST", kBackup, 1)) << env.log();

    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.ApplicationServer=" + moved.url("/app", "localhost")}), 0);
    env.state().set("room:1", "a");
    ASSERT_TRUE(wait_until([&] { return moved.request_count() == 1; }, 60s)) << env.log();

    // No address at all: the last one read is used.
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.ApplicationServer="}), 0);
    env.state().set("room:1", "b");
    ASSERT_TRUE(wait_until([&] { return moved.request_count() == 2; }, 60s)) << env.log();
    EXPECT_EQ(requests("POST", kBackup).size(), 1u);
    EXPECT_EQ(member(moved.requests()[1], "room:1"), "b");
    EXPECT_EQ(env.stop(), 0);
}

}  // namespace
