// The console messages that clients can cause at will (an empty or
// incomplete frame, a malformed record, an unknown type, a failed accept, a
// client let go for want of a descriptor), each kept from flooding the
// journal by its own MessageLimit.
//
// Main thread only.

#ifndef QUILLO_DAEMON_REQUEST_REPORTS_H_
#define QUILLO_DAEMON_REQUEST_REPORTS_H_

#include <array>

#include "daemon/message_limit.h"

namespace quillo {

class RequestReports final {
 public:
  using Clock = MessageLimit::Clock;

  enum Report {
    kNoData,      // "No data request!! Ignore."
    kIncomplete,  // "Incomplete request!! Ignore."
    kMalformed,   // "Malformed request!! Ignore."
    kOtherType,   // "Invalid request type!! Ignore."
    kAcceptFail,  // "Accept fail!!"
    kDropped,     // "No descriptor left!! Connection dropped."
    kReports
  };

  RequestReports();

  // Prints one more occurrence of `which` now, within its limit.
  void report(Report which);

  // Prints the summaries of the messages held back in a minute over at
  // `now`.
  void flush(Clock::time_point now);

  // When flush() will have a summary to print; Clock::time_point::max()
  // when nothing is held back.
  Clock::time_point next_deadline() const;

 private:
  std::array<MessageLimit, kReports> limits_;
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_REQUEST_REPORTS_H_
