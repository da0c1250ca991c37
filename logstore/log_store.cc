#include "logstore/log_store.h"

#include <string_view>
#include <utility>

namespace quillo {
namespace {

std::size_t index_of(LogKind kind) { return static_cast<std::size_t>(kind); }

// The rows of one kind waiting for their write to the open file: their
// places in the batch and their lines.
struct PendingLines {
  std::vector<std::size_t> rows;
  std::vector<std::string_view> lines;

  void add(std::size_t row, std::string_view line) {
    rows.push_back(row);
    lines.push_back(line);
  }
  // Appends the lines in one write and marks their rows; false when the
  // write failed (none of them is in the file).
  bool flush(LogFile& log, std::vector<BatchRow>& batch) {
    const bool written = lines.empty() || log.append_counted(lines);
    if (written) {
      for (std::size_t row : rows) batch[row].written = true;
    }
    rows.clear();
    lines.clear();
    return written;
  }
};

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
  for (const std::string& path : log.deleted_paths) {
    for (RowObserver* observer : observers_) {
      observer->file_deleted(row.kind, path);
    }
  }
  log.deleted_paths.clear();
  tell_rolled(row.kind, roll);
  std::string& told = opened_[static_cast<std::size_t>(row.kind)];
  if (open && log.current_path != told) {
    told = log.current_path;
    for (RowObserver* observer : observers_) {
      observer->file_opened(row.kind, told);
    }
  }
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

std::size_t LogStore::write_batch(std::vector<BatchRow>& batch,
                                  std::int64_t now, WriteCounts* counts) {
  std::vector<std::string> lines;
  lines.reserve(batch.size());
  for (BatchRow& entry : batch) {
    entry.written = false;
    lines.push_back(encode_row(entry.row));
  }
  // Every row is with the observers before any of them reaches a file.
  for (std::size_t i = 0; i < batch.size(); ++i) offer(batch[i].row, lines[i]);
  for (LogKind kind : kLogKinds) write_kind(kind, batch, lines, now, counts);
  std::size_t written = 0;
  for (const BatchRow& entry : batch) {
    tell_done(entry.written);
    written += entry.written;
  }
  return written;
}

// One begin, one write and one state save for the kind's rows, unless a
// row belongs to another file than the one open (the line limit reached, a
// new month): the lines before it are written, and the file for it begun.
// After a begin or write that fails, the kind's later rows are not tried.
void LogStore::write_kind(LogKind kind, std::vector<BatchRow>& batch,
                          const std::vector<std::string>& lines,
                          std::int64_t now, WriteCounts* counts) {
  LogFile& log = writer(kind);
  const std::int64_t deleted_before = log.files_deleted;
  const std::int64_t unsafe_before = log.unsafe_entries;
  PendingLines pending;
  bool open = false;
  bool failed = false;
  bool any_written = false;
  for (std::size_t i = 0; i < batch.size() && !failed; ++i) {
    const LogRow& row = batch[i].row;
    if (row.kind != kind) continue;
    const auto waiting = static_cast<std::int64_t>(pending.rows.size());
    if (open && !log.takes_line(row.time, waiting)) {
      if (!pending.flush(log, batch)) break;
      any_written = true;
      // The full file's count is on record should the next one not open.
      log.save_state();
      open = false;
    }
    if (!open) open = begin(log, row, now);
    if (open) {
      pending.add(i, lines[i]);
    } else {
      failed = true;
    }
  }
  if (open && !pending.rows.empty() && pending.flush(log, batch)) {
    any_written = true;
  }
  if (any_written) log.save_state();
  add_counts(log, deleted_before, unsafe_before, counts);
}

}  // namespace quillo
