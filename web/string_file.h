// A stdio stream that appends what is written to it to a string the
// caller owns and may take or clear between writes: the row printers of
// quillo-query write to a FILE*, the server sends strings.

#ifndef QUILLO_WEB_STRING_FILE_H_
#define QUILLO_WEB_STRING_FILE_H_

#include <cstdio>
#include <string>

namespace quillo {

class StringFile {
 public:
  StringFile();
  ~StringFile();
  StringFile(const StringFile&) = delete;
  StringFile& operator=(const StringFile&) = delete;

  std::FILE* file() const { return file_; }
  // What was written since the last take(), flushed first.
  std::string take();

 private:
  std::string text_;
  std::FILE* file_;
};

}  // namespace quillo

#endif  // QUILLO_WEB_STRING_FILE_H_
