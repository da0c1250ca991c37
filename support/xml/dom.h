// A small DOM layer over libxml++: counted node handles, one exception type
// with a fixed message layout, and whole-document load, save and creation.
//
// Example:
//   Corvel::CDOMXmlDocument doc;
//   doc.Load("settings.xml");
//   Corvel::CDOMElement share = doc.GetRootNode().SelectSingleNode("share");
//   Glib::ustring path = share.GetAttributeValue("path");
//
// Every failure the layer detects is raised as CXMLError whose text is
//   "<Class>::<Operation>:" " ERROR: " <inner text> <context pieces> "\n"
// where the inner text is either a bare failure ("no nodes found.") or the
// complete message of a nested operation of this layer.
//
// Lifetimes: a node linked into a document belongs to the document; a handle
// to it must be released before the document is destroyed or reloaded, and
// before the subtree it lies in is freed (an unlinked subtree whose last
// handle went away, or a root element replaced by SetRootNode). A node that
// is in no tree (created, copied or unlinked) belongs to its handles and is
// freed, together with its libxml++ wrappers, when the last handle of its
// count goes away. Two handles obtained separately for one detached node do
// not share a count; do not keep such a pair.
//
// Threads: nothing here is locked and use counts are not atomic; a document
// and every handle obtained from it are used by one thread at a time.
#ifndef QUILLO_SUPPORT_XML_DOM_H_
#define QUILLO_SUPPORT_XML_DOM_H_

#include <cstdint>
#include <istream>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <glibmm/ustring.h>
#include <libxml++/nodes/node.h>
#include <libxml++/parsers/domparser.h>

namespace Corvel {

// The one exception of the XML layer. what() returns the full message.
class CXMLError : public std::logic_error {
 public:
  explicit CXMLError(const std::string& message);
  ~CXMLError() override;
};

// Carried by every handle; it has no state of its own.
class CShareCounter {
 public:
  virtual ~CShareCounter();
};

// Frees the libxml2 node under `node`, and every libxml++ wrapper of its
// subtree, when that node has no parent. A node linked into a tree (or a null
// pointer) is left alone.
void FreeDetachedNode(xmlpp::Node* node);

// A counted handle. Copies share one heap use count; when the count drops to
// zero the deleter (if any) is called with the held pointer. The count is not
// atomic: all copies of one handle live on one thread.
//
// Reset, Assign and the destructor give up a reference only through Release;
// a derived class that overrides Release changes how all of them do it.
template <typename T>
class CSharePtr {
 public:
  using Deleter = void (*)(T*);

  CSharePtr() = default;

  // Starts a new count of 1 for `node`; a null pointer gives an empty handle.
  // The default deleter exists for T = xmlpp::Node only.
  explicit CSharePtr(T* node, Deleter deleter = &FreeDetachedNode)
      : deleter_(deleter) {
    if (node != nullptr) {
      node_ = node;
      count_ = new std::uint32_t(1);
    }
  }

  CSharePtr(const CSharePtr& other)
      : node_(other.node_), count_(other.count_), deleter_(other.deleter_) {
    if (count_ != nullptr) ++*count_;
  }

  CSharePtr& operator=(const CSharePtr& other) {
    Assign(other);
    return *this;
  }

  virtual ~CSharePtr() { Release(); }

  // Holds `node` under a fresh count (none when `node` is null) unless it is
  // the node already held; the deleter is replaced in every case.
  virtual void Reset(T* node, Deleter deleter) {
    if (node != node_) {
      Release();
      if (node != nullptr) {
        node_ = node;
        count_ = new std::uint32_t(1);
      }
    }
    deleter_ = deleter;
  }

  // Shares `other`'s node, count and deleter; no-op when it holds our node.
  virtual void Assign(const CSharePtr& other) {
    if (other.node_ == node_) return;
    Release();
    node_ = other.node_;
    count_ = other.count_;
    deleter_ = other.deleter_;
    if (count_ != nullptr) ++*count_;
  }

  // Drops this handle's reference and leaves the handle empty. The last
  // reference frees the count and calls the deleter.
  virtual void Release() {
    if (count_ != nullptr && --*count_ == 0) {
      delete count_;
      if (node_ != nullptr && deleter_ != nullptr) deleter_(node_);
    }
    node_ = nullptr;
    count_ = nullptr;
    deleter_ = nullptr;
  }

  T* Get() const { return node_; }
  std::uint32_t UseCount() const { return count_ == nullptr ? 0 : *count_; }

 private:
  T* node_ = nullptr;
  CShareCounter counter_;
  std::uint32_t* count_ = nullptr;
  Deleter deleter_ = nullptr;
};

// Gives `node` a libxml++ wrapper (in node->_private) when it has none,
// chosen by node type. Types without a wrapper class of their own get a plain
// xmlpp::Node and a warning line on standard error. Documents get none.
void __xmlpp_node_create_wrapper(  // NOLINT(bugprone-reserved-identifier)
    _xmlNode* node);

class CDOMElement;

// A copyable handle to one XML node (element, text, attribute, ...). Copies
// refer to the same node; a default-constructed handle is an empty node.
// See the file comment for lifetimes and threads.
class CDOMNode {
 public:
  // The node handle with the detached-node deleter as its default.
  class CShareNodePtr : public CSharePtr<xmlpp::Node> {
   public:
    CShareNodePtr() = default;
    explicit CShareNodePtr(xmlpp::Node* node);
    CShareNodePtr(const CShareNodePtr&) = default;
    CShareNodePtr& operator=(const CShareNodePtr&) = default;
    ~CShareNodePtr() override;
  };

