#include "web/shared_answers.h"

#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "logstore/file_name.h"
#include "testing/temp_tree.h"

namespace quillo {
namespace {

WebAnswer answer(const std::string& body, int status = 200) {
  WebAnswer a;
  a.status = status;
  a.body = body;
  return a;
}

TEST(SharedAnswersTest, SameRequestOnTheSameTreeIsMadeOnce) {
  SharedAnswers shared;
  int made = 0;
  const auto make = [&] { return answer("rows " + std::to_string(++made)); };
  EXPECT_EQ(shared.get("/api/rows\nuser=ann", "tree 1", make).body, "rows 1");
  EXPECT_EQ(shared.get("/api/rows\nuser=ann", "tree 1", make).body, "rows 1");
  // Another request, or the tree changed: made anew.
  EXPECT_EQ(shared.get("/api/rows\nuser=bob", "tree 1", make).body, "rows 2");
  EXPECT_EQ(shared.get("/api/rows\nuser=ann", "tree 2", make).body, "rows 3");
  // Refusals and very large answers are not kept.
  int refused = 0;
  const auto refuse = [&] { return answer(std::to_string(++refused), 400); };
  shared.get("/api/rows\nsince=x", "tree 2", refuse);
  shared.get("/api/rows\nsince=x", "tree 2", refuse);
  EXPECT_EQ(refused, 2);
  int big = 0;
  const auto large = [&] {
    ++big;
    return answer(std::string(kMaxSharedBody + 1, 'r'));
  };
  shared.get("/api/rows\nlimit=100000", "tree 2", large);
  shared.get("/api/rows\nlimit=100000", "tree 2", large);
  EXPECT_EQ(big, 2);
  // No fingerprint (the tree could not be looked at): never shared.
  EXPECT_EQ(shared.get("/api/rows\nuser=ann", "", make).body, "rows 4");
}

TEST(SharedAnswersTest, ARequestArrivingMeanwhileWaitsForTheOneBeingMade) {
  SharedAnswers shared;
  std::atomic<int> made{0};
  std::promise<void> inside;
  std::promise<void> release;
  std::shared_future<void> go = release.get_future().share();
  std::thread first([&] {
    shared.get("k", "t", [&] {
      ++made;
      inside.set_value();
      go.wait();
      return answer("slow");
    });
  });
  inside.get_future().wait();
  std::string second_body;
  std::thread second([&] {
    second_body = shared.get("k", "t", [&] {
      ++made;
      return answer("again");
    }).body;
  });
  release.set_value();
  first.join();
  second.join();
  EXPECT_EQ(made.load(), 1);
  EXPECT_EQ(second_body, "slow");
}

TEST(TreeFingerprintTest, ChangesWhenARowIsWrittenOrAFileAppears) {
  quillo_test::TempTree tree;
  const std::string root = tree.path();
  const std::string before = tree_fingerprint(root);
  ASSERT_EQ(mkdir((root + "/accesslog").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/accesslog/202612").c_str(), 0755), 0);
  const std::string file =
      root + "/accesslog/202612/" + log_file_name(LogKind::kAccess, 1796774400);
  std::ofstream(file) << "\xEF\xBB\xBFrow 1\r\n";
  const std::string one = tree_fingerprint(root);
  EXPECT_NE(one, before);
  EXPECT_EQ(tree_fingerprint(root), one);
  std::ofstream(file, std::ios::app) << "row 2\r\n";
  EXPECT_NE(tree_fingerprint(root), one);
}

}  // namespace
}  // namespace quillo
