#ifndef BRX_SRC_DEVICE_CONTEXT_H
#define BRX_SRC_DEVICE_CONTEXT_H

/*
 * Device and domain contexts: the records that own the script states, and the two process-wide
 * maps that own the records (device id -> device_ctx_t, domain name -> domain_ctx_t).
 * Loop thread only.
 */

#include <stdint.h>

#include "src/db.h"

struct lua_State;
typedef struct lua_State lua_State;
struct ifttt_ctx;
struct scheduler_ctx;

/* Slots of the tokens a context hands to asynchronous completions (see find_*_by_token). */
enum context_token_slot {
    CTX_TOKEN_SELF,        /* the context itself, for its whole life */
    CTX_TOKEN_DRV_CODE,    /* watch of "driver:<driver>:code" */
    CTX_TOKEN_APP_ID,      /* watch of "device:<id>:app" */
    CTX_TOKEN_APP_CODE,    /* watch of "app:<class>:<app_id>:code" */
    CTX_TOKEN_DRV_LOAD,    /* driver load waiting for its clean-up */
    CTX_TOKEN_RESET,       /* rebuild waiting for its clean-up */
    CTX_TOKEN_DEFERRED,    /* rebuild deferred to a fresh loop turn */
    CTX_TOKEN_UPGRADE,     /* the upgrade machine: its flag read and its watch of the state */
    CTX_TOKEN_COUNT
};

typedef struct device_ctx_struct {
    lua_State *L_app;                          /* global `app` */
    lua_State *L_drv;                          /* global `driver` */
    char *class_name;                          /* device class */
    char *driver;                              /* driver name; the class when none is given */
    char *device_id;
    char *app_id;                              /* selected app, or NULL */
    int driver_loaded;                         /* 1 once a driver script was loaded and initialised */
    struct ifttt_ctx *ifttt_config_drv;
    struct ifttt_ctx *ifttt_config_app;
    void *upgrade_sub_ctx;                     /* belongs to the upgrade: its watch of the state */
    char *version;                             /* last version reported by the scripts, or NULL */
    char *domain;
    struct scheduler_ctx *scheduler_ctx;

    /* Bookkeeping of this context's own watches and pending completions. */
    db_get_and_subscribe_ctx_t *drv_code_watch;
    db_get_and_subscribe_ctx_t *app_id_watch;
    db_get_and_subscribe_ctx_t *app_code_watch;
    char *loaded_app_id;                       /* the app whose code is watched, or NULL */
    /* The set-up's subscriptions, made once and ended by the release hook (src/device/setup). */
    int command_subscribed;                    /* "device:<id>:command" */
    int delete_subscribed;                     /* "device:<id>:delete" */
    int drv_load_ref;                          /* registry reference of the pending driver table, in L_drv */
    uintptr_t tokens[CTX_TOKEN_COUNT];         /* 0 = none */
} device_ctx_t;

enum domain_token_slot {
    DOMAIN_TOKEN_SELF,
    DOMAIN_TOKEN_CODE,      /* watch of "domain:<domain>:code" */
    DOMAIN_TOKEN_RESET,
    DOMAIN_TOKEN_DEFERRED,
    DOMAIN_TOKEN_COUNT
};

typedef struct domain_ctx_struct {
    lua_State *L;                              /* global `default_driver` */
    char *domain;

    db_get_and_subscribe_ctx_t *code_watch;
    uintptr_t tokens[DOMAIN_TOKEN_COUNT];
} domain_ctx_t;

typedef void (*device_context_callback)(device_ctx_t *ctx);
typedef struct function_handler {
    device_context_callback func;
} function_handler_t;

void context_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state);

/* Opens every module into a fresh state, in the engine's order. */
void open_lualibs(lua_State *L);

device_ctx_t *create_device_context(const char *device_id, const char *class_name, const char *driver,
                                    const char *domain);
device_ctx_t *update_device_context(const char *device_id, const char *app_id, const char *class_name,
                                    const char *driver, const char *domain);
device_ctx_t *get_device_context(const char *device_id);
device_ctx_t *get_device_context_by_luastate(lua_State *L);
/* Walks a snapshot of the ids: func may create or remove contexts. */
void foreach_device_context(device_context_callback func);
/* Destroys the context; from inside a call into one of its states, once that call has returned. */
void remove_device_context(const char *device_id);
int init_device_context_map(void);
/* One hook that runs with every device context just before it is destroyed (NULL: none). */
void set_device_context_release_hook(device_context_callback hook);
void destroy_device_context_map(void);
/* Rebuilds both states and reloads the driver; deferred to a fresh loop turn when called from inside them. */
void reset_device_lua_state(device_ctx_t *ctx);

domain_ctx_t *create_domain_context(const char *domain);
domain_ctx_t *get_domain_context(const char *domain);
domain_ctx_t *get_domain_context_by_luastate(lua_State *L);
int init_domain_context_map(void);
void destroy_domain_context_map(void);
void reset_domain_lua_state(domain_ctx_t *dctx);

/* Rebuilds the device or domain context that owns L; WARN when none does. */
void reset_lua_state_owner(lua_State *L);

/* Tokens: never reused, handed to asynchronous completions in place of context pointers. */
uintptr_t context_new_token(void);
/* Puts token (0: none) into a slot; slots are written only through these, which keep the lookups by token. */
void context_set_token(device_ctx_t *ctx, int slot, uintptr_t token);
void context_set_token(domain_ctx_t *dctx, int slot, uintptr_t token);
/* The live context that holds token in one of its slots, or NULL (destroyed or superseded). */
device_ctx_t *find_device_context_by_token(uintptr_t token);
domain_ctx_t *find_domain_context_by_token(uintptr_t token);

#endif
