#ifndef BRX_SRC_UPGRADE_INTERNAL_H
#define BRX_SRC_UPGRADE_INTERNAL_H

/* What the version check and the upgrade machine share inside the upgrade module. */

#include "src/db.h"

extern redis_instance_t *upgrade_ri_conf;
extern redis_instance_t *upgrade_ri_state;

struct cJSON;
/* The member's text when it is a string, else NULL. */
const char *upgrade_member_text(const struct cJSON *o, const char *name);

#endif
