#ifndef BRX_SRC_LUA_API_LUA_STATE_H
#define BRX_SRC_LUA_API_LUA_STATE_H

/*
 * What every script module shares about script states: creation, the forget hooks that the one
 * close routine (close_lua_state, src/device/driver.h) runs, protected calls into a state, the
 * "running" mark that keeps a state from being closed under its own call, and the callback-record
 * convention. Loop thread only.
 *
 * Rules kept here:
 * - engine code pushes into a state only inside lua_state_protected() (Lua errors are longjmp);
 * - a record handed to the engine is known there by its id, never by its address;
 * - a one-shot record leaves its module's list before its callback runs.
 */

#include <stddef.h>
#include <stdint.h>

#include "common/glib-mini/glib.h"

struct lua_State;
typedef struct lua_State lua_State;

/*
 * A new state on our allocator, with its memory record and the panic function; NULL when no
 * memory. Close it with close_lua_state, or with lua_state_close where no module knows it yet.
 */
lua_State *lua_state_new(void);
/* lua_close, then the state's memory record (the allocator runs during the close). */
void lua_state_close(lua_State *L);

/*
 * The standard libraries with the memory limit's parts of a script's view: our collectgarbage
 * (with "setmemlimit" and "getmemlimit") and load, loadstring, loadfile, dofile, require, pcall,
 * xpcall and coroutine.resume wrapped so that a compile or a caught error lets the collector
 * run again after collectgarbage("stop"); string.rep, format, sub, upper, lower, reverse, char and
 * table.concat wrapped so that a memory error in them is answered by a full collection and a
 * second run (their errors read as the library's own). Raises like luaL_openlibs: call it protected.
 */
void lua_state_open_libs(lua_State *L);

/*
 * The heap limit of L in KB, as a script sets it with collectgarbage("setmemlimit", kb): 0
 * removes it; below the heap the state is collected first and the limit never falls below the
 * heap rounded up to the KB above. The new limit in KB. Call it protected (a finalizer may raise).
 */
int lua_state_set_memlimit(lua_State *L, int kb);
/* The limit in KB, 0 for none. */
int lua_state_get_memlimit(lua_State *L);
/* Bytes the state holds, as Lua counts them. */
size_t lua_state_heap(lua_State *L);

/* Hooks that close_lua_state runs for a state it closes, so that no module callback reaches it later. */
typedef void (*lua_state_forget_fn)(lua_State *L);
/* Adds the hook once (a second registration of the same function is ignored). */
void lua_state_add_forget_hook(lua_state_forget_fn fn);
/* Runs every forget hook for L, in registration order; used by the close routine. */
void lua_state_forget(lua_State *L);

/*
 * The main thread of the state that L belongs to (L itself for a main thread). A module keeps this
 * in its records, never a coroutine: a coroutine may be collected, and the close of its state
 * finds records by the main thread.
 */
lua_State *lua_state_main(lua_State *L);

/* 1 while the engine is inside a call into L (at any depth). */
int lua_state_is_running(lua_State *L);

/*
 * A watch around every call into any state (hooks, callbacks, chunks): begin() runs as the call
 * starts and end() once it has returned, with begin's answer. role and hook name the call where
 * the caller named it (NULL otherwise). One watch for the process; a later one replaces it.
 */
typedef int (*lua_state_call_begin_fn)(void);
typedef void (*lua_state_call_end_fn)(lua_State *L, const char *role, const char *hook, int begun);
void lua_state_set_call_watch(lua_state_call_begin_fn begin, lua_state_call_end_fn end);

/*
 * Async-signal-safe. Ends the calls into states that are in progress, so that no script can keep
 * the process from its tear-down: the state running now raises an error at its next instruction
 * (and again at every instruction while its call lasts, so catching it does not help), and so does
 * each outer call, as it resumes. Calls made later run normally, unless refuse_later: then every
 * call raises at its first instruction until lua_state_accept_calls().
 */
void lua_state_interrupt(int refuse_later);
/* Later calls run normally again after lua_state_interrupt(1). */
void lua_state_accept_calls(void);
/*
 * Bounds the calls from now on: an outermost call that still runs call_ms after it began is ended
 * as by lua_state_interrupt(0), and total_ms from now every call is refused as by
 * lua_state_interrupt(1). The timer is ITIMER_REAL: the caller's SIGALRM handler calls
 * lua_state_interrupt(0). call_ms 0 removes the bound.
 */
void lua_state_bound_calls(unsigned call_ms, unsigned total_ms);

/* Body of a protected call: pushes what it needs, may raise; returns ignored. */
typedef int (*lua_state_fn)(lua_State *L, void *ud);

