// The weekly scheduler: its planning as a function of (entries, now, draw) in fixed zones, and its
// timers on a real event base, in a zone whose next minute is a few seconds ahead.
#include "src/scheduler.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/glib-mini/glib.h"
#include "src/device/engine.h"
#include "tests/scripts/script_env.h"
#include "tests/support/redis_server.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

/* Seconds since the epoch of a UTC calendar time. */
time_t utc(int y, int mo, int d, int h, int mi, int s = 0) {
    struct tm tm = {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return timegm(&tm);
}

std::string text_of(time_t t) {
    if (t == -1) return "none";
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[64];
    strftime(buf, sizeof buf, "%a %Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

std::deque<unsigned> draws;
unsigned next_draw(unsigned window) {
    if (draws.empty()) return window + 1000;  // out of range on purpose: the planning must clamp it
    unsigned d = draws.front();
    draws.pop_front();
    return d;
}

struct EntrySpec {
    scheduler_entry_type_t type;
    int day;
    const char *time;
    unsigned rand_minutes;
    time_t fired_until;
};

struct Planned {
    time_t at;
    std::vector<int> due;  // indexes into the entries
};

Planned plan(const std::vector<EntrySpec> &specs, time_t now, std::vector<unsigned> draw_seq = {}) {
    draws.assign(draw_seq.begin(), draw_seq.end());
    std::vector<scheduler_entry_t> entries(specs.size());
    GSList *list = nullptr;
    for (size_t i = 0; i < specs.size(); i++) {
        entries[i].type = specs[i].type;
        entries[i].day = specs[i].day;
        entries[i].time = const_cast<char *>(specs[i].time);
        entries[i].command = const_cast<char *>("cmd");
        entries[i].rand_minutes = specs[i].rand_minutes;
        entries[i].fired_until = specs[i].fired_until;
        list = g_slist_append(list, &entries[i]);
    }
    GSList *due = nullptr;
    Planned out;
    out.at = scheduler_plan(list, now, next_draw, &due);
    for (GSList *l = due; l; l = l->next)
        out.due.push_back((int)(static_cast<scheduler_due_t *>(l->data)->entry - entries.data()));
    scheduler_free_due(due);
    g_slist_free(list);
    return out;
}

const scheduler_entry_type_t D = scheduler_entry_type_default;
const scheduler_entry_type_t R = scheduler_entry_type_random;

// 2024-01-10 is a Wednesday.
const time_t kWed1000 = utc(2024, 1, 10, 10, 0);

struct PlanCase {
    const char *name;
    std::vector<EntrySpec> entries;
    time_t now;
    std::vector<unsigned> draws;
    time_t want;
    std::vector<int> due;
};

TEST(SchedulerPlan, InstantsAndDueEntriesInUtc) {
    Zone zone("UTC0");
    const time_t sat = utc(2024, 1, 13, 12, 0);
    const std::vector<PlanCase> cases = {
        {"this minute has passed: next week", {{D, 3, "10:00", 0, 0}}, kWed1000, {}, utc(2024, 1, 17, 10, 0), {0}},
        {"late in the minute too", {{D, 3, "10:00", 0, 0}}, kWed1000 + 59, {}, utc(2024, 1, 17, 10, 0), {0}},
        {"the next minute: today", {{D, 3, "10:01", 0, 0}}, kWed1000, {}, utc(2024, 1, 10, 10, 1), {0}},
        {"an earlier weekday: next week", {{D, 1, "08:00", 0, 0}}, kWed1000, {}, utc(2024, 1, 15, 8, 0), {0}},
        {"a later weekday: this week", {{D, 5, "7:5", 0, 0}}, kWed1000, {}, utc(2024, 1, 12, 7, 5), {0}},
        {"offset carried past Saturday midnight", {{D, 6, "23:50", 15, 0}}, sat, {}, utc(2024, 1, 14, 0, 5), {0}},
        {"after 23:50 but before the shifted instant", {{D, 6, "23:50", 15, 0}}, utc(2024, 1, 13, 23, 55), {},
         utc(2024, 1, 14, 0, 5), {0}},
        {"a week later, never drifting", {{D, 6, "23:50", 15, 0}}, utc(2024, 1, 14, 0, 5), {}, utc(2024, 1, 21, 0, 5),
         {0}},
        {"offset within the hour", {{D, 3, "10:20", 30, 0}}, kWed1000, {}, utc(2024, 1, 10, 10, 50), {0}},
        {"window draw 0", {{R, 6, "23:30", 120, 0}}, kWed1000, {0}, utc(2024, 1, 13, 23, 30), {0}},
        {"window draw 60", {{R, 6, "23:30", 120, 0}}, kWed1000, {60}, utc(2024, 1, 14, 0, 30), {0}},
        {"window draw 120", {{R, 6, "23:30", 120, 0}}, kWed1000, {120}, utc(2024, 1, 14, 1, 30), {0}},
        {"a draw past the window is held at its end", {{R, 6, "23:30", 120, 0}}, kWed1000, {},
         utc(2024, 1, 14, 1, 30), {0}},
        // Fired at 23:30 (draw 0), window ending 01:30: a later draw lands in next week's window.
        {"a fired window is not drawn in again", {{R, 6, "23:30", 120, utc(2024, 1, 14, 1, 30)}},
         utc(2024, 1, 13, 23, 30), {60}, utc(2024, 1, 21, 0, 30), {0}},
        {"two at one instant, in order added, earlier replaces later",
         {{D, 3, "11:00", 0, 0}, {D, 3, "10:30", 0, 0}, {D, 4, "9:00", 0, 0}, {D, 3, "10:30", 0, 0}},
         kWed1000, {}, utc(2024, 1, 10, 10, 30), {1, 3}},
        {"no entries", {}, kWed1000, {}, -1, {}},
        {"malformed times are left out",
         {{D, 3, "10", 0, 0}, {D, 3, "a:b", 0, 0}, {D, 3, "10:05x", 0, 0}, {D, 3, ":5", 0, 0}, {D, 3, "12:00", 0, 0}},
         kWed1000, {}, utc(2024, 1, 10, 12, 0), {4}},
        {"a negative day has no instant ahead", {{D, -8, "10:00", 0, 0}}, kWed1000, {}, -1, {}},
        // Days past the week (a stored 1e10 reads as INT_MAX) are left out, beside a weekday that stays.
        {"days past the week are left out",
         {{D, 7, "10:30", 0, 0},
          {D, INT_MAX, "10:00", 0, 0},
          {D, INT_MIN, "10:00", 0, 0},
          {D, INT_MAX, "23:50", 15, 0},
          {R, INT_MAX, "23:30", 120, 0},
          {D, 4, "9:00", 0, 0}},
         kWed1000, {0}, utc(2024, 1, 11, 9, 0), {5}},
        // Thursday at -5:00 is Wednesday 19:00, behind Wednesday 20:00.
        {"a negative hour behind now", {{D, 4, "-5:00", 0, 0}}, utc(2024, 1, 10, 20, 0), {}, -1, {}},
    };
    for (const auto &c : cases) {
        Planned p = plan(c.entries, c.now, c.draws);
        EXPECT_EQ(text_of(p.at), text_of(c.want)) << c.name;
        EXPECT_EQ(p.due, c.due) << c.name;
    }
}

// The wall time is kept across the spring change: the instant is an hour closer in UTC.
TEST(SchedulerPlan, KeepsTheWallTimeAcrossDaylightSaving) {
    Zone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    // 2024-03-31 is the change; Monday 2024-03-25 08:00 CET is 07:00 UTC.
    Planned p = plan({{D, 1, "08:00", 0, 0}}, utc(2024, 3, 25, 7, 0));
    EXPECT_EQ(text_of(p.at), text_of(utc(2024, 4, 1, 6, 0)));
    // A time that the change skips lands after it, and an entry that day is still planned.
    p = plan({{D, 0, "02:30", 0, 0}}, utc(2024, 3, 30, 12, 0));
    EXPECT_NE(p.at, -1);
    EXPECT_GT(p.at, utc(2024, 3, 31, 0, 0));
    EXPECT_LT(p.at, utc(2024, 3, 31, 2, 0));
}

std::vector<unsigned> offsets(const scheduler_ctx_t *s) {
    std::vector<unsigned> out;
    for (const GSList *l = scheduler_entries(s); l; l = l->next)
        out.push_back(static_cast<const scheduler_entry_t *>(l->data)->rand_minutes);
    return out;
}

// The fixed offset is drawn once per entry, capped at 59; a cleanup keeps the maximum.
TEST(SchedulerEntries, FixedOffsetsAndDays) {
    scheduler_ctx_t *s = scheduler_create();
    scheduler_add_day_entry(s, 1, "10:00", "c");
    EXPECT_EQ(offsets(s), std::vector<unsigned>{0});
    scheduler_randomize_minutes(s, 500);
    for (int round = 0; round < 2; round++) {
        scheduler_cleanup(s);
        for (int i = 0; i < 300; i++) scheduler_add_day_entry(s, 1, "10:00", "c");
        unsigned top = 0;
        for (unsigned o : offsets(s)) top = o > top ? o : top;
        EXPECT_LE(top, 59u);
        EXPECT_GT(top, 30u);
    }
    scheduler_cleanup(s);
    scheduler_randomize_minutes(s, 0);
    cJSON *days = cJSON_Parse(R"([1, 3, "x", 6])");
    EXPECT_EQ(scheduler_add_entry(s, days, "7:30", "a"), 0);
    EXPECT_EQ(scheduler_add_entry_with_random_time(s, days, "23:30", 120, "b"), 0);
    cJSON_Delete(days);
    std::vector<std::string> got;
    for (const GSList *l = scheduler_entries(s); l; l = l->next) {
        auto *e = static_cast<const scheduler_entry_t *>(l->data);
        got.push_back(std::to_string(e->type) + " " + std::to_string(e->day) + " " + e->time + " " + e->command + " " +
                      std::to_string(e->rand_minutes));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"0 1 7:30 a 0", "0 3 7:30 a 0", "0 6 7:30 a 0", "1 1 23:30 b 120",
                                             "1 3 23:30 b 120", "1 6 23:30 b 120"}));
    scheduler_destroy(s);
}

/* A days array of n members, the weekdays in turn. */
cJSON *days_of(int n) {
    cJSON *days = cJSON_CreateArray();
    for (int i = 0; i < n; i++) cJSON_AddItemToArray(days, cJSON_CreateNumber(i % 7));
    return days;
}

// The entries of one addition share one copy of its texts, a day listed twice included; a days
// array past 7 x 8 members adds nothing.
TEST(SchedulerEntries, TheEntriesOfOneAdditionShareItsTextsAndItsDaysAreBounded) {
    const std::string command(100000, 'c');
    struct DaysCase {
        int members;
        int rc;
        size_t entries;
    };
    const std::vector<DaysCase> cases = {{1, 0, 1}, {2, 0, 2}, {8, 0, 8}, {56, 0, 56}, {57, -1, 0}, {100000, -1, 0}};
    for (int random = 0; random < 2; random++) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::to_string(c.members) + " members, random " + std::to_string(random));
            scheduler_ctx_t *s = scheduler_create();
            cJSON *days = days_of(c.members);
            if (c.members == 2) cJSON_ReplaceItemInArray(days, 1, cJSON_CreateNumber(0));  // [0,0]
            const int rc = random ? scheduler_add_entry_with_random_time(s, days, "7:30", 10, command.c_str())
                                  : scheduler_add_entry(s, days, "7:30", command.c_str());
            cJSON_Delete(days);
            EXPECT_EQ(rc, c.rc);
            const GSList *entries = scheduler_entries(s);
            EXPECT_EQ(g_slist_length(const_cast<GSList *>(entries)), c.entries);
            for (const GSList *l = entries; l; l = l->next) {
                auto *e = static_cast<const scheduler_entry_t *>(l->data);
                auto *first = static_cast<const scheduler_entry_t *>(entries->data);
                EXPECT_EQ(e->command, first->command);
                EXPECT_EQ(e->time, first->time);
                EXPECT_EQ(e->command, command);
            }
            EXPECT_LT(scheduler_held_bytes(s), command.size() + 200 * (c.entries + 1));
            scheduler_destroy(s);
        }
    }
}