  CDOMNode() = default;
  // Starts a new count for `node` (a wrapped libxml++ node or null).
  explicit CDOMNode(xmlpp::Node* node);

  bool IsEmpty() const { return handle_.Get() == nullptr; }
  xmlpp::Node* GetXmlppNode() const { return handle_.Get(); }

  Glib::ustring GetName() const;
  // True when the node has at least one child of any type. Never raises.
  bool HasChildNodes() const;
  // Links `new_node` as previous sibling of `ref_node`; returns `new_node`.
  CDOMNode InsertBefore(const CDOMNode& new_node, const CDOMNode& ref_node);
  // A detached copy: with children when `deep`, else the node and attributes.
  CDOMNode CloneNode(bool deep) const;
  // Appends a deep copy of `child` as last child and returns that copy;
  // `child` itself is not moved.
  CDOMNode AppendChild(const CDOMNode& child);
  // Unlinks `child` from wherever it is; returns it.
  CDOMNode RemoveChild(const CDOMNode& child);
  // Puts `new_node` in `old_node`'s place; returns the unlinked `old_node`.
  CDOMNode ReplaceChild(const CDOMNode& new_node, const CDOMNode& old_node);
  // First node, in document order, the XPath selects with this node as
  // context. An XPath libxml2 rejects raises xmlpp::exception.
  CDOMNode SelectSingleNode(const Glib::ustring& xpath) const;
  // Every node the XPath selects (never an empty list).
  std::vector<CDOMNode> SelectNodes(const Glib::ustring& xpath) const;
  // Every child, text nodes included (never an empty list).
  std::vector<CDOMNode> GetChildNodes() const;
  CDOMNode GetParent() const;
  CDOMNode GetNextSibling() const;
  CDOMNode GetPreviousSibling() const;
  // The libxml2 node type number (1 element, 3 text, ...).
  int GetNodeType() const;

 private:
  CShareNodePtr handle_;
};

using CDOMNodeList = std::vector<CDOMNode>;
using CDOMAttributeMap = std::map<Glib::ustring, Glib::ustring>;

// A CDOMNode used as an element. It is made by copying a CDOMNode; every
// operation raises "objects not found." when the node is not a wrapped
// element.
class CDOMElement : public CDOMNode {
 public:
  CDOMElement() = default;
  // Implicit on purpose: `CDOMElement e = node.SelectSingleNode(...);`.
  CDOMElement(const CDOMNode& node)  // NOLINT(google-explicit-constructor)
      : CDOMNode(node) {}

  void RemoveAttribute(const Glib::ustring& name);
  Glib::ustring GetAttributeValue(const Glib::ustring& name) const;
  void SetAttributeValue(const Glib::ustring& name, const Glib::ustring& value);
  // Content of the first text child.
  Glib::ustring GetText() const;
  void SetText(const Glib::ustring& text);
  CDOMAttributeMap GetAttributeMap() const;
};

// One XML document, owned by its parser. Copying is not possible. Handles
// obtained from it must be released before it is destroyed or reloaded.
class CDOMXmlDocument {
 public:
  CDOMXmlDocument();
  explicit CDOMXmlDocument(const Glib::ustring& encoding);
  virtual ~CDOMXmlDocument();

  CDOMXmlDocument(const CDOMXmlDocument&) = delete;
  CDOMXmlDocument& operator=(const CDOMXmlDocument&) = delete;

  // Replaces the document with the parsed file or stream.
  void Load(const Glib::ustring& file_name);
  void Load(std::istream& in);
  // Writes the file indented, the stream unindented, in the encoding given
  // at construction ("UTF-8" by default).
  void Save(const Glib::ustring& file_name);
  void Save(std::ostream& out);

  CDOMNode GetRootNode() const;
  // Makes a deep copy of `node` the root element. The old root element is
  // freed at once: no handle to it or into it (`node` included) may be held
  // across the call.
  void SetRootNode(const CDOMNode& node);
  // A new, unlinked element without namespace.
  CDOMNode CreateElement(const Glib::ustring& name);
  // A new, unlinked processing instruction of this document.
  CDOMNode CreateProcessingInstruction(const Glib::ustring& target,
                                       const Glib::ustring& data);
  // The single node `xpath` selects below `base` (the root element when
  // `base` is empty), creating the missing trailing elements of the path.
  CDOMNode CreateNodes(const Glib::ustring& xpath,
                       const CDOMNode& base = CDOMNode());

 private:
  // A DomParser that can also start an empty document to build on.
  class Parser final : public xmlpp::DomParser {
   public:
    xmlpp::Document* EnsureDocument();
  };

  Parser parser_;
  Glib::ustring encoding_;
};

// `out << doc` is doc.Save(out); `in >> doc` is doc.Load(in).
std::ostream& operator<<(std::ostream& out, CDOMXmlDocument& doc);
std::istream& operator>>(std::istream& in, CDOMXmlDocument& doc);

}  // namespace Corvel

#endif  // QUILLO_SUPPORT_XML_DOM_H_
