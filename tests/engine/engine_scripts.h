#ifndef BRX_TESTS_ENGINE_ENGINE_SCRIPTS_H
#define BRX_TESTS_ENGINE_ENGINE_SCRIPTS_H

// Scripts that the engine tests put into Redis or the scripts directory. They leave traces in the
// state Redis: keys under "device:<id>:state:" and "test:<name>:", messages on "test:driver:calls".

#include <string>

namespace engine_test {

// A device driver: init marks the device ready, every command {"name": n} becomes its "power"
// state and a "<id>:<n>" message; {"name": "fail"} opens a MULTI, queues a write and raises;
// {"name": "multi"} does the same but returns without error.
inline const char *recording_driver() {
    return "local d = {}\n"
           "local id\n"
           "function d.init(device_id)\n"
           "  id = device_id\n"
           "  db.set('device:' .. id .. ':state:ready', 'yes')\n"
           "  db.publish('test:driver:init', id)\n"
           "end\n"
           "function d.command(json)\n"
           "  local c = cjson.decode(json)\n"
           "  if c.name == 'fail' or c.name == 'multi' then\n"
           "    db.multi()\n"
           "    db.set('device:' .. id .. ':state:in_multi', 'x')\n"
           "    if c.name == 'fail' then error('boom') end\n"
           "    return\n"
           "  end\n"
           "  db.publish('test:driver:calls', id .. ':' .. c.name)\n"
           "  db.set('device:' .. id .. ':state:power', c.name)\n"
           "end\n"
           "function d.cleanup() db.set('device:' .. id .. ':state:cleaned', 'yes') end\n"
           "return d\n";
}

// A default driver whose hooks write "test:<name>:<hook>" with their argument.
inline std::string recording_default_driver(const std::string &name) {
    std::string k = "'test:" + name + ":";
    return "local d = {}\n"
           "function d.init(mac, ip) db.set(" + k + "init', mac .. ' ' .. ip) end\n"
           "function d.add(r) db.set(" + k + "add', r) end\n"
           "function d.delete(r) db.set(" + k + "delete', r) end\n"
           "function d.command(c) db.set(" + k + "command', c) end\n"
           "function d.get_version() return '1.0.0' end\n"
           "function d.cleanup() end\n"
           "return d\n";
}

// A command-list item for a device's driver.
inline std::string device_command(const std::string &id, const std::string &name) {
    return R"({"target":"device","id":")" + id + R"(","name":")" + name + R"("})";
}

// The line a leader gateway logs once its devices are set up (its start goes on a little after it).
inline const char *leader_ready() { return "Cannot init db_persist or persist disabled"; }

}  // namespace engine_test

#endif
