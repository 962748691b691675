#include "tests/discovery/lan_support.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/discovery/netns_check.h"

namespace brx_test {

namespace {

bool ns_inode(const char *kind, ino_t *ino) {
    struct stat st;
    if (stat((std::string("/proc/self/ns/") + kind).c_str(), &st) != 0) return false;
    *ino = st.st_ino;
    return true;
}

bool netns_inode(ino_t *ino) { return ns_inode("net", ino); }

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
    if (!netns_inode(&before)) {
        *why = "cannot read this process's network namespace";
        return false;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("cannot create a network namespace: ") + strerror(errno);
        return false;
    }
    if (!netns_inode(&after) || after == before || !only_loopback()) {
        *why = "not in a fresh network namespace";
        return false;
    }
    return run_ok({"ip", "link", "set", "lo", "up"}, why);
}

bool add_broadcast_route(std::string *why) {
    return run_ok({"ip", "link", "add", "brxa", "type", "veth", "peer", "name", "brxb"}, why) &&
           run_ok({"ip", "addr", "add", "192.0.2.1/24", "dev", "brxa"}, why) &&
           run_ok({"ip", "link", "set", "brxa", "up"}, why) && run_ok({"ip", "link", "set", "brxb", "up"}, why) &&
           run_ok({"ip", "route", "add", "default", "dev", "brxa"}, why);
}

bool enter_private_run(std::string *why) {
    ino_t before, after;
    if (!ns_inode("mnt", &before)) {
        *why = "cannot read this process's mount namespace";
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        *why = std::string("cannot create a mount namespace: ") + strerror(errno);
        return false;
    }
    if (!ns_inode("mnt", &after) || after == before) {
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

Probe::Probe(const std::string &conf, const std::vector<std::string> &extra) {
    std::string conf_path = dir_.file("probe.conf");
    std::string fifo = dir_.file("control");
    write_file(conf_path, conf);
    if (mkfifo(fifo.c_str(), 0600) != 0) {
        error_ = "mkfifo failed";
        return;
    }
    std::vector<std::string> argv = {"unshare", "-n", build_path("tests/discovery/disc_probe"), "-f", fifo,
                                     "-c", conf_path};
    argv.insert(argv.end(), extra.begin(), extra.end());
    proc_ = std::make_unique<Process>(argv);
    if (!proc_->wait_for_output("READY", std::chrono::seconds(20))) {
        error_ = "probe did not start: " + proc_->out() + proc_->err();
        return;
    }
    std::string pid = std::to_string(proc_->pid());
    std::vector<std::string> nsenter = {"nsenter", "-t", pid, "-n", "ip"};
    auto probe_ip = [&](std::vector<std::string> args) {
        std::vector<std::string> v = nsenter;
        v.insert(v.end(), args.begin(), args.end());
        return v;
    };
    std::string tip = std::string(kTestIp) + "/24";
    std::string pip = std::string(kProbeIp) + "/24";
    // Interface names are per namespace; both namespaces are private to this test.
    if (!run_ok({"ip", "link", "add", "brxt0", "type", "veth", "peer", "name", "brxp0", "netns", pid}, &error_) ||
        !run_ok({"ip", "addr", "add", tip, "dev", "brxt0"}, &error_) ||
        !run_ok({"ip", "link", "set", "brxt0", "up"}, &error_) ||
        !run_ok({"ip", "route", "add", "default", "dev", "brxt0"}, &error_) ||
        !run_ok(probe_ip({"link", "set", "lo", "up"}), &error_) ||
        !run_ok(probe_ip({"addr", "add", pip, "dev", "brxp0"}), &error_) ||
        !run_ok(probe_ip({"link", "set", "brxp0", "up"}), &error_) ||
        !run_ok(probe_ip({"route", "add", "default", "dev", "brxp0"}), &error_))
        return;
    fifo_fd_ = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fifo_fd_ < 0) {
        error_ = "cannot open the control FIFO";
        return;
    }
    if (!command("start") || count("START 0") != 1) error_ = "discovery did not start: " + out();
}

Probe::~Probe() {
    if (fifo_fd_ >= 0) close(fifo_fd_);
}

bool Probe::wait_for_count(const std::string &text, size_t n, std::chrono::milliseconds timeout) {
    return wait_until([&] { return count(text) >= n; }, timeout);
}

bool Probe::command(const std::string &line) {
    if (fifo_fd_ < 0) return false;
    std::string ack = "OK " + line.substr(0, line.find(' ')) + "\n";
    size_t before = count(ack);
    std::string l = line + "\n";
    if (write(fifo_fd_, l.data(), l.size()) != (ssize_t)l.size()) return false;
    return wait_for_count(ack, before + 1, std::chrono::seconds(10));
}

std::vector<std::string> Probe::events() const {
    std::vector<std::string> ev;
    std::string o = out();
    size_t pos = 0;
    while ((pos = o.find("EVENT ", pos)) != std::string::npos) {
        if (pos == 0 || o[pos - 1] == '\n') {
            size_t end = o.find('\n', pos);
            if (end == std::string::npos) break;
            ev.push_back(o.substr(pos, end - pos));
            pos = end;
        } else {
            pos += 6;
        }
    }
    return ev;
}

int Probe::quit() {
    if (!proc_) return -1;
    if (fifo_fd_ >= 0) {
        static const char q[] = "quit\n";
        if (write(fifo_fd_, q, sizeof q - 1) < 0) return proc_->stop(15);
    }
    return proc_->wait(std::chrono::seconds(20));
}

std::string probe_conf(const std::string &type, const std::string &mac, const std::string &ipv4,
                       const std::string &extra) {
    std::string c = "device.type=" + type + "\ndevice.mac_addr=" + mac +
                    "\ndevice.vendor=TestVendor\ndevice.model=T1\ndevice.redis.port=6400\n"
                    "device.dump_discovery=yes\nlogger.stdout=true\nlogger.level=DEBUG\n";
    if (!ipv4.empty()) c += "device.ipv4=" + ipv4 + "\n";
    return c + extra;
}

std::string whois(const std::string &net, const std::string &dev) {
    return "{\"packet_type\":1,\"network_id\":" + net + ",\"device_id\":" + dev + "}";
}

std::string formatted(const std::string &json) {
    cJSON *j = cJSON_Parse(json.c_str());
    if (!j) return "<invalid " + json + ">";
    char *s = cJSON_Print(j);
    std::string r = s ? s : "";
    free(s);
    cJSON_Delete(j);
    return r;
}

}  // namespace brx_test
