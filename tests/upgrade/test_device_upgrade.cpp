// The upgrade machine in the test process: a real Redis pair (a gateway's), a real loop, the bus
// stand-in naming the application-server peer, the stand-in firmware commands and a real signature
// check on a test key.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/device/engine.h"
#include "src/device_cfg.h"
#include "src/upgrade.h"
#include "tests/scripts/script_env.h"
#include "tests/support/appserver_peer.h"
#include "tests/support/bus_standin.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/upgrade/firmware_tools.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const char kImage[] = "firmware image 2.0\n";
const char kToken[] = "Dorvekalnistu4qe";
const char kOwn[] = "N1-1";
const char kOwnKind[] = "upgrade:device:gateway:LAN:Acme:G1";
const char kZb[] = "N1-7";
const char kZbKind[] = "upgrade:device:light:ZB:Acme:M1";

std::string files_rule(const std::string &extra = "") {
    return R"("GET /files/fw.bin": {"body": ")" + std::string("firmware image 2.0\\n") + R"(")" + extra + "}";
}

class DeviceUpgrade : public ::testing::Test {
protected:
    void SetUp() override {
        bus.start();
        bus.use_in_this_process();
        server_is(peer.url("/app"));
        peer.set_rules("{" + files_rule() + "}");

        upgrade_setup_redis_instance(env.ri_conf, env.ri_state);
        setup_init();
        cfg_set_type("gateway");
        cfg_set_vendor_name("Acme");
        cfg_set_model_name("G1");
        cfg_set_upgrade_cmd(tools.upgrade_cmd().c_str());
        cfg_set_prepare_upgrade_cmd(tools.prepare_cmd().c_str());
        cfg_set_upgrade_verify_path(tools.verify_cmd().c_str());
        cfg_set_upgrade_public_path(tools.pubkey().c_str());

        own = create_device_context(kOwn, "gateway", nullptr, "LAN");
        ASSERT_NE(own, nullptr);
        own->version = strdup("1.0.0");
        this_device_ctx = own;
    }

    void server_is(const std::string &url) {
        ASSERT_EQ(bus.cli({"APService.HomeAutomation.ApplicationServer=" + url}), 0);
    }
    // A valid offer of the image, its MD5 in lower case as servers send it.
    std::string offer(const std::string &version = "2.0.0", const std::string &signature = sign(kImage),
                      const std::string &md5 = md5_hex(kImage)) {
        return offer_json("gateway", "LAN", "Acme", "G1", version, "fw.bin", signature, md5);
    }
    void store(const std::string &kind, const std::string &conf) {
        env.state().set(kind + ":conf", conf);
        env.state().set(kind + ":version", "2.0.0");
    }
    void run_machine(device_ctx_t *ctx) {
        device_upgrade_init(ctx, env.base);
        ASSERT_EQ(db_wait_subscribed(env.ri_state), 0);
        env.pump(20ms);
    }
    std::string state(const std::string &id, const std::string &suffix = "") {
        return env.state().get("device:" + id + ":state:upgrade" + suffix).value_or("(none)");
    }
    void start(const std::string &id) { env.state().set("device:" + id + ":state:upgrade", "start"); }
    bool wait_state(const std::string &id, const std::string &value, std::chrono::milliseconds t = 20s) {
        return env.pump_until([&] { return state(id) == value; }, t);
    }
    bool wait_log(const std::string &text, size_t n = 1, std::chrono::milliseconds t = 20s) {
        return env.pump_until([&] { return env.log_count(text) >= n; }, t);
    }
    size_t downloads() {
        size_t n = 0;
        for (const auto &r : peer.requests())
            if (r.target.rfind("/files/", 0) == 0) n++;
        return n;
    }
    // Every image the attempts created is gone.
    void expect_images_removed() {
        auto images = created_images(env.log());
        EXPECT_FALSE(images.empty()) << env.log();
        for (const auto &i : images) EXPECT_FALSE(file_exists(i)) << i;
    }

    ScriptEnv env{true};
    TempDir bus_dir;
    BusStandin bus{bus_dir.path()};
    AppServerPeer peer;
    FirmwareTools tools;
    device_ctx_t *own = nullptr;
};

