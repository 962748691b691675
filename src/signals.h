#ifndef BRX_SRC_SIGNALS_H
#define BRX_SRC_SIGNALS_H

struct event_base;

/* Ignores SIGPIPE; makes SIGTERM and SIGINT end the loop of base. 0, or -1 on failure. */
int signals_install(struct event_base *base);

/* 1 once SIGTERM or SIGINT has arrived; blocking waits check it after each sleep. */
int signals_stop_requested(void);

/* Removes the loop event and closes the descriptors (the handlers stay). */
void signals_remove(void);

#endif
