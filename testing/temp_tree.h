// Test fixture: a private temporary directory tree, removed with all its
// content when the object goes. Test code only.
//
//   quillo_test::TempTree tree;
//   tree.write("mnt/data/xmlconf/config-quillo.xml", "<config/>");
//   const std::string script = tree.script("bin/fail.sh", "exit 1");
//
// Made with mkdtemp under $TMPDIR (or /tmp). Every helper takes a path
// relative to the tree, makes the missing parent folders and raises
// std::runtime_error when it fails.

#ifndef QUILLO_TESTING_TEMP_TREE_H_
#define QUILLO_TESTING_TEMP_TREE_H_

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillo_test {

class TempTree final {
 public:
  explicit TempTree(const std::string& tag = "quillo-test") {
    const char* base = getenv("TMPDIR");
    std::string pattern = (base != nullptr && *base != '\0') ? base : "/tmp";
    pattern += "/" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = buffer.data();
  }
  ~TempTree() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& path() const { return path_; }

  // The absolute path of `relative`; nothing is created.
  std::string file(const std::string& relative) const {
    return path_ + "/" + relative;
  }

  // Makes the folder `relative` and its parents; returns its path.
  std::string dir(const std::string& relative) const {
    const std::string full = file(relative);
    std::error_code ec;
    std::filesystem::create_directories(full, ec);
    if (ec) throw std::runtime_error("cannot make " + full);
    return full;
  }

  // Creates or replaces the file `relative` with `content`; returns its
  // path.
  std::string write(const std::string& relative,
                    const std::string& content) const {
    const std::string full = file(relative);
    make_parent(full);
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) throw std::runtime_error("cannot write " + full);
    return full;
  }

  // Writes an executable /bin/sh script `relative` with `body`; returns its
  // path.
  std::string script(const std::string& relative,
                     const std::string& body) const {
    const std::string full = write(relative, "#!/bin/sh\n" + body + "\n");
    if (chmod(full.c_str(), 0755) != 0) {
      throw std::runtime_error("cannot chmod " + full);
    }
    return full;
  }

  // The whole content of `relative`, or "<missing>" when it cannot be read.
  std::string read(const std::string& relative) const {
    std::ifstream in(file(relative), std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  static void make_parent(const std::string& full) {
    const std::filesystem::path parent =
        std::filesystem::path(full).parent_path();
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) throw std::runtime_error("cannot make " + parent.string());
  }

  std::string path_;
};

}  // namespace quillo_test

#endif  // QUILLO_TESTING_TEMP_TREE_H_
