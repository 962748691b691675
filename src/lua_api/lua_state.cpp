#include "src/lua_api/lua_state.h"

#include <lua.hpp>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <initializer_list>

#include "common/logger/logger.h"
#include "src/lua_api/lua_alloc.h"

#define LOG_CATEGORY "lua_state"

namespace {

lua_state_forget_fn *forget_hooks = nullptr;
size_t forget_count = 0;

/* One call into a state; the calls the engine is inside, innermost last (a state may appear more than once). */
struct frame {
    lua_State *L;
    const char *role;
    const char *hook;
    int begun;  /* the call watch's answer at the start */
    int epoch;  /* interrupts at the start: a later interrupt ends the call */
};
frame *running = nullptr;
size_t running_count = 0;
size_t running_cap = 0;

lua_state_call_begin_fn watch_begin = nullptr;
lua_state_call_end_fn watch_end = nullptr;

/* Shared with signal handlers: the state running now, how many interrupts came, and whether every
 * call is refused. */
lua_State *volatile innermost = nullptr;
volatile sig_atomic_t interrupts = 0;
volatile sig_atomic_t refusing = 0;

/* The bound of the calls (lua_state_bound_calls); call_bound_ms 0 for none. */
long call_bound_ms = 0;
struct timespec calls_deadline;

uintptr_t last_cb_id = 0;

void mem_hook(lua_State *L, lua_Debug *);
lua_state_mem_t *mem_of(lua_State *L);

bool ends(const frame &f) { return refusing || f.epoch != interrupts; }

/* Whether code of L's state running now is to stop: the innermost call is one that an interrupt ended. */
bool stopping(lua_State *L) {
    if (refusing) return true;
    if (!running_count) return false;
    const frame &top = running[running_count - 1];
    return ends(top) && lua_state_main(top.L) == lua_state_main(L);
}

void stop_hook(lua_State *L, lua_Debug *) {
    // The hook stays while the call lasts: a script that catches the error meets it again at its next
    // instruction.
    if (stopping(L)) luaL_error(L, "interrupted: the engine is stopping");
    // Armed for a call that has ended since: this thread goes on, under the memory hook where it had one.
    lua_state_mem_t *m = mem_of(L);
    if (m && m->limit)
        lua_sethook(L, mem_hook, LUA_MASKCOUNT, 1);
    else
        lua_sethook(L, nullptr, 0, 0);
}

/* Only Lua instructions raise: the engine's own C work in the state (pushes, module set-up) goes on.
 * The coroutine that the state resumes now runs the state's code, not its main thread. */
void arm_stop(lua_State *L) {
    if (!L) return;
    lua_sethook(L, stop_hook, LUA_MASKCOUNT, 1);
    lua_state_mem_t *m = mem_of(L);
    lua_State *co = m ? static_cast<lua_State *>(m->running) : nullptr;
    if (co && co != L) lua_sethook(co, stop_hook, LUA_MASKCOUNT, 1);
}

long ms_until(const struct timespec &t) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (t.tv_sec - now.tv_sec) * 1000 + (t.tv_nsec - now.tv_nsec) / 1000000;
}

void set_alarm(long ms) {
    struct itimerval it;
    memset(&it, 0, sizeof it);
    it.it_value.tv_sec = ms / 1000;
    it.it_value.tv_usec = (ms % 1000) * 1000;
    setitimer(ITIMER_REAL, &it, nullptr);
}

/* An outermost call under the bound: it may last its share of what is left, and nothing is left for it
 * once the time is up. */
void bound_call(void) {
    long left = ms_until(calls_deadline);
    if (left <= 0) {
        refusing = 1;
        return;
    }
    set_alarm(left < call_bound_ms ? left : call_bound_ms);
}

void enter(lua_State *L, const char *role, const char *hook) {
    if (running_count == running_cap) {
        size_t cap = running_cap ? running_cap * 2 : 16;
        frame *grown = (frame *)realloc(running, cap * sizeof(*grown));
        if (!grown) BRX_OOM_EXIT("running states");
        running = grown;
        running_cap = cap;
    }
    if (!running_count && call_bound_ms) bound_call();
    int begun = watch_begin ? watch_begin() : 0;
    running[running_count] = frame{L, role, hook, begun, interrupts};
    running_count++;
    innermost = L;
    // Also an interrupt that came after the epoch was taken, before the state counted as innermost.
    if (ends(running[running_count - 1])) arm_stop(L);
}

