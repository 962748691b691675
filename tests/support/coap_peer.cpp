#include "tests/support/coap_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "tests/support/redis_server.h"

namespace brx_test {

bool coap_ping(const std::string &host, int port, std::chrono::milliseconds timeout) {
    sockaddr_storage ss{};
    socklen_t len;
    auto *v4 = (sockaddr_in *)&ss;
    auto *v6 = (sockaddr_in6 *)&ss;
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons((uint16_t)port);
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons((uint16_t)port);
        len = sizeof *v6;
    } else {
        return false;
    }
    int fd = socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool answered = wait_until(
        [&] {
            const unsigned char ping[4] = {0x40, 0x00, 0x12, 0x34};
            sendto(fd, ping, sizeof ping, 0, (sockaddr *)&ss, len);
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 100) != 1 || !(p.revents & POLLIN)) return false;
            unsigned char reply[64];
            ssize_t n = recv(fd, reply, sizeof reply, 0);
            return n >= 4 && ((reply[0] >> 4) & 3) == 3;  // RST
        },
        timeout);
    close(fd);
    return answered;
}

CoapServer::CoapServer(const std::string &bind, int port, const std::string &key, const std::string &flavour,
                       const std::string &identity)
    : bind_(bind), port_(port ? port : free_udp_port(bind)) {
    std::vector<std::string> argv = {"coap-server-" + flavour, "-A", bind_, "-p", std::to_string(port_), "-d", "20",
                                     "-v", "7"};
    if (!key.empty() && !identity.empty()) {
        // Lines of "hint,identity,key"; the server's hint is "CoAP".
        write_file(dir_.file("identities"), "CoAP," + identity + "," + key + "\n");
        argv.insert(argv.end(), {"-k", "not-" + key, "-i", dir_.file("identities")});
    } else if (!key.empty()) {
        argv.push_back("-k");
        argv.push_back(key);
    }
    proc_ = std::make_unique<Process>(argv, std::map<std::string, std::string>{}, dir_.path());
    if (!coap_ping(bind_, port_, std::chrono::seconds(20)))
        throw std::runtime_error("coap server on " + bind_ + ":" + std::to_string(port_) + " did not start: " + log());
}

std::string CoapServer::uri(const std::string &path, bool secure) const {
    const std::string host = bind_.find(':') != std::string::npos ? "[" + bind_ + "]" : bind_;
    return std::string(secure ? "coaps://" : "coap://") + host + ":" + std::to_string(secure ? port_ + 1 : port_) +
           path;
}

std::string CoapServer::log() const { return proc_->out() + proc_->err(); }

bool CoapServer::put(const std::string &path, const std::string &data) {
    const std::string file = dir_.file("put.bin");
    write_file(file, data);
    ProcResult r = run_process({"coap-client-openssl", "-m", "put", "-f", file, uri(path)}, std::chrono::seconds(30));
    return r.status == 0;
}

size_t CoapServer::count(const std::vector<std::string> &parts) const {
    const std::string text = log();
    size_t n = 0, start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        bool all = true;
        for (const auto &p : parts) all = all && line.find(p) != std::string::npos;
        if (all) n++;
        start = end + 1;
    }
    return n;
}

CoapPeer::CoapPeer(const std::string &scenario, bool v6) : port_(free_udp_port()) {
    std::vector<std::string> argv = {"python3", source_path("tests/support/coap_peer.py"), std::to_string(port_),
                                     scenario};
    if (v6) argv.push_back("--v6");
    proc_ = std::make_unique<Process>(argv);
    if (!proc_->wait_for_output("READY", std::chrono::seconds(20)))
        throw std::runtime_error("coap peer did not start: " + proc_->err());
}

std::string CoapPeer::uri(const std::string &path) const {
    return "coap://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> CoapPeer::lines() const {
    std::vector<std::string> out;
    const std::string text = proc_->out();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

size_t CoapPeer::count(const std::string &text) const { return proc_->count_output(text); }

bool CoapPeer::wait_for(const std::string &text, std::chrono::milliseconds timeout, size_t times) const {
    return wait_until([&] { return count(text) >= times; }, timeout);
}

}  // namespace brx_test
