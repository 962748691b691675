#ifndef BRX_TESTS_DB_FIXTURE_H
#define BRX_TESTS_DB_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "src/db.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

struct event_base;

namespace brx_db_test {

using namespace std::chrono_literals;

/* Runs the libevent base without blocking until pred holds or the time is up. */
bool pump_until(struct event_base *base, const std::function<bool()> &pred,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));
void pump_for(struct event_base *base, std::chrono::milliseconds span);

/* MONITOR: tests/support/redis_server.h. */
using brx_test::Monitor;
using brx_test::SeenCommand;

/* Server-side views. */
long long numsub(brx_test::RedisServer &server, const std::string &channel);
long long numpat(brx_test::RedisServer &server);
/* CLIENT LIST lines whose "cmd=" is not the CLIENT LIST itself. */
std::vector<std::string> clients(brx_test::RedisServer &server);
void kill_clients(brx_test::RedisServer &server, const std::string &type);

/* The log of the process in a file; has() looks for "<LEVEL> <category> - <text>" as a whole line. */
class LogFile {
public:
    LogFile();
    bool has(const std::string &level, const std::string &text, const std::string &category = "db") const;
    size_t count(const std::string &level, const std::string &text, const std::string &category = "db") const;
    std::string text() const;

private:
    brx_test::TempDir dir_;
    std::string path_;
};

/* Each TEST runs in its own process: instances, servers and the base are fresh every time. */
class DbTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    /* A local (gateway) instance on the server's unix socket. */
    redis_instance_t *local_instance(const char *name, const brx_test::RedisServer &server);
    /* A remote instance: blocking commands to the local server, the rest to the leader when given. */
    redis_instance_t *remote_instance(const char *name, const brx_test::RedisServer &local,
                                      const brx_test::RedisServer *leader, const std::string &leader_ip = "127.0.0.2");
    bool pump(const std::function<bool()> &pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return pump_until(base, pred, timeout);
    }

    brx_test::TempDir dir;
    LogFile log;
    struct event_base *base = nullptr;
    std::vector<redis_instance_t *> instances;
};

/* A callback journal of "<tag>:<key>=<value or NULL>" lines; the argument is the tag (a C string). */
extern std::vector<std::string> journal_lines;
void journal_kv(const char *key, const char *value, const void *tag);
void journal_kv2(const char *key, const char *value, const void *tag); /* another callback, same record */
void journal_value(const char *value, const void *tag);

/* Collects callback calls. */
struct Calls {
    struct Call {
        std::string key;
        bool has_value;
        std::string value;
        const void *arg;
    };
    std::vector<Call> calls;
    void add(const char *key, const char *value, const void *arg) {
        calls.push_back({key ? key : "", value != nullptr, value ? value : "", arg});
    }
    size_t size() const { return calls.size(); }
};

}  // namespace brx_db_test

#endif
