#include "tests/support/engine_env.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/appserver_peer.h"

namespace brx_test {

const char *const kSeedHaid = "0200C0000201-HA";

std::string seed_restore_path() { return std::string("/app/hm/brixmoor/") + kSeedHaid + "/restore"; }
std::string seed_backup_path() { return std::string("/app/hm/brixmoor/") + kSeedHaid + "/backup"; }

void adopt_haid(RedisServer &state, RedisServer &conf, const std::string &haid) {
    state.set("restore:haid", haid);
    conf.set("KAVPCB:homeautomation:HA-ID", haid);
}

const char *const kQuietLanDriver =
    "local d = {}\n"
    "function d.init(mac, ip) end\n"
    "function d.add(request) end\n"
    "function d.delete(request) end\n"
    "function d.command(command) end\n"
    "function d.get_version() return '1.0.0' end\n"
    "function d.cleanup() end\n"
    "return d\n";

std::vector<std::string> payloads(Subscriber &sub, const std::string &channel) {
    std::vector<std::string> out;
    for (const auto &m : sub.messages())
        if (m.channel == channel) out.push_back(m.payload);
    return out;
}

long long numsub(RedisServer &server, const std::string &channel) {
    Reply r = server.command({"PUBSUB", "NUMSUB", channel});
    return r.elements.size() == 2 ? r.elements[1].integer : -1;
}

EngineEnv::EngineEnv(const EngineConfig &config) : config_(config), bus_(dir_.path(), config_.seed) {
    std::vector<std::string> w = wrap();
    redis_ = std::make_unique<RedisPair>(dir_.file("redis"), config_.redis_port, config_.redis_bind, w);
    bus_.start();
    if (config_.type == "gateway" && config_.netns_pid <= 0) {
        // Without a server a gateway's first restore fails, and the engine then waits for the app.
        AppServerPeer::Options o;
        o.tls = AppServerPeer::Tls::Trusted;
        o.app = true;
        o.binds = {"127.0.0.1", "::1"};
        appserver_ = std::make_unique<AppServerPeer>(o);
        if (bus_.cli({"APService.HomeAutomation.ApplicationServer=" + appserver_->url("/app", "localhost")}) != 0)
            ADD_FAILURE() << "cannot name the application-server peer on the bus";
    }

    mkdir(dir_.file("scripts").c_str(), 0755);
    write_lan_driver(kQuietLanDriver);

    std::string c = "device.type=" + config_.type + "\n" + "device.mac_addr=" + config_.mac + "\n" +
                    "device.vendor=TestVendor\ndevice.model=T1\n" +
                    "device.redis.socket_path=" + dir_.file("redis") + "\n" +
                    "device.local_db.file=" + local_db_path() + "\n" + "scripts.dir=" + dir_.file("scripts") +
                    "\n" + "scripts.default_driver=lan_default.lua\n" + "ca_cert_path=" + test_certs().ca + "\n" +
                    "logger.stdout=true\nlogger.level=" + config_.log_level + "\n";
    if (!config_.ipv4.empty()) c += "device.ipv4=" + config_.ipv4 + "\n";
    if (config_.redis_port > 0) c += "device.redis.port=" + std::to_string(config_.redis_port) + "\n";
    write_file(conf_path(), c + config_.extra_conf);
}

EngineEnv::~EngineEnv() {
    if (daemon_) daemon_->stop(SIGTERM, std::chrono::seconds(10));
    daemon_.reset();
    bus_.stop();
}

std::vector<std::string> EngineEnv::wrap() const {
    std::vector<std::string> w;
    if (config_.netns_pid > 0) w = {"nsenter", "-t", std::to_string(config_.netns_pid), "-n"};
    w.insert(w.end(), config_.launcher.begin(), config_.launcher.end());
    return w;
}

void EngineEnv::write_lan_driver(const std::string &code) {
    std::string path = dir_.file("scripts/lan_default.lua");
    if (code.empty())
        unlink(path.c_str());
    else
        write_file(path, code);
}

bool EngineEnv::start(const std::vector<std::string> &extra_args) {
    if (config_.type != "gateway" && !in_own_netns(config_.netns_pid > 0 ? config_.netns_pid : getpid())) {
        ADD_FAILURE() << "refusing to start a " << config_.type << " (it broadcasts) in the machine's network namespace";
        return false;
    }
    std::vector<std::string> argv = {build_path("src/Brixmoor")};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    argv.push_back(conf_path());
    const char *path = getenv("PATH");
    std::map<std::string, std::string> env = {
        {"PCB_STANDIN_SOCKET", bus_.socket()},
        {"PATH", build_path("platform/pcb") + ":" + (path ? path : "/usr/bin:/bin")},
    };
    for (const auto &kv : config_.daemon_env) env[kv.first] = kv.second;
    limit_child(config_.daemon_limits, &argv, &env);
    const std::vector<std::string> wrapper = wrap();
    argv.insert(argv.begin(), wrapper.begin(), wrapper.end());
    daemon_ = std::make_unique<Process>(argv, env);
    return true;
}

int EngineEnv::stop(int sig) {
    if (!daemon_) return -1;
    return daemon_->stop(sig, std::chrono::seconds(10));
}

int EngineEnv::wait_exit(std::chrono::milliseconds timeout) {
    return daemon_ ? daemon_->wait(timeout) : -1;
}

bool EngineEnv::wait_log(const std::string &text, std::chrono::milliseconds timeout) const {
    return daemon_ && daemon_->wait_for_output(text, timeout);
}

bool EngineEnv::wait_log_count(const std::string &text, size_t n, std::chrono::milliseconds timeout) const {
    return wait_until([&] { return count_log(text) >= n; }, timeout);
}

std::string EngineEnv::param(const std::string &name) const {
    std::string out;
    if (pcb_cli({"-l", name + "?"}, &out) != 0) return "<unreadable>";
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace brx_test
