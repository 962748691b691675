#include "tests/support/netns.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/netns_check.h"

namespace brx_test {

namespace {

bool ns_inode(const std::string &proc, const char *kind, ino_t *ino) {
    struct stat st;
    if (stat(("/proc/" + proc + "/ns/" + kind).c_str(), &st) != 0) return false;
    *ino = st.st_ino;
    return true;
}

bool netns_inode(pid_t pid, ino_t *ino) { return ns_inode(std::to_string(pid), "net", ino); }

// The namespace this program was started in stands for the machine's (pid 1's is not always
// readable). Taken before main, so before any test moves into a namespace of its own.
const ino_t g_start_netns = [] {
    ino_t ino = 0;
    netns_inode(getpid(), &ino);
    return ino;
}();

bool other_netns(pid_t a, pid_t b) {
    ino_t x, y;
    return netns_inode(a, &x) && netns_inode(b, &y) && x != y;
}

}  // namespace

bool run_ok(const std::vector<std::string> &argv, std::string *err) {
    ProcResult r = run_process(argv, std::chrono::seconds(20));
    if (r.status == 0) return true;
    if (err) {
        *err = "'";
        for (const auto &a : argv) *err += a + " ";
        *err += "' failed: " + r.out + r.err;
    }
    return false;
}

bool enter_private_netns(std::string *why) {
    ino_t before, after;
    if (!ns_inode("self", "net", &before)) {
        *why = "cannot read this process's network namespace";
        return false;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("cannot create a network namespace: ") + strerror(errno);
        return false;
    }
    if (!ns_inode("self", "net", &after) || after == before || !only_loopback()) {
        *why = "not in a fresh network namespace";
        return false;
    }
    return run_ok({"ip", "link", "set", "lo", "up"}, why);
}

bool enter_private_run(std::string *why) {
    ino_t before, after;
    if (!ns_inode("self", "mnt", &before)) {
        *why = "cannot read this process's mount namespace";
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        *why = std::string("cannot create a mount namespace: ") + strerror(errno);
        return false;
    }
    if (!ns_inode("self", "mnt", &after) || after == before) {
        *why = "not in a fresh mount namespace";
        return false;
    }
    // Private before anything is mounted: nothing may propagate back to the machine's mounts.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = std::string("cannot make the mounts private: ") + strerror(errno);
        return false;
    }
    char run[PATH_MAX];
    if (!realpath("/var/run", run)) {
        *why = std::string("no /var/run: ") + strerror(errno);
        return false;
    }
    if (mount("tmpfs", run, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        *why = std::string("cannot mount a tmpfs on ") + run + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool in_own_netns(pid_t pid) {
    ino_t theirs;
    return g_start_netns != 0 && netns_inode(pid, &theirs) && theirs != g_start_netns;
}

bool add_broadcast_route(std::string *why) {
    return run_ok({"ip", "link", "add", "brxa", "type", "veth", "peer", "name", "brxb"}, why) &&
           run_ok({"ip", "addr", "add", "192.0.2.1/24", "dev", "brxa"}, why) &&
           run_ok({"ip", "link", "set", "brxa", "up"}, why) && run_ok({"ip", "link", "set", "brxb", "up"}, why) &&
           run_ok({"ip", "route", "add", "default", "dev", "brxa"}, why);
}

std::string link_netns(pid_t pid, const std::string &local_if, const std::string &local_ip,
                       const std::string &peer_if, const std::string &peer_ip) {
    const std::string p = std::to_string(pid);
    auto there = [&](std::vector<std::string> args) {
        std::vector<std::string> v = {"nsenter", "-t", p, "-n", "ip"};
        v.insert(v.end(), args.begin(), args.end());
        return v;
    };
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "link", "add", local_if, "type", "veth", "peer", "name", peer_if, "netns", p},
        {"ip", "addr", "add", local_ip + "/24", "dev", local_if},
        {"ip", "link", "set", local_if, "up"},
        {"ip", "route", "add", "default", "dev", local_if},
        there({"link", "set", "lo", "up"}),
        there({"addr", "add", peer_ip + "/24", "dev", peer_if}),
        there({"link", "set", peer_if, "up"}),
        there({"route", "add", "default", "dev", peer_if}),
    };
    std::string err;
    for (const auto &step : steps)
        if (!run_ok(step, &err)) return err;
    return "";
}

PeerNamespace::PeerNamespace(const std::string &local_ip, const std::string &peer_ip) {
    if (!in_own_netns(getpid())) {
        error_ = "the caller runs in the machine's network namespace";
        return;
    }
    holder_ = std::make_unique<Process>(std::vector<std::string>{"unshare", "-n", "sleep", "3600"});
    // Until unshare has run, the holder still shares the caller's namespace.
    if (!wait_until([&] { return other_netns(holder_->pid(), getpid()); }, std::chrono::seconds(10))) {
        error_ = "cannot create a network namespace: " + holder_->err();
        return;
    }
    error_ = link_netns(holder_->pid(), "brxl0", local_ip, "brxp0", peer_ip);
}

PeerNamespace::~PeerNamespace() {
    if (holder_) holder_->stop(SIGKILL);
}

UdpSocket::UdpSocket(const std::string &ip, uint16_t port, bool reuse, bool broadcast) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    int one = 1;
    if (reuse) setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (broadcast) setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    int big = 1 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    if (bind(fd_, (struct sockaddr *)&a, sizeof a) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

UdpSocket::~UdpSocket() {
    if (fd_ >= 0) close(fd_);
}

uint16_t UdpSocket::port() const {
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    if (getsockname(fd_, (struct sockaddr *)&a, &len) != 0) return 0;
    return ntohs(a.sin_port);
}

bool UdpSocket::send_to(const std::string &ip, uint16_t port, const std::string &bytes) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return sendto(fd_, bytes.data(), bytes.size(), 0, (struct sockaddr *)&a, sizeof a) == (ssize_t)bytes.size();
}

std::optional<Datagram> UdpSocket::recv(std::chrono::milliseconds timeout) {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, (int)timeout.count()) <= 0) return std::nullopt;
    char buf[65536];
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, (struct sockaddr *)&a, &len);
    if (n < 0) return std::nullopt;
    Datagram d;
    d.text.assign(buf, (size_t)n);
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    d.src_ip = ip;
    d.src_port = ntohs(a.sin_port);
    d.at = std::chrono::steady_clock::now();
    return d;
}

std::vector<Datagram> UdpSocket::collect(std::chrono::milliseconds window) {
    std::vector<Datagram> got;
    auto end = std::chrono::steady_clock::now() + window;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (auto d = recv(left)) got.push_back(*d);
    }
    return got;
}

}  // namespace brx_test
