// Locked load and save of XmlData documents.
#include "support/xml/xml_data.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {

// Holds an open lock file and an flock on it for one scope. Closing the
// descriptor in the destructor releases the lock; the file stays.
class ScopedFileLock final {
 public:
  // `operation` is LOCK_SH or LOCK_EX; blocks until the lock is granted.
  ScopedFileLock(const std::string& path, int operation) {
    do {
      fd_ = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) throw std::runtime_error("Can't open");
    int rc;
    do {
      rc = flock(fd_, operation);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      close(fd_);
      fd_ = -1;
      throw std::runtime_error("Can't Lock");
    }
  }
  ~ScopedFileLock() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFileLock(const ScopedFileLock&) = delete;
  ScopedFileLock& operator=(const ScopedFileLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace

XmlData::XmlData(const std::string& lock_path) : lock_path_(lock_path) {}

XmlData::~XmlData() = default;

void XmlData::Load(const Glib::ustring& file_name) {
  if (lock_path_.empty()) {
    CDOMXmlDocument::Load(file_name);
    return;
  }
  ScopedFileLock lock(lock_path_, LOCK_SH);
  CDOMXmlDocument::Load(file_name);
}

void XmlData::Save(const Glib::ustring& file_name) {
  if (lock_path_.empty()) {
    CDOMXmlDocument::Save(file_name);
    return;
  }
  ScopedFileLock lock(lock_path_, LOCK_EX);
  CDOMXmlDocument::Save(file_name);
}
