#include "daemon/store_settings.h"

#include <string>

#include "config/config_xml.h"

namespace quillo {

int config_log_kind(LogKind kind) {
  switch (kind) {
    case LogKind::kSystem:
      return ConfigXml::kSystemLog;
    case LogKind::kAccess:
      return ConfigXml::kAccessLog;
    case LogKind::kAlert:
      break;
  }
  return -1;
}

void apply_store_settings(ConfigXml& config, LogKind kind, LogStore& store) {
  // Both read before either is handed on, in the order the handlers have
  // always read them, so that an error leaves the store as it was.
  const std::string root = config.log_root();
  const int config_kind = config_log_kind(kind);
  if (config_kind < 0) {
    store.set_root(kind, root);
    return;
  }
  const ConfigXml::AutoDelete settings = config.get_autodelete(config_kind);
  store.set_root(kind, root);
  store.set_auto_delete(kind, {settings.enabled, settings.days, settings.percent});
}

}  // namespace quillo
