#ifndef BRX_TESTS_DISCOVERY_LAN_SUPPORT_H
#define BRX_TESTS_DISCOVERY_LAN_SUPPORT_H

/*
 * Discovery tests: a probe of the discovery module runs in a fresh network namespace joined to
 * the test's own private one (tests/support/netns.h) by a veth pair (test side 192.0.2.2, probe
 * side 192.0.2.1).
 */

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/netns.h"
#include "tests/support/test_support.h"

namespace brx_test {

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
