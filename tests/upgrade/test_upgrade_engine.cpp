// The gateway as a black box: a forced version check finds a newer image for the engine's own
// device, which is downloaded, verified and handed to the upgrade command; the next start finishes
// the upgrade.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>

#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"
#include "tests/upgrade/firmware_tools.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const char kImage[] = "gateway image 2\n";

// The peer's rules: the version list and the image, each as a plain body, the image after a delay.
std::string rules(const std::string &versions, double image_delay = 0) {
    cJSON *r = cJSON_CreateObject();
    cJSON *v = cJSON_AddObjectToObject(r, "GET /app/hm/versions/02:00:C0:00:02:01");
    cJSON_AddStringToObject(v, "body", versions.c_str());
    cJSON *f = cJSON_AddObjectToObject(r, "GET /files/gw-2.bin");
    cJSON_AddStringToObject(f, "body", kImage);
    if (image_delay > 0) cJSON_AddNumberToObject(f, "delay", image_delay);
    char *text = cJSON_PrintUnformatted(r);
    std::string out = text;
    free(text);
    cJSON_Delete(r);
    return out;
}

EngineConfig with_tools(const FirmwareTools &tools) {
    EngineConfig config;
    config.extra_conf = "upgrade_cmd=" + tools.upgrade_cmd() + "\nprepare_upgrade_cmd=" + tools.prepare_cmd() +
                        "\nupgrade_verify_path=" + tools.verify_cmd() + "\nupgrade_pubkey_path=" + tools.pubkey() + "\n";
    return config;
}

std::string own_offer() {
    return offer_json("gateway", "LAN", "TestVendor", "T1", "2.0.0", "gw-2.bin", sign(kImage), md5_hex(kImage));
}

void own_device(EngineEnv &env) {
    env.state().set("LAN:networkid", "N1");
    env.state().set("device:LAN:0200C0000201", "N1-1");
    env.state().set("device:N1-1:meta:classname:gateway:LAN:TestVendor:T1", "1");
}

TEST(UpgradeEngine, AForcedCheckUpgradesTheOwnDeviceAndTheNextStartFinishesIt) {
    FirmwareTools tools;
    EngineEnv env(with_tools(tools));
    own_device(env);
    const std::string offer = own_offer();
    env.appserver().set_rules(rules(R"({"status":"SUCCESS","versions":[)" + offer + "]}"));

    ASSERT_TRUE(env.start());
    ASSERT_TRUE(env.wait_log("Upgrade enabled")) << env.log();
    ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "upgrade:force:check") == 1; }, 30s)) << env.log();
    env.state().command({"PUBLISH", "upgrade:force:check", "x"});

    ASSERT_TRUE(wait_until([&] { return tools.calls_of("fw_upgrade").size() == 1; }, 60s)) << env.log();
    EXPECT_EQ(env.state().get("upgrade:device:gateway:LAN:TestVendor:T1:conf").value_or(""), offer);
    EXPECT_EQ(env.state().get("device:N1-1:state:upgrade").value_or(""), "inprogress");
    EXPECT_EQ(env.state().get("device:N1-1:state:upgrade:reboot").value_or(""), "on");
    bool asked = false;
    for (const auto &r : env.appserver().requests())
        asked |= r.target == "/app/hm/versions/02:00:C0:00:02:01?haid=0200C0000201-HA&current=1.0.0";
    EXPECT_TRUE(asked) << env.log();
    auto images = created_images(env.log());
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(tools.calls_of("fw_upgrade")[0], "fw_upgrade [" + images[0] + "] [Dorvekalnistu4qe]");
    EXPECT_EQ(read_file(images[0]), kImage);
    unlink(images[0].c_str());
    EXPECT_EQ(env.stop(), 0) << env.log();

    // The device came back from its reboot into the new version: the flag read at start ends the
    // upgrade, and the stored offer, compared again, asks for nothing more.
    std::string driver = kQuietLanDriver;
    driver.replace(driver.find("'1.0.0'"), 7, "'2.0.0'");
    env.write_lan_driver(driver);
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(env.wait_log("global_upgrade_device_notify end")) << env.log();
    ASSERT_TRUE(wait_until([&] { return env.state().get("device:N1-1:state:upgrade").value_or("x") == ""; }, 30s))
        << env.log();
    EXPECT_EQ(env.state().get("device:N1-1:state:upgrade:reboot").value_or("x"), "");
    EXPECT_EQ(tools.calls_of("fw_upgrade").size(), 1u);
    EXPECT_EQ(env.stop(), 0) << env.log();
}

// A /tmp file of ours under a unique name made from template; removed with the guard.
struct TmpFile {
    explicit TmpFile(std::string name) : path(std::move(name)) {
        int fd = mkstemp(&path[0]);
        if (fd >= 0) close(fd);
    }
    ~TmpFile() { unlink(path.c_str()); }
    std::string path;
};

// The image of a download that a crash cut short goes at the next start; names the engine does not
// make, and images that a live attempt holds, stay.
TEST(UpgradeEngine, TheNextStartRemovesTheImageOfADownloadCutShort) {
    FirmwareTools tools;
    EngineEnv env(with_tools(tools));
    own_device(env);
    env.appserver().set_rules(rules(R"({"status":"SUCCESS","versions":[]})", 60));
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "__keyspace@0__:device:N1-1:state:upgrade") == 1; }, 60s))
        << env.log();
    env.state().set("upgrade:device:gateway:LAN:TestVendor:T1:conf", own_offer());
    env.state().set("device:N1-1:state:upgrade", "start");
    ASSERT_TRUE(env.wait_log("Downloading from full URL", 30s)) << env.log();
    auto images = created_images(env.log());
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(env.stop(9), 128 + 9);
    ASSERT_TRUE(file_exists(images[0]));

    TmpFile longer("/tmp/fw_XXXXXXX");
    TmpFile held("/tmp/fw_XXXXXX");
    int lock = open(held.path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    ASSERT_TRUE(env.start());
    EXPECT_TRUE(env.wait_log("Leftover image " + images[0] + " removed", 60s)) << env.log();
    EXPECT_FALSE(file_exists(images[0]));
    EXPECT_TRUE(file_exists(longer.path));
    EXPECT_TRUE(file_exists(held.path));
    EXPECT_EQ(env.count_log("Leftover image " + held.path), 0u);
    EXPECT_EQ(env.stop(), 0) << env.log();
    close(lock);
}

}  // namespace
