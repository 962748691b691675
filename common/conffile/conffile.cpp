#include "common/conffile/conffile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/logger/logger.h"

#define LOG_CATEGORY "unassigned"

namespace {

const size_t kMaxRead = 4096;

// Why the last load failed: logging is not configured yet when the file is read, so the caller
// prints this itself.
char load_error[160];

void set_load_error(const char *what) { snprintf(load_error, sizeof load_error, "%s", what); }

// "line <n> has no '=' ...: "<start of the line>"".
void set_syntax_error(unsigned n, const char *line, const char *line_end) {
    char shown[48];
    size_t len = 0;
    for (const char *c = line; c < line_end && len < sizeof shown - 4; c++)
        shown[len++] = (*c >= 0x20 && *c < 0x7f) ? *c : '?';
    if (line_end - line > (long)len) shown[len++] = '.', shown[len++] = '.', shown[len++] = '.';
    shown[len] = '\0';
    snprintf(load_error, sizeof load_error, "line %u has no '=' (every line is key = value): \"%s\"", n, shown);
}

// A line ends at "\n", "\r\n" or a lone "\r".
bool ends_line(const char *c, const char *limit) {
    return *c == '\n' || (*c == '\r' && (c + 1 >= limit || c[1] != '\n'));
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// Cleans one side of a pair in place and returns its start. `end` is the end of that side.
char *clean(char *p, char *end) {
    while (p < end && is_blank(*p)) p++;
    if (p < end && *p == '"') {
        char *start = ++p;
        char *out = start;
        while (p < end) {
            if (*p == '"') break;
            if (*p == '\\' && p + 1 < end && p[1] == '"') {
                *out++ = '"';
                p += 2;
                continue;
            }
            *out++ = *p++;
        }
        *out = '\0';
        return start;
    }
    char *start = p;
    while (p < end && !is_blank(*p)) p++;
    *p = '\0';
    return start;
}

void free_pairs(ConfigPair *p) {
    while (p) {
        ConfigPair *next = p->next;
        free(p);
        p = next;
    }
}

// Parses cfile->content (NUL-terminated, contentSize bytes) into pairs.
bool parse(ConfigFile *cfile) {
    char *text = cfile->content;
    char *limit = text + cfile->contentSize;
    char *p = text;
    unsigned lineno = 1;
    while (p < limit) {
        for (; p < limit && (*p == '\r' || *p == '\n'); p++)
            if (ends_line(p, limit)) lineno++;
        if (p >= limit) break;
        char *line = p;
        while (p < limit && *p != '\r' && *p != '\n') p++;
        char *line_end = p;
        const unsigned this_line = lineno;
        if (p < limit) {
            if (ends_line(p, limit)) lineno++;
            p++;  // the separator becomes the line's terminator below
        }
        *line_end = '\0';

        char *eq = (char *)memchr(line, '=', (size_t)(line_end - line));
        if (!eq) {
            set_syntax_error(this_line, line, line_end);
            LOGW("syntax error in configuration");
            return false;
        }
        *eq = '\0';
        ConfigPair *pair = (ConfigPair *)calloc(1, sizeof *pair);
        if (!pair) {
            set_load_error("out of memory");
            LOGW("cannot allocate memory for ConfigPair");
            return false;
        }
        pair->key = clean(line, eq);
        pair->value = clean(eq + 1, line_end);
        pair->next = cfile->kvpairs;
        cfile->kvpairs = pair;
    }
    return true;
}

ConfigFile *from_buffer(const char *data, size_t size) {
    ConfigFile *cfile = (ConfigFile *)calloc(1, sizeof *cfile);
    if (!cfile) {
        set_load_error("out of memory");
        LOGW("cannot allocate memory for ConfigFile");
        return nullptr;
    }
    cfile->content = (char *)malloc(size + 1);
    if (!cfile->content) {
        set_load_error("out of memory");
        LOGW("cannot allocate memory for ConfigFile content");
        free(cfile);
        return nullptr;
    }
    memcpy(cfile->content, data, size);
    cfile->content[size] = '\0';
    cfile->contentSize = (unsigned)size;
    if (!parse(cfile)) {
        configFileFree(cfile);
        return nullptr;
    }
    return cfile;
}

}  // namespace

ConfigFile *configFileLoad(const char *path) {
    load_error[0] = '\0';
    if (!path) {
        set_load_error("no configuration file given");
        LOGD("path is null");
        return nullptr;
    }
    LOGI("parsing configuration file: %s", path);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        snprintf(load_error, sizeof load_error, "cannot open it: %s", strerror(errno));
        LOGD("cannot open file: %s", path);
        return nullptr;
    }
    char buf[kMaxRead];
    ssize_t n = read(fd, buf, sizeof buf);
    const int read_errno = errno;
    close(fd);
    if (n < 0) {
        snprintf(load_error, sizeof load_error, "cannot read it: %s", strerror(read_errno));
        LOGD("cannot open file: %s", path);
        return nullptr;
    }
    // Only 4095 bytes are used; a line cut at that point is parsed as what remains.
    if ((size_t)n == kMaxRead) n--;
    return from_buffer(buf, (size_t)n);
}

ConfigFile *configFileLoadFromBytes(const char *data, size_t size) {
    LOGI("parsing configuration from server");
    load_error[0] = '\0';
    if (!data) {
        set_load_error("no configuration given");
        return nullptr;
    }
    return from_buffer(data, size);
}

const char *configFileLoadError(void) { return load_error; }

const char *configFileValue(const ConfigFile *cfile, const char *key) {
    if (!key) {
        LOGW("key is null");
        return nullptr;
    }
    if (!cfile) {
        LOGW("cfile is null");
        return nullptr;
    }
    if (!cfile->kvpairs) {
        LOGW("cfile does not contain any key-value pairs");
        return nullptr;
    }
    for (const ConfigPair *p = cfile->kvpairs; p; p = p->next)
        if (strcmp(p->key, key) == 0) return p->value;
    return nullptr;
}

ConfigPair *configFileNextKVPair(const ConfigFile *cfile, const ConfigPair *pair) {
    if (!cfile) return nullptr;
    return pair ? pair->next : cfile->kvpairs;
}

const char *configFilePairGetKey(const ConfigPair *pair) { return pair ? pair->key : nullptr; }

const char *configFilePairGetValue(const ConfigPair *pair) { return pair ? pair->value : nullptr; }

void configFileFree(ConfigFile *cfile) {
    if (!cfile) return;
    free_pairs(cfile->kvpairs);
    free(cfile->content);
    free(cfile);
}
