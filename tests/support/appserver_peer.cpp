#include "tests/support/appserver_peer.h"

#include <dirent.h>
#include <unistd.h>
#include <strings.h>

#include <algorithm>
#include <stdexcept>

namespace brx_test {

namespace {

const char *const kPython = "/usr/bin/python3";

/* The certificates' directory: removed at the end of the program that made it, never by a forked
 * child (a death test) that ends before it. */
struct CertsDir {
    TempDir *dir = new TempDir();
    pid_t owner = getpid();
    ~CertsDir() {
        if (getpid() == owner) delete dir;
    }
    std::string file(const std::string &name) const { return dir->file(name); }
};

TestCerts make_certs() {
    static CertsDir dir;
    TestCerts c;
    c.dir = dir.dir->path();
    ProcResult r = run_process({source_path("platform/appserver/make-certs.sh"), c.dir}, std::chrono::seconds(60));
    if (r.status != 0) throw std::runtime_error("make-certs.sh failed: " + r.err);
    c.ca = dir.file("ca.pem");
    c.localhost_cert = dir.file("localhost.pem");
    c.localhost_key = dir.file("localhost.key");
    c.other_ca = dir.file("other-ca.pem");
    c.other_cert = dir.file("other-localhost.pem");
    c.other_key = dir.file("other-localhost.key");
    return c;
}

std::vector<std::string> log_files(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".req") == 0) names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

const TestCerts &test_certs() {
    static const TestCerts certs = make_certs();
    return certs;
}

std::string LoggedRequest::header(const std::string &name) const {
    for (const auto &h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
    return "";
}

size_t LoggedRequest::header_count(const std::string &name) const {
    return std::count_if(headers.begin(), headers.end(),
                         [&](const auto &h) { return strcasecmp(h.first.c_str(), name.c_str()) == 0; });
}

LoggedRequest parse_request(const std::string &raw) {
    LoggedRequest r;
    r.raw = raw;
    size_t head_end = raw.find("\r\n\r\n");
    std::string head = raw.substr(0, head_end);
    r.body = head_end == std::string::npos ? "" : raw.substr(head_end + 4);
    size_t pos = 0;
    bool first = true;
    while (pos <= head.size()) {
        size_t eol = head.find("\r\n", pos);
        if (eol == std::string::npos) eol = head.size();
        std::string line = head.substr(pos, eol - pos);
        pos = eol + 2;
        if (first) {
            first = false;
            size_t a = line.find(' '), b = line.rfind(' ');
            r.method = line.substr(0, a);
            if (a != std::string::npos && b > a) {
                r.target = line.substr(a + 1, b - a - 1);
                r.version = line.substr(b + 1);
            }
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        size_t v = line.find_first_not_of(' ', colon + 1);
        r.headers.emplace_back(line.substr(0, colon), v == std::string::npos ? "" : line.substr(v));
    }
    return r;
}

std::string endless_reply(const std::string &head, const std::string &unit, double delay) {
    return R"({"raw_hex": ")" + to_hex(head) + R"(", "endless_hex": ")" + to_hex(unit) +
           R"(", "endless_delay": )" + std::to_string(delay) + "}";
}

AppServerPeer::AppServerPeer(const Options &options) : tls_(options.tls != Tls::None) {
    set_rules(options.rules);
    std::vector<std::string> argv{kPython, source_path("platform/appserver/appserver.py"), "--rules",
                                  dir_.file("rules.json"), "--log", dir_.file("log")};
    for (const auto &b : options.binds) argv.insert(argv.end(), {"--bind", b});
    if (options.app) argv.push_back("--app");
    if (tls_) {
        const TestCerts &c = test_certs();
        const bool trusted = options.tls == Tls::Trusted;
        argv.insert(argv.end(), {"--cert", trusted ? c.localhost_cert : c.other_cert, "--key",
                                 trusted ? c.localhost_key : c.other_key});
    }
    proc_ = std::make_unique<Process>(argv);
    if (!proc_->wait_for_output("LISTENING ", std::chrono::seconds(20)))
        throw std::runtime_error("appserver.py did not start: " + proc_->err());
    std::string out = proc_->out();
    port_ = std::stoi(out.substr(out.find("LISTENING ") + 10));
}

AppServerPeer::~AppServerPeer() {
    if (proc_) proc_->stop(9);
}

void AppServerPeer::set_rules(const std::string &json) {
    // Replaced whole, so that the peer never reads half a file.
    write_file(dir_.file("rules.json.tmp"), json);
    if (rename(dir_.file("rules.json.tmp").c_str(), dir_.file("rules.json").c_str()) != 0)
        throw std::runtime_error("cannot write the peer's rules");
}

std::string AppServerPeer::url(const std::string &path, const std::string &host) const {
    return std::string(tls_ ? "https" : "http") + "://" + host + ":" + std::to_string(port_) + path;
}

std::vector<LoggedRequest> AppServerPeer::requests() const {
    std::vector<LoggedRequest> out;
    for (const auto &name : log_files(dir_.file("log"))) out.push_back(parse_request(read_file(dir_.file("log/" + name))));
    return out;
}

size_t AppServerPeer::request_count() const { return log_files(dir_.file("log")).size(); }

bool AppServerPeer::wait_requests(size_t n, std::chrono::milliseconds timeout) const {
    return wait_until([&] { return request_count() >= n; }, timeout);
}

std::vector<std::string> AppServerPeer::server_names() const { return lines_of(read_file(dir_.file("log/sni.txt"))); }

std::string AppServerPeer::err() const { return proc_ ? proc_->err() : ""; }

bool AppServerPeer::wait_output(const std::string &text, std::chrono::milliseconds timeout) const {
    return proc_ && proc_->wait_for_output(text, timeout);
}

}  // namespace brx_test
