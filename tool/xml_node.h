// XML documents for programs that load the library, without TinyXML headers:
// XmlNode and its subclasses XmlElement, XmlDocument and XmlDeclaration wrap
// one TinyXML node each and forward navigation, values, attributes, loading,
// saving and parsing; XmlElement also stores and reads typed values, one value
// per child element.
//
// Ownership: the constructors that make a new document, element or
// declaration own that node while it has no parent. Copies and assigned
// wrappers share the same ownership record, so the node is destroyed once,
// when the last of them goes, unless it was linked into a tree first: linking
// clears the record and the tree owns the node from then on. Every other
// wrapper (one a method returns or hands to a callback) only refers to its
// node. Wrappers that methods return are heap objects the caller deletes.
// RemoveChild and ReplaceChild destroy the node they take out; wrappers of it
// or of nodes below it must not be used again.
//
// Every method first checks that the wrapper has a node of the kind its class
// needs; otherwise it logs one line and gives a neutral result (empty text,
// false, null, nothing). Nothing is thrown and nothing aborts: links that
// TinyXML would refuse with an assertion (a document as child, a node that
// already has a parent, a cycle) and removals of nodes that are not children
// are refused with a log line.
//
// Thread safety: none; one tree is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tool/export.h"

namespace tool {

class XmlElement;
class XmlDocument;
struct XmlOwnership;
struct XmlWrapperFactory;

class TOOL_API XmlNode {
 public:
  XmlNode();
  XmlNode(const XmlNode& other);
  virtual ~XmlNode();
  XmlNode& operator=(const XmlNode& other);

  virtual XmlDocument* ToDocument();
  virtual XmlElement* ToElement();

  XmlNode* FirstChild();
  const XmlNode* LastChild();
  XmlNode* Parent();
  XmlElement* FirstChildElement(const std::string& tag_name);
  const XmlNode* NextSibling(const std::string& tag_name);
  XmlElement* NextSiblingElement(const std::string& tag_name);
  XmlNode* PreviousSibling(const std::string& tag_name);
  // Makes `child`'s node the last child of this node; the tree owns it then.
  // The result wraps the linked node, or null when the link was refused.
  XmlNode* LinkEndChild(XmlNode* child);
  // Puts a copy of `with` where `replace` stands and destroys `replace`'s node.
  XmlNode* ReplaceChild(XmlNode* replace, XmlNode* with);

  std::string GetValue() const;
  void SetValue(const std::string& node_value);
  // Unlinks and destroys `child`'s node when it is a child of this node.
  bool RemoveChild(XmlNode* child);

 protected:
  explicit XmlNode(void* node);
  // Wraps a new node that this wrapper owns until it is linked.
  void Adopt(void* node);
  // Log and the node, or null when the wrapper has none.
  void* Node(const char* class_name, const char* method) const;

  void* tixml_node_ = nullptr;

 private:
  friend struct XmlWrapperFactory;
  std::shared_ptr<XmlOwnership> ownership_;
};

class TOOL_API XmlElement : public XmlNode {
 public:
  explicit XmlElement(const std::string& tag_name);
  XmlElement(const XmlElement& other);
  ~XmlElement() override;
  XmlElement& operator=(const XmlElement& other);

  XmlElement* ToElement() override;

  std::string Attribute(const std::string& attribute_name);
  void SetAttribute(const std::string& attribute_name, const std::string& attribute_value);

  // Writers: append a child element `tag_name` whose text is the value. An
  // empty name or value, or a NaN double, writes nothing.
  using XmlNode::LinkEndChild;
  void LinkEndChild(const std::string& tag_name, const std::string& field_value, bool base64);
  void LinkEndChild(const std::string& tag_name, const double& field_value, bool scale1000);
  void LinkEndChild(const std::string& tag_name, int field_value);
  void LinkEndChild(const std::string& tag_name, unsigned int field_value);
  void LinkEndChild(const std::string& tag_name, int64_t field_value);
  void LinkEndChild(const std::string& tag_name, uint64_t field_value);
  void LinkEndChild(const std::string& tag_name, bool field_value);

  // Readers: take this element's text when its own tag name is `tag_name`;
  // false (and `out` unchanged) otherwise.
  bool UpdateValueFromElement(const std::string& tag_name, int& out);
  bool UpdateValueFromElement(const std::string& tag_name, unsigned int& out);
  bool UpdateValueFromElement(const std::string& tag_name, double& out, bool scale1000);
  bool UpdateValueFromElement(const std::string& tag_name, std::string& out, bool base64);
  bool UpdateValueFromElement(const std::string& tag_name, int64_t& out);
  bool UpdateValueFromElement(const std::string& tag_name, uint64_t& out);
  bool UpdateValueFromElement(const std::string& tag_name, bool& out);
  bool UpdateValueFromElement(const std::string& tag_name, std::function<void(const std::string&)> callback,
                              bool base64);
  // The stored path made native and placed under `base_dir`.
  bool UpdateLocalPathValueFromElement(const std::string& tag_name, const std::string& base_dir, std::string& out);
  // Offers each child element (a new wrapper the callback's receiver deletes)
  // to `callback`; false when it answered false or is empty.
  bool UpdateValueFromElements(std::function<bool(XmlElement*)> callback);

 private:
  friend struct XmlWrapperFactory;
  explicit XmlElement(void* node);
  // The node when it is an element (logs as a null node otherwise).
  void* Element(const char* method) const;
  // This element's text when its tag name is `tag_name`.
  bool Text(const char* method, const std::string& tag_name, std::string& text) const;
  void Write(const char* method, const std::string& tag_name, const std::string& text);
};

class TOOL_API XmlDocument : public XmlNode {
 public:
  XmlDocument();
  XmlDocument(const XmlDocument& other);
  ~XmlDocument() override;
  XmlDocument& operator=(const XmlDocument& other);

  XmlDocument* ToDocument() override;
  XmlElement* RootElement();
  // LoadFile and Parse refuse, with a log line, a document whose elements nest
  // deeper than 256 levels, or that holds an incomplete UTF-8 sequence, or a
  // byte-order mark (or U+FFFE, U+FFFF) past its start: TinyXML never sees it.
  // LoadFile also refuses, unread and with a log line, a file of more than
  // 64 MiB. Memory running out while either loads makes it fail (logged) and
  // leaves the document empty; nothing is thrown.
  bool LoadFile(const std::string& file_path);
  bool SaveFile(const std::string& file_path);
  // Parses `text`; the position just after the parsed data inside `text`, or
  // null on error.
  virtual const char* Parse(const std::string& text);
};

class TOOL_API XmlDeclaration : public XmlNode {
 public:
  XmlDeclaration(const std::string& version, const std::string& encoding, const std::string& standalone);
  XmlDeclaration(const XmlDeclaration& other);
  ~XmlDeclaration() override;
  XmlDeclaration& operator=(const XmlDeclaration& other);

  std::string Version() const;
  std::string Encoding() const;
  std::string Standalone() const;
};

}  // namespace tool
