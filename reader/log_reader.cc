#include "reader/log_reader.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "base/eintr.h"
#include "base/unique_fd.h"
#include "logstore/log_row.h"

namespace quillo {
namespace {

constexpr uint32_t kWatchMask =
    IN_CREATE | IN_MODIFY | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR;

// Rows of one month held back to be sorted or cut to the last few. The
// lines are copied into one arena, so a row costs no allocation of its own.
class Batch final : public RowConsumer {
 public:
  explicit Batch(LogKind kind) : kind_(kind) {}

  void row(const RowView& row, int64_t time) override {
    entries_.push_back(Entry{time, arena_.size(), row.line.size()});
    arena_.append(row.line.data(), row.line.size());
  }
  void sort_by_time() {
    std::stable_sort(
        entries_.begin(), entries_.end(),
        [](const Entry& a, const Entry& b) { return a.time < b.time; });
  }
  std::size_t size() const { return entries_.size(); }

  // Hands the rows from the `first` one on to `consumer`.
  void replay(std::size_t first, RowConsumer& consumer) const {
    for (std::size_t i = first; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      RowView row;
      const char* why = nullptr;
      // Each line decoded once already; this cannot fail.
      if (decode_row(std::string_view(arena_).substr(e.offset, e.length), kind_,
                     &row, &why)) {
        consumer.row(row, e.time);
      }
    }
  }

 private:
  struct Entry {
    int64_t time;
    std::size_t offset;
    std::size_t length;
  };
  LogKind kind_;
  std::vector<Entry> entries_;
  std::string arena_;
};

// Watches the folder open at `dir_fd` through its /proc/self/fd link,
// which names the very folder the descriptor holds: no link in the tree
// can redirect the watch.
void watch_folder(int inotify_fd, int dir_fd) {
  const std::string path = "/proc/self/fd/" + std::to_string(dir_fd);
  if (::inotify_add_watch(inotify_fd, path.c_str(), kWatchMask) < 0) {
    throw TreeError("cannot watch the log folders", std::strerror(errno));
  }
}

// Waits up to `timeout_ms` until something changed in a watched folder
// and drains the events: every change leads to the same rescan. False
// when one of `wake` became ready first.
bool wait_for_change(int inotify_fd, int timeout_ms, std::vector<pollfd>& wake) {
  wake.push_back({inotify_fd, POLLIN, 0});
  const int ready = base::retry_eintr(
      [&] { return ::poll(wake.data(), wake.size(), timeout_ms); });
  if (ready < 0) throw TreeError("poll", std::strerror(errno));
  for (std::size_t i = 0; i + 1 < wake.size(); ++i) {
    if (wake[i].revents != 0) return false;
  }
  alignas(inotify_event) char events[16384];
  while (base::retry_eintr(
             [&] { return ::read(inotify_fd, events, sizeof events); }) > 0) {
  }
  return true;
}

}  // namespace

LogReader::LogReader(const std::string& log_root, LogQuery query,
                     ReadObserver& observer)
    : query_(std::move(query)),
      observer_(&observer),
      tree_(log_root, query_.kind, observer),
      scanner_(query_, observer) {}

LogReader::~LogReader() = default;

bool LogReader::in_bounds(const std::string& month) const {
  return LogTree::month_end(month) > query_.since &&
         LogTree::month_start(month) <= query_.until;
}

void LogReader::read(RowConsumer& consumer) {
  for (const std::string& month : tree_.months()) {
    if (!in_bounds(month)) continue;
    if (kind_info(query_.kind).sender_time) {
      Batch batch(query_.kind);
      read_month(month, false, batch);
      batch.sort_by_time();
      batch.replay(0, consumer);
    } else {
      read_month(month, false, consumer);
    }
  }
}

void LogReader::read_month(const std::string& month, bool track,
                           RowConsumer& consumer) {
  const std::vector<StampedFile> files = tree_.files(month);
  const int64_t month_first = LogTree::month_start(month);
  const int64_t month_last = LogTree::month_end(month) - 1;
  // The times each file's rows can have: the month's, narrowed by the
  // stamps the daemon vouches for. A vouched stamp is the moment the
  // daemon opened that file for its first row, so no row of the daemon's
  // in an earlier file is later, and none in that file is earlier. The
  // folders are world-writable: a stamp nobody vouches for bounds nothing.
  std::vector<int64_t> lo(files.size(), month_first);
  std::vector<int64_t> hi(files.size(), month_last);
  const bool system = kind_info(query_.kind).sender_time;
  const bool bounded =
      query_.since != LogQuery().since || query_.until != LogQuery().until;
  if (!system && bounded) {
    int64_t next_vouched = month_last;
    for (std::size_t i = files.size(); i-- > 0;) {
      hi[i] = next_vouched;
      if (tree_.vouches_for_stamp(month, files[i].name)) {
        lo[i] = files[i].stamp;
        next_vouched = files[i].stamp_latest;
      }
    }
  }
  scanner_.set_consumer(consumer);
  for (std::size_t i = 0; i < files.size(); ++i) {
    Tracked scratch;
    Tracked& tracked = track ? cursors_[month][files[i].name] : scratch;
    if (hi[i] < query_.since || lo[i] > query_.until) {
      tracked.ignored = true;
      continue;
    }
    const bool inside = lo[i] >= query_.since && hi[i] <= query_.until;
    read_file(month, files[i], tracked, !inside, system || query_.want_times);
  }
}

void LogReader::read_file(const std::string& month, const StampedFile& file,
                          Tracked& tracked, bool check_time, bool need_time) {
  const base::UniqueFd fd = tree_.open_file(month, file.name);
  if (!fd) return;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return;
  // A file deleted and made again under its name starts from its top.
  if (tracked.inode != st.st_ino || st.st_size < tracked.cursor.offset) {
    tracked.cursor = FileCursor();
    tracked.inode = st.st_ino;
  }
  const std::string path = tree_.path(month, file.name);
  scanner_.start_file(path, check_time, need_time);
  if (!reader_.read(fd.get(), &tracked.cursor, scanner_)) {
    observer_->entry_left_out(path, std::strerror(errno));
  }
  if (tracked.cursor.refused && !tracked.ignored) {
    observer_->entry_left_out(path,
                              "no byte order mark, not a log file, left out");
    tracked.ignored = true;
  }
}

void LogReader::follow(RowConsumer& consumer) {
  begin_follow(consumer);
  for (;;) follow_step(consumer, -1);
}

void LogReader::begin_follow(RowConsumer& consumer) {
  const std::vector<std::string> months = tree_.months();
  const std::string newest = months.empty() ? "" : months.back();
  show_start_of_follow(months, newest, consumer);
  consumer.caught_up();
  first_month_ = newest;

  inotify_.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!inotify_) throw TreeError("inotify", std::strerror(errno));
  // Watches come before every rescan, so that whatever is written after
  // it wakes the next step.
  read_new(inotify_.get(), consumer);
}

