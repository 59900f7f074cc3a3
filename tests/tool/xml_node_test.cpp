// The XML wrappers: navigation, values, attributes, parsing, loading and
// saving, ownership of nodes, and the links and removals TinyXML would abort
// on. Run under AddressSanitizer (QEL_SANITIZE=ON) they also prove that no node
// is freed twice or leaked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "tool/log_capture.h"
#include "support/test_support.h"
#include "tool/xml_node.h"

namespace {

using namespace tool;

template <class T>
std::unique_ptr<T> Own(T* wrapper) {
  return std::unique_ptr<T>(wrapper);
}
template <class T>
std::unique_ptr<const T> Own(const T* wrapper) {
  return std::unique_ptr<const T>(wrapper);
}

TEST(XmlNodeTest, DefaultNodeLogsAndAnswersNeutrally) {
  tool_test::LogCapture log;
  XmlNode node;
  EXPECT_EQ(node.GetValue(), "");
  EXPECT_TRUE(log.contains(" INFO ["));
  EXPECT_TRUE(log.contains("] XmlNode::GetValue with invalid param tixml_node_: 0x0\n"));
  EXPECT_EQ(node.FirstChild(), nullptr);
  EXPECT_TRUE(log.contains("XmlNode::FirstChild with invalid param tixml_node_: 0x0"));
  EXPECT_EQ(node.ToElement(), nullptr);
  EXPECT_EQ(node.ToDocument(), nullptr);
  node.SetValue("x");
  EXPECT_TRUE(log.contains("XmlNode::SetValue with invalid param tixml_node_: 0x0"));
}

TEST(XmlNodeTest, NavigationAndValues) {
  XmlDocument document;
  const std::string text = "<root a=\"1\"><first/>middle<second>two</second><second>again</second></root>";
  const char* end = document.Parse(text);
  ASSERT_NE(end, nullptr);
  EXPECT_GE(end, text.c_str());
  EXPECT_LE(end, text.c_str() + text.size());
  auto root = Own(document.RootElement());
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->GetValue(), "root");
  EXPECT_EQ(root->Attribute("a"), "1");
  EXPECT_EQ(root->Attribute("missing"), "");
  root->SetAttribute("b", "2");
  EXPECT_EQ(root->Attribute("b"), "2");

  auto first = Own(root->FirstChild());
  EXPECT_EQ(first->GetValue(), "first");
  EXPECT_EQ(first->ToElement(), nullptr);  // FirstChild gives a plain XmlNode
  auto last = Own(root->LastChild());
  EXPECT_EQ(last->GetValue(), "second");
  auto second = Own(root->FirstChildElement("second"));
  EXPECT_EQ(second->GetValue(), "second");
  auto next = Own(second->NextSiblingElement("second"));
  auto text_of_next = Own(next->FirstChild());
  EXPECT_EQ(text_of_next->GetValue(), "again");
  auto previous = Own(second->PreviousSibling("first"));
  EXPECT_EQ(previous->GetValue(), "first");
  auto sibling = Own(first->NextSibling("second"));
  EXPECT_EQ(sibling->GetValue(), "second");
  auto parent = Own(second->Parent());
  EXPECT_EQ(parent->GetValue(), "root");
  root->SetValue("renamed");
  EXPECT_EQ(root->GetValue(), "renamed");
}

TEST(XmlNodeTest, MissingElementIsAWrapperWithoutNode) {
  tool_test::LogCapture log;
  XmlDocument document;
  ASSERT_NE(document.Parse("<root/>"), nullptr);
  auto root = Own(document.RootElement());
  auto missing = Own(root->FirstChildElement("nothing"));
  ASSERT_NE(missing, nullptr);
  EXPECT_EQ(missing->GetValue(), "");
  EXPECT_EQ(missing->Attribute("a"), "");
  EXPECT_TRUE(log.contains("XmlNode::GetValue with invalid param tixml_node_: 0x0"));
  EXPECT_TRUE(log.contains("XmlElement::Attribute with invalid param tixml_node_: 0x0"));
}

