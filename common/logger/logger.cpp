#include "common/logger/logger.h"

#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

namespace {

const char *const logger_level_text[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "SYSLOG"};

struct logger_category_t {
    char *name;
    int level;
    logger_category_t *next;
};

// One lock for the whole logger: the category list is reordered on every lookup and
// lines from several threads must not interleave.
pthread_mutex_t logger_lock = PTHREAD_MUTEX_INITIALIZER;

int logging_enabled = 0;
int stdout_output_enabled = 0;
int file_output_enabled = 0;
int line_and_file_print_enabled = 0;
char file_name[256] = "";
int syslog_output_enabled = 0;
char *syslog_ident = nullptr;
int rolling_file_enabled = 0;
int max_rolling_file_count = 5;
int max_rolling_file_size = 204800;
char *rolling_file_path = nullptr;
char *rolling_file_name = nullptr;
int logger_global_level = LVL_DEBUG;
logger_category_t *categories = nullptr;

// The lowest threshold in force (every category's and the global one), or one above every level
// while logging is off: a call below it returns at once, without the lock or a name comparison.
std::atomic<int> lowest_threshold{LVL_SYSLOG + 1};

void update_lowest_threshold() {
    int lowest = LVL_SYSLOG + 1;
    if (logging_enabled) {
        lowest = logger_global_level;
        for (logger_category_t *c = categories; c; c = c->next)
            if (c->level < lowest) lowest = c->level;
    }
    lowest_threshold.store(lowest, std::memory_order_relaxed);
}

// Beyond this a single line would rename that many files; a size of 0 or less would rotate on every line.
const int kMaxRollingFileCount = 1000;

// Settings refused or bounded while the lock is held, logged once the configuration is committed.
char refused_settings[2][160];

const size_t kLineBuffer = 8000;
const size_t kPathBuffer = 4095;

bool is_true(const char *v) { return v && (strcmp(v, "true") == 0 || strcmp(v, "yes") == 0); }

char *copy_or_null(const char *v) { return v ? strdup(v) : nullptr; }

void drop_categories() {
    while (categories) {
        logger_category_t *next = categories->next;
        free(categories->name);
        free(categories);
        categories = next;
    }
}

void cleanup_locked() {
    logging_enabled = 0;
    file_output_enabled = 0;
    drop_categories();
    if (syslog_output_enabled) {
        syslog_output_enabled = 0;
        closelog();
    }
}

// Threshold of a category, moving its entry to the head of the list.
int threshold_of(const char *name) {
    logger_category_t *prev = nullptr;
    for (logger_category_t *c = categories; c; prev = c, c = c->next) {
        if (strcmp(c->name, name) == 0) {
            if (prev) {
                prev->next = c->next;
                c->next = categories;
                categories = c;
            }
            return c->level;
        }
    }
    return logger_global_level;
}

int syslog_priority(int level) {
    switch (level) {
    case LVL_TRACE: return LOG_DEBUG;
    case LVL_DEBUG: return LOG_INFO;
    case LVL_INFO: return LOG_NOTICE;
    case LVL_WARN: return LOG_WARNING;
    default: return LOG_ERR;
    }
}

const char *rolling_name() { return rolling_file_name ? rolling_file_name : "qelt"; }

// Returns true when the line may be written to current, the index 0 file.
bool rotate_rolling_files(const char *current) {
    struct stat st;
    if (stat(rolling_file_path, &st) != 0) {
        if (mkdir(rolling_file_path, 0744) != 0) return false;
    }
    if (stat(current, &st) != 0) return errno == ENOENT;
    if (st.st_size <= (off_t)max_rolling_file_size) return true;

    char from[kPathBuffer], to[kPathBuffer];
    snprintf(to, sizeof to, "%s/%s.%d.log", rolling_file_path, rolling_name(), max_rolling_file_count - 1);
    unlink(to);
    for (int i = max_rolling_file_count - 1; i >= 1; i--) {
        snprintf(from, sizeof from, "%s/%s.%d.log", rolling_file_path, rolling_name(), i - 1);
        snprintf(to, sizeof to, "%s/%s.%d.log", rolling_file_path, rolling_name(), i);
        rename(from, to);
    }
    return true;
}

// Close-on-exec: another thread may be starting a shell while this file is open.
void append_to(const char *path, const char *line, size_t len) {
    FILE *f = fopen(path, "ae");
    if (!f) return;
    if (fwrite(line, 1, len, f) == len) fflush(f);
    fclose(f);
}

void write_line(int level, const char *category, const char *file, size_t line, const char *format, va_list ap) {
    // Every piece leaves one byte free for the newline.
    char buf[kLineBuffer];
    const size_t room = kLineBuffer - 1;
    size_t len = 0;
    auto advance = [&](int n) {
        if (n < 0) return;
        len += (size_t)n;
        if (len > room - 1) len = room - 1;
    };

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &tm);
    len = strftime(buf, room, "%F %T", &tm);
    advance(snprintf(buf + len, room - len, ".%03ld ", (long)(tv.tv_usec / 1000)));
    size_t level_start = len;
    advance(snprintf(buf + len, room - len, "%5.10s ", logger_level_text[level]));
    if (line_and_file_print_enabled)
        advance(snprintf(buf + len, room - len, "file: %s, line: %zu - ", file ? file : "", line));
    advance(snprintf(buf + len, room - len, "%s - ", category ? category : ""));
    int n = vsnprintf(buf + len, room - len, format, ap);
    if (n < 0) {
        fprintf(stderr, "vsnprintf failed due to error %d\n", errno);
        return;
    }
    advance(n);

    if (stdout_output_enabled) {
        puts(buf);
        fflush(stdout);
    }
    if (syslog_output_enabled) syslog(syslog_priority(level), "%s", buf + level_start);

