// The daemon's configuration document, the generic readers every module
// parses its own settings with, and the log settings.
//
// The document is written by other software of the appliance; the daemon
// only reads it. XPaths are relative to a context node: the root element
// (GetRootNode()) or an element found below it. A boolean setting is an
// attribute that is on only when its value is exactly "true"; numbers are
// element texts read as decimal. Settings that are read for every record
// are read once per load and remembered; a module that keeps what it parsed
// from the document (the alert conditions) compares generation() to know
// when it must read again.

#ifndef QUILLO_CONFIG_CONFIG_XML_H_
#define QUILLO_CONFIG_CONFIG_XML_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <glibmm/ustring.h>

#include "support/xml/dom.h"
#include "support/xml/xml_data.h"

namespace quillo {

// Owns the parsed document. Loaded without a lock file. Main thread only;
// the alert thread never reads it.
class ConfigXml : public XmlData {
 public:
  // Kinds of log for get_autodelete().
  static constexpr int kSystemLog = 0;
  static constexpr int kAccessLog = 1;
  // Row of the path table that names the log root.
  static constexpr int kLogRootPath = 0;

  // The auto-delete settings of one kind of log.
  struct AutoDelete {
    bool enabled = false;
    int days = 0;     // age limit, 0 for none
    int percent = 0;  // disk-use limit, 0 for none
  };

  // The switches the record handlers read for every record.
  struct LogSwitches {
    bool system_log = false;          // "enable" of "eventlogconf"
    bool access_log = false;          // "enable" of "accesslogconf"
    bool all_shares = false;          // "all" of "accesslogconf/sharelist"
    std::vector<std::string> shares;  // get_share_list()
  };

  // An empty document (generation() 0), to be loaded from the file `path`.
  explicit ConfigXml(std::string path);
  ~ConfigXml() override;
  ConfigXml(const ConfigXml&) = delete;
  ConfigXml& operator=(const ConfigXml&) = delete;

  // Forgets every remembered setting and takes a new generation(), then
  // reads the configuration file. Raises Corvel::CXMLError when the file is
  // missing or not well-formed; the previous document is gone by then (the
  // document then has no root).
  void load();

  // Names the document of the last load() (also of a failed one): no two
  // loads of any ConfigXml in the process share a number, so a reader that
  // remembers the number it parsed knows whether the document is still the
  // same. 0 before the first load().
  std::uint64_t generation() const { return generation_; }

  // The attribute `attr` of the node `xpath` selects below `context` is
  // exactly "true". A missing node or attribute counts as off; never raises.
  bool get_bool(const Corvel::CDOMNode& context, const Glib::ustring& xpath,
                const Glib::ustring& attr) const;

  // The text of the node `xpath` selects below `context`, or `default_text`
  // when it is missing or holds no text. Never raises.
  Glib::ustring get_text(const Corvel::CDOMNode& context,
                         const Glib::ustring& xpath,
                         const Glib::ustring& default_text) const;

  // Every node `xpath` selects below `context`, in document order; empty
  // when there is none. Never raises.
  std::vector<Corvel::CDOMNode> get_nodes(const Corvel::CDOMNode& context,
                                          const Glib::ustring& xpath) const;

  // The texts of get_nodes(), skipping nodes without text. Never raises.
  std::vector<Glib::ustring> get_texts(const Corvel::CDOMNode& context,
                                       const Glib::ustring& xpath) const;

  // The decimal integer at the start of `text` after white space, with an
  // optional sign (" 14days" gives 14); 0 when there is none.
  static int to_int(const Glib::ustring& text);

  // The auto-delete settings of kSystemLog ("eventlogconf/autodelete") or
  // kAccessLog ("accesslogconf/autodelete"); any other kind gives all off.
  // Raises Corvel::CXMLError when the document has no root or the
  // auto-delete element is missing. Without "expire/days" neither number is
  // read; without "expire/percent" the percent is 0.
  AutoDelete get_autodelete(int kind);

  // The share names of "accesslogconf/sharelist/share/name" in document
  // order, skipping empty ones. Raises Corvel::CXMLError when the document
  // has no root.
  std::vector<std::string> get_share_list();

  // The text of "share/path". Raises Corvel::CXMLError when the element is
  // missing or empty, or the document has no root.
  std::string log_root();

  // The record handlers' switches. The document changes only when it is
  // loaded, so they are read from it once after each load, as are the
  // results (or errors) of log_root() and get_autodelete(): a record then
  // costs no XPath evaluation. A document without root gives all off.
  const LogSwitches& log_switches();

  // Named XPaths; one row, kLogRootPath -> "share/path".
  const std::map<int, Glib::ustring>& path_table() const { return paths_; }

 private:
  // A value read once per load: either the value or the message of the
  // Corvel::CXMLError its read raised, which is raised again on every use.
  template <typename T>
  struct Memo {
    bool ready = false;
    bool failed = false;
    T value{};
    std::string error;
  };

  // Forgets every value read from the previous document.
  void clear_memos();
  template <typename T, typename Read>
  const T& remember(Memo<T>& memo, Read read);

  AutoDelete read_autodelete(int kind);

  const std::string path_;  // the configuration file
  const std::map<int, Glib::ustring> paths_;
  std::uint64_t generation_ = 0;
  Memo<std::string> log_root_;
  Memo<AutoDelete> autodelete_[2];
  Memo<LogSwitches> switches_;
};

}  // namespace quillo

#endif  // QUILLO_CONFIG_CONFIG_XML_H_
