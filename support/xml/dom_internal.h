// Helpers shared by the .cc files of the DOM layer; not for other modules.
#ifndef QUILLO_SUPPORT_XML_DOM_INTERNAL_H_
#define QUILLO_SUPPORT_XML_DOM_INTERNAL_H_

#include <initializer_list>
#include <memory>
#include <utility>

#include <glibmm/ustring.h>
#include <libxml/tree.h>

#include "support/xml/dom.h"

namespace Corvel {
namespace dom_internal {

// One context piece of a message: a label such as " elem=" and its value.
using ContextPiece = std::pair<const char*, Glib::ustring>;

// Raises CXMLError with the layout
//   prefix " ERROR: " inner.what() label1 value1 ... "\n".
[[noreturn]] void ThrowWrapped(const char* prefix, const CXMLError& inner,
                               std::initializer_list<ContextPiece> context);

// The value a node contributes to a message: its name, or "(empty)".
Glib::ustring ContextName(const CDOMNode& node);

// The libxml2 node under a handle, or null for an empty handle.
xmlNode* CobjOf(const CDOMNode& node);

// A handle with a fresh count for a node found in a tree; libxml++ makes the
// wrapper on demand. Documents and DTDs (no xmlpp::Node wrapper) give an
// empty handle.
CDOMNode HandleForFound(xmlNode* node);

// A handle with a fresh count for a node this layer created or copied; the
// wrapper comes from __xmlpp_node_create_wrapper.
CDOMNode HandleForNew(xmlNode* node);

// Frees a node that is in no tree, with the wrappers of its subtree.
struct DetachedNodeFree {
  void operator()(xmlNode* node) const;
};
using DetachedNodePtr = std::unique_ptr<xmlNode, DetachedNodeFree>;

// The copy CloneNode makes, not yet wrapped. Raises CXMLError in CloneNode's
// message layout, so callers nesting it read as if they called CloneNode.
DetachedNodePtr CopyNodeOrThrow(const CDOMNode& node, bool deep);

}  // namespace dom_internal
}  // namespace Corvel

#endif  // QUILLO_SUPPORT_XML_DOM_INTERNAL_H_
