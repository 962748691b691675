#ifndef BRX_TESTS_SUPPORT_NETNS_H
#define BRX_TESTS_SUPPORT_NETNS_H

/*
 * Private networks for tests that send datagrams or run a broadcasting engine: the test process
 * moves itself into a network namespace of its own (it vanishes with the process), so nothing it
 * sends can leave the machine's namespace; further namespaces join it by veth pairs. UDP sockets
 * for the test's side of the conversation.
 */

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace brx_test {

/* Moves the calling process into a new network namespace with loopback up; false (and why) when it cannot. */
bool enter_private_netns(std::string *why);

/* A test that runs in a network namespace of its own; skipped when none can be made. */
class PrivateNetnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!enter_private_netns(&why)) GTEST_SKIP() << why;
    }
};

/*
 * Moves the calling process into a new mount namespace whose /run (where /var/run leads) is an
 * empty tmpfs of its own, unseen by the machine; false (and why) when it cannot. The process must
 * have one thread.
 */
bool enter_private_run(std::string *why);

/* A test in network and mount namespaces of its own, with a private /run; skipped when they cannot be made. */
class PrivateRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!enter_private_netns(&why) || !enter_private_run(&why)) GTEST_SKIP() << why;
    }
};

/* True when the process pid runs in a network namespace other than the one this test program started in. */
bool in_own_netns(pid_t pid);

/* Runs a command; true when it exits with 0 (its output goes to *err on failure). */
bool run_ok(const std::vector<std::string> &argv, std::string *err = nullptr);

/*
 * In a private network namespace: a veth pair whose end brxa has 192.0.2.1/24 and carries the
 * default route, so that a broadcast to 255.255.255.255 leaves there and reaches every socket
 * bound to its port here. False (and why) when it cannot be made.
 */
bool add_broadcast_route(std::string *why);

/*
 * The one veth wiring between the caller's (private) namespace and the one process pid runs in:
 * local_if with local_ip/24 here, peer_if with peer_ip/24 there, both up, loopback up there, and
 * default routes over the pair on both sides. Interface names are per namespace. Empty when it is
 * up; otherwise the failing command and its output.
 */
std::string link_netns(pid_t pid, const std::string &local_if, const std::string &local_ip,
                       const std::string &peer_if, const std::string &peer_ip);

/*
 * A second network namespace joined to the caller's by link_netns (the caller's side local_ip/24,
 * the other peer_ip/24). The caller must already run in a namespace of its own. Held by a sleeping
 * child; it vanishes with it.
 */
class PeerNamespace {
public:
    PeerNamespace(const std::string &local_ip, const std::string &peer_ip);
    ~PeerNamespace();
    PeerNamespace(const PeerNamespace &) = delete;
    PeerNamespace &operator=(const PeerNamespace &) = delete;

    /* Empty when the namespace and its link are up; otherwise why not. */
    const std::string &error() const { return error_; }
    pid_t pid() const { return holder_ ? holder_->pid() : 0; }

private:
    std::unique_ptr<Process> holder_;
    std::string error_;
};

struct Datagram {
    std::string text;
    std::string src_ip;
    uint16_t src_port = 0;
    std::chrono::steady_clock::time_point at;
};

class UdpSocket {
public:
    /* Bound to ip:port (port 0: ephemeral); reuse sets SO_REUSEADDR, broadcast SO_BROADCAST. */
    UdpSocket(const std::string &ip, uint16_t port, bool reuse = false, bool broadcast = false);
    ~UdpSocket();
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    uint16_t port() const;
    bool send_to(const std::string &ip, uint16_t port, const std::string &bytes);
    std::optional<Datagram> recv(std::chrono::milliseconds timeout);
    /* Everything that arrives within the window. */
    std::vector<Datagram> collect(std::chrono::milliseconds window);

private:
    int fd_ = -1;
};

}  // namespace brx_test

#endif