/* Ends the innermost call into L and hands back its frame. */
frame leave(lua_State *L) {
    frame f = {L, nullptr, nullptr, 0, 0};
    for (size_t i = running_count; i > 0; i--) {
        if (running[i - 1].L == L) {
            f = running[i - 1];
            memmove(&running[i - 1], &running[i], (running_count - i) * sizeof(*running));
            running_count--;
            break;
        }
    }
    innermost = running_count ? running[running_count - 1].L : nullptr;
    // An outer call that an interrupt ended stops as it resumes.
    if (running_count && ends(running[running_count - 1])) arm_stop(innermost);
    if (!running_count && call_bound_ms) set_alarm(0);
    return f;
}

void call_ended(const frame &f) {
    if (watch_end) watch_end(f.L, f.role, f.hook, f.begun);
}

int panic(lua_State *L) {
    char text[512];
    const char *msg = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "(no message)";
    fprintf(stderr, "PANIC: unprotected error in call to Lua API (%s)\n", msg);
    snprintf(text, sizeof(text), "unprotected Lua error: %s", msg);
    BRX_OOM_EXIT(text);
    return 0;
}

struct protected_call {
    lua_state_fn fn;
    void *ud;
};

int trampoline(lua_State *L) {
    protected_call *c = (protected_call *)lua_touserdata(L, 1);
    lua_settop(L, 0);
    c->fn(L, c->ud);
    return 0;
}

/* Finalizer of the state's first userdata, which lua_close finalizes last: what the script's own
 * finalizers started during the close (a timer, a subscription) ends before the state goes. */
int forget_at_close(lua_State *L) {
    lua_state_forget(L);
    return 0;
}

/* First reference and release: the registry's free-list slot exists from now on, so a later
 * luaL_unref only writes existing slots and cannot raise. */
int prepare_registry(lua_State *L, void *) {
    lua_pushboolean(L, 1);
    luaL_unref(L, LUA_REGISTRYINDEX, luaL_ref(L, LUA_REGISTRYINDEX));
    lua_newuserdata(L, 0);
    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, forget_at_close);
    lua_setfield(L, -2, "__gc");
    lua_setmetatable(L, -2);
    luaL_ref(L, LUA_REGISTRYINDEX);
    return 0;
}

struct call_ref {
    int cb_ref;
    int arg_ref;
    int one_shot;
    lua_state_fn push;
    void *ud;
};

int call_ref_body(lua_State *L, void *ud) {
    call_ref *c = (call_ref *)ud;
    lua_rawgeti(L, LUA_REGISTRYINDEX, c->cb_ref);
    const int has_arg = c->arg_ref != LUA_REFNIL && c->arg_ref != LUA_NOREF;
    if (has_arg) lua_rawgeti(L, LUA_REGISTRYINDEX, c->arg_ref);
    if (c->one_shot) {
        luaL_unref(L, LUA_REGISTRYINDEX, c->cb_ref);
        if (has_arg) luaL_unref(L, LUA_REGISTRYINDEX, c->arg_ref);
    }
    int n = c->push ? c->push(L, c->ud) : 0;
    if (has_arg) {
        lua_pushvalue(L, 2);
        lua_remove(L, 2);
        n++;
    }
    lua_call(L, n, 0);
    return 0;
}

struct push_release {
    lua_state_fn build;
    void *ud;
    int ref;
};

int push_release_body(lua_State *L, void *ud) {
    push_release *p = (push_release *)ud;
    p->build(L, p->ud);
    p->ref = luaL_ref(L, LUA_REGISTRYINDEX);
    return 0;
}

/* ---- the memory limit ---- */

/* Instructions between two looks of the memory hook; the allocator brings the next look forward. */
const int kMemHookCount = 1000;
const size_t kNever = (size_t)-1;

lua_state_mem_t *mem_of(lua_State *L) {
    void *ud = nullptr;
    lua_Alloc f = lua_getallocf(L, &ud);
    return f == lua_state_alloc ? static_cast<lua_state_mem_t *>(ud) : nullptr;
}

/* The next collection on demand: once the heap has taken half the room that the last collection
 * left, so that growth of up to the other half does not meet garbage at the limit. */
