// CDOMElement: attributes and text of one element.
#include <libxml++/attribute.h>
#include <libxml++/nodes/element.h>
#include <libxml++/nodes/textnode.h>
#include <libxml/tree.h>

#include "support/xml/dom.h"
#include "support/xml/dom_internal.h"

namespace Corvel {

using dom_internal::ContextName;
using dom_internal::ThrowWrapped;

namespace {

// The libxml++ element behind `element`. Raises "objects not found." when the
// handle is empty, the node has lost its wrapper or is not an element.
xmlpp::Element* RequireElement(const CDOMElement& element) {
  xmlpp::Node* node = element.GetXmlppNode();
  if (node == nullptr || node->cobj() == nullptr ||
      node->cobj()->_private != node) {
    throw CXMLError("objects not found.");
  }
  auto* as_element = dynamic_cast<xmlpp::Element*>(node);
  if (as_element == nullptr) throw CXMLError("objects not found.");
  return as_element;
}

}  // namespace

void CDOMElement::RemoveAttribute(const Glib::ustring& name) {
  try {
    xmlpp::Element* element = RequireElement(*this);
    // The attribute may carry a wrapper made when it was read; free it with
    // the attribute so that it does not outlive it.
    xmlAttr* attribute = xmlHasProp(
        element->cobj(), reinterpret_cast<const xmlChar*>(name.c_str()));
    if (attribute != nullptr && attribute->type == XML_ATTRIBUTE_NODE) {
      xmlpp::Node::free_wrappers(reinterpret_cast<xmlNode*>(attribute));
    }
    element->remove_attribute(name);
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMElement::RemoveAttribute:", error,
                 {{" elem=", ContextName(*this)}, {" attr=", name}});
  }
}

Glib::ustring CDOMElement::GetAttributeValue(const Glib::ustring& name) const {
  try {
    const xmlpp::Attribute* attribute =
        RequireElement(*this)->get_attribute(name);
    if (attribute == nullptr) throw CXMLError("get_attribute() failed.");
    return attribute->get_value();
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMElement::GetAttributeValue:", error,
                 {{" elem=", ContextName(*this)}, {" attr=", name}});
  }
}

void CDOMElement::SetAttributeValue(const Glib::ustring& name,
                                    const Glib::ustring& value) {
  try {
    if (RequireElement(*this)->set_attribute(name, value) == nullptr) {
      throw CXMLError("set_attribute() failed.");
    }
  } catch (const CXMLError& error) {
    ThrowWrapped(
        "CDOMElement::SetAttributeValue:", error,
        {{" elem=", ContextName(*this)}, {" attr=", name}, {" value=", value}});
  }
}

Glib::ustring CDOMElement::GetText() const {
  try {
    const xmlpp::TextNode* text = RequireElement(*this)->get_child_text();
    if (text == nullptr) throw CXMLError("get_child_text() failed.");
    return text->get_content();
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMElement::GetText:", error,
                 {{" elem=", ContextName(*this)}});
  }
}

void CDOMElement::SetText(const Glib::ustring& text) {
  try {
    RequireElement(*this)->set_child_text(text);
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMElement::SetText:", error,
                 {{" elem=", ContextName(*this)}, {" text=", text}});
  }
}

CDOMAttributeMap CDOMElement::GetAttributeMap() const {
  try {
    CDOMAttributeMap attributes;
    for (const xmlpp::Attribute* attribute :
         RequireElement(*this)->get_attributes()) {
      // emplace keeps the first value of a name seen twice.
      attributes.emplace(attribute->get_name(), attribute->get_value());
    }
    if (attributes.empty()) throw CXMLError("no attributes found.");
    return attributes;
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMElement::GetAttributeMap:", error,
                 {{" elem=", ContextName(*this)}});
  }
}

}  // namespace Corvel
