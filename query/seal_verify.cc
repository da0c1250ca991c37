#include "query/seal_verify.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "base/unique_fd.h"
#include "logstore/file_name.h"
#include "logstore/log_names.h"
#include "query/seal_file_check.h"
#include "query/visible_text.h"
#include "reader/local_time.h"
#include "reader/log_tree.h"
#include "seal/seal_record.h"
#include "seal/seal_store.h"

namespace quillo {
namespace {

// Keys are evolved at most this many epochs past the highest one reached:
// the daemon's records rise by one epoch at a time, so a record further
// ahead is forged or follows deleted ones, and its MAC is taken as wrong
// rather than spending minutes evolving towards a forged epoch.
constexpr std::uint64_t kMaxEpochStep = std::uint64_t{1} << 24;
// Every this many epochs the key is kept, so that a record going back to
// an earlier epoch costs at most this many steps.
constexpr std::uint64_t kMarkEvery = 1024;

// K_e for the epochs the records name, evolved step by step from K0 and
// never recomputed from it.
class EpochKeys {
 public:
  explicit EpochKeys(const SealKey& verification)
      : current_(evolve_key(verification)), marks_{current_} {}

  // The key of `epoch`, or null when it lies too far ahead.
  const SealKey* at(std::uint64_t epoch) {
    if (epoch > reached_ && epoch - reached_ > kMaxEpochStep) return nullptr;
    const std::uint64_t mark =
        std::min<std::uint64_t>(epoch / kMarkEvery, marks_.size() - 1);
    if (epoch < current_epoch_ || mark * kMarkEvery > current_epoch_) {
      current_ = marks_[mark];
      current_epoch_ = mark * kMarkEvery;
    }
    while (current_epoch_ < epoch) {
      current_ = evolve_key(current_);
      ++current_epoch_;
      if (current_epoch_ == marks_.size() * kMarkEvery) {
        marks_.push_back(current_);
      }
    }
    reached_ = std::max(reached_, current_epoch_);
    return &current_;
  }

 private:
  SealKey current_;
  std::uint64_t current_epoch_ = 0;
  std::uint64_t reached_ = 0;
  std::vector<SealKey> marks_;  // K_{i * kMarkEvery}
};

// The chain of records, one line at a time in file order; collects the
// seals of each file as it goes.
class RecordCheck {
 public:
  RecordCheck(const std::optional<SealKey>& key, std::vector<SealFinding>* out)
      : out_(out) {
    if (key) keys_.emplace(*key);
  }

  void add(std::size_t index, const std::string& line) {
    const Digest hash = sha256(line);
    const std::optional<SealRecord> record = parse_seal_record(line);
    if (!record) {
      // Taken as the record due here, so that the next one still follows.
      report("record line " + std::to_string(index + 1) + " unreadable");
      ++next_seq_;
    } else {
      check_order(*record);
      check_epoch(*record);
      check_mac(line, *record);
      note_file(*record);
      next_seq_ = record->seq + 1;
      last_seq_ = record->seq;
      last_epoch_ = record->epoch;
      first_ = false;
    }
    last_hash_ = hash;
    any_line_ = true;
  }

  SealsByName& files() { return files_; }

 private:
  void report(const std::string& what) {
    out_->push_back(SealFinding{"seal records: " + what, false});
  }

  void check_order(const SealRecord& r) {
    const std::string n = std::to_string(r.seq);
    if (r.seq > next_seq_) {
      // The PREV of a record after a gap names a line that is gone.
      report("record " + std::to_string(next_seq_) + " missing");
    } else if (r.seq == 0 && (any_line_ || r.prev != Digest{})) {
      report("record 0 does not come first");
    } else if (r.seq < next_seq_ || (any_line_ && r.prev != last_hash_)) {
      report("record " + n + " does not follow record " +
             std::to_string(r.seq - 1));
    }
  }

  void check_epoch(const SealRecord& r) {
    if (first_) {
      if (r.epoch > 0) {
        report("epochs 0-" + std::to_string(r.epoch - 1) +
               " missing at the start");
      }
    } else if (r.epoch < last_epoch_) {
      report("record " + std::to_string(r.seq) + " goes back to epoch " +
             std::to_string(r.epoch));
    } else if (r.epoch - last_epoch_ > 1) {
      report("epochs " + std::to_string(last_epoch_ + 1) + "-" +
             std::to_string(r.epoch - 1) + " missing between records " +
             std::to_string(last_seq_) + " and " + std::to_string(r.seq));
    }
  }

  void check_mac(const std::string& line, const SealRecord& r) {
    if (!keys_) return;
    const SealKey* key = keys_->at(r.epoch);
    if (key == nullptr || !seal_record_authentic(line, r, *key)) {
      report("record " + std::to_string(r.seq) + " fails its epoch's key");
    }
  }

  void note_file(const SealRecord& r) {
    if (r.file == "-") return;
    if (r.type == SealType::kSeal) {
      FileSeals& seals = files_[r.file];
      seals.seals.push_back(Seal{r.lines, r.chain});
      seals.tombstoned = false;
    } else if (r.type == SealType::kTombstone) {
      files_[r.file].tombstoned = true;
    }
  }

