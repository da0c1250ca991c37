// The QUILLO_ROOT rule, shared by every program: when the variable is set
// and not empty, each fixed path of the appliance is taken below that
// directory (made absolute against the working directory at start-up), so
// that tests, the demo and unprivileged users run the system without
// touching the appliance's real paths.

#ifndef QUILLO_BASE_ROOT_DIR_H_
#define QUILLO_BASE_ROOT_DIR_H_

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace base {

// `root` made absolute, without trailing "/"; "" stays "" (the appliance's
// own paths) and "/" stays "/".
inline std::string absolute_root(const std::string& root) {
  std::string out = root;
  if (!out.empty() && out[0] != '/') {
    std::string cwd(4096, '\0');
    if (getcwd(&cwd[0], cwd.size()) != nullptr) {
      cwd.resize(cwd.find('\0'));
      out = cwd == "/" ? "/" + out : cwd + "/" + out;
    }
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// What to put before an absolute fixed path for `root` (from
// absolute_root): a root of "/" adds nothing.
inline std::string root_prefix(const std::string& root) {
  return root == "/" ? std::string() : root;
}

// absolute_root() of QUILLO_ROOT, or "" when it is unset. Reads the
// environment: call at start-up, before other threads exist.
inline std::string root_from_env() {
  const char* root =
      std::getenv("QUILLO_ROOT");  // NOLINT(concurrency-mt-unsafe)
  return absolute_root(root != nullptr ? root : "");
}

}  // namespace base

#endif  // QUILLO_BASE_ROOT_DIR_H_
