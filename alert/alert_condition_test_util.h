// Test helper: times in the fixed zone of the condition tests (nine hours
// east of UTC, set by the test binary), an access that passes a permissive
// condition, and that condition. Test code only.

#ifndef QUILLO_ALERT_ALERT_CONDITION_TEST_UTIL_H_
#define QUILLO_ALERT_ALERT_CONDITION_TEST_UTIL_H_

#include <cstdint>
#include <string>

#include "alert/alert_condition.h"

namespace quillo_test {

// Monday 2024-01-01 00:00 in that zone.
inline constexpr std::int64_t kMonday = 1704067200 - 9 * 3600;
enum Day { kMon, kTue, kWed, kThu, kFri, kSat, kSun };

inline std::int64_t At(Day day, int hour, int minute, int second = 0) {
  return kMonday + std::int64_t{day} * 86400 + hour * 3600 + minute * 60 +
         second;
}

struct Access {
  std::int64_t now = At(kMon, 10, 0);
  std::string user = "alice";
  std::string host = "pc01";
  std::string ip = "192.168.1.20";
  std::string operation = "file_read";
  std::string result = "ok";
  std::string share = "docs";
  std::string path = "docs/a.txt";
};

// A condition that every part of the default Access passes.
inline quillo::AlertCondition Everything() {
  quillo::AlertCondition info;
  info.name = "all";
  info.weekdays = 0x7f;
  info.to_hour = 24;
  info.user_cond.flags = quillo::MatchFlag::All;
  info.operations["file_read"] = true;
  return info;
}

inline bool Matches(const quillo::AlertCondition& info, const Access& a) {
  return info.matches(a.now, a.user, a.host, a.ip, a.operation, a.result,
                      a.share, a.path);
}

}  // namespace quillo_test

#endif  // QUILLO_ALERT_ALERT_CONDITION_TEST_UTIL_H_
