// Locked load and save of XmlData documents.
#include "support/xml/xml_data.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "base/eintr.h"
#include "base/unique_fd.h"

namespace {

// Holds an open lock file and an flock on it for one scope. Closing the
// descriptor in the destructor releases the lock; the file stays.
class ScopedFileLock final {
 public:
  // `operation` is LOCK_SH or LOCK_EX; blocks until the lock is granted.
  ScopedFileLock(const std::string& path, int operation)
      : fd_(base::retry_eintr([&] {
          return ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        })) {
    if (!fd_) throw std::runtime_error("Can't open");
    if (base::retry_eintr([&] { return ::flock(fd_.get(), operation); }) != 0) {
      throw std::runtime_error("Can't Lock");
    }
  }

 private:
  const base::UniqueFd fd_;
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
