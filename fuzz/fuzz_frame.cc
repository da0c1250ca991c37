// Fuzzes a request frame as the daemon receives it: the 2-byte length and
// the body go through the same steps as in the request loop (receive, type
// code, typed record, well_formed()), and a well-formed record is handled
// by the system-log or access-log handler on a private tree.
//
// The tree: a configuration with both logs on for every share and an alert
// condition that matches every access, so that the alert check writes the alert
// log and pushes rows. The alert thread is never started; it and the log
// tree are replaced every kResetEvery inputs so that neither grows without
// bound.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "alert/alert_engine.h"
#include "alert/alert_thread.h"
#include "config/config_test_util.h"
#include "config/config_xml.h"
#include "daemon/access_log.h"
#include "daemon/system_log.h"
#include "protocol/packet.h"

namespace {

using quillo::AlertEngine;
using quillo::AlertThread;
using quillo::ConfigXml;

constexpr int kResetEvery = 256;
// 2026-12-07 09:30:15 UTC: every access row goes to one file.
constexpr int64_t kNow = 1796635815;

struct Fixture {
  TempConfig tree;
  std::string log_root = tree.root() + "/logs";
  std::string state_dir = tree.root() + "/state";
  ConfigXml config{tree.path()};
  HandlerStats stats;
  std::unique_ptr<AlertThread> alerts;
  std::unique_ptr<AlertEngine> alert_check;
  std::unique_ptr<SystemLogHandler> system_log;
  std::unique_ptr<AccessLogHandler> access_log;
  int runs = 0;

  Fixture() {
    reset();
    tree.Write("<config><share><path>" + log_root +
               "</path></share>"
               "<eventlogconf enable=\"true\"><autodelete enable=\"false\"/>"
               "</eventlogconf>"
               "<accesslogconf enable=\"true\"><sharelist all=\"true\"/>"
               "<autodelete enable=\"false\"/></accesslogconf>"
               "<alertlist><alert><name>all</name><usernamelist all=\"true\"/>"
               "<hostname>*</hostname><path>*</path>"
               "<period><weekdays sun=\"true\" mon=\"true\" tue=\"true\" "
               "wed=\"true\" thu=\"true\" fri=\"true\" sat=\"true\"/></period>"
               "<operationlist><operation type=\"open\" enable=\"true\"/>"
               "<operation type=\"open_read\" enable=\"true\"/></operationlist>"
               "</alert></alertlist></config>");
    config.load();
  }

  // Empties the log tree, the state files and the alert rows.
  void reset() {
    access_log.reset();
    alert_check.reset();
    std::filesystem::remove_all(log_root);
    std::filesystem::remove_all(state_dir);
    std::filesystem::create_directories(log_root);
    std::filesystem::create_directories(state_dir);
    alerts =
        std::make_unique<AlertThread>(AlertThread::kDefaultTiming, nullptr);
    system_log = std::make_unique<SystemLogHandler>(state_dir, stats);
    alert_check = std::make_unique<AlertEngine>(
        *alerts, [this](const quillo::LogRow& row) {
          return access_log->write_alert_row(row, config);
        });
    access_log =
        std::make_unique<AccessLogHandler>(state_dir, *alert_check, stats);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// The request as Connection::receive leaves it, or false when the daemon
// would ignore the frame before looking at its body (empty or incomplete).
bool receive(const uint8_t* data, size_t size, quillo::RequestData& request) {
  if (size < 2) return false;
  const unsigned short announced =
      static_cast<unsigned short>((data[0] << 8) | data[1]);
  request.set_size(announced);
  if (request.size == 0 || size - 2 < request.size) return false;
  std::memcpy(request.data.get(), data + 2, request.size);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "UTC", 1);
  fixture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& f = fixture();
  if (++f.runs % kResetEvery == 0) f.reset();

  quillo::RequestData request;
  if (!receive(data, size, request)) return 0;
  request.reload_entry();
  const int type = request.type_code();
  if (type == static_cast<int>(quillo::RequestType::SystemLog)) {
    const quillo::ReqSystemLog record(request);
    if (!record.well_formed()) return 0;
    f.system_log->handle(record, f.config);
    // The log root is there and writable: no row may stay behind.
    if (!f.system_log->pending().empty()) abort();
  } else if (type == static_cast<int>(quillo::RequestType::AccessLog)) {
    const quillo::ReqAccessLog record(request);
    if (!record.well_formed()) return 0;
    f.access_log->handle_at(kNow, record, f.config);
  }
  return 0;
}
