#include "client/sender.h"

#include "protocol/connection.h"

namespace quillo {

SendStatus send_record(const std::string& socket_path,
                       const quillo::RequestData& record,
                       std::chrono::steady_clock::duration bound) {
  quillo::Connection connection(socket_path);
  connection.set_deadline(std::chrono::steady_clock::now() + bound);
  quillo::ResultData result;
  if (connection.connect() != 0) return kSendNoConnection;
  if (connection.send(record) != 0) return kSendFailed;
  if (connection.receive(result) != 0) return kSendNoAnswer;
  if (result.code() == quillo::kResultAccepted) return kSendTaken;
  if (result.code() == quillo::kResultNotStored) return kSendNotStored;
  return kSendNoAnswer;
}

}  // namespace quillo
