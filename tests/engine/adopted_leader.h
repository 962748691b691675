#ifndef BRX_TESTS_ENGINE_ADOPTED_LEADER_H
#define BRX_TESTS_ENGINE_ADOPTED_LEADER_H

// A leader gateway as a black box: its own device known, the network id set and the HA-ID already
// adopted, so that its start runs no restore.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/engine/engine_scripts.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"

namespace engine_test {

class AdoptedLeader : public ::testing::Test {
protected:
    void SetUp() override {
        env.state().set("LAN:networkid", "N1");
        env.state().set("device:LAN:0200C0000201", "N1-1");
        brx_test::adopt_haid(env.state(), env.conf());
    }
    void start() {
        ASSERT_TRUE(env.start());
        // A start reads several gateway parameters through the shell: slow on a busy machine.
        ASSERT_TRUE(env.wait_log(leader_ready(), std::chrono::seconds(90))) << env.log();
    }
    std::string param(const std::string &name) { return env.param(name); }

    brx_test::EngineEnv env;
};

}  // namespace engine_test

#endif
