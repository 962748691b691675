#ifndef BRX_SRC_IFTTT_H
#define BRX_SRC_IFTTT_H

/*
 * If/then rules of a device ("device:<id>") or of its app ("app:<class>:<app_id>"): the rules at
 * "<prefix>:ifttt" name an event text and a command list; each text published on "<prefix>:event"
 * runs the command lists of the enabled rules whose "if" is that text. Loop thread only.
 */

#include "src/db.h"
#include "src/device/context.h"

typedef struct ifttt_ctx ifttt_ctx_t;

/* Keeps the state instance: every key and channel here is on it. */
void ifttt_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state);

/*
 * A rule set of ctx: type "app" for its app (NULL without an app id), anything else for the device.
 * A rule set of that kind that ctx already holds is released; the caller stores the result in its
 * place. NULL when the key cannot be watched or the event channel cannot be subscribed.
 */
ifttt_ctx_t *ifttt_init(device_ctx_t *ctx, const char *type);
/* Frees the rules, ends the watch and, with the last rule set of its prefix, the event subscription. */
void ifttt_cleanup(ifttt_ctx_t *ctx);

/* Each value of "<prefix>:ifttt"; arg is the rule set's id. */
void ifttt_config_callback(const char *value, const void *arg);
/* Each message on "<prefix>:event". */
void ifttt_event_callback(const char *channel, const char *message, const void *arg);

#endif
