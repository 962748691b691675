#ifndef BRX_TESTS_SUPPORT_APPSERVER_PEER_H
#define BRX_TESTS_SUPPORT_APPSERVER_PEER_H

/*
 * The HTTP(S) peer of the tests: platform/appserver/appserver.py (standard-library Python, raw
 * sockets) on loopback, plain or TLS, answering each "METHOD /path" with a scripted reply and
 * logging every request byte for byte. It stands in for the application server and for HTTP
 * devices alike.
 *
 * Replies are set as the JSON rules described at the top of appserver.py, e.g.
 *     peer.set_rules(R"({"GET /a": {"status": 200, "body": "hi"},
 *                        "POST /b": [{"status": 500}, {"chunks": ["x", "yz"]}],
 *                        "* /slow": {"delay": 2, "close": true, "body": "late"}})");
 * status, headers, body (or body_hex), chunks with chunk_ext and trailers, close-delimited bodies,
 * delays, replies sent in pieces, no answer, raw bytes, a TCP reset, a TLS close without
 * close_notify, and a hostile server's bytes sent on and on until the client gives up. The rules
 * may change between requests; a list answers in turn.
 *
 * Certificates come from test_certs(): a CA and a "localhost" certificate made at run time with
 * the openssl CLI (platform/appserver/make-certs.sh); no key is ever committed.
 */

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"

namespace brx_test {

/* The certificates of one test program, made on first use in a directory of its own. */
struct TestCerts {
    std::string dir;
    std::string ca;              /* the trusted CA ("ca_cert_path") */
    std::string localhost_cert;  /* issued by ca for localhost */
    std::string localhost_key;
    std::string other_ca;        /* a CA nobody trusts */
    std::string other_cert;      /* issued by other_ca for localhost */
    std::string other_key;
};
const TestCerts &test_certs();

/* One request from the peer's log. */
struct LoggedRequest {
    std::string raw;     /* exactly as received */
    std::string method, target, version;
    std::vector<std::pair<std::string, std::string>> headers;  /* in order, as sent */
    std::string body;
    /* The first header of that name (ASCII case ignored), "" when absent; count of such headers. */
    std::string header(const std::string &name) const;
    size_t header_count(const std::string &name) const;
};
LoggedRequest parse_request(const std::string &raw);

/* The rule of a hostile server's reply: head as it stands (may be empty), then unit again and again,
 * delay seconds apart, until the client gives up. */
std::string endless_reply(const std::string &head, const std::string &unit, double delay = 0);

class AppServerPeer {
public:
    enum class Tls { None, Trusted, Untrusted };
    struct Options {
        Tls tls = Tls::None;
        std::vector<std::string> binds = {"127.0.0.1"};  /* all share one port */
        std::string rules = "{}";
        bool app = false; /* the application server's own endpoints answer what no rule names */
    };

    AppServerPeer() : AppServerPeer(Options()) {}
    /* Starts the peer and waits until it listens (a fatal test failure when it does not). */
    explicit AppServerPeer(const Options &options);
    ~AppServerPeer();
    AppServerPeer(const AppServerPeer &) = delete;
    AppServerPeer &operator=(const AppServerPeer &) = delete;

    void set_rules(const std::string &json);
    int port() const { return port_; }
    bool tls() const { return tls_; }
    /* "<scheme>://<host>:<port><path>" */
    std::string url(const std::string &path, const std::string &host = "127.0.0.1") const;

    /* The logged requests, in arrival order. */
    std::vector<LoggedRequest> requests() const;
    size_t request_count() const;
    bool wait_requests(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    /* Over TLS: the server name each client indicated, in order ("None" for none). */
    std::vector<std::string> server_names() const;
    /* Until the peer printed text (such as the "ENDLESS ... closed after" line of an endless reply). */
    bool wait_output(const std::string &text, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    std::string err() const;

private:
    TempDir dir_;
    std::unique_ptr<Process> proc_;
    int port_ = 0;
    bool tls_ = false;
};

}  // namespace brx_test

#endif
