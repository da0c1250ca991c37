// quillo_micro_bench: the per-record work of the daemon's hot paths, one
// piece at a time (Google Benchmark; pass --benchmark_filter=... to pick).
//
// - wildcard_match with a short and a 30-star pattern against values of
//   growing length: the time per call should grow linearly with the value.
// - AlertCondition::matches over 100 conditions, none of which matches.
// - Building a ReqAccessLog from its fields and making one from a received
//   RequestData.
// - The row building of both handlers: derive_access_values and the eight
//   append_field calls of an access row, the four of a system row.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "alert/alert_condition.h"
#include "config/wildcard.h"
#include "daemon/access_log.h"
#include "daemon/system_log.h"
#include "logstore/log_row.h"
#include "logstore/log_names.h"
#include "protocol/packet.h"

namespace {

using quillo::AlertCondition;
namespace MatchFlag = quillo::MatchFlag;
using quillo::wildcard_match;

// A value of `n` bytes that the patterns below reach only at its end, so
// every call walks the whole value.
std::string host_value(std::size_t n) {
  std::string v;
  v.reserve(n);
  while (v.size() + 1 < n) v += "pc-floor3-room";
  v.resize(n > 0 ? n - 1 : 0);
  v += 'x';
  return v;
}

void BM_WildcardShortPattern(benchmark::State& state) {
  const std::string value =
      host_value(static_cast<std::size_t>(state.range(0)));
  const std::string pattern = "PC*x";
  for (auto _ : state) {
    benchmark::DoNotOptimize(wildcard_match(value, pattern));
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_WildcardShortPattern)
    ->RangeMultiplier(4)
    ->Range(16, 16384)
    ->Complexity(benchmark::oN);

void BM_WildcardThirtyStars(benchmark::State& state) {
  const std::string value =
      host_value(static_cast<std::size_t>(state.range(0)));
  // 30 stars (29 here, one before the final "x"), separated by bytes that occur
  // often in the value, ending in a byte it has only at its end: the worst case
  // for a backtracking rule.
  std::string pattern;
  for (int i = 0; i < 29; ++i) pattern += i % 2 == 0 ? "*o" : "*r";
  pattern += "*x";
  for (auto _ : state) {
    benchmark::DoNotOptimize(wildcard_match(value, pattern));
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_WildcardThirtyStars)
    ->RangeMultiplier(4)
    ->Range(16, 16384)
    ->Complexity(benchmark::oN);

// Conditions that pass the period, user, host, IP and operation steps and
// fail at the share or path step: the most work a non-matching condition
// costs.
std::vector<AlertCondition> make_conditions(std::size_t n) {
  std::vector<AlertCondition> list;
  for (std::size_t i = 0; i < n; ++i) {
    AlertCondition a;
    a.name = "condition-" + std::to_string(i);
    a.weekdays = 0x7f;
    a.to_hour = 24;
    a.user_cond.flags = MatchFlag::All;
    a.host_cond.pattern = "PC*";
    a.ip_cond.pattern = "192.0.2.*";
    a.operations = {{"open_read", true},
                    {"open_write", true},
                    {"delete", true},
                    {"rename", false}};
    a.result_cond.pattern = i % 2 == 0 ? "ok" : "";
    a.share_cond.pattern = i % 3 == 0 ? "finance" : "docs";
    a.path_cond.pattern = "secret/*/plan_" + std::to_string(i) + "*";
    list.push_back(a);
  }
  return list;
}

void BM_AlertMatches100(benchmark::State& state) {
  const std::vector<AlertCondition> conditions = make_conditions(100);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const std::string user = "user07", host = "pc07", ip = "192.0.2.10",
                    op = "open_read", result = "ok", share = "docs",
                    path = "projects/q3/report_123.txt";
  for (auto _ : state) {
    int matched = 0;
    for (const AlertCondition& a : conditions) {
      matched += a.matches(now, user, host, ip, op, result, share, path);
    }
    benchmark::DoNotOptimize(matched);
  }
}
BENCHMARK(BM_AlertMatches100);

// The same conditions with no weekday selected: each fails at its first
// step, so this is the cost of the period test alone (the local-time
// breakdown of `now`, done once per condition).
void BM_AlertPeriodOnly100(benchmark::State& state) {
  std::vector<AlertCondition> conditions = make_conditions(100);
  for (AlertCondition& a : conditions) a.weekdays = 0;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const std::string user = "user07", host = "pc07", ip = "192.0.2.10",
                    op = "open_read", result = "ok", share = "docs",
                    path = "projects/q3/report_123.txt";
  for (auto _ : state) {
    int matched = 0;
    for (const AlertCondition& a : conditions) {
      matched += a.matches(now, user, host, ip, op, result, share, path);
    }
    benchmark::DoNotOptimize(matched);
  }
}
BENCHMARK(BM_AlertPeriodOnly100);

quillo::ReqAccessLog sample_record() {
  return quillo::ReqAccessLog("User07", "pc07", "192.0.2.10", "open", 1, 0,
                              "docs", "r|projects/q3/report_123.txt");
}

void BM_AccessRecordBuild(benchmark::State& state) {
  for (auto _ : state) {
    quillo::ReqAccessLog r = sample_record();
    benchmark::DoNotOptimize(r.data.get());
  }
}
BENCHMARK(BM_AccessRecordBuild);

void BM_AccessRecordParse(benchmark::State& state) {
  const quillo::ReqAccessLog built = sample_record();
  const quillo::RequestData received(built);
  for (auto _ : state) {
    const quillo::ReqAccessLog r(received);
    benchmark::DoNotOptimize(r.well_formed());
  }
}
BENCHMARK(BM_AccessRecordParse);

void BM_AccessRow(benchmark::State& state) {
  const quillo::ReqAccessLog record = sample_record();
  const std::string time = quillo::format_log_time(std::time(nullptr));
  for (auto _ : state) {
    const quillo::AccessValues v = quillo::derive_access_values(record);
    std::string row;
    quillo::append_column(row, time);
    quillo::append_column(row, v.user);
    quillo::append_column(row, record.host_name());
    quillo::append_column(row, record.ip_address());
    quillo::append_column(row, v.operation);
    quillo::append_column(row, v.result);
    quillo::append_column(row, record.share_name());
    quillo::append_column(row, v.path);
    benchmark::DoNotOptimize(row.data());
  }
}
BENCHMARK(BM_AccessRow);

void BM_AccessRowFailResult(benchmark::State& state) {
  const quillo::ReqAccessLog record("User07", "pc07", "192.0.2.10", "open", 0,
                                    13, "docs", "w|projects/q3/report.txt");
  for (auto _ : state) {
    const quillo::AccessValues v = quillo::derive_access_values(record);
    benchmark::DoNotOptimize(v.result.data());
  }
}
BENCHMARK(BM_AccessRowFailResult);

void BM_SystemRow(benchmark::State& state) {
  const quillo::ReqSystemLog record("1700000000", "disk0", "warning",
                                    "temperature high");
  for (auto _ : state) {
    std::string row;
    quillo::append_column(row, quillo::format_log_time(quillo::parse_record_time(record.time())));
    quillo::append_column(row, record.text1());
    quillo::append_column(row, record.text2());
    quillo::append_column(row, record.text3());
    benchmark::DoNotOptimize(row.data());
  }
}
BENCHMARK(BM_SystemRow);

}  // namespace

BENCHMARK_MAIN();
