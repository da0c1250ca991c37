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

bool LogStore::write(const LogRow& row, std::int64_t now, WriteCounts* counts,
                     std::string* line) {
  LogFile& log = writer(row.kind);
  const std::int64_t deleted_before = log.files_deleted;
  const std::int64_t unsafe_before = log.unsafe_entries;
  const std::string encoded = encode_row(row);

  LogFile::Roll roll;
  const bool open = log.begin_line(row.time, now, &roll);
  tell_rolled(row.kind, roll);
  for (RowObserver* observer : observers_) {
    observer->row_prepared(row, encoded);
  }
  const bool written = open && log.finish_line(encoded);
  for (RowObserver* observer : observers_) observer->row_done(written);

  if (counts != nullptr) {
    counts->files_deleted +=
        static_cast<std::uint64_t>(log.files_deleted - deleted_before);
    counts->unsafe_entries +=
        static_cast<std::uint64_t>(log.unsafe_entries - unsafe_before);
  }
  if (line != nullptr) *line = encoded;
  return written;
}

}  // namespace quillo
