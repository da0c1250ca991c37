#include "support/xml/dom.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/globals.h>
#include <libxml/tree.h>
#include <libxml/xmlmemory.h>

#include "testing/temp_tree.h"

namespace Corvel {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Runs `action` and returns the CXMLError text it raises ("" if none).
std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CXMLError& error) {
    return error.what();
  }
  return "";
}

std::string ToText(CDOMXmlDocument& doc) {
  std::ostringstream out;
  out << doc;
  return out.str();
}

class DomTest : public ::testing::Test {
 protected:
  void Parse(const std::string& text) {
    std::istringstream in(text);
    in >> doc_;
  }
  CDOMElement Root() { return doc_.GetRootNode(); }

  CDOMXmlDocument doc_;
};

// Records every libxml2 node freed while it is alive, and whether the node
// had already lost its libxml++ wrapper at that moment.
class FreedNodes {
 public:
  FreedNodes() : previous_(xmlDeregisterNodeDefault(&Record)) {
    current_ = this;
  }
  ~FreedNodes() {
    xmlDeregisterNodeDefault(previous_);
    current_ = nullptr;
  }
  bool Freed(const xmlNode* node) const { return freed_.count(node) != 0; }
  bool FreedWithWrapper(const xmlNode* node) const {
    return wrapped_.count(node) != 0;
  }

 private:
  static void Record(xmlNode* node) {
    current_->freed_.insert(node);
    if (node->_private != nullptr) current_->wrapped_.insert(node);
  }
  static FreedNodes* current_;
  xmlDeregisterNodeFunc previous_;
  std::set<const xmlNode*> freed_;
  std::set<const xmlNode*> wrapped_;
};
FreedNodes* FreedNodes::current_ = nullptr;

// Makes libxml2's allocator fail while it is alive.
class FailingXmlMalloc {
 public:
  FailingXmlMalloc() {
    xmlMemGet(&free_, &malloc_, &realloc_, &strdup_);
    xmlMemSetup(free_, &Fail, realloc_, strdup_);
  }
  ~FailingXmlMalloc() { xmlMemSetup(free_, malloc_, realloc_, strdup_); }

 private:
  static void* Fail(size_t /*size*/) { return nullptr; }
  xmlFreeFunc free_ = nullptr;
  xmlMallocFunc malloc_ = nullptr;
  xmlReallocFunc realloc_ = nullptr;
  xmlStrdupFunc strdup_ = nullptr;
};

TEST(CSharePtrTest, DeleterRunsOnceWhenLastCopyGoes) {
  static std::vector<int*> deleted;
  deleted.clear();
  auto deleter = [](int* p) { deleted.push_back(p); };
  int a = 0;
  int b = 0;
  {
    CSharePtr<int> first(&a, deleter);
    CSharePtr<int> second(first);
    EXPECT_EQ(first.UseCount(), 2u);
    CSharePtr<int> other(&b, deleter);
    other.Assign(first);  // drops the only reference to b
    EXPECT_THAT(deleted, ElementsAre(&b));
    EXPECT_EQ(first.UseCount(), 3u);
    other.Assign(second);  // same node: nothing changes
    EXPECT_EQ(first.UseCount(), 3u);
    first.Reset(&a, nullptr);  // same node: only the deleter changes
    EXPECT_EQ(first.UseCount(), 3u);
    second.Release();
    EXPECT_TRUE(second.Get() == nullptr);
  }
  // `first` goes last, and its Reset replaced the deleter with none.
  EXPECT_THAT(deleted, ElementsAre(&b));
  {
    CSharePtr<int> first(&a, deleter);
    CSharePtr<int> second(first);
  }
  EXPECT_THAT(deleted, ElementsAre(&b, &a));
}

TEST(CSharePtrTest, ResetToNullLeavesAnEmptyHandle) {
  int a = 0;
  CSharePtr<int> handle(&a, nullptr);
  handle.Reset(nullptr, nullptr);
  EXPECT_EQ(handle.Get(), nullptr);
  EXPECT_EQ(handle.UseCount(), 0u);
  CSharePtr<int> copy(handle);
  EXPECT_EQ(copy.Get(), nullptr);
}

