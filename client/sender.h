// Hands one record to the daemon: connect, send the frame, read the answer,
// all within a time bound. Prints nothing.

#ifndef QUILLO_CLIENT_SENDER_H_
#define QUILLO_CLIENT_SENDER_H_

#include <chrono>
#include <string>

#include "protocol/packet.h"

namespace quillo {

// The outcome, as quillo-send's exit status: 0 taken; 3 no connection;
// 4 sending failed; 5 no answer, or an unknown one; 6 "not stored".
enum SendStatus {
  kSendTaken = 0,
  kSendNoConnection = 3,
  kSendFailed = 4,
  kSendNoAnswer = 5,
  kSendNotStored = 6,
};

SendStatus send_record(const std::string& socket_path,
                       const quillo::RequestData& record,
                       std::chrono::steady_clock::duration bound);

}  // namespace quillo

#endif  // QUILLO_CLIENT_SENDER_H_
