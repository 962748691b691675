// The daemon as a black box: command line, exit statuses, pid file and signals.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/appserver_peer.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const char *kPidFile = "/var/run/Brixmoor.pid";

std::string daemon_path() { return build_path("src/Brixmoor"); }

struct CliCase {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string out_has;
    std::string err_has;
};

void PrintTo(const CliCase &c, std::ostream *os) { *os << c.name; }

class CommandLine : public ::testing::TestWithParam<CliCase> {};

TEST_P(CommandLine, ExitsAsSpecified) {
    const CliCase &c = GetParam();
    std::vector<std::string> argv = {daemon_path()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProcResult r = run_process(argv, 10s);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE(r.out.find(c.out_has), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
}

const std::string kUsage =
    "Usage: [-vhtd] [-l <test.lua>] Brixmoor [conf_file_path] [-c override_device_type] [-m override_mac_addr] "
    "[-i override_ipv4]\n\n";

INSTANTIATE_TEST_SUITE_P(
    Statuses, CommandLine,
    ::testing::Values(
        CliCase{"no_argument", {}, 0, kUsage, ""},
        CliCase{"help", {"-h"}, 3, kUsage, ""},
        CliCase{"version", {"-v"}, 3, "Brixmoor 1.9 (30)", ""},
        CliCase{"unknown_letter_before_config", {"/nonexistent/a.conf", "-x"}, 3, "Brixmoor 1.9 (30)", ""},
        CliCase{"long_option_read_by_second_char", {"-help"}, 3, kUsage, ""},
        CliCase{"missing_config", {"/nonexistent/a.conf"}, 1, "",
                "Cannot load config file /nonexistent/a.conf: cannot open it: No such file or directory\n"},
        CliCase{"no_config_path", {"-d"}, 1, "", "Cannot load config file (null)"},
        CliCase{"second_path_wins", {"/nonexistent/1.conf", "/nonexistent/2.conf"}, 1, "",
                "Cannot load config file /nonexistent/2.conf"},
        CliCase{"override_consumes_its_argument", {"-c", "/nonexistent/type", "/nonexistent/3.conf"}, 1, "",
                "Cannot load config file /nonexistent/3.conf"},
        CliCase{"override_last_does_nothing", {"/nonexistent/4.conf", "-c"}, 1, "",
                "Cannot load config file /nonexistent/4.conf"},
        CliCase{"dash_alone_is_a_path", {"-"}, 1, "", "Cannot load config file -"}),
    [](const ::testing::TestParamInfo<CliCase> &i) { return std::string(i.param.name); });

// A running engine: a Redis pair and a configuration that logs to standard output. The camera
// starts discovery, which broadcasts: it runs in a network namespace of its own (nothing but a
// loopback that is down), which unshare makes before it runs the daemon in the same process.
class Running : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/var/run", W_OK) != 0) GTEST_SKIP() << "/var/run is not writable";
        if (run_process({"unshare", "-n", "true"}, 10s).status != 0) GTEST_SKIP() << "cannot create a network namespace";
        unlink(kPidFile);
        redis = std::make_unique<RedisPair>(dir.file("redis"));
        write_file(dir.file("brx.conf"),
                   "device.type=camera\n"
                   "device.redis.socket_path=" + dir.file("redis") + "\n"
                   "device.local_db.file=" + dir.file("local_db.json") + "\n"
                   "ca_cert_path=" + test_certs().ca + "\n"
                   "logger.stdout=true\nlogger.level=DEBUG\n");
    }
    void TearDown() override { unlink(kPidFile); }

    std::vector<std::string> engine(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {"unshare", "-n", daemon_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    long pid_in_file() {
        std::string s = read_file(kPidFile);
        return s.empty() ? -1 : std::stol(s);
    }

    TempDir dir;
    std::unique_ptr<RedisPair> redis;
};

TEST_F(Running, PidFileAndSignalsRunTheTearDown) {
    for (int sig : {SIGTERM, SIGINT}) {
        Process p(engine({dir.file("brx.conf")}));
        ASSERT_TRUE(p.wait_for_output("Not running as a daemon.", 10s)) << p.out();
        EXPECT_EQ(read_file(kPidFile), std::to_string(p.pid()) + "\n");
        EXPECT_NE(p.out().find("Brixmoor version 1.9 (30)"), std::string::npos);
        EXPECT_EQ(p.stop(sig), 0) << p.out() << p.err();
        EXPECT_FALSE(file_exists(kPidFile)) << "signal " << sig;
    }
}

TEST_F(Running, DaemonRewritesThePidFileFromTheSurvivor) {
    Process p(engine({"-d", dir.file("brx.conf")}));
    // The process as started leaves at once; the grandchild stays.
    ASSERT_EQ(p.wait(10s), 0);
    long pid = -1;
    ASSERT_TRUE(wait_until(
        [&] {
            pid = pid_in_file();
            return pid > 0 && pid != p.pid() && kill((pid_t)pid, 0) == 0;
        },
        10s))
        << "pid file: " << read_file(kPidFile);
    // A session and working directory of its own.
    EXPECT_NE(getsid((pid_t)pid), getsid(0));
    char link[64];
    snprintf(link, sizeof link, "/proc/%ld/cwd", pid);
    char cwd[256] = {0};
    ASSERT_GT(readlink(link, cwd, sizeof cwd - 1), 0);
    EXPECT_STREQ(cwd, "/");
    ASSERT_EQ(kill((pid_t)pid, SIGTERM), 0);
    EXPECT_TRUE(wait_until([&] { return kill((pid_t)pid, 0) != 0; }, 10s));
    EXPECT_FALSE(file_exists(kPidFile));
}

// The local run's script refuses, before it installs or starts anything, what would leave processes
// behind it or break a run already going.
TEST(LocalRunScript, RefusesDaemonModeAndASecondRun) {
    const std::string script = source_path("scripts/run-local.sh");
    for (const std::vector<std::string> &args : {std::vector<std::string>{"-d"}, {"-t", "-d"}, {"-td"}}) {
        std::vector<std::string> argv = {"/bin/sh", script};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcResult r = run_process(argv, 10s);
        EXPECT_EQ(r.status, 2) << args.back() << r.out << r.err;
        EXPECT_NE(r.err.find("-d is refused"), std::string::npos) << r.err;
    }

    // A run in progress holds the lock (or a real local run does: the script refuses all the same).
    mkdir("/tmp/brixmoor-local", 0755);
    int fd = open("/tmp/brixmoor-local/lock", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    flock(fd, LOCK_EX | LOCK_NB);
    ProcResult r = run_process({"/bin/sh", script}, 10s);
    close(fd);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("another local run is active"), std::string::npos) << r.err;
}

}  // namespace
