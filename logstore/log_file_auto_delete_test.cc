#include <sys/statfs.h>
#include <sys/vfs.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logstore/log_file.h"
#include "logstore/log_test_util.h"

namespace {

using namespace quillo;
using logtest::local_time;
using logtest::make_dir;
using logtest::read_file;
using logtest::write_file;

// A LogFile whose log volume reports a chosen free-space figure.
class FixedFreeLogFile : public LogFile {
 public:
  FixedFreeLogFile(const std::string& root, const std::string& state_dir,
                   int free)
      : LogFile(LogKind::kAccess, root, state_dir), free_(free) {}

 protected:
  int free_percent() const override { return free_; }

 private:
  int free_;
};

bool exists(const std::string& path) { return logtest::file_mode(path) >= 0; }

// An access-log tree with files of every sort, judged at 2027-01-05 12:00
// local time with a 30-day limit.
class AutoDeleteTest : public ::testing::Test {
 protected:
  AutoDeleteTest()
      : zone_("Europe/Berlin"),
        root_(tmp_.path() + "/root"),
        kind_(root_ + "/accesslog"),
        now_(local_time(2027, 1, 5, 12, 0, 0)) {}

  void SetUp() override {
    ASSERT_TRUE(make_dir(root_));
    ASSERT_TRUE(make_dir(tmp_.path() + "/state"));
    ASSERT_TRUE(make_dir(kind_));
    for (const char* dir :
         {"202610", "202611", "202612", "2026", "20261101", "202613"}) {
      ASSERT_TRUE(make_dir(kind_ + "/" + dir));
    }
    for (const std::string& f : all_files()) ASSERT_TRUE(write_file(f, "x"));
  }

  std::set<std::string> all_files() const {
    return {kind_ + "/202611/access_20261101000000.csv",     // old
            kind_ + "/202612/access_20261201000000.csv",     // old
            kind_ + "/202612/access_20261215000000.csv",     // too young
            kind_ + "/202611/system_20261101000000.csv",     // other kind
            kind_ + "/202611/access_20261101000000.txt",     // other suffix
            kind_ + "/202611/notes.csv",                     // no prefix
            kind_ + "/access_20260101000000.csv",            // in kind dir
            kind_ + "/2026/access_20260101000000.csv",       // 4-digit dir
            kind_ + "/20261101/access_20261101000000.csv",   // 8-digit dir
            // Not exactly a name the writer makes: left alone.
            kind_ + "/202611/access_20261101000000_copy.csv",
            kind_ + "/202611/access_2026110100000099.csv",
            kind_ + "/202611/access_x20261101000000.csv",
            kind_ + "/202611/access_20261131000000.csv",   // 31 November
            kind_ + "/202613/access_20261101000000.csv"};  // month 13
  }
  std::set<std::string> old_files() const {
    return {kind_ + "/202611/access_20261101000000.csv",
            kind_ + "/202612/access_20261201000000.csv"};
  }
  std::set<std::string> surviving() const {
    std::set<std::string> left;
    for (const std::string& f : all_files()) {
      if (exists(f)) left.insert(f);
    }
    return left;
  }
  std::set<std::string> all_but_old() const {
    std::set<std::string> left = all_files();
    for (const std::string& f : old_files()) left.erase(f);
    return left;
  }

  std::unique_ptr<FixedFreeLogFile> make_log(int free, int percent) const {
    auto log =
        std::make_unique<FixedFreeLogFile>(root_, tmp_.path() + "/state", free);
    log->autodelete_enabled = true;
    log->expire_days = 30;
    log->expire_percent = percent;
    return log;
  }