void plan_collection(lua_state_mem_t *m) {
    if (!m->limit) {
        m->collect_at = kNever;
        return;
    }
    const size_t room = m->limit > m->heap ? m->limit - m->heap : 0;
    m->collect_at = m->heap + room / 2;
}

/* Not while the script holds the collector, nor from a finalizer that a collection of ours or the
 * close runs. */
bool may_collect(const lua_state_mem_t *m) { return !m->blocked && !m->collecting && !m->closing; }

bool collection_due(const lua_state_mem_t *m) { return m->heap >= m->collect_at && may_collect(m); }

/* At a safe point only. A finalizer's error goes through; the flag then goes where it is caught. */
void collect(lua_State *L, lua_state_mem_t *m) {
    m->collecting = 1;
    lua_gc(L, LUA_GCCOLLECT, 0);
    m->collecting = 0;
    plan_collection(m);
}

/* A memory error of the state's own kind, status LUA_ERRMEM: the next growth is refused. A finalizer
 * that raises first leaves the mark to the place where its error is caught (unblock). */
int raise_memory_error(lua_State *L, lua_state_mem_t *m) {
    m->refuse_next = 1;
    lua_newuserdata(L, 0);
    m->refuse_next = 0;
    return lua_error(L);
}

/* Our hook goes only where no other one is: a script's own or the stop hook stays. */
void set_mem_hook(lua_State *L, int count) {
    lua_Hook h = lua_gethook(L);
    if (h && h != mem_hook) return;
    if (h == mem_hook && lua_gethookcount(L) == count) return;
    lua_sethook(L, mem_hook, LUA_MASKCOUNT, count);
}

void mem_hook(lua_State *L, lua_Debug *) {
    lua_state_mem_t *m = mem_of(L);
    if (!m) return;
    if (collection_due(m)) collect(L, m);
    // Last: what the collection itself allocated asks for nothing more.
    m->armed = 0;
    if (m->limit)
        set_mem_hook(L, kMemHookCount);
    else if (lua_gethook(L) == mem_hook)
        lua_sethook(L, nullptr, 0, 0);
}

/* From inside the allocator: only the hook fields change, as a signal handler would change them. */
void arm_collection(lua_state_mem_t *m) {
    set_mem_hook(static_cast<lua_State *>(m->owner), 1);
    if (m->running) set_mem_hook(static_cast<lua_State *>(m->running), 1);
}

void unblock(lua_State *L) {
    lua_state_mem_t *m = mem_of(L);
    if (!m) return;
    m->collecting = 0;
    m->refuse_next = 0;
    if (m->blocked) {
        m->blocked = 0;
        lua_gc(L, LUA_GCRESTART, 0);
    }
}

int collect_now(lua_State *L) {
    lua_state_mem_t *m = mem_of(L);
    if (m && may_collect(m)) collect(L, m);
    return 0;
}

/* Before a call into L: a collection that fell due while no script code ran (the engine's own
 * pushes) goes first. Protected: a finalizer may raise. */
void collect_if_due(lua_State *L) {
    lua_state_mem_t *m = mem_of(L);
    if (m && collection_due(m) && lua_cpcall(L, collect_now, nullptr) != 0) lua_pop(L, 1);
}

/* After a call into L failed: the collector runs again, and after a memory error it collects once
 * (protected: a finalizer may raise). */
void after_error(lua_State *L, int status) {
    unblock(L);
    if (status == LUA_ERRMEM && lua_cpcall(L, collect_now, nullptr) != 0) lua_pop(L, 1);
}

