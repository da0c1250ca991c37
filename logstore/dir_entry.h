// Range-style listing of one directory, skipping names on an ignore list.
//
//   DirEntryList list(path, DirEntryIterator::DefaultIgnoreList());
//   for (const dirent& entry : list) use(entry.d_name);
//
// Entries come in the order the file system returns them. A directory that
// cannot be opened lists nothing. readdir() is used: one listing must be
// walked by one thread at a time (distinct listings are independent).

#ifndef QUILLO_LOGSTORE_DIR_ENTRY_H_
#define QUILLO_LOGSTORE_DIR_ENTRY_H_

#include <dirent.h>

#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace quillo {

// Input iterator over the entries of a directory stream owned by a
// DirEntryList. It borrows the stream: it must not outlive its list, and
// copies share the stream, so advancing one copy moves them all. The entry
// it points at stays valid only until the stream is advanced again.
class DirEntryIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = dirent;
  using difference_type = void;
  using pointer = const dirent*;
  using reference = const dirent&;

  // The names every listing skips: "." and "..".
  class DefaultIgnoreList : public std::vector<std::string> {
   public:
    DefaultIgnoreList();
    virtual ~DefaultIgnoreList();
    DefaultIgnoreList(const DefaultIgnoreList&) = default;
    DefaultIgnoreList& operator=(const DefaultIgnoreList&) = default;
    DefaultIgnoreList(DefaultIgnoreList&&) = default;
    DefaultIgnoreList& operator=(DefaultIgnoreList&&) = default;
  };

  // The end iterator: no stream, no current entry.
  DirEntryIterator();
  // An iterator on `dir` (may be null) already advanced to the first entry
  // whose name is not in `ignore`.
  DirEntryIterator(DIR* dir, const std::vector<std::string>& ignore);
  virtual ~DirEntryIterator();
  DirEntryIterator(const DirEntryIterator&) = default;
  DirEntryIterator& operator=(const DirEntryIterator&) = default;
  DirEntryIterator(DirEntryIterator&&) = default;
  DirEntryIterator& operator=(DirEntryIterator&&) = default;

  // Reads entries until one not on the ignore list, or until the end (or a
  // read error), which makes this iterator equal to the end iterator.
  DirEntryIterator& operator++();

  // Precondition: not at the end.
  reference operator*() const { return *entry_; }
  pointer operator->() const { return entry_; }

  // Iterators compare by their current entry, so every iterator at the end
  // equals the end iterator.
  bool operator==(const DirEntryIterator& other) const {
    return entry_ == other.entry_;
  }
  bool operator!=(const DirEntryIterator& other) const {
    return !(*this == other);
  }

 private:
  bool ignored(const char* name) const;

  DIR* dir_;                         // borrowed from the DirEntryList
  const dirent* entry_;              // null at the end
  std::vector<std::string> ignore_;  // own copy
};

// One open directory listing. Owns the directory stream and closes it on
// destruction. Not copyable. begin() continues from wherever the stream
// stands, so a listing is walked once.
class DirEntryList {
 public:
  // Opens `path` unless it is empty; a failed open lists nothing.
  DirEntryList(const std::string& path, const std::vector<std::string>& ignore);
  // Lists the folder open at `dir_fd` through a duplicate of it, so the
  // caller keeps its descriptor; nothing is looked up by name. A failure
  // lists nothing.
  DirEntryList(int dir_fd, const std::vector<std::string>& ignore);
  DirEntryList(const DirEntryList&) = delete;
  DirEntryList& operator=(const DirEntryList&) = delete;
  ~DirEntryList();

  DirEntryIterator begin();
  DirEntryIterator end() const { return DirEntryIterator(); }

  // True when the directory was opened.
  bool is_open() const { return dir_ != nullptr; }
  const std::string& path() const { return path_; }

 private:
  struct DirCloser {
    void operator()(DIR* dir) const;
  };

  std::string path_;
  std::unique_ptr<DIR, DirCloser> dir_;
  std::vector<std::string> ignore_;
};

}  // namespace quillo

#endif  // QUILLO_LOGSTORE_DIR_ENTRY_H_
