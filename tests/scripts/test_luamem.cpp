// The memory profiler against a real Redis pair and the gateway bus stand-in: the gateway's
// settings becoming limit keys, samples and the reload test, dumps, and the entries' life.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <lua.hpp>

#include <algorithm>
#include <memory>
#include <string>

#include "src/device/driver.h"
#include "src/luamem.h"
#include "tests/scripts/script_env.h"
#include "tests/support/bus_standin.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const char *const kEnable = "APService.HomeAutomation.BrixmoorMemoryProfilerEnable";
const char *const kConfig = "APService.HomeAutomation.BrixmoorMemoryProfilerConfig";
const char *const kSummary = "APService.HomeAutomation.BrixmoorMemoryProfilerSummary";
const char *const kConfigMirror = "KAVPCB:aphomeautomation:BrixmoorMemoryProfilerConfig";

std::string limits(const std::string &items) { return "{\"limits\":[" + items + "]}"; }
std::string item(const std::string &driver, const std::string &limit_json) {
    return "{\"driver\":\"" + driver + "\",\"limit\":" + limit_json + "}";
}

class Profiler : public ::testing::Test {
protected:
    void SetUp() override {
        env_ = std::make_unique<ScriptEnv>(true);
        bus_ = std::make_unique<BusStandin>(env_->dir().path());
        ASSERT_NO_FATAL_FAILURE(bus_->start());
        bus_->use_in_this_process();
    }
    void TearDown() override {
        for (lua_State *L : states_) close_lua_state(L, nullptr);
        env_.reset();
        bus_->stop();
    }

    void gateway(const std::string &enable, const std::string &config) {
        ASSERT_EQ(bus_->cli({std::string(kEnable) + "=" + enable}), 0);
        ASSERT_EQ(bus_->cli({std::string(kConfig) + "=" + config}), 0);
    }
    /* The gateway enables the profiler with these limit items, then the profiler starts. */
    void start(const std::string &items) {
        gateway("1", limits(items));
        luamem_init(env_->ri_state, env_->ri_conf);
    }
    lua_State *state(const char *cls, const char *domain) {
        lua_State *L = new_script_state();
        states_.push_back(L);
        luamem_set_limit(L, cls, domain);
        return L;
    }
    void close(lua_State *L) {
        states_.erase(std::find(states_.begin(), states_.end(), L));
        close_lua_state(L, nullptr);
    }
    std::string summary() {
        std::string out;
        bus_->cli({"-l", std::string(kSummary) + "?"}, &out);
        return out;
    }
    /* The reloads counted in the gateway's summary for driver, -1 when it has no item. */
    int reloads(const std::string &driver) {
        cJSON *j = cJSON_Parse(summary().c_str());
        int n = -1;
        const cJSON *it = nullptr;
        cJSON_ArrayForEach(it, cJSON_GetObjectItemCaseSensitive(j, "summary")) {
            const cJSON *d = cJSON_GetObjectItemCaseSensitive(it, "driver");
            if (cJSON_IsString(d) && driver == d->valuestring)
                n = cJSON_GetObjectItemCaseSensitive(it, "reloads")->valueint;
        }
        cJSON_Delete(j);
        return n;
    }
    void publish(const std::string &channel, const std::string &message) {
        ASSERT_TRUE(env_->wait_subscribed({}, 2));
        env_->state().command({"PUBLISH", channel, message});
    }

    std::unique_ptr<ScriptEnv> env_;
    std::unique_ptr<BusStandin> bus_;
    std::vector<lua_State *> states_;
};

struct ApplyCase {
    const char *name;
    const char *enable;
    std::string config;
    const char *stored;  // the value of "luamem:limit:LAN" afterwards, nullptr for none
    const char *log;
};

void PrintTo(const ApplyCase &c, std::ostream *os) { *os << c.name; }

class ProfilerApply : public Profiler, public ::testing::WithParamInterface<ApplyCase> {};

