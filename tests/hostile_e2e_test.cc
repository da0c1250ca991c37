// What a hostile local user can plant in the world-writable log tree, and
// what a full or missing volume does: the daemon never follows a link or
// opens a FIFO there, never deletes outside its own folders or the file
// it writes, and never answers "taken" for an access row it did not keep.

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::HasSubstr;

int mode_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777)
                                       : -1;
}

bool exists(const std::string& path) { return mode_of(path) >= 0; }

// Auto-delete on for both kinds with one day and a volume that always
// counts as short of space; an alert condition that matches every access.
std::string low_volume_config(const ApplianceTree& tree) {
  const std::string autodelete =
      "<autodelete enable=\"true\"><expire><days>1</days>"
      "<percent>100</percent></expire></autodelete>";
  return "<share><path>" + tree.log_root() +
         "</path></share>"
         "<eventlogconf enable=\"true\">" +
         autodelete +
         "</eventlogconf>"
         "<accesslogconf enable=\"true\"><sharelist all=\"true\"/>" +
         autodelete + "</accesslogconf>" +
         ApplianceTree::alert_list("all", "open_read");
}

class HostileTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.write_config(low_volume_config(tree_));
    ASSERT_TRUE(daemon_.wait_ready());
  }

  int access() const {
    return run_client(tree_, {"--access", "bob", "pc1", "10.0.0.5", "open", "1",
                              "0", "docs", "r|a.txt"})
        .status;
  }
  // The access file the state file names, as a path.
  std::string current_access_file() const {
    std::ifstream state(tree_.state_dir() + "/access_info");
    std::string name;
    std::getline(state, name);
    char month[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(month, sizeof month, "%Y%m", std::localtime(&now));
    return tree_.log_root() + "/accesslog/" + month + "/" + name;
  }

  ApplianceTree tree_;
  Daemon daemon_{tree_};
};

TEST_F(HostileTreeTest, PlantedLinkOrFifoIsNeverOpened) {
  ASSERT_EQ(access(), 0);
  const std::string current = current_access_file();
  const std::string secret = tree_.path("secret");
  write_file(secret, "root only\n");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);

  ASSERT_EQ(unlink(current.c_str()), 0);
  ASSERT_EQ(symlink(secret.c_str(), current.c_str()), 0);
  const RunResult linked =
      run_client(tree_, {"--access", "bob", "pc1", "10.0.0.5", "open", "1", "0",
                         "docs", "r|b.txt"});
  EXPECT_EQ(linked.status, 6);
  EXPECT_EQ(linked.err, "Error: record not stored\n");
  EXPECT_EQ(read_file(secret), "root only\n");
  EXPECT_EQ(mode_of(secret), 0600);

  // A FIFO without reader: answered at once instead of hanging the loop.
  ASSERT_EQ(unlink(current.c_str()), 0);
  ASSERT_EQ(mkfifo(current.c_str(), 0666), 0);
  EXPECT_EQ(access(), 6);
  EXPECT_THAT(daemon_.err(), HasSubstr("Not ours, left untouched: " + current));

  const auto counts = daemon_.counters();
  EXPECT_EQ(counts.at("access_rows_not_stored"), 2u);
  EXPECT_GE(counts.at("unsafe_entries"), 2u);
  // No alert for a row that was not kept: only the first access matched.
  EXPECT_EQ(counts.at("alert_matches"), 1u);
  // The daemon serves on, and the system log is untouched by all this.
  EXPECT_EQ(run_client(tree_, {"--system", "1", "a", "b", "c"}).status, 0);
}

TEST_F(HostileTreeTest, AutoDeleteStaysInItsOwnFolders) {
  const std::string kind = tree_.log_root() + "/accesslog";
  const std::string elsewhere = tree_.path("elsewhere");
  for (const std::string& dir : {elsewhere, kind, kind + "/200002"}) {
    ASSERT_EQ(mkdir(dir.c_str(), 0777), 0) << dir;
  }
  write_file(elsewhere + "/access_20000101000000.csv", "keep");
  // Made by hand: a real expired month and one that is a link elsewhere.
  write_file(kind + "/200002/access_20000201000000.csv", "old");
  ASSERT_EQ(symlink(elsewhere.c_str(), (kind + "/200001").c_str()), 0);
  ASSERT_EQ(symlink(tree_.path("elsewhere/access_20000101000000.csv").c_str(),
                    (kind + "/200002/access_20000202000000.csv").c_str()),
            0);

  ASSERT_EQ(access(), 0);
  EXPECT_FALSE(exists(kind + "/200002/access_20000201000000.csv"));
  EXPECT_EQ(read_file(elsewhere + "/access_20000101000000.csv"), "keep");
  EXPECT_TRUE(exists(kind + "/200002/access_20000202000000.csv"));
  EXPECT_TRUE(exists(kind + "/200001"));
}

