#include "tests/discovery/lan_support.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brx_test {

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
    // Interface names are per namespace; both namespaces are private to this test.
    error_ = link_netns(proc_->pid(), "brxt0", kTestIp, "brxp0", kProbeIp);
    if (!error_.empty()) return;
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
