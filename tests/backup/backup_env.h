#ifndef BRX_TESTS_BACKUP_BACKUP_ENV_H
#define BRX_TESTS_BACKUP_BACKUP_ENV_H

// A gateway as a black box with its application-server peer, for the backup and restore tests:
// reply rules, the backup POSTs and restore GETs the peer logged, and the members of a backup body.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/appserver_peer.h"
#include "tests/support/engine_env.h"

namespace backup_test {

using namespace brx_test;
using namespace std::chrono_literals;

inline const char kHaidMirror[] = "KAVPCB:homeautomation:HA-ID";
inline const char kCategory[] = "backup_service - ";

/* A JSON string literal of s. */
std::string quoted(const std::string &s);
/* One peer reply: status and body, with further members of the reply object ("\"delay\": 3"). */
std::string reply(int status, const std::string &body, const std::string &more = "");
/* The rules object of "<method> <path>" → reply (or list of replies) pairs. */
std::string rules(const std::vector<std::pair<std::string, std::string>> &pairs);
/* The members of a JSON object in order, each value as its text (strings unquoted); empty and a
 * test failure when text is no object. */
std::vector<std::pair<std::string, std::string>> members(const std::string &text);

class BackupTest : public ::testing::Test {
protected:
    /* A leader gateway with its own device: its id key is one of the backed-up keys. */
    BackupTest();

    void start();
    /* The HA-ID of the bus seed taken as already adopted: the start runs no restore. */
    void adopt_seed_haid() { adopt_haid(env.state(), env.conf()); }
    void set_rules(const std::vector<std::pair<std::string, std::string>> &pairs) {
        env.appserver().set_rules(rules(pairs));
    }
    /* The peer's logged requests of that method and path. */
    std::vector<LoggedRequest> requests(const std::string &method, const std::string &path) const;
    bool wait_requests(const std::string &method, const std::string &path, size_t n,
                       std::chrono::milliseconds timeout = 60s) const;
    /* A line of the service's log: "<level> backup_service - <text>" ending the line. */
    bool has_line(const std::string &level, const std::string &text) const;
    bool wait_line(const std::string &level, const std::string &text, std::chrono::milliseconds timeout = 60s) const;
    bool state_is(const std::string &key, const std::string &value, std::chrono::milliseconds timeout = 60s);

    EngineEnv env;
};

}  // namespace backup_test

#endif
