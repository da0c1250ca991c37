// quillo-query: reads the log tree quillod writes and shows the rows asked
// for, in time order, as CSV, JSON lines or a table, or counts them;
// --follow goes on showing rows as they are written. --setup-keys makes
// the sealing key, --verify checks the tree against the seals
// (query/seal_verify.h).
//
//   0 rows were shown; 1 none matched; 2 error (bad option, unreadable
//   configuration or log root).
//   --verify: 0 nothing found but warnings; 1 findings; 2 error.

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/local_fields.h"
#include "base/root_dir.h"
#include "config/config_xml.h"
#include "paths/appliance_paths.h"
#include "query/query_options.h"
#include "query/row_printer.h"
#include "query/seal_verify.h"
#include "query/visible_text.h"
#include "reader/log_reader.h"

namespace quillo {
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

// What the reader leaves out, on standard error with every name as shown
// (visible_text.h): anyone may name a file in the tree.
class StderrObserver final : public ReadObserver {
 public:
  void entry_left_out(const std::string& path, std::string_view why) override {
    base::complain("quillo-query: " + visible(path) + ": " + std::string(why) +
                   "\n");
  }
  void line_left_out(const std::string& path, int64_t line,
                     std::string_view why) override {
    base::complain("quillo-query: " + visible(path) + ":" +
                   std::to_string(line) + ": " + std::string(why) +
                   ", left out\n");
  }
};

// Prints rows or feeds the summary, and counts them. Following, every row
// is flushed at once.
class Emitter final : public RowConsumer {
 public:
  Emitter(std::FILE* out, RowPrinter* printer, Summary* summary, bool flush)
      : out_(out), printer_(printer), summary_(summary), flush_(flush) {}
  void row(const RowView& row, int64_t time) override {
    if (summary_ != nullptr) {
      summary_->add(row);
    } else {
      printer_->print(row, time);
    }
    ++count_;
    if (flush_) std::fflush(out_);
  }
  void caught_up() override { std::fflush(out_); }
  int64_t count() const { return count_; }

 private:
  std::FILE* out_;
  RowPrinter* printer_;  // null when summing up
  Summary* summary_;     // null when printing
  bool flush_;
  int64_t count_ = 0;
};

// Runs the query on `log_root` into `out`: 0 when rows were shown (or
// counted), 1 when none matched. Following, it returns only by raising
// TreeError.
int run_query(const QueryOptions& options, const std::string& log_root,
              std::FILE* out) {
  StderrObserver observer;
  LogReader reader(log_root, log_query(options), observer);
  std::unique_ptr<RowPrinter> printer;
  std::unique_ptr<Summary> summary;
  if (options.count_by >= 0) {
    summary = std::make_unique<Summary>(options.count_by);
  } else {
    printer = make_printer(options.output, options.kind, out, terminal_width(),
                           options.terminal);
  }
  Emitter emitter(out, printer.get(), summary.get(), options.follow);
  if (options.follow) reader.follow(emitter);
  reader.read(emitter);
  if (summary) summary->print(out);
  std::fflush(out);
  return emitter.count() > 0 ? 0 : 1;
}

// --setup-keys, as root only: the sealing state is root's.
int run_setup_keys() {
  if (::geteuid() != 0) {
    base::complain("Error: --setup-keys needs root\n");
    return 2;
  }
  base::say(setup_seal_keys(MakePaths(base::root_from_env()).state_dir));
  return 0;
}

// The key of --verify-key, if given; raises SealError for bad key text.
std::optional<SealKey> verification_key(const QueryOptions& options) {
  if (options.verify_key.empty()) return std::nullopt;
  std::optional<SealKey> key = parse_verification_key(options.verify_key);
  if (!key) throw SealError("--verify-key: not a verification key");
  return key;
}

// --verify: the findings, one line each, into `out`; the exit status.
int run_verify(const QueryOptions& options, const std::string& log_root,
               std::FILE* out) {
  VerifyRequest request;
  request.key = verification_key(options);
  request.log_root = log_root;
  request.state_dir = MakePaths(base::root_from_env()).state_dir;
  if (options.has_kind) request.kinds = {options.kind};
  request.since = options.since;
  request.until = options.until;
  StderrObserver observer;
  const std::vector<SealFinding> findings = verify_seals(request, observer);
  for (const SealFinding& finding : findings) {
    std::fputs(finding.text.c_str(), out);
    std::fputc('\n', out);
  }
  std::fflush(out);
  return verify_exit_status(findings);
}

}  // namespace
}  // namespace quillo

int main(int argc, char** argv) {
  // Rows are read and shown in the process's local time, as written.
  base::reload_time_zone();
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    quillo::QueryOptions options = quillo::parse_query_options(
        args, static_cast<int64_t>(std::time(nullptr)));
    options.terminal = ::isatty(STDOUT_FILENO) == 1;
    if (options.help) {
      base::say(quillo::usage_text());
      return 0;
    }
    if (options.mode == quillo::Mode::kSetupKeys) {
      return quillo::run_setup_keys();
    }
    if (options.mode == quillo::Mode::kVerify) {
      (void)quillo::verification_key(options);  // bad text before any work
    }
    const std::string root =
        options.root.empty() ? quillo::configured_log_root() : options.root;
    static char buffer[quillo::kOutputBuffer];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    if (options.mode == quillo::Mode::kVerify) {
      return quillo::run_verify(options, root, stdout);
    }
    return quillo::run_query(options, root, stdout);
  } catch (const quillo::UsageError& e) {
    base::complain(std::string("quillo-query: ") + e.what() + "\n" +
                   quillo::usage_text());
    return 2;
  } catch (const quillo::SealError& e) {
    std::fflush(stdout);
    base::complain(std::string("Error: ") + e.what() + "\n");
    return 2;
  } catch (const quillo::TreeError& e) {
    std::fflush(stdout);
    base::complain("Error: " + e.describe(quillo::visible) + "\n");
    return 2;
  } catch (...) {
    std::fflush(stdout);
    base::complain_current_exception();
    return 2;
  }
}