  std::vector<SealFinding>* out_;
  std::optional<EpochKeys> keys_;
  SealsByName files_;
  std::uint64_t next_seq_ = 0;
  std::uint64_t last_seq_ = 0;
  std::uint64_t last_epoch_ = 0;
  Digest last_hash_{};
  bool first_ = true;      // no record parsed yet
  bool any_line_ = false;  // a line came before
};

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Whether the time in the file name `name` ("<folder>/<month>/<file>")
// lies in the request's bounds; a name without a time is in them.
bool name_in_range(const VerifyRequest& request, LogKind kind,
                   const std::string& name) {
  RowTimeFields stamp;
  if (!parse_log_file_name(name.substr(name.rfind('/') + 1), kind, &stamp)) {
    return true;
  }
  const LocalInstants at = local_instants(wall_seconds(stamp));
  return at.last >= request.since && at.first <= request.until;
}

using NamedFindings = std::vector<std::pair<std::string, SealFinding>>;

// The findings of one kind's files, in the tree and in the records, with
// the name each is sorted by.
NamedFindings check_kind(const VerifyRequest& request, LogKind kind,
                         const SealsByName& seals, FileCheck* check,
                         ReadObserver& observer) {
  const std::string folder = kind_info(kind).folder;
  LogTree tree(request.log_root, kind, observer);
  NamedFindings found;
  std::set<std::string> present;
  for (const std::string& month : tree.months()) {
    for (const StampedFile& file : tree.files(month)) {
      if (file.stamp_latest < request.since || file.stamp > request.until) {
        continue;
      }
      const base::UniqueFd fd = tree.open_file(month, file.name);
      if (!fd) continue;  // gone, or not a file: not in the tree
      const std::string name = folder + "/" + month + "/" + file.name;
      present.insert(name);
      const auto it = seals.find(name);
      std::optional<SealFinding> finding =
          check->check(fd.get(), name, visible(tree.path(month, file.name)),
                       it == seals.end() ? nullptr : &it->second);
      if (finding) found.emplace_back(name, std::move(*finding));
    }
  }
  const std::string prefix = folder + "/";
  for (auto it = seals.lower_bound(prefix);
       it != seals.end() && starts_with(it->first, prefix); ++it) {
    const FileSeals& file = it->second;
    if (file.seals.empty() || file.tombstoned || present.count(it->first) ||
        !name_in_range(request, kind, it->first)) {
      continue;
    }
    found.emplace_back(
        it->first, SealFinding{visible(join_path(request.log_root, it->first)) +
                                   ": deleted",
                               false});
  }
  std::stable_sort(
      found.begin(), found.end(),
      [](const auto& a, const auto& b) { return a.first < b.first; });
  return found;
}

std::vector<std::string> read_record_lines(const SealStore& store) {
  std::vector<std::string> lines;
  std::string error;
  if (!store.read_records(&lines, &error)) throw SealError(error);
  return lines;
}

// Makes `path` and the folders above it that are missing, as the daemon
// makes its state folder (0755): setup may come before its first start.
void make_state_dir(const std::string& path) {
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string part = path.substr(0, end);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      throw SealError("cannot make the state folder " + part + ": " +
                      std::strerror(errno));
    }
    if (end == std::string::npos) return;
  }
}

}  // namespace

std::vector<SealFinding> verify_seals(const VerifyRequest& request,
                                      ReadObserver& observer) {
  SealStore store(request.state_dir);
  std::string error;
  bool missing = false;
  if (!store.open(&error, &missing)) {
    if (!missing) throw SealError(error);
    throw SealError("no sealing state in " + request.state_dir +
                    "; run quillo-query --setup-keys");
  }
  const std::vector<std::string> lines = read_record_lines(store);
  std::vector<SealFinding> out;
  if (!request.key) {
    out.push_back(SealFinding{
        "authenticity not checked: no --verify-key (the chains were checked)",
        true});
  }
  RecordCheck records(request.key, &out);
  for (std::size_t i = 0; i < lines.size(); ++i) records.add(i, lines[i]);
  SealsByName& seals = records.files();
  for (auto& entry : seals) {
    // One pass over the file checks the seals in the order of their lines.
    std::stable_sort(
        entry.second.seals.begin(), entry.second.seals.end(),
        [](const Seal& a, const Seal& b) { return a.lines < b.lines; });
  }
  FileCheck check(store);
  for (const LogKind kind : request.kinds) {
    for (auto& named : check_kind(request, kind, seals, &check, observer)) {
      out.push_back(std::move(named.second));
    }
  }
  return out;
}

int verify_exit_status(const std::vector<SealFinding>& findings) {
  for (const SealFinding& finding : findings) {
    if (!finding.warning) return 1;
  }
  return 0;
}

std::string setup_seal_keys(const std::string& state_dir) {
  const std::optional<SealKey> k0 = random_seal_key();
  if (!k0) throw SealError("cannot draw a random key");
  make_state_dir(state_dir);
  std::string error;
  // The appliance keeps K_0, one step past the verification key.
  if (!SealStore(state_dir).create(epoch_key(*k0, 0), &error)) {
    throw SealError(error);
  }
  return "verification key: " + format_verification_key(*k0) +
         "\nKeep this key off the appliance (a password manager, paper); "
         "quillo-query --verify --verify-key KEY checks the logs with it.\n";
}

}  // namespace quillo
