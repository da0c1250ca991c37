// The local calendar fields of a time, kept for the last time asked for on
// each thread: a busy daemon breaks the same second down many times (the
// row's stamp, its file's month, the alert windows), and the C library's
// conversion is among the dearest steps of a row.
//
// The zone is the one tzset() chose; reload_time_zone() makes the process
// read it again (the appliance's zone may change while the daemon runs)
// and drops every thread's kept fields.
//
//   struct tm f;
//   if (base::local_fields(t, &f)) { ... }
#ifndef QUILLO_BASE_LOCAL_FIELDS_H_
#define QUILLO_BASE_LOCAL_FIELDS_H_

#include <time.h>

#include <atomic>
#include <cstdint>

namespace base {

namespace internal {
inline std::atomic<std::uint64_t> zone_generation{1};
}  // namespace internal

// Calls tzset() and makes every thread break times down afresh.
inline void reload_time_zone() {
  ::tzset();
  internal::zone_generation.fetch_add(1, std::memory_order_release);
}

// Sets `*out` to the local fields of `t`; false, leaving `*out` alone,
// when the C library cannot break it down.
inline bool local_fields(std::int64_t t, struct tm* out) {
  struct Kept {
    std::uint64_t generation = 0;
    std::int64_t t = 0;
    long zone_offset = 0;
    const char* zone_names[2] = {nullptr, nullptr};
    struct tm fields {};
  };
  thread_local Kept kept;
  const std::uint64_t generation =
      internal::zone_generation.load(std::memory_order_acquire);
  // A tzset() called directly (a test, a tool) changes the zone's offset
  // or names; reload_time_zone() is the way that never misses a change.
  if (kept.generation != generation || kept.t != t ||
      kept.zone_offset != ::timezone || kept.zone_names[0] != ::tzname[0] ||
      kept.zone_names[1] != ::tzname[1]) {
    const time_t value = static_cast<time_t>(t);
    struct tm fields;
    if (::localtime_r(&value, &fields) == nullptr) return false;
    kept.fields = fields;
    kept.t = t;
    kept.generation = generation;
    kept.zone_offset = ::timezone;
    kept.zone_names[0] = ::tzname[0];
    kept.zone_names[1] = ::tzname[1];
  }
  *out = kept.fields;
  return true;
}

}  // namespace base

#endif  // QUILLO_BASE_LOCAL_FIELDS_H_
