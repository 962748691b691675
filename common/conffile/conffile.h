#ifndef BRX_COMMON_CONFFILE_H
#define BRX_COMMON_CONFFILE_H

#include <stddef.h>

typedef struct ConfigPair {
    char *key;    /* points into the owning file's content */
    char *value;  /* points into the owning file's content */
    struct ConfigPair *next; /* the pair of the line above */
} ConfigPair;

typedef struct ConfigFile {
    char path[4095];
    ConfigPair *kvpairs;   /* head = last line of the file */
    char *content;
    unsigned contentSize;
} ConfigFile;

ConfigFile *configFileLoad(const char *path);
ConfigFile *configFileLoadFromBytes(const char *data, size_t size);
/* Why the last load returned NULL ("" when it did not). */
const char *configFileLoadError(void);
const char *configFileValue(const ConfigFile *cfile, const char *key);
ConfigPair *configFileNextKVPair(const ConfigFile *cfile, const ConfigPair *pair);
const char *configFilePairGetKey(const ConfigPair *pair);
const char *configFilePairGetValue(const ConfigPair *pair);
void configFileFree(ConfigFile *cfile);

#endif
