#ifndef BRX_TESTS_SUPPORT_TCP_PEER_H
#define BRX_TESTS_SUPPORT_TCP_PEER_H

#include <string>

namespace brx_test {

/*
 * A device on the other end of a script's TCP connection: a listener on 127.0.0.1 (ephemeral port)
 * and the one connection it accepts. Every call is non-blocking (send waits only for socket room),
 * so a test drives it from inside its own loop pump. With listen = false the port is bound but not
 * listening, so that connecting to it is refused.
 */
class TcpPeer {
public:
    explicit TcpPeer(bool listen = true);
    ~TcpPeer();
    TcpPeer(const TcpPeer &) = delete;
    TcpPeer &operator=(const TcpPeer &) = delete;

    int port() const { return port_; }

    /* True once a connection is accepted (accepts it on the first call that finds one). */
    bool try_accept();
    /* Reads what has arrived; true when the engine side has closed (end of file or reset). */
    bool poll_closed();
    /* Everything read so far (poll_closed reads). */
    const std::string &received() const { return received_; }
    /* Writes every byte; false when the connection is gone. */
    bool send(const std::string &bytes);
    /* Closes the accepted connection (the engine sees end of file). */
    void close_connection();

private:
    int listen_fd_ = -1;
    int conn_fd_ = -1;
    int port_ = 0;
    bool closed_ = false;
    std::string received_;
};

}  // namespace brx_test

#endif
