#include "forward/spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "forward/spool_test_util.h"
#include "testing/temp_tree.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;

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

// The rows of one pass: staged one after the other, counted in together,
// all taken back, or only some kept, closed up in order. Nothing taken
// back stays in the segment for a later open to find.
TEST(SpoolStageTest, FramesStagedTogetherAreCommittedWholeOrInPart) {
  quillo_test::TempTree tree;
  Spool spool(tree.file("forward"), 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  std::uint64_t dropped = 0;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(spool.stage(frame(i), &dropped), 0);
  EXPECT_EQ(spool.staged_frames(), 3u);
  EXPECT_TRUE(spool.peek(1024).bytes.empty());
  EXPECT_EQ(spool.commit_kept({true, false, true}), 2u);
  EXPECT_EQ(spool.staged_frames(), 0u);
  EXPECT_THAT(drain(spool), ElementsAre(frame(0), frame(2)));
  EXPECT_EQ(spool.total_bytes(), frame(0).size() + frame(2).size());

  ASSERT_EQ(spool.stage(frame(3), &dropped), 0);
  ASSERT_EQ(spool.stage(frame(4), &dropped), 0);
  spool.discard();
  ASSERT_EQ(spool.stage(frame(5), &dropped), 0);
  ASSERT_EQ(spool.stage(frame(6), &dropped), 0);
  spool.commit();
  // Outcomes that do not match the staged frames keep none of them.
  ASSERT_EQ(spool.stage(frame(7), &dropped), 0);
  EXPECT_EQ(spool.commit_kept({true, true}), 0u);
  ASSERT_EQ(spool.stage(frame(8), &dropped), 0);
  EXPECT_EQ(spool.commit_kept({false}), 0u);
  EXPECT_THAT(drain(spool), ElementsAre(frame(5), frame(6)));

  Spool again(tree.file("forward"), 1 << 20);  // no position was written
  ASSERT_EQ(again.open(), 0);
  EXPECT_THAT(drain(again),
              ElementsAre(frame(0), frame(2), frame(5), frame(6)));
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

// The forwarder's start-up: its main thread lists the folder and goes on
// writing while its thread reads the old segments.
TEST_F(SpoolTest, RowsWrittenBeforeTheScanGoAfterTheOldOnes) {
  {
    Spool spool(dir_, 1 << 20);
    ASSERT_EQ(spool.open(), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(spool.append(frame(i), &dropped_), 0);
  }
  Spool spool(dir_, 1 << 20);
  ASSERT_EQ(spool.prepare(), 0);
  ASSERT_EQ(spool.append(frame(3), &dropped_), 0);
  EXPECT_TRUE(spool.needs_scan());
  EXPECT_TRUE(spool.peek(1024).bytes.empty());  // nothing before the scan
  EXPECT_EQ(spool.persist(), 0);
  spool.scan();
  EXPECT_FALSE(spool.needs_scan());
  EXPECT_EQ(spool.unsent_rows(), 4u);
  EXPECT_EQ(spool.total_bytes(), 4 * frame(0).size());
  EXPECT_THAT(drain(spool),
              ElementsAre(frame(0), frame(1), frame(2), frame(3)));
  ASSERT_EQ(spool.persist(), 0);
  Spool again(dir_, 1 << 20);
  ASSERT_EQ(again.open(), 0);
  EXPECT_EQ(again.unsent_rows(), 0u);
}

// One thread writes (with the limit dropping the oldest segments), one
// reads: every frame the reader gets is whole and in order, and what was
// not dropped arrives. Run under TSan with the threads label.
TEST_F(SpoolTest, WriterAndReaderOnTwoThreadsKeepOrder) {
  constexpr int kRows = 4000;
  Spool spool(dir_, 1 << 20);  // segments of 256 KiB
  ASSERT_EQ(spool.prepare(), 0);
  spool.scan();
  const std::string pad(500, 'p');
  const auto big_frame = [&](int i) {
    const std::string message = "row " + std::to_string(i) + " " + pad;
    return std::to_string(message.size()) + " " + message;
  };
  std::uint64_t dropped = 0;
  std::thread writer([&] {
    for (int i = 0; i < kRows; ++i) {
      if (spool.stage(big_frame(i), &dropped) == 0) spool.commit();
    }
  });
  std::vector<int> got;
  bool bad_frame = false;
  const auto take = [&] {
    const Spool::Batch batch = spool.peek(16 << 10);
    std::size_t start = 0;
    for (const std::size_t end : batch.frame_ends) {
      const std::string f = batch.bytes.substr(start, end - start);
      const std::size_t row = f.find("row ");
      bad_frame = bad_frame || row == std::string::npos ||
                  f.size() != big_frame(std::stoi(f.substr(row + 4))).size();
      if (row != std::string::npos) got.push_back(std::stoi(f.substr(row + 4)));
      start = end;
    }
    spool.advance(batch, batch.bytes.size(), batch.frame_ends.size());
    spool.confirm_sent();
    return !batch.bytes.empty();
  };
  while (got.size() < 50) take();  // the reader keeps up for a while
  writer.join();
  while (take()) {
  }
  EXPECT_FALSE(bad_frame);
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
  EXPECT_TRUE(std::adjacent_find(got.begin(), got.end()) == got.end());
  EXPECT_EQ(got.back(), kRows - 1);
  // Rows dropped at the limit were unsent ones; the others all came.
  EXPECT_EQ(got.size() + dropped, static_cast<std::size_t>(kRows));
  EXPECT_EQ(spool.unsent_rows(), 0u);
}

}  // namespace
}  // namespace quillo
