#include "seal/seal_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_tree.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kName = "accesslog/202612/access_20261209101500.csv";
const SealKey kK0{9, 8, 7, 6, 5, 4, 3, 2, 1};

mode_t mode_of(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 01000;
}

class SealStoreTest : public ::testing::Test {
 protected:
  std::string path(const std::string& rest) const {
    return tree_.file("seal/" + rest);
  }

  quillo_test::TempTree tree_{"quillo-seal"};
  SealStore store_{tree_.path()};
  std::string error_;
};

TEST_F(SealStoreTest, CreateThenOpen) {
  bool missing = false;
  EXPECT_FALSE(store_.open(&error_, &missing));
  EXPECT_TRUE(missing);
  EXPECT_THAT(error_, StartsWith("the sealing state " + store_.folder()));
  ASSERT_TRUE(store_.create(kK0, &error_)) << error_;
  EXPECT_EQ(mode_of(store_.folder()), 0700u);
  EXPECT_EQ(mode_of(path("key")), 0600u);
  SealStore again(tree_.path());
  ASSERT_TRUE(again.open(&error_, &missing)) << error_;
  EXPECT_FALSE(missing);
  const auto state = again.load_key(&error_);
  ASSERT_TRUE(state) << error_;
  EXPECT_EQ(state->epoch, 0u);
  EXPECT_EQ(state->next_seq, 0u);
  EXPECT_EQ(state->prev, Digest{});
  EXPECT_EQ(state->key, kK0);
  // A second setup would lose the first one's key.
  EXPECT_FALSE(again.create(evolve_key(kK0), &error_));
  EXPECT_THAT(error_, HasSubstr("already"));
  EXPECT_EQ(store_.load_key(&error_)->key, kK0);
}

TEST_F(SealStoreTest, SavedKeyLoadsBack) {
  ASSERT_TRUE(store_.create(kK0, &error_)) << error_;
  const SealKeyState state{5, 77, sha256("last record"), epoch_key(kK0, 5)};
  ASSERT_TRUE(store_.save_key(state, &error_)) << error_;
  EXPECT_EQ(tree_.read("seal/key"),
            "qs1 5 77 " + to_hex(state.prev) + " " + to_hex(state.key) + "\n");
  EXPECT_EQ(tree_.read("seal/key.new"), "<missing>");
  const auto back = store_.load_key(&error_);
  ASSERT_TRUE(back) << error_;
  EXPECT_EQ(
      std::make_tuple(back->epoch, back->next_seq, back->prev, back->key),
      std::make_tuple(state.epoch, state.next_seq, state.prev, state.key));
}

class MalformedKeyFileTest : public SealStoreTest,
                             public ::testing::WithParamInterface<std::string> {
};

TEST_P(MalformedKeyFileTest, IsRefused) {
  ASSERT_TRUE(store_.create(kK0, &error_)) << error_;
  std::string text = GetParam();
  for (const char* mark : {"H1", "H2"}) {
    text.replace(text.find(mark), 2, std::string(64, 'a'));
  }
  tree_.write("seal/key", text);
  EXPECT_FALSE(store_.load_key(&error_)) << text;
  EXPECT_THAT(error_, StartsWith("the sealing state " + path("key")));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, MalformedKeyFileTest,
    ::testing::Values("qs1 1 2 H1 H2", "qs1 1 2 H1 H2\n\n", "qs2 1 2 H1 H2\n",
                      "qs1 01 2 H1 H2\n", "qs1 1 -2 H1 H2\n",
                      "qs1 1 2 H1 H2 3\n", "qs1 1  H1 H2\n",
                      "qs1 1 2 H1 AH2\n"));

