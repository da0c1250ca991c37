// Faults around the real daemon: a log volume that goes away and comes
// back, a write cut short by the file-size limit, the daemon killed in the
// middle of a stream of records, and a burst of clients at once. Each test
// checks that no acknowledged record is lost or written twice and that
// every file and state file stays whole.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::Each;
using ::testing::ElementsAreArray;
using ::testing::Le;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr auto kBound = std::chrono::seconds(60);

// 2023-11-14 22:13:20 UTC and 2023-12-08 01:46:40 UTC: two months.
constexpr long kNovember = 1700000000;
constexpr long kDecember = 1702000000;

// The lines of a log file. A file that does not start with the byte order
// mark, does not end in CR LF or holds a lone CR or LF fails the test.
std::vector<std::string> csv_lines(const std::string& path) {
  const std::string text = read_file(path);
  EXPECT_THAT(text, StartsWith(kBom)) << path;
  std::vector<std::string> lines;
  size_t start = 3;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << path
                    << " ends in a partial line: " << text.substr(start);
      break;
    }
    const std::string line = text.substr(start, end - start);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << path;
    lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

// The system-log files below the log root, as paths, sorted.
std::vector<std::string> system_files(const ApplianceTree& tree) {
  std::vector<std::string> paths;
  for (const std::string& f : list_files(tree.log_root() + "/systemlog")) {
    paths.push_back(tree.log_root() + "/systemlog/" + f);
  }
  return paths;
}

// Every system-log line of every file, files in name order.
std::vector<std::string> all_system_lines(const ApplianceTree& tree) {
  std::vector<std::string> lines;
  for (const std::string& path : system_files(tree)) {
    for (std::string& line : csv_lines(path)) lines.push_back(std::move(line));
  }
  return lines;
}

struct State {
  std::string name;
  long count = -1;
};

// The system-log state file: exactly "<name>\n<count>\n", or a failure.
State read_state(const ApplianceTree& tree) {
  const std::string text = read_file(tree.state_dir() + "/system_info");
  State s;
  const size_t nl = text.find('\n');
  if (nl == std::string::npos || text.empty() || text.back() != '\n' ||
      text.find('\n', nl + 1) != text.size() - 1) {
    ADD_FAILURE() << "state file is not two lines: '" << text << "'";
    return s;
  }
  s.name = text.substr(0, nl);
  s.count = std::strtol(text.c_str() + nl + 1, nullptr, 10);
  return s;
}

// The full path of a system-log file named `name`, or empty.
std::string find_system_file(const ApplianceTree& tree,
                             const std::string& name) {
  for (const std::string& path : system_files(tree)) {
    if (path.size() > name.size() &&
        path.compare(path.size() - name.size() - 1, std::string::npos,
                     "/" + name) == 0) {
      return path;
    }
  }
  return "";
}

// The row the daemon writes for a system record at `time` (TZ=UTC).
std::string system_row(long time, const std::string& text) {
  const time_t t = time;
  struct tm tm {};
  gmtime_r(&t, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &tm);
  return std::string(stamp) + "," + text + ",b,c";
}

// Sends one system record over a raw connection; true when it was
// answered with the accepted code.
bool send_system(const ApplianceTree& tree, long time,
                 const std::string& text) {
  RawClient client(tree);
  if (!client.connected()) return false;
  try {
    const std::string t = std::to_string(time);
    client.send(system_frame(t.c_str(), text.c_str(), "b", "c"));
    return client.read_until_close() == kAcceptedAnswer;
  } catch (const std::exception&) {
    return false;
  }
}

int send_system_client(const ApplianceTree& tree, long time,
                       const std::string& text) {
  return run_client(tree, {"--system", std::to_string(time), text, "b", "c"})
      .status;
}

// Every test runs the daemon in UTC, so rows and file names are known.
class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TZ", "UTC", 1); }
  ApplianceTree tree_;
};

