// Fuzzes request frames as the daemon receives them. The input is a stream
// of frames; the protocol's FrameReader must cut it into exactly the frames
// a plain reading of the layout gives (a 2-byte length, the body, at most
// kMaxBody bytes of it kept and the rest dropped), whether the bytes come
// all at once or in pieces, holding no more than a frame's worth. The
// first frame then goes through the same steps as in the request loop
// (type code, typed record, well_formed()), and a well-formed record is
// handled by the system-log or access-log handler on a private tree.
//
// The tree: a configuration with both logs on for every share and an alert
// condition that matches every access, so that the alert check writes the alert
// log and pushes rows. The alert thread is never started; it and the log
// tree are replaced every kResetEvery inputs so that neither grows without
// bound.

#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "alert/alert_engine.h"
#include "alert/alert_thread.h"
#include "config/config_test_util.h"
#include "config/config_xml.h"
#include "daemon/access_log.h"
#include "daemon/system_log.h"
#include "logstore/log_store.h"
#include "protocol/frame_reader.h"
#include "protocol/packet.h"

namespace {

using quillo::AccessLogHandler;
using quillo::AlertEngine;
using quillo::AlertThread;
using quillo::ConfigXml;
using quillo::HandlerStats;
using quillo::LogStore;
using quillo::SystemLogHandler;

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
  std::unique_ptr<LogStore> store;
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
    system_log.reset();
    store.reset();
    std::filesystem::remove_all(log_root);
    std::filesystem::remove_all(state_dir);
    std::filesystem::create_directories(log_root);
    std::filesystem::create_directories(state_dir);
    alerts =
        std::make_unique<AlertThread>(AlertThread::kDefaultTiming, nullptr);
    store = std::make_unique<LogStore>(state_dir);
    system_log = std::make_unique<SystemLogHandler>(*store, stats);
    alert_check = std::make_unique<AlertEngine>(
        *alerts, [this](const quillo::LogRow& row, std::size_t copies) {
          return access_log->write_alert_row(row, copies, config);
        });
    access_log =
        std::make_unique<AccessLogHandler>(*store, *alert_check, stats);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// The whole frames of `data`, read by the plain rule of the layout.
std::vector<std::string> reference_frames(const uint8_t* data, size_t size) {
  std::vector<std::string> frames;
  size_t at = 0;
  while (size - at >= 2) {
    const size_t announced = (size_t{data[at]} << 8) | data[at + 1];
    const size_t kept = std::min(announced, size_t{quillo::kMaxBody});
    if (size - at - 2 < kept) break;
    frames.emplace_back(reinterpret_cast<const char*>(data + at + 2), kept);
    at += 2 + announced;
    if (at >= size) break;
  }
  return frames;
}

// The frames FrameReader hands out when `data` comes in pieces of the
// sizes `piece` gives (as far as the reader takes them).
template <typename Piece>
std::vector<std::string> reader_frames(const uint8_t* data, size_t size,
                                       Piece piece) {
  quillo::FrameReader reader;
  quillo::RequestData packet;
  std::vector<std::string> frames;
  size_t at = 0;
  for (;;) {
    while (reader.next(packet) == quillo::FrameReader::Status::kDone) {
      frames.emplace_back(reinterpret_cast<const char*>(packet.data.get()),
                          packet.size);
    }
    if (reader.held() > quillo::FrameReader::kCapacity) abort();
    if (at == size) return frames;
    if (reader.room() == 0) abort();  // it would never take the rest
    at += reader.feed(data + at, std::min(piece(at), size - at));
  }
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

  const std::vector<std::string> frames = reference_frames(data, size);
  if (reader_frames(data, size, [size](size_t) { return size; }) != frames ||
      reader_frames(data, size,
                    [data](size_t at) { return size_t{data[at]} % 17 + 1; }) !=
          frames) {
    abort();
  }
  // The daemon ignores an empty first frame and an incomplete one.
  if (frames.empty() || frames[0].empty()) return 0;
  quillo::RequestData request;
  request.set_size(static_cast<unsigned short>(frames[0].size()));
  std::memcpy(request.data.get(), frames[0].data(), request.size);
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
