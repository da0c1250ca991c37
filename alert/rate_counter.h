// Counting the matching rows of one threshold condition per key (a user, an
// IP address, a host, a share, or everything under one key), and deciding
// when the condition fires for a key.
//
//   RateCounter counter(threshold);
//   RateOutcome outcome = counter.add("bob", now, row_text);
//   switch (outcome.what) {
//     case RateOutcome::kFired: ...   // outcome.rows: the batch
//     case RateOutcome::kHeld: ...    // a row of the hold after a firing
//     case RateOutcome::kCounted: ... // below the count: nothing to do
//   }
//
// Counts are kept in buckets: the window of `seconds` is cut into n <= 16
// buckets of width w = ceil(seconds / 16) seconds (n = ceil(seconds / w)),
// and a key's count is the sum of the bucket of `now` and the n buckets
// before it. So every row of the last `seconds` seconds is counted, and
// rows older than that by less than (n + 1) * w - seconds seconds (under
// 2w) may be counted too: the condition never fires late, and early by
// less than 2w seconds only. Up to 16 seconds w is 1 and the count exact
// to the second; 60 s counts rows up to 3 s older, 3600 s up to 224 s,
// 86400 s up to 5399 s.
//
// Memory is bounded whatever comes in: at most kMaxKeys keys (the least
// recently seen is evicted, and counted), keys cut to kMaxKeyBytes, and the
// rows kept for the next batch at most kBatchLimit per key and
// kRowBudgetBytes for all keys. Past the budget a row is still counted but
// not kept, so a batch may list fewer rows than it counts. Main thread
// only; a value type apart from its size.

#ifndef QUILLO_ALERT_RATE_COUNTER_H_
#define QUILLO_ALERT_RATE_COUNTER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "alert/rate_rule.h"

namespace quillo {

// What one counted row came to.
struct RateOutcome {
  enum What { kCounted, kFired, kHeld };
  What what = kCounted;
  std::string key;  // as kept: cut to RateCounter::kMaxKeyBytes
  // kFired: the rows counted in the window, this one included.
  std::uint64_t count = 0;
  // kFired: the rows of the window that were kept, oldest first, this one
  // last; at most kBatchLimit.
  std::vector<std::string> rows;
  // kHeld: seconds left of the key's hold, at least 1.
  std::int64_t hold_left = 0;
};

class RateCounter {
 public:
  static constexpr std::size_t kMaxKeys = 10000;
  static constexpr std::size_t kMaxKeyBytes = 256;
  static constexpr std::size_t kBatchLimit = 1024;
  static constexpr std::size_t kRowBudgetBytes = 4 << 20;
  static constexpr int kMaxBuckets = 16;

  // `threshold` must hold a count and seconds in their ranges.
  explicit RateCounter(const Threshold& threshold);

  // Counts one matching row of `key` at the daemon's clock `now` (seconds
  // since the epoch); `row` is its text as stored, kept for the batch.
  //  - The key is held (it fired less than `seconds` ago): kHeld.
  //  - Otherwise the row is counted; when the key's count reaches the
  //    threshold's count, kFired: the key's counts and rows start afresh
  //    and it is held for `seconds`.
  //  - Otherwise kCounted.
  // A clock set back before a key's firing ends its hold.
  RateOutcome add(const std::string& key, std::int64_t now,
                  const std::string& row);

  std::size_t key_count() const { return keys_.size(); }
  std::uint64_t evicted() const { return evicted_; }
  std::size_t kept_row_bytes() const { return row_bytes_; }

  // The bucket width and the number of buckets summed, for the tests.
  std::int64_t bucket_seconds() const { return width_; }
  int buckets_summed() const { return summed_; }

 private:
  struct KeptRow {
    std::int64_t time;
    std::string text;
  };
  struct KeyState {
    std::string key;
    // counts[i % kRing] is the count of bucket i; `last` is the newest
    // bucket written, `total` the sum of the summed buckets up to it.
    std::array<std::uint32_t, kMaxBuckets + 1> counts{};
    std::int64_t last = 0;
    std::uint64_t total = 0;
    std::int64_t fired_at = 0;
    std::int64_t hold_until = 0;  // 0: not held
    // Kept rows, oldest first, from rows[head]: a vector costs nothing
    // while empty, unlike a deque, and most keys keep few rows.
    std::vector<KeptRow> rows;
    std::size_t head = 0;
    std::size_t kept() const { return rows.size() - head; }
  };
  using KeyList = std::list<KeyState>;  // most recently seen first

  KeyState& find_or_make(const std::string& key);
  void advance(KeyState& state, std::int64_t bucket);
  void keep_row(KeyState& state, std::int64_t now, const std::string& row);
  void drop_old_rows(KeyState& state, std::int64_t now);
  void drop_front_row(KeyState& state);
  void make_room(std::int64_t now);
  RateOutcome fire(KeyState& state, std::int64_t now);

  const Threshold threshold_;
  const std::int64_t width_;  // bucket width in seconds
  const int summed_;          // buckets summed, the current one included
  KeyList lru_;
  // Keyed by the list entry's own key string, which stays in place.
  std::unordered_map<std::string_view, KeyList::iterator> keys_;
  std::size_t row_bytes_ = 0;
  std::uint64_t evicted_ = 0;
};

}  // namespace quillo

#endif  // QUILLO_ALERT_RATE_COUNTER_H_
