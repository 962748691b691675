#ifndef BRX_TESTS_REDIS_SERVER_H
#define BRX_TESTS_REDIS_SERVER_H

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

struct redisContext;

namespace brx_test {

/* One reply, decoded from hiredis. */
struct Reply {
    int type = 0;             /* REDIS_REPLY_* */
    long long integer = 0;
    std::string str;          /* string, status and error replies */
    std::vector<Reply> elements;
    bool is_nil() const;
    bool is_error() const;
};

/* A loopback TCP port that was free a moment ago. */
int free_tcp_port(const std::string &bind = "127.0.0.1");
/* Its UDP twin (the next port is free too: a CoAP server's DTLS side takes it). */
int free_udp_port(const std::string &bind = "127.0.0.1");

/*
 * A private redis-server: unix socket (and a TCP port when port > 0), keyspace
 * events on, no persistence. Started by the constructor, stopped by the destructor.
 * bind may name several addresses separated by blanks; wrap is a command that runs the server
 * (such as nsenter into a test's network namespace), empty for none.
 */
class RedisServer {
public:
    RedisServer(const std::string &unix_path, int port = 0, const std::string &bind = "127.0.0.1",
                const std::vector<std::string> &wrap = {});
    ~RedisServer();
    RedisServer(const RedisServer &) = delete;
    RedisServer &operator=(const RedisServer &) = delete;

    void start();
    void stop();
    bool running() const { return proc_ != nullptr; }

    const std::string &unix_path() const { return unix_path_; }
    int port() const { return port_; }

    /* Runs one command on a blocking connection of the test's own. */
    Reply command(const std::vector<std::string> &args);
    /* GET; nullopt for nil. */
    std::optional<std::string> get(const std::string &key);
    void set(const std::string &key, const std::string &value);

private:
    redisContext *conn();
    std::string unix_path_;
    int port_;
    std::string bind_;
    std::vector<std::string> wrap_;
    std::unique_ptr<Process> proc_;
    redisContext *ctx_ = nullptr;
};

/* The engine's pair: "<base>_state" on port P and "<base>_conf" on P + 1 (TCP only when P > 0). */
struct RedisPair {
    explicit RedisPair(const std::string &base, int port = 0, const std::string &bind = "127.0.0.1",
                       const std::vector<std::string> &wrap = {});
    std::string base;
    int port;
    RedisServer state;
    RedisServer conf;
};

/* Collects messages of SUBSCRIBE/PSUBSCRIBE on a connection of its own, on a reader thread. */
class Subscriber {
public:
    struct Message {
        std::string pattern;  /* empty for plain subscriptions */
        std::string channel;
        std::string payload;
        std::chrono::steady_clock::time_point at; /* when the reader received it */
    };
    /* channels starting with "p:" are patterns ("p:__keyspace@0__:*"). */
    Subscriber(const RedisServer &server, const std::vector<std::string> &channels);
    ~Subscriber();
    std::vector<Message> messages();
    bool wait_for(const std::string &channel, std::chrono::milliseconds timeout, std::string *payload = nullptr);
    size_t count(const std::string &channel);

private:
    void run();
    redisContext *ctx_ = nullptr;
    std::thread thread_;
    std::mutex mu_;
    std::vector<Message> msgs_;
    std::atomic<bool> stop_{false};
};

/* One command seen by MONITOR: the client's address and the arguments. */
struct SeenCommand {
    std::string addr;
    std::vector<std::string> args;
};

/* MONITOR through redis-cli, started and ready when the constructor returns. */
class Monitor {
public:
    explicit Monitor(const RedisServer &server);
    std::vector<SeenCommand> commands() const;
    /* Commands whose first argument is cmd (case-insensitive). */
    std::vector<SeenCommand> named(const std::string &cmd) const;
    bool wait_for(const std::function<bool(const std::vector<SeenCommand> &)> &pred,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

private:
    std::unique_ptr<Process> cli_;
};

}  // namespace brx_test

#endif
