#ifndef BRX_SRC_SELFTEST_H
#define BRX_SRC_SELFTEST_H

/*
 * Self-test: on request ("selftest:run", or the gateway's SelfTestEnable set to "1") or on a weekly
 * schedule from the gateway, every loaded driver's `selftest` hook runs; the reports published on
 * "selftest:store_report" within the next 30 seconds are written as one JSON document to
 * "selftest:results" and to the gateway's SelfTestResults. One run at a time. Loop thread only.
 */

#include "src/db.h"

struct event_base;

/* Once, on every device type, before the bus bridge starts: its first write is the first bus use. */
void selftest_init(struct event_base *base, redis_instance_t *state, redis_instance_t *conf);
/*
 * The same without the watches and subscriptions, for -l: nothing of the self-test keeps the loop
 * running after the script's own work (no run can be asked for there, and none could reach a driver).
 */
void selftest_init_once(struct event_base *base, redis_instance_t *state, redis_instance_t *conf);

#endif