TEST_F(SealStoreTest, RecordsAppendAndReadBack) {
  ASSERT_TRUE(store_.create(kK0, &error_)) << error_;
  ASSERT_TRUE(store_.append_records({"v1 a", "v1 b"}, &error_)) << error_;
  ASSERT_TRUE(store_.append_records({"v1 c"}, &error_)) << error_;
  EXPECT_FALSE(store_.append_records({"v1 d\nv1 e"}, &error_));
  EXPECT_EQ(tree_.read("seal/records"), "v1 a\nv1 b\nv1 c\n");
  // A write cut short leaves a last line without LF: it is not a record.
  const base::UniqueFd raw(
      ::open(path("records").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  ASSERT_EQ(::write(raw.get(), "v1 d", 4), 4);
  std::vector<std::string> lines;
  ASSERT_TRUE(store_.read_records(&lines, &error_)) << error_;
  EXPECT_THAT(lines, ElementsAre("v1 a", "v1 b", "v1 c"));
}

TEST_F(SealStoreTest, ChainListAppendReadTruncateRemove) {
  ASSERT_TRUE(store_.create(kK0, &error_)) << error_;
  const std::string a(32, 'a');
  const std::string b(16, 'b');
  EXPECT_EQ(store_.read_chain(kName), "");
  ASSERT_TRUE(store_.append_chain(kName, a, &error_)) << error_;
  ASSERT_TRUE(store_.append_chain(kName, b, &error_)) << error_;
  EXPECT_FALSE(store_.append_chain(kName, "short", &error_));
  EXPECT_EQ(store_.read_chain(kName), a + b);
  EXPECT_EQ(mode_of(path("lines/accesslog/202612")), 0700u);
  EXPECT_EQ(mode_of(path("lines/" + kName + ".chain")), 0600u);
  EXPECT_FALSE(store_.truncate_chain(kName, 4, &error_));
  ASSERT_TRUE(store_.truncate_chain(kName, 1, &error_)) << error_;
  EXPECT_EQ(store_.read_chain(kName), a.substr(0, 16));
  store_.remove_chain(kName);
  EXPECT_EQ(mode_of(path("lines/" + kName + ".chain")), 01000u);
}

class BadChainNameTest : public SealStoreTest,
                         public ::testing::WithParamInterface<const char*> {};

TEST_P(BadChainNameTest, IsRefused) {
  ASSERT_TRUE(store_.create(kK0, &error_)) << error_;
  // What "a/../x" or "./x" would reach if they were taken.
  tree_.write("seal/lines/x.chain", std::string(16, 'x'));
  EXPECT_FALSE(store_.append_chain(GetParam(), std::string(16, 'e'), &error_));
  EXPECT_EQ(store_.read_chain(GetParam()), "");
}

INSTANTIATE_TEST_SUITE_P(Names, BadChainNameTest,
                         ::testing::Values("", "/x", "../x", "a/../x", "a//x",
                                           "a/", "./x", "a/./x"));

// A way to make the sealing folder unsafe.
struct UnsafeCase {
  const char* label;
  std::function<void(const quillo_test::TempTree&)> spoil;
};

void PrintTo(const UnsafeCase& c, std::ostream* os) { *os << c.label; }

class UnsafeFolderTest : public SealStoreTest,
                         public ::testing::WithParamInterface<UnsafeCase> {};

TEST_P(UnsafeFolderTest, IsRefused) {
  GetParam().spoil(tree_);
  bool missing = true;
  EXPECT_FALSE(store_.open(&error_, &missing));
  EXPECT_FALSE(missing);
  EXPECT_FALSE(store_.create(kK0, &error_));
  EXPECT_EQ(tree_.read("seal/key"), "<missing>");
}

INSTANTIATE_TEST_SUITE_P(
    Spoils, UnsafeFolderTest,
    ::testing::Values(UnsafeCase{"Mode0755",
                                 [](const quillo_test::TempTree& t) {
                                   ::chmod(t.dir("seal").c_str(), 0755);
                                 }},
                      UnsafeCase{"Symlink", [](const quillo_test::TempTree& t) {
                                   ::chmod(t.dir("elsewhere").c_str(), 0700);
                                   ::symlink("elsewhere",
                                             t.file("seal").c_str());
                                 }}));

TEST_F(SealStoreTest, UnsafeThingsInsideAreRefused) {
  ASSERT_TRUE(store_.create(kK0, &error_)) << error_;
  ::chmod(path("key").c_str(), 0640);
  EXPECT_FALSE(store_.load_key(&error_));
  EXPECT_THAT(error_, HasSubstr("group or others"));
  ::chmod(tree_.dir("elsewhere").c_str(), 0700);
  ::symlink("../../elsewhere", path("lines/accesslog").c_str());
  EXPECT_FALSE(store_.append_chain(kName, std::string(16, 'e'), &error_));
  ::unlink(path("records").c_str());
  ::symlink("../elsewhere/records", path("records").c_str());
  EXPECT_FALSE(store_.append_records({"v1 a"}, &error_));
  EXPECT_EQ(tree_.read("elsewhere/records"), "<missing>");
  EXPECT_EQ(mode_of(tree_.file("elsewhere/202612")), 01000u);
}

}  // namespace
}  // namespace quillo