TEST(XmlNodeTest, ElementMethodsOnATextNodeActAsOnNoNode) {
  tool_test::LogCapture log;
  XmlDocument document;
  ASSERT_NE(document.Parse("<root>just text</root>"), nullptr);
  auto root = Own(document.RootElement());
  auto last = Own(root->LastChild());  // a text node in an XmlElement wrapper
  auto* as_element = const_cast<XmlNode*>(last.get())->ToElement();
  ASSERT_EQ(as_element, last.get());
  EXPECT_EQ(last->GetValue(), "just text");
  EXPECT_EQ(as_element->Attribute("a"), "");
  as_element->SetAttribute("a", "b");
  int value = 7;
  EXPECT_FALSE(as_element->UpdateValueFromElement("just text", value));
  EXPECT_EQ(value, 7);
  EXPECT_TRUE(log.contains("XmlElement::Attribute with invalid param tixml_node_: 0x0"));
  EXPECT_TRUE(log.contains("XmlElement::SetAttribute with invalid param tixml_node_: 0x0"));
  EXPECT_EQ(root->Attribute("a"), "");
}

TEST(XmlNodeTest, ParseReportsErrors) {
  XmlDocument document;
  EXPECT_EQ(document.Parse("<root><unclosed></root>"), nullptr);
  XmlDocument other;
  EXPECT_EQ(other.Parse(""), nullptr);
}

TEST(XmlNodeTest, LinkedElementIsDestroyedOnceWithTheDocument) {
  XmlDocument document;
  {
    XmlElement element("child");
    auto linked = Own(document.LinkEndChild(&element));
    ASSERT_NE(linked, nullptr);
    EXPECT_EQ(linked->GetValue(), "child");
  }  // the element wrapper goes; the tree keeps the node
  auto root = Own(document.RootElement());
  EXPECT_EQ(root->GetValue(), "child");
}

TEST(XmlNodeTest, CopiesShareTheNodeAndFreeItOnce) {
  auto owner = std::make_unique<XmlElement>("shared");
  {
    XmlElement copy(*owner);
    EXPECT_EQ(copy.GetValue(), "shared");
    copy.SetValue("renamed");
  }  // the copy goes: the node stays
  EXPECT_EQ(owner->GetValue(), "renamed");
  XmlElement survivor(*owner);
  owner.reset();  // the owner goes first: the copy still holds the node
  EXPECT_EQ(survivor.GetValue(), "renamed");
  // Deleting through the base class frees an owned node too.
  std::unique_ptr<XmlNode> base = std::make_unique<XmlElement>("through base");
  EXPECT_EQ(base->GetValue(), "through base");
}

TEST(XmlNodeTest, LinkingACopyClearsOwnershipForAll) {
  XmlDocument document;
  XmlElement original("node");
  XmlElement copy(original);
  auto linked = Own(document.LinkEndChild(&copy));
  ASSERT_NE(linked, nullptr);
  // Both wrappers now refer to a node the document owns; their end frees nothing.
  EXPECT_EQ(original.GetValue(), "node");
}

TEST(XmlNodeTest, LinkingThroughAnyWrapperOfTheNodeEndsItsOwnership) {
  XmlDocument document;
  {
    XmlElement root("root");
    XmlElement child("child");
    ASSERT_NE(Own(root.LinkEndChild(&child)), nullptr);
    // A wrapper of "root" that is not the one that made it: the child's parent.
    auto first = Own(root.FirstChild());
    auto parent = Own(first->Parent());
    ASSERT_EQ(parent->GetValue(), "root");
    ASSERT_NE(Own(document.LinkEndChild(parent.get())), nullptr);
  }  // the constructor's wrapper goes: the document owns "root" now
  auto root = Own(document.RootElement());
  EXPECT_EQ(root->GetValue(), "root");
  auto child = Own(root->FirstChildElement("child"));
  EXPECT_EQ(child->GetValue(), "child");
}

