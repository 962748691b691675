#ifndef BRX_SRC_DEVICE_COMMANDS_H
#define BRX_SRC_DEVICE_COMMANDS_H

/*
 * Command lists and where their commands go: each command is routed by its "target" to a channel
 * of the state instance (a device's driver, the application side, scene activation, the gateway
 * actions), or switches a device's app. Pauses inside a list wait on timers of their own. On the
 * leader, the handlers of "scene:command" (run a stored scene) and "gateway:command" (history
 * requests, e-mail and push notifications through the application server). Loop thread only.
 */

#include <cjson/cJSON.h>

#include "src/db.h"

struct event_base;

typedef enum notification_type {
    EMAIL = 0,
    PUSH_IOS = 1,
    PUSH_ANDROID = 2,
} notification_type;

void commands_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state);
void commands_set_event_base(struct event_base *base);
/* Frees the pauses still waiting (tear-down: their lists do not go on). */
void commands_cleanup(void);

/*
 * Runs the list from index start: each command gets "sender_id" (the text, or null) and is routed;
 * a pause {"name":"delay","args":{"delay":<s>}} keeps its own copy of the list (one per run, for
 * all its pauses) and goes on from a timer, so the caller may free its list as soon as this
 * returns. At most 10,000 runs holding 32 MiB of lists wait at once: past that a new run ends at its
 * pause (WARN). A bad item or a failed routing ends the run.
 */
void execute_commands(const cJSON *commands, int start, const char *sender_id);
/* Parses text as a command list and runs it from 0 with no sender; -1 when it cannot be parsed. */
int activate_scene(const char *text, const void *arg);
/* Routes one command by its "target"; 0, or -1 when it is refused or cannot be delivered. */
int send_command(const cJSON *command);
/* Sets "scene:<scene_id>:status" to "OK" or "ERROR"; the SET's result. */
int update_scene(const char *scene_id, int ok);

/* Handler of "scene:command": {"name":"activate","args":{"scene_id":...}}. */
void subscribe_scene_command_callback(const char *channel, const char *message, const void *arg);
/* Handler of "gateway:command" (and of the scripts' device.command): gethistory, email, push-*. */
void execute_gateway_command(const char *channel, const char *message, const void *arg);
/* The history reply of one "gethistory" request, published on the device's history channel. */
void get_history(const cJSON *args);
/* POSTs a notification to "<server>/notification/send"; 0 when the request went out. */
int send_notification(notification_type type, const cJSON *args);

#endif
