// One log file against its seals, for --verify (query/seal_verify.h).
//
// The file's chain (seal/seal_crypto.h) is computed in one pass over the
// file: lines end at CR LF (a lone LF is part of its line), the first
// holds the byte order mark, and a last line without CR LF counts too.
// After each seal's LINES the chain must be the seal's CHAIN. When it is
// not, the finding names the first line after the last seal that held
// whose entry in the daemon's chain list differs from the computed one,
// or else the seal's LINES. Lines past the last seal are only counted.
//
// Reads go through one 256 KiB buffer kept across files; a line is hashed
// where it lies in the buffer, and copied only when a read cuts it (into
// a string that keeps its capacity), so the loop allocates nothing per
// line. Single-threaded.

#ifndef QUILLO_QUERY_SEAL_FILE_CHECK_H_
#define QUILLO_QUERY_SEAL_FILE_CHECK_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "query/seal_verify.h"
#include "seal/seal_crypto.h"
#include "seal/seal_store.h"

namespace quillo {

// A seal record's claim: the file's first `lines` lines have `chain`.
struct Seal {
  std::uint64_t lines = 0;
  Digest chain{};
};

// What the records say of one file.
struct FileSeals {
  std::vector<Seal> seals;  // by lines, before the file is checked
  bool tombstoned = false;  // a tombstone came after the last seal
};

// By the file's path below the log root.
using SealsByName = std::map<std::string, FileSeals>;

class FileCheck {
 public:
  // `store` (opened) must outlive the object.
  explicit FileCheck(const SealStore& store);
  FileCheck(const FileCheck&) = delete;
  FileCheck& operator=(const FileCheck&) = delete;

  // Checks the open file `fd` whose path below the log root is `name`
  // and which findings call `shown`, against `seals` (null: none). The
  // finding, if any: "changed", "truncated", "not sealed", or the warning
  // "lines not yet sealed". Raises TreeError when a read fails.
  std::optional<SealFinding> check(int fd, const std::string& name,
                                   const std::string& shown,
                                   const FileSeals* seals);

 private:
  void reset(const std::string& name, const FileSeals* seals);
  void read_all(int fd, const std::string& shown);
  void feed(const char* data, std::size_t size);
  void keep(const char* data, std::size_t size);
  void end_line(std::string_view line);
  void check_seals();
  // A seal failed at the current line.
  void fail();

  const SealStore& store_;
  std::vector<char> buffer_;
  std::string list_;   // the daemon's chain list of the file
  std::string carry_;  // the line a read cut, while it is hashed
  const std::vector<Seal>* seals_ = nullptr;
  std::size_t next_seal_ = 0;
  std::uint64_t sealed_ = 0;  // the last seal's lines
  std::uint64_t lines_ = 0;
  std::uint64_t first_diff_ = 0;  // in the list since the last seal held
  bool changed_ = false;          // a seal failed
  std::uint64_t changed_at_ = 0;  // the line named then
  Digest chain_{};
  bool pending_ = false;   // bytes of a line without its end yet
  bool last_cr_ = false;   // and the last of them is CR
  bool overlong_ = false;  // the pending line outgrew kMaxSealedLine
};

}  // namespace quillo

#endif  // QUILLO_QUERY_SEAL_FILE_CHECK_H_