TEST_F(DomTest, FailuresUseTheMessageLayout) {
  Parse("<root><share path=\"/x\"/><empty/><w>word</w><w>two</w></root>");
  struct Case {
    const char* what;
    std::function<void()> action;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"missing attribute",
       [&] {
         CDOMElement(Root().SelectSingleNode("share"))
             .GetAttributeValue("name");
       },
       "CDOMElement::GetAttributeValue: ERROR: get_attribute() failed. "
       "elem=share attr=name\n"},
      {"empty element text",
       [&] { CDOMElement(Root().SelectSingleNode("empty")).GetText(); },
       "CDOMElement::GetText: ERROR: get_child_text() failed. elem=empty\n"},
      {"no attributes",
       [&] { CDOMElement(Root().SelectSingleNode("empty")).GetAttributeMap(); },
       "CDOMElement::GetAttributeMap: ERROR: no attributes found. "
       "elem=empty\n"},
      {"text of a non-element",
       [&] { CDOMElement(Root().SelectSingleNode("w/text()")).GetText(); },
       "CDOMElement::GetText: ERROR: objects not found. elem=text\n"},
      {"no nodes", [&] { Root().SelectSingleNode("none"); },
       "CDOMNode::SelectSingleNode: ERROR: no nodes found. node=root "
       "xpath=none\n"},
      {"no nodes in list", [&] { Root().SelectNodes("share/none"); },
       "CDOMNode::SelectNodes: ERROR: no nodes found. node=root "
       "xpath=share/none\n"},
      {"no children", [&] { Root().SelectSingleNode("empty").GetChildNodes(); },
       "CDOMNode::GetChildNodes: ERROR: no children found. node=empty\n"},
      {"parent of root", [&] { Root().GetParent(); },
       "CDOMNode::GetParent: ERROR: no parent found. node=root\n"},
      {"parent of empty node", [&] { CDOMNode().GetParent(); },
       "CDOMNode::GetParent: ERROR: object not found. node=(empty)\n"},
      {"last sibling",
       [&] { Root().SelectSingleNode("w[2]").GetNextSibling(); },
       "CDOMNode::GetNextSibling: ERROR: no sibling found. node=w\n"},
      {"type of empty node", [&] { CDOMNode().GetNodeType(); },
       "CDOMNode::GetNodeType: ERROR: object not found. node=(empty)\n"},
      {"text of empty node", [&] { CDOMElement().GetText(); },
       "CDOMElement::GetText: ERROR: objects not found. elem=(empty)\n"},
      {"append to empty node", [&] { CDOMNode().AppendChild(Root()); },
       "CDOMNode::AppendChild: ERROR: objects not found. node=(empty) "
       "child=root\n"},
      {"empty root", [&] { doc_.SetRootNode(CDOMNode()); },
       "CDOMXmlDocument::SetRootNode: ERROR: object not found.\n"},
      {"bad element name", [&] { doc_.CreateElement("b[1]"); },
       "CDOMXmlDocument::CreateElement: ERROR: xmlNewNode() failed. "
       "name=b[1]\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorOf(c.action), c.expected) << c.what;
  }
  EXPECT_EQ(ErrorOf([] { CDOMXmlDocument().GetRootNode(); }),
            "CDOMXmlDocument::GetRootNode: ERROR: root node empty.\n");
}

