#include "web/string_file.h"

#include <stdexcept>
#include <utility>

namespace quillo {
namespace {

ssize_t append(void* cookie, const char* data, std::size_t size) {
  static_cast<std::string*>(cookie)->append(data, size);
  return static_cast<ssize_t>(size);
}

}  // namespace

StringFile::StringFile() {
  cookie_io_functions_t io{};
  io.write = &append;
  file_ = fopencookie(&text_, "w", io);
  if (file_ == nullptr) throw std::bad_alloc();
}

StringFile::~StringFile() { std::fclose(file_); }

std::string StringFile::take() {
  std::fflush(file_);
  return std::exchange(text_, std::string());
}

}  // namespace quillo
