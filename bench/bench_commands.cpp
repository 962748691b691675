// Command lists on a gateway's state instance, against a redis-server on a unix socket that the
// program starts and stops: the cost per command of a 50-command list without pauses until
// execute_commands returns (copy, "sender_id", print, PUBLISH queued), and the heap that each of
// 10,000 pending pauses holds besides its copy of the list.
// Figures to reach (Release build): <= 10 us per command, <= 1 KiB per pending pause.
#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <event2/event.h>
#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "src/db.h"
#include "src/device/commands.h"

namespace {

/* A redis-server on a unix socket of a temporary directory, the loop and a gateway state instance. */
class Env {
public:
    Env() {
        char tmpl[] = "/tmp/brx-bench-commands-XXXXXX";
        if (!mkdtemp(tmpl)) return;
        dir_ = tmpl;
        socket_ = dir_ + "/redis.sock";
        server_ = fork();
        if (server_ == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            execlp("redis-server", "redis-server", "--unixsocket", socket_.c_str(), "--port", "0", "--save", "",
                   "--appendonly", "no", "--dir", dir_.c_str(), (char *)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 200 && !ready_; i++) {
            redisContext *c = redisConnectUnix(socket_.c_str());
            ready_ = c && !c->err;
            if (c) redisFree(c);
            if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        base = event_base_new();
        state = db_create_redis_instance("state");
        db_set_is_local(state, 1);
        db_set_unix_path(state, socket_.c_str());
        db_set_event_base(state, base);
        commands_setup_redis_instance(nullptr, state);
        commands_set_event_base(base);
    }
    ~Env() {
        commands_cleanup();
        if (server_ > 0) {
            kill(server_, SIGTERM);
            waitpid(server_, nullptr, 0);
        }
        if (!dir_.empty()) {
            unlink(socket_.c_str());
            rmdir(dir_.c_str());
        }
    }
    bool ready() const { return ready_; }

    /* Runs the loop until Redis has answered everything queued before. */
    void drain() {
        bool done = false;
        db_get_async(
            state, [](const char *, const void *arg) { *static_cast<bool *>(const_cast<void *>(arg)) = true; },
            &done, "bench:barrier");
        while (!done) event_base_loop(base, EVLOOP_ONCE);
    }

    struct event_base *base = nullptr;
    redis_instance_t *state = nullptr;

private:
    std::string dir_, socket_;
    pid_t server_ = -1;
    bool ready_ = false;
};

Env &env() {
    static Env e;
    return e;
}

cJSON *parse(const std::string &text) { return cJSON_Parse(text.c_str()); }

void BM_ListOf50Commands(benchmark::State &state) {
    Env &e = env();
    if (!e.ready()) {
        state.SkipWithError("redis-server did not start");
        return;
    }
    const int n = 50;
    std::string text = "[";
    for (int i = 0; i < n; i++)
        text += std::string(i ? "," : "") + R"({"target":"device","id":"N1-)" + std::to_string(i % 10 + 2) +
                R"(","name":"on","args":{"level":)" + std::to_string(i) + R"(,"ramp":2}})";
    text += "]";
    cJSON *list = parse(text);
    e.drain();  // the connection is made before the first measured run
    double seconds = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        execute_commands(list, 0, nullptr);
        auto t1 = std::chrono::steady_clock::now();
        const double d = std::chrono::duration<double>(t1 - t0).count();
        seconds += d;
        state.SetIterationTime(d);
        e.drain();
    }
    cJSON_Delete(list);
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["us_per_command"] = seconds * 1e6 / double(state.iterations() * n);
}
BENCHMARK(BM_ListOf50Commands)->UseManualTime();

void BM_HeapPerPendingPause(benchmark::State &state) {
    Env &e = env();
    if (!e.ready()) {
        state.SkipWithError("redis-server did not start");
        return;
    }
    const int n = 10000;
    cJSON *list = parse(R"([{"name":"delay","args":{"delay":3600}},)"
                        R"({"target":"device","id":"N1-2","name":"off","args":{"level":0}}])");
    double per_pause = 0, per_copy = 0;
    for (auto _ : state) {
        // What one copy of the list costs, so that it can be set apart.
        size_t before = mallinfo2().uordblks;
        cJSON *copies[64];
        for (cJSON *&c : copies) c = cJSON_Duplicate(list, 1);
        per_copy = double(mallinfo2().uordblks - before) / 64;
        for (cJSON *c : copies) cJSON_Delete(c);

        before = mallinfo2().uordblks;
        for (int i = 0; i < n; i++) execute_commands(list, 0, "N1-7");
        const double held = double(mallinfo2().uordblks - before) / n;
        per_pause = held - per_copy;
        commands_cleanup();
    }
    cJSON_Delete(list);
    state.counters["list_copy_bytes"] = per_copy;
    state.counters["bytes_per_pause"] = per_pause;
}
BENCHMARK(BM_HeapPerPendingPause)->Iterations(3);

}  // namespace