// One entry at a time (a device's scheduler, filled by its script), an instance holds at most a
// mebibyte: past it an entry is refused, and a cleanup makes room again.
TEST(SchedulerEntries, DayEntriesStopAtTheInstancesBound) {
    ScriptEnv env(true);
    scheduler_ctx_t *s = scheduler_create();
    const std::string command(10 * 1024, 'c');
    int added = 0;
    while (added < 1000 && scheduler_add_day_entry(s, 1, "8:00", command.c_str()) == 0) added++;
    EXPECT_EQ(added, (int)(SCHEDULER_MAX_HELD / (command.size() + 100)));
    EXPECT_LE(scheduler_held_bytes(s), (size_t)SCHEDULER_MAX_HELD);
    EXPECT_EQ(g_slist_length(const_cast<GSList *>(scheduler_entries(s))), (unsigned)added);
    EXPECT_TRUE(env.log_has("would pass 1048576: not added")) << env.log();
    EXPECT_EQ(scheduler_add_day_entry(s, 1, "8:00", "small"), 0) << "a small one still fits";

    scheduler_cleanup(s);
    EXPECT_EQ(scheduler_held_bytes(s), 0u);
    EXPECT_EQ(scheduler_add_day_entry(s, 1, "8:00", std::string(SCHEDULER_MAX_HELD, 'x').c_str()), -1);
    EXPECT_EQ(scheduler_add_day_entry(s, 1, "8:00", command.c_str()), 0);
    scheduler_destroy(s);
}

