// The value binding of XmlElement: typed writers that append one child element
// per value, and readers that take this element's own text.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

#include <tinyxml.h>

#include "tool/encoding.h"
#include "tool/logger.h"
#include "tool/path_util.h"
#include "tool/string_util.h"
#include "tool/xml_node.h"

namespace tool {

namespace {

TiXmlElement* AsElement(void* node) { return node ? static_cast<TiXmlNode*>(node)->ToElement() : nullptr; }

}  // namespace

bool XmlElement::Text(const char* method, const std::string& tag_name, std::string& text) const {
  TiXmlElement* element = AsElement(Element(method));
  if (!element || element->ValueStr() != tag_name) return false;
  const char* value = element->GetText();
  if (value == nullptr) return false;
  text = value;
  return true;
}

void XmlElement::Write(const char* method, const std::string& tag_name, const std::string& text) {
  TiXmlElement* element = AsElement(Element(method));
  if (!element || tag_name.empty() || text.empty()) return;
  auto* child = new (std::nothrow) TiXmlElement(tag_name);
  auto* content = new (std::nothrow) TiXmlText(text);
  if (!child || !content) {
    delete child;
    delete content;
    return;
  }
  child->LinkEndChild(content);
  element->LinkEndChild(child);
}

void XmlElement::LinkEndChild(const std::string& tag_name, const std::string& field_value, bool base64) {
  if (field_value.empty()) {
    Element("LinkEndChild");  // the null-node check still speaks
    return;
  }
  Write("LinkEndChild", tag_name, base64 ? Base64Encode(field_value) : field_value);
}

void XmlElement::LinkEndChild(const std::string& tag_name, const double& field_value, bool scale1000) {
  if (std::isnan(field_value)) {
    Element("LinkEndChild");
    return;
  }
  Write("LinkEndChild", tag_name, Format("%lf", scale1000 ? field_value * 1000.0 : field_value));
}

void XmlElement::LinkEndChild(const std::string& tag_name, int field_value) {
  Write("LinkEndChild", tag_name, Format("%d", field_value));
}

void XmlElement::LinkEndChild(const std::string& tag_name, unsigned int field_value) {
  Write("LinkEndChild", tag_name, Format("%llu", static_cast<unsigned long long>(field_value)));
}

void XmlElement::LinkEndChild(const std::string& tag_name, int64_t field_value) {
  Write("LinkEndChild", tag_name, Format("%lld", static_cast<long long>(field_value)));
}

void XmlElement::LinkEndChild(const std::string& tag_name, uint64_t field_value) {
  Write("LinkEndChild", tag_name, Format("%llu", static_cast<unsigned long long>(field_value)));
}

void XmlElement::LinkEndChild(const std::string& tag_name, bool field_value) {
  Write("LinkEndChild", tag_name, Format("%d", field_value ? 1 : 0));
}

bool XmlElement::UpdateValueFromElement(const std::string& tag_name, int& out) {
  std::string text;
  if (!Text("UpdateValueFromElement", tag_name, text)) return false;
  // strtol, kept within int (atoi would be undefined past its range).
  int saved = errno;
  long value = std::strtol(text.c_str(), nullptr, 10);
  errno = saved;
  if (value > std::numeric_limits<int>::max()) value = std::numeric_limits<int>::max();
  if (value < std::numeric_limits<int>::min()) value = std::numeric_limits<int>::min();
  out = static_cast<int>(value);
  return true;
}

bool XmlElement::UpdateValueFromElement(const std::string& tag_name, unsigned int& out) {
  uint64_t wide = 0;
  if (!UpdateValueFromElement(tag_name, wide)) return false;
  out = static_cast<unsigned int>(wide);
  return true;
}

bool XmlElement::UpdateValueFromElement(const std::string& tag_name, double& out, bool scale1000) {
  std::string text;
  if (!Text("UpdateValueFromElement", tag_name, text)) return false;
  int saved = errno;
  double value = std::strtod(text.c_str(), nullptr);
  errno = saved;
  out = scale1000 ? value / 1000.0 : value;
  return true;
}

bool XmlElement::UpdateValueFromElement(const std::string& tag_name, std::string& out, bool base64) {
  std::string text;
  if (!Text("UpdateValueFromElement", tag_name, text)) return false;
  out = base64 ? Base64Decode(text) : text;
  return true;
}

bool XmlElement::UpdateValueFromElement(const std::string& tag_name, int64_t& out) {
  std::string text;
  if (!Text("UpdateValueFromElement", tag_name, text)) return false;
  errno = 0;  // only this conversion decides
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno == ERANGE || end == text.c_str()) {
    DebugLog(4, "can't convert %s to int64_t value", text.c_str());
    return false;
  }
  out = value;
  return true;
}

bool XmlElement::UpdateValueFromElement(const std::string& tag_name, uint64_t& out) {
  std::string text;
  if (!Text("UpdateValueFromElement", tag_name, text)) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno == ERANGE || (end == text.c_str() && value == 0)) {
    if (errno == 0) errno = EINVAL;
    DebugLog(4, "can't convert %s to uint64_t value, %s", text.c_str(), PrettyLastError().c_str());
    return false;
  }
  out = value;
  return true;
}

bool XmlElement::UpdateValueFromElement(const std::string& tag_name, bool& out) {
  int value = 0;
  if (!UpdateValueFromElement(tag_name, value)) return false;
  out = value != 0;
  return true;
}

bool XmlElement::UpdateValueFromElement(const std::string& tag_name, std::function<void(const std::string&)> callback,
                                        bool base64) {
  if (!callback) {
    DebugLog(4, "XmlElement::UpdateValueFromElement '%s' with an empty callback, ignored", tag_name.c_str());
    return false;
  }
  std::string value;
  if (!UpdateValueFromElement(tag_name, value, base64)) return false;
  callback(value);
  return true;
}

bool XmlElement::UpdateLocalPathValueFromElement(const std::string& tag_name, const std::string& base_dir,
                                                 std::string& out) {
  std::string text;
  if (!Text("UpdateLocalPathValueFromElement", tag_name, text)) return false;
  // Stored paths may use either separator; the result is native.
  std::string relative = ToDevicePath(text);
  if (!relative.empty() && relative[0] == '/') relative.erase(0, 1);
  out = AppendingPathComponent(base_dir, relative, "/");
  return true;
}

bool XmlElement::UpdateValueFromElements(std::function<bool(XmlElement*)> callback) {
  TiXmlElement* element = AsElement(Element("UpdateValueFromElements"));
  if (!element) return false;
  if (!callback) {
    DebugLog(4, "XmlElement::UpdateValueFromElements with an empty callback, ignored");
    return false;
  }
  for (TiXmlElement* child = element->FirstChildElement(); child; child = child->NextSiblingElement()) {
    auto* wrapper = new (std::nothrow) XmlElement(static_cast<void*>(child));
    if (!wrapper) return false;
    if (!callback(wrapper)) return false;
  }
  return true;
}

}  // namespace tool
