#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <event2/event.h>

#include <random>
#include <string>

#include "src/helpers.h"
#include "src/signals.h"
#include "tests/support/test_support.h"

namespace {

struct FreeStr {
    char *p;
    explicit FreeStr(char *s) : p(s) {}
    ~FreeStr() { free(p); }
};

}  // namespace

TEST(GetNthField, FieldsOfKeysAndChannels)
{
    struct {
        const char *key;
        int n;
        const char *field; /* nullptr: no such field */
    } cases[] = {
        {"device:LAN:192.168.1.20", 3, "192.168.1.20"},
        {"device:42-1:command", 2, "42-1"},
        {"a:b:c", 2, "b"},
        {"a:b:c", 3, "c"},
        {"a:b:c", 4, nullptr},
        {"a::b", 2, ""},
        {"a::b", 3, "b"},
        {"a:", 2, ""},
        {":x:y", 2, "y"}, /* a leading colon separates nothing */
        {":x:y", 3, nullptr},
        {"::", 2, ""},
        {"abc", 2, nullptr},
        {"", 2, nullptr},
        {nullptr, 2, nullptr},
        {"a:b:c", 1, "a"},
        {":x:y", 1, ":x"},
        {"", 1, ""},
        {"a:b:c", 0, nullptr},
        {"a:b:c", -1, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.key ? c.key : "(null)") + " #" + std::to_string(c.n));
        FreeStr got(get_nth_field(c.key, c.n));
        if (c.field)
            EXPECT_STREQ(got.p, c.field);
        else
            EXPECT_EQ(got.p, nullptr);
    }
}

TEST(StrEqual, ByteEqualityAsTrueOrFalse)
{
    char a[] = "device:1", b[] = "device:1";
    EXPECT_EQ(str_equal(a, b), 1);
    EXPECT_EQ(str_equal("device:1", "device:10"), 0);
    EXPECT_EQ(str_equal("", ""), 1);

    /* The pair that every string-keyed table is made with. */
    GHashTable *t = g_hash_table_new(g_str_hash, str_equal);
    g_hash_table_insert(t, a, b);
    EXPECT_EQ(g_hash_table_lookup(t, "device:1"), b);
    g_hash_table_destroy(t);
}

TEST(ToupperInPlace, FirstNBytesOnlyWithoutTerminator)
{
    char buf[] = {'a', 'b', '\0', 'f', '\xe9', '9', 'z', 'z'};
    toupper_in_place(buf, 6);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string("AB\0F\xe9" "9zz", 8));
}

// The shell gives back exactly the text, whatever it holds.
TEST(ShellQuote, TheShellTakesTheQuotedTextLiterally)
{
    const char *texts[] = {"", "plain", "two words", "'", "a'b''c'", "$(touch x)", "`id`", "';touch x;'",
                           "\\n\"\\", "tab\there", "-n"};
    for (const char *t : texts) {
        FreeStr quoted(shell_quote(t));
        FreeStr out(nullptr);
        ASSERT_EQ(launch_with_args("printf '%%s' %s", nullptr, &out.p, quoted.p), HELPER_OK) << t;
        EXPECT_STREQ(out.p, t) << quoted.p;
    }
    // Part of a word: the first n bytes only.
    char buf[4 * 3 + 1];
    shell_quote_into(buf, "a'bcd", 3);
    EXPECT_STREQ(buf, "a'\\''b");
}

TEST(Md5File, MatchesTheMd5sumToolAndFailsOnUnreadableFiles)
{
    brx_test::TempDir dir;
    const std::string empty = dir.file("empty"), big = dir.file("big");
    brx_test::write_file(empty, "");
    std::string data(2 * 1048576 + 12345, '\0'); /* more than two read chunks */
    std::mt19937 rng(3);
    for (auto &ch : data) ch = static_cast<char>(rng());
    brx_test::write_file(big, data);

    FreeStr e(md5_file(empty.c_str()));
    EXPECT_STREQ(e.p, "D41D8CD98F00B204E9800998ECF8427E");

    auto r = brx_test::run_process({"md5sum", big});
    ASSERT_EQ(r.status, 0);
    std::string expected = r.out.substr(0, 32);
    for (auto &ch : expected) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    FreeStr b(md5_file(big.c_str()));
    EXPECT_STREQ(b.p, expected.c_str());

    EXPECT_EQ(md5_file(dir.file("missing").c_str()), nullptr);
    EXPECT_EQ(md5_file(dir.path().c_str()), nullptr); /* opens, but reading a directory fails */
}

TEST(Launch, ResultsStatusesAndOutput)
{
    struct {
        const char *cmd;
        int rc;
        int status;         /* expected when rc is 0, else the preset must stay */
        const char *output; /* nullptr: not checked */
    } cases[] = {
        {"true", 0, 0, ""},
        {"exit 3", 0, 768, ""},
        {"echo hello; exit 1", 0, 256, "hello\n"},
        {"echo out; echo err >&2", 0, 0, "out\n"},
        {"printf abc; kill -TERM $$", -3, -7, "abc"}, /* output read before the signal is kept */
        {"kill -KILL $$", -3, -7, ""},
        {"no_such_command_here 2>/dev/null", 0, 127 << 8, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cmd);
        int status = -7;
        char *out = reinterpret_cast<char *>(1);
        EXPECT_EQ(launch(c.cmd, &status, &out), c.rc);
        EXPECT_EQ(status, c.status);
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out, c.output);
        free(out);
    }

    char *out = reinterpret_cast<char *>(1);
    int status = -7;
    EXPECT_EQ(launch(nullptr, &status, &out), -2);
    EXPECT_EQ(out, nullptr) << "the output pointer is cleared on entry";
    EXPECT_EQ(status, -7);
    EXPECT_EQ(launch("exit 0", nullptr, nullptr), 0);
}