// ---- on an event base ----

std::vector<std::string> fired;
scheduler_ctx_t *current = nullptr;

void record(const char *command) { fired.push_back(command); }
void record_and_cleanup(const char *command) {
    fired.push_back(command);
    scheduler_cleanup(current);
}
void record_and_destroy(const char *command) {
    fired.push_back(command);
    scheduler_destroy(current);
    current = nullptr;
}

/* The next full local minute in a zone set so that it is lead seconds ahead. */
struct Minute {
    int day;
    std::string time;
    time_t at;
};

class SchedulerTimer : public ::testing::Test {
protected:
    SchedulerTimer() : env(true) {
        fired.clear();
        current = scheduler_create();
    }
    ~SchedulerTimer() override {
        scheduler_destroy(current);
        current = nullptr;
    }

    Minute minute_ahead(int lead) {
        const time_t now = time(nullptr);
        const int shift = (int)(((60 - lead - now % 60) % 60 + 60) % 60);
        char tz[32];
        snprintf(tz, sizeof tz, "BXT-00:00:%02d", shift);
        zone.reset();
        zone = std::make_unique<Zone>(tz);
        Minute m;
        m.at = now + lead;
        struct tm tm;
        localtime_r(&m.at, &tm);
        EXPECT_EQ(tm.tm_sec, 0) << tz;
        m.day = tm.tm_wday;
        m.time = std::to_string(tm.tm_hour) + ":" + std::to_string(tm.tm_min);
        return m;
    }
    bool wait_fired(size_t n, std::chrono::milliseconds t = 10s) {
        return env.pump_until([&] { return fired.size() >= n; }, t);
    }

