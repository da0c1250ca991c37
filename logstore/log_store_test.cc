// The log store over a long run: one writer per kind kept open, the tree
// checked at every row, and the observers' view of it.

#include "logstore/log_store.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
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
  // `lines` lines "old".
  static std::string Old(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) text += "old\r\n";
    return text;
  }
  // The system file of second 0 with `lines` whole lines, as the state says.
  void PrefillSystemFile(int lines) {
    ASSERT_TRUE(logtest::make_dir(root_ + "/systemlog"));
    ASSERT_TRUE(logtest::make_dir(month_));
    ASSERT_TRUE(write_file(path_, kBom + Old(lines)));
    ASSERT_TRUE(write_file(state_ + "/system_info",
                           "system_20261207093000.csv\n" +
                               std::to_string(lines) + "\n"));
  }

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
  PrefillSystemFile(65534);
  // The file named by the state is continued: no roll.
  ASSERT_TRUE(Write(10, "last"));
  EXPECT_EQ(State(), "system_20261207093000.csv\n65535\n");
  ASSERT_TRUE(Write(11, "next"));
  const std::string next = month_ + "/system_20261207093011.csv";
  EXPECT_EQ(read_file(path_), kBom + Old(65534) + Line(10, "last") + "\r\n");
  EXPECT_EQ(read_file(next), kBom + Line(11, "next") + "\r\n");
  EXPECT_EQ(State(), "system_20261207093011.csv\n1\n");
  EXPECT_THAT(observer_.take(),
              ElementsAre("prepared system " + Line(10, "last"), "done",
                          "rolled system " + path_ + " -> " + next,
                          "prepared system " + Line(11, "next"), "done"));
}

TEST_F(LogStoreTest, CopiesGoInOnePassAndRollOverAtTheLimit) {
  PrefillSystemFile(65533);
  // Two lines fill the file; the other three start the next one.
  EXPECT_EQ(store_.write_copies(Row(10, "x"), 5, Row(10, "x").time, &counts_),
            5u);
  const std::string next = month_ + "/system_20261207093010.csv";
  const std::string line = Line(10, "x") + "\r\n";
  EXPECT_EQ(read_file(path_), kBom + Old(65533) + line + line);
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

// Notes the size of one file at every call: what the file held when each
// row was prepared and when each was done.
class SizeWatcher final : public RowObserver {
 public:
  explicit SizeWatcher(std::string path) : path_(std::move(path)) {}
  void row_prepared(const LogRow&, std::string_view) noexcept override {
    prepared.push_back(size());
  }
  void row_done(bool) noexcept override { done.push_back(size()); }
  std::vector<long> prepared;
  std::vector<long> done;

 private:
  long size() const {
    struct stat st;
    return ::stat(path_.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
  }
  const std::string path_;
};

// Lets writes fail past `limit` bytes of a file (EFBIG instead of SIGXFSZ)
// while it lives.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t limit) {
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &old_);
    struct rlimit lowered = old_;
    lowered.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;
  ~ScopedFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, old_handler_);
  }

 private:
  struct rlimit old_ {};
  void (*old_handler_)(int) = SIG_DFL;
};

// Rows of all kinds in one batch: every row offered before the first write,
// each kind's lines in its file (the system kind rolling over at the limit
// between two of them), the kind without a root refused alone, and every
// outcome told after the last write, in batch order.
TEST_F(LogStoreTest, BatchWritesEachKindInOnePassInBatchOrder) {
  PrefillSystemFile(kMaxLinesPerFile - 2);
  store_.set_root(LogKind::kAccess, root_);
  SizeWatcher watcher(path_);
  store_.add_observer(&watcher);
  const int64_t t = local_time(2026, 12, 7, 9, 30, 10);
  const LogRow access{LogKind::kAccess, t, {"u", "h", "i", "op", "ok", "s", "p"}};
  std::vector<BatchRow> batch = {
      {Row(10, "a"), false}, {access, false},
      {{LogKind::kAlert, t, access.columns}, true}, {Row(10, "b"), false},
      {Row(11, "c"), false}, {access, false}};
  const long before = static_cast<long>(read_file(path_).size());

  EXPECT_EQ(store_.write_batch(batch, t, &counts_), 5u);

  std::vector<bool> written;
  for (const BatchRow& entry : batch) written.push_back(entry.written);
  EXPECT_THAT(written, ElementsAre(true, true, false, true, true, true));
  const std::string next = month_ + "/system_20261207093011.csv";
  const std::string access_path =
      root_ + "/accesslog/202612/access_20261207093010.csv";
  const std::string access_line = "2026/12/07 09:30:10,u,h,i,op,ok,s,p";
  const std::string full = read_file(path_);
  EXPECT_EQ(full.substr(static_cast<std::size_t>(before)),
            Line(10, "a") + "\r\n" + Line(10, "b") + "\r\n");
  EXPECT_EQ(read_file(next), kBom + Line(11, "c") + "\r\n");
  EXPECT_EQ(State(), "system_20261207093011.csv\n1\n");
  EXPECT_EQ(read_file(access_path),
            kBom + access_line + "\r\n" + access_line + "\r\n");
  EXPECT_EQ(read_file(state_ + "/access_info"),
            "access_20261207093010.csv\n2\n");
  EXPECT_EQ(read_file(state_ + "/alert_info"), "<missing>");
  EXPECT_THAT(
      observer_.take(),
      ElementsAre("prepared system " + Line(10, "a"),
                  "prepared access " + access_line,
                  "prepared alert " + access_line,
                  "prepared system " + Line(10, "b"),
                  "prepared system " + Line(11, "c"),
                  "prepared access " + access_line,
                  "rolled system " + path_ + " -> " + next,
                  "rolled access  -> " + access_path, "done", "done",
                  "not written", "done", "done", "done"));
  // The full file was untouched while rows were offered and complete when
  // the first was done.
  const long after = static_cast<long>(full.size());
  EXPECT_THAT(watcher.prepared, ::testing::Each(before));
  EXPECT_THAT(watcher.done, ::testing::Each(after));
  EXPECT_EQ(watcher.done.size(), batch.size());
}

