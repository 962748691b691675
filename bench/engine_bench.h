#ifndef BRX_BENCH_ENGINE_BENCH_H
#define BRX_BENCH_ENGINE_BENCH_H

/*
 * What the engine benchmarks share: a leader gateway with a network of devices seeded into its
 * Redis pair (tests/support/engine_env), the machine's description, and small statistics.
 * Every benchmark starts and stops what it uses and prints its figure as its last line.
 */

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "tests/support/engine_env.h"

namespace brx_bench {

/* Channels the seeded scripts publish on when their init ran. */
extern const char *const kDriverReady; /* payload: the device id */
extern const char *const kAppReady;

/* Command-line options every benchmark takes: "--cpu N" pins Redis, the engine and clients to CPU N. */
struct Options {
    int cpu = -1;
    int rounds = 3;
    std::map<std::string, std::string> extra; /* any other "--name value" */
};
Options parse_options(int argc, char **argv);
/* The sizes of "--sizes a,b,..", or the defaults. */
std::vector<int> sizes_of(const Options &o, const std::vector<int> &defaults);
/* "taskset -c N" or nothing. */
std::vector<std::string> pin(int cpu);

/* "nproc N, <CPU model>". */
std::string machine();

/*
 * A leader gateway ("N1-1", its own driver) with devices - 1 LAN devices behind it, each with a driver
 * of class "lamp" and, when apps is set, the app "light". Every driver's init publishes on
 * kDriverReady, every app's on kAppReady; a driver's command {"args":{"v":x}} sets
 * "device:<id>:state:counter" to x.
 */
struct Network {
    int devices = 1;
    bool apps = true;
    int cpu = -1;
    std::string log_level = "INFO";
};
brx_test::EngineConfig engine_config(const Network &net);
void seed(brx_test::EngineEnv &env, const Network &net);
/* Id of device i (0 is the gateway itself). */
std::string device_id(int i);

/*
 * Starts the engine and waits until every driver (and app) init ran; the seconds from the process
 * start to the last driver init, or a negative value when that did not happen within the timeout.
 * Also the seconds to the last app init, and the mean of Lua's own count (KiB) of the driver and of
 * the app states as their init saw it.
 */
double start_engine(brx_test::EngineEnv &env, const Network &net,
                    std::chrono::milliseconds timeout = std::chrono::seconds(120), double *apps_seconds = nullptr,
                    double *driver_kib = nullptr, double *app_kib = nullptr);

double median(std::vector<double> v);
double percentile(std::vector<double> v, double p);

}  // namespace brx_bench

#endif
