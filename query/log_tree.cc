#include "query/log_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/console.h"
#include "base/eintr.h"
#include "logstore/dir_entry.h"
#include "logstore/log_file.h"
#include "logstore/log_names.h"
#include "logstore/log_row.h"
#include "query/local_time.h"
#include "query/visible_text.h"

namespace quillo_query {
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

// "YYYYMM" of a month 01-12.
bool is_month_name(const std::string& name) {
  if (name.size() != 6 || !std::all_of(name.begin(), name.end(), [](char c) {
        return c >= '0' && c <= '9';
      })) {
    return false;
  }
  const int month = (name[4] - '0') * 10 + (name[5] - '0');
  return month >= 1 && month <= 12;
}

// The calendar fields of a stamp (YYYYMM or YYYYMMDDhhmmss); false when
// they name no calendar time.
bool stamp_fields(const std::string& stamp, CivilTime* c) {
  const struct tm fields = stamp_to_time(stamp);
  c->year = fields.tm_year + 1900;
  c->month = fields.tm_mon + 1;
  c->day = fields.tm_mday;
  c->hour = fields.tm_hour;
  c->minute = fields.tm_min;
  c->second = fields.tm_sec;
  return valid_civil(*c, 59);
}

}  // namespace

LogTree::LogTree(const std::string& root, Kind kind)
    : root_path_(root), kind_id_(kind), prefix_(kind_prefix(kind)) {
  // The root may be a link: it is the administrator's, not the users'.
  root_.reset(base::retry_eintr([&] {
    return ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!root_) {
    throw TreeError("cannot open the log root " + visible(root) + ": " +
                    std::strerror(errno));
  }
  open_kind();
}

bool LogTree::open_kind() {
  if (kind_) return true;
  kind_.reset(base::retry_eintr(
      [&] { return ::openat(root_.get(), kind_dir(kind_id_), kDirFlags); }));
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
    if (!is_month_name(name)) {
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

std::vector<LogFileName> LogTree::files(const std::string& month) {
  std::vector<LogFileName> out;
  const base::UniqueFd dir = open_month(month);
  if (!dir) return out;
  DirEntryList list(dir.get(), DirEntryIterator::DefaultIgnoreList());
  for (const dirent& entry : list) {
    const std::string name = entry.d_name;
    const unsigned type = entry_type(dir.get(), entry);
    if (type == 0) continue;
    const std::string stamp = extract_stamp(name, prefix_);
    CivilTime c;
    if (stamp.size() != 14 || name != prefix_ + stamp + ".csv" ||
        !stamp_fields(stamp, &c)) {
      report(path(month, name), "not a log file, left out");
    } else if (type != S_IFREG) {
      report(path(month, name), "not a regular file, left out");
    } else {
      const LocalInstants at = local_instants(wall_seconds(c));
      out.push_back(LogFileName{name, at.first, at.last});
    }
  }
  std::sort(out.begin(), out.end(),
            [](const LogFileName& a, const LogFileName& b) {
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
  const std::string stamp = extract_stamp(name, prefix_);
  if (stamp.size() != 14) return false;
  const base::UniqueFd file = open_file(month, name);
  struct stat st;
  if (!file || ::fstat(file.get(), &st) != 0 ||
      (st.st_uid != 0 && st.st_uid != kind_owner_)) {
    return false;
  }
  // The mark, then "YYYY/MM/DD hh:mm:ss," of the stamp's digits.
  const std::string expected =
      std::string(quillo::kByteOrderMark) + stamp.substr(0, 4) + "/" +
      stamp.substr(4, 2) + "/" + stamp.substr(6, 2) + " " +
      stamp.substr(8, 2) + ":" + stamp.substr(10, 2) + ":" +
      stamp.substr(12, 2) + ",";
  char head[32];
  static_assert(sizeof head >= 3 + 20, "room for the mark and the time");
  const ssize_t n = base::retry_eintr(
      [&] { return ::pread(file.get(), head, expected.size(), 0); });
  return n == static_cast<ssize_t>(expected.size()) &&
         std::memcmp(head, expected.data(), expected.size()) == 0;
}

std::string LogTree::path(const std::string& month,
                          const std::string& name) const {
  std::string out = join_path(root_path_, kind_dir(kind_id_));
  if (!month.empty()) out = join_path(out, month);
  if (!name.empty()) out = join_path(out, name);
  return visible(out);
}

int64_t LogTree::month_start(const std::string& month) {
  CivilTime c;
  stamp_fields(month, &c);  // months() lets only valid months through
  return local_instants(wall_seconds(c)).first;
}

int64_t LogTree::month_end(const std::string& month) {
  CivilTime c;
  stamp_fields(month, &c);
  // The month's rows all lie before the first instant of the next one.
  if (++c.month > 12) {
    c.month = 1;
    ++c.year;
  }
  return local_instants(wall_seconds(c)).first;
}

void LogTree::report(const std::string& what, const char* why) {
  if (!reported_.insert(what).second) return;
  complain("quillo-query: " + what + ": " + why + "\n");
}

}  // namespace quillo_query
