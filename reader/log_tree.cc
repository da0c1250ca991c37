#include "reader/log_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/eintr.h"
#include "logstore/dir_entry.h"
#include "logstore/file_name.h"
#include "logstore/log_names.h"
#include "logstore/log_row.h"
#include "reader/local_time.h"

namespace quillo {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// The type of `entry` below `dir_fd` without following a link: S_IFDIR,
// S_IFREG, ..., or 0 when it is gone.
unsigned entry_type(int dir_fd, const dirent& entry) {
  switch (entry.d_type) {
    case DT_DIR:
      return S_IFDIR;
    case DT_REG:
      return S_IFREG;
    case DT_UNKNOWN:
      break;
    default:
      return S_IFLNK;  // anything else is refused alike
  }
  struct stat st;
  if (::fstatat(dir_fd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  return st.st_mode & S_IFMT;
}

// The first second of a month folder's month, plus `months_after` months.
int64_t month_instant(const std::string& month, int months_after) {
  RowTimeFields c;
  c.day = 1;
  // months() lets only the names of months through.
  (void)parse_month_folder_name(month, &c.year, &c.month);
  c.month += months_after;
  if (c.month > 12) {
    c.month -= 12;
    ++c.year;
  }
  return local_instants(wall_seconds(c)).first;
}

// "YYYY/MM/DD hh:mm:ss" of a file name's stamp (a four-digit year), as a
// first row at that stamp stores it.
std::string row_time_text(const RowTimeFields& c) {
  char text[32];
  (void)std::snprintf(text, sizeof text,
                      "%04" PRId64 "/%02d/%02d %02d:%02d:%02d", c.year, c.month,
                      c.day, c.hour, c.minute, c.second);
  return text;
}

}  // namespace

LogTree::LogTree(const std::string& root, LogKind kind, ReadObserver& observer)
    : root_path_(root), kind_id_(kind), observer_(&observer) {
  // The root may be a link: it is the administrator's, not the users'.
  root_.reset(base::retry_eintr([&] {
    return ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!root_) {
    throw TreeError("cannot open the log root", root, std::strerror(errno));
  }
  open_kind();
}

bool LogTree::open_kind() {
  if (kind_) return true;
  kind_.reset(base::retry_eintr([&] {
    return ::openat(root_.get(), kind_info(kind_id_).folder, kDirFlags);
  }));
  if (!kind_ && errno != ENOENT) {
    report(path("", ""), "not a folder, left out");
  }
  struct stat st;
  if (kind_ && ::fstat(kind_.get(), &st) == 0) kind_owner_ = st.st_uid;
  return static_cast<bool>(kind_);
}

std::vector<std::string> LogTree::months() {
  std::vector<std::string> out;
  if (!kind_) return out;
  DirEntryList list(kind_.get(), DirEntryIterator::DefaultIgnoreList());
  for (const dirent& entry : list) {
    const std::string name = entry.d_name;
    const unsigned type = entry_type(kind_.get(), entry);
    if (type == 0) continue;
    int64_t year;
    int month;
    if (!parse_month_folder_name(name, &year, &month)) {
      report(path(name, ""), "not a month folder, left out");
    } else if (type != S_IFDIR) {
      report(path(name, ""), "not a folder, left out");
    } else {
      out.push_back(name);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<StampedFile> LogTree::files(const std::string& month) {
  std::vector<StampedFile> out;
  const base::UniqueFd dir = open_month(month);
  if (!dir) return out;
  DirEntryList list(dir.get(), DirEntryIterator::DefaultIgnoreList());
  for (const dirent& entry : list) {
    const std::string name = entry.d_name;
    const unsigned type = entry_type(dir.get(), entry);
    if (type == 0) continue;
    RowTimeFields stamp;
    if (!parse_log_file_name(name, kind_id_, &stamp)) {
      report(path(month, name), "not a log file, left out");
    } else if (type != S_IFREG) {
      report(path(month, name), "not a regular file, left out");
    } else {
      const LocalInstants at = local_instants(wall_seconds(stamp));
      out.push_back(StampedFile{name, at.first, at.last});
    }
  }
  std::sort(out.begin(), out.end(),
            [](const StampedFile& a, const StampedFile& b) {
              return a.stamp != b.stamp ? a.stamp < b.stamp : a.name < b.name;
            });
  return out;
}

base::UniqueFd LogTree::open_month(const std::string& month) {
  if (!kind_) return base::UniqueFd();
  base::UniqueFd dir(base::retry_eintr(
      [&] { return ::openat(kind_.get(), month.c_str(), kDirFlags); }));
  if (!dir && errno != ENOENT) {
    report(path(month, ""), "not a folder, left out");
  }
  return dir;
}

base::UniqueFd LogTree::open_file(const std::string& month,
                                  const std::string& name) {
  const base::UniqueFd dir = open_month(month);
  if (!dir) return base::UniqueFd();
  base::UniqueFd file(base::retry_eintr(
      [&] { return ::openat(dir.get(), name.c_str(), kFileFlags); }));
  if (!file) {
    if (errno != ENOENT) report(path(month, name), std::strerror(errno));
    return file;
  }
  struct stat st;
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    report(path(month, name), "not a regular file, left out");
    file.reset();
  }
  return file;
}

bool LogTree::vouches_for_stamp(const std::string& month,
                                const std::string& name) {
  RowTimeFields stamp;
  if (!parse_log_file_name(name, kind_id_, &stamp)) return false;
  const base::UniqueFd file = open_file(month, name);
  struct stat st;
  if (!file || ::fstat(file.get(), &st) != 0 ||
      (st.st_uid != 0 && st.st_uid != kind_owner_)) {
    return false;
  }
  // The mark, then the stamp's time as the first row's time column.
  const std::string expected =
      std::string(kByteOrderMark) + row_time_text(stamp) + ",";
  char head[32];
  static_assert(sizeof head >= kByteOrderMarkSize + 20,
                "room for the mark and the time");
  const ssize_t n = base::retry_eintr(
      [&] { return ::pread(file.get(), head, expected.size(), 0); });
  return n == static_cast<ssize_t>(expected.size()) &&
         std::memcmp(head, expected.data(), expected.size()) == 0;
}

std::string LogTree::path(const std::string& month,
                          const std::string& name) const {
  std::string out = join_path(root_path_, kind_info(kind_id_).folder);
  if (!month.empty()) out = join_path(out, month);
  if (!name.empty()) out = join_path(out, name);
  return out;
}

int64_t LogTree::month_start(const std::string& month) {
  return month_instant(month, 0);
}

int64_t LogTree::month_end(const std::string& month) {
  // The month's rows all lie before the first instant of the next one.
  return month_instant(month, 1);
}

void LogTree::report(const std::string& what, const char* why) {
  if (!reported_.insert(what).second) return;
  observer_->entry_left_out(what, why);
}

}  // namespace quillo
