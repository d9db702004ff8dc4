// qorconfigstatus.h: the message ids that typed configuration values and the
// configuration manager return and report. Each is also the id of the
// administrator message of that number.
#pragma once
#include "core/system/qorstatus.h"

#define QOR_CO_MSG_ID(n) ((QORStatus)(QOR_CO_MSG_BASE + (n)))

enum : QORStatusCode {
    // "The value is not valid."
    qor_s_config_value_invalid    = QOR_MSG_ID(962),   // XLTIC0962E
    // "The %s stanza of %s requires specification of the %s configuration
    // parameter." (stanza, file, entry)
    qor_s_config_entry_required   = QOR_MSG_ID(211),   // XLTIC0211E
    // "An invalid schema was passed to the configuration manager."
    qor_s_config_bad_schema       = QOR_MSG_ID(218),   // XLTIC0218E
    // Logged with stanza, file, entry and value before the status below.
    qor_s_config_bad_value_logged = QOR_MSG_ID(219),   // XLTIC0219E
    // "An invalid configuration value has been specified."
    qor_s_config_bad_value        = QOR_MSG_ID(220),   // XLTIC0220E
    // Logged with entry, value, stanza and file before the status below.
    qor_s_config_unknown_logged   = QOR_MSG_ID(230),   // XLTIC0230W
    // "An unrecognized configuration entry was found."
    qor_s_config_unknown_entry    = QOR_MSG_ID(231),   // XLTIC0231W
    // "The stanza %s in the %s configuration file could not be accessed."
    qor_s_config_stanza_access    = QOR_CO_MSG_ID(234), // XLTCO0234E
};
