#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace brx_test {

namespace {

int decode_status(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

pid_t spawn(const std::vector<std::string> &argv, const std::map<std::string, std::string> &extra_env,
            const std::string &out_path, const std::string &err_path, const std::string &cwd) {
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // Nothing else of the test's: a server left behind by a crashed test must not hold the
        // test lock that ctest was started under.
        close_range(3, ~0U, 0);
        for (const auto &kv : extra_env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/brxtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::string cmd = "rm -rf '" + path_ + "'";
        int r = system(cmd.c_str());
        (void)r;
    }
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string to_hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::vector<int> open_descriptors() {
    std::vector<int> fds;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return fds;
    const int own = dirfd(d);
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const int fd = atoi(e->d_name);
        if (fd != own) fds.push_back(fd);
    }
    closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

std::vector<int> sockets_connected_to(int port) {
    std::vector<int> fds;
    for (int fd : open_descriptors()) {
        char target[256] = {0};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0 || strncmp(target, "socket:", 7) != 0) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (getpeername(fd, (sockaddr *)&peer, &len) == 0 && peer.sin_family == AF_INET && ntohs(peer.sin_port) == port)
            fds.push_back(fd);
    }
    return fds;
}

DescriptorSqueeze::DescriptorSqueeze(int spare) {
    if (getrlimit(RLIMIT_NOFILE, &old_) != 0) throw std::runtime_error("getrlimit");
    const std::vector<int> used = open_descriptors();
    rlimit tight = old_;
    tight.rlim_cur = (rlim_t)(used.empty() ? 0 : used.back()) + 1 + (rlim_t)spare;
    if (tight.rlim_cur > old_.rlim_cur) throw std::runtime_error("descriptor limit too low to squeeze");
    if (setrlimit(RLIMIT_NOFILE, &tight) != 0) throw std::runtime_error("setrlimit");
    for (;;) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        fillers_.push_back(fd);
    }
    // The highest numbers go free: nothing below them is left.
    for (int i = 0; i < spare && !fillers_.empty(); i++) {
        close(fillers_.back());
        fillers_.pop_back();
    }
}

DescriptorSqueeze::~DescriptorSqueeze() {
    for (int fd : fillers_) close(fd);
    setrlimit(RLIMIT_NOFILE, &old_);
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) out.push_back(line);
    return out;
}

std::string build_path(const std::string &rel) { return std::string(BRX_BINARY_DIR) + "/" + rel; }
std::string source_path(const std::string &rel) { return std::string(BRX_SOURCE_DIR) + "/" + rel; }

ProcResult run_process(const std::vector<std::string> &argv, std::chrono::milliseconds timeout,
                       const std::map<std::string, std::string> &extra_env) {
    TempDir dir;
    ProcResult r;
    pid_t pid = spawn(argv, extra_env, dir.file("out"), dir.file("err"), "");
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int st = 0;
    for (;;) {
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            r.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.status = decode_status(st);
    r.out = read_file(dir.file("out"));
    r.err = read_file(dir.file("err"));
    return r;
}

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Process::Process(const std::vector<std::string> &argv, const std::map<std::string, std::string> &extra_env,
                 const std::string &cwd) {
    pid_ = spawn(argv, extra_env, dir_.file("out"), dir_.file("err"), cwd);
}

Process::~Process() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        int st;
        waitpid(pid_, &st, 0);
    }
}

bool Process::running() {
    if (reaped_) return false;
    int st;
    pid_t w = waitpid(pid_, &st, WNOHANG);
    if (w == pid_) {
        reaped_ = true;
        status_ = decode_status(st);
        return false;
    }
    return true;
}

int Process::wait(std::chrono::milliseconds timeout) {
    if (!wait_until([this] { return !running(); }, timeout)) return -1;
    return status_;
}

int Process::stop(int sig, std::chrono::milliseconds timeout) {
    if (running()) kill(pid_, sig);
    return wait(timeout);
}

std::string Process::out() const { return read_file(dir_.file("out")); }
std::string Process::err() const { return read_file(dir_.file("err")); }

void limit_child(const ChildLimits &limits, std::vector<std::string> *argv, std::map<std::string, std::string> *env) {
    std::vector<std::string> prlimit = {"prlimit"};
    if (limits.nofile > 0)
        prlimit.push_back("--nofile=" + std::to_string(limits.nofile_soft > 0 ? limits.nofile_soft : limits.nofile) +
                          ":" + std::to_string(limits.nofile));
#if defined(__SANITIZE_ADDRESS__)
    if (limits.memory_mb > 0) {
        // Options the child is given already (a preloaded clock's, say) win over the inherited ones.
        const char *own = getenv("ASAN_OPTIONS");
        std::string options = env->count("ASAN_OPTIONS") ? (*env)["ASAN_OPTIONS"] : own ? own : "";
        if (!options.empty()) options += ":";
        options += "hard_rss_limit_mb=" + std::to_string(limits.memory_mb) +
                   ":quarantine_size_mb=" + std::to_string(limits.quarantine_mb);
        // Each thread's cache of freed memory, a megabyte by default, comes before the quarantine.
        if (limits.quarantine_mb > 0) options += ":thread_local_quarantine_size_kb=64";
        (*env)["ASAN_OPTIONS"] = options;
    }
#else
    (void)env;
    const size_t space_mb = limits.address_space_mb > 0 ? limits.address_space_mb : limits.memory_mb;
    if (space_mb > 0) prlimit.push_back("--as=" + std::to_string((unsigned long long)space_mb << 20));
#endif
    if (prlimit.size() == 1) return;
    prlimit.push_back("--");
    argv->insert(argv->begin(), prlimit.begin(), prlimit.end());
}

bool cap_own_address_space(size_t mb) {
    struct rlimit l;
    l.rlim_cur = l.rlim_max = (rlim_t)mb * 1024 * 1024;
    if (setrlimit(RLIMIT_AS, &l) != 0) perror("setrlimit");
    return true;
}

bool cap_own_file_size(size_t mb) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit l;
    l.rlim_cur = l.rlim_max = (rlim_t)mb * 1024 * 1024;
    if (setrlimit(RLIMIT_FSIZE, &l) != 0) perror("setrlimit");
    return true;
}

long process_memory_kib(pid_t pid, const std::string &field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    const std::string tag = field + ":";
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(tag, 0) == 0) return std::atol(line.c_str() + tag.size());
    return -1;
}

bool Process::wait_for_output(const std::string &text, std::chrono::milliseconds timeout) {
    return wait_until([&] { return out().find(text) != std::string::npos; }, timeout);
}

size_t Process::count_output(const std::string &text) const {
    std::string s = out();
    size_t n = 0;
    for (size_t pos = s.find(text); pos != std::string::npos; pos = s.find(text, pos + text.size())) n++;
    return n;
}


Zone::Zone(const std::string &tz) {
    const char *old = getenv("TZ");
    had_ = old != nullptr;
    if (old) old_ = old;
    setenv("TZ", tz.c_str(), 1);
    tzset();
}

Zone::~Zone() {
    if (had_)
        setenv("TZ", old_.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

size_t lines_containing(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (const std::string &l : lines_of(text))
        if (l.find(needle) != std::string::npos) n++;
    return n;
}

}  // namespace brx_test
