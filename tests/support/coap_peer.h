#ifndef BRX_TESTS_SUPPORT_COAP_PEER_H
#define BRX_TESTS_SUPPORT_COAP_PEER_H

/*
 * CoAP peers on loopback for one test: the library's own example server (plain on a port, DTLS
 * with a pre-shared key on the next one, every message it handles in its log) and the scripted
 * peer tests/support/coap_peer.py for replies no real server gives.
 */

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace brx_test {

/* 1 when a CoAP endpoint answers an empty confirmable message (a ping) on host:port. */
bool coap_ping(const std::string &host, int port, std::chrono::milliseconds timeout);

class CoapServer {
public:
    /*
     * port 0 takes a free pair; flavour "openssl" or "gnutls"; empty key: no DTLS side. With an
     * identity, only that identity gets the key (any other one another key).
     */
    explicit CoapServer(const std::string &bind = "127.0.0.1", int port = 0, const std::string &key = "secretkey",
                        const std::string &flavour = "openssl", const std::string &identity = "");
    int port() const { return port_; }
    int dtls_port() const { return port_ + 1; }
    /* "coap://<bind>:<port><path>" or, secure, "coaps://<bind>:<port + 1><path>". */
    std::string uri(const std::string &path, bool secure = false) const;
    std::string log() const;
    /* Stores data at path through the library's command-line client (block-wise when large). */
    bool put(const std::string &path, const std::string &data);
    /* Lines of the log that contain every one of the parts. */
    size_t count(const std::vector<std::string> &parts) const;

private:
    std::string bind_;
    int port_;
    TempDir dir_;
    std::unique_ptr<Process> proc_;
};

class CoapPeer {
public:
    /* The scripted peer on 127.0.0.1 (and ::1 with v6) at a free port, running scenario. */
    explicit CoapPeer(const std::string &scenario, bool v6 = false);
    int port() const { return port_; }
    std::string uri(const std::string &path) const;
    std::vector<std::string> lines() const;
    size_t count(const std::string &text) const;
    bool wait_for(const std::string &text, std::chrono::milliseconds timeout, size_t times = 1) const;

private:
    int port_;
    std::unique_ptr<Process> proc_;
};

}  // namespace brx_test

#endif