TEST_F(FaultTest, RowsQueuedWhileTheLogRootIsGoneLandOnceInOrder) {
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  std::vector<std::string> expected;
  auto send = [&](int i) {
    const std::string text = "row" + std::to_string(i);
    ASSERT_TRUE(send_system(tree_, kNovember + i, text)) << text;
    expected.push_back(system_row(kNovember + i, text));
  };
  for (int i = 0; i < 3; ++i) send(i);

  // The volume goes away (unmounted), with the records still coming.
  const std::string away = tree_.log_root() + ".away";
  ASSERT_EQ(rename(tree_.log_root().c_str(), away.c_str()), 0);
  for (int i = 3; i < 8; ++i) send(i);
  EXPECT_NE(access(tree_.log_root().c_str(), F_OK), 0)
      << "the daemon must not create the log root";
  EXPECT_THAT(read_state(tree_).count, 3);

  ASSERT_EQ(rename(away.c_str(), tree_.log_root().c_str()), 0);
  send(8);
  EXPECT_THAT(all_system_lines(tree_), ElementsAreArray(expected));
  // The queue is empty now: the next record adds itself only.
  send(9);
  EXPECT_THAT(all_system_lines(tree_), ElementsAreArray(expected));
  const State state = read_state(tree_);
  EXPECT_EQ(state.count, 10);
  EXPECT_EQ(csv_lines(find_system_file(tree_, state.name)).size(), 10u);
}

// quillod with a file-size limit and SIGXFSZ ignored, so that a write past
// the limit fails with EFBIG instead of killing the daemon. Its output goes
// to the null device (it would hit the limit too). Killed on destruction.
class LimitedDaemon {
 public:
  LimitedDaemon(const ApplianceTree& tree, rlim_t file_size_limit)
      : tree_(tree) {
    const std::string program = quillod_path();
    const std::string root = tree.root();
    char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
    const std::string root_env = "QUILLO_ROOT=" + root;
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("QUILLO_ROOT=", 0) != 0) envp.push_back(*e);
    }
    envp.push_back(const_cast<char*>(root_env.c_str()));
    envp.push_back(nullptr);
    const rlimit limit{file_size_limit, file_size_limit};
    pid_ = fork();
    if (pid_ != 0) return;
    // Child: async-signal-safe calls only.
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    signal(SIGXFSZ, SIG_IGN);  // an ignored signal stays ignored over exec
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  ~LimitedDaemon() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  LimitedDaemon(const LimitedDaemon&) = delete;
  LimitedDaemon& operator=(const LimitedDaemon&) = delete;

  bool wait_ready() const {
    const auto until = Clock::now() + kBound;
    while (Clock::now() < until) {
      if (RawClient(tree_).connected()) return true;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

 private:
  const ApplianceTree& tree_;
  pid_t pid_ = -1;
};

// Checks the state file against the file it names.
void expect_state_matches_file(const ApplianceTree& tree) {
  const State state = read_state(tree);
  const std::string path = find_system_file(tree, state.name);
  ASSERT_FALSE(path.empty()) << "state names a missing file " << state.name;
  EXPECT_EQ(state.count, static_cast<long>(csv_lines(path).size()));
}

TEST_F(FaultTest, RowPastTheFileSizeLimitStaysQueuedAndLandsOnceInANewFile) {
  constexpr rlim_t kLimit = 2048;
  LimitedDaemon daemon(tree_, kLimit);
  ASSERT_TRUE(daemon.wait_ready());
  std::vector<std::string> sent;
  auto send = [&](long time, const std::string& text) {
    ASSERT_EQ(send_system_client(tree_, time, text), 0) << text;
    sent.push_back(system_row(time, text));
  };
  for (int i = 0; i < 10; ++i) send(kNovember, "short" + std::to_string(i));

  // 10 short lines fill a third of the November file; this one does not fit.
  const std::string long_text(1900, 'L');
  send(kNovember + 1, long_text);
  EXPECT_EQ(all_system_lines(tree_).size(), 10u);
  expect_state_matches_file(tree_);

  // Short rows still fit behind it; the long one keeps failing.
  for (int i = 10; i < 15; ++i) send(kNovember, "short" + std::to_string(i));
  EXPECT_EQ(all_system_lines(tree_).size(), 15u);
  expect_state_matches_file(tree_);

  // A December row moves the current file away from November; the next
  // record's pass then starts a fresh November file for the long row.
  send(kDecember, "december0");
  send(kDecember + 1, "december1");
  send(kDecember + 1, "december2");

  std::vector<std::string> lines = all_system_lines(tree_);
  std::multiset<std::string> got(lines.begin(), lines.end());
  EXPECT_EQ(got, std::multiset<std::string>(sent.begin(), sent.end()));
  EXPECT_EQ(got.count(system_row(kNovember + 1, long_text)), 1u);
  std::vector<off_t> sizes;
  for (const std::string& path : system_files(tree_)) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    sizes.push_back(st.st_size);
  }
  EXPECT_THAT(sizes, Each(Le(static_cast<off_t>(kLimit))));
  expect_state_matches_file(tree_);
}