/* Calls the function in upvalue 1 with the arguments; its results. */
int call_original(lua_State *L) {
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

int compile_wrapper(lua_State *L) {
    unblock(L);
    return call_original(L);
}

/* pcall and xpcall: false first means an error was caught. */
int catch_wrapper(lua_State *L) {
    int n = call_original(L);
    if (!lua_toboolean(L, 1)) unblock(L);
    return n;
}

/*
 * coroutine.resume: the coroutine it runs is the one the allocator arms. Called protected, so that
 * the mark is taken back whatever happens; an error of resume itself is raised again afterwards.
 */
int resume_wrapper(lua_State *L) {
    lua_state_mem_t *m = mem_of(L);
    lua_State *co = lua_tothread(L, 1);
    void *outer = m ? m->running : nullptr;
    if (m && co) m->running = co;
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    int status = lua_pcall(L, lua_gettop(L) - 1, LUA_MULTRET, 0);
    if (m) m->running = outer;
    if (status != 0) lua_error(L);
    if (!lua_toboolean(L, 1)) unblock(L);
    return lua_gettop(L);
}

/* ---- a second run at a safe point ---- */

/* The function in upvalue 1 with arguments 1..n, protected; its results go above the arguments. */
int run_protected(lua_State *L, int n) {
    lua_pushvalue(L, lua_upvalueindex(1));
    for (int i = 1; i <= n; i++) lua_pushvalue(L, i);
    return lua_pcall(L, n, LUA_MULTRET, 0);
}

/*
 * The error on top, raised again as if the wrapped function had raised it in the wrapper's place,
 * which is the script's own call: the library found no name nor line for a function called from C.
 */
int raise_as_caller(lua_State *L) {
    const char *msg = lua_tostring(L, -1);
    int narg = 0, used = 0;
    if (msg && sscanf(msg, "bad argument #%d to '?' (%n", &narg, &used) == 1 && used > 0) {
        size_t len = strlen(msg);
        if (len > (size_t)used && msg[len - 1] == ')') {
            lua_pushlstring(L, msg + used, len - used - 1);
            return luaL_argerror(L, narg, lua_tostring(L, -1));
        }
    }
    if (msg) {
        luaL_where(L, 1);
        lua_insert(L, -2);
        lua_concat(L, 2);
    }
    return lua_error(L);
}

/*
 * Wraps the standard functions that build a string from their arguments alone. The garbage they
 * make (the pieces of their buffer) stays until they return, since no hook runs inside them and the
 * allocator never collects, and so does whatever garbage was there before. A memory error is
 * answered here, where a collection is safe: a full collection, then a second run during which the
 * collector finishes a cycle at each of its own checkpoints. They call no script code, so the
 * second run repeats nothing but allocations.
 */
int retry_wrapper(lua_State *L) {
    lua_state_mem_t *m = mem_of(L);
    if (!m) return call_original(L);
    if (collection_due(m)) collect(L, m);
    const int n = lua_gettop(L);
    luaL_checkstack(L, n + 1, "too many arguments");
    int status = run_protected(L, n);
    if (status == LUA_ERRMEM && may_collect(m)) {
        lua_pop(L, 1);
        collect(L, m);
        const int pause = lua_gc(L, LUA_GCSETPAUSE, 0);
        const int stepmul = lua_gc(L, LUA_GCSETSTEPMUL, 0);
        lua_gc(L, LUA_GCRESTART, 0);
        status = run_protected(L, n);
        lua_gc(L, LUA_GCSETPAUSE, pause);
        lua_gc(L, LUA_GCSETSTEPMUL, stepmul);
    }
    if (status == LUA_ERRMEM) return raise_memory_error(L, m);
    if (status != 0) return raise_as_caller(L);
    return lua_gettop(L) - n;
}

void wrap_field(lua_State *L, int table, const char *name, lua_CFunction wrapper) {
    lua_getfield(L, table, name);
    if (!lua_isfunction(L, -1)) {
        lua_pop(L, 1);
        return;
    }
    lua_pushcclosure(L, wrapper, 1);
    lua_setfield(L, table, name);
}

int script_collectgarbage(lua_State *L) {
    static const char *const opts[] = {"stop",     "restart",    "collect",     "count",       "step",
                                       "setpause", "setstepmul", "setmemlimit", "getmemlimit", nullptr};
    const int o = luaL_checkoption(L, 1, "collect", opts);
    const int arg = luaL_optint(L, 2, 0);
    lua_state_mem_t *m = mem_of(L);
    const int blocked = m && !may_collect(m);
    switch (o) {
    case 0:
        if (m) m->blocked = 1;
        lua_gc(L, LUA_GCSTOP, 0);
        lua_pushinteger(L, 0);
        return 1;
    case 1:
        if (m) m->blocked = 0;
        lua_gc(L, LUA_GCRESTART, 0);
        lua_pushinteger(L, 0);
        return 1;
    case 2:
        if (m && !blocked)
            collect(L, m);
        else if (!m)
            lua_gc(L, LUA_GCCOLLECT, 0);
        lua_pushinteger(L, 0);
        return 1;
    case 3:
        lua_pushnumber(L, lua_gc(L, LUA_GCCOUNT, 0) + lua_gc(L, LUA_GCCOUNTB, 0) / 1024.0);
        return 1;
    case 4:
        lua_pushboolean(L, blocked ? 1 : lua_gc(L, LUA_GCSTEP, arg));
        return 1;
    case 5:
        lua_pushinteger(L, lua_gc(L, LUA_GCSETPAUSE, arg));
        return 1;
    case 6:
        lua_pushinteger(L, lua_gc(L, LUA_GCSETSTEPMUL, arg));
        return 1;
    case 7:
        lua_pushinteger(L, lua_state_set_memlimit(L, arg));
        return 1;
    default:
        lua_pushinteger(L, lua_state_get_memlimit(L));
        return 1;
    }
}

}  // namespace