TEST_F(HostileTreeTest, RecordTimeFromTheFutureDeletesNothing) {
  ASSERT_EQ(run_client(tree_, {"--system", std::to_string(std::time(nullptr)),
                               "a", "b", "c"})
                .status,
            0);
  const std::vector<std::string> before = list_files(tree_.log_root());
  ASSERT_EQ(before.size(), 1u);
  ASSERT_EQ(run_client(tree_, {"--system", "2147483647", "x", "y", "z"}).status,
            0);
  ASSERT_EQ(run_client(tree_, {"--system", std::to_string(std::time(nullptr)),
                               "d", "e", "f"})
                .status,
            0);
  // Today's first file is still there, beside 2038's (and a second one of
  // today's unless both rows fell in the same second).
  EXPECT_THAT(read_file(tree_.log_root() + "/" + before[0]),
              HasSubstr(",a,b,c\r\n"));
  EXPECT_GE(list_files(tree_.log_root()).size(), 2u);
  EXPECT_EQ(daemon_.counters().at("files_deleted"), 0u);
}

// The log root on a small private tmpfs, filled up: an access row that
// does not fit is answered "not stored" (status 6) and raises no alert;
// sent again once there is room, it is kept and raises its alert.
TEST(FullVolumeTest, AccessRowThatDoesNotFitIsAnsweredNotStored) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount";
  // This test's process (and the daemon it starts) gets a mount namespace
  // of its own, so the mount is seen by no one else and goes with it.
  ASSERT_EQ(unshare(CLONE_NEWNS), 0) << errno;
  ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  ApplianceTree tree;
  ASSERT_EQ(mount("tmpfs", tree.log_root().c_str(), "tmpfs", 0, "size=64k"), 0);
  // Off again after the daemon and before the tree goes: a mount point
  // cannot be removed.
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{tree.log_root()};
  tree.write_config(low_volume_config(tree));
  const std::string filler = tree.log_root() + "/filler";
  {
    std::ofstream out(filler, std::ios::binary);
    const std::string block(4096, 'x');
    while (out.write(block.data(), block.size())) {
    }
  }
  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());
  const std::vector<std::string> record = {"--access", "bob",  "pc1",
                                           "10.0.0.5", "open", "1",
                                           "0",        "docs", "r|a.txt"};
  const RunResult full = run_client(tree, record);
  EXPECT_EQ(full.status, 6);
  EXPECT_EQ(full.err, "Error: record not stored\n");
  auto counts = daemon.counters();
  EXPECT_EQ(counts.at("access_rows_not_stored"), 1u);
  EXPECT_EQ(counts.at("alert_matches"), 0u);
  // A system row is kept in memory and answered as taken.
  EXPECT_EQ(run_client(tree, {"--system", "1", "a", "b", "c"}).status, 0);
  EXPECT_EQ(daemon.counters().at("system_queue_rows"), 1u);

  ASSERT_EQ(unlink(filler.c_str()), 0);
  EXPECT_EQ(run_client(tree, record).status, 0);
  counts = daemon.counters();
  EXPECT_EQ(counts.at("rows_written_access"), 1u);
  EXPECT_EQ(counts.at("alert_matches"), 1u);
}

TEST(StateFolderTest, MissingStateFolderIsMadeAtStartUp) {
  ApplianceTree tree;
  ASSERT_EQ(rmdir(tree.state_dir().c_str()), 0);
  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());
  EXPECT_EQ(mode_of(tree.state_dir()), 0755);
  for (const char* text : {"one", "two"}) {
    ASSERT_EQ(run_client(tree, {"--system", "1796635815", text, "", ""}).status,
              0);
  }
  EXPECT_EQ(list_files(tree.log_root()).size(), 1u);  // one file, not two
}

}  // namespace
}  // namespace quillo_test
