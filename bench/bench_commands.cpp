// Command lists on a gateway's state instance, against a redis-server on a unix socket that the
// program starts and stops: the cost per command of a 50-command list without pauses until
// execute_commands returns (copy, "sender_id", print, PUBLISH queued); the heap that each pending
// pause holds, for a two-item list (10,000 pauses) and a 10 KB list (1,000 pauses); and the
// household schedule of 100 rules of 56 days with 1 KB actions: the time of one loading and the
// heap the loaded schedule holds.
// Figures to reach (Release build): <= 10 us per command, <= 1 KiB per pending pause besides the
// list it keeps, a 10 KB list kept in at most 12 KB, a loaded schedule of 100 x 56 entries within
// 1 MiB.
#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <event2/event.h>
#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "src/db.h"
#include "src/device/commands.h"
#include "src/device/engine.h"
#include "src/scheduler.h"

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

/* A list that pauses first, then commands up to about bytes of unformatted text. */
std::string pausing_list(size_t bytes) {
    std::string text = R"([{"name":"delay","args":{"delay":3600}})";
    for (int i = 0; text.size() < bytes; i++)
        text += R"(,{"target":"device","id":"N1-)" + std::to_string(i % 10 + 2) + R"(","name":"off","args":{"level":)" +
                std::to_string(i) + "}}";
    return text + "]";
}

// Argument 0: the two-item list; otherwise the list's size in bytes.
void BM_HeapPerPendingPause(benchmark::State &state) {
    Env &e = env();
    if (!e.ready()) {
        state.SkipWithError("redis-server did not start");
        return;
    }
    const size_t size = (size_t)state.range(0);
    const int n = size ? 1000 : 10000;
    const std::string text = size ? pausing_list(size)
                                  : R"([{"name":"delay","args":{"delay":3600}},)"
                                    R"({"target":"device","id":"N1-2","name":"off","args":{"level":0}}])";
    cJSON *list = parse(text);
    char *compact = cJSON_PrintUnformatted(list);
    const double text_bytes = (double)strlen(compact);
    free(compact);
    double per_pause = 0, per_copy = 0;
    for (auto _ : state) {
        // What one copy of the list's tree costs, to set it beside what a pause keeps.
        size_t before = mallinfo2().uordblks;
        cJSON *copies[64];
        for (cJSON *&c : copies) c = cJSON_Duplicate(list, 1);
        per_copy = double(mallinfo2().uordblks - before) / 64;
        for (cJSON *c : copies) cJSON_Delete(c);

        before = mallinfo2().uordblks;
        for (int i = 0; i < n; i++) execute_commands(list, 0, "N1-7");
        per_pause = double(mallinfo2().uordblks - before) / n;
        commands_cleanup();
    }
    cJSON_Delete(list);
    state.counters["list_text_bytes"] = text_bytes;
    state.counters["list_tree_bytes"] = per_copy;
    state.counters["bytes_per_pause"] = per_pause;
}
BENCHMARK(BM_HeapPerPendingPause)->Arg(0)->Arg(10 * 1024)->Iterations(3);

/* 100 active rules, each on every weekday 8 times, with about 1 KB of actions. */
std::string schedule_of_100_rules() {
    std::string days;
    for (int i = 0; i < 56; i++) days += (i ? "," : "") + std::to_string(i % 7);
    std::string actions = "[";
    for (int i = 0; actions.size() < 1000; i++)
        actions += std::string(i ? "," : "") + R"({"target":"device","id":"N1-)" + std::to_string(i + 2) +
                   R"(","name":"on","args":{"level":)" + std::to_string(i) + "}}";
    actions += "]";
    std::string text = "[";
    for (int r = 0; r < 100; r++)
        text += std::string(r ? "," : "") + R"({"active":true,"days":[)" + days + R"(],"time":")" +
                std::to_string(r % 24) + ":" + std::to_string(r % 60) + R"(","actions":)" + actions + "}";
    return text + "]";
}

void BM_ScheduleOf56DaysBy100Rules(benchmark::State &state) {
    Env &e = env();
    scheduler_init(e.base);
    g_scheduler = scheduler_create();
    const std::string text = schedule_of_100_rules();
    size_t held = 0;
    for (auto _ : state) {
        scheduler_cleanup(g_scheduler);
        const size_t before = mallinfo2().uordblks;
        auto t0 = std::chrono::steady_clock::now();
        const int rc = scheduler_conf_parse(text.c_str());
        auto t1 = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        held = mallinfo2().uordblks - before;
        if (rc != 0) state.SkipWithError("the schedule was refused");
    }
    state.counters["value_bytes"] = (double)text.size();
    state.counters["held_bytes"] = (double)held;
    scheduler_destroy(g_scheduler);
    g_scheduler = nullptr;
}
BENCHMARK(BM_ScheduleOf56DaysBy100Rules)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
