#include "daemon/forward_glue.h"

#include <string>

namespace quillo {
namespace {

RowKind row_kind(LogKind kind) {
  switch (kind) {
    case LogKind::kSystem:
      return RowKind::kSystem;
    case LogKind::kAccess:
      return RowKind::kAccess;
    case LogKind::kAlert:
      break;
  }
  return RowKind::kAlert;
}

}  // namespace

void ForwardGlue::row_prepared(const LogRow& row,
                               std::string_view line) noexcept {
  WrittenRow written;
  try {
    written = WrittenRow{row_kind(row.kind), row.time, row.columns,
                         std::string(line)};
  } catch (...) {
    // Out of memory: the sink is offered an empty row of the kind rather
    // than none, so that its row_done() still pairs with a prepare.
    written.kind = row_kind(row.kind);
    written.time = row.time;
  }
  sink_.row_prepared(written);
}

}  // namespace quillo
