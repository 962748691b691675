// A gateway's backup and restore through the application server, the daemon as a black box: what
// a start restores, what a backup holds, how each server reply moves the back-off, what a restore
// writes, and how a failed restore waits for the app's "try" or "drop".
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/backup/backup_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace backup_test;

namespace {

const std::string kRestore = seed_restore_path();
const std::string kBackup = seed_backup_path();
const std::string kSuccessBody = R"({"status":"SUCCESS"})";
const std::string kSuccess = reply(200, kSuccessBody);

using Members = std::vector<std::pair<std::string, std::string>>;

Members sorted(Members m) {
    std::sort(m.begin(), m.end());
    return m;
}

// ---- the first start ----

TEST_F(BackupTest, AFirstStartRestoresBeforeWatchingAndThenBacksUpThePatternKeysOnce) {
    // Left by an earlier run that was killed while it waited for a restore reply.
    env.state().set("restore:state", "RESTORE_WAITING");
    env.state().set("room:1", "kitchen");
    env.state().set("device:LAN:meta:x", "twice");  // both "device:*:meta:*" and "device:LAN:*"
    env.state().command({"HSET", "room:2", "f", "v"});
    env.state().set("other:key", "not backed up");
    env.state().set("device:N1-1:meta:version", "1.0.0");  // as the engine writes it again at start
    set_rules({{"POST " + kBackup, kSuccess}});
    Subscriber status(env.state(), {"brixmoor:state"});
    start();
    ASSERT_TRUE(wait_requests("POST", kBackup, 1)) << env.log();

    // The restore ran first, before any backed-up key was watched, and found no backup (404).
    std::vector<LoggedRequest> all = env.appserver().requests();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0].method + " " + all[0].target, "GET " + kRestore);
    std::string log = env.log();
    EXPECT_LT(log.find("backup_restore https://localhost:"), log.find("psubscribe_keys_to_backup deviceid"));
    EXPECT_EQ(env.state().get("restore:state"), "RESTORE_OK_NO_RESTORE");
    EXPECT_EQ(env.conf().get(kHaidMirror), kSeedHaid);
    const std::vector<std::string> seq = {"ENABLED", "DISABLED", "ENABLED", "DISABLED", "ENABLED", "DISABLED", "ENABLED",
                                          "WAITING_FOR_PROVISIONING", "ENABLED", "RESTORE_IN_PROGRESS", "ENABLED"};
    EXPECT_TRUE(wait_until([&] { return payloads(status, "brixmoor:state") == seq; }, 30s));

    // The body: every string key of the patterns, a key matched twice given twice; no other key.
    LoggedRequest post = requests("POST", kBackup)[0];
    EXPECT_EQ(post.header("Content-Type"), "text/plain");
    // Patterns in their order ("device:*:meta:*", "room:*", "device:LAN:*"), keys of one pattern in any.
    Members body = members(post.body);
    const std::vector<Members> expected = {
        {{"device:LAN:meta:x", "twice"}, {"device:N1-1:meta:version", "1.0.0"}},
        {{"room:1", "kitchen"}},
        {{"device:LAN:0200C0000201", "N1-1"}, {"device:LAN:meta:x", "twice"}}};
    size_t at = 0;
    for (const Members &group : expected) {
        ASSERT_LE(at + group.size(), body.size()) << post.body;
        EXPECT_EQ(sorted(Members(body.begin() + at, body.begin() + at + group.size())), group) << post.body;
        at += group.size();
    }
    EXPECT_EQ(at, body.size()) << post.body;
    EXPECT_TRUE(has_line("WARN", "Cannot get value for room:2"));
    EXPECT_TRUE(wait_until([&] { return env.state().get("backup:lastsuccessfulbackup").has_value(); }, 30s));
    EXPECT_TRUE(wait_until([&] { return !env.state().get("backup:backupinprogress"); }, 30s));

    // Idle: two more checks send nothing, also when no change time is stored at all (the difference
    // to the last success is negative then).
    env.state().command({"DEL", "backup:lastkeychanged"});
    std::this_thread::sleep_for(11s);
    EXPECT_EQ(requests("POST", kBackup).size(), 1u) << env.log();
    EXPECT_EQ(requests("GET", kRestore).size(), 1u);
    EXPECT_EQ(env.stop(), 0);
}

