// One round of the request loop: the frames that came (daemon/peer_set.h)
// turned into rows, written together with one group commit
// (LogStore::write_batch), and their answers decided.
//
// Each whole frame is dispatched by type: a system record's row joins the
// batch behind the rows still queued (answer 0), an access record's row
// joins it unless the settings drop it (answer 0 once written, 3 when it
// was not), an unknown type is answered 0. An empty, incomplete or
// malformed frame is reported and not answered; the later frames of its
// peer in the round are neither written nor answered. Rows the batch did
// not write are tried once more one by one. After the writes, the alert
// check runs for every written access row, in arrival order.
//
// Main thread only.

#ifndef QUILLO_DAEMON_REQUEST_ROUND_H_
#define QUILLO_DAEMON_REQUEST_ROUND_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "daemon/access_log.h"
#include "daemon/handler_stats.h"
#include "daemon/peer_set.h"
#include "daemon/request_loop.h"
#include "daemon/request_reports.h"
#include "daemon/system_log.h"
#include "logstore/log_store.h"

namespace quillo {

class ConfigXml;

class RequestRound final {
 public:
  // Every reference must outlive the round's object.
  RequestRound(LogStore& store, SystemLogHandler& system_log,
               AccessLogHandler& access_log, HandlerStats& handler_stats,
               RequestStats& requests, RequestReports& reports);

  // Sets the answer of every frame of `round` with the settings of
  // `config`, writing the rows of the round with one write_batch() call.
  void serve(std::deque<PeerSet::Frame>& round, ConfigXml& config);

 private:
  // An access row of the batch and the frame it answers.
  struct AccessSlot {
    std::size_t frame;
    std::size_t row;
  };

  // The answer of one frame, its row put into the batch; -1 for none.
  int take(PeerSet::Frame& frame, std::size_t index, std::int64_t now,
           ConfigXml& config);
  int take_access(const RequestData& request, std::size_t index,
                  std::int64_t now, ConfigXml& config);
  int malformed();
  void write(std::int64_t now);

  LogStore& store_;
  SystemLogHandler& system_log_;
  AccessLogHandler& access_log_;
  HandlerStats& handler_stats_;
  RequestStats& requests_;
  RequestReports& reports_;
  std::vector<BatchRow> batch_;
  std::vector<AccessSlot> access_rows_;
  std::string console_;  // the round's progress lines
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_REQUEST_ROUND_H_