/*
 * Runs fn(L, ud) in one lua_cpcall while L counts as running; the stack is as before afterwards.
 * 0 on success; -1 on a Lua error, with its text copied into err (when given; cut to errlen).
 */
int lua_state_protected(lua_State *L, lua_state_fn fn, void *ud, char *err, size_t errlen);
/* The same, naming the call for the call watch (role NULL: the watch finds it from L). */
int lua_state_protected_named(lua_State *L, const char *role, const char *hook, lua_state_fn fn, void *ud, char *err,
                              size_t errlen);

/*
 * lua_pcall of the function and nargs arguments the caller left on the stack (nresults may be
 * LUA_MULTRET), while L counts as running. 0 with the results on the stack; -1 with the error text
 * copied into err (when given) and removed.
 */
int lua_state_pcall(lua_State *L, int nargs, int nresults, char *err, size_t errlen);
int lua_state_pcall_named(lua_State *L, const char *role, const char *hook, int nargs, int nresults, char *err,
                          size_t errlen);

/*
 * Calls the function held by registry reference cb_ref with the values that push(L, ud) pushes
 * (push may be NULL) and then, when arg_ref is not LUA_REFNIL, the value of arg_ref; no results.
 * one_shot releases both references inside the same protected call, before the call.
 * An error is logged at WARN as "<name> failed with error %s" and removed. 0, or -1 on an error.
 */
int lua_state_call_ref(lua_State *L, int cb_ref, int arg_ref, int one_shot, lua_state_fn push, void *ud,
                       const char *name);
/*
 * The same, with the error line logged in the caller's log category; a module whose line reads
 * otherwise gives its format (fmt), whose two "%s" take name and the error text.
 */
int lua_state_call_ref_in(const char *category, lua_State *L, int cb_ref, int arg_ref, int one_shot,
                          lua_state_fn push, void *ud, const char *name, const char *fmt = nullptr);

/* Releases a registry reference (LUA_REFNIL and LUA_NOREF release nothing); never raises. */
void lua_state_unref(lua_State *L, int ref);

/*
 * For C functions called by scripts: leaves the one value that build(L, ud) pushes on the stack,
 * and runs release(ud) whether building raised or not (the error is raised again after it).
 * This keeps heap data handed over by the engine from leaking when a push fails.
 */
void lua_state_push_then_release(lua_State *L, lua_state_fn build, void *ud, void (*release)(void *ud));

/* The head of every script-callback record; a module's record starts with it. */
typedef struct lua_cb_rec {
    uintptr_t id;        /* never reused; the opaque argument handed to the engine */
    lua_State *L;        /* owning state */
    int callback_index;  /* registry reference of the callback */
    int lua_arg;         /* registry reference of the extra argument, LUA_REFNIL for none */
} lua_cb_rec_t;

/* A fresh record id (never 0, never handed out twice). */
uintptr_t lua_cb_new_id(void);
/* The id as the opaque argument for the engine, and back. */
#define LUA_CB_TOKEN(id) ((void *)(uintptr_t)(id))
#define LUA_CB_ID(token) ((uintptr_t)(token))
/* The record of list whose id is the token, or NULL. */
void *lua_cb_find(GSList *list, const void *token);

/*
 * A module's records, found by id and by state without walking the records of every state.
 * Zero-initialised it is empty; records start with lua_cb_rec_t.
 */
typedef struct lua_cb_registry {
    GHashTable *by_id;    /* id -> record */
    GHashTable *records;  /* record -> record: membership without touching a record that may be gone */
    GHashTable *by_state; /* L -> GSList of its records, oldest first */
    guint count;
} lua_cb_registry_t;

void lua_cb_registry_add(lua_cb_registry_t *reg, void *rec);
/* 0 when rec was there and has left, -1 when it was not there (rec is then not touched). */
int lua_cb_registry_remove(lua_cb_registry_t *reg, void *rec);
/* Whether rec is a record of the registry; rec is not touched. */
int lua_cb_registry_has(const lua_cb_registry_t *reg, const void *rec);
/* The record whose id is the token, or NULL. */
void *lua_cb_registry_find(const lua_cb_registry_t *reg, const void *token);
/* L's records, oldest first, as a list of the caller's (g_slist_free). */
GSList *lua_cb_registry_of_state(const lua_cb_registry_t *reg, lua_State *L);
/* L's records, oldest first, as the registry holds them: for a walk that changes nothing. */
const GSList *lua_cb_registry_peek_state(const lua_cb_registry_t *reg, lua_State *L);

#endif
