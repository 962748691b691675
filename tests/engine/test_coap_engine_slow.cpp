// The daemon under a descriptor limit, driven by a script that sends a burst of CoAP requests to a
// server that never answers: the requests past the bound are refused, the engine lives within its
// memory, and once the burst has timed out a full bound of new requests is answered.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "src/coap_client.h"
#include "tests/engine/script_device_env.h"
#include "tests/support/coap_peer.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

// What a missing bound runs into long before the machine does.
EngineConfig limited() {
    EngineConfig c;
    // The soft limit below the hard one: the engine raises it itself.
    c.daemon_limits.nofile_soft = 256;
    c.daemon_limits.nofile = 1024;
    c.daemon_limits.memory_mb = 1024;
    c.daemon_limits.quarantine_mb = 16;
    c.daemon_limits.address_space_mb = 4096;
    return c;
}

class CoapBurst : public ScriptDevice {
protected:
    CoapBurst() : ScriptDevice(limited()) {}
};

TEST_F(CoapBurst, ABurstToASilentServerIsBoundedAndLaterRequestsAreAnswered) {
    start();
    EXPECT_TRUE(env.wait_log("Open file limit 1024")) << env.log();
    CoapServer live;
    ASSERT_TRUE(live.put("/temp", "21.5"));
    const std::string silent = "coap://127.0.0.1:" + std::to_string(free_udp_port()) + "/s";
    const long idle = process_memory_kib(env.pid(), "VmRSS");
    ASSERT_GT(idle, 0);
    long peak = idle;

    dofile("burst", "local started, refused = 0, 0\n"
                    "for i = 1, 400 do\n"
                    "  if coap.get('" + silent + "', 'u', 'k', '', false, i, function(c, u, b, n)\n"
                    "      db.set('test:burst:cb:' .. n, c) end) == false then\n"
                    "    refused = refused + 1 else started = started + 1 end\n"
                    "end\n"
                    "db.set('test:burst', started .. '/' .. refused)");
    EXPECT_EQ(env.state().get("test:burst"), std::to_string(COAP_MAX_REQUESTS) + "/" +
                                                 std::to_string(400 - COAP_MAX_REQUESTS));
    EXPECT_EQ(env.count_log("requests in flight, refused: " + silent), (size_t)(400 - COAP_MAX_REQUESTS));

    // Refused while the burst is in flight; answered once it has timed out.
    bool answered = false;
    for (int i = 0; i < 60 && !answered && env.running(); i++) {
        peak = std::max(peak, process_memory_kib(env.pid(), "VmRSS"));
        dofile("later" + std::to_string(i),
               "coap.get('" + live.uri("/temp") + "', 'u', 'k', '', false, nil, function(c, u, b)\n"
               "  db.set('test:later', c .. '|' .. b) end)");
        answered = wait_until([&] { return env.state().get("test:later") == "205|21.5"; }, 1s);
    }
    ASSERT_TRUE(answered) << env.log();
    // The silent ones ended without a call.
    EXPECT_TRUE(env.state().command({"KEYS", "test:burst:cb:*"}).elements.empty());

    // Nothing of the burst is left behind: a whole bound of new requests gets its answers.
    dofile("again", "answers, refused = 0, 0\n"
                    "for i = 1, " + std::to_string(COAP_MAX_REQUESTS) + " do\n"
                    "  if coap.get('" + live.uri("/temp") + "', 'u', 'k', '', false, nil, function(c, u, b)\n"
                    "      if c == 205 then answers = answers + 1 end\n"
                    "      db.set('test:again', answers .. '/' .. refused) end) == false then\n"
                    "    refused = refused + 1 end\n"
                    "end");
    const std::string all = std::to_string(COAP_MAX_REQUESTS) + "/0";
    EXPECT_TRUE(wait_until(
        [&] {
            peak = std::max(peak, process_memory_kib(env.pid(), "VmRSS"));
            return env.state().get("test:again") == all;
        },
        30s))
        << env.state().get("test:again").value_or("none");

    RecordProperty("resident_kib_above_idle", (int)(peak - idle));
    EXPECT_LT(peak - idle, 64 * 1024) << "idle " << idle << " KiB, peak " << peak << " KiB";
    ASSERT_TRUE(env.running()) << env.log();
    EXPECT_EQ(env.stop(), 0);
}

}  // namespace
