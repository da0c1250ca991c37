#include "seal/seal_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string_view>
#include <utility>

#include "base/write_all.h"
#include "seal/seal_files.h"
#include "seal/seal_text.h"

namespace quillo {

namespace {

using seal_files::append_whole;
using seal_files::errno_text;
using seal_files::kFileFlags;
using seal_files::make_folder;
using seal_files::open_in;
using seal_files::open_safe;
using seal_files::read_all;

constexpr char kKeyFile[] = "key";
constexpr char kKeyTemp[] = "key.new";
constexpr char kRecordsFile[] = "records";
constexpr char kLinesFolder[] = "lines";
constexpr char kChainSuffix[] = ".chain";
constexpr std::string_view kKeyVersion = "qs1";
// A key file is one short line; anything longer is not one of ours.
constexpr std::size_t kMaxKeyFile = 256;

bool fail(std::string* error, const std::string& path,
          const std::string& reason) {
  if (error != nullptr) *error = "the sealing state " + path + ": " + reason;
  return false;
}

std::string format_key_text(const SealKeyState& s) {
  std::string text(kKeyVersion);
  text += ' ' + std::to_string(s.epoch) + ' ' + std::to_string(s.next_seq);
  text += ' ' + to_hex(s.prev) + ' ' + to_hex(s.key) + '\n';
  return text;
}

std::optional<SealKeyState> parse_key_text(std::string_view text) {
  if (text.empty() || text.back() != '\n') return std::nullopt;
  text.remove_suffix(1);
  const auto f = seal_text::split_fields(text);
  SealKeyState s;
  if (f.size() != 5 || f[0] != kKeyVersion ||
      !seal_text::parse_decimal(f[1], &s.epoch) ||
      !seal_text::parse_decimal(f[2], &s.next_seq) ||
      !from_hex(f[3], s.prev.data(), s.prev.size()) ||
      !from_hex(f[4], s.key.data(), s.key.size())) {
    return std::nullopt;
  }
  return s;
}

// Writes the key file whole under a temporary name and puts it in place:
// over the old one when `replace` is set, else only when there is none
// (a hard link fails when the name is taken). Synced, with the folder.
bool write_key_file(int dir, const SealKeyState& state, bool replace,
                    std::string* reason) {
  const std::string text = format_key_text(state);
  // A temporary file a crash left behind goes before the new one is made
  // (it holds a key no newer than the one in place).
  ::unlinkat(dir, kKeyTemp, 0);
  base::UniqueFd fd(
      ::openat(dir, kKeyTemp, O_WRONLY | O_CREAT | O_EXCL | kFileFlags, 0600));
  bool ok = fd && ::fchmod(fd.get(), 0600) == 0 &&
            base::write_all(fd.get(), text.data(), text.size()) &&
            ::fsync(fd.get()) == 0;
  if (ok) {
    ok = replace ? ::renameat(dir, kKeyTemp, dir, kKeyFile) == 0
                 : ::linkat(dir, kKeyTemp, dir, kKeyFile, 0) == 0;
  }
  const int err = errno;
  if (!ok || !replace) ::unlinkat(dir, kKeyTemp, 0);
  if (!ok) {
    *reason = err == EEXIST ? "a key file is there already" : errno_text(err);
    return false;
  }
  if (::fsync(dir) != 0) {
    *reason = errno_text(errno);
    return false;
  }
  return true;
}

// Why `name` is not a path below the log root, or "" when it is one:
// relative, no empty or "." component, no "..", no NUL byte.
std::string bad_name_reason(const std::string& name) {
  if (name.find("..") != std::string::npos) return "a name with \"..\"";
  if (name.find('\0') != std::string::npos) return "a name with a NUL byte";
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = name.find('/', start);
    const std::string part = name.substr(start, slash - start);
    if (part.empty() || part == ".") {
      return "a name with an empty or \".\" component";
    }
    if (slash == std::string::npos) return "";
    start = slash + 1;
  }
}

// The folder that holds the chain list of `name`: lines/ and the folders
// of `name`, each opened below the one before, made when `make` is set.
// *leaf gets the list's own name. Empty when a step fails, with *err
// ENOENT when something is missing.
base::UniqueFd chain_folder(const base::UniqueFd& dir, const std::string& name,
                            bool make, std::string* leaf, std::string* reason,
                            int* err) {
  *err = 0;
  *reason = dir ? bad_name_reason(name) : "not opened";
  if (!reason->empty()) return base::UniqueFd();
  auto step = [&](int parent, const std::string& part) {
    if (make) return make_folder(parent, part.c_str(), reason);
    return open_safe(parent, part.c_str(), 0, S_IFDIR, reason, err);
  };
  base::UniqueFd folder = step(dir.get(), kLinesFolder);
  std::size_t start = 0;
  for (std::size_t slash;
       folder && (slash = name.find('/', start)) != std::string::npos;
       start = slash + 1) {
    folder = step(folder.get(), name.substr(start, slash - start));
  }
  *leaf = name.substr(start) + kChainSuffix;
  return folder;
}

// The chain list of `name` opened with `flags`; its folders made when
// O_CREAT is among them.
base::UniqueFd open_chain(const base::UniqueFd& dir, const std::string& name,
                          int flags, std::string* reason, int* err) {
  std::string leaf;
  const base::UniqueFd folder =
      chain_folder(dir, name, (flags & O_CREAT) != 0, &leaf, reason, err);
  if (!folder) return base::UniqueFd();
  return open_safe(folder.get(), leaf.c_str(), flags, S_IFREG, reason, err);
}

}  // namespace

