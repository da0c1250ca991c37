#include "support/xml/xml_data.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "testing/temp_tree.h"

namespace quillo {
namespace {

using std::chrono::milliseconds;

// Polls `done` for at most `limit`; true when it became set.
bool WaitFor(const std::atomic<bool>& done, milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done.load()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

// A child process that holds an flock on a file until told to let go.
class LockHolder {
 public:
  LockHolder(const std::string& path, int operation) {
    int ready[2];
    int release[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls from here on.
      close(ready[0]);
      close(release[1]);
      int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0 || flock(fd, operation) != 0) _exit(1);
      char byte = 'L';
      if (write(ready[1], &byte, 1) != 1) _exit(1);
      // Parent writes, or exits and closes the pipe: either ends the wait.
      while (read(release[0], &byte, 1) < 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_fd_ = release[1];
    char byte = 0;
    locked_ = pid_ > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~LockHolder() {
    Release();
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool locked() const { return locked_; }
  void Release() {
    if (release_fd_ >= 0) close(release_fd_);
    release_fd_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_fd_ = -1;
  bool locked_ = false;
};

class XmlDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    doc_path_ = dir_ + "/doc.xml";
    lock_path_ = dir_ + "/doc.lock";
    FILE* file = fopen(doc_path_.c_str(), "we");
    ASSERT_NE(file, nullptr);
    fputs("<root><v>1</v></root>", file);
    fclose(file);
  }
  bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
  }

  quillo_test::TempTree tree_{"quillo-xmldata"};
  std::string dir_ = tree_.path();
  std::string doc_path_;
  std::string lock_path_;
};

TEST_F(XmlDataTest, CreatesLockFile0644AndLeavesIt) {
  const mode_t old_mask = umask(0);
  {
    XmlData data(lock_path_);
    data.Load(doc_path_);
    data.Save(doc_path_);
  }
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(stat(lock_path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(XmlDataTest, EmptyLockPathTakesNoLock) {
  LockHolder holder(doc_path_ + ".lock", LOCK_EX);
  ASSERT_TRUE(holder.locked());
  XmlData data("");
  data.Load(doc_path_);
  EXPECT_EQ(
      Corvel::CDOMElement(data.GetRootNode().SelectSingleNode("v")).GetText(),
      "1");
  EXPECT_FALSE(Exists(lock_path_));
  holder.Release();
  unlink((doc_path_ + ".lock").c_str());
}

TEST_F(XmlDataTest, LockFailuresAndLoadErrorsAreRaised) {
  XmlData unopenable(dir_ + "/no/such/dir.lock");
  try {
    unopenable.Load(doc_path_);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Can't open");
  }
  XmlData data(lock_path_);
  EXPECT_THROW(data.Load(dir_ + "/missing.xml"), Corvel::CXMLError);
  // The failed load released its lock: an exclusive holder gets it at once.
  int fd = open(lock_path_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);
}

struct LockCase {
  const char* name;
  int held;        // lock the other process holds
  bool save;       // our operation
  bool must_wait;  // whether it has to wait for the holder
};

class XmlDataLockTest : public XmlDataTest,
                        public ::testing::WithParamInterface<LockCase> {};

TEST_P(XmlDataLockTest, WaitsOnlyForConflictingHolders) {
  const LockCase& c = GetParam();
  LockHolder holder(lock_path_, c.held);
  ASSERT_TRUE(holder.locked());
  XmlData data(lock_path_);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    if (c.save) {
      data.Save(doc_path_ + ".out");
    } else {
      data.Load(doc_path_);
    }
    done = true;
  });
  if (c.must_wait) {
    EXPECT_FALSE(WaitFor(done, milliseconds(300)));
    holder.Release();
  }
  EXPECT_TRUE(WaitFor(done, milliseconds(10000)));
  holder.Release();
  worker.join();
  unlink((doc_path_ + ".out").c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Locks, XmlDataLockTest,
    ::testing::Values(LockCase{"LoadWaitsForExclusive", LOCK_EX, false, true},
                      LockCase{"SaveWaitsForShared", LOCK_SH, true, true},
                      LockCase{"LoadSharesWithShared", LOCK_SH, false, false}),
    [](const ::testing::TestParamInfo<LockCase>& info) {
      return info.param.name;
    });

}  // namespace
}  // namespace quillo
