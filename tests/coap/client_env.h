#ifndef BRX_TESTS_COAP_CLIENT_ENV_H
#define BRX_TESTS_COAP_CLIENT_ENV_H

// The CoAP client driven directly: result pipes read by the test, the log in a file at TRACE.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "src/coap_client.h"
#include "tests/support/test_support.h"

namespace brx_test {

/* One request's result pipe; the test reads it as the script module would. */
class ResultPipe {
public:
    ResultPipe();
    ~ResultPipe();
    ResultPipe(const ResultPipe &) = delete;
    ResultPipe &operator=(const ResultPipe &) = delete;
    int *fds() { return fds_; }
    /* The next "<code>|<length>|<body>" message as written, or nullopt when none came in time. */
    std::optional<std::string> next(std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    int fds_[2];
};

class CoapClientTest : public ::testing::Test {
protected:
    void SetUp() override;
    /* Every worker has ended (none may outlive the test process). */
    void TearDown() override;

    int start(ResultPipe &pipe, const std::string &uri, coap_method_t method = COAP_GET,
              const std::string &payload = "", bool subscribe = false, const std::string &key = "secretkey",
              const std::string &user = "user");
    /* Until every request's worker has ended. */
    static bool all_ended(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::string log() const;
    bool log_has(const std::string &text) const { return log().find(text) != std::string::npos; }

    TempDir dir;
};

}  // namespace brx_test

#endif
