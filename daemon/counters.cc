#include "daemon/counters.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

Counters g_counters;

// Paths for the signal handler, fixed before it is installed.
char g_stats_path[4096];
char g_stats_temp[4096 + 8];

struct Row {
  const char* name;
  Counters::Count Counters::*count;
};

constexpr Row kRows[] = {
    {"requests_system", &Counters::requests_system},
    {"requests_access", &Counters::requests_access},
    {"requests_other_type", &Counters::requests_other_type},
    {"requests_malformed", &Counters::requests_malformed},
    {"rows_written_system", &Counters::rows_written_system},
    {"rows_written_access", &Counters::rows_written_access},
    {"rows_written_alert", &Counters::rows_written_alert},
    {"rows_dropped_disabled", &Counters::rows_dropped_disabled},
    {"rows_dropped_filtered", &Counters::rows_dropped_filtered},
    {"write_failures", &Counters::write_failures},
    {"system_queue_rows", &Counters::system_queue_rows},
    {"files_deleted", &Counters::files_deleted},
    {"alert_matches", &Counters::alert_matches},
    {"alert_batches", &Counters::alert_batches},
    {"mail_addresses_sent", &Counters::mail_addresses_sent},
    {"mail_addresses_failed", &Counters::mail_addresses_failed},
    {"script_failures", &Counters::script_failures},
};

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

void write_all(int fd, const char* buf, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, buf, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    buf += w;
    n -= static_cast<std::size_t>(w);
  }
}

void dump_counters(int) {
  const int saved_errno = errno;
  char buf[2048];
  const std::size_t n = format_counters(buf, sizeof(buf));
  write_all(STDOUT_FILENO, buf, n);
  const int fd = ::open(g_stats_temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        0644);
  if (fd >= 0) {
    write_all(fd, buf, n);
    ::close(fd);
    ::rename(g_stats_temp, g_stats_path);
  }
  errno = saved_errno;
}

}  // namespace

Counters& counters() { return g_counters; }

std::size_t format_counters(char* buf, std::size_t size) {
  std::size_t pos = 0;
  for (const Row& row : kRows) {
    const std::uint64_t v = (g_counters.*row.count).load(std::memory_order_relaxed);
    if (!put(buf, size, &pos, row.name, std::strlen(row.name)) ||
        !put(buf, size, &pos, " ", 1) || !put_number(buf, size, &pos, v) ||
        !put(buf, size, &pos, "\n", 1)) {
      return 0;
    }
  }
  return pos;
}

void install_counter_dump(const std::string& stats_path) {
  const std::string temp = stats_path + ".tmp";
  if (temp.size() >= sizeof(g_stats_path)) return;
  std::memcpy(g_stats_path, stats_path.c_str(), stats_path.size() + 1);
  std::memcpy(g_stats_temp, temp.c_str(), temp.size() + 1);
  struct sigaction dump {};
  dump.sa_handler = dump_counters;
  sigemptyset(&dump.sa_mask);
  dump.sa_flags = SA_RESTART;  // accept() and the alert thread go on waiting
  sigaction(SIGUSR1, &dump, nullptr);
}
