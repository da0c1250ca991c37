// The log store's settings from the daemon's configuration: the one place
// that maps a LogKind to the configuration's kinds.
//
// Main thread only (the configuration is the request loop's).

#ifndef QUILLO_DAEMON_STORE_SETTINGS_H_
#define QUILLO_DAEMON_STORE_SETTINGS_H_

#include "logstore/log_kind.h"
#include "logstore/log_store.h"

namespace quillo {

class ConfigXml;

// ConfigXml::kSystemLog or kAccessLog for the kinds the configuration
// gives auto-delete settings; -1 for the alert log, which has none.
int config_log_kind(LogKind kind);

// Hands `kind`'s log root and, but for the alert log, its auto-delete
// settings from `config` to `store`. Raises the configuration's errors
// (log root or auto-delete element missing); the store keeps its settings
// then.
void apply_store_settings(ConfigXml& config, LogKind kind, LogStore& store);

}  // namespace quillo

#endif  // QUILLO_DAEMON_STORE_SETTINGS_H_