lua_State *lua_state_new(void) {
    auto *m = static_cast<lua_state_mem_t *>(calloc(1, sizeof(lua_state_mem_t)));
    if (!m) return nullptr;
    m->collect_at = kNever;
    // No limit while the state is built.
    lua_State *L = lua_newstate(lua_state_alloc, m);
    if (!L) {
        free(m);
        return nullptr;
    }
    m->owner = L;
    m->arm = arm_collection;
    lua_atpanic(L, panic);
    protected_call c = {prepare_registry, nullptr};
    if (lua_cpcall(L, trampoline, &c) != 0) {
        lua_state_close(L);
        return nullptr;
    }
    return L;
}

void lua_state_close(lua_State *L) {
    if (!L) return;
    lua_state_mem_t *m = mem_of(L);
    // Finalizers run during the close: none of them may meet the limit or start a collection.
    if (m) {
        m->limit = 0;
        m->closing = 1;
        m->collect_at = kNever;
    }
    lua_close(L);
    free(m);
}

void lua_state_open_libs(lua_State *L) {
    luaL_openlibs(L);
    lua_pushcfunction(L, script_collectgarbage);
    lua_setglobal(L, "collectgarbage");
    lua_pushvalue(L, LUA_GLOBALSINDEX);
    const int g = lua_gettop(L);
    const char *compiles[] = {"load", "loadstring", "loadfile", "dofile", "require"};
    for (const char *name : compiles) wrap_field(L, g, name, compile_wrapper);
    wrap_field(L, g, "pcall", catch_wrapper);
    wrap_field(L, g, "xpcall", catch_wrapper);
    lua_getglobal(L, "coroutine");
    if (lua_istable(L, -1)) wrap_field(L, lua_gettop(L), "resume", resume_wrapper);
    lua_settop(L, g);
    // Pure: no metamethod, no script code (string.gsub may call either, so it stays as it is).
    lua_getglobal(L, "string");
    if (lua_istable(L, -1)) {
        const char *builders[] = {"rep", "format", "sub", "upper", "lower", "reverse", "char"};
        for (const char *name : builders) wrap_field(L, lua_gettop(L), name, retry_wrapper);
    }
    lua_settop(L, g);
    lua_getglobal(L, "table");
    if (lua_istable(L, -1)) wrap_field(L, lua_gettop(L), "concat", retry_wrapper);
    lua_settop(L, g - 1);
}

int lua_state_set_memlimit(lua_State *L, int kb) {
    lua_state_mem_t *m = mem_of(L);
    if (!m) return 0;
    uint32_t b = (uint32_t)kb * 1024u;  // wraps like the 32-bit target
    if (b != 0 && b < m->heap) {
        if (may_collect(m)) collect(L, m);
        if (m->heap > b) b = (uint32_t)((m->heap + 1024) & ~(size_t)1023);
    }
    m->limit = b;
    m->armed = 0;
    plan_collection(m);
    lua_State *main_L = static_cast<lua_State *>(m->owner);
    if (b) {
        set_mem_hook(main_L, kMemHookCount);
        if (L != main_L) set_mem_hook(L, kMemHookCount);
    } else {
        for (lua_State *s : {main_L, L})
            if (lua_gethook(s) == mem_hook) lua_sethook(s, nullptr, 0, 0);
    }
    return (int)(b / 1024);
}

int lua_state_get_memlimit(lua_State *L) {
    lua_state_mem_t *m = mem_of(L);
    return m ? (int)(m->limit / 1024) : 0;
}