TEST_F(BackupTest, WithoutAServerAddressTheStartEndsWithStatus5) {
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.ApplicationServer="}), 0);
    ASSERT_TRUE(env.start());
    EXPECT_EQ(env.wait_exit(60s), 5) << env.log();
    // "<file>:<line>:<text>"
    std::string log = env.log();
    size_t at = log.find("ERROR backup_service - ");
    ASSERT_NE(at, std::string::npos) << log;
    std::string line = log.substr(at, log.find('\n', at) - at);
    EXPECT_NE(line.find("backup.cpp:"), std::string::npos) << line;
    const std::string end = ":No AP server URL in backup init - exit BRX";
    EXPECT_TRUE(line.size() > end.size() && line.compare(line.size() - end.size(), end.size(), end) == 0) << line;
}

TEST_F(BackupTest, AStopWhileTheHaidIsAwaitedEndsTheStartQuietly) {
    ASSERT_EQ(env.pcb_cli({"ZIR.HomeAutomation.HA-ID=short"}), 0);
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(env.wait_log("HAID 'short' too short, try again", 60s)) << env.log();
    EXPECT_EQ(env.stop(), 0) << env.log();
    EXPECT_TRUE(env.appserver().requests().empty());
    EXPECT_EQ(env.log().find("got this_device_id"), std::string::npos) << "the start went no further";
}

// ---- one backup reply each ----

struct ReplyCase {
    const char *name;
    std::string rule;                                        // the backup POST's reply
    std::string callback;                                    // the reply's INFO line, empty: no POST
    std::vector<std::pair<std::string, std::string>> lines;  // further lines, level and text
    bool success;                                            // recorded as a successful backup
    bool doubled;                                            // the back-off went from 5 to 10 s
    bool disconnected = false;                               // the gateway client reports no connection
};

void PrintTo(const ReplyCase &c, std::ostream *os) { *os << c.name; }

class BackupReply : public BackupTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(BackupReply, MovesTheBackoffAndRecordsSuccess) {
    const ReplyCase &c = GetParam();
    adopt_seed_haid();
    if (c.disconnected) {
        ASSERT_EQ(env.pcb_cli({"APService.GatewayClient.ConnectionStatus=0"}), 0);
    }
    set_rules({{"POST " + kBackup, c.rule}});
    start();
    if (!c.callback.empty()) {
        ASSERT_TRUE(wait_line("INFO", c.callback)) << env.log();
    }
    for (const auto &line : c.lines) {
        std::string text = line.second;
        size_t at = text.find("<url>");
        if (at != std::string::npos) text.replace(at, 5, env.appserver().url("/app", "localhost"));
        EXPECT_TRUE(wait_line(line.first, text, 30s)) << text << "\n" << env.log();
    }
    EXPECT_TRUE(wait_until([&] { return !env.state().get("backup:backupinprogress"); }, 30s));
    EXPECT_EQ(env.state().get("backup:lastsuccessfulbackup").has_value(), c.success);
    // The doubling is logged after the in-progress key is gone: wait for it where it is due.
    if (c.doubled) {
        EXPECT_TRUE(wait_line("DEBUG", "extend_backup_checker_time 10 seconds", 30s)) << env.log();
    } else {
        EXPECT_FALSE(has_line("DEBUG", "extend_backup_checker_time 10 seconds")) << env.log();
    }
    if (c.disconnected) {
        EXPECT_TRUE(requests("POST", kBackup).empty());
    }
}

const std::string kCallback = "http_backup_callback ";

