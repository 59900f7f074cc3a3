#include "tool/xml_guard.h"

#include <algorithm>
#include <cstring>

#include "tool/logger.h"

namespace tool::xml_internal {

namespace {

constexpr std::size_t kStop = std::string_view::npos;

// Bytes as TinyXML's parser classifies them: blanks and letters of the C
// locale, and every byte from 127 up counted as a letter.
bool IsBlank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(unsigned char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsLetter(unsigned char c) { return c >= 127 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsNameStart(unsigned char c) { return IsLetter(c) || c == '_'; }
bool IsNameChar(unsigned char c) { return IsNameStart(c) || IsDigit(c) || c == '-' || c == '.' || c == ':'; }

// Bytes a UTF-8 sequence takes by its first byte, as TinyXML counts them.
std::size_t SequenceLength(unsigned char c) {
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xF0 && c <= 0xF4) return 4;
  return 1;
}

bool IsContinuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

bool StartsWithBom(std::string_view text) { return text.substr(0, 3) == "\xEF\xBB\xBF"; }

// EF BB BF (the byte-order mark), EF BF BE and EF BF BF: what TinyXML's blank
// skipping steps over in a UTF-8 document.
bool IsMarkAt(std::string_view text, std::size_t at) {
  if (at + 3 > text.size() || static_cast<unsigned char>(text[at]) != 0xEF) return false;
  auto second = static_cast<unsigned char>(text[at + 1]);
  auto third = static_cast<unsigned char>(text[at + 2]);
  return (second == 0xBB && third == 0xBF) || (second == 0xBF && (third == 0xBE || third == 0xBF));
}

// Follows TinyXML's parser over a text that holds no misreadable byte. Every
// step answers the position where TinyXML goes on, or kStop where it stops
// with an error; there nothing deeper can follow, so the walk ends too. Its
// one state is the count of open elements, so nesting costs no stack here.
class NestingWalk {
 public:
  explicit NestingWalk(std::string_view text) : s_(text) {}

  std::size_t Deepest() {
    std::size_t depth = 0;
    std::size_t deepest = 0;
    std::size_t i = StartsWithBom(s_) ? 3 : 0;  // TinyXML takes it as the sign of UTF-8
    for (;;) {
      i = SkipBlanks(i);
      if (i >= s_.size()) break;
      if (s_[i] != '<') {
        if (depth == 0) break;  // text outside the root ends the document
        i = TextEnd(i);
      } else if (depth > 0 && At(i + 1) == '/') {
        // An end tag closes the open element (when its name differs TinyXML
        // stops, and then nothing more counts).
        i = Find(i + 2, ">");
        if (i != kStop) {
          ++i;
          --depth;
        }
      } else if (StartsWith(i, "<?xml", true)) {
        i = Declaration(i + 5);
      } else if (StartsWith(i, "<!--")) {
        i = Find(i + 4, "-->");
        if (i != kStop) i += 3;
      } else if (StartsWith(i, "<![CDATA[")) {
        i = Find(i + 9, "]]>");
        if (i != kStop) i += 3;
      } else if (IsNameStart(At(i + 1))) {
        deepest = std::max(deepest, ++depth);
        bool closed = false;
        i = StartTag(i + 1, &closed);
        if (closed) --depth;
      } else {
        // "<!" and anything else TinyXML doesn't know runs to the next '>'.
        i = Find(i + 1, ">");
        if (i != kStop) ++i;
      }
      if (i == kStop) break;
    }
    return deepest;
  }

 private:
  unsigned char At(std::size_t i) const { return i < s_.size() ? static_cast<unsigned char>(s_[i]) : 0; }

  bool StartsWith(std::size_t i, std::string_view prefix, bool ignore_case = false) const {
    if (s_.size() - i < prefix.size()) return false;
    for (std::size_t k = 0; k < prefix.size(); ++k) {
      unsigned char c = At(i + k);
      if (ignore_case && c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
      if (c != static_cast<unsigned char>(prefix[k])) return false;
    }
    return true;
  }

  std::size_t SkipBlanks(std::size_t i) const {
    while (i < s_.size() && IsBlank(At(i))) ++i;
    return i;
  }

  std::size_t Find(std::size_t from, std::string_view what) const {
    return from > s_.size() ? kStop : s_.find(what, from);
  }

  // A character reference: TinyXML reads from "&#" (or "&#x") to the next ';'
  // and checks only the digits after the last '#' (or 'x') before it, so one
  // may step over anything, '<' and quotes included. Any other '&' is one byte.
  std::size_t Reference(std::size_t i) const {
    if (At(i + 1) != '#' || At(i + 2) == 0) return i + 1;
    const bool hex = At(i + 2) == 'x';
    if (hex && At(i + 3) == 0) return kStop;
    std::size_t semicolon = Find(hex ? i + 3 : i + 2, ";");
    if (semicolon == kStop) return kStop;
    const unsigned char mark = hex ? 'x' : '#';
    for (std::size_t k = semicolon - 1; At(k) != mark; --k) {
      if (!(hex ? IsHexDigit(At(k)) : IsDigit(At(k)))) return kStop;
    }
    return semicolon + 1;
  }

  // Text up to the byte `end`, references read as TinyXML reads them; the
  // position after `end`, which TinyXML wants something to stand at.
  std::size_t TextTo(std::size_t i, char end) const {
    while (i < s_.size() && s_[i] != end) {
      i = s_[i] == '&' ? Reference(i) : i + 1;
      if (i == kStop) return kStop;
    }
    return i + 1 < s_.size() ? i + 1 : kStop;
  }

  // Element content that is text: where the next '<' stands.
  std::size_t TextEnd(std::size_t i) const {
    std::size_t after = TextTo(i, '<');
    return after == kStop ? kStop : after - 1;
  }

  // name = 'value', name = "value" or name = value.
  std::size_t Attribute(std::size_t i) const {
    if (!IsNameStart(At(i))) return kStop;
    while (IsNameChar(At(i))) ++i;
    i = SkipBlanks(i);
    if (At(i) != '=') return kStop;
    i = SkipBlanks(i + 1);
    const unsigned char quote = At(i);
    if (quote == '\'' || quote == '"') return TextTo(i + 1, static_cast<char>(quote));
    for (; i < s_.size() && !IsBlank(At(i)) && At(i) != '/' && At(i) != '>'; ++i) {
      if (At(i) == '\'' || At(i) == '"') return kStop;
    }
    return i < s_.size() ? i : kStop;
  }

  // After "<" and the first letter of a name: the name, the attributes, and
  // "/>" (`closed`) or ">".
  std::size_t StartTag(std::size_t i, bool* closed) const {
    while (IsNameChar(At(i))) ++i;
    for (;;) {
      i = SkipBlanks(i);
      if (i >= s_.size()) return kStop;
      if (At(i) == '/') {
        if (At(i + 1) != '>') return kStop;
        *closed = true;
        return i + 2;
      }
      if (At(i) == '>') return i + 1;
      i = Attribute(i);
      if (i == kStop) return kStop;
    }
  }

  // After "<?xml": version, encoding and standalone are read as attributes
  // (their quoted values may hold '>'); anything else runs to a blank or '>'.
  std::size_t Declaration(std::size_t i) const {
    while (i < s_.size()) {
      if (At(i) == '>') return i + 1;
      i = SkipBlanks(i);
      if (i >= s_.size()) return kStop;
      if (StartsWith(i, "version", true) || StartsWith(i, "encoding", true) || StartsWith(i, "standalone", true)) {
        i = Attribute(i);
        if (i == kStop) return kStop;
      } else {
        while (i < s_.size() && At(i) != '>' && !IsBlank(At(i))) ++i;
      }
    }
    return kStop;
  }

  std::string_view s_;
};

}  // namespace

std::size_t FirstMisreadableByte(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (IsMarkAt(text, i) && !(i == 0 && StartsWithBom(text))) return i;
    const std::size_t length = SequenceLength(static_cast<unsigned char>(text[i]));
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= text.size() || !IsContinuation(static_cast<unsigned char>(text[i + k]))) return i;
    }
    i += length;
  }
  return std::string_view::npos;
}

std::size_t XmlNestingDepth(std::string_view text) { return NestingWalk(text.substr(0, text.find('\0'))).Deepest(); }

bool AdmitXmlText(std::string_view text, const char* method) {
  // TinyXML reads up to the first zero byte and never looks beyond it itself.
  text = text.substr(0, text.find('\0'));
  const std::size_t misread = FirstMisreadableByte(text);
  if (misread != std::string_view::npos) {
    if (IsMarkAt(text, misread)) {
      DebugLog(4, "XmlDocument::%s refused, byte-order mark or U+FFFE/U+FFFF inside the text at byte %llu", method,
               static_cast<unsigned long long>(misread));
    } else {
      DebugLog(4, "XmlDocument::%s refused, incomplete UTF-8 sequence at byte %llu", method,
               static_cast<unsigned long long>(misread));
    }
    return false;
  }
  const std::size_t depth = XmlNestingDepth(text);
  if (depth > kMaxXmlNesting) {
    DebugLog(4, "XmlDocument::%s refused, elements nested %llu levels deep, more than %llu", method,
             static_cast<unsigned long long>(depth), static_cast<unsigned long long>(kMaxXmlNesting));
    return false;
  }
  return true;
}

}  // namespace tool::xml_internal
