// Keeps one console message that clients can cause at will ("No data
// request!! Ignore.") from flooding the journal, whose rate limit would
// then drop the daemon's other warnings.
//
// The message is let through at most kBurst times a minute, unchanged; the
// minute starts with its first occurrence. Once a minute in which some
// were held back is over, one summary line says how many:
//
//   No data request!! Ignore. ... 812 more in the last minute
//
// Takes `now` as a parameter, so it is tested without sleeping. Main
// thread only.

#ifndef QUILLO_DAEMON_MESSAGE_LIMIT_H_
#define QUILLO_DAEMON_MESSAGE_LIMIT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quillo {

class MessageLimit {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kBurst = 5;
  static constexpr Clock::duration kWindow = std::chrono::minutes(1);

  // `text` is the whole message line, with its "\n".
  explicit MessageLimit(std::string text);

  // What to print for one more occurrence at `now`: the message, or ""
  // when kBurst have been printed this minute (the occurrence is counted).
  // Begins with the summary of the minute before when that one is over.
  std::string occur(Clock::time_point now);

  // The summary line once the minute in which occurrences were held back
  // is over at `now`, and then only once; "" otherwise.
  std::string flush(Clock::time_point now);

  // When flush() will have a summary; Clock::time_point::max() when
  // nothing is held back.
  Clock::time_point deadline() const;

 private:
  const std::string text_;
  Clock::time_point window_end_{};  // of the current minute
  std::size_t printed_ = 0;         // in the current minute
  std::uint64_t held_ = 0;          // held back, not yet summed up
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_MESSAGE_LIMIT_H_
