// Script HTTP servers against hostile loopback peers: the daemon's -l mode under memory and
// descriptor limits, watched from /proc. What each peer gets, that the engine holds no more than its
// bounds allow, that its loop keeps running, and that the server serves again once the peer is gone.
// Then the whole engine's tear-down with script-server connections still open.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/scripts/script_env.h"
#include "tests/support/engine_env.h"
#include "tests/support/proc_watch.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const long kMaxRiseKib = 64 * 1024;
const int kConnectionCap = 256;

int connect_to(int port, int rcvbuf = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Before the connection: the window it announces follows from it.
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr *)&a, sizeof a) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

/* One request on a fresh connection and the whole answer; "" when none came within 10 s. */
std::string fetch(int port, const std::string &path) {
    int fd = connect_to(port);
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    size_t sent = 0;
    std::string got;
    for (auto end = Clock::now() + 10s; Clock::now() < end;) {
        pollfd p{fd, short(POLLIN | (sent < request.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if (p.revents & POLLOUT) {
            ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n > 0) sent += n;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0 && !(n < 0 && errno == EAGAIN)) break;
            if (n > 0) got.append(buf, n);
        }
    }
    close(fd);
    return got;
}

/* A served request: the fixture's handler answers with the method, the path and the body's length. */
bool served(int port, const std::string &path) {
    const std::string got = fetch(port, path);
    return got.rfind("HTTP/1.1 200 OK", 0) == 0 && got.find("GET " + path + " 0") != std::string::npos;
}

/* The daemon's limits; nofile > 0: its soft and hard descriptor limit. */
ChildLimits daemon_limits(int nofile = 0) {
    ChildLimits limits;
    limits.memory_mb = 512;
    // Small, so that the resident set shows what the daemon holds.
    limits.quarantine_mb = 8;
    // Without sanitizers, the address space with room for the libraries.
    limits.address_space_mb = 1024;
    limits.nofile = nofile;
    return limits;
}

class ScriptServerUnderAttack : public ::testing::Test, public LoadFileEnv {
protected:
    void start(const ChildLimits &limits) {
        port = free_tcp_port();
        redis->state.set("t:port", std::to_string(port));
        std::vector<std::string> args = argv(fixture_path("l_http_server_hostile.lua"));
        std::map<std::string, std::string> env;
        limit_child(limits, &args, &env);
        daemon = std::make_unique<Process>(args, env);
        ASSERT_TRUE(wait_until([&] { return redis->state.get("t:ready").has_value() || !daemon->running(); }, 30s))
            << daemon->err();
        ASSERT_EQ(redis->state.get("t:ready"), "yes") << daemon->out();
        // What the first request allocates for good belongs to the idle figure.
        ASSERT_TRUE(served(port, "/warm"));
    }
    /* The loop runs: a message on "t:ping" comes back in "t:pong" within 5 s. */
    bool loop_answers() {
        const std::string token = std::to_string(++pings);
        redis->state.command({"PUBLISH", "t:ping", token});
        return wait_until([&] { return redis->state.get("t:pong") == token; }, 5s);
    }
    void TearDown() override {
        if (!daemon || !daemon->running()) return;
        redis->state.command({"PUBLISH", "t:exit", "1"});
        EXPECT_EQ(daemon->wait(30s), 0) << daemon->err();
    }

    int port = 0;
    int pings = 0;
    std::unique_ptr<Process> daemon;
};

struct Stream {
    const char *name;
    std::string head;   // sent once
    std::string piece;  // then again and again
    bool reads;         // false: the peer never reads what the server sends
    const char *answer; // how the server's answer starts; "" for none
};

struct Outcome {
    std::string got;
    bool ended = false;  // by the server, within 20 s
};

Outcome run_stream(int port, const Stream &s, ProcWatch &watch) {
    Outcome o;
    int fd = connect_to(port, s.reads ? 0 : 4096);
    std::string pending = s.head;
    auto next_sample = Clock::now();
    for (auto end = Clock::now() + 20s; Clock::now() < end && !o.ended;) {
        if (Clock::now() >= next_sample) {
            watch.sample();
            next_sample += 100ms;
        }
        pollfd p{fd, short(POLLOUT | (s.reads ? POLLIN : 0)), 0};
        if (poll(&p, 1, 50) <= 0) continue;
        if (s.reads && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[4096];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0 && o.got.size() < 65536) o.got.append(buf, n);
            if (n == 0 || (n < 0 && errno != EAGAIN)) o.ended = true;
        } else if (p.revents & (POLLHUP | POLLERR)) {
            o.ended = true;
        }
        if (!o.ended && (p.revents & POLLOUT)) {
            if (pending.empty()) pending = s.piece;
            ssize_t n = send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
            if (n > 0) pending.erase(0, n);
            if (n < 0 && errno != EAGAIN) o.ended = !s.reads;  // a reader learns of the end by reading
        }
    }
    watch.sample();
    close(fd);
    return o;
}

