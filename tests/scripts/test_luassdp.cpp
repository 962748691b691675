// network.minissdpd_search against the real SSDP daemon and against a stand-in that misbehaves,
// both on the fixed socket path inside a /run of the test's own (mount and network namespaces).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <lua.hpp>

#include "src/device/driver.h"
#include "src/lua_api/lua_network_api.h"
#include "src/lua_api/lua_state.h"
#include "src/md5.h"
#include "tests/support/netns.h"
#include "tests/scripts/script_env.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const std::string kLampLocation = "http://127.0.0.1:49152/" + std::string(160, 'd') + ".xml";
const std::string kLampSt = "urn:test:device:Lamp:1";
const std::string kLampUsn = "uuid:1111::urn:test:device:Lamp:1";
const std::string kPlugLocation = "http://127.0.0.2/desc.xml";
const std::string kPlugSt = "urn:test:device:Plug:1";
const std::string kPlugUsn = "uuid:2222::urn:test:device:Plug:1";

std::string md5(const std::string &s) {
    char hex[33];
    md5_hex(s.data(), s.size(), hex);
    return hex;
}

std::string member(const std::string &usn, const std::string &location) {
    return "\"" + md5(usn) + "\":\"" + location + "\"";
}

// A length in the daemon's variable-length code.
std::string code(size_t n) {
    std::string out(1, (char)(n & 0x7f));
    for (n >>= 7; n; n >>= 7) out.insert(out.begin(), (char)((n & 0x7f) | 0x80));
    return out;
}

bool send_to_daemon(const std::string &bytes) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, MINISSDPD_SOCKET_PATH, sizeof a.sun_path - 1);
    bool ok = fd >= 0 && connect(fd, (struct sockaddr *)&a, sizeof a) == 0 &&
              write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
    if (fd >= 0) close(fd);
    return ok;
}

// A service as the daemon takes it: type 4, then ST, USN, server and location.
std::string submission(const std::string &st, const std::string &usn, const std::string &location) {
    std::string out = "\x04";
    for (const std::string &s : {st, usn, std::string("test/1.0"), location}) out += code(s.size()) + s;
    return out;
}

class LuaSsdp : public PrivateRunTest {
protected:
    void SetUp() override {
        PrivateRunTest::SetUp();
        if (IsSkipped()) return;
        env_ = std::make_unique<ScriptEnv>(true);
        L_ = new_script_state();
    }
    void TearDown() override {
        if (L_) close_lua_state(L_, nullptr);
    }
    // The search's result as text; "nothing" when it returned no value.
    std::string search(const std::string &args) {
        return lua_eval(L_, "(function(...) return select('#', ...) == 0 and 'nothing' or ... end)("
                            "network.minissdpd_search(" + args + "))")
            .text;
    }

    std::unique_ptr<ScriptEnv> env_;
    lua_State *L_ = nullptr;
};

}  // namespace

TEST_F(LuaSsdp, TheDaemonsCacheByTypeAndAll) {
    Process daemon({"/usr/sbin/minissdpd", "-d", "-i", "lo"});
    ASSERT_TRUE(wait_until([] { return file_exists(MINISSDPD_SOCKET_PATH); }, 10s)) << daemon.out() << daemon.err();
    ASSERT_TRUE(send_to_daemon(submission(kLampSt, kLampUsn, kLampLocation)));
    ASSERT_TRUE(send_to_daemon(submission(kPlugSt, kPlugUsn, kPlugLocation)));

    // The daemon takes the submissions in its own time; either order is a right answer.
    const std::string lamp = member(kLampUsn, kLampLocation), plug = member(kPlugUsn, kPlugLocation);
    std::string all;
    ASSERT_TRUE(wait_until(
        [&] {
            all = search("3, ''");
            return all.size() > lamp.size() + plug.size();
        },
        10s))
        << all;
    EXPECT_TRUE(all == "{" + lamp + "," + plug + "}" || all == "{" + plug + "," + lamp + "}") << all;
    EXPECT_EQ(search("1, '" + kPlugSt + "'"), "{" + plug + "}");
    EXPECT_EQ(search("1, 'urn:test:device:None:1'"), "{}");
    EXPECT_FALSE(env_->log_has("minissdpd_search no complete reply")) << env_->log();
}

TEST_F(LuaSsdp, RepliesThatComeLateSplitShortOrNotAtAll) {
    const std::string lamp = member(kLampUsn, kLampLocation), plug = member(kPlugUsn, kPlugLocation);
    struct Case {
        const char *mode;
        std::string result;
        const char *warn;
    } cases[] = {
        {"late", "{" + lamp + "," + plug + "}", nullptr},
        {"split", "{" + lamp + "," + plug + "}", nullptr},
        {"none", "{}", nullptr},
        {"odd", "{" + plug + "," + plug + "}", nullptr},
        {"silent", "{}", "minissdpd_search no complete reply in time: result has the devices read so far"},
        {"close", "{" + plug + "}", "minissdpd_search connection closed mid-reply"},
        {"garbage", "{" + plug + "}", "minissdpd_search bad string length"},
    };
    TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        const std::string requests = dir.file(std::string(c.mode) + ".log");
        unlink(MINISSDPD_SOCKET_PATH);
        Process standin({"python3", fixture_path("ssdp_standin.py"), MINISSDPD_SOCKET_PATH, c.mode, requests});
        ASSERT_TRUE(wait_until([] { return file_exists(MINISSDPD_SOCKET_PATH); }, 10s)) << standin.err();
        auto start = std::chrono::steady_clock::now();
        LuaValue v = lua_eval(L_, "network.minissdpd_search(3, '')");
        // The loop waits at most about a second, however the reply goes.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_EQ(v.text, c.result);
        if (c.warn) {
            EXPECT_TRUE(env_->log_has(c.warn)) << env_->log();
        }
        EXPECT_TRUE(wait_until([&] { return file_exists(requests) && read_file(requests) == "0300\n"; }, 5s));
    }
}

TEST_F(LuaSsdp, TheRequestAndTheCallsThatSendNone) {
    TempDir dir;
    const std::string requests = dir.file("requests.log");

    // No daemon: no value.
    EXPECT_EQ(search("3, ''"), "nothing");
    EXPECT_TRUE(env_->log_has("minissdpd_search Cannot connect minissdpd socket on /var/run/minissdpd.sock"));

    Process standin({"python3", fixture_path("ssdp_standin.py"), MINISSDPD_SOCKET_PATH, "none", requests});
    ASSERT_TRUE(wait_until([] { return file_exists(MINISSDPD_SOCKET_PATH); }, 10s)) << standin.err();
    // A wrong type sends nothing and returns no value; the low 8 bits count.
    EXPECT_EQ(search("2, 'x'"), "nothing");
    EXPECT_EQ(search("0, nil"), "nothing");
    EXPECT_TRUE(env_->log_has("First param must be 1 or 3"));
    EXPECT_EQ(lua_eval(L_, "network.minissdpd_search(257, string.rep('a', 130))").text, "{}");
    EXPECT_EQ(lua_eval(L_, "network.minissdpd_search(3, 'a\\0b')").text, "{}");
    EXPECT_EQ(lua_eval(L_, "network.minissdpd_search(1)").type, "error");

    // Type, the length in the daemon's code (130 is 0x81 0x02), the bytes, NULs kept.
    std::string want = "01" "8102";
    for (int i = 0; i < 130; i++) want += "61";
    want += "\n" "0303610062\n";
    EXPECT_TRUE(wait_until([&] { return file_exists(requests) && read_file(requests) == want; }, 5s))
        << (file_exists(requests) ? read_file(requests) : "");
}
