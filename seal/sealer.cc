#include "seal/sealer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <utility>

#include "base/console.h"
#include "base/eintr.h"
#include "base/unique_fd.h"
#include "logstore/log_row.h"

namespace quillo {
namespace {

constexpr std::chrono::minutes kReportInterval{1};
constexpr std::size_t kReadBlock = 1 << 16;
// Chain entries held in memory per file before they are stored.
constexpr std::size_t kMaxHeldEntries = std::size_t{1} << 20;

void add_entry(const Digest& value, std::string* entries) {
  entries->append(reinterpret_cast<const char*>(value.data()),
                  kChainEntryBytes);
}

// Chains every whole line of the file at `path` into `chain`, its entries
// into `entries`; false when it is not a regular file that opens. A file
// that is not there yet is empty.
bool read_chain_of(const std::string& path, Digest* chain,
                   std::uint64_t* lines, std::string* entries) {
  base::UniqueFd fd(base::retry_eintr([&] {
    return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }));
  if (!fd) return errno == ENOENT;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string line;
  std::string block(kReadBlock, '\0');
  for (;;) {
    const ssize_t n = base::retry_eintr(
        [&] { return ::read(fd.get(), block.data(), block.size()); });
    if (n < 0) return false;
    if (n == 0) break;
    std::size_t start = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
      if (block[i] != '\n' || (i == 0 ? line.empty() || line.back() != '\r'
                                      : block[i - 1] != '\r')) {
        continue;
      }
      line.append(block, start, i + 1 - start);
      *chain = chain_next(*chain, line);
      add_entry(*chain, entries);
      ++*lines;
      line.clear();
      start = i + 1;
    }
    line.append(block, start, static_cast<std::size_t>(n) - start);
  }
  return true;
}

}  // namespace

std::string seal_name(const std::string& path) {
  std::size_t cut = path.size();
  for (int parts = 0; parts < 3; ++parts) {
    const std::size_t slash = cut == 0 ? std::string::npos
                                       : path.rfind('/', cut - 1);
    if (slash == std::string::npos) return path.substr(0);
    cut = slash;
  }
  return path.substr(cut + 1);
}

Sealer::Sealer(std::string state_dir) : store_(std::move(state_dir)) {}

std::string Sealer::configure(const SealSettings& settings, std::int64_t now) {
  epoch_length_ = epoch_override_.count() > 0
                      ? epoch_override_
                      : std::chrono::seconds(settings.epoch_minutes * 60);
  if (!settings.enable) {
    if (key_) {
      seal_now(now, SealType::kStop);
      key_.reset();
      chains_.clear();
      current_chain_.fill(nullptr);
    }
    return std::string();
  }
  if (key_) {
    // A reload: what changed is sealed with the settings it was written
    // under.
    seal_now(now, SealType::kSeal);
    return std::string();
  }
  std::string error;
  bool missing = false;
  if (!store_.open(&error, &missing)) {
    if (missing) {
      return "no sealing state in " + store_.folder() +
             " (run quillo-query --setup-keys); rows are logged unsealed";
    }
    return error + "; rows are logged unsealed";
  }
  std::optional<SealKeyState> state = store_.load_key(&error);
  if (!state) return error + "; rows are logged unsealed";
  // The records may be ahead of the key file by the records of a write
  // the daemon did not live to note there.
  std::vector<std::string> records;
  if (!store_.read_records(&records, &error)) {
    return error + "; rows are logged unsealed";
  }
  if (!records.empty()) {
    const std::optional<SealRecord> last = parse_seal_record(records.back());
    if (last && last->seq + 1 > state->next_seq) {
      state->next_seq = last->seq + 1;
      state->prev = sha256(records.back());
    }
  }
  key_ = *state;
  epoch_end_ = Clock::now() + epoch_length_;
  for (std::size_t k = 0; k < current_.size(); ++k) {
    if (!current_[k].empty()) current_chain_[k] = adopt(current_[k]);
  }
  seal_now(now, SealType::kStart);
  return std::string();
}

