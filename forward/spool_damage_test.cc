#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "forward/spool.h"
#include "forward/spool_test_util.h"
#include "testing/temp_tree.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;

// Frames like the forwarder's: each message starts with a syslog PRI, and
// holds digits and spaces that could pass for frame headers.
std::string syslog_frame(int i) {
  const std::string message =
      "<134>1 " + std::to_string(i) + " 4 6 8 row " + std::to_string(i);
  return std::to_string(message.size()) + " " + message;
}

// Bytes written over the third of six frames, `at` bytes into it.
struct Damage {
  const char* name;
  std::size_t at;
  const char* bytes;
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class SpoolDamageTest : public SpoolTest,
                        public ::testing::WithParamInterface<Damage> {};

TEST_P(SpoolDamageTest, DamagedFrameIsSkippedCountedOnceAndTheRestArrive) {
  {
    Spool spool(dir_, 1 << 20);
    ASSERT_EQ(spool.open(), 0);
    for (int i = 1; i <= 6; ++i) {
      ASSERT_EQ(spool.append(syslog_frame(i), &dropped_), 0);
    }
  }
  const std::size_t third = 2 * syslog_frame(1).size();
  const std::string path = dir_ + "/00000000000000000001.seg";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string bytes = GetParam().bytes;
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(),
                     static_cast<off_t>(third + GetParam().at)),
            static_cast<ssize_t>(bytes.size()));
  ::close(fd);

  Spool spool(dir_, 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  EXPECT_EQ(spool.unsent_rows(), 6u);  // five frames and the damaged one
  // Sent one by one without confirmation, as over RELP.
  std::uint64_t damaged = 0;
  for (int i = 0; i < 2; ++i) {
    Spool::Batch batch = spool.peek(1);
    ASSERT_EQ(batch.frame_ends.size(), 1u);
    EXPECT_EQ(batch.damaged_rows, 0u);
    spool.advance(batch, batch.bytes.size(), 1);
  }
  Spool::Batch batch = spool.peek(1);
  EXPECT_EQ(batch.bytes, syslog_frame(4));
  EXPECT_EQ(batch.damaged_rows, 1u);
  EXPECT_EQ(batch.damaged_segment, 1u);
  EXPECT_EQ(batch.damaged_offset, third);
  spool.advance(batch, batch.bytes.size(), 1);
  EXPECT_EQ(send_one_by_one(spool, &damaged).size(), 2u);
  // The session is lost: everything goes again, the damage is not counted
  // again.
  spool.rewind();
  EXPECT_THAT(drain(spool, &damaged),
              ElementsAre(syslog_frame(1), syslog_frame(2), syslog_frame(4),
                          syslog_frame(5), syslog_frame(6)));
  EXPECT_EQ(damaged, 0u);
  EXPECT_EQ(spool.unsent_rows(), 0u);
  EXPECT_FALSE(spool.has_unsent());
}

INSTANTIATE_TEST_SUITE_P(
    Headers, SpoolDamageTest,
    ::testing::Values(Damage{"NotADigit", 0, "x"},
                      Damage{"LeadingZero", 0, "0"}, Damage{"NoSpace", 2, "x"},
                      // 50: ends inside the fifth frame.
                      Damage{"LengthIntoLaterFrames", 0, "5"},
                      // 90: runs past the end of the segment.
                      Damage{"LengthPastTheEnd", 0, "9"},
                      Damage{"LengthPastTheLimit", 0, "999999"}),
    [](const auto& info) { return std::string(info.param.name); });

// Whatever a segment file holds, the reader ends, offers only the file's
// own bytes, each once, and leaves nothing unsent behind it.
struct Garbage {
  std::string name;
  std::string bytes;
};

std::vector<Garbage> garbage_cases() {
  std::vector<Garbage> cases;
  const auto repeat = [](const std::string& unit, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += unit;
    return out;
  };
  cases.push_back({"Digits", std::string(5000, '7')});
  cases.push_back({"Nul", std::string(4096, '\0')});
  cases.push_back({"ShortestFrames", repeat("1 x", 2000)});
  cases.push_back({"HeadersOnly", repeat("9 ", 3000)});
  cases.push_back({"CutLongestFrame", "65536 <" + std::string(1000, 'a')});
  cases.push_back(
      {"FramesBetweenGarbage",
       repeat(syslog_frame(1) + "#%" + syslog_frame(2) + "9 <9 <", 300)});
  for (unsigned seed = 1; seed <= 3; ++seed) {
    std::mt19937 random(seed);
    std::string any, headers;
    const std::string alphabet = "0123456789  <>x";
    for (int i = 0; i < 20000; ++i) {
      any += static_cast<char>(random() & 0xFF);
      headers += alphabet[random() % alphabet.size()];
    }
    cases.push_back({"Bytes" + std::to_string(seed), any});
    cases.push_back({"HeaderLike" + std::to_string(seed), headers});
  }
  return cases;
}

void PrintTo(const Garbage& g, std::ostream* os) { *os << g.name; }

class SpoolGarbageTest : public SpoolTest,
                         public ::testing::WithParamInterface<Garbage> {};

TEST_P(SpoolGarbageTest, ReaderEndsAndOffersOnlyTheFilesBytes) {
  const std::string& content = GetParam().bytes;
  tree_.write("forward/00000000000000000001.seg", content);
  Spool spool(dir_, 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  std::uint64_t end = 0;
  // Every batch holds a frame of three bytes at least.
  for (std::size_t peeks = 0;; ++peeks) {
    ASSERT_LE(peeks, content.size() / 3 + 1) << "the reader goes round";
    Spool::Batch batch = spool.peek(1024);
    if (batch.bytes.empty()) break;
    ASSERT_EQ(batch.segment, 1u);
    ASSERT_GE(batch.offset, end);
    ASSERT_LE(batch.offset + batch.bytes.size(), content.size());
    ASSERT_EQ(content.compare(batch.offset, batch.bytes.size(), batch.bytes),
              0);
    ASSERT_EQ(batch.frame_ends.back(), batch.bytes.size());
    end = batch.offset + batch.bytes.size();
    spool.advance(batch, batch.bytes.size(), batch.frame_ends.size());
    spool.confirm_sent();
  }
  EXPECT_FALSE(spool.has_unsent());
  EXPECT_EQ(spool.unsent_rows(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Segments, SpoolGarbageTest,
                         ::testing::ValuesIn(garbage_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quillo