    ScriptEnv env;
    std::unique_ptr<Zone> zone;
};

// Two entries of one minute fire in one expiry, in order added, once, though started twice; the
// scheduler then waits a week for them.
TEST_F(SchedulerTimer, FiresDueEntriesOnceAndPlansAWeekOn) {
    const Minute m = minute_ahead(3);
    scheduler_add_cb(current, record);
    scheduler_add_day_entry(current, m.day, m.time.c_str(), "first");
    scheduler_add_day_entry(current, m.day, m.time.c_str(), "second");
    EXPECT_EQ(scheduler_is_started(current), 0) << "additions never start the timer";
    scheduler_start(current);
    scheduler_start(current);
    EXPECT_EQ(scheduler_next_instant(current), m.at);
    ASSERT_TRUE(wait_fired(2)) << env.log();
    env.pump(1500ms);
    EXPECT_EQ(fired, (std::vector<std::string>{"first", "second"}));
    EXPECT_GE(time(nullptr), m.at);
    EXPECT_EQ(scheduler_is_started(current), 1);
    EXPECT_EQ(text_of(scheduler_next_instant(current)), text_of(m.at + 7 * 24 * 3600));
    EXPECT_TRUE(env.log_has("Callback for day: " + std::to_string(m.day) + ", time: " + m.time + ", command: first"));
}

