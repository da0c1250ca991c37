// Seal records: the checkpoints of the log files, one line each in the
// sealing state's record file (<state dir>/seal/records), chained to each
// other and authenticated with the key of their epoch:
//
//   v1 SEQ EPOCH TIME TYPE FILE LINES CHAIN PREV MAC
//
//   SEQ     0, 1, 2, ... with no gap
//   EPOCH   the epoch whose key made MAC; never less than the record's
//           before it, and at most one more (every epoch ends with a
//           record, a heartbeat when nothing changed)
//   TIME    seconds since the epoch (1970) when the record was made
//   TYPE    seal       FILE's first LINES lines have chain CHAIN
//           tombstone  FILE was deleted by the retention rule; LINES and
//                      CHAIN are those it had
//           heartbeat  the epoch ended with no file changed (FILE "-")
//           start      the daemon began sealing (FILE "-")
//           stop       the daemon stopped cleanly (FILE "-")
//   FILE    the file's path below the log root, or "-"
//   LINES   decimal
//   CHAIN   64 hex digits (zeros for "-")
//   PREV    SHA-256 of the record line before it, as stored, without its
//           LF (zeros for the first record)
//   MAC     HMAC-SHA256 under the epoch's key of everything before " MAC"
//
// A record line is at most kMaxRecordLine bytes; names in FILE are the
// log tree's strict names and hold no space.

#ifndef QUILLO_SEAL_SEAL_RECORD_H_
#define QUILLO_SEAL_SEAL_RECORD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "seal/seal_crypto.h"

namespace quillo {

inline constexpr std::size_t kMaxRecordLine = 1024;

enum class SealType { kSeal, kTombstone, kHeartbeat, kStart, kStop };

struct SealRecord {
  std::uint64_t seq = 0;
  std::uint64_t epoch = 0;
  std::int64_t time = 0;
  SealType type = SealType::kHeartbeat;
  std::string file = "-";
  std::uint64_t lines = 0;
  Digest chain{};
  Digest prev{};
  Digest mac{};
};

const char* seal_type_name(SealType type);

// The record's line (no LF) with its MAC computed under `key`; sets
// record->mac.
std::string format_seal_record(SealRecord* record, const SealKey& key);

// Parses a line (no LF); nullopt when it is not a record of this form.
// The MAC is not checked.
std::optional<SealRecord> parse_seal_record(std::string_view line);

// Whether the record's MAC is right under `key` (the key of its epoch).
bool seal_record_authentic(std::string_view line, const SealRecord& record,
                           const SealKey& key);

}  // namespace quillo

#endif  // QUILLO_SEAL_SEAL_RECORD_H_
