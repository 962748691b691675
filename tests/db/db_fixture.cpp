#include "tests/db/db_fixture.h"

#include <arpa/inet.h>
#include <event2/event.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

#include "common/logger/logger.h"
#include "src/db_local.h"

namespace brx_db_test {

bool pump_until(struct event_base *base, const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        event_base_loop(base, EVLOOP_NONBLOCK);
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        usleep(1000);
    }
}

void pump_for(struct event_base *base, std::chrono::milliseconds span) {
    pump_until(base, [] { return false; }, span);
}

namespace {

brx_test::Reply must(brx_test::RedisServer &server, const std::vector<std::string> &args) { return server.command(args); }

}  // namespace

std::vector<std::string> journal_lines;

void journal_kv(const char *key, const char *value, const void *tag) {
    journal_lines.push_back(std::string(static_cast<const char *>(tag)) + ":" + (key ? key : "") + "=" +
                            (value ? value : "NULL"));
}

void journal_kv2(const char *key, const char *value, const void *tag) { journal_kv(key, value, tag); }

void journal_value(const char *value, const void *tag) { journal_kv("", value, tag); }

long long numsub(brx_test::RedisServer &server, const std::string &channel) {
    auto r = must(server, {"PUBSUB", "NUMSUB", channel});
    return r.elements.size() == 2 ? r.elements[1].integer : -1;
}

long long numpat(brx_test::RedisServer &server) { return must(server, {"PUBSUB", "NUMPAT"}).integer; }

std::vector<std::string> clients(brx_test::RedisServer &server) {
    std::vector<std::string> out;
    std::stringstream ss(must(server, {"CLIENT", "LIST"}).str);
    std::string line;
    while (std::getline(ss, line))
        if (line.find("cmd=client|list") == std::string::npos && line.find("cmd=monitor") == std::string::npos &&
            line.find("flags=O") == std::string::npos)
            out.push_back(line);
    return out;
}

void kill_clients(brx_test::RedisServer &server, const std::string &type) {
    must(server, {"CLIENT", "KILL", "TYPE", type, "SKIPME", "yes"});
}

LogFile::LogFile() : path_(dir_.file("engine.log")) {
    logger_set_parameter("file.name", path_.c_str());
    logger_set_parameter("file", "true");
    logger_set_parameter("level", "TRACE");
}

std::string LogFile::text() const {
    return brx_test::file_exists(path_) ? brx_test::read_file(path_) : std::string();
}

size_t LogFile::count(const std::string &level, const std::string &line, const std::string &category) const {
    std::string lvl = level;
    while (lvl.size() < 5) lvl = " " + lvl;
    std::string needle = lvl + " " + category + " - " + line + "\n";
    std::string all = text();
    size_t n = 0;
    for (size_t pos = all.find(needle); pos != std::string::npos; pos = all.find(needle, pos + 1)) n++;
    return n;
}

bool LogFile::has(const std::string &level, const std::string &line, const std::string &category) const {
    return count(level, line, category) > 0;
}

void DbTest::SetUp() {
    journal_lines.clear();
    // As in the engine: a peer that went away is an error return, not a signal.
    signal(SIGPIPE, SIG_IGN);
    base = event_base_new();
    ASSERT_NE(base, nullptr);
    config_set_filename(dir.file("local_db.json").c_str());
}

void DbTest::TearDown() {
    for (auto *ri : instances) db_delete_redis_instance(ri);
    instances.clear();
    event_base_free(base);
    config_set_filename(nullptr);
}

redis_instance_t *DbTest::local_instance(const char *name, const brx_test::RedisServer &server) {
    redis_instance_t *ri = db_create_redis_instance(name);
    db_set_is_local(ri, 1);
    db_set_unix_path(ri, server.unix_path().c_str());
    db_set_redis_port(ri, server.port());
    db_set_event_base(ri, base);
    instances.push_back(ri);
    return ri;
}

redis_instance_t *DbTest::remote_instance(const char *name, const brx_test::RedisServer &local,
                                          const brx_test::RedisServer *leader, const std::string &leader_ip) {
    redis_instance_t *ri = db_create_redis_instance(name);
    db_set_is_local(ri, 0);
    db_set_unix_path(ri, local.unix_path().c_str());
    db_set_redis_port(ri, local.port());
    db_set_event_base(ri, base);
    if (leader) db_set_master(ri, inet_addr(leader_ip.c_str()), leader->port());
    instances.push_back(ri);
    return ri;
}

}  // namespace brx_db_test
