#include "tests/support/proc_watch.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace brx_test {

#if defined(__SANITIZE_ADDRESS__)
const bool kAsan = true;
#else
const bool kAsan = false;
#endif

std::vector<std::string> limited_argv(const ProcessLimits &limits, const std::vector<std::string> &argv) {
    std::vector<std::string> out = {"prlimit"};
    if (limits.nofile > 0) out.push_back("--nofile=" + std::to_string(limits.nofile) + ":" + std::to_string(limits.nofile));
    // ASan reserves terabytes of address space: its own limit applies there.
    if (!kAsan) out.push_back("--as=" + std::to_string((long long)(limits.memory_mb + 512) << 20));
    out.push_back("--");
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

std::map<std::string, std::string> limited_env(const ProcessLimits &limits) {
    if (!kAsan) return {};
    const char *given = getenv("ASAN_OPTIONS");
    std::string options = given && *given ? std::string(given) + ":" : std::string();
    options += "hard_rss_limit_mb=" + std::to_string(limits.memory_mb) + ":quarantine_size_mb=8";
    return {{"ASAN_OPTIONS", options}};
}

long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

int open_fds(pid_t pid) {
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d) return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The name may hold blanks: the fields count from its closing parenthesis (utime is the 14th).
    size_t close = all.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(all.substr(close + 2));
    std::string f;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; i++) {
        if (i == 14) utime = atoll(f.c_str());
        if (i == 15) stime = atoll(f.c_str());
    }
    return double(utime + stime) / sysconf(_SC_CLK_TCK);
}

ProcWatch::ProcWatch(pid_t pid)
    : pid_(pid), base_rss_(rss_kib(pid)), peak_rss_(base_rss_), base_fds_(open_fds(pid)), peak_fds_(base_fds_),
      base_cpu_(cpu_seconds(pid)) {}

void ProcWatch::sample() {
    peak_rss_ = std::max(peak_rss_, rss_kib(pid_));
    peak_fds_ = std::max(peak_fds_, open_fds(pid_));
}

double ProcWatch::cpu_used() const { return cpu_seconds(pid_) - base_cpu_; }

}  // namespace brx_test
