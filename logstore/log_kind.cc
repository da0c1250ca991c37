#include "logstore/log_kind.h"

namespace quillo {
namespace {

constexpr LogKindInfo kTable[] = {
    {LogKind::kSystem, "system", "systemlog", "system_", ".csv", "system_info",
     true, true, kSystemColumnCount, {"text1", "text2", "text3"}},
    {LogKind::kAccess, "access", "accesslog", "access_", ".csv", "access_info",
     false, true, kAccessColumnCount,
     {"user", "host", "ip", "op", "result", "share", "path"}},
    {LogKind::kAlert, "alert", "alertlog", "alert_", ".csv", "alert_info",
     false, false, kAccessColumnCount,
     {"user", "host", "ip", "op", "result", "share", "path"}},
};

static_assert(sizeof kTable / sizeof kTable[0] == kLogKinds.size(),
              "one row per kind");

}  // namespace

const LogKindInfo& kind_info(LogKind kind) {
  return kTable[static_cast<std::size_t>(kind)];
}

std::optional<LogKind> kind_named(std::string_view name) {
  for (const LogKindInfo& info : kTable) {
    if (name == info.name) return info.kind;
  }
  return std::nullopt;
}

}  // namespace quillo