TEST_F(ScriptServerUnderAttack, RequestsThatNeverEndAreRefusedWithinBoundedMemory) {
    ASSERT_NO_FATAL_FAILURE(start(daemon_limits()));
    ProcWatch watch(daemon->pid());
    const std::string chunk(16 * 1024, 'b');
    std::string pipelined;
    for (int i = 0; i < 50; i++) pipelined += "GET /p HTTP/1.1\r\nHost: x\r\n\r\n";
    const Stream streams[] = {
        {"endless header lines", "GET / HTTP/1.1\r\nHost: x\r\n", "X-Filler: " + std::string(100, 'f') + "\r\n", true,
         "HTTP/1.1 431 "},
        {"one endless header line", "GET / HTTP/1.1\r\nX-Long: ", std::string(4096, 'l'), true, "HTTP/1.1 431 "},
        {"an endless request target", "GET /", std::string(4096, 't'), true, "HTTP/1.1 414 "},
        {"an endless declared body", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000000000\r\n\r\n", chunk, true,
         "HTTP/1.1 413 "},
        {"an endless chunked body", "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n",
         "4000\r\n" + chunk + "\r\n", true, "HTTP/1.1 413 "},
        {"requests whose answers are never read", "", pipelined, false, ""},
    };
    for (const Stream &s : streams) {
        SCOPED_TRACE(s.name);
        const Outcome o = run_stream(port, s, watch);
        EXPECT_TRUE(o.ended) << "the server still takes it after 20 s";
        EXPECT_EQ(o.got.substr(0, strlen(s.answer)), s.answer) << o.got.substr(0, 200);
        ASSERT_TRUE(daemon->running()) << daemon->err();
        EXPECT_TRUE(loop_answers());
        EXPECT_TRUE(served(port, "/after"));
        EXPECT_LT(watch.rss_rise_kib(), kMaxRiseKib);
    }
}

TEST_F(ScriptServerUnderAttack, CrowdsOfIdleConnectionsNeitherExhaustNorSpin) {
    struct Crowd {
        const char *name;
        int nofile;       // the daemon's hard limit of descriptors
        int clients;
        bool runs_out;    // the limit comes before the cap: accepting fails and must rest
    };
    const Crowd crowds[] = {
        {"more than the descriptor limit", 1024, 2000, false},
        {"a descriptor limit below the cap", 64, 300, true},
    };
    rlimit own{};
    getrlimit(RLIMIT_NOFILE, &own);
    if (own.rlim_max < 2200) GTEST_SKIP() << "the test needs 2200 descriptors of its own";
    own.rlim_cur = own.rlim_max;
    setrlimit(RLIMIT_NOFILE, &own);

    for (const Crowd &crowd : crowds) {
        SCOPED_TRACE(crowd.name);
        ASSERT_NO_FATAL_FAILURE(start(daemon_limits(crowd.nofile)));
        ProcWatch watch(daemon->pid());
        std::vector<int> fds;
        for (int i = 0; i < crowd.clients; i++) fds.push_back(connect_to(port));

        const auto start = Clock::now();
        int answered = 0, asked = 0;
        while (Clock::now() - start < 6s) {
            asked++;
            answered += loop_answers();
            for (int i = 0; i < 5; i++) {
                watch.sample();
                std::this_thread::sleep_for(200ms);
            }
        }
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_EQ(answered, asked);
        EXPECT_LE(watch.fd_rise(), kConnectionCap + 2);
        // Accepting that fails again at every loop turn takes all of a processor.
        EXPECT_LT(watch.cpu_used(), wall / 2);
        const size_t rests = daemon->count_output("cannot accept (Too many open files), pausing for 1 s");
        if (crowd.runs_out) {
            EXPECT_GE(rests, 1u);
            EXPECT_LE(rests, size_t(wall) + 2);
        } else {
            EXPECT_EQ(rests, 0u);
            EXPECT_GE(daemon->count_output("no more are accepted until one ends"), 1u);
        }

        for (int fd : fds) close(fd);
        EXPECT_TRUE(wait_until([&] { return served(port, "/after"); }, 30s));
        watch.sample();
        EXPECT_LT(watch.rss_rise_kib(), kMaxRiseKib);
        redis->state.command({"PUBLISH", "t:exit", "1"});
        EXPECT_EQ(daemon->wait(30s), 0) << daemon->err();
        redis->state.command({"DEL", "t:ready", "t:pong"});
    }
}

TEST(ScriptServerTearDown, ConnectionsStillOpenEndWithTheEngine) {
    EngineEnv env;
    const int port = free_tcp_port();
    env.write_lan_driver("server = http.start(" + std::to_string(port) +
                         ", function(m, p, b) return 200, 'up' end)\n" + kQuietLanDriver);
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(wait_until([&] { return fetch(port, "/").find("up") != std::string::npos; }, 60s)) << env.log();

    // Idle, half a request, an answered one kept alive, and one refused while its peer still sends.
    int idle = connect_to(port), half = connect_to(port), kept = connect_to(port), refused = connect_to(port);
    ASSERT_TRUE(idle >= 0 && half >= 0 && kept >= 0 && refused >= 0);
    std::this_thread::sleep_for(200ms);
    const std::string half_request = "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345";
    const std::string kept_request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string refused_request = "POST / HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n";
    EXPECT_GT(send(half, half_request.data(), half_request.size(), MSG_NOSIGNAL), 0);
    EXPECT_GT(send(kept, kept_request.data(), kept_request.size(), MSG_NOSIGNAL), 0);
    EXPECT_GT(send(refused, refused_request.data(), refused_request.size(), MSG_NOSIGNAL), 0);
    ASSERT_TRUE(env.wait_log("refuses a request: 413", 10s)) << env.log();

    // LeakSanitizer's report would change the exit status.
    EXPECT_EQ(env.stop(), 0);
    // The refused one may have ended by itself meanwhile.
    const std::string log = env.log();
    const size_t at = log.find(" script-server connections end with the engine");
    ASSERT_NE(at, std::string::npos) << log;
    const int ended = atoi(log.c_str() + log.rfind(' ', at - 1) + 1);
    EXPECT_TRUE(ended == 3 || ended == 4) << ended;
    for (int fd : {idle, half, kept, refused}) close(fd);
}

}  // namespace