  logtest::TempDir tmp_;
  logtest::ScopedTimeZone zone_;
  std::string root_;
  std::string kind_;
  int64_t now_;
};

TEST_F(AutoDeleteTest, DeletesOnlyExpiredFilesOfTheKind) {
  auto log = make_log(5, 10);
  log->auto_delete(now_);
  EXPECT_EQ(surviving(), all_but_old());
  // Directories stay, even when emptied or empty from the start.
  EXPECT_TRUE(exists(kind_ + "/202610"));
  EXPECT_TRUE(exists(kind_ + "/202611"));
}

TEST_F(AutoDeleteTest, DisabledPassDeletesNothing) {
  auto log = make_log(0, 100);
  log->autodelete_enabled = false;
  log->auto_delete(now_);
  EXPECT_EQ(surviving(), all_files());
}

TEST_F(AutoDeleteTest, RealVolumeIsNeverAboveOneHundredPercent) {
  LogFile log(LogKind::kAccess, root_, tmp_.path() + "/state");
  log.autodelete_enabled = true;
  log.expire_days = 30;
  log.expire_percent = 100;
  ASSERT_EQ(log.write_line(now_, "line"), 0);
  EXPECT_EQ(surviving(), all_but_old());
}

struct PercentCase {
  int free;
  int percent;
  bool runs;
};

class AutoDeletePercentTest
    : public AutoDeleteTest,
      public ::testing::WithParamInterface<PercentCase> {};

TEST_P(AutoDeletePercentTest, RunsWhenFreeSpaceAtMostThreshold) {
  auto log = make_log(GetParam().free, GetParam().percent);
  log->auto_delete(now_);
  EXPECT_EQ(surviving(), GetParam().runs ? all_but_old() : all_files());
}

INSTANTIATE_TEST_SUITE_P(
    Boundary, AutoDeletePercentTest,
    ::testing::Values(PercentCase{11, 10, false}, PercentCase{10, 10, true},
                      PercentCase{9, 10, true}, PercentCase{1, 0, false},
                      PercentCase{0, 0, true}, PercentCase{100, 100, true}));

struct ExpiryCase {
  const char* zone;
  const char* name;
  int64_t now_offset;  // seconds after the local time 2026-12-01 00:00:00
  int32_t days;
  bool expired;
};

class IsExpiredTest : public ::testing::TestWithParam<ExpiryCase> {};

TEST_P(IsExpiredTest, JudgesAgeInWholeDays) {
  const ExpiryCase& c = GetParam();
  logtest::ScopedTimeZone zone(c.zone);
  LogFile log(LogKind::kAccess, "/r", "/s");
  log.expire_days = c.days;
  const int64_t now = local_time(2026, 12, 1, 0, 0, 0) + c.now_offset;
  EXPECT_EQ(log.is_expired(c.name, now), c.expired);
}

constexpr int64_t kDay = 86400;

INSTANTIATE_TEST_SUITE_P(
    Cases, IsExpiredTest,
    ::testing::Values(
        // Exactly 30 days is old enough; one second less is not.
        ExpiryCase{"UTC", "access_20261201000000.csv", 30 * kDay, 30, true},
        ExpiryCase{"UTC", "access_20261201000001.csv", 30 * kDay, 30, false},
        ExpiryCase{"Europe/Berlin", "access_20261201000000.csv", 30 * kDay, 30,
                   true},
        ExpiryCase{"Europe/Berlin", "access_20261201000001.csv", 30 * kDay, 30,
                   false},
        // A month directory counts from the first of its month.
        ExpiryCase{"Europe/Berlin", "202612", 30 * kDay, 30, true},
        ExpiryCase{"Europe/Berlin", "202612", 30 * kDay - 1, 30, false},
        // Clock set back: a stamp after "now" is never expired.
        ExpiryCase{"UTC", "access_20261201000001.csv", 0, 0, false},
        ExpiryCase{"UTC", "access_20261201000000.csv", 0, 0, true},
        ExpiryCase{"UTC", "access_20261201000000.csv", 0, -1, true},
        // No stamp, however old.
        ExpiryCase{"UTC", "access_.csv", 900 * kDay, 0, false},
        ExpiryCase{"UTC", "2026", 900 * kDay, 0, false},
        ExpiryCase{"UTC", "20261101", 900 * kDay, 0, false},
        ExpiryCase{"UTC", "202613", 900 * kDay, 0, false},
        ExpiryCase{"UTC", "access_20261101000000_1.csv", 900 * kDay, 0, false},
        ExpiryCase{"UTC", "system_20261101000000.csv", 900 * kDay, 0, false}));

// Across the spring change of 2026 (29 March) a local month holds one hour
// less, so 30 calendar days are only 29 whole days of 86400 s.
TEST(IsExpiredDstTest, CountsElapsedSecondsNotCalendarDays) {
  logtest::ScopedTimeZone zone("Europe/Berlin");
  LogFile log(LogKind::kAccess, "/r", "/s");
  log.expire_days = 30;
  EXPECT_FALSE(log.is_expired("access_20260301000000.csv",
                              local_time(2026, 3, 31, 0, 0, 0)));
  EXPECT_TRUE(log.is_expired("access_20260301000000.csv",
                             local_time(2026, 3, 31, 1, 0, 0)));
}

// With a zero-day limit the pass deletes even the current file, so every
// line lands in a fresh copy of it.
TEST_F(AutoDeleteTest, ZeroDaysNeverDeletesTheCurrentFile) {
  auto log = make_log(0, 10);
  log->expire_days = 0;
  ASSERT_EQ(log->write_line(now_, "one"), 0);
  ASSERT_EQ(log->write_line(now_ + 1, "two"), 0);
  // A second writer, as the next request makes, spares it too.
  ASSERT_EQ(make_log(0, 10)->write_line(now_ + 2, "three"), 0);
  const std::string current = kind_ + "/202701/access_20270105120000.csv";
  EXPECT_EQ(read_file(current), "\xEF\xBB\xBFone\r\ntwo\r\nthree\r\n");
  EXPECT_EQ(read_file(tmp_.path() + "/state/access_info"),
            "access_20270105120000.csv\n3\n");
}

TEST_F(AutoDeleteTest, CurrentFileIsSparedPastItsAge) {
  const std::string current = kind_ + "/202701/access_20270105120000.csv";
  ASSERT_EQ(make_log(5, 10)->write_line(now_, "first"), 0);
  auto log = make_log(5, 10);
  log->expire_days = 7;
  // Eight days on, in the same month: the file's stamp is past the limit.
  ASSERT_EQ(log->write_line(now_ + 8 * 86400, "later"), 0);
  EXPECT_EQ(read_file(current),
            "\xEF\xBB\xBF"
            "first\r\nlater\r\n");
  for (const std::string& f : old_files()) EXPECT_FALSE(exists(f)) << f;
}

TEST_F(AutoDeleteTest, AgesAreJudgedByTheDaemonsClock) {
  auto log = make_log(5, 10);
  // A line from 2038 lands in its own file; the ages are those at `now_`.
  ASSERT_EQ(log->write_line(2147483647, "far", now_), 0);
  EXPECT_EQ(surviving(), all_but_old());
}

TEST(FreeSpacePercentTest, UnknownSpaceCountsAsFree) {
  EXPECT_EQ(free_space_percent("/nonexistent/quillo/logs"), 100);
  struct statfs fs;
  if (statfs("/proc", &fs) != 0 || fs.f_blocks != 0) {
    GTEST_SKIP() << "/proc does not report zero blocks here";
  }
  EXPECT_EQ(free_space_percent("/proc"), 100);
}

}  // namespace