INSTANTIATE_TEST_SUITE_P(
    Replies, BackupReply,
    ::testing::Values(
        ReplyCase{"success", kSuccess, kCallback + "200:" + kSuccessBody + " ",
                  {{"DEBUG", "Backup has been successfully sent"}}, true, false},
        ReplyCase{"member_name_in_any_case", reply(200, R"({"Status":"SUCCESS"})"),
                  kCallback + R"(200:{"Status":"SUCCESS"} )", {{"DEBUG", "Backup has been successfully sent"}}, true,
                  false},
        ReplyCase{"value_compared_exactly", reply(200, R"({"status":"success"})"), kCallback + R"(200:{"status":"success"} )",
                  {{"WARN", R"(Server error 200 {"status":"success"})"},
                   {"WARN", "Other/generic error. Try again after 10 seconds"}},
                  false, true},
        ReplyCase{"not_authorized", reply(200, R"({"errorCode":"NOT_AUTHORIZED"})"),
                  kCallback + R"(200:{"errorCode":"NOT_AUTHORIZED"} )",
                  {{"WARN", R"(Server error 200 {"errorCode":"NOT_AUTHORIZED"})"},
                   {"WARN", "Backup was done from not authorized IP. Try again after 10 sec"}},
                  false, true},
        ReplyCase{"device_not_found_counts_as_success", reply(200, R"({"ERRORCODE":"DEVICE_NOT_FOUND"})"),
                  kCallback + R"(200:{"ERRORCODE":"DEVICE_NOT_FOUND"} )",
                  {{"WARN", "HAID is not provisioned/paired with the server. Drop the backup"}}, true, false},
        ReplyCase{"another_code", reply(200, R"({"errorCode":"QUOTA"})"), kCallback + R"(200:{"errorCode":"QUOTA"} )",
                  {{"WARN", "Other/generic error. Try again after 10 seconds"}}, false, true},
        ReplyCase{"not_json", reply(200, "<html>busy</html>"), kCallback + "200:<html>busy</html> ",
                  {{"WARN", "Server error 200 <html>busy</html>"},
                   {"WARN", "Other/generic error. Try again after 10 seconds"}},
                  false, true},
        ReplyCase{"json_array", reply(200, R"([{"status":"SUCCESS"}])"), kCallback + R"(200:[{"status":"SUCCESS"}] )",
                  {{"WARN", "Other/generic error. Try again after 10 seconds"}}, false, true},
        ReplyCase{"server_error", reply(500, "boom"), kCallback + "500:boom ",
                  {{"WARN", "Network is down or server error 500 boom"}}, false, true},
        ReplyCase{"empty_200", reply(200, ""), kCallback + "200:empty body ",
                  {{"WARN", "Network is down or server error 200 (empty error msg)"}}, false, true},
        ReplyCase{"connection_closed_unanswered", R"({"raw": ""})", kCallback + "500:empty body ",
                  {{"WARN", "Network is down or server error 500 (empty error msg)"}}, false, true},
        ReplyCase{"gateway_client_disconnected", kSuccess, "",
                  {{"WARN", "Cannot send backup now - schedule send backup (connection NOT OK, url <url>, enabled true)"}},
                  false, true, true}),
    [](const ::testing::TestParamInfo<ReplyCase> &i) { return std::string(i.param.name); });

// ---- restores that write ----

struct ApplyCase {
    const char *name;
    std::string backup;    // the restore reply's body
    Members written;                   // keys the restore wrote
    std::vector<std::string> skipped;  // members that are no string
};

void PrintTo(const ApplyCase &c, std::ostream *os) { *os << c.name; }

class RestoreApply : public BackupTest, public ::testing::WithParamInterface<ApplyCase> {};

