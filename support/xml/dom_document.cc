// CDOMXmlDocument: load, save, root access and node creation.
#include <string>
#include <vector>

#include <libxml++/document.h>
#include <libxml++/exceptions/exception.h>
#include <libxml++/nodes/element.h>
#include <libxml/globals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include "support/xml/dom.h"
#include "support/xml/dom_internal.h"

namespace Corvel {

using dom_internal::CobjOf;
using dom_internal::ContextName;
using dom_internal::HandleForNew;
using dom_internal::ThrowWrapped;

namespace {

const xmlChar* XmlText(const Glib::ustring& text) {
  return reinterpret_cast<const xmlChar*>(text.c_str());
}

void DiscardMessage(void* /*context*/, const char* /*format*/, ...) {}

// Keeps libxml2 from printing parser and I/O messages on standard error for
// one scope on this thread: failures are reported by exception instead.
class QuietLibxml final {
 public:
  QuietLibxml() : handler_(xmlGenericError), context_(xmlGenericErrorContext) {
    xmlSetGenericErrorFunc(nullptr, &DiscardMessage);
  }
  ~QuietLibxml() { xmlSetGenericErrorFunc(context_, handler_); }
  QuietLibxml(const QuietLibxml&) = delete;
  QuietLibxml& operator=(const QuietLibxml&) = delete;

 private:
  xmlGenericErrorFunc handler_;
  void* context_;
};

}  // namespace

xmlpp::Document* CDOMXmlDocument::Parser::EnsureDocument() {
  // DomParser owns doc_ and deletes it when it parses again or goes away.
  if (doc_ == nullptr) doc_ = new xmlpp::Document();
  return doc_;
}

CDOMXmlDocument::CDOMXmlDocument() : encoding_("UTF-8") {}

CDOMXmlDocument::CDOMXmlDocument(const Glib::ustring& encoding)
    : encoding_(encoding) {}

CDOMXmlDocument::~CDOMXmlDocument() = default;

void CDOMXmlDocument::Load(const Glib::ustring& file_name) {
  try {
    try {
      QuietLibxml quiet;
      parser_.parse_file(file_name);
    } catch (const xmlpp::exception&) {
      throw CXMLError("parse_file() failed.");
    }
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMXmlDocument::Load:", error, {{" file=", file_name}});
  }
}

void CDOMXmlDocument::Load(std::istream& in) {
  try {
    try {
      QuietLibxml quiet;
      parser_.parse_stream(in);
    } catch (const xmlpp::exception&) {
      throw CXMLError("parse_stream() failed.");
    }
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMXmlDocument::Load:", error, {});
  }
}

void CDOMXmlDocument::Save(const Glib::ustring& file_name) {
  try {
    try {
      QuietLibxml quiet;
      xmlpp::Document* document = parser_.get_document();
      if (document == nullptr) throw xmlpp::exception("no document");
      document->write_to_file_formatted(file_name, encoding_);
    } catch (const xmlpp::exception&) {
      throw CXMLError("write_to_file_formatted() failed.");
    }
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMXmlDocument::Save:", error, {{" file=", file_name}});
  }
}

void CDOMXmlDocument::Save(std::ostream& out) {
  try {
    try {
      QuietLibxml quiet;
      xmlpp::Document* document = parser_.get_document();
      if (document == nullptr) throw xmlpp::exception("no document");
      document->write_to_stream(out, encoding_);
    } catch (const xmlpp::exception&) {
      throw CXMLError("write_to_stream() failed.");
    }
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMXmlDocument::Save:", error, {});
  }
}

CDOMNode CDOMXmlDocument::GetRootNode() const {
  try {
    xmlpp::Element* root = nullptr;
    try {
      const xmlpp::Document* document = parser_.get_document();
      if (document != nullptr) root = document->get_root_node();
    } catch (const xmlpp::exception&) {
      throw CXMLError("get_root_node() failed.");
    }
    if (root == nullptr) throw CXMLError("root node empty.");
    return CDOMNode(root);
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMXmlDocument::GetRootNode:", error, {});
  }
}

void CDOMXmlDocument::SetRootNode(const CDOMNode& node) {
  try {
    if (CobjOf(node) == nullptr) throw CXMLError("object not found.");
    dom_internal::DetachedNodePtr copy =
        dom_internal::CopyNodeOrThrow(node, true);
    xmlDoc* document = parser_.EnsureDocument()->cobj();
    xmlNode* old_root = xmlDocSetRootElement(document, copy.release());
    // The replaced root is unlinked now; free it with its wrappers.
    dom_internal::DetachedNodeFree()(old_root);
  } catch (const CXMLError& error) {
    if (node.IsEmpty()) {
      ThrowWrapped("CDOMXmlDocument::SetRootNode:", error, {});
    }
    ThrowWrapped("CDOMXmlDocument::SetRootNode:", error,
                 {{" elem=", node.GetName()}});
  }
}

CDOMNode CDOMXmlDocument::CreateElement(const Glib::ustring& name) {
  try {
    // A name that is not an XML name would be written out as a document
    // that cannot be read back.
    xmlNode* element = xmlValidateName(XmlText(name), 0) == 0
                           ? xmlNewNode(nullptr, XmlText(name))
                           : nullptr;
    if (element == nullptr) throw CXMLError("xmlNewNode() failed.");
    return HandleForNew(element);
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMXmlDocument::CreateElement:", error, {{" name=", name}});
  }
}

CDOMNode CDOMXmlDocument::CreateProcessingInstruction(
    const Glib::ustring& target, const Glib::ustring& data) {
  try {
    xmlpp::Document* document = parser_.get_document();
    xmlNode* instruction =
        xmlNewDocPI(document == nullptr ? nullptr : document->cobj(),
                    XmlText(target), XmlText(data));
    if (instruction == nullptr) throw CXMLError("xmlNewDocPI() failed.");
    return HandleForNew(instruction);
  } catch (const CXMLError& error) {
    ThrowWrapped("CDOMXmlDocument::CreateProcessingInstruction:", error,
                 {{" target=", target}, {" data=", data}});
  }
}

CDOMNode CDOMXmlDocument::CreateNodes(const Glib::ustring& xpath,
                                      const CDOMNode& base) {
  const CDOMNode start = base.IsEmpty() ? GetRootNode() : base;
  bool present = true;
  try {
    start.SelectSingleNode(xpath);
  } catch (const CXMLError&) {
    present = false;
  }
  if (present) {
    std::vector<CDOMNode> nodes = start.SelectNodes(xpath);
    if (nodes.size() == 1) return nodes.front();
    throw CXMLError(std::string("CDOMXmlDocument::CreateNodes:") +
                    " ERROR: More than one Xpath exist." +
                    " xpath=" + xpath.raw() +
                    " basenode=" + ContextName(start).raw() + "\n");
  }
  // Absent: make sure the parent path exists, then add the last step. A
  // path without a parent part (no "/", or only a leading one) is created
  // directly under the base, which also ends the recursion.
  CDOMNode parent = start;
  Glib::ustring step = xpath;
  const Glib::ustring::size_type slash = xpath.rfind('/');
  if (slash != Glib::ustring::npos) {
    step = xpath.substr(slash + 1);
    if (slash > 0) parent = CreateNodes(xpath.substr(0, slash), start);
  }
  return parent.AppendChild(CreateElement(step));
}

std::ostream& operator<<(std::ostream& out, CDOMXmlDocument& doc) {
  doc.Save(out);
  return out;
}

std::istream& operator>>(std::istream& in, CDOMXmlDocument& doc) {
  doc.Load(in);
  return in;
}

}  // namespace Corvel
