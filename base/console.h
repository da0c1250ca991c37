// Console output of the daemon and its modules: progress on standard
// output, problems on standard error. Each call writes its text at once
// (standard output is flushed), so lines show up promptly in a file or a
// journal. Safe to call from any thread.

#ifndef QUILLO_BASE_CONSOLE_H_
#define QUILLO_BASE_CONSOLE_H_

#include <cstdio>
#include <stdexcept>
#include <string>

namespace base {

// Writes `text` to standard output and flushes it.
inline void say(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Writes `text` to standard error.
inline void complain(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
}

// Prints the exception in flight as "Error: <message>\n" for a standard
// runtime or logic error, else "Error: unknown exception\n". Call only
// inside a catch block.
inline void complain_current_exception() {
  try {
    throw;
  } catch (const std::runtime_error& e) {
    complain(std::string("Error: ") + e.what() + "\n");
  } catch (const std::logic_error& e) {
    complain(std::string("Error: ") + e.what() + "\n");
  } catch (...) {
    complain("Error: unknown exception\n");
  }
}

}  // namespace base

#endif  // QUILLO_BASE_CONSOLE_H_
