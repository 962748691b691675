// Start-up of a leader gateway with 1,000 and 2,000 devices, each with a driver and an app: the time
// from the process start to the init of the last driver (and of the last app).
//
//   startup [--cpu N] [--rounds R] [--sizes 1000,2000] [--commands 1]
//
// Much of a start is the engine's blocking reads and writes of Redis keys, one round trip each, so
// every size also reports how many such commands (all but SUBSCRIBE, PSUBSCRIBE and PUBLISH, which go
// out without waiting) a start sent and what their round trips alone take on this machine (a blocking
// GET timed from a process placed like the engine): the part of a start that is Redis's, not the
// engine's own work. --commands adds the count of each command, per server. Each round also times the
// stop that follows (SIGTERM to exit), which releases every device's handles and states.
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/engine_bench.h"
#include "tests/support/engine_env.h"

using namespace brx_test;
using namespace brx_bench;

namespace {

/* The calls of each command since the last CONFIG RESETSTAT, and the sum of those that wait. */
long commands_sent(RedisServer &server, std::string *each) {
    Reply r = server.command({"INFO", "commandstats"});
    long total = 0;
    size_t at = 0;
    while ((at = r.str.find("cmdstat_", at)) != std::string::npos) {
        size_t colon = r.str.find(':', at), calls = r.str.find("calls=", at);
        if (colon == std::string::npos || calls == std::string::npos) break;
        size_t end = r.str.find(',', calls);
        std::string name = r.str.substr(at + 8, colon - at - 8);
        long n = atol(r.str.c_str() + calls + 6);
        at = end;
        if (name == "config|resetstat" || name == "info") continue;
        if (name != "subscribe" && name != "psubscribe" && name != "publish") total += n;
        if (each) *each += " " + name + " " + std::to_string(n);
    }
    return total;
}

/* Mean microseconds of a blocking GET on server, from this process on the engine's CPU. */
double round_trip_us(RedisServer &server, int cpu) {
    cpu_set_t saved;
    bool pinned = false;
    if (cpu >= 0 && sched_getaffinity(0, sizeof saved, &saved) == 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        pinned = sched_setaffinity(0, sizeof one, &one) == 0;
    }
    const int n = 5000;
    for (int i = 0; i < 500; i++) server.get("bench:round-trip");
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; i++) server.get("bench:round-trip");
    double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() / n;
    if (pinned) sched_setaffinity(0, sizeof saved, &saved);
    return us;
}

}  // namespace

int main(int argc, char **argv) {
    Options o = parse_options(argc, argv);
    std::vector<int> sizes = sizes_of(o, {1000, 2000});
    const bool each = o.extra.count("commands") > 0;
    printf("machine: %s; %s; %d rounds\n", machine().c_str(),
           o.cpu >= 0 ? ("Redis and engine pinned to CPU " + std::to_string(o.cpu)).c_str() : "unpinned", o.rounds);
    std::vector<double> medians;
    for (int size : sizes) {
        Network net;
        net.devices = size;
        net.cpu = o.cpu;
        EngineEnv env(engine_config(net));
        seed(env, net);
        std::vector<double> drivers, apps, floors;
        for (int r = 0; r < o.rounds; r++) {
            double app = 0;
            env.state().command({"CONFIG", "RESETSTAT"});
            env.conf().command({"CONFIG", "RESETSTAT"});
            double t = start_engine(env, net, std::chrono::seconds(300), &app);
            if (t < 0) {
                fprintf(stderr, "the engine did not start:\n%s\n", env.log().substr(0, 20000).c_str());
                return 1;
            }
            std::string state_each, conf_each;
            long sent = commands_sent(env.state(), &state_each) + commands_sent(env.conf(), &conf_each);
            auto stop0 = std::chrono::steady_clock::now();
            int status = env.stop();
            double stop_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - stop0).count();
            double rtt = round_trip_us(env.state(), o.cpu);
            floors.push_back(sent * rtt / 1e6);
            printf("  %4d devices round %d: last driver init %.3f s, last app init %.3f s; %ld waiting Redis commands, "
                   "round trip %.1f us: %.3f s of round trips; stopped in %.3f s (status %d)\n",
                   size, r + 1, t, app, sent, rtt, floors.back(), stop_s, status);
            if (each) printf("    state:%s\n    conf:%s\n", state_each.c_str(), conf_each.c_str());
            fflush(stdout);
            drivers.push_back(t);
            apps.push_back(app);
        }
        printf("%4d devices (median of %d): last driver init %.3f s, last app init %.3f s; round trips %.3f s "
               "(start / round trips %.2f)\n",
               size, o.rounds, median(drivers), median(apps), median(floors), median(drivers) / median(floors));
        medians.push_back(median(drivers));
    }
    std::string line = "startup to the last driver init:";
    for (size_t i = 0; i < sizes.size(); i++) {
        char part[64];
        snprintf(part, sizeof part, "%s %d devices %.0f ms", i ? "," : "", sizes[i], medians[i] * 1000);
        line += part;
    }
    if (sizes.size() >= 2 && medians[0] > 0) {
        char part[64];
        snprintf(part, sizeof part, "; t(%d)/t(%d) %.2f", sizes[1], sizes[0], medians[1] / medians[0]);
        line += part;
    }
    printf("%s\n", line.c_str());
    return 0;
}
