#include "forward/spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_tree.h"

namespace {

using ::testing::ElementsAre;

std::string frame(int i) {
  const std::string message = "row " + std::to_string(i);
  return std::to_string(message.size()) + " " + message;
}

// Takes every frame the spool offers, marks it sent and confirmed (as over
// TCP) and returns them.
std::vector<std::string> drain(Spool& spool) {
  std::vector<std::string> frames;
  for (;;) {
    Spool::Batch batch = spool.peek(1024);
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

// Sends frame by frame without confirming, as over RELP; returns the send
// position after each frame.
std::vector<Spool::Position> send_one_by_one(Spool& spool) {
  std::vector<Spool::Position> after;
  for (;;) {
    Spool::Batch batch = spool.peek(1);  // one frame at a time
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
