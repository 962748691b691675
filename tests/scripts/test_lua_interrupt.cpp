// A stop ends the script calls that are in progress, wherever they loop, and later calls run
// normally again once the engine accepts them; a bound on the calls ends them in time. The signal
// is a real SIGALRM whose handler interrupts, as the daemon's does.
#include <gtest/gtest.h>

#include <lua.hpp>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "src/lua_api/lua_state.h"

namespace {

const char kInterrupted[] = "interrupted: the engine is stopping";

void on_alarm(int) { lua_state_interrupt(0); }

/* The signal comes while the script is inside this function, between two of its instructions. */
int interrupt_me(lua_State *) {
    raise(SIGALRM);
    return 0;
}

/* The signal comes while a module fills the state close to its limit: the state asks for a collection
 * then, while the stop is armed in it. */
int interrupt_near_the_limit(lua_State *L) {
    raise(SIGALRM);
    const size_t limit = (size_t)lua_state_get_memlimit(L) * 1024;
    char piece[512] = {0};
    for (int i = 0; lua_state_heap(L) < limit - limit / 8 && lua_checkstack(L, 1); i++) {
        snprintf(piece, sizeof piece, "%d", i);
        lua_pushlstring(L, piece, sizeof piece);
    }
    return 0;
}

lua_State *inner_state = nullptr;
std::string inner_error;

/* A call into another state from inside a call: its error stays there, and this call goes on. */
int call_inner(lua_State *) {
    lua_getglobal(inner_state, "spin");
    char err[256];
    if (lua_state_pcall(inner_state, 0, 0, err, sizeof err) != 0) inner_error = err;
    return 0;
}

int open_body(lua_State *L, void *) {
    lua_state_open_libs(L);
    lua_register(L, "interrupt_me", interrupt_me);
    lua_register(L, "call_inner", call_inner);
    lua_register(L, "interrupt_near_the_limit", interrupt_near_the_limit);
    return 0;
}

lua_State *make_state() {
    lua_State *L = lua_state_new();
    if (L && lua_state_protected(L, open_body, nullptr, nullptr, 0) != 0) {
        lua_state_close(L);
        return nullptr;
    }
    return L;
}

/* Runs code as one call into L: 0, or -1 with the error text in err. */
int run(lua_State *L, const std::string &code, std::string *err = nullptr) {
    if (luaL_loadstring(L, code.c_str()) != 0) {
        if (err) *err = lua_tostring(L, -1);
        lua_pop(L, 1);
        return -1;
    }
    char buf[512];
    int rc = lua_state_pcall(L, 0, 0, buf, sizeof buf);
    if (err) *err = buf;
    return rc;
}

/* "after" set by a call that followed: the state runs normally. */
bool runs_normally(lua_State *L) {
    std::string err;
    if (run(L, "after = (after or 0) + 1", &err) != 0) {
        ADD_FAILURE() << err;
        return false;
    }
    lua_getglobal(L, "after");
    bool set = lua_isnumber(L, -1);
    lua_pop(L, 1);
    return set;
}

class Interrupt : public ::testing::Test {
protected:
    void SetUp() override {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_alarm;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        ASSERT_EQ(sigaction(SIGALRM, &sa, &old_), 0);
        // A call that is never ended would hang the test: it fails instead. The guard takes no signal.
        sigset_t all, was;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &was);
        guard_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(mu_);
            if (!cv_.wait_for(lock, std::chrono::seconds(30), [this] { return done_; })) {
                fprintf(stderr, "a script call was never ended\n");
                _exit(1);
            }
        });
        pthread_sigmask(SIG_SETMASK, &was, nullptr);
        L = make_state();
        ASSERT_NE(L, nullptr);
    }
    void TearDown() override {
        lua_state_bound_calls(0, 0);
        lua_state_accept_calls();
        if (L) lua_state_close(L);
        if (inner_state) lua_state_close(inner_state);
        inner_state = nullptr;
        inner_error.clear();
        {
            std::lock_guard<std::mutex> lock(mu_);
            done_ = true;
        }
        cv_.notify_all();
        guard_.join();
        sigaction(SIGALRM, &old_, nullptr);
    }

    lua_State *L = nullptr;