// A window fires once: the planning after its firing draws in next week's window.
TEST_F(SchedulerTimer, ARandomWindowFiresOnce) {
    const Minute m = minute_ahead(3);
    draws = {0, 2};
    scheduler_set_draw(current, next_draw);
    scheduler_add_cb(current, record);
    cJSON *days = cJSON_CreateIntArray(&m.day, 1);
    scheduler_add_entry_with_random_time(current, days, m.time.c_str(), 2, "window");
    cJSON_Delete(days);
    scheduler_start(current);
    ASSERT_TRUE(wait_fired(1)) << env.log();
    env.pump(500ms);
    EXPECT_EQ(fired.size(), 1u);
    EXPECT_EQ(text_of(scheduler_next_instant(current)), text_of(m.at + 7 * 24 * 3600 + 120));
}

TEST_F(SchedulerTimer, NoInstantAheadArmsNothing) {
    scheduler_add_day_entry(current, -8, "10:00", "past");
    scheduler_add_day_entry(current, 3, "ten", "malformed");
    scheduler_start(current);
    EXPECT_EQ(scheduler_is_started(current), 0);
    EXPECT_TRUE(env.log_has("Entry for day -8 at 10:00 has no instant ahead, left out")) << env.log();
    EXPECT_TRUE(env.log_has("Entry for day 3 with time ten is not H:M, left out")) << env.log();
    EXPECT_TRUE(env.log_has("scheduler_start - next list is empty, returning"));
}

// A callback that cleans its scheduler up, or destroys it, ends the firing: the other due entry
// does not run and nothing is planned again.
TEST_F(SchedulerTimer, ACallbackEndingItsSchedulerStopsTheFiring) {
    for (scheduler_callback_t cb : {record_and_cleanup, record_and_destroy}) {
        fired.clear();
        if (!current) current = scheduler_create();
        const Minute m = minute_ahead(2);
        scheduler_add_cb(current, cb);
        scheduler_add_day_entry(current, m.day, m.time.c_str(), "one");
        scheduler_add_day_entry(current, m.day, m.time.c_str(), "two");
        scheduler_start(current);
        ASSERT_TRUE(wait_fired(1)) << env.log();
        env.pump(300ms);
        EXPECT_EQ(fired, std::vector<std::string>{"one"});
        if (current) {
            EXPECT_EQ(scheduler_is_started(current), 0);
        }
    }
}

void cleanup_then_record(const char *command) {
    scheduler_cleanup(current);
    fired.push_back(command);
}
void destroy_then_record(const char *command) {
    scheduler_destroy(current);
    current = nullptr;
    fired.push_back(command);
}