TEST_P(RestoreApply, WritesTheStringMembersAndRestartsWithStatus4) {
    const ApplyCase &c = GetParam();
    env.state().set("room:9", "not in the backup");
    env.state().set("backup:lastsuccessfulbackup", "123");
    set_rules({{"GET " + kRestore, reply(200, c.backup)}});
    ASSERT_TRUE(env.start());
    EXPECT_EQ(env.wait_exit(60s), 4) << env.log();
    EXPECT_TRUE(has_line("INFO", "http_restore_callback - apply data to redis and exit")) << env.log();
    for (const auto &kv : c.written) EXPECT_EQ(env.state().get(kv.first), kv.second) << kv.first;
    for (const auto &key : c.skipped) EXPECT_FALSE(env.state().get(key)) << key;
    EXPECT_EQ(env.count_log("Wrong type in JSON!!!"), c.skipped.size());
    EXPECT_EQ(env.state().get("restore:state"), "RESTORE_OK_SUCCESS");
    EXPECT_EQ(env.state().get("brixmoor:state"), "ENABLED");
    EXPECT_EQ(env.conf().get(kHaidMirror), kSeedHaid);
    // Keys the backup does not hold stay as they were.
    EXPECT_EQ(env.state().get("room:9"), "not in the backup");
    EXPECT_EQ(env.state().get("LAN:networkid"), "N1");
    EXPECT_EQ(env.state().get("backup:lastsuccessfulbackup"), "123");
}

INSTANTIATE_TEST_SUITE_P(
    Backups, RestoreApply,
    ::testing::Values(ApplyCase{"strings_and_a_number", R"({"room:1":"kitchen","count":5,"deviceid":"7"})",
                                {{"room:1", "kitchen"}, {"deviceid", "7"}},
                                {"count"}},
                      ApplyCase{"no_string_member", R"({"n":1,"o":{"a":"b"},"l":["x"]})", {}, {"n", "o", "l"}}),
    [](const ::testing::TestParamInfo<ApplyCase> &i) { return std::string(i.param.name); });

TEST_F(BackupTest, ARestoreWhoseTransactionIsRefusedWritesNothingAndWaitsForTheApp) {
    // The reply comes late enough for the state Redis to refuse writes by then.
    set_rules({{"GET " + kRestore, reply(200, R"({"room:1":"kitchen"})", "\"delay\": 5")}});
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(wait_requests("GET", kRestore, 1)) << env.log();
    env.state().command({"CONFIG", "SET", "maxmemory", "1"});
    ASSERT_TRUE(wait_line("WARN", "apply_restored_config - the transaction failed, nothing restored")) << env.log();
    // The failure is recorded (refused too, while Redis is full) and the app is asked: the adopted
    // HA-ID is forgotten, the process does not restart on unrestored data.
    EXPECT_TRUE(env.wait_log("(state instance) (sync) SET restore:state RESTORE_ERROR_GENERAL", 10s));
    EXPECT_TRUE(wait_until([&] { return !env.conf().get(kHaidMirror); }, 10s));
    EXPECT_EQ(env.wait_exit(2s), -1);
    env.state().command({"CONFIG", "SET", "maxmemory", "0"});
    EXPECT_FALSE(env.state().get("room:1"));
    env.state().set("restore:trigger", "drop");
    EXPECT_TRUE(state_is("restore:state", "RESTORE_OK_DROPPED")) << env.log();
    EXPECT_TRUE(state_is("brixmoor:state", "ENABLED"));
    EXPECT_EQ(env.stop(), 0);
}

// ---- what a start restores ----

struct StartCase {
    const char *name;
    const char *restore_state;  // "restore:state" left by an earlier run
    const char *record;         // "restore:haid"
    const char *mirror;         // the conf key
    bool restores;
};

void PrintTo(const StartCase &c, std::ostream *os) { *os << c.name; }

class StartRestore : public BackupTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartRestore, RunsUnlessTheRestoreOfTheBusHaidHasEnded) {
    const StartCase &c = GetParam();
    if (c.restore_state) env.state().set("restore:state", c.restore_state);
    if (c.record) env.state().set("restore:haid", c.record);
    if (c.mirror) env.conf().set(kHaidMirror, c.mirror);
    start();
    ASSERT_TRUE(wait_requests("POST", kBackup, 1)) << env.log();
    EXPECT_EQ(requests("GET", kRestore).size(), c.restores ? 1u : 0u) << env.log();
    if (c.restores) {
        EXPECT_EQ(env.state().get("restore:state"), "RESTORE_OK_NO_RESTORE");
    } else if (c.restore_state) {
        EXPECT_EQ(env.state().get("restore:state"), c.restore_state);
    }
    // Adopted now, in the record and in the conf key.
    EXPECT_EQ(env.state().get("restore:haid"), kSeedHaid);
    EXPECT_EQ(env.conf().get(kHaidMirror), kSeedHaid);
    EXPECT_EQ(env.stop(), 0);
}