// A write of the batch's lines that fails part way leaves none of them:
// the file is cut back to what it held, its rows count as not written, and
// the other kind's rows are written all the same.
TEST_F(LogStoreTest, BatchWriteThatFailsLeavesNoneOfItsLines) {
  ASSERT_TRUE(Write(0, "first"));
  store_.set_root(LogKind::kAccess, root_);
  const std::string before = read_file(path_);
  const int64_t t = local_time(2026, 12, 7, 9, 30, 1);
  const LogRow access{LogKind::kAccess, t, {"u", "h", "i", "op", "ok", "s", "p"}};
  std::vector<BatchRow> batch = {{Row(1, "r1"), false},
                                 {Row(1, "r2"), false},
                                 {access, false},
                                 {Row(1, "r3"), false}};
  {
    // Room for one more system line and a half, and for the access file.
    const ScopedFileSizeLimit limit(before.size() + Line(1, "r1").size() + 16);
    EXPECT_EQ(store_.write_batch(batch, t), 1u);
  }
  EXPECT_FALSE(batch[0].written);
  EXPECT_FALSE(batch[1].written);
  EXPECT_TRUE(batch[2].written);
  EXPECT_FALSE(batch[3].written);
  EXPECT_EQ(read_file(path_), before);
  EXPECT_EQ(State(), "system_20261207093000.csv\n1\n");
  EXPECT_EQ(read_file(state_ + "/access_info"),
            "access_20261207093001.csv\n1\n");

  // The next batch opens the file again and continues it.
  std::vector<BatchRow> again = {{Row(2, "r4"), false}};
  EXPECT_EQ(store_.write_batch(again, t), 1u);
  EXPECT_EQ(read_file(path_), before + Line(2, "r4") + "\r\n");
  EXPECT_EQ(State(), "system_20261207093000.csv\n2\n");
}

// What a crash can leave: half a line at the end of the current file (a
// kill during its write) and a count behind its lines (a kill before the
// state's save). The first row of the writer finds both, for every kind:
// the half line is cut off, the count taken from the file and saved, and
// the line limit holds by the lines really there.
TEST_F(LogStoreTest, FirstRowChecksTheStateAgainstItsFile) {
  PrefillSystemFile(12);
  ASSERT_TRUE(write_file(path_, read_file(path_) + "2026/12/07 09:30:00,ha"));
  ASSERT_TRUE(write_file(state_ + "/system_info",
                         "system_20261207093000.csv\n10\n"));
  // Only the mark and half a line; the state counts lines that are gone.
  store_.set_root(LogKind::kAccess, root_);
  const std::string access_dir = root_ + "/accesslog/202612";
  ASSERT_TRUE(logtest::make_dir(root_ + "/accesslog"));
  ASSERT_TRUE(logtest::make_dir(access_dir));
  ASSERT_TRUE(write_file(access_dir + "/access_20261207093000.csv",
                         kBom + "2026/12/07 09:3"));
  ASSERT_TRUE(write_file(state_ + "/access_info",
                         "access_20261207093000.csv\n5\n"));
  // A full file whose last line the state missed.
  store_.set_root(LogKind::kAlert, root_);
  const std::string alert_dir = root_ + "/alertlog/202612";
  ASSERT_TRUE(logtest::make_dir(root_ + "/alertlog"));
  ASSERT_TRUE(logtest::make_dir(alert_dir));
  const std::string alert_path = alert_dir + "/alert_20261207093000.csv";
  ASSERT_TRUE(write_file(alert_path, kBom + Old(kMaxLinesPerFile)));
  ASSERT_TRUE(write_file(state_ + "/alert_info",
                         "alert_20261207093000.csv\n65534\n"));

  const int64_t t = local_time(2026, 12, 7, 9, 30, 1);
  const LogRow access{LogKind::kAccess, t, {"u", "h", "i", "op", "ok", "s", "p"}};
  std::vector<BatchRow> batch = {{Row(1, "new"), false},
                                 {access, false},
                                 {{LogKind::kAlert, t, access.columns}, false}};
  EXPECT_EQ(store_.write_batch(batch, t), 3u);

  EXPECT_EQ(read_file(path_), kBom + Old(12) + Line(1, "new") + "\r\n");
  EXPECT_EQ(State(), "system_20261207093000.csv\n13\n");
  const std::string line = "2026/12/07 09:30:01,u,h,i,op,ok,s,p\r\n";
  EXPECT_EQ(read_file(access_dir + "/access_20261207093000.csv"), kBom + line);
  EXPECT_EQ(read_file(state_ + "/access_info"),
            "access_20261207093000.csv\n1\n");
  const std::string next_alert = alert_dir + "/alert_20261207093001.csv";
  EXPECT_EQ(read_file(alert_path), kBom + Old(kMaxLinesPerFile));
  EXPECT_EQ(read_file(next_alert), kBom + line);
  EXPECT_EQ(read_file(state_ + "/alert_info"), "alert_20261207093001.csv\n1\n");
  // The system and access files are continued; only the full one rolls.
  std::vector<std::string> rolls;
  for (const std::string& event : observer_.take()) {
    if (event.rfind("rolled", 0) == 0) rolls.push_back(event);
  }
  EXPECT_THAT(rolls,
              ElementsAre("rolled alert " + alert_path + " -> " + next_alert));
}

}  // namespace
