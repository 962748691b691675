#ifndef BRX_TESTS_SUPPORT_PROC_WATCH_H
#define BRX_TESTS_SUPPORT_PROC_WATCH_H

/*
 * For tests that set a hostile peer on the engine: limits for the process under test, so that a
 * missing bound ends that process instead of filling the machine, and its figures read from /proc.
 */

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace brx_test {

struct ProcessLimits {
    /* In a sanitizer build ASan's hard RSS limit (with a small quarantine, so that the resident set
       shows what the process holds), otherwise the address space with room for the libraries. */
    int memory_mb = 512;
    /* > 0: the soft and the hard descriptor limit. */
    int nofile = 0;
};

/* The command prefix (prlimit) and the further environment that apply limits to a program. */
std::vector<std::string> limited_argv(const ProcessLimits &limits, const std::vector<std::string> &argv);
std::map<std::string, std::string> limited_env(const ProcessLimits &limits);

/* A process's resident set in KiB, open descriptors and CPU seconds (user + system); -1 when gone. */
long rss_kib(pid_t pid);
int open_fds(pid_t pid);
double cpu_seconds(pid_t pid);

/* The figures of one process from a baseline on, with the peaks of the samples taken. */
class ProcWatch {
public:
    explicit ProcWatch(pid_t pid);
    void sample();
    long rss_rise_kib() const { return peak_rss_ - base_rss_; }
    int fd_rise() const { return peak_fds_ - base_fds_; }
    /* CPU time since the baseline. */
    double cpu_used() const;

private:
    pid_t pid_;
    long base_rss_, peak_rss_;
    int base_fds_, peak_fds_;
    double base_cpu_;
};

}  // namespace brx_test

#endif
