// A device's weekly scheduler filled and started by a script (the device_scheduler module), against
// the daemon: an entry for the next local minute fires its command list once.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/engine/script_device_env.h"

using namespace brx_test;
using namespace std::chrono_literals;

// The script plans an entry for the next local minute; the daemon's zone is chosen so that this
// minute begins a few seconds after an unhurried start (a slow one waits for the minute after).
TEST_F(ScriptDevice, AnEntryForTheNextMinuteFiresItsListOnce) {
    const long now = (long)time(nullptr);
    const long seconds = ((48 - now % 60) + 60) % 60;  // local time reads hh:mm:48 at the start
    char zone[32];
    snprintf(zone, sizeof zone, "BXT-05:22:%02ld", seconds);
    {
        Zone daemon_zone(zone);  // the daemon keeps the zone it started with
        start();
    }
    Subscriber commands(env.state(), {"device:N1-9:command"});
    dofile("schedule",
           "device.configure_subdevice('N1-9', nil, 'light', 'rec', 'VIRTUAL')\n"
           "local now = os.time()\n"
           "local at = now + 60 - os.date('*t', now).sec\n"
           "if at - now < 3 then at = at + 60 end\n"
           "local d = os.date('*t', at)\n"
           "local day, hm = d.wday - 1, d.hour .. ':' .. d.min\n"
           // Numeric keys beside the named ones do not disturb the walk.
           "device_scheduler.add_entry('N1-9', {'x', 'y', [9] = 'z', [0.5] = 'w', day = day, time = hm,\n"
           "  command = '[{\"target\":\"device\",\"id\":\"N1-9\",\"name\":\"scheduled\"}]'})\n"
           // Without a command: no entry.
           "device_scheduler.add_entry('N1-9', {day = day, time = hm})\n"
           "device_scheduler.start('N1-9')\n"
           "device_scheduler.start('N1-9')\n"
           "db.set('test:at', tostring(at))");
    const long at = std::stol(env.state().get("test:at").value_or("0"));
    ASSERT_TRUE(commands.wait_for("device:N1-9:command", 90s)) << env.log();
    EXPECT_GE((long)time(nullptr), at);
    EXPECT_TRUE(wait_key("device:N1-9:state:power", "scheduled")) << env.log();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(commands.count("device:N1-9:command"), 1u) << env.log();
    EXPECT_EQ(env.stop(), 0);
}
