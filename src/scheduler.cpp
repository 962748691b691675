// Placeholder until the weekly scheduler lands: instances exist and plan nothing.
#include "src/scheduler.h"

#include <stdlib.h>

struct scheduler_ctx {
    int unused;
};

void scheduler_init(struct event_base *) {}
scheduler_ctx_t *scheduler_create(void) { return (scheduler_ctx_t *)calloc(1, sizeof(scheduler_ctx_t)); }
void scheduler_destroy(scheduler_ctx_t *ctx) { free(ctx); }
int scheduler_cleanup(scheduler_ctx_t *) { return 0; }
void scheduler_cleanup_timer(scheduler_ctx_t *) {}
int scheduler_is_started(const scheduler_ctx_t *) { return 0; }
void scheduler_randomize_minutes(scheduler_ctx_t *, unsigned) {}
int scheduler_add_day_entry(scheduler_ctx_t *, int, const char *, const char *) { return 0; }
int scheduler_add_entry(scheduler_ctx_t *, const struct cJSON *, const char *, const char *) { return 0; }
int scheduler_add_entry_with_random_time(scheduler_ctx_t *, const struct cJSON *, const char *, unsigned,
                                         const char *) {
    return 0;
}
void scheduler_add_cb(scheduler_ctx_t *, scheduler_callback_t) {}
int scheduler_start(scheduler_ctx_t *) { return 0; }
