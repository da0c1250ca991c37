// Figures of a load run: latency percentiles and the resident memory of a
// process. Pure helpers, callable from any thread.

#ifndef QUILLO_BENCH_LOAD_STATS_H_
#define QUILLO_BENCH_LOAD_STATS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct LatencySummary {
  uint64_t p50_ns = 0;
  uint64_t p99_ns = 0;
  uint64_t max_ns = 0;
};

// Nearest-rank percentiles of `samples` (reordered in place); all zero
// when it is empty.
LatencySummary summarize_latencies(std::vector<uint64_t>& samples);

// The VmRSS figure, in KiB, of a /proc/<pid>/status text; -1 when the text
// has no such line.
long parse_vm_rss_kb(const std::string& status_text);

// VmRSS of process `pid` in KiB; -1 when it cannot be read.
long read_vm_rss_kb(pid_t pid);

#endif  // QUILLO_BENCH_LOAD_STATS_H_
