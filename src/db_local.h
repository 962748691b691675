#ifndef BRX_SRC_DB_LOCAL_H
#define BRX_SRC_DB_LOCAL_H

/* The local JSON store: one JSON object of string values in a file, re-read on every call. */

void config_set_filename(const char *filename); /* NULL restores "local_db.json" */
const char *config_get_filename(void);
int config_set_local(const char *key, const char *value); /* NULL stores JSON null */
int config_get_local(const char *key, char **ret_value);  /* *ret_value: heap copy or NULL */
int config_del_local(const char *key);

#endif
