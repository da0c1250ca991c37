#include "logstore/dir_entry.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace quillo {

DirEntryIterator::DefaultIgnoreList::DefaultIgnoreList() {
  push_back(".");
  push_back("..");
}

DirEntryIterator::DefaultIgnoreList::~DefaultIgnoreList() = default;

DirEntryIterator::DirEntryIterator() : dir_(nullptr), entry_(nullptr) {}

DirEntryIterator::DirEntryIterator(DIR* dir,
                                   const std::vector<std::string>& ignore)
    : dir_(dir), entry_(nullptr), ignore_(ignore) {
  ++*this;
}

DirEntryIterator::~DirEntryIterator() = default;

DirEntryIterator& DirEntryIterator::operator++() {
  if (dir_ == nullptr) return *this;
  // readdir() returns null both at the end and on a read error; either ends
  // the listing.
  do {
    entry_ = ::readdir(dir_);
  } while (entry_ != nullptr && ignored(entry_->d_name));
  return *this;
}

bool DirEntryIterator::ignored(const char* name) const {
  for (const std::string& skip : ignore_) {
    if (std::strcmp(skip.c_str(), name) == 0) return true;
  }
  return false;
}

void DirEntryList::DirCloser::operator()(DIR* dir) const { ::closedir(dir); }

// glibc's opendir() opens its descriptor with O_CLOEXEC.
DirEntryList::DirEntryList(const std::string& path,
                           const std::vector<std::string>& ignore)
    : path_(path),
      dir_(path.empty() ? nullptr : ::opendir(path.c_str())),
      ignore_(ignore) {}

DirEntryList::DirEntryList(int dir_fd, const std::vector<std::string>& ignore)
    : ignore_(ignore) {
  const int copy = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return;
  dir_.reset(::fdopendir(copy));
  if (!dir_) ::close(copy);
  // fdopendir() reads from the descriptor's current position.
  if (dir_) ::rewinddir(dir_.get());
}

DirEntryList::~DirEntryList() = default;

DirEntryIterator DirEntryList::begin() {
  return DirEntryIterator(dir_.get(), ignore_);
}

}  // namespace quillo
