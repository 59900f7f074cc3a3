#include "tool/xml_node.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include <tinyxml.h>

#include "tool/logger.h"
#include "tool/xml_guard.h"

namespace tool {

// The one record of who owns an unlinked node: shared by the wrapper that made
// the node and its copies; `node` is cleared when the node joins a tree. The
// node points back at its record (TinyXML's user data), so a link made through
// any wrapper of the node, not only the owner's, ends the ownership.
struct XmlOwnership {
  TiXmlNode* node = nullptr;
  ~XmlOwnership() { delete node; }
};

namespace {

TiXmlNode* Ti(void* node) { return static_cast<TiXmlNode*>(node); }

unsigned Low32(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

void LogNullNode(const char* class_name, const char* method) {
  DebugLog(4, "%s::%s with invalid param tixml_node_: 0x%x", class_name, method, 0);
}

}  // namespace

// Makes the wrappers handed to the caller through their private constructors;
// null only when memory runs out.
struct XmlWrapperFactory {
  template <class Wrapper>
  static Wrapper* Wrap(TiXmlNode* node) {
    return new (std::nothrow) Wrapper(static_cast<void*>(node));
  }
};

namespace {

template <class Wrapper>
Wrapper* Wrap(TiXmlNode* node) {
  return XmlWrapperFactory::Wrap<Wrapper>(node);
}

}  // namespace

// ---- XmlNode ----

XmlNode::XmlNode() = default;

XmlNode::XmlNode(void* node) : tixml_node_(node) {}

XmlNode::XmlNode(const XmlNode& other) : tixml_node_(other.tixml_node_), ownership_(other.ownership_) {}

XmlNode::~XmlNode() = default;  // the last holder of an ownership record frees an unlinked node

XmlNode& XmlNode::operator=(const XmlNode& other) {
  if (this != &other) {
    ownership_ = other.ownership_;
    tixml_node_ = other.tixml_node_;
  }
  return *this;
}

void XmlNode::Adopt(void* node) {
  tixml_node_ = node;
  if (node) {
    ownership_ = std::make_shared<XmlOwnership>();
    ownership_->node = Ti(node);
    Ti(node)->SetUserData(ownership_.get());
  }
}

void* XmlNode::Node(const char* class_name, const char* method) const {
  if (tixml_node_ == nullptr) LogNullNode(class_name, method);
  return tixml_node_;
}

XmlDocument* XmlNode::ToDocument() { return nullptr; }

XmlElement* XmlNode::ToElement() { return nullptr; }

XmlNode* XmlNode::FirstChild() {
  TiXmlNode* node = Ti(Node("XmlNode", "FirstChild"));
  return node ? Wrap<XmlNode>(node->FirstChild()) : nullptr;
}

const XmlNode* XmlNode::LastChild() {
  TiXmlNode* node = Ti(Node("XmlNode", "LastChild"));
  return node ? Wrap<XmlElement>(node->LastChild()) : nullptr;
}

XmlNode* XmlNode::Parent() {
  TiXmlNode* node = Ti(Node("XmlNode", "Parent"));
  return node ? Wrap<XmlElement>(node->Parent()) : nullptr;
}

XmlElement* XmlNode::FirstChildElement(const std::string& tag_name) {
  TiXmlNode* node = Ti(Node("XmlNode", "FirstChildElement"));
  return node ? Wrap<XmlElement>(node->FirstChildElement(tag_name)) : nullptr;
}

const XmlNode* XmlNode::NextSibling(const std::string& tag_name) {
  TiXmlNode* node = Ti(Node("XmlNode", "NextSibling"));
  return node ? Wrap<XmlElement>(node->NextSibling(tag_name)) : nullptr;
}

XmlElement* XmlNode::NextSiblingElement(const std::string& tag_name) {
  TiXmlNode* node = Ti(Node("XmlNode", "NextSiblingElement"));
  return node ? Wrap<XmlElement>(node->NextSiblingElement(tag_name)) : nullptr;
}

XmlNode* XmlNode::PreviousSibling(const std::string& tag_name) {
  TiXmlNode* node = Ti(Node("XmlNode", "PreviousSibling"));
  return node ? Wrap<XmlElement>(node->PreviousSibling(tag_name)) : nullptr;
}

XmlNode* XmlNode::LinkEndChild(XmlNode* child) {
  TiXmlNode* node = Ti(tixml_node_);
  TiXmlNode* linked = child ? Ti(child->tixml_node_) : nullptr;
  if (node == nullptr || linked == nullptr) {
    DebugLog(4, "XmlNode::LinkEndChild with invalid param tixml_node_: 0x%x, element: 0x%x, element->tinxml_node: 0x%x",
             Low32(node), Low32(child), Low32(linked));
    return nullptr;
  }
  // TinyXML asserts (and so aborts) on these; they are refused here instead.
  const char* refusal = nullptr;
  if (linked->ToDocument()) {
    refusal = "a document can't be a child";
  } else if (linked->Parent()) {
    refusal = "the child already has a parent";
  } else {
    for (TiXmlNode* up = node; up; up = up->Parent()) {
      if (up == linked) {
        refusal = "the child holds this node";
        break;
      }
    }
  }
  if (refusal) {
    DebugLog(4, "XmlNode::LinkEndChild refused, %s, tixml_node_: 0x%x, element->tinxml_node: 0x%x", refusal,
             Low32(node), Low32(linked));
    return Wrap<XmlElement>(nullptr);
  }
  TiXmlNode* result = node->LinkEndChild(linked);
  if (result) {
    if (auto* record = static_cast<XmlOwnership*>(result->GetUserData())) {
      record->node = nullptr;  // the tree owns it now, for every wrapper
      result->SetUserData(nullptr);
    }
  }
  return Wrap<XmlElement>(result);
}

XmlNode* XmlNode::ReplaceChild(XmlNode* replace, XmlNode* with) {
  TiXmlNode* node = Ti(tixml_node_);
  if (node == nullptr || replace == nullptr || with == nullptr) {
    DebugLog(4, "XmlNode::ReplaceChild with invalid param tixml_node_: 0x%x, replace: 0x%x, with: 0x%x", Low32(node),
             Low32(replace), Low32(with));
    return nullptr;
  }
  TiXmlNode* old_node = Ti(replace->tixml_node_);
  TiXmlNode* new_node = Ti(with->tixml_node_);
  if (old_node == nullptr || new_node == nullptr) {
    DebugLog(4, "XmlNode::ReplaceChild with invalid param replace->tixml_node_: 0x%x, with->tiny_node_: 0x%x",
             Low32(old_node), Low32(new_node));
    return nullptr;
  }
  if (old_node->Parent() != node || new_node->ToDocument()) return Wrap<XmlNode>(nullptr);
  TiXmlNode* copy = node->ReplaceChild(old_node, *new_node);
  if (copy) {
    replace->tixml_node_ = nullptr;  // its node is gone
    copy->SetUserData(nullptr);      // TinyXML copies it; the copy belongs to the tree
  }
  return Wrap<XmlNode>(copy);
}

std::string XmlNode::GetValue() const {
  TiXmlNode* node = Ti(Node("XmlNode", "GetValue"));
  return node ? node->ValueStr() : std::string();
}

void XmlNode::SetValue(const std::string& node_value) {
  if (TiXmlNode* node = Ti(Node("XmlNode", "SetValue"))) node->SetValue(node_value);
}

bool XmlNode::RemoveChild(XmlNode* child) {
  TiXmlNode* node = Ti(tixml_node_);
  if (node == nullptr || child == nullptr) {
    DebugLog(4, "XmlNode::RemoveChild with invalid param tixml_node_: 0x%x, remove: 0x%x", Low32(node), Low32(child));
    return false;
  }
  TiXmlNode* removed = Ti(child->tixml_node_);
  if (removed == nullptr) {
    DebugLog(4, "XmlNode::RemoveChild with invalid param replace->tixml_node_: 0x%x, remove->tiny_node_: 0x%x", 0, 0);
    return false;
  }
  if (removed->Parent() != node) {
    // TinyXML asserts here; another parent's child stays where it is.
    DebugLog(4, "XmlNode::RemoveChild refused, remove->tiny_node_: 0x%x is no child of tixml_node_: 0x%x",
             Low32(removed), Low32(node));
    return false;
  }
  bool done = node->RemoveChild(removed);
  if (done) child->tixml_node_ = nullptr;  // its node is gone
  return done;
}

// ---- XmlElement (structure; the value binding is in xml_binding.cpp) ----

XmlElement::XmlElement(const std::string& tag_name) { Adopt(new (std::nothrow) TiXmlElement(tag_name)); }

XmlElement::XmlElement(void* node) : XmlNode(node) {}

XmlElement::XmlElement(const XmlElement& other) = default;

XmlElement::~XmlElement() = default;

XmlElement& XmlElement::operator=(const XmlElement& other) {
  XmlNode::operator=(other);
  return *this;
}

XmlElement* XmlElement::ToElement() { return this; }

void* XmlElement::Element(const char* method) const {
  TiXmlNode* node = Ti(tixml_node_);
  // A wrapper of this class may stand for a text or other node (LastChild,
  // Parent...): element methods treat that as no node.
  if (node == nullptr || node->ToElement() == nullptr) {
    LogNullNode("XmlElement", method);
    return nullptr;
  }
  return node;
}

std::string XmlElement::Attribute(const std::string& attribute_name) {
  auto* element = static_cast<TiXmlNode*>(Element("Attribute"));
  if (!element) return std::string();
  const std::string* value = element->ToElement()->Attribute(attribute_name);
  return value ? *value : std::string();
}

void XmlElement::SetAttribute(const std::string& attribute_name, const std::string& attribute_value) {
  if (auto* element = static_cast<TiXmlNode*>(Element("SetAttribute"))) {
    element->ToElement()->SetAttribute(attribute_name, attribute_value);
  }
}

// ---- XmlDocument ----

XmlDocument::XmlDocument() { Adopt(new (std::nothrow) TiXmlDocument()); }

XmlDocument::XmlDocument(const XmlDocument& other) = default;

XmlDocument::~XmlDocument() = default;

XmlDocument& XmlDocument::operator=(const XmlDocument& other) {
  XmlNode::operator=(other);
  return *this;
}

XmlDocument* XmlDocument::ToDocument() { return this; }

namespace {

TiXmlDocument* AsDocument(void* node, const char* method) {
  TiXmlDocument* document = node ? Ti(node)->ToDocument() : nullptr;
  if (document == nullptr) LogNullNode("XmlDocument", method);
  return document;
}

TiXmlDeclaration* AsDeclaration(void* node, const char* method) {
  TiXmlDeclaration* declaration = node ? Ti(node)->ToDeclaration() : nullptr;
  if (declaration == nullptr) LogNullNode("XmlDeclaration", method);
  return declaration;
}

// TinyXML opens files with fopen, which waits for the other end of a FIFO (and
// would act on a device): only a regular file, or a missing one to save to,
// is handed over.
bool RefusedFile(const std::string& file_path, const char* method) {
  struct stat info {};
  if (::stat(file_path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return false;
  DebugLog(4, "XmlDocument::%s '%s' refused, not a regular file", method, file_path.c_str());
  return true;
}

// Zero bytes after the copy of a text that TinyXML parses: the checks leave it
// nothing to step over at the end, and these keep any read a byte or three past
// the end inside memory of our own all the same.
constexpr std::size_t kZeroPadding = 8;

// The whole content of a regular file of at most kMaxXmlFileBytes, the path
// taken as given, followed by kZeroPadding zero bytes. Opened without waiting,
// so a FIFO is refused rather than waited on; false for a file that can't be
// opened or read, or that is (or grows) beyond the bound, which is logged.
bool ReadRegularFile(const std::string& file_path, const char* method, std::string* content) {
  int fd = ::open(file_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  auto too_large = [&](long long size) {
    DebugLog(4, "XmlDocument::%s '%s' refused, size:%lld, files over %lld bytes are not loaded", method,
             file_path.c_str(), size, static_cast<long long>(xml_internal::kMaxXmlFileBytes));
    return false;
  };
  if (!regular) {
    DebugLog(4, "XmlDocument::%s '%s' refused, not a regular file", method, file_path.c_str());
  } else if (static_cast<uint64_t>(info.st_size) > xml_internal::kMaxXmlFileBytes) {
    regular = too_large(static_cast<long long>(info.st_size));
  } else {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    content->reserve(static_cast<std::size_t>(info.st_size) + kZeroPadding);
    char chunk[65536];
    for (;;) {
      ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) regular = false;
      if (got <= 0) break;
      content->append(chunk, static_cast<std::size_t>(got));
      if (content->size() > xml_internal::kMaxXmlFileBytes) {  // it grew while we read
        regular = too_large(static_cast<long long>(content->size()));
        break;
      }
    }
  }
  ::close(fd);
  if (regular) content->append(kZeroPadding, '\0');
  return regular;
}

// After memory ran out inside TinyXML the document may be half built: it is
// emptied, as a failed load leaves it.
void ClearAfterOutOfMemory(TiXmlDocument* document, const char* method) {
  document->Clear();
  DebugLog(4, "XmlDocument::%s failed, out of memory", method);
}

}  // namespace

XmlElement* XmlDocument::RootElement() {
  TiXmlDocument* document = AsDocument(tixml_node_, "RootElement");
  return document ? Wrap<XmlElement>(document->RootElement()) : nullptr;
}

bool XmlDocument::LoadFile(const std::string& file_path) {
  TiXmlDocument* document = AsDocument(tixml_node_, "LoadFile");
  if (!document) return false;
  // TinyXML allocates with new, and the content is read whole: memory running
  // out is a failed load, never an exception thrown at the caller.
  try {
    std::string content;
    if (!ReadRegularFile(file_path, "LoadFile", &content) ||
        !xml_internal::AdmitXmlText(std::string_view(content).substr(0, content.size() - kZeroPadding), "LoadFile")) {
      return false;
    }
    // TinyXML loads the checked content from memory, as it would from the
    // file: the document is cleared, named after the file, and its line ends
    // made "\n".
    FILE* stream = ::fmemopen(content.data(), content.size(), "rb");
    if (stream == nullptr) return false;
    document->SetValue(file_path);
    bool loaded = document->LoadFile(stream, TIXML_ENCODING_UNKNOWN);
    ::fclose(stream);
    return loaded;
  } catch (const std::bad_alloc&) {
    ClearAfterOutOfMemory(document, "LoadFile");
    return false;
  }
}

bool XmlDocument::SaveFile(const std::string& file_path) {
  TiXmlDocument* document = AsDocument(tixml_node_, "SaveFile");
  return document && !RefusedFile(file_path, "SaveFile") && document->SaveFile(file_path.c_str());
}

const char* XmlDocument::Parse(const std::string& text) {
  TiXmlDocument* document = AsDocument(tixml_node_, "Parse");
  if (!document || !xml_internal::AdmitXmlText(text, "Parse")) return nullptr;
  try {
    std::string padded(text.size() + kZeroPadding, '\0');
    text.copy(padded.data(), text.size());
    const char* end = document->Parse(padded.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    if (document->Error()) return nullptr;
    // TinyXML answers null also when it parsed everything: the data ends there.
    if (end == nullptr) return text.c_str() + text.size();
    return text.c_str() + std::min(static_cast<std::size_t>(end - padded.c_str()), text.size());
  } catch (const std::bad_alloc&) {
    ClearAfterOutOfMemory(document, "Parse");
    return nullptr;
  }
}

// ---- XmlDeclaration ----

XmlDeclaration::XmlDeclaration(const std::string& version, const std::string& encoding, const std::string& standalone) {
  Adopt(new (std::nothrow) TiXmlDeclaration(version, encoding, standalone));
}

XmlDeclaration::XmlDeclaration(const XmlDeclaration& other) = default;

XmlDeclaration::~XmlDeclaration() = default;

XmlDeclaration& XmlDeclaration::operator=(const XmlDeclaration& other) {
  XmlNode::operator=(other);
  return *this;
}

std::string XmlDeclaration::Version() const {
  TiXmlDeclaration* declaration = AsDeclaration(tixml_node_, "Version");
  return declaration && declaration->Version() ? declaration->Version() : "";
}

std::string XmlDeclaration::Encoding() const {
  TiXmlDeclaration* declaration = AsDeclaration(tixml_node_, "Encoding");
  return declaration && declaration->Encoding() ? declaration->Encoding() : "";
}

std::string XmlDeclaration::Standalone() const {
  TiXmlDeclaration* declaration = AsDeclaration(tixml_node_, "Standalone");
  return declaration && declaration->Standalone() ? declaration->Standalone() : "";
}

}  // namespace tool
