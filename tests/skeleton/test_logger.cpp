// The logger: line format, thresholds, outputs, rotation and concurrent use.
// GCC 12 with the sanitizers warns falsely inside <regex> (std::function in its automaton).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/conffile/conffile.h"
#include "common/logger/logger.h"
#include "common/logger/logger_conffile.h"
#include "tests/support/test_support.h"

using brx_test::lines_of;
using brx_test::read_file;
using brx_test::TempDir;
using brx_test::write_file;

namespace {

// Applies a configuration text the way the start-up does.
void configure(const std::string &text) {
    TempDir dir;
    write_file(dir.file("l.conf"), text);
    ConfigFile *cf = configFileLoad(dir.file("l.conf").c_str());
    ASSERT_NE(cf, nullptr);
    logger_conffile_init(cf);
    configFileFree(cf);
}

class FileLog : public ::testing::Test {
protected:
    void use(const std::string &extra) {
        configure("logger.file=true\nlogger.file.name=" + dir.file("out.log") + "\n" + extra);
    }
    std::vector<std::string> lines() { return lines_of(read_file(dir.file("out.log"))); }
    TempDir dir;
};

const char *kStamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";

TEST_F(FileLog, LineFormatPerLevel) {
    use("logger.level=TRACE\n");
    _log("cat", LVL_TRACE, "a.cpp", 1, "t %d", 1);
    _log("cat", LVL_DEBUG, "a.cpp", 2, "d");
    _log("cat", LVL_INFO, "a.cpp", 3, "i");
    _log("cat", LVL_WARN, "a.cpp", 4, "w");
    _log("cat", LVL_ERROR, "a.cpp", 5, "e %s", "x");
    auto l = lines();
    ASSERT_EQ(l.size(), 5u);
    const char *expect[] = {"TRACE cat - t 1", "DEBUG cat - d", " INFO cat - i", " WARN cat - w", "ERROR cat - e x"};
    for (size_t i = 0; i < 5; i++)
        EXPECT_TRUE(std::regex_match(l[i], std::regex(std::string(kStamp) + expect[i]))) << l[i];
}

TEST_F(FileLog, LineAndFile) {
    use("logger.level=TRACE\nlogger.lineandfile=yes\n");
    _log("net", LVL_TRACE, "src/x.cpp", 42, "hello");
    auto l = lines();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_TRUE(std::regex_match(l[0], std::regex(std::string(kStamp) + "TRACE file: src/x\\.cpp, line: 42 - net - hello")))
        << l[0];
}

TEST_F(FileLog, Thresholds) {
    use("logger.level=warn\nlogger.category.db=ERROR\nlogger.category.quiet=nonsense\n");
    _log("other", LVL_INFO, "f", 1, "drop");
    _log("other", LVL_WARN, "f", 1, "keep-warn");
    _log("db", LVL_WARN, "f", 1, "drop-db-warn");
    _log("db", LVL_ERROR, "f", 1, "keep-db-error");
    _log("quiet", LVL_ERROR, "f", 1, "drop-unknown-level");
    auto text = read_file(dir.file("out.log"));
    EXPECT_NE(text.find("keep-warn"), std::string::npos);
    EXPECT_NE(text.find("keep-db-error"), std::string::npos);
    EXPECT_EQ(text.find("drop"), std::string::npos);
}

TEST_F(FileLog, ACategoryBelowTheGlobalLevelStillPasses) {
    use("logger.level=ERROR\nlogger.category.db=DEBUG\n");
    _log("db", LVL_TRACE, "f", 1, "drop-db-trace");
    _log("db", LVL_DEBUG, "f", 1, "keep-db-debug");
    _log("other", LVL_WARN, "f", 1, "drop-other-warn");
    _log("other", LVL_ERROR, "f", 1, "keep-other-error");
    auto text = read_file(dir.file("out.log"));
    EXPECT_NE(text.find("keep-db-debug"), std::string::npos);
    EXPECT_NE(text.find("keep-other-error"), std::string::npos);
    EXPECT_EQ(text.find("drop"), std::string::npos);
}

TEST_F(FileLog, UnknownGlobalLevelSilencesEverything) {
    use("logger.level=LOUD\n");
    _log("x", LVL_ERROR, "f", 1, "never");
    EXPECT_TRUE(lines().empty());
}

TEST_F(FileLog, TopmostLoggerKeyWins) {
    // The first occurrence of a logger key is the one in force, unlike ordinary keys.
    use("logger.level=INFO\nlogger.level=ERROR\n");
    _log("x", LVL_INFO, "f", 1, "info passes");
    EXPECT_EQ(lines().size(), 1u);
}

TEST_F(FileLog, LongMessageIsCut) {
    use("");
    std::string big(9000, 'm');
    _log("x", LVL_ERROR, "f", 1, "%s", big.c_str());
    std::string text = read_file(dir.file("out.log"));
    EXPECT_EQ(text.size(), 7999u);
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(FileLog, OutOfRangeLevelsAreClamped) {
    use("logger.level=TRACE\n");
    _log("x", -7, "f", 1, "low");
    _log("x", 99, "f", 1, "high");
    auto l = lines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_NE(l[0].find("TRACE x - low"), std::string::npos);
    EXPECT_NE(l[1].find("SYSLOG x - high"), std::string::npos);
}

TEST_F(FileLog, ErrnoIsKept) {
    use("");
    errno = EADDRINUSE;
    _log("x", LVL_ERROR, "f", 1, "m");
    EXPECT_EQ(errno, EADDRINUSE);
    _log("/nonexistent/dir", LVL_ERROR, "f", 1, "m");
    EXPECT_EQ(errno, EADDRINUSE);
}

TEST_F(FileLog, EnabledFalseUndoesKeysBelowIt) {
    // Keys apply from the last line up: "enabled=false" on top switches off what came before it.
    configure("logger.enabled=false\nlogger.file=true\nlogger.file.name=" + dir.file("out.log") + "\n");
    _log("x", LVL_ERROR, "f", 1, "m");
    EXPECT_FALSE(brx_test::file_exists(dir.file("out.log")));
}

// How many descriptors of this process are open on path.
int open_count(const std::string &path) {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (struct dirent *e = readdir(d)) {
        char link[4096];
        ssize_t len = readlinkat(dirfd(d), e->d_name, link, sizeof link - 1);
        if (len > 0 && std::string(link, (size_t)len) == path) n++;
    }
    closedir(d);
    return n;
}

TEST_F(FileLog, OpenOutputFileIsNotInheritedByCommands) {
    // The output is a FIFO with a full buffer: a logging thread then waits inside its write, file open.
    const std::string fifo = dir.file("out.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char chunk[4096];
    memset(chunk, 'f', sizeof chunk);
    while (write(fd, chunk, sizeof chunk) > 0) {
    }
    use("");
    std::thread writer([] { _log("x", LVL_ERROR, "f", 1, "while a shell starts"); });
    bool blocked = brx_test::wait_until([&] { return open_count(fifo) >= 2; }, std::chrono::seconds(10));

    // popen, not launch: launch may log, and the logger is busy.
    std::string listing;
    if (FILE *p = popen("ls -l /proc/self/fd/", "re")) {
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) listing.append(buf, n);
        pclose(p);
    }
    while (read(fd, chunk, sizeof chunk) > 0) {
    }
    writer.join();
    close(fd);

    ASSERT_TRUE(blocked);
    EXPECT_NE(listing.find(" -> "), std::string::npos) << listing;
    EXPECT_EQ(listing.find(fifo), std::string::npos) << listing;
}

TEST(Logger, FileNameIsCutTo255) {
    TempDir dir;
    std::string name = dir.path() + "/" + std::string(300, 'n');
    // The directory prefix plus 'n's, cut at 255 characters.
    std::string cut = name.substr(0, 255);
    configure("logger.file=true\nlogger.file.name=" + name + "\n");
    _log("x", LVL_ERROR, "f", 1, "m");
    EXPECT_TRUE(brx_test::file_exists(cut));
}

TEST(Logger, StandardOutput) {
    // A child process, so its standard output can be read back.
    TempDir dir;
    pid_t pid = fork();
    if (pid == 0) {
        FILE *f = freopen(dir.file("stdout").c_str(), "w", stdout);
        if (!f) _exit(2);
        configure("logger.stdout=yes\n");
        _log("std", LVL_INFO, "f", 1, "to stdout");
        _exit(0);
    }
    int st;
    waitpid(pid, &st, 0);
    auto l = lines_of(read_file(dir.file("stdout")));
    ASSERT_EQ(l.size(), 1u);
    EXPECT_TRUE(std::regex_match(l[0], std::regex(std::string(kStamp) + " INFO std - to stdout"))) << l[0];
}

TEST(Logger, RollingOnlyNeedsEnabled) {
    TempDir dir;
    std::string keys = "logger.rollingfile=true\nlogger.rollingfile.path=" + dir.file("roll") +
                       "\nlogger.rollingfile.name=app\n";
    configure(keys);
    _log("x", LVL_ERROR, "f", 1, "m");
    EXPECT_FALSE(brx_test::file_exists(dir.file("roll/app.0.log")));
    configure(keys + "logger.enabled=true\n");
    _log("x", LVL_ERROR, "f", 1, "m");
    EXPECT_TRUE(brx_test::file_exists(dir.file("roll/app.0.log")));
}

TEST(Logger, RollingRotation) {
    TempDir dir;
    configure("logger.enabled=true\nlogger.rollingfile=true\nlogger.rollingfile.path=" + dir.file("roll") +
              "\nlogger.rollingfile.name=app\nlogger.rollingfile.count=3\nlogger.rollingfile.size=100\n");
    // Each line is well over 100 bytes, so every line after the first starts a new index 0.
    for (int i = 0; i < 5; i++) _log("x", LVL_ERROR, "f", 1, "line-%d %s", i, std::string(120, 'p').c_str());
    auto first_line = [&](int idx) {
        auto l = lines_of(read_file(dir.file("roll/app." + std::to_string(idx) + ".log")));
        return l.empty() ? std::string() : l[0];
    };
    EXPECT_NE(first_line(0).find("line-4"), std::string::npos);
    EXPECT_NE(first_line(1).find("line-3"), std::string::npos);
    EXPECT_NE(first_line(2).find("line-2"), std::string::npos);
    EXPECT_FALSE(brx_test::file_exists(dir.file("roll/app.3.log")));
}

// A count of two billion renamed that many files per line, and a size of 0 rotated on every
// line: the start hung before the loop. Both are bounded, and said so once logging is on.
TEST(Logger, RollingValuesOutOfRangeAreBoundedWithAWarning) {
    TempDir dir;
    configure("logger.enabled=true\nlogger.rollingfile=true\nlogger.rollingfile.path=" + dir.file("roll") +
              "\nlogger.rollingfile.name=app\nlogger.rollingfile.count=2000000000\nlogger.rollingfile.size=0\n");
    for (int i = 0; i < 3; i++) _log("x", LVL_ERROR, "f", 1, "line-%d", i);
    std::string text = read_file(dir.file("roll/app.0.log"));
    EXPECT_NE(text.find("WARN logger - logger.rollingfile.count 2000000000 out of range 1..1000, using 1000"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("WARN logger - logger.rollingfile.size 0 is not a positive size, keeping 204800"),
              std::string::npos)
        << text;
    // The default size holds: the three lines stay in one file.
    EXPECT_NE(text.find("line-2"), std::string::npos);
    EXPECT_FALSE(brx_test::file_exists(dir.file("roll/app.1.log")));

    // A count below one keeps one file.
    configure("logger.enabled=true\nlogger.rollingfile=true\nlogger.rollingfile.path=" + dir.file("roll2") +
              "\nlogger.rollingfile.name=app\nlogger.rollingfile.count=-4\nlogger.rollingfile.size=10\n");
    for (int i = 0; i < 3; i++) _log("x", LVL_ERROR, "f", 1, "again-%d", i);
    EXPECT_NE(read_file(dir.file("roll2/app.0.log")).find("again-2"), std::string::npos);
    EXPECT_FALSE(brx_test::file_exists(dir.file("roll2/app.1.log")));
}

TEST(Logger, ConcurrentLinesNeverInterleave) {
    TempDir dir;
    configure("logger.file=true\nlogger.file.name=" + dir.file("out.log") +
              "\nlogger.category.t0=DEBUG\nlogger.category.t1=DEBUG\nlogger.category.t2=DEBUG\n");
    const int threads = 8, per = 400;
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; t++)
        ts.emplace_back([t] {
            std::string cat = "t" + std::to_string(t % 4);  // categories are reordered on every lookup
            for (int i = 0; i < per; i++) _log(cat.c_str(), LVL_INFO, "f", 1, "msg %d %d %s", t, i, "payload");
        });
    for (auto &t : ts) t.join();
    auto l = lines_of(read_file(dir.file("out.log")));
    ASSERT_EQ(l.size(), (size_t)(threads * per));
    std::regex line(std::string(kStamp) + R"( INFO t[0-3] - msg \d+ \d+ payload)");
    for (const auto &s : l) ASSERT_TRUE(std::regex_match(s, line)) << s;
}

TEST(Logger, SyslogGetsTheLineWithoutTimeStamp) {
    // A private mount namespace lets the child own /dev/log without touching the machine's.
    TempDir dir;
    pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0) _exit(77);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(77);
        if (mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0) _exit(77);
        int s = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, "/dev/log");
        if (bind(s, (sockaddr *)&a, sizeof a) != 0) _exit(77);
        configure("logger.syslog=true\nlogger.syslog.ident=brxtest\n");
        _log("sys", LVL_WARN, "f", 1, "to syslog %d", 7);
        char buf[1024];
        struct timeval tv = {5, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ssize_t n = recv(s, buf, sizeof buf - 1, 0);
        if (n <= 0) _exit(3);
        buf[n] = 0;
        write_file(dir.file("dgram"), buf);
        _exit(0);
    }
    int st;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    if (WEXITSTATUS(st) == 77) GTEST_SKIP() << "no mount namespace";
    ASSERT_EQ(WEXITSTATUS(st), 0);
    std::string d = read_file(dir.file("dgram"));
    // "<priority>" then the time stamp of syslog itself, the ident and pid, then our text.
    EXPECT_TRUE(std::regex_search(d, std::regex(R"(^<12>.*brxtest\[\d+\]: ? WARN sys - to syslog 7$)"))) << d;
}

}  // namespace