    buf[len++] = '\n';
    buf[len] = '\0';

    if (file_output_enabled) append_to(file_name, buf, len);
    if (rolling_file_enabled) {
        if (!rolling_file_path) rolling_file_path = strdup("/var/log");
        if (rolling_file_path) {
            char current[kPathBuffer];
            snprintf(current, sizeof current, "%s/%s.0.log", rolling_file_path, rolling_name());
            if (rotate_rolling_files(current)) append_to(current, buf, len);
        }
    }
}

void set_parameter_locked(const char *key, const char *value) {
    if (!key) return;
    if (strcmp(key, "enabled") == 0) {
        if (is_true(value)) {
            logging_enabled = 1;
        } else {
            logging_enabled = 0;
            cleanup_locked();
        }
    } else if (strcmp(key, "level") == 0) {
        logger_global_level = logger_level_from_name(value);
    } else if (strcmp(key, "file") == 0) {
        file_output_enabled = is_true(value);
        if (file_output_enabled) logging_enabled = 1;
    } else if (strcmp(key, "stdout") == 0) {
        stdout_output_enabled = is_true(value);
        if (stdout_output_enabled) logging_enabled = 1;
    } else if (strcmp(key, "lineandfile") == 0) {
        line_and_file_print_enabled = is_true(value);
    } else if (strcmp(key, "file.name") == 0) {
        snprintf(file_name, sizeof file_name, "%s", value ? value : "");
    } else if (strncmp(key, "category.", 9) == 0) {
        logger_category_t *c = (logger_category_t *)malloc(sizeof *c);
        if (!c) return;
        c->name = strdup(key + 9);
        if (!c->name) {
            free(c);
            return;
        }
        c->level = logger_level_from_name(value);
        c->next = categories;
        categories = c;
    } else if (strcmp(key, "syslog") == 0) {
        syslog_output_enabled = is_true(value);
        if (syslog_output_enabled) logging_enabled = 1;
    } else if (strcmp(key, "syslog.ident") == 0) {
        free(syslog_ident);
        syslog_ident = copy_or_null(value);
    } else if (strcmp(key, "rollingfile") == 0) {
        rolling_file_enabled = is_true(value);
    } else if (strcmp(key, "rollingfile.count") == 0) {
        int count = value ? atoi(value) : 0;
        int bounded = count < 1 ? 1 : count > kMaxRollingFileCount ? kMaxRollingFileCount : count;
        if (bounded != count)
            snprintf(refused_settings[0], sizeof refused_settings[0],
                     "logger.rollingfile.count %.40s out of range 1..%d, using %d", value ? value : "(null)",
                     kMaxRollingFileCount, bounded);
        max_rolling_file_count = bounded;
    } else if (strcmp(key, "rollingfile.size") == 0) {
        int size = value ? atoi(value) : 0;
        if (size > 0)
            max_rolling_file_size = size;
        else
            snprintf(refused_settings[1], sizeof refused_settings[1],
                     "logger.rollingfile.size %.40s is not a positive size, keeping %d", value ? value : "(null)",
                     max_rolling_file_size);
    } else if (strcmp(key, "rollingfile.path") == 0) {
        free(rolling_file_path);
        rolling_file_path = copy_or_null(value);
    } else if (strcmp(key, "rollingfile.name") == 0) {
        free(rolling_file_name);
        rolling_file_name = copy_or_null(value);
    }
}

}  // namespace

int logger_level_from_name(const char *name) {
    if (!name) return LVL_SYSLOG;
    for (int i = LVL_TRACE; i <= LVL_ERROR; i++)
        if (strcasecmp(name, logger_level_text[i]) == 0) return i;
    return LVL_SYSLOG;
}

void _log(const char *categoryName, int level, const char *file, size_t line, const char *format, ...) {
    if (level < LVL_TRACE) level = LVL_TRACE;
    if (level > LVL_SYSLOG) level = LVL_SYSLOG;
    if (level < lowest_threshold.load(std::memory_order_relaxed)) return;
    int saved_errno = errno;
    pthread_mutex_lock(&logger_lock);
    if (logging_enabled && format) {
        if (level >= threshold_of(categoryName ? categoryName : "")) {
            va_list ap;
            va_start(ap, format);
            write_line(level, categoryName, file, line, format, ap);
            va_end(ap);
        }
    }
    pthread_mutex_unlock(&logger_lock);
    errno = saved_errno;
}

void logger_set_parameter(const char *key, const char *value) {
    pthread_mutex_lock(&logger_lock);
    set_parameter_locked(key, value);
    update_lowest_threshold();
    pthread_mutex_unlock(&logger_lock);
}

void logger_cleanup(void) {
    pthread_mutex_lock(&logger_lock);
    cleanup_locked();
    update_lowest_threshold();
    pthread_mutex_unlock(&logger_lock);
}

void logger_commit_parameters(void) {
    char refused[2][sizeof refused_settings[0]];
    pthread_mutex_lock(&logger_lock);
    if (syslog_output_enabled)
        openlog(syslog_ident ? syslog_ident : "unknown", LOG_PID | LOG_CONS, LOG_USER);
    else
        closelog();
    memcpy(refused, refused_settings, sizeof refused);
    memset(refused_settings, 0, sizeof refused_settings);
    pthread_mutex_unlock(&logger_lock);
    for (const char *line : refused)
        if (line[0]) _log("logger", LVL_WARN, __FILE__, __LINE__, "%s", line);
}

char *brx_strdup_or_exit(const char *s, const char *categoryName, const char *file, int line, const char *text) {
    if (!s) return nullptr;
    char *c = strdup(s);
    if (!c) {
        _log(categoryName, LVL_ERROR, file, line, "%s:%d:%s", file, line, text);
        exit(5);
    }
    return c;
}
