#include "tests/support/proc_watch.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tests/support/test_support.h"

namespace brx_test {

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
    : pid_(pid), base_rss_(process_memory_kib(pid, "VmRSS")), peak_rss_(base_rss_), base_fds_(open_fds(pid)),
      peak_fds_(base_fds_), base_cpu_(cpu_seconds(pid)) {}

void ProcWatch::sample() {
    peak_rss_ = std::max(peak_rss_, process_memory_kib(pid_, "VmRSS"));
    peak_fds_ = std::max(peak_fds_, open_fds(pid_));
}

double ProcWatch::cpu_used() const { return cpu_seconds(pid_) - base_cpu_; }

}  // namespace brx_test
