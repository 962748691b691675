#ifndef BRX_TESTS_SUPPORT_PROC_WATCH_H
#define BRX_TESTS_SUPPORT_PROC_WATCH_H

/*
 * For tests that set a hostile peer on the engine: the figures of the process under test, read from
 * /proc (its memory through process_memory_kib, tests/support/test_support.h).
 */

#include <sys/types.h>

namespace brx_test {

/* A process's open descriptors and CPU seconds (user + system); -1 when gone. */
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
