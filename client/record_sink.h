// Where `quillo-send --stream` hands its records, and how it learns what
// became of them: a record is submitted, and its outcome comes back later,
// in submission order. The stream decides how many may be outstanding at
// once (its window); the sink only keeps what it was given until the
// outcome is taken.
//
// Implemented by the session sender (client/session.h) and by the tests'
// fakes. Used by one thread.

#ifndef QUILLO_CLIENT_RECORD_SINK_H_
#define QUILLO_CLIENT_RECORD_SINK_H_

#include <memory>

#include "client/sender.h"
#include "protocol/packet.h"

namespace quillo {

class RecordSink {
 public:
  virtual ~RecordSink() = default;

  // Hands the record on; it may already be on its way to the daemon when
  // this returns, or, on the one-connection-per-record path, answered.
  virtual void submit(std::unique_ptr<RequestData> record) = 0;
  // The outcome of the oldest submitted record whose outcome has not been
  // taken yet; waits for it, within the sender's bounds, when it is not
  // known. Precondition: such a record exists.
  virtual SendStatus next_outcome() = 0;
  // Whether next_outcome() would return at once, looking at what has
  // arrived without waiting for more.
  virtual bool outcome_ready() = 0;
  // Whether records can go out now: a channel to the daemon is open, or
  // was opened by this call (one try, bounded). False with `*why` saying
  // what a record would get instead.
  virtual bool can_send(SendStatus* why) = 0;
};

}  // namespace quillo

#endif  // QUILLO_CLIENT_RECORD_SINK_H_
