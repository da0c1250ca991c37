#include "logstore/log_store.h"

#include <utility>

namespace quillo {
namespace {

std::size_t index_of(LogKind kind) { return static_cast<std::size_t>(kind); }

}  // namespace

LogStore::LogStore(std::string state_dir) : state_dir_(std::move(state_dir)) {
  for (LogKind kind : kLogKinds) {
    files_[index_of(kind)] =
        std::make_unique<LogFile>(kind, std::string(), state_dir_);
  }
}

LogStore::~LogStore() = default;

void LogStore::add_observer(RowObserver* observer) {
  observers_.push_back(observer);
}

LogFile& LogStore::writer(LogKind kind) { return *files_[index_of(kind)]; }

const LogFile& LogStore::file(LogKind kind) const {
  return *files_[index_of(kind)];
}

void LogStore::set_root(LogKind kind, const std::string& log_root) {
  writer(kind).set_root(log_root);
}

void LogStore::set_auto_delete(LogKind kind,
                               const AutoDeleteSettings& settings) {
  if (!kind_info(kind).auto_delete) return;
  LogFile& log = writer(kind);
  log.autodelete_enabled = settings.enabled;
  log.expire_days = settings.days;
  log.expire_percent = settings.percent;
}

void LogStore::tell_rolled(LogKind kind, const LogFile::Roll& roll) {
  if (!roll.rolled) return;
  for (RowObserver* observer : observers_) {
    observer->file_rolled(kind, roll.old_path, roll.new_path);
  }
}

bool LogStore::begin(LogFile& log, const LogRow& row, std::int64_t now) {
  LogFile::Roll roll;
  const bool open = log.begin_line(row.time, now, &roll);
  tell_rolled(row.kind, roll);
  return open;
}

void LogStore::offer(const LogRow& row, const std::string& line) {
  for (RowObserver* observer : observers_) observer->row_prepared(row, line);
}

void LogStore::tell_done(bool written) {
  for (RowObserver* observer : observers_) observer->row_done(written);
}

void LogStore::add_counts(const LogFile& log, std::int64_t deleted_before,
                          std::int64_t unsafe_before,
                          WriteCounts* counts) const {
  if (counts == nullptr) return;
  counts->files_deleted +=
      static_cast<std::uint64_t>(log.files_deleted - deleted_before);
  counts->unsafe_entries +=
      static_cast<std::uint64_t>(log.unsafe_entries - unsafe_before);
}

bool LogStore::write(const LogRow& row, std::int64_t now, WriteCounts* counts,
                     std::string* line) {
  LogFile& log = writer(row.kind);
  const std::int64_t deleted_before = log.files_deleted;
  const std::int64_t unsafe_before = log.unsafe_entries;
  const std::string encoded = encode_row(row);

  const bool open = begin(log, row, now);
  offer(row, encoded);
  const bool written = open && log.finish_line(encoded);
  tell_done(written);

  add_counts(log, deleted_before, unsafe_before, counts);
  if (line != nullptr) *line = encoded;
  return written;
}

std::size_t LogStore::write_copies(const LogRow& row, std::size_t copies,
                                   std::int64_t now, WriteCounts* counts) {
  LogFile& log = writer(row.kind);
  const std::int64_t deleted_before = log.files_deleted;
  const std::int64_t unsafe_before = log.unsafe_entries;
  const std::string encoded = encode_row(row);
  std::size_t written = 0;
  bool open = copies > 0 && begin(log, row, now);
  for (std::size_t i = 0; i < copies; ++i) {
    // A full file: the next copy goes to a new one.
    if (open && !log.has_room()) {
      log.save_state();
      open = begin(log, row, now);
    }
    offer(row, encoded);
    const bool done = open && log.append_counted(encoded);
    tell_done(done);
    if (!done) open = false;
    written += done;
  }
  if (written > 0) log.save_state();
  add_counts(log, deleted_before, unsafe_before, counts);
  return written;
}

}  // namespace quillo
