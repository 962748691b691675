#ifndef BRX_COMMON_LOGGER_H
#define BRX_COMMON_LOGGER_H

#include <stddef.h>
#include <stdlib.h>

/* Levels; 5 ("SYSLOG") is a name only, a threshold that no message passes. */
#define LVL_TRACE 0
#define LVL_DEBUG 1
#define LVL_INFO 2
#define LVL_WARN 3
#define LVL_ERROR 4
#define LVL_SYSLOG 5

void _log(const char *categoryName, int level, const char *file, size_t line, const char *format, ...)
    __attribute__((format(printf, 5, 6)));

void logger_set_parameter(const char *key, const char *value);
void logger_cleanup(void);
void logger_commit_parameters(void);

/* Level number of a name (case-insensitive); 5 when the name is unknown. */
int logger_level_from_name(const char *name);

/* A source file defines LOG_CATEGORY before using these. */
#define LOGT(...) _log(LOG_CATEGORY, LVL_TRACE, __FILE__, __LINE__, __VA_ARGS__)
#define LOGD(...) _log(LOG_CATEGORY, LVL_DEBUG, __FILE__, __LINE__, __VA_ARGS__)
#define LOGI(...) _log(LOG_CATEGORY, LVL_INFO, __FILE__, __LINE__, __VA_ARGS__)
#define LOGW(...) _log(LOG_CATEGORY, LVL_WARN, __FILE__, __LINE__, __VA_ARGS__)
#define LOGE(...) _log(LOG_CATEGORY, LVL_ERROR, __FILE__, __LINE__, __VA_ARGS__)

/* The program-wide out-of-memory exit: ERROR "<file>:<line>:<text>", then status 5. */
#define BRX_OOM_EXIT(text)                                                                    \
    do {                                                                                      \
        _log(LOG_CATEGORY, LVL_ERROR, __FILE__, __LINE__, "%s:%d:%s", __FILE__, __LINE__, text); \
        exit(5);                                                                              \
    } while (0)

/* Ends the process as above when expr is NULL/false; the text is the expression itself. */
#define BRX_CHECK_MEM(expr)                 \
    do {                                    \
        if (!(expr)) BRX_OOM_EXIT(#expr);   \
    } while (0)

/* strdup that ends the process as above, logged at the caller's place; NULL stays NULL. */
#define BRX_STRDUP_OR_EXIT(s, text) brx_strdup_or_exit((s), LOG_CATEGORY, __FILE__, __LINE__, (text))
char *brx_strdup_or_exit(const char *s, const char *categoryName, const char *file, int line, const char *text);

#endif
