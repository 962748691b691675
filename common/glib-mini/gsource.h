#ifndef BRX_COMMON_GLIB_MINI_GSOURCE_H
#define BRX_COMMON_GLIB_MINI_GSOURCE_H

struct event_base;

/*
 * A fallback event base of this module's own, made on the first call (5 priorities; from then on
 * libevent allocates through g_malloc/g_realloc/g_free). Nobody dispatches it unless a caller does.
 */
struct event_base *main_base_get(void);

#endif
