#ifndef BRX_SRC_HELPERS_H
#define BRX_SRC_HELPERS_H

/* Small shared helpers: key fields, string equality, deferred calls, shell commands, file MD5. Loop thread only. */

#include <stddef.h>

#include "common/glib-mini/glib.h"

struct event_base;
struct event;

typedef void (*helper_callback_t)(void *arg);

/* One deferred call; freed by its timer callback after the call. */
typedef struct timer_ctx {
    struct event *timer;
    helper_callback_t cb;
    void *cb_arg;
} timer_ctx_t;

/* Results of launch and launch_with_args. */
typedef enum helper_error {
    HELPER_OK = 0,              /* ran and ended normally; wait status stored */
    HELPER_ERR_FORMAT = -1,     /* the command cannot be formatted */
    HELPER_ERR_NO_COMMAND = -2, /* no command given */
    HELPER_ERR_EXEC = -3,       /* cannot start, read or wait; or ended on a signal */
    HELPER_ERR_NO_MEM = -4,     /* no memory for the formatted command */
} helper_error;

/* The base on which defer_callback arms its timers; set before the first defer_callback. */
void helpers_set_event_base(struct event_base *base);

/* TRUE when the two strings are equal; the key equality of string-keyed GHashTables. */
gboolean str_equal(gconstpointer a, gconstpointer b);

/*
 * Heap copy of field n (from 1) of a colon-separated key; the first colon is searched from the
 * key's second character. NULL for a NULL key, n < 1 or too few fields. The caller frees it.
 */
char *get_nth_field(const char *key, int n);

/*
 * The longest id that forms every key the engine builds from ids: keys and channels are formatted
 * into 512 bytes, and the longest one made of ids alone is the keyspace channel of
 * "landevicemap:<parent id>:<child id>".
 */
#define ID_MAX_LEN ((512 - 1 - (sizeof("__keyspace@0__:landevicemap::") - 1)) / 2)

/*
 * 1 when id can stand in keys: not empty, at most ID_MAX_LEN bytes, and free of ':' (which would
 * split it when it is read back as a key's field) and of the glob characters * ? [ ] \ (which would
 * widen the KEYS patterns and pattern subscriptions built from it). Otherwise WARN naming what and
 * the id, and 0: the caller writes nothing for it.
 */
int id_usable(const char *what, const char *id);

/* text with the glob characters of KEYS patterns and pattern subscriptions (* ? [ ] \) escaped;
 * caller frees. */
char *glob_escaped(const char *text);

/*
 * The shell's single-quote form of the first n bytes of text, without the enclosing quotes: each '
 * becomes '\''. Written at dst, which holds at least 4 * n + 1 bytes; returns the terminating NUL.
 */
char *shell_quote_into(char *dst, const char *text, size_t n);
/* text as one single-quoted shell word ('...'), so that the shell takes it literally. Caller frees. */
char *shell_quote(const char *text);

/* Upper-cases the first n bytes of buf; no terminator is looked for. */
void toupper_in_place(char *buf, size_t n);

/* The file's MD5 as 32 upper-case hex digits (caller frees), NULL when it cannot be read. */
char *md5_file(const char *path);

/* Marks a descriptor close-on-exec (the engine starts shells); a negative fd is ignored. */
void set_cloexec(int fd);

/* Calls cb(arg) once from the loop 1 ms later, never from inside this call. 0 when armed. */
int defer_callback(helper_callback_t cb, void *arg);

/*
 * Runs cmd through the shell. *output_out (when given) is set to NULL first, then to the whole
 * standard output (caller frees); *status_out (when given) to the raw wait status of a command that
 * ended normally (exit code in bits 8 to 15).
 */
helper_error launch(const char *cmd, int *status_out, char **output_out);
helper_error launch_with_args(const char *format, int *status_out, char **output_out, ...)
    __attribute__((format(printf, 1, 4)));

#endif
