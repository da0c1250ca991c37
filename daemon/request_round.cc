#include "daemon/request_round.h"

#include <time.h>

#include <optional>
#include <utility>

#include "base/console.h"
#include "base/local_fields.h"
#include "protocol/packet.h"

namespace quillo {

RequestRound::RequestRound(LogStore& store, SystemLogHandler& system_log,
                           AccessLogHandler& access_log,
                           HandlerStats& handler_stats, RequestStats& requests,
                           RequestReports& reports)
    : store_(store),
      system_log_(system_log),
      access_log_(access_log),
      handler_stats_(handler_stats),
      requests_(requests),
      reports_(reports) {}

void RequestRound::serve(std::deque<PeerSet::Frame>& round,
                         ConfigXml& config) {
  if (round.empty()) return;
  // The appliance's time zone may have changed since the last round.
  base::reload_time_zone();
  const std::int64_t now = static_cast<std::int64_t>(::time(nullptr));
  batch_.clear();
  access_rows_.clear();
  // A peer's frames in a round follow each other: after one that is not
  // answered, the rest of that peer's are left alone.
  const PeerSet::Peer* refused = nullptr;
  for (std::size_t i = 0; i < round.size(); ++i) {
    PeerSet::Frame& frame = round[i];
    if (frame.peer != nullptr && frame.peer == refused) continue;
    try {
      frame.answer = take(frame, i, now, config);
    } catch (...) {
      // The frame goes unanswered, which ends its peer's stream.
      base::complain_current_exception();
      frame.answer = -1;
    }
    if (frame.answer < 0) refused = frame.peer;
  }
  // The round's lines in one write: a busy session would otherwise cost a
  // write to the journal per record.
  if (!console_.empty()) {
    base::say(console_);
    console_.clear();
  }
  write(now);
  for (const AccessSlot& slot : access_rows_) {
    const BatchRow& row = batch_[slot.row];
    int& answer = round[slot.frame].answer;
    try {
      answer = access_log_.finish(row.row, row.written, now, config)
                   ? kResultAccepted
                   : kResultNotStored;
    } catch (...) {
      base::complain_current_exception();
      answer = -1;
    }
  }
}

int RequestRound::take(PeerSet::Frame& frame, std::size_t index,
                       std::int64_t now, ConfigXml& config) {
  RequestData& request = frame.request;
  if (request.size == 0) {
    reports_.report(RequestReports::kNoData);
    requests_.malformed++;
    return -1;
  }
  if (!frame.whole) {
    reports_.report(RequestReports::kIncomplete);
    requests_.malformed++;
    return -1;
  }
  request.reload_entry();
  const int type = request.type_code();
  if (type < 0) return malformed();
  if (type == static_cast<int>(RequestType::SystemLog)) {
    console_ += "system log request received.\n";
    requests_.system++;
    const ReqSystemLog record(request);
    if (!record.well_formed()) return malformed();
    system_log_.prepare(record, config, &batch_);
    return kResultAccepted;
  }
  if (type == static_cast<int>(RequestType::AccessLog)) {
    return take_access(request, index, now, config);
  }
  reports_.report(RequestReports::kOtherType);
  requests_.other_type++;
  return kResultAccepted;
}

int RequestRound::take_access(const RequestData& request, std::size_t index,
                              std::int64_t now, ConfigXml& config) {
  console_ += "access log request received.\n";
  requests_.access++;
  const ReqAccessLog record(request);
  if (!record.well_formed()) return malformed();
  std::optional<LogRow> row = access_log_.prepare(now, record, config);
  if (row) {
    // Answered once the batch is written.
    access_rows_.push_back({index, batch_.size()});
    batch_.push_back({std::move(*row), false});
  }
  return kResultAccepted;
}

int RequestRound::malformed() {
  reports_.report(RequestReports::kMalformed);
  requests_.malformed++;
  return -1;
}

// The batch stops a kind at its first row that fails; the rows it left are
// tried once more one by one, as lone records always were, so that one row
// that cannot be written (too long for the room left, say) holds back no
// other. Rows still not written keep `written` false: system rows stay
// queued, access rows are answered "not stored".
void RequestRound::write(std::int64_t now) {
  if (!batch_.empty()) {
    try {
      WriteCounts counts;
      store_.write_batch(batch_, now, &counts);
      for (BatchRow& row : batch_) {
        if (!row.written) row.written = store_.write(row.row, now, &counts);
      }
      handler_stats_.files_deleted += counts.files_deleted;
      handler_stats_.unsafe_entries += counts.unsafe_entries;
    } catch (...) {
      base::complain_current_exception();
    }
  }
  system_log_.finish(batch_);
}

}  // namespace quillo
