// Test helper: a private temporary directory holding small shell scripts,
// removed again with everything in it. Test code only.

#ifndef QUILLO_SUPPORT_EXEC_SCRIPT_DIR_FOR_TEST_H_
#define QUILLO_SUPPORT_EXEC_SCRIPT_DIR_FOR_TEST_H_

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillo_test {

class ScriptDir final {
 public:
  ScriptDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = (base != nullptr && *base != '\0') ? base : "/tmp";
    pattern += "/quillo-exec-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = buffer.data();
  }
  ~ScriptDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScriptDir(const ScriptDir&) = delete;
  ScriptDir& operator=(const ScriptDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  // Writes an executable /bin/sh script `name` with `body` and returns its
  // path.
  std::string Script(const std::string& name, const std::string& body) const {
    const std::string file = File(name);
    {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out << "#!/bin/sh\n" << body << "\n";
      if (!out) throw std::runtime_error("cannot write " + file);
    }
    chmod(file.c_str(), 0755);
    return file;
  }

 private:
  std::string path_;
};

}  // namespace quillo_test

#endif  // QUILLO_SUPPORT_EXEC_SCRIPT_DIR_FOR_TEST_H_
