// quillo-query's side of log sealing: --setup-keys makes the verification
// key and the sealing state, --verify checks the log tree against the
// seal records the daemon wrote (seal/seal_record.h, seal/seal_store.h).
//
// The check reads the sealing state read-only and never needs the key
// file. It checks the record chain (numbers without gaps, each record's
// PREV the hash of the line before, epochs from 0 rising by at most one
// and, given the verification key, each record's MAC under its epoch's
// key), then each log file in range against its seals: the file's chain
// after each sealed LINES must be the record's CHAIN. The chain list the
// daemon keeps per file (not authenticated) only names the first line
// that differs. One finding per line of output, in a stable order: the
// records' first, then the files' in kind, month and name order.
//
// Each file is read once, in 256 KiB reads, with no allocation per line.
// Single-threaded.

#ifndef QUILLO_QUERY_SEAL_VERIFY_H_
#define QUILLO_QUERY_SEAL_VERIFY_H_

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "logstore/log_kind.h"
#include "reader/log_query.h"
#include "seal/seal_crypto.h"

namespace quillo {

// The sealing state cannot be used: none there, unsafe or unreadable, or
// setup failed. what() is the message shown after "Error: ".
class SealError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct VerifyRequest {
  std::string log_root;
  std::string state_dir;  // holds the folder seal/
  std::vector<LogKind> kinds{kLogKinds.begin(), kLogKinds.end()};
  // Files are checked when the time of their name lies in these inclusive
  // bounds (seconds since the epoch); the records are always all checked.
  int64_t since = std::numeric_limits<int64_t>::min();
  int64_t until = std::numeric_limits<int64_t>::max();
  std::optional<SealKey> key;  // K0; none: the MACs are not checked
};

struct SealFinding {
  std::string text;  // one line, without LF
  bool warning = false;
};

// Checks the records and the files of `request`; entries of the tree that
// are left out (planted FIFOs, foreign names) go to `observer`. Raises
// SealError when the sealing state is missing ("no sealing state in DIR;
// run quillo-query --setup-keys"), unsafe or unreadable, and TreeError
// when the log root or a log file cannot be read.
std::vector<SealFinding> verify_seals(const VerifyRequest& request,
                                      ReadObserver& observer);

// 0 when the findings are all warnings (or none), 1 otherwise.
int verify_exit_status(const std::vector<SealFinding>& findings);

// Draws K0, makes `state_dir` when it is missing (0755, as the daemon
// does) and the sealing state below it for epoch 0, and
// returns the two lines to show (the key and what to do with it), each
// ending in LF. Raises SealError when the random generator fails or a
// sealing state exists already. The caller checks that it runs as root.
std::string setup_seal_keys(const std::string& state_dir);

}  // namespace quillo

#endif  // QUILLO_QUERY_SEAL_VERIFY_H_
