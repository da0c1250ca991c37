// An XML document whose file is loaded and saved under an advisory lock, so
// that loads and saves of one document file by several threads or processes
// do not overlap: any number of loads, or one save, at a time.
#ifndef QUILLO_SUPPORT_XML_XML_DATA_H_
#define QUILLO_SUPPORT_XML_XML_DATA_H_

#include <string>

#include <glibmm/ustring.h>

#include "support/xml/dom.h"

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

  // Loads `file_name` under a shared lock, waiting for any exclusive holder.
  // Raises std::runtime_error("Can't open") when the lock file cannot be
  // opened or created, std::runtime_error("Can't Lock") when the lock cannot
  // be taken, and the CXMLError of the load itself.
  void Load(const Glib::ustring& file_name);
  // Saves `file_name` under an exclusive lock; errors as for Load.
  void Save(const Glib::ustring& file_name);

  const std::string& lock_path() const { return lock_path_; }

 private:
  std::string lock_path_;
};

#endif  // QUILLO_SUPPORT_XML_XML_DATA_H_
