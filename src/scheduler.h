#ifndef BRX_SRC_SCHEDULER_H
#define BRX_SRC_SCHEDULER_H

/*
 * Weekly scheduler: text commands fired at a weekday and local time of day, optionally moved by a
 * random number of minutes. One global instance for the household schedule, one per device
 * context for scripts, one for the self-test. Loop thread only.
 */

struct event_base;
struct cJSON;

typedef struct scheduler_ctx scheduler_ctx_t;

/* Called with the due entry's command text. */
typedef void (*scheduler_callback_t)(const char *command);

/* Keeps the event base for every instance. */
void scheduler_init(struct event_base *base);

/* A zeroed instance: no timer, no entries, the default callback, maximum offset 0. */
scheduler_ctx_t *scheduler_create(void);
void scheduler_destroy(scheduler_ctx_t *ctx);

/* Stops the timer, frees every entry, resets the callback; keeps the maximum offset. Returns 0. */
int scheduler_cleanup(scheduler_ctx_t *ctx);
/* Stops and frees the pending timer only. */
void scheduler_cleanup_timer(scheduler_ctx_t *ctx);
/* 1 while a timer is pending. */
int scheduler_is_started(const scheduler_ctx_t *ctx);

/* Maximum fixed offset (capped at 59) of the entries added afterwards. */
void scheduler_randomize_minutes(scheduler_ctx_t *ctx, unsigned max);

int scheduler_add_day_entry(scheduler_ctx_t *ctx, int day, const char *time, const char *command);
/* One entry per element of the JSON array days. */
int scheduler_add_entry(scheduler_ctx_t *ctx, const struct cJSON *days, const char *time, const char *command);
int scheduler_add_entry_with_random_time(scheduler_ctx_t *ctx, const struct cJSON *days, const char *begin_time,
                                         unsigned period_minutes, const char *command);
/* Replaces the callback until the next cleanup. */
void scheduler_add_cb(scheduler_ctx_t *ctx, scheduler_callback_t callback);

/* Plans the next instant and arms the timer (a pending one is stopped first). Returns 0. */
int scheduler_start(scheduler_ctx_t *ctx);

#endif
