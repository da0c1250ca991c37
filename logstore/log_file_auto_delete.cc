// The auto-delete pass of LogFile: removes old log files of one kind when
// the log volume runs short of free space.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "base/eintr.h"
#include "base/unique_fd.h"
#include "logstore/dir_entry.h"
#include "logstore/file_name.h"
#include "logstore/log_file.h"
#include "logstore/log_names.h"

namespace quillo {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

// The local time a file or month folder name of `kind` stands for (a
// month folder: the first of its month at 00:00); false for any other name.
bool stamp_time(const std::string& name, LogKind kind, int64_t* out) {
  RowTimeFields stamp;
  struct tm fields {};
  if (parse_log_file_name(name, kind, &stamp)) {
    fields.tm_mday = stamp.day;
    fields.tm_hour = stamp.hour;
    fields.tm_min = stamp.minute;
    fields.tm_sec = stamp.second;
  } else if (parse_month_folder_name(name, &stamp.year, &stamp.month)) {
    fields.tm_mday = 1;
  } else {
    return false;
  }
  fields.tm_year = static_cast<int>(stamp.year - 1900);
  fields.tm_mon = stamp.month - 1;
  fields.tm_isdst = -1;
  *out = static_cast<int64_t>(mktime(&fields));
  return true;
}

}  // namespace

int free_space_percent(const std::string& path) {
  struct statfs fs;
  if (base::retry_eintr([&] { return ::statfs(path.c_str(), &fs); }) != 0) {
    return 100;
  }
  // Pseudo file systems report no blocks at all; they are not short of
  // space.
  const uint64_t total = fs.f_blocks;
  if (total == 0) return 100;
  // f_bfree counts the blocks reserved for the superuser as free.
  return static_cast<int>(static_cast<uint64_t>(fs.f_bfree) * 100 / total);
}

int LogFile::free_percent() const { return free_space_percent(log_dir); }

void LogFile::auto_delete(int64_t now) {
  if (!autodelete_enabled) return;
  if (expire_percent < free_percent()) return;
  const base::UniqueFd kind(base::retry_eintr([&] {
    return ::open(log_dir.c_str(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (!kind) return;
  // Month folders are judged by the first day of their month; a file's
  // stamp never lies before that, so no expired file is missed. Files lying
  // directly in the kind folder are never touched.
  DirEntryList months(kind.get(), DirEntryIterator::DefaultIgnoreList());
  for (const dirent& entry : months) {
    std::int64_t year = 0;
    int month_number = 0;
    if (!parse_month_folder_name(entry.d_name, &year, &month_number) ||
        !is_expired(entry.d_name, now)) {
      continue;
    }
    const std::string path = join_path(log_dir, entry.d_name);
    struct stat st;
    if (::fstatat(kind.get(), entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    if (S_ISLNK(st.st_mode)) refuse(path, "a link where a folder should be");
    if (!S_ISDIR(st.st_mode)) continue;
    const base::UniqueFd month(base::retry_eintr([&] {
      return ::openat(kind.get(), entry.d_name,
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }));
    if (month) delete_expired_in(now, month.get(), path);
  }
}

void LogFile::delete_expired_in(int64_t now, int month_fd,
                                const std::string& dir) {
  DirEntryList files(month_fd, DirEntryIterator::DefaultIgnoreList());
  for (const dirent& entry : files) {
    const std::string name = entry.d_name;
    RowTimeFields stamp;
    if (!parse_log_file_name(name, kind, &stamp)) continue;
    if (!is_expired(name, now)) continue;
    // The file being written is never deleted, however old its stamp.
    if (name == current_name) continue;
    struct stat st;
    if (::fstatat(month_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    if (!S_ISREG(st.st_mode)) {
      refuse(join_path(dir, name), "not a regular file");
      continue;
    }
    if (::unlinkat(month_fd, name.c_str(), 0) == 0) {
      ++files_deleted;
      deleted_paths.push_back(join_path(dir, name));
    }
  }
}

bool LogFile::is_expired(const std::string& name, int64_t now) const {
  int64_t stamped = 0;
  if (!stamp_time(name, kind, &stamped) || stamped > now) return false;
  // now >= stamped, so the difference fits unsigned 64 bits even when the
  // signed subtraction would overflow.
  const uint64_t age =
      static_cast<uint64_t>(now) - static_cast<uint64_t>(stamped);
  return static_cast<int64_t>(age / kSecondsPerDay) >= expire_days;
}

}  // namespace quillo
