#include "daemon/request_reports.h"

#include <algorithm>
#include <string>

#include "base/console.h"

namespace quillo {

RequestReports::RequestReports()
    : limits_{MessageLimit("No data request!! Ignore.\n"),
              MessageLimit("Incomplete request!! Ignore.\n"),
              MessageLimit("Malformed request!! Ignore.\n"),
              MessageLimit("Invalid request type!! Ignore.\n"),
              MessageLimit("Accept fail!!\n"),
              MessageLimit("No descriptor left!! Connection dropped.\n")} {}

void RequestReports::report(Report which) {
  const std::string text = limits_[which].occur(Clock::now());
  if (!text.empty()) base::complain(text);
}

void RequestReports::flush(Clock::time_point now) {
  for (MessageLimit& limit : limits_) {
    const std::string text = limit.flush(now);
    if (!text.empty()) base::complain(text);
  }
}

RequestReports::Clock::time_point RequestReports::next_deadline() const {
  Clock::time_point earliest = Clock::time_point::max();
  for (const MessageLimit& limit : limits_) {
    earliest = std::min(earliest, limit.deadline());
  }
  return earliest;
}

}  // namespace quillo
