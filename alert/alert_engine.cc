#include "alert/alert_engine.h"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "alert/alert_thread.h"
#include "config/config_xml.h"

namespace quillo {
namespace {

// The column `i` of `row`, empty when the row has fewer.
const std::string& Column(const LogRow& row, std::size_t i) {
  static const std::string kEmpty;
  return i < row.columns.size() ? row.columns[i] : kEmpty;
}

// The result word the conditions match: "ok" of "ok", "fail" of
// "fail (<text>)".
std::string ResultWord(const std::string& result) {
  return result.substr(0, result.find(' '));
}

}  // namespace

AlertEngine::AlertEngine(AlertThread& thread, RowWriter write,
                         ConditionReader read)
    : thread_(thread), write_(std::move(write)), read_(std::move(read)) {}

void AlertEngine::reload(const ConfigXml& config) {
  // Once per document: a document without conditions is remembered as
  // such, not read again for every access.
  if (config.generation() == generation_) return;
  std::vector<AlertCondition> conditions = read_(config);
  generation_ = config.generation();
  std::vector<Entry> fresh;
  fresh.reserve(conditions.size());
  for (AlertCondition& condition : conditions) {
    Entry entry{std::move(condition), nullptr};
    // The first old condition equal to it hands on its state; each state
    // goes to one new condition at most.
    for (Entry& old : entries_) {
      if (old.state != nullptr && old.condition == entry.condition) {
        entry.state = std::move(old.state);
        break;
      }
    }
    if (entry.state == nullptr)
      entry.state = std::make_unique<ConditionState>();
    fresh.push_back(std::move(entry));
  }
  entries_ = std::move(fresh);
}

void AlertEngine::check(const ConfigXml& config, const LogRow& access,
                        std::int64_t now) {
  reload(config);
  const std::string& user = Column(access, kUser);
  const std::string& host = Column(access, kHost);
  const std::string& ip = Column(access, kIp);
  const std::string& operation = Column(access, kOperation);
  const std::string result = ResultWord(Column(access, kResult));
  const std::string& share = Column(access, kShare);
  const std::string& path = Column(access, kPath);
  // Made on the first match only: most accesses meet no condition.
  std::optional<LogRow> alert_row;
  std::string text;
  for (Entry& entry : entries_) {
    if (!entry.condition.matches(now, user, host, ip, operation, result, share,
                                 path)) {
      continue;
    }
    if (!alert_row) {
      alert_row = access;
      alert_row->kind = LogKind::kAlert;
      alert_row->time = now;
      text = encode_row(*alert_row);
    }
    const bool written = write_(*alert_row);
    stats_.matches++;
    entry.state->matches++;
    if (written) {
      stats_.rows_written++;
    } else {
      stats_.write_failures++;
    }
    thread_.push_alert(entry.condition.name, text);
  }
}

}  // namespace quillo
