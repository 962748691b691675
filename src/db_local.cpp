#include "src/db_local.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "common/logger/logger.h"

#define LOG_CATEGORY "db"

#define LOCAL_DB_DEFAULT_NAME "local_db.json"

static char *config_local_filename;

void config_set_filename(const char *filename)
{
    LOGI("config_set_filename %s", filename ? filename : "(null)");
    char *copy = NULL;
    if (filename) {
        copy = strdup(filename);
        BRX_CHECK_MEM(copy);
    }
    free(config_local_filename);
    config_local_filename = copy;
}

const char *config_get_filename(void)
{
    return config_local_filename ? config_local_filename : LOCAL_DB_DEFAULT_NAME;
}

static int write_all(int fd, const char *text, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        text += n;
        len -= (size_t)n;
    }
    return 0;
}

/* A rename is durable only once the directory that holds the file has been synced. */
static void sync_parent_dir(const char *path)
{
    char *copy = strdup(path);
    BRX_CHECK_MEM(copy);
    int fd = open(dirname(copy), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    free(copy);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

/*
 * Writes a complete new file beside the old one and renames it over it: a power cut leaves either
 * the old or the new store, never a half-written one.
 */
static int config_save_local(cJSON *root)
{
    const char *name = config_get_filename();
    char *text = cJSON_Print(root);
    if (!text) BRX_OOM_EXIT("config_save_local: cJSON_Print returned NULL");

    size_t tmp_len = strlen(name) + sizeof(".tmp");
    char *tmp = (char *)malloc(tmp_len);
    BRX_CHECK_MEM(tmp);
    snprintf(tmp, tmp_len, "%s.tmp", name);

    int rc = -1;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        LOGD("config_save_local: cannot open %s: %s", tmp, strerror(errno));
        goto out;
    }
    fchmod(fd, 0644); /* whatever the umask */
    if (write_all(fd, text, strlen(text)) != 0) {
        LOGI("config_save_local: write returned <= 0");
        close(fd);
        unlink(tmp);
        goto out;
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        LOGW("config_save_local: cannot flush %s: %s", tmp, strerror(errno));
        unlink(tmp);
        goto out;
    }
    if (rename(tmp, name) != 0) {
        LOGW("config_save_local: cannot replace %s: %s", name, strerror(errno));
        unlink(tmp);
        goto out;
    }
    sync_parent_dir(name);
    rc = 0;
out:
    free(tmp);
    free(text);
    return rc;
}

/* The store's object, or NULL when it cannot be had (logged). A missing file becomes "{\n}". */
static cJSON *config_open_local(void)
{
    const char *name = config_get_filename();
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            /* It exists: replacing it by an empty object would lose what it holds. */
            LOGW("Cannot read local db %s: %s", name, strerror(errno));
            return NULL;
        }
        cJSON *root = cJSON_CreateObject();
        BRX_CHECK_MEM(root);
        if (config_save_local(root) != 0) {
            LOGW("Unable to create a local_db file: %s", name);
            cJSON_Delete(root);
            return NULL;
        }
        LOGI("Created local_db file: %s", name);
        return root;
    }

    struct stat st;
    if (fstat(fd, &st) != 0) {
        LOGW("Cannot read local db %s: %s", name, strerror(errno));
        close(fd);
        return NULL;
    }
    size_t size = (size_t)st.st_size;
    char *buffer = (char *)malloc(size + 1);
    if (!buffer) BRX_OOM_EXIT("buffer");
    size_t len = 0;
    while (len < size) {
        ssize_t n = read(fd, buffer + len, size - len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            LOGW("Cannot read local db %s: %s", name, strerror(errno));
            free(buffer);
            close(fd);
            return NULL;
        }
        if (n == 0) break;
        len += (size_t)n;
    }
    buffer[len] = '\0';
    close(fd);

    cJSON *root = cJSON_Parse(buffer);
    free(buffer);
    if (!root || !cJSON_IsObject(root)) {
        LOGW("Error in parsing");
        cJSON_Delete(root);
        return NULL;
    }
    return root;
}

int config_set_local(const char *key, const char *value)
{
    if (!key) return -1;
    cJSON *root = config_open_local();
    if (!root) {
        LOGW("Could not open local db %s", config_get_filename());
        return -1;
    }
    cJSON *item = value ? cJSON_CreateString(value) : cJSON_CreateNull();
    BRX_CHECK_MEM(item);
    if (cJSON_GetObjectItemCaseSensitive(root, key))
        cJSON_ReplaceItemInObjectCaseSensitive(root, key, item);
    else
        cJSON_AddItemToObject(root, key, item);
    int rc = config_save_local(root);
    cJSON_Delete(root);
    return rc;
}

int config_get_local(const char *key, char **ret_value)
{
    if (ret_value) *ret_value = NULL;
    if (!key) return -1;
    cJSON *root = config_open_local();
    if (!root) {
        LOGW("Could not open local db %s", config_get_filename());
        return -1;
    }
    cJSON *item = cJSON_GetObjectItemCaseSensitive(root, key);
    if (ret_value && cJSON_IsString(item)) {
        *ret_value = strdup(item->valuestring);
        BRX_CHECK_MEM(*ret_value);
    }
    cJSON_Delete(root);
    return 0;
}

int config_del_local(const char *key)
{
    if (!key) return -1;
    cJSON *root = config_open_local();
    if (!root) {
        LOGW("Could not open local db %s", config_get_filename());
        return -1;
    }
    cJSON_DeleteItemFromObjectCaseSensitive(root, key);
    int rc = config_save_local(root);
    cJSON_Delete(root);
    return rc;
}