Sealer::Clock::time_point Sealer::next_deadline() const {
  return key_ ? epoch_end_ : Clock::time_point::max();
}

void Sealer::tick(std::int64_t now, Clock::time_point steady_now) {
  if (!key_ || steady_now < epoch_end_) return;
  seal_now(now, SealType::kHeartbeat);
  if (!key_) return;
  SealKeyState next = *key_;
  next.epoch += 1;
  next.key = evolve_key(next.key);
  std::string error;
  if (store_.save_key(next, &error)) {
    key_ = next;
  } else {
    fail(error);
  }
  // A clock that jumped (a suspend) does not make a burst of epochs.
  epoch_end_ += epoch_length_;
  if (epoch_end_ <= steady_now) epoch_end_ = steady_now + epoch_length_;
  drop_quiet_chains();
}

void Sealer::stop(std::int64_t now) {
  if (key_) seal_now(now, SealType::kStop);
}

// Seals every changed file; `last_type` adds a record of its own after
// them (start, stop), or one when nothing changed (heartbeat); kSeal adds
// none.
void Sealer::seal_now(std::int64_t now, SealType last_type) {
  try {
    std::vector<std::string> lines;
    std::vector<std::string> names;
    seal_changed(now, &lines, &names);
    const bool add = last_type == SealType::kStart ||
                     last_type == SealType::kStop ||
                     (last_type == SealType::kHeartbeat && lines.empty());
    if (add) lines.push_back(record_line(last_type, "-", 0, Digest{}, now));
    if (!lines.empty()) commit(lines, names);
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

void Sealer::seal_changed(std::int64_t now, std::vector<std::string>* lines,
                          std::vector<std::string>* names) {
  for (auto& [name, chain] : chains_) {
    if (chain.lines == chain.sealed) continue;
    lines->push_back(
        record_line(SealType::kSeal, name, chain.lines, chain.value, now));
    names->push_back(name);
  }
}

std::string Sealer::record_line(SealType type, const std::string& name,
                                std::uint64_t lines, const Digest& chain,
                                std::int64_t now) {
  SealRecord record;
  record.seq = key_->next_seq++;
  record.epoch = key_->epoch;
  record.time = now;
  record.type = type;
  record.file = name;
  record.lines = lines;
  record.chain = chain;
  record.prev = key_->prev;
  std::string line = format_seal_record(&record, key_->key);
  key_->prev = sha256(line);
  return line;
}

bool Sealer::commit(const std::vector<std::string>& lines,
                    const std::vector<std::string>& names) {
  std::string error;
  bool ok = true;
  for (const std::string& name : names) {
    Chain& chain = chains_[name];
    if (!store_.append_chain(name, chain.entries, &error)) {
      ok = false;
      break;
    }
    chain.entries.clear();
  }
  ok = ok && store_.append_records(lines, &error) && store_.save_key(*key_, &error);
  if (!ok) {
    fail(error);
    // Back to what the disk holds, so the next records follow it.
    if (std::optional<SealKeyState> state = store_.load_key(&error)) {
      key_->next_seq = state->next_seq;
      key_->prev = state->prev;
    }
    return false;
  }
  for (const std::string& name : names) {
    Chain& chain = chains_[name];
    chain.sealed = chain.lines;
  }
  stats_.records += lines.size();
  // Bounded: the loop takes them after every round.
  outbox_.insert(outbox_.end(), lines.begin(), lines.end());
  return true;
}

Sealer::Chain* Sealer::adopt(const std::string& path) {
  const std::string name = seal_name(path);
  auto found = chains_.find(name);
  if (found != chains_.end()) return &found->second;
  Chain chain;
  chain.value = chain_start(name);
  std::string entries;
  if (!read_chain_of(path, &chain.value, &chain.lines, &entries)) {
    fail("cannot read " + path + " to continue its chain");
  }
  // Entries the list holds already stay; only the lines past them are
  // added.
  const std::uint64_t listed =
      store_.read_chain(name).size() / kChainEntryBytes;
  std::string error;
  if (listed > chain.lines && !store_.truncate_chain(name, chain.lines, &error)) {
    fail(error);
  }
  chain.entries = entries.substr(
      std::min(listed, chain.lines) * kChainEntryBytes);
  // Sealed again at the next occasion, whatever the records say already.
  chain.sealed = 0;
  return &chains_.emplace(name, std::move(chain)).first->second;
}

void Sealer::row_prepared(const LogRow& row, std::string_view line) noexcept {
  if (!key_) return;
  try {
    pending_.emplace_back(row.kind, std::string(line));
  } catch (...) {
    stats_.failures++;
  }
}

void Sealer::row_done(bool written) noexcept {
  if (pending_.empty()) return;
  try {
    const auto [kind, line] = std::move(pending_.front());
    pending_.pop_front();
    const std::size_t k = static_cast<std::size_t>(kind);
    const std::string& path = current_[k];
    if (!written || !key_ || path.empty()) return;
    if (current_chain_[k] == nullptr) current_chain_[k] = adopt(path);
    Chain* chain = current_chain_[k];
    scratch_.clear();
    // An empty file gets its byte order mark with its first line.
    if (chain->lines == 0) scratch_.append(kByteOrderMark, kByteOrderMarkSize);
    scratch_.append(line).append(kLineEnd, kLineEndSize);
    chain->value = chain_next(chain->value, scratch_);
    add_entry(chain->value, &chain->entries);
    ++chain->lines;
    // A busy epoch's entries go to the list before its seal, so that
    // memory stays bounded; the list may run ahead of the records.
    if (chain->entries.size() >= kMaxHeldEntries) {
      std::string error;
      // Dropped even when the write failed: memory stays bounded, and the
      // records still tell a changed file (its line may then be misnamed).
      if (!store_.append_chain(seal_name(path), chain->entries, &error)) {
        fail(error);
      }
      chain->entries.clear();
    }
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

void Sealer::file_rolled(LogKind kind, const std::string& old_path,
                         const std::string& new_path) noexcept {
  (void)kind;
  (void)new_path;
  // The file left is sealed now rather than at the epoch's end.
  if (key_ && !old_path.empty()) seal_now(::time(nullptr), SealType::kSeal);
}

void Sealer::file_opened(LogKind kind, const std::string& path) noexcept {
  try {
    const std::size_t k = static_cast<std::size_t>(kind);
    current_[k] = path;
    current_chain_[k] = key_ ? adopt(path) : nullptr;
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

void Sealer::file_deleted(LogKind kind, const std::string& path) noexcept {
  (void)kind;
  if (!key_) return;
  try {
    const std::string name = seal_name(path);
    std::uint64_t lines = 0;
    Digest value{};
    auto found = chains_.find(name);
    if (found != chains_.end()) {
      lines = found->second.lines;
      value = found->second.value;
      for (Chain*& chain : current_chain_) {
        if (chain == &found->second) chain = nullptr;
      }
      chains_.erase(found);
    }
    const std::vector<std::string> records = {record_line(
        SealType::kTombstone, name, lines, value, ::time(nullptr))};
    if (commit(records, {})) store_.remove_chain(name);
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

// Files that are not written any more and are sealed whole need no chain in
// memory; should one be written again, it is read afresh.
void Sealer::drop_quiet_chains() {
  for (auto it = chains_.begin(); it != chains_.end();) {
    bool current = false;
    for (const std::string& path : current_) {
      current = current || (!path.empty() && seal_name(path) == it->first);
    }
    for (const Chain* chain : current_chain_) {
      current = current || chain == &it->second;
    }
    if (!current && it->second.lines == it->second.sealed) {
      it = chains_.erase(it);
    } else {
      ++it;
    }
  }
}

void Sealer::fail(const std::string& error) {
  stats_.failures++;
  const Clock::time_point now = Clock::now();
  if (last_report_ != Clock::time_point{} && now - last_report_ < kReportInterval) {
    return;
  }
  last_report_ = now;
  base::complain("Error: seal: " + error + "\n");
}

}  // namespace quillo