const char kOtherHaid[] = "0200C0000201-H1";

INSTANTIATE_TEST_SUITE_P(
    Starts, StartRestore,
    ::testing::Values(
        StartCase{"first_start", nullptr, nullptr, nullptr, true},
        StartCase{"adopted", "RESTORE_OK_SUCCESS", kSeedHaid, kSeedHaid, false},
        // The bus bridge mirrors an HA-ID as soon as the bus reports it: that adopts nothing.
        StartCase{"mirrored_but_not_adopted", "RESTORE_OK_NO_RESTORE", kOtherHaid, kSeedHaid, true},
        // Killed between the restore's transaction and the write of the conf key.
        StartCase{"adopted_conf_key_not_written", "RESTORE_OK_SUCCESS", kSeedHaid, nullptr, false},
        // Left by a version that kept the adoption in the conf key alone.
        StartCase{"earlier_version_adopted", "RESTORE_OK_NO_RESTORE", nullptr, kSeedHaid, false},
        StartCase{"earlier_version_dropped", "RESTORE_OK_DROPPED", nullptr, kSeedHaid, false},
        StartCase{"earlier_version_cut_short_waiting", "RESTORE_WAITING", nullptr, kSeedHaid, true},
        StartCase{"earlier_version_cut_short_requested", "RESTORE_REQUESTED", nullptr, kSeedHaid, true},
        // The state instance lost its keys: nothing says a restore ended.
        StartCase{"state_keys_lost", nullptr, nullptr, kSeedHaid, true}),
    [](const ::testing::TestParamInfo<StartCase> &i) { return std::string(i.param.name); });

// ---- a restore cut short ----

const std::string kServerCopy = R"({"room:1":"kitchen","deviceid":"7"})";

enum class Cut { Kill, StateRedisLost };

struct CutCase {
    const char *name;
    bool bus_change;       // the HA-ID comes from the bus while an earlier one is adopted
    bool connection_wait;  // cut while the engine waits for the gateway client's connection
    Cut cut;
};

void PrintTo(const CutCase &c, std::ostream *os) { *os << c.name; }

class RestoreCutShort : public BackupTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(RestoreCutShort, RunsAgainAtTheNextStartAndTheServersCopyIsNeverOverwritten) {
    const CutCase &c = GetParam();
    const std::string haid = c.bus_change ? "0200C0000201-H2" : kSeedHaid;
    const std::string base = "/app/hm/brixmoor/" + haid + "/";
    set_rules({{"GET " + base + "restore", reply(200, kServerCopy, "\"delay\": 60")}});
    if (c.bus_change) {
        adopt_seed_haid();
        start();
        ASSERT_TRUE(wait_requests("POST", kBackup, 1)) << env.log();
    }
    if (c.connection_wait) {
        ASSERT_EQ(env.pcb_cli({"APService.GatewayClient.ConnectionStatus=0"}), 0);
    }
    if (c.bus_change) {
        ASSERT_EQ(env.pcb_cli({"ZIR.HomeAutomation.HA-ID=" + haid}), 0);
    } else {
        ASSERT_TRUE(env.start());
    }
    if (c.connection_wait) {
        ASSERT_TRUE(env.wait_log("wait_for_connection enter", 60s)) << env.log();
    } else {
        ASSERT_TRUE(wait_requests("GET", base + "restore", 1)) << env.log();
    }
    EXPECT_EQ(env.state().get("brixmoor:state"), "RESTORE_IN_PROGRESS");
    if (c.cut == Cut::Kill) {
        EXPECT_EQ(env.stop(9), 128 + 9);
    } else {
        // Its data survive on disk, as a gateway's do.
        env.state().command({"SAVE"});
        env.state().stop();
        EXPECT_EQ(env.wait_exit(60s), 2) << env.log();
        env.state().start();
    }