size_t lua_state_heap(lua_State *L) {
    lua_state_mem_t *m = mem_of(L);
    return m ? m->heap : (size_t)lua_gc(L, LUA_GCCOUNT, 0) * 1024 + (size_t)lua_gc(L, LUA_GCCOUNTB, 0);
}

void lua_state_add_forget_hook(lua_state_forget_fn fn) {
    if (!fn) return;
    for (size_t i = 0; i < forget_count; i++)
        if (forget_hooks[i] == fn) return;
    lua_state_forget_fn *grown = (lua_state_forget_fn *)realloc(forget_hooks, (forget_count + 1) * sizeof(*grown));
    if (!grown) BRX_OOM_EXIT("forget hooks");
    forget_hooks = grown;
    forget_hooks[forget_count++] = fn;
}

void lua_state_forget(lua_State *L) {
    for (size_t i = 0; i < forget_count; i++) forget_hooks[i](L);
}

lua_State *lua_state_main(lua_State *L) {
    lua_state_mem_t *m = L ? mem_of(L) : nullptr;
    return m && m->owner ? static_cast<lua_State *>(m->owner) : L;
}

int lua_state_is_running(lua_State *L) {
    for (size_t i = 0; i < running_count; i++)
        if (running[i].L == L) return 1;
    return 0;
}

void lua_state_set_call_watch(lua_state_call_begin_fn begin, lua_state_call_end_fn end) {
    watch_begin = begin;
    watch_end = end;
}

void lua_state_interrupt(int refuse_later) {
    if (refuse_later) refusing = 1;
    interrupts = interrupts + 1;
    arm_stop(innermost);
}

void lua_state_accept_calls(void) { refusing = 0; }

void lua_state_bound_calls(unsigned call_ms, unsigned total_ms) {
    call_bound_ms = call_ms;
    clock_gettime(CLOCK_MONOTONIC, &calls_deadline);
    calls_deadline.tv_sec += total_ms / 1000;
    calls_deadline.tv_nsec += (long)(total_ms % 1000) * 1000000;
    if (calls_deadline.tv_nsec >= 1000000000) {
        calls_deadline.tv_sec++;
        calls_deadline.tv_nsec -= 1000000000;
    }
    if (!call_ms) set_alarm(0);
}

namespace {

int take_error(lua_State *L, char *err, size_t errlen) {
    if (err && errlen) {
        // No conversion of a non-string error: converting could raise outside protection.
        const char *msg = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "(error object is not a string)";
        snprintf(err, errlen, "%s", msg);
    }
    lua_pop(L, 1);
    return -1;
}

}  // namespace

int lua_state_protected_named(lua_State *L, const char *role, const char *hook, lua_state_fn fn, void *ud, char *err,
                              size_t errlen) {
    if (err && errlen) err[0] = '\0';
    if (!L || !fn) return -1;
    protected_call c = {fn, ud};
    collect_if_due(L);
    enter(L, role, hook);
    int status = lua_cpcall(L, trampoline, &c);
    frame f = leave(L);
    int rc = status == 0 ? 0 : take_error(L, err, errlen);
    if (status != 0) after_error(L, status);
    call_ended(f);
    return rc;
}

int lua_state_protected(lua_State *L, lua_state_fn fn, void *ud, char *err, size_t errlen) {
    return lua_state_protected_named(L, nullptr, nullptr, fn, ud, err, errlen);
}

int lua_state_pcall_named(lua_State *L, const char *role, const char *hook, int nargs, int nresults, char *err,
                          size_t errlen) {
    if (err && errlen) err[0] = '\0';
    if (!L) return -1;
    collect_if_due(L);
    enter(L, role, hook);
    int status = lua_pcall(L, nargs, nresults, 0);
    frame f = leave(L);
    int rc = status == 0 ? 0 : take_error(L, err, errlen);
    if (status != 0) after_error(L, status);
    call_ended(f);
    return rc;
}

int lua_state_pcall(lua_State *L, int nargs, int nresults, char *err, size_t errlen) {
    return lua_state_pcall_named(L, nullptr, nullptr, nargs, nresults, err, errlen);
}

int lua_state_call_ref_in(const char *category, lua_State *L, int cb_ref, int arg_ref, int one_shot,
                          lua_state_fn push, void *ud, const char *name, const char *fmt) {
    call_ref c = {cb_ref, arg_ref, one_shot, push, ud};
    char err[1024];
    if (lua_state_protected_named(L, nullptr, name, call_ref_body, &c, err, sizeof(err)) == 0) return 0;
    _log(category ? category : LOG_CATEGORY, LVL_WARN, __FILE__, __LINE__, fmt ? fmt : "%s failed with error %s",
         name ? name : "callback", err);
    return -1;
}