// A day listed twice fires twice; the command handed to a callback stays whole while the callback
// ends the entries that share it.
TEST_F(SchedulerTimer, TheSharedCommandOfARuleFiresPerDayAndOutlivesItsEntries) {
    struct Case {
        scheduler_callback_t cb;
        std::vector<std::string> fired;
    };
    const std::string command = R"([{"target":"device","id":"N1-5","name":"on"}])";
    for (const Case &c : std::vector<Case>{{record, {command, command}},
                                           {cleanup_then_record, {command}},
                                           {destroy_then_record, {command}}}) {
        fired.clear();
        if (!current) current = scheduler_create();
        const Minute m = minute_ahead(2);
        scheduler_add_cb(current, c.cb);
        cJSON *days = cJSON_CreateIntArray(std::vector<int>{m.day, m.day}.data(), 2);
        ASSERT_EQ(scheduler_add_entry(current, days, m.time.c_str(), command.c_str()), 0);
        cJSON_Delete(days);
        scheduler_start(current);
        ASSERT_TRUE(wait_fired(c.fired.size())) << env.log();
        env.pump(300ms);
        EXPECT_EQ(fired, c.fired);
    }
}

// The default callback runs the text as a command list; a cleanup brings it back.
TEST_F(SchedulerTimer, TheDefaultCallbackRunsTheCommandList) {
    Subscriber sub(env.state(), {"device:42-3:command"});
    const Minute m = minute_ahead(3);
    scheduler_add_cb(current, record);
    scheduler_cleanup(current);
    scheduler_add_day_entry(current, m.day, m.time.c_str(), R"([{"target":"device","id":"42-3","name":"on"}])");
    scheduler_add_day_entry(current, m.day, m.time.c_str(), "not a list");
    scheduler_start(current);
    std::string payload;
    ASSERT_TRUE(env.pump_until([&] { return sub.count("device:42-3:command") >= 1; }, 10s)) << env.log();
    payload = sub.messages()[0].payload;
    cJSON *cmd = cJSON_Parse(payload.c_str());
    ASSERT_NE(cmd, nullptr) << payload;
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItemCaseSensitive(cmd, "sender_id"))) << payload;
    cJSON_Delete(cmd);
    EXPECT_TRUE(fired.empty());
    ASSERT_TRUE(env.pump_until([&] { return env.log_has("activate_scene failed"); }, 2s)) << env.log();
}

// ---- the household schedule ----

