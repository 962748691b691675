#ifndef BRX_COMMON_LOGGER_CONFFILE_H
#define BRX_COMMON_LOGGER_CONFFILE_H

#include "common/conffile/conffile.h"

/* Applies every "logger." key of a loaded file; the occurrence nearest the top wins. */
void logger_conffile_init(const ConfigFile *config);

#endif
