// Node handles, libxml++ wrappers and the message layout of the DOM layer.
#include <iostream>
#include <string>

#include <libxml++/attribute.h>
#include <libxml++/dtd.h>
#include <libxml++/nodes/commentnode.h>
#include <libxml++/nodes/element.h>
#include <libxml++/nodes/entityreference.h>
#include <libxml++/nodes/textnode.h>
#include <libxml/tree.h>

#include "support/xml/dom.h"
#include "support/xml/dom_internal.h"

namespace Corvel {

CXMLError::CXMLError(const std::string& message) : std::logic_error(message) {}
CXMLError::~CXMLError() = default;

CShareCounter::~CShareCounter() = default;

CDOMNode::CShareNodePtr::CShareNodePtr(xmlpp::Node* node)
    : CSharePtr<xmlpp::Node>(node, &FreeDetachedNode) {}

CDOMNode::CShareNodePtr::~CShareNodePtr() = default;

CDOMNode::CDOMNode(xmlpp::Node* node) : handle_(node) {}

void FreeDetachedNode(xmlpp::Node* node) {
  if (node == nullptr) return;
  xmlNode* cnode = node->cobj();
  if (cnode == nullptr || cnode->parent != nullptr) return;
  // free_wrappers deletes `node` itself along with the wrappers below it.
  dom_internal::DetachedNodeFree()(cnode);
}

void __xmlpp_node_create_wrapper(_xmlNode* node) {
  if (node == nullptr || node->_private != nullptr) return;
  // libxml++ owns wrappers through node->_private and frees them with
  // xmlpp::Node::free_wrappers, hence the bare new.
  switch (node->type) {
    case XML_ELEMENT_NODE:
      node->_private = new xmlpp::Element(node);
      break;
    case XML_ATTRIBUTE_NODE:
      node->_private = new xmlpp::Attribute(node);
      break;
    case XML_TEXT_NODE:
      node->_private = new xmlpp::TextNode(node);
      break;
    case XML_ENTITY_REF_NODE:
      node->_private = new xmlpp::EntityReference(node);
      break;
    case XML_COMMENT_NODE:
      node->_private = new xmlpp::CommentNode(node);
      break;
    case XML_DOCUMENT_NODE:
      break;
    case XML_DTD_NODE:
      node->_private = new xmlpp::Dtd(reinterpret_cast<xmlDtd*>(node));
      break;
    default:
      node->_private = new xmlpp::Node(node);
      std::cerr << "void Corvel::__xmlpp_node_create_wrapper(_xmlNode*)"
                << "Warning: new node of unknown type created: "
                << static_cast<int>(node->type) << "\n";
      break;
  }
}

namespace dom_internal {

void ThrowWrapped(const char* prefix, const CXMLError& inner,
                  std::initializer_list<ContextPiece> context) {
  std::string message = prefix;
  message += " ERROR: ";
  message += inner.what();
  for (const ContextPiece& piece : context) {
    message += piece.first;
    message += piece.second.raw();
  }
  message += "\n";
  throw CXMLError(message);
}

Glib::ustring ContextName(const CDOMNode& node) {
  return node.IsEmpty() ? Glib::ustring("(empty)") : node.GetName();
}

xmlNode* CobjOf(const CDOMNode& node) {
  return node.IsEmpty() ? nullptr : node.GetXmlppNode()->cobj();
}

namespace {

// Document and DTD nodes have no xmlpp::Node wrapper (a Document or Dtd
// object, or nothing, sits in their _private), so no handle can hold them.
bool CanHold(const xmlNode* node) {
  return node != nullptr && node->type != XML_DOCUMENT_NODE &&
         node->type != XML_HTML_DOCUMENT_NODE && node->type != XML_DTD_NODE &&
         node->type != XML_NAMESPACE_DECL;
}

}  // namespace

CDOMNode HandleForFound(xmlNode* node) {
  if (!CanHold(node)) return CDOMNode();
  xmlpp::Node::create_wrapper(node);
  return CDOMNode(static_cast<xmlpp::Node*>(node->_private));
}

CDOMNode HandleForNew(xmlNode* node) {
  if (node == nullptr) return CDOMNode();
  __xmlpp_node_create_wrapper(node);
  if (!CanHold(node)) return CDOMNode();
  return CDOMNode(static_cast<xmlpp::Node*>(node->_private));
}

void DetachedNodeFree::operator()(xmlNode* node) const {
  if (node == nullptr) return;
  xmlpp::Node::free_wrappers(node);
  xmlFreeNode(node);
}

}  // namespace dom_internal
}  // namespace Corvel
