#include "logstore/log_file.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logstore/file_name.h"
#include "logstore/log_names.h"
#include "logstore/log_test_util.h"

namespace {

using namespace quillo;
using logtest::file_mode;
using logtest::local_time;
using logtest::read_file;
using logtest::write_file;

const std::string kBom = "\xEF\xBB\xBF";

// A log root and a state directory in a private tree, with the system-log
// kind, in a zone with daylight saving.
class LogFileTest : public ::testing::Test {
 protected:
  LogFileTest()
      : zone_("Europe/Berlin"),
        root_(tmp_.path() + "/root"),
        state_dir_(tmp_.path() + "/state") {}

  void SetUp() override {
    ASSERT_TRUE(logtest::make_dir(root_));
    ASSERT_TRUE(logtest::make_dir(state_dir_));
  }

  std::unique_ptr<LogFile> make_log() const {
    return std::make_unique<LogFile>(LogKind::kSystem, root_, state_dir_);
  }
  std::string state() const { return read_file(state_dir_ + "/system_info"); }
  std::string file(const std::string& month, const std::string& name) const {
    return read_file(root_ + "/systemlog/" + month + "/" + name);
  }
  // `lines` lines "x".
  static std::string filler(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) text += "x\r\n";
    return text;
  }
  // Appends filler(lines) to the file of `t` and counts them in its state,
  // as that many writes would.
  void fill(int64_t t, int lines) const {
    auto log = make_log();
    log->load_state();
    const std::string path = root_ + "/systemlog/" + month_folder_name(t) +
                             "/" + log->current_name;
    ASSERT_TRUE(write_file(path, read_file(path) + filler(lines)));
    log->line_count += lines;
    log->save_state();
  }
  // Writes one line through a fresh LogFile, as one request does.
  int write_one(int64_t t, const std::string& line) const {
    return make_log()->write_line(t, line);
  }

  logtest::TempDir tmp_;
  logtest::ScopedTimeZone zone_;
  std::string root_;
  std::string state_dir_;
};

TEST_F(LogFileTest, ConstructorSetsPathsAndOpensNothing) {
  LogFile log(LogKind::kAccess, "/r/", "/s");
  EXPECT_EQ(log.base_dir, "/r/");
  EXPECT_EQ(log.log_dir, "/r/accesslog");
  EXPECT_EQ(log.state_path, "/s/access_info");
  EXPECT_EQ(log.current_path, "");
  EXPECT_EQ(log.current_name, "");
  EXPECT_EQ(log.line_count, 0);
  EXPECT_FALSE(log.autodelete_enabled);
  EXPECT_FALSE(log.is_open());
}

TEST_F(LogFileTest, NewFileGetsByteOrderMarkOnceAcrossRequests) {
  const int64_t t = local_time(2026, 12, 7, 9, 30, 15);
  ASSERT_EQ(write_one(t, "a,b,c"), 0);
  ASSERT_EQ(write_one(t + 1, "d,,e"), 0);
  EXPECT_EQ(file("202612", "system_20261207093015.csv"),
            kBom + "a,b,c\r\nd,,e\r\n");
  EXPECT_EQ(state(), "system_20261207093015.csv\n2\n");
}

TEST_F(LogFileTest, ModesIgnoreUmask) {
  const mode_t old = umask(077);
  const int rc = write_one(local_time(2026, 12, 7, 9, 30, 15), "x");
  umask(old);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(file_mode(root_ + "/systemlog"), 0777);
  EXPECT_EQ(file_mode(root_ + "/systemlog/202612"), 0777);
  EXPECT_EQ(file_mode(root_ + "/systemlog/202612/system_20261207093015.csv"),
            0666);
  // The state file keeps the process default.
  EXPECT_EQ(file_mode(state_dir_ + "/system_info"), 0600);
}

TEST_F(LogFileTest, YearBoundaryStartsNewFileInNewMonthDirectory) {
  auto log = make_log();
  ASSERT_EQ(log->write_line(local_time(2026, 12, 31, 23, 59, 59), "old"), 0);
  ASSERT_EQ(log->write_line(local_time(2027, 1, 1, 0, 0, 0), "new"), 0);
  EXPECT_EQ(file("202612", "system_20261231235959.csv"), kBom + "old\r\n");
  EXPECT_EQ(file("202701", "system_20270101000000.csv"), kBom + "new\r\n");
  EXPECT_EQ(state(), "system_20270101000000.csv\n1\n");
}

