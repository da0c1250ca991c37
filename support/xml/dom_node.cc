// CDOMNode: navigation, XPath selection and tree changes.
#include <memory>
#include <string>
#include <vector>

#include <libxml++/exceptions/exception.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include "support/xml/dom.h"
#include "support/xml/dom_internal.h"

namespace Corvel {

using dom_internal::CobjOf;
using dom_internal::ContextName;
using dom_internal::HandleForFound;
using dom_internal::HandleForNew;
using dom_internal::ThrowWrapped;

namespace {

constexpr char kObjectNotFound[] = "object not found.";
constexpr char kObjectsNotFound[] = "objects not found.";

// The libxml2 node under `node`; raises CXMLError(`missing`) when there is
// none.
xmlNode* Require(const CDOMNode& node, const char* missing) {
  xmlNode* cnode = CobjOf(node);
  if (cnode == nullptr) throw CXMLError(missing);
  return cnode;
}

// True when `ancestor` is `node` or lies above it. Linking a node below
// itself would make a cycle that libxml2 does not check for.
bool IsAncestorOrSelf(const xmlNode* ancestor, const xmlNode* node) {
  for (; node != nullptr; node = node->parent) {
    if (node == ancestor) return true;
  }
  return false;
}

// xmlAddPrevSibling folds a text node into a neighbouring text node and
// frees it, which would leave the caller's handle on freed memory.
bool MayMergeText(const xmlNode* new_node, const xmlNode* ref) {
  if (new_node->type != XML_TEXT_NODE) return false;
  return ref->type == XML_TEXT_NODE ||
         (ref->prev != nullptr && ref->prev->type == XML_TEXT_NODE);
}

struct XPathContextFree {
  void operator()(xmlXPathContext* context) const {
    xmlXPathFreeContext(context);
  }
};
struct XPathObjectFree {
  void operator()(xmlXPathObject* object) const { xmlXPathFreeObject(object); }
};

// XPath syntax errors are reported by exception, not printed.
void IgnoreXPathError(void* /*user_data*/, xmlError* /*error*/) {}

// Evaluates `xpath` with `context` as context node and returns the selected
// nodes, in document order, that a handle can hold. An expression libxml2
// rejects, or one that does not yield a node set, raises xmlpp::exception.
std::vector<CDOMNode> Evaluate(xmlNode* context, const Glib::ustring& xpath) {
  std::unique_ptr<xmlXPathContext, XPathContextFree> xpath_context(
      xmlXPathNewContext(context->doc));
  if (!xpath_context) throw xmlpp::exception("Invalid XPath: " + xpath);
  xpath_context->node = context;
  xpath_context->error = &IgnoreXPathError;
  std::unique_ptr<xmlXPathObject, XPathObjectFree> result(
      xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(xpath.c_str()),
                             xpath_context.get()));
  if (!result) throw xmlpp::exception("Invalid XPath: " + xpath);
  if (result->type != XPATH_NODESET) {
    throw xmlpp::exception("Only nodeset result types are supported.");
  }
  std::vector<CDOMNode> nodes;
  const xmlNodeSet* set = result->nodesetval;
  const int count = set == nullptr ? 0 : set->nodeNr;
  for (int i = 0; i < count; ++i) {
    CDOMNode node = HandleForFound(set->nodeTab[i]);
    if (!node.IsEmpty()) nodes.push_back(node);
  }
  return nodes;
}

}  // namespace

namespace dom_internal {

DetachedNodePtr CopyNodeOrThrow(const CDOMNode& node, bool deep) {
  try {
    xmlNode* cnode = Require(node, kObjectNotFound);
    // Mode 1 copies children, properties and namespaces; mode 2 only the
    // node with its properties and namespaces.
    DetachedNodePtr copy(xmlCopyNode(cnode, deep ? 1 : 2));
    if (!copy) throw CXMLError("xmlCopyNode() failed.");
    return copy;
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMNode::CloneNode:", error,
                 {{" node=", ContextName(node)}});
  }
}

}  // namespace dom_internal

Glib::ustring CDOMNode::GetName() const {
  try {
    Require(*this, kObjectNotFound);
    return GetXmlppNode()->get_name();
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMNode::GetName:", error, {});
  }
}

bool CDOMNode::HasChildNodes() const {
  const xmlNode* cnode = CobjOf(*this);
  return cnode != nullptr && cnode->children != nullptr;
}

CDOMNode CDOMNode::InsertBefore(const CDOMNode& new_node,
                                const CDOMNode& ref_node) {
  try {
    Require(*this, kObjectsNotFound);
    xmlNode* added = Require(new_node, kObjectsNotFound);
    xmlNode* ref = Require(ref_node, kObjectsNotFound);
    if (added == ref || IsAncestorOrSelf(added, ref) ||
        MayMergeText(added, ref) || xmlAddPrevSibling(ref, added) == nullptr) {
      throw CXMLError("xmlAddPrevSibling() failed.");
    }
    return new_node;
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMNode::InsertBefore:", error,
                 {{" node=", ContextName(*this)},
                  {" new=", ContextName(new_node)},
                  {" ref=", ContextName(ref_node)}});
  }
}

CDOMNode CDOMNode::CloneNode(bool deep) const {
  // The copy helper already raises in this operation's layout.
  return HandleForNew(dom_internal::CopyNodeOrThrow(*this, deep).release());
}

