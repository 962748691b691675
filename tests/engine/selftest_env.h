#ifndef BRX_TESTS_ENGINE_SELFTEST_ENV_H
#define BRX_TESTS_ENGINE_SELFTEST_ENV_H

// A leader gateway for the self-test tests: its own device's driver reports, a device behind it
// has no driver code.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/engine/adopted_leader.h"
#include "tests/engine/engine_scripts.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

namespace selftest_test {

inline const char kEnable[] = "APService.HomeAutomation.BrixmoorSelfTestEnable";
inline const char kResults[] = "APService.HomeAutomation.BrixmoorSelfTestResults";

// A driver whose selftest hook publishes one report naming the device and the hook's argument.
inline const char kReportingDriver[] = R"(
local d = {}
local id
function d.init(device_id) id = device_id end
function d.command(json) end
function d.selftest(args) db.publish('selftest:store_report', id .. ' ' .. args) end
function d.cleanup() end
return d
)";

class Selftest : public engine_test::AdoptedLeader {
protected:
    void SetUp() override {
        AdoptedLeader::SetUp();
        env.state().set("device:N1-1:domain", "LAN");
        env.conf().set("driver:gateway:code", kReportingDriver);
        // A device behind the gateway whose driver has no code.
        env.state().set("landevicemap:N1-1:N1-2", "1");
        env.state().set("device:N1-2:meta:class", "light");
        env.state().set("device:N1-2:meta:driver", "nocode");
        env.state().set("device:N1-2:domain", "LAN");
    }
    void publish(const std::string &channel, const std::string &message) {
        env.state().command({"PUBLISH", channel, message});
    }
};

}  // namespace selftest_test

#endif
