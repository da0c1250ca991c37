#include "alert/response_runner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "base/console.h"
#include "support/exec/exec.h"

extern char** environ;

namespace quillo {
namespace {

// Keeps the first `cap` bytes written to it and drops the rest, so a
// script that prints without end costs no memory.
class CappedBuf final : public std::streambuf {
 public:
  CappedBuf(std::string& text, std::size_t cap) : text_(text), cap_(cap) {}

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof() && text_.size() < cap_) {
      text_.push_back(traits_type::to_char_type(c));
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::size_t room = cap_ - std::min(cap_, text_.size());
    text_.append(s, std::min(room, static_cast<std::size_t>(n)));
    return n;
  }

 private:
  std::string& text_;
  const std::size_t cap_;
};

// Whether a user other than root or the daemon's own could change what
// `st` describes.
bool OthersCanChange(const struct stat& st) {
  if (st.st_uid != 0 && st.st_uid != geteuid()) return true;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Empty when `script` may be run, otherwise why not.
std::string CheckScript(const std::string& script) {
  struct stat st;
  if (script.empty() || script[0] != '/') return "not an absolute path";
  if (lstat(script.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (OthersCanChange(st)) return "others can change the file";
  if ((st.st_mode & S_IXUSR) == 0) return "not executable";
  const std::string folder = script.substr(0, script.rfind('/'));
  if (stat(folder.empty() ? "/" : folder.c_str(), &st) != 0) {
    return std::strerror(errno);
  }
  if (OthersCanChange(st)) return "others can change its folder";
  return "";
}

// The daemon's environment with `set` put in, each name once.
std::vector<std::string> MakeEnvironment(
    const std::vector<std::pair<std::string, std::string>>& set) {
  std::set<std::string> names;
  std::vector<std::string> env;
  for (const auto& [name, value] : set) {
    names.insert(name);
    env.push_back(name + "=" + value);
  }
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const char* equal = std::strchr(*e, '=');
    if (equal == nullptr) continue;
    if (names.count(std::string(*e, static_cast<std::size_t>(equal - *e))) == 0) env.emplace_back(*e);
  }
  return env;
}

std::vector<const char*> Pointers(const std::vector<std::string>& strings) {
  std::vector<const char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const std::string& s : strings) pointers.push_back(s.c_str());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ResponseRunner::~ResponseRunner() { stop(); }

int ResponseRunner::start() {
  for (Worker& worker : workers_) {
    if (const int error = worker.start([this] { loop(); })) return error;
  }
  return 0;
}

void ResponseRunner::stop() noexcept {
  {
    MutexLock hold(mu_);
    stop_ = true;
    jobs_.clear();
  }
  wake_.broadcast();
  for (Worker& worker : workers_) worker.join();
  MutexLock hold(mu_);
  stop_ = false;
}

void ResponseRunner::run(ResponseJob job) {
  MutexLock hold(mu_);
  if (jobs_.size() >= kMaxWaiting) {
    // A flood of firings gives one message, not one per firing.
    if (!refusing_) {
      base::complain("Error: response " + job.script + " of " + job.what +
                     ": not run: " + std::to_string(kMaxWaiting) +
                     " responses waiting already; more are only counted"
                     " until one can wait again.\n");
    }
    refusing_ = true;
    stats_.failed++;
    return;
  }
  refusing_ = false;
  jobs_.push_back(std::move(job));
  wake_.signal();
}

void ResponseRunner::loop() {
  MutexLock hold(mu_);
  for (;;) {
    while (jobs_.empty() && !stop_) wake_.wait(mu_);
    if (stop_) return;
    ResponseJob job = std::move(jobs_.front());
    jobs_.pop_front();
    MutexUnlock release(mu_);
    const Result result = execute(job, &stats_);
    if (result.failure.empty()) {
      base::say("response " + job.script + " of " + job.what + " ran.\n");
      continue;
    }
    std::string text = "Error: response " + job.script + " of " + job.what +
                       ": " + result.failure;
    if (!result.output.empty()) text += "; it printed:\n" + result.output;
    if (text.back() != '\n') text += "\n";
    // Reported before it is counted: a count read means its message is out.
    base::complain(text);
    stats_.failed++;
  }
}

ResponseRunner::Result ResponseRunner::execute(const ResponseJob& job,
                                               ResponseStats* stats) {
  Result result;
  const std::string refused = CheckScript(job.script);
  if (!refused.empty()) {
    result.failure = "not run: " + refused;
    return result;
  }
  std::vector<std::string> argv{job.script};
  argv.insert(argv.end(), job.arguments.begin(), job.arguments.end());
  const std::vector<std::string> env = MakeEnvironment(job.environment);
  const std::vector<const char*> argv_p = Pointers(argv);
  const std::vector<const char*> env_p = Pointers(env);
  CappedBuf buf(result.output, kOutputCap);
  std::ostream out(&buf);
  std::istringstream in(job.input);
  std::string& failure = result.failure;
  try {
    CExec exec(job.script.c_str(), argv_p.data(), env_p.data(),
               /*search_path=*/false, /*use_environment=*/true);
    result.started = true;
    if (stats != nullptr) stats->run++;
    const int status = exec.RunWithInput(in, &out, {}, job.timeout);
    if (exec.TermSignal() != 0) {
      failure = "ended by signal " + std::to_string(exec.TermSignal());
    } else if (status != 0) {
      failure = "exit status " + std::to_string(status);
    }
  } catch (const CExecError& e) {
    failure = std::string(e.what()) == kExecTimeout
                  ? "killed after " + std::to_string(job.timeout) + " s"
                  : e.what();
  }
  return result;
}

}  // namespace quillo
