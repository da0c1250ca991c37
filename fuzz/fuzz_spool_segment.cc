// Fuzzes the forwarder's spool on segment files it did not write: the input
// becomes one or two segment files (and maybe a position file) in a fresh
// spool folder, which is opened and drained through the public calls the
// forwarder makes (peek, advance, confirm_sent). Every batch must be the
// segment's own bytes at the batch's offset, inside the file, at a place
// past the previous batch (nothing is offered twice), cut into frames that
// the writer could have written: each re-encoded with
// octet_counted_frame() gives its bytes back. The drain must end within
// one peek per three bytes (the shortest frame, "1 x") plus one per
// segment, and leave nothing unsent behind it.
//
// Input: byte 0 picks two segments (bit 0; byte 1 is then where the bytes
// are split), a position file inside the first one (bit 1; byte 2 is where)
// and the batch size (bits 2-4: 16 << n bytes); the rest is the segments'
// bytes.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "forward/spool.h"
#include "forward/syslog_message.h"

namespace {

using quillo::Spool;

// The spool folder of this process, removed at exit.
struct Folder {
  std::string path;
  Folder() {
    const char* base = getenv("TMPDIR");
    path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
           "/quillo-spool-" + std::to_string(getpid());
  }
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) abort();
}

// "<length> <message>" split into its message, or false.
bool frame_message(const std::string& frame, std::string* message) {
  const std::size_t space = frame.find(' ');
  if (space == std::string::npos) return false;
  *message = frame.substr(space + 1);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static const Folder folder;
  const std::string& dir = folder.path;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);

  const std::string bytes(reinterpret_cast<const char*>(data + 3), size - 3);
  std::vector<std::string> segments{bytes};
  if (data[0] & 1) {
    const std::size_t split = bytes.size() * data[1] / 256;
    segments = {bytes.substr(0, split), bytes.substr(split)};
  }
  for (std::size_t i = 0; i < segments.size(); ++i) {
    char name[32];
    snprintf(name, sizeof name, "%020zu.seg", i + 1);
    write_file(dir + "/" + name, segments[i]);
  }
  if (data[0] & 2) {
    write_file(
        dir + "/position",
        "1 " + std::to_string(segments[0].size() * data[2] / 256) + "\n");
  }
  const std::size_t batch_bytes = std::size_t{16} << ((data[0] >> 2) & 7);

  Spool spool(dir, 1 << 20);
  if (spool.open() != 0) abort();
  const std::size_t bound = bytes.size() / 3 + segments.size() + 1;
  std::uint64_t last_segment = 0, last_end = 0;
  for (std::size_t peeks = 0;; ++peeks) {
    if (peeks > bound) abort();  // the reader goes round in circles
    const Spool::Batch batch = spool.peek(batch_bytes);
    if (batch.bytes.empty()) break;
    if (batch.segment < 1 || batch.segment > segments.size()) abort();
    const std::string& file = segments[batch.segment - 1];
    if (batch.segment < last_segment ||
        (batch.segment == last_segment && batch.offset < last_end) ||
        batch.offset > file.size() ||
        file.compare(batch.offset, batch.bytes.size(), batch.bytes) != 0 ||
        batch.frame_ends.empty() ||
        batch.frame_ends.back() != batch.bytes.size()) {
      abort();
    }
    std::size_t start = 0;
    for (const std::size_t end : batch.frame_ends) {
      if (end <= start) abort();
      const std::string frame = batch.bytes.substr(start, end - start);
      std::string message;
      if (!frame_message(frame, &message) ||
          quillo::octet_counted_frame(message) != frame) {
        abort();
      }
      start = end;
    }
    last_segment = batch.segment;
    last_end = batch.offset + batch.bytes.size();
    spool.advance(batch, batch.bytes.size(), batch.frame_ends.size());
    spool.confirm_sent();
  }
  if (spool.has_unsent() || spool.unsent_rows() != 0) abort();
  return 0;
}