TEST_P(ProfilerApply, TheGatewaySettingsBecomeLimitKeysOrLeaveProfilingOff) {
    const ApplyCase &c = GetParam();
    env_->state().set("luamem:limit:stale", "1");
    gateway(c.enable, c.config);
    luamem_init(env_->ri_state, env_->ri_conf);
    EXPECT_TRUE(env_->log_has(c.log)) << env_->log();
    EXPECT_FALSE(env_->state().get("luamem:limit:stale").has_value());
    auto stored = env_->state().get("luamem:limit:LAN");
    if (c.stored) {
        EXPECT_EQ(stored, c.stored);
    } else {
        EXPECT_FALSE(stored.has_value());
    }
    EXPECT_EQ(env_->state().get("luamem:enable"), c.stored ? "1" : "0");
    EXPECT_EQ(env_->conf().get(kConfigMirror), c.config);
    // Off: no sample is taken.
    lua_State *L = state(nullptr, "LAN");
    EXPECT_EQ(luamem_check(L) > 0, c.stored != nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfilerApply,
    ::testing::Values(
        ApplyCase{"string_limit", "1", limits(item("luamem:limit:LAN", "\"50000\"")), "50000",
                  "Limit set: luamem:limit:LAN = 50000"},
        ApplyCase{"number_limit", "1", limits(item("luamem:limit:LAN", "50000")), nullptr,
                  "No valid limits configured"},
        ApplyCase{"empty_list", "1", limits(""), nullptr, "Empty limits config"},
        ApplyCase{"bad_json", "1", "{\"limits\":[", nullptr, "Invalid format of memory profiler config"},
        ApplyCase{"unknown_driver", "1", limits(item("limit:LAN", "\"1\"")), nullptr,
                  "Ignoring unknown driver (limit:LAN)"},
        ApplyCase{"gateway_disabled", "0", limits(item("luamem:limit:LAN", "\"50000\"")), nullptr,
                  "Memory profiler is disabled"}),
    [](const ::testing::TestParamInfo<ApplyCase> &i) { return std::string(i.param.name); });

TEST_F(Profiler, TheReloadTestComparesTheLatestSampleWithTheLimit) {
    start(item("luamem:limit:LAN", "\"2000000000\""));
    lua_State *L = state(nullptr, "LAN");
    const int sample = luamem_check(L);
    ASSERT_GT(sample, 0);
    EXPECT_EQ(luamem_limit_reached(L), 0);
    struct Case {
        std::string limit;
        int reached;
    };
    // Equal reloads; a text that is no number reads as 0 and reloads at every test.
    for (const Case &c : {Case{std::to_string(sample + 1), 0}, Case{std::to_string(sample), 1}, Case{"abc", 1},
                          Case{"-5", 0}}) {
        SCOPED_TRACE(c.limit);
        env_->state().set("luamem:limit:LAN", c.limit);
        luamem_set_limit(L, nullptr, "LAN");
        EXPECT_EQ(luamem_limit_reached(L), c.reached);
    }
    EXPECT_EQ(reloads("luamem:limit:LAN"), 2) << summary();
    // A class of its own: the driver states of that class in that domain.
    lua_State *D = state("camera", "LAN");
    env_->state().set("luamem:limit:LAN:camera", "1");
    luamem_set_limit(D, "camera", "LAN");
    luamem_check(D);
    EXPECT_EQ(luamem_limit_reached(D), 1);
    EXPECT_EQ(reloads("luamem:limit:LAN:camera"), 1) << summary();
    // An app state has no entry.
    lua_State *app = new_script_state();
    states_.push_back(app);
    luamem_check(app);
    EXPECT_EQ(luamem_limit_reached(app), 0);
    EXPECT_TRUE(env_->log_has("Cannot find context for L"));
}

TEST_F(Profiler, TheHistoryRestartsAfter2000SamplesAndAResetClearsTheLatest) {
    start(item("luamem:limit:LAN", "\"1\""));
    lua_State *L = state(nullptr, "LAN");
    for (int i = 0; i < 2000; i++) luamem_check(L);
    EXPECT_EQ(env_->log_count("LUA memory usage per context (in BYTES) with setting null"), 1u);
    EXPECT_EQ(luamem_limit_reached(L), 1) << "the sample just taken survives the restart";
    publish("luamem:print", "s");
    ASSERT_TRUE(env_->pump_until([&] { return env_->log_has("with setting s"); }));
    EXPECT_TRUE(env_->log_has(", LAN default, 0 stats,")) << env_->log();
    publish("luamem:reset", "");
    ASSERT_TRUE(env_->pump_until([&] { return luamem_limit_reached(L) == 0; }));
}

TEST_F(Profiler, ARemovedLimitStopsTheReloads) {
    start(item("luamem:limit:LAN", "\"1\""));
    lua_State *L = state(nullptr, "LAN");
    luamem_check(L);
    ASSERT_EQ(luamem_limit_reached(L), 1);
    // The gateway's configuration changes live, through its mirror key: the LAN limit is gone.
    ASSERT_TRUE(env_->wait_watched({kConfigMirror}));
    env_->conf().set(kConfigMirror, limits(item("luamem:limit:WAN", "\"1\"")));
    ASSERT_TRUE(env_->pump_until([&] { return env_->log_has("Limit set: luamem:limit:WAN = 1"); })) << env_->log();
    EXPECT_FALSE(env_->state().get("luamem:limit:LAN").has_value());
    luamem_check(L);
    EXPECT_EQ(luamem_limit_reached(L), 0);
}

TEST_F(Profiler, DumpFilesAreNumberedAndTheNextNumberIsStored) {
    start(item("luamem:limit:LAN", "\"1\""));
    lua_State *L = state(nullptr, "LAN");
    luamem_check(L);
    luamem_check(L);
    const std::string base = env_->dir().file("dump");
    ASSERT_TRUE(env_->wait_subscribed({}, 2));
    env_->state().set("luamem:filename", base);
    env_->state().set("luamem:filenamenum", "254");
    ASSERT_TRUE(env_->pump_until([&] { return env_->log_has("update_setting filenamenum:254"); }));
    struct Case {
        const char *mode;
        const char *file;
        const char *next;
    };
    for (const Case &c : {Case{"s", "dump_254", "255"}, Case{"n", "dump_255", "0"}, Case{"g", "dump_0", "1"}}) {
        SCOPED_TRACE(c.mode);
        publish("luamem:print", c.mode);
        ASSERT_TRUE(env_->pump_until([&] { return env_->state().get("luamem:filenamenum") == c.next; }));
        ASSERT_TRUE(file_exists(env_->dir().file(c.file)));
    }
    const std::string s = read_file(env_->dir().file("dump_254"));
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 1) << s;
    EXPECT_NE(s.find(", LAN default, 2 stats,"), std::string::npos) << s;
    const std::string n = read_file(env_->dir().file("dump_255"));
    const std::string numbers = n.substr(n.find('\n') + 1);
    EXPECT_EQ(numbers.find_first_not_of("0123456789,\n"), std::string::npos) << n;
    EXPECT_EQ(std::count(numbers.begin(), numbers.end(), ','), 2) << n;
    EXPECT_EQ(numbers.back(), '\n') << n;
    const std::string g = read_file(env_->dir().file("dump_0"));
    EXPECT_NE(g.find(" : +"), std::string::npos) << g;
}

