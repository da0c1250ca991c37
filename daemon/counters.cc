#include "daemon/counters.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/write_all.h"

namespace quillo {
namespace {

// Paths for the signal handler, fixed before it is installed.
char g_stats_path[4096];
char g_stats_temp[4096 + 8];
char g_stats_timed_temp[4096 + 16];  // the timed writer's

// The rows for the signal handler, fixed before it is installed.
CounterRow g_rows[kMaxCounterRows];
std::size_t g_row_count = 0;

// Appends `text` at `*pos`; false when it does not fit.
bool put(char* buf, std::size_t size, std::size_t* pos, const char* text,
         std::size_t n) {
  if (size - *pos < n) return false;
  std::memcpy(buf + *pos, text, n);
  *pos += n;
  return true;
}

bool put_number(char* buf, std::size_t size, std::size_t* pos,
                std::uint64_t v) {
  char digits[20];
  std::size_t n = 0;
  do {
    digits[sizeof(digits) - ++n] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  return put(buf, size, pos, digits + sizeof(digits) - n, n);
}

void replace_stats(const char* temp, const char* buf, std::size_t n) {
  const int fd = ::open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    (void)base::write_all(fd, buf, n);
    ::close(fd);
    ::rename(temp, g_stats_path);
  }
}

void dump_counters(int) {
  const int saved_errno = errno;
  char buf[4096];  // kMaxCounterRows lines of a name and 20 digits
  const std::size_t n = format_counters(g_rows, g_row_count, buf, sizeof(buf));
  (void)base::write_all(STDOUT_FILENO, buf, n);
  replace_stats(g_stats_temp, buf, n);
  errno = saved_errno;
}

}  // namespace

std::size_t format_counters(const CounterRow* rows, std::size_t row_count,
                            char* buf, std::size_t size) {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < row_count; ++i) {
    const CounterRow& row = rows[i];
    std::uint64_t v = row.count->load(std::memory_order_relaxed);
    if (row.more != nullptr) v += row.more->load(std::memory_order_relaxed);
    if (!put(buf, size, &pos, row.name, std::strlen(row.name)) ||
        !put(buf, size, &pos, " ", 1) || !put_number(buf, size, &pos, v) ||
        !put(buf, size, &pos, "\n", 1)) {
      return 0;
    }
  }
  return pos;
}

void install_counter_dump(const std::string& stats_path,
                          const std::vector<CounterRow>& rows) {
  const std::string temp = stats_path + ".tmp";
  if (temp.size() >= sizeof(g_stats_path)) return;
  g_row_count = std::min(rows.size(), kMaxCounterRows);
  std::copy_n(rows.begin(), g_row_count, g_rows);
  std::memcpy(g_stats_path, stats_path.c_str(), stats_path.size() + 1);
  std::memcpy(g_stats_temp, temp.c_str(), temp.size() + 1);
  const std::string timed = stats_path + ".timed";
  std::memcpy(g_stats_timed_temp, timed.c_str(), timed.size() + 1);
  struct sigaction dump {};
  dump.sa_handler = dump_counters;
  sigemptyset(&dump.sa_mask);
  dump.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &dump, nullptr);
}

void write_counter_file() {
  if (g_stats_path[0] == '\0') return;
  char buf[4096];
  const std::size_t n = format_counters(g_rows, g_row_count, buf, sizeof(buf));
  replace_stats(g_stats_timed_temp, buf, n);
}

}  // namespace quillo
