// Test helper: a private configuration tree for one test.
//
// Creates a fresh directory (mkdtemp under $TMPDIR or /tmp), points
// QUILLO_ROOT at it and re-resolves the fixed paths, so that
// ConfigXml::load() reads <dir>/mnt/data/xmlconf/config-quillo.xml. The
// destructor restores the previous QUILLO_ROOT and removes the tree. One
// instance at a time per process; tests only.

#ifndef QUILLO_CONFIG_TEMP_CONFIG_H_
#define QUILLO_CONFIG_TEMP_CONFIG_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/paths.h"

class TempConfig {
 public:
  TempConfig() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
        "/quillo-config-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    root_ = buf.data();
    if (const char* old = getenv("QUILLO_ROOT")) old_root_ = old;
    setenv("QUILLO_ROOT", root_.c_str(), 1);
    quillo::InitPaths();
    std::filesystem::create_directories(
        std::filesystem::path(quillo::Paths().config).parent_path());
  }

  ~TempConfig() {
    if (old_root_) {
      setenv("QUILLO_ROOT", old_root_->c_str(), 1);
    } else {
      unsetenv("QUILLO_ROOT");
    }
    quillo::InitPaths();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  TempConfig(const TempConfig&) = delete;
  TempConfig& operator=(const TempConfig&) = delete;

  // Replaces the configuration file with `xml`.
  void Write(const std::string& xml) const {
    std::ofstream out(quillo::Paths().config, std::ios::trunc);
    out << xml;
    if (!out.flush()) throw std::runtime_error("cannot write config");
  }

  // Removes the configuration file.
  void Remove() const { std::filesystem::remove(quillo::Paths().config); }

  const std::string& root() const { return root_; }

 private:
  std::string root_;
  std::optional<std::string> old_root_;
};

#endif  // QUILLO_CONFIG_TEMP_CONFIG_H_
