#include "alert/rate_counter.h"

#include <algorithm>
#include <utility>

#include "base/utf8.h"

namespace quillo {
namespace {

constexpr std::size_t kRing = RateCounter::kMaxBuckets + 1;

std::int64_t BucketWidth(int seconds) {
  return (seconds + RateCounter::kMaxBuckets - 1) / RateCounter::kMaxBuckets;
}

// Floor division: a clock before 1970 still gets ordered buckets.
std::int64_t BucketOf(std::int64_t time, std::int64_t width) {
  return time >= 0 ? time / width : -((-time + width - 1) / width);
}

// The ring slot of bucket `b`.
std::size_t Slot(std::int64_t b) {
  constexpr std::int64_t ring = static_cast<std::int64_t>(kRing);
  return static_cast<std::size_t>(((b % ring) + ring) % ring);
}

// What a kept row costs against the budget, beyond its text.
constexpr std::size_t kRowOverhead = sizeof(std::int64_t) + 32;

std::size_t RowCost(const std::string& text) {
  return text.size() + kRowOverhead;
}

// How many tail keys make_room() looks at for rows gone out of their
// window: a bounded step per row, not a walk over every key.
constexpr int kTailLook = 8;

}  // namespace

RateCounter::RateCounter(const Threshold& threshold)
    : threshold_(threshold),
      width_(BucketWidth(threshold.seconds)),
      summed_(static_cast<int>((threshold.seconds + width_ - 1) / width_) +
              1) {}

RateCounter::KeyState& RateCounter::find_or_make(const std::string& key) {
  const auto found = keys_.find(std::string_view(key));
  if (found != keys_.end()) {
    lru_.splice(lru_.begin(), lru_, found->second);
    return *found->second;
  }
  if (keys_.size() >= kMaxKeys) {
    KeyState& oldest = lru_.back();
    for (std::size_t i = oldest.head; i < oldest.rows.size(); ++i) {
      row_bytes_ -= RowCost(oldest.rows[i].text);
    }
    keys_.erase(std::string_view(oldest.key));
    lru_.pop_back();
    ++evicted_;
  }
  lru_.emplace_front();
  lru_.front().key = key;
  keys_.emplace(std::string_view(lru_.front().key), lru_.begin());
  return lru_.front();
}

void RateCounter::advance(KeyState& state, std::int64_t bucket) {
  // A clock set back counts into the newest bucket rather than the past.
  if (bucket <= state.last) return;
  const std::int64_t steps = bucket - state.last;
  if (steps >= summed_) {
    state.counts.fill(0);
    state.total = 0;
  } else {
    for (std::int64_t b = state.last + 1; b <= bucket; ++b) {
      // The bucket that leaves the sum as `b` enters it.
      const std::int64_t leaving = b - summed_;
      std::uint32_t& old = state.counts[Slot(leaving)];
      state.total -= old;
      old = 0;
    }
  }
  state.last = bucket;
}

void RateCounter::drop_front_row(KeyState& state) {
  KeptRow& front = state.rows[state.head++];
  row_bytes_ -= RowCost(front.text);
  std::string().swap(front.text);
  // Dropped rows are cleared away once they are half of the vector.
  if (state.head * 2 >= state.rows.size()) {
    state.rows.erase(state.rows.begin(),
                     state.rows.begin() + static_cast<long>(state.head));
    state.head = 0;
  }
}

void RateCounter::drop_old_rows(KeyState& state, std::int64_t now) {
  // The rows of buckets no longer summed.
  const std::int64_t oldest = (BucketOf(now, width_) - summed_ + 1) * width_;
  while (state.kept() > 0 && state.rows[state.head].time < oldest) {
    drop_front_row(state);
  }
}

void RateCounter::make_room(std::int64_t now) {
  int looked = 0;
  for (auto it = lru_.rbegin(); it != lru_.rend() && looked < kTailLook &&
                                row_bytes_ > kRowBudgetBytes;
       ++it, ++looked) {
    // The least recently seen keys hold the rows most likely gone stale.
    if (it->kept() > 0) drop_old_rows(*it, now);
  }
}

void RateCounter::keep_row(KeyState& state, std::int64_t now,
                           const std::string& row) {
  drop_old_rows(state, now);
  // A batch lists at most kBatchLimit rows: the newest.
  const std::size_t limit =
      std::min<std::size_t>(kBatchLimit,
                            static_cast<std::size_t>(threshold_.count));
  while (state.kept() >= limit && state.kept() > 0) {
    drop_front_row(state);
  }
  if (row_bytes_ + RowCost(row) > kRowBudgetBytes) make_room(now);
  if (row_bytes_ + RowCost(row) > kRowBudgetBytes) return;  // counted only
  state.rows.push_back(KeptRow{now, row});
  row_bytes_ += RowCost(row);
}

RateOutcome RateCounter::fire(KeyState& state, std::int64_t now) {
  RateOutcome outcome;
  outcome.what = RateOutcome::kFired;
  outcome.key = state.key;
  outcome.count = state.total;
  outcome.rows.reserve(state.kept());
  for (std::size_t i = state.head; i < state.rows.size(); ++i) {
    row_bytes_ -= RowCost(state.rows[i].text);
    outcome.rows.push_back(std::move(state.rows[i].text));
  }
  std::vector<KeptRow>().swap(state.rows);
  state.head = 0;
  state.counts.fill(0);
  state.total = 0;
  state.fired_at = now;
  state.hold_until = now + threshold_.seconds;
  return outcome;
}

RateOutcome RateCounter::add(const std::string& full_key, std::int64_t now,
                             const std::string& row) {
  const std::string key =
      full_key.substr(0, base::utf8_prefix(full_key, kMaxKeyBytes));
  KeyState& state = find_or_make(key);
  if (state.hold_until != 0) {
    if (now >= state.fired_at && now < state.hold_until) {
      RateOutcome held;
      held.what = RateOutcome::kHeld;
      held.key = key;
      held.hold_left = state.hold_until - now;
      return held;
    }
    state.hold_until = 0;
  }
  const std::int64_t bucket = BucketOf(now, width_);
  if (state.total == 0) {
    state.last = bucket;  // a fresh or emptied key starts at `now`
  } else {
    advance(state, bucket);
  }
  state.counts[Slot(state.last)]++;
  state.total++;
  keep_row(state, now, row);
  if (state.total >= static_cast<std::uint64_t>(threshold_.count)) {
    return fire(state, now);
  }
  RateOutcome counted;
  counted.key = key;
  return counted;
}

}  // namespace quillo
