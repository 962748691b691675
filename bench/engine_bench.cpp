#include "bench/engine_bench.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;

namespace brx_bench {

const char *const kDriverReady = "bench:driver-ready";
const char *const kAppReady = "bench:app-ready";

namespace {

const char kGatewayMac[] = "0200C0000201";

// The counter driver of the command road; its init says when it ran.
const char kDriver[] =
    "local d = {}\n"
    "local id\n"
    "function d.init(device_id)\n"
    "  id = device_id\n"
    "  db.publish('bench:driver-ready', device_id .. ' ' .. collectgarbage('count'))\n"
    "end\n"
    "function d.command(json)\n"
    "  local c = cjson.decode(json)\n"
    "  db.set('device:' .. id .. ':state:counter', tostring(c.args.v))\n"
    "end\n"
    "function d.cleanup() end\n"
    "return d\n";

const char kApp[] =
    "local a = {}\n"
    "function a.init(device_id, app_id)\n"
    "  db.publish('bench:app-ready', device_id .. ' ' .. collectgarbage('count'))\n"
    "end\n"
    "function a.configure(class, app_id) end\n"
    "function a.cleanup() end\n"
    "return a\n";

/* MSET in slices, so that one command stays small. */
void mset(RedisServer &server, const std::vector<std::pair<std::string, std::string>> &kv) {
    const size_t slice = 512;
    for (size_t at = 0; at < kv.size(); at += slice) {
        std::vector<std::string> args = {"MSET"};
        for (size_t i = at; i < kv.size() && i < at + slice; i++) {
            args.push_back(kv[i].first);
            args.push_back(kv[i].second);
        }
        Reply r = server.command(args);
        if (r.is_error()) throw std::runtime_error("MSET failed: " + r.str);
    }
}

}  // namespace

Options parse_options(int argc, char **argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name.rfind("--", 0) != 0) throw std::runtime_error("unexpected argument " + name);
        name = name.substr(2);
        if (name == "cpu")
            o.cpu = atoi(argv[i + 1]);
        else if (name == "rounds")
            o.rounds = std::max(1, atoi(argv[i + 1]));
        else
            o.extra[name] = argv[i + 1];
    }
    if (argc % 2 == 0) throw std::runtime_error(std::string("option without a value: ") + argv[argc - 1]);
    return o;
}

std::vector<int> sizes_of(const Options &o, const std::vector<int> &defaults) {
    auto it = o.extra.find("sizes");
    if (it == o.extra.end()) return defaults;
    std::vector<int> sizes;
    const std::string &text = it->second;
    for (size_t pos = 0; pos < text.size();) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        int n = atoi(text.substr(pos, comma - pos).c_str());
        if (n > 0) sizes.push_back(n);
        pos = comma + 1;
    }
    return sizes;
}

std::vector<std::string> pin(int cpu) {
    if (cpu < 0) return {};
    return {"taskset", "-c", std::to_string(cpu)};
}

std::string machine() {
    std::ifstream in("/proc/cpuinfo");
    std::string line, model = "unknown CPU";
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) model = line.substr(colon + 2);
            break;
        }
    }
    return "nproc " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + ", " + model;
}

std::string device_id(int i) {
    if (i == 0) return "N1-1";
    char buf[32];
    snprintf(buf, sizeof buf, "N1-D%04d", i);
    return buf;
}

EngineConfig engine_config(const Network &net) {
    EngineConfig c;
    c.mac = kGatewayMac;
    c.launcher = pin(net.cpu);
    c.log_level = net.log_level;
    return c;
}

void seed(EngineEnv &env, const Network &net) {
    std::vector<std::pair<std::string, std::string>> state = {
        {"LAN:networkid", "N1"},
        {std::string("device:LAN:") + kGatewayMac, device_id(0)},
        {"device:" + device_id(0) + ":domain", "LAN"},
    };
    if (net.apps) state.push_back({"device:" + device_id(0) + ":app", "light"});
    for (int i = 1; i < net.devices; i++) {
        std::string id = device_id(i);
        state.push_back({"landevicemap:" + device_id(0) + ":" + id, id});
        state.push_back({"device:" + id + ":meta:class", "lamp"});
        state.push_back({"device:" + id + ":meta:driver", "lamp"});
        state.push_back({"device:" + id + ":domain", "LAN"});
        if (net.apps) state.push_back({"device:" + id + ":app", "light"});
    }
    mset(env.state(), state);
    std::vector<std::pair<std::string, std::string>> conf = {
        {"driver:gateway:code", kDriver},
        {"driver:lamp:code", kDriver},
    };
    if (net.apps) {
        conf.push_back({"app:gateway:light:code", kApp});
        conf.push_back({"app:lamp:light:code", kApp});
    }
    mset(env.conf(), conf);
}

double start_engine(EngineEnv &env, const Network &net, std::chrono::milliseconds timeout, double *apps_seconds,
                    double *driver_kib, double *app_kib) {
    Subscriber ready(env.state(), {kDriverReady, kAppReady});
    const size_t drivers = (size_t)net.devices;
    const size_t apps = net.apps ? drivers : 0;
    auto t0 = std::chrono::steady_clock::now();
    if (!env.start()) return -1;
    bool ok = wait_until([&] { return ready.count(kDriverReady) >= drivers && ready.count(kAppReady) >= apps; },
                         timeout);
    if (!ok) {
        fprintf(stderr, "engine start: %zu of %zu drivers, %zu of %zu apps\n", ready.count(kDriverReady), drivers,
                ready.count(kAppReady), apps);
        return -1;
    }
    double last_driver = 0, last_app = 0, kib[2] = {0, 0};
    for (const auto &m : ready.messages()) {
        double s = std::chrono::duration<double>(m.at - t0).count();
        int app = m.channel == kAppReady;
        if (app)
            last_app = std::max(last_app, s);
        else
            last_driver = std::max(last_driver, s);
        size_t blank = m.payload.rfind(' ');
        if (blank != std::string::npos) kib[app] += atof(m.payload.c_str() + blank + 1);
    }
    if (apps_seconds) *apps_seconds = last_app;
    if (driver_kib) *driver_kib = kib[0] / (double)drivers;
    if (app_kib) *app_kib = apps ? kib[1] / (double)apps : 0;
    return last_driver;
}

long rss_kib(pid_t pid) { return brx_test::proc_status_kib(pid, "VmRSS"); }

double median(std::vector<double> v) { return percentile(std::move(v), 0.5); }

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = (size_t)(p * (double)(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

}  // namespace brx_bench