// Sends system records one after another from its own thread until
// stopped, whether or not the daemon is up, and remembers which texts were
// acknowledged.
class RecordStream {
 public:
  explicit RecordStream(const ApplianceTree& tree)
      : tree_(tree), thread_([this] { run(); }) {}
  ~RecordStream() { stop(); }
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int acknowledged() const { return acknowledged_; }
  // Every text sent, and whether it was acknowledged. After stop() only.
  const std::map<std::string, bool>& texts() const { return texts_; }

 private:
  void run() {
    for (int i = 0; !stop_; ++i) {
      const std::string text = "s" + std::to_string(i);
      const bool ok = send_system(tree_, kNovember, text);
      texts_[text] = ok;
      if (ok) {
        ++acknowledged_;
      } else {
        // The daemon is down: try again soon, without spinning a core.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }

  const ApplianceTree& tree_;
  std::atomic<bool> stop_{false};
  std::atomic<int> acknowledged_{0};
  std::map<std::string, bool> texts_;
  std::thread thread_;
};

bool wait_for(const std::function<bool()>& condition) {
  const auto until = Clock::now() + kBound;
  while (Clock::now() < until) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

TEST_F(FaultTest, KilledDaemonLeavesAValidStateAndContinuesTheFile) {
  auto daemon = std::make_unique<Daemon>(tree_);
  ASSERT_TRUE(daemon->wait_ready());
  RecordStream stream(tree_);
  // Lines the state file has not counted: a kill between writing a line
  // and saving the count leaves one (the records come one at a time), and
  // every start puts the count right again at its first row.
  for (int round = 1; round <= 4; ++round) {
    ASSERT_TRUE(wait_for([&] { return stream.acknowledged() >= 25 * round; }));
    daemon->signal(SIGKILL);
    ASSERT_EQ(daemon->wait_exit(kBound), 128 + SIGKILL);
    daemon.reset();

    const State state = read_state(tree_);
    const std::string path = find_system_file(tree_, state.name);
    ASSERT_FALSE(path.empty()) << "state names a missing file " << state.name;
    const long lines = static_cast<long>(csv_lines(path).size());
    EXPECT_GE(lines - state.count, 0) << "round " << round;
    EXPECT_LE(lines - state.count, 1) << "round " << round;

    daemon = std::make_unique<Daemon>(tree_);
    ASSERT_TRUE(daemon->wait_ready());
  }
  stream.stop();

  const State before = read_state(tree_);
  ASSERT_TRUE(send_system(tree_, kNovember, "last"));
  const State after = read_state(tree_);
  EXPECT_EQ(after.name, before.name);
  EXPECT_EQ(after.count, before.count + 1);
  const std::vector<std::string> lines =
      csv_lines(find_system_file(tree_, after.name));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), system_row(kNovember, "last"));
  ASSERT_EQ(system_files(tree_).size(), 1u);

  // Acknowledged records are there exactly once; the others at most once.
  std::map<std::string, int> seen;
  for (const std::string& line : lines) ++seen[line];
  for (const auto& [text, acknowledged] : stream.texts()) {
    const int n = seen[system_row(kNovember, text)];
    if (acknowledged) {
      EXPECT_EQ(n, 1) << text;
    } else {
      EXPECT_LE(n, 1) << text;
    }
  }
}

TEST_F(FaultTest, TwoHundredClientsAtOnceAreAllAnsweredAndLogged) {
  constexpr int kClients = 200;
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  std::mutex mutex;
  std::condition_variable go;
  bool started = false;
  std::vector<int> statuses(kClients, -1);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      {
        std::unique_lock<std::mutex> lock(mutex);
        go.wait(lock, [&] { return started; });
      }
      statuses[i] =
          send_system_client(tree_, kNovember, "c" + std::to_string(i));
    });
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    started = true;
  }
  go.notify_all();
  for (std::thread& t : clients) t.join();

  EXPECT_THAT(statuses, Each(0));
  const std::vector<std::string> lines = all_system_lines(tree_);
  std::vector<std::string> expected;
  for (int i = 0; i < kClients; ++i) {
    expected.push_back(system_row(kNovember, "c" + std::to_string(i)));
  }
  EXPECT_THAT(lines, ::testing::UnorderedElementsAreArray(expected));
  EXPECT_EQ(read_state(tree_).count, kClients);
}

}  // namespace
}  // namespace quillo_test
