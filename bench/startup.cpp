// Start-up of a leader gateway with 1,000 and 2,000 devices, each with a driver and an app: the time
// from the process start to the init of the last driver (and of the last app).
//
//   startup [--cpu N] [--rounds R] [--sizes 1000,2000]
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "bench/engine_bench.h"
#include "tests/support/engine_env.h"

using namespace brx_test;
using namespace brx_bench;

int main(int argc, char **argv) {
    Options o = parse_options(argc, argv);
    std::vector<int> sizes = sizes_of(o, {1000, 2000});
    printf("machine: %s; %s; %d rounds\n", machine().c_str(),
           o.cpu >= 0 ? ("Redis and engine pinned to CPU " + std::to_string(o.cpu)).c_str() : "unpinned", o.rounds);
    std::vector<double> medians;
    for (int size : sizes) {
        Network net;
        net.devices = size;
        net.cpu = o.cpu;
        EngineEnv env(engine_config(net));
        seed(env, net);
        std::vector<double> drivers, apps;
        for (int r = 0; r < o.rounds; r++) {
            double app = 0;
            double t = start_engine(env, net, std::chrono::seconds(300), &app);
            if (t < 0) {
                fprintf(stderr, "the engine did not start:\n%s\n", env.log().substr(0, 20000).c_str());
                return 1;
            }
            env.stop();
            printf("  %4d devices round %d: last driver init %.3f s, last app init %.3f s\n", size, r + 1, t, app);
            fflush(stdout);
            drivers.push_back(t);
            apps.push_back(app);
        }
        printf("%4d devices (median of %d): last driver init %.3f s, last app init %.3f s\n", size, o.rounds,
               median(drivers), median(apps));
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