private:
    struct sigaction old_;
    std::thread guard_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
};

struct Where {
    const char *name;
    const char *code;
    bool nested;  /* the code calls into a second state, whose spin() loops */
};

class InterruptWhere : public Interrupt, public ::testing::WithParamInterface<Where> {};

TEST_P(InterruptWhere, EndsTheCallsInProgressAndNoLaterOne) {
    const bool nested = GetParam().nested;
    if (nested) {
        inner_state = make_state();
        ASSERT_NE(inner_state, nullptr);
        ASSERT_EQ(run(inner_state, "function spin() interrupt_me() while true do end end"), 0);
    }
    std::string err;
    EXPECT_EQ(run(L, GetParam().code, &err), -1);
    EXPECT_NE(err.find(kInterrupted), std::string::npos) << err;
    EXPECT_TRUE(runs_normally(L));
    if (nested) {
        EXPECT_NE(inner_error.find(kInterrupted), std::string::npos) << inner_error;
        EXPECT_TRUE(runs_normally(inner_state));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Loops, InterruptWhere,
    ::testing::Values(
        Where{"plain", "interrupt_me() while true do end", false},
        // The error is met again at the next instruction.
        Where{"catching", "interrupt_me() while true do pcall(function() while true do end end) end", false},
        Where{"coroutine",
              "local co = coroutine.create(function() interrupt_me() while true do end end)\n"
              "coroutine.resume(co) while true do end",
              false},
        // The outer call was in progress too: it ends as it resumes.
        Where{"nested_call", "call_inner() while true do end", true}),
    [](const ::testing::TestParamInfo<Where> &i) { return std::string(i.param.name); });

TEST_F(Interrupt, RefusedCallsRaiseAtOnceUntilTheyAreAcceptedAgain) {
    lua_state_interrupt(1);
    std::string err;
    EXPECT_EQ(run(L, "x = 1", &err), -1);
    EXPECT_NE(err.find(kInterrupted), std::string::npos) << err;
    lua_getglobal(L, "x");
    EXPECT_TRUE(lua_isnil(L, -1));
    lua_pop(L, 1);
    lua_state_accept_calls();
    EXPECT_TRUE(runs_normally(L));
}

TEST_F(Interrupt, AStateWithAMemoryLimitStillCollectsOnDemandAfterwards) {
    ASSERT_EQ(run(L, "collectgarbage('collect') "
                     "collectgarbage('setmemlimit', math.floor(collectgarbage('count')) + 64)"),
              0);
    std::string err;
    ASSERT_EQ(run(L, "interrupt_near_the_limit() while true do end", &err), -1);
    EXPECT_NE(err.find(kInterrupted), std::string::npos) << err;
    // Garbage many times the room: only collections on demand keep it under the limit.
    EXPECT_EQ(run(L, "for i = 1, 20000 do local t = {string.rep('c', 1000) .. i, {i}} end", &err), 0) << err;
}

TEST_F(Interrupt, BoundedCallsEndAfterTheirShareAndEveryCallOnceTheTimeIsUp) {
    lua_state_bound_calls(100, 800);
    std::string err;
    EXPECT_EQ(run(L, "while true do end", &err), -1);
    EXPECT_NE(err.find(kInterrupted), std::string::npos) << err;
    EXPECT_TRUE(runs_normally(L));
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    EXPECT_EQ(run(L, "x = 1", &err), -1);
    EXPECT_NE(err.find(kInterrupted), std::string::npos) << err;
    lua_state_bound_calls(0, 0);
    lua_state_accept_calls();
    EXPECT_TRUE(runs_normally(L));
}

}  // namespace