TEST_F(Profiler, ARebuiltStateKeepsExactlyTheOldEntry) {
    start(item("luamem:limit:LAN", "\"1\""));
    lua_State *old_L = state(nullptr, "LAN");
    for (int i = 0; i < 3; i++) luamem_check(old_L);
    // The new state got an entry of its own when it was built.
    lua_State *new_L = state(nullptr, "LAN");
    luamem_check(new_L);
    luamem_replace(old_L, new_L);
    close(old_L);
    publish("luamem:print", "s");
    ASSERT_TRUE(env_->pump_until([&] { return env_->log_has("with setting s"); }));
    EXPECT_EQ(env_->log_count(", LAN default, "), 1u) << env_->log();
    char expect[64];
    snprintf(expect, sizeof expect, "L(%p), LAN default, 3 stats", (void *)new_L);
    EXPECT_TRUE(env_->log_has(expect)) << env_->log();
    // Closing drops the entry: a state made later at the same address starts without it.
    close(new_L);
    lua_State *later = new_script_state();
    states_.push_back(later);
    luamem_check(later);
    EXPECT_EQ(luamem_limit_reached(later), 0);
}

TEST_F(Profiler, AnUnparsableStoredSummaryIsReplacedByTheNextReload) {
    ASSERT_EQ(bus_->cli({std::string(kSummary) + "=not json"}), 0);
    start(item("luamem:limit:LAN", "\"1\""));
    EXPECT_TRUE(env_->log_has("Invalid format of memory profiler summary"));
    lua_State *L = state(nullptr, "LAN");
    luamem_check(L);
    ASSERT_EQ(luamem_limit_reached(L), 1);
    EXPECT_EQ(reloads("luamem:limit:LAN"), 1) << summary();
}

}  // namespace
