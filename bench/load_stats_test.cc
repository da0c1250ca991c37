#include "bench/load_stats.h"

#include <unistd.h>

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(LoadStatsTest, NearestRankPercentiles) {
  std::vector<uint64_t> samples;
  for (uint64_t i = 100; i >= 1; --i) samples.push_back(i * 10);
  const LatencySummary s = summarize_latencies(samples);
  EXPECT_EQ(s.p50_ns, 500u);
  EXPECT_EQ(s.p99_ns, 990u);
  EXPECT_EQ(s.max_ns, 1000u);
}

TEST(LoadStatsTest, SingleSampleIsEveryPercentile) {
  std::vector<uint64_t> samples = {7};
  const LatencySummary s = summarize_latencies(samples);
  EXPECT_EQ(s.p50_ns, 7u);
  EXPECT_EQ(s.p99_ns, 7u);
  EXPECT_EQ(s.max_ns, 7u);
}

TEST(LoadStatsTest, OutlierShowsOnlyInTheTail) {
  std::vector<uint64_t> samples(1000, 50);
  samples[123] = 90000;
  const LatencySummary s = summarize_latencies(samples);
  EXPECT_EQ(s.p50_ns, 50u);
  EXPECT_EQ(s.p99_ns, 50u);
  EXPECT_EQ(s.max_ns, 90000u);
}

TEST(LoadStatsTest, EmptyGivesZeros) {
  std::vector<uint64_t> samples;
  const LatencySummary s = summarize_latencies(samples);
  EXPECT_EQ(s.max_ns, 0u);
}

TEST(LoadStatsTest, ParsesVmRssLine) {
  EXPECT_EQ(parse_vm_rss_kb("Name:\tquillod\nVmPeak:\t 9999 kB\n"
                            "VmRSS:\t    4312 kB\nRssAnon:\t 1000 kB\n"),
            4312);
  EXPECT_EQ(parse_vm_rss_kb("Name:\tkthreadd\nState:\tS\n"), -1);
  EXPECT_EQ(parse_vm_rss_kb("VmRSS:\tgarbage\n"), -1);
}

TEST(LoadStatsTest, ReadsOwnRss) {
  EXPECT_GT(read_vm_rss_kb(getpid()), 0);
  EXPECT_EQ(read_vm_rss_kb(-5), -1);
}

}  // namespace