TEST_F(LogFileTest, OlderLineStartsFileOfItsOwnMonthAndBack) {
  ASSERT_EQ(write_one(local_time(2027, 1, 5, 8, 0, 0), "jan"), 0);
  auto log = make_log();
  ASSERT_EQ(log->write_line(local_time(2026, 12, 20, 7, 0, 0), "queued"), 0);
  EXPECT_EQ(state(), "system_20261220070000.csv\n1\n");
  ASSERT_EQ(log->write_line(local_time(2027, 1, 5, 8, 0, 1), "now"), 0);
  EXPECT_EQ(file("202612", "system_20261220070000.csv"), kBom + "queued\r\n");
  EXPECT_EQ(file("202701", "system_20270105080000.csv"), kBom + "jan\r\n");
  EXPECT_EQ(file("202701", "system_20270105080001.csv"), kBom + "now\r\n");
  EXPECT_EQ(state(), "system_20270105080001.csv\n1\n");
}

TEST_F(LogFileTest, FileHoldsAtMost65535Lines) {
  const int64_t t = local_time(2026, 12, 7, 9, 30, 15);
  ASSERT_EQ(write_one(t, "first"), 0);
  fill(t, 65533);
  ASSERT_EQ(write_one(t + 60, "last"), 0);
  EXPECT_EQ(state(), "system_20261207093015.csv\n65535\n");
  ASSERT_EQ(write_one(t + 61, "next"), 0);
  EXPECT_EQ(file("202612", "system_20261207093015.csv"),
            kBom + "first\r\n" + filler(65533) + "last\r\n");
  EXPECT_EQ(file("202612", "system_20261207093116.csv"), kBom + "next\r\n");
  EXPECT_EQ(state(), "system_20261207093116.csv\n1\n");
}

TEST_F(LogFileTest, LimitIsExceededOnlyWithinTheStampSecond) {
  const int64_t t = local_time(2026, 12, 7, 9, 30, 15);
  ASSERT_EQ(write_one(t, "first"), 0);
  fill(t, 65534);
  ASSERT_EQ(write_one(t, "same second"), 0);
  EXPECT_EQ(state(), "system_20261207093015.csv\n65536\n");
  ASSERT_EQ(write_one(t + 1, "next second"), 0);
  EXPECT_EQ(file("202612", "system_20261207093015.csv"),
            kBom + "first\r\n" + filler(65534) + "same second\r\n");
  EXPECT_EQ(state(), "system_20261207093016.csv\n1\n");
}

TEST_F(LogFileTest, DeletedCurrentFileIsRecreatedUnderSameName) {
  const int64_t t = local_time(2026, 12, 7, 9, 30, 15);
  ASSERT_EQ(write_one(t, "one"), 0);
  ASSERT_EQ(write_one(t + 1, "two"), 0);
  const std::string path =
      root_ + "/systemlog/202612/system_20261207093015.csv";
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(write_one(t + 2, "three"), 0);
  EXPECT_EQ(read_file(path), kBom + "three\r\n");
  EXPECT_EQ(state(), "system_20261207093015.csv\n1\n");
}

TEST_F(LogFileTest, StateWithoutUsableStampStartsNewFile) {
  const int64_t t = local_time(2026, 12, 7, 9, 30, 15);
  for (const char* name :
       {"system_notes.csv", "system_2026120.csv", "system_2026120709301.csv"}) {
    ASSERT_TRUE(logtest::make_dir(root_ + "/systemlog"));
    ASSERT_TRUE(logtest::make_dir(root_ + "/systemlog/202612"));
    ASSERT_TRUE(write_file(root_ + "/systemlog/202612/" + std::string(name),
                           kBom + "x\r\n"));
    ASSERT_TRUE(
        write_file(state_dir_ + "/system_info", std::string(name) + "\n3\n"));
    ASSERT_EQ(write_one(t, "line"), 0) << name;
    EXPECT_EQ(state(), "system_20261207093015.csv\n1\n") << name;
    std::error_code ignored;
    std::filesystem::remove_all(root_ + "/systemlog", ignored);
  }
}

TEST_F(LogFileTest, SaveStateRewritesInPlaceExactly) {
  const std::string path = state_dir_ + "/system_info";
  ASSERT_TRUE(write_file(path, "system_20261207093015.csv\n12345\ntrailing"));
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  auto log = make_log();
  log->current_name = "system_20261208000000.csv";
  log->line_count = 7;
  log->save_state();
  EXPECT_EQ(state(), "system_20261208000000.csv\n7\n");
  EXPECT_EQ(file_mode(path), 0640);
}

struct StateCase {
  const char* content;
  const char* name;
  int32_t count;
};

constexpr char kName[] = "system_20261207093015.csv";

class LoadStateTest : public LogFileTest,
                      public ::testing::WithParamInterface<StateCase> {};

