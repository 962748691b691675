// A leader gateway as a black box: its statistics parameters follow the state Redis.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>
#include <algorithm>
#include <string.h>

#include "tests/engine/adopted_leader.h"
#include "tests/engine/engine_scripts.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const char kTypes[] = "APService.HomeAutomation.BrixmoorDeviceTypes";
const char kScenes[] = "APService.HomeAutomation.BrixmoorNumberOfScenes";
const char kRules[] = "APService.HomeAutomation.BrixmoorNumberOfRules";
const char kVersion[] = "APService.HomeAutomation.BrixmoorScriptsVersion";

class Stats : public engine_test::AdoptedLeader {
protected:
    // The device-types parameter, compacted, members sorted by name unless in_order ("" when it is not JSON).
    std::string types(bool in_order = false) {
        cJSON *j = cJSON_Parse(param(kTypes).c_str());
        if (j && !in_order) sort_members(j);
        char *flat = j ? cJSON_PrintUnformatted(j) : nullptr;
        std::string out = flat ? flat : "";
        free(flat);
        cJSON_Delete(j);
        return out;
    }
    static void sort_members(cJSON *obj) {
        std::vector<cJSON *> items;
        while (obj->child) items.push_back(cJSON_DetachItemViaPointer(obj, obj->child));
        std::sort(items.begin(), items.end(), [](cJSON *a, cJSON *b) { return strcmp(a->string, b->string) < 0; });
        for (cJSON *i : items) {
            if (cJSON_IsObject(i)) sort_members(i);
            cJSON_AddItemToObject(obj, i->string, i);
        }
    }
    bool param_is(const std::string &name, const std::string &value) {
        return wait_until([&] { return param(name) == value; }, 30s);
    }
    bool types_are(const std::string &compact) {
        return wait_until([&] { return types() == compact; }, 30s);
    }
};

TEST_F(Stats, DeviceTypesAndModels) {
    start();
    ASSERT_TRUE(types_are("{}")) << param(kTypes);
    const char *keys[] = {
        "device:1-1:meta:classname:speaker:LAN:sonos:Play1",
        "device:1-2:meta:classname:speaker:LAN:sonos:Play5",
        "device:1-3:meta:classname:gateway:LAN:x:y",
        "device:1-4:meta:classname:speaker:LAN:sonos",  // no model: counted, hidden by the models
        "device:1-5:meta:classname:camera:LAN:Askey:c1",
        "device:1-6:meta:classname:camera:LAN:askey:c1",  // the vendor is compared case-sensitively
        "device:1-7:meta:classname:bulb:LAN:Ikea:b",
        "device:1-8:meta:classname:bulb:LAN:Ikea:b",
        "device:1-9:meta:classname:button:LAN:any:Button1",
        "device:1-10:meta:classname:switch:LAN",  // no vendor: skipped
        "device:1-11:meta:classname:bridge:LAN:Philips",
        "device:1-12:meta:classname:Gateway:LAN:x:y",  // the class too
    };
    for (const char *k : keys) env.state().set(k, "1");
    const char *counted = R"({"gateway":1,"hue_bridge":1,"ikea_bulb":2,"mystrom_button":{"Button1":1},)"
                          R"("sonos":{"Play1":1,"Play5":1},"unknown":2,"vorn_camera":1})";
    EXPECT_TRUE(types_are(counted)) << types();
    // Formatted JSON.
    EXPECT_NE(param(kTypes).find("\n\t\"sonos\":\t{"), std::string::npos) << param(kTypes);

    // A deletion alone counts nothing; the next count shows the types gone with 0. A scene is
    // counted after the deletions have been seen.
    for (const char *k : {keys[0], keys[1], keys[3], keys[8]}) env.state().command({"DEL", k});
    env.state().set("scene:s1:commands", "[]");
    ASSERT_TRUE(param_is(kScenes, "1"));
    EXPECT_EQ(types(), counted);
    env.state().set("device:1-13:meta:classname:bridge:LAN:Ikea:z", "1");
    EXPECT_TRUE(types_are(R"({"gateway":1,"hue_bridge":1,"ikea_bridge":1,"ikea_bulb":2,"mystrom_button":{"Button1":0},)"
                          R"("sonos":{"Play1":0,"Play5":0},"unknown":2,"vorn_camera":1})"))
        << types();
    // Types stay in the order first seen: the newest is last.
    std::string ordered = types(true);
    EXPECT_EQ(ordered.substr(ordered.size() - std::string(R"(,"ikea_bridge":1})").size()), R"(,"ikea_bridge":1})")
        << ordered;
}

TEST_F(Stats, ScenesRulesAndScriptsVersion) {
    start();
    // Missing at start.
    EXPECT_TRUE(param_is(kVersion, "0"));
    EXPECT_TRUE(param_is(kRules, "0"));

    env.state().set("scene:1:commands", "[]");
    env.state().set("scene:2:commands", "[]");
    ASSERT_TRUE(param_is(kScenes, "2"));
    // The deletion is not seen; a change after it shows that it went by.
    env.state().command({"DEL", "scene:2:commands"});
    env.state().set("drv:version", "1.4.2");
    ASSERT_TRUE(param_is(kVersion, "1.4.2"));
    EXPECT_EQ(param(kScenes), "2");
    env.state().command({"PUBLISH", "scene:2:delete", "x"});
    EXPECT_TRUE(param_is(kScenes, "1"));

    // Only elements whose "if" is a string, and only device rule sets.
    env.state().set("device:1-1:ifttt", R"([{"if":"a","then":[]},{"if":3},{"then":[]}])");
    EXPECT_TRUE(param_is(kRules, "1"));
    env.state().set("app:lamp:a1:ifttt", R"([{"if":"x"}])");
    env.state().set("device:1-2:ifttt", "not json");
    env.state().set("device:1-3:ifttt", R"({"r1":{"if":"b"},"r2":{"if":"c"}})");
    EXPECT_TRUE(param_is(kRules, "3"));
    env.state().set("device:1-1:ifttt", "[]");
    EXPECT_TRUE(param_is(kRules, "2"));
}

}  // namespace
