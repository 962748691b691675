#ifndef BRX_TESTS_SUPPORT_H
#define BRX_TESTS_SUPPORT_H

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace brx_test {

/* A fresh directory under $TMPDIR (or /tmp), removed with its content on destruction. */
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
/* Two lower-case hexadecimal digits per byte. */
std::string to_hex(const std::string &bytes);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);
/* The lines of text, without their newlines. */
std::vector<std::string> lines_of(const std::string &text);
/* How many lines of text contain needle. */
size_t lines_containing(const std::string &text, const std::string &needle);
/* This process's descriptors of IPv4 sockets connected to port (of any address). */
std::vector<int> sockets_connected_to(int port);

/* This process's open descriptors, in ascending order. */
std::vector<int> open_descriptors();

/*
 * While it lives, this process can open exactly `spare` more descriptors: the soft limit is lowered
 * just above the highest one in use and every free number below it is taken by /dev/null.
 */
class DescriptorSqueeze {
public:
    explicit DescriptorSqueeze(int spare);
    ~DescriptorSqueeze();  /* the fillers closed, the limit back */
    DescriptorSqueeze(const DescriptorSqueeze &) = delete;
    DescriptorSqueeze &operator=(const DescriptorSqueeze &) = delete;

private:
    rlimit old_;
    std::vector<int> fillers_;
};

/* Path of a built program relative to the build tree ("src/Brixmoor"), and of a source file. */
std::string build_path(const std::string &rel);
std::string source_path(const std::string &rel);

struct ProcResult {
    int status = -1;       /* exit status, or 128 + signal */
    bool timed_out = false;
    std::string out;
    std::string err;
};

/* Runs argv to its end (killed after timeout), capturing both streams. */
ProcResult run_process(const std::vector<std::string> &argv, std::chrono::milliseconds timeout = std::chrono::seconds(30),
                       const std::map<std::string, std::string> &extra_env = {});

/*
 * Limits for a child that faces a hostile peer, so that a missing bound fails the test instead of
 * growing until the machine gives out. limit_child changes the child's command line and environment.
 * Its memory: in a sanitizer build ASan's hard_rss_limit_mb joins the child's ASAN_OPTIONS (those
 * already in *env kept, else the inherited ones), since ASan reserves terabytes of address space;
 * otherwise its address space is limited. A prlimit before the command sets the address space and
 * the descriptor limits, then runs the command in its place: the child keeps that process id.
 */
struct ChildLimits {
    size_t memory_mb = 0;        /* > 0: the memory cap */
    /* Under the cap, ASan's quarantine (a sanitizer build): freed memory it keeps resident, counted
       in the child's figures; 0 leaves them the child's own. */
    size_t quarantine_mb = 0;
    size_t address_space_mb = 0; /* a build without sanitizers: the address space; 0: memory_mb */
    int nofile = 0;              /* > 0: the hard descriptor limit */
    int nofile_soft = 0;         /* > 0: a soft one below it; 0: the hard one */
};
void limit_child(const ChildLimits &limits, std::vector<std::string> *argv, std::map<std::string, std::string> *env);

/* The address-space limit of this process (a build without sanitizers); true. */
bool cap_own_address_space(size_t mb);
/* The largest file this process and its children may write; a write past it fails (EFBIG). true. */
bool cap_own_file_size(size_t mb);
/* A field of /proc/<pid>/status in KiB ("VmRSS", "VmHWM"); -1 when it cannot be read (the process gone). */
long process_memory_kib(pid_t pid, const std::string &field);

/* Polls pred every 20 ms until it holds or the timeout passes. */
bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout);

/* A child process with its standard output and error in files of a temporary directory. */
class Process {
public:
    Process(const std::vector<std::string> &argv, const std::map<std::string, std::string> &extra_env = {},
            const std::string &cwd = "");
    ~Process();  /* SIGKILL if still running */
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    /* Sends sig; returns the exit status as run_process reports it, or -1 on timeout. */
    int stop(int sig = 15, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /* Waits for the process to end by itself; -1 on timeout. */
    int wait(std::chrono::milliseconds timeout);
    std::string out() const;
    std::string err() const;
    /* Waits until the standard output contains text. */
    bool wait_for_output(const std::string &text, std::chrono::milliseconds timeout);
    /* Number of times text occurs in the standard output. */
    size_t count_output(const std::string &text) const;

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

/* TZ for the life of the guard (tzset applied both ways). */
class Zone {
public:
    explicit Zone(const std::string &tz);
    ~Zone();
    Zone(const Zone &) = delete;
    Zone &operator=(const Zone &) = delete;

private:
    bool had_ = false;
    std::string old_;
};

}  // namespace brx_test

/*
 * The memory cap of a test program whose code under test runs in the program itself: written once
 * at file level. A sanitizer build learns it at start from ASan's default options (what ASAN_OPTIONS
 * sets is kept).
 */
#if defined(__SANITIZE_ADDRESS__)
#define BRX_TEST_PROGRAM_MEMORY_CAP_MB(mb) \
    extern "C" const char *__asan_default_options() { return "hard_rss_limit_mb=" #mb; }
#else
#define BRX_TEST_PROGRAM_MEMORY_CAP_MB(mb) \
    static const bool brx_program_memory_capped = brx_test::cap_own_address_space(mb);
#endif

#endif
