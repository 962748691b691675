#include "common/glib-mini/gsource.h"

#include <event2/event.h>

#include "common/glib-mini/glib.h"

static struct event_base *main_base;

static void *devent_malloc(size_t n)
{
    return g_malloc(n);
}

static void *devent_realloc(void *p, size_t n)
{
    return g_realloc(p, n);
}

static void devent_free(void *p)
{
    g_free(p);
}

static struct event_base *main_base_create(void)
{
    struct event_base *base = event_base_new();
    if (!base) return NULL;
    event_base_priority_init(base, 5);
    /* The wrappers end in malloc/realloc/free, so memory libevent allocated before stays compatible. */
    event_set_mem_functions(devent_malloc, devent_realloc, devent_free);
    return base;
}

struct event_base *main_base_get(void)
{
    if (!main_base) main_base = main_base_create();
    return main_base;
}