TEST(Launch, CapturesOutputOfAnyLength)
{
    /* Around the 1024-byte read size and well past it. */
    for (size_t len : {1023, 1024, 1025, 2048, 100000}) {
        SCOPED_TRACE(len);
        std::string cmd = "head -c " + std::to_string(len) + " /dev/zero | tr '\\0' 'x'; printf E";
        char *out = nullptr;
        int status = -1;
        ASSERT_EQ(launch(cmd.c_str(), &status, &out), 0);
        EXPECT_EQ(status, 0);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(out), std::string(len, 'x') + "E");
        free(out);
    }
}

TEST(Launch, OutputNobodyWantsDoesNotBreakTheCommand)
{
    /* More than a pipe holds: the command must neither die of SIGPIPE nor fail to write. */
    int status = -1;
    EXPECT_EQ(launch("head -c 300000 /dev/zero && exit 4", &status, nullptr), 0);
    EXPECT_EQ(status, 4 << 8);
}

// The engine survives writes to closed pipes, yet what it starts through the shell gets the default
// SIGPIPE back, so that a pipeline such as "yes | head -1" ends as it does anywhere else.
TEST(Launch, ACommandStartsWithTheDefaultSigpipe) {
    struct event_base *base = event_base_new();
    ASSERT_EQ(signals_install(base), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    EXPECT_EQ(write(p[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(p[1]);

    char *out = nullptr;
    int status = -1;
    ASSERT_EQ(launch("grep '^SigIgn' /proc/self/status; yes | head -1 >/dev/null", &status, &out), HELPER_OK);
    ASSERT_NE(out, nullptr);
    std::string line = out;
    free(out);
    ASSERT_EQ(line.rfind("SigIgn:", 0), 0u) << line;
    unsigned long long ignored = strtoull(line.c_str() + strlen("SigIgn:"), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << line;
    EXPECT_EQ(status, 0);
    signals_remove();
    event_base_free(base);
}

TEST(Launch, WithArgsFormatsTheCommand)
{
    char *out = nullptr;
    int status = -1;
    EXPECT_EQ(launch_with_args("printf '%%s|' %s %d; exit %d", &status, &out, "'a b'", 7, 5), 0);
    EXPECT_EQ(status, 5 << 8);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "a b|7|");
    free(out);

    std::string longarg(3000, 'q');
    ASSERT_EQ(launch_with_args("printf %s", nullptr, &out, longarg.c_str()), 0);
    EXPECT_EQ(std::string(out), longarg);
    free(out);

    out = reinterpret_cast<char *>(1);
    EXPECT_EQ(launch_with_args(nullptr, &status, &out), -2);
    EXPECT_EQ(out, nullptr);
}

namespace {

struct DeferProbe {
    struct event_base *base;
    int calls = 0;
    bool returned = false;  /* defer_callback had returned when the call came */
    bool chained = false;
};

void on_deferred(void *arg)
{
    auto *p = static_cast<DeferProbe *>(arg);
    p->calls++;
    EXPECT_TRUE(p->returned) << "called from inside defer_callback";
}

void on_deferred_then_defer(void *arg)
{
    auto *p = static_cast<DeferProbe *>(arg);
    on_deferred(arg);
    if (!p->chained) {
        p->chained = true;
        p->returned = false;
        ASSERT_EQ(defer_callback(on_deferred_then_defer, p), 0);
        EXPECT_EQ(p->calls, 1);
        p->returned = true;
    }
}

/* A loop callback that blocks for a while before deferring, like the provisioning waits. */
void blocking_then_defer(evutil_socket_t, short, void *arg)
{
    auto *p = static_cast<DeferProbe *>(arg);
    usleep(50 * 1000);
    p->returned = false;
    ASSERT_EQ(defer_callback(on_deferred, p), 0);
    EXPECT_EQ(p->calls, 0);
    p->returned = true;
}

}  // namespace

TEST(DeferCallback, RunsOnceFromTheLoopAfterReturning)
{
    struct event_base *base = event_base_new();
    ASSERT_NE(base, nullptr);
    helpers_set_event_base(base);

    DeferProbe p;
    p.base = base;
    ASSERT_EQ(defer_callback(on_deferred, &p), 0);
    p.returned = true;
    EXPECT_EQ(p.calls, 0);
    /* dispatch returns once nothing is pending: the timer fired once and is gone. */
    ASSERT_EQ(event_base_dispatch(base), 1);
    EXPECT_EQ(p.calls, 1);

    DeferProbe chain;
    ASSERT_EQ(defer_callback(on_deferred_then_defer, &chain), 0);
    chain.returned = true;
    ASSERT_EQ(event_base_dispatch(base), 1);
    EXPECT_EQ(chain.calls, 2);

    DeferProbe blocked;
    struct event *ev = evtimer_new(base, blocking_then_defer, &blocked);
    struct timeval zero = {0, 0};
    evtimer_add(ev, &zero);
    ASSERT_EQ(event_base_dispatch(base), 1);
    EXPECT_EQ(blocked.calls, 1);
    event_free(ev);

    /* A call without a function is allowed and simply does nothing. */
    ASSERT_EQ(defer_callback(nullptr, nullptr), 0);
    ASSERT_EQ(event_base_dispatch(base), 1);

    event_base_free(base);
}

TEST(DeferCallback, RefusedWithoutAnEventBase)
{
    DeferProbe p;
    EXPECT_EQ(defer_callback(on_deferred, &p), -1);
    EXPECT_EQ(p.calls, 0);
}
