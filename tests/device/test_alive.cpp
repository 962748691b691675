// Alive tracking in the test process on a real Redis pair: which devices are tracked, one watch per
// device, and the camera's address keys. The 70-second expiry itself runs in the black-box test
// tests/engine/test_alive_slow.cpp.
#include <arpa/inet.h>
#include <event2/event.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/glib-mini/glib.h"
#include "src/device/alive.h"
#include "src/device/engine.h"
#include "tests/scripts/script_env.h"

using namespace brx_test;

namespace {

class Alive : public ::testing::Test {
protected:
    void SetUp() override {
        env = std::make_unique<ScriptEnv>(true);
        alive_setup_redis_instance(env->ri_conf, env->ri_state);
        alive_set_event_base(env->base);
    }
    void TearDown() override {
        alive_stop();
        env.reset();
    }
    int pending() { return event_base_get_num_events(env->base, EVENT_BASE_COUNT_ADDED); }
    void registered(const std::string &id, const std::string &domain, const std::string &cls) {
        env->state().set("device:" + id + ":domain", domain);
        env->state().set("device:" + id + ":meta:class", cls);
    }
    std::unique_ptr<ScriptEnv> env;
};

struct ClassCase {
    const char *class_name;
    const char *domain;
    int allowed;
};

TEST_F(Alive, OnlyFourDomainAndClassPairsAreTracked) {
    const ClassCase cases[] = {
        {"camera", "LAN", 1},     {"switch", "LAN", 1},     {"bridge", "VIRTUAL", 1}, {"light", "VIRTUAL", 1},
        {"light", "LAN", 0},      {"camera", "VIRTUAL", 0}, {"bridge", "LAN", 0},     {"gateway", "LAN", 0},
        {"Camera", "LAN", 0},     {"camera", "lan", 0},     {"camera ", "LAN", 0},    {nullptr, "LAN", 0},
        {"camera", nullptr, 0},
    };
    for (const ClassCase &c : cases) {
        SCOPED_TRACE(std::string(c.class_name ? c.class_name : "NULL") + "/" + (c.domain ? c.domain : "NULL"));
        EXPECT_EQ(class_allowed_for_alive(c.class_name, c.domain), c.allowed);
    }
    EXPECT_TRUE(env->log_has("class camera (LAN) allowed for alive: YES"));
    EXPECT_TRUE(env->log_has("class light (LAN) allowed for alive: NO"));
}

// A renewal re-arms the device's one timer; a "true" message renews only tracked devices.
TEST_F(Alive, EachDeviceHasOneWatchHoweverOftenItIsRenewed) {
    const int before = pending();
    EXPECT_EQ(reset_alive_timer("N1-2"), 0);
    EXPECT_EQ(reset_alive_timer("N1-2"), 0);
    EXPECT_EQ(pending(), before + 1);
    EXPECT_EQ(reset_alive_timer("N1-3"), 0);
    EXPECT_EQ(pending(), before + 2);

    registered("N1-4", "LAN", "switch");
    registered("N1-5", "LAN", "light");
    registered("N1-6", "VIRTUAL", "bridge");
    env->state().set("device:N1-7:meta:class", "switch");  // no domain
    alive_updated_cb("device:N1-4:state:online", "true", nullptr);
    alive_updated_cb("device:N1-4:state:online", "true", nullptr);
    EXPECT_EQ(pending(), before + 3);
    alive_updated_cb("device:N1-6:state:online", "false", nullptr);
    alive_updated_cb("device:N1-5:state:online", "true", nullptr);
    alive_updated_cb("device:N1-7:state:online", "true", nullptr);
    alive_updated_cb("device:N1-8:state:online", "true", nullptr);
    EXPECT_EQ(pending(), before + 3);
    alive_updated_cb("device:N1-6:state:online", "true", nullptr);
    EXPECT_EQ(pending(), before + 4);

    alive_updated_cb("device", "true", nullptr);
    EXPECT_TRUE(env->log_has("Cannot get device_id from key device"));
    alive_stop();
    EXPECT_EQ(pending(), before);
}

// The leader start hands over the classname keys: id, class and domain are fields 2, 5 and 6.
TEST_F(Alive, TheLeaderStartWatchesRegisteredDevicesOfTrackedClasses) {
    const char *keys[] = {
        "device:N1-2:meta:classname:switch:LAN:Acme:X2",  // tracked
        "device:N1-3:meta:classname:light:LAN:Acme:X2",   // not tracked
        "device:N1-4:meta:classname:switch",              // no domain: skipped
        "device:N1-5:meta:classname:bridge:VIRTUAL",      // tracked
    };
    GSList *list = nullptr;
    for (const char *k : keys) list = g_slist_append(list, (gpointer)k);
    const int before = pending();
    start_alive_timer(list, nullptr);
    g_slist_free(list);
    EXPECT_EQ(pending(), before + 2);
    EXPECT_TRUE(env->log_has("start_alive_timer - start alive timer for id N1-2"));
    EXPECT_TRUE(env->log_has("start_alive_timer - start alive timer for id N1-5"));
    EXPECT_TRUE(env->log_has("Class light (LAN) NOT allowed for alive"));
}

in_addr_t ip(const char *dotted) { return inet_addr(dotted); }

// Both address keys of a camera follow its datagrams; a switch's are left alone.
TEST_F(Alive, ACamerasAddressKeysFollowItsDatagrams) {
    registered("N1-2", "LAN", "camera");
    check_alive_ip("N1-2", ip("192.0.2.7"));
    EXPECT_EQ(env->state().get("device:N1-2:state:ip"), "192.0.2.7");
    EXPECT_EQ(env->state().get("device:N1-2:driver:attributes:address"), "192.0.2.7");
    EXPECT_TRUE(env->log_has("No IP address for the camera was set - setting 192.0.2.7"));

    check_alive_ip("N1-2", ip("192.0.2.8"));
    EXPECT_EQ(env->state().get("device:N1-2:state:ip"), "192.0.2.8");
    EXPECT_EQ(env->state().get("device:N1-2:driver:attributes:address"), "192.0.2.8");
    EXPECT_TRUE(env->log_has("IP address of camera N1-2 has changed 192.0.2.7 -> 192.0.2.8"));

    // The same address again writes nothing.
    env->state().set("device:N1-2:driver:attributes:address", "kept");
    check_alive_ip("N1-2", ip("192.0.2.8"));
    EXPECT_EQ(env->state().get("device:N1-2:driver:attributes:address"), "kept");

    registered("N1-3", "LAN", "switch");
    env->state().set("device:N1-3:state:ip", "192.0.2.9");
    check_alive_ip("N1-3", ip("192.0.2.10"));
    EXPECT_EQ(env->state().get("device:N1-3:state:ip"), "192.0.2.9");
    EXPECT_FALSE(env->state().get("device:N1-3:driver:attributes:address").has_value());
    check_alive_ip("N1-4", ip("192.0.2.11"));  // no class at all
    EXPECT_FALSE(env->state().get("device:N1-4:state:ip").has_value());
}

}  // namespace
