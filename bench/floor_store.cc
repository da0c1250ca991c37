#include "bench/floor_store.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "base/ascii.h"
#include "base/eintr.h"
#include "base/unique_fd.h"

namespace {

constexpr int32_t kMaxLines = 65535;
constexpr char kBom[] = "\xEF\xBB\xBF";

void put2(std::string& s, int v) {
  s += static_cast<char>('0' + v / 10);
  s += static_cast<char>('0' + v % 10);
}

// Local time of `t`: "YYYY/MM/DD HH:MM:SS" with separators, or the 14-digit
// stamp without; *month receives "YYYYMM".
void format_time(int64_t t, bool separators, std::string* out,
                 std::string* month) {
  const time_t value = static_cast<time_t>(t);
  struct tm tm {};
  localtime_r(&value, &tm);
  std::string s = std::to_string(tm.tm_year + 1900);
  put2(s, tm.tm_mon + 1);
  if (month != nullptr) *month = s;
  if (separators) s.insert(s.size() - 2, 1, '/');
  if (separators) s += '/';
  put2(s, tm.tm_mday);
  if (separators) s += ' ';
  put2(s, tm.tm_hour);
  if (separators) s += ':';
  put2(s, tm.tm_min);
  if (separators) s += ':';
  put2(s, tm.tm_sec);
  *out += s;
}

void append_field(std::string* row, const char* p, std::size_t n) {
  if (!row->empty()) *row += ',';
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] == '\r') {
      *row += "#015";
    } else if (p[i] == '\n') {
      *row += "#012";
    } else {
      *row += p[i];
    }
  }
}

void append_field(std::string* row, const std::string& s) {
  append_field(row, s.data(), s.size());
}

bool write_all(int fd, iovec* iov, int count) {
  while (count > 0) {
    const ssize_t n = ::writev(fd, iov, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    std::size_t left = static_cast<std::size_t>(n);
    while (count > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return true;
}

void make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) ::chmod(path.c_str(), 0777);
}

}  // namespace

FloorStore::FloorStore(std::string log_root, std::string state_dir)
    : log_root_(std::move(log_root)), state_dir_(std::move(state_dir)) {}