int lua_state_call_ref(lua_State *L, int cb_ref, int arg_ref, int one_shot, lua_state_fn push, void *ud,
                       const char *name) {
    return lua_state_call_ref_in(LOG_CATEGORY, L, cb_ref, arg_ref, one_shot, push, ud, name);
}

void lua_state_unref(lua_State *L, int ref) {
    if (!L || ref == LUA_REFNIL || ref == LUA_NOREF) return;
    luaL_unref(L, LUA_REGISTRYINDEX, ref);
}

void lua_state_push_then_release(lua_State *L, lua_state_fn build, void *ud, void (*release)(void *ud)) {
    push_release p = {build, ud, LUA_NOREF};
    protected_call c = {push_release_body, &p};
    int status = lua_cpcall(L, trampoline, &c);
    if (release) release(ud);
    if (status != 0) lua_error(L);
    lua_rawgeti(L, LUA_REGISTRYINDEX, p.ref);
    lua_state_unref(L, p.ref);
}

uintptr_t lua_cb_new_id(void) {
    if (++last_cb_id == 0) ++last_cb_id;
    return last_cb_id;
}

void *lua_cb_find(GSList *list, const void *token) {
    uintptr_t id = LUA_CB_ID(token);
    if (id == 0) return nullptr;
    for (GSList *it = list; it; it = it->next) {
        lua_cb_rec_t *rec = (lua_cb_rec_t *)it->data;
        if (rec && rec->id == id) return rec;
    }
    return nullptr;
}

void lua_cb_registry_add(lua_cb_registry_t *reg, void *rec) {
    lua_cb_rec_t *r = (lua_cb_rec_t *)rec;
    GHashTable **tables[] = {&reg->by_id, &reg->records, &reg->by_state};
    for (GHashTable **t : tables) {
        if (!*t) *t = g_hash_table_new(g_direct_hash, nullptr);
        if (!*t) BRX_OOM_EXIT("callback registry");
    }
    g_hash_table_insert(reg->by_id, (gpointer)r->id, r);
    g_hash_table_insert(reg->records, r, r);
    GSList *mine = (GSList *)g_hash_table_lookup(reg->by_state, r->L);
    GSList *grown = g_slist_append(mine, r);
    if (grown != mine) g_hash_table_insert(reg->by_state, r->L, grown);
    reg->count++;
}

int lua_cb_registry_remove(lua_cb_registry_t *reg, void *rec) {
    if (!lua_cb_registry_has(reg, rec)) return -1;
    lua_cb_rec_t *r = (lua_cb_rec_t *)rec;
    g_hash_table_remove(reg->by_id, (gpointer)r->id);
    g_hash_table_remove(reg->records, r);
    GSList *mine = (GSList *)g_hash_table_lookup(reg->by_state, r->L);
    GSList *left = g_slist_remove(mine, r);
    if (!left)
        g_hash_table_remove(reg->by_state, r->L);
    else if (left != mine)
        g_hash_table_insert(reg->by_state, r->L, left);
    reg->count--;
    return 0;
}

int lua_cb_registry_has(const lua_cb_registry_t *reg, const void *rec) {
    return rec && reg->count && g_hash_table_lookup(reg->records, rec) != nullptr;
}

void *lua_cb_registry_find(const lua_cb_registry_t *reg, const void *token) {
    uintptr_t id = LUA_CB_ID(token);
    if (id == 0 || !reg->count) return nullptr;
    return g_hash_table_lookup(reg->by_id, (gconstpointer)id);
}

const GSList *lua_cb_registry_peek_state(const lua_cb_registry_t *reg, lua_State *L) {
    return reg->count ? (const GSList *)g_hash_table_lookup(reg->by_state, L) : nullptr;
}

GSList *lua_cb_registry_of_state(const lua_cb_registry_t *reg, lua_State *L) {
    GSList *copy = nullptr, *last = nullptr;
    for (const GSList *it = lua_cb_registry_peek_state(reg, L); it; it = it->next)
        copy = brx_slist_append(copy, &last, it->data);
    return copy;
}
