// The command road of a leader gateway (command message -> driver.command -> SET of a state key ->
// keyspace re-read and republish) with 1 and with 500 devices, against the reference reflector that
// sends the same Redis traffic with no script, on the same Redis, rounds alternated.
//
//   cmdroad [--cpu N] [--rounds R] [--commands C] [--sizes 1,500] [--clients DIR]
//
// DIR holds the built reference clients cmdroad_client and reflector_leader (their sources are not
// part of this tree); by default the ones this build made, else $BRX_BENCH_CLIENTS.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/engine_bench.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace brx_bench;

namespace {

struct Figure {
    double rate = 0, p50 = 0, p99 = 0; /* commands/s, microseconds */
};

std::string clients_dir(const Options &o) {
    auto it = o.extra.find("clients");
    if (it != o.extra.end()) return it->second;
    const char *env = getenv("BRX_BENCH_CLIENTS");
    if (env && *env) return env;
#ifdef BRX_BENCH_CLIENTS_DIR
    return BRX_BENCH_CLIENTS_DIR;
#else
    return "";
#endif
}

bool executable(const std::string &path) { return access(path.c_str(), X_OK) == 0; }

/* One cmdroad_client run: "commands N in T s: R/s p50 X us p99 Y us". */
bool run_client(const std::string &dir, const Options &o, EngineEnv &env, const std::string &id, int n,
                Figure *f) {
    std::vector<std::string> argv = pin(o.cpu);
    argv.insert(argv.end(), {dir + "/cmdroad_client", env.state().unix_path(), id, std::to_string(n)});
    ProcResult r = run_process(argv, std::chrono::seconds(300));
    int done = 0;
    double secs = 0;
    if (r.status != 0 || sscanf(r.out.c_str(), "commands %d in %lf s: %lf/s p50 %lf us p99 %lf us", &done, &secs,
                                &f->rate, &f->p50, &f->p99) != 5) {
        fprintf(stderr, "cmdroad_client failed (%d): %s%s\n", r.status, r.out.c_str(), r.err.c_str());
        return false;
    }
    return true;
}

bool engine_round(const std::string &dir, const Options &o, const Network &net, EngineEnv &env, int n, Figure *f) {
    if (start_engine(env, net) < 0) {
        fprintf(stderr, "the engine did not start:\n%s\n", env.log().c_str());
        return false;
    }
    std::string id = device_id(net.devices - 1);
    Figure warm;
    bool ok = run_client(dir, o, env, id, n / 10 + 1, &warm) && run_client(dir, o, env, id, n, f);
    if (env.stop() != 0) fprintf(stderr, "the engine did not stop cleanly\n");
    return ok;
}

bool reflector_round(const std::string &dir, const Options &o, const Network &net, EngineEnv &env, int n,
                     Figure *f) {
    std::string id = device_id(net.devices - 1);
    std::vector<std::string> argv = pin(o.cpu);
    argv.insert(argv.end(), {dir + "/reflector_leader", env.state().unix_path(), id});
    Process reflector(argv);
    bool up = wait_until(
        [&] {
            Reply r = env.state().command({"PUBSUB", "NUMPAT"});
            return numsub(env.state(), "device:" + id + ":command") == 1 && r.integer >= 1;
        },
        std::chrono::seconds(10));
    if (!up) {
        fprintf(stderr, "reflector_leader did not subscribe: %s\n", reflector.err().c_str());
        return false;
    }
    Figure warm;
    bool ok = run_client(dir, o, env, id, n / 10 + 1, &warm) && run_client(dir, o, env, id, n, f);
    reflector.stop(SIGKILL);
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    Options o = parse_options(argc, argv);
    std::string dir = clients_dir(o);
    if (dir.empty() || !executable(dir + "/cmdroad_client") || !executable(dir + "/reflector_leader")) {
        fprintf(stderr,
                "cmdroad needs the reference clients cmdroad_client and reflector_leader: configure the build with "
                "-DBRX_BENCH_CLIENTS=<directory of their sources>, or pass --clients <directory of the built "
                "clients> (or set BRX_BENCH_CLIENTS)\n");
        return 2;
    }
    int commands = o.extra.count("commands") ? atoi(o.extra["commands"].c_str()) : 20000;
    printf("machine: %s; %s; %d rounds of %d commands\n", machine().c_str(),
           o.cpu >= 0 ? ("Redis, engine and client pinned to CPU " + std::to_string(o.cpu)).c_str() : "unpinned",
           o.rounds, commands);

    std::string summary;
    for (int size : sizes_of(o, {1, 500})) {
        Network net;
        net.devices = size;
        net.cpu = o.cpu;
        EngineEnv env(engine_config(net));
        seed(env, net);
        std::vector<double> ratios, rates, limits, p50, p99, lp50, lp99;
        for (int r = 0; r < o.rounds; r++) {
            Figure e, l;
            if (!engine_round(dir, o, net, env, commands, &e) || !reflector_round(dir, o, net, env, commands, &l))
                return 1;
            printf("  %4d devices round %d: engine %6.0f/s (p50 %5.1f us, p99 %6.1f us), limit %6.0f/s "
                   "(p50 %5.1f us, p99 %6.1f us): %.2f\n",
                   size, r + 1, e.rate, e.p50, e.p99, l.rate, l.p50, l.p99, e.rate / l.rate);
            fflush(stdout);
            ratios.push_back(e.rate / l.rate);
            rates.push_back(e.rate);
            limits.push_back(l.rate);
            p50.push_back(e.p50);
            p99.push_back(e.p99);
            lp50.push_back(l.p50);
            lp99.push_back(l.p99);
        }
        printf("%4d devices (median of %d): engine %.0f/s p50 %.1f us p99 %.1f us; limit %.0f/s p50 %.1f us "
               "p99 %.1f us; engine/limit %.2f\n",
               size, o.rounds, median(rates), median(p50), median(p99), median(limits), median(lp50), median(lp99),
               median(ratios));
        char part[96];
        snprintf(part, sizeof part, "%s%d device%s %.2f", summary.empty() ? "" : ", ", size, size == 1 ? "" : "s",
                 median(ratios));
        summary += part;
    }
    printf("cmdroad engine/limit: %s (%s)\n", summary.c_str(),
           o.cpu >= 0 ? ("pinned to CPU " + std::to_string(o.cpu)).c_str() : "unpinned");
    return 0;
}