TEST(XmlNodeTest, AssignmentReleasesAndRefers) {
  XmlElement a("a");
  XmlElement b("b");
  a = b;  // "a"'s node is released, "a" now refers to "b"
  EXPECT_EQ(a.GetValue(), "b");
  a = a;
  EXPECT_EQ(a.GetValue(), "b");
  XmlDocument document;
  XmlDocument other;
  ASSERT_NE(other.Parse("<x/>"), nullptr);
  document = other;
  auto root = Own(document.RootElement());
  EXPECT_EQ(root->GetValue(), "x");
  EXPECT_NE(document.ToDocument(), nullptr);
}

TEST(XmlNodeTest, RefusedLinksNeverAbort) {
  tool_test::LogCapture log;
  XmlDocument document;
  XmlElement root("root");
  auto linked_root = Own(document.LinkEndChild(&root));
  ASSERT_NE(linked_root, nullptr);

  XmlDocument nested;
  auto as_child = Own(root.LinkEndChild(&nested));  // a document is never a child
  ASSERT_NE(as_child, nullptr);
  EXPECT_EQ(as_child->GetValue(), "");
  EXPECT_TRUE(log.contains("XmlNode::LinkEndChild refused, a document can't be a child"));
  EXPECT_NE(nested.Parse("<usable/>"), nullptr);

  XmlElement child("child");
  auto once = Own(root.LinkEndChild(&child));
  XmlDocument other;
  auto twice = Own(other.LinkEndChild(&child));  // already has a parent
  EXPECT_EQ(twice->GetValue(), "");
  EXPECT_TRUE(log.contains("the child already has a parent"));

  XmlElement top("top");
  XmlElement below("below");
  auto below_linked = Own(top.LinkEndChild(&below));
  auto cycle = Own(below_linked->LinkEndChild(&top));  // top would sit under its own child
  EXPECT_EQ(cycle->GetValue(), "");
  EXPECT_TRUE(log.contains("the child holds this node"));
  auto self = Own(top.LinkEndChild(&top));
  EXPECT_EQ(self->GetValue(), "");

  XmlNode empty;
  EXPECT_EQ(root.LinkEndChild(&empty), nullptr);
  EXPECT_EQ(root.LinkEndChild(nullptr), nullptr);
  EXPECT_TRUE(log.contains("XmlNode::LinkEndChild with invalid param tixml_node_: 0x"));
}

TEST(XmlNodeTest, RemoveChildOfAnotherParentKeepsTheNode) {
  tool_test::LogCapture log;
  XmlDocument document;
  ASSERT_NE(document.Parse("<root><a><inner/></a><b/></root>"), nullptr);
  auto root = Own(document.RootElement());
  auto a = Own(root->FirstChildElement("a"));
  auto inner = Own(a->FirstChildElement("inner"));
  EXPECT_FALSE(root->RemoveChild(inner.get()));
  EXPECT_TRUE(log.contains("XmlNode::RemoveChild refused"));
  EXPECT_EQ(inner->GetValue(), "inner");
  XmlElement loose("loose");
  EXPECT_FALSE(root->RemoveChild(&loose));
  EXPECT_EQ(loose.GetValue(), "loose");

  auto b = Own(root->FirstChildElement("b"));
  EXPECT_TRUE(root->RemoveChild(b.get()));
  auto gone = Own(root->FirstChildElement("b"));
  EXPECT_EQ(gone->GetValue(), "");
  EXPECT_FALSE(root->RemoveChild(nullptr));
  EXPECT_TRUE(log.contains("XmlNode::RemoveChild with invalid param tixml_node_: 0x"));
  XmlNode empty;
  EXPECT_FALSE(root->RemoveChild(&empty));
  EXPECT_TRUE(
      log.contains("XmlNode::RemoveChild with invalid param replace->tixml_node_: 0x0, remove->tiny_node_: 0x0"));
}

