#ifndef BRX_SRC_UPGRADE_INTERNAL_H
#define BRX_SRC_UPGRADE_INTERNAL_H

/* What the version check and the upgrade machine share inside the upgrade module. */

#include "src/db.h"

extern redis_instance_t *upgrade_ri_conf;
extern redis_instance_t *upgrade_ri_state;

struct cJSON;
/* The member's text when it is a string, else NULL. */
const char *upgrade_member_text(const struct cJSON *o, const char *name);
/* The texts of the n named members into out, in order; the name of the first that is not a string
 * (the caller warns "No <name> element or <name> element failed"), or NULL when all are. */
const char *upgrade_member_texts(const struct cJSON *o, const char *const *names, int n, const char **out);

#endif