// The whole road of the engine's own device: prepare, download from the base cut before "/app",
// MD5 (sent in lower case), signature, "inprogress", the reboot flag, then the command with the
// image, which is kept for the reboot.
TEST_F(DeviceUpgrade, TheOwnDeviceRunsTheUpgradeCommandWithTheVerifiedImage) {
    const std::string signature = sign(kImage);
    store(kOwnKind, offer("2.0.0", signature));
    run_machine(own);
    start(kOwn);
    ASSERT_TRUE(env.pump_until([&] { return tools.calls_of("fw_upgrade").size() == 1; }, 20s)) << env.log();

    auto images = created_images(env.log());
    ASSERT_EQ(images.size(), 1u);
    const std::string &image = images[0];
    EXPECT_EQ(image.rfind("/tmp/fw_", 0), 0u) << image;
    EXPECT_EQ(tools.calls(), (std::vector<std::string>{
                                 "fw_prepare",
                                 "fw_verify [" + image + "] [" + signature + "] [" + tools.pubkey() + "]",
                                 "fw_upgrade [" + image + "] [" + kToken + "]",
                             }));
    EXPECT_EQ(state(kOwn), "inprogress");
    EXPECT_EQ(state(kOwn, ":reboot"), "on");
    EXPECT_EQ(read_file(image), kImage);
    unlink(image.c_str());
    ASSERT_EQ(downloads(), 1u);
    EXPECT_EQ(peer.requests()[0].method, "GET");
    EXPECT_TRUE(env.log_has("Downloading from full URL " + peer.url("/files/fw.bin") + " into file " + image))
        << env.log();
    EXPECT_EQ(env.log_count("Cleanup for"), 0u) << env.log();
}

// The reboot flag found at the next start ends the upgrade: flag "", state "done", then "".
TEST_F(DeviceUpgrade, TheFlagFoundAtTheNextStartEndsTheUpgrade) {
    env.state().set("device:N1-1:state:upgrade:reboot", "on");
    env.state().set("device:N1-1:state:upgrade", "inprogress");
    run_machine(own);
    ASSERT_TRUE(wait_state(kOwn, "")) << env.log();
    EXPECT_EQ(state(kOwn, ":reboot"), "");
    EXPECT_TRUE(env.log_has("We just finished reboot - set device:N1-1:state:upgrade to empty")) << env.log();
    EXPECT_TRUE(tools.calls().empty());
}

struct FailureCase {
    const char *name;
    const char *warn;  // logged once per attempt
    std::string conf;  // the stored offer ("" for the fixture's valid one)
    std::string files; // the peer's rule for the image ("" for the fixture's)
    std::string verify; // extra arguments of the verification tool
    bool no_upgrade_cmd;
    std::string signature = ""; // the offer's signature ("@MARK@": a file the shell must not create)
};

void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.name; }

class Failures : public DeviceUpgrade, public ::testing::WithParamInterface<FailureCase> {};

