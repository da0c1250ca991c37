// Test helper: a private configuration file for one test, in a temporary
// tree removed with the helper. Test code only.

#ifndef QUILLO_CONFIG_CONFIG_TEST_UTIL_H_
#define QUILLO_CONFIG_CONFIG_TEST_UTIL_H_

#include <filesystem>
#include <string>

#include "testing/temp_tree.h"

class TempConfig {
 public:
  TempConfig() : tree_("quillo-config") {}

  // Replaces the configuration file with `xml`.
  void Write(const std::string& xml) const { tree_.write(kName, xml); }

  // Removes the configuration file.
  void Remove() const { std::filesystem::remove(path()); }

  // The configuration file, to give to ConfigXml.
  std::string path() const { return tree_.file(kName); }
  // The tree's root folder, free for the test's other files.
  const std::string& root() const { return tree_.path(); }
  const quillo_test::TempTree& tree() const { return tree_; }

 private:
  static constexpr char kName[] = "config-quillo.xml";
  quillo_test::TempTree tree_;
};

#endif  // QUILLO_CONFIG_CONFIG_TEST_UTIL_H_
