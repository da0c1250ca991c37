// The log store over a long run: one writer per kind kept open, the tree
// checked at every row, and the observers' view of it.

#include "logstore/log_store.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logstore/log_test_util.h"

namespace {

using namespace quillo;
using logtest::local_time;
using logtest::read_file;
using logtest::write_file;
using ::testing::ElementsAre;

const std::string kBom = "\xEF\xBB\xBF";

// Writes down every call in order, as text.
class RecordingObserver final : public RowObserver {
 public:
  void row_prepared(const LogRow& row, std::string_view line) noexcept override {
    events.push_back("prepared " + std::string(kind_info(row.kind).name) + " " +
                     std::string(line));
  }
  void row_done(bool written) noexcept override {
    events.push_back(written ? "done" : "not written");
  }
  void file_rolled(LogKind kind, const std::string& old_path,
                   const std::string& new_path) noexcept override {
    events.push_back("rolled " + std::string(kind_info(kind).name) + " " +
                     old_path + " -> " + new_path);
  }
  std::vector<std::string> take() { return std::move(events); }
  std::vector<std::string> events;
};

int open_descriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

class LogStoreTest : public ::testing::Test {
 protected:
  LogStoreTest() {
    store_.add_observer(&observer_);
    store_.set_root(LogKind::kSystem, root_);
  }

  // A system row at 2026-12-07 09:30:<second> UTC.
  static LogRow Row(int second, const std::string& text) {
    return LogRow{LogKind::kSystem, local_time(2026, 12, 7, 9, 30, second),
                  {text, "b", "c"}};
  }
  static std::string Line(int second, const std::string& text) {
    return "2026/12/07 09:30:" + std::string(second < 10 ? "0" : "") +
           std::to_string(second) + "," + text + ",b,c";
  }
  bool Write(int second, const std::string& text) {
    return store_.write(Row(second, text), Row(second, text).time, &counts_);
  }
  std::string State() const { return read_file(state_ + "/system_info"); }

