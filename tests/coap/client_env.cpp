#include "tests/coap/client_env.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <stdexcept>

#include "common/logger/logger.h"

namespace brx_test {

ResultPipe::ResultPipe() {
    if (pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
}

ResultPipe::~ResultPipe() {
    close(fds_[0]);
    close(fds_[1]);
}

std::optional<std::string> ResultPipe::next(std::chrono::milliseconds timeout) {
    pollfd p = {fds_[0], POLLIN, 0};
    if (poll(&p, 1, (int)timeout.count()) != 1) return std::nullopt;
    std::string msg;
    int bars = 0;
    while (bars < 2) {
        char c;
        if (read(fds_[0], &c, 1) != 1) return std::nullopt;
        msg += c;
        if (c == '|') bars++;
    }
    size_t len = std::stoul(msg.substr(msg.find('|') + 1));
    std::string body(len, '\0');
    size_t have = 0;
    while (have < len) {
        ssize_t n = read(fds_[0], &body[have], len - have);
        if (n <= 0) return std::nullopt;
        have += (size_t)n;
    }
    return msg + body;
}

void CoapClientTest::SetUp() {
    logger_set_parameter("file.name", dir.file("engine.log").c_str());
    logger_set_parameter("file", "true");
    logger_set_parameter("level", "TRACE");
    logger_commit_parameters();
    init_coap_client();
}

void CoapClientTest::TearDown() {
    EXPECT_TRUE(all_ended(std::chrono::seconds(120))) << coap_request_count() << " requests left";
}

bool CoapClientTest::all_ended(std::chrono::milliseconds timeout) {
    return wait_until([] { return coap_request_count() == 0; }, timeout);
}

int CoapClientTest::start(ResultPipe &pipe, const std::string &uri, coap_method_t method, const std::string &payload,
                          bool subscribe, const std::string &key, const std::string &user) {
    coap_request_t r = {};
    r.method = method;
    r.uri = uri.c_str();
    r.user = user.c_str();
    r.key = key.c_str();
    r.payload = payload.data();
    r.payload_len = payload.size();
    r.subscribe = subscribe;
    return coap_run_request(&r, pipe.fds(), &pipe);
}

std::string CoapClientTest::log() const {
    return file_exists(dir.file("engine.log")) ? read_file(dir.file("engine.log")) : std::string();
}

}  // namespace brx_test
