#include "common/logger/logger_conffile.h"

#include <string.h>

#include "common/logger/logger.h"

void logger_conffile_init(const ConfigFile *config) {
    if (!config) return;
    logger_cleanup();
    static const char prefix[] = "logger.";
    const size_t prefix_len = sizeof prefix - 1;
    // Pairs run from the last line up, so a key given twice ends with its topmost value.
    for (ConfigPair *p = configFileNextKVPair(config, nullptr); p; p = configFileNextKVPair(config, p)) {
        const char *key = configFilePairGetKey(p);
        if (strncmp(key, prefix, prefix_len) == 0)
            logger_set_parameter(key + prefix_len, configFilePairGetValue(p));
    }
    logger_commit_parameters();
}
