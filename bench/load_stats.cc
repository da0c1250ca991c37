#include "bench/load_stats.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// The sample at nearest rank ceil(p/100 * n), 1-based; n > 0.
uint64_t rank(std::vector<uint64_t>& s, unsigned percent) {
  std::size_t r = (s.size() * percent + 99) / 100;
  if (r == 0) r = 1;
  std::nth_element(s.begin(), s.begin() + static_cast<long>(r - 1), s.end());
  return s[r - 1];
}

}  // namespace

LatencySummary summarize_latencies(std::vector<uint64_t>& samples) {
  LatencySummary out;
  if (samples.empty()) return out;
  out.p50_ns = rank(samples, 50);
  out.p99_ns = rank(samples, 99);
  out.max_ns = *std::max_element(samples.begin(), samples.end());
  return out;
}

long parse_vm_rss_kb(const std::string& status_text) {
  std::istringstream in(status_text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 6, "VmRSS:") != 0) continue;
    char* end = nullptr;
    const long kb = std::strtol(line.c_str() + 6, &end, 10);
    return end == line.c_str() + 6 ? -1 : kb;
  }
  return -1;
}

long read_vm_rss_kb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  if (!f) return -1;
  std::ostringstream text;
  text << f.rdbuf();
  return parse_vm_rss_kb(text.str());
}