namespace schedule_loading {

struct LoadCase {
    const char *name;
    const char *before;  // loaded first (nullptr: nothing)
    const char *text;
    int rc;
    std::vector<std::string> entries;  // "<day> <time>"
    int started;
    const char *warn;  // nullptr: none expected
};

const char kLamp[] = R"([{"target":"device","id":"N1-5","name":"on"}])";

std::string rule(const std::string &members) { return "{" + members + "}"; }

std::vector<std::string> entry_days(const scheduler_ctx_t *s) {
    std::vector<std::string> out;
    for (const GSList *l = scheduler_entries(s); l; l = l->next) {
        auto *e = static_cast<const scheduler_entry_t *>(l->data);
        out.push_back(std::to_string(e->day) + " " + e->time);
    }
    return out;
}

class ScheduleLoading : public ::testing::Test {
protected:
    ScheduleLoading() : env(true) { g_scheduler = scheduler_create(); }
    ~ScheduleLoading() override {
        scheduler_destroy(g_scheduler);
        g_scheduler = nullptr;
    }
    ScriptEnv env;
};

TEST_F(ScheduleLoading, RulesBecomeEntriesAndAnyFaultLeavesNothingRunning) {
    const std::string a = std::string(R"("days":[1,3],"time":"7:30","actions":)") + kLamp;
    const std::string b = std::string(R"("days":[6],"time":"22:00","actions":)") + kLamp;
    const std::string valid = "[" + rule(R"("active":true,)" + a) + "," + rule(R"("active":true,)" + b) + "]";
    const std::string no_time = "[" + rule(R"("active":true,)" + a) + "," +
                                rule(std::string(R"("active":true,"days":[6],"actions":)") + kLamp) + "]";
    const std::string inactive = "[" + rule(R"("active":false,)" + a) + "," + rule(R"("active":null,)" + b) + "," +
                                 rule(R"("active":0,)" + a) + "]";
    const std::string days_text =
        "[" + rule(std::string(R"("active":1,"days":"1","time":"7:30","actions":)") + kLamp) + "]";
    const std::string no_actions = "[" + rule(R"("active":"yes","days":[2],"time":"7:30")") + "]";
    const std::string no_active = "[" + rule(a) + "]";
    const auto days_rule = [](int n) {
        std::string days;
        for (int i = 0; i < n; i++) days += std::string(i ? "," : "") + "1";
        return rule(std::string(R"("active":true,"days":[)") + days + R"(],"time":"7:30","actions":)" + kLamp);
    };
    const std::string days56 = "[" + days_rule(56) + "]", days57 = "[" + days_rule(57) + "]";
    const std::string then57 = "[" + rule(R"("active":true,)" + b) + "," + days_rule(57) + "]";
    // Padded with blanks: still valid JSON, refused by its length alone.
    std::string valid_mib = valid;
    valid_mib.insert(1, SCHEDULER_MAX_VALUE - valid.size(), ' ');
    const std::string past_mib = " " + valid_mib;
    const std::vector<LoadCase> cases = {
        {"valid", nullptr, valid.c_str(), 0, {"1 7:30", "3 7:30", "6 22:00"}, 1, nullptr},
        {"second rule without time", nullptr, no_time.c_str(), -1, {"1 7:30", "3 7:30"}, 0,
         "No time element or time key is NULL"},
        {"active false skipped, null and 0 active", nullptr, inactive.c_str(), 0, {"6 22:00", "1 7:30", "3 7:30"}, 1,
         nullptr},
        {"days not an array", valid.c_str(), days_text.c_str(), -1, {}, 0, "No day element or day element failed"},
        {"missing actions", nullptr, no_actions.c_str(), -1, {}, 0, "No action element or action key is NULL"},
        {"missing active", nullptr, no_active.c_str(), -1, {}, 0, "No active element or active element failed"},
        {"not JSON keeps the running schedule", valid.c_str(), "[{", -1, {"1 7:30", "3 7:30", "6 22:00"}, 1,
         "Error in parsing"},
        {"not an array keeps it too", valid.c_str(), R"({"active":true})", -1, {"1 7:30", "3 7:30", "6 22:00"}, 1,
         "Error in parsing"},
        {"empty array", valid.c_str(), "[]", 0, {}, 0, nullptr},
        {"56 days", nullptr, days56.c_str(), 0, std::vector<std::string>(56, "1 7:30"), 1, nullptr},
        {"57 days stop what ran", valid.c_str(), days57.c_str(), -1, {}, 0, "No day element or day element failed"},
        {"a second rule of 57 days", nullptr, then57.c_str(), -1, {"6 22:00"}, 0,
         "No day element or day element failed"},
        {"a valid value of 1 MiB loads", nullptr, valid_mib.c_str(), 0, {"1 7:30", "3 7:30", "6 22:00"}, 1, nullptr},
        {"a valid value past 1 MiB stops what ran", valid.c_str(), past_mib.c_str(), -1, {}, 0, "Error in parsing"},
    };
    for (const auto &c : cases) {
        if (c.before) {
            ASSERT_EQ(scheduler_conf_parse(c.before), 0) << c.name;
        }
        const size_t warns = c.warn ? env.log_count(c.warn) : 0;
        EXPECT_EQ(scheduler_conf_parse(c.text), c.rc) << c.name;
        EXPECT_EQ(entry_days(g_scheduler), c.entries) << c.name;
        EXPECT_EQ(scheduler_is_started(g_scheduler), c.started) << c.name;
        if (c.warn) {
            EXPECT_EQ(env.log_count(c.warn), warns + 1) << c.name << "\n" << env.log();
        }
    }
    // Each entry's command is the rule's actions, printed formatted.
    ASSERT_EQ(scheduler_conf_parse(valid.c_str()), 0);
    cJSON *actions = cJSON_Parse(kLamp);
    char *printed = cJSON_Print(actions);
    cJSON_Delete(actions);
    const auto *first = static_cast<const scheduler_entry_t *>(scheduler_entries(g_scheduler)->data);
    EXPECT_STREQ(first->command, printed);
    free(printed);
}

}  // namespace schedule_loading

}  // namespace
