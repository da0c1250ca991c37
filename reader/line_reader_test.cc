#include "reader/line_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "logstore/log_row.h"
#include "testing/temp_tree.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

// What a reader handed on; a long line by its length alone.
struct Recorder final : LineSink {
  std::vector<std::pair<int64_t, std::string>> lines;
  std::vector<int64_t> too_long_lines;
  void line(std::string_view text, int64_t number, bool /*crlf*/) override {
    lines.emplace_back(number, text.size() <= 16
                                   ? std::string(text)
                                   : std::to_string(text.size()) + " bytes");
  }
  void too_long(int64_t number) override { too_long_lines.push_back(number); }
};

// One log file that the test writes to as the daemon (or a hostile local
// user) would, and reads with one reader and cursor.
class LineReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fd_.reset(::open(tree_.file("access_20261209081940.csv").c_str(),
                     O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    ASSERT_TRUE(fd_);
    capacity_ = reader_.buffer_size();
  }
  void Append(const std::string& bytes) {
    ASSERT_EQ(::pwrite(fd_.get(), bytes.data(), bytes.size(), Size()),
              static_cast<ssize_t>(bytes.size()));
  }
  // `count` zero bytes without a line feed, as a hole (truncate -s).
  void Grow(off_t count) {
    ASSERT_EQ(::ftruncate(fd_.get(), Size() + count), 0);
  }
  off_t Size() const {
    struct stat st;
    return ::fstat(fd_.get(), &st) == 0 ? st.st_size : -1;
  }
  void Read() { ASSERT_TRUE(reader_.read(fd_.get(), &cursor_, sink_)); }

  quillo_test::TempTree tree_;
  base::UniqueFd fd_;
  LineReader reader_;
  std::size_t capacity_ = 0;
  FileCursor cursor_;
  Recorder sink_;
};

TEST_F(LineReaderTest, OverlongLineIsSkippedToItsLineFeedInBoundedMemory) {
  // The longest line handed on: kMaxLineLength bytes with its CR LF.
  const std::string longest(kMaxLineLength - 2, 'x');
  Append(std::string(kByteOrderMark) + "one\r\n" + longest + "\r\n" + longest +
         "y\r\n");
  Grow(8 << 20);
  Append("\r\ntwo\r\nthree\r\n");
  Read();
  EXPECT_THAT(sink_.lines, ElementsAre(Pair(1, "one"), Pair(2, "65534 bytes"),
                                       Pair(5, "two"), Pair(6, "three")));
  EXPECT_THAT(sink_.too_long_lines, ElementsAre(3, 4));
  EXPECT_EQ(reader_.buffer_size(), capacity_);
  EXPECT_EQ(cursor_.offset, Size());
  EXPECT_EQ(cursor_.lines, 6);
}

// A followed file read while the long line still grows: reported once,
// and the line after it comes out when its line feed does.
TEST_F(LineReaderTest, OverlongLineStillBeingWrittenIsReportedOnce) {
  Append(std::string(kByteOrderMark) + "one\r\n");
  Grow(3 * kMaxLineLength);
  Read();
  EXPECT_THAT(sink_.too_long_lines, ElementsAre(2));
  EXPECT_EQ(cursor_.offset, Size());
  Grow(3 * kMaxLineLength);
  Read();
  Append("tail\r\ntwo\r\n");
  Read();
  EXPECT_THAT(sink_.lines, ElementsAre(Pair(1, "one"), Pair(3, "two")));
  EXPECT_THAT(sink_.too_long_lines, ElementsAre(2));
  EXPECT_EQ(reader_.buffer_size(), capacity_);
}

}  // namespace
}  // namespace quillo
