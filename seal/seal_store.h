// The sealing state on disk, in <state dir>/seal/ (root's, mode 0700):
//
//   key       "qs1 EPOCH NEXT_SEQ PREV KEY\n": the current epoch, the next
//             record's number, the hash of the last record line (zeros
//             before the first) and the epoch's key K_EPOCH, 64 hex digits
//             each for PREV and KEY. Replaced whole (a new file renamed
//             over it), so the key of an epoch that ended is gone from the
//             file (the storage below may keep old blocks for a while).
//   records   the seal records, one line each (seal/seal_record.h),
//             appended
//   lines/<kind folder>/<YYYYMM>/<file name>.chain
//             for each sealed log file, the first 16 bytes of c_i for
//             every line i, in order: what lets the verifier name the
//             first line of a file that differs. It is not authenticated;
//             the seal records' chains are.
//
// Files are 0600. Nothing is followed: the folder and everything in it are
// opened below the state folder's descriptor with O_NOFOLLOW, and used
// only when they are of the right type, owned by the process's user and
// not open to others. Errors are returned as text ("the sealing state
// <path>: <reason>"), never raised.

#ifndef QUILLO_SEAL_SEAL_STORE_H_
#define QUILLO_SEAL_SEAL_STORE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "seal/seal_crypto.h"

namespace quillo {

inline constexpr char kSealFolder[] = "seal";
inline constexpr std::size_t kChainEntryBytes = 16;

struct SealKeyState {
  std::uint64_t epoch = 0;
  std::uint64_t next_seq = 0;
  Digest prev{};
  SealKey key{};
};

class SealStore {
 public:
  // The sealing folder below `state_dir`; nothing is opened yet.
  explicit SealStore(std::string state_dir);

  const std::string& folder() const { return folder_; }

  // Makes the folder and a key file for epoch 0 with `k0` (K_0, never the
  // verification key). Fails when a
  // key file is there already.
  bool create(const SealKey& k0, std::string* error);

  // Opens an existing folder; false (with *error) when there is none or it
  // is unsafe. `*missing` tells the first case from the second.
  bool open(std::string* error, bool* missing = nullptr);

  // The key file's contents; nullopt with *error when it is unreadable or
  // malformed.
  std::optional<SealKeyState> load_key(std::string* error) const;
  // Replaces the key file with `state`.
  bool save_key(const SealKeyState& state, std::string* error) const;

  // Appends record lines (each without LF) in one write.
  bool append_records(const std::vector<std::string>& lines,
                      std::string* error) const;
  // Every record line, in order (each without LF); a last line without LF
  // (a write cut short) is left out.
  bool read_records(std::vector<std::string>* lines, std::string* error) const;

  // Appends chain entries (kChainEntryBytes each) to the list of `name`
  // (the file's path below the log root), making its folders.
  bool append_chain(const std::string& name, const std::string& entries,
                    std::string* error) const;
  // The list of `name`; empty when there is none.
  std::string read_chain(const std::string& name) const;
  // Cuts the list of `name` to `entries` entries.
  bool truncate_chain(const std::string& name, std::uint64_t entries,
                      std::string* error) const;
  // Removes the list of `name` (a file the retention rule deleted).
  void remove_chain(const std::string& name) const;

 private:
  std::string state_dir_;
  std::string folder_;
  base::UniqueFd dir_;
};

}  // namespace quillo

#endif  // QUILLO_SEAL_SEAL_STORE_H_