FloorStore::State FloorStore::read_state(const std::string& path) const {
  State state;
  const base::UniqueFd fd(base::retry_eintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (fd.get() < 0) return state;
  char buf[512];
  ssize_t n;
  do {
    n = ::read(fd.get(), buf, sizeof buf - 1);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return state;
  buf[n] = '\0';
  const char* nl =
      static_cast<const char*>(memchr(buf, '\n', static_cast<std::size_t>(n)));
  if (nl == nullptr) return state;
  state.name.assign(buf, static_cast<std::size_t>(nl - buf));
  state.count = static_cast<int32_t>(strtol(nl + 1, nullptr, 10));
  return state;
}

void FloorStore::save_state(const std::string& path, const State& state) const {
  const std::string text =
      state.name + "\n" + std::to_string(state.count) + "\n";
  const base::UniqueFd fd(base::retry_eintr([&] {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  }));
  if (fd.get() < 0) return;
  if (::pwrite(fd.get(), text.data(), text.size(), 0) !=
      static_cast<ssize_t>(text.size())) {
    return;
  }
  ::ftruncate(fd.get(), static_cast<off_t>(text.size()));
}

int FloorStore::open_log(const std::string& kind_dir,
                         const std::string& month_dir, const std::string& path,
                         bool* fresh) const {
  const auto open_file = [&] {
    return base::retry_eintr([&] {
      return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                    0666);
    });
  };
  int fd = open_file();
  if (fd < 0 && errno == ENOENT) {
    make_dir(kind_dir);
    make_dir(month_dir);
    fd = open_file();
  }
  if (fd < 0) return -1;
  struct stat st;
  *fresh = ::fstat(fd, &st) == 0 && st.st_size == 0;
  if (*fresh) ::fchmod(fd, 0666);
  return fd;
}

int FloorStore::write_line(FloorKind kind, int64_t t, const std::string& row) {
  struct stat st;
  if (::stat(log_root_.c_str(), &st) != 0) return 1;
  const bool system = kind == FloorKind::System;
  const std::string prefix = system ? "system_" : "access_";
  const std::string kind_dir =
      log_root_ + (system ? "/systemlog" : "/accesslog");
  const std::string state_path = state_dir_ + "/" + prefix + "info";

  State state = read_state(state_path);
  std::string stamp, month;
  format_time(t, false, &stamp, &month);
  // The current file goes on while it has room and its stamp names the
  // line's month; a name without a stamp starts a new file.
  const bool same_month = state.name.size() >= prefix.size() + 14 &&
                          state.name.compare(0, prefix.size(), prefix) == 0 &&
                          state.name.compare(prefix.size(), 6, month) == 0;
  if (!same_month || state.count >= kMaxLines) {
    state.name = prefix + stamp + ".csv";
    state.count = 0;
  }
  const std::string month_dir = kind_dir + "/" + month;
  const std::string path = month_dir + "/" + state.name;

  bool fresh = false;
  const base::UniqueFd fd(open_log(kind_dir, month_dir, path, &fresh));
  if (fd.get() < 0) {
    state.count = 0;  // as the daemon leaves it: a new file, no line yet
    save_state(state_path, state);
    return 1;
  }
  if (fresh) state.count = 0;  // the file was gone: it starts again
  iovec iov[3] = {{const_cast<char*>(kBom), fresh ? sizeof kBom - 1 : 0},
                  {const_cast<char*>(row.data()), row.size()},
                  {const_cast<char*>("\r\n"), 2}};
  if (!write_all(fd.get(), iov, 3)) return 1;
  ++state.count;
  save_state(state_path, state);
  return 0;
}

namespace {

// Entry views of a body, up to kMaxEntries.
struct Entries {
  static constexpr int kMaxEntries = 9;
  const char* data[kMaxEntries];
  uint16_t length[kMaxEntries];
  int count = 0;

  Entries(const unsigned char* body, std::size_t size) {
    std::size_t p = 0;
    while (count < kMaxEntries && p + 2 <= size) {
      const uint16_t n = static_cast<uint16_t>((body[p] << 8) | body[p + 1]);
      if (p + 2 + n > size) break;
      data[count] = reinterpret_cast<const char*>(body + p + 2);
      length[count++] = n;
      p += 2 + n;
    }
  }
  bool is_string(int i) const {
    return i < count && length[i] > 0 && data[i][length[i] - 1] == '\0';
  }
  bool is_number(int i) const { return i < count && length[i] >= 2; }
  std::size_t string_length(int i) const { return strlen(data[i]); }
  uint16_t number(int i) const {
    return static_cast<uint16_t>((static_cast<unsigned char>(data[i][0]) << 8) |
                                 static_cast<unsigned char>(data[i][1]));
  }
};

// A system record's time: leading number, clamped to 32 bits, else 0.
int64_t parse_time(const char* p) {
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (v <= kMax + 1) v = v * 10 + (*p - '0');
  }
  if (negative) v = -v;
  return v > kMax ? kMax : v < kMin ? kMin : v;
}

bool system_row(const Entries& e, int64_t* t, std::string* row) {
  for (int i = 1; i <= 4; ++i) {
    if (!e.is_string(i)) return false;
  }
  *t = parse_time(e.data[1]);
  format_time(*t, true, row, nullptr);
  for (int i = 2; i <= 4; ++i) append_field(row, e.data[i], e.string_length(i));
  return true;
}

bool access_row(const Entries& e, int64_t now, std::string* row) {
  for (int i : {1, 2, 3, 4, 7, 8}) {
    if (!e.is_string(i)) return false;
  }
  if (!e.is_number(5) || !e.is_number(6)) return false;
  format_time(now, true, row, nullptr);
  const std::string user =
      base::ascii_lower(std::string(e.data[1], e.string_length(1)));
  append_field(row, user);
  append_field(row, e.data[2], e.string_length(2));
  append_field(row, e.data[3], e.string_length(3));
  const char* path = e.data[8];
  std::string op(e.data[4], e.string_length(4));
  if (strncmp(path, "r|", 2) == 0) {
    op += "_read";
    path += 2;
  } else if (strncmp(path, "w|", 2) == 0) {
    op += "_write";
  }
  if (strncmp(path, "w|", 2) == 0) path += 2;
  append_field(row, op);
  if (e.number(5) != 0) {
    append_field(row, "ok", 2);
  } else {
    char buf[256];
    append_field(row, std::string("fail (") +
                          strerror_r(e.number(6), buf, sizeof buf) + ")");
  }
  append_field(row, e.data[7], e.string_length(7));
  if (strcmp(path, ".") == 0) path = e.data[7];
  append_field(row, path, strlen(path));
  return true;
}

}  // namespace

bool floor_row(const unsigned char* body, std::size_t size, int64_t now,
               FloorKind* kind, int64_t* t, std::string* row) {
  const Entries e(body, size);
  if (!e.is_number(0)) return false;
  row->clear();
  const uint16_t type = e.number(0);
  if (type == 1) {
    *kind = FloorKind::System;
    return system_row(e, t, row);
  }
  if (type != 0) return false;
  *kind = FloorKind::Access;
  if (e.is_string(7) && strcmp(e.data[7], "IPC$") == 0) return false;
  *t = now;
  return access_row(e, now, row);
}
