// An XML document whose file is loaded and saved under an advisory lock, so
// that loads and saves of one document file by several threads or processes
// do not overlap: any number of loads, or one save, at a time.
#ifndef QUILLO_SUPPORT_XML_XML_DATA_H_
#define QUILLO_SUPPORT_XML_XML_DATA_H_

#include <chrono>
#include <stdexcept>
#include <string>

#include <glibmm/ustring.h>

#include "support/xml/dom.h"

// The lock file could not be opened or the lock not be had.
namespace quillo {

class XmlLockError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Owns its document like CDOMXmlDocument; the lock file is held only for the
// duration of one Load or Save and is never removed. One thread at a time.
class XmlData : public Corvel::CDOMXmlDocument {
 public:
  // `lock_path` names the lock file; an empty path means no locking.
  explicit XmlData(const std::string& lock_path);
  ~XmlData() override;

  // The document operations on streams stay available unlocked.
  using Corvel::CDOMXmlDocument::Load;
  using Corvel::CDOMXmlDocument::Save;

  // Loads `file_name` under a shared lock, waiting for any exclusive holder
  // (at most the lock bound, when one is set). Raises XmlLockError("Can't
  // open") when the lock file cannot be opened or created (a link is not
  // followed), XmlLockError("Can't Lock") when the lock cannot be taken, and
  // the CXMLError of the load itself.
  void Load(const Glib::ustring& file_name);
  // Saves `file_name` under an exclusive lock; errors as for Load.
  void Save(const Glib::ustring& file_name);

  const std::string& lock_path() const { return lock_path_; }

  // Makes Load and Save try the lock without blocking, about every 100 ms,
  // for at most `bound`; zero (the default) waits as long as it takes.
  void set_lock_bound(std::chrono::milliseconds bound) { lock_bound_ = bound; }

 private:
  std::string lock_path_;
  std::chrono::milliseconds lock_bound_{0};
};

}  // namespace quillo

#endif  // QUILLO_SUPPORT_XML_XML_DATA_H_