    set_rules({{"GET " + base + "restore", reply(200, kServerCopy)}});
    if (c.connection_wait) {
        ASSERT_EQ(env.pcb_cli({"APService.GatewayClient.ConnectionStatus=1"}), 0);
    }
    ASSERT_TRUE(env.start());
    EXPECT_EQ(env.wait_exit(60s), 4) << env.log();
    EXPECT_EQ(env.state().get("room:1"), "kitchen");
    EXPECT_EQ(env.state().get("deviceid"), "7");
    EXPECT_EQ(env.state().get("restore:state"), "RESTORE_OK_SUCCESS");
    EXPECT_EQ(env.conf().get(kHaidMirror), haid);
    EXPECT_TRUE(requests("POST", base + "backup").empty());

    // The engine starts again on the restored data, restores no more and backs them up.
    const size_t restores = requests("GET", base + "restore").size();
    set_rules({{"POST " + base + "backup", kSuccess}});
    start();
    ASSERT_TRUE(wait_requests("POST", base + "backup", 1)) << env.log();
    EXPECT_EQ(requests("GET", base + "restore").size(), restores);
    Members body = members(requests("POST", base + "backup")[0].body);
    EXPECT_NE(std::find(body.begin(), body.end(), Members::value_type("room:1", "kitchen")), body.end()) << env.log();
    EXPECT_EQ(env.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, RestoreCutShort,
    ::testing::Values(CutCase{"first_start_killed", false, false, Cut::Kill},
                      CutCase{"first_start_state_redis_lost", false, false, Cut::StateRedisLost},
                      CutCase{"killed_in_the_connection_wait", false, true, Cut::Kill},
                      CutCase{"bus_change_killed", true, false, Cut::Kill},
                      CutCase{"bus_change_state_redis_lost", true, false, Cut::StateRedisLost},
                      CutCase{"bus_change_killed_in_the_connection_wait", true, true, Cut::Kill}),
    [](const ::testing::TestParamInfo<CutCase> &i) { return std::string(i.param.name); });

TEST_F(BackupTest, ASecondHaidWhileARestoreWaitsRestoresTheSecondOnly) {
    adopt_seed_haid();
    const std::string h2 = "0200C0000201-H2", h3 = "0200C0000201-H3";
    const std::string p2 = "/app/hm/brixmoor/" + h2 + "/", p3 = "/app/hm/brixmoor/" + h3 + "/";
    set_rules({{"GET " + p2 + "restore", reply(200, R"({"room:1":"from H2","room:2":"only H2"})", "\"delay\": 4")},
               {"GET " + p3 + "restore", reply(200, R"({"room:1":"from H3"})", "\"delay\": 1")},
               {"POST " + p3 + "backup", kSuccess}});
    start();
    ASSERT_EQ(env.pcb_cli({"ZIR.HomeAutomation.HA-ID=" + h2}), 0);
    ASSERT_TRUE(wait_requests("GET", p2 + "restore", 1)) << env.log();
    ASSERT_EQ(env.pcb_cli({"ZIR.HomeAutomation.HA-ID=" + h3}), 0);
    EXPECT_EQ(env.wait_exit(60s), 4) << env.log();
    EXPECT_EQ(env.state().get("room:1"), "from H3");
    EXPECT_FALSE(env.state().get("room:2"));
    EXPECT_EQ(env.conf().get(kHaidMirror), h3);

    start();
    ASSERT_TRUE(wait_requests("POST", p3 + "backup", 1)) << env.log();
    EXPECT_EQ(requests("GET", p3 + "restore").size(), 1u);
    EXPECT_TRUE(requests("POST", p2 + "backup").empty());
    EXPECT_EQ(env.stop(), 0);
}

TEST_F(BackupTest, NoBackupGoesUnderAnHaidWhoseRestoreIsOutstandingEvenWhenTheStatusSaysEnabled) {
    adopt_seed_haid();
    const std::string h2 = "0200C0000201-H2";
    const std::string p2 = "/app/hm/brixmoor/" + h2 + "/";
    set_rules({{"POST " + kBackup, kSuccess},
               {"GET " + p2 + "restore", reply(404, "none", "\"delay\": 15")},
               {"POST " + p2 + "backup", kSuccess}});
    start();
    ASSERT_TRUE(wait_requests("POST", kBackup, 1)) << env.log();
    ASSERT_EQ(env.pcb_cli({"ZIR.HomeAutomation.HA-ID=" + h2}), 0);
    ASSERT_TRUE(wait_requests("GET", p2 + "restore", 1)) << env.log();
    // An enable setting that turns true sets the status ENABLED in the middle of the restore.
    env.conf().set("KAVPCB:homeautomation:Enable", "1");
    ASSERT_TRUE(state_is("brixmoor:state", "ENABLED", 10s)) << env.log();
    env.state().set("room:1", "changed");
    EXPECT_TRUE(wait_line("WARN", "Cannot send backup now - the restore for HA-ID " + h2 + " has not ended", 30s))
        << env.log();
    EXPECT_TRUE(requests("POST", p2 + "backup").empty());
    // Once it has ended, the data go to the server under it.
    ASSERT_TRUE(wait_requests("POST", p2 + "backup", 1)) << env.log();
    Members body = members(requests("POST", p2 + "backup")[0].body);
    EXPECT_NE(std::find(body.begin(), body.end(), Members::value_type("room:1", "changed")), body.end());
    EXPECT_EQ(requests("POST", kBackup).size(), 1u);
    EXPECT_EQ(env.stop(), 0);
}

// ---- restores that fail ----

struct FailCase {
    const char *name;
    std::string rule;
    std::string warn;
    const char *state;
    std::string server = "";  // the server address on the bus, when not the peer's
};

void PrintTo(const FailCase &c, std::ostream *os) { *os << c.name; }

class RestoreFailure : public BackupTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(RestoreFailure, WaitsForTheAppUntilTheProcessIsStopped) {
    const FailCase &c = GetParam();
    set_rules({{"GET " + kRestore, c.rule}});
    if (!c.server.empty()) {
        ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.ApplicationServer=" + c.server}), 0);
    }
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(wait_line("WARN", c.warn)) << env.log();
    EXPECT_TRUE(state_is("restore:state", c.state));
    EXPECT_TRUE(wait_until([&] { return !env.conf().get(kHaidMirror); }, 10s));
    EXPECT_EQ(env.state().get("brixmoor:state"), "RESTORE_IN_PROGRESS");
    EXPECT_EQ(env.wait_exit(1s), -1);
    // The poll blocks the loop, yet SIGTERM ends it and the tear-down runs.
    EXPECT_EQ(env.stop(), 0) << env.log();
    EXPECT_TRUE(has_line("INFO", "Configuration restore trigger poll given up: stop requested"));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RestoreFailure,
    ::testing::Values(
        FailCase{"server_error", reply(500, "down"), "http_restore_callback ERROR generic/other 500:down",
                 "RESTORE_ERROR_GENERAL"},
        FailCase{"connection_closed_unanswered", R"({"raw": ""})",
                 "http_restore_callback ERROR generic/other 500:empty body", "RESTORE_ERROR_GENERAL"},
        FailCase{"empty_200", reply(200, ""), "http_restore_callback empty body (no internet connection)",
                 "RESTORE_ERROR_TIMEOUT"},
        FailCase{"not_json", reply(200, "{room"), "http_restore_callback cannot parse restored config '{room'",
                 "RESTORE_ERROR_GENERAL"},
        FailCase{"json_array", reply(200, R"(["a","b"])"),
                 R"(http_restore_callback cannot parse restored config '["a","b"]')", "RESTORE_ERROR_GENERAL"},
        // The HTTP client takes no such URL: no reply will ever come.
        FailCase{"request_refused", kSuccess, "backup_restore - the request could not be sent", "RESTORE_ERROR_GENERAL",
                 "ftp://localhost/app"}),
    [](const ::testing::TestParamInfo<FailCase> &i) { return std::string(i.param.name); });

TEST_F(BackupTest, ThePollIgnoresOtherCommandsAndTryRestoresOnceMore) {
    set_rules({{"GET " + kRestore, "[" + reply(500, "down") + ", " + reply(404, "none") + "]"}});
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(wait_line("WARN", "http_restore_callback ERROR generic/other 500:down")) << env.log();

    env.state().set("restore:trigger", "bogus");
    ASSERT_TRUE(wait_line("WARN", "Configuration restore - don't know how to handle command 'bogus'")) << env.log();
    EXPECT_TRUE(has_line("INFO", "Configuration restore triggered by mobile app with command bogus"));
    EXPECT_TRUE(wait_until([&] { return !env.state().get("restore:trigger"); }, 10s));
    EXPECT_EQ(requests("GET", kRestore).size(), 1u);

    env.state().set("restore:trigger", "try");
    ASSERT_TRUE(wait_requests("GET", kRestore, 2)) << env.log();
    EXPECT_TRUE(state_is("restore:state", "RESTORE_OK_NO_RESTORE"));
    EXPECT_TRUE(state_is("brixmoor:state", "ENABLED"));
    EXPECT_EQ(env.conf().get(kHaidMirror), kSeedHaid);
    EXPECT_FALSE(env.state().get("restore:trigger"));
    // The HA-ID written back comes back as a change of the mirror: no change, no third restore.
    ASSERT_TRUE(wait_line("INFO", std::string("HA-ID update (") + kSeedHaid + ") -> (" + kSeedHaid + ")"))
        << env.log();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(requests("GET", kRestore).size(), 2u);
    EXPECT_EQ(env.stop(), 0);
}

TEST_F(BackupTest, ANewHaidRestoresAndDropCancelsOnlyTheRestore) {
    adopt_seed_haid();
    const std::string haid = "0200C0000201-H2";
    const std::string other = "/app/hm/brixmoor/" + haid + "/";
    set_rules({{"POST " + kBackup, reply(200, kSuccessBody, "\"delay\": 10")},
               {"GET " + other + "restore", reply(500, "down")},
               {"POST " + other + "backup", kSuccess}});
    start();
    ASSERT_TRUE(wait_requests("POST", kBackup, 1)) << env.log();

    // The bus reports a new HA-ID while the backup's reply is still outstanding.
    ASSERT_EQ(env.pcb_cli({"ZIR.HomeAutomation.HA-ID=" + haid}), 0);
    ASSERT_TRUE(wait_line("WARN", "http_restore_callback ERROR generic/other 500:down")) << env.log();
    EXPECT_TRUE(has_line("INFO", std::string("HA-ID update (") + kSeedHaid + ") -> (" + haid + ")"));
    env.state().set("restore:trigger", "drop");
    ASSERT_TRUE(state_is("restore:state", "RESTORE_OK_DROPPED")) << env.log();
    EXPECT_TRUE(state_is("brixmoor:state", "ENABLED"));
    EXPECT_FALSE(has_line("INFO", "http_backup_callback 200:" + kSuccessBody + " ")) << "the reply came too early";

    // The backup was not cancelled: its reply is handled when it comes.
    EXPECT_TRUE(wait_line("INFO", "http_backup_callback 200:" + kSuccessBody + " ", 30s)) << env.log();
    EXPECT_TRUE(wait_until([&] { return env.state().get("backup:lastsuccessfulbackup").has_value(); }, 10s));
    // The drop has the current data backed up soon, under the HA-ID read again.
    EXPECT_TRUE(wait_requests("POST", other + "backup", 1)) << env.log();
    EXPECT_EQ(requests("GET", other + "restore").size(), 1u);
    EXPECT_EQ(env.stop(), 0);
}

}  // namespace