bool LogReader::follow_step(RowConsumer& consumer, int timeout_ms,
                            std::vector<pollfd> wake) {
  if (!wait_for_change(inotify_.get(), timeout_ms, wake)) return false;
  read_new(inotify_.get(), consumer);
  return true;
}

void LogReader::show_start_of_follow(const std::vector<std::string>& months,
                                     const std::string& newest,
                                     RowConsumer& consumer) {
  if (!query_.has_since) {
    show_last_rows(months, newest, consumer);
    return;
  }
  for (const std::string& month : months) {
    if (!in_bounds(month) && month != newest) continue;
    Batch batch(query_.kind);
    read_month(month, month == newest, batch);
    if (kind_info(query_.kind).sender_time) batch.sort_by_time();
    batch.replay(0, consumer);
  }
}

void LogReader::show_last_rows(const std::vector<std::string>& months,
                               const std::string& newest,
                               RowConsumer& consumer) {
  // Months newest first until there are enough rows. The newest month is
  // always read, for its files' cursors.
  std::vector<Batch> batches;
  std::size_t total = 0;
  const std::size_t wanted = static_cast<std::size_t>(query_.last_rows);
  for (auto it = months.rbegin(); it != months.rend(); ++it) {
    if (it != months.rbegin() && total >= wanted) break;
    batches.emplace_back(query_.kind);
    read_month(*it, *it == newest, batches.back());
    if (kind_info(query_.kind).sender_time) batches.back().sort_by_time();
    total += batches.back().size();
  }
  std::size_t skip = total > wanted ? total - wanted : 0;
  for (auto it = batches.rbegin(); it != batches.rend(); ++it) {
    const std::size_t here = std::min(skip, it->size());
    skip -= here;
    it->replay(here, consumer);
  }
}

void LogReader::read_new(int inotify_fd, RowConsumer& consumer) {
  if (!tree_.open_kind()) {
    // Nothing logged yet: the kind folder's birth is the first change.
    watch_folder(inotify_fd, tree_.root_fd().get());
    return;
  }
  watch_folder(inotify_fd, tree_.kind_fd().get());
  scanner_.set_consumer(consumer);
  for (const std::string& month : tree_.months()) {
    if (month < first_month_) continue;
    const base::UniqueFd dir = tree_.open_month(month);
    if (!dir) continue;
    watch_folder(inotify_fd, dir.get());
    for (const StampedFile& file : tree_.files(month)) {
      Tracked& tracked = cursors_[month][file.name];
      if (tracked.ignored) continue;
      read_file(month, file, tracked, query_.has_since, query_.want_times);
    }
  }
}

}  // namespace quillo
