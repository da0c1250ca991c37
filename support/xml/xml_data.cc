// Locked load and save of XmlData documents.
#include "support/xml/xml_data.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "base/eintr.h"
#include "base/unique_fd.h"

namespace quillo {

namespace {

// Holds an open lock file and an flock on it for one scope. Closing the
// descriptor in the destructor releases the lock; the file stays.
class ScopedFileLock final {
 public:
  // `operation` is LOCK_SH or LOCK_EX. Without a bound, waits until the
  // lock is granted; with one, tries without blocking every kRetryStep
  // until the bound has passed.
  ScopedFileLock(const std::string& path, int operation,
                 std::chrono::milliseconds bound)
      : fd_(base::retry_eintr([&] {
          // The lock file may sit in a world-writable folder: a link planted
          // there is not followed.
          return ::open(path.c_str(),
                        O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        })) {
    if (!fd_) throw XmlLockError("Can't open");
    if (bound.count() <= 0) {
      if (base::retry_eintr([&] { return ::flock(fd_.get(), operation); }) !=
          0) {
        throw XmlLockError("Can't Lock");
      }
      return;
    }
    const auto until = std::chrono::steady_clock::now() + bound;
    for (;;) {
      if (base::retry_eintr(
              [&] { return ::flock(fd_.get(), operation | LOCK_NB); }) == 0) {
        return;
      }
      if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= until) {
        throw XmlLockError("Can't Lock");
      }
      // A bounded retry: the holder may be any local process.
      std::this_thread::sleep_for(kRetryStep);
    }
  }

 private:
  static constexpr std::chrono::milliseconds kRetryStep{100};
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
  ScopedFileLock lock(lock_path_, LOCK_SH, lock_bound_);
  CDOMXmlDocument::Load(file_name);
}

void XmlData::Save(const Glib::ustring& file_name) {
  if (lock_path_.empty()) {
    CDOMXmlDocument::Save(file_name);
    return;
  }
  ScopedFileLock lock(lock_path_, LOCK_EX, lock_bound_);
  CDOMXmlDocument::Save(file_name);
}

}  // namespace quillo
