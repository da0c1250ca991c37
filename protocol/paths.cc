#include "protocol/paths.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace quillo {
namespace {

AppliancePaths& Current() {
  static AppliancePaths paths = MakePaths("");
  return paths;
}

std::string Absolute(const std::string& root) {
  if (root.empty() || root[0] == '/') return root;
  std::string cwd(4096, '\0');
  if (getcwd(&cwd[0], cwd.size()) == nullptr) return root;
  cwd.resize(cwd.find('\0'));
  return cwd == "/" ? "/" + root : cwd + "/" + root;
}

}  // namespace

AppliancePaths MakePaths(const std::string& root) {
  AppliancePaths p;
  p.root = Absolute(root);
  while (p.root.size() > 1 && p.root.back() == '/') p.root.pop_back();
  // A root of "/" adds nothing to the absolute paths below.
  const std::string prefix = p.root == "/" ? "" : p.root;
  p.socket = prefix + kSocketPath;
  p.config = prefix + kConfigPath;
  p.notice_config = prefix + kNoticeConfigPath;
  p.notice_lock = prefix + kNoticeLockPath;
  p.state_dir = prefix + kStateDir;
  p.eventlog_script = prefix + kEventlogScript;
  p.buzzer_script = prefix + kBuzzerScript;
  p.mailsend_script = prefix + kMailsendScript;
  return p;
}

void InitPaths() {
  // Called before any thread exists; nothing else reads the environment.
  const char* root = std::getenv("QUILLO_ROOT");  // NOLINT(concurrency-mt-unsafe)
  Current() = MakePaths(root != nullptr ? root : "");
}

const AppliancePaths& Paths() { return Current(); }

}  // namespace quillo
