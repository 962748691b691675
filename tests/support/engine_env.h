#ifndef BRX_TESTS_SUPPORT_ENGINE_ENV_H
#define BRX_TESTS_SUPPORT_ENGINE_ENV_H

/*
 * The built daemon as a black box with everything it needs beside it: a temporary directory, a
 * Redis pair, the gateway bus stand-in (pcb_busd) on a seed, a configuration file, a scripts
 * directory with a "LAN" default driver, and the daemon itself as a Process whose standard output
 * carries its DEBUG log. A gateway also gets an application-server peer over HTTPS, named by the bus
 * as the server's address, whose endpoints answer as a server would (a start's restore finds no
 * backup, a backup is accepted) unless a test's rules say otherwise. A second network namespace
 * (PeerNamespace, tests/support/netns.h) hosts a follower.
 */

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/appserver_peer.h"
#include "tests/support/bus_standin.h"
#include "tests/support/netns.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

namespace brx_test {

struct EngineConfig {
    std::string type = "gateway";
    std::string mac = "0200C0000201";
    std::string ipv4 = "127.0.0.1";       /* empty: none configured */
    int redis_port = 0;                   /* > 0: the pair also listens on TCP (state) and + 1 (conf) */
    std::string redis_bind = "127.0.0.1"; /* blank-separated addresses */
    pid_t netns_pid = 0;                  /* > 0: Redis and the daemon run in that process's network namespace */
    std::string seed;                     /* bus seed file; empty: platform/pcb/seed-gateway.json */
    std::string extra_conf;               /* further configuration lines */
    std::vector<std::string> launcher;    /* command prefix for Redis and the daemon ("taskset -c 2") */
    std::string log_level = "DEBUG";      /* "logger.level" */
    std::map<std::string, std::string> daemon_env; /* the daemon's further environment (TZ, a faked clock) */
    /* The daemon's memory and descriptor limits (limit_child): a missing bound then ends it instead of
       the machine. */
    ChildLimits daemon_limits;
};

/* The payloads that sub received on channel, in order. */
std::vector<std::string> payloads(Subscriber &sub, const std::string &channel);
/* PUBSUB NUMSUB of one channel on that server. */
long long numsub(RedisServer &server, const std::string &channel);

/* The HA-ID of the default bus seed. */
extern const char *const kSeedHaid;
/* Its restore and backup paths at the gateway's application-server peer. */
std::string seed_restore_path();
std::string seed_backup_path();
/* haid as a gateway keeps it once its restore has ended, the record of the state instance and the
 * conf key: a start that reads it from the bus runs no restore. */
void adopt_haid(RedisServer &state, RedisServer &conf, const std::string &haid = kSeedHaid);

/* A minimal "LAN" default driver: every hook is there and does nothing. */
extern const char *const kQuietLanDriver;

class EngineEnv {
public:
    explicit EngineEnv(const EngineConfig &config = EngineConfig());
    ~EngineEnv();
    EngineEnv(const EngineEnv &) = delete;
    EngineEnv &operator=(const EngineEnv &) = delete;

    RedisServer &state() { return redis_->state; }
    RedisServer &conf() { return redis_->conf; }
    const TempDir &dir() const { return dir_; }
    const EngineConfig &config() const { return config_; }
    std::string conf_path() const { return dir_.file("brx.conf"); }
    std::string local_db_path() const { return dir_.file("local_db.json"); }
    /* Replaces the "LAN" default driver file (an empty text removes it). */
    void write_lan_driver(const std::string &code);

    /* The gateway's application-server peer (none for other types or a daemon in another namespace). */
    AppServerPeer &appserver() { return *appserver_; }
    const AppServerPeer &appserver() const { return *appserver_; }
    bool has_appserver() const { return appserver_ != nullptr; }

    /* pcb_cli with these arguments against this bus; its exit status. */
    int pcb_cli(const std::vector<std::string> &args, std::string *out = nullptr) const { return bus_.cli(args, out); }
    /* A gateway parameter's value as pcb_cli -l prints it, less the newline; "<unreadable>" when it fails. */
    std::string param(const std::string &name) const;

    /*
     * Starts the daemon in the foreground. A non-gateway broadcasts: it is refused (a test failure)
     * unless it runs in a network namespace that is not the machine's.
     */
    bool start(const std::vector<std::string> &extra_args = {});
    bool running() const { return daemon_ && daemon_->running(); }
    pid_t pid() const { return daemon_ ? daemon_->pid() : -1; }
    /* SIGTERM (or sig), then the exit status (-1 when it did not end within 10 s). */
    int stop(int sig = 15);
    /* Waits for the daemon to end by itself: its exit status, -1 when it still runs. */
    int wait_exit(std::chrono::milliseconds timeout);

    std::string log() const { return daemon_ ? daemon_->out() : std::string(); }
    /* The daemon's standard error (a sanitizer's reports). */
    std::string err() const { return daemon_ ? daemon_->err() : std::string(); }
    bool wait_log(const std::string &text, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    /* Waits until text occurs at least n times in the log. */
    bool wait_log_count(const std::string &text, size_t n,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    size_t count_log(const std::string &text) const { return daemon_ ? daemon_->count_output(text) : 0; }

private:
    std::vector<std::string> wrap() const;

    EngineConfig config_;
    TempDir dir_;
    std::unique_ptr<RedisPair> redis_;
    BusStandin bus_;
    std::unique_ptr<AppServerPeer> appserver_;
    std::unique_ptr<Process> daemon_;
};

}  // namespace brx_test

#endif
