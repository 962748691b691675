#ifndef BRX_TESTS_ENGINE_FAKED_CLOCK_H
#define BRX_TESTS_ENGINE_FAKED_CLOCK_H

/*
 * A daemon's wall clock under libfaketime, offset from the real one through a file that the daemon
 * reads at every clock call; the monotonic clock (libevent's timers) stays real.
 */

#include <glob.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <map>
#include <string>

#include "tests/support/test_support.h"

namespace engine_test {

/* The thread-safe build of libfaketime (the daemon runs threads), "" when it is not installed. */
inline std::string faketime_library() {
    glob_t g;
    std::string found;
    if (glob("/usr/lib/*/faketime/libfaketimeMT.so.1", 0, nullptr, &g) == 0 && g.gl_pathc > 0) found = g.gl_pathv[0];
    globfree(&g);
    return found;
}

/*
 * Aimed once the daemon is up, whatever its start took: the daemon's next full minute then comes
 * lead seconds later, in UTC.
 */
class FakedClock {
public:
    FakedClock() { set_offset(0); }
    void aim(int lead) {
        const time_t real_now = time(nullptr);
        fire_fake = ((real_now + lead) / 60 + 1) * 60;
        fire_real = real_now + lead;
        set_offset(fire_fake - fire_real);
    }
    // Whole, never half-written: the daemon reads the file at every clock call.
    void set_offset(long seconds) {
        brx_test::write_file(file() + ".new", (seconds < 0 ? "" : "+") + std::to_string(seconds) + "\n");
        if (rename((file() + ".new").c_str(), file().c_str()) != 0) ADD_FAILURE() << "cannot replace " << file();
    }
    std::string file() const { return dir.file("faketime"); }
    std::map<std::string, std::string> daemon_env(const std::string &lib) const {
        const char *asan = getenv("ASAN_OPTIONS");
        return {
            {"LD_PRELOAD", lib},
            {"FAKETIME_TIMESTAMP_FILE", file()},
            {"FAKETIME_NO_CACHE", "1"},
            {"DONT_FAKE_MONOTONIC", "1"},
            {"TZ", "UTC0"},
            // The preloaded clock comes before the sanitizer's runtime.
            {"ASAN_OPTIONS", std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0"},
        };
    }
    // A schedule of one rule: the command at the daemon's next full minute.
    std::string schedule(const std::string &command) const {
        struct tm tm;
        gmtime_r(&fire_fake, &tm);
        return R"([{"active":true,"days":[)" + std::to_string(tm.tm_wday) + R"(],"time":")" +
               std::to_string(tm.tm_hour) + ":" + std::to_string(tm.tm_min) + R"(","actions":[)" + command + "]}]";
    }

    brx_test::TempDir dir;
    time_t fire_fake = 0, fire_real = 0;
};

}  // namespace engine_test

#endif
