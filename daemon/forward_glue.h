// Temporary glue, removed by the merge that makes the forwarder a
// RowObserver itself: passes the log store's row events on to a RowSink in
// its older WrittenRow form.
//
// Main thread only, as the store that calls it.

#ifndef QUILLO_DAEMON_FORWARD_GLUE_H_
#define QUILLO_DAEMON_FORWARD_GLUE_H_

#include <string_view>

#include "forward/row_sink.h"
#include "logstore/row_observer.h"

namespace quillo {

class ForwardGlue final : public RowObserver {
 public:
  // `sink` is not owned and must outlive this object.
  explicit ForwardGlue(RowSink& sink) : sink_(sink) {}

  void row_prepared(const LogRow& row, std::string_view line) noexcept override;
  void row_done(bool written) noexcept override { sink_.row_done(written); }

 private:
  RowSink& sink_;
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_FORWARD_GLUE_H_
