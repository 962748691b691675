// limit_child as the hostile-peer tests rely on it: a child past its memory cap ends while one below
// it runs, in the process it was started as (its /proc figures are read by that id), with the
// descriptor limits and the ASan options it was given.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> hog(size_t mib) { return {build_path("tests/support/memory_hog"), std::to_string(mib)}; }

TEST(ChildLimits, AChildPastItsMemoryCapEndsAndOneBelowItRuns) {
    struct Case {
        const char *name;
        size_t quarantine_mb;
        size_t grow_mib;
        bool ends;
    };
    const Case cases[] = {
        {"below the cap", 0, 32, false},
        {"below the cap, with a quarantine", 8, 32, false},
        {"past the cap", 0, 512, true},
        {"past the cap, with a quarantine", 8, 512, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ChildLimits limits;
        limits.memory_mb = 128;
        limits.quarantine_mb = c.quarantine_mb;
        std::vector<std::string> argv = hog(c.grow_mib);
        std::map<std::string, std::string> env;
        limit_child(limits, &argv, &env);
        const ProcResult r = run_process(argv, 60s, env);
        ASSERT_FALSE(r.timed_out);
        if (c.ends) {
            EXPECT_NE(r.status, 0) << r.out;
            EXPECT_EQ(r.out.find("held "), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.status, 0) << r.out << r.err.substr(0, 4000);
            EXPECT_NE(r.out.find("held 32 MiB"), std::string::npos) << r.out;
        }
    }
}

TEST(ChildLimits, TheChildKeepsItsProcessIdTheDescriptorLimitsAndTheAsanOptionsGivenIt) {
    struct Case {
        const char *name;
        int nofile_soft, nofile;
        const char *seen;
    };
    const Case cases[] = {
        {"one limit for both", 0, 200, "nofile 200:200 "},
        {"a soft limit below the hard one", 100, 200, "nofile 100:200 "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ChildLimits limits;
        limits.memory_mb = 64;
        limits.nofile_soft = c.nofile_soft;
        limits.nofile = c.nofile;
        std::vector<std::string> argv = hog(0);
        // A faked clock's own option, say: the cap joins it.
        std::map<std::string, std::string> env = {{"ASAN_OPTIONS", "verify_asan_link_order=0"}};
        limit_child(limits, &argv, &env);
        Process p(argv, env);
        ASSERT_EQ(p.wait(30s), 0) << p.out() << p.err().substr(0, 4000);
        const std::string out = p.out();
        EXPECT_EQ(out.rfind("pid " + std::to_string(p.pid()) + " ", 0), 0u) << out;
        EXPECT_NE(out.find(c.seen), std::string::npos) << out;
#if defined(__SANITIZE_ADDRESS__)
        EXPECT_NE(out.find(" asan verify_asan_link_order=0:"), std::string::npos) << out;
        EXPECT_NE(out.find("hard_rss_limit_mb=64"), std::string::npos) << out;
#endif
    }
}

}  // namespace
