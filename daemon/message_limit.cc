#include "daemon/message_limit.h"

#include <utility>

namespace quillo {

MessageLimit::MessageLimit(std::string text) : text_(std::move(text)) {}

std::string MessageLimit::occur(Clock::time_point now) {
  std::string out = flush(now);
  if (now >= window_end_) {
    window_end_ = now + kWindow;
    printed_ = 0;
  }
  if (printed_ < kBurst) {
    ++printed_;
    out += text_;
  } else {
    ++held_;
  }
  return out;
}

std::string MessageLimit::flush(Clock::time_point now) {
  if (held_ == 0 || now < window_end_) return "";
  std::string line = text_;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  line += " ... " + std::to_string(held_) + " more in the last minute\n";
  held_ = 0;
  return line;
}

MessageLimit::Clock::time_point MessageLimit::deadline() const {
  return held_ == 0 ? Clock::time_point::max() : window_end_;
}

}  // namespace quillo
