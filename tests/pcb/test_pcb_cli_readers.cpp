// The gateway parameter readers that run the command-line tool through the shell, against a
// stand-in tool whose output, exit status and received arguments the test controls.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "src/external_conf.h"
#include "src/pcb/pcb_plugin.h"
#include "tests/support/test_support.h"

namespace {

class CliReaders : public ::testing::Test {
protected:
    void SetUp() override {
        // Prints $FAKE_OUT as given (printf %b), records its arguments, exits with $FAKE_RC.
        std::string tool = dir_.file("pcb_cli");
        brx_test::write_file(tool,
                             "#!/bin/sh\n"
                             "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$FAKE_ARGS\"\n"
                             "printf '%b' \"$FAKE_OUT\"\n"
                             "exit \"$FAKE_RC\"\n");
        chmod(tool.c_str(), 0755);
        setenv("PATH", (dir_.path() + ":" + getenv("PATH")).c_str(), 1);
        setenv("FAKE_ARGS", dir_.file("args").c_str(), 1);
    }
    void tool_prints(const char *out, int rc = 0) {
        setenv("FAKE_OUT", out, 1);
        setenv("FAKE_RC", std::to_string(rc).c_str(), 1);
    }
    static std::string str(char *s) {
        std::string r = s ? s : "<null>";
        free(s);
        return r;
    }
    brx_test::TempDir dir_;
};

TEST_F(CliReaders, OutputForms) {
    struct Case {
        const char *out;
        int rc;
        const char *line;  // pcbcli_get_string
        int flag;          // pcbcli_get_bool
        const char *whole; // pcbcli_get_string_ext
    } cases[] = {
        {"1\\n", 0, "1", 1, "1"},
        {"1", 0, "1", 1, "1"},
        {"1 \\n", 0, "1 ", 0, "1 "},
        {"true\\n", 0, "true", 0, "true"},
        {"11\\n", 0, "11", 0, "11"},
        {"\\n", 0, "<null>", 0, "<null>"},
        {"", 0, "<null>", 0, "<null>"},
        {"a\\nb\\n", 0, "a", 0, "a\nb"},
        {"x\\n", 1, "x", 0, "<null>"},
    };
    for (const auto &c : cases) {
        tool_prints(c.out, c.rc);
        EXPECT_EQ(str(pcbcli_get_string("APService.HomeAutomation.X")), c.line) << c.out;
        EXPECT_EQ(pcbcli_get_bool("APService.HomeAutomation.X"), c.flag) << c.out;
        EXPECT_EQ(str(pcbcli_get_string_ext("APService.HomeAutomation.X")), c.whole) << c.out;
    }
}

// Whatever the key holds reaches the tool as one argument and is never run by the shell.
TEST_F(CliReaders, KeyIsNeverShellCode) {
    tool_prints("v\\n");
    std::string marker = dir_.file("pwned");
    const std::string keys[] = {
        "ZIR.HomeAutomation.HA-ID",
        "A.B'; touch " + marker + "; echo '",
        "A.$(touch " + marker + ")",
        "A.`touch " + marker + "`",
        "A.B\" ; touch " + marker + " ; \"",
        "A.B* ?[x] ~ & | > " + marker,
    };
    for (const auto &key : keys) {
        EXPECT_EQ(str(pcbcli_get_string(key.c_str())), "v") << key;
        EXPECT_EQ(brx_test::read_file(dir_.file("args")), "-l\n" + key + "?\n") << key;
        EXPECT_EQ(str(pcbcli_get_string_ext(key.c_str())), "v") << key;
        EXPECT_EQ(brx_test::read_file(dir_.file("args")), "-l\n" + key + "?\n") << key;
    }
    EXPECT_FALSE(brx_test::file_exists(marker));
}

TEST_F(CliReaders, MissingToolGivesNothing) {
    setenv("PATH", dir_.file("nowhere").c_str(), 1);
    EXPECT_EQ(str(pcbcli_get_string("A.B")), "<null>");
    EXPECT_EQ(pcbcli_get_bool("A.B"), 0);
    EXPECT_EQ(str(pcbcli_get_string_ext("A.B")), "<null>");
}

// The base is read anew at each call and joined whole, however long; no base, no URL.
TEST_F(CliReaders, ServerUrlJoinsTheBaseReadAnew) {
    const std::string long_base = "https://h/" + std::string(300, 'p') + "/app";
    tool_prints((long_base + "\\n").c_str());
    EXPECT_EQ(str(ext_server_url("/device")), long_base + "/device");
    EXPECT_EQ(brx_test::read_file(dir_.file("args")), "-l\nAPService.HomeAutomation.ApplicationServer?\n");
    tool_prints("https://other:8443/app\\n");
    EXPECT_EQ(str(ext_server_url("/ld/N1-2")), "https://other:8443/app/ld/N1-2");
    EXPECT_EQ(str(ext_server_url(nullptr)), "https://other:8443/app");
    tool_prints("", 1);
    EXPECT_EQ(str(ext_server_url("/device")), "<null>");
}

}  // namespace
