#include "logstore/dir_entry.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logstore/log_test_util.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

std::vector<std::string> names_in(DirEntryList& list) {
  std::vector<std::string> names;
  for (const dirent& entry : list) names.emplace_back(entry.d_name);
  return names;
}

class DirEntryListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(logtest::write_file(tmp_.path() + "/a", ""));
    ASSERT_TRUE(logtest::write_file(tmp_.path() + "/b.csv", ""));
    ASSERT_TRUE(logtest::make_dir(tmp_.path() + "/sub"));
  }
  logtest::TempDir tmp_;
};

TEST(DefaultIgnoreListTest, HoldsDotAndDotDot) {
  EXPECT_THAT(DirEntryIterator::DefaultIgnoreList(), ElementsAre(".", ".."));
}

TEST_F(DirEntryListTest, ListsEverythingButTheIgnoredNames) {
  DirEntryList list(tmp_.path(), DirEntryIterator::DefaultIgnoreList());
  EXPECT_TRUE(list.is_open());
  EXPECT_THAT(names_in(list), UnorderedElementsAre("a", "b.csv", "sub"));
}

TEST_F(DirEntryListTest, IgnoresOnlyExactNames) {
  DirEntryList list(tmp_.path(), {".", "..", "b.csv", "su"});
  EXPECT_THAT(names_in(list), UnorderedElementsAre("a", "sub"));
}

TEST_F(DirEntryListTest, MissingOrEmptyPathListsNothing) {
  for (const std::string& path :
       {tmp_.path() + "/missing", std::string(), tmp_.path() + "/a"}) {
    DirEntryList list(path, DirEntryIterator::DefaultIgnoreList());
    EXPECT_FALSE(list.is_open()) << path;
    EXPECT_TRUE(list.begin() == list.end()) << path;
    EXPECT_THAT(names_in(list), IsEmpty()) << path;
  }
}

TEST_F(DirEntryListTest, CopiesShareTheStream) {
  DirEntryList list(tmp_.path(), DirEntryIterator::DefaultIgnoreList());
  DirEntryIterator first = list.begin();
  DirEntryIterator copy = first;
  ASSERT_TRUE(copy != list.end());
  int seen = 1;
  while (++copy != list.end()) ++seen;
  EXPECT_EQ(seen, 3);
  // The stream is exhausted for every copy.
  EXPECT_TRUE(++first == list.end());
}

}  // namespace
}  // namespace quillo