TEST_P(LoadStateTest, ParsesNameAndCount) {
  ASSERT_TRUE(write_file(state_dir_ + "/system_info", GetParam().content));
  auto log = make_log();
  log->load_state();
  EXPECT_EQ(log->current_name, GetParam().name);
  EXPECT_EQ(log->line_count, GetParam().count);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, LoadStateTest,
    ::testing::Values(StateCase{"system_20261207093015.csv\n7\n", kName, 7},
                      StateCase{"system_20261207093015.csv\n \t42x\n", kName,
                                42},
                      StateCase{"system_20261207093015.csv\n\n9\n", kName, 9},
                      StateCase{"system_20261207093015.csv", kName, 0},
                      StateCase{"system_20261207093015.csv\nlots\n", kName, 0},
                      StateCase{"system_20261207093015.csv\n-3\n", kName, -3},
                      StateCase{"system_20261207093015.csv\n99999999999\n",
                                kName, INT32_MAX},
                      StateCase{"../x/system_20261207093015.csv\n7\n", "", 7},
                      // Only the kind's own names, exactly as made.
                      StateCase{"a.csv\n7\n", "", 7},
                      StateCase{"access_20261207093015.csv\n7\n", "", 7},
                      StateCase{"system_20261207093015_old.csv\n7\n", "", 7},
                      StateCase{"system_20260231093015.csv\n7\n", "", 7},
                      StateCase{"", "", 0}));

TEST_F(LogFileTest, RestartContinuesCountedFile) {
  const int64_t t = local_time(2026, 12, 7, 9, 30, 15);
  ASSERT_EQ(write_one(t, "1"), 0);
  ASSERT_EQ(write_one(t + 100, "2"), 0);
  auto log = make_log();
  ASSERT_EQ(log->write_line(t + 200, "3"), 0);
  ASSERT_EQ(log->write_line(t + 300, "4"), 0);
  EXPECT_EQ(log->line_count, 4);
  EXPECT_EQ(file("202612", "system_20261207093015.csv"),
            kBom + "1\r\n2\r\n3\r\n4\r\n");
  EXPECT_EQ(state(), "system_20261207093015.csv\n4\n");
}

TEST_F(LogFileTest, MissingOrEmptyLogRootTouchesNothing) {
  for (const std::string& root : {root_ + "/absent", std::string()}) {
    LogFile log(LogKind::kSystem, root, state_dir_);
    log.autodelete_enabled = true;
    log.expire_percent = 100;
    EXPECT_EQ(log.write_line(local_time(2026, 12, 7, 9, 30, 15), "x"), 1);
    EXPECT_FALSE(log.is_open());
  }
  EXPECT_EQ(file_mode(root_ + "/absent"), -1);
  EXPECT_EQ(file_mode(root_ + "/systemlog"), -1);
  EXPECT_EQ(state(), "<missing>");
}

TEST_F(LogFileTest, UnopenableFileFailsAndLeavesTheStateAlone) {
  ASSERT_EQ(write_one(local_time(2026, 11, 7, 9, 30, 15), "november"), 0);
  // A plain file where December's folder should be.
  ASSERT_TRUE(write_file(root_ + "/systemlog/202612", "x"));
  auto log = make_log();
  EXPECT_EQ(log->write_line(local_time(2026, 12, 7, 9, 30, 15), "x"), 1);
  EXPECT_EQ(log->current_path, "");
  EXPECT_EQ(log->unsafe_entries, 1);
  EXPECT_EQ(state(), "system_20261107093015.csv\n1\n");
  EXPECT_EQ(read_file(root_ + "/systemlog/202612"), "x");
}

// Runs in a forked child: the file size limit applies to the whole process.
// Each failed check sets one bit of the exit status.
int write_past_size_limit(const std::string& root, const std::string& state,
                          int64_t t) {
  if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR) return 64;
  LogFile log(LogKind::kSystem, root, state);
  int failures = 0;
  if (log.write_line(t, "first") != 0) failures |= 1;
  const std::string path = log.current_path;
  // BOM + "first\r\n" is 10 bytes; allow 5 more so the line breaks off.
  struct rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  const rlim_t old = limit.rlim_cur;
  limit.rlim_cur = 15;
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 64;
  if (log.write_line(t + 1, std::string(100, 'x')) != 1) failures |= 2;
  if (log.line_count != 1) failures |= 4;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || st.st_size != 10) failures |= 8;
  limit.rlim_cur = old;
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 64;
  if (log.write_line(t + 2, "third") != 0) failures |= 16;
  return failures;
}

TEST_F(LogFileTest, FailedWriteIsCutBackAndNotCounted) {
  const int64_t t = local_time(2026, 12, 7, 9, 30, 15);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(write_past_size_limit(root_, state_dir_, t));
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(file("202612", "system_20261207093015.csv"),
            kBom + "first\r\nthird\r\n");
  EXPECT_EQ(state(), "system_20261207093015.csv\n2\n");
}

}  // namespace