  logtest::ScopedTimeZone zone_{"UTC"};
  logtest::TempDir tmp_;
  std::string root_ = tmp_.dir("root");
  std::string state_ = tmp_.dir("state");
  std::string month_ = root_ + "/systemlog/202612";
  std::string path_ = month_ + "/system_20261207093000.csv";
  LogStore store_{state_};
  RecordingObserver observer_;
  WriteCounts counts_;
};

TEST_F(LogStoreTest, OneOpenFileServesManyRows) {
  ASSERT_TRUE(Write(0, "first"));
  const int descriptors = open_descriptors();
  std::string expected = kBom + Line(0, "first") + "\r\n";
  for (int i = 1; i < 50; ++i) {
    ASSERT_TRUE(Write(i, "r" + std::to_string(i)));
    expected += Line(i, "r" + std::to_string(i)) + "\r\n";
  }
  EXPECT_TRUE(store_.file(LogKind::kSystem).is_open());
  EXPECT_EQ(open_descriptors(), descriptors);
  EXPECT_EQ(read_file(path_), expected);
  EXPECT_EQ(State(), "system_20261207093000.csv\n50\n");
  const std::vector<std::string> events = observer_.take();
  ASSERT_EQ(events.size(), 1u + 2u * 50u);
  EXPECT_EQ(events[0], "rolled system  -> " + path_);
  EXPECT_EQ(events[1], "prepared system " + Line(0, "first"));
  EXPECT_EQ(events[2], "done");
}

TEST_F(LogStoreTest, NoticesEveryChangeUnderTheOpenFile) {
  ASSERT_TRUE(Write(0, "one"));
  observer_.take();

  // Removed: made again under its name, counted from one.
  ASSERT_EQ(unlink(path_.c_str()), 0);
  ASSERT_TRUE(Write(1, "two"));
  EXPECT_EQ(read_file(path_), kBom + Line(1, "two") + "\r\n");
  EXPECT_EQ(State(), "system_20261207093000.csv\n1\n");

  // Renamed away: the renamed file keeps what it had.
  ASSERT_EQ(rename(path_.c_str(), (path_ + ".moved").c_str()), 0);
  ASSERT_TRUE(Write(2, "three"));
  EXPECT_EQ(read_file(path_ + ".moved"), kBom + Line(1, "two") + "\r\n");
  EXPECT_EQ(read_file(path_), kBom + Line(2, "three") + "\r\n");

  // A link in its place: refused and counted, its target untouched.
  const std::string target = tmp_.path() + "/target";
  ASSERT_TRUE(write_file(target, "keep"));
  ASSERT_EQ(unlink(path_.c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  EXPECT_FALSE(Write(3, "four"));
  EXPECT_EQ(read_file(target), "keep");
  EXPECT_EQ(counts_.unsafe_entries, 1u);
  ASSERT_EQ(unlink(path_.c_str()), 0);

  // The month folder swapped for a fresh one.
  ASSERT_EQ(rename(month_.c_str(), (month_ + ".old").c_str()), 0);
  ASSERT_EQ(mkdir(month_.c_str(), 0755), 0);
  ASSERT_TRUE(Write(4, "five"));
  EXPECT_EQ(read_file(path_), kBom + Line(4, "five") + "\r\n");

  // Another log root.
  const std::string other = tmp_.dir("other");
  store_.set_root(LogKind::kSystem, other);
  ASSERT_TRUE(Write(5, "six"));
  const std::string moved = other + "/systemlog/202612/system_20261207093000.csv";
  EXPECT_EQ(read_file(moved), kBom + Line(5, "six") + "\r\n");
  EXPECT_EQ(State(), "system_20261207093000.csv\n1\n");

  const std::string rolled = "rolled system " + path_ + " -> " + path_;
  EXPECT_THAT(
      observer_.take(),
      ElementsAre(rolled, "prepared system " + Line(1, "two"), "done",
                  rolled, "prepared system " + Line(2, "three"), "done",
                  "prepared system " + Line(3, "four"), "not written",
                  rolled, "prepared system " + Line(4, "five"), "done",
                  "rolled system " + path_ + " -> " + moved,
                  "prepared system " + Line(5, "six"), "done"));
}

TEST_F(LogStoreTest, ModeOfTheOpenFileIsSetBackAtTheNextRow) {
  ASSERT_TRUE(Write(0, "one"));
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  ASSERT_TRUE(Write(1, "two"));
  EXPECT_EQ(logtest::file_mode(path_), 0666);
}

TEST_F(LogStoreTest, FifoInPlaceOfTheFileIsRefused) {
  ASSERT_TRUE(Write(0, "one"));
  ASSERT_EQ(unlink(path_.c_str()), 0);
  ASSERT_EQ(mkfifo(path_.c_str(), 0666), 0);
  EXPECT_FALSE(Write(1, "two"));
  EXPECT_EQ(counts_.unsafe_entries, 1u);
  EXPECT_EQ(State(), "system_20261207093000.csv\n1\n");
}

// The state kept in memory is the state file's only while that file stays:
// one removed is read as after a restart (none: a new file).
TEST_F(LogStoreTest, RemovedStateFileCountsAsNone) {
  ASSERT_TRUE(Write(0, "one"));
  ASSERT_TRUE(Write(1, "two"));
  ASSERT_EQ(unlink((state_ + "/system_info").c_str()), 0);
  ASSERT_TRUE(Write(5, "three"));
  const std::string next = month_ + "/system_20261207093005.csv";
  EXPECT_EQ(read_file(next), kBom + Line(5, "three") + "\r\n");
  EXPECT_EQ(State(), "system_20261207093005.csv\n1\n");
  const std::vector<std::string> events = observer_.take();
  ASSERT_EQ(events.size(), 8u);
  EXPECT_EQ(events[5], "rolled system " + path_ + " -> " + next);
}

// A count set by hand in the state file is taken at the next row.
TEST_F(LogStoreTest, StateEditedInPlaceIsReadAgain) {
  ASSERT_TRUE(Write(0, "one"));
  ASSERT_TRUE(write_file(state_ + "/system_info",
                         "system_20261207093000.csv\n65535\n"));
  ASSERT_TRUE(Write(1, "two"));
  EXPECT_EQ(read_file(path_), kBom + Line(0, "one") + "\r\n");
  EXPECT_EQ(read_file(month_ + "/system_20261207093001.csv"),
            kBom + Line(1, "two") + "\r\n");
  EXPECT_EQ(State(), "system_20261207093001.csv\n1\n");
}

TEST_F(LogStoreTest, RollOverAtTheLimitIsOneRoll) {
  ASSERT_TRUE(logtest::make_dir(root_ + "/systemlog"));
  ASSERT_TRUE(logtest::make_dir(month_));
  ASSERT_TRUE(write_file(path_, kBom + "old\r\n"));
  ASSERT_TRUE(write_file(state_ + "/system_info",
                         "system_20261207093000.csv\n65534\n"));
  // The file named by the state is continued: no roll.
  ASSERT_TRUE(Write(10, "last"));
  EXPECT_EQ(State(), "system_20261207093000.csv\n65535\n");
  ASSERT_TRUE(Write(11, "next"));
  const std::string next = month_ + "/system_20261207093011.csv";
  EXPECT_EQ(read_file(path_), kBom + "old\r\n" + Line(10, "last") + "\r\n");
  EXPECT_EQ(read_file(next), kBom + Line(11, "next") + "\r\n");
  EXPECT_EQ(State(), "system_20261207093011.csv\n1\n");
  EXPECT_THAT(observer_.take(),
              ElementsAre("prepared system " + Line(10, "last"), "done",
                          "rolled system " + path_ + " -> " + next,
                          "prepared system " + Line(11, "next"), "done"));
}

TEST_F(LogStoreTest, CopiesGoInOnePassAndRollOverAtTheLimit) {
  ASSERT_TRUE(logtest::make_dir(root_ + "/systemlog"));
  ASSERT_TRUE(logtest::make_dir(month_));
  ASSERT_TRUE(write_file(path_, kBom + "old\r\n"));
  ASSERT_TRUE(write_file(state_ + "/system_info",
                         "system_20261207093000.csv\n65533\n"));
  // Two lines fill the file; the other three start the next one.
  EXPECT_EQ(store_.write_copies(Row(10, "x"), 5, Row(10, "x").time, &counts_),
            5u);
  const std::string next = month_ + "/system_20261207093010.csv";
  const std::string line = Line(10, "x") + "\r\n";
  EXPECT_EQ(read_file(path_), kBom + "old\r\n" + line + line);
  EXPECT_EQ(read_file(next), kBom + line + line + line);
  EXPECT_EQ(State(), "system_20261207093010.csv\n3\n");
  const std::string prepared = "prepared system " + Line(10, "x");
  EXPECT_THAT(observer_.take(),
              ElementsAre(prepared, "done", prepared, "done",
                          "rolled system " + path_ + " -> " + next, prepared,
                          "done", prepared, "done", prepared, "done"));
  // Without a root nothing is written, and each copy is told so.
  store_.set_root(LogKind::kSystem, "");
  EXPECT_EQ(store_.write_copies(Row(11, "y"), 2, Row(11, "y").time), 0u);
  EXPECT_THAT(observer_.take(),
              ElementsAre("prepared system " + Line(11, "y"), "not written",
                          "prepared system " + Line(11, "y"), "not written"));
}

TEST_F(LogStoreTest, KindsKeepTheirOwnFilesAndState) {
  store_.set_root(LogKind::kAccess, root_);
  store_.set_root(LogKind::kAlert, root_);
  const int64_t t = local_time(2026, 12, 7, 9, 30, 0);
  const LogRow access{LogKind::kAccess, t, {"u", "h", "i", "op", "ok", "s", "p"}};
  std::string line;
  ASSERT_TRUE(store_.write(access, t, nullptr, &line));
  EXPECT_EQ(line, "2026/12/07 09:30:00,u,h,i,op,ok,s,p");
  ASSERT_TRUE(store_.write({LogKind::kAlert, t, access.columns}, t));
  ASSERT_TRUE(Write(0, "sys"));
  EXPECT_EQ(read_file(root_ + "/accesslog/202612/access_20261207093000.csv"),
            kBom + line + "\r\n");
  EXPECT_EQ(read_file(root_ + "/alertlog/202612/alert_20261207093000.csv"),
            kBom + line + "\r\n");
  EXPECT_EQ(read_file(state_ + "/alert_info"), "alert_20261207093000.csv\n1\n");
  EXPECT_EQ(State(), "system_20261207093000.csv\n1\n");
}

TEST_F(LogStoreTest, AlertLogIsNeverAutoDeleted) {
  store_.set_auto_delete(LogKind::kAlert, {true, 0, 100});
  store_.set_auto_delete(LogKind::kSystem, {true, 30, 5});
  EXPECT_FALSE(store_.file(LogKind::kAlert).autodelete_enabled);
  EXPECT_TRUE(store_.file(LogKind::kSystem).autodelete_enabled);
  EXPECT_EQ(store_.file(LogKind::kSystem).expire_days, 30);
  EXPECT_EQ(store_.file(LogKind::kSystem).expire_percent, 5);
}

TEST_F(LogStoreTest, NoRootWritesNothingButTellsTheObservers) {
  store_.set_root(LogKind::kSystem, "");
  EXPECT_FALSE(Write(0, "x"));
  EXPECT_THAT(observer_.take(),
              ElementsAre("prepared system " + Line(0, "x"), "not written"));
  EXPECT_EQ(State(), "<missing>");
}

}  // namespace
