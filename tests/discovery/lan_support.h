#ifndef BRX_TESTS_DISCOVERY_LAN_SUPPORT_H
#define BRX_TESTS_DISCOVERY_LAN_SUPPORT_H

/*
 * Private networks for UDP tests. The test process moves itself into a network namespace
 * of its own (it vanishes with the process), so nothing it sends can leave the machine's
 * namespace; a probe of the discovery module runs in a second fresh namespace joined to
 * the test's by a veth pair (test side 192.0.2.2, probe side 192.0.2.1).
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
 * In a private network namespace: a veth pair whose end brxa has 192.0.2.1/24 and carries the
 * default route, so that a broadcast to 255.255.255.255 leaves there and reaches every socket
 * bound to its port here. False (and why) when it cannot be made.
 */
bool add_broadcast_route(std::string *why);

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

/* Runs a command; true when it exits with 0 (its output goes to *err on failure). */
bool run_ok(const std::vector<std::string> &argv, std::string *err = nullptr);

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

/* The discovery probe in a namespace of its own, wired to the test's namespace by a veth pair. */
class Probe {
public:
    static constexpr const char *kProbeIp = "192.0.2.1";
    static constexpr const char *kTestIp = "192.0.2.2";

    /* conf: the configuration file text; extra: further probe arguments (-n, -d, -r). */
    Probe(const std::string &conf, const std::vector<std::string> &extra);
    ~Probe();

    /* Empty when the probe and its network are up; otherwise why not. */
    const std::string &error() const { return error_; }
    /* Sends a command line and waits for its acknowledgement. */
    bool command(const std::string &line);
    std::string out() const { return proc_ ? proc_->out() : std::string(); }
    size_t count(const std::string &text) const { return proc_ ? proc_->count_output(text) : 0; }
    bool wait_for(const std::string &text, std::chrono::milliseconds timeout) {
        return proc_ && proc_->wait_for_output(text, timeout);
    }
    /* Waits until text occurs n times. */
    bool wait_for_count(const std::string &text, size_t n, std::chrono::milliseconds timeout);
    /* The EVENT lines printed so far. */
    std::vector<std::string> events() const;
    /* "quit", then the exit status (-1 when it did not end). */
    int quit();

private:
    TempDir dir_;
    std::unique_ptr<Process> proc_;
    std::string error_;
    int fifo_fd_ = -1;
    std::vector<std::string> acks_;
};

/*
 * A probe configuration: the device type, MAC text and IPv4 address (none when empty), vendor
 * "TestVendor", model "T1", Redis port 6400, packet dump on, DEBUG log lines on standard output.
 */
std::string probe_conf(const std::string &type, const std::string &mac, const std::string &ipv4,
                       const std::string &extra = "");

/* A WHOISLEADER with the given JSON values of "network_id" and "device_id". */
std::string whois(const std::string &net = "null", const std::string &dev = "null");

/* A cJSON-printed (formatted) JSON text, for byte-for-byte comparisons; json is compact JSON. */
std::string formatted(const std::string &json);

}  // namespace brx_test

#endif
