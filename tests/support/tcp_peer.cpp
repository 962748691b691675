#include "tests/support/tcp_peer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brx_test {

TcpPeer::TcpPeer(bool listen) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listen_fd_, (sockaddr *)&a, sizeof a) != 0 || (listen && ::listen(listen_fd_, 4) != 0) ||
        getsockname(listen_fd_, (sockaddr *)&a, &len) != 0)
        return;
    port_ = ntohs(a.sin_port);
}

TcpPeer::~TcpPeer() {
    if (conn_fd_ >= 0) close(conn_fd_);
    if (listen_fd_ >= 0) close(listen_fd_);
}

bool TcpPeer::try_accept() {
    if (conn_fd_ >= 0) return true;
    conn_fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (conn_fd_ < 0) return false;
    int one = 1;
    setsockopt(conn_fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

bool TcpPeer::poll_closed() {
    if (conn_fd_ < 0 || closed_) return closed_;
    char buf[4096];
    for (;;) {
        ssize_t n = recv(conn_fd_, buf, sizeof buf, 0);
        if (n > 0) {
            received_.append(buf, (size_t)n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
        closed_ = true;
        return true;
    }
}

bool TcpPeer::send(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(conn_fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p = {conn_fd_, POLLOUT, 0};
            if (poll(&p, 1, 5000) <= 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

void TcpPeer::close_connection() {
    if (conn_fd_ >= 0) close(conn_fd_);
    conn_fd_ = -1;
}

}  // namespace brx_test