TEST_F(DomTest, QueriesReturnWhatTheDocumentHolds) {
  Parse("<root a=\"1\" b=\"2\"><w>first</w><w>second</w><e/></root>");
  EXPECT_EQ(CDOMElement(Root().SelectSingleNode("w")).GetText(), "first");
  EXPECT_EQ(Root().SelectNodes("w").size(), 2u);
  EXPECT_EQ(Root().GetAttributeMap(),
            (CDOMAttributeMap{{"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(Root().SelectSingleNode("e").GetParent().GetName(), "root");
  EXPECT_EQ(Root().SelectSingleNode("@b").GetNodeType(), XML_ATTRIBUTE_NODE);
}

TEST_F(DomTest, WhitespaceTextNodesAreChildrenAndSiblings) {
  Parse("<root>\n  <a/>\n  <b>  </b>\n</root>");
  std::vector<int> types;
  for (const CDOMNode& child : Root().GetChildNodes()) {
    types.push_back(child.GetNodeType());
  }
  EXPECT_THAT(types, ElementsAre(3, 1, 3, 1, 3));
  const CDOMNode a = Root().SelectSingleNode("a");
  EXPECT_EQ(a.GetNextSibling().GetNodeType(), XML_TEXT_NODE);
  EXPECT_EQ(a.GetPreviousSibling().GetNodeType(), XML_TEXT_NODE);
  EXPECT_EQ(a.GetNextSibling().GetNextSibling().GetName(), "b");
  EXPECT_FALSE(a.HasChildNodes());
  EXPECT_TRUE(Root().SelectSingleNode("b").HasChildNodes());
  EXPECT_FALSE(CDOMNode().HasChildNodes());
}

TEST_F(DomTest, AppendChildLinksACopy) {
  Parse("<p/>");
  CDOMElement child = doc_.CreateElement("x");
  child.SetAttributeValue("k", "v");
  CDOMElement appended = Root().AppendChild(child);
  child.SetAttributeValue("k", "changed-original");
  EXPECT_THAT(ToText(doc_), HasSubstr("<p><x k=\"v\"/></p>"));
  appended.SetAttributeValue("k", "changed-copy");
  EXPECT_THAT(ToText(doc_), HasSubstr("<p><x k=\"changed-copy\"/></p>"));
  EXPECT_EQ(appended.GetParent().GetName(), "p");
}

TEST_F(DomTest, CopyFailureNestsCloneNodeInsideAppendChild) {
  Parse("<p/>");
  CDOMNode child = doc_.CreateElement("x");
  std::string append_error;
  std::string clone_error;
  {
    FailingXmlMalloc failing;
    append_error = ErrorOf([&] { Root().AppendChild(child); });
    clone_error = ErrorOf([&] { child.CloneNode(true); });
  }
  EXPECT_EQ(append_error,
            "CDOMNode::AppendChild: ERROR: CDOMNode::CloneNode: ERROR: "
            "xmlCopyNode() failed. node=x\n node=p child=x\n");
  EXPECT_EQ(clone_error,
            "CDOMNode::CloneNode: ERROR: xmlCopyNode() failed. node=x\n");
  EXPECT_FALSE(Root().HasChildNodes());
}

TEST_F(DomTest, DetachedNodesAreFreedWithTheirWrappersByTheLastHandle) {
  Parse("<root><kept/><removed/></root>");
  FreedNodes freed;
  const xmlNode* created = nullptr;
  const xmlNode* removed = nullptr;
  const xmlNode* kept = nullptr;
  {
    CDOMNode node = doc_.CreateElement("orphan");
    created = node.GetXmlppNode()->cobj();
    {
      CDOMNode copy =
          node;  // NOLINT(performance-unnecessary-copy-initialization)
    }
    EXPECT_FALSE(freed.Freed(created));
    CDOMNode gone = Root().RemoveChild(Root().SelectSingleNode("removed"));
    removed = gone.GetXmlppNode()->cobj();
    kept = Root().SelectSingleNode("kept").GetXmlppNode()->cobj();
  }
  EXPECT_TRUE(freed.Freed(created));
  EXPECT_TRUE(freed.Freed(removed));
  EXPECT_FALSE(freed.FreedWithWrapper(created));
  EXPECT_FALSE(freed.FreedWithWrapper(removed));
  EXPECT_FALSE(freed.Freed(kept));
  EXPECT_EQ(ToText(doc_),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<root><kept/></root>\n");
}

TEST_F(DomTest, InsertAndReplaceRelinkNodes) {
  Parse("<root><b/></root>");
  CDOMNode b = Root().SelectSingleNode("b");
  Root().InsertBefore(doc_.CreateElement("a"), b);
  Root().ReplaceChild(doc_.CreateElement("c"), b);
  EXPECT_THAT(ToText(doc_), HasSubstr("<root><a/><c/></root>"));
  // Linking an element below itself would make a cycle.
  CDOMNode a = Root().SelectSingleNode("a");
  CDOMNode inner =
      Root().SelectSingleNode("a").AppendChild(doc_.CreateElement("i"));
  EXPECT_EQ(ErrorOf([&] { Root().InsertBefore(a, inner); }),
            "CDOMNode::InsertBefore: ERROR: xmlAddPrevSibling() failed. "
            "node=root new=a ref=i\n");
}

TEST_F(DomTest, CreateNodesBuildsMissingStepsOnce) {
  Parse("<root><a/><x/><x/></root>");
  CDOMNode made = doc_.CreateNodes("a/b/c");
  EXPECT_EQ(made.GetName(), "c");
  EXPECT_EQ(made.GetParent().GetParent().GetName(), "a");
  EXPECT_EQ(doc_.CreateNodes("a/b/c").GetXmlppNode(), made.GetXmlppNode());
  EXPECT_EQ(doc_.CreateNodes("top").GetParent().GetName(), "root");
  EXPECT_THAT(ToText(doc_),
              HasSubstr("<root><a><b><c/></b></a><x/><x/><top/></root>"));
  EXPECT_EQ(ErrorOf([&] { doc_.CreateNodes("x"); }),
            "CDOMXmlDocument::CreateNodes: ERROR: More than one Xpath exist. "
            "xpath=x basenode=root\n");
}

TEST_F(DomTest, BuildsADocumentFromNothing) {
  CDOMXmlDocument doc("ISO-8859-1");
  CDOMElement root = doc.CreateElement("request");
  root.SetText("caf\xc3\xa9");
  doc.SetRootNode(root);
  doc.SetRootNode(doc.CreateElement("replaced"));
  doc.CreateNodes("item/name");
  EXPECT_EQ(ToText(doc),
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
            "<replaced><item><name/></item></replaced>\n");
}

TEST_F(DomTest, UnknownNodeTypesGetAPlainWrapperAndAWarning) {
  Parse("<root/>");
  ::testing::internal::CaptureStderr();
  CDOMNode pi = doc_.CreateProcessingInstruction("target", "data");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "void Corvel::__xmlpp_node_create_wrapper(_xmlNode*)"
            "Warning: new node of unknown type created: 7\n");
  EXPECT_EQ(pi.GetNodeType(), XML_PI_NODE);
}

class DomFileTest : public ::testing::Test {
 protected:
  quillo_test::TempTree tree_{"quillo-dom"};
  std::string dir_ = tree_.path();
};

TEST_F(DomFileTest, LoadFailuresNameTheFile) {
  const std::string bad = dir_ + "/bad.xml";
  FILE* file = fopen(bad.c_str(), "we");
  ASSERT_NE(file, nullptr);
  fputs("<root><open></root>", file);
  fclose(file);
  for (const std::string& name : {dir_ + "/missing.xml", bad}) {
    CDOMXmlDocument doc;
    EXPECT_EQ(ErrorOf([&] { doc.Load(name); }),
              "CDOMXmlDocument::Load: ERROR: parse_file() failed. file=" +
                  name + "\n");
  }
  CDOMXmlDocument doc;
  std::istringstream in("<unclosed>");
  EXPECT_EQ(ErrorOf([&] { in >> doc; }),
            "CDOMXmlDocument::Load: ERROR: parse_stream() failed.\n");
}

TEST_F(DomFileTest, SaveWritesIndentedFileThatLoadsBack) {
  const std::string out = dir_ + "/out.xml";
  CDOMXmlDocument doc;
  std::istringstream in("<root><a><b>t</b></a></root>");
  in >> doc;
  doc.Save(out);
  CDOMXmlDocument again;
  again.Load(out);
  EXPECT_EQ(CDOMElement(again.GetRootNode().SelectSingleNode("a/b")).GetText(),
            "t");
  EXPECT_THAT(ToText(again), HasSubstr("<root>\n  <a>\n    <b>t</b>"));
  EXPECT_EQ(ErrorOf([&] { doc.Save(dir_ + "/no/such/dir.xml"); }),
            "CDOMXmlDocument::Save: ERROR: write_to_file_formatted() failed. "
            "file=" +
                dir_ + "/no/such/dir.xml\n");
}

}  // namespace
}  // namespace Corvel