SealStore::SealStore(std::string state_dir)
    : state_dir_(std::move(state_dir)),
      folder_(state_dir_ + "/" + kSealFolder) {}

bool SealStore::create(const SealKey& k0, std::string* error) {
  base::UniqueFd state(
      ::open(state_dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!state) return fail(error, state_dir_, errno_text(errno));
  std::string reason;
  base::UniqueFd dir = make_folder(state.get(), kSealFolder, &reason);
  if (!dir) return fail(error, folder_, reason);
  const std::string key_path = folder_ + "/" + kKeyFile;
  struct stat st;
  if (::fstatat(dir.get(), kKeyFile, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return fail(error, key_path, "a key file is there already");
  }
  int err = 0;
  if (!open_in(dir, kRecordsFile, O_WRONLY | O_CREAT, &reason, &err)) {
    return fail(error, folder_ + "/" + kRecordsFile, reason);
  }
  if (!make_folder(dir.get(), kLinesFolder, &reason)) {
    return fail(error, folder_ + "/" + kLinesFolder, reason);
  }
  SealKeyState first;
  first.key = k0;
  if (!write_key_file(dir.get(), first, /*replace=*/false, &reason)) {
    return fail(error, key_path, reason);
  }
  if (::fsync(state.get()) != 0) {
    return fail(error, state_dir_, errno_text(errno));
  }
  dir_ = std::move(dir);
  return true;
}

bool SealStore::open(std::string* error, bool* missing) {
  if (missing != nullptr) *missing = false;
  base::UniqueFd state(
      ::open(state_dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int err = state ? 0 : errno;
  std::string reason = state ? "" : errno_text(err);
  base::UniqueFd dir;
  if (state) {
    dir = open_safe(state.get(), kSealFolder, 0, S_IFDIR, &reason, &err);
  }
  if (!dir) {
    if (missing != nullptr) *missing = err == ENOENT;
    return fail(error, folder_, reason);
  }
  dir_ = std::move(dir);
  return true;
}

std::optional<SealKeyState> SealStore::load_key(std::string* error) const {
  const std::string path = folder_ + "/" + kKeyFile;
  std::string reason;
  int err = 0;
  const base::UniqueFd fd = open_in(dir_, kKeyFile, O_RDONLY, &reason, &err);
  std::string text;
  if (!fd || !read_all(fd.get(), &text, kMaxKeyFile + 1)) {
    fail(error, path, fd ? errno_text(errno) : reason);
    return std::nullopt;
  }
  std::optional<SealKeyState> state = parse_key_text(text);
  if (!state) fail(error, path, "not a key file of this version");
  return state;
}

bool SealStore::save_key(const SealKeyState& state, std::string* error) const {
  std::string reason = "not opened";
  if (!dir_ || !write_key_file(dir_.get(), state, /*replace=*/true, &reason)) {
    return fail(error, folder_ + "/" + kKeyFile, reason);
  }
  return true;
}

bool SealStore::append_records(const std::vector<std::string>& lines,
                               std::string* error) const {
  const std::string path = folder_ + "/" + kRecordsFile;
  std::string data;
  for (const std::string& line : lines) {
    if (line.find('\n') != std::string::npos) {
      return fail(error, path, "a record line with a line feed");
    }
    data += line;
    data += '\n';
  }
  if (data.empty()) return true;
  std::string reason;
  int err = 0;
  const base::UniqueFd fd =
      open_in(dir_, kRecordsFile, O_WRONLY | O_APPEND | O_CREAT, &reason, &err);
  if (!fd || !append_whole(fd.get(), data, /*sync=*/true, &reason)) {
    return fail(error, path, reason);
  }
  return true;
}

bool SealStore::read_records(std::vector<std::string>* lines,
                             std::string* error) const {
  lines->clear();
  std::string reason;
  int err = 0;
  const base::UniqueFd fd =
      open_in(dir_, kRecordsFile, O_RDONLY, &reason, &err);
  // create() makes the file; none at all reads as no records, which the
  // key file's next record number then contradicts.
  if (!fd && err == ENOENT) return true;
  std::string text;
  if (!fd || !read_all(fd.get(), &text, SIZE_MAX)) {
    return fail(error, folder_ + "/" + kRecordsFile,
                fd ? errno_text(errno) : reason);
  }
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines->push_back(text.substr(start, end - start));
  }
  return true;
}

bool SealStore::append_chain(const std::string& name,
                             const std::string& entries,
                             std::string* error) const {
  const std::string path =
      folder_ + "/" + kLinesFolder + "/" + name + kChainSuffix;
  if (entries.size() % kChainEntryBytes != 0) {
    return fail(error, path, "chain entries of the wrong size");
  }
  if (entries.empty()) return true;
  std::string reason;
  int err = 0;
  const base::UniqueFd fd =
      open_chain(dir_, name, O_WRONLY | O_APPEND | O_CREAT, &reason, &err);
  // Not synced: the list only points the verifier at a line, the synced
  // seal records carry the proof, and a sync here would cost a disk flush
  // per group commit.
  if (!fd || !append_whole(fd.get(), entries, /*sync=*/false, &reason)) {
    return fail(error, path, reason);
  }
  return true;
}

std::string SealStore::read_chain(const std::string& name) const {
  std::string reason;
  int err = 0;
  const base::UniqueFd fd = open_chain(dir_, name, O_RDONLY, &reason, &err);
  std::string bytes;
  if (!fd || !read_all(fd.get(), &bytes, SIZE_MAX)) return "";
  return bytes;
}

bool SealStore::truncate_chain(const std::string& name, std::uint64_t entries,
                               std::string* error) const {
  const std::string path =
      folder_ + "/" + kLinesFolder + "/" + name + kChainSuffix;
  std::string reason;
  int err = 0;
  const base::UniqueFd fd = open_chain(dir_, name, O_WRONLY, &reason, &err);
  // No list is a list of no entries.
  if (!fd && err == ENOENT && entries == 0) return true;
  if (!fd) return fail(error, path, reason);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail(error, path, errno_text(errno));
  const auto have = static_cast<std::uint64_t>(st.st_size) / kChainEntryBytes;
  if (entries > have) {
    return fail(error, path,
                "has " + std::to_string(have) + " entries, not " +
                    std::to_string(entries));
  }
  const auto size = static_cast<off_t>(entries * kChainEntryBytes);
  if (::ftruncate(fd.get(), size) != 0) {
    return fail(error, path, errno_text(errno));
  }
  return true;
}

void SealStore::remove_chain(const std::string& name) const {
  std::string reason;
  std::string leaf;
  int err = 0;
  const base::UniqueFd folder =
      chain_folder(dir_, name, false, &leaf, &reason, &err);
  if (folder) ::unlinkat(folder.get(), leaf.c_str(), 0);
}

}  // namespace quillo
