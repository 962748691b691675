#ifndef BRX_SRC_SIGNALS_H
#define BRX_SRC_SIGNALS_H

struct event_base;

/*
 * SIGPIPE: a write to a closed peer fails with EPIPE instead of ending the process. It is caught by
 * a handler that does nothing rather than ignored, so that commands the engine starts through the
 * shell get the default disposition back at exec.
 * SIGTERM and SIGINT: stop the script code that runs (and any later script call until the
 * tear-down), then end the loop of base. 0, or -1 on failure.
 */
int signals_install(struct event_base *base);

/*
 * The loop has returned: scripts run again, so that the tear-down calls every cleanup hook, each
 * call for a bounded time and all of them within a bound; a SIGTERM or SIGINT from now on ends the
 * call that runs then, and the tear-down goes on.
 */
void signals_begin_teardown(void);

/* 1 once SIGTERM or SIGINT has arrived; blocking waits check it after each sleep. */
int signals_stop_requested(void);

/*
 * Runs the loop of base until SIGTERM or SIGINT arrived or no event is left but the signals' own
 * wake-up event.
 */
void signals_dispatch(struct event_base *base);

/* Removes the loop event and closes the descriptors (the handlers stay). */
void signals_remove(void);

#endif
