// quillo-query: reads the log tree quillod writes and shows the rows asked
// for, in time order, as CSV, JSON lines or a table, or counts them;
// --follow goes on showing rows as they are written.
//
//   0 rows were shown; 1 none matched; 2 error (bad option, unreadable
//   configuration or log root).

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/root_dir.h"
#include "config/config_xml.h"
#include "paths/appliance_paths.h"
#include "query/query_options.h"
#include "query/query_runner.h"

namespace {

constexpr std::size_t kOutputBuffer = 1 << 20;

// Columns of the terminal on standard output, else $COLUMNS, else 120.
int terminal_width() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  const char* columns =
      std::getenv("COLUMNS");  // NOLINT(concurrency-mt-unsafe)
  const int n = columns != nullptr ? std::atoi(columns) : 0;
  return n > 0 ? n : 120;
}

// The log root the daemon writes to: the one of its configuration, found
// by the same QUILLO_ROOT rule.
std::string configured_log_root() {
  quillo::ConfigXml config(quillo::MakePaths(base::root_from_env()).config);
  config.load();
  return config.log_root();
}

}  // namespace

int main(int argc, char** argv) {
  // Rows are read and shown in the process's local time, as written.
  tzset();
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    quillo_query::QueryOptions options = quillo_query::parse_query_options(
        args, static_cast<int64_t>(std::time(nullptr)));
    options.terminal = ::isatty(STDOUT_FILENO) == 1;
    if (options.help) {
      say(quillo_query::usage_text());
      return 0;
    }
    const std::string root =
        options.root.empty() ? configured_log_root() : options.root;
    static char buffer[kOutputBuffer];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    quillo_query::QueryRunner runner(options, root, stdout, terminal_width());
    return runner.run();
  } catch (const quillo_query::UsageError& e) {
    complain(std::string("quillo-query: ") + e.what() + "\n" +
             quillo_query::usage_text());
    return 2;
  } catch (...) {
    std::fflush(stdout);
    complain_current_exception();
    return 2;
  }
}
