#include "forward/spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_tree.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;

std::string frame(int i) {
  const std::string message = "row " + std::to_string(i);
  return std::to_string(message.size()) + " " + message;
}

// Takes every frame the spool offers, marks it sent and confirmed (as over
// TCP) and returns them; adds the damaged rows stepped over to `*damaged`.
std::vector<std::string> drain(Spool& spool, std::uint64_t* damaged = nullptr) {
  std::vector<std::string> frames;
  for (;;) {
    Spool::Batch batch = spool.peek(1024);
    if (damaged != nullptr) *damaged += batch.damaged_rows;
    if (batch.bytes.empty()) return frames;
    std::size_t start = 0;
    for (std::size_t end : batch.frame_ends) {
      frames.push_back(batch.bytes.substr(start, end - start));
      start = end;
    }
    spool.advance(batch, batch.bytes.size(), batch.frame_ends.size());
    spool.confirm_sent();
  }
}

class SpoolTest : public ::testing::Test {
 protected:
  quillo_test::TempTree tree_;
  std::string dir_ = tree_.file("forward");
  std::uint64_t dropped_ = 0;
};

TEST_F(SpoolTest, GivesFramesBackInOrderAndResumesAfterReopen) {
  {
    Spool spool(dir_, 1 << 20);
    ASSERT_EQ(spool.open(), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(spool.append(frame(i), &dropped_), 0);
    Spool::Batch batch = spool.peek(1024);
    ASSERT_EQ(batch.frame_ends.size(), 3u);
    // Only the first row went out before the "crash".
    spool.advance(batch, batch.frame_ends[0], 1);
    spool.confirm_sent();
    ASSERT_EQ(spool.persist(), 0);
  }
  Spool spool(dir_, 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  EXPECT_EQ(spool.unsent_rows(), 2u);
  ASSERT_EQ(spool.append(frame(3), &dropped_), 0);
  EXPECT_THAT(drain(spool), ElementsAre(frame(1), frame(2), frame(3)));
  EXPECT_EQ(spool.unsent_rows(), 0u);
  EXPECT_EQ(dropped_, 0u);
}

TEST_F(SpoolTest, SentSegmentsAreRemovedWhole) {
  Spool spool(dir_, 1 << 20);  // segments of 256 KiB
  ASSERT_EQ(spool.open(), 0);
  const std::string big = std::to_string(60000) + " " + std::string(60000, 'x');
  for (int i = 0; i < 10; ++i) ASSERT_EQ(spool.append(big, &dropped_), 0);
  EXPECT_EQ(spool.total_bytes(), 10 * big.size());
  EXPECT_EQ(drain(spool).size(), 10u);
  // Only the write segment (4 frames) is left.
  EXPECT_EQ(spool.total_bytes(), 2 * big.size());
}

TEST_F(SpoolTest, FullSpoolDropsOldestUnsentSegment) {
  Spool spool(dir_, 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  const std::string big = std::to_string(60000) + " " + std::string(60000, 'x');
  for (int i = 0; i < 20; ++i) ASSERT_EQ(spool.append(big, &dropped_), 0);
  EXPECT_LE(spool.total_bytes(), 1u << 20);
  EXPECT_EQ(dropped_ % 4, 0u);  // whole segments of four frames
  EXPECT_GE(dropped_, 4u);
  EXPECT_EQ(spool.unsent_rows() + dropped_, 20u);
  EXPECT_EQ(drain(spool).size(), 20u - dropped_);
}

TEST_F(SpoolTest, CutTailOfOldSegmentIsSkipped) {
  {
    Spool spool(dir_, 1 << 20);
    ASSERT_EQ(spool.open(), 0);
    ASSERT_EQ(spool.append(frame(0), &dropped_), 0);
  }
  // A frame cut short by a crash in the middle of an append.
  const int fd = ::open((dir_ + "/00000000000000000001.seg").c_str(),
                        O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "30 trunc", 8), 8);
  ::close(fd);
  Spool spool(dir_, 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  ASSERT_EQ(spool.append(frame(1), &dropped_), 0);
  EXPECT_THAT(drain(spool), ElementsAre(frame(0), frame(1)));
}

TEST_F(SpoolTest, RefusesALinkInPlaceOfASegment) {
  {
    Spool spool(dir_, 1 << 20);
    ASSERT_EQ(spool.open(), 0);
  }
  ASSERT_EQ(
      ::symlink("/etc/passwd", (dir_ + "/00000000000000000001.seg").c_str()),
      0);
  Spool spool(dir_, 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  EXPECT_EQ(spool.total_bytes(), 0u);
  ASSERT_EQ(spool.append(frame(7), &dropped_), 0);  // a new segment number
  EXPECT_THAT(drain(spool), ElementsAre(frame(7)));
}

// Each block is one daemon run on the same folder: the segment numbers of
// a run never fall below the position an earlier run recorded, or its rows
// would be taken for sent ones.
TEST_F(SpoolTest, RowTakenAfterTheSpoolWasDrainedSurvivesTheNextRestart) {
  {
    // The collector is down: three rows wait in segment 1.
    Spool spool(dir_, 1 << 20);
    ASSERT_EQ(spool.open(), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(spool.append(frame(i), &dropped_), 0);
  }
  {
    // It is back: everything goes, and the drained segment is removed.
    Spool spool(dir_, 1 << 20);
    ASSERT_EQ(spool.open(), 0);
    EXPECT_EQ(drain(spool).size(), 3u);
    ASSERT_EQ(spool.persist(), 0);
    EXPECT_EQ(tree_.read("forward/position"), "2 0\n");
  }
  {
    // Down again: one row, and nothing confirmed, so the position stays.
    Spool spool(dir_, 1 << 20);
    ASSERT_EQ(spool.open(), 0);
    ASSERT_EQ(spool.append(frame(3), &dropped_), 0);
    ASSERT_EQ(spool.persist(), 0);
  }
  Spool spool(dir_, 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  EXPECT_FALSE(spool.stale_position());
  EXPECT_THAT(drain(spool), ElementsAre(frame(3)));
}

TEST_F(SpoolTest, PositionPastEverySegmentIsDroppedAndNothingIsLost) {
  {
    Spool spool(dir_, 1 << 20);
    ASSERT_EQ(spool.open(), 0);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(spool.append(frame(i), &dropped_), 0);
  }
  // Left by an earlier spool whose segments were removed by hand: segment 1
  // above was numbered anew after them.
  tree_.write("forward/position", "3 223\n");
  {
    Spool spool(dir_, 1 << 20);
    ASSERT_EQ(spool.open(), 0);
    ASSERT_TRUE(spool.stale_position());
    EXPECT_EQ(spool.stale_position()->seq, 3u);
    EXPECT_EQ(spool.stale_position()->offset, 223u);
    EXPECT_EQ(spool.unsent_rows(), 5u);
    EXPECT_THAT(drain(spool),
                ElementsAre(frame(0), frame(1), frame(2), frame(3), frame(4)));
    // The next segment is numbered past the dropped position.
    ASSERT_EQ(spool.append(frame(5), &dropped_), 0);
    EXPECT_EQ(tree_.read("forward/00000000000000000004.seg"), frame(5));
    ASSERT_EQ(spool.persist(), 0);
  }
  Spool spool(dir_, 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  EXPECT_FALSE(spool.stale_position());
  EXPECT_THAT(drain(spool), ElementsAre(frame(5)));
  EXPECT_EQ(dropped_, 0u);
}

// Sends frame by frame without confirming, as over RELP; returns the send
// position after each frame and adds the damaged rows stepped over to
// `*damaged`.
std::vector<Spool::Position> send_one_by_one(Spool& spool,
                                             std::uint64_t* damaged = nullptr) {
  std::vector<Spool::Position> after;
  for (;;) {
    Spool::Batch batch = spool.peek(1);  // one frame at a time
    if (damaged != nullptr) *damaged += batch.damaged_rows;
    if (batch.bytes.empty()) return after;
    spool.advance(batch, batch.bytes.size(), 1);
    after.push_back(spool.position());
  }
}

TEST_F(SpoolTest, UnconfirmedRowsGoAgainAfterRewindAndReopen) {
  const std::string big = std::to_string(60000) + " " + std::string(60000, 'x');
  {
    Spool spool(dir_, 1 << 20);  // segments of four of these
    ASSERT_EQ(spool.open(), 0);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(spool.append(big, &dropped_), 0);
    const std::vector<Spool::Position> after = send_one_by_one(spool);
    ASSERT_EQ(after.size(), 10u);
    EXPECT_EQ(spool.unsent_rows(), 0u);
    // Rows 0-5 confirmed: the first segment is gone, the second is not.
    spool.confirm(after[5]);
    EXPECT_TRUE(spool.peek(1).bytes.empty());
    EXPECT_EQ(spool.total_bytes(), 6 * big.size());
    // The session is lost: rows 6-9 go again, from the same places.
    spool.rewind();
    EXPECT_EQ(spool.unsent_rows(), 4u);
    const std::vector<Spool::Position> again = send_one_by_one(spool);
    ASSERT_EQ(again.size(), 4u);
    EXPECT_EQ(again[1].seq, after[7].seq);
    EXPECT_EQ(again[1].offset, after[7].offset);
    spool.confirm(after[2]);  // older: nothing changes
    EXPECT_EQ(spool.total_bytes(), 6 * big.size());
    spool.confirm(again[1]);  // rows up to 7 confirmed before the stop
    ASSERT_EQ(spool.persist(), 0);
  }
  Spool spool(dir_, 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  EXPECT_EQ(drain(spool).size(), 2u);  // rows 8 and 9
}

}  // namespace

namespace {

TEST(SpoolStageTest, StagedFrameIsSentOnlyOnceCommitted) {
  quillo_test::TempTree tree;
  Spool spool(tree.file("forward"), 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  std::uint64_t dropped = 0;
  ASSERT_EQ(spool.stage(frame(0), &dropped), 0);
  EXPECT_TRUE(spool.peek(1024).bytes.empty());
  spool.discard();
  ASSERT_EQ(spool.stage(frame(1), &dropped), 0);
  spool.commit();
  EXPECT_THAT(drain(spool), ElementsAre(frame(1)));
  EXPECT_EQ(spool.total_bytes(), frame(1).size());  // the discard left nothing
}

TEST(SpoolStageTest, FrameStagedBeforeACrashIsKept) {
  quillo_test::TempTree tree;
  std::uint64_t dropped = 0;
  {
    Spool spool(tree.file("forward"), 1 << 20);
    ASSERT_EQ(spool.open(), 0);
    ASSERT_EQ(spool.append(frame(0), &dropped), 0);
    ASSERT_EQ(spool.stage(frame(1), &dropped), 0);
    // Gone without commit or discard, as in a kill.
  }
  Spool spool(tree.file("forward"), 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  EXPECT_THAT(drain(spool), ElementsAre(frame(0), frame(1)));
}

}  // namespace

namespace {

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
