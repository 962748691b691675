#ifndef BRX_SRC_SCHEDULER_H
#define BRX_SRC_SCHEDULER_H

/*
 * Weekly scheduler: text commands fired at a weekday and local time of day, optionally moved by a
 * random number of minutes. One global instance for the household schedule, one per device
 * context for scripts, one for the self-test. Loop thread only.
 */

#include <stddef.h>
#include <time.h>

struct event_base;
struct cJSON;
typedef struct _GSList GSList;

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

/* A "days" array holds at most this many members (each weekday 8 times). */
#define SCHEDULER_MAX_DAYS 56
/* A stored schedule value holds at most this many bytes: a longer one is refused before parsing. */
#define SCHEDULER_MAX_VALUE (1024 * 1024)
/* What an instance filled one entry at a time (a device's, by its script) may hold. */
#define SCHEDULER_MAX_HELD (1024 * 1024)

/* 1 when days is an array of at most SCHEDULER_MAX_DAYS members. */
int scheduler_days_fit(const struct cJSON *days);
/* 1 when text is at most SCHEDULER_MAX_VALUE bytes long (it is not read further). */
int scheduler_value_fits(const char *text);

/* -1 (WARN, nothing added) when the instance would hold more than SCHEDULER_MAX_HELD bytes. */
int scheduler_add_day_entry(scheduler_ctx_t *ctx, int day, const char *time, const char *command);
/*
 * One entry per element of the JSON array days, all sharing one copy of the texts; -1 (WARN,
 * nothing added) when days is no array or has more than SCHEDULER_MAX_DAYS members.
 */
int scheduler_add_entry(scheduler_ctx_t *ctx, const struct cJSON *days, const char *time, const char *command);
int scheduler_add_entry_with_random_time(scheduler_ctx_t *ctx, const struct cJSON *days, const char *begin_time,
                                         unsigned period_minutes, const char *command);
/* Replaces the callback until the next cleanup. */
void scheduler_add_cb(scheduler_ctx_t *ctx, scheduler_callback_t callback);

/* Plans the next instant and arms the timer (a pending one is stopped first). Returns 0. */
int scheduler_start(scheduler_ctx_t *ctx);

/* ---- the planning, a function of its inputs ---- */

typedef enum scheduler_entry_type {
    scheduler_entry_type_default = 0, /* fixed time plus a fixed offset drawn when added */
    scheduler_entry_type_random = 1,  /* a start drawn anew in a window at every planning */
} scheduler_entry_type_t;

/* The texts of one addition, shared by its entries and freed with the last of them. */
typedef struct scheduler_texts scheduler_texts_t;

typedef struct scheduler_entry {
    scheduler_entry_type_t type;
    int day;               /* 0 = Sunday .. 6 = Saturday */
    char *time;            /* "H:M", local; held by texts */
    char *command;         /* held by texts */
    unsigned rand_minutes; /* default: the fixed offset; random: the window length */
    time_t fired_until;    /* random: the end of the last window that fired (0: none) */
    scheduler_texts_t *texts; /* NULL: the texts are not the scheduler's */
} scheduler_entry_t;

/* One entry due at the planned instant; window_end is the end of a random entry's window. */
typedef struct scheduler_due {
    scheduler_entry_t *entry;
    time_t window_end;
} scheduler_due_t;

/* A draw in 0..window. */
typedef unsigned (*scheduler_draw_t)(unsigned window);

/*
 * The earliest instant after now among entries (scheduler_entry_t, in order added), or -1 when
 * none has one; *due gets a new list of new scheduler_due_t for the entries that share it, in order
 * (free both with scheduler_free_due). Local time; an entry without a future instant is left out.
 */
time_t scheduler_plan(const GSList *entries, time_t now, scheduler_draw_t draw, GSList **due);
void scheduler_free_due(GSList *due);

/* The planned instant while a timer is pending, else -1; the entries, in order added. */
time_t scheduler_next_instant(const scheduler_ctx_t *ctx);
const GSList *scheduler_entries(const scheduler_ctx_t *ctx);
/* The heap its entries hold: each entry and list link, each shared copy of texts once. */
size_t scheduler_held_bytes(const scheduler_ctx_t *ctx);
/* Replaces rand() for the windows of this instance (NULL: rand() again). */
void scheduler_set_draw(scheduler_ctx_t *ctx, scheduler_draw_t draw);

#endif
