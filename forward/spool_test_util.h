// Test helper for the spool's tests: frames, a drain that sends and
// confirms everything, and a fixture with a spool folder in a temporary
// tree. Test code only.

#ifndef QUILLO_FORWARD_SPOOL_TEST_UTIL_H_
#define QUILLO_FORWARD_SPOOL_TEST_UTIL_H_

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "forward/spool.h"
#include "testing/temp_tree.h"

namespace quillo {

// "<length> row <i>".
inline std::string frame(int i) {
  const std::string message = "row " + std::to_string(i);
  return std::to_string(message.size()) + " " + message;
}

// Takes every frame the spool offers, marks it sent and confirmed (as over
// TCP) and returns them; adds the damaged rows stepped over to `*damaged`.
inline std::vector<std::string> drain(Spool& spool,
                                      std::uint64_t* damaged = nullptr) {
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

// Sends frame by frame without confirming, as over RELP; returns the send
// position after each frame and adds the damaged rows stepped over to
// `*damaged`.
inline std::vector<Spool::Position> send_one_by_one(
    Spool& spool, std::uint64_t* damaged = nullptr) {
  std::vector<Spool::Position> after;
  for (;;) {
    Spool::Batch batch = spool.peek(1);  // one frame at a time
    if (damaged != nullptr) *damaged += batch.damaged_rows;
    if (batch.bytes.empty()) return after;
    spool.advance(batch, batch.bytes.size(), 1);
    after.push_back(spool.position());
  }
}

class SpoolTest : public ::testing::Test {
 protected:
  quillo_test::TempTree tree_;
  std::string dir_ = tree_.file("forward");
  std::uint64_t dropped_ = 0;
};

}  // namespace quillo

#endif  // QUILLO_FORWARD_SPOOL_TEST_UTIL_H_
