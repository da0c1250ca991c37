#include "alert/alert_engine.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "alert/alert_thread.h"
#include "alert/response_runner.h"
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

// The value a threshold counts `access` by.
const std::string& RateKey(const LogRow& access, RatePer per) {
  static const std::string kAllKey;
  switch (per) {
    case RatePer::kUser: return Column(access, kUser);
    case RatePer::kIp: return Column(access, kIp);
    case RatePer::kHost: return Column(access, kHost);
    case RatePer::kShare: return Column(access, kShare);
    case RatePer::kAll: break;
  }
  return kAllKey;
}

}  // namespace

AlertEngine::AlertEngine(AlertThread& thread, RowWriter write,
                         ConditionReader read, ResponseRunner* responses)
    : thread_(thread),
      responses_(responses),
      write_(std::move(write)),
      read_(std::move(read)) {}

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
    if (entry.state == nullptr) {
      entry.state = std::make_unique<ConditionState>();
      if (entry.condition.rate.threshold) {
        entry.state->rate =
            std::make_unique<RateCounter>(*entry.condition.rate.threshold);
      }
    }
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
  // Most accesses meet no condition: nothing is made for them.
  std::vector<Entry*> met;
  for (Entry& entry : entries_) {
    if (entry.condition.matches(now, user, host, ip, operation, result, share,
                                path)) {
      met.push_back(&entry);
    }
  }
  if (met.empty()) return;
  LogRow alert_row = access;
  alert_row.kind = LogKind::kAlert;
  alert_row.time = now;
  const std::string text = encode_row(alert_row);
  // One line per condition met, all in one pass of the alert log.
  const std::size_t written = write_(alert_row, met.size());
  stats_.matches += met.size();
  stats_.rows_written += written;
  stats_.write_failures += met.size() - written;
  for (Entry* entry : met) {
    entry->state->matches++;
    if (entry->state->rate) {
      count_rate_row(*entry, access, text, now);
    } else {
      thread_.push_alert(entry->condition.name, text);
    }
  }
}

void AlertEngine::count_rate_row(Entry& entry, const LogRow& access,
                                 const std::string& text, std::int64_t now) {
  const Threshold& threshold = *entry.condition.rate.threshold;
  RateCounter& counter = *entry.state->rate;
  const std::uint64_t evicted = counter.evicted();
  RateOutcome outcome =
      counter.add(RateKey(access, threshold.per), now, text);
  stats_.threshold_keys_evicted += counter.evicted() - evicted;
  if (outcome.what == RateOutcome::kCounted) return;
  BatchSummary summary{rate_per_name(threshold.per), outcome.key,
                       outcome.count, threshold.seconds, false};
  if (outcome.what == RateOutcome::kHeld) {
    thread_.push_held(entry.condition.name, summary, outcome.hold_left, text);
    return;
  }
  stats_.threshold_fired++;
  // The script first: containment should not wait for the mail.
  if (entry.condition.rate.response) {
    run_response(entry.condition, access, summary, outcome.rows);
  }
  thread_.push_fired(
      RateBatch{entry.condition.name, summary, std::move(outcome.rows)});
}

void AlertEngine::run_response(const AlertCondition& condition,
                               const LogRow& access,
                               const BatchSummary& summary,
                               const std::vector<std::string>& rows) {
  if (responses_ == nullptr) return;
  ResponseJob job;
  job.script = condition.rate.response->script;
  job.timeout = condition.rate.response->timeout;
  job.arguments = {condition.name, summary.per, summary.key,
                   std::to_string(summary.total),
                   std::to_string(summary.seconds)};
  job.environment = {{"QUILLO_ALERT", condition.name},
                     {"QUILLO_PER", summary.per},
                     {"QUILLO_KEY", summary.key},
                     {"QUILLO_USER", Column(access, kUser)},
                     {"QUILLO_HOST", Column(access, kHost)},
                     {"QUILLO_IP", Column(access, kIp)},
                     {"QUILLO_SHARE", Column(access, kShare)}};
  for (const std::string& row : rows) job.input += row + "\n";
  job.what = "alert " + condition.name + " for " + summary.per +
             (summary.per == "all" ? "" : " " + summary.key);
  responses_->run(std::move(job));
}

}  // namespace quillo
