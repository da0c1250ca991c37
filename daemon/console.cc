#include "daemon/console.h"

#include <cstdio>
#include <stdexcept>

void say(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void complain(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
}

void complain_current_exception() {
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