TEST(XmlNodeTest, ReplaceChildPutsACopy) {
  XmlDocument document;
  ASSERT_NE(document.Parse("<root><old/><keep/></root>"), nullptr);
  auto root = Own(document.RootElement());
  auto old = Own(root->FirstChildElement("old"));
  XmlElement with("new");
  auto copy = Own(root->ReplaceChild(old.get(), &with));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->GetValue(), "new");
  EXPECT_EQ(with.GetValue(), "new");  // `with` keeps its own node
  auto first = Own(root->FirstChild());
  EXPECT_EQ(first->GetValue(), "new");
  XmlElement stranger("stranger");
  auto refused = Own(root->ReplaceChild(&stranger, &with));
  EXPECT_EQ(refused->GetValue(), "");
  tool_test::LogCapture log;
  XmlNode empty;
  EXPECT_EQ(root->ReplaceChild(&empty, &with), nullptr);
  EXPECT_TRUE(log.contains("XmlNode::ReplaceChild with invalid param replace->tixml_node_: 0x0, with->tiny_node_: 0x"));
}

TEST(XmlNodeTest, DeclarationSaveAndLoad) {
  qel::test::TempDir dir;
  const std::string path = dir.file("doc.xml");
  {
    XmlDocument document;
    XmlDeclaration declaration("1.0", "UTF-8", "yes");
    EXPECT_EQ(declaration.Version(), "1.0");
    EXPECT_EQ(declaration.Encoding(), "UTF-8");
    EXPECT_EQ(declaration.Standalone(), "yes");
    Own(document.LinkEndChild(&declaration));
    XmlElement root("root");
    root.SetAttribute("name", "caf\xC3\xA9");
    Own(document.LinkEndChild(&root));
    EXPECT_TRUE(document.SaveFile(path));
  }
  XmlDocument loaded;
  ASSERT_TRUE(loaded.LoadFile(path));
  auto root = Own(loaded.RootElement());
  EXPECT_EQ(root->Attribute("name"), "caf\xC3\xA9");
  EXPECT_NE(qel::test::readFile(path).find("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>"),
            std::string::npos);
  XmlDocument missing;
  EXPECT_FALSE(missing.LoadFile(dir.file("missing.xml")));
  EXPECT_FALSE(loaded.SaveFile(dir.file("no/such/folder.xml")));
}

TEST(XmlNodeTest, FifoIsNeitherLoadedNorSavedAndNeverBlocks) {
  qel::test::TempDir dir;
  const std::string fifo = dir.file("pipe.xml");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (bool save : {false, true}) {
    // On a thread of its own, so that an open waiting for the other end fails
    // the test instead of hanging it.
    auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> result = answer->get_future();
    std::thread([answer, fifo, save] {
      XmlDocument document;
      answer->set_value(save ? document.SaveFile(fifo) : document.LoadFile(fifo));
    }).detach();
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << (save ? "SaveFile" : "LoadFile") << " waits for the other end of a FIFO";
      int other_end = ::open(fifo.c_str(), (save ? O_RDONLY : O_WRONLY) | O_NONBLOCK | O_CLOEXEC);
      result.wait();
      ::close(other_end);
      continue;
    }
    EXPECT_FALSE(result.get()) << (save ? "SaveFile" : "LoadFile");
  }
}

TEST(XmlNodeTest, DocumentAndDeclarationMethodsCheckTheKind) {
  tool_test::LogCapture log;
  XmlDocument document;
  ASSERT_NE(document.Parse("<root/>"), nullptr);
  XmlDocument assigned;
  auto root = Own(document.RootElement());
  // A document wrapper assigned an element's node keeps its class, not the kind.
  static_cast<XmlNode&>(assigned) = *root;
  EXPECT_EQ(assigned.RootElement(), nullptr);
  EXPECT_EQ(assigned.Parse("<x/>"), nullptr);
  EXPECT_TRUE(log.contains("XmlDocument::RootElement with invalid param tixml_node_: 0x0"));
  XmlDeclaration declaration("1.0", "", "");
  static_cast<XmlNode&>(declaration) = *root;
  EXPECT_EQ(declaration.Version(), "");
  EXPECT_TRUE(log.contains("XmlDeclaration::Version with invalid param tixml_node_: 0x0"));
  EXPECT_EQ(root->GetValue(), "root");
}

}  // namespace