// Each failing attempt is retried three times; the fourth failure drops the offer, the state and the
// flag. No image is left behind and nothing is upgraded.
TEST_P(Failures, AreRetriedThreeTimesThenTheOfferIsDropped) {
    const FailureCase &c = GetParam();
    if (!c.files.empty()) peer.set_rules("{" + c.files + "}");
    if (!c.verify.empty()) cfg_set_upgrade_verify_path((tools.verify_cmd() + " " + c.verify).c_str());
    if (c.no_upgrade_cmd) cfg_set_upgrade_cmd(nullptr);
    std::string signature = c.signature;
    const size_t mark = signature.find("@MARK@");
    if (mark != std::string::npos) signature.replace(mark, 6, tools.path("injected"));
    store(kOwnKind, !c.conf.empty() ? c.conf : signature.empty() ? offer() : offer("2.0.0", signature));
    env.state().set("device:N1-1:state:upgrade:reboot", "");
    run_machine(own);
    start(kOwn);
    ASSERT_TRUE(wait_log("Failed to do upgrade device 3 times, reset counter and upgrade key")) << env.log();
    env.pump(100ms);
    EXPECT_EQ(env.log_count(c.warn), 4u) << env.log();
    for (int i = 0; i < 3; i++) EXPECT_EQ(env.log_count("Upgrade failed, try " + std::to_string(i) + "..."), 1u);
    for (const char *k : {"upgrade:device:gateway:LAN:Acme:G1:conf", "upgrade:device:gateway:LAN:Acme:G1:version",
                          "device:N1-1:state:upgrade", "device:N1-1:state:upgrade:reboot"})
        EXPECT_FALSE(env.state().get(k).has_value()) << k;
    EXPECT_TRUE(tools.calls_of("fw_upgrade").empty());
    expect_images_removed();
    // A failed download has removed its image already: that is no failure to remove it.
    EXPECT_EQ(env.log_count("Unlink failed"), 0u) << env.log();
    EXPECT_FALSE(file_exists(tools.path("injected"))) << "the shell ran server text";
    // Server text is one literal argument of the verification tool.
    if (!signature.empty()) {
        for (const auto &call : tools.calls_of("fw_verify"))
            EXPECT_NE(call.find("] [" + signature + "] ["), std::string::npos) << call;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Failures,
    ::testing::Values(
        FailureCase{"checksum", "Upgrade failed due to checksum error file=",
                    offer_json("gateway", "LAN", "Acme", "G1", "2.0.0", "fw.bin", sign(kImage), std::string(32, 'a')),
                    "", "", false},
        FailureCase{"verifier_line_feed", "verify_signature failed (error: 'Verified OK", "", "", "--keep-newline",
                    false},
        FailureCase{"wrong_signature", "Upgrade failed due to signature error",
                    offer_json("gateway", "LAN", "Acme", "G1", "2.0.0", "fw.bin", sign("another image"),
                               md5_hex(kImage)),
                    "", "", false},
        FailureCase{"download_refused", "Upgrade failed due to unsuccessful download", "",
                    R"("GET /files/fw.bin": {"status": 404})", "", false},
        FailureCase{"url_not_fetchable", "Upgrade failed due to unsuccessful download",
                    offer_json("gateway", "LAN", "Acme", "G1", "2.0.0", "fw bin", sign(kImage), md5_hex(kImage)),
                    "", "", false},
        FailureCase{"offer_not_json", "Error in parsing version JSON", "{\"version\":", "", "", false},
        FailureCase{"offer_without_md5", "No md5 element or md5 element failed",
                    R"({"version":"2.0.0","url":"fw.bin","signature":"x"})", "", "", false},
        FailureCase{"no_upgrade_cmd", "No upgrade command configured, device N1-1 not upgraded", "", "", "", true},
        FailureCase{"signature_command_substitution", "Upgrade failed due to signature error", "", "", "", false,
                    "$(touch @MARK@)"},
        FailureCase{"signature_closing_the_quote", "Upgrade failed due to signature error", "", "", "", false,
                    "';touch @MARK@;'"},
        FailureCase{"signature_backquotes", "Upgrade failed due to signature error", "", "", "", false,
                    "`touch @MARK@`"}),
    [](const ::testing::TestParamInfo<FailureCase> &i) { return std::string(i.param.name); });

// An offer equal to the device's version as text ends the request without a download; one that
// only looks equal ("1.0" against "1.0.0") is downloaded.
TEST_F(DeviceUpgrade, AnEqualVersionTextEndsWithoutDownload) {
    store(kOwnKind, offer("1.0.0"));
    run_machine(own);
    start(kOwn);
    ASSERT_TRUE(wait_log("Version in JSON is same as in the config file (1.0.0) - do not download FW")) << env.log();
    ASSERT_TRUE(wait_state(kOwn, "")) << env.log();
    EXPECT_EQ(downloads(), 0u);
    expect_images_removed();

    store(kOwnKind, offer("1.0"));
    start(kOwn);
    ASSERT_TRUE(wait_state(kOwn, "inprogress")) << env.log();
    EXPECT_EQ(downloads(), 1u);
}

// The base is cut at the first "/app" of the URL's path, never inside its authority (a user part
// stands in for a host name beginning with "app", which cannot be resolved here).
TEST_F(DeviceUpgrade, TheDownloadBaseIsCutInThePathOnly) {
    const std::string host = "app@127.0.0.1";
    server_is(peer.url("/app/v1", host));
    store(kOwnKind, offer());
    run_machine(own);
    start(kOwn);
    ASSERT_TRUE(wait_state(kOwn, "inprogress")) << env.log();
    EXPECT_EQ(downloads(), 1u);
    EXPECT_TRUE(env.log_has("Downloading from full URL " + peer.url("/files/fw.bin", host) + " into file"))
        << env.log();
}

// What the request leaves open: no offer, or no server to download from. The request stays
// "start", and the attempt's image is removed.
TEST_F(DeviceUpgrade, NoOfferOrNoServerLeavesTheRequestAndRemovesTheImage) {
    run_machine(own);
    start(kOwn);
    ASSERT_TRUE(wait_log("Version JSON is null/empty")) << env.log();

    store(kOwnKind, offer());
    server_is("");
    env.state().set("device:N1-1:state:upgrade", "x");
    start(kOwn);
    ASSERT_TRUE(wait_log("No server url, cannot download")) << env.log();
    env.pump(100ms);
    EXPECT_EQ(state(kOwn), "start");
    EXPECT_EQ(downloads(), 0u);
    EXPECT_EQ(created_images(env.log()).size(), 2u);
    expect_images_removed();
}

// One attempt per device: a second "start" while the image is still coming is ignored.
TEST_F(DeviceUpgrade, ASecondStartDuringADownloadIsIgnored) {
    peer.set_rules("{" + files_rule(R"(, "delay": 1.5)") + "}");
    store(kOwnKind, offer());
    run_machine(own);
    start(kOwn);
    ASSERT_TRUE(env.pump_until([&] { return downloads() == 1; }, 20s)) << env.log();
    start(kOwn);
    ASSERT_TRUE(wait_log("Upgrade of device N1-1 already under way, \"start\" ignored")) << env.log();
    ASSERT_TRUE(env.pump_until([&] { return tools.calls_of("fw_upgrade").size() == 1; }, 20s)) << env.log();
    env.pump(300ms);
    EXPECT_EQ(downloads(), 1u);
    EXPECT_EQ(tools.calls_of("fw_prepare").size(), 1u);
    EXPECT_EQ(created_images(env.log()).size(), 1u);
}

// A model that does not reboot: the command runs at once, no flag, the image goes, the state stays.
TEST_F(DeviceUpgrade, AModelThatDoesNotRebootRunsAtOnceAndCleansUp) {
    cfg_set_model_name("Corvanel");
    store("upgrade:device:gateway:LAN:Acme:Corvanel", offer());
    run_machine(own);
    start(kOwn);
    ASSERT_TRUE(env.pump_until([&] { return tools.calls_of("fw_upgrade").size() == 1; }, 20s)) << env.log();
    env.pump(100ms);
    EXPECT_EQ(state(kOwn), "inprogress");
    EXPECT_EQ(state(kOwn, ":reboot"), "(none)");
    expect_images_removed();
}

// Class "stb": no download and no checks, yet the upgrade runs (with the empty image).
TEST_F(DeviceUpgrade, ASetTopBoxSkipsDownloadAndChecks) {
    cfg_set_type("stb");
    store("upgrade:device:stb:LAN:Acme:G1", offer("2.0.0", "not a signature", "not an md5"));
    run_machine(own);
    start(kOwn);
    ASSERT_TRUE(env.pump_until([&] { return tools.calls_of("fw_upgrade").size() == 1; }, 20s)) << env.log();
    EXPECT_EQ(state(kOwn), "inprogress");
    EXPECT_EQ(downloads(), 0u);
    EXPECT_TRUE(tools.calls_of("fw_verify").empty());
    auto images = created_images(env.log());
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(read_file(images[0]), "");
    unlink(images[0].c_str());
}

// The counter is the module's: a failure before a success counts towards the next upgrade's limit.
TEST_F(DeviceUpgrade, AFailureBeforeASuccessCountsTowardsTheLimit) {
    peer.set_rules(R"({"GET /files/fw.bin": [{"status": 500}, {"body": "firmware image 2.0\n"}, {"status": 500}]})");
    store(kOwnKind, offer());
    run_machine(own);
    start(kOwn);
    ASSERT_TRUE(wait_state(kOwn, "inprogress")) << env.log();
    EXPECT_EQ(env.log_count("Upgrade failed, try 0..."), 1u);
    for (const auto &i : created_images(env.log())) unlink(i.c_str());

    env.state().set("device:N1-1:state:upgrade", "");
    start(kOwn);
    ASSERT_TRUE(wait_log("Failed to do upgrade device 3 times")) << env.log();
    EXPECT_EQ(env.log_count("Upgrade failed due to unsuccessful download"), 4u);
    EXPECT_EQ(env.log_count("Upgrade failed, try 2..."), 1u);
}

// ---- devices of other domains ----

class OtherDomain : public DeviceUpgrade {
protected:
    void SetUp() override {
        DeviceUpgrade::SetUp();
        tools.add_command("fw_upgrade-ZB-light");
        env.state().set("device:N1-7:meta:class", "light");
        env.state().set("device:N1-7:domain", "ZB");
        env.state().set("device:N1-7:meta:vendor", "Acme");
        env.state().set("device:N1-7:meta:model", "M1");
        store(kZbKind, offer_json("light", "ZB", "Acme", "M1", "2.0.0", "fw.bin", sign(kImage), md5_hex(kImage)));
    }
    device_ctx_t *device_with_driver(const std::string &code) {
        env.conf().set("driver:zbl:code", code);
        device_ctx_t *ctx = create_device_context(kZb, "light", "zbl", "ZB");
        load_driver_script(ctx);
        EXPECT_EQ(ctx->driver_loaded, 1) << env.log();
        return ctx;
    }
};

const char kHookDriver[] =
    "local d = {}\n"
    "function d.init(id) end\n"
    "function d.get_version() return '1' end\n"
    "function d.upgrade(conf, image)\n"
    "  local f = io.open(image) local body = f:read('*a') f:close()\n"
    "  db.set('test:hook', cjson.decode(conf).version .. '|' .. body)\n"
    "  return RESULT\n"
    "end\n"
    "return d\n";

std::string hook_driver(const std::string &result) {
    std::string code = kHookDriver;
    code.replace(code.find("RESULT"), 6, result);
    return code;
}

TEST_F(OtherDomain, ATrueHookResultIsDoneAndTheImageGoes) {
    device_ctx_t *ctx = device_with_driver(hook_driver("'yes'"));
    run_machine(ctx);
    start(kZb);
    ASSERT_TRUE(wait_log("We just finished reboot - set device:N1-7:state:upgrade to empty")) << env.log();
    ASSERT_TRUE(wait_state(kZb, "")) << env.log();
    EXPECT_EQ(env.state().get("test:hook").value_or(""), std::string("2.0.0|") + kImage);
    EXPECT_TRUE(tools.calls_of("fw_upgrade").empty());
    EXPECT_EQ(state(kZb, ":reboot"), "(none)");
    expect_images_removed();
}

// The clean-up after the hook: an image already gone is no failure, one that cannot go is logged.
struct ImageLeftCase {
    const char *name;
    std::string hook;  // what the hook does to the image before it returns true
    size_t warnings;   // "Unlink failed with error Is a directory"
};

void PrintTo(const ImageLeftCase &c, std::ostream *os) { *os << c.name; }

class ImageLeft : public OtherDomain, public ::testing::WithParamInterface<ImageLeftCase> {};

TEST_P(ImageLeft, OnlyAFailedRemovalOfAnExistingImageIsLogged) {
    std::string code = hook_driver("true");
    code.replace(code.find("  return true"), 0, GetParam().hook + "\n");
    device_ctx_t *ctx = device_with_driver(code);
    run_machine(ctx);
    start(kZb);
    ASSERT_TRUE(wait_state(kZb, "")) << env.log();
    auto images = created_images(env.log());
    ASSERT_EQ(images.size(), 1u);
    rmdir(images[0].c_str());
    EXPECT_EQ(env.log_count("Unlink failed with error Is a directory"), GetParam().warnings) << env.log();
    EXPECT_EQ(env.log_count("Unlink failed"), GetParam().warnings) << env.log();
}

INSTANTIATE_TEST_SUITE_P(
    Table, ImageLeft,
    ::testing::Values(ImageLeftCase{"removed_by_the_hook", "  os.remove(image)", 0},
                      ImageLeftCase{"a_directory_in_its_place", "  os.remove(image) os.execute('mkdir ' .. image)", 1}),
    [](const ::testing::TestParamInfo<ImageLeftCase> &i) { return std::string(i.param.name); });

struct HookCase {
    const char *name;
    std::string result;
    const char *warn;
};

void PrintTo(const HookCase &c, std::ostream *os) { *os << c.name; }

class HookFailures : public OtherDomain, public ::testing::WithParamInterface<HookCase> {};

TEST_P(HookFailures, FailTheAttempt) {
    device_ctx_t *ctx = device_with_driver(hook_driver(GetParam().result));
    run_machine(ctx);
    start(kZb);
    ASSERT_TRUE(wait_log("Failed to do upgrade device 3 times")) << env.log();
    EXPECT_EQ(env.log_count(GetParam().warn), 4u) << env.log();
    EXPECT_TRUE(tools.calls().size() == 4 * 2u) << "prepare and verify only";
    expect_images_removed();
}

INSTANTIATE_TEST_SUITE_P(
    Table, HookFailures,
    ::testing::Values(
        HookCase{"false", "false",
                 "Upgrade failed due to error returned by Lua upgrade function in the domain driver"},
        HookCase{"nil", "nil", "Upgrade failed due to error returned by Lua upgrade function in the domain driver"},
        HookCase{"error", "error('flash broke')", "Upgrade failed due to Lua error"}),
    [](const ::testing::TestParamInfo<HookCase> &i) { return std::string(i.param.name); });

// Without a hook (or without a driver table) the per-domain command runs, device id and image quoted.
TEST_F(OtherDomain, WithoutAHookTheDomainCommandRuns) {
    for (const char *code : {"local d = {} function d.init() end return d", "driver = nil return nil"}) {
        SCOPED_TRACE(code);
        remove_device_context(kZb);
        env.pump(20ms);
        env.conf().set("driver:zbl:code", code);
        device_ctx_t *ctx = create_device_context(kZb, "light", "zbl", "ZB");
        load_driver_script(ctx);
        const size_t before = tools.calls_of("fw_upgrade-ZB-light").size();
        run_machine(ctx);
        env.state().set("device:N1-7:state:upgrade", "x");
        start(kZb);
        ASSERT_TRUE(env.pump_until([&] { return tools.calls_of("fw_upgrade-ZB-light").size() == before + 1; }, 20s))
            << env.log();
        auto images = created_images(env.log());
        EXPECT_EQ(tools.calls_of("fw_upgrade-ZB-light").back(),
                  "fw_upgrade-ZB-light [N1-7] [" + images.back() + "]");
        EXPECT_EQ(state(kZb), "inprogress");
        EXPECT_EQ(state(kZb, ":reboot"), "on");
        EXPECT_TRUE(env.log_has("Upgrade method not found, fallback to script")) << env.log();
        unlink(images.back().c_str());
    }
}

// A class from Redis that cannot name a command runs nothing.
TEST_F(OtherDomain, AClassThatCannotNameACommandFailsTheAttempt) {
    const std::string marker = tools.path("injected");
    env.state().set("device:N1-7:meta:class", "light;touch " + marker);
    store("upgrade:device:light;touch " + marker + ":ZB:Acme:M1",
          offer_json("light", "ZB", "Acme", "M1", "2.0.0", "fw.bin", sign(kImage), md5_hex(kImage)));
    device_ctx_t *ctx = device_with_driver("local d = {} function d.init() end return d");
    run_machine(ctx);
    start(kZb);
    ASSERT_TRUE(wait_log("Failed to do upgrade device 3 times")) << env.log();
    EXPECT_EQ(env.log_count("cannot name a command"), 4u) << env.log();
    EXPECT_FALSE(file_exists(marker));
    EXPECT_EQ(tools.calls_of("fw_upgrade").size() + tools.calls_of("fw_upgrade-ZB-light").size(), 0u);
}

// A device removed while its image is coming ends its attempt with it: nothing runs later.
TEST_F(OtherDomain, ADeviceRemovedMidDownloadEndsItsAttempt) {
    peer.set_rules("{" + files_rule(R"(, "delay": 1)") + "}");
    device_with_driver(hook_driver("true"));
    run_machine(get_device_context(kZb));
    start(kZb);
    ASSERT_TRUE(env.pump_until([&] { return downloads() == 1; }, 20s)) << env.log();
    remove_device_context(kZb);
    env.pump(2000ms);
    EXPECT_EQ(env.log_count("fw_download_complete"), 0u) << env.log();
    EXPECT_FALSE(env.state().get("test:hook").has_value());
    EXPECT_EQ(state(kZb), "start");
    expect_images_removed();
    EXPECT_EQ(numsub(env.state(), "__keyspace@0__:device:N1-7:state:upgrade"), 0);
}

// Set up again, the machine keeps its one watch and reads no flag in the middle of an upgrade.
TEST_F(DeviceUpgrade, ARepeatedSetUpStacksNothing) {
    run_machine(own);
    env.state().set("device:N1-1:state:upgrade:reboot", "on");
    device_upgrade_init(own, env.base);
    env.pump(100ms);
    EXPECT_EQ(state(kOwn, ":reboot"), "on");
    EXPECT_EQ(numsub(env.state(), "__keyspace@0__:device:N1-1:state:upgrade"), 1);
    device_upgrade_cleanup(own);
    EXPECT_EQ(own->upgrade_sub_ctx, nullptr);
    env.pump(100ms);
    EXPECT_EQ(numsub(env.state(), "__keyspace@0__:device:N1-1:state:upgrade"), 0);
    device_upgrade_cleanup(nullptr);
}

}  // namespace
