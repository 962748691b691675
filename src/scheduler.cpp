#include "src/scheduler.h"

#include <cjson/cJSON.h>
#include <errno.h>
#include <event2/event.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/device/commands.h"

#define LOG_CATEGORY "scheduler"

struct scheduler_ctx {
    struct event *timer;
    GSList *entries; /* scheduler_entry_t, in order added */
    GSList *next_entries; /* scheduler_due_t of the planned instant */
    scheduler_callback_t callback;
    unsigned rand_minutes_max;

    GSList *entries_last;
    size_t held;         /* scheduler_held_bytes */
    time_t planned;      /* the instant the timer waits for */
    unsigned generation; /* goes up with every cleanup: a firing stops when it changed */
    int firing;          /* 1 while the due commands are handed out */
    int destroyed;       /* destroyed by one of them: freed when the firing ends */
    scheduler_draw_t draw;
};

struct scheduler_texts {
    unsigned refs;
    size_t size; /* of the whole block */
    /* the time text, then the command text, follow */
};

namespace {

struct event_base *sched_base = nullptr;

void default_scheduler_callback(const char *command) {
    if (activate_scene(command, nullptr) != 0) LOGW("activate_scene failed");
}

unsigned rand_draw(unsigned window) { return (unsigned)rand() % (window + 1); }

/* The fixed offset of a default entry added now. */
unsigned fixed_offset(const scheduler_ctx_t *ctx) {
    return ctx && ctx->rand_minutes_max ? rand_draw(ctx->rand_minutes_max) : 0;
}

const char *pad(int v) { return v < 10 ? "0" : ""; }

/* One decimal integer, an optional minus sign first; *end just past it. */
int parse_int(const char *s, int *out, const char **end) {
    const char *p = s;
    if (*p == '-') p++;
    if (*p < '0' || *p > '9') return -1;
    errno = 0;
    char *e = nullptr;
    long v = strtol(s, &e, 10);
    if (errno || v < -1000000 || v > 1000000) return -1;
    *out = (int)v;
    *end = e;
    return 0;
}

/* "H:M": two integers around one colon, nothing else. */
int parse_time(const char *text, int *h, int *m) {
    if (!text) return -1;
    const char *p = nullptr;
    if (parse_int(text, h, &p) != 0 || *p != ':') return -1;
    if (parse_int(p + 1, m, &p) != 0 || *p) return -1;
    return 0;
}

/* Local time of base's date moved by days, at h:m:00; the wall time kept across a DST change. */
time_t local_instant(const struct tm *base, int days, int h, int m) {
    struct tm tm = *base;
    tm.tm_mday += days;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

/* The next instant of one entry, -1 when it has none ahead of now; *window_end for a random one. */
time_t entry_instant(const scheduler_entry_t *e, time_t now, const struct tm *now_tm, scheduler_draw_t draw,
                     time_t *window_end) {
    int h = 0, m = 0;
    if (parse_time(e->time, &h, &m) != 0) {
        LOGW("Entry for day %d with time %s is not H:M, left out", e->day, e->time ? e->time : "NULL");
        return -1;
    }
    // A day outside the week has no instant; one far outside would carry the distance out of int.
    if (e->day < 0 || e->day > 6) {
        LOGW("Entry for day %d at %s has no instant ahead, left out", e->day, e->time);
        return -1;
    }
    int day = e->day;
    unsigned drawn = 0;
    if (e->type == scheduler_entry_type_default && e->rand_minutes) {
        LOGT("Before apply rand minutes day %d, time %d:%d", day, h, m);
        if (m + (int)e->rand_minutes >= 60) {
            h = h + 1;
            if (h > 23) day = (day + 1) % 7;
            h %= 24;
        }
        m = (m + (int)e->rand_minutes) % 60;
        LOGT("After apply rand minutes day %d, time %d:%d", day, h, m);
    } else if (e->type == scheduler_entry_type_random && e->rand_minutes) {
        LOGT("Draw event time for day %d, time span: %d:%d and %u minutes", day, h, m, e->rand_minutes);
        drawn = draw(e->rand_minutes);
        if (drawn > e->rand_minutes) drawn = e->rand_minutes;
        long t = (long)h * 60 + m + (long)drawn;
        m = (int)(t % 60);
        h = (int)((t / 60) % 24);
        day = (int)((day + t / 1440) % 7);
        LOGT("Draw result is: day %d, time %d:%d", day, h, m);
    }
    const int ch = now_tm->tm_hour, cm = now_tm->tm_min, today = now_tm->tm_wday;
    LOGD("Current day: %d & time: %s%d:%s%d, Received day: %d & time: %s%d:%s%d (rand/period %d)", today, pad(ch), ch,
         pad(cm), cm, day, pad(h), h, pad(m), m, (int)e->rand_minutes);

    int distance;
    if (day == today && (ch < h || (ch == h && cm < m)))
        distance = 0;
    else
        distance = day > today ? day - today : day - today + 7;
    time_t at = local_instant(now_tm, distance, h, m);
    // A wall time that a DST change makes ambiguous can land behind now: it has passed for this week.
    if (distance == 0 && at != (time_t)-1 && at <= now) at = local_instant(now_tm, distance += 7, h, m);
    if (e->type == scheduler_entry_type_random) {
        // A window that already fired is not drawn in again: next week's instead.
        for (int weeks = 0; at != (time_t)-1 && at <= e->fired_until && weeks < 520; weeks++)
            at = local_instant(now_tm, distance += 7, h, m);
        *window_end = at + (time_t)(e->rand_minutes - drawn) * 60;
    }
    if (at == (time_t)-1 || at <= now) {
        LOGW("Entry for day %d at %s has no instant ahead, left out", e->day, e->time);
        return -1;
    }
    return at;
}

/* Copies of both texts in one block, held by no entry yet. */
scheduler_texts_t *texts_new(const char *time, const char *command) {
    const size_t t = strlen(time) + 1, c = strlen(command) + 1;
    auto *texts = static_cast<scheduler_texts_t *>(malloc(sizeof(scheduler_texts_t) + t + c));
    if (!texts) BRX_OOM_EXIT("entry->command");
    texts->refs = 0;
    texts->size = sizeof(scheduler_texts_t) + t + c;
    char *data = reinterpret_cast<char *>(texts + 1);
    memcpy(data, time, t);
    memcpy(data + t, command, c);
    return texts;
}

const char *texts_time(const scheduler_texts_t *texts) { return reinterpret_cast<const char *>(texts + 1); }
const char *texts_command(const scheduler_texts_t *texts) {
    const char *time = texts_time(texts);
    return time + strlen(time) + 1;
}

void texts_release(scheduler_texts_t *texts) {
    if (texts && --texts->refs == 0) free(texts);
}

/* The bytes one more entry costs, with its texts when they are not held yet. */
size_t entry_cost(const scheduler_texts_t *texts) {
    return sizeof(scheduler_entry_t) + sizeof(GSList) + (texts->refs ? 0 : texts->size);
}

void append_entry(scheduler_ctx_t *ctx, scheduler_entry_type_t type, int day, scheduler_texts_t *texts,
                  unsigned rand_minutes) {
    auto *e = static_cast<scheduler_entry_t *>(calloc(1, sizeof(scheduler_entry_t)));
    if (!e) BRX_OOM_EXIT("entry");
    ctx->held += entry_cost(texts);
    texts->refs++;
    e->type = type;
    e->day = day;
    e->texts = texts;
    e->time = const_cast<char *>(texts_time(texts));
    e->command = const_cast<char *>(texts_command(texts));
    e->rand_minutes = rand_minutes;
    ctx->entries = brx_slist_append(ctx->entries, &ctx->entries_last, e);
}

void free_entries(scheduler_ctx_t *ctx) {
    for (GSList *l = ctx->entries; l; l = l->next) {
        auto *e = static_cast<scheduler_entry_t *>(l->data);
        texts_release(e->texts);
        free(e);
    }
    g_slist_free(ctx->entries);
    ctx->entries = nullptr;
    ctx->entries_last = nullptr;
    ctx->held = 0;
}

void fire(evutil_socket_t, short, void *arg);

void arm(scheduler_ctx_t *ctx, time_t seconds) {
    ctx->timer = evtimer_new(sched_base, fire, ctx);
    if (!ctx->timer) BRX_OOM_EXIT("ctx->timer");
    struct timeval tv = {seconds, 0};
    evtimer_add(ctx->timer, &tv);
}

void fire(evutil_socket_t, short, void *arg) {
    auto *ctx = static_cast<scheduler_ctx_t *>(arg);
    time_t now = time(nullptr);
    scheduler_cleanup_timer(ctx);
    if (now < ctx->planned) {
        // Woken before the wall-clock instant (the clock went back a little): wait for the rest.
        LOGD("Scheduler woke %ld s early, waiting for the rest", (long)(ctx->planned - now));
        arm(ctx, ctx->planned - now);
        return;
    }
    // A callback may clean this scheduler up or destroy it: the due texts stay held, the walk stops.
    struct due_ref {
        int day;
        scheduler_texts_t *texts;
    };
    std::vector<due_ref> due;
    for (GSList *l = ctx->next_entries; l; l = l->next) {
        auto *d = static_cast<scheduler_due_t *>(l->data);
        if (d->entry->type == scheduler_entry_type_random) d->entry->fired_until = d->window_end;
        d->entry->texts->refs++;
        due.push_back({d->entry->day, d->entry->texts});
    }
    const unsigned generation = ctx->generation;
    ctx->firing = 1;
    for (const auto &d : due) {
        const char *command = texts_command(d.texts);
        LOGD("Callback for day: %d, time: %s, command: %s", d.day, texts_time(d.texts), command);
        scheduler_callback_t cb = ctx->callback ? ctx->callback : default_scheduler_callback;
        cb(command);
        if (ctx->destroyed || ctx->generation != generation) break;
    }
    for (const auto &d : due) texts_release(d.texts);
    ctx->firing = 0;
    if (ctx->destroyed) {
        free(ctx);
        return;
    }
    if (ctx->generation != generation) return;
    scheduler_start(ctx);
}

int texts_given(const scheduler_ctx_t *ctx, const char *time, const char *command) {
    if (ctx && time && command) return 1;
    LOGW("Scheduler entry without %s, not added", !ctx ? "scheduler" : !time ? "time" : "command");
    return 0;
}

int add_days(scheduler_ctx_t *ctx, scheduler_entry_type_t type, const cJSON *days, const char *time,
             const char *command, unsigned period) {
    if (!cJSON_IsArray(days)) {
        LOGW("Scheduler days are not an array, nothing added");
        return -1;
    }
    // Each member is an entry: a long array would multiply whatever the entries hold.
    if (!scheduler_days_fit(days)) {
        LOGW("Scheduler days array has more than %d members, nothing added", SCHEDULER_MAX_DAYS);
        return -1;
    }
    if (!texts_given(ctx, time, command)) return -1;
    scheduler_texts_t *texts = texts_new(time, command);
    int i = 0;
    for (const cJSON *d = days->child; d; d = d->next, i++) {
        if (!cJSON_IsNumber(d)) {
            LOGW("Day element %d is not a number, left out", i);
            continue;
        }
        unsigned minutes = type == scheduler_entry_type_default ? fixed_offset(ctx) : period;
        append_entry(ctx, type, d->valueint, texts, minutes);
    }
    if (!texts->refs) free(texts);
    return 0;
}

}  // namespace

time_t scheduler_plan(const GSList *entries, time_t now, scheduler_draw_t draw, GSList **due) {
    *due = nullptr;
    GSList *last = nullptr;
    time_t earliest = -1;
    struct tm now_tm;
    if (!localtime_r(&now, &now_tm)) return -1;
    for (const GSList *l = entries; l; l = l->next) {
        auto *e = static_cast<scheduler_entry_t *>(l->data);
        time_t window_end = 0;
        time_t at = entry_instant(e, now, &now_tm, draw ? draw : rand_draw, &window_end);
        if (at == (time_t)-1 || (earliest != -1 && at > earliest)) continue;
        if (at < earliest || earliest == -1) {
            scheduler_free_due(*due);
            *due = nullptr;
            last = nullptr;
            earliest = at;
        }
        auto *d = static_cast<scheduler_due_t *>(calloc(1, sizeof(scheduler_due_t)));
        if (!d) BRX_OOM_EXIT("due");
        d->entry = e;
        d->window_end = window_end;
        *due = brx_slist_append(*due, &last, d);
    }
    return earliest;
}

void scheduler_free_due(GSList *due) {
    for (GSList *l = due; l; l = l->next) free(l->data);
    g_slist_free(due);
}

void scheduler_init(struct event_base *base) { sched_base = base; }

scheduler_ctx_t *scheduler_create(void) {
    auto *ctx = static_cast<scheduler_ctx_t *>(calloc(1, sizeof(scheduler_ctx_t)));
    if (!ctx) BRX_OOM_EXIT("tmp");
    ctx->planned = -1;
    return ctx;
}

void scheduler_destroy(scheduler_ctx_t *ctx) {
    if (!ctx) return;
    scheduler_cleanup(ctx);
    if (ctx->firing) {
        ctx->destroyed = 1;
        return;
    }
    free(ctx);
}

int scheduler_cleanup(scheduler_ctx_t *ctx) {
    if (!ctx) return 0;
    scheduler_cleanup_timer(ctx);
    scheduler_free_due(ctx->next_entries);
    ctx->next_entries = nullptr;
    free_entries(ctx);
    ctx->callback = nullptr;
    ctx->generation++;
    return 0;
}

void scheduler_cleanup_timer(scheduler_ctx_t *ctx) {
    if (!ctx || !ctx->timer) return;
    event_del(ctx->timer);
    event_free(ctx->timer);
    ctx->timer = nullptr;
}

int scheduler_is_started(const scheduler_ctx_t *ctx) { return ctx && ctx->timer ? 1 : 0; }

void scheduler_randomize_minutes(scheduler_ctx_t *ctx, unsigned max) {
    if (ctx) ctx->rand_minutes_max = max > 59 ? 59 : max;
}

int scheduler_days_fit(const cJSON *days) {
    if (!cJSON_IsArray(days)) return 0;
    int n = 0;
    for (const cJSON *d = days->child; d; d = d->next)
        if (++n > SCHEDULER_MAX_DAYS) return 0;
    return 1;
}

int scheduler_value_fits(const char *text) { return text && strnlen(text, SCHEDULER_MAX_VALUE + 1) <= SCHEDULER_MAX_VALUE; }

int scheduler_add_day_entry(scheduler_ctx_t *ctx, int day, const char *time, const char *command) {
    if (!texts_given(ctx, time, command)) return -1;
    // A script adds entries without a bound of its own, and its memory limit does not see these.
    scheduler_texts_t *texts = texts_new(time, command);
    if (ctx->held + entry_cost(texts) > SCHEDULER_MAX_HELD) {
        LOGW("Scheduler holds %zu bytes, an entry of %zu more would pass %d: not added", ctx->held, entry_cost(texts),
             SCHEDULER_MAX_HELD);
        free(texts);
        return -1;
    }
    append_entry(ctx, scheduler_entry_type_default, day, texts, fixed_offset(ctx));
    return 0;
}

int scheduler_add_entry(scheduler_ctx_t *ctx, const cJSON *days, const char *time, const char *command) {
    return add_days(ctx, scheduler_entry_type_default, days, time, command, 0);
}

int scheduler_add_entry_with_random_time(scheduler_ctx_t *ctx, const cJSON *days, const char *begin_time,
                                         unsigned period_minutes, const char *command) {
    return add_days(ctx, scheduler_entry_type_random, days, begin_time, command, period_minutes);
}

void scheduler_add_cb(scheduler_ctx_t *ctx, scheduler_callback_t callback) {
    LOGD("scheduler_add_cb");
    if (ctx) ctx->callback = callback;
}

int scheduler_start(scheduler_ctx_t *ctx) {
    LOGD("scheduler_start");
    if (!ctx) return 0;
    if (!ctx->callback) ctx->callback = default_scheduler_callback;
    // A second start (a driver's init runs again on each reload) must not leave two timers.
    scheduler_cleanup_timer(ctx);
    scheduler_free_due(ctx->next_entries);
    ctx->next_entries = nullptr;
    time_t now = time(nullptr);
    time_t at = scheduler_plan(ctx->entries, now, ctx->draw, &ctx->next_entries);
    if (!ctx->next_entries) {
        LOGD("scheduler_start - next list is empty, returning");
        return 0;
    }
    if (!sched_base) {
        LOGW("Scheduler has no event base, not started");
        return 0;
    }
    ctx->planned = at;
    arm(ctx, at - now);
    return 0;
}

time_t scheduler_next_instant(const scheduler_ctx_t *ctx) { return ctx && ctx->timer ? ctx->planned : -1; }

const GSList *scheduler_entries(const scheduler_ctx_t *ctx) { return ctx ? ctx->entries : nullptr; }

size_t scheduler_held_bytes(const scheduler_ctx_t *ctx) { return ctx ? ctx->held : 0; }

void scheduler_set_draw(scheduler_ctx_t *ctx, scheduler_draw_t draw) {
    if (ctx) ctx->draw = draw;
}