CDOMNode CDOMNode::AppendChild(const CDOMNode& child) {
  try {
    xmlNode* parent = Require(*this, kObjectsNotFound);
    Require(child, kObjectsNotFound);
    dom_internal::DetachedNodePtr copy =
        dom_internal::CopyNodeOrThrow(child, true);
    // The copy stays unwrapped until it is linked: xmlAddChild may fold a
    // text node into its neighbour and free it, returning the neighbour.
    xmlNode* linked = xmlAddChild(parent, copy.get());
    if (linked == nullptr) throw CXMLError("xmlAddChild() failed.");
    copy.release();  // Now owned by the tree (or already freed by a merge).
    return HandleForNew(linked);
  } catch (const CXMLError& error) {
    ThrowWrapped(
        "CDOMNode::AppendChild:", error,
        {{" node=", ContextName(*this)}, {" child=", ContextName(child)}});
  }
}

CDOMNode CDOMNode::RemoveChild(const CDOMNode& child) {
  try {
    Require(*this, kObjectNotFound);
    xmlUnlinkNode(Require(child, kObjectNotFound));
    // Shares the caller's count, so the last of those handles frees it.
    return child;
  } catch (const CXMLError& error) {
    ThrowWrapped(
        "CDOMNode::RemoveChild:", error,
        {{" node=", ContextName(*this)}, {" child=", ContextName(child)}});
  }
}

CDOMNode CDOMNode::ReplaceChild(const CDOMNode& new_node,
                                const CDOMNode& old_node) {
  try {
    Require(*this, kObjectsNotFound);
    xmlNode* added = Require(new_node, kObjectsNotFound);
    xmlNode* old = Require(old_node, kObjectsNotFound);
    if (added != old) {
      // libxml2 returns the old node unchanged, not an error, when exactly
      // one of the two is an attribute; report that as the failure it is.
      const bool mixed = (added->type == XML_ATTRIBUTE_NODE) !=
                         (old->type == XML_ATTRIBUTE_NODE);
      if (old->parent == nullptr || mixed || IsAncestorOrSelf(added, old) ||
          xmlReplaceNode(old, added) == nullptr) {
        throw CXMLError("xmlReplaceNode() failed.");
      }
    }
    return old_node;
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMNode::ReplaceChild:", error,
                 {{" node=", ContextName(*this)},
                  {" new=", ContextName(new_node)},
                  {" old=", ContextName(old_node)}});
  }
}

CDOMNode CDOMNode::SelectSingleNode(const Glib::ustring& xpath) const {
  try {
    std::vector<CDOMNode> nodes =
        Evaluate(Require(*this, kObjectNotFound), xpath);
    if (nodes.empty()) throw CXMLError("no nodes found.");
    return nodes.front();
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMNode::SelectSingleNode:", error,
                 {{" node=", ContextName(*this)}, {" xpath=", xpath}});
  }
}

std::vector<CDOMNode> CDOMNode::SelectNodes(const Glib::ustring& xpath) const {
  try {
    std::vector<CDOMNode> nodes =
        Evaluate(Require(*this, kObjectNotFound), xpath);
    if (nodes.empty()) throw CXMLError("no nodes found.");
    return nodes;
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMNode::SelectNodes:", error,
                 {{" node=", ContextName(*this)}, {" xpath=", xpath}});
  }
}

std::vector<CDOMNode> CDOMNode::GetChildNodes() const {
  try {
    std::vector<CDOMNode> nodes;
    for (xmlNode* child = Require(*this, kObjectNotFound)->children;
         child != nullptr; child = child->next) {
      CDOMNode node = HandleForFound(child);
      if (!node.IsEmpty()) nodes.push_back(node);
    }
    if (nodes.empty()) throw CXMLError("no children found.");
    return nodes;
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMNode::GetChildNodes:", error,
                 {{" node=", ContextName(*this)}});
  }
}

CDOMNode CDOMNode::GetParent() const {
  try {
    xmlNode* parent = Require(*this, kObjectNotFound)->parent;
    // The document node above a root element is not a parent element.
    if (parent == nullptr || parent->type != XML_ELEMENT_NODE) {
      throw CXMLError("no parent found.");
    }
    return HandleForFound(parent);
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMNode::GetParent:", error,
                 {{" node=", ContextName(*this)}});
  }
}

CDOMNode CDOMNode::GetNextSibling() const {
  try {
    CDOMNode next = HandleForFound(Require(*this, kObjectNotFound)->next);
    if (next.IsEmpty()) throw CXMLError("no sibling found.");
    return next;
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMNode::GetNextSibling:", error,
                 {{" node=", ContextName(*this)}});
  }
}

CDOMNode CDOMNode::GetPreviousSibling() const {
  try {
    CDOMNode previous = HandleForFound(Require(*this, kObjectNotFound)->prev);
    if (previous.IsEmpty()) throw CXMLError("no sibling found.");
    return previous;
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMNode::GetPreviousSibling:", error,
                 {{" node=", ContextName(*this)}});
  }
}

int CDOMNode::GetNodeType() const {
  try {
    return static_cast<int>(Require(*this, kObjectNotFound)->type);
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMNode::GetNodeType:", error,
                 {{" node=", ContextName(*this)}});
  }
}

}  // namespace Corvel
