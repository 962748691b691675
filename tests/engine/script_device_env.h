#ifndef BRX_TESTS_ENGINE_SCRIPT_DEVICE_ENV_H
#define BRX_TESTS_ENGINE_SCRIPT_DEVICE_ENV_H

// A leader gateway started with -t, whose "LAN" default driver's state runs the script files that a
// test publishes on "driver:dofile"; the driver "rec" (engine_scripts.h) is stored for its devices.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/engine/engine_scripts.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

namespace brx_test {

class ScriptDevice : public ::testing::Test {
protected:
    explicit ScriptDevice(const EngineConfig &config = EngineConfig()) : env(config) {}
    void SetUp() override {
        env.state().set("LAN:networkid", "N1");
        env.state().set("device:LAN:0200C0000201", "N1-1");
        env.conf().set("driver:rec:code", engine_test::recording_driver());
    }
    void start() {
        ASSERT_TRUE(env.start({"-t"}));
        ASSERT_TRUE(env.wait_log(engine_test::leader_ready())) << env.log();
        ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "driver:dofile") > 0; }, std::chrono::seconds(30)));
    }
    // Runs code in the "LAN" default driver's state; waits until the engine has run it.
    void dofile(const std::string &name, const std::string &code) {
        const std::string path = env.dir().file(name + ".lua");
        write_file(path, code + "\ndb.set('test:done:" + name + "', 'yes')\n");
        env.state().command({"PUBLISH", "driver:dofile", path});
        ASSERT_TRUE(wait_until([&] { return env.state().get("test:done:" + name) == "yes"; }, std::chrono::seconds(30))) << env.log();
    }
    bool wait_key(const std::string &key, const std::string &value) {
        return wait_until([&] { return env.state().get(key) == value; }, std::chrono::seconds(30));
    }

    EngineEnv env;
};

}  // namespace brx_test

#endif
